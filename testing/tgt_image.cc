#include "testing/tgt_image.h"

#include <isa-l/crc.h>

#include <fstream>
#include <map>
#include <set>
#include <tuple>

namespace zeptest {
namespace {

// tgt's block header: a byte, then ondisk size, block size and type (32-bit),
// block number, previous, current and next header offsets (64-bit), all
// big-endian, in the first 48 bytes.
constexpr uint64_t kHeaderBytes = 48;
constexpr uint32_t kBlockBot = 0x10, kBlockEod = 0x20, kBlockFilemark = 0x40;
constexpr uint32_t kBlockData = 0x02;

uint64_t be(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}
uint64_t le(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

uint32_t crc32c(const uint8_t* p, size_t n) {
  return crc32_iscsi(const_cast<uint8_t*>(p), static_cast<int>(n), 0xFFFFFFFFu) ^ 0xFFFFFFFFu;
}

// The engine's record header (engine/mox/FORMAT.md), decoded here anew.
constexpr uint32_t kMagic = 0x52584F4D;
constexpr size_t kRecordHeader = 40;
// A pack: records packed into one tape block ("MOXP", the count of the
// bytes after it, then the records framed as a cartridge file frames them).
constexpr uint32_t kPackMagic = 0x50584F4D;
enum Kind { kLabel = 1, kStart, kData, kParity, kIndex, kEnd, kContinuation };

struct Record {
  int kind = 0;
  uint16_t stream = 0;
  uint32_t session = 0, sequence = 0, stored = 0;
  const uint8_t* body = nullptr;
};

bool decode(const std::vector<uint8_t>& b, Record* r, std::string* why) {
  if (b.size() < kRecordHeader || le(b.data(), 4) != kMagic) {
    *why = "a block that is no engine record";
    return false;
  }
  if (crc32c(b.data(), 36) != le(b.data() + 36, 4)) {
    *why = "a record header whose checksum is wrong";
    return false;
  }
  r->kind = b[4];
  r->stream = static_cast<uint16_t>(le(b.data() + 6, 2));
  r->session = static_cast<uint32_t>(le(b.data() + 8, 4));
  r->sequence = static_cast<uint32_t>(le(b.data() + 12, 4));
  r->stored = static_cast<uint32_t>(le(b.data() + 16, 4));
  if (kRecordHeader + r->stored != b.size()) {
    *why = "a record whose length disagrees with its block";
    return false;
  }
  r->body = b.data() + kRecordHeader;
  if (crc32c(r->body, r->stored) != le(b.data() + 24, 4)) {
    *why = "a record body whose checksum is wrong";
    return false;
  }
  if (r->kind < kLabel || r->kind > kContinuation) {
    *why = "a record of unknown kind";
    return false;
  }
  return true;
}

// What one tape says of a session part, for the check across its set.
struct Part {
  std::map<uint16_t, std::set<uint32_t>> data;  // stream -> block numbers
  std::vector<uint32_t> counts;                 // the end record's block counts
  bool ended = false;
};
// (set id, session, set index) -> the parts of the set's tapes.
using SetParts = std::map<std::tuple<uint64_t, uint32_t, uint32_t>, std::vector<Part>>;

struct Walker {
  Walker(TapeCheck* check, SetParts* setParts) : out(check), parts(setParts) {}
  TapeCheck* out;
  SetParts* parts;
  uint64_t setId = 0;
  enum State { kNeedLabel, kBetween, kInSession, kEnded } state = kNeedLabel;
  uint64_t address = 0;  // where a cartridge file of the same content would be
  uint32_t session = 0, setIndex = 0;
  std::map<uint16_t, int64_t> lastData, lastParity;
  // Records of the part: address -> (kind, stream, sequence), and which of
  // them an index entry named.
  std::map<uint64_t, std::tuple<int, uint16_t, uint32_t>> placed;
  std::set<uint64_t> indexed;
  std::vector<uint64_t> indexAt;
  Part part;
  size_t faultsBeforePart = 0;
  std::tuple<uint64_t, uint32_t, uint32_t> unfinishedPart{0, 0, 0};

  void fault(const std::string& what) {
    out->sound = false;
    out->faults.push_back("offset " + std::to_string(address) + ": " + what);
  }

  void startPart(const Record& r) {
    faultsBeforePart = out->faults.size();
    session = r.session;
    setIndex = r.stored >= 4 ? static_cast<uint32_t>(le(r.body, 4)) : 0;
    lastData.clear();
    lastParity.clear();
    placed.clear();
    indexed.clear();
    indexAt.clear();
    part = Part{};
    state = kInSession;
  }

  void index(const Record& r) {
    for (uint32_t i = 0; i + 16 <= r.stored; i += 16) {
      const uint8_t* e = r.body + i;
      uint16_t stream = static_cast<uint16_t>(le(e, 2));
      int kind = e[2] ? kParity : kData;
      uint32_t sequence = static_cast<uint32_t>(le(e + 4, 4));
      uint64_t at = le(e + 8, 8);
      auto it = placed.find(at);
      if (it == placed.end() || it->second != std::make_tuple(kind, stream, sequence)) {
        fault("index entry names stream " + std::to_string(stream) + " block " +
              std::to_string(sequence) + " at " + std::to_string(at) +
              ", which is not before it there");
      } else if (!indexed.insert(at).second) {
        fault("a record indexed twice");
      }
    }
    indexAt.push_back(address);
  }

  void end(const Record& r) {
    uint32_t streams = r.stored >= 8 ? static_cast<uint32_t>(le(r.body, 4)) : 0;
    uint32_t indexes = r.stored >= 8 ? static_cast<uint32_t>(le(r.body + 4, 4)) : 0;
    if (r.stored != 8 + 4ull * streams + 8ull * indexes) {
      fault("an end record whose body does not hold its counts");
      return;
    }
    for (uint32_t s = 0; s < streams; ++s)
      part.counts.push_back(static_cast<uint32_t>(le(r.body + 8 + size_t{4} * s, 4)));
    std::vector<uint64_t> named;
    for (uint32_t i = 0; i < indexes; ++i)
      named.push_back(le(r.body + 8 + size_t{4} * streams + size_t{8} * i, 8));
    if (named != indexAt) fault("the end record does not name the index records before it");
    if (indexed.size() != placed.size())
      fault(std::to_string(placed.size() - indexed.size()) +
            " data or parity records that no index record names");
    part.ended = true;
    state = kEnded;
  }

  uint32_t tapeBlock = 0;  // the label's: packs at most this long, none when 0

  // The records of a pack, each at its address; false when its frames do
  // not fill it exactly.
  bool pack(const std::vector<uint8_t>& b) {
    ++out->packs;
    if (tapeBlock == 0) fault("a pack on a tape whose label packs nothing");
    if (b.size() > tapeBlock && tapeBlock != 0) {
      fault("a pack of " + std::to_string(b.size()) + " bytes, more than the label's " +
            std::to_string(tapeBlock));
    }
    size_t at = 8;
    while (at < b.size()) {
      uint64_t n = b.size() - at >= 4 ? le(b.data() + at, 4) : 0;
      uint64_t framed = 8 + n + (n & 1);
      if (n == 0 || at + framed > b.size() || le(b.data() + at + framed - 4, 4) != n) {
        fault("a pack whose frames do not fill it");
        return false;
      }
      block(std::vector<uint8_t>(b.begin() + static_cast<std::ptrdiff_t>(at) + 4,
                                 b.begin() + static_cast<std::ptrdiff_t>(at + 4 + n)));
      address += framed;
      at += framed;
    }
    return true;
  }

  void block(const std::vector<uint8_t>& b) {
    Record r;
    std::string why;
    ++out->records;
    if (!decode(b, &r, &why)) {
      fault(why);
      return;
    }
    switch (state) {
      case kNeedLabel:
        if (r.kind != kLabel) return fault("the first record is not a label");
        setId = r.stored >= 52 ? le(r.body + 44, 8) : 0;
        tapeBlock = r.stored >= 72 ? static_cast<uint32_t>(le(r.body + 68, 4)) : 0;
        state = kBetween;
        return;
      case kBetween:
        if (r.kind != kStart) return fault("a record outside any session");
        return startPart(r);
      case kEnded:
        return fault("a record after the end of session " + std::to_string(session) +
                     " and before its tape mark");
      case kInSession:
        break;
    }
    if (r.session != session) {
      return fault("a record of session " + std::to_string(r.session) + " inside session " +
                   std::to_string(session));
    }
    if (r.kind == kData || r.kind == kParity) {
      auto& last = r.kind == kData ? lastData : lastParity;
      auto it = last.find(r.stream);
      if (it != last.end() && it->second >= static_cast<int64_t>(r.sequence)) {
        fault(std::string(r.kind == kData ? "block " : "stripe ") + std::to_string(r.sequence) +
              " of stream " + std::to_string(r.stream) + " after " + std::to_string(it->second));
      }
      last[r.stream] = r.sequence;
      placed[address] = {r.kind, r.stream, r.sequence};
      if (r.kind == kData) part.data[r.stream].insert(r.sequence);
    } else if (r.kind == kIndex) {
      index(r);
    } else if (r.kind == kEnd || r.kind == kContinuation) {
      end(r);
    } else {
      fault("a label or session start inside session " + std::to_string(session));
    }
  }

  void filemark() {
    if (state == kEnded) {
      ++out->sessions;
      (*parts)[{setId, session, setIndex}].push_back(part);
      state = kBetween;
    } else {
      fault("a tape mark where no session ended");
    }
  }

  void finish(bool tailAllowed) {
    // A part torn on this member is unfinished on its set, whatever the
    // other members hold: its counts are not the set's to meet.
    if (tailAllowed && (state == kInSession || state == kEnded)) {
      unfinishedPart = {setId, session, setIndex};
    }
    if (state == kNeedLabel) {
      out->blank = true;
    } else if (state == kEnded && tailAllowed) {
      // A writer stopped between its end records and the tape mark: the
      // session never ended.
      out->unfinishedTail = true;
    } else if (state == kEnded) {
      fault("tape mark missing after the end of session " + std::to_string(session));
    } else if (state == kInSession) {
      out->unfinishedTail = true;
      // What a stopped writer left after the last session: a torn tail,
      // whatever its last records hold.
      if (tailAllowed) {
        out->faults.resize(faultsBeforePart);
      } else {
        fault("session " + std::to_string(session) + " unfinished at the end");
      }
    }
    out->sound = out->faults.empty();
  }

  void walk(const std::vector<TapeObject>& objects, bool tailAllowed) {
    for (const TapeObject& o : objects) {
      if (o.kind == TapeObject::kFilemark) {
        filemark();
        address += 4;
      } else if (o.bytes.size() >= 8 && le(o.bytes.data(), 4) == kPackMagic &&
                 le(o.bytes.data() + 4, 4) == o.bytes.size() - 8) {
        if (!pack(o.bytes)) break;
      } else {
        block(o.bytes);
        address += 8 + o.bytes.size() + (o.bytes.size() & 1);
      }
    }
    finish(tailAllowed);
  }
};

}  // namespace

bool readTgtImage(const std::string& path, std::vector<TapeObject>* objects, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  in.seekg(0, std::ios::end);
  const uint64_t size = static_cast<uint64_t>(in.tellg());
  objects->clear();
  auto header = [&](uint64_t at, uint8_t h[kHeaderBytes]) {
    if (at + kHeaderBytes > size) return false;
    in.seekg(static_cast<std::streamoff>(at));
    return static_cast<bool>(in.read(reinterpret_cast<char*>(h), kHeaderBytes));
  };
  uint8_t h[kHeaderBytes];
  if (!header(0, h) || be(h + 12, 4) != kBlockBot) {
    *error = path + ": no beginning-of-tape header";
    return false;
  }
  uint64_t at = be(h + 40, 8);
  for (uint64_t n = 0;; ++n) {
    if (!header(at, h) || be(h + 32, 8) != at) {
      *error = path + ": a block header at " + std::to_string(at) + " that does not link up";
      return false;
    }
    uint32_t type = static_cast<uint32_t>(be(h + 12, 4));
    if (type == kBlockEod) return true;
    uint64_t next = be(h + 40, 8);
    uint32_t ondisk = static_cast<uint32_t>(be(h + 4, 4));
    if (next <= at || next != at + kHeaderBytes + ondisk || next > size) {
      *error = path + ": a block header at " + std::to_string(at) + " that does not link up";
      return false;
    }
    TapeObject o;
    if (type == kBlockFilemark) {
      o.kind = TapeObject::kFilemark;
    } else if (type == kBlockData) {
      o.dataOffset = at + kHeaderBytes;
      o.bytes.resize(ondisk);
      in.seekg(static_cast<std::streamoff>(at + kHeaderBytes));
      if (!in.read(reinterpret_cast<char*>(o.bytes.data()), ondisk)) {
        *error = path + ": a block cut short at " + std::to_string(at);
        return false;
      }
    } else {
      *error = path + ": a block of type " + std::to_string(type) + " at " + std::to_string(at);
      return false;
    }
    objects->push_back(std::move(o));
    at = next;
  }
}

bool checkTapes(const std::vector<std::string>& paths, bool tailAllowed,
                std::vector<TapeCheck>* results) {
  results->clear();
  SetParts parts;
  std::map<uint64_t, std::vector<size_t>> tapesOfSet;
  std::set<std::tuple<uint64_t, uint32_t, uint32_t>> unfinished;
  for (const std::string& path : paths) {
    TapeCheck check;
    check.name = path.substr(path.rfind('/') + 1);
    std::vector<TapeObject> objects;
    std::string error;
    // A full file system under the image leaves its last block unlinked:
    // a torn end, where a stopped writer may leave one.
    if (!readTgtImage(path, &objects, &error) && (!tailAllowed || objects.empty())) {
      check.sound = false;
      check.faults.push_back(error);
    } else {
      Walker w(&check, &parts);
      w.walk(objects, tailAllowed);
      if (std::get<0>(w.unfinishedPart) != 0) unfinished.insert(w.unfinishedPart);
      if (!check.blank) tapesOfSet[w.setId].push_back(results->size());
    }
    results->push_back(std::move(check));
  }
  // Every member of a set holds the part's end record with the same block
  // counts, and the set's data records of each stream are that many.
  for (const auto& [key, list] : parts) {
    if (unfinished.count(key) != 0) continue;
    const auto& [setId, session, setIndex] = key;
    std::map<uint16_t, std::set<uint32_t>> blocks;
    std::string fault;
    for (const Part& p : list) {
      if (p.counts != list.front().counts) fault = "its members' end records disagree";
      for (const auto& [stream, seqs] : p.data) blocks[stream].insert(seqs.begin(), seqs.end());
    }
    const std::vector<uint32_t>& counts = list.front().counts;
    for (size_t s = 0; s < counts.size() && fault.empty(); ++s) {
      auto it = blocks.find(static_cast<uint16_t>(s));
      size_t have = it == blocks.end() ? 0 : it->second.size();
      if (have != counts[s]) {
        fault = "stream " + std::to_string(s) + " has " + std::to_string(have) +
                " blocks where its end record says " + std::to_string(counts[s]);
      }
    }
    if (fault.empty()) continue;
    for (size_t t : tapesOfSet[setId]) {
      (*results)[t].sound = false;
      (*results)[t].faults.push_back("session " + std::to_string(session) + " part " +
                                     std::to_string(setIndex) + ": " + fault);
    }
  }
  bool all = true;
  for (const TapeCheck& c : *results) all = all && c.sound;
  return all;
}

}  // namespace zeptest
