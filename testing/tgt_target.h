// A private iSCSI target for one test: its own tgtd (tgt's user-space
// target daemon) with its own control socket in a temporary directory, on a
// free loopback port, serving tape drives on image files and optionally a
// media changer with slots and barcodes. Nothing of it is shared with the
// system's tgt service or with another test, and it goes with the object
// (the daemon also dies with the process that started it).
//
// Fault hooks: kill -9 and restart on the same images and port, dropping
// the connections, freezing the daemon (SIGSTOP/SIGCONT), a small file
// system under the images, and damage to an image.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace zeptest {

// In a GoogleTest: skips the test, saying so, when tgt is not installed;
// where tgt must be there (ZEP_REQUIRE_TGT set, as scripts/test does) its
// absence fails the test instead.
#define SKIP_WITHOUT_TGT()                                                              \
  do {                                                                                  \
    std::string missing_;                                                               \
    if (!::zeptest::TgtTarget::installed(&missing_)) {                                  \
      if (std::getenv("ZEP_REQUIRE_TGT") != nullptr) {                                  \
        FAIL() << missing_ << " not found, and ZEP_REQUIRE_TGT says tgt must be there"; \
      }                                                                                 \
      GTEST_SKIP() << missing_ << " not found: these tests need tgt (Debian package "   \
                   << "tgt, installed by scripts/deps)";                                \
    }                                                                                   \
  } while (0)

// How a small file system under the images is made.
enum class TgtSpaceLimit {
  none,
  tmpfs,          // a tmpfs of that size (needs the right to mount)
  fileSizeLimit,  // RLIMIT_FSIZE on the daemon: writes past it fail (EFBIG)
};

struct TgtCartridge {
  std::string barcode;        // also the image's file name; at most 10 characters
  uint32_t capacityMiB = 64;  // the cartridge's capacity (tgtimg --size)
};

struct TgtOptions {
  int drives = 1;  // tape LUNs 1..drives
  // Without a changer, cartridge i is in drive i (drives without one are
  // empty); with a changer, every cartridge is in a storage slot, in order,
  // and the drives are empty.
  std::vector<TgtCartridge> cartridges;
  bool changer = false;  // a changer LUN after the drives
  int slots = 0;         // storage slots; 0: one per cartridge
  // A file system of this many bytes under the images (0: none): a tmpfs
  // where this process may mount one, else a file size limit on the daemon
  // (writes past it fail as on a full file system). `imageSpace` asks for
  // one of the two; a tmpfs that cannot be mounted falls back to the limit.
  uint64_t imageSpaceBytes = 0;
  TgtSpaceLimit imageSpace = TgtSpaceLimit::tmpfs;
  // The session parameters that keep writes in order and fast:
  // InitialR2T=No and bursts of at least a tape block.
  bool tuned = true;
  std::string iqn = "iqn.2008-11.invalid.zephlorn:tapes";
};

class TgtTarget {
 public:
  // tgtd, tgtadm and tgtimg can be run. Otherwise false, naming the first
  // one missing.
  static bool installed(std::string* missing = nullptr);

  explicit TgtTarget(TgtOptions options);
  ~TgtTarget();
  TgtTarget(const TgtTarget&) = delete;
  TgtTarget& operator=(const TgtTarget&) = delete;

  // Makes the images, starts the daemon and sets the target up. False with
  // error() saying why.
  bool start();
  // An orderly stop: offline, target deleted with its sessions, daemon
  // told to exit; kill -9 when it does not within a few seconds.
  bool stop();
  bool running() const { return pid_ > 0; }
  const std::string& error() const { return error_; }

  const std::string& host() const { return host_; }
  int port() const { return port_; }
  const std::string& iqn() const { return options_.iqn; }
  int driveLun(int drive) const { return drive + 1; }
  int changerLun() const { return options_.drives + 1; }
  // iscsi://127.0.0.1:PORT/IQN/LUN
  std::string url(int lun) const;
  const std::string& directory() const { return dir_; }
  std::string imagePath(const std::string& barcode) const;
  pid_t pid() const { return pid_; }
  // The daemon's output so far.
  std::string log() const;

  // What was made of TgtOptions::imageSpaceBytes.
  TgtSpaceLimit spaceLimit() const { return spaceLimit_; }

  // --- Faults -----------------------------------------------------------------
  // SIGKILL; the control socket is cleaned up.
  bool kill9();
  // Starts the daemon again (after kill9() or stop()) on the same port and
  // images, with the same set-up. A changer comes back as it was set up
  // first: every cartridge in its slot, the drives empty.
  bool restart();
  // Ends every iSCSI connection of the target (tgtadm --op delete --mode
  // conn). *dropped: how many.
  bool dropConnections(int* dropped = nullptr);
  bool freeze();  // SIGSTOP
  bool thaw();    // SIGCONT
  bool frozen() const { return frozen_; }
  // Overwrites bytes of an image at `offset`.
  bool damageImage(const std::string& barcode, uint64_t offset, const std::vector<uint8_t>& bytes);
  bool truncateImage(const std::string& barcode, uint64_t size);
  uint64_t imageSize(const std::string& barcode) const;

  // tgt's image format (usr/bs_ssc.c): a 48-byte header before every
  // object (block, filemark, end of data); the first object at byte 1152.
  static constexpr uint64_t kImageHeaderBytes = 48;
  static constexpr uint64_t kImageFirstObject = 1152;

  // Runs tgtadm against this daemon ("-C 0" and the socket are added).
  // Returns its exit status (-1: could not run or timed out).
  int tgtadm(const std::vector<std::string>& args, std::string* output = nullptr,
             int timeoutMs = 5000);

 private:
  bool spawn();
  bool configure();
  bool makeImages();
  bool waitReady();
  void reap(int timeoutMs);
  void cleanSocket();
  bool fail(const std::string& why);

  TgtOptions options_;
  std::string host_ = "127.0.0.1";
  int port_ = 0;
  std::string dir_;
  std::string mediaDir_;
  std::string socket_;
  bool mounted_ = false;
  TgtSpaceLimit spaceLimit_ = TgtSpaceLimit::none;
  pid_t pid_ = -1;
  bool frozen_ = false;
  std::string error_;
  std::string tgtd_, tgtadm_, tgtimg_;
};

}  // namespace zeptest
