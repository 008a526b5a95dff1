// The tape libraries of an engine home: real tape drives and media changers
// reached over iSCSI (moxctl init --library; the configuration is in
// engine/config/mox_config.h). What moxctl lists of them, and what a tape
// change on a library home calls: the cartridge pool (the changers' slots
// and barcodes), a cartridge loaded by its barcode into a drive with MOVE
// MEDIUM and unloaded back to its slot, a look at a cartridge's first block
// (blank, or labelled by this engine), and each cartridge's map, which the
// home keeps by barcode.
//
// Every call that reaches a library is bounded by the session's login and
// command timeouts; a library that does not answer is named as unreachable
// and its other units are not tried again in the same call. Results are
// MOX_* codes, with lastError() saying what happened and where.
//
// Setting a library up is library_probe.h, the first block of a cartridge
// first_block.h, the map store cartridge_maps.h.
//
// Not thread-safe: one object, one thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "engine/mox/cartridge_maps.h"
#include "engine/mox/first_block.h"
#include "engine/mox/library_probe.h"
#include "engine/scsi/changer.h"
#include "engine/scsi/drive_activity.h"
#include "engine/scsi/iscsi_transport.h"
#include "engine/scsi/reservation.h"
#include "engine/scsi/tape_drive.h"

namespace mox {

// The key under which the home `home` reserves its drives and changers: of
// this host's name and the home's path, the same for every process of the
// home, another for every other home.
uint64_t homeReservationKey(const std::string& home);

// The name of the cartridge in drive `drive` of a library without a changer
// ("@drive<n>"): no barcode is read there, and the cartridge never leaves
// its drive. The home keeps its map under that name.
std::string driveCartridgeName(int drive);

enum class Place : uint8_t { slot, drive, mailSlot, picker };
const char* placeName(Place place);

// One element of a library's pool: a storage slot (full or empty), or a
// cartridge in a drive, a mail slot or the picker.
struct PoolEntry {
  int library = 0;
  Place place = Place::slot;
  uint16_t element = 0;  // its address in the changer; 0 in a library without one
  bool full = false;
  std::string barcode;    // "" when the cartridge carries none (or nothing reads it)
  int drive = -1;         // the engine's drive, for a drive element of the home
  uint16_t homeSlot = 0;  // a cartridge out of its slot: the slot it came from (0: unknown)
  bool mapped = false;    // the home keeps a map for its barcode
};

// The cartridges that listPool() found in drives: barcode -> the home's
// drive number (-1 for a drive element that is no drive of the home's).
// Cartridges without a barcode are not named.
std::map<std::string, int> cartridgesInDrives(const std::vector<PoolEntry>& pool);

// What a drive is and holds, as the library answers now.
struct DriveReport {
  int drive = 0;
  int library = 0;
  uint16_t lun = 0;
  uint16_t element = 0;
  platform::LibraryUnit seen;  // its identity when the library was set up
  platform::LibraryUnit now;   // as it answers INQUIRY now (when answered)
  bool answered = false;       // the drive answered
  bool loaded = false;         // it holds a cartridge
  std::string barcode;         // the cartridge's, when the changer reads one
  uint16_t homeSlot = 0;       // the slot it came from (0: unknown)
  std::string notReady;        // a drive that answers but is neither loaded nor empty
  std::string problem;         // why nothing is known, or what differs from the setup
};

class TapeLibraries {
 public:
  // The libraries of the home, from its configuration. MOX_OK (none on a
  // file home), or MOX_E_CONFIG for a library key that cannot be read.
  static int load(const std::string& home, const LibraryOptions& options,
                  std::unique_ptr<TapeLibraries>* out);
  ~TapeLibraries();
  TapeLibraries(const TapeLibraries&) = delete;
  TapeLibraries& operator=(const TapeLibraries&) = delete;

  size_t libraryCount() const { return libraries_.size(); }
  const moxcfg::LibraryConfig& config(int library) const;
  int driveCount() const;
  // The library and the entry of drive `drive`, or false.
  bool findDrive(int drive, int* library, moxcfg::LibraryDrive* entry) const;

  // Reads every changer's elements again (logging in when needed). MOX_OK,
  // or MOX_E_IO when a library did not answer (the others are read).
  int refresh();
  // The same for one library (MOX_OK for one without a changer).
  int refresh(int library);
  // Why library `library` could not be reached, or "" when it answered (or
  // was not tried yet).
  const std::string& unreachable(int library) const;
  // The changer of a library, once refresh() read it (nullptr otherwise,
  // and for a library without one).
  const scsi::MediaChanger* changer(int library) const;

  // Every storage slot, and every cartridge in a drive, mail slot or the
  // picker, library by library in element order; in a library without a
  // changer, one entry per drive that holds a cartridge (TEST UNIT READY).
  // MOX_OK, or MOX_E_IO when a library did not answer (the others are
  // listed).
  int listPool(std::vector<PoolEntry>* pool);
  // The drive's identity now and what it holds: from the changer's element
  // status, or from TEST UNIT READY in a library without a changer.
  // MOX_OK; MOX_E_NO_DEVICE for no such drive; MOX_E_IO when its library
  // or the drive did not answer (*report says which).
  int reportDrive(int drive, DriveReport* report);

  // Moves the cartridge `barcode` into drive `drive`: what the drive holds
  // goes back to its slot first (unloaded, then moved), and so does the
  // cartridge when another drive holds it. MOX_OK;
  // MOX_E_NO_DEVICE for no such drive (or one the changer has no element
  // for); MOX_E_NOT_SUPPORTED in a library without a changer; MOX_E_NO_TAPE
  // when the drive's library holds no cartridge `barcode`; MOX_E_IO when
  // the library fails or does not answer.
  // The changer of the drive's library is reserved for the home first (and
  // stays so while this object lives, but for RESERVE(6), let go after the
  // move): MOX_E_BUSY when another initiator holds it.
  int load(const std::string& barcode, int drive);
  // Unloads drive `drive` (LOAD UNLOAD) and moves its cartridge back to
  // the slot it came from, or to the first empty one. MOX_OK also for an
  // empty drive; in a library without a changer only the unload is done.
  int unload(int drive);
  // The barcode of the cartridge in drive `drive` ("" when empty, or no
  // changer reads one). MOX_OK, MOX_E_NO_DEVICE, MOX_E_IO.
  int loadedBarcode(int drive, std::string* barcode);
  // Opens a member on drive `drive` and reads its first block. MOX_OK;
  // MOX_E_NO_TAPE when the drive holds no cartridge; MOX_E_IO.
  int inspect(int drive, Inspection* inspection);

  // A member on drive `drive`, with its own session (not opened), or
  // nullptr for no such drive.
  std::unique_ptr<scsi::TapeDrive> member(int drive) const;
  std::unique_ptr<scsi::TapeDrive> member(int drive, const scsi::TapeDriveOptions& options) const;

  const CartridgeMaps& maps() const { return maps_; }
  const std::string& lastError() const { return error_; }

  // What drive `drive` was doing as this process saw it, one record per
  // drive, shared by every member and command reaching it (the members
  // member() makes, unloads, the changer's loads into it). Null for no such
  // drive.
  std::shared_ptr<scsi::DriveActivity> activity(int drive) const;

 private:
  struct Library;
  // A transport to the drive at `lun` of `library`, its commands counted
  // in the drive's activity.
  std::unique_ptr<scsi::Transport> driveTransport(int library, uint16_t lun) const;
  TapeLibraries(std::string home, LibraryOptions options);
  scsi::IscsiAddress address(int library, uint16_t lun) const;
  // The changer of `library`, read; nullptr (error_ set) when it cannot be.
  scsi::MediaChanger* openChanger(int library);
  // LOAD UNLOAD (unload) to the drive at `lun`: MOX_OK also when it holds
  // nothing.
  int eject(int library, uint16_t lun);
  // Reserves the changer of `library` for the home before it moves a
  // cartridge: MOX_OK (held, or a changer without reservations),
  // MOX_E_BUSY (another initiator holds it), MOX_E_IO.
  int reserveChanger(int library);
  // Lets go of the changers' reservations that would keep others from
  // reading them (RESERVE(6)); persistent ones stay.
  void settleChangers();
  int loadDrive(const std::string& barcode, int drive);
  int unloadDrive(int drive);
  int fail(int code, const std::string& why);

  std::string home_;
  LibraryOptions options_;
  std::vector<std::unique_ptr<Library>> libraries_;
  // Made on first use, also by const calls that make members.
  mutable std::map<int, std::shared_ptr<scsi::DriveActivity>> activity_;
  CartridgeMaps maps_;
  std::string error_;
};

}  // namespace mox
