// The cartridges of a library home (moxctl init --library): tapes in the
// slots of the home's changers, named by their barcodes, read and written in
// the home's tape drives.
//
// A cartridge is reached as a medium in one of two ways:
//   in a drive    the tape itself (TapeMedium), when the home's drive files
//                 say a member drive holds it; one medium per drive in a
//                 process at a time, so that no two of them move one tape
//                 under each other: an open of a cartridge whose drive is
//                 taken, or a tape change of its drive, leaves it shelved;
//   shelved       a cartridge in its slot: the engine knows of it only the
//                 map the home keeps by its barcode (tape_library.h), and
//                 every read or write of it fails (MOX_E_IO).
// The map kept by barcode is checked against the tape when it is mounted in
// a drive: the label (its set and member), the tape marks of its sessions,
// and that nothing follows the last one. A map that does not hold is
// dropped and the tape is read from the front.
//
// A drive reached by a medium is held against other processes of the home
// (a lock file per drive): there the cartridge is shelved, and a tape change
// of that drive is refused (MOX_E_BUSY).
//
// A tape change moves cartridges with MOVE MEDIUM before the drive files
// name them; the change is journalled in the home as on a file home, so one
// cut short is finished by the next load.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/mox/home.h"
#include "engine/mox/library.h"
#include "engine/mox/medium.h"
#include "engine/mox/mox.h"
#include "engine/scsi/drive_activity.h"
#include "engine/scsi/log_pages.h"
#include "platform/library_units.h"

namespace mox {

// True when a changer can load cartridges into every one of `drives`.
bool libraryChangesTapes(const Home& home, const std::vector<uint16_t>& drives);

// True for a library home (kept after the first answer).
bool libraryHome(const Home& home);

// The barcodes of the home's cartridges, sorted: every cartridge the
// changers hold (slots, drives, mail slots). MOX_OK, or MOX_E_IO when a
// library does not answer.
int libraryPool(const Home& home, std::vector<std::string>* barcodes);

// Moves cartridges: each (drive, barcode) loads the cartridge into the
// drive, "" unloads the drive. Media reaching those drives are shelved
// first. MOX_OK, MOX_E_BUSY (another process reaches a drive), MOX_E_NO_TAPE (no such cartridge),
// MOX_E_NOT_SUPPORTED (a library without a changer, when the drive does not already hold it),
// MOX_E_IO.
int moveLibraryTapes(const Home& home, const std::vector<std::pair<int, std::string>>& loads);

// The cartridge at `path` ("<home>/media/<barcode>.tap", Home::cartridgePath) as a medium: the tape
// when a drive of the home holds it and no other medium of this process
// reaches that drive, else shelved. Null, with *rc, for a name that is no
// barcode, or a drive that holds it and cannot be opened (MOX_E_IO).
std::unique_ptr<Medium> openLibraryMedium(const Home& home, const std::string& path, int* rc);

// Brings the cartridges of `set` into the drives of its members
// (`drives[i]` for member i), moving them when the drive files name others,
// and reaches each through its drive: a member whose tape does not hold
// what its map says fails. For a read side's tape change and a session
// read from a set other than the loaded one. MOX_OK or a code of the move.
int attachLibrarySet(Home& home, const std::vector<uint16_t>& drives, CartSet* set);

// True while a process (this one too) holds drive `drive` (looked at, not
// taken).
bool libraryDriveInUse(const Home& home, int drive);

// A drive of a library home and what it was doing (drive_activity.h).
struct DriveActivityReport {
  int drive = 0;
  platform::LibraryUnit unit;  // its identity, as the library answered at set-up
  std::string barcode;         // the cartridge the home's drive file names ("" none)
  scsi::DriveActivitySnapshot activity;
};

// The activity of each of `drives`, in their order, as this process saw it
// since its window began; with `restart` a new window begins once it is
// read. False (nothing) on a file home.
bool libraryDriveActivity(const Home& home, const std::vector<uint16_t>& drives, bool restart,
                          std::vector<DriveActivityReport>* out);

// True for a cartridge reached through its drive (not shelved).
bool inDrive(const Medium& medium);

// A member's drive of a library home and what it counted between two
// readings (log_pages.h, countersDifference).
struct DriveCountersReport {
  int drive = 0;
  bool read = false;    // the drive was reached and read
  bool listed = false;  // it lists its log pages (page 00h) now
  scsi::DriveCounters change;
};

// A report as mox.h hands it out for member `member`: each counter, ratio,
// the TapeAlert flags and the compression mode with its present bit when
// the drive gave it; the bytes from the sequential-access page.
DriveCountersRecord countersRecord(const DriveCountersReport& report, uint16_t member);

// The counters of the drive that holds `medium`, read on its member's own
// session (tape_drive.h, readCounters): the caller makes sure nothing else
// uses the medium meanwhile. MOX_OK; MOX_E_NOT_SUPPORTED for a medium not
// reached through a drive; MOX_E_IO when the member needs a reconcile or an
// answer stopped the reading (*error says why; what was read before it is
// in *out).
int readMediumCounters(Medium& medium, scsi::DriveCounters* out, std::string* error);

// The map the home keeps for the cartridge `barcode`, without reaching
// any drive; false when it keeps none.
bool keptLibraryMap(const Home& home, const std::string& barcode, CartridgeMap* map);

// The cartridge's state as the home keeps it: blank when the home keeps no
// map for it or one of a labelled cartridge that holds no session.
bool libraryCartridgeBlank(const Home& home, const std::string& barcode);
// The highest session number the maps kept of the home's cartridges show
// on sets of `level` over `members` members, wherever those cartridges are
// (in a drive or a slot, whatever the drive files say).
uint32_t lastKeptSession(const Home& home, uint8_t level, size_t members);
// The set on which session `session` begins, as those maps show it; 0 when
// none does.
uint64_t keptSessionStart(const Home& home, uint8_t level, size_t members, uint32_t session);

// Why the last call for `home` failed, for the log.
std::string libraryError(const Home& home);

// A tape failure of the home's drives, named for the operator ("drive 1
// (T00002): WRITE on iscsi://...: member failed (MEDIUM ERROR, 0C/00 write
// error)"): logged at once (at any debug level), and kept until taken, unless one is kept
// already (the first failure is the cause, later ones its consequences).
void noteTapeFailure(const std::string& home, const std::string& why);
// The kept failure, "" when none; taking it forgets it.
std::string takeTapeFailure(const std::string& home);

}  // namespace mox
