#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "inventory/inventory.h"
#include "testing/test_dir.h"

namespace {

class DeviceListTest : public TempDirTest {};

MoxDeviceRecord device(uint8_t target, uint8_t lun, uint8_t bus, uint16_t board, uint32_t type,
                       const char* inquiry) {
  MoxDeviceRecord d;
  std::memset(&d, 0, sizeof d);
  d.targetId = target;
  d.lun = lun;
  d.bus = bus;
  d.board = board;
  d.deviceType = type;
  std::snprintf(d.inquiry, sizeof d.inquiry, "%s", inquiry);
  return d;
}

const char* kHeader = "DeviceNo   Board  Bus  ScsiID  LUN  DeviceType  InquiryData\n";
const std::string kRule = std::string(59, '-') + "\n";

TEST_F(DeviceListTest, NoDevicesGivesHeaderAndTwoRules) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(listTapeServiceDevices(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kHeader + kRule + kRule);
  EXPECT_EQ(moxfake::calls(), (std::vector<std::string>{"MOXCreateHandle 8 0",
                                                        "MOXEnumDevices 65535", "MOXCloseHandle"}));
}

TEST_F(DeviceListTest, RowsUseTheWholeTypeNumberAndTheLowBitsForItsName) {
  moxfake::canned().devices = {device(3, 0, 1, 2, 5, "MOX VTAPE 1.0"),
                               device(4, 1, 0, 0, 0x10005, "ODD"), device(5, 0, 0, 0, 99, "OTHER")};
  testing::internal::CaptureStdout();
  listTapeServiceDevices();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("0          2      1    3       0    5 (TAPE)    MOX VTAPE 1.0\n"),
            std::string::npos);
  EXPECT_NE(out.find("1          0      0    4       1    65541(TAPE)    ODD\n"),
            std::string::npos);
  EXPECT_NE(out.find("2          0      0    5       0    99          OTHER\n"), std::string::npos);
}

TEST_F(DeviceListTest, AFailingDeviceEndsTheListButNotTheTable) {
  moxfake::canned().devices = {device(0, 0, 0, 0, 5, "A"), device(1, 0, 0, 0, 5, "B")};
  moxfake::failCall("MOXGetDeviceInfo", 2, MOX_E_NO_DEVICE);
  testing::internal::CaptureStdout();
  listTapeServiceDevices();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find(" A\n" + kRule), std::string::npos);
  EXPECT_EQ(out.find(" B\n"), std::string::npos);
}

TEST_F(DeviceListTest, HandleFailureIsLogged) {
  moxfake::failAlways("MOXCreateHandle", 1002);
  testing::internal::CaptureStdout();
  EXPECT_EQ(listTapeServiceDevices(), -1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(logText(), "Error Creating MOXHandle, 1002,0x3ea\r\n");
}

TEST(DeviceTypeNameTest, KnownTypesByTheirLow16Bits) {
  struct {
    uint32_t type;
    const char* name;
  } cases[] = {{2, "(HDD)"},           {5, "(TAPE)"}, {17, "(CHANGER)"}, {258, "(CDROM)"},
               {0xABCD0005, "(TAPE)"}, {0, ""},       {1, ""},           {0x10000, ""}};
  for (auto& c : cases) EXPECT_STREQ(deviceTypeName(c.type), c.name) << c.type;
}

}  // namespace
