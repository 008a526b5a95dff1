// The engine home: the directory that holds the virtual library (registry,
// cartridges, drive contents, diagnostic log) and the operations that change
// the library's physical state under the home lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/config/mox_config.h"
#include "platform/file_util.h"

namespace mox {

// Layout below the home:
//   registry/...          the registry store (RAID devices, engine settings)
//   media/<name>.tap      one file per cartridge
//   media/.<name>.map     cache of the cartridge's map (cartridge_map.h)
//   media/<barcode>.map   a library home: each cartridge's map (tape_library.h)
//   drives/<i>            the name of the cartridge loaded in drive i (empty: none)
//   mox.log               diagnostic log (debug level above 0)
//   .lock                 held (flock) while the library's state changes
class Home {
 public:
  explicit Home(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }
  // The engine settings of the home, read at the first call and kept.
  const moxcfg::EngineSettings& settings() const;
  // Whether that read succeeded: when it failed, settings() holds the
  // defaults, which must not be taken for the home's (MOX_E_IO).
  bool settingsKnown() const;
  std::string mediaDir() const { return path_ + "/media"; }
  std::string cartridgePath(const std::string& name) const;

  // Creates the home and provisions the default library when it holds none.
  // Returns MOX_OK, or MOX_E_HOME (also for a half-made home: one whose
  // provisioning was cut short, moxcfg::homeHalfMade).
  int ensureProvisioned();
  // Puts the provisioning mark in the home (created when missing), durably,
  // unless it is there: from now until provision() returns MOX_OK the home
  // is half-made. Returns MOX_OK or MOX_E_HOME.
  int beginProvisioning();
  // Provisions a library of the given shape, replacing nothing that exists
  // (used by moxctl init on an empty home), between the provisioning mark
  // and its removal: all or nothing. Called with HomeLock. Returns MOX_OK or
  // MOX_E_HOME/CONFIG.
  struct Shape {
    int drives = moxcfg::kDefaultDriveCount;
    int cartridges = moxcfg::kDefaultCartridgeCount;
    uint64_t capacity = moxcfg::kDefaultCapacity;
    // Each entry: level and member drives of RAID device n.
    std::vector<moxcfg::RaidConfig> raids;
    // A library home: the libraries whose tape drives are the drives (then
    // no cartridge file is made); none for a file home.
    std::vector<moxcfg::LibraryConfig> libraries;
  };
  static Shape defaultShape();
  int provision(const Shape& shape);

  // "<home>/drives/<i>": the name of the cartridge loaded in drive i.
  std::string drivePath(int drive) const;
  // Cartridge loaded in drive i ("" when empty, or when its file cannot be
  // read: missing, or not a regular file, which is never waited on). A tape
  // change left unfinished in drives/.load counts as done: it is what the
  // next handle or load makes of the drives.
  std::string driveCartridge(int drive) const;
  // The same, with the errno of a drive file that cannot be read (0 for a
  // readable or missing one).
  int readDriveCartridge(int drive, std::string* name) const;
  // The cartridge in drive i as the engine acts on it (driveCartridge's
  // answer): MOX_OK with "" for an empty drive or a drive file that is not a
  // regular file (not ours), or MOX_E_IO when the drive file or the journal
  // of a tape change cannot be read, never taken for an empty drive (a blank
  // loaded over it would put its cartridge back in the pool).
  int loadedCartridge(int drive, std::string* name) const;
  // Writes drive i's file (the home's directory only: no state here).
  int setDriveCartridge(int drive, const std::string& name) const;
  // Loads several drives as one change (a tape change of a whole set): the
  // change is written to drives/.load first, so a change that fails or is
  // cut by a crash half way is finished by finishDriveLoad, and the drives
  // never hold half of one set and half of another. Called with HomeLock.
  int setDriveCartridges(const std::vector<std::pair<uint16_t, std::string>>& loads);
  // Finishes a change of drives left unfinished. Called with HomeLock.
  // MOX_OK, or MOX_E_IO when the change cannot be read or finished.
  int finishDriveLoad();
  // Every cartridge file name (without .tap), sorted.
  std::vector<std::string> listCartridges() const;
  // Creates `count` new empty cartridges, named after the highest name in
  // the pool (then in the free names below it), reading the pool once.
  // Returns their names; fewer than `count` when a file cannot be made or
  // no name is left.
  std::vector<std::string> addCartridges(int count);
  // One new empty cartridge. Returns its name or "".
  std::string addCartridge();

 private:
  std::string path_;
  mutable std::mutex settingsMutex_;
  mutable bool settingsRead_ = false;
  mutable bool settingsKnown_ = false;
  mutable moxcfg::EngineSettings settings_;
};

// Exclusive lock on the home's .lock file for the life of the object
// (released by the kernel when the process dies); waits for other holders.
class HomeLock : public platform::FileLock {
 public:
  explicit HomeLock(const std::string& home)
      : platform::FileLock(moxcfg::homeLockPath(home), platform::LockWait::kBlock) {}
};

// Diagnostic log in the home, filtered by the persisted debug level.
void debugLog(const std::string& home, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Re-reads the persisted level (after MOXSetDebugLevel).
void refreshDebugLevel(const std::string& home);

}  // namespace mox
