// A RAID group selected on a handle: its connected cartridge set and the
// state machine of its sessions. The session being written is a
// SessionWriter (session_writer.h), the session being read a SessionReader
// (session_reader.h); the group makes and drops them, and they own all
// that writing and reading need. Where a block lies on the members is the
// level's table (raid_level.h).
//
// Locking contract (the Handle that owns the group keeps it):
// - Control calls (every public call but writeBlock and readBlock) run with
//   the handle's control lock held exclusively: no other call of any kind
//   runs on the group meanwhile. They change the state, the connected set,
//   and make, drop and steer the writer and the reader.
// - Block calls (writeBlock, readBlock) run with the control lock shared,
//   many at once, at most one per stream. They read the state and the
//   writer or reader pointer without a lock (neither changes under them)
//   and go to the writer or reader, which serialize on each stream's own
//   mutex and guard what streams share with a mutex of their own (checked
//   by clang's thread-safety analysis, thread_annotations.h).
// The control lock is checked where it is taken, in Handle.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "engine/mox/group_setup.h"
#include "engine/mox/library.h"
#include "engine/mox/library_media.h"
#include "engine/mox/mox.h"
#include "engine/mox/session_reader.h"
#include "engine/mox/session_writer.h"
#include "engine/mox/status_block.h"

namespace mox {

class Group {
 public:
  Group(Home& home, int raidNumber, const moxcfg::RaidConfig& config, uint32_t access,
        const moxcfg::EngineSettings& settings, bool compression);
  ~Group();

  int raidNumber() const { return setup_.raidNumber; }
  // Takes the write lock when the access allows writing. MOX_OK or MOX_E_BUSY.
  int acquire();
  void setStatus(StatusBlock* status) { setup_.status = status; }

  int enumTape(TapeEnumRecord* tapes);
  int connect(uint32_t access);
  int disconnect();
  int gotoNewSession(int32_t* sessionNumber);
  int gotoSession(int32_t sessionNumber);
  int startSession(int32_t sessionNumber, uint16_t streamCount, uint16_t* startStream);
  int startReadSession(int32_t sessionNumber, uint16_t* streamTotal);
  int endSession();
  int gotoNewStream(uint16_t* streamNumber);
  int gotoStream(uint16_t previousStream, uint16_t nextStream);
  int continueBlock();
  int continueSession(int32_t sessionNumber);
  int prepareContinuation();
  // Formats the connected cartridges (a tape change or a format before use).
  int formatConnected(const TapeFormatRecord& request, DeviceResultList* results);
  bool connected() const { return set_ != nullptr; }
  // Per member: what the session read now cost, else the last one read
  // since a session was sought (empty when none).
  std::vector<MemberReads> memberReads() const {
    return reader_ && state_ != State::kPositioned ? reader_->memberReads() : lastReads_;
  }

  // What the member drives of a library home were doing (in member
  // order), since their window began; with `restart` a new one begins.
  // False on a file home.
  bool driveActivity(bool restart, std::vector<DriveActivityReport>* out) const;

  // What the member drives of a library home counted of their own work
  // (in member order) since the last reading with `restart`, which keeps
  // this one as the first of the next. Read on the members' sessions, so
  // only while no session is open: MOX_OK; MOX_E_SESSION_STATE when one is
  // (or the group is positioned at one); MOX_E_NOT_SUPPORTED on a file
  // home. A member whose cartridge is not reached through its drive is not
  // read.
  int driveCounters(bool restart, std::vector<DriveCountersReport>* out);

  // Block calls, from many threads at once (one stream each).
  int writeBlock(const uint8_t* block, uint16_t stream);
  int readBlock(uint8_t* out, uint16_t stream);

 private:
  enum class State {
    kIdle,        // no session
    kWriting,     // a session is open for writing
    kWriteFull,   // continuation written; waiting for the next cartridge set
    kPositioned,  // positioned at a session for reading
    kReading,     // read session started
    kReadChange,  // reading, waiting for the next cartridge set
  };
  // The one place the state changes.
  void enter(State state) { state_ = state; }
  bool writing() const { return state_ == State::kWriting || state_ == State::kWriteFull; }
  bool reading() const { return state_ == State::kReading || state_ == State::kReadChange; }

  // The label of this group's set for member 0 (callers set memberIndex).
  Label setLabel(const char* name, int32_t sequence, int32_t expiration, uint64_t setId) const;
  // Labels every member of the connected set with `label` (as member i).
  int labelSet(Label label);
  // MOX_OK when a new session may be written on `set`, else MOX_E_DEGRADED.
  int writableSet(const CartSet& set) const;
  // MOX_OK when every member's set note can be written where it belongs;
  // else MOX_E_IO, the place and what stands there logged.
  int notePlacesUsable(const CartSet& set) const;
  int cutTornTails();
  // The reader goes (its session ended, or another is sought): what it
  // cost each member is logged and kept for memberReads().
  void dropReader();

  GroupSetup setup_;
  moxcfg::RaidConfig config_;
  uint32_t access_;
  std::unique_ptr<RaidLock> lock_;
  State state_ = State::kIdle;
  std::shared_ptr<CartSet> set_;        // connected cartridges
  std::vector<std::string> nextNames_;  // set found by enumTape for a tape change
  std::unique_ptr<SessionWriter> writer_;
  std::unique_ptr<SessionReader> reader_;
  std::vector<MemberReads> lastReads_;
  // The readings the next driveCounters compares with, by drive.
  std::map<uint16_t, scsi::DriveCounters> countersBefore_;
};

}  // namespace mox
