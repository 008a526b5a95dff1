// A library home's drives read through mox.h on tgt's virtual tapes: once
// the group's cartridges are connected each member's drive is read on its
// own session (tgt keeps no log page: only the compression mode page is
// there, compression off), while a session is open nothing is sent, and
// after it ends the difference holds no counter (missing, never 0).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/mox/mox.h"
#include "testing/engine_test_util.h"
#include "testing/tgt_target.h"

namespace {

using zeptest::TgtCartridge;
using zeptest::TgtOptions;
using zeptest::TgtTarget;

constexpr uint32_t kCountersOfTgt = MOX_COUNTERS_READ | MOX_COUNTERS_COMPRESSION;

// Reads the drives with `flags`; their records, or none when the call
// answered another code than `rc`.
std::vector<DriveCountersRecord> counters(MoxHandle h, uint32_t flags, int32_t rc) {
  std::vector<DriveCountersRecord> drives(4);
  uint16_t count = 99;
  EXPECT_EQ(MOXGetDriveCounters(h, flags, drives.data(), 4, &count), rc);
  drives.resize(rc == MOX_OK ? count : 0);
  return drives;
}

TEST(DriveCountersTgt, ReadOnTheMembersSessionsOnlyWhileNoSessionIsOpen) {
  SKIP_WITHOUT_TGT();
  TgtOptions options;
  options.drives = 2;
  options.changer = true;
  for (const char* barcode : {"T00001", "T00002"}) {
    options.cartridges.push_back(TgtCartridge{barcode, 16});
  }
  TgtTarget target(options);
  ASSERT_TRUE(target.start()) << target.error();
  moxtest::TempHome home;
  const std::string url =
      "iscsi://" + target.host() + ":" + std::to_string(target.port()) + "/" + target.iqn();
  std::string out, err;
  ASSERT_EQ(home.moxctl({"init", "--force", "--library", url, "--raid", "0:0,1"}, &out, &err), 0)
      << out << err;

  MoxHandle h = moxtest::openHandle();
  ASSERT_NE(h, 0u);
  ASSERT_EQ(MOXSelectGroup(h, "RGROUP0", MOX_ACCESS_WRITE), MOX_OK);
  // Selected, not connected: no member reaches its drive.
  for (const DriveCountersRecord& d : counters(h, MOX_COUNTERS_RESTART, MOX_OK)) {
    EXPECT_EQ(d.present, 0u) << "drive " << d.drive;
  }
  int32_t session = 0;
  uint16_t first = 0;
  ASSERT_EQ(moxtest::startNewSession(h, 1, &session, &first), MOX_OK);
  EXPECT_TRUE(counters(h, MOX_COUNTERS_RESTART, MOX_E_SESSION_STATE).empty());
  uint8_t* buffer = nullptr;
  uint32_t value = 0;
  ASSERT_EQ(MOXGetFreeBuffers(h, &buffer, 1, &value), MOX_OK);
  moxtest::fillBlock(buffer, static_cast<uint32_t>(session), 0, 0);
  ASSERT_EQ(MOXRAIDWriteBlockDaemon(h, buffer, 0), MOX_OK);
  ASSERT_EQ(MOXEndSession(h, nullptr), MOX_OK);

  // The first reading, after the session; then the second, after another.
  std::vector<DriveCountersRecord> drives = counters(h, MOX_COUNTERS_RESTART, MOX_OK);
  ASSERT_EQ(drives.size(), 2u);
  ASSERT_EQ(MOXGototNewSession(h, &session), MOX_OK);
  ASSERT_EQ(MOXStartSession(h, session, 1, &first), MOX_OK);
  ASSERT_EQ(MOXGetFreeBuffers(h, &buffer, 1, &value), MOX_OK);
  moxtest::fillBlock(buffer, static_cast<uint32_t>(session), 0, 0);
  ASSERT_EQ(MOXRAIDWriteBlockDaemon(h, buffer, 0), MOX_OK);
  ASSERT_EQ(MOXEndSession(h, nullptr), MOX_OK);
  std::vector<DriveCountersRecord> after = counters(h, 0, MOX_OK);
  ASSERT_EQ(after.size(), 2u);
  drives.insert(drives.end(), after.begin(), after.end());
  for (size_t i = 0; i < drives.size(); ++i) {
    const DriveCountersRecord& d = drives[i];
    SCOPED_TRACE("record " + std::to_string(i));
    EXPECT_EQ(d.member, i % 2);
    EXPECT_EQ(d.drive, i % 2);
    EXPECT_EQ(d.present, kCountersOfTgt);
    EXPECT_EQ(d.compression, 0u);
    EXPECT_EQ(d.bytesToMedium, 0u);
    EXPECT_EQ(d.tapeAlert, 0u);
  }
  char text[256];
  ASSERT_EQ(MOXGetErrorText(h, text, sizeof text), MOX_OK);
  EXPECT_STREQ(text, "") << "reading the counters failed no drive";
  MOXDisconnectTape(h);
  MOXReleaseGroup(h);
  EXPECT_EQ(MOXCloseHandle(h), MOX_OK);
  EXPECT_EQ(home.moxctl({"check"}, &out, &err), 0) << out << err;
}

}  // namespace
