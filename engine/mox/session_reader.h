// The session reader: one session being read from a group's cartridge sets.
// It owns what the reading needs: the chain of sets the session lies on
// (from the set it starts on to the set that ends it, as far as known), the
// set mounted now, each stream's position, and the read side's tape change
// (the next set of the chain, found, connected and mounted) and teardown.
//
// Two readers stand behind it, chosen by the media (SessionReader::open):
//   IndexedReader     reads each block at the address the session's index
//                     records give, with read-ahead: the fast path of media
//                     that read at any address (indexed_reader.cc);
//   SequentialReader  reads each member once, front to back, and hands the
//                     records to the streams with memory bounded by the
//                     buffer pool: what the engine relies on when a medium
//                     reads only forward (sequential_reader.cc).
//
// Locking (group.h has the contract): control calls run alone; block calls
// (readBlock) run many at once, one per stream.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/mox/group_setup.h"
#include "engine/mox/library.h"

namespace mox {

// How a read of a session reached one member of the group, summed over the
// sets of its chain: the passes the reader made over the member's part of
// the session (front to back; the indexed reader reads at addresses and
// makes none), and the rewinds and spacings its media made.
struct MemberReads {
  uint64_t passes = 0;
  uint64_t rewinds = 0;
  uint64_t spacings = 0;
};

class SessionReader {
 public:
  // A reader of `session`, whose chain of sets is found from `mounted` (the
  // set in the drives) back to the set the session starts on and on to the
  // set that ends it. MOX_OK, MOX_E_NO_SESSION, MOX_E_NO_TAPE (a set of the
  // chain is not in the library), MOX_E_DEGRADED or MOX_E_MEDIA.
  static int open(const GroupSetup& setup, const std::shared_ptr<CartSet>& mounted,
                  uint32_t session, std::unique_ptr<SessionReader>* reader);
  virtual ~SessionReader();
  SessionReader(const SessionReader&) = delete;
  SessionReader& operator=(const SessionReader&) = delete;

  uint32_t session() const { return session_; }
  // Streams of the session (the most any set of the chain holds).
  uint16_t streamTotal() const { return streamTotal_; }

  // Control: every stream to be read from its first block.
  virtual void start() = 0;
  // Control: `stream` to be read again from its first block.
  virtual int restartStream(uint16_t stream) = 0;
  // Block call: the next block of `stream` into `out`. MOX_E_END_OF_STREAM
  // after its last block, MOX_E_CONTINUATION when the next one lies on a
  // set after the mounted one.
  virtual int readBlock(uint8_t* out, uint16_t stream) = 0;
  // Control: nothing reads the media behind the block calls any more (the
  // drives are about to change tapes); a block call that needs more starts
  // reading again.
  virtual void quiesce() {}

  // The read side's tape change: the names of the set after the mounted one
  // (the chain is extended when it was not known yet); MOX_E_NO_TAPE when
  // none holds more of the session.
  int nextSetNames(std::vector<std::string>* names);
  // That set, to connect.
  std::shared_ptr<CartSet> nextSet() const;
  // Mounts `set`, which must be the next set. MOX_E_NOT_CONNECTED otherwise.
  int mountNext(const std::shared_ptr<CartSet>& set);
  // Per member of the group: what reading the session cost since start().
  std::vector<MemberReads> memberReads() const;

  // The set read now (the first of the chain that holds a block of the
  // session, until a tape change mounts the next).
  std::shared_ptr<CartSet> currentSet() const {
    return chain_.empty() ? nullptr : chain_[mounted_];
  }

 protected:
  SessionReader(const GroupSetup& setup, uint32_t session);
  // Which set of the chain holds block `block` of `stream`.
  bool locateBlock(uint16_t stream, uint32_t block, size_t* setIndex) const;
  // Called for each set that joins the chain.
  virtual void onSetJoined(const CartSet& /*set*/) {}
  // The passes made over member `member` of chain set `setIndex`.
  virtual uint64_t passesOver(size_t /*setIndex*/, int /*member*/) const { return 0; }
  // From start(): the motion of the chain's media counts from now.
  void countMotionFromNow();

  const GroupSetup& setup_;
  uint32_t session_;
  std::vector<std::shared_ptr<CartSet>> chain_;   // the session's sets, first to last known
  std::vector<std::vector<uint32_t>> setBlocks_;  // per chain set: blocks per stream
  bool chainComplete_ = false;                    // the last set ends the session
  size_t mounted_ = 0;                            // chain index of the mounted set
  uint16_t streamTotal_ = 0;

 private:
  int resolveChain(const std::shared_ptr<CartSet>& mounted);
  // Adds the set that continues the session after the last set of the
  // chain, when the library holds it; false when none does.
  bool extendChain();
  void join(const std::shared_ptr<CartSet>& set, const SessionExtent& ext);
  static std::vector<Medium::Motion> motionOf(const CartSet& set);

  // Per chain set and member: the medium's motion when counting began.
  std::vector<std::vector<Medium::Motion>> motionBase_;
};

// The readers behind SessionReader.
std::unique_ptr<SessionReader> makeIndexedReader(const GroupSetup& setup, uint32_t session);
// The sequential reader sizes what it holds in memory by the mounted set's
// media.
std::unique_ptr<SessionReader> makeSequentialReader(const GroupSetup& setup, const CartSet& mounted,
                                                    uint32_t session);

}  // namespace mox
