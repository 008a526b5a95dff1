#include "engine/mox/rebuild.h"

#include <fcntl.h>
#include <isa-l.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include "engine/mox/cartridge.h"
#include "engine/mox/library.h"
#include "engine/mox/mox.h"

namespace mox {
namespace {

int ensureCartridge(Home& home, uint16_t drive, std::string* name) {
  *name = home.driveCartridge(drive);
  if (!name->empty()) return MOX_OK;
  HomeLock lock(home.path());
  int rc = loadBlanks(home, {drive});
  if (rc != MOX_OK) return rc;
  *name = home.driveCartridge(drive);
  return MOX_OK;
}

int copyFile(const std::string& from, const std::string& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return MOX_E_MEDIA;
  std::string tmp = to + ".rebuild";
  int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    ::close(in);
    return MOX_E_IO;
  }
  std::vector<char> buf(1 << 20);
  int rc = MOX_OK;
  for (;;) {
    ssize_t n = read(in, buf.data(), buf.size());
    if (n < 0) {
      rc = MOX_E_IO;
      break;
    }
    if (n == 0) break;
    if (write(out, buf.data(), static_cast<size_t>(n)) != n) {
      rc = MOX_E_IO;
      break;
    }
  }
  if (rc == MOX_OK && fsync(out) != 0) rc = MOX_E_IO;
  ::close(in);
  ::close(out);
  if (rc == MOX_OK && rename(tmp.c_str(), to.c_str()) != 0) rc = MOX_E_IO;
  if (rc != MOX_OK) unlink(tmp.c_str());
  return rc;
}

// Rewrites the label record of a cartridge with another member index.
int relabelMember(const std::string& path, uint16_t memberIndex) {
  CartridgeFile file;
  int rc = file.open(path, true);
  if (rc != MOX_OK) return rc;
  RecordHeader h;
  std::vector<uint8_t> body;
  rc = file.readRecord(0, &h, &body);
  if (rc != MOX_OK) return rc;
  Label label;
  if (h.kind != Kind::kLabel || !decodeLabel(body.data(), body.size(), &label)) return MOX_E_MEDIA;
  label.memberIndex = memberIndex;
  encodeLabel(label, body.data());
  h.member = memberIndex;
  uint64_t size = 0;
  rc = file.writeRecord(0, h, body.data(), &size);
  return rc == MOX_OK ? file.sync() : rc;
}

struct Loc {
  int member;
  uint64_t offset;
};

// Rebuilds RAID 5 member `target` into a fresh file from the others.
int rebuildParityMember(Home& home, const moxcfg::RaidConfig& config, size_t target) {
  size_t m = config.members.size();
  uint32_t d = static_cast<uint32_t>(m - 1);
  auto names = memberCartridges(home, config.members);
  auto set = openSet(home, names, false);
  for (size_t i = 0; i < m; ++i) {
    if (i != target && (set->failed[i] || set->damaged[i])) return MOX_E_DEGRADED;
  }
  size_t ref = target == 0 ? 1 : 0;
  const CartridgeMap& refMap = set->maps[ref];
  for (size_t i = 0; i < m; ++i) {
    if (i != target && set->maps[i].sessions.size() != refMap.sessions.size()) {
      return MOX_E_DEGRADED;
    }
  }
  std::string targetName;
  int rc = ensureCartridge(home, config.members[target], &targetName);
  if (rc != MOX_OK) return rc;
  std::string path = home.cartridgePath(targetName);
  std::string tmp = path + ".rebuild";
  int fd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return MOX_E_IO;
  ::close(fd);
  CartridgeFile out;
  rc = out.open(tmp, true);
  if (rc != MOX_OK) return rc;
  uint64_t offset = 0, size = 0;
  if (refMap.blank) {
    out.close();
    rename(tmp.c_str(), path.c_str());
    return MOX_OK;
  }
  Label label = refMap.label;
  label.memberIndex = static_cast<uint16_t>(target);
  {
    uint8_t body[kLabelBodySize];
    encodeLabel(label, body);
    RecordHeader h = controlHeader(Kind::kLabel, 0, static_cast<uint16_t>(target), kLabelBodySize);
    if ((rc = out.writeRecord(offset, h, body, &size)) != MOX_OK) return rc;
    offset += size;
  }
  std::vector<uint8_t> image(kHeaderSize + 4 * m + MOX_BLOCK_SIZE + 256);
  std::vector<uint8_t> acc;
  for (size_t e = 0; e < refMap.sessions.size(); ++e) {
    const SessionExtent& ext = refMap.sessions[e];
    // Session start, copied.
    RecordHeader h;
    std::vector<uint8_t> body;
    if ((rc = set->files[ref]->readRecord(ext.startOffset, &h, &body)) != MOX_OK) return rc;
    h.member = static_cast<uint16_t>(target);
    if ((rc = out.writeRecord(offset, h, body.data(), &size)) != MOX_OK) return rc;
    offset += size;
    // Every data and parity record of the other members.
    std::map<std::tuple<uint16_t, bool, uint32_t>, Loc> where;
    for (size_t i = 0; i < m; ++i) {
      if (i == target) continue;
      const SessionExtent& mine = set->maps[i].sessions[e];
      for (uint64_t io : mine.end.indexOffsets) {
        std::vector<IndexEntry> entries;
        if ((rc = set->files[i]->readRecord(io, &h, &body)) != MOX_OK) return rc;
        if (!decodeIndex(body.data(), body.size(), &entries)) return MOX_E_MEDIA;
        for (const auto& en : entries) {
          where[{en.stream, en.parity != 0, en.sequence}] = {static_cast<int>(i), en.offset};
        }
      }
    }
    std::set<std::pair<uint16_t, uint32_t>> stripes;
    for (const auto& [key, loc] : where) {
      auto [stream, parity, seq] = key;
      stripes.insert({stream, parity ? seq : seq / d});
    }
    std::vector<IndexEntry> pending;
    std::vector<uint64_t> indexOffsets;
    auto flush = [&]() -> int {
      if (pending.empty()) return MOX_OK;
      std::vector<uint8_t> ib = encodeIndex(pending);
      RecordHeader ih =
          controlHeader(Kind::kIndex, ext.session, static_cast<uint16_t>(target), ib.size());
      int r = out.writeRecord(offset, ih, ib.data(), &size);
      if (r != MOX_OK) return r;
      indexOffsets.push_back(offset);
      offset += size;
      pending.clear();
      return MOX_OK;
    };
    auto readImage = [&](const Loc& loc, std::vector<uint8_t>* img) -> int {
      img->resize(image.size());
      uint32_t len = 0;
      int r = set->files[static_cast<size_t>(loc.member)]->readRaw(loc.offset, img->data(),
                                                                   img->size(), &len);
      if (r != MOX_OK) return r;
      img->resize(len);
      RecordHeader ih;
      if (!decodeHeader(img->data(), &ih) ||
          crc32c(img->data() + kHeaderSize, ih.storedLength) != ih.bodyCrc) {
        return MOX_E_CHECKSUM;
      }
      return MOX_OK;
    };
    for (const auto& [stream, stripe] : stripes) {
      uint32_t p = static_cast<uint32_t>((stream + static_cast<uint64_t>(stripe)) % m);
      if (p == target) {
        // Recompute the parity from the stripe's blocks.
        std::vector<uint32_t> lengths(d, 0);
        uint32_t width = 0;
        acc.assign(kHeaderSize + MOX_BLOCK_SIZE + 32, 0);
        for (uint32_t t = 0; t < d; ++t) {
          auto it = where.find({stream, false, stripe * d + t});
          if (it == where.end()) continue;
          std::vector<uint8_t> img;
          if ((rc = readImage(it->second, &img)) != MOX_OK) return rc;
          lengths[t] = static_cast<uint32_t>(img.size());
          width = std::max<uint32_t>(width, (lengths[t] + 31) / 32 * 32);
          for (size_t b = 0; b < img.size(); ++b) acc[b] ^= img[b];
        }
        std::vector<uint8_t> pb(parityBodySize(d, width));
        encodeParity(lengths, acc.data(), width, pb.data());
        RecordHeader ph =
            parityHeader(stream, ext.session, stripe, static_cast<uint16_t>(target), d, pb.size());
        pending.push_back({stream, 1, stripe, offset});
        if ((rc = out.writeRecord(offset, ph, pb.data(), &size)) != MOX_OK) return rc;
        offset += size;
      } else {
        uint32_t t = static_cast<uint32_t>((target + m - p - 1) % m);
        auto pit = where.find({stream, true, stripe});
        if (pit == where.end()) return MOX_E_DEGRADED;
        std::vector<uint8_t> parity;
        if ((rc = readImage(pit->second, &parity)) != MOX_OK) return rc;
        ParityBody pbody;
        if (!decodeParity(parity.data() + kHeaderSize, parity.size() - kHeaderSize, d, &pbody)) {
          return MOX_E_MEDIA;
        }
        uint32_t width = pbody.width;
        uint32_t want = pbody.imageLengths[t];
        if (want == 0) continue;  // the block is not on this cartridge set
        if (want > width) return MOX_E_MEDIA;
        acc.assign(pbody.xorImage, pbody.xorImage + width);
        for (uint32_t u = 0; u < d; ++u) {
          uint32_t len = pbody.imageLengths[u];
          if (u == t || len == 0) continue;
          auto it = where.find({stream, false, stripe * d + u});
          if (it == where.end()) return MOX_E_DEGRADED;
          std::vector<uint8_t> img;
          if ((rc = readImage(it->second, &img)) != MOX_OK) return rc;
          if (img.size() != len || len > width) return MOX_E_MEDIA;
          for (uint32_t b = 0; b < len; ++b) acc[b] ^= img[b];
        }
        RecordHeader dh;
        if (!decodeHeader(acc.data(), &dh) || dh.storedLength + kHeaderSize != want ||
            crc32c(acc.data() + kHeaderSize, dh.storedLength) != dh.bodyCrc) {
          return MOX_E_CHECKSUM;
        }
        pending.push_back({stream, 0, dh.sequence, offset});
        if ((rc = out.writeRaw(offset, acc.data(), want, &size)) != MOX_OK) return rc;
        offset += size;
      }
      if (pending.size() >= kIndexBatch && (rc = flush()) != MOX_OK) return rc;
    }
    if ((rc = flush()) != MOX_OK) return rc;
    SessionEnd end;
    end.streamBlocks = ext.end.streamBlocks;
    end.indexOffsets = indexOffsets;
    std::vector<uint8_t> eb = encodeSessionEnd(end);
    RecordHeader eh = controlHeader(ext.continued ? Kind::kContinuation : Kind::kSessionEnd,
                                    ext.session, static_cast<uint16_t>(target), eb.size());
    if ((rc = out.writeRecord(offset, eh, eb.data(), &size)) != MOX_OK) return rc;
    offset += size;
    if ((rc = out.writeTapeMark(offset)) != MOX_OK) return rc;
    offset += 4;
  }
  if ((rc = out.sync()) != MOX_OK) return rc;
  out.close();
  return rename(tmp.c_str(), path.c_str()) == 0 ? MOX_OK : MOX_E_IO;
}

}  // namespace

MemberHealth checkMembers(const Home& home, const moxcfg::RaidConfig& config) {
  MemberHealth health;
  auto names = memberCartridges(home, config.members);
  auto set = openSet(home, names, false);
  health.mounted = std::none_of(names.begin(), names.end(), [](auto& n) { return n.empty(); });
  size_t most = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    if (!set->failed[i]) most = std::max(most, set->maps[i].sessions.size());
  }
  health.failed = set->failed;
  health.labelled = true;
  for (size_t i = 0; i < names.size(); ++i) {
    if (!set->failed[i] && set->maps[i].sessions.size() < most) health.failed[i] = true;
    if (set->damaged[i]) health.failed[i] = true;
    if (!health.failed[i] && set->maps[i].blank) health.labelled = false;
    if (health.failed[i]) ++health.damaged;
  }
  if (health.damaged == static_cast<int>(names.size())) health.labelled = false;
  return health;
}

int eraseCartridge(const std::string& path) {
  CartridgeFile file;
  int rc = file.open(path, true);
  if (rc != MOX_OK) return rc;
  CartridgeMap map;
  rc = file.scan(&map);
  if (rc != MOX_OK) return rc;
  rc = file.truncate(map.blank ? 0 : framedSize(kHeaderSize + kLabelBodySize));
  return rc == MOX_OK ? file.sync() : rc;
}

int rebuildMember(Home& home, const moxcfg::RaidConfig& config, size_t source, size_t target) {
  if (config.level == 1) {
    std::string from = home.driveCartridge(config.members[source]);
    if (from.empty()) return MOX_E_NO_TAPE;
    CartridgeMap map;
    int rc = scanCartridge(home.cartridgePath(from), &map);
    if (rc != MOX_OK) return MOX_E_DEGRADED;
    std::string to;
    rc = ensureCartridge(home, config.members[target], &to);
    if (rc != MOX_OK) return rc;
    rc = copyFile(home.cartridgePath(from), home.cartridgePath(to));
    if (rc != MOX_OK || map.blank) return rc;
    return relabelMember(home.cartridgePath(to), static_cast<uint16_t>(target));
  }
  if (config.level == 5) return rebuildParityMember(home, config, target);
  return MOX_E_LEVEL_UNSUPPORTED;
}

int rebuildGroup(Home& home, int /*raidNumber*/, const moxcfg::RaidConfig& config, int* built,
                 int* rebuilt) {
  MemberHealth health = checkMembers(home, config);
  int members = static_cast<int>(config.members.size());
  *built = members - health.damaged;
  *rebuilt = 0;
  if (health.damaged == 0) return MOX_OK;
  if (config.level == 0 || health.damaged == members || (config.level == 5 && health.damaged > 1)) {
    return MOX_E_DEGRADED;
  }
  size_t source = 0;
  while (health.failed[source]) ++source;
  for (size_t i = 0; i < config.members.size(); ++i) {
    if (!health.failed[i]) continue;
    int rc = rebuildMember(home, config, source, i);
    if (rc != MOX_OK) return rc;
    ++*rebuilt;
  }
  return MOX_OK;
}

}  // namespace mox
