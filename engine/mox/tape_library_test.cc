// The libraries of a home against a private tgtd each: a library set up
// from what its target answers, its pool, cartridges loaded by barcode and
// unloaded, the first block of a cartridge, a library without a changer,
// one that does not answer, and targets that are no library.
#include "engine/mox/tape_library.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "engine/mox/mox.h"
#include "testing/scoped_temp_dir.h"
#include "testing/tgt_target.h"

namespace mox {
namespace {

using zeptest::TgtCartridge;
using zeptest::TgtOptions;
using zeptest::TgtTarget;

LibraryOptions testOptions() {
  LibraryOptions o;
  o.iscsi.initiator = "iqn.2008-11.invalid.zephlorn:test";
  o.iscsi.loginTimeoutMs = 3000;
  o.iscsi.commandTimeoutMs = 5000;
  o.iscsi.tcpUserTimeoutMs = 5000;
  o.changer.commandTimeoutMs = 5000;
  o.changer.moveTimeoutMs = 5000;
  o.changer.readyWaitMs = 5000;
  o.drive.commandTimeoutMs = 5000;
  o.drive.motionTimeoutMs = 5000;
  o.drive.readyWaitMs = 5000;
  return o;
}

TgtOptions library(int drives, int cartridges, bool changer, int slots = 0) {
  TgtOptions o;
  o.drives = drives;
  o.changer = changer;
  o.slots = slots;
  for (int i = 1; i <= cartridges; ++i) {
    char barcode[16];
    std::snprintf(barcode, sizeof barcode, "T%05d", i);
    o.cartridges.push_back(TgtCartridge{barcode, 8});
  }
  return o;
}

std::string targetUrl(const TgtTarget& t) {
  return "iscsi://" + t.host() + ":" + std::to_string(t.port()) + "/" + t.iqn();
}

// A home holding the probed library, and its libraries opened.
struct TestHome {
  zeptest::ScopedTempDir dir{"library"};
  std::unique_ptr<TapeLibraries> libraries;
};
void makeHome(const LibraryProbe& probe, TestHome* home) {
  ASSERT_TRUE(home->dir.valid());
  ASSERT_EQ(mkdir((home->dir.path() + "/media").c_str(), 0755), 0);
  ASSERT_EQ(moxcfg::storeLibrary(home->dir.path(), 0, probe.config), 0);
  ASSERT_EQ(TapeLibraries::load(home->dir.path(), testOptions(), &home->libraries), MOX_OK);
  ASSERT_EQ(home->libraries->libraryCount(), 1u);
}

// "T00001@1000 (empty)@1005 T00002@1:drive0<1001"
std::string poolText(TapeLibraries* libraries) {
  std::vector<PoolEntry> pool;
  EXPECT_EQ(libraries->listPool(&pool), MOX_OK) << libraries->lastError();
  std::string text;
  for (const PoolEntry& p : pool) {
    if (!text.empty()) text += " ";
    text += (p.full ? (p.barcode.empty() ? "?" : p.barcode) : "(empty)") + "@" +
            std::to_string(p.element);
    if (p.drive >= 0) text += ":drive" + std::to_string(p.drive);
    if (p.homeSlot != 0) text += "<" + std::to_string(p.homeSlot);
    if (p.mapped) text += "+map";
  }
  return text;
}

std::vector<uint8_t> labelRecord(const char* name) {
  Label label;
  std::strncpy(label.name, name, sizeof label.name - 1);
  uint8_t body[kLabelBodySize];
  encodeLabel(label, body);
  RecordHeader header = controlHeader(Kind::kLabel, 0, 0, sizeof body);
  header.bodyCrc = crc32c(body, sizeof body);
  std::vector<uint8_t> image(kHeaderSize + sizeof body);
  encodeImage(header, body, image.data());
  return image;
}

// Writes `block` (and a filemark) from the beginning of the cartridge in
// drive `drive`.
void writeFirstBlock(TapeLibraries* libraries, int drive, const std::vector<uint8_t>& block) {
  auto m = libraries->member(drive);
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(m->open(), scsi::Outcome::done) << m->lastError();
  ASSERT_EQ(m->rewind(), scsi::Outcome::done);
  ASSERT_TRUE(scsi::written(m->writeRecord(block.data(), static_cast<uint32_t>(block.size()))));
  ASSERT_EQ(m->writeFilemarks(1), scsi::Outcome::done);
}

// Three drives and a changer with five cartridges in six slots: what the
// probe finds, then the pool as cartridges are loaded, moved between drives
// and unloaded, what their first blocks say, and the maps the home keeps.
TEST(TapeLibraryTgt, ThreeDrivesAndAChanger) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(library(3, 5, true, 6));
  ASSERT_TRUE(target.start()) << target.error();
  LibraryProbe probe;
  std::string why;
  ASSERT_EQ(probeLibrary(targetUrl(target), 0, testOptions(), &probe, &why), MOX_OK) << why;
  const moxcfg::LibraryConfig& c = probe.config;
  EXPECT_EQ(c.target, targetUrl(target));
  ASSERT_EQ(c.units.size(), 5u);  // tgt's controller at LUN 0, three drives, the changer
  EXPECT_EQ(c.units[0].type, 0x0C);
  EXPECT_EQ(c.changerLun, 4);
  EXPECT_EQ(c.units[4].product, "VIRTUAL-CHANGER");
  ASSERT_EQ(c.drives.size(), 3u);
  for (int d = 0; d < 3; ++d) {
    EXPECT_EQ(c.drives[d].drive, d);
    EXPECT_EQ(c.drives[d].lun, d + 1);
    // Matched by serial number, and the one whose identifier tgt cuts off
    // by what is left.
    EXPECT_EQ(c.drives[d].element, d + 1);
    const platform::LibraryUnit* u = c.unit(static_cast<uint16_t>(d + 1));
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->vendor, "IET");
    EXPECT_EQ(u->product, "VIRTUAL-TAPE");
    EXPECT_EQ(u->serial, "beaf1" + std::to_string(d + 1));
  }
  EXPECT_EQ(probe.slots.size(), 6u);
  EXPECT_EQ(probe.mailSlots.size(), 2u);
  EXPECT_EQ(probe.unmatchedDrives, 0u);
  // Numbered on from the drives of earlier libraries.
  LibraryProbe later;
  ASSERT_EQ(probeLibrary(targetUrl(target), 4, testOptions(), &later, &why), MOX_OK) << why;
  EXPECT_EQ(later.config.drives[0].drive, 4);

  TestHome home;
  makeHome(probe, &home);
  TapeLibraries* lib = home.libraries.get();
  EXPECT_EQ(lib->driveCount(), 3);
  EXPECT_EQ(poolText(lib),
            "T00001@1000 T00002@1001 T00003@1002 T00004@1003 T00005@1004 (empty)@1005");

  struct Step {
    const char* what;
    std::function<int()> action;
    int rc;
    const char* pool;
  } const steps[] = {
      {"load into an empty drive", [&] { return lib->load("T00002", 0); }, MOX_OK,
       "T00001@1000 (empty)@1001 T00003@1002 T00004@1003 T00005@1004 (empty)@1005 "
       "T00002@1:drive0<1001"},
      {"load what is loaded", [&] { return lib->load("T00002", 0); }, MOX_OK,
       "T00001@1000 (empty)@1001 T00003@1002 T00004@1003 T00005@1004 (empty)@1005 "
       "T00002@1:drive0<1001"},
      {"load over a loaded drive: the first goes home", [&] { return lib->load("T00003", 0); },
       MOX_OK,
       "T00001@1000 T00002@1001 (empty)@1002 T00004@1003 T00005@1004 (empty)@1005 "
       "T00003@1:drive0<1002"},
      {"take a cartridge from another drive", [&] { return lib->load("T00003", 2); }, MOX_OK,
       "T00001@1000 T00002@1001 (empty)@1002 T00004@1003 T00005@1004 (empty)@1005 "
       "T00003@3:drive2<1002"},
      {"a barcode the library lacks", [&] { return lib->load("T00009", 1); }, MOX_E_NO_TAPE,
       nullptr},
      {"no such drive", [&] { return lib->load("T00001", 3); }, MOX_E_NO_DEVICE, nullptr},
      {"no barcode", [&] { return lib->load("", 1); }, MOX_E_INVALID_ARG, nullptr},
      {"unload an empty drive", [&] { return lib->unload(1); }, MOX_OK,
       "T00001@1000 T00002@1001 (empty)@1002 T00004@1003 T00005@1004 (empty)@1005 "
       "T00003@3:drive2<1002"},
      {"unload", [&] { return lib->unload(2); }, MOX_OK,
       "T00001@1000 T00002@1001 T00003@1002 T00004@1003 T00005@1004 (empty)@1005"},
      {"load two drives", [&] { return lib->load("T00004", 1) | lib->load("T00005", 0); }, MOX_OK,
       "T00001@1000 T00002@1001 T00003@1002 (empty)@1003 (empty)@1004 (empty)@1005 "
       "T00005@1:drive0<1004 T00004@2:drive1<1003"},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(s.action(), s.rc) << s.what << ": " << lib->lastError();
    if (s.pool != nullptr) {
      EXPECT_EQ(poolText(lib), s.pool) << s.what;
    }
  }
  DriveReport r;
  ASSERT_EQ(lib->reportDrive(1, &r), MOX_OK) << lib->lastError();
  EXPECT_TRUE(r.answered);
  EXPECT_TRUE(r.loaded);
  EXPECT_EQ(r.barcode, "T00004");
  EXPECT_EQ(r.homeSlot, 1003);
  EXPECT_EQ(r.now.serial, "beaf12");
  EXPECT_EQ(r.problem, "");
  ASSERT_EQ(lib->reportDrive(2, &r), MOX_OK);
  EXPECT_FALSE(r.loaded);
  EXPECT_EQ(lib->reportDrive(3, &r), MOX_E_NO_DEVICE);
  std::string barcode;
  ASSERT_EQ(lib->loadedBarcode(0, &barcode), MOX_OK);
  EXPECT_EQ(barcode, "T00005");

  // First blocks: a new cartridge is empty; one that starts with the
  // engine's label is not blank; one that starts with anything else is.
  Inspection seen;
  ASSERT_EQ(lib->inspect(0, &seen), MOX_OK) << lib->lastError();
  EXPECT_EQ(seen.content, Content::empty);
  EXPECT_TRUE(seen.blank());
  writeFirstBlock(lib, 0, labelRecord("RGROUP0"));
  writeFirstBlock(lib, 1, std::vector<uint8_t>(4096, 0x5A));
  ASSERT_EQ(lib->inspect(0, &seen), MOX_OK) << lib->lastError();
  EXPECT_EQ(seen.content, Content::engine);
  EXPECT_FALSE(seen.blank());
  EXPECT_STREQ(seen.label.name, "RGROUP0");
  ASSERT_EQ(lib->inspect(1, &seen), MOX_OK) << lib->lastError();
  EXPECT_EQ(seen.content, Content::foreign);
  EXPECT_TRUE(seen.blank());
  EXPECT_EQ(lib->inspect(2, &seen), MOX_E_NO_TAPE);
  // The label stays with the cartridge wherever it goes.
  ASSERT_EQ(lib->load("T00005", 2), MOX_OK) << lib->lastError();
  ASSERT_EQ(lib->inspect(2, &seen), MOX_OK) << lib->lastError();
  EXPECT_EQ(seen.content, Content::engine);

  // The home's map of a cartridge shows in the pool by its barcode.
  ASSERT_EQ(lib->maps().store("T00005", "map"), MOX_OK);
  ASSERT_EQ(lib->maps().store("T00001", "map"), MOX_OK);
  EXPECT_EQ(poolText(lib),
            "T00001@1000+map T00002@1001 T00003@1002 (empty)@1003 (empty)@1004 (empty)@1005 "
            "T00004@2:drive1<1003 T00005@3:drive2<1004+map");
}

TEST(TapeLibraryTgt, WithoutAChangerTheLoadedCartridgesAreAllThereIs) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(library(2, 1, false));  // T00001 in drive 0, drive 1 empty
  ASSERT_TRUE(target.start()) << target.error();
  LibraryProbe probe;
  std::string why;
  ASSERT_EQ(probeLibrary(targetUrl(target), 0, testOptions(), &probe, &why), MOX_OK) << why;
  EXPECT_FALSE(probe.config.hasChanger());
  ASSERT_EQ(probe.config.drives.size(), 2u);
  EXPECT_EQ(probe.config.drives[0].element, 0);
  EXPECT_EQ(moxcfg::formatLibrary(probe.config).pool, "loaded\n");
  TestHome home;
  makeHome(probe, &home);
  TapeLibraries* lib = home.libraries.get();
  EXPECT_EQ(lib->refresh(), MOX_OK);
  EXPECT_EQ(poolText(lib), "?@0:drive0");
  DriveReport r;
  ASSERT_EQ(lib->reportDrive(0, &r), MOX_OK) << lib->lastError();
  EXPECT_TRUE(r.loaded);
  EXPECT_EQ(r.barcode, "");
  ASSERT_EQ(lib->reportDrive(1, &r), MOX_OK) << lib->lastError();
  EXPECT_FALSE(r.loaded);
  EXPECT_EQ(r.notReady, "");
  EXPECT_EQ(lib->load("T00001", 1), MOX_E_NOT_SUPPORTED);
  EXPECT_NE(lib->lastError().find("no changer"), std::string::npos) << lib->lastError();
  EXPECT_EQ(lib->unload(1), MOX_OK);
  Inspection seen;
  ASSERT_EQ(lib->inspect(0, &seen), MOX_OK) << lib->lastError();
  EXPECT_EQ(seen.content, Content::empty);
}

// A library whose target is gone: every call says so, and the library is
// tried once per object, not once per unit.
TEST(TapeLibraryTgt, AnUnreachableLibraryIsNamed) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(library(3, 3, true));
  ASSERT_TRUE(target.start()) << target.error();
  LibraryProbe probe;
  std::string why;
  ASSERT_EQ(probeLibrary(targetUrl(target), 0, testOptions(), &probe, &why), MOX_OK) << why;
  TestHome home;
  makeHome(probe, &home);
  ASSERT_TRUE(target.stop());
  TapeLibraries* lib = home.libraries.get();
  EXPECT_EQ(lib->refresh(), MOX_E_IO);
  EXPECT_NE(lib->unreachable(0), "");
  EXPECT_NE(lib->lastError().find("is unreachable"), std::string::npos) << lib->lastError();
  std::vector<PoolEntry> pool;
  EXPECT_EQ(lib->listPool(&pool), MOX_E_IO);
  EXPECT_TRUE(pool.empty());
  for (int d = 0; d < 3; ++d) {
    DriveReport r;
    EXPECT_EQ(lib->reportDrive(d, &r), MOX_E_IO);
    EXPECT_FALSE(r.answered);
    EXPECT_EQ(r.seen.serial, "beaf1" + std::to_string(d + 1));
    EXPECT_EQ(r.problem, "library unreachable");
  }
  EXPECT_EQ(lib->load("T00001", 0), MOX_E_IO);
  EXPECT_EQ(lib->unload(0), MOX_E_IO);
}

// A TCP port that accepts connections (the kernel's backlog) and never
// answers a login.
class SilentListener {
 public:
  SilentListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        listen(fd_, 4) == 0 && getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      port_ = ntohs(a.sin_port);
    }
  }
  ~SilentListener() {
    if (fd_ >= 0) close(fd_);
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Targets that are no library, and what is no target, are refused with
// the reason, and no wait is longer than the login timeout.
TEST(TapeLibraryTgt, WhatIsNoLibraryIsRefused) {
  SKIP_WITHOUT_TGT();
  TgtTarget noTape(library(0, 0, false));  // tgt's controller LUN alone
  ASSERT_TRUE(noTape.start()) << noTape.error();
  SilentListener silent;
  ASSERT_GT(silent.port(), 0);
  int closed = 0;
  {
    SilentListener gone;  // a port nobody listens on once it goes
    closed = gone.port();
  }
  LibraryOptions fast = testOptions();
  fast.iscsi.loginTimeoutMs = 1000;
  struct Case {
    std::string url;
    int rc;
    const char* why;
  } const cases[] = {
      {"iscsi://127.0.0.1", MOX_E_INVALID_ARG, "no target name"},
      {"http://127.0.0.1/iqn.x", MOX_E_INVALID_ARG, "does not start with iscsi://"},
      {"iscsi://127.0.0.1:0/iqn.x", MOX_E_INVALID_ARG, "port out of range"},
      {targetUrl(noTape) + "/1", MOX_E_INVALID_ARG, "names a LUN"},
      {targetUrl(noTape), MOX_E_NO_DEVICE, "has no tape drive (LUN 0 type 12)"},
      {"iscsi://127.0.0.1:" + std::to_string(noTape.port()) + "/iqn.2008-11.invalid:none", MOX_E_IO,
       "cannot reach library"},
      {"iscsi://127.0.0.1:" + std::to_string(closed) + "/iqn.x", MOX_E_IO, "cannot reach library"},
      {"iscsi://127.0.0.1:" + std::to_string(silent.port()) + "/iqn.x", MOX_E_IO,
       "did not finish within 1000 ms"},
  };
  for (const Case& c : cases) {
    LibraryProbe probe;
    std::string why;
    EXPECT_EQ(probeLibrary(c.url, 0, fast, &probe, &why), c.rc) << c.url << ": " << why;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.url << ": " << why;
  }
}

}  // namespace
}  // namespace mox
