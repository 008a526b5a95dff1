#include "raidmgmt/raid_merge.h"

#include <string>
#include <vector>

#include "testing/raid_test_support.h"

namespace {

using RaidMergeTest = RaidConsoleTest;

// Puts `blockCounts[s]` blocks into stream s of `session`.
void putSession(int32_t session, const std::vector<int>& blockCounts) {
  for (size_t s = 0; s < blockCounts.size(); ++s) {
    std::vector<std::vector<uint8_t>> data(static_cast<size_t>(blockCounts[s]),
                                           std::vector<uint8_t>(16, static_cast<uint8_t>(s)));
    moxfake::putBlocks(session, static_cast<uint16_t>(s), data);
  }
}

// The log's lines, without their CR LF.
std::vector<std::string> logLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", from)) {
    lines.push_back(text.substr(from, at - from));
    from = at + 2;
  }
  return lines;
}

TEST_F(RaidMergeTest, ReadsEveryStreamToItsEndOnePassEach) {
  runSettings.sessionNumber = 4;
  putSession(4, {2, 0, 3});
  script("RGROUP1\n4\n");
  bool inputEnded = true;
  EXPECT_EQ(runMergeTest(&inputEnded), 0);
  std::string out = output();
  EXPECT_FALSE(inputEnded);

  std::vector<std::string> lines = logLines(logText());
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], std::string(65, '*'));
  EXPECT_EQ(lines[1], "*                      Merge TEST                               *");
  EXPECT_EQ(lines[2], std::string(65, '*'));
  EXPECT_EQ(lines[3].rfind("Session 4, StartTime ", 0), 0u);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.end()),
            (std::vector<std::string>{
                "Session:4 Stream:0 Stream Remaining:0",
                "Session: 4 Total Streams: 3 current Stream:0",
                "First Pass remaining:3",
                "MOXReadBlockDaemon Error: 1016",
                "Session:4 Stream:1 Stream Remaining:2",
                "Session: 4 Total Streams: 3 current Stream:1",
                "MOXReadBlockDaemon Error: 1016",
                "Session:4 Stream:2 Stream Remaining:1",
                "Session: 4 Total Streams: 3 current Stream:2",
                "MOXReadBlockDaemon Error: 1016",
                "End of Merge test.",
            }));

  // Every block fetched and handed back; one "*" per fetch, the last one of
  // each stream included.
  EXPECT_EQ(moxfake::callCount("MOXRAIDReadBlockDaemon"), 2 + 1 + 0 + 1 + 3 + 1);
  EXPECT_EQ(moxfake::callCount("MOXReleaseBuffers"), 5);
  EXPECT_EQ(moxfake::outstandingBuffers(), 0);
  EXPECT_EQ(occurrences(out, "\n***MOXReadBlockDaemon"), 1);   // stream 0
  EXPECT_EQ(occurrences(out, "\n*MOXReadBlockDaemon"), 1);     // stream 1, no blocks
  EXPECT_EQ(occurrences(out, "\n****MOXReadBlockDaemon"), 1);  // stream 2
  EXPECT_EQ(occurrences(out, "Positioning Tape to Session 4....\n"), 3);
  EXPECT_EQ(runSettings.streamList[0], 2);

  HandleCreationRecord request = moxfake::lastHandleRequest();
  EXPECT_EQ(request.handleMode, MOX_HANDLE_MODE_SESSION);
  EXPECT_STREQ(request.clientName, "Merge");
  EXPECT_EQ(
      moxfake::callsOf({"MOXGetGroupType", "MOXSelectGroup", "MOXEnumTape", "MOXConnecttoTape",
                        "MOXGototSession", "MOXStartReadSession", "MOXEndSession",
                        "MOXDisconnectTape", "MOXReleaseGroup", "MOXCloseHandle"}),
      (std::vector<std::string>{"MOXGetGroupType RGROUP1", "MOXSelectGroup RGROUP1 2",
                                "MOXEnumTape 0 1", "MOXConnecttoTape 0 2", "MOXGototSession 4",
                                "MOXStartReadSession 4 1 1 0", "MOXEndSession", "MOXGototSession 4",
                                "MOXStartReadSession 4 1 1 1", "MOXEndSession", "MOXGototSession 4",
                                "MOXStartReadSession 4 1 1 2", "MOXEndSession", "MOXDisconnectTape",
                                "MOXReleaseGroup", "MOXCloseHandle"}));
}

TEST_F(RaidMergeTest, SessionWithNoStreamsReadsNothingAndEndsNormally) {
  script("RGROUP0\n9\n");
  EXPECT_EQ(runMergeTest(), 0);
  output();
  std::string log = logText();
  EXPECT_NE(log.find("First Pass remaining:0\r\nEnd of Merge test.\r\n"), std::string::npos) << log;
  EXPECT_EQ(moxfake::callCount("MOXRAIDReadBlockDaemon"), 0);
  EXPECT_EQ(moxfake::callCount("MOXEndSession"), 1);
  EXPECT_EQ(moxfake::callCount("MOXCloseHandle"), 1);
}

TEST_F(RaidMergeTest, GroupThatIsNoRaidGroupIsNeverSelected) {
  moxfake::canned().groupType = 0;
  script("DISKGROUP\n1\n");
  EXPECT_EQ(runMergeTest(), -1);
  output();
  EXPECT_NE(logText().find("Not RAID group error:[DISKGROUP], Error 0\r\n"), std::string::npos);
  EXPECT_EQ(moxfake::callCount("MOXSelectGroup"), 0);
  EXPECT_EQ(moxfake::callCount("MOXCloseHandle"), 1);
}

TEST_F(RaidMergeTest, EverySetUpFailureLogsOneLineAndClosesOnlyTheHandle) {
  struct Case {
    const char* op;
    int n;  // which call fails
    const char* line;
  };
  const Case cases[] = {
      {"MOXGetGroupType", 1, "Get group type error:[RGROUP0], Error 1006"},
      {"MOXSelectGroup", 1, "Error Selecting GROUP, Error 1006"},
      {"MOXEnumTape", 1, "MOXEnumTape Error 1006"},
      {"MOXConnecttoTape", 1, "MOX ConnecttoTape Error, 1006"},
      {"MOXGototSession", 1, "MOXGototSession, Error, 1006"},
      {"MOXStartReadSession", 1, "MOXStartSession Error 1006"},
      {"MOXGototSession", 2, "MOXGototSession, Error, 1006"},
      {"MOXStartReadSession", 2, "MOXStartSession Error 1006"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.op) + " " + std::to_string(c.n));
    moxfake::reset();
    resetLogForTest();
    std::remove("zeplog00.log");
    putSession(1, {1, 1});
    moxfake::failCall(c.op, c.n, MOX_E_NO_GROUP);
    script("RGROUP0\n1\n");
    EXPECT_EQ(runMergeTest(), -1);
    output();
    std::vector<std::string> lines = logLines(logText());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), c.line);
    EXPECT_EQ(moxfake::callCount("MOXCloseHandle"), 1);
    EXPECT_EQ(moxfake::callCount("MOXReleaseGroup"), 0);
    EXPECT_EQ(moxfake::callCount("MOXDisconnectTape"), 0);
  }
}

TEST_F(RaidMergeTest, HandleFailureLogsTheCodeTwice) {
  moxfake::failAlways("MOXCreateHandle", 1002);
  script("RGROUP0\n1\n");
  EXPECT_EQ(runMergeTest(), -1);
  output();
  EXPECT_NE(logText().find("Error Creating MOXHandle, 1002,0x3ea\r\n"), std::string::npos);
  EXPECT_EQ(moxfake::callCount("MOXCloseHandle"), 0);
}

TEST_F(RaidMergeTest, PromptInputThatCannotBeUsed) {
  struct Case {
    std::string input;
    bool inputEnded;
    const char* line;  // the last log line, "" for none expected
  };
  const Case cases[] = {
      {"", true, ""},
      {"RGROUP0\n", true, ""},
      {"RGROUP0\nlast\n", false, "Not a session number"},
      {"RGROUP0\n-1\n", false, "Not a session number"},
      {"RGROUP0\n65536\n", false, "Not a session number"},
      {std::string(128, 'G') + "\n1\n", false, "Group name too long: at most 127 characters"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 20));
    moxfake::reset();
    script(c.input);
    bool inputEnded = !c.inputEnded;
    EXPECT_EQ(runMergeTest(&inputEnded), -1);
    output();
    EXPECT_EQ(inputEnded, c.inputEnded);
    EXPECT_EQ(moxfake::callCount("MOXGetGroupType"), 0);
    EXPECT_EQ(moxfake::callCount("MOXCloseHandle"), 1);
    if (*c.line != '\0') {
      EXPECT_EQ(logLines(logText()).back(), c.line);
    }
  }
}

}  // namespace
