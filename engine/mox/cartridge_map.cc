#include "engine/mox/cartridge_map.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "engine/mox/mox.h"

namespace mox {
namespace {

// "MXMP" and the layout's version: a side file of any other version is
// ignored (and replaced at the next store).
constexpr uint32_t kMapMagic = 0x504D584D;
constexpr uint32_t kMapVersion = 1;
// Far more than a cartridge holds; a larger count is a foreign file.
constexpr uint32_t kMaxSessions = 1u << 20;

std::atomic<uint64_t> gFromMap{0};
std::atomic<uint64_t> gScanned{0};

class Writer {
 public:
  void u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
  }
  void u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
  }
  void bytes(const void* p, size_t n) { out_.append(static_cast<const char*>(p), n); }
  std::string& out() { return out_; }

 private:
  std::string out_;
};

class Reader {
 public:
  Reader(const uint8_t* p, size_t n) : p_(p), end_(p + n) {}
  bool ok() const { return ok_; }
  bool atEnd() const { return p_ == end_; }
  const uint8_t* take(size_t n) {
    if (!ok_ || static_cast<size_t>(end_ - p_) < n) {
      ok_ = false;
      return nullptr;
    }
    const uint8_t* at = p_;
    p_ += n;
    return at;
  }
  uint8_t u8() {
    const uint8_t* p = take(1);
    return p ? p[0] : 0;
  }
  uint32_t u32() {
    const uint8_t* p = take(4);
    return p ? loadLe32(p) : 0;
  }
  uint64_t u64() {
    const uint8_t* p = take(8);
    return p ? loadLe32(p) | (static_cast<uint64_t>(loadLe32(p + 4)) << 32) : 0;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
  bool ok_ = true;
};

void putStamp(Writer& w, const FileStamp& s) {
  w.u64(s.device);
  w.u64(s.inode);
  w.u64(s.size);
  w.u64(static_cast<uint64_t>(s.mtimeSec));
  w.u64(static_cast<uint64_t>(s.mtimeNsec));
  w.u64(static_cast<uint64_t>(s.ctimeSec));
  w.u64(static_cast<uint64_t>(s.ctimeNsec));
}

void getStamp(Reader& r, FileStamp* s) {
  s->device = r.u64();
  s->inode = r.u64();
  s->size = r.u64();
  s->mtimeSec = static_cast<int64_t>(r.u64());
  s->mtimeNsec = static_cast<int64_t>(r.u64());
  s->ctimeSec = static_cast<int64_t>(r.u64());
  s->ctimeNsec = static_cast<int64_t>(r.u64());
}

void putSession(Writer& w, const SessionExtent& e) {
  w.u32(e.session);
  w.u8(e.continued ? 1 : 0);
  uint8_t start[kSessionStartBodySize];
  encodeSessionStart(e.start, start);
  w.bytes(start, sizeof start);
  w.u64(e.startOffset);
  w.u64(e.endOffset);
  w.u64(e.nextOffset);
  std::vector<uint8_t> end = encodeSessionEnd(e.end);
  w.u32(static_cast<uint32_t>(end.size()));
  w.bytes(end.data(), end.size());
}

bool getSession(Reader& r, SessionExtent* e) {
  e->session = r.u32();
  uint8_t continued = r.u8();
  const uint8_t* start = r.take(kSessionStartBodySize);
  e->startOffset = r.u64();
  e->endOffset = r.u64();
  e->nextOffset = r.u64();
  uint32_t endLength = r.u32();
  const uint8_t* end = r.take(endLength);
  if (!r.ok() || continued > 1) return false;
  e->continued = continued == 1;
  e->startKnown = true;
  return decodeSessionStart(start, kSessionStartBodySize, &e->start) &&
         decodeSessionEnd(end, endLength, &e->end);
}

}  // namespace

std::string sideFilePath(const std::string& cartridgePath, const char* suffix) {
  size_t slash = cartridgePath.rfind('/');
  std::string dir = slash == std::string::npos ? "" : cartridgePath.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? cartridgePath : cartridgePath.substr(slash + 1);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tap") == 0) {
    name.resize(name.size() - 4);
  }
  return dir + "." + name + suffix;
}

std::string cartridgeMapPath(const std::string& cartridgePath) {
  return sideFilePath(cartridgePath, ".map");
}

bool cartridgeMapCacheable(const CartridgeMap& map) {
  if (map.blank || map.tornTail || !map.damage.empty()) return false;
  // Finished sessions lie back to back after the label, up to the append
  // offset, which is the end of the file.
  uint64_t at = framedSize(kHeaderSize + kLabelBodySize);
  for (const auto& s : map.sessions) {
    if (!s.startKnown || s.startOffset != at || s.endOffset <= s.startOffset ||
        s.nextOffset <= s.endOffset) {
      return false;
    }
    at = s.nextOffset;
  }
  return at == map.appendOffset && map.appendOffset == map.fileSize;
}

std::string encodeCartridgeMap(const FileStamp& stamp, const CartridgeMap& map) {
  Writer w;
  w.u32(kMapMagic);
  w.u32(kMapVersion);
  putStamp(w, stamp);
  uint8_t label[kLabelBodySize];
  encodeLabel(map.label, label);
  w.bytes(label, sizeof label);
  w.u64(map.appendOffset);
  w.u64(map.fileSize);
  w.u32(static_cast<uint32_t>(map.sessions.size()));
  for (const auto& s : map.sessions) putSession(w, s);
  w.u32(crc32c(w.out().data(), w.out().size()));
  return std::move(w.out());
}

bool decodeCartridgeMap(const std::string& data, FileStamp* stamp, CartridgeMap* map) {
  if (data.size() < 12) return false;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data.data());
  size_t body = data.size() - 4;
  if (crc32c(bytes, body) != loadLe32(bytes + body)) return false;
  Reader r(bytes, body);
  if (r.u32() != kMapMagic || r.u32() != kMapVersion) return false;
  getStamp(r, stamp);
  CartridgeMap m;
  m.blank = false;
  const uint8_t* label = r.take(kLabelBodySize);
  if (label == nullptr || !decodeLabel(label, kLabelBodySize, &m.label)) return false;
  m.appendOffset = r.u64();
  m.fileSize = r.u64();
  uint32_t count = r.u32();
  if (!r.ok() || count > kMaxSessions) return false;
  m.sessions.resize(count);
  for (auto& s : m.sessions) {
    if (!getSession(r, &s)) return false;
  }
  if (!r.atEnd() || !cartridgeMapCacheable(m) || m.fileSize != stamp->size) return false;
  *map = std::move(m);
  return true;
}

void countMount(bool fromMap) { (fromMap ? gFromMap : gScanned).fetch_add(1); }

MapCounters cartridgeMapCounters() { return {gFromMap.load(), gScanned.load()}; }

}  // namespace mox
