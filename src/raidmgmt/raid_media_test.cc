#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "raidmgmt/raid_operations.h"
#include "raidmgmt/raid_prompts.h"
#include "testing/raid_test_support.h"

namespace {

constexpr MoxHandle kHandle = 7;

using RaidMediaTest = RaidConsoleTest;

// The operations that print the per-member results after success.
struct MemberResultOperation {
  const char* name;
  int (*run)(MoxHandle);
  const char* input;    // the dialogue's answers
  const char* call;     // the call log entry of the tape service call
  const char* success;  // the text after the prompts on success
  const char* failure;  // the failure text for code 1022
};

const MemberResultOperation kMemberResultOperations[] = {
    {"format", formatRaid, "1\nMONDAY\n", "MOXFormatTape 1 1", "RAID successfully formatted\n",
     "Error formatting RAID: 1022\n"},
    {"erase", eraseRaid, "1\n", "MOXEraseRaid 1 0", "RAID successfully erased\n",
     "Error erasing RAID: 1022\n"},
    {"compression", setRaidCompression, "1\ny\n", "MOXSetRaidCompression 1 -1",
     "RAID successfully set the compression\n", "Error setting RAID compression: 1022\n"},
    {"eject", ejectRaid, "1\n", "MOXEjectRaid 1", "RAID successfully ejected\n",
     "Error ejecting RAID: 1022\n"},
    {"rebuild media", rebuildRaidMedia, "1\n2\n3\n", "MOXRebuildRaidMedia 1 2 3",
     "RAID Media successfully Rebuilt\n", "Error ReBuilding Media: 1022\n"},
};

// The call's name: the call log entry up to its first blank.
std::string callName(const char* call) {
  std::string text = call;
  return text.substr(0, text.find(' '));
}

// Text printed after the last prompt of the dialogue: the prompts end in
// ":" or "?", the outcome starts after the last one.
std::string afterPrompts(const std::string& out) {
  size_t last = 0;
  for (const char* prompt :
       {"RAID Device No : ", " Enter Tape Name:", "(Y/N)?", "Build Device No : "}) {
    size_t at = out.rfind(prompt);
    if (at != std::string::npos && at + std::strlen(prompt) > last) {
      last = at + std::strlen(prompt);
    }
  }
  return out.substr(last);
}

TEST_F(RaidMediaTest, SuccessPrintsTheTextThenTheValidMemberResults) {
  for (const MemberResultOperation& op : kMemberResultOperations) {
    SCOPED_TRACE(op.name);
    moxfake::reset();
    moxfake::canned().deviceResults.entries[0] = {0, 2, 1, 0};
    moxfake::canned().deviceResults.entries[1] = {-5, 3, 1, 0};
    moxfake::canned().deviceResults.entries[2] = {9, 4, 0, 0};
    script(op.input);
    EXPECT_EQ(op.run(kHandle), kPromptOk);
    EXPECT_EQ(afterPrompts(output()),
              std::string(op.success) + " LDN:2 Ret:0 00000000h\n LDN:3 Ret:-5 FFFFFFFBh\n");
    EXPECT_EQ(moxfake::callsOf({callName(op.call)}), std::vector<std::string>{op.call});
  }
}

TEST_F(RaidMediaTest, FailurePrintsTheCodeAndNoMemberResults) {
  for (const MemberResultOperation& op : kMemberResultOperations) {
    SCOPED_TRACE(op.name);
    moxfake::reset();
    moxfake::canned().deviceResults.entries[0] = {0, 2, 1, 0};
    moxfake::failAlways(callName(op.call), MOX_E_NO_RAID);
    script(op.input);
    EXPECT_EQ(op.run(kHandle), kPromptOk);
    EXPECT_EQ(afterPrompts(output()), op.failure);
  }
}

TEST_F(RaidMediaTest, EveryOperationRefusesInputThatIsNoRaidDeviceNumber) {
  int (*const operations[])(MoxHandle) = {formatRaid, eraseRaid,   setRaidCompression,
                                          ejectRaid,  rebuildRaid, rebuildRaidMedia};
  for (auto run : operations) {
    moxfake::reset();
    script("zero\nNAME\ny\n1\n2\n");
    EXPECT_EQ(run(kHandle), kPromptRefused);
    EXPECT_EQ(output(), "RAID Device No : Not a RAID device number\n");
    EXPECT_TRUE(moxfake::calls().empty());

    script("");
    EXPECT_EQ(run(kHandle), kInputEnded);
    output();
    EXPECT_TRUE(moxfake::calls().empty());
  }
}

TEST_F(RaidMediaTest, FormatRequestCarriesModeNameNoSessionAndAYearOfExpiration) {
  script("0\nFULL BACKUP 1\n");
  time_t before = time(nullptr);
  EXPECT_EQ(formatRaid(kHandle), kPromptOk);
  time_t after = time(nullptr);
  EXPECT_EQ(output(), "RAID Device No :  Enter Tape Name:RAID successfully formatted\n");
  TapeFormatRecord request = moxfake::lastFormatRequest();
  EXPECT_EQ(request.formatMode, 1);
  EXPECT_STREQ(request.tapeName, "FULL BACKUP 1");
  EXPECT_EQ(request.sessionNumber, 0);
  int64_t expiration = request.expirationTime;  // a packed field: copied, not bound
  EXPECT_GE(expiration, before + 31536000);
  EXPECT_LE(expiration, after + 31536000);
}

TEST_F(RaidMediaTest, FormatTapeNameLengths) {
  struct Case {
    std::string line;
    bool formats;
  };
  const Case cases[] = {
      {std::string(23, 'N'), true},
      {"", true},
      {std::string(24, 'N'), false},
      {std::string(300, 'N'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.size());
    moxfake::reset();
    script("2\n" + c.line + "\n");
    EXPECT_EQ(formatRaid(kHandle), c.formats ? kPromptOk : kPromptRefused);
    std::string out = output();
    ASSERT_EQ(moxfake::callCount("MOXFormatTape"), c.formats ? 1 : 0);
    if (c.formats) {
      TapeFormatRecord request = moxfake::lastFormatRequest();
      EXPECT_EQ(std::string(request.tapeName), c.line);
      EXPECT_EQ(request.tapeName[23], '\0');
    } else {
      EXPECT_NE(out.find("Tape name too long: at most 23 characters\n"), std::string::npos);
    }
  }
}

TEST_F(RaidMediaTest, FormatTapeNameIsTheNextWholeLine) {
  // The rest of the device number's line is dropped; blanks stay in the name.
  script("4 ignored\r\n  two  words \r\n");
  formatRaid(kHandle);
  output();
  EXPECT_EQ(moxfake::callsOf({"MOXFormatTape"}), std::vector<std::string>{"MOXFormatTape 4 1"});
  EXPECT_STREQ(moxfake::lastFormatRequest().tapeName, "  two  words ");

  moxfake::reset();
  script("4\n");
  EXPECT_EQ(formatRaid(kHandle), kInputEnded);
  output();
  EXPECT_EQ(moxfake::callCount("MOXFormatTape"), 0);
}

TEST_F(RaidMediaTest, CompressionAnswerIsTheFirstOfYyNn) {
  struct Case {
    const char* answer;
    const char* call;  // "" when no call is made
    int result;
  };
  const Case cases[] = {
      {"Y\n", "MOXSetRaidCompression 0 -1", kPromptOk},
      {"yes\n", "MOXSetRaidCompression 0 -1", kPromptOk},
      {"n\n", "MOXSetRaidCompression 0 0", kPromptOk},
      {"x\nN\n", "MOXSetRaidCompression 0 0", kPromptOk},
      {"\n\n 1 ? nY\n", "MOXSetRaidCompression 0 0", kPromptOk},
      {"", "", kInputEnded},
      {"what\nlater\n", "", kInputEnded},  // no y/n before the end: nothing set
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    moxfake::reset();
    script(std::string("0\n") + c.answer);
    EXPECT_EQ(setRaidCompression(kHandle), c.result);
    std::string out = output();
    EXPECT_EQ(out.rfind("RAID Device No : Set Compression On (Y/N)?", 0), 0u) << out;
    std::vector<std::string> calls = moxfake::callsOf({"MOXSetRaidCompression"});
    EXPECT_EQ(calls.empty() ? std::string() : calls[0], c.call);
  }
}

TEST_F(RaidMediaTest, CompressionQuestionDropsTheRestOfTheDeviceLine) {
  // "y" on the device number's line is not the answer.
  script("0 y\nn\n");
  setRaidCompression(kHandle);
  output();
  EXPECT_EQ(moxfake::callsOf({"MOXSetRaidCompression"}),
            std::vector<std::string>{"MOXSetRaidCompression 0 0"});
}

TEST_F(RaidMediaTest, RebuildShowsNumbersOnlyAfterSuccess) {
  moxfake::canned().buildNumber = 2;
  moxfake::canned().rebuildNumber = 3;
  script("1\n");
  EXPECT_EQ(rebuildRaid(kHandle), kPromptOk);
  EXPECT_EQ(
      output(),
      "RAID Device No : RAID Media successfully Rebuilt\nRAID Build No:2\nRAID ReBuild No:3\n");
  EXPECT_EQ(moxfake::callsOf({"MOXRebuildRaid"}), std::vector<std::string>{"MOXRebuildRaid 1"});

  moxfake::failAlways("MOXRebuildRaid", -7);
  script("1\n");
  rebuildRaid(kHandle);
  EXPECT_EQ(output(), "RAID Device No : Error ReBuilding: -7\n");
}

TEST_F(RaidMediaTest, RebuildMediaReadsBothDevicesWithoutDiscarding) {
  script("1 2 3\n");
  EXPECT_EQ(rebuildRaidMedia(kHandle), kPromptOk);
  EXPECT_EQ(output(),
            "RAID Device No : Build Device No : ReBuild Device No : "
            "RAID Media successfully Rebuilt\n");
  EXPECT_EQ(moxfake::callsOf({"MOXRebuildRaidMedia"}),
            std::vector<std::string>{"MOXRebuildRaidMedia 1 2 3"});

  const char* refused[] = {"1\nbuild\n3\n", "1\n2\n70000\n", "1\n-2\n3\n"};
  for (const char* input : refused) {
    SCOPED_TRACE(input);
    moxfake::reset();
    script(input);
    EXPECT_EQ(rebuildRaidMedia(kHandle), kPromptRefused);
    EXPECT_NE(output().find("Not a device number\n"), std::string::npos);
    EXPECT_EQ(moxfake::callCount("MOXRebuildRaidMedia"), 0);
  }
  moxfake::reset();
  script("1\n2\n");
  EXPECT_EQ(rebuildRaidMedia(kHandle), kInputEnded);
  output();
  EXPECT_EQ(moxfake::callCount("MOXRebuildRaidMedia"), 0);
}

TEST_F(RaidMediaTest, EjectWithNoValidEntryPrintsOnlyTheSuccessText) {
  moxfake::canned().deviceResults.entries[0] = {0, 1, 0, 0};
  moxfake::canned().deviceResults.entries[16] = {0, 1, 1, 0};
  script("0\n");
  ejectRaid(kHandle);
  EXPECT_EQ(output(), "RAID Device No : RAID successfully ejected\n");
}

}  // namespace
