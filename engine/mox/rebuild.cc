#include "engine/mox/rebuild.h"

#include <fcntl.h>
#include <isa-l.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include "engine/mox/cartridge.h"
#include "engine/mox/cartridge_map.h"
#include "engine/mox/library.h"
#include "engine/mox/member_layout.h"
#include "engine/mox/mox.h"
#include "platform/file_env.h"
#include "platform/file_util.h"

namespace mox {
namespace {

int ensureCartridge(Home& home, uint16_t drive, std::string* name) {
  if (home.loadedCartridge(drive, name) != MOX_OK) return MOX_E_IO;
  if (!name->empty()) return MOX_OK;
  HomeLock lock(home.path());
  int rc = loadBlanks(home, {drive});
  if (rc != MOX_OK) return rc;
  *name = home.driveCartridge(drive);
  return MOX_OK;
}

// Copies the cartridge `from` over `to` through a temporary file beside
// `to`: `to` changes only once the copy is complete and synced, and a failed
// copy leaves no temporary file behind.
int copyFile(const std::string& from, const std::string& to) {
  int fd = -1;
  if (platform::openRegularFile(from, O_RDONLY, 0, &fd) != 0) return MOX_E_MEDIA;
  platform::ScopedFd in(fd);
  platform::TempFile out(to);
  if (out.open() != 0) return MOX_E_IO;
  std::vector<char> buf(1 << 20);
  for (;;) {
    ssize_t n = platform::fileEnv().read(in.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return MOX_E_IO;
    if (n == 0) break;
    if (platform::writeAll(out.fd(), buf.data(), static_cast<size_t>(n)) != 0) return MOX_E_IO;
  }
  return out.commit() == 0 ? MOX_OK : MOX_E_IO;
}

// Rewrites the label record of a cartridge with another member index.
int relabelMember(const std::string& path, uint16_t memberIndex) {
  return rewriteLabel(path, [memberIndex](Label* label) { label->memberIndex = memberIndex; });
}

struct Loc {
  int member;
  uint64_t offset;
};

// Rebuilds one member of a RAID 5 set into a fresh file from the others,
// session by session: every record of the member is either the parity of a
// stripe, recomputed from its blocks, or a block, recomputed from the
// stripe's parity and other blocks.
class ParityMemberRebuild {
 public:
  ParityMemberRebuild(const CartSet& set, size_t target, CartridgeFile& out)
      : set_(set),
        target_(target),
        layout_(5, static_cast<int>(set.memberCount())),
        d_(layout_.stripeUnits()),
        out_(out),
        image_(kHeaderSize + 4 * set.memberCount() + MOX_BLOCK_SIZE + 256) {}

  int writeLabel(const Label& reference);
  int rebuildSession(size_t e, const SessionExtent& ext);

 private:
  using Key = std::tuple<uint16_t, bool, uint32_t>;  // stream, parity, sequence
  int collectRecords(size_t e);
  int readImage(const Loc& loc, std::vector<uint8_t>* img);
  int writeParity(uint16_t stream, uint32_t stripe, uint32_t session);
  int writeBlock(uint16_t stream, uint32_t stripe, int parityMember);
  int flushIndex(uint32_t session);
  int write(const RecordHeader& h, const void* body) {
    uint64_t size = 0;
    int rc = out_.writeRecord(offset_, h, body, &size);
    if (rc == MOX_OK) offset_ += size;
    return rc;
  }

  const CartSet& set_;
  size_t target_;
  MemberLayout layout_;
  uint32_t d_;
  CartridgeFile& out_;
  uint64_t offset_ = 0;
  std::vector<uint8_t> image_;
  std::vector<uint8_t> acc_;
  std::map<Key, Loc> where_;  // the session's records on the other members
  std::vector<IndexEntry> pending_;
  std::vector<uint64_t> indexOffsets_;
};

int ParityMemberRebuild::writeLabel(const Label& reference) {
  Label label = reference;
  label.memberIndex = static_cast<uint16_t>(target_);
  uint8_t body[kLabelBodySize];
  encodeLabel(label, body);
  return write(controlHeader(Kind::kLabel, 0, static_cast<uint16_t>(target_), kLabelBodySize),
               body);
}

int ParityMemberRebuild::collectRecords(size_t e) {
  where_.clear();
  RecordHeader h;
  std::vector<uint8_t> body;
  for (size_t i = 0; i < set_.memberCount(); ++i) {
    if (i == target_) continue;
    const SessionExtent& mine = set_.maps[i].sessions[e];
    for (uint64_t io : mine.end.indexOffsets) {
      std::vector<IndexEntry> entries;
      int rc = set_.files[i]->readRecord(io, &h, &body);
      if (rc != MOX_OK) return rc;
      if (!decodeIndex(body.data(), body.size(), &entries)) return MOX_E_MEDIA;
      for (const auto& en : entries) {
        where_[{en.stream, en.parity != 0, en.sequence}] = {static_cast<int>(i), en.offset};
      }
    }
  }
  return MOX_OK;
}

int ParityMemberRebuild::readImage(const Loc& loc, std::vector<uint8_t>* img) {
  img->resize(image_.size());
  uint32_t len = 0;
  int r = set_.files[static_cast<size_t>(loc.member)]->readRaw(loc.offset, img->data(), img->size(),
                                                               &len);
  if (r != MOX_OK) return r;
  img->resize(len);
  RecordHeader ih;
  if (!decodeHeader(img->data(), &ih) ||
      crc32c(img->data() + kHeaderSize, ih.storedLength) != ih.bodyCrc) {
    return MOX_E_CHECKSUM;
  }
  return MOX_OK;
}

int ParityMemberRebuild::flushIndex(uint32_t session) {
  if (pending_.empty()) return MOX_OK;
  std::vector<uint8_t> ib = encodeIndex(pending_);
  uint64_t at = offset_;
  int rc = write(controlHeader(Kind::kIndex, session, static_cast<uint16_t>(target_), ib.size()),
                 ib.data());
  if (rc != MOX_OK) return rc;
  indexOffsets_.push_back(at);
  pending_.clear();
  return MOX_OK;
}

int ParityMemberRebuild::writeParity(uint16_t stream, uint32_t stripe, uint32_t session) {
  // Recompute the parity from the stripe's blocks.
  std::vector<uint32_t> lengths(d_, 0);
  uint32_t width = 0;
  acc_.assign(kHeaderSize + MOX_BLOCK_SIZE + 32, 0);
  for (uint32_t t = 0; t < d_; ++t) {
    auto it = where_.find({stream, false, stripe * d_ + t});
    if (it == where_.end()) continue;
    std::vector<uint8_t> img;
    int rc = readImage(it->second, &img);
    if (rc != MOX_OK) return rc;
    lengths[t] = static_cast<uint32_t>(img.size());
    width = std::max<uint32_t>(width, (lengths[t] + 31) / 32 * 32);
    for (size_t b = 0; b < img.size(); ++b) acc_[b] ^= img[b];
  }
  std::vector<uint8_t> pb(parityBodySize(d_, width));
  encodeParity(lengths, acc_.data(), width, pb.data());
  pending_.push_back({stream, 1, stripe, offset_});
  return write(parityHeader(stream, session, stripe, static_cast<uint16_t>(target_), d_, pb.size()),
               pb.data());
}

int ParityMemberRebuild::writeBlock(uint16_t stream, uint32_t stripe, int parityMember) {
  uint32_t t = layout_.unitOnMember(parityMember, static_cast<int>(target_));
  auto pit = where_.find({stream, true, stripe});
  if (pit == where_.end()) return MOX_E_DEGRADED;
  std::vector<uint8_t> parity;
  int rc = readImage(pit->second, &parity);
  if (rc != MOX_OK) return rc;
  ParityBody pbody;
  if (!decodeParity(parity.data() + kHeaderSize, parity.size() - kHeaderSize, d_, &pbody)) {
    return MOX_E_MEDIA;
  }
  uint32_t width = pbody.width;
  uint32_t want = pbody.imageLengths[t];
  if (want == 0) return MOX_OK;  // the block is not on this cartridge set
  if (want > width) return MOX_E_MEDIA;
  acc_.assign(pbody.xorImage, pbody.xorImage + width);
  for (uint32_t u = 0; u < d_; ++u) {
    uint32_t len = pbody.imageLengths[u];
    if (u == t || len == 0) continue;
    auto it = where_.find({stream, false, stripe * d_ + u});
    if (it == where_.end()) return MOX_E_DEGRADED;
    std::vector<uint8_t> img;
    if ((rc = readImage(it->second, &img)) != MOX_OK) return rc;
    if (img.size() != len || len > width) return MOX_E_MEDIA;
    for (uint32_t b = 0; b < len; ++b) acc_[b] ^= img[b];
  }
  RecordHeader dh;
  if (!decodeHeader(acc_.data(), &dh) || dh.storedLength + kHeaderSize != want ||
      crc32c(acc_.data() + kHeaderSize, dh.storedLength) != dh.bodyCrc) {
    return MOX_E_CHECKSUM;
  }
  pending_.push_back({stream, 0, dh.sequence, offset_});
  uint64_t size = 0;
  if ((rc = out_.writeRaw(offset_, acc_.data(), want, &size)) != MOX_OK) return rc;
  offset_ += size;
  return MOX_OK;
}

int ParityMemberRebuild::rebuildSession(size_t e, const SessionExtent& ext) {
  size_t ref = target_ == 0 ? 1 : 0;
  // Session start, copied.
  RecordHeader h;
  std::vector<uint8_t> body;
  int rc = set_.files[ref]->readRecord(ext.startOffset, &h, &body);
  if (rc != MOX_OK) return rc;
  h.member = static_cast<uint16_t>(target_);
  if ((rc = write(h, body.data())) != MOX_OK) return rc;
  if ((rc = collectRecords(e)) != MOX_OK) return rc;
  std::set<std::pair<uint16_t, uint32_t>> stripes;
  for (const auto& [key, loc] : where_) {
    auto [stream, parity, seq] = key;
    stripes.insert({stream, parity ? seq : layout_.stripeOf(seq)});
  }
  pending_.clear();
  indexOffsets_.clear();
  for (const auto& [stream, stripe] : stripes) {
    int p = layout_.parityMember(stream, stripe);
    rc = static_cast<size_t>(p) == target_ ? writeParity(stream, stripe, ext.session)
                                           : writeBlock(stream, stripe, p);
    if (rc != MOX_OK) return rc;
    if (pending_.size() >= kIndexBatch && (rc = flushIndex(ext.session)) != MOX_OK) return rc;
  }
  if ((rc = flushIndex(ext.session)) != MOX_OK) return rc;
  SessionEnd end;
  end.streamBlocks = ext.end.streamBlocks;
  end.indexOffsets = indexOffsets_;
  std::vector<uint8_t> eb = encodeSessionEnd(end);
  rc = write(controlHeader(ext.continued ? Kind::kContinuation : Kind::kSessionEnd, ext.session,
                           static_cast<uint16_t>(target_), eb.size()),
             eb.data());
  if (rc != MOX_OK) return rc;
  if ((rc = out_.writeTapeMark(offset_)) != MOX_OK) return rc;
  offset_ += 4;
  return MOX_OK;
}

// MOX_OK when every member but `target` is sound and holds the same sessions.
int rebuildSource(const CartSet& set, size_t target) {
  size_t ref = target == 0 ? 1 : 0;
  for (size_t i = 0; i < set.memberCount(); ++i) {
    if (i == target) continue;
    if (set.failed[i] || set.damaged[i]) return MOX_E_DEGRADED;
    if (set.maps[i].sessions.size() != set.maps[ref].sessions.size()) return MOX_E_DEGRADED;
  }
  return MOX_OK;
}

// Writes the label and every session of RAID 5 member `target` into `out`.
int rebuildParitySessions(const CartSet& set, size_t target, const CartridgeMap& refMap,
                          CartridgeFile& out) {
  ParityMemberRebuild rebuild(set, target, out);
  int rc = rebuild.writeLabel(refMap.label);
  for (size_t e = 0; rc == MOX_OK && e < refMap.sessions.size(); ++e) {
    rc = rebuild.rebuildSession(e, refMap.sessions[e]);
  }
  return rc;
}

// Rebuilds RAID 5 member `target` of `set` onto the cartridge `targetName`
// from the others.
int rebuildParityMember(const Home& home, const CartSet& set, size_t target,
                        const std::string& targetName) {
  int rc = rebuildSource(set, target);
  if (rc != MOX_OK) return rc;
  const CartridgeMap& refMap = set.maps[target == 0 ? 1 : 0];
  // The member is built in a temporary file beside its cartridge and
  // renamed over it only when complete and synced; a failed rebuild leaves
  // the old cartridge as it was and no temporary file behind.
  platform::TempFile fresh(home.cartridgePath(targetName));
  if (fresh.open() != 0) return MOX_E_IO;
  CartridgeFile out;
  rc = out.open(fresh.tempPath(), true);
  if (rc == MOX_OK && !refMap.blank) rc = rebuildParitySessions(set, target, refMap, out);
  if (rc == MOX_OK) rc = out.sync();
  out.close();
  if (rc != MOX_OK) return rc;
  dropCartridgeMap(home.cartridgePath(targetName));
  return fresh.commit() == 0 ? MOX_OK : MOX_E_IO;
}

// Rebuilds member `target` of `set` (RAID 1 from member `source`) onto the
// cartridge `targetName`, and notes it as the set's member when it holds
// session data.
int rebuildOnto(const Home& home, int level, const CartSet& set, uint64_t setId, size_t source,
                size_t target, const std::string& targetName) {
  std::string path = home.cartridgePath(targetName);
  bool holdsData = false;
  int rc = MOX_E_LEVEL_UNSUPPORTED;
  if (level == 1) {
    if (source >= set.memberCount() || set.names[source].empty()) return MOX_E_NO_TAPE;
    CartridgeMap map;
    rc = scanCartridge(home.cartridgePath(set.names[source]), &map);
    if (rc != MOX_OK) return MOX_E_DEGRADED;
    // The copy is a new file: the map of what was there is of no use.
    dropCartridgeMap(path);
    rc = copyFile(home.cartridgePath(set.names[source]), path);
    if (rc == MOX_OK && !map.blank) rc = relabelMember(path, static_cast<uint16_t>(target));
    holdsData = map.hasData();
  } else if (level == 5) {
    rc = rebuildParityMember(home, set, target, targetName);
    holdsData = set.maps[target == 0 ? 1 : 0].hasData();
  }
  if (rc != MOX_OK) return rc;
  if (!holdsData) return dropSetNote(path);
  return writeSetNote(
      path, {setId, static_cast<uint16_t>(target), static_cast<uint16_t>(set.memberCount())});
}

// Which members of `set` (the set `setId`) are missing, foreign, behind
// the others, damaged, or lost the session data the library noted on them.
// On a set that a later set continues (`continued`), nothing is left for a
// writer to finish: a member with an unfinished tail, even a tape mark
// missing after a sound end record, is damaged too.
MemberHealth setHealth(const Home& home, const CartSet& set, uint64_t setId,
                       bool continued = false) {
  MemberHealth health;
  const auto& names = set.names;
  health.mounted = std::none_of(names.begin(), names.end(), [](auto& n) { return n.empty(); });
  size_t most = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    if (!set.failed[i]) most = std::max(most, set.maps[i].sessions.size());
  }
  health.failed = set.failed;
  health.readFailed = set.readFailed;
  health.labelled = true;
  for (size_t i = 0; i < names.size(); ++i) {
    if (!set.failed[i] && set.maps[i].sessions.size() < most) health.failed[i] = true;
    if (set.damaged[i]) health.failed[i] = true;
    SetNote note;
    NoteRead noted = readSetNote(home.cartridgePath(names[i]), &note);
    if (noted == NoteRead::kUnreadable) health.readFailed = true;
    if (!health.failed[i] && setId != 0 && noted == NoteRead::kNoted && note.setId == setId &&
        !lostSetData(note, set.maps[i]).empty()) {
      health.failed[i] = true;
    }
    CartridgeMap own;
    if (!health.failed[i] && continued &&
        (scanCartridge(home.cartridgePath(names[i]), &own) != MOX_OK || own.tornTail)) {
      health.failed[i] = true;
    }
    if (!health.failed[i] && set.maps[i].blank) health.labelled = false;
    if (health.failed[i]) ++health.damaged;
  }
  if (health.damaged == static_cast<int>(names.size())) health.labelled = false;
  return health;
}

// A blank of the pool (in no drive) for a member of a set in the pool,
// noted for that member at once so that no load takes it meanwhile. "" when
// the pool has none.
std::string takePoolBlank(Home& home, const SetNote& note) {
  HomeLock lock(home.path());
  moxcfg::EngineSettings settings;
  moxcfg::loadEngineSettings(home.path(), &settings);
  std::set<std::string> loaded;
  for (int d = 0; d < settings.driveCount; ++d) loaded.insert(home.driveCartridge(d));
  for (const auto& name : home.listCartridges()) {
    if (loaded.count(name) != 0 || !cartridgeIsBlank(home, name)) continue;
    if (writeSetNote(home.cartridgePath(name), note) != MOX_OK) return "";
    return name;
  }
  return "";
}

// Rebuilds the damaged members of a set in the pool (an older set of the
// group). *rebuilt counts the members rebuilt. MOX_E_DEGRADED when the set
// cannot be rebuilt (RAID 0, too many members lost).
int rebuildPoolSet(Home& home, const moxcfg::RaidConfig& config, const CartSet& set, uint64_t setId,
                   int* rebuilt) {
  MemberHealth health = setHealth(home, set, setId, true);
  if (health.readFailed) return MOX_E_IO;
  int members = static_cast<int>(set.memberCount());
  if (health.damaged == 0) return MOX_OK;
  if (config.level == 0 || health.damaged == members || (config.level == 5 && health.damaged > 1)) {
    return MOX_E_DEGRADED;
  }
  size_t source = 0;
  while (health.failed[source]) ++source;
  for (size_t i = 0; i < set.memberCount(); ++i) {
    if (!health.failed[i]) continue;
    SetNote note{setId, static_cast<uint16_t>(i), static_cast<uint16_t>(members)};
    std::string target = set.names[i];
    bool blank = target.empty();
    if (blank && (target = takePoolBlank(home, note)).empty()) return MOX_E_NO_BLANK;
    int rc = rebuildOnto(home, config.level, set, setId, source, i, target);
    if (rc != MOX_OK) {
      // A blank taken for the member that did not become it is a blank again.
      if (blank) dropSetNote(home.cartridgePath(target));
      return rc;
    }
    ++*rebuilt;
  }
  return MOX_OK;
}

}  // namespace

MemberHealth checkMembers(const Home& home, const moxcfg::RaidConfig& config) {
  auto set = openSet(home, memberCartridges(home, config.members), false);
  return setHealth(home, *set, set->setId);
}

int eraseCartridge(const std::string& path, bool keepLabel) {
  CartridgeFile file;
  int rc = file.open(path, true);
  if (rc != MOX_OK) return rc;
  CartridgeMap map;
  rc = keepLabel ? mountCartridge(file, &map) : MOX_OK;
  if (rc != MOX_OK) return rc;
  uint64_t keep = map.blank ? 0 : framedSize(kHeaderSize + kLabelBodySize);
  if (dropSetNote(path) != MOX_OK) return MOX_E_IO;
  rc = file.truncate(keep);
  if (rc == MOX_OK) rc = file.sync();
  if (rc != MOX_OK) {
    dropCartridgeMap(path);
    return rc;
  }
  CartridgeMap erased;
  erased.blank = map.blank;
  erased.label = map.label;
  erased.appendOffset = erased.fileSize = keep;
  storeCartridgeMap(file, erased);
  return MOX_OK;
}

int rebuildMember(Home& home, const moxcfg::RaidConfig& config, size_t source, size_t target) {
  if (config.level != 1 && config.level != 5) return MOX_E_LEVEL_UNSUPPORTED;
  if (config.level == 1 && home.driveCartridge(config.members[source]).empty()) {
    return MOX_E_NO_TAPE;
  }
  std::string to;
  int rc = ensureCartridge(home, config.members[target], &to);
  if (rc != MOX_OK) return rc;
  auto set = openSet(home, memberCartridges(home, config.members), false);
  return rebuildOnto(home, config.level, *set, set->setId, source, target, to);
}

int rebuildGroup(Home& home, int /*raidNumber*/, const moxcfg::RaidConfig& config, int* built,
                 int* rebuilt) {
  MemberHealth health = checkMembers(home, config);
  // A member that cannot be read is not known to be the one behind: a
  // rebuild could copy the others over the only sound one.
  if (health.readFailed) return MOX_E_IO;
  int members = static_cast<int>(config.members.size());
  *built = members - health.damaged;
  *rebuilt = 0;
  int result = MOX_OK;
  if (health.damaged > 0) {
    if (config.level == 0 || health.damaged == members ||
        (config.level == 5 && health.damaged > 1)) {
      result = MOX_E_DEGRADED;
    } else {
      size_t source = 0;
      while (health.failed[source]) ++source;
      for (size_t i = 0; i < config.members.size(); ++i) {
        if (!health.failed[i]) continue;
        int rc = rebuildMember(home, config, source, i);
        if (rc != MOX_OK) return rc;
        ++*rebuilt;
      }
    }
  }
  // The group's older sets, in the pool, hold sessions too: each is
  // rebuilt the same way, or the result says it could not be.
  auto mounted = openSet(home, memberCartridges(home, config.members), false);
  if (mounted->readFailed) return result == MOX_OK ? MOX_E_IO : result;
  for (const auto& older : olderSets(home, *mounted, config.members.size())) {
    int rc = rebuildPoolSet(home, config, *older.set, older.setId, rebuilt);
    if (rc != MOX_OK && result == MOX_OK) result = rc;
  }
  return result;
}

}  // namespace mox
