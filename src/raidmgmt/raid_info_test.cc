#include <cstring>
#include <string>
#include <vector>

#include "raidmgmt/raid_console.h"
#include "raidmgmt/raid_operations.h"
#include "raidmgmt/raid_prompts.h"
#include "testing/raid_test_support.h"

namespace {

constexpr MoxHandle kHandle = 7;

RaidInfoRecord raidInfo(std::vector<uint16_t> members, uint16_t memberCount) {
  RaidInfoRecord info{};
  info.level = 5;
  info.memberCount = memberCount;
  for (size_t i = 0; i < members.size() && i < 19; ++i) info.members[i] = members[i];
  info.tapeFlag = 0x1F;
  info.capFlag = 0xABCDEF01;
  info.stripSize = 64;
  return info;
}

using RaidInfoTest = RaidConsoleTest;

TEST_F(RaidInfoTest, RaidCountShowsCountAndMaximumOrTheFailure) {
  moxfake::canned().raidCount = 3;
  moxfake::canned().raidMaximum = 10;
  script("");
  EXPECT_EQ(showRaidCount(kHandle), kPromptOk);
  EXPECT_EQ(output(), "Num:3    MAX:10\n");
  EXPECT_EQ(moxfake::callsOf({"MOXGetRaidCount"}), std::vector<std::string>{"MOXGetRaidCount 255"});

  moxfake::failAlways("MOXGetRaidCount", MOX_E_NO_RAID);
  script("");
  EXPECT_EQ(showRaidCount(kHandle), kPromptOk);
  EXPECT_EQ(output(), "Error Getting Number of Devices\n");
}

TEST_F(RaidInfoTest, RaidInfoShowsMembersOnOneLineAndFlagsInHex) {
  moxfake::canned().raidInfo = raidInfo({4, 5, 6}, 3);
  script("3\n");
  EXPECT_EQ(showRaidInfo(kHandle), kPromptOk);
  EXPECT_EQ(output(),
            "RAID Device No : "
            "RAID successfully received RAID info\n"
            "No of tape devices: 3\n"
            "   Device: 4   Device: 5   Device: 6\n"
            "RAID Level: 5\n"
            "RAID Strip Size: 64\n"
            "RAID Tape Flag: 0000001F\n"
            "RAID Cap Flag: ABCDEF01\n");
  EXPECT_EQ(moxfake::callsOf({"MOXGetRaidInfo"}), std::vector<std::string>{"MOXGetRaidInfo 3"});
}

TEST_F(RaidInfoTest, RaidInfoMemberListEdges) {
  // No members: only the line end. More than the list holds: 19 shown.
  moxfake::canned().raidInfo = raidInfo({}, 0);
  script("0\n");
  showRaidInfo(kHandle);
  std::string none = output();
  EXPECT_NE(none.find("No of tape devices: 0\n\nRAID Level: 5\n"), std::string::npos) << none;

  std::vector<uint16_t> many;
  for (uint16_t d = 100; d < 119; ++d) many.push_back(d);
  moxfake::canned().raidInfo = raidInfo(many, 40);
  script("0\n");
  showRaidInfo(kHandle);
  std::string capped = output();
  EXPECT_NE(capped.find("No of tape devices: 40\n"), std::string::npos);
  EXPECT_EQ(occurrences(capped, "   Device: "), 19);
  EXPECT_NE(capped.find("   Device: 118\nRAID Level"), std::string::npos) << capped;
}

TEST_F(RaidInfoTest, RaidInfoFailurePrintsOneLine) {
  moxfake::failAlways("MOXGetRaidInfo", MOX_E_NO_RAID);
  script("9\n");
  showRaidInfo(kHandle);
  EXPECT_EQ(output(), "RAID Device No : Error Get RAID info\n");
}

// Every display and operation that asks for a RAID device number treats
// input that is no device number alike: refused, no tape service call.
TEST_F(RaidInfoTest, RaidDeviceNumberPromptNeverPassesAnUndefinedNumber) {
  struct Case {
    const char* input;
    int result;
    const char* calls;  // MOXGetRaidInfo calls made
    const char* text;   // expected in the output
  };
  const Case cases[] = {
      {"abc\n", kPromptRefused, "", "Not a RAID device number\n"},
      {"-1\n", kPromptRefused, "", "Not a RAID device number\n"},
      {"65536\n", kPromptRefused, "", "Not a RAID device number\n"},
      {"99999999999999999999\n", kPromptRefused, "", "Not a RAID device number\n"},
      {"", kInputEnded, "", "RAID Device No : "},
      {"  \n\n", kInputEnded, "", "RAID Device No : "},
      {"65535\n", kPromptOk, "MOXGetRaidInfo 65535", "RAID successfully received RAID info\n"},
      {" +2 trailing\n", kPromptOk, "MOXGetRaidInfo 2", "RAID successfully received RAID info\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    moxfake::reset();
    script(c.input);
    EXPECT_EQ(showRaidInfo(kHandle), c.result);
    std::string out = output();
    std::vector<std::string> calls = moxfake::callsOf({"MOXGetRaidInfo"});
    EXPECT_EQ(calls.empty() ? std::string() : calls[0], c.calls);
    EXPECT_NE(out.find(c.text), std::string::npos) << out;
  }
}

TEST_F(RaidInfoTest, RaidTapeInfoShowsEveryField) {
  RaidTapeInfoRecord& tape = moxfake::canned().raidTapeInfo;
  std::strcpy(tape.tapeName, "WEEKLY 07");
  tape.randomId = -12345;
  tape.sequence = 2;
  tape.formatCode = 513;
  tape.mediaType = 8;
  tape.density = 66;
  tape.expiration = 1767225600;
  tape.blockSize = 65536;
  script("1\n");
  EXPECT_EQ(showRaidTapeInfo(kHandle), kPromptOk);
  EXPECT_EQ(output(),
            "RAID Device No : "
            "RAID successfully received RAID tape info\n"
            "\n"
            "RAID Tape Name: WEEKLY 07\n"
            "RAID Tape Random Id: -12345\n"
            "RAID Tape sequence: 2\n"
            "RAID Tape formatCode: 513\n"
            "RAID Tape medida Type: 8\n"
            "RAID Tape density Code: 66\n"
            "RAID Tape expiration Date: 1767225600\n"
            "RAID Tape block Size: 65536\n");
  EXPECT_EQ(moxfake::callsOf({"MOXGetRaidTapeInfo"}),
            std::vector<std::string>{"MOXGetRaidTapeInfo 1"});
}

TEST_F(RaidInfoTest, RaidTapeInfoEdges) {
  // A name that fills its field with no terminating zero stays in bounds.
  std::memset(moxfake::canned().raidTapeInfo.tapeName, 'T', 24);
  script("0\n");
  showRaidTapeInfo(kHandle);
  EXPECT_NE(output().find("RAID Tape Name: " + std::string(24, 'T') + "\n"), std::string::npos);

  moxfake::failAlways("MOXGetRaidTapeInfo", MOX_E_NO_TAPE);
  script("0\n");
  showRaidTapeInfo(kHandle);
  EXPECT_EQ(output(), "RAID Device No : Error Get RAID info\n");
}

TEST_F(RaidInfoTest, IsRaidGroupByGroupType) {
  struct Case {
    uint16_t type;
    int32_t failure;
    const char* expected;
  };
  const Case cases[] = {
      {1, 0, "GroupName: RGROUP0 is RAID Group\n"},
      {0, 0, "GroupName: RGROUP0 is NOT RAID Group\n"},
      {2, 0, "GroupName: "},
      {1, MOX_E_NO_GROUP, "GroupName: Error GetGroupType\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    moxfake::reset();
    moxfake::canned().groupType = c.type;
    if (c.failure != 0) moxfake::failAlways("MOXGetGroupType", c.failure);
    script("RGROUP0 extra words\n");
    EXPECT_EQ(showIsRaidGroup(kHandle), kPromptOk);
    EXPECT_EQ(output(), c.expected);
    EXPECT_EQ(moxfake::callsOf({"MOXGetGroupType"}),
              std::vector<std::string>{"MOXGetGroupType RGROUP0"});
  }
}

TEST_F(RaidInfoTest, IsRaidGroupRefusesNamesLongerThan127) {
  std::string longest(127, 'g');
  script(longest + "\n");
  EXPECT_EQ(showIsRaidGroup(kHandle), kPromptOk);
  EXPECT_EQ(output(), "GroupName: " + longest + " is RAID Group\n");

  moxfake::reset();
  script(std::string(128, 'g') + "\n");
  EXPECT_EQ(showIsRaidGroup(kHandle), kPromptRefused);
  EXPECT_EQ(output(), "GroupName: Group name too long: at most 127 characters\n");
  EXPECT_EQ(moxfake::callCount("MOXGetGroupType"), 0);

  script("");
  EXPECT_EQ(showIsRaidGroup(kHandle), kInputEnded);
  EXPECT_EQ(moxfake::callCount("MOXGetGroupType"), 0);
}

TEST_F(RaidInfoTest, DeviceResultsShowOnlyValidEntriesOfTheFirst16) {
  DeviceResultList list{};
  list.entries[0] = {0, 4, 1, 0};
  list.entries[1] = {77, 5, 0, 0};  // not valid
  list.entries[2] = {-5, 6, 1, 0};  // shown as FFFFFFFB
  list.entries[3] = {1, 7, 2, 0};   // flag not exactly 1
  list.entries[15] = {170, 65535, 1, 9};
  list.entries[16] = {99, 8, 1, 0};  // beyond the 16 looked at
  list.entries[31] = {99, 9, 1, 0};
  const std::string expected =
      " LDN:4 Ret:0 00000000h\n"
      " LDN:6 Ret:-5 FFFFFFFBh\n"
      " LDN:65535 Ret:170 000000AAh\n";
  struct Case {
    uint16_t count;
    std::string expected;
  };
  const Case cases[] = {
      {16, expected},    {32, expected},  // a larger count still stops at 16
      {65535, expected}, {3, " LDN:4 Ret:0 00000000h\n LDN:6 Ret:-5 FFFFFFFBh\n"},
      {0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    script("");
    showDeviceResults(list, c.count);
    EXPECT_EQ(output(), c.expected);
  }
}

TEST_F(RaidInfoTest, LogRaidInfoWritesTheConfigurationToTheLog) {
  runSettings.connectionType = 2;
  moxfake::canned().raidInfo = raidInfo({0, 1}, 2);
  script("");
  logRaidInfo(0);
  output();
  EXPECT_EQ(logText(),
            "RAID successfully received RAID info\n\r\n"
            "No of tape devices: 2\n\r\n"
            "   Device: 0\r\n"
            "   Device: 1\r\n"
            "\n\r\n"
            "RAID Level: 5\n\r\n"
            "RAID Strip Size: 64\n\r\n");
  // A local admin handle whatever the run's connection, closed again.
  HandleCreationRecord request = moxfake::lastHandleRequest();
  EXPECT_EQ(request.handleMode, MOX_HANDLE_MODE_ADMIN);
  EXPECT_EQ(request.connectionType, MOX_CONNECTION_LOCAL);
  EXPECT_STREQ(request.serverName, " ");
  EXPECT_STREQ(runSettings.serverName, " ");
  EXPECT_EQ(moxfake::callsOf({"MOXGetRaidInfo", "MOXCloseHandle"}),
            (std::vector<std::string>{"MOXGetRaidInfo 0", "MOXCloseHandle"}));
}

TEST_F(RaidInfoTest, LogRaidInfoFailures) {
  // No handle: the message goes to the log, nothing is closed.
  moxfake::failAlways("MOXCreateHandle", MOX_E_ENGINE_STOPPED);
  script("");
  logRaidInfo(0);
  output();
  EXPECT_EQ(logText(), " Can't Create MOX Handle for Display RAID Info \n\r\n");
  EXPECT_EQ(moxfake::callCount("MOXCloseHandle"), 0);

  // A failed query: on the console only, and the handle is still closed.
  moxfake::reset();
  moxfake::failAlways("MOXGetRaidInfo", MOX_E_NO_RAID);
  script("");
  logRaidInfo(3);
  EXPECT_EQ(output(), "Error Get RAID info\n");
  EXPECT_EQ(logText(), " Can't Create MOX Handle for Display RAID Info \n\r\n");
  EXPECT_EQ(moxfake::callsOf({"MOXGetRaidInfo", "MOXCloseHandle"}),
            (std::vector<std::string>{"MOXGetRaidInfo 3", "MOXCloseHandle"}));
}

TEST_F(RaidInfoTest, LogRaidInfoListsAtMost19Members) {
  std::vector<uint16_t> many(19, 3);
  moxfake::canned().raidInfo = raidInfo(many, 300);
  script("");
  logRaidInfo(0);
  output();
  EXPECT_EQ(occurrences(logText(), "   Device: 3\r\n"), 19);
}

}  // namespace
