// The contract of mox.h, run against both implementations: the scripted
// fake the program's tests link (mox_contract_fake_tests) and the real
// libmox (mox_contract_engine_tests). Both binaries build this file; the
// cases are the call sequences the program makes, and what it relies on.
// Where the two differ, the engine is right and the fake is mended.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mox.h"

#if ZEP_CONTRACT_ENGINE
#include "testing/engine_test_util.h"
#else
#include "testing/mox_fake.h"
#endif

namespace {

// ---- The two backends -----------------------------------------------------

#if ZEP_CONTRACT_ENGINE
constexpr const char* kBackend = "Engine";

// A home with RAID 0 over two drives on 1 MiB cartridges, compression off:
// a session set holds some thirty blocks before the tape is full.
struct Backend {
  moxtest::TempHome home;
  bool ready = false;
  Backend() {
    ready = home.moxctl({"init", "--force", "--drives", "2", "--cartridges", "8", "--capacity",
                         "1M", "--raid", "0:0,1"}) == 0 &&
            home.moxctl({"set", "compression", "0", "off"}) == 0;
  }
  // The cartridges are small enough to fill by themselves.
  void fillTapeAfter(int) {}
};
#else
constexpr const char* kBackend = "Fake";

// The fake holds no capacity: a full tape is scripted. Writes from the
// n-th on fail with 170 until the session continues on new cartridges.
struct Backend {
  bool ready = true;
  Backend() { moxfake::reset(); }
  ~Backend() { moxfake::reset(); }
  void fillTapeAfter(int n) {
    moxfake::onCall("MOXContinueSession", [this](int) {
      continued_ = true;
      return moxfake::kProceed;
    });
    moxfake::onCall("MOXRAIDWriteBlockDaemon", [this, n](int call) {
      return call >= n && !continued_ ? MOX_E_TAPE_FULL : moxfake::kProceed;
    });
  }
  bool continued_ = false;
};
#endif

// ---- Helpers: the program's call sequences ---------------------------------

MoxHandle openHandle() {
  HandleCreationRecord request;
  std::memset(&request, 0, sizeof request);
  request.handleMode = MOX_HANDLE_MODE_SESSION;
  std::strcpy(request.serverName, " ");
  std::strcpy(request.clientName, "CONTRACT");
  request.connectionType = MOX_CONNECTION_LOCAL;
  MoxHandle h = 0;
  return MOXCreateHandle(&h, request) == MOX_OK ? h : 0;
}

int32_t mount(MoxHandle h, uint32_t access) {
  TapeEnumRecord tapes;
  std::memset(&tapes, 0, sizeof tapes);
  tapes.second = 1;
  int32_t rc = MOXEnumTape(h, &tapes);
  if (rc != MOX_OK) return rc;
  uint32_t value = 0;
  return MOXConnecttoTape(h, 0, tapes.tapeEntry, &value, access);
}

void fill(uint8_t* block, uint16_t stream, uint32_t number) {
  std::memset(block, 0, MOX_BLOCK_SIZE);
  std::snprintf(reinterpret_cast<char*>(block), 64, "contract stream %u block %u", stream, number);
  block[MOX_BLOCK_SIZE - 1] = static_cast<uint8_t>(number);
}

bool matches(const uint8_t* block, uint16_t stream, uint32_t number) {
  std::vector<uint8_t> want(MOX_BLOCK_SIZE);
  fill(want.data(), stream, number);
  return std::memcmp(block, want.data(), MOX_BLOCK_SIZE) == 0;
}

int32_t writeBlock(MoxHandle h, uint16_t stream, uint32_t number) {
  uint8_t* buffer = nullptr;
  uint32_t value = 0;
  int32_t rc = MOXGetFreeBuffers(h, &buffer, 1, &value);
  if (rc != MOX_OK) return rc;
  if (buffer == nullptr) return -1;
  fill(buffer, stream, number);
  return MOXRAIDWriteBlockDaemon(h, buffer, stream);
}

// The tape change of a writer after 170, as the backup does it.
int32_t continueWriting(MoxHandle h, int32_t session) {
  int32_t rc = MOXContinueBlock(h);
  if (rc != MOX_OK) return rc;
  if ((rc = MOXDisconnectTape(h)) != MOX_OK) return rc;
  if ((rc = mount(h, MOX_ACCESS_WRITE)) != MOX_OK) return rc;
  TapeFormatRecord format;
  std::memset(&format, 0, sizeof format);
  format.formatMode = MOX_FORMAT_MODE_SPAN;
  std::strcpy(format.tapeName, "CONTRACT");
  format.sessionNumber = static_cast<uint16_t>(session);
  uint8_t output[MOX_FORMAT_OUTPUT_SIZE];
  DeviceResultList results;
  std::memset(&results, 0, sizeof results);
  if ((rc = MOXFormatTape(h, 0, &format, output, &results)) != MOX_OK) return rc;
  return MOXContinueSession(h, session);
}

// The tape change of a reader after 163, as the restore does it.
int32_t continueReading(MoxHandle h, int32_t session) {
  int32_t rc = MOXPrepareContinuation(h);
  if (rc != MOX_OK) return rc;
  if ((rc = MOXDisconnectTape(h)) != MOX_OK) return rc;
  if ((rc = mount(h, MOX_ACCESS_READ)) != MOX_OK) return rc;
  return MOXContinueSession(h, session);
}

class MoxContract : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { ASSERT_TRUE(backend_.ready); }

  // Selects RGROUP0, mounts, positions at a new session, starts it with
  // one stream and hands out `streams` - 1 more; the session number.
  int32_t startWriting(MoxHandle h, uint16_t streams) {
    EXPECT_EQ(MOXSelectGroup(h, "RGROUP0", MOX_ACCESS_WRITE), MOX_OK);
    EXPECT_EQ(mount(h, MOX_ACCESS_WRITE), MOX_OK);
    int32_t session = 0;
    EXPECT_EQ(MOXGototNewSession(h, &session), MOX_OK);
    uint16_t first = 99;
    EXPECT_EQ(MOXStartSession(h, session, 1, &first), MOX_OK);
    EXPECT_EQ(first, 0);
    for (uint16_t s = 1; s < streams; ++s) {
      uint16_t next = 0;
      EXPECT_EQ(MOXRAIDGotoNewStream(h, &next), MOX_OK);
      EXPECT_EQ(next, s);
    }
    return session;
  }
  void finish(MoxHandle h) {
    MOXDisconnectTape(h);
    MOXReleaseGroup(h);
    EXPECT_EQ(MOXCloseHandle(h), MOX_OK);
  }
  // Reads every stream of `session` back, following tape changes; each
  // stream must hold exactly `blocks[s]` blocks of the pattern.
  void readBack(int32_t session, const std::vector<uint32_t>& blocks) {
    MoxHandle h = openHandle();
    ASSERT_NE(h, 0u);
    ASSERT_EQ(MOXSelectGroup(h, "RGROUP0", MOX_ACCESS_READ), MOX_OK);
    ASSERT_EQ(mount(h, MOX_ACCESS_READ), MOX_OK);
    ASSERT_EQ(MOXGototSession(h, session), MOX_OK);
    uint16_t count = static_cast<uint16_t>(blocks.size());
    std::vector<uint16_t> list(count);
    for (uint16_t s = 0; s < count; ++s) list[s] = s;
    uint16_t total = 0;
    ASSERT_EQ(MOXStartReadSession(h, session, count, 1, list.data(), &total), MOX_OK);
    EXPECT_EQ(total, count);
    for (uint16_t s = 0; s < count; ++s) {
      if (s > 0) {
        ASSERT_EQ(MOXRAIDGotoStream(h, static_cast<uint16_t>(s - 1), s), MOX_OK);
      }
      uint32_t next = 0;
      for (int guard = 0; guard < 1000; ++guard) {
        uint8_t* block = nullptr;
        uint32_t value = 0;
        int32_t rc = MOXRAIDReadBlockDaemon(h, &block, &value, s);
        if (rc == MOX_E_CONTINUATION) {
          ASSERT_EQ(continueReading(h, session), MOX_OK);
          continue;
        }
        if (rc == MOX_E_END_OF_STREAM) break;
        ASSERT_EQ(rc, MOX_OK) << "stream " << s << " block " << next;
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(matches(block, s, next)) << "stream " << s << " block " << next;
        EXPECT_EQ(MOXReleaseBuffers(h, block, 1), MOX_OK);
        ++next;
      }
      EXPECT_EQ(next, blocks[s]) << "stream " << s;
    }
    EXPECT_EQ(MOXEndSession(h, nullptr), MOX_OK);
    finish(h);
  }

  Backend backend_;
};

TEST_P(MoxContract, SessionsAreNumberedFromOneAndReadBackBlockForBlock) {
  MoxHandle h = openHandle();
  ASSERT_NE(h, 0u);
  int32_t session = startWriting(h, 2);
  EXPECT_EQ(session, 1);
  // Blocks of the two streams interleave.
  for (uint32_t b = 0; b < 4; ++b) {
    ASSERT_EQ(writeBlock(h, 0, b), MOX_OK);
    if (b < 3) {
      ASSERT_EQ(writeBlock(h, 1, b), MOX_OK);
    }
  }
  ASSERT_EQ(MOXEndSession(h, nullptr), MOX_OK);
  int32_t second = 0;
  ASSERT_EQ(MOXGototNewSession(h, &second), MOX_OK);
  EXPECT_EQ(second, 2);
  finish(h);
  readBack(session, {4, 3});
}

TEST_P(MoxContract, TheSecondSessionFollowsTheFirstAndBothStayReadable) {
  for (int round = 0; round < 2; ++round) {
    MoxHandle h = openHandle();
    ASSERT_NE(h, 0u);
    int32_t session = startWriting(h, 1);
    EXPECT_EQ(session, round + 1);
    for (uint32_t b = 0; b < static_cast<uint32_t>(2 + round); ++b) {
      ASSERT_EQ(writeBlock(h, 0, b), MOX_OK);
    }
    ASSERT_EQ(MOXEndSession(h, nullptr), MOX_OK);
    finish(h);
  }
  readBack(2, {3});
  readBack(1, {2});
}

TEST_P(MoxContract, AFullTapeStoresNothingAndTheSessionContinues) {
  backend_.fillTapeAfter(5);
  MoxHandle h = openHandle();
  ASSERT_NE(h, 0u);
  int32_t session = startWriting(h, 1);
  uint32_t written = 0;
  int full = 0;
  while (written < 60) {
    int32_t rc = writeBlock(h, 0, written);
    if (rc == MOX_E_TAPE_FULL) {
      ++full;
      ASSERT_LE(full, 3) << "170 again after the tape change";
      ASSERT_EQ(continueWriting(h, session), MOX_OK);
      continue;  // the refused block is written again
    }
    ASSERT_EQ(rc, MOX_OK) << "block " << written;
    ++written;
  }
  EXPECT_GE(full, 1);
  ASSERT_EQ(MOXEndSession(h, nullptr), MOX_OK);
  finish(h);
  readBack(session, {60});
}

// Arguments the engine refuses with MOX_E_INVALID_ARG, whatever else holds.
TEST_P(MoxContract, MalformedArgumentsAreRefused) {
  HandleCreationRecord request;
  std::memset(&request, 0, sizeof request);
  request.handleMode = MOX_HANDLE_MODE_SESSION;
  request.connectionType = MOX_CONNECTION_LOCAL;
  EXPECT_EQ(MOXCreateHandle(nullptr, request), MOX_E_INVALID_ARG);
  MoxHandle h = openHandle();
  ASSERT_NE(h, 0u);
  EXPECT_EQ(MOXSelectGroup(h, nullptr, MOX_ACCESS_WRITE), MOX_E_INVALID_ARG);
  EXPECT_EQ(MOXSelectGroup(h, "RGROUP0", 0), MOX_E_INVALID_ARG);
  EXPECT_EQ(MOXSelectGroup(h, "RGROUP0", MOX_ACCESS_BOTH + 1), MOX_E_INVALID_ARG);
  int32_t session = startWriting(h, 1);
  uint32_t value = 0;
  EXPECT_EQ(MOXGetFreeBuffers(h, nullptr, 1, &value), MOX_E_INVALID_ARG);
  uint8_t* buffer = nullptr;
  EXPECT_EQ(MOXGetFreeBuffers(h, &buffer, 2, &value), MOX_E_INVALID_ARG);
  // A block the service did not lend is refused and stores nothing.
  std::vector<uint8_t> foreign(MOX_BLOCK_SIZE);
  fill(foreign.data(), 0, 0);
  EXPECT_EQ(MOXRAIDWriteBlockDaemon(h, foreign.data(), 0), MOX_E_INVALID_ARG);
  EXPECT_EQ(MOXReleaseBuffers(h, foreign.data(), 1), MOX_E_INVALID_ARG);
  ASSERT_EQ(writeBlock(h, 0, 0), MOX_OK);
  EXPECT_EQ(MOXEndSession(h, nullptr), MOX_OK);
  finish(h);
  readBack(session, {1});

  h = openHandle();
  ASSERT_NE(h, 0u);
  ASSERT_EQ(MOXSelectGroup(h, "RGROUP0", MOX_ACCESS_READ), MOX_OK);
  ASSERT_EQ(mount(h, MOX_ACCESS_READ), MOX_OK);
  ASSERT_EQ(MOXGototSession(h, session), MOX_OK);
  uint16_t list[1] = {0};
  uint16_t total = 0;
  ASSERT_EQ(MOXStartReadSession(h, session, 1, 1, list, &total), MOX_OK);
  EXPECT_EQ(MOXRAIDReadBlockDaemon(h, nullptr, &value, 0), MOX_E_INVALID_ARG);
  finish(h);
}

// A drive's counters: read only on a selected group, never on cartridge
// files (the engine's home here, the fake without canned drives), and only
// with the flags there are. TapeAlert flags have names from 1 to 64.
TEST_P(MoxContract, DriveCountersAreALibrarysAndTapeAlertFlagsAreNamed) {
  MoxHandle h = openHandle();
  ASSERT_NE(h, 0u);
  DriveCountersRecord drives[4];
  uint16_t count = 9;
#if ZEP_CONTRACT_ENGINE
  // The fake scripts no group state.
  EXPECT_EQ(MOXGetDriveCounters(h, MOX_COUNTERS_RESTART, drives, 4, &count),
            MOX_E_NO_GROUP_SELECTED);
#endif
  ASSERT_EQ(MOXSelectGroup(h, "RGROUP0", MOX_ACCESS_WRITE), MOX_OK);
  ASSERT_EQ(mount(h, MOX_ACCESS_WRITE), MOX_OK);
  EXPECT_EQ(MOXGetDriveCounters(h, 0x2, drives, 4, &count), MOX_E_INVALID_ARG);
  EXPECT_EQ(MOXGetDriveCounters(h, 0, nullptr, 4, &count), MOX_E_INVALID_ARG);
  EXPECT_EQ(MOXGetDriveCounters(h, 0, drives, 4, nullptr), MOX_E_INVALID_ARG);
  EXPECT_EQ(MOXGetDriveCounters(h, MOX_COUNTERS_RESTART, drives, 4, &count), MOX_E_NOT_SUPPORTED);
  EXPECT_EQ(count, 0);
  finish(h);

  char name[64];
  ASSERT_EQ(MOXGetTapeAlertName(0x28, name, sizeof name), MOX_OK);  // obsolete: no name
  EXPECT_STREQ(name, "TapeAlert flag 0x28");
  ASSERT_EQ(MOXGetTapeAlertName(0x28, name, 10), MOX_OK);
  EXPECT_STREQ(name, "TapeAlert");
  EXPECT_EQ(MOXGetTapeAlertName(0, name, sizeof name), MOX_E_INVALID_ARG);
  EXPECT_EQ(MOXGetTapeAlertName(65, name, sizeof name), MOX_E_INVALID_ARG);
  EXPECT_EQ(MOXGetTapeAlertName(1, nullptr, 8), MOX_E_INVALID_ARG);
#if ZEP_CONTRACT_ENGINE
  ASSERT_EQ(MOXGetTapeAlertName(0x14, name, sizeof name), MOX_OK);
  EXPECT_STREQ(name, "Clean now");
#endif
}

INSTANTIATE_TEST_SUITE_P(Backend, MoxContract, ::testing::Values(kBackend),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

}  // namespace
