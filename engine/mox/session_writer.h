// The session writer: one session being written on a group's cartridge sets.
// It owns everything the writing needs (the session, its streams, each
// member's append point, reservations and pending index entries, the full
// set of a tape change) and writes records, parity, index records and the
// records that end a session part, through the members' media.
//
// Locking (group.h has the contract): control calls run alone; block calls
// (writeBlock) run many at once, one per stream, and share only what
// mutex_ guards. A medium that takes records only in order (a sequential
// one, a tape) gets each member's records claimed in order under mutex_,
// each with the member's next turn in its in-order write queue
// (ordered_appends.h), which sends them in turn order.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/mox/format.h"
#include "engine/mox/group_setup.h"
#include "engine/mox/library.h"
#include "engine/mox/stripe.h"
#include "engine/mox/thread_annotations.h"

namespace mox {

class SessionWriter {
 public:
  // A writer of session `session` with `streams` streams opened, on `set`.
  SessionWriter(const GroupSetup& setup, std::shared_ptr<CartSet> set, uint32_t session,
                uint16_t streams);
  ~SessionWriter();
  SessionWriter(const SessionWriter&) = delete;
  SessionWriter& operator=(const SessionWriter&) = delete;

  uint32_t session() const { return session_; }
  // Writes the session start record on every member. MOX_OK or MOX_E_IO.
  int open();
  // Block call: the next block of `stream`. MOX_E_TAPE_FULL when it would
  // not fit (nothing stored), MOX_E_IO once any write of the set failed.
  int writeBlock(const uint8_t* block, uint16_t stream) MOX_EXCLUDES(mutex_);
  // The next stream number. MOX_E_STREAM_LIMIT past the limit.
  int newStream(uint16_t* stream) MOX_EXCLUDES(mutex_);
  // Ends the session part on the set: its open stripes' parity, the index
  // records, the end (or continuation) records synced on every member, the
  // set notes, the tape marks synced, the members' kept maps. After a
  // continuation the set is the full set the next one continues.
  int close(Kind kind) MOX_EXCLUDES(mutex_);
  // The set id of the full set a tape change continues (0 when none).
  uint64_t fullSetId() const { return fullSet_ ? fullSet_->setId : 0; }
  const std::shared_ptr<CartSet>& fullSet() const { return fullSet_; }
  // Goes on on `next`, the set loaded after the full one: a session start
  // record naming the full set on every member.
  int continueOn(std::shared_ptr<CartSet> next);
  // The session ends where it is, on the full set, when no set follows (a
  // tape change given up or interrupted): its continuation records become
  // end records with the same counts, each member's synced before the
  // first tape mark. MOX_OK; MOX_E_NOT_CONNECTED when the full set's
  // cartridges cannot be reached any more (the session stays unfinished);
  // MOX_E_IO when a write fails.
  int endOnFullSet();

 private:
  struct StreamWrite;
  struct MemberWrite;
  struct BlockPlan;

  // Writing a block: encode (compress, checksum), place on members, claim
  // room under the writer's lock, then stage the RAID 5 parity unit.
  void encodeBlock(const uint8_t* block, uint16_t stream, uint32_t sequence, BlockPlan* plan) const;
  void placeBlock(const StreamWrite& sw, BlockPlan* plan) const;
  // Gives each target its record's offset, and in `writeBacks` the start of
  // a range of that member to write back early (kNoWriteBack when none).
  int claimSpace(const BlockPlan& plan, std::vector<uint64_t>* offsets,
                 std::vector<uint64_t>* writeBacks) MOX_REQUIRES(mutex_);
  // Writes the block's record on its targets; with `turns` (a medium that
  // takes records in order), queues it in each member's turn it was given.
  int writeTargets(const BlockPlan& plan, const std::vector<uint64_t>& offsets,
                   const std::vector<uint64_t>& writeBacks, const std::vector<uint64_t>* turns);
  // A medium that takes records in order: the record at `offset` put in
  // its turn in the member's in-order write queue (ordered_appends.h).
  int queueRecord(int member, uint64_t turn, const RecordHeader& header, const void* body,
                  uint64_t offset, uint64_t writeBack, bool data);
  // Early write-back: the start of a range of the member that is due to be
  // written back, taken from it, else kNoWriteBack; writeBack issues it.
  uint64_t takeWriteBack(int member) MOX_REQUIRES(mutex_);
  void writeBack(int member, uint64_t start) const;
  int stageParityUnit(uint16_t stream, StreamWrite& sw, const BlockPlan& plan);
  bool fits(int member, uint64_t bytes) MOX_REQUIRES(mutex_);
  int appendRecord(int member, const RecordHeader& header, const void* body, bool parity,
                   uint64_t reservedRelease) MOX_EXCLUDES(mutex_);
  int claimRecord(int member, const RecordHeader& header, bool parity, uint64_t reservedRelease,
                  uint64_t* offset, uint64_t* due) MOX_REQUIRES(mutex_);
  int flushIndex(int member) MOX_REQUIRES(mutex_);
  int flushParity(uint16_t stream, StreamWrite& sw);
  int writeEndRecords(Kind kind, SessionEnd end) MOX_REQUIRES(mutex_);
  int writeTapeMarks() MOX_REQUIRES(mutex_);
  int syncMembers() const;
  int openSetSession(uint64_t prevSetId);
  // Keeps `rc` and, when it is an I/O failure, marks the set as failed.
  int noteWrite(int rc) {
    if (rc == MOX_E_IO) set_->writeFailed.store(true);
    return rc;
  }

  const GroupSetup& setup_;
  std::shared_ptr<CartSet> set_;  // the set being written
  // While the session waits for the next cartridge set: the full set, which
  // the next set's label and session start name.
  std::shared_ptr<CartSet> fullSet_;
  uint32_t session_;
  uint32_t setIndex_ = 0;  // the set's place among the session's sets
  uint16_t openedStreams_;
  // Records are claimed in order under mutex_ and written in the member's
  // turns (a medium that takes records only in the order they come).
  bool inOrder_ = false;
  Mutex mutex_;  // what block calls of different streams share
  int32_t nextStream_ MOX_GUARDED_BY(mutex_) = 1;
  std::vector<std::unique_ptr<StreamWrite>> writes_;
  std::vector<std::unique_ptr<MemberWrite>> members_;
  std::atomic<bool> full_{false};
};

}  // namespace mox
