// A RAID group selected on a handle: its connected cartridge set and the
// session being written or read. Its work lies in three files:
//   group.cc        group control: enumerate, connect, torn tails, label,
//                   format, positioning for a new session;
//   group_write.cc  the session writer (blocks, parity, index, end records);
//   group_read.cc   the session reader (chain of sets, index cursors,
//                   degraded reads).
// Where a block lies on the members is MemberLayout (member_layout.h).
//
// Locking contract (the Handle that owns the group keeps it):
// - Control calls (every public call but writeBlock and readBlock) run with
//   the handle's control lock held exclusively: no other call of any kind
//   runs on the group meanwhile. They change the session state, the
//   connected set, the writer's and reader's per-session state freely.
// - Block calls (writeBlock, readBlock) run with the control lock shared,
//   many at once, at most one per stream. They read the session state
//   without a lock (it cannot change under them), serialize on their
//   stream's own mutex, and take mutex_ only for what block calls of
//   different streams share: the members' append offsets, reservations and
//   pending index entries, and the next stream number. full_ is atomic.
// mutex_ is checked by clang's thread-safety analysis (thread_annotations.h);
// the control lock is checked where it is taken, in Handle.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "engine/mox/library.h"
#include "engine/mox/member_layout.h"
#include "engine/mox/mox.h"
#include "engine/mox/raid_level.h"
#include "engine/mox/status_block.h"
#include "engine/mox/thread_annotations.h"

namespace mox {

class Group {
 public:
  Group(Home& home, int raidNumber, const moxcfg::RaidConfig& config, uint32_t access,
        const moxcfg::EngineSettings& settings, bool compression);
  ~Group();

  int raidNumber() const { return raidNumber_; }
  // Takes the write lock when the access allows writing. MOX_OK or MOX_E_BUSY.
  int acquire();
  void setStatus(StatusBlock* status) { status_ = status; }

  int enumTape(TapeEnumRecord* tapes);
  int connect(uint32_t access);
  int disconnect();
  int gotoNewSession(int32_t* sessionNumber);
  int gotoSession(int32_t sessionNumber);
  int startSession(int32_t sessionNumber, uint16_t streamCount, uint16_t* startStream);
  int startReadSession(int32_t sessionNumber, uint16_t* streamTotal);
  int endSession();
  int gotoNewStream(uint16_t* streamNumber) MOX_EXCLUDES(mutex_);
  int gotoStream(uint16_t previousStream, uint16_t nextStream);
  int continueBlock();
  int continueSession(int32_t sessionNumber);
  int prepareContinuation();
  // Formats the connected cartridges (a tape change or a format before use).
  int formatConnected(const TapeFormatRecord& request, DeviceResultList* results);
  bool connected() const { return set_ != nullptr; }

  // Block calls, from many threads at once (one stream each).
  int writeBlock(const uint8_t* block, uint16_t stream) MOX_EXCLUDES(mutex_);
  int readBlock(uint8_t* out, uint16_t stream) MOX_EXCLUDES(mutex_);

 private:
  enum class State {
    kIdle,        // no session
    kWriting,     // a session is open for writing
    kWriteFull,   // continuation written; waiting for the next cartridge set
    kPositioned,  // positioned at a session for reading
    kReading,     // read session started
    kReadChange,  // reading, waiting for the next cartridge set
  };
  struct StreamWrite;
  struct StreamRead;
  struct BlockPlan;
  // A member's append state while a session is written: changed by block
  // calls under mutex_, by control calls alone.
  struct MemberWrite {
    uint64_t offset = 0;         // next append position
    uint64_t reserved = 0;       // capacity promised to parity not yet written
    uint64_t writeBackFrom = 0;  // start of the next range to write back early
    uint64_t startOffset = 0;    // the session start record of the part being written
    SessionStart start;
    std::vector<IndexEntry> pending;
    std::vector<uint64_t> indexOffsets;
  };

  // Writing a block: encode (compress, checksum), place on members, claim
  // room under the group's lock, then stage the RAID 5 parity unit.
  void encodeBlock(const uint8_t* block, uint16_t stream, uint32_t sequence, BlockPlan* plan) const;
  void placeBlock(const StreamWrite& sw, BlockPlan* plan) const;
  // Gives each target its record's offset, and in `writeBacks` the start of
  // a range of that member to write back early (kNoWriteBack when none).
  int claimSpace(const BlockPlan& plan, std::vector<uint64_t>* offsets,
                 std::vector<uint64_t>* writeBacks) MOX_EXCLUDES(mutex_);
  // Early write-back: the start of a range of the member that is due to be
  // written back, taken from it, else kNoWriteBack; writeBack issues it.
  uint64_t takeWriteBack(int member) MOX_REQUIRES(mutex_);
  void writeBack(int member, uint64_t start) const;
  int stageParityUnit(uint16_t stream, StreamWrite& sw, const BlockPlan& plan);
  bool fits(int member, uint64_t bytes) MOX_REQUIRES(mutex_);
  int appendRecord(int member, const RecordHeader& header, const void* body, bool parity,
                   uint64_t reservedRelease);
  int flushIndex(int member) MOX_REQUIRES(mutex_);
  int flushParity(uint16_t stream, StreamWrite& sw);
  int closeSetSession(Kind kind) MOX_EXCLUDES(mutex_);
  int writeEndRecords(Kind kind, SessionEnd end) MOX_REQUIRES(mutex_);
  int writeTapeMarks() MOX_REQUIRES(mutex_);
  int syncMembers() const;
  // Completes the connected set's maps after a session closed and keeps
  // them beside the cartridges (cartridge_map.h).
  void storeMaps();
  int openSetSession(uint32_t setIndex, uint64_t prevSetId);
  // The label of this group's set for member 0 (callers set memberIndex).
  Label setLabel(const char* name, int32_t sequence, int32_t expiration, uint64_t setId) const;
  int labelSet(const char* name, int32_t sequence, int32_t expiration, uint64_t setId);
  // The set id this handle continues (a tape change in progress), else 0.
  uint64_t continuedSetId() const;
  uint64_t reserveBytes() const;
  // MOX_OK when a new session may be written on `set`, else MOX_E_DEGRADED.
  int writableSet(const CartSet& set) const;
  int cutTornTails();
  int resolveChain(uint32_t session, const std::shared_ptr<CartSet>& mounted);
  // Reading a block: which chain set holds it, the index entry of a record,
  // the record read with one call and checked once, straight into the
  // block, or as an image for a degraded read; read-ahead of the next ones.
  bool locateBlock(uint16_t stream, uint32_t block, size_t* setIndex) const;
  int locateRecord(size_t setIndex, int member, uint16_t stream, bool parity, uint32_t sequence,
                   StreamRead& sr, const Medium** file, uint64_t* offset);
  int fetchRecord(size_t setIndex, int member, uint16_t stream, bool parity, uint32_t sequence,
                  StreamRead& sr, std::vector<uint8_t>* image);
  int readRecordToBlock(size_t setIndex, int member, uint16_t stream, uint32_t block,
                        StreamRead& sr, uint8_t* out);
  int readDataBlock(size_t setIndex, uint16_t stream, uint32_t block, StreamRead& sr, uint8_t* out);
  int readFromParity(size_t setIndex, uint16_t stream, uint32_t block, StreamRead& sr, uint8_t* out,
                     int rc);
  // Puts a checked data record's body into the block (`body` may be the
  // block itself).
  int deliver(const RecordHeader& h, const uint8_t* body, uint16_t stream, uint32_t block,
              StreamRead& sr, uint8_t* out);
  void readAhead(uint16_t stream, uint32_t block, StreamRead& sr);
  // Turns the system's own read-ahead off (`scattered`) on the members of
  // a healthy RAID 5 set that a session is read from, or on again; only
  // in control calls, before and after the streams read.
  void readSetScattered(const CartSet& set, bool scattered) const;

  Home& home_;
  int raidNumber_;
  moxcfg::RaidConfig config_;
  const RaidLevel& raid_;
  MemberLayout layout_;
  uint32_t access_;
  moxcfg::EngineSettings settings_;
  bool compression_;
  std::unique_ptr<RaidLock> lock_;
  StatusBlock* status_ = nullptr;

  Mutex mutex_;  // what block calls of different streams share (see above)
  State state_ = State::kIdle;
  std::shared_ptr<CartSet> set_;        // connected cartridges
  std::vector<std::string> nextNames_;  // set found by enumTape for a tape change

  // Writing.
  uint32_t writeSession_ = 0;  // the session being written
  // While a written session waits for the next cartridge set (kWriteFull):
  // the full set, which the next set's label and session start name.
  std::shared_ptr<CartSet> fullSet_;
  uint32_t setIndex_ = 0;
  uint16_t openedStreams_ = 0;                     // streams given by startSession
  int32_t nextStream_ MOX_GUARDED_BY(mutex_) = 0;  // next stream gotoNewStream hands out
  std::vector<std::unique_ptr<StreamWrite>> writes_;
  std::vector<std::unique_ptr<MemberWrite>> members_;
  std::atomic<bool> full_{false};
  // A record, sync or tape mark of the connected set failed to write: what
  // the members hold past their last ended session is unknown, so the
  // session can no longer be ended and no other starts until the set is
  // connected (mounted) again, which cuts the unfinished records away.
  std::atomic<bool> writeFailed_{false};
  // Keeps `rc` and, when it is an I/O failure, marks the set as failed.
  int noteWrite(int rc) {
    if (rc == MOX_E_IO) writeFailed_.store(true);
    return rc;
  }

  // Reading.
  uint32_t readSession_ = 0;                         // the session being read
  std::vector<std::shared_ptr<CartSet>> readChain_;  // the session's sets, first to last known
  size_t mounted_ = 0;                               // chain index of the mounted set
  std::vector<std::vector<uint32_t>> setBlocks_;     // per chain set: blocks per stream
  bool chainComplete_ = false;                       // last set ends the session
  uint16_t streamTotal_ = 0;
  uint32_t readAhead_ = 0;  // blocks each stream reads ahead
  std::vector<std::unique_ptr<StreamRead>> reads_;
};

}  // namespace mox
