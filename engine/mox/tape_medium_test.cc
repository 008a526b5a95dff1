// The tape drive medium against a private tgtd each, next to a sequential
// cartridge file that takes the same calls: both give the same answers, the
// same map, check report and end of data, and find every session at the
// same address, with the layout read from the tape or seeded from a map.
// Then a cut and an append; the tape's own early warning; a target killed
// while records are written.
#include "engine/mox/tape_medium.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "engine/mox/mox.h"
#include "engine/mox/record_reader.h"
#include "engine/mox/sequential_medium.h"
#include "testing/scoped_temp_dir.h"
#include "testing/tgt_test_support.h"

namespace mox {
namespace {

using scsi::test::openDrive;
using scsi::test::testDriveOptions;
using zeptest::TgtCartridge;
using zeptest::TgtOptions;
using zeptest::TgtTarget;

constexpr uint32_t kCap = 65536;  // the drive's record cap in these tests

TgtOptions oneDrive(uint32_t capacityMiB = 64) {
  TgtOptions o;
  o.drives = 1;
  o.cartridges = {TgtCartridge{"T00001", capacityMiB}};
  return o;
}

std::unique_ptr<TapeMedium> openTape(const TgtTarget& target, int depth = 4) {
  auto drive = openDrive(target, 0, testDriveOptions(depth, kCap));
  if (drive == nullptr) return nullptr;
  return std::make_unique<TapeMedium>(std::move(drive), "home/media/T00001");
}

std::vector<uint8_t> image(RecordHeader h, const std::vector<uint8_t>& body) {
  h.storedLength = h.originalLength = static_cast<uint32_t>(body.size());
  h.bodyCrc = crc32c(body.data(), body.size());
  std::vector<uint8_t> out(kHeaderSize + body.size());
  encodeImage(h, body.data(), out.data());
  return out;
}

Label testLabel(uint32_t tapeBlock = 0) {
  Label label;
  std::strncpy(label.name, "T00001", sizeof label.name - 1);
  label.setId = 7;
  label.memberCount = 1;
  label.tapeBlock = tapeBlock;
  return label;
}

// What goes on a medium after its label, in order: record images and tape
// marks. A foreign block is larger than the drive's record cap.
struct Item {
  bool mark = false;
  std::vector<uint8_t> image;
};
using Items = std::vector<Item>;

void addData(Items* items, uint32_t session, uint32_t seq, uint32_t length) {
  RecordHeader h;
  h.kind = Kind::kData;
  h.session = session;
  h.sequence = seq;
  std::vector<uint8_t> body(length);
  for (uint32_t i = 0; i < length; ++i) body[i] = static_cast<uint8_t>(seq * 31 + i * 7);
  items->push_back({false, image(h, body)});
}

// A session of `blocks` data records: its start, the data, its end record
// and tape mark (as far as `end` and `mark` say).
void addSession(Items* items, uint32_t session, uint32_t blocks, bool end = true,
                bool mark = true) {
  std::vector<uint8_t> start(kSessionStartBodySize);
  encodeSessionStart(SessionStart{0, 0, 1}, start.data());
  items->push_back(
      {false, image(controlHeader(Kind::kSessionStart, session, 0, start.size()), start)});
  for (uint32_t i = 0; i < blocks; ++i) addData(items, session, i, 1000 + 333 * i);
  if (!end) return;
  std::vector<uint8_t> body = encodeSessionEnd(SessionEnd{{blocks}, {}});
  items->push_back({false, image(controlHeader(Kind::kSessionEnd, session, 0, body.size()), body)});
  if (mark) items->push_back({true, {}});
}

// Appends `items` at the end of both media, each call to both, and expects
// the same answers.
void appendBoth(Medium& file, Medium& tape, const Items& items) {
  uint64_t at = 0, tapeAt = 0;
  ASSERT_EQ(file.dataEnd(&at), MOX_OK);
  ASSERT_EQ(tape.dataEnd(&tapeAt), MOX_OK);
  ASSERT_EQ(at, tapeAt);
  for (const Item& item : items) {
    uint64_t size = 4, tapeSize = 0;
    int rc = item.mark ? file.writeTapeMark(at)
                       : file.writeImage(at, item.image.data(),
                                         static_cast<uint32_t>(item.image.size()), &size);
    int tapeRc = item.mark ? tape.writeTapeMark(at)
                           : tape.writeImage(at, item.image.data(),
                                             static_cast<uint32_t>(item.image.size()), &tapeSize);
    ASSERT_EQ(rc, tapeRc) << "at " << at;
    if (rc == MOX_OK && !item.mark) {
      EXPECT_EQ(size, tapeSize);
    }
    if (rc == MOX_OK) at += size;
  }
  EXPECT_EQ(file.sync(), MOX_OK);
  EXPECT_EQ(tape.sync(), MOX_OK);
}

// The same items written straight to the drive, foreign blocks included.
void writeRaw(scsi::TapeDrive* d, const Items& items) {
  ASSERT_EQ(d->rewind(), scsi::Outcome::done);
  for (const Item& item : items) {
    uint32_t n = static_cast<uint32_t>(item.image.size());
    if (item.mark) {
      ASSERT_EQ(d->writeFilemarks(1), scsi::Outcome::done);
    } else if (n > kCap) {
      scsi::Command c;
      c.cdb = scsi::write6(n);
      c.direction = scsi::Direction::out;
      c.data = const_cast<uint8_t*>(item.image.data());
      c.length = n;
      c.timeoutMs = 5000;
      ASSERT_EQ(d->command(c).outcome, scsi::Outcome::done);
    } else {
      ASSERT_TRUE(scsi::written(d->writeRecord(item.image.data(), n))) << d->lastError();
    }
  }
  ASSERT_EQ(d->writeFilemarks(0), scsi::Outcome::done);
}

std::string describe(const CartridgeMap& m) {
  std::string s = m.blank ? "blank" : "labelled";
  for (const SessionExtent& e : m.sessions) {
    s += " [s" + std::to_string(e.session) + " " + std::to_string(e.startOffset) + ".." +
         std::to_string(e.endOffset) + " next " + std::to_string(e.nextOffset) +
         (e.startKnown ? "" : " start?") + (e.continued ? " cont" : "") + "]";
  }
  s += " append " + std::to_string(m.appendOffset) + " size " + std::to_string(m.fileSize);
  if (m.tornTail) {
    s += " torn@" + std::to_string(m.tornOffset) + " (" + m.tornReason + ") s" +
         std::to_string(m.tailSession) + (m.tailUnmarked ? " unmarked" : "");
  }
  for (const MediaDamage& d : m.damage) s += " damage@" + std::to_string(d.offset) + ":" + d.kind;
  return s;
}

std::string describe(const CheckReport& r) {
  std::string s = "rc " + std::to_string(r.result) + " records " + std::to_string(r.records) +
                  " sessions " + std::to_string(r.sessions) + " " + r.problem;
  if (r.tornTail) s += " torn@" + std::to_string(r.tornOffset);
  for (const MediaDamage& d : r.damage) s += " damage@" + std::to_string(d.offset) + ":" + d.kind;
  return s;
}

// Each session of `map` found on `medium` at its start address, last first.
void expectSessionsFound(Medium& medium, const CartridgeMap& map) {
  for (size_t i = map.sessions.size(); i-- > 0;) {
    SCOPED_TRACE("session index " + std::to_string(i));
    ASSERT_EQ(positionAtSession(medium, map, i), MOX_OK);
    EXPECT_EQ(medium.position(), map.sessions[i].startOffset);
    MediumItem item;
    ASSERT_EQ(medium.readNext(ReadWant(), &item), MOX_OK);
    EXPECT_EQ(item.kind, MediumItem::Kind::kRecord);
    EXPECT_EQ(item.header.session, map.sessions[i].session);
  }
}

struct Case {
  const char* name;
  Items items;
  uint64_t capacity = 0;  // past the label; 0: none
  bool sound = true;      // checkMedium says MOX_OK
  bool cutLast = false;   // the cut goes back to the start of the last session
  // The cut goes to the record at this index of the items instead (within
  // the last session, which the appended items then end).
  int cutAtItem = -1;
};

std::vector<Case> cases() {
  std::vector<Case> all;
  all.push_back({"label only", {}});
  Case three{"three sessions", {}};
  for (uint32_t s = 1; s <= 3; ++s) addSession(&three.items, s, s + 1);
  all.push_back(three);
  Case torn{"a session and a torn tail", {}};
  addSession(&torn.items, 1, 3);
  addSession(&torn.items, 2, 2, false);
  all.push_back(torn);
  Case unmarked{"a session whose tape mark is missing", {}};
  addSession(&unmarked.items, 1, 2);
  addSession(&unmarked.items, 2, 2, true, false);
  all.push_back(unmarked);
  Case stray{"a tape mark where no session ends", {}, 0, false};
  addSession(&stray.items, 1, 2);
  addSession(&stray.items, 2, 1, false);
  stray.items.push_back({true, {}});
  addData(&stray.items, 2, 1, 500);
  std::vector<uint8_t> end = encodeSessionEnd(SessionEnd{{2}, {}});
  stray.items.push_back({false, image(controlHeader(Kind::kSessionEnd, 2, 0, end.size()), end)});
  stray.items.push_back({true, {}});
  addSession(&stray.items, 3, 1);
  all.push_back(stray);
  Case foreign{"blocks that are no records, one longer than the record cap", {}, 0, false, true};
  addSession(&foreign.items, 1, 2);
  foreign.items.push_back({false, std::vector<uint8_t>(30, 0xA5)});
  foreign.items.push_back({false, std::vector<uint8_t>(kCap + 4000, 0x5A)});
  addSession(&foreign.items, 2, 2);
  all.push_back(foreign);
  Case full{"past the capacity", {}, 5000};
  addSession(&full.items, 1, 2);
  addSession(&full.items, 2, 4);
  all.push_back(full);
  Case within{"a session that never ended, cut within it", {}};
  addSession(&within.items, 1, 2);
  addSession(&within.items, 2, 5, false);
  within.cutAtItem = static_cast<int>(within.items.size()) - 2;
  all.push_back(within);
  return all;
}

bool hasForeign(const Items& items) {
  for (const Item& i : items) {
    if (i.image.size() > kCap) return true;
  }
  return false;
}

// The address of items[k] after a label.
uint64_t itemAddress(const Items& items, int k) {
  uint64_t at = framedSize(kHeaderSize + kLabelBodySize);
  for (int i = 0; i < k; ++i) at += items[i].mark ? 4 : framedSize(items[i].image.size());
  return at;
}

// Every case with one record per block, with packs that some records do
// not fit, and with packs larger than the READs of a reader that does not
// know the size (a map kept without it).
TEST(TapeMediumTgt, SameContentAsACartridgeFile) {
  SKIP_WITHOUT_TGT();
  for (const Case& c : cases()) {
    for (uint32_t tapeBlock : {0u, 3000u, 100000u}) {
      if (tapeBlock != 0 && hasForeign(c.items)) continue;
      SCOPED_TRACE(std::string(c.name) + ", tape block " + std::to_string(tapeBlock));
      TgtTarget target(oneDrive());
      ASSERT_TRUE(target.start()) << target.error();
      zeptest::ScopedTempDir dir("tape-medium");
      SequentialFile file;
      ASSERT_EQ(file.open(dir.path() + "/T00001", true, true), MOX_OK);
      ASSERT_EQ(file.writeLabel(testLabel(tapeBlock)), MOX_OK);
      const uint64_t labelEnd = framedSize(kHeaderSize + kLabelBodySize);
      if (hasForeign(c.items)) {
        auto drive = openDrive(target, 0, testDriveOptions(4, kCap));
        ASSERT_NE(drive, nullptr);
        Items all = c.items;
        uint8_t body[kLabelBodySize];
        encodeLabel(testLabel(), body);
        all.insert(all.begin(), Item{false, image(labelHeader(testLabel()),
                                                  std::vector<uint8_t>(body, body + sizeof body))});
        writeRaw(drive.get(), all);
        for (const Item& item : c.items) {
          uint64_t at = 0, size = 0;
          ASSERT_EQ(file.dataEnd(&at), MOX_OK);
          ASSERT_EQ(item.mark ? file.writeTapeMark(at)
                              : file.writeImage(at, item.image.data(),
                                                static_cast<uint32_t>(item.image.size()), &size),
                    MOX_OK);
        }
      } else {
        auto tape = openTape(target);
        ASSERT_NE(tape, nullptr);
        ASSERT_EQ(tape->writeLabel(testLabel(tapeBlock)), MOX_OK);
        EXPECT_EQ(tape->tapeBlock(), tapeBlock);
        if (c.capacity != 0) {
          file.setCapacity(labelEnd + c.capacity, labelEnd + c.capacity / 2);
          tape->setCapacity(labelEnd + c.capacity, labelEnd + c.capacity / 2);
        }
        appendBoth(file, *tape, c.items);
        EXPECT_EQ(tape->earlyWarning(), c.capacity != 0);
        EXPECT_EQ(file.earlyWarning(), c.capacity != 0);
      }
      file.setCapacity(~0ull, ~0ull);

      CartridgeMap fileMap, tapeMap;
      ASSERT_EQ(scanMedium(file, &fileMap), MOX_OK);
      if (c.capacity != 0) {
        EXPECT_LT(fileMap.fileSize, labelEnd + c.capacity);
      }
      {
        SCOPED_TRACE("seeded from the file's map");
        auto seeded = openTape(target);
        ASSERT_NE(seeded, nullptr);
        CartridgeMap kept = fileMap;
        if (tapeBlock > kCap) kept.label.tapeBlock = 0;
        seeded->seedLayout(kept);
        expectSessionsFound(*seeded, fileMap);
      }
      auto tape = openTape(target);
      ASSERT_NE(tape, nullptr);
      {
        SCOPED_TRACE("read forward from the beginning");
        expectSessionsFound(*tape, fileMap);
      }
      ASSERT_EQ(scanMedium(*tape, &tapeMap), MOX_OK);
      EXPECT_EQ(describe(tapeMap), describe(fileMap));
      CheckReport fileCheck = checkMedium(file);
      EXPECT_EQ(describe(checkMedium(*tape)), describe(fileCheck));
      EXPECT_EQ(fileCheck.result == MOX_OK, c.sound) << describe(fileCheck);
      EXPECT_EQ(tape->readFailures(), 0u);
      uint64_t fileEnd = 0, tapeEnd = 0;
      ASSERT_EQ(file.dataEnd(&fileEnd), MOX_OK);
      ASSERT_EQ(tape->dataEnd(&tapeEnd), MOX_OK);
      EXPECT_EQ(tapeEnd, fileEnd);

      SCOPED_TRACE("a torn tail cut, and a session appended");
      // As a group cuts: a session lacking only its tape mark gets it.
      uint64_t keep = c.cutLast ? fileMap.sessions.back().startOffset : fileMap.appendOffset;
      uint64_t markAt = keep > fileMap.fileSize ? keep - 4 : keep;
      size_t sessions = c.cutLast ? fileMap.sessions.size() - 1 : fileMap.sessions.size();
      Items more;
      if (c.cutAtItem >= 0) {
        // The records before the cut stay, and the session ends after them.
        markAt = itemAddress(c.items, c.cutAtItem);
        std::vector<uint8_t> end = encodeSessionEnd(SessionEnd{{1}, {}});
        more.push_back({false, image(controlHeader(Kind::kSessionEnd, 2, 0, end.size()), end)});
        more.push_back({true, {}});
        keep = markAt + framedSize(more[0].image.size()) + 4;
        ++sessions;
      } else if (markAt < keep) {
        more.push_back({true, {}});
      }
      ASSERT_EQ(file.cut(markAt), MOX_OK);
      ASSERT_EQ(tape->cut(markAt), MOX_OK);
      addSession(&more, 9, 3);
      appendBoth(file, *tape, more);
      ASSERT_EQ(scanMedium(file, &fileMap), MOX_OK);
      ASSERT_EQ(scanMedium(*tape, &tapeMap), MOX_OK);
      EXPECT_EQ(describe(tapeMap), describe(fileMap));
      EXPECT_FALSE(tapeMap.tornTail);
      ASSERT_EQ(tapeMap.sessions.size(), sessions + 1);
      EXPECT_EQ(tapeMap.sessions.back().session, 9u);
      EXPECT_EQ(tapeMap.sessions.back().startOffset, keep);
      expectSessionsFound(*tape, fileMap);
      EXPECT_EQ(describe(checkMedium(*tape)), describe(checkMedium(file)));
    }
  }
}

// A medium on drive 0 whose member keeps `readDepth` READs in flight.
std::unique_ptr<TapeMedium> openReadingTape(const TgtTarget& target, int readDepth) {
  scsi::TapeDriveOptions options = testDriveOptions(4, kCap);
  options.readDepth = readDepth;
  auto drive = openDrive(target, 0, options);
  if (drive == nullptr) return nullptr;
  return std::make_unique<TapeMedium>(std::move(drive), "home/media/T00001");
}

// The next item as "record s2 #1 @1234..5678", "mark @..", "end @..",
// with data bodies read and checked.
std::string nextItem(Medium& medium, bool markExpected) {
  std::vector<uint8_t> body;
  ReadWant want;
  want.markExpected = markExpected;
  want.bodyKinds = bodyOf(Kind::kData);
  want.image = &body;
  MediumItem item;
  int rc = medium.readNext(want, &item);
  if (rc != MOX_OK) return "rc " + std::to_string(rc);
  std::string at = " @" + std::to_string(item.address) + ".." + std::to_string(item.next);
  switch (item.kind) {
    case MediumItem::Kind::kRecord:
      if (item.bodyRead && item.body != MOX_OK) return "bad body" + at;
      return "record s" + std::to_string(item.header.session) + " k" +
             std::to_string(static_cast<int>(item.header.kind)) + " #" +
             std::to_string(item.header.sequence) + at;
    case MediumItem::Kind::kTapeMark:
      return "mark" + at;
    case MediumItem::Kind::kEnd:
      return "end" + at;
    default:
      return "broken" + at;
  }
}

// Reading with READs in flight: every item once, in order, at its address;
// and wherever the reading stops (in a session, before its tape mark, after
// it, before the end of the data, at it), spacing over a tape mark, finding
// the end of the data, a cut and a write there, and a rewind and read again
// find the tape where the medium says it stands.
TEST(TapeMediumTgt, ReadAheadKeepsTheAddresses) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(oneDrive());
  ASSERT_TRUE(target.start()) << target.error();
  Items items;
  addSession(&items, 1, 3);
  // Records of one length, then a longer and a shorter one: the member asks
  // for the length that came and meets others.
  addSession(&items, 2, 0, false);
  for (uint32_t i = 0; i < 6; ++i) addData(&items, 2, i, 2000);
  addData(&items, 2, 6, 3000);
  addData(&items, 2, 7, 1700);
  std::vector<uint8_t> end = encodeSessionEnd(SessionEnd{{8}, {}});
  items.push_back({false, image(controlHeader(Kind::kSessionEnd, 2, 0, end.size()), end)});
  items.push_back({true, {}});
  addSession(&items, 3, 2);
  {
    auto tape = openReadingTape(target, 4);
    ASSERT_NE(tape, nullptr);
    ASSERT_EQ(tape->writeLabel(testLabel()), MOX_OK);
    uint64_t at = 0;
    ASSERT_EQ(tape->dataEnd(&at), MOX_OK);
    for (const Item& item : items) {
      uint64_t size = 4;
      ASSERT_EQ(item.mark ? tape->writeTapeMark(at)
                          : tape->writeImage(at, item.image.data(),
                                             static_cast<uint32_t>(item.image.size()), &size),
                MOX_OK);
      at += size;
    }
    ASSERT_EQ(tape->sync(), MOX_OK);
  }
  // What each read gives from the beginning, a tape mark expected after
  // each session's end record; the addresses where the items begin.
  auto readAll = [](Medium& medium, size_t from, bool markExpected) {
    std::vector<std::string> out;
    for (size_t i = from; i < 200; ++i) {
      out.push_back(nextItem(medium, markExpected));
      markExpected = out.back().rfind("record", 0) == 0 &&
                     out.back().find(" k" + std::to_string(static_cast<int>(Kind::kSessionEnd)) +
                                     " ") != std::string::npos;
      if (out.back().rfind("record", 0) != 0 && out.back().rfind("mark", 0) != 0) break;
    }
    return out;
  };
  auto startOf = [](const std::string& item) {
    size_t at = item.find('@');
    return std::stoull(item.substr(at + 1));
  };
  auto afterEndRecord = [](const std::string& item) {
    return item.find(" k" + std::to_string(static_cast<int>(Kind::kSessionEnd)) + " ") !=
           std::string::npos;
  };
  std::vector<std::string> whole;
  {
    auto tape = openReadingTape(target, 1);
    ASSERT_NE(tape, nullptr);
    whole = readAll(*tape, 0, false);
  }
  ASSERT_EQ(whole.size(), items.size() + 2);  // the label and the end
  ASSERT_EQ(whole.back().rfind("end", 0), 0u) << whole.back();
  const size_t total = whole.size() - 1;  // items before the end
  const uint64_t dataEnd = startOf(whole.back());

  enum class Then { readOn, spaceMark, dataEnd, cutAndWrite, rewind };
  const struct {
    const char* name;
    Then then;
  } actions[] = {
      {"read on", Then::readOn},         {"space a tape mark", Then::spaceMark},
      {"find the end", Then::dataEnd},   {"cut and write there", Then::cutAndWrite},
      {"rewind and read", Then::rewind},
  };
  const struct {
    const char* name;
    size_t stop;  // items read
  } stops[] = {
      {"in a session", 3},       {"before a tape mark", 6},
      {"after a tape mark", 7},  {"among records of one length", 12},
      {"before the end", total}, {"at the end", total + 1},
  };
  for (int depth : {1, 4}) {
    for (const auto& stop : stops) {
      for (const auto& action : actions) {
        SCOPED_TRACE("READs in flight " + std::to_string(depth) + ", stopped " + stop.name +
                     ", then " + action.name);
        auto tape = openReadingTape(target, depth);
        ASSERT_NE(tape, nullptr);
        bool markExpected = false;
        for (size_t i = 0; i < stop.stop; ++i) {
          ASSERT_EQ(nextItem(*tape, markExpected), whole[i]);
          markExpected = afterEndRecord(whole[i]);
        }
        const size_t at = std::min(stop.stop, total);
        const uint64_t address = startOf(whole[at]);
        EXPECT_EQ(tape->position(), address);
        if (depth > 1 && whole[at - 1].rfind("record", 0) == 0) {
          EXPECT_GE(tape->drive().readsAhead(), 1u);  // READs past the medium are out
        }
        switch (action.then) {
          case Then::readOn: {
            std::vector<std::string> rest = readAll(*tape, at, markExpected);
            EXPECT_EQ(rest,
                      std::vector<std::string>(whole.begin() + static_cast<long>(at), whole.end()));
            break;
          }
          case Then::spaceMark: {
            auto mark = std::find_if(whole.begin() + static_cast<long>(at), whole.end(),
                                     [](const std::string& s) { return s.rfind("mark", 0) == 0; });
            int rc = tape->spaceTapeMarks(1);
            if (mark == whole.end()) {
              EXPECT_EQ(rc, MOX_E_MEDIA);
              break;
            }
            ASSERT_EQ(rc, MOX_OK);
            EXPECT_EQ(tape->position(), startOf(*(mark + 1)));
            EXPECT_EQ(nextItem(*tape, false), *(mark + 1));
            break;
          }
          case Then::dataEnd: {
            uint64_t found = 0;
            ASSERT_EQ(tape->dataEnd(&found), MOX_OK);
            EXPECT_EQ(found, dataEnd);
            EXPECT_EQ(tape->position(), address);
            EXPECT_EQ(nextItem(*tape, markExpected), whole[at]);
            break;
          }
          case Then::cutAndWrite: {
            // The record lands at the address where the reading stopped,
            // and the data ends after it.
            ASSERT_EQ(tape->cut(address), MOX_OK);
            Items more;
            addSession(&more, 9, 0, false);
            uint64_t size = 0;
            ASSERT_EQ(tape->writeImage(address, more[0].image.data(),
                                       static_cast<uint32_t>(more[0].image.size()), &size),
                      MOX_OK);
            ASSERT_EQ(tape->sync(), MOX_OK);
            ASSERT_EQ(tape->rewind(), MOX_OK);
            std::vector<std::string> now = readAll(*tape, 0, false);
            std::vector<std::string> expected(whole.begin(), whole.begin() + static_cast<long>(at));
            expected.push_back("record s9 k" +
                               std::to_string(static_cast<int>(Kind::kSessionStart)) + " #0 @" +
                               std::to_string(address) + ".." + std::to_string(address + size));
            expected.push_back("end @" + std::to_string(address + size) + ".." +
                               std::to_string(address + size));
            EXPECT_EQ(now, expected);
            // The tape as it was, for the next case: written again from
            // the item before (a write ends the data).
            const uint64_t from = startOf(whole[at - 1]);
            ASSERT_EQ(tape->cut(from), MOX_OK);
            uint64_t put = from;
            for (size_t i = 0; i < items.size(); ++i) {
              uint64_t begins = startOf(whole[i + 1]);
              if (begins < from) continue;
              const Item& item = items[i];
              uint64_t written = 4;
              ASSERT_EQ(item.mark
                            ? tape->writeTapeMark(put)
                            : tape->writeImage(put, item.image.data(),
                                               static_cast<uint32_t>(item.image.size()), &written),
                        MOX_OK);
              put += written;
            }
            ASSERT_EQ(tape->sync(), MOX_OK);
            ASSERT_EQ(put, dataEnd);
            break;
          }
          case Then::rewind:
            ASSERT_EQ(tape->rewind(), MOX_OK);
            EXPECT_EQ(readAll(*tape, 0, false), whole);
            break;
        }
        EXPECT_EQ(tape->readFailures(), 0u);
      }
    }
  }
}

// Random access is refused, and a write anywhere but at the end of the data.
TEST(TapeMediumTgt, SequentialOnly) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(oneDrive());
  ASSERT_TRUE(target.start()) << target.error();
  auto tape = openTape(target);
  ASSERT_NE(tape, nullptr);
  MediumTraits traits = tape->traits();
  EXPECT_EQ(tape->randomAccess(), nullptr);
  EXPECT_TRUE(traits.slowToMove);
  EXPECT_EQ(traits.largestRecord, kCap);
  ASSERT_EQ(tape->writeLabel(testLabel()), MOX_OK);
  const uint64_t labelEnd = framedSize(kHeaderSize + kLabelBodySize);
  Items items;
  addData(&items, 1, 0, 100);
  uint64_t size = 0;
  const std::vector<uint8_t>& r = items[0].image;
  uint32_t n = static_cast<uint32_t>(r.size());
  EXPECT_EQ(tape->writeImage(labelEnd + 2, r.data(), n, &size), MOX_E_MEDIA);
  EXPECT_EQ(tape->writeImage(0, r.data(), n, &size), MOX_E_MEDIA);
  std::vector<uint8_t> big(kCap + 1);
  EXPECT_EQ(tape->writeImage(labelEnd, big.data(), kCap + 1, &size), MOX_E_MEDIA);
  ASSERT_EQ(tape->writeImage(labelEnd, r.data(), n, &size), MOX_OK);
  EXPECT_EQ(size, framedSize(n));
  EXPECT_EQ(tape->cut(labelEnd + size + 8), MOX_E_MEDIA);  // past the end of the data
  EXPECT_EQ(tape->cut(labelEnd + 2), MOX_E_MEDIA);         // inside a record
  uint64_t end = 0;
  ASSERT_EQ(tape->dataEnd(&end), MOX_OK);
  EXPECT_EQ(end, labelEnd + size);
}

// tgt says EOM once a block ends past the cartridge's capacity: the medium
// says early warning, takes the closing records after it, and every record
// written reads back.
TEST(TapeMediumTgt, EarlyWarningFromTheDrive) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(oneDrive(1));
  ASSERT_TRUE(target.start()) << target.error();
  auto tape = openTape(target);
  ASSERT_NE(tape, nullptr);
  ASSERT_EQ(tape->writeLabel(testLabel()), MOX_OK);
  Items items;
  addSession(&items, 1, 0, false);
  uint32_t blocks = 0;
  uint64_t at = 0, size = 0;
  ASSERT_EQ(tape->dataEnd(&at), MOX_OK);
  ASSERT_EQ(tape->writeImage(at, items[0].image.data(),
                             static_cast<uint32_t>(items[0].image.size()), &size),
            MOX_OK);
  at += size;
  while (!tape->earlyWarning() && blocks < 40) {
    Items data;
    addData(&data, 1, blocks++, kCap - kHeaderSize);
    ASSERT_EQ(tape->writeImage(at, data[0].image.data(), kCap, &size), MOX_OK);
    at += size;
  }
  ASSERT_TRUE(tape->earlyWarning()) << blocks << " records of " << kCap << " bytes";
  EXPECT_LT(blocks, 20u);
  std::vector<uint8_t> body = encodeSessionEnd(SessionEnd{{blocks}, {}});
  std::vector<uint8_t> end = image(controlHeader(Kind::kSessionEnd, 1, 0, body.size()), body);
  ASSERT_EQ(tape->writeImage(at, end.data(), static_cast<uint32_t>(end.size()), &size), MOX_OK);
  ASSERT_EQ(tape->writeTapeMark(at + size), MOX_OK);
  ASSERT_EQ(tape->sync(), MOX_OK);
  CartridgeMap map;
  ASSERT_EQ(scanMedium(*tape, &map), MOX_OK);
  ASSERT_EQ(map.sessions.size(), 1u);
  EXPECT_EQ(map.fileSize, at + size + 4);
  CheckReport check = checkMedium(*tape);
  EXPECT_EQ(check.result, MOX_OK) << describe(check);
  EXPECT_EQ(check.records, blocks + 3u);  // the label, the start and end records
  EXPECT_TRUE(tape->earlyWarning());
}

// tgtd killed with records queued: a write or the barrier fails with
// MOX_E_IO, and nothing after it says MOX_OK.
TEST(TapeMediumTgt, TargetKilledWhileWriting) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(oneDrive());
  ASSERT_TRUE(target.start()) << target.error();
  auto tape = openTape(target, 8);
  ASSERT_NE(tape, nullptr);
  ASSERT_EQ(tape->writeLabel(testLabel()), MOX_OK);
  uint64_t at = 0, size = 0;
  ASSERT_EQ(tape->dataEnd(&at), MOX_OK);
  int failedAt = -1;
  for (int i = 0; i < 60; ++i) {
    if (i == 20) {
      ASSERT_TRUE(target.kill9());
    }
    Items data;
    addData(&data, 1, static_cast<uint32_t>(i), kCap - kHeaderSize);
    int rc = tape->writeImage(at, data[0].image.data(), kCap, &size);
    if (failedAt >= 0 || rc != MOX_OK) {
      EXPECT_EQ(rc, MOX_E_IO) << "record " << i;
      if (failedAt < 0) failedAt = i;
      continue;
    }
    at += size;
  }
  EXPECT_EQ(tape->sync(), MOX_E_IO);
  EXPECT_GE(failedAt, 20);
  EXPECT_EQ(tape->writeTapeMark(at), MOX_E_IO);
  EXPECT_EQ(tape->sync(), MOX_E_IO);
}

// A layout seeded from a map is taken as it is: the end of the data comes
// from it without reading, and a map with damage seeds nothing.
TEST(TapeMediumTgt, SeedLayout) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(oneDrive());
  ASSERT_TRUE(target.start()) << target.error();
  auto tape = openTape(target);
  ASSERT_NE(tape, nullptr);
  CartridgeMap map = CartridgeMap::labelled(testLabel());
  map.fileSize = 123456;  // nothing on the tape: only the layout says so
  tape->seedLayout(map);
  uint64_t end = 0;
  ASSERT_EQ(tape->dataEnd(&end), MOX_OK);
  EXPECT_EQ(end, 123456u);
  tape.reset();
  auto other = openTape(target);
  ASSERT_NE(other, nullptr);
  map.damage.push_back({100, "record header damaged"});
  other->seedLayout(map);
  ASSERT_EQ(other->dataEnd(&end), MOX_OK);
  EXPECT_EQ(end, 0u);  // read from the blank tape
}

}  // namespace
}  // namespace mox
