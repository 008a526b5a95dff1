// The units of a home's libraries as its registry store records them.
#include "platform/library_units.h"

#include <gtest/gtest.h>

#include "platform/registry_store.h"
#include "testing/scoped_temp_dir.h"

namespace platform {
namespace {

TEST(LibraryUnits, TextsAreTrimmedAndMadePrintable) {
  struct Case {
    std::string raw;
    size_t limit;
    std::string text;
  } const cases[] = {
      {"IET     ", 64, "IET"},
      {std::string("  VIRTUAL-TAPE\0\0", 16), 64, "VIRTUAL-TAPE"},
      {"a\tb\nc", 64, "a?b?c"},
      {"\xff\x80z", 64, "??z"},
      {"ULT3580-TD8     ", 4, "ULT3"},
      {"AB  CD", 3, "AB"},  // cut, then trimmed again
      {"", 64, ""},
      {std::string(8, ' '), 64, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(unitText(c.raw.data(), c.raw.size(), c.limit), c.text) << c.raw;
  }
}

TEST(LibraryUnits, ValueRoundTripsAndRefusesWhatItNeverWrites) {
  std::vector<LibraryUnit> units = {{0, 0x0C, "IET", "Controller", "0001", ""},
                                    {1, 0x01, "HP", "Ultrium 6-SCSI", "35GD", "HU\t12"},
                                    {16383, 0x08, "STK", "L700", "", "S1"}};
  std::string text = formatLibraryUnits(units);
  EXPECT_EQ(text,
            "0\t12\tIET\tController\t0001\t\n"
            "1\t1\tHP\tUltrium 6-SCSI\t35GD\tHU?12\n"
            "16383\t8\tSTK\tL700\t\tS1\n");
  std::vector<LibraryUnit> back;
  ASSERT_TRUE(parseLibraryUnits(text, &back));
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[1].product, "Ultrium 6-SCSI");
  EXPECT_EQ(back[1].serial, "HU?12");
  EXPECT_EQ(back[2].lun, 16383);
  EXPECT_EQ(back[2].revision, "");
  const char* refused[] = {
      "16384\t1\tA\tB\tC\tD\n",  // LUN out of range
      "-1\t1\tA\tB\tC\tD\n",
      "1\t\tA\tB\tC\tD\n",  // no type
      "1\t1\tA\tB\tC\n",    // five fields
      "2\t1\tA\tB\tC\tD\n2\t1\tA\tB\tC\tD\n",
      "1\t1\tA\tB\tC\tD\r\n",  // a control byte
  };
  for (const char* t : refused) {
    back = units;
    EXPECT_FALSE(parseLibraryUnits(t, &back)) << t;
    EXPECT_EQ(back.size(), 3u) << t;
  }
  ASSERT_TRUE(parseLibraryUnits("", &back));
  EXPECT_TRUE(back.empty());
}

// Libraries are read from 0 up to the first missing key; a library whose
// units cannot be read is still a library, with none.
TEST(LibraryUnits, EveryLibraryOfTheHomeUntilTheFirstGap) {
  zeptest::ScopedTempDir temp("units");
  ASSERT_TRUE(temp.valid());
  const std::string& home = temp.path();
  EXPECT_TRUE(readLibraryUnits(home).empty());
  auto store = [&](int k, const char* units) {
    RegKey key;
    ASSERT_EQ(regCreateKey(regLocalMachineRootOf(home), libraryKeyPath(k), &key), 0);
    if (units != nullptr) {
      ASSERT_EQ(regWriteValue(key, kLibraryUnitsValue, units), 0);
    }
  };
  store(0, "1\t1\tIET\tVIRTUAL-TAPE\t0107\tbeaf11\n");
  store(1, "garbage");
  store(2, nullptr);
  store(4, "1\t1\tIET\tVIRTUAL-TAPE\t0107\tbeaf11\n");  // after a gap: not read
  auto libraries = readLibraryUnits(home);
  ASSERT_EQ(libraries.size(), 3u);
  ASSERT_EQ(libraries[0].size(), 1u);
  EXPECT_EQ(libraries[0][0].product, "VIRTUAL-TAPE");
  EXPECT_TRUE(libraries[1].empty());
  EXPECT_TRUE(libraries[2].empty());
  EXPECT_EQ(libraryKeyPath(2), std::string(kTapeEngineKey) + "\\Library2");
}

}  // namespace
}  // namespace platform
