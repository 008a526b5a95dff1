// Tests of the registry store on a temporary directory tree.
#include "platform/registry_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "testing/scoped_temp_dir.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kEngineKey = kTapeEngineKey;

class RegistryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.valid());
    root_ = temp_.path();
  }

  std::string engineKey(const std::string& sub = "") {
    return sub.empty() ? std::string(kEngineKey) : std::string(kEngineKey) + "\\" + sub;
  }
  std::string engineDir(const std::string& sub = "") {
    std::string dir = root_ + "/SOFTWARE/Quorvane/Tellimar/CurrentVersion/TapeEngine";
    return sub.empty() ? dir : dir + "/" + sub;
  }

  zeptest::ScopedTempDir temp_{"registry-test"};
  std::string root_;
};

TEST_F(RegistryStoreTest, CreateMakesEveryParentAndOpensBothWays) {
  RegKey key;
  EXPECT_EQ(regOpenKeyRead(root_, engineKey("RAID0"), &key), kRegNotFound);
  EXPECT_EQ(regOpenKeyFullAccess(root_, engineKey("RAID0"), &key), kRegNotFound);
  ASSERT_EQ(regCreateKey(root_, engineKey("RAID0"), &key), kRegOk);
  EXPECT_EQ(key.dir, engineDir("RAID0"));
  RegKey again;
  EXPECT_EQ(regOpenKeyFullAccess(root_, engineKey("RAID0"), &again), kRegOk);
  EXPECT_EQ(regOpenKeyRead(root_, engineKey(), &again), kRegOk);
  regCloseKey(&again);
  EXPECT_TRUE(again.dir.empty());
  // Creating an existing key opens it.
  EXPECT_EQ(regCreateKey(root_, engineKey("RAID0"), &again), kRegOk);
}

TEST_F(RegistryStoreTest, PathsThatWouldLeaveTheStoreAreRefused) {
  const char* bad[] = {"",   "\\SOFTWARE",    "SOFTWARE\\",       "SOFTWARE\\\\X",
                       "..", "SOFTWARE\\..",  "SOFTWARE\\..\\..", "a/b",
                       ".",  "SOFTWARE\\.\\X"};
  for (const char* subkey : bad) {
    RegKey key;
    EXPECT_EQ(regCreateKey(root_, subkey, &key), kRegInvalid) << subkey;
    EXPECT_EQ(regOpenKeyRead(root_, subkey, &key), kRegInvalid) << subkey;
    EXPECT_EQ(regDeleteKey(root_, subkey), kRegInvalid) << subkey;
  }
  EXPECT_TRUE(fs::is_empty(root_));
}

TEST_F(RegistryStoreTest, ValuesRoundTripAndReplaceWithoutLeftovers) {
  RegKey key;
  ASSERT_EQ(regCreateKey(root_, engineKey(), &key), kRegOk);
  std::string binary("a\0b\r\n\xff", 6);
  EXPECT_EQ(regWriteValue(key, "Info", binary), kRegOk);
  std::string read;
  EXPECT_EQ(regReadValue(key, "Info", &read), kRegOk);
  EXPECT_EQ(read, binary);
  std::string big(100000, 'x');
  EXPECT_EQ(regWriteValue(key, "Info", big), kRegOk);
  EXPECT_EQ(regReadValue(key, "Info", &read), kRegOk);
  EXPECT_EQ(read, big);
  EXPECT_EQ(regWriteValue(key, "Empty", ""), kRegOk);
  EXPECT_EQ(regReadValue(key, "Empty", &read), kRegOk);
  EXPECT_EQ(read, "");
  // Only the values themselves are in the key: no temporary files.
  int files = 0;
  for (auto& entry : fs::directory_iterator(key.dir)) {
    EXPECT_TRUE(entry.path().filename() == "Info" || entry.path().filename() == "Empty")
        << entry.path();
    ++files;
  }
  EXPECT_EQ(files, 2);
}

TEST_F(RegistryStoreTest, MissingAndBadValueNames) {
  RegKey key;
  ASSERT_EQ(regCreateKey(root_, engineKey(), &key), kRegOk);
  std::string read = "kept";
  EXPECT_EQ(regReadValue(key, "Info", &read), kRegNotFound);
  EXPECT_EQ(regQueryValue(key, "Info"), kRegNotFound);
  EXPECT_EQ(regDeleteValue(key, "Info"), kRegNotFound);
  for (const char* name : {"", ".", "..", ".Info", "a/b"}) {
    EXPECT_EQ(regWriteValue(key, name, "x"), kRegInvalid) << name;
    EXPECT_EQ(regReadValue(key, name, &read), kRegInvalid) << name;
    EXPECT_EQ(regQueryValue(key, name), kRegInvalid) << name;
    EXPECT_EQ(regDeleteValue(key, name), kRegInvalid) << name;
  }
  EXPECT_EQ(read, "kept");
  ASSERT_EQ(regWriteValue(key, "Info", "x"), kRegOk);
  EXPECT_EQ(regQueryValue(key, "Info"), kRegOk);
  EXPECT_EQ(regDeleteValue(key, "Info"), kRegOk);
  EXPECT_EQ(regReadValue(key, "Info", &read), kRegNotFound);
  // Something else than a file in a value's place: there, but no value.
  ASSERT_EQ(mkfifo((engineDir() + "/Info").c_str(), 0644), 0);
  EXPECT_EQ(regQueryValue(key, "Info"), kRegOk);
  EXPECT_EQ(regReadValue(key, "Info", &read), kRegInvalid);
  EXPECT_EQ(read, "kept");
}

TEST_F(RegistryStoreTest, DeleteKeyTakesItsValuesAndSubkeys) {
  RegKey key;
  ASSERT_EQ(regCreateKey(root_, engineKey("RAID0\\Deeper"), &key), kRegOk);
  ASSERT_EQ(regWriteValue(key, "Info", "x"), kRegOk);
  EXPECT_EQ(regDeleteKey(root_, engineKey("RAID0")), kRegOk);
  EXPECT_EQ(regOpenKeyRead(root_, engineKey("RAID0"), &key), kRegNotFound);
  EXPECT_EQ(regOpenKeyRead(root_, engineKey(), &key), kRegOk);
  EXPECT_EQ(regDeleteKey(root_, engineKey("RAID0")), kRegNotFound);
}

TEST_F(RegistryStoreTest, RenameMovesValuesAndNeverOverwrites) {
  RegKey key;
  ASSERT_EQ(regCreateKey(root_, engineKey("RAID2"), &key), kRegOk);
  ASSERT_EQ(regWriteValue(key, "Info", "two"), kRegOk);
  ASSERT_EQ(regCreateKey(root_, engineKey("RAID3"), &key), kRegOk);
  EXPECT_EQ(regRenameKey(root_, engineKey("RAID2"), engineKey("RAID3")), kRegInvalid);
  EXPECT_EQ(regRenameKey(root_, engineKey("RAID2"), engineKey("RAID1")), kRegOk);
  std::string read;
  ASSERT_EQ(regOpenKeyRead(root_, engineKey("RAID1"), &key), kRegOk);
  EXPECT_EQ(regReadValue(key, "Info", &read), kRegOk);
  EXPECT_EQ(read, "two");
  EXPECT_EQ(regOpenKeyRead(root_, engineKey("RAID2"), &key), kRegNotFound);
  EXPECT_EQ(regRenameKey(root_, engineKey("RAID9"), engineKey("RAID8")), kRegNotFound);
  EXPECT_EQ(regRenameKey(root_, engineKey("RAID1"), "..\\x"), kRegInvalid);
}

TEST_F(RegistryStoreTest, ReadOnlyKeyOpensForReadingOnly) {
  // Root passes every access() check; the store then goes by the mode bits,
  // so this holds for root and for other users alike.
  RegKey key;
  ASSERT_EQ(regCreateKey(root_, engineKey("RAID0"), &key), kRegOk);
  ASSERT_EQ(regWriteValue(key, "Info", "x"), kRegOk);
  ASSERT_EQ(chmod(engineDir("RAID0").c_str(), 0555), 0);
  RegKey full;
  EXPECT_EQ(regOpenKeyFullAccess(root_, engineKey("RAID0"), &full), kRegAccessDenied);
  EXPECT_TRUE(full.dir.empty());
  EXPECT_EQ(regCreateKey(root_, engineKey("RAID0"), &full), kRegAccessDenied);
  RegKey read;
  ASSERT_EQ(regOpenKeyRead(root_, engineKey("RAID0"), &read), kRegOk);
  std::string text;
  EXPECT_EQ(regReadValue(read, "Info", &text), kRegOk);
  // Write access for the group alone still counts as writable.
  ASSERT_EQ(chmod(engineDir("RAID0").c_str(), 0575), 0);
  if (geteuid() == 0) {
    EXPECT_EQ(regOpenKeyFullAccess(root_, engineKey("RAID0"), &full), kRegOk);
  }
}

TEST_F(RegistryStoreTest, AValueIsNotAKey) {
  RegKey key;
  ASSERT_EQ(regCreateKey(root_, engineKey(), &key), kRegOk);
  ASSERT_EQ(regWriteValue(key, "Info", "x"), kRegOk);
  EXPECT_EQ(regOpenKeyRead(root_, engineKey("Info"), &key), kRegNotFound);
  EXPECT_EQ(regOpenKeyRead(root_, engineKey("Info\\Deeper"), &key), kRegNotFound);
}

TEST(RegistryRootTest, MachineRootFollowsTheEngineHome) {
  struct Saved {
    const char* name;
    bool had;
    std::string value;
  } saved[] = {{"MOX_HOME", false, ""}, {"XDG_STATE_HOME", false, ""}, {"HOME", false, ""}};
  for (Saved& s : saved) {
    const char* v = std::getenv(s.name);
    s.had = v != nullptr;
    if (v != nullptr) s.value = v;
  }
  setenv("MOX_HOME", "/m", 1);
  setenv("XDG_STATE_HOME", "/s", 1);
  setenv("HOME", "/h", 1);
  EXPECT_EQ(regLocalMachineRoot(), "/m/registry/HKEY_LOCAL_MACHINE");
  setenv("MOX_HOME", "", 1);
  EXPECT_EQ(regLocalMachineRoot(), "/s/mox/registry/HKEY_LOCAL_MACHINE");
  unsetenv("MOX_HOME");
  unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(regLocalMachineRoot(), "/h/.local/state/mox/registry/HKEY_LOCAL_MACHINE");
  EXPECT_EQ(engineHomePath(), "/h/.local/state/mox");
  setenv("XDG_STATE_HOME", "", 1);
  unsetenv("HOME");
  EXPECT_EQ(engineHomePath(), "./.local/state/mox");
  EXPECT_EQ(regLocalMachineRootOf("/a/b"), "/a/b/registry/HKEY_LOCAL_MACHINE");
  for (const Saved& s : saved) {
    if (s.had) {
      setenv(s.name, s.value.c_str(), 1);
    } else {
      unsetenv(s.name);
    }
  }
}

}  // namespace
}  // namespace platform
