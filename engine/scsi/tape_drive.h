// A tape drive as a member of a group: one engine record is one tape block
// (variable block mode), sessions end with filemarks, and the member keeps
// its own idea of where the tape is, because the drives it meets (tgt among
// them) cannot always say.
//
// What the medium operations become:
//   label, append records   writeRecord() (queued up to writeDepth)
//   tape mark               writeFilemarks(1)
//   durability barrier      writeFilemarks(0): every acknowledged record is
//                           on the medium once it answers GOOD
//   position at a session   rewind() and spaceFilemarks(n)
//   append                  spaceToEndOfData()
//   read the next record    readRecord(): a record, a filemark, end of data
//                           (READs sent ahead, up to readDepth in flight)
//   capacity                earlyWarning(): EOM on a write; Outcome::overflow
//                           when a record did not fit
// After a lost session, a timeout or a unit attention the member is
// needsReconcile and does nothing until reconcile() has logged in again,
// found the end of data and read the last object there, which it hands to
// the caller to compare with what was last acknowledged. A MEDIUM or
// HARDWARE error on a write fails the member: nothing more is written.
//
// Reading forward, the member keeps up to readDepth READs in flight
// (read_ahead.h) and position() is always where the caller stands.
//
// The member is made of parts, each with one job, over the state they
// share (member_state.h): the write window (write_window.h), the
// read-ahead (read_ahead.h) and the tape's motion and position
// (tape_motion.h); the drive is a device (device.h). This class puts the
// tape where the caller stands before each command and hands the command
// to its part.
//
// Not thread-safe: one member, one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/scsi/commands.h"
#include "engine/scsi/device.h"
#include "engine/scsi/log_pages.h"
#include "engine/scsi/member_state.h"
#include "engine/scsi/quirks.h"
#include "engine/scsi/read_ahead.h"
#include "engine/scsi/sense.h"
#include "engine/scsi/tape_motion.h"
#include "engine/scsi/transport.h"
#include "engine/scsi/write_window.h"

namespace mox::scsi {

class TapeDrive {
 public:
  explicit TapeDrive(std::unique_ptr<Transport> transport, TapeDriveOptions options = {});
  ~TapeDrive();
  TapeDrive(const TapeDrive&) = delete;
  TapeDrive& operator=(const TapeDrive&) = delete;

  // Logs in when needed, reads the identity and the quirks, waits for the
  // drive to be ready, reads the block limits and sets variable block mode,
  // probes READ POSITION. notReady: no cartridge (load one and open again).
  // A failed member stays failed and one that needs reconciling still does.
  Outcome open();

  Outcome rewind();
  // Queues one record of 1..recordCap bytes: `data`, then `tail` (both
  // copied, in one block). done or earlyWarning when it (and every earlier
  // one) was queued or written; an error of an earlier queued record
  // otherwise.
  Outcome writeRecord(const void* data, uint32_t length, const void* tail = nullptr,
                      uint32_t tailLength = 0);
  // The same for the first `length` bytes of `*buffer`, taken without a
  // copy: *buffer gets a buffer of the drive's in exchange.
  Outcome writeRecordFrom(std::vector<uint8_t>* buffer, uint32_t length);
  // Waits for every queued record.
  Outcome flush();
  // Writes `count` filemarks after the queued records (0: only the barrier).
  Outcome writeFilemarks(uint32_t count);
  // Forward over `count` filemarks, to the first record of the file after
  // the last one; endOfData when the tape ends first. A negative count is
  // refused on drives that get it wrong.
  Outcome spaceFilemarks(int32_t count);
  // Back over `count` records, towards the beginning: for a caller that
  // knows (from a reconcile's tail) that no filemark lies among them, to
  // write again after the last good record (a write there ends the tape).
  // filemark when one was met first (the position is then before it).
  Outcome spaceBackRecords(uint32_t count);
  // To the end of data, ready to append. With `countFiles` and a known file
  // number, spaces one filemark at a time to keep the file number.
  Outcome spaceToEndOfData(bool countFiles = false);
  // The next record into `buffer` (`capacity` bytes), its length in *length.
  // done, filemark (the position is then past it), endOfData, longBlock (a
  // record larger than the capacity; skipped), or an error.
  Outcome readRecord(void* buffer, uint32_t capacity, uint32_t* length);
  // The same, the record left where it was read: *data points at its bytes
  // until the next call to the member.
  Outcome readRecordInPlace(const uint8_t** data, uint32_t capacity, uint32_t* length);
  // Hands over the buffer that holds the record readRecordInPlace() last
  // lent: swapped with *buffer, which the member keeps for its READs (no
  // copy of the record). False when no record is lent.
  bool takeLentRecord(std::vector<uint8_t>* buffer);
  // READs sent ahead whose objects the caller has not taken yet (answered
  // or not).
  size_t readsAhead() const { return reads_.size(); }
  // Waits for the READs sent ahead to be answered; their objects stay kept
  // for the caller, where it stands.
  void takeReadsAhead() { reads_.wait(); }
  // Logs in again, waits out unit attentions, spaces to the end of data and
  // reads the last objects there into *report. The member is then ready at
  // the end of data, its file and record numbers unknown (setPosition()
  // once the caller has compared), or still failed when it was. Never
  // writes anything.
  Outcome reconcile(ReconcileReport* report);
  // LOAD UNLOAD, unload (a changer moves the cartridge afterwards). A
  // failed member is sound again: its failure went with the cartridge.
  Outcome unload();
  // Sends one command as it is and classifies the answer (probes, tests),
  // after the queued writes and where the caller stands.
  Classified command(const Command& c, Completion* raw = nullptr);
  // Reads the drive's own counters (log_pages.h) on the member's session,
  // after the queued writes and where the caller stands, so that no command
  // of the member's is outstanding meanwhile. The commands neither move the
  // tape nor change the drive's settings. A unit attention, a lost session,
  // a busy drive or another initiator's reservation met on the way is the
  // member's as after a command of its own (it then needs a reconcile, or
  // failed). done (counters the drive lacks are missing); the outcome that
  // stopped the reading (lastError() says why), what was read before it
  // kept; positionLost or notReady for a member that needs a reconcile or is
  // not open (nothing sent).
  Outcome readCounters(DriveCounters* out);

  DriveState state() const { return m_.state; }
  const TapePosition& position() const { return m_.position; }
  void setPosition(const TapePosition& position) { m_.position = position; }
  // EOM was reported on a write since open() (or the last rewind).
  // Read by other threads (a group's writer checks its members' room while
  // another thread writes to the drive).
  bool earlyWarning() const { return writes_.earlyWarning(); }
  // A record did not fit (VOLUME OVERFLOW): no more records are accepted.
  bool full() const { return writes_.full(); }
  // A command met a RESERVATION CONFLICT: another initiator holds the drive
  // (the member failed then).
  bool heldByAnother() const { return m_.heldByAnother; }
  uint64_t recordsSubmitted() const { return writes_.submitted(); }
  uint64_t recordsAcknowledged() const { return writes_.acknowledged(); }
  // Records acknowledged before the last WRITE FILEMARKS that answered GOOD.
  uint64_t recordsDurable() const { return writes_.durable(); }
  const DriveInfo& info() const { return m_.info; }
  const TapeDriveOptions& options() const { return m_.options; }
  // The largest record written or read from now on (records packed into
  // tape blocks of a cartridge's own size): unsupported, the cap unchanged,
  // past the drive's block limit or what a READ can ask for.
  Outcome setRecordCap(uint32_t cap);
  // The largest cap setRecordCap() takes (once open).
  uint32_t largestRecordCap() const;
  ScsiDevice& device() { return m_.device; }
  Transport& transport() { return m_.device.transport(); }
  const std::string& lastError() const { return m_.error; }

 private:
  Outcome refuseUnlessReady(bool writing);
  // What a READ asks for at most with records of up to `cap` bytes:
  // unsupported (the error said) when the drive cannot take such records.
  Outcome readRoomFor(uint32_t cap, uint32_t* request);
  // Before a record of `length` bytes is queued: the drive ready, what was
  // read ahead put back, the length within the cap.
  Outcome readyToWrite(uint64_t length);
  // Before a command that moves the tape: the drive ready, the queued
  // writes drained. done, or what stops the command.
  Outcome readyToMove();
  // Before a rewind or an unload: what was read ahead dropped, the queued
  // writes drained (a failed drain stops it only when the position is
  // lost). done, or what stops the command.
  Outcome leaveStreamPosition();
  Outcome nextRead(void* buffer, const uint8_t** data, uint32_t capacity, uint32_t* length);
  Outcome waitReady();
  Outcome setVariableMode();

  // The parts hold `m_`: it is made first and goes last.
  MemberState m_;
  WriteWindow writes_;
  ReadAhead reads_;
  TapeMotion motion_;
};

}  // namespace mox::scsi
