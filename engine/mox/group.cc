#include "engine/mox/group.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/mox/cartridge_map.h"
#include "engine/mox/group_streams.h"

namespace mox {

using group_detail::alignedBuffer;
using group_detail::kMaxImage;
using group_detail::kParityWidth;
using group_detail::randomId;

Group::Group(Home& home, int raidNumber, const moxcfg::RaidConfig& config, uint32_t access,
             const moxcfg::EngineSettings& settings, bool compression)
    : home_(home),
      raidNumber_(raidNumber),
      config_(config),
      layout_(config.level, static_cast<int>(config.members.size())),
      access_(access),
      settings_(settings),
      compression_(compression) {}

Group::~Group() {
  if (state_ == State::kWriting) {
    // A handle closed in the middle of a session leaves it unfinished; the
    // next writer cuts it away as a torn tail.
    debugLog(home_.path(), 2, "RAID%d: session %u abandoned", raidNumber_, writeSession_);
  }
}

int Group::acquire() {
  if ((access_ & MOX_ACCESS_WRITE) == 0) return MOX_OK;
  lock_ = std::make_unique<RaidLock>(home_.path(), raidNumber_);
  if (!lock_->held()) {
    int rc = lock_->result();
    lock_.reset();
    return rc;
  }
  return MOX_OK;
}

uint64_t Group::reserveBytes() const {
  // The last index record, the continuation record and its tape mark.
  return framedSize(kHeaderSize + kIndexBatch * kIndexEntrySize) +
         framedSize(kHeaderSize + 8 + 4ull * settings_.streamLimit + 8 * 64) + 4 + 4096;
}

bool Group::fits(int member, uint64_t bytes) {
  MemberWrite& mw = *members_[static_cast<size_t>(member)];
  uint64_t used = mw.offset + mw.reserved + bytes + reserveBytes();
  // Index records grow with the session.
  used += 8 * mw.indexOffsets.size();
  return used <= settings_.cartridgeCapacity;
}

// ---- Cartridges ------------------------------------------------------------

int Group::enumTape(TapeEnumRecord* tapes) {
  if (tapes == nullptr) return MOX_E_INVALID_ARG;
  std::vector<std::string> names;
  if (state_ == State::kWriteFull) {
    char name[24];
    std::snprintf(name, sizeof name, "MOX-RAID%d", raidNumber_);
    Label next = setLabel(name, static_cast<int32_t>(writeSession_ & 0xFFFF), 0, randomId());
    HomeLock lock(home_.path());
    int rc = loadBlanks(home_, config_.members, &next);
    if (rc != MOX_OK) return rc;
    names = memberCartridges(home_, config_.members);
  } else if (state_ == State::kReadChange) {
    if (mounted_ + 1 >= readChain_.size() && !chainComplete_) {
      auto names2 =
          findContinuation(home_, readSession_, readChain_.back()->setId, config_.members.size());
      bool any = std::any_of(names2.begin(), names2.end(), [](auto& n) { return !n.empty(); });
      if (any) {
        auto next = openSet(home_, names2, false);
        const SessionExtent* ext = next->findSession(readSession_);
        if (ext != nullptr) {
          setBlocks_.push_back(ext->end.streamBlocks);
          chainComplete_ = !ext->continued;
          readChain_.push_back(next);
          readSetScattered(*next, true);
        }
      }
    }
    if (mounted_ + 1 >= readChain_.size()) return MOX_E_NO_TAPE;
    names = readChain_[mounted_ + 1]->names;
  } else {
    std::vector<uint16_t> empty;
    for (uint16_t d : config_.members) {
      std::string name;
      if (home_.loadedCartridge(d, &name) != MOX_OK) return MOX_E_IO;
      if (name.empty()) empty.push_back(d);
    }
    if (!empty.empty()) {
      if ((access_ & MOX_ACCESS_WRITE) == 0) return MOX_E_NO_TAPE;
      HomeLock lock(home_.path());
      int rc = loadBlanks(home_, empty);
      if (rc != MOX_OK) return rc;
    }
    names = memberCartridges(home_, config_.members);
  }
  nextNames_ = names;
  std::memset(tapes->library, 0, sizeof tapes->library);
  std::snprintf(reinterpret_cast<char*>(tapes->library), sizeof tapes->library,
                "MOX virtual library RAID%d", raidNumber_);
  std::string entry = "RAID" + std::to_string(raidNumber_) + ":";
  for (size_t i = 0; i < names.size(); ++i) entry += (i ? "," : "") + names[i];
  std::memset(tapes->tapeEntry, 0, sizeof tapes->tapeEntry);
  std::memcpy(tapes->tapeEntry, entry.data(), std::min(entry.size(), sizeof tapes->tapeEntry - 1));
  debugLog(home_.path(), 3, "RAID%d: enumerated %s", raidNumber_, entry.c_str());
  return MOX_OK;
}

int Group::connect(uint32_t access) {
  if (access != MOX_ACCESS_WRITE && access != MOX_ACCESS_READ) return MOX_E_INVALID_ARG;
  if ((access & access_) == 0) return MOX_E_ACCESS;
  if (nextNames_.empty()) return MOX_E_NO_TAPE;
  if (state_ == State::kReadChange) {
    if (mounted_ + 1 >= readChain_.size()) return MOX_E_NO_TAPE;
    set_ = readChain_[mounted_ + 1];
    return MOX_OK;
  }
  bool writable = access == MOX_ACCESS_WRITE;
  auto set = openSet(home_, nextNames_, writable || (access_ & MOX_ACCESS_WRITE) != 0);
  size_t failed = set->failedCount();
  // No member in its place (missing, foreign, swapped): the data cannot be
  // served, as with any other loss of too many members.
  if (failed == set->memberCount()) return MOX_E_DEGRADED;
  if (writable) {
    int rc = writableSet(*set);
    if (rc != MOX_OK) return rc;
  } else if (config_.level == 0 && failed > 0) {
    // A stripe without redundancy cannot lose a member.
    set_ = set;
    return MOX_OK;
  }
  set_ = set;
  if (writable) {
    writeFailed_.store(false);  // a fresh mount: the members are what the scan found
    members_.clear();
    for (size_t i = 0; i < set_->memberCount(); ++i) {
      members_.push_back(std::make_unique<MemberWrite>());
    }
    if (state_ != State::kWriteFull) {
      int rc = cutTornTails();
      if (rc != MOX_OK) return rc;
    }
    for (size_t i = 0; i < set_->memberCount(); ++i) {
      members_[i]->offset = set_->maps[i].appendOffset;
    }
  }
  debugLog(home_.path(), 3, "RAID%d: connected for %s", raidNumber_,
           writable ? "writing" : "reading");
  return MOX_OK;
}

int Group::writableSet(const CartSet& set) const {
  // A degraded or damaged set is not written: a new session would need every
  // member, and nothing on a damaged member may be cut (member_scan.h).
  for (size_t i = 0; i < set.memberCount(); ++i) {
    if (!set.failed[i] && !set.damaged[i]) continue;
    const auto& problems = set.problems[i];
    debugLog(home_.path(), 1, "RAID%d: member %zu (%s) %s at offset %llu: %s; not written",
             raidNumber_, i, set.names[i].c_str(), set.failed[i] ? "failed" : "damaged",
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

int Group::cutTornTails() {
  // Every member holds the same finished sessions (writableSet); what lies
  // past them is a torn tail, or a tape mark the writer did not get to.
  for (size_t i = 0; i < set_->memberCount(); ++i) {
    CartridgeMap& map = set_->maps[i];
    uint64_t keep = map.blank ? 0 : map.appendOffset;
    if (map.fileSize == keep) continue;
    debugLog(home_.path(), 1, "RAID%d: cutting torn tail of %s at %llu (%s)", raidNumber_,
             set_->names[i].c_str(), static_cast<unsigned long long>(keep), map.tornReason.c_str());
    if (set_->files[i]->truncate(keep) != MOX_OK || set_->files[i]->sync() != MOX_OK) {
      return MOX_E_IO;
    }
    map.fileSize = keep;
    map.tornTail = false;
    // A cut that leaves no session leaves no session data to note.
    if (!map.hasData() && dropSetNote(set_->files[i]->path()) != MOX_OK) return MOX_E_IO;
    storeCartridgeMap(*set_->files[i], map);
  }
  return MOX_OK;
}

int Group::disconnect() {
  if (set_ == nullptr) return MOX_E_NOT_CONNECTED;
  if (state_ == State::kWriting) return MOX_E_SESSION_STATE;
  set_.reset();
  return MOX_OK;
}

uint64_t Group::continuedSetId() const {
  return state_ == State::kWriteFull && fullSet_ != nullptr ? fullSet_->setId : 0;
}

Label Group::setLabel(const char* name, int32_t sequence, int32_t expiration,
                      uint64_t setId) const {
  Label label;
  // A set relabelled after a tape change was cut short keeps naming the
  // full set it continues, so that the group's older sessions stay found.
  label.prevSetId = continuedSetId();
  if (label.prevSetId == 0 && set_ != nullptr) label.prevSetId = set_->labelPrevSetId();
  size_t nameLength = strnlen(name, sizeof label.name - 1);
  std::memcpy(label.name, name, nameLength);
  label.name[nameLength] = '\0';
  label.randomId = static_cast<int32_t>(randomId() & 0x7FFFFFFF);
  label.sequence = sequence;
  label.formatCode = 0x4D58;
  label.mediaType = 1;
  label.density = 0x58;
  label.expiration = expiration;
  label.blockSize = static_cast<int32_t>(MOX_BLOCK_SIZE);
  label.setId = setId;
  label.memberCount = static_cast<uint16_t>(config_.members.size());
  label.level = static_cast<uint8_t>(config_.level);
  return label;
}

int Group::labelSet(const char* name, int32_t sequence, int32_t expiration, uint64_t setId) {
  Label label = setLabel(name, sequence, expiration, setId);
  for (size_t i = 0; i < set_->memberCount(); ++i) {
    if (set_->files[i] == nullptr) continue;
    label.memberIndex = static_cast<uint16_t>(i);
    uint8_t body[kLabelBodySize];
    encodeLabel(label, body);
    RecordHeader h = controlHeader(Kind::kLabel, 0, static_cast<uint16_t>(i), kLabelBodySize);
    uint64_t size = 0;
    CartridgeFile& file = *set_->files[i];
    if (dropSetNote(file.path()) != MOX_OK || file.truncate(0) != MOX_OK ||
        file.writeRecord(0, h, body, &size) != MOX_OK || file.sync() != MOX_OK) {
      return noteWrite(MOX_E_IO);
    }
    CartridgeMap& map = set_->maps[i];
    map = CartridgeMap();
    map.blank = false;
    map.label = label;
    map.appendOffset = map.fileSize = size;
    storeCartridgeMap(file, map);
    if (i < members_.size()) {
      members_[i]->offset = size;
      members_[i]->indexOffsets.clear();
      members_[i]->pending.clear();
    }
  }
  set_->setId = setId;
  return MOX_OK;
}

void Group::storeMaps() {
  // The writer's session extents lack what a scan reads from the session
  // start record; it is read back here, one record per session.
  uint64_t labelEnd = framedSize(kHeaderSize + kLabelBodySize);
  for (size_t i = 0; i < set_->memberCount(); ++i) {
    if (set_->files[i] == nullptr) continue;
    CartridgeFile& file = *set_->files[i];
    CartridgeMap& map = set_->maps[i];
    bool known = true;
    for (size_t k = 0; k < map.sessions.size() && known; ++k) {
      SessionExtent& ext = map.sessions[k];
      if (ext.startOffset != 0) continue;
      ext.startOffset = k == 0 ? labelEnd : map.sessions[k - 1].nextOffset;
      RecordHeader h;
      std::vector<uint8_t> body;
      known = file.readRecord(ext.startOffset, &h, &body) == MOX_OK &&
              h.kind == Kind::kSessionStart && h.session == ext.session &&
              decodeSessionStart(body.data(), body.size(), &ext.start);
      ext.startKnown = known;
    }
    map.fileSize = map.appendOffset;
    if (known) {
      storeCartridgeMap(file, map);
    } else {
      dropCartridgeMap(file.path());
    }
  }
}

int Group::formatConnected(const TapeFormatRecord& request, DeviceResultList* results) {
  if (set_ == nullptr) return MOX_E_NOT_CONNECTED;
  if (state_ == State::kWriting) return MOX_E_SESSION_STATE;
  if ((access_ & MOX_ACCESS_WRITE) == 0) return MOX_E_ACCESS;
  if (members_.size() != set_->memberCount()) {
    members_.clear();
    for (size_t i = 0; i < set_->memberCount(); ++i) {
      members_.push_back(std::make_unique<MemberWrite>());
    }
  }
  char name[25] = {};
  std::memcpy(name, request.tapeName, sizeof request.tapeName);
  // In a tape change the set was labelled when it was loaded (loadBlanks):
  // its id stays, so a relabel cut short still leaves one set.
  uint64_t setId = state_ == State::kWriteFull && set_->setId != 0 ? set_->setId : randomId();
  int rc = labelSet(name, request.sessionNumber, request.expirationTime, setId);
  if (results != nullptr) {
    for (size_t i = 0; i < set_->memberCount() && i < 32; ++i) {
      results->entries[i].result = set_->files[i] ? rc : MOX_E_MEDIA;
      results->entries[i].ldn = config_.members[i];
      results->entries[i].valid = 1;
    }
  }
  debugLog(home_.path(), 2, "RAID%d: formatted connected cartridges '%s': %d", raidNumber_, name,
           rc);
  return rc;
}

}  // namespace mox
