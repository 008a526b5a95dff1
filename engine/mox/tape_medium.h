// A member's medium on a SCSI tape drive (scsi::TapeDrive): one engine
// record is one tape block holding the record image (header then body, the
// bytes a cartridge file keeps between its two length words), a tape mark
// is one filemark, and a session's end is followed by one.
//
// Addresses: the medium speaks in the byte addresses a cartridge file of the
// same content would have (a record of image length L takes framedSize(L)
// bytes, a tape mark 4), so that maps and index offsets agree between the
// two media. A drive cannot say such addresses: the medium counts them as it
// reads and writes, and keeps a layout of what it learnt since the cartridge
// was loaded (the address just past each filemark, the end of the data).
// With the layout it moves by SPACE (filemarks, end of data); without it, it
// reads forward and learns. seedLayout() gives it the layout of a kept map.
//
// What a read finds:
//   a block holding a sound record   kRecord (body read and checked when asked)
//   a block that is no sound record  kBroken, with the frame state a
//                                    cartridge file holding that block says;
//                                    as on the file, the broken range goes on
//                                    to the next sound record (read ahead and
//                                    kept for the next read) or the end
//   a block too long for the medium  the same (its length is learnt by
//                                    reading it again with a small buffer)
//   a filemark                       kTapeMark where a tape mark is expected;
//                                    elsewhere the start of a broken range
//                                    (FrameState::kTapeMark), as the zero
//                                    word of a cartridge file reads there, so
//                                    that a scan finds the same sessions,
//                                    torn tail and damage on both media
//   a block where a tape mark is     kBadMark, the whole block
//   expected
//   the end of the data              kEnd
//   an error of the medium, the      MOX_E_IO, counted in readFailures(); the
//   hardware or the transport        position is then lost until rewind()
//
// Packs: with a tape block size (setTapeBlock(), the label's), records are
// packed whole into blocks of up to that size (FORMAT.md). A pack is
// filled in memory and written when the next record would not fit, and
// always before a tape mark, a barrier, any move or read, so that a pack
// never holds records of two sessions and a session's end is on the tape
// when its barrier answers. A record too large for an empty pack, the
// label, and records past the early warning go alone, one per block. A
// read tells a pack from a record by its first bytes: packs and single
// records read the same on every tape, whatever its label says.
//
// A cut positions the tape and ends the data there for this medium at once;
// the tape itself keeps what follows until the next write, which overwrites
// from there. The drive's faults are the owner's to handle (reconcile,
// unload): after one, every write is MOX_E_IO.
//
// One thread at a time (the medium has no random access).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/mox/cartridge.h"
#include "engine/mox/medium.h"
#include "engine/scsi/tape_drive.h"

namespace mox {

class TapeMedium : public Medium {
 public:
  // `drive` is opened and holds the cartridge; the engine names the medium
  // by `path`. The medium starts at the beginning of the tape (it rewinds
  // before it first moves), its layout unknown.
  TapeMedium(std::unique_ptr<scsi::TapeDrive> drive, std::string path);
  ~TapeMedium() override;
  TapeMedium(const TapeMedium&) = delete;
  TapeMedium& operator=(const TapeMedium&) = delete;

  scsi::TapeDrive& drive() { return *drive_; }
  // Why the drive's last command failed.
  const std::string& driveError() const { return drive_->lastError(); }

  // Sequential; the largest record is what one tape block holds (the
  // drive's record cap and block limits).
  MediumTraits traits() const override;
  const std::string& path() const override { return path_; }

  int rewind() override;
  int spaceTapeMarks(uint32_t count) override;
  int spaceToEndOfData() override;
  uint64_t position() const override { return position_; }
  int readNext(const ReadWant& want, MediumItem* item) override;
  // The end of the data; when not known yet, read forward to it from the
  // position, which is then found again (rewind and spacing).
  int dataEnd(uint64_t* address) override;

  // Rewinds and writes the label record as the first block, then the
  // barrier: the tape ends after it.
  int writeLabel(const Label& label) override;
  // At the end of the data only (MOX_E_MEDIA elsewhere); the tape is moved
  // there first when it is not. MOX_E_TAPE_FULL past the capacity or when
  // the drive says VOLUME OVERFLOW (not written), MOX_E_IO when the drive
  // fails or needs reconciling.
  int writeRecord(uint64_t address, const RecordHeader& header, const void* body, bool crcKnown,
                  uint64_t* size) override;
  int writeImage(uint64_t address, const uint8_t* image, uint32_t length, uint64_t* size) override;
  // Takes the buffer: the drive sends it as it is.
  int writeImageFrom(uint64_t address, std::vector<uint8_t>* image, uint32_t length,
                     uint64_t* size) override;
  int writeTapeMark(uint64_t address) override;
  // WRITE FILEMARKS 0: every queued record acknowledged and on the tape.
  int sync() override;
  // From the beginning, forward to `address` (a boundary of the data), and
  // the data ends there: MOX_E_MEDIA when it is not reached.
  int cut(uint64_t address) override;

  uint64_t readFailures() const override { return readFailures_.load(std::memory_order_relaxed); }

  // The drive reported EOM on a write, or a write ended in the medium's
  // early-warning zone (setCapacity), since the medium was made or last
  // labelled.
  bool earlyWarning() const;

  // Takes the layout from the map of this cartridge (a kept map or a scan):
  // the address past each session's tape mark and the end of the data
  // (map.fileSize). A map whose sessions are not each closed by a tape mark
  // right before the next (damage) gives nothing. A pending cut keeps its
  // end of the data.
  void seedLayout(const CartridgeMap& map);

  // Records from now on packed into tape blocks of `bytes` (0: one record
  // per block), within what the drive takes; READs get room for a whole
  // block. Writing a label, reading one at the front of the tape, and a
  // seeded layout set it from the label.
  void setTapeBlock(uint32_t bytes);
  uint32_t tapeBlock() const { return packSize_; }

 private:
  // One record of `head` then `tail`, queued as one block (writeImage), or
  // of the first headLength bytes of `*owned`, given to the drive.
  int writeParts(uint64_t address, const uint8_t* head, uint32_t headLength, const void* tail,
                 uint32_t tailLength, std::vector<uint8_t>* owned, uint64_t* size);
  // What the drive holds at the position.
  struct Object {
    // kRaw: the rest of a pack, which holds no sound frame there.
    enum Kind { kBlock, kMark, kEnd, kLong, kRaw } kind = kEnd;
    uint32_t length = 0;  // kBlock (its bytes at data_), kLong, kRaw
    bool inPack = false;  // kBlock, kRaw: a frame of pack_
  };
  // Reads the next object (or takes the one read ahead, or the next frame
  // of the pack being read).
  int readObject(Object* object);
  // The next frame of the pack being read.
  void nextFrame(Object* object);
  // Takes the block of `n` bytes just read at data_ as the pack to read.
  void takePack(uint32_t n);
  // The pack being read is dropped (the drive moved).
  void dropPack() { packAt_ = packLength_ = 0; }
  // Writes the pack being filled. MOX_OK, or MOX_E_IO (its records lost:
  // every later barrier fails).
  int flushFilling();
  // One record of `length` bytes taken into the pack being filled.
  int packRecord(uint64_t address, const uint8_t* head, uint32_t headLength, const void* tail,
                 uint32_t tailLength, uint64_t* size);
  // After a read the transport failed (the drive needs reconciling): the
  // drive logs in again and reconciles, and the tape is brought back to
  // `address`, where the read was. Reading it again replays nothing.
  // MOX_OK, or MOX_E_IO when the drive failed otherwise, the recovery
  // failed, or the medium already recovered kMaxReadRecoveries times.
  int recoverRead(uint64_t address);
  static constexpr int kMaxReadRecoveries = 3;
  // Moves the position past `object` (learning a filemark or the end).
  void passed(const Object& object);
  // The frame state a cartridge file holding the block of `n` bytes at
  // data_ has; its first bytes in `lead` (*have of them).
  FrameState frameOf(uint32_t n, RecordHeader* header, uint8_t* lead, size_t* have) const;
  // One read at the position: an item, the position moved past it.
  int readItem(const ReadWant& want, MediumItem* item);
  // The length of the block just read as too long (read again with a small
  // buffer); false when the drive does not say. *packed: its first bytes
  // are those of a pack of that length.
  bool longBlockLength(uint32_t* length, bool* packed);
  int driveRewind();
  // Rewinds when the medium has not moved since it was made.
  int placed();
  // From the beginning to `address`: SPACE over the filemarks the layout
  // knows before it, then reading forward.
  int moveTo(uint64_t address);
  // SPACE forward from the position to just past filemark `k` (1-based),
  // which the layout knows.
  int spaceToMark(uint64_t k);
  // Reads forward from the position to the end of the data (learning it).
  int readToEnd();
  // Ready to append a frame of `bytes` at `address`: the end of the data,
  // within the capacity, the tape there.
  int appendable(uint64_t address, uint64_t bytes);
  // The end of the data after a VOLUME OVERFLOW met by the write at
  // `address`: past the last record the drive acknowledged. MOX_E_TAPE_FULL,
  // or MOX_E_IO when records queued before it were lost with it.
  int overflowed(uint64_t address);
  // The position and the layout after what a failed command did are not
  // known: nothing is trusted until the next rewind. Tells failed().
  int lost();
  // The drive failed a command (its lastError() says which and how): for
  // an owner that names the drive and the cartridge to the operator.
  virtual void failed() {}
  // A read went on after the drive logged in again: for an owner that logs
  // it.
  virtual void recovered(uint64_t /*address*/) {}
  void learnMark(uint64_t file, uint64_t address);
  void learnEnd();

  std::unique_ptr<scsi::TapeDrive> drive_;
  std::string path_;
  uint32_t largest_ = 0;

  // Where the tape is: the byte address and the filemarks before it.
  uint64_t position_ = 0;
  uint64_t file_ = 0;
  bool unmoved_ = true;  // not moved since made: rewound before it moves
  bool lost_ = false;    // a command failed: the position is not known
  // A record read past the end of a broken range: the drive is after it,
  // the position before it; the next read takes it.
  bool ahead_ = false;
  uint32_t aheadLength_ = 0;

  // The layout: marks_[k] is the address just past filemark k + 1, for the
  // first marks_.size() filemarks of the tape.
  std::vector<uint64_t> marks_;
  bool endKnown_ = false;
  uint64_t end_ = 0;         // the end of the data
  uint64_t endFile_ = 0;     // filemarks before it
  bool cutPending_ = false;  // the tape holds more after end_ until the next write

  // Records queued in the drive: (records submitted once it was, its end),
  // and the end of the data past the last acknowledged one.
  std::deque<std::pair<uint64_t, uint64_t>> queued_;
  uint64_t acknowledgedEnd_ = 0;
  bool dirty_ = false;  // written since the last barrier
  // Read by the group's writer while a member's records go out.
  std::atomic<bool> earlyWarning_{false};

  std::vector<uint8_t> block_;  // a block kept read ahead
  // The bytes of the block just read: in the drive's buffer (until its next
  // command) or in block_.
  const uint8_t* data_ = nullptr;
  // Packing (packSize_ 0: one record per block). The pack being filled:
  // filling_ holds fillingLength_ bytes (its header first, none when no
  // pack is being filled), its records from fillingStart_ to fillingEnd_.
  uint32_t packSize_ = 0;
  std::vector<uint8_t> filling_;
  uint32_t fillingLength_ = 0;
  uint64_t fillingStart_ = 0;
  uint64_t fillingEnd_ = 0;
  bool packLost_ = false;  // records taken into a pack were never written
  // The pack being read: frames from packAt_ to packLength_; frameAt_ is
  // where the frame last handed out begins.
  std::vector<uint8_t> pack_;
  uint32_t packAt_ = 0;
  uint32_t packLength_ = 0;
  uint32_t frameAt_ = 0;

  std::atomic<uint64_t> readFailures_{0};
  int readRecoveries_ = 0;
  bool recovering_ = false;  // a recovery moves the tape: no recovery within it
};

}  // namespace mox
