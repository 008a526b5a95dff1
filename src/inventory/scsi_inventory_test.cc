#include "inventory/scsi_inventory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "platform/library_units.h"
#include "platform/registry_store.h"
#include "testing/test_dir.h"

namespace {

const char* kRule =
    "----------------------------------------------------------------------------\n";
const char* kHeader = "Board  Bus  ScsiID  LUN  DeviceType  Claimed InquiryData\n";

// A sysfs tree in the test's directory, shaped as the kernel publishes it.
class ScsiInventoryTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    root_ = dir_ + "/sys";
    makeDirs(root_ + "/bus/scsi/devices");
  }
  void makeDirs(const std::string& path) {
    for (size_t at = 1; at != std::string::npos; at = path.find('/', at + 1)) {
      mkdir(path.substr(0, at).c_str(), 0755);
    }
    mkdir(path.c_str(), 0755);
  }
  void writeAttribute(const std::string& dir, const char* name, const std::string& text) {
    std::ofstream(dir + "/" + name) << text << "\n";
  }
  // A unit H:C:T:L with its attributes padded as the kernel pads them; a
  // driver link (dangling here, as in a copied tree) when claimed.
  void addUnit(const std::string& hctl, int type, const char* vendor, const char* model,
               const char* rev, bool claimed) {
    std::string dir = root_ + "/bus/scsi/devices/" + hctl;
    makeDirs(dir);
    writeAttribute(dir, "type", std::to_string(type));
    char padded[32];
    snprintf(padded, sizeof(padded), "%-8s", vendor);
    writeAttribute(dir, "vendor", padded);
    snprintf(padded, sizeof(padded), "%-16s", model);
    writeAttribute(dir, "model", padded);
    snprintf(padded, sizeof(padded), "%-4s", rev);
    writeAttribute(dir, "rev", padded);
    if (claimed) {
      ASSERT_EQ(symlink("../../../bus/scsi/drivers/st", (dir + "/driver").c_str()), 0);
    }
  }
  std::string list(const std::string& home = "") {
    testing::internal::CaptureStdout();
    EXPECT_EQ(listScsiInquiryDataAt(root_.c_str(), home), 0);
    return testing::internal::GetCapturedStdout();
  }

  std::string root_;
};

TEST_F(ScsiInventoryTest, ListsEveryUnitOfEveryHostBusByBus) {
  addUnit("0:0:0:0", 0, "ATA", "QEMU HARDDISK", "2.5+", true);
  addUnit("0:0:3:0", 1, "HP", "Ultrium 6-SCSI", "35GD", true);
  addUnit("0:1:2:1", 8, "STK", "L80", "0107", false);
  addUnit("2:0:5:0", 1, "IBM", "ULT3580-TD8", "Q3B0", true);
  // What sysfs lists beside the units is no unit.
  makeDirs(root_ + "/bus/scsi/devices/host0");
  makeDirs(root_ + "/bus/scsi/devices/target0:0:0");
  // Host 9 is beyond the ports that are looked at.
  addUnit("9:0:0:0", 1, "HP", "Ultrium 5", "Z21W", true);
  EXPECT_EQ(list(),
            std::string(kHeader) + kRule +
                "0      0    0       0    0           Y       ATA     QEMU HARDDISK   2.5+\n"
                "0      0    3       0    1           Y       HP      Ultrium 6-SCSI  35GD\n"
                "0      1    2       1    8           N       STK     L80             0107\n"
                "2      0    5       0    1           Y       IBM     ULT3580-TD8     Q3B0\n" +
                kRule);
}

TEST_F(ScsiInventoryTest, NoHostsGiveHeaderAndTwoRules) {
  EXPECT_EQ(list(), std::string(kHeader) + kRule + kRule);
  rmdir((root_ + "/bus/scsi/devices").c_str());  // no SCSI bus at all
  EXPECT_EQ(list(), std::string(kHeader) + kRule + kRule);
}

TEST_F(ScsiInventoryTest, OnlyTheLowFourTypeBitsShowAndLongTextsAreCut) {
  addUnit("1:0:0:0", 0x15, "VENDORLONGNAME", "A MODEL NAME OF MORE THAN SIXTEEN", "12345", false);
  EXPECT_EQ(list(),
            std::string(kHeader) + kRule +
                "1      0    0       0    5           N       VENDORLOA MODEL NAME OF 1234\n" +
                kRule);
}

TEST_F(ScsiInventoryTest, MissingPortIsReportedAndAHostWithoutUnitsIsEmpty) {
  uint8_t buffer[kScsiPortBufferSize] = {};
  EXPECT_EQ(queryScsiPort(buffer, 4, root_.c_str()), -1);
  makeDirs(root_ + "/class/scsi_host/host4");
  EXPECT_EQ(queryScsiPort(buffer, 4, root_.c_str()), 0);
  EXPECT_EQ(buffer[0], 0);
}

TEST_F(ScsiInventoryTest, UnitsBeyondTheRecordOrTheBufferAreLeftOut) {
  addUnit("5:0:1:300", 0, "BIG", "LUN", "1", true);  // a LUN no record can hold
  for (int lun = 0; lun < 180; ++lun) {              // bare units: no attributes at all
    std::string unit = root_ + "/bus/scsi/devices/6:0:1:" + std::to_string(lun);
    ASSERT_EQ(mkdir(unit.c_str(), 0755), 0);
  }
  std::string out = list();
  EXPECT_EQ(out.find("BIG"), std::string::npos);
  size_t rows = 0;
  for (size_t at = out.find("\n6 "); at != std::string::npos; at = out.find("\n6 ", at + 1)) {
    ++rows;
  }
  // As many records as the port buffer holds after its one-bus table, in
  // LUN order, then the closing rule.
  size_t room = kScsiPortBufferSize - 16;
  EXPECT_EQ(rows, room / (kScsiRecordHeaderSize + kScsiInquiryLength));
  EXPECT_NE(
      out.find("\n6      0    1       0    15          N       " + std::string(28, ' ') + "\n"),
      std::string::npos);
  EXPECT_NE(out.find("\n6      0    1       169  15 "), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - strlen(kRule)), kRule);
}

// The engine home's libraries (units as its registry records them) are
// ports numbered on from the highest SCSI host, listed after ports 0 to 7
// whatever their number: every unit on bus 0, target 0, tape drives and
// changers claimed. The sysfs rows stay as they are.
TEST_F(ScsiInventoryTest, LibrariesOfTheHomeFollowAsFurtherPorts) {
  const std::string home = dir_ + "/home";
  auto addLibrary = [&](int k, const std::string& units) {
    platform::RegKey key;
    ASSERT_EQ(platform::regCreateKey(platform::regLocalMachineRootOf(home),
                                     platform::libraryKeyPath(k), &key),
              0);
    ASSERT_EQ(platform::regWriteValue(key, platform::kLibraryUnitsValue, units), 0);
  };
  addUnit("0:0:0:0", 0, "ATA", "QEMU HARDDISK", "2.5+", true);
  makeDirs(root_ + "/class/scsi_host/host2");
  const std::string sysfsRows =
      "0      0    0       0    0           Y       ATA     QEMU HARDDISK   2.5+\n";
  // A home without libraries: the classic listing.
  EXPECT_EQ(list(home), std::string(kHeader) + kRule + sysfsRows + kRule);
  addLibrary(0,
             "0\t12\tIET\tController\t0001\tbeaf10\n1\t1\tIET\tVIRTUAL-TAPE\t0107\tbeaf11\n"
             "4\t8\tSTK\tL700 LIBRARY WITH A LONG NAME\t0105\tbeaf14\n300\t1\tIET\tFAR\t1\t\n");
  addLibrary(1, "7\t1\tHP\tUltrium 6-SCSI\t35GD\tHU1\n");
  const std::string libraryRows =
      "3      0    0       0    12          N       IET     Controller      0001\n"
      "3      0    0       1    1           Y       IET     VIRTUAL-TAPE    0107\n"
      "3      0    0       4    8           Y       STK     L700 LIBRARY WIT0105\n"
      "4      0    0       7    1           Y       HP      Ultrium 6-SCSI  35GD\n";
  EXPECT_EQ(list(home), std::string(kHeader) + kRule + sysfsRows + libraryRows + kRule);
  uint8_t buffer[kScsiPortBufferSize] = {};
  EXPECT_EQ(queryScsiPort(buffer, 4, root_.c_str(), home), 0);
  EXPECT_EQ(buffer[0], 1);  // one bus
  EXPECT_EQ(queryScsiPort(buffer, 5, root_.c_str(), home), -1);
  EXPECT_EQ(queryScsiPort(buffer, 1, root_.c_str(), home), -1);  // no host 1, no library
  EXPECT_EQ(queryScsiPort(buffer, 4, root_.c_str()), -1);        // no home given

  // A host numbered past the listed ports moves the libraries after it,
  // and they are listed all the same.
  addUnit("9:0:0:0", 1, "HP", "Ultrium 5", "Z21W", true);
  std::string out = list(home);
  EXPECT_EQ(out.find("Ultrium 5"), std::string::npos);
  EXPECT_NE(
      out.find("\n10     0    0       1    1           Y       IET     VIRTUAL-TAPE    0107\n"),
      std::string::npos)
      << out;
  EXPECT_NE(out.find("\n11     0    0       7    1 "), std::string::npos) << out;
}

}  // namespace
