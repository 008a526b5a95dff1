// A tape drive member against tgt's virtual tape: what the drive says it
// is, the quirks the table claims for it, and btape's checks (two files
// reread, spacing by filemarks, append after reopening).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "testing/tgt_test_support.h"

namespace mox::scsi::test {
namespace {

using zeptest::TgtCartridge;
using zeptest::TgtOptions;
using zeptest::TgtTarget;

TgtOptions oneDrive(uint32_t capacityMiB = 64) {
  TgtOptions o;
  o.drives = 1;
  o.cartridges = {TgtCartridge{"T00001", capacityMiB}};
  return o;
}

// Writes `count` records numbered from `first`, of sizes cycling over
// `sizes`, and returns the next number.
uint64_t writeRecords(TapeDrive* d, uint64_t first, int count, std::vector<uint32_t> sizes) {
  for (int i = 0; i < count; ++i) {
    uint64_t seq = first + static_cast<uint64_t>(i);
    std::vector<uint8_t> r = makeRecord(seq, sizes[seq % sizes.size()]);
    Outcome o = d->writeRecord(r.data(), static_cast<uint32_t>(r.size()));
    EXPECT_TRUE(written(o)) << outcomeName(o) << ": " << d->lastError();
    if (!written(o)) return seq;
  }
  return first + static_cast<uint64_t>(count);
}

Command raw(const Cdb& cdb, Direction dir = Direction::none, uint8_t* data = nullptr,
            uint32_t length = 0) {
  Command c;
  c.cdb = cdb;
  c.direction = dir;
  c.data = data;
  c.length = length;
  c.timeoutMs = 5000;
  return c;
}

TEST(TapeDriveTgt, IdentityLimitsAndVariableMode) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(oneDrive());
  ASSERT_TRUE(target.start()) << target.error();
  auto d = openDrive(target, 0);
  ASSERT_NE(d, nullptr);
  const DriveInfo& info = d->info();
  EXPECT_EQ(info.identity.peripheralType, 1);
  EXPECT_EQ(info.identity.vendor, "IET");
  EXPECT_EQ(info.identity.product, "VIRTUAL-TAPE");
  EXPECT_FALSE(info.serial.empty());
  ASSERT_NE(info.known, nullptr);
  EXPECT_STREQ(info.known->name, "tgt virtual tape");
  EXPECT_EQ(info.limits.maximum, 1048576u);
  EXPECT_TRUE(info.mode.hasBlockDescriptor);
  EXPECT_EQ(info.mode.blockLength, 0u);
  EXPECT_FALSE(info.mode.writeProtected);
  EXPECT_FALSE(info.readPositionUsable);
  EXPECT_FALSE(d->position().fileKnown());
  ASSERT_EQ(d->rewind(), Outcome::done) << d->lastError();
  EXPECT_TRUE(info.locateProbed);
  EXPECT_FALSE(info.locateSupported);
  EXPECT_EQ(d->position().file, 0u);
  EXPECT_EQ(d->position().record, 0u);
  // A cap larger than the drive's largest block is refused at open.
  auto big = std::make_unique<TapeDrive>(
      std::make_unique<IscsiTransport>(IscsiAddress{target.host(), target.port(), target.iqn(), 1},
                                       testIscsiOptions()),
      testDriveOptions(4, 2 * 1048576));
  EXPECT_EQ(big->open(), Outcome::unsupported);
  EXPECT_NE(big->lastError().find("largest block"), std::string::npos) << big->lastError();
}

// Each quirk the table claims for tgt, seen on the live target with raw
// commands. A failure here means tgt changed and the table must follow.
TEST(TapeDriveTgt, QuirksOfTheTableHold) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(oneDrive());
  ASSERT_TRUE(target.start()) << target.error();
  auto d = openDrive(target, 0);
  ASSERT_NE(d, nullptr);
  const DriveQuirks& q = d->info().quirks;
  // The tape: R0 (1000 bytes) R1 (1000) FM R2 (1000) FM, then end of data.
  ASSERT_EQ(d->rewind(), Outcome::done);
  std::vector<uint8_t> r0 = makeRecord(0, 1000), r1 = makeRecord(1, 1000), r2 = makeRecord(2, 1000);
  ASSERT_TRUE(written(d->writeRecord(r0.data(), 1000)));
  ASSERT_TRUE(written(d->writeRecord(r1.data(), 1000)));
  ASSERT_EQ(d->writeFilemarks(1), Outcome::done);
  ASSERT_TRUE(written(d->writeRecord(r2.data(), 1000)));
  ASSERT_EQ(d->writeFilemarks(1), Outcome::done) << d->lastError();
  std::vector<uint8_t> buf(4000);
  uint64_t seq = 0;

  {
    SCOPED_TRACE("SILI ignored: a shorter block still comes with ILI");
    ASSERT_TRUE(q.siliIgnored);
    ASSERT_EQ(d->rewind(), Outcome::done);
    Classified c = d->command(raw(read6(4000, true), Direction::in, buf.data(), 4000));
    EXPECT_EQ(c.outcome, Outcome::shortBlock);
    EXPECT_EQ(c.residue, 3000);
  }
  {
    SCOPED_TRACE("short read under-delivered: min(actual, request - actual) bytes arrive");
    ASSERT_TRUE(q.shortReadUnderDelivered);
    std::fill(buf.begin(), buf.end(), 0xEE);
    Classified c = d->command(raw(read6(1500, false), Direction::in, buf.data(), 1500));
    EXPECT_EQ(c.outcome, Outcome::shortBlock);
    EXPECT_EQ(c.residue, 500);  // the sense says 1000 bytes were read
    EXPECT_EQ(std::memcmp(buf.data(), r1.data(), 500), 0);
    EXPECT_EQ(buf[500], 0xEE);  // but only 500 arrived
    EXPECT_EQ(buf[999], 0xEE);
  }
  {
    SCOPED_TRACE("a longer block delivers nothing");
    ASSERT_TRUE(q.longReadDeliversNothing);
    ASSERT_EQ(d->rewind(), Outcome::done);
    std::fill(buf.begin(), buf.end(), 0xEE);
    Classified c = d->command(raw(read6(500, false), Direction::in, buf.data(), 500));
    EXPECT_EQ(c.outcome, Outcome::longBlock);
    EXPECT_EQ(c.residue, -500);
    EXPECT_EQ(buf[0], 0xEE);
  }
  {
    SCOPED_TRACE("SPACE over blocks counts a filemark as a block");
    ASSERT_TRUE(q.spaceBlocksCountsFilemarks);
    ASSERT_EQ(d->rewind(), Outcome::done);
    Classified c = d->command(raw(space6(SpaceCode::blocks, 3)));
    EXPECT_EQ(c.outcome, Outcome::done);  // a drive would stop at the filemark
    uint32_t n = 0;
    // Past R0, R1 and the filemark: the next object is R2.
    ASSERT_EQ(d->readRecord(buf.data(), 4000, &n), Outcome::done);
    ASSERT_TRUE(checkRecord(buf.data(), n, &seq));
    EXPECT_EQ(seq, 2u);
  }
  {
    SCOPED_TRACE("SPACE -1 filemark from the end of data goes one object too far");
    ASSERT_TRUE(q.reverseFilemarkOffByOne);
    ASSERT_EQ(d->command(raw(space6(SpaceCode::endOfData, 0))).outcome, Outcome::done);
    ASSERT_EQ(d->command(raw(space6(SpaceCode::filemarks, -1))).outcome, Outcome::done);
    uint32_t n = 0;
    // A drive would be before the last filemark and read it; tgt reads R2.
    ASSERT_EQ(d->readRecord(buf.data(), 4000, &n), Outcome::done);
    ASSERT_TRUE(checkRecord(buf.data(), n, &seq));
    EXPECT_EQ(seq, 2u);
    EXPECT_EQ(d->spaceFilemarks(-1), Outcome::unsupported);  // the member refuses it
  }
  {
    SCOPED_TRACE("SPACE forward into the end of data: no residue");
    ASSERT_TRUE(q.spaceEndOfDataNoResidue);
    ASSERT_EQ(d->rewind(), Outcome::done);
    Classified c = d->command(raw(space6(SpaceCode::filemarks, 5)));
    EXPECT_EQ(c.outcome, Outcome::endOfData);
    EXPECT_FALSE(c.residueValid);
  }
  {
    SCOPED_TRACE("READ POSITION is a stub that says the position is unknown");
    ASSERT_TRUE(q.readPositionStub);
    uint8_t pos[20] = {};
    ASSERT_EQ(d->command(raw(readPositionShort(), Direction::in, pos, 20)).outcome, Outcome::done);
    ShortPosition sp;
    ASSERT_TRUE(parseShortPosition(pos, 20, &sp));
    EXPECT_TRUE(sp.blockPositionUnknown);
    EXPECT_EQ(sp.firstBlock, 0u);
  }
  {
    SCOPED_TRACE("no LOCATE");
    ASSERT_TRUE(q.noLocate);
    EXPECT_EQ(d->command(raw(locate10(1))).outcome, Outcome::unsupported);
  }
  {
    SCOPED_TRACE("LOAD UNLOAD is START STOP UNIT: unload ejects nothing, RETEN goes offline");
    ASSERT_TRUE(q.loadUnloadIsStartStop);
    ASSERT_EQ(d->command(raw(loadUnload(false))).outcome, Outcome::done);
    EXPECT_EQ(d->command(raw(testUnitReady())).outcome, Outcome::done);
    Cdb offline = loadUnload(false);
    offline.bytes[4] = 0x02;  // RETEN, read as LOEJ
    ASSERT_EQ(d->command(raw(offline)).outcome, Outcome::done);
    Classified c = d->command(raw(testUnitReady()));
    EXPECT_EQ(c.outcome, Outcome::notReady);
    EXPECT_EQ(c.sense.asc, 0x3A);
    Cdb online = loadUnload(true);
    online.bytes[4] = 0x03;
    ASSERT_EQ(d->command(raw(online)).outcome, Outcome::done);
    EXPECT_EQ(d->command(raw(testUnitReady())).outcome, Outcome::done);
  }
  {
    SCOPED_TRACE("the largest block of READ BLOCK LIMITS is not enforced");
    ASSERT_TRUE(q.blockLimitsNotEnforced);
    ASSERT_EQ(d->command(raw(space6(SpaceCode::endOfData, 0))).outcome, Outcome::done);
    std::vector<uint8_t> huge(d->info().limits.maximum + 4096, 0x5A);
    Classified c = d->command(raw(write6(static_cast<uint32_t>(huge.size())), Direction::out,
                                  huge.data(), static_cast<uint32_t>(huge.size())));
    EXPECT_EQ(c.outcome, Outcome::done);
  }
}

// btape's first test: two files of records with a filemark after each,
// rewind, read everything back; the filemark is seen between the files.
TEST(TapeDriveTgt, TwoFilesRewindReread) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(oneDrive());
  ASSERT_TRUE(target.start()) << target.error();
  const std::vector<uint32_t> sizes{256 * 1024, 17, 65536, 1000, 131071, 16};
  for (int depth : {1, 8}) {
    SCOPED_TRACE("writes in flight: " + std::to_string(depth));
    auto d = openDrive(target, 0, testDriveOptions(depth));
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->rewind(), Outcome::done);
    const int n = 40;
    uint64_t next = writeRecords(d.get(), 0, n, sizes);
    ASSERT_EQ(d->writeFilemarks(1), Outcome::done) << d->lastError();
    EXPECT_EQ(d->position().file, 1u);
    EXPECT_EQ(d->position().record, 0u);
    writeRecords(d.get(), next, n, sizes);
    ASSERT_EQ(d->writeFilemarks(1), Outcome::done) << d->lastError();
    EXPECT_EQ(d->recordsAcknowledged(), 2u * n);
    EXPECT_EQ(d->recordsDurable(), 2u * n);
    EXPECT_EQ(d->position().file, 2u);

    ASSERT_EQ(d->rewind(), Outcome::done);
    std::vector<uint8_t> buf(d->options().recordCap);
    uint64_t seq = 0;
    for (int file = 0; file < 2; ++file) {
      for (int i = 0; i < n; ++i) {
        uint32_t length = 0;
        ASSERT_EQ(d->readRecord(buf.data(), static_cast<uint32_t>(buf.size()), &length),
                  Outcome::done)
            << d->lastError();
        uint64_t got = 0;
        ASSERT_TRUE(checkRecord(buf.data(), length, &got)) << "record " << seq;
        EXPECT_EQ(got, seq);
        EXPECT_EQ(length, std::max(sizes[seq % sizes.size()], kRecordHeader));
        ++seq;
      }
      uint32_t length = 0;
      EXPECT_EQ(d->readRecord(buf.data(), static_cast<uint32_t>(buf.size()), &length),
                Outcome::filemark);
      EXPECT_EQ(d->position().file, static_cast<uint64_t>(file + 1));
    }
    uint32_t length = 0;
    EXPECT_EQ(d->readRecord(buf.data(), static_cast<uint32_t>(buf.size()), &length),
              Outcome::endOfData);
    // A buffer smaller than the record: the record is refused, not cut.
    ASSERT_EQ(d->rewind(), Outcome::done);
    EXPECT_EQ(d->readRecord(buf.data(), 1000, &length), Outcome::longBlock);
  }
}

// btape's fsf test: files of 1, 2, 3 and 4 records; space forward by
// filemarks and read where the spacing ends.
TEST(TapeDriveTgt, SpacingByFilemarks) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(oneDrive());
  ASSERT_TRUE(target.start()) << target.error();
  auto d = openDrive(target, 0);
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d->rewind(), Outcome::done);
  uint64_t next = 0;
  std::vector<uint64_t> firstOfFile;
  for (int file = 0; file < 4; ++file) {
    firstOfFile.push_back(next);
    next = writeRecords(d.get(), next, file + 1, {4096});
    ASSERT_EQ(d->writeFilemarks(1), Outcome::done);
  }
  std::vector<uint8_t> buf(d->options().recordCap);
  auto readSeq = [&]() -> int64_t {
    uint32_t length = 0;
    Outcome o = d->readRecord(buf.data(), static_cast<uint32_t>(buf.size()), &length);
    uint64_t seq = 0;
    if (o != Outcome::done || !checkRecord(buf.data(), length, &seq)) return -1;
    return static_cast<int64_t>(seq);
  };
  struct Step {
    bool rewindFirst;
    int32_t fsf;
    Outcome spaced;
    uint64_t file;
    int64_t nextRecord;  // -1: the end of data
  };
  const Step steps[] = {
      {true, 1, Outcome::done, 1, static_cast<int64_t>(firstOfFile[1])},
      {true, 2, Outcome::done, 2, static_cast<int64_t>(firstOfFile[2])},
      {false, 1, Outcome::done, 3, static_cast<int64_t>(firstOfFile[3])},
      {true, 3, Outcome::done, 3, static_cast<int64_t>(firstOfFile[3])},
      {true, 4, Outcome::done, 4, -1},
      // tgt's SPACE gives no residue at the end of data, but the member
      // read the end of data here itself (READs sent ahead met it too):
      // no filemark was passed.
      {false, 1, Outcome::endOfData, 4, -1},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE("fsf " + std::to_string(s.fsf) + (s.rewindFirst ? " after rewind" : ""));
    if (s.rewindFirst) {
      ASSERT_EQ(d->rewind(), Outcome::done);
    }
    ASSERT_EQ(d->spaceFilemarks(s.fsf), s.spaced) << d->lastError();
    EXPECT_EQ(d->position().file, s.file);
    EXPECT_EQ(readSeq(), s.nextRecord);
  }
  ASSERT_EQ(d->rewind(), Outcome::done);
  ASSERT_EQ(d->spaceToEndOfData(true), Outcome::done);
  EXPECT_EQ(d->position().file, 4u);
  EXPECT_TRUE(d->position().atEndOfData);
}

// btape's append test: files of 1, 2 and 3 records; the session closed;
// a new one spaces to the end of data (file 3), appends a fourth file, and
// the tape is read back whole.
TEST(TapeDriveTgt, AppendAfterReopen) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(oneDrive());
  ASSERT_TRUE(target.start()) << target.error();
  uint64_t next = 0;
  {
    auto d = openDrive(target, 0);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->rewind(), Outcome::done);
    for (int file = 0; file < 3; ++file) {
      next = writeRecords(d.get(), next, file + 1, {2048, 65536});
      ASSERT_EQ(d->writeFilemarks(1), Outcome::done);
    }
  }  // logged out
  auto d = openDrive(target, 0);
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d->rewind(), Outcome::done);
  ASSERT_EQ(d->spaceToEndOfData(true), Outcome::done) << d->lastError();
  EXPECT_EQ(d->position().file, 3u);
  writeRecords(d.get(), next, 2, {1000});
  ASSERT_EQ(d->writeFilemarks(1), Outcome::done);
  EXPECT_EQ(d->position().file, 4u);
  TapeScan scan = scanTape(d.get());
  EXPECT_EQ(scan.end, Outcome::endOfData) << scan.error;
  EXPECT_EQ(join(scan.objects), "R0 FM R1 R2 FM R3 R4 R5 FM R6 R7 FM");
}

// Reading forward with READs in flight: every object comes once and in
// order, and wherever the reader stops (in a file, before a filemark, after
// one, between two, before the end of data, at it) the next command finds
// the tape where the reader stands, whatever was read ahead past it. Record
// lengths change on the way, so the reads that ask for the length of the
// records before them meet longer and shorter blocks too.
TEST(TapeDriveTgt, ReadAheadKeepsThePosition) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(oneDrive());
  ASSERT_TRUE(target.start()) << target.error();
  // R0-R6 FM R7 R8 R9 FM FM R10 R11, then the end of data.
  const std::vector<uint32_t> sizes{4096, 4096, 4096, 4096, 9000,  5000,
                                    4096, 3000, 3000, 3000, 20000, 700};
  const std::vector<int> filemarksAfter{6, 9, 9};  // after these records
  std::vector<std::string> tape;
  for (uint64_t r = 0; r < sizes.size(); ++r) {
    tape.push_back("R" + std::to_string(r));
    for (int after : filemarksAfter) {
      if (after == static_cast<int>(r)) tape.push_back("FM");
    }
  }
  auto writeTape = [&](TapeDrive* d) {
    ASSERT_EQ(d->rewind(), Outcome::done);
    for (uint64_t r = 0; r < sizes.size(); ++r) {
      std::vector<uint8_t> rec = makeRecord(r, sizes[r]);
      ASSERT_TRUE(written(d->writeRecord(rec.data(), sizes[r]))) << d->lastError();
      for (int after : filemarksAfter) {
        if (after == static_cast<int>(r)) {
          ASSERT_EQ(d->writeFilemarks(1), Outcome::done) << d->lastError();
        }
      }
    }
    ASSERT_EQ(d->writeFilemarks(0), Outcome::done);
  };
  // The next object as a scan names it ("R3", "FM", "EOD"), or the outcome.
  std::vector<uint8_t> buf(size_t{64} * 1024);
  auto next = [&](TapeDrive* d) -> std::string {
    uint32_t length = 0;
    Outcome o = d->readRecord(buf.data(), static_cast<uint32_t>(buf.size()), &length);
    uint64_t seq = 0;
    if (o == Outcome::filemark) return "FM";
    if (o == Outcome::endOfData) return "EOD";
    if (o != Outcome::done) return outcomeName(o);
    return checkRecord(buf.data(), length, &seq) ? "R" + std::to_string(seq) : "BAD";
  };
  // Where the reader stands after the first `stop` objects: the file and
  // record numbers.
  auto placeAfter = [&](size_t stop) {
    TapePosition p{0, 0, false};
    for (size_t i = 0; i < stop && i < tape.size(); ++i) {
      if (tape[i] == "FM") {
        ++p.file;
        p.record = 0;
      } else {
        ++p.record;
      }
    }
    return p;
  };
  const size_t total = tape.size();
  enum class Then { readOn, spaceFilemark, spaceBack, write, writeFilemark, rewind, toEnd };
  const struct {
    const char* name;
    Then then;
  } actions[] = {
      {"read on", Then::readOn},
      {"space a filemark", Then::spaceFilemark},
      {"space back a record", Then::spaceBack},
      {"write a record", Then::write},
      {"write a filemark", Then::writeFilemark},
      {"rewind and read again", Then::rewind},
      {"space to the end of data", Then::toEnd},
  };
  const struct {
    const char* name;
    size_t stop;  // objects taken; total + 1: the end of data too
  } stops[] = {
      {"in the first file", 2},          {"before a longer record", 4},
      {"before a filemark", 7},          {"after a filemark", 8},
      {"between two filemarks", 12},     {"before the end of data", total},
      {"at the end of data", total + 1},
  };
  size_t aheadSeen = 0;
  for (int depth : {1, 4, 16}) {
    for (bool exact : {true, false}) {
      TapeDriveOptions options = testDriveOptions(4, 64 * 1024);
      options.readDepth = depth;
      options.exactReads = exact;
      auto d = openDrive(target, 0, options);
      ASSERT_NE(d, nullptr);
      SCOPED_TRACE("READs in flight: " + std::to_string(depth) +
                   (exact ? ", lengths asked as they come" : ", whole room"));
      writeTape(d.get());
      ASSERT_EQ(d->rewind(), Outcome::done);
      std::vector<std::string> whole;
      for (size_t i = 0; i <= total; ++i) whole.push_back(next(d.get()));
      std::vector<std::string> expected = tape;
      expected.push_back("EOD");
      ASSERT_EQ(join(whole), join(expected));
      EXPECT_EQ(next(d.get()), "EOD");  // and again: the end of data does not move
      EXPECT_EQ(d->position().file, filemarksAfter.size());

      for (const auto& stop : stops) {
        for (const auto& action : actions) {
          SCOPED_TRACE(std::string("stopped ") + stop.name + ", then " + action.name);
          writeTape(d.get());
          ASSERT_EQ(d->rewind(), Outcome::done);
          for (size_t i = 0; i < stop.stop; ++i) {
            ASSERT_EQ(next(d.get()), i < total ? tape[i] : "EOD");
          }
          const bool afterRecord =
              stop.stop > 0 && stop.stop <= total && tape[stop.stop - 1] != "FM";
          if (depth > 1 && afterRecord) {
            EXPECT_GE(d->readsAhead(), 1u);  // a READ past the reader is out
          }
          aheadSeen += d->readsAhead() > 0 ? 1 : 0;
          const size_t at = std::min(stop.stop, total);
          const TapePosition place = placeAfter(at);
          EXPECT_EQ(d->position().file, place.file);
          EXPECT_EQ(d->position().record, place.record);
          std::vector<std::string> before(tape.begin(), tape.begin() + static_cast<long>(at));
          std::vector<std::string> after(tape.begin() + static_cast<long>(at), tape.end());
          after.push_back("EOD");
          switch (action.then) {
            case Then::readOn: {
              std::vector<std::string> rest;
              for (size_t i = 0; i < after.size(); ++i) rest.push_back(next(d.get()));
              EXPECT_EQ(join(rest), join(after));
              break;
            }
            case Then::spaceFilemark: {
              auto fm = std::find(after.begin(), after.end(), "FM");
              Outcome o = d->spaceFilemarks(1);
              if (fm == after.end()) {
                EXPECT_EQ(o, Outcome::endOfData);
                EXPECT_EQ(next(d.get()), "EOD");
              } else {
                ASSERT_EQ(o, Outcome::done) << d->lastError();
                EXPECT_EQ(d->position().file, place.file + 1);
                EXPECT_EQ(d->position().record, 0u);
                EXPECT_EQ(next(d.get()), *(fm + 1));
              }
              break;
            }
            case Then::spaceBack:
              if (!afterRecord) continue;
              ASSERT_EQ(d->spaceBackRecords(1), Outcome::done) << d->lastError();
              EXPECT_EQ(d->position().record, place.record - 1);
              EXPECT_EQ(next(d.get()), tape[at - 1]);
              EXPECT_EQ(next(d.get()), after[0]);
              break;
            case Then::write:
            case Then::writeFilemark: {
              // The write lands right after the last object taken, and the
              // data ends after it.
              if (action.then == Then::write) {
                std::vector<uint8_t> rec = makeRecord(99, 3333);
                ASSERT_TRUE(written(d->writeRecord(rec.data(), 3333))) << d->lastError();
                ASSERT_EQ(d->writeFilemarks(0), Outcome::done) << d->lastError();
                before.push_back("R99");
              } else {
                ASSERT_EQ(d->writeFilemarks(1), Outcome::done) << d->lastError();
                before.push_back("FM");
              }
              TapeScan scan = scanTape(d.get());
              EXPECT_EQ(scan.end, Outcome::endOfData) << scan.error;
              EXPECT_EQ(join(scan.objects), join(before));
              break;
            }
            case Then::rewind: {
              TapeScan scan = scanTape(d.get());
              EXPECT_EQ(scan.end, Outcome::endOfData) << scan.error;
              EXPECT_EQ(join(scan.objects), join(tape));
              break;
            }
            case Then::toEnd:
              ASSERT_EQ(d->spaceToEndOfData(true), Outcome::done) << d->lastError();
              EXPECT_EQ(d->position().file, filemarksAfter.size());
              EXPECT_EQ(next(d.get()), "EOD");
              break;
          }
        }
      }
    }
  }
  EXPECT_GT(aheadSeen, 0u);
}

// Members on two drives of one target, each driven by its own thread as a
// group's members are: each has its own session, and neither disturbs the
// other's tape.
TEST(TapeDriveTgt, TwoMembersOnTwoThreads) {
  SKIP_WITHOUT_TGT();
  TgtOptions options;
  options.drives = 2;
  options.cartridges = {TgtCartridge{"T00001", 64}, TgtCartridge{"T00002", 64}};
  TgtTarget target(options);
  ASSERT_TRUE(target.start()) << target.error();
  struct Result {
    std::string error;
    TapeScan scan;
  };
  Result results[2];
  auto work = [&](int drive) {
    Result& r = results[drive];
    IscsiAddress address{target.host(), target.port(), target.iqn(), target.driveLun(drive)};
    TapeDrive d(std::make_unique<IscsiTransport>(address, testIscsiOptions()), testDriveOptions(4));
    if (d.open() != Outcome::done || d.rewind() != Outcome::done) {
      r.error = d.lastError();
      return;
    }
    uint64_t base = 1000 * static_cast<uint64_t>(drive);
    for (uint64_t i = 0; i < 100; ++i) {
      std::vector<uint8_t> rec = makeRecord(base + i, 32768);
      if (!written(d.writeRecord(rec.data(), 32768))) {
        r.error = d.lastError();
        return;
      }
    }
    if (d.writeFilemarks(1) != Outcome::done) {
      r.error = d.lastError();
      return;
    }
    r.scan = scanTape(&d);
  };
  std::thread first(work, 0), second(work, 1);
  first.join();
  second.join();
  for (int drive = 0; drive < 2; ++drive) {
    SCOPED_TRACE("drive " + std::to_string(drive));
    const Result& r = results[drive];
    ASSERT_TRUE(r.error.empty()) << r.error;
    EXPECT_EQ(r.scan.end, Outcome::endOfData) << r.scan.error;
    EXPECT_EQ(r.scan.records.size(), 100u);
    EXPECT_TRUE(contiguous(r.scan.records, 1000 * static_cast<uint64_t>(drive)));
    EXPECT_EQ(r.scan.objects.back(), "FM");
  }
}

}  // namespace
}  // namespace mox::scsi::test
