#include "engine/mox/group.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/mox/library_media.h"

namespace mox {
namespace {

// "MOX-RAID<n>": the name of a set the engine labels itself.
std::string setName(int raidNumber) { return "MOX-RAID" + std::to_string(raidNumber); }

}  // namespace

Group::Group(Home& home, int raidNumber, const moxcfg::RaidConfig& config, uint32_t access,
             const moxcfg::EngineSettings& settings, bool compression)
    : setup_{home,
             raidNumber,
             RaidLevel::of(config.level),
             MemberLayout(config.level, static_cast<int>(config.members.size())),
             settings,
             compression},
      config_(config),
      access_(access) {}

Group::~Group() {
  if (state_ == State::kWriting) {
    // A handle closed in the middle of a session leaves it unfinished; the
    // next writer cuts it away as a torn tail.
    debugLog(setup_.home.path(), 2, "RAID%d: session %u abandoned", setup_.raidNumber,
             writer_->session());
  }
}

int Group::acquire() {
  if ((access_ & MOX_ACCESS_WRITE) == 0) return MOX_OK;
  lock_ = std::make_unique<RaidLock>(setup_.home.path(), setup_.raidNumber);
  if (!lock_->held()) {
    int rc = lock_->result();
    lock_.reset();
    return rc;
  }
  return MOX_OK;
}

// ---- Cartridges ------------------------------------------------------------

int Group::enumTape(TapeEnumRecord* tapes) {
  if (tapes == nullptr) return MOX_E_INVALID_ARG;
  Home& home = setup_.home;
  std::vector<std::string> names;
  if (state_ == State::kWriteFull) {
    // The blanks of a tape change are labelled as they are loaded, naming
    // the full set they continue.
    Label next = setLabel(setName(setup_.raidNumber).c_str(),
                          static_cast<int32_t>(writer_->session() & 0xFFFF), 0, newSetId());
    HomeLock lock(home.path());
    int rc = loadBlanks(home, config_.members, &next);
    if (rc != MOX_OK) return rc;
    names = memberCartridges(home, config_.members);
  } else if (state_ == State::kReadChange) {
    int rc = reader_->nextSetNames(&names);
    if (rc != MOX_OK) return rc;
  } else {
    bool empty = false;
    for (uint16_t d : config_.members) {
      std::string name;
      if (home.loadedCartridge(d, &name) != MOX_OK) return MOX_E_IO;
      if (name.empty()) empty = true;
    }
    if (empty) {
      if ((access_ & MOX_ACCESS_WRITE) == 0) return MOX_E_NO_TAPE;
      int rc = loadEmptyDrives(home, config_.members);
      if (rc != MOX_OK) return rc;
    }
    names = memberCartridges(home, config_.members);
  }
  nextNames_ = names;
  std::memset(tapes->library, 0, sizeof tapes->library);
  std::snprintf(reinterpret_cast<char*>(tapes->library), sizeof tapes->library,
                "MOX virtual library RAID%d", setup_.raidNumber);
  std::string entry = "RAID" + std::to_string(setup_.raidNumber) + ":";
  for (size_t i = 0; i < names.size(); ++i) entry += (i ? "," : "") + names[i];
  std::memset(tapes->tapeEntry, 0, sizeof tapes->tapeEntry);
  std::memcpy(tapes->tapeEntry, entry.data(), std::min(entry.size(), sizeof tapes->tapeEntry - 1));
  debugLog(home.path(), 3, "RAID%d: enumerated %s", setup_.raidNumber, entry.c_str());
  return MOX_OK;
}

int Group::connect(uint32_t access) {
  if (access != MOX_ACCESS_WRITE && access != MOX_ACCESS_READ) return MOX_E_INVALID_ARG;
  if ((access & access_) == 0) return MOX_E_ACCESS;
  if (nextNames_.empty()) return MOX_E_NO_TAPE;
  if (state_ == State::kReadChange) {
    if (reader_->nextSet() == nullptr) return MOX_E_NO_TAPE;
    set_ = reader_->nextSet();
    // A library's cartridges are read in the group's drives.
    if (libraryHome(setup_.home)) return attachLibrarySet(setup_.home, config_.members, set_.get());
    return MOX_OK;
  }
  bool writable = access == MOX_ACCESS_WRITE;
  auto set = openSet(setup_.home, nextNames_, writable || (access_ & MOX_ACCESS_WRITE) != 0);
  // No member in its place (missing, foreign, swapped): the data cannot be
  // served, as with any other loss of too many members.
  if (set->failedCount() == set->memberCount()) return MOX_E_DEGRADED;
  if (writable) {
    int rc = writableSet(*set);
    if (rc != MOX_OK) return rc;
    // A library's tape is written only in a drive this process holds.
    for (const auto& medium : set->media) {
      if (medium && libraryHome(setup_.home) && !inDrive(*medium)) return MOX_E_BUSY;
    }
  }
  set_ = set;
  // Blocks go up to the early warning of the group's capacity; what closes
  // a session goes after it.
  uint64_t capacity = setup_.settings.cartridgeCapacity;
  uint64_t zone = earlyWarningZone(setup_.settings.streamLimit);
  for (const auto& medium : set_->media) {
    if (medium) medium->setCapacity(capacity, capacity > zone ? capacity - zone : 0);
  }
  if (writable) {
    set_->forWriting = true;
    if (state_ != State::kWriteFull) {
      int rc = cutTornTails();
      if (rc != MOX_OK) return rc;
    }
  }
  debugLog(setup_.home.path(), 3, "RAID%d: connected for %s", setup_.raidNumber,
           writable ? "writing" : "reading");
  return MOX_OK;
}

int Group::writableSet(const CartSet& set) const {
  // A degraded or damaged set is not written: a new session would need every
  // member, and nothing on a damaged member may be cut (member_scan.h).
  for (size_t i = 0; i < set.memberCount(); ++i) {
    if (!set.failed[i] && !set.damaged[i]) continue;
    const auto& problems = set.problems[i];
    debugLog(setup_.home.path(), 1, "RAID%d: member %zu (%s) %s at offset %llu: %s; not written",
             setup_.raidNumber, i, set.names[i].c_str(), set.failed[i] ? "failed" : "damaged",
             static_cast<unsigned long long>(problems.empty() ? 0 : problems.front().offset),
             problems.empty() ? "" : problems.front().kind.c_str());
    return MOX_E_DEGRADED;
  }
  bool blank = set.maps[0].blank;
  for (const auto& map : set.maps) {
    if (map.blank != blank || map.sessions.size() != set.maps[0].sessions.size()) {
      return MOX_E_DEGRADED;
    }
  }
  return MOX_OK;
}

int Group::notePlacesUsable(const CartSet& set) const {
  // Each member's set note is written as the session part on it ends: a
  // place that cannot take it is found before the first block, not after
  // the last.
  for (size_t i = 0; i < set.memberCount(); ++i) {
    const std::string problem = setNotePlaceProblem(set.media[i]->path());
    if (problem.empty()) continue;
    debugLog(setup_.home.path(), 0, "RAID%d: member %zu (%s): %s; no session is written",
             setup_.raidNumber, i, set.names[i].c_str(), problem.c_str());
    return MOX_E_IO;
  }
  return MOX_OK;
}

int Group::cutTornTails() {
  // Every member holds the same finished sessions (writableSet); what lies
  // past them is a torn tail, or a tape mark the writer did not get to.
  for (size_t i = 0; i < set_->memberCount(); ++i) {
    CartridgeMap& map = set_->maps[i];
    uint64_t keep = map.blank ? 0 : map.appendOffset;
    if (map.fileSize == keep) continue;
    debugLog(setup_.home.path(), 1, "RAID%d: cutting torn tail of %s at %llu (%s)",
             setup_.raidNumber, set_->names[i].c_str(), static_cast<unsigned long long>(keep),
             map.tornReason.c_str());
    Medium& medium = *set_->media[i];
    // A session whose end record is synced and whose tape mark is missing
    // gets its mark; anything else past the last session is cut.
    uint64_t markAt = keep > map.fileSize ? keep - 4 : keep;
    if (medium.cut(markAt) != MOX_OK ||
        (markAt < keep && (medium.writeTapeMark(markAt) != MOX_OK || medium.sync() != MOX_OK))) {
      return MOX_E_IO;
    }
    map.fileSize = keep;
    map.tornTail = false;
    // A cut that leaves no session leaves no session data to note.
    if (!map.hasData() && dropSetNote(medium.path()) != MOX_OK) return MOX_E_IO;
    medium.keepMap(map);
  }
  return MOX_OK;
}

int Group::disconnect() {
  if (set_ == nullptr) return MOX_E_NOT_CONNECTED;
  if (state_ == State::kWriting) return MOX_E_SESSION_STATE;
  set_.reset();
  return MOX_OK;
}

Label Group::setLabel(const char* name, int32_t sequence, int32_t expiration,
                      uint64_t setId) const {
  Label label =
      newSetLabel(name, sequence, expiration, setId, config_.members.size(), config_.level);
  // A set relabelled after a tape change was cut short keeps naming the
  // full set it continues, so that the group's older sessions stay found.
  label.prevSetId = state_ == State::kWriteFull ? writer_->fullSetId() : 0;
  if (label.prevSetId == 0 && set_ != nullptr) label.prevSetId = set_->labelPrevSetId();
  return label;
}

int Group::labelSet(Label label) {
  for (size_t i = 0; i < set_->memberCount(); ++i) {
    if (set_->media[i] == nullptr) continue;
    label.memberIndex = static_cast<uint16_t>(i);
    if (labelMedium(*set_->media[i], label) != MOX_OK) {
      set_->writeFailed.store(true);
      return MOX_E_IO;
    }
    set_->maps[i] = CartridgeMap::labelled(label);
  }
  set_->setId = label.setId;
  return MOX_OK;
}

int Group::formatConnected(const TapeFormatRecord& request, DeviceResultList* results) {
  if (set_ == nullptr) return MOX_E_NOT_CONNECTED;
  if (state_ == State::kWriting) return MOX_E_SESSION_STATE;
  if ((access_ & MOX_ACCESS_WRITE) == 0) return MOX_E_ACCESS;
  set_->forWriting = true;
  char name[25] = {};
  std::memcpy(name, request.tapeName, sizeof request.tapeName);
  // In a tape change the set was labelled when it was loaded (loadBlanks):
  // its id stays, so a relabel cut short still leaves one set.
  uint64_t setId = state_ == State::kWriteFull && set_->setId != 0 ? set_->setId : newSetId();
  int rc = labelSet(setLabel(name, request.sessionNumber, request.expirationTime, setId));
  if (results != nullptr) {
    for (size_t i = 0; i < set_->memberCount() && i < 32; ++i) {
      results->entries[i].result = set_->media[i] ? rc : MOX_E_MEDIA;
      results->entries[i].ldn = config_.members[i];
      results->entries[i].valid = 1;
    }
  }
  debugLog(setup_.home.path(), 2, "RAID%d: formatted connected cartridges '%s': %d",
           setup_.raidNumber, name, rc);
  return rc;
}

// ---- Writing ---------------------------------------------------------------

int Group::gotoNewSession(int32_t* sessionNumber) {
  if (sessionNumber == nullptr) return MOX_E_INVALID_ARG;
  if (set_ == nullptr) return MOX_E_NOT_CONNECTED;
  if (writing()) return MOX_E_SESSION_STATE;
  if (set_->writeFailed.load()) return MOX_E_IO;
  uint32_t last = 0;
  for (size_t i = 0; i < set_->memberCount(); ++i) {
    if (set_->failed[i]) continue;
    for (const auto& s : set_->maps[i].sessions) last = std::max(last, s.session);
  }
  // A set whose continued session was cut away (a writer died during a tape
  // change) goes on numbering after the set it was meant to continue.
  uint64_t prevSetId = set_->labelPrevSetId();
  if (last == 0 && prevSetId != 0) {
    auto prev =
        openSet(setup_.home, findSetById(setup_.home, prevSetId, set_->memberCount()), false);
    if (const CartridgeMap* pm = prev->anyMap(); pm != nullptr) {
      for (const auto& s : pm->sessions) last = std::max(last, s.session);
    }
  }
  // A library's sets of this group, wherever they are now (a restarted
  // library, cartridges moved by hand, a tape change cut short): no session
  // number that a cartridge of the library holds is given again.
  if (libraryHome(setup_.home)) {
    last = std::max(last, lastKeptSession(setup_.home, static_cast<uint8_t>(config_.level),
                                          config_.members.size()));
  }
  *sessionNumber = static_cast<int32_t>(last + 1);
  dropReader();
  lastReads_.clear();
  enter(State::kIdle);
  return MOX_OK;
}

int Group::startSession(int32_t sessionNumber, uint16_t streamCount, uint16_t* startStream) {
  if (startStream == nullptr || sessionNumber <= 0) return MOX_E_INVALID_ARG;
  if ((access_ & MOX_ACCESS_WRITE) == 0) return MOX_E_ACCESS;
  if (set_ == nullptr || !set_->forWriting) return MOX_E_NOT_CONNECTED;
  if (state_ != State::kIdle) return MOX_E_SESSION_STATE;
  if (set_->writeFailed.load()) return MOX_E_IO;
  if (streamCount > setup_.settings.streamLimit) return MOX_E_STREAM_LIMIT;
  int rc = notePlacesUsable(*set_);
  if (rc != MOX_OK) return rc;
  if (set_->maps[0].blank) {
    int rc = labelSet(
        setLabel(setName(setup_.raidNumber).c_str(), sessionNumber & 0xFFFF, 0, newSetId()));
    if (rc != MOX_OK) return rc;
  }
  writer_ = std::make_unique<SessionWriter>(setup_, set_, static_cast<uint32_t>(sessionNumber),
                                            streamCount);
  rc = writer_->open();
  if (rc != MOX_OK) return rc;
  enter(State::kWriting);
  *startStream = 0;
  debugLog(setup_.home.path(), 2, "RAID%d: session %u started, %u streams", setup_.raidNumber,
           writer_->session(), streamCount);
  return MOX_OK;
}

int Group::gotoNewStream(uint16_t* streamNumber) {
  if (streamNumber == nullptr) return MOX_E_INVALID_ARG;
  if (!writing()) return MOX_E_SESSION_STATE;
  return writer_->newStream(streamNumber);
}

int Group::writeBlock(const uint8_t* block, uint16_t stream) {
  // The state changes only under the handle's exclusive lock, so a block
  // call (shared lock) reads it as it is.
  State state = state_;
  if (state == State::kWriteFull) return MOX_E_TAPE_FULL;
  if (state != State::kWriting) return MOX_E_SESSION_STATE;
  return writer_->writeBlock(block, stream);
}

int Group::continueBlock() {
  if (state_ != State::kWriting) return MOX_E_SESSION_STATE;
  if (libraryHome(setup_.home) && !libraryChangesTapes(setup_.home, config_.members)) {
    // Without a changer the loaded tapes are all there is: the session
    // ends on them, whole, and the writer is told no set follows.
    int rc = writer_->close(Kind::kSessionEnd);
    debugLog(setup_.home.path(), 1,
             "RAID%d: the tapes are full and no changer loads others: session %u ended: %d",
             setup_.raidNumber, writer_->session(), rc);
    enter(State::kIdle);
    writer_.reset();
    return rc == MOX_OK ? MOX_E_NO_BLANK : rc;
  }
  int rc = writer_->close(Kind::kContinuation);
  if (rc != MOX_OK) return rc;
  enter(State::kWriteFull);
  debugLog(setup_.home.path(), 2, "RAID%d: session %u continues on a new cartridge set",
           setup_.raidNumber, writer_->session());
  return MOX_OK;
}

int Group::continueSession(int32_t /*sessionNumber*/) {
  if (state_ == State::kReadChange) {
    int rc = reader_->mountNext(set_);
    if (rc == MOX_OK) enter(State::kReading);
    return rc;
  }
  if (state_ != State::kWriteFull) return MOX_E_SESSION_STATE;
  if (set_ == nullptr || set_ == writer_->fullSet() || !set_->forWriting) {
    return MOX_E_NOT_CONNECTED;
  }
  if (int rc = notePlacesUsable(*set_); rc != MOX_OK) return rc;
  if (set_->maps[0].blank || set_->setId == writer_->fullSetId()) {
    int rc = labelSet(setLabel(setName(setup_.raidNumber).c_str(),
                               static_cast<int32_t>(writer_->session() & 0xFFFF), 0, newSetId()));
    if (rc != MOX_OK) return rc;
  } else if (set_->maps[0].hasData()) {
    return MOX_E_NO_BLANK;
  }
  int rc = writer_->continueOn(set_);
  if (rc != MOX_OK) return rc;
  enter(State::kWriting);
  return MOX_OK;
}

int Group::endSession() {
  if (state_ == State::kWriting) {
    int rc = writer_->close(Kind::kSessionEnd);
    enter(State::kIdle);
    debugLog(setup_.home.path(), 2, "RAID%d: session %u ended: %d", setup_.raidNumber,
             writer_->session(), rc);
    writer_.reset();
    return rc;
  }
  if (state_ == State::kIdle) return MOX_E_SESSION_STATE;
  int rc = MOX_OK;
  if (state_ == State::kWriteFull) {
    // No set followed the full one: the session ends on the cartridges it
    // has, so that what was written restores. When they cannot be reached
    // any more (moved away by a change that went on), it stays unfinished.
    rc = writer_->endOnFullSet();
    debugLog(setup_.home.path(), 1, "RAID%d: session %u ended on its full set: %d",
             setup_.raidNumber, writer_->session(), rc);
    if (rc == MOX_E_NOT_CONNECTED) rc = MOX_OK;
  }
  dropReader();
  enter(State::kIdle);
  writer_.reset();
  return rc;
}

// ---- Reading ---------------------------------------------------------------

int Group::gotoSession(int32_t sessionNumber) {
  if (sessionNumber <= 0) return MOX_E_NO_SESSION;
  if (set_ == nullptr) return MOX_E_NOT_CONNECTED;
  if (writing()) return MOX_E_SESSION_STATE;
  std::unique_ptr<SessionReader> reader;
  int rc = SessionReader::open(setup_, set_, static_cast<uint32_t>(sessionNumber), &reader);
  uint64_t startSet = 0;
  if (rc == MOX_E_NO_SESSION && libraryHome(setup_.home) &&
      (startSet = keptSessionStart(setup_.home, static_cast<uint8_t>(config_.level),
                                   config_.members.size(), static_cast<uint32_t>(sessionNumber))) !=
          0) {
    // Not on the loaded set nor the sets it continues: the set the home's
    // kept maps show it beginning on, wherever it is in the library.
    auto start =
        openSet(setup_.home, findSetById(setup_.home, startSet, set_->memberCount()), false);
    rc = SessionReader::open(setup_, start, static_cast<uint32_t>(sessionNumber), &reader);
    debugLog(setup_.home.path(), 2, "RAID%d: session %d found on another set of the library: %d",
             setup_.raidNumber, sessionNumber, rc);
  }
  if (rc == MOX_OK && libraryHome(setup_.home) && reader->currentSet() != set_) {
    // The session begins on an earlier set: a library loads it.
    rc = attachLibrarySet(setup_.home, config_.members, reader->currentSet().get());
  }
  if (rc != MOX_OK) return rc;
  dropReader();
  lastReads_.clear();
  reader_ = std::move(reader);
  enter(State::kPositioned);
  return MOX_OK;
}

void Group::dropReader() {
  if (!reader_) return;
  if (reading()) {
    lastReads_ = reader_->memberReads();
    for (size_t m = 0; m < lastReads_.size(); ++m) {
      const MemberReads& r = lastReads_[m];
      debugLog(setup_.home.path(), 2,
               "RAID%d: session %u: member %zu read in %llu passes, %llu rewinds, %llu spacings",
               setup_.raidNumber, reader_->session(), m, static_cast<unsigned long long>(r.passes),
               static_cast<unsigned long long>(r.rewinds),
               static_cast<unsigned long long>(r.spacings));
    }
  }
  reader_.reset();
}

int Group::startReadSession(int32_t sessionNumber, uint16_t* streamTotal) {
  if (state_ != State::kPositioned && state_ != State::kReading) return MOX_E_SESSION_STATE;
  if (static_cast<uint32_t>(sessionNumber) != reader_->session()) return MOX_E_NO_SESSION;
  reader_->start();
  enter(State::kReading);
  if (streamTotal != nullptr) *streamTotal = reader_->streamTotal();
  if (setup_.status != nullptr) setup_.status->setEntries(reader_->streamTotal());
  return MOX_OK;
}

int Group::gotoStream(uint16_t /*previousStream*/, uint16_t nextStream) {
  if (!reading()) return MOX_E_SESSION_STATE;
  return reader_->restartStream(nextStream);
}

int Group::prepareContinuation() {
  if (!reading()) return MOX_E_SESSION_STATE;
  reader_->quiesce();
  enter(State::kReadChange);
  return MOX_OK;
}

int Group::readBlock(uint8_t* out, uint16_t stream) {
  // The reader and its chain of sets change only in control calls.
  if (!reading()) return MOX_E_SESSION_STATE;
  return reader_->readBlock(out, stream);
}

bool Group::driveActivity(bool restart, std::vector<DriveActivityReport>* out) const {
  return libraryDriveActivity(setup_.home, config_.members, restart, out);
}

int Group::driveCounters(bool restart, std::vector<DriveCountersReport>* out) {
  out->clear();
  if (!libraryHome(setup_.home)) return MOX_E_NOT_SUPPORTED;
  // The members' sessions are the writer's and the reader's while a
  // session is open or sought: the drives are read only when neither is.
  if (state_ != State::kIdle || writer_ || reader_) return MOX_E_SESSION_STATE;
  for (size_t m = 0; m < config_.members.size(); ++m) {
    const uint16_t drive = config_.members[m];
    DriveCountersReport r;
    r.drive = drive;
    scsi::DriveCounters now;
    Medium* medium = set_ != nullptr && m < set_->media.size() ? set_->media[m].get() : nullptr;
    if (medium != nullptr && inDrive(*medium)) {
      std::string why;
      r.read = readMediumCounters(*medium, &now, &why) == MOX_OK;
      if (!r.read) {
        debugLog(setup_.home.path(), 1, "RAID%d: drive %u: its counters cannot be read: %s",
                 setup_.raidNumber, drive, why.c_str());
      }
    }
    auto before = countersBefore_.find(drive);
    if (r.read) {
      r.listed = now.listed;
      r.change = scsi::countersDifference(
          before != countersBefore_.end() ? before->second : scsi::DriveCounters{}, now);
    }
    if (restart) {
      if (r.read) {
        countersBefore_[drive] = std::move(now);
      } else if (before != countersBefore_.end()) {
        countersBefore_.erase(before);
      }
    }
    out->push_back(std::move(r));
  }
  return MOX_OK;
}

}  // namespace mox
