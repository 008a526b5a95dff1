// The virtual autoloader: which cartridges the drives hold, which are blank,
// and where the cartridge sets of a session are.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/mox/cartridge.h"
#include "engine/mox/home.h"
#include "platform/file_util.h"

namespace mox {

// The cartridges of one set, one per member, opened.
struct CartSet {
  uint64_t setId = 0;
  std::vector<std::string> names;  // per member, "" when none
  std::vector<std::unique_ptr<CartridgeFile>> files;
  std::vector<CartridgeMap> maps;
  std::vector<bool> failed;   // missing, foreign, unreadable, swapped or blanked
  std::vector<bool> damaged;  // readable, but holds damage (see member_scan.h)
  // Per member: why it failed or what damage it holds, for reports.
  std::vector<std::vector<MediaDamage>> problems;
  // A member failed because a read failed (an I/O error): what it holds is
  // not known, so it is neither damaged nor behind the others for sure.
  bool readFailed = false;

  size_t memberCount() const { return names.size(); }
  size_t failedCount() const;
  size_t damagedCount() const;
  // The map of the member that knows the most sessions (nullptr when every
  // member failed): the set's label and session list.
  // The set a label of this set names as its predecessor (a set that
  // continues a full one), read from any member in service; 0 when none.
  // Also known when the set counts as blank because a label write did not
  // reach every member.
  uint64_t labelPrevSetId() const;
  const CartridgeMap* anyMap() const;
  // The extent of `session` on the first member that holds it with a sound
  // start record (else on any member that holds it); nullptr when none does.
  const SessionExtent* findSession(uint32_t session) const;
};

// Opens and scans the named cartridges as one set.
std::shared_ptr<CartSet> openSet(const Home& home, const std::vector<std::string>& names,
                                 bool writable);

// Cartridge names in the member drives (may be "").
std::vector<std::string> memberCartridges(const Home& home, const std::vector<uint16_t>& drives);

// True when the cartridge holds no session (no file content, or a label only).
bool cartridgeIsBlank(const Home& home, const std::string& name);

// Loads a blank cartridge from the pool into every member drive, returning
// the cartridges that were in them to the pool, as one change of the drives
// (Home::setDriveCartridges). With `prelabel`, each blank is first labelled
// with it as member i. Call with the home locked.
// MOX_OK, MOX_E_NO_BLANK or MOX_E_IO.
int loadBlanks(Home& home, const std::vector<uint16_t>& drives, const Label* prelabel = nullptr);

// Names (per member index) of the cartridges labelled with set `setId`.
std::vector<std::string> findSetById(const Home& home, uint64_t setId, size_t members);

// Names of the set that continues `session` after the set `prevSetId`.
std::vector<std::string> findContinuation(const Home& home, uint32_t session, uint64_t prevSetId,
                                          size_t members);

// Truncates the cartridge (creating it when missing) and writes `label`.
int formatCartridge(const std::string& path, const Label& label);
// A fresh set id (never 0).
uint64_t newSetId();

// Exclusive, non-blocking hold on RAID device n's write lock; released when
// the object goes or the process dies.
class RaidLock {
 public:
  RaidLock(const std::string& home, int raidNumber);
  bool held() const { return lock_.held(); }
  // MOX_OK when held, MOX_E_HOME when the lock file cannot be opened,
  // MOX_E_BUSY when another process holds it.
  int result() const { return result_; }

 private:
  platform::FileLock lock_;
  int result_ = 0;
};

}  // namespace mox
