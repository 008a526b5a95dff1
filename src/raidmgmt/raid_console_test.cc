#include "raidmgmt/raid_console.h"

#include <string>
#include <vector>

#include "testing/raid_test_support.h"

namespace {

using RaidMenuTest = RaidConsoleTest;

const char kMenu[] =
    "\n\n\t\t\tRAID Device Management Utility\n"
    "\t\t\t====================================\n\n"
    "\t\t\t 1. Get Number Of RAIDs\n"
    "\t\t\t 2. Get RAID info\n"
    "\t\t\t 3. Format RAID \n"
    "\t\t\t 4. Erase RAID  (SHORT)\n"
    "\t\t\t 5. SetCompression \n"
    "\t\t\t 6. Eject RAID \n"
    "\t\t\t 7. RAID ReBuild \n"
    "\t\t\t 8. RAID ReBuild Media (Need to specify each device)\n"
    "\t\t\t 9. RAID Tape Info \n"
    "\t\t\t10. Is RAID Group \n"
    "\t\t\t11. RAID Merge Tape Test \n"
    "\t\t\t15. Exit\n\n\t"
    "Enter Selection : ";
const char kPause[] = "Press Any Key to Continue.....\n";

TEST_F(RaidMenuTest, ExitLeavesAtOnceWithTheCloseResult) {
  runSettings.connectionType = 2;
  script("15\n");
  EXPECT_EQ(runRaidManagementConsole(), 0);
  EXPECT_EQ(output(), kMenu);
  HandleCreationRecord request = moxfake::lastHandleRequest();
  EXPECT_EQ(request.handleMode, MOX_HANDLE_MODE_ADMIN);
  EXPECT_EQ(request.connectionType, MOX_CONNECTION_LOCAL);
  EXPECT_STREQ(request.serverName, " ");
  EXPECT_EQ(moxfake::calls(), (std::vector<std::string>{"MOXCreateHandle 8 1", "MOXCloseHandle"}));

  moxfake::reset();
  moxfake::failAlways("MOXCloseHandle", 1004);
  script("15\n");
  EXPECT_EQ(runRaidManagementConsole(), 1004);
}

TEST_F(RaidMenuTest, NoHandlePrintsOneMessageAndReturnsItsLength) {
  moxfake::failAlways("MOXCreateHandle", MOX_E_ENGINE_STOPPED);
  script("15\n");
  EXPECT_EQ(runRaidManagementConsole(), 54);
  EXPECT_EQ(output(), " Can't Create MOX Handle for RAID Device Managements \n");
  EXPECT_EQ(moxfake::callCount("MOXCloseHandle"), 0);
}

TEST_F(RaidMenuTest, SelectionsWithNoMenuItemPauseAndShowTheMenuAgain) {
  // Words, out-of-range numbers and missing items are numbers with no item.
  script("12\n\n13\n\n14\n\n0\n\n-3\n\nexit\n\n99999999999\n\n15\n");
  EXPECT_EQ(runRaidManagementConsole(), 0);
  std::string out = output();
  EXPECT_EQ(occurrences(out, kMenu), 8);
  EXPECT_EQ(occurrences(out, kPause), 7);
  EXPECT_EQ(out, [] {
    std::string expected;
    for (int i = 0; i < 7; ++i) expected += std::string(kMenu) + kPause;
    return expected + kMenu;
  }());
  EXPECT_EQ(moxfake::calls(), (std::vector<std::string>{"MOXCreateHandle 8 1", "MOXCloseHandle"}));
}

TEST_F(RaidMenuTest, EachSelectionRunsItsOperationOnTheConsoleHandle) {
  struct Case {
    const char* input;  // selection and the dialogue's answers
    const char* call;   // the tape service call of the operation
  };
  const Case cases[] = {
      {"1\n", "MOXGetRaidCount 255"},
      {"2\n0\n", "MOXGetRaidInfo 0"},
      {"3\n1\nNAME\n", "MOXFormatTape 1 1"},
      {"4\n1\n", "MOXEraseRaid 1 0"},
      {"5\n1\nn\n", "MOXSetRaidCompression 1 0"},
      {"6\n1\n", "MOXEjectRaid 1"},
      {"7\n1\n", "MOXRebuildRaid 1"},
      {"8\n1\n0\n1\n", "MOXRebuildRaidMedia 1 0 1"},
      {"9\n1\n", "MOXGetRaidTapeInfo 1"},
      {"10\nRGROUP1\n", "MOXGetGroupType RGROUP1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    moxfake::reset();
    script(std::string(c.input) + "\n15\n");
    EXPECT_EQ(runRaidManagementConsole(), 0);
    std::string out = output();
    EXPECT_EQ(occurrences(out, kPause), 1);
    std::vector<std::string> calls = moxfake::calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0], "MOXCreateHandle 8 1");
    EXPECT_EQ(calls[1], c.call);
    EXPECT_EQ(calls[2], "MOXCloseHandle");
  }
}

// A rebuild that failed is the console's result (1), whatever came after it
// in the console; every other operation's failure leaves it as it was.
TEST_F(RaidMenuTest, AFailedRebuildIsTheConsoleResult) {
  struct Case {
    const char* input;
    const char* failing;  // the call that fails with 1024
    int result;
  } cases[] = {
      {"7\n1\n\n", "MOXRebuildRaid", 1},      {"8\n1\n0\n1\n\n", "MOXRebuildRaidMedia", 1},
      {"7\n1\n\n1\n\n", "MOXRebuildRaid", 1}, {"7\n1\n\n", nullptr, 0},
      {"4\n1\n\n", "MOXEraseRaid", 0},        {"3\n1\nNAME\n\n", "MOXFormatTape", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    moxfake::reset();
    if (c.failing != nullptr) moxfake::failAlways(c.failing, MOX_E_DEGRADED);
    script(std::string(c.input) + "15\n");
    EXPECT_EQ(runRaidManagementConsole(), c.result);
  }
  // A console that opens after one whose rebuild failed starts clean.
  moxfake::reset();
  script("15\n");
  EXPECT_EQ(runRaidManagementConsole(), 0);
}

TEST_F(RaidMenuTest, MergeTestRunsOnItsOwnHandleAndTheConsoleHandleStaysOpen) {
  // The merge test connects as the run says; the console always locally.
  runSettings.connectionType = 2;
  moxfake::putBlocks(2, 0, {std::vector<uint8_t>(8, 1)});
  script("11\nRGROUP0\n2\n\n15\n");
  EXPECT_EQ(runRaidManagementConsole(), 0);
  std::string out = output();
  EXPECT_NE(out.find("End of Merge test.\n" + std::string(kPause)), std::string::npos);
  EXPECT_EQ(moxfake::callsOf({"MOXCreateHandle", "MOXCloseHandle"}),
            (std::vector<std::string>{"MOXCreateHandle 8 1", "MOXCreateHandle 1 2",
                                      "MOXCloseHandle", "MOXCloseHandle"}));
  EXPECT_STREQ(moxfake::lastHandleRequest().clientName, "Merge");
  EXPECT_NE(logText().find("End of Merge test.\r\n"), std::string::npos);
}

TEST_F(RaidMenuTest, EndOfInputAtAnyPromptLeavesAsExitDoes) {
  struct Case {
    const char* input;
    int pauses;  // pause messages shown before the end
  };
  const Case cases[] = {
      {"", 0},               // at the selection
      {"\n  \n", 0},         // only blank lines
      {"1\n", 1},            // at the pause
      {"2\n", 0},            // at the RAID device number
      {"3\n0\n", 0},         // at the tape name
      {"5\n0\nwhat\n", 0},   // at the yes/no question: no y/n came
      {"8\n0\n1\n", 0},      // at the rebuild device
      {"10\n", 0},           // at the group name
      {"11\nRGROUP0\n", 0},  // at the merge test's session
      {"1\n\n1\n\n", 2},     // after two complete operations
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    moxfake::reset();
    script(c.input);
    EXPECT_EQ(runRaidManagementConsole(), 0);
    std::string out = output();
    EXPECT_EQ(occurrences(out, kPause), c.pauses);
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(moxfake::callCount("MOXSetRaidCompression"), 0);
    EXPECT_EQ(moxfake::callCount("MOXFormatTape"), 0);
    // The console's handle is closed once, after the merge test's own.
    std::vector<std::string> calls = moxfake::calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), "MOXCloseHandle");
    EXPECT_EQ(moxfake::callCount("MOXCloseHandle"), moxfake::callCount("MOXCreateHandle"));
  }
}

TEST_F(RaidMenuTest, PauseTakesOneKeyAfterDroppingTheRestOfTheLine) {
  // "1 2 3" is one selection; the rest of its line is dropped at the pause,
  // and the key is the next line's first character.
  script("1 2 3\nx\n1\n\n15\n");
  EXPECT_EQ(runRaidManagementConsole(), 0);
  std::string out = output();
  EXPECT_EQ(occurrences(out, kPause), 2);
  EXPECT_EQ(moxfake::callCount("MOXGetRaidCount"), 2);
  EXPECT_EQ(moxfake::callCount("MOXGetRaidInfo"), 0);
}

}  // namespace
