#include "engine/mox/member_scan.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "engine/mox/library.h"

namespace mox {
namespace {

// ---- Reading records where they should be ----------------------------------

// True when a sound record begins at `offset`: both length words agree, the
// record lies inside the file, and its header has the magic and checksum.
bool soundRecord(const CartridgeFile& file, uint64_t size, uint64_t offset, RecordHeader* h,
                 uint32_t* length) {
  uint8_t lead[4 + kHeaderSize];
  if (offset + sizeof lead > size || !file.readAt(offset, lead, sizeof lead)) return false;
  uint32_t len = loadLe32(lead);
  if (len == kTapeMark || len > kMaxRecordLength || len < kHeaderSize) return false;
  if (offset + framedSize(len) > size) return false;
  if (!decodeHeader(lead + 4, h) || h->storedLength != len - kHeaderSize) return false;
  uint8_t word[4];
  if (!file.readAt(offset + 4 + len + (len & 1), word, 4) || loadLe32(word) != len) return false;
  *length = len;
  return true;
}

bool soundBody(const CartridgeFile& file, uint64_t offset, const RecordHeader& h,
               std::vector<uint8_t>* out) {
  out->resize(h.storedLength);
  if (h.storedLength > 0 && !file.readAt(offset + 4 + kHeaderSize, out->data(), h.storedLength)) {
    return false;
  }
  return crc32c(out->data(), out->size()) == h.bodyCrc;
}

// The length word after the record that begins at `offset` with `len`
// payload bytes; 0 when the file ends before it.
uint32_t trailingLength(const CartridgeFile& file, uint64_t size, uint64_t offset, uint32_t len) {
  uint8_t word[4] = {};
  uint64_t at = offset + 4 + len + (len & 1);
  if (at + 4 > size || !file.readAt(at, word, 4)) return 0;
  return loadLe32(word);
}

// True when the bytes at `offset` are the remains of a whole record that
// went bad: its header is sound but a length word disagrees with it, or both
// length words agree but the header is not sound. A writer that died leaves
// neither: what it never wrote reads as zeros or as the end of the file.
bool wholeRecordGoneBad(const CartridgeFile& file, uint64_t size, uint64_t offset) {
  uint8_t lead[4 + kHeaderSize];
  if (offset + sizeof lead > size || !file.readAt(offset, lead, sizeof lead)) return false;
  uint32_t len = loadLe32(lead);
  RecordHeader h;
  if (decodeHeader(lead + 4, &h)) {
    if (h.storedLength + kHeaderSize != len) return true;
    uint32_t trail = trailingLength(file, size, offset, len);
    return trail != 0 && trail != len;
  }
  if (len == kTapeMark || len > kMaxRecordLength || len < kHeaderSize) return false;
  return trailingLength(file, size, offset, len) == len;
}

// ---- The walk: records, tape marks and broken ranges, in file order --------

enum class ItemKind { kRecord, kTapeMark, kBroken, kEnd };

struct Item {
  ItemKind kind = ItemKind::kEnd;
  uint64_t offset = 0;
  uint64_t next = 0;  // just past the item
  RecordHeader header;
};

Item itemAt(const CartridgeFile& file, uint64_t size, uint64_t offset, bool markExpected) {
  Item item;
  item.offset = offset;
  if (offset >= size) return item;
  uint8_t word[4];
  if (markExpected && offset + 4 <= size && file.readAt(offset, word, 4) &&
      loadLe32(word) == kTapeMark) {
    item.kind = ItemKind::kTapeMark;
    item.next = offset + 4;
    return item;
  }
  uint32_t len = 0;
  if (soundRecord(file, size, offset, &item.header, &len)) {
    item.kind = ItemKind::kRecord;
    item.next = offset + framedSize(len);
    return item;
  }
  item.kind = ItemKind::kBroken;
  item.next = findNextRecord(file, size, offset + 2);
  return item;
}

struct Problem {
  MediaDamage damage;
  bool wholeRecord = false;  // a record that was written and went bad
};

struct OpenSession {
  SessionExtent ext;
  bool endSeen = false;
  uint64_t endNext = 0;  // just past the sound end record
  std::vector<Problem> problems;
};

// Builds the sessions of one cartridge from the walk.
class SessionAssembler {
 public:
  SessionAssembler(const CartridgeFile& file, uint64_t size, CartridgeMap* map)
      : file_(file), size_(size), map_(map) {}

  void run(uint64_t offset) {
    map_->appendOffset = offset;
    uint64_t off = offset;
    for (;;) {
      bool markExpected = cur_ && cur_->endSeen && off == cur_->endNext;
      Item item = itemAt(file_, size_, off, markExpected);
      if (item.kind == ItemKind::kEnd) break;
      if (item.kind == ItemKind::kTapeMark) {
        closeSession(item.next);
      } else if (item.kind == ItemKind::kRecord) {
        onRecord(item);
      } else {
        onBroken(item);
      }
      off = item.next;
    }
    finish();
  }

 private:
  bool zeroBytes(uint64_t offset, uint64_t length) const {
    uint8_t bytes[4] = {};
    if (length > sizeof bytes || !file_.readAt(offset, bytes, length)) return false;
    return std::all_of(bytes, bytes + length, [](uint8_t b) { return b == 0; });
  }

  Problem problemAt(uint64_t offset, const std::string& place) const {
    Problem p;
    p.damage.offset = offset;
    p.damage.kind = describeBadRecord(file_, size_, offset);
    if (!place.empty()) p.damage.kind = place + ": " + p.damage.kind;
    p.wholeRecord = wholeRecordGoneBad(file_, size_, offset);
    return p;
  }

  void onBroken(const Item& item) {
    if (cur_ && cur_->endSeen && item.offset == cur_->endNext) {
      if (item.offset + 4 > size_) {
        // The file ends inside the tape mark: a writer that died, unless
        // what is there is not the start of a zero word.
        if (!zeroBytes(item.offset, size_ - item.offset)) {
          cur_->problems.push_back({{item.offset, "tape mark not zero"}, false});
        }
        return;
      }
      // A sound end record, and then a word that is not a tape mark.
      cur_->problems.push_back({{item.offset, "tape mark not zero"}, true});
      closeSession(std::min(item.offset + 4, size_));
      if (item.next > item.offset + 4) loose_.push_back(problemAt(item.offset + 4, ""));
      return;
    }
    bool atStart = !cur_ && loose_.empty() && item.offset == map_->appendOffset;
    Problem p = problemAt(item.offset, atStart ? "session start record" : "");
    (cur_ ? cur_->problems : loose_).push_back(p);
  }

  void onRecord(const Item& item) {
    const RecordHeader& h = item.header;
    if (cur_ && cur_->endSeen) {
      cur_->problems.push_back({{item.offset, "tape mark missing after the session end"}, true});
      closeSession(item.offset);
    }
    if (h.kind == Kind::kLabel) {
      Problem p{{item.offset, "label record among the sessions"}, true};
      (cur_ ? cur_->problems : loose_).push_back(p);
      return;
    }
    if (cur_ && (h.kind == Kind::kSessionStart || h.session != cur_->ext.session)) {
      abandonSession(item.offset);
    }
    if (h.kind == Kind::kSessionStart) {
      openSession(item, true);
      return;
    }
    if (!cur_) openSession(item, false);
    if (h.kind == Kind::kSessionEnd || h.kind == Kind::kContinuation) onEnd(item);
  }

  void onEnd(const Item& item) {
    std::vector<uint8_t> body;
    if (!soundBody(file_, item.offset, item.header, &body) ||
        !decodeSessionEnd(body.data(), body.size(), &cur_->ext.end)) {
      cur_->problems.push_back({{item.offset, "session end record: checksum mismatch"}, true});
      return;
    }
    cur_->ext.endOffset = item.offset;
    cur_->ext.continued = item.header.kind == Kind::kContinuation;
    cur_->endSeen = true;
    cur_->endNext = item.next;
  }

  void openSession(const Item& item, bool isStart) {
    OpenSession s;
    s.ext.session = item.header.session;
    s.ext.startOffset = item.offset;
    std::vector<uint8_t> body;
    if (isStart) {
      // Broken bytes between a finished session and the next start are damage.
      for (auto& p : loose_) map_->damage.push_back(p.damage);
      loose_.clear();
      if (!soundBody(file_, item.offset, item.header, &body) ||
          !decodeSessionStart(body.data(), body.size(), &s.ext.start)) {
        s.ext.startKnown = false;
        s.problems.push_back({{item.offset, "session start record: checksum mismatch"}, true});
      }
    } else {
      // The session's start record is lost in the broken bytes before.
      s.ext.startKnown = false;
      if (loose_.empty()) {
        s.problems.push_back({{item.offset, "session start record missing"}, true});
      } else {
        s.ext.startOffset = loose_.front().damage.offset;
        s.problems = std::move(loose_);
        loose_.clear();
      }
    }
    cur_ = std::move(s);
  }

  void closeSession(uint64_t next) {
    SessionExtent& ext = cur_->ext;
    ext.nextOffset = next;
    for (auto& p : cur_->problems) {
      const auto& io = ext.end.indexOffsets;
      if (std::find(io.begin(), io.end(), p.damage.offset) != io.end()) {
        p.damage.kind = "index record: " + p.damage.kind;
      }
      map_->damage.push_back(p.damage);
    }
    map_->sessions.push_back(ext);
    map_->appendOffset = next;
    cur_.reset();
  }

  // A session without a sound end, and other records after it: damage.
  void abandonSession(uint64_t at) {
    std::string lost = "; session " + std::to_string(cur_->ext.session) + " has no sound end";
    if (cur_->problems.empty()) {
      map_->damage.push_back({at, "session " + std::to_string(cur_->ext.session) +
                                      " has no end record before the next session"});
    }
    for (size_t i = 0; i < cur_->problems.size(); ++i) {
      MediaDamage d = cur_->problems[i].damage;
      if (i + 1 == cur_->problems.size()) d.kind += lost;
      map_->damage.push_back(d);
    }
    cur_.reset();
  }

  // The end of the file: what follows the last complete session is a torn
  // tail only when it holds nothing but the unfinished records of one session.
  void finish() {
    const std::vector<Problem>& problems = cur_ ? cur_->problems : loose_;
    if (!cur_ && problems.empty()) return;
    bool damaged = std::any_of(problems.begin(), problems.end(),
                               [](const Problem& p) { return p.wholeRecord; });
    damaged = damaged || (cur_ && cur_->ext.startOffset != map_->appendOffset);
    if (damaged) {
      for (const auto& p : problems) map_->damage.push_back(p.damage);
      if (cur_ && !cur_->endSeen) {
        map_->damage.push_back({map_->appendOffset, "session " + std::to_string(cur_->ext.session) +
                                                        " has no sound end record"});
      }
      return;
    }
    map_->tornTail = true;
    map_->tornOffset = map_->appendOffset;
    if (!cur_) {
      map_->tornReason = "record cut short after the last session";
      return;
    }
    map_->tailSession = cur_->ext.session;
    map_->tornReason =
        cur_->endSeen ? "session ended without its tape mark" : "session without its end record";
    if (cur_->endSeen && problems.empty()) {
      map_->tailUnmarked = true;
      map_->tailExtent = cur_->ext;
      map_->tailExtent.nextOffset = cur_->endNext + 4;
    }
  }

  const CartridgeFile& file_;
  uint64_t size_;
  CartridgeMap* map_;
  std::optional<OpenSession> cur_;
  std::vector<Problem> loose_;  // broken bytes outside any session
};

}  // namespace

void scanSessions(const CartridgeFile& file, uint64_t size, uint64_t offset, CartridgeMap* map) {
  SessionAssembler(file, size, map).run(offset);
}

uint64_t findNextRecord(const CartridgeFile& file, uint64_t size, uint64_t from) {
  constexpr size_t kChunk = 1 << 20;
  static const uint8_t kMagic[4] = {0x4D, 0x4F, 0x58, 0x52};  // kRecordMagic, little-endian
  std::vector<uint8_t> buf(kChunk);
  from += from & 1;  // records begin at even offsets
  // The magic sits 4 bytes into a record; chunks overlap by 3 bytes.
  for (uint64_t base = from + 4; base + 4 <= size; base += kChunk - 3) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, size - base));
    if (!file.readAt(base, buf.data(), n)) return size;
    for (size_t i = 0; i + 4 <= n; ++i) {
      if (std::memcmp(buf.data() + i, kMagic, 4) != 0) continue;
      uint64_t at = base + i - 4;
      RecordHeader h;
      uint32_t len = 0;
      if ((at & 1) == 0 && soundRecord(file, size, at, &h, &len)) return at;
    }
    if (n < kChunk) break;
  }
  return size;
}

std::string describeBadRecord(const CartridgeFile& file, uint64_t size, uint64_t offset) {
  uint8_t lead[4 + kHeaderSize] = {};
  uint64_t have = std::min<uint64_t>(sizeof lead, size - std::min(size, offset));
  if (have < 4 || !file.readAt(offset, lead, have)) return "file ends inside a record (truncated)";
  uint32_t len = loadLe32(lead);
  RecordHeader h;
  if (have == sizeof lead && decodeHeader(lead + 4, &h) && h.storedLength + kHeaderSize != len) {
    return "record length word damaged";
  }
  if (have == sizeof lead && decodeHeader(lead + 4, &h)) {
    uint32_t trail = trailingLength(file, size, offset, len);
    return trail == 0 ? "record cut short (its end was never written)"
                      : "record trailing length word damaged";
  }
  if (len == kTapeMark) return "zeroed bytes or a tape mark where a record should begin";
  if (len > kMaxRecordLength || len < kHeaderSize) return "record length word damaged";
  if (offset + framedSize(len) > size) return "file ends inside a record (truncated)";
  if (wholeRecordGoneBad(file, size, offset)) return "record header damaged";
  return "record framing damaged";
}

// ---- Comparing the members of a set -----------------------------------------

namespace {

void failMember(CartSet* set, size_t i, MediaDamage why) {
  set->failed[i] = true;
  set->problems[i].push_back(std::move(why));
}

// Each member's label must name this set and this place in it.
void checkPlaces(CartSet* set) {
  std::map<uint64_t, int> votes;
  uint64_t chosen = 0;
  int best = 0;
  for (size_t i = 0; i < set->memberCount(); ++i) {
    if (set->failed[i] || set->maps[i].blank) continue;
    int v = ++votes[set->maps[i].label.setId];
    if (v > best) {
      best = v;
      chosen = set->maps[i].label.setId;
    }
  }
  set->setId = chosen;
  for (size_t i = 0; i < set->memberCount(); ++i) {
    if (set->failed[i] || set->maps[i].blank) continue;
    const Label& l = set->maps[i].label;
    if (l.setId != chosen) {
      failMember(set, i, {0, "label of another cartridge set"});
    } else if (l.memberIndex != i) {
      failMember(
          set, i,
          {0, "label of member " + std::to_string(l.memberIndex) + " in the place of member " +
                  std::to_string(i) + " (cartridges swapped or copied)"});
    }
  }
  if (chosen == 0) return;
  // Labels on some members and none on others, and no session anywhere: a
  // label write that did not reach every member (it failed, or the writer
  // died). Nothing is on the set yet, so it counts as blank and the next
  // writer labels it again; the labels read stay known for the numbering.
  bool holdsData = false;
  for (size_t i = 0; i < set->memberCount(); ++i) {
    const CartridgeMap& m = set->maps[i];
    if (!set->failed[i] && !m.blank && (m.hasData() || !m.damage.empty() || m.tailUnmarked)) {
      holdsData = true;
    }
  }
  bool someBlank = false;
  for (size_t i = 0; i < set->memberCount(); ++i) {
    someBlank = someBlank || (!set->failed[i] && set->maps[i].blank);
  }
  if (someBlank && !holdsData) {
    for (size_t i = 0; i < set->memberCount(); ++i) {
      if (set->failed[i]) continue;
      CartridgeMap& m = set->maps[i];
      m.blank = true;
      m.tornTail = false;
      m.appendOffset = 0;
    }
    return;
  }
  for (size_t i = 0; i < set->memberCount(); ++i) {
    if (!set->failed[i] && set->maps[i].blank) {
      failMember(set, i, {0, "blank cartridge among labelled members (truncated or replaced)"});
    }
  }
}

// "session 2", or "sessions 1 to 3".
std::string sessionRange(const std::vector<uint32_t>& sessions) {
  std::string text = std::to_string(sessions.front());
  if (sessions.size() > 1) return "sessions " + text + " to " + std::to_string(sessions.back());
  return "session " + text;
}

// A session ended on one member was ended on all: the writer syncs every
// member's end record before it writes any tape mark after one.
void checkSessions(CartSet* set) {
  std::set<uint32_t> ended;
  for (size_t i = 0; i < set->memberCount(); ++i) {
    if (set->failed[i]) continue;
    for (const auto& s : set->maps[i].sessions) ended.insert(s.session);
  }
  for (size_t i = 0; i < set->memberCount(); ++i) {
    if (set->failed[i]) continue;
    CartridgeMap& map = set->maps[i];
    std::vector<uint32_t> missing;
    for (uint32_t n : ended) {
      if (map.find(n) != nullptr) continue;
      if (map.tailUnmarked && map.tailExtent.session == n && map.damage.empty()) {
        // Its end record is synced; only the tape mark after it is missing,
        // and the next writer puts it there.
        map.sessions.push_back(map.tailExtent);
        map.appendOffset = map.tailExtent.nextOffset;
        map.tornTail = map.tailUnmarked = false;
        continue;
      }
      missing.push_back(n);
    }
    if (missing.empty()) continue;
    uint64_t at = map.tornTail ? map.tornOffset : map.appendOffset;
    map.tornTail = false;  // what follows is damage, not a torn tail
    set->damaged[i] = true;
    set->problems[i].push_back({at, "lacks " + sessionRange(missing) +
                                        " that the other members hold (truncated or damaged)"});
  }
}

}  // namespace

void assessSet(CartSet* set) {
  size_t n = set->memberCount();
  set->damaged.assign(n, false);
  set->problems.resize(n);
  checkPlaces(set);
  checkSessions(set);
  for (size_t i = 0; i < n; ++i) {
    if (set->failed[i] || set->maps[i].damage.empty()) continue;
    set->damaged[i] = true;
    set->problems[i].insert(set->problems[i].begin(), set->maps[i].damage.begin(),
                            set->maps[i].damage.end());
  }
}

}  // namespace mox
