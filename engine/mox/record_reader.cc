#include "engine/mox/record_reader.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <utility>

#include "engine/mox/cartridge_map.h"
#include "engine/mox/mox.h"

namespace mox {

int RecordReader::next(MediumItem* item, uint32_t bodyKinds, bool markExpected) {
  ReadWant want;
  want.markExpected = markExpected;
  want.bodyKinds = bodyKinds;
  if (bodyKinds != 0) want.image = &image_;
  return medium_.readNext(want, item);
}

namespace {

using ItemKind = MediumItem::Kind;

constexpr uint32_t kSessionBodies =
    bodyOf(Kind::kSessionStart) | bodyOf(Kind::kSessionEnd) | bodyOf(Kind::kContinuation);

struct Problem {
  MediaDamage damage;
  bool wholeRecord = false;  // a record that was written and went bad
};

struct OpenSession {
  SessionExtent ext;
  bool endSeen = false;
  uint64_t endNext = 0;  // just past the sound end record
  std::vector<Problem> problems;
  // The order of the part's records (a check reads it): its data and
  // parity records by address, the last block (stripe) of each stream, and
  // where its index records are.
  std::map<uint64_t, IndexEntry> placed;
  std::map<std::pair<uint16_t, uint8_t>, uint32_t> last;
  std::vector<uint64_t> indexAt;
};

// Builds the sessions of one member from the walk after its label.
class SessionAssembler {
 public:
  // With `checkOrder` (every body read), each record is held to its place:
  // a record after one it precedes, or an index or end record that names a
  // record not before it, is damage (a writer puts them in this order).
  SessionAssembler(CartridgeMap* map, bool checkOrder) : map_(map), checkOrder_(checkOrder) {}

  // Where the walk expects a tape mark: just past a sound end record.
  bool markExpected(uint64_t position) const {
    return cur_ && cur_->endSeen && position == cur_->endNext;
  }

  void onItem(const MediumItem& item, const uint8_t* image) {
    switch (item.kind) {
      case ItemKind::kTapeMark:
        closeSession(item.next);
        break;
      case ItemKind::kRecord:
        onRecord(item, image);
        break;
      case ItemKind::kBadMark:
        onBadMark(item);
        break;
      case ItemKind::kBroken:
        onBroken(item);
        break;
      case ItemKind::kEnd:
        break;
    }
  }

  // The end of the data: what follows the last complete session is a torn
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

 private:
  static Problem problemAt(const MediumItem& item, const std::string& place) {
    Problem p;
    p.damage.offset = item.address;
    p.damage.kind = frameProblem(item.frame);
    if (!place.empty()) p.damage.kind = place + ": " + p.damage.kind;
    p.wholeRecord = frameWentBad(item.frame);
    return p;
  }

  // A sound end record, and then a word that is not a tape mark.
  void onBadMark(const MediumItem& item) {
    if (item.next - item.address < 4) {
      // The medium ends inside the tape mark: a writer that died, unless
      // what is there is not the start of a zero word.
      bool zeros =
          std::all_of(item.lead, item.lead + item.leadBytes, [](uint8_t b) { return b == 0; });
      if (!zeros) cur_->problems.push_back({{item.address, "tape mark not zero"}, false});
      return;
    }
    cur_->problems.push_back({{item.address, "tape mark not zero"}, true});
    closeSession(item.next);
    afterBadMark_ = item.next;
  }

  void onBroken(const MediumItem& item) {
    if (afterBadMark_ == item.address && !cur_) {
      // Broken bytes right after a bad tape mark.
      loose_.push_back(problemAt(item, ""));
      return;
    }
    bool atStart = !cur_ && loose_.empty() && item.address == map_->appendOffset;
    Problem p = problemAt(item, atStart ? "session start record" : "");
    (cur_ ? cur_->problems : loose_).push_back(p);
  }

  void onRecord(const MediumItem& item, const uint8_t* image) {
    const RecordHeader& h = item.header;
    if (cur_ && cur_->endSeen) {
      cur_->problems.push_back({{item.address, "tape mark missing after the session end"}, true});
      closeSession(item.address);
    }
    if (h.kind == Kind::kLabel) {
      Problem p{{item.address, "label record among the sessions"}, true};
      (cur_ ? cur_->problems : loose_).push_back(p);
      return;
    }
    if (cur_ && (h.kind == Kind::kSessionStart || h.session != cur_->ext.session)) {
      abandonSession(item.address);
    }
    if (h.kind == Kind::kSessionStart) {
      openSession(item, image, true);
      return;
    }
    if (!cur_) openSession(item, image, false);
    if (checkOrder_) checkPlace(item, image);
    if (h.kind == Kind::kSessionEnd || h.kind == Kind::kContinuation) onEnd(item, image);
  }

  void outOfPlace(uint64_t address, const std::string& what) {
    cur_->problems.push_back({{address, "record out of place: " + what}, true});
  }

  void checkPlace(const MediumItem& item, const uint8_t* image) {
    const RecordHeader& h = item.header;
    if (h.kind == Kind::kData || h.kind == Kind::kParity) {
      uint8_t parity = h.kind == Kind::kParity ? 1 : 0;
      auto [it, first] = cur_->last.try_emplace({h.stream, parity}, h.sequence);
      if (!first && it->second >= h.sequence) {
        outOfPlace(item.address, std::string(parity ? "stripe " : "block ") +
                                     std::to_string(h.sequence) + " of stream " +
                                     std::to_string(h.stream) + " after " +
                                     std::to_string(it->second));
      }
      it->second = h.sequence;
      cur_->placed[item.address] = {h.stream, parity, h.sequence, item.address};
      return;
    }
    std::vector<IndexEntry> entries;
    if (h.kind != Kind::kIndex || !soundBody(item) ||
        !decodeIndex(image + kHeaderSize, h.storedLength, &entries)) {
      return;
    }
    for (const IndexEntry& e : entries) {
      // A record that did not reach the medium (a hole a writer that died
      // left, or damage) is reported where it is; another record where the
      // entry points, or a place not before the index, is out of order.
      auto it = cur_->placed.find(e.offset);
      bool elsewhere = it == cur_->placed.end()
                           ? e.offset >= item.address
                           : it->second.stream != e.stream || it->second.parity != e.parity ||
                                 it->second.sequence != e.sequence;
      if (elsewhere) {
        outOfPlace(item.address, "index record names stream " + std::to_string(e.stream) +
                                     (e.parity ? " stripe " : " block ") +
                                     std::to_string(e.sequence) + " at " +
                                     std::to_string(e.offset) + ", which is not before it there");
        break;
      }
    }
    cur_->indexAt.push_back(item.address);
  }

  static bool soundBody(const MediumItem& item) { return item.bodyRead && item.body == MOX_OK; }

  void onEnd(const MediumItem& item, const uint8_t* image) {
    if (!soundBody(item) ||
        !decodeSessionEnd(image + kHeaderSize, item.header.storedLength, &cur_->ext.end)) {
      cur_->problems.push_back({{item.address, "session end record: checksum mismatch"}, true});
      return;
    }
    if (checkOrder_) {
      const std::vector<uint64_t>& named = cur_->ext.end.indexOffsets;
      bool misplaced = std::any_of(named.begin(), named.end(), [&](uint64_t at) {
        return at >= item.address || cur_->placed.count(at) != 0;
      });
      for (uint64_t at : cur_->indexAt) {
        misplaced = misplaced || std::find(named.begin(), named.end(), at) == named.end();
      }
      if (misplaced) {
        outOfPlace(item.address, "the end record names index records that are not before it");
      }
    }
    cur_->ext.endOffset = item.address;
    cur_->ext.continued = item.header.kind == Kind::kContinuation;
    cur_->endSeen = true;
    cur_->endNext = item.next;
  }

  void openSession(const MediumItem& item, const uint8_t* image, bool isStart) {
    OpenSession s;
    s.ext.session = item.header.session;
    s.ext.startOffset = item.address;
    if (isStart) {
      // Broken bytes between a finished session and the next start are damage.
      for (auto& p : loose_) map_->damage.push_back(p.damage);
      loose_.clear();
      if (!soundBody(item) ||
          !decodeSessionStart(image + kHeaderSize, item.header.storedLength, &s.ext.start)) {
        s.ext.startKnown = false;
        s.problems.push_back({{item.address, "session start record: checksum mismatch"}, true});
      }
    } else {
      // The session's start record is lost in the broken bytes before.
      s.ext.startKnown = false;
      if (loose_.empty()) {
        s.problems.push_back({{item.address, "session start record missing"}, true});
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

  CartridgeMap* map_;
  bool checkOrder_;
  std::optional<OpenSession> cur_;
  std::vector<Problem> loose_;  // broken bytes outside any session
  uint64_t afterBadMark_ = ~0ull;
};

// What a walk saw of one item, for the check's second look at the finished
// sessions.
struct Seen {
  uint64_t address = 0;
  bool broken = false;   // no sound record here
  bool badBody = false;  // a sound record whose body fails its CRC
  FrameState frame = FrameState::kSound;
};

// Reads the label, then walks the sessions. With `seen`, every body is read
// and every item noted.
int walkMember(RecordReader& reader, CartridgeMap* map, std::vector<Seen>* seen,
               bool* recordsFollow) {
  *map = CartridgeMap();
  Medium& medium = reader.medium();
  int rc = medium.dataEnd(&map->fileSize);
  if (rc == MOX_OK) rc = reader.rewind();
  if (rc != MOX_OK) return MOX_E_IO;
  if (map->fileSize == 0) return MOX_OK;
  uint32_t bodies = seen != nullptr ? ~0u : kSessionBodies | bodyOf(Kind::kLabel);
  MediumItem item;
  if (reader.next(&item, bodies) != MOX_OK) return MOX_E_IO;
  bool label = item.kind == ItemKind::kRecord && item.header.kind == Kind::kLabel &&
               item.bodyRead && item.body == MOX_OK &&
               decodeLabel(reader.body(), item.header.storedLength, &map->label);
  if (!label) {
    // A first record cut short while it was written leaves a blank
    // cartridge: a medium that ends inside the label record, and whose bytes
    // begin as a label record begins (its length word, then the magic).
    // Anything else that short is not a cartridge of this engine.
    uint8_t expected[8];
    storeLe32(expected, kHeaderSize + kLabelBodySize);
    storeLe32(expected + 4, kRecordMagic);
    size_t have = static_cast<size_t>(std::min<uint64_t>(map->fileSize, sizeof expected));
    if (map->fileSize < framedSize(kHeaderSize + kLabelBodySize) && item.leadBytes >= have &&
        std::memcmp(item.lead, expected, have) == 0) {
      map->tornTail = true;
      map->tornReason = "label record cut short";
      return MOX_OK;
    }
    if (recordsFollow != nullptr) {
      // Records of this engine after a broken first record.
      *recordsFollow = item.kind == ItemKind::kBroken && item.next < map->fileSize;
      if (item.kind == ItemKind::kRecord && reader.next(&item) == MOX_OK) {
        *recordsFollow = item.kind == ItemKind::kRecord;
      }
    }
    return MOX_E_MEDIA;
  }
  map->blank = false;
  SessionAssembler assembler(map, seen != nullptr);
  map->appendOffset = item.next;
  for (;;) {
    if (reader.next(&item, bodies, assembler.markExpected(medium.position())) != MOX_OK) {
      return MOX_E_IO;
    }
    if (item.kind == ItemKind::kEnd) break;
    if (seen != nullptr) {
      seen->push_back({item.address, item.kind == ItemKind::kBroken,
                       item.kind == ItemKind::kRecord && item.body != MOX_OK, item.frame});
    }
    assembler.onItem(item, reader.image());
  }
  assembler.finish();
  return MOX_OK;
}

}  // namespace

int scanMedium(Medium& medium, CartridgeMap* map) {
  // A read that failed is neither the end of the data nor damage: what the
  // medium holds there is not known, so nothing found is taken for its
  // content (a torn tail cut there would cut sound sessions).
  uint64_t failures = medium.readFailures();
  RecordReader reader(medium);
  int rc = walkMember(reader, map, nullptr, nullptr);
  return medium.readFailures() != failures ? MOX_E_IO : rc;
}

namespace {

// True when the record at `address` of a random-access medium is a sound
// record of `kind` and
// `session` whose body reads back as `expected`; *next is where the item
// after it begins.
bool recordHolds(RecordReader& reader, uint64_t address, Kind kind, uint32_t session,
                 const std::vector<uint8_t>& expected, uint64_t* next) {
  MediumItem item;
  if (reader.medium().randomAccess()->seek(address) != MOX_OK ||
      reader.next(&item, bodyOf(kind)) != MOX_OK || item.kind != MediumItem::Kind::kRecord ||
      item.address != address || item.header.kind != kind || item.header.session != session ||
      !item.bodyRead || item.body != MOX_OK || item.header.storedLength != expected.size() ||
      std::memcmp(reader.body(), expected.data(), expected.size()) != 0) {
    return false;
  }
  *next = item.next;
  return true;
}

}  // namespace

bool keptMapHolds(Medium& medium, const CartridgeMap& map) {
  // The map is a cache and the records are the truth: every place the map
  // names is read back, and each record there must be the one the map
  // says, with the body it says (the label, each session's start and end
  // records, the tape mark after each); the sessions follow one another
  // from the label to the append point.
  if (medium.randomAccess() == nullptr) return true;
  RecordReader reader(medium);
  std::vector<uint8_t> body(kLabelBodySize);
  encodeLabel(map.label, body.data());
  uint64_t at = 0;
  if (!recordHolds(reader, 0, Kind::kLabel, 0, body, &at)) return false;
  for (const SessionExtent& s : map.sessions) {
    if (s.startOffset != at || !s.startKnown) return false;
    body.resize(kSessionStartBodySize);
    encodeSessionStart(s.start, body.data());
    uint64_t next = 0;
    if (!recordHolds(reader, s.startOffset, Kind::kSessionStart, s.session, body, &next) ||
        next > s.endOffset) {
      return false;
    }
    body = encodeSessionEnd(s.end);
    const Kind end = s.continued ? Kind::kContinuation : Kind::kSessionEnd;
    MediumItem mark;
    if (!recordHolds(reader, s.endOffset, end, s.session, body, &next) ||
        reader.next(&mark, 0, true) != MOX_OK || mark.kind != MediumItem::Kind::kTapeMark ||
        mark.address != next || mark.next != s.nextOffset) {
      return false;
    }
    at = s.nextOffset;
  }
  return map.appendOffset == at;
}

int mountMedium(Medium& medium, CartridgeMap* map) {
  if (medium.keptMap(map) && keptMapHolds(medium, *map)) {
    countMount(true);
    return MOX_OK;
  }
  countMount(false);
  return scanMedium(medium, map);
}

int positionAtSession(Medium& medium, const CartridgeMap& map, size_t index) {
  if (index >= map.sessions.size()) return MOX_E_NO_SESSION;
  uint64_t start = map.sessions[index].startOffset;
  if (RandomAccessMedium* file = medium.randomAccess()) return file->seek(start);
  int rc = medium.rewind();
  if (rc == MOX_OK && index > 0) rc = medium.spaceTapeMarks(static_cast<uint32_t>(index));
  if (rc == MOX_OK && medium.position() == start) return MOX_OK;
  // A tape mark damaged or missing before it: read forward to it.
  if ((rc = medium.rewind()) != MOX_OK) return rc;
  RecordReader reader(medium);
  MediumItem item;
  while (medium.position() < start) {
    if ((rc = reader.next(&item)) != MOX_OK) return rc;
    if (item.kind == ItemKind::kEnd) break;
  }
  return medium.position() == start ? MOX_OK : MOX_E_MEDIA;
}

MediumHead readHead(Medium& medium) {
  MediumHead head;
  RecordReader reader(medium);
  MediumItem item;
  if (reader.rewind() != MOX_OK || reader.next(&item, bodyOf(Kind::kLabel)) != MOX_OK ||
      item.kind != ItemKind::kRecord || item.header.kind != Kind::kLabel || item.body != MOX_OK ||
      !item.bodyRead || !decodeLabel(reader.body(), item.header.storedLength, &head.label)) {
    return head;
  }
  head.labelled = true;
  if (reader.next(&item, bodyOf(Kind::kSessionStart)) == MOX_OK && item.kind == ItemKind::kRecord &&
      item.header.kind == Kind::kSessionStart && item.bodyRead && item.body == MOX_OK &&
      decodeSessionStart(reader.body(), item.header.storedLength, &head.start)) {
    head.hasSession = true;
    head.sessionHeader = item.header;
  }
  return head;
}

CheckReport checkMedium(Medium& medium) {
  CheckReport report;
  RecordReader reader(medium);
  CartridgeMap map;
  std::vector<Seen> seen;
  bool recordsFollow = false;
  uint64_t failures = medium.readFailures();
  int walked = walkMember(reader, &map, &seen, &recordsFollow);
  if (medium.readFailures() != failures) {
    // What could not be read is not known: never called sound or blank.
    report.result = MOX_E_IO;
    report.problem = "cannot be read (I/O error)";
    report.damage.push_back({0, report.problem});
    return report;
  }
  if (walked != MOX_OK) {
    report.result = MOX_E_MEDIA;
    report.problem = recordsFollow ? "label record damaged (records of this engine follow)"
                                   : "not a cartridge of this engine (no readable label)";
    report.damage.push_back({0, report.problem});
    return report;
  }
  report.sessions = map.sessions.size();
  report.tornTail = map.tornTail;
  report.tornOffset = map.tornOffset;
  report.tornReason = map.tornReason;
  report.tailSession = map.tailSession;
  report.damage = map.damage;
  if (map.blank) return report;
  ++report.records;  // the label
  // Every record of a finished session has its body checked; what the
  // walk found broken already is not named twice.
  for (const auto& s : map.sessions) {
    auto it = std::lower_bound(seen.begin(), seen.end(), s.startOffset,
                               [](const Seen& a, uint64_t at) { return a.address < at; });
    for (; it != seen.end() && it->address <= s.endOffset; ++it) {
      ++report.records;
      if (!it->broken && !it->badBody) continue;
      bool known = std::any_of(report.damage.begin(), report.damage.end(),
                               [&](const MediaDamage& d) { return d.offset == it->address; });
      if (!known) {
        report.damage.push_back(
            {it->address, it->badBody ? "checksum mismatch" : frameProblem(it->frame)});
      }
    }
  }
  std::sort(report.damage.begin(), report.damage.end(),
            [](const MediaDamage& a, const MediaDamage& b) { return a.offset < b.offset; });
  if (!report.damage.empty()) {
    const MediaDamage& first = report.damage.front();
    report.result = first.kind.find("checksum") != std::string::npos ? MOX_E_CHECKSUM : MOX_E_MEDIA;
    report.problem = "record at offset " + std::to_string(first.offset) + ": " + first.kind;
  }
  return report;
}

std::vector<DataBytes> sessionData(Medium& medium, const CartridgeMap& map) {
  std::vector<DataBytes> sums(map.sessions.size());
  RecordReader reader(medium);
  if (map.sessions.empty() || reader.rewind() != MOX_OK) return sums;
  size_t s = 0;
  bool stopped = false;  // broken framing in the session being summed
  bool afterEnd = false;
  MediumItem item;
  while (s < sums.size() && reader.next(&item, 0, afterEnd) == MOX_OK &&
         item.kind != ItemKind::kEnd) {
    afterEnd = item.kind == ItemKind::kRecord &&
               (item.header.kind == Kind::kSessionEnd || item.header.kind == Kind::kContinuation);
    while (s < sums.size() && item.address >= map.sessions[s].endOffset) {
      ++s;
      stopped = false;
    }
    if (s == sums.size()) break;
    if (stopped || item.address < map.sessions[s].startOffset) continue;
    // Zeros inside a session are stepped over; other broken framing ends
    // what is summed of it.
    if (item.kind == ItemKind::kBroken) stopped = item.frame != FrameState::kTapeMark;
    if (item.kind == ItemKind::kRecord && item.header.kind == Kind::kData) {
      sums[s].received += item.header.originalLength;
      sums[s].stored += item.header.storedLength;
    }
  }
  return sums;
}

int scanCartridge(const std::string& path, CartridgeMap* map) {
  CartridgeFile file;
  int rc = file.open(path, false);
  if (rc != MOX_OK) return rc;
  return mountMedium(file, map);
}

CheckReport checkCartridge(const std::string& path) {
  CartridgeFile file;
  if (file.open(path, false) != MOX_OK) {
    CheckReport report;
    report.result = MOX_E_MEDIA;
    report.problem = "not a cartridge of this engine (no readable label)";
    report.damage.push_back({0, report.problem});
    return report;
  }
  return checkMedium(file);
}

}  // namespace mox
