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
// Reading forward, the member keeps up to readDepth READs in flight and
// hands their objects over one per readRecord(), in tape order. A READ sent
// ahead may pass a filemark or meet the end of data the caller has not
// reached: the objects it reads are kept (no more READs are sent past the
// first such object until the caller takes it), and position() is always
// where the caller stands. Every other command first puts the tape back
// there: a rewind or an unload drops what was read ahead, spacing forward
// takes it as passed, and a write, a backward space or a raw command spaces
// back over it (one SPACE over blocks on a drive that counts filemarks as
// blocks, otherwise records and filemarks each by their own SPACE). READs
// that met the end of data did not move the tape. A READ sent ahead that
// failed loses the position as a READ of the caller's would.
//
// Not thread-safe: one member, one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "engine/scsi/commands.h"
#include "engine/scsi/quirks.h"
#include "engine/scsi/sense.h"
#include "engine/scsi/transport.h"

namespace mox::scsi {

// The most WRITEs, and READs, a member keeps in flight.
inline constexpr int kMaxWriteDepth = 64;
inline constexpr int kMaxReadDepth = 64;

struct TapeDriveOptions {
  uint32_t recordCap = 256 * 1024;  // the largest record written or read
  int writeDepth = 4;               // WRITEs in flight (1: each waits for its answer; at most 64)
  int readDepth = 4;  // READs in flight reading forward (1: one at a time, none ahead; at most 64)
  // On a drive that must be asked for twice the cap (shortReadUnderDelivered),
  // ask for the length the last records had while they come with one
  // length; a block of another length is read again with its own.
  bool exactReads = true;
  int commandTimeoutMs = 30000;  // reads, writes, inquiries
  int motionTimeoutMs = 600000;  // rewind, space, filemarks, load
  int readyWaitMs = 60000;       // open() and reconcile() wait this long for a drive becoming ready
};

enum class DriveState {
  ready,           // the position is known to the member (or unknown but safe, after a space)
  needsReconcile,  // a session was lost, a command timed out or a unit attention came
  failed,          // a write failed on the medium or the hardware: nothing more is written
};
const char* driveStateName(DriveState state);

struct TapePosition {
  static constexpr uint64_t kUnknown = ~uint64_t{0};
  uint64_t file = kUnknown;    // filemarks between the beginning of the tape and here
  uint64_t record = kUnknown;  // records since the last filemark (or the beginning)
  bool atEndOfData = false;    // nothing is recorded after here
  bool fileKnown() const { return file != kUnknown; }
  bool recordKnown() const { return record != kUnknown; }
};

struct DriveInfo {
  Inquiry identity;
  std::string serial;  // unit serial number (VPD 80h), empty when the drive has none
  BlockLimits limits;
  ModeHeader mode;  // after variable block mode was set
  const QuirkEntry* known = nullptr;
  DriveQuirks quirks;
  bool readPositionUsable = false;  // READ POSITION says where the tape is
  bool locateProbed = false;
  bool locateSupported = false;
};

enum class LastObject { none, filemark, record };

struct TapeObject {
  bool filemark = false;
  std::vector<uint8_t> record;  // a record's bytes (empty: larger than the member's cap)
};

struct ReconcileReport {
  LastObject last = LastObject::none;  // none: nothing is recorded on the tape
  std::vector<uint8_t> record;         // the last record, when last == record
  // The tape's last objects in order, ending with the last one: as many as
  // were in flight at the fault and one more. The caller finds the last
  // acknowledged record among them and checks that only records it sent
  // after that one follow, in order: a record refused in the middle of a
  // queue (a unit attention) with later ones written leaves a gap here.
  std::vector<TapeObject> tail;
  // Records that were in flight when the fault came: each may be on the
  // tape or not, whatever the member was told.
  uint64_t inFlightAtFault = 0;
};

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
  // Logs in again, waits out unit attentions, spaces to the end of data and
  // reads the last objects there into *report. The member is then ready at
  // the end of data, its file and record numbers unknown (setPosition()
  // once the caller has compared), or still failed when it was. Never
  // writes anything.
  Outcome reconcile(ReconcileReport* report);
  // LOAD UNLOAD, unload (a changer moves the cartridge afterwards). A
  // failed member is sound again: its failure went with the cartridge.
  Outcome unload();
  // Sends one command as it is and classifies the answer (probes, tests).
  // Refused while writes are queued.
  Classified command(const Command& c, Completion* raw = nullptr);

  DriveState state() const { return state_; }
  const TapePosition& position() const { return position_; }
  void setPosition(const TapePosition& position) { position_ = position; }
  // EOM was reported on a write since open() (or the last rewind).
  // Read by other threads (a group's writer checks its members' room while
  // another thread writes to the drive).
  bool earlyWarning() const { return earlyWarning_.load(std::memory_order_relaxed); }
  // A record did not fit (VOLUME OVERFLOW): no more records are accepted.
  bool full() const { return full_; }
  // A command met a RESERVATION CONFLICT: another initiator holds the drive
  // (the member failed then).
  bool heldByAnother() const { return heldByAnother_; }
  uint64_t recordsSubmitted() const { return submitted_; }
  uint64_t recordsAcknowledged() const { return acknowledged_; }
  // Records acknowledged before the last WRITE FILEMARKS that answered GOOD.
  uint64_t recordsDurable() const { return durable_; }
  const DriveInfo& info() const { return info_; }
  const TapeDriveOptions& options() const { return options_; }
  Transport& transport() { return *transport_; }
  const std::string& lastError() const { return error_; }

 private:
  struct Pending;
  struct Read;

  Classified run(const Cdb& cdb, Direction dir, uint8_t* data, uint32_t length, int timeoutMs,
                 Completion* raw = nullptr);
  // The member's verdict on a command that did not do what it asked.
  Outcome fault(const char* what, const Classified& c, const Completion* raw);
  Outcome refuseUnlessReady(bool writing);
  Outcome reapFront();
  // Queues the WRITE of `p` (its data filled) and waits for room in the window.
  Outcome queueWrite(std::unique_ptr<Pending> p);
  // Before a record of `length` bytes is queued: the drive ready, what was
  // read ahead put back, the length within the cap.
  Outcome readyToWrite(uint64_t length);
  Outcome drainWrites();
  Outcome waitReady();
  Outcome setVariableMode();
  void dropQueuedWrites();

  // Read-ahead. The answer of a READ, classified once.
  const Classified& answer(Read& read);
  // Sends READs until readDepth are in flight, unless one already answered
  // with something other than a record (a filemark, the end of data, an
  // error): the tape is not read further past it.
  void sendReads();
  // The object of the oldest READ taken by the caller: the position follows
  // it. done, filemark, endOfData, longBlock, or an error (faulted, the
  // READs after it dropped).
  // The record is copied to `buffer`, or (buffer null) left in place, at *data.
  Outcome takeRead(Read& read, void* buffer, const uint8_t** data, uint32_t capacity,
                   uint32_t* length);
  Outcome nextRead(void* buffer, const uint8_t** data, uint32_t capacity, uint32_t* length);
  // Takes the objects read ahead as passed, in order, until `*filemarks`
  // filemarks were (when not null) or none is left: the position is then
  // where the tape is. done, endOfData (met first), or an error.
  Outcome passReads(int32_t* filemarks);
  // Puts the tape back where the caller stands, before the objects read
  // ahead: done, or an error (the position is then lost).
  Outcome settleReads();
  // Drops the objects read ahead before a command that moves the tape
  // anyway (rewind, unload). A unit attention or a lost session among them
  // still counts: its outcome, after fault().
  Outcome dropReads();
  void waitReads();
  // The position is lost after `c` answered `what`: the member needs
  // reconciling (or is failed); the outcome to return.
  Outcome placeLost(const char* what, const Classified& c, const Completion& raw);
  // The length the next READ asks for.
  uint32_t readRequest() const;
  // A record of `length` bytes was read.
  void noteLength(uint32_t length);
  // The READ asked for a length the block does not have and did not bring
  // all of it: true, with the length to read it again with in *again.
  bool missedLength(Read& read, uint32_t* again);
  // Spaces back before the block of `read` and reads it again, asking for
  // `length` bytes: done (the new answer in `read`), or the position lost.
  Outcome readAgain(Read& read, uint32_t length);

  std::unique_ptr<Transport> transport_;
  TapeDriveOptions options_;
  DriveInfo info_;
  DriveState state_ = DriveState::ready;
  TapePosition position_;
  bool opened_ = false;
  std::atomic<bool> earlyWarning_{false};
  bool earlyWarningReported_ = false;
  bool full_ = false;
  bool heldByAnother_ = false;
  uint64_t submitted_ = 0;
  uint64_t acknowledged_ = 0;
  uint64_t durable_ = 0;
  Outcome writeError_ = Outcome::done;  // the first error of a queued write, until reported
  std::deque<std::unique_ptr<Pending>> inflight_;
  std::vector<std::unique_ptr<Pending>> spare_;
  std::vector<uint8_t> readBuffer_;
  std::deque<std::unique_ptr<Read>> reads_;  // READs sent ahead, in tape order
  std::vector<std::unique_ptr<Read>> spareReads_;
  std::unique_ptr<Read> lent_;  // the READ whose record readRecordInPlace() handed out
  // The lengths of the records read: the last one, how many in a row had
  // it, and how many more are read with the whole room after a block that
  // had another length.
  static constexpr int kFullReadsAfterMiss = 32;
  uint32_t lastLength_ = 0;
  int sameLength_ = 0;
  int fullReads_ = 0;
  std::string error_;
};

}  // namespace mox::scsi
