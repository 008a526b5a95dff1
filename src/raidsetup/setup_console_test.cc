// Tests of the setup side against the scripted setup library, with RAID
// keys in a temporary registry store.
#include "raidsetup/setup_console.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "frame/run_settings.h"
#include "platform/registry_store.h"
#include "testing/varneld_fake.h"
#include "testing/test_dir.h"

namespace {

using Calls = std::vector<std::string>;

class SetupTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    varneldfake::reset();
    const char* home = std::getenv("MOX_HOME");
    hadHome_ = home != nullptr;
    if (hadHome_) oldHome_ = home;
    setenv("MOX_HOME", (dir_ + "/home").c_str(), 1);
  }
  void TearDown() override {
    if (hadHome_) {
      setenv("MOX_HOME", oldHome_.c_str(), 1);
    } else {
      unsetenv("MOX_HOME");
    }
    chmod((dir_ + "/home").c_str(), 0755);
    std::system(("chmod -R u+rwx " + dir_).c_str());
    resetRunSettings();
    TempDirTest::TearDown();
  }

  std::string raidKey(int n) {
    return std::string(platform::kTapeEngineKey) + "\\RAID" + std::to_string(n);
  }

  void makeKey(int n) {
    platform::RegKey key;
    ASSERT_EQ(platform::regCreateKey(platform::regLocalMachineRoot(), raidKey(n), &key), 0);
  }

  // A RAID device in the fake and its key in the store.
  void addRaid(uint8_t level, std::initializer_list<uint16_t> members, uint8_t link = 0) {
    SetupRaidRecord r;
    std::memset(&r, 0, sizeof r);
    r.raidNumber = static_cast<uint16_t>(varneldfake::raids().size());
    r.level = level;
    r.linkPosition = link;
    r.stripeSize = 64;
    for (uint16_t m : members) r.members[r.memberCount++] = m;
    varneldfake::raids().push_back(r);
    makeKey(r.raidNumber);
  }

  // Runs `body` with the console output captured; returns the output.
  template <typename F>
  std::string capture(F body) {
    testing::internal::CaptureStdout();
    body();
    return testing::internal::GetCapturedStdout();
  }

  std::string runConsole(const std::string& input) {
    setInput(input);
    return capture([] { runRaidSetupConsole(); });
  }

  static int countOf(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }

  Calls changeCalls() {
    Calls out;
    for (const std::string& c : varneldfake::calls()) {
      if (c.rfind("VARNELDGet", 0) != 0 && c != "VARNELDInitialize") out.push_back(c);
    }
    return out;
  }

  bool hadHome_ = false;
  std::string oldHome_;
};

// ---- The configuration listing --------------------------------------------

TEST_F(SetupTest, ListingPrintsEachRaidDeviceExactly) {
  addRaid(5, {7, 9}, 3);
  varneldfake::raids()[0].tapeSize = 2;
  addRaid(0, {});
  std::string out = capture([] { listRaidConfiguration(); });
  EXPECT_EQ(out,
            "Raid0:\nDevices:7 9 \nLevel:5\nStripeSize:64\nLink Position:3\nTape Size:2\n\n\n"
            "Raid1:\nDevices:\nLevel:0\nStripeSize:64\nLink Position:0\nTape Size:0\n\n\n");
}

TEST_F(SetupTest, ListingStopsAtTheFirstMissingKey) {
  addRaid(0, {0});
  addRaid(1, {1});
  addRaid(5, {2});
  addRaid(5, {3});
  ASSERT_EQ(platform::regDeleteKey(platform::regLocalMachineRoot(), raidKey(2)), 0);
  std::string out = capture([] { listRaidConfiguration(); });
  EXPECT_NE(out.find("Raid0:"), std::string::npos);
  EXPECT_NE(out.find("Raid1:"), std::string::npos);
  EXPECT_EQ(out.find("Raid3:"), std::string::npos);
  EXPECT_EQ(varneldfake::calls(), (Calls{"VARNELDGetRaidInfo 0", "VARNELDGetRaidInfo 1"}));
}

TEST_F(SetupTest, ListingWithoutRaidZeroPrintsNothing) {
  varneldfake::raids().resize(1);
  makeKey(1);
  EXPECT_EQ(capture([] { listRaidConfiguration(); }), "");
  EXPECT_TRUE(varneldfake::calls().empty());
}

TEST_F(SetupTest, UnwritableKeyEndsTheListing) {
  // As root, access() would allow writing any key; the store goes by the
  // key's mode bits then, so this runs the same for root and other users.
  addRaid(0, {0});
  addRaid(1, {1});
  addRaid(5, {2});
  std::string dir = platform::regLocalMachineRoot() +
                    "/SOFTWARE/Quorvane/Tellimar/CurrentVersion/TapeEngine/RAID1";
  ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
  std::string out = capture([] { listRaidConfiguration(); });
  EXPECT_NE(out.find("Raid0:"), std::string::npos);
  EXPECT_EQ(out.find("Raid1:"), std::string::npos);
  EXPECT_EQ(out.find("Raid2:"), std::string::npos);
}

TEST_F(SetupTest, RaidDeviceTheLibraryWillNotDescribeGetsOneLine) {
  addRaid(0, {0});
  addRaid(1, {1});
  addRaid(5, {2});
  varneldfake::failCall("VARNELDGetRaidInfo", 2, 5);
  std::string out = capture([] { listRaidConfiguration(); });
  EXPECT_NE(out.find("Tape Size:0\n\n\nproblem with getting raid:1 device info:5\nRaid2:\n"),
            std::string::npos)
      << out;
}

TEST_F(SetupTest, MemberCountAboveThirtyTwoPrintsThirtyTwo) {
  addRaid(0, {});
  SetupRaidRecord& r = varneldfake::raids()[0];
  for (uint16_t i = 0; i < 32; ++i) r.members[i] = static_cast<uint16_t>(100 + i);
  r.memberCount = 40;
  r.stripeSize = 0xEE;  // the byte after the member table
  std::string out = capture([] { listRaidConfiguration(); });
  std::string line = out.substr(out.find("Devices:"), out.find("\nLevel:") - out.find("Devices:"));
  EXPECT_EQ(countOf(line, " "), 32);
  EXPECT_NE(line.find("131 "), std::string::npos);
  EXPECT_EQ(line.find("238"), std::string::npos);
}

// ---- The device table -------------------------------------------------------

TEST_F(SetupTest, DeviceTableWithNoDevicesIsHeaderAndTwoRules) {
  std::string rule(59, '-');
  EXPECT_EQ(
      capture([] { listSetupDevices(); }),
      "DeviceNo   Board  Bus  ScsiID  LUN  DeviceType  InquiryData\n" + rule + "\n" + rule + "\n");
}

TEST_F(SetupTest, DeviceTheLibraryWillNotDescribeShowsAsZeros) {
  varneldfake::addDevice(0, "MOX     VTAPE-LTO       0700");
  varneldfake::addDevice(1, "second");
  varneldfake::addDevice(2, "third");
  varneldfake::setDescribeFails(1);
  varneldfake::devices()[2].targetId = 9;
  // A text that fills its whole field is cut at the field's end.
  std::memset(varneldfake::devices()[0].inquiry, 'Q', sizeof(SetupDeviceRecord::inquiry));
  std::string out = capture([] { listSetupDevices(); });
  EXPECT_NE(
      out.find("0          0      0    0       0    5 (TAPE)    " + std::string(130, 'Q') + "\n"),
      std::string::npos);
  EXPECT_NE(out.find("\n0          0      0    0       0    0           \n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("2          0      0    9       0    5 (TAPE)    third\n"), std::string::npos);
}

// ---- The menu ---------------------------------------------------------------

TEST_F(SetupTest, MenuRedrawsForOtherSelectionsAndEndsAtExit) {
  std::string out = runConsole("8\n9\n11\nabc\n-3\n99999999999\n10\n7\n");
  EXPECT_EQ(countOf(out, "Enter Selection : "), 7);
  EXPECT_EQ(countOf(out, "\t\t\t 3. Assign RAID Drive \n"), 7);
  EXPECT_EQ(varneldfake::calls(), Calls{"VARNELDInitialize"});
}

TEST_F(SetupTest, EndOfInputLeavesTheConsole) {
  std::string out = runConsole("");
  EXPECT_EQ(countOf(out, "Enter Selection : "), 1);
  EXPECT_EQ(varneldfake::callCount("VARNELDInitialize"), 1);
}

TEST_F(SetupTest, DisplayPausesAndDialoguesOneToFourDoNot) {
  addRaid(1, {2, 3});
  std::string out = runConsole("5\n\n1\n0\n0\nn\n10\n");
  EXPECT_EQ(countOf(out, "Press Any Key to Continue.....\n"), 1);
  size_t pause = out.find("Press Any Key");
  EXPECT_LT(out.find("Raid0:\nDevices:2 3 \nLevel:1"), pause);
  EXPECT_EQ(changeCalls(), Calls{"VARNELDCreateRaid 0 0"});
}

// ---- The editing dialogues -------------------------------------------------

TEST_F(SetupTest, CreateAsksAgainWhenALevelOrPositionIsNotANumber) {
  std::string out = runConsole("1\nxyz\n5\n2\ny\n1\nabc\n70000\n2\nn\n10\n");
  EXPECT_EQ(countOf(out, "Not a number from 0 to 65535\n"), 3);
  EXPECT_EQ(changeCalls(), (Calls{"VARNELDCreateRaid 5 2", "VARNELDCreateRaid 1 2"}));
  EXPECT_NE(out.find("RAID Device:0 created successfully\n"), std::string::npos);
  EXPECT_NE(out.find("RAID Device:1 created successfully\n"), std::string::npos);
  EXPECT_EQ(countOf(out, "\t\t\tCreate RAID Drive Menu\n"), 1);  // title printed once
  EXPECT_EQ(countOf(out, "Create Another RAID Drive? y/n : "), 2);
}

TEST_F(SetupTest, CreateFailureAndEndOfInputAtItsQuestion) {
  varneldfake::failAlways("VARNELDCreateRaid", VARNELD_E_REGISTRY);
  std::string out = runConsole("1\n1\n0\n");
  EXPECT_NE(out.find("Error Creating RAID device\n"), std::string::npos);
  EXPECT_EQ(changeCalls(), Calls{"VARNELDCreateRaid 1 0"});
  EXPECT_EQ(countOf(out, "Enter Selection : "), 1);  // the console ended with the input
}

TEST_F(SetupTest, EndOfInputAtAPromptMakesNoChange) {
  std::string out = runConsole("1\n1\n");
  EXPECT_TRUE(changeCalls().empty());
  EXPECT_NE(out.find("RAID Link Position : "), std::string::npos);
}

TEST_F(SetupTest, YesNoSkipsOtherCharacters) {
  runConsole("1\n0\n0\nxq \n  Y\n5\n0\nN\n10\n");
  EXPECT_EQ(changeCalls(), (Calls{"VARNELDCreateRaid 0 0", "VARNELDCreateRaid 5 0"}));
}

TEST_F(SetupTest, AssignAsksTheRaidNumberOnceAndOffersForce) {
  addRaid(0, {0, 1});
  addRaid(1, {});
  std::string out = runConsole("3\n1\n0\nN\ny\n2\ny\n1\ny\nn\n10\n");
  EXPECT_EQ(changeCalls(), (Calls{"VARNELDAssignDevice 1 0 1", "VARNELDAssignDevice 1 2 1",
                                  "VARNELDAssignDevice 1 1 1", "VARNELDAssignDevice 1 1 0"}));
  EXPECT_EQ(countOf(out, "RAID Device No : "), 1);
  EXPECT_EQ(countOf(out, "Device to assign to RAID1: "), 3);
  // Answering N goes straight to the next question.
  EXPECT_NE(out.find("Force Assignment? (Y/N)\nAssign Another RAID Drive? y/n : "),
            std::string::npos);
  EXPECT_EQ(countOf(out, "Device assigned successfully\n"), 2);
  EXPECT_EQ(varneldfake::raids()[1].memberCount, 2);
}

// Words that are not numbers at the RAID device and device prompts are
// asked again; nothing acts on a number nobody typed.
TEST_F(SetupTest, AssignAsksAgainForWhatIsNotANumber) {
  addRaid(0, {});
  std::string out = runConsole("3\nfoo\n0\nbar\n-1\n4\nn\n10\n");
  EXPECT_EQ(changeCalls(), Calls{"VARNELDAssignDevice 0 4 1"});
  EXPECT_EQ(countOf(out, "Not a number from 0 to 65535\n"), 3);
  EXPECT_EQ(out.find("RAID65535"), std::string::npos);
  EXPECT_EQ(countOf(out, "Device to assign to RAID0: "), 3);
}

TEST_F(SetupTest, FailedForcedAssignmentIsReportedAndNotOfferedAgain) {
  addRaid(0, {});
  varneldfake::failAlways("VARNELDAssignDevice", VARNELD_E_NO_DEVICE);
  std::string out = runConsole("3\n0\n9\ny\nn\n10\n");
  EXPECT_EQ(changeCalls(), (Calls{"VARNELDAssignDevice 0 9 1", "VARNELDAssignDevice 0 9 0"}));
  EXPECT_EQ(countOf(out, "Error Assigning device to RAID\n"), 2);
  EXPECT_EQ(countOf(out, "Force Assignment? (Y/N)\n"), 1);
}

TEST_F(SetupTest, RemoveDriveAndRemoveRaidDialogues) {
  addRaid(0, {0, 1});
  addRaid(1, {2});
  std::string out = runConsole("4\n0\n1\ny\n3\nn\n2\n1\ny\nnone\n7\nn\n10\n");
  // A RAID number that is not a number is asked again, never acted on.
  EXPECT_EQ(changeCalls(), (Calls{"VARNELDRemoveDevice 0 1", "VARNELDRemoveDevice 0 3",
                                  "VARNELDRemoveRaid 1", "VARNELDRemoveRaid 7"}));
  EXPECT_EQ(countOf(out, "Device to Remove from RAID0: "), 2);
  EXPECT_NE(out.find("Device Removed successfully\n"), std::string::npos);
  EXPECT_NE(out.find("Error Removing device from RAID\n"), std::string::npos);
  EXPECT_NE(out.find("RAID Device Removed successfully\n"), std::string::npos);
  EXPECT_NE(out.find("RAID No : Not a number from 0 to 65535\nRAID No : Error Removing RAID\n"),
            std::string::npos);
  EXPECT_EQ(countOf(out, "\t\t\tRemove RAID Drive Menu\n"), 2);
}

// ---- The single-shot dialogues ---------------------------------------------

TEST_F(SetupTest, SetLevelAndLinkPositionReportAndPause) {
  addRaid(0, {0});
  varneldfake::failAlways("VARNELDSetLinkPosition", VARNELD_E_RANGE);
  std::string out = runConsole("6\n0\n5\n\n7\n0\n300\n\n6\n0\nfive\n1\n\n10\n");
  EXPECT_EQ(changeCalls(), (Calls{"VARNELDSetRaidLevel 0 5", "VARNELDSetLinkPosition 0 300",
                                  "VARNELDSetRaidLevel 0 1"}));
  EXPECT_NE(out.find("RAID Level : RAID Level successfully set\nPress Any Key to Continue.....\n"),
            std::string::npos);
  EXPECT_NE(out.find("Error Setting RAID Link Position\nPress Any Key"), std::string::npos);
  EXPECT_NE(out.find("RAID Level : Not a number from 0 to 65535\nRAID Level : RAID Level "
                     "successfully set\nPress Any Key"),
            std::string::npos);
  EXPECT_EQ(countOf(out, "Enter Selection : "), 4);
}

// ---- The one-shot commands -------------------------------------------------

TEST_F(SetupTest, CreateCommandStoresTheNewNumberAndLogsIt) {
  addRaid(0, {0});
  addRaid(1, {1});
  runSettings.raidLevel = 1;
  EXPECT_EQ(setupCreateRaid(), 0);
  EXPECT_EQ(runSettings.raidDevice, 2);
  EXPECT_EQ(varneldfake::calls(), Calls{"VARNELDCreateRaid 1 0"});
  EXPECT_EQ(logText(), "RAID Device:2 Level:1 created successfully\n\r\n");
}

TEST_F(SetupTest, CreateCommandFailureLogsTheUnchangedNumber) {
  runSettings.raidLevel = 3;
  runSettings.raidDevice = 7;
  EXPECT_NE(setupCreateRaid(), 0);
  EXPECT_EQ(logText(), "Error Creating RAID device:7\n\r\n");
}

TEST_F(SetupTest, RemoveCommandActsOnTheNamedRaidDevice) {
  addRaid(0, {});
  addRaid(1, {});
  runSettings.raidDevice = 1;
  EXPECT_EQ(setupRemoveRaid(), 0);
  EXPECT_EQ(setupRemoveRaid(), VARNELD_E_NO_RAID);
  EXPECT_EQ(varneldfake::calls(), (Calls{"VARNELDRemoveRaid 1", "VARNELDRemoveRaid 1"}));
  EXPECT_EQ(logText(), "RAID Device Removed successfully:1\n\r\nError Removing RAID:1\n\r\n");
}

// While a group is being written the library refuses changes to it as busy;
// the console and the commands say the RAID device is in use, and a forced
// assignment is not offered.
TEST_F(SetupTest, ChangesToAGroupBeingWrittenSayInUse) {
  addRaid(0, {0});
  for (const char* op :
       {"VARNELDRemoveRaid", "VARNELDAssignDevice", "VARNELDRemoveDevice", "VARNELDSetRaidLevel"}) {
    varneldfake::failAlways(op, VARNELD_E_BUSY);
  }
  std::string out = runConsole("2\n0\nn\n3\n0\n1\nn\n4\n0\n0\nn\n6\n0\n1\n\n10\n");
  const std::string inUse =
      "RAID device 0 is in use: a group this change affects is being written; try again when "
      "the backup has ended\n";
  EXPECT_NE(out.find("Error Removing RAID\n" + inUse), std::string::npos);
  EXPECT_NE(out.find("Error Assigning device to RAID\n" + inUse), std::string::npos);
  EXPECT_NE(out.find("Error Removing device from RAID\n" + inUse), std::string::npos);
  EXPECT_NE(out.find("Error Setting RAID Level\n" + inUse), std::string::npos);
  EXPECT_EQ(out.find("Force Assignment?"), std::string::npos);
  EXPECT_EQ(varneldfake::raids()[0].memberCount, 1);
  runSettings.raidDevice = 0;
  EXPECT_EQ(setupRemoveRaid(), VARNELD_E_BUSY);
  EXPECT_EQ(setupAssignDevice(), VARNELD_E_BUSY);
  EXPECT_EQ(countOf(logText(), inUse.substr(0, inUse.size() - 1) + "\r\n"), 2);
}

TEST_F(SetupTest, AssignCommandForcesAtOnce) {
  addRaid(0, {});
  addRaid(1, {5});
  runSettings.assignDevice = 5;
  EXPECT_EQ(setupAssignDevice(), 0);
  EXPECT_EQ(varneldfake::calls(), Calls{"VARNELDAssignDevice 0 5 0"});
  EXPECT_EQ(varneldfake::raids()[1].memberCount, 0);
  EXPECT_NE(setupAssignDevice(), 0);  // already a member now
  EXPECT_EQ(logText(),
            "Device:5 assigned successfully to RAID:0\n\r\nError Assigning device to RAID\n\r\n");
}

}  // namespace
