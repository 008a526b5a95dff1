#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "inventory/inventory.h"
#include "testing/test_dir.h"

namespace {

class DebugLevelTest : public TempDirTest {
 protected:
  std::string run(const std::string& input) {
    setInput(input);
    testing::internal::CaptureStdout();
    setLibraryDebugLevel();
    return testing::internal::GetCapturedStdout();
  }
};

struct LevelCase {
  const char* input;
  uint32_t level;
  int refusals;
};

TEST_F(DebugLevelTest, AcceptsZeroToTenAndAsksAgainForAnythingElse) {
  const LevelCase cases[] = {
      {"10\n", 10, 0},         {"0\n", 0, 0},       {"11\n7\n", 7, 1},
      {"-1\n3\n", 3, 1},       {"word\n4\n", 4, 1}, {"4294967297\n2\n", 2, 1},  // 2^32 + 1 is no 1
      {"11 5\n-1\n9\n", 9, 2},  // the rest of a refused line is discarded
  };
  for (const LevelCase& c : cases) {
    SCOPED_TRACE(c.input);
    moxfake::reset();
    std::string out = run(c.input);
    std::string expected = "Debug Level: ";
    for (int i = 0; i < c.refusals; ++i) expected += "Invalid Debug Level.\nDebug Level: ";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(moxfake::callCount("MOXSetDebugLevel"), 1);
    EXPECT_EQ(moxfake::lastDebugLevel(), c.level);
    EXPECT_EQ(moxfake::callCount("MOXCloseHandle"), 1);
  }
}

TEST_F(DebugLevelTest, UsesALocalHandleWhateverTheConnectionSettings) {
  runSettings.connectionType = 2;
  strcpy(runSettings.serverName, "FARAWAY");
  run("1\n");
  HandleCreationRecord request = moxfake::lastHandleRequest();
  EXPECT_EQ(request.handleMode, MOX_HANDLE_MODE_ADMIN);
  EXPECT_EQ(request.connectionType, MOX_CONNECTION_LOCAL);
  EXPECT_STRNE(request.serverName, "FARAWAY");
}

TEST_F(DebugLevelTest, EndOfInputGivesUpWithoutSettingALevel) {
  std::string out = run("12\n");
  EXPECT_EQ(out, "Debug Level: Invalid Debug Level.\nDebug Level: \n");
  EXPECT_EQ(moxfake::callCount("MOXSetDebugLevel"), 0);
  EXPECT_EQ(moxfake::callCount("MOXCloseHandle"), 1);
}

TEST_F(DebugLevelTest, HandleFailureIsLoggedAndNothingIsAsked) {
  moxfake::failAlways("MOXCreateHandle", MOX_E_ENGINE_STOPPED);
  std::string out = run("5\n");
  EXPECT_EQ(out, "Error Creating MOXHandle, 1002,0x3ea\n");
  EXPECT_EQ(logText(), "Error Creating MOXHandle, 1002,0x3ea\r\n");
  EXPECT_EQ(moxfake::callCount("MOXSetDebugLevel"), 0);
}

}  // namespace
