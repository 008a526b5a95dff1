// Configuration shared by libmox, libvarneld and moxctl: where the engine
// home is, and the RAID devices kept in the registry store below it.
//
// Home: platform::engineHomePath(), the lock file of the library's state
// below it (homeLockPath), and the registry store of the home
// (platform::regLocalMachineRootOf). Each RAID device n is the key
// "<platform::kTapeEngineKey>\\RAID<n>", numbered
// consecutively from 0, with its configuration in the value "Info":
//   level=<0|1|5>\nlink=<n>\nstripe=<n>\ntapesize=<n>\nmembers=<d>,<d>,...\n
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/library_units.h"

namespace moxcfg {

inline constexpr const char* kInfoValue = "Info";
inline constexpr int kMaxRaidDevices = 255;
inline constexpr int kMaxMembers = 32;

struct RaidConfig {
  int level = 0;  // 0, 1 or 5
  int linkPosition = 0;
  int stripeSize = 64;            // KB per strip, informational
  int tapeSize = 0;               // informational
  std::vector<uint16_t> members;  // virtual drive numbers, in order
};

// "<home>/.lock": held while the library's state or configuration changes
// (libmox, moxctl and libvarneld alike).
std::string homeLockPath(const std::string& home);
// "<platform::kTapeEngineKey>\\RAID<n>"
std::string raidKeyPath(int raidNumber);

// Text form of the Info value, and its parse. parseRaidInfo returns false on
// a malformed value (unknown level, bad member list, too many members).
std::string formatRaidInfo(const RaidConfig& config);
bool parseRaidInfo(const std::string& text, RaidConfig* config);

// The fewest drives a RAID device of `level` keeps its promise on: three
// under RAID 5 (two data and parity), two under RAID 1, else one.
inline size_t fewestMembers(int level) { return level == 5 ? 3 : level == 1 ? 2 : 1; }

// What keeps RAID device `raidNumber` from keeping its promise on a library
// of `driveCount` drives, or "" when nothing does: a member that is no drive,
// a drive named twice (a mirror of a drive with itself), RAID 5 over fewer
// than three drives. `complete` also asks for two drives or more under
// RAID 1 (a device being set up member by member may have fewer).
std::string raidLayoutProblem(const RaidConfig& config, int raidNumber, int driveCount,
                              bool complete);
// A drive that serves two RAID devices, named, or "" when none does.
std::string sharedDriveProblem(const std::vector<RaidConfig>& devices);

// Reads RAID devices 0, 1, ... until the first missing key. Returns 0, or a
// registry code when a present key's Info cannot be read or parsed.
int loadRaidDevices(const std::string& home, std::vector<RaidConfig>* devices);
// Reads one RAID device: 0, kRegNotFound, or another registry code.
int loadRaidDevice(const std::string& home, int raidNumber, RaidConfig* config);
// Writes (creating the key when needed) RAID device n's Info value.
int storeRaidDevice(const std::string& home, int raidNumber, const RaidConfig& config);

// ---- Engine settings -------------------------------------------------------
// Kept as values of the tape engine key, one decimal number each:
//   DriveCount, CartridgeCapacity (bytes), StreamLimit, Stopped (0/1),
//   DebugLevel (0..10), BufferPool (buffers per handle), Medium (0/1, a
//   test aid; missing means 0), TapeBlock (bytes; missing means 0).
// A RAID device's compression switch is the value "Compression" (0/1) of its
// RAID<n> key; a missing value means on.
inline constexpr const char* kDriveCountValue = "DriveCount";
inline constexpr const char* kCapacityValue = "CartridgeCapacity";
inline constexpr const char* kStreamLimitValue = "StreamLimit";
inline constexpr const char* kStoppedValue = "Stopped";
inline constexpr const char* kDebugLevelValue = "DebugLevel";
inline constexpr const char* kBufferPoolValue = "BufferPool";
inline constexpr const char* kCompressionValue = "Compression";
// A test aid: the medium the engine uses for its cartridges, 0 (missing)
// the cartridge file, 1 the sequential-only file a tape drive stands for
// (moxctl set medium).
inline constexpr const char* kMediumValue = "Medium";
inline constexpr int kMediumFile = 0;
inline constexpr int kMediumSequential = 1;
// A library home: the tape block size new cartridges get in their label,
// the records packed whole into blocks of that size (moxctl set
// tape-block); missing or 0, one record per block. From the room of the
// largest record with its framing up to what a READ(6) asks for twice.
inline constexpr const char* kTapeBlockValue = "TapeBlock";
inline constexpr uint64_t kMinTapeBlock = 72ull << 10;
inline constexpr uint64_t kMaxTapeBlock = 8ull << 20;

inline constexpr int kDefaultDriveCount = 4;
inline constexpr int kMaxDrives = 64;
inline constexpr uint64_t kDefaultCapacity = 8ull << 30;  // 8 GiB per cartridge
inline constexpr uint64_t kMinCapacity = 1ull << 20;      // 1 MiB
inline constexpr int kDefaultStreamLimit = 256;
inline constexpr int kMaxStreamLimit = 4096;
inline constexpr int kDefaultBufferPool = 64;
inline constexpr int kDefaultCartridgeCount = 16;

struct EngineSettings {
  int driveCount = kDefaultDriveCount;
  uint64_t cartridgeCapacity = kDefaultCapacity;
  int streamLimit = kDefaultStreamLimit;
  bool stopped = false;
  int debugLevel = 0;
  int bufferPool = kDefaultBufferPool;
  int medium = kMediumFile;
  uint32_t tapeBlock = 0;  // library homes: 0, or kMinTapeBlock..kMaxTapeBlock
};

// "<home>/.provisioning": present from the moment a library starts to be
// made in the home (or remade by moxctl init --force) until it is whole.
std::string provisioningMarkPath(const std::string& home);
// True while the home holds the mark: a library being made, or one whose
// making was cut short (a half-made home, which only moxctl init --force
// makes whole; nothing completes it with defaults).
bool homeHalfMade(const std::string& home);
// True once the home holds a provisioned library: the DriveCount value,
// written last (present, even when it cannot be read), and no provisioning
// mark.
bool engineProvisioned(const std::string& home);
// Reads the settings; missing values keep their defaults. Returns 0 or a
// registry code (kRegNotFound when the tape engine key is missing; the code
// of the read when a value is there but cannot be read).
int loadEngineSettings(const std::string& home, EngineSettings* settings);
// Writes every setting.
int storeEngineSettings(const std::string& home, const EngineSettings& settings);
// Writes one named setting (one of the k*Value names above) as a number.
int storeEngineValue(const std::string& home, const char* name, uint64_t value);

// Compression switch of RAID device n (true when the value is missing).
// Returns 0 or the registry code of a value that cannot be read.
int loadRaidCompression(const std::string& home, int raidNumber, bool* on);
int storeRaidCompression(const std::string& home, int raidNumber, bool on);

// How virtual drive i presents itself on the engine's virtual SCSI bus.
struct DriveInfo {
  uint16_t board = 0;
  uint8_t bus = 0;
  uint8_t target = 0;
  uint8_t lun = 0;
  std::string inquiry;  // vendor (8), product (16), revision (4)
};
DriveInfo describeDrive(int drive);

// ---- Tape libraries ----------------------------------------------------------
// A home whose drives are real tape drives of one or more libraries reached
// over iSCSI (moxctl init --library). Library k is the key
// platform::libraryKeyPath(k) ("<kTapeEngineKey>\\Library<k>"), k = 0, 1, ...
// in the order the libraries were given, with the values:
//   Target   iscsi://HOST:PORT/TARGET-IQN
//   Units    every logical unit as it answered at init (platform/library_units.h)
//   Drives   one line per tape drive, in LUN order: "DRIVE LUN ELEMENT": the
//            engine's drive number (numbered on across libraries), the LUN,
//            and the changer's data transfer element of the drive (0: none)
//   Changer  the changer's LUN, or "none"
//   Pool     "slots": the changer's storage slots are the cartridge pool;
//            "loaded": there is no changer, and the cartridges loaded in the
//            drives are all there is
// A file home has no library key; its keys and values are the ones above.
inline constexpr const char* kLibraryTargetValue = "Target";
inline constexpr const char* kLibraryDrivesValue = "Drives";
inline constexpr const char* kLibraryChangerValue = "Changer";
inline constexpr const char* kLibraryPoolValue = "Pool";

// The highest LUN a drive can have: the device listings carry it in a byte.
inline constexpr int kMaxDriveLun = 255;

struct LibraryDrive {
  int drive = 0;         // the engine's drive number
  uint16_t lun = 0;      // its LUN on the target
  uint16_t element = 0;  // its data transfer element in the changer; 0: none
};

struct LibraryConfig {
  std::string target;  // iscsi://HOST:PORT/TARGET-IQN
  std::vector<platform::LibraryUnit> units;
  std::vector<LibraryDrive> drives;
  int changerLun = -1;  // -1: no changer (the pool is the loaded cartridges)

  bool hasChanger() const { return changerLun >= 0; }
  // The unit at `lun`, or nullptr.
  const platform::LibraryUnit* unit(uint16_t lun) const;
};

// The values of a library key as text, and back. parseLibrary returns false
// for missing or malformed values, a drive or changer LUN that is no unit
// of that type, and a Pool that says otherwise than Changer.
struct LibraryValues {
  std::string target, units, drives, changer, pool;
};
LibraryValues formatLibrary(const LibraryConfig& config);
bool parseLibrary(const LibraryValues& values, LibraryConfig* config);

// Why the libraries cannot be a home's drives, or "": drives not numbered
// 0, 1, ... in order across the libraries, none at all, more than
// kMaxDrives, or a target named twice.
std::string librariesProblem(const std::vector<LibraryConfig>& libraries);

// Reads libraries 0, 1, ... until the first missing key (none: a file
// home). Returns 0, or a registry code when a present key cannot be read or
// parsed.
int loadLibraries(const std::string& home, std::vector<LibraryConfig>* libraries);
// Writes library k's key and values.
int storeLibrary(const std::string& home, int library, const LibraryConfig& config);
// True when the home has a library key.
bool isLibraryHome(const std::string& home);

// How drive i presents itself: on a library home, the engine's numbering
// (board, bus, target) with the drive's LUN and its INQUIRY identity as it
// answered at init; on a file home (or a drive no library holds), the same
// as describeDrive(drive).
DriveInfo describeDrive(const std::string& home, int drive);
DriveInfo describeDrive(const std::vector<LibraryConfig>& libraries, int drive);

}  // namespace moxcfg
