#include "engine/mox/library_media.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <limits>
#include <map>
#include <mutex>

#include "engine/config/mox_config.h"
#include "engine/mox/cartridge_map.h"
#include "engine/mox/mox.h"
#include "engine/mox/record_reader.h"
#include "engine/mox/stripe.h"
#include "engine/mox/tape_library.h"
#include "engine/mox/tape_medium.h"
#include "platform/file_util.h"

namespace mox {
namespace {

// A drive reached by a medium: held against other processes by a lock in
// the home (<home>/locks/drive<n>.lock), and against other homes and hosts
// by a reservation of the drive where it has them, for as long as the
// medium lives, or until a tape change of this process lets it go.
struct DriveHold {
  std::mutex mutex;
  std::unique_ptr<platform::FileLock> lock;
  std::unique_ptr<scsi::Reservation> reservation;  // on the medium's own session

  void letGo() {
    std::lock_guard<std::mutex> guard(mutex);
    if (reservation) reservation->release();
    reservation.reset();
    lock.reset();
  }
};

std::string driveLockPath(const std::string& home, int drive) {
  platform::makeDirectories(home + "/locks", /*durable=*/false);
  return home + "/locks/drive" + std::to_string(drive) + ".lock";
}

// What the engine of one process knows of a home's libraries: the sessions
// to them and which medium reaches each drive.
struct LibraryState {
  std::mutex mutex;
  std::unique_ptr<TapeLibraries> libraries;
  std::string error;
  // The failure noteTapeFailure keeps (its own lock: media tell it while
  // the state's mutex may be held).
  std::mutex failureMutex;
  std::string failure;
  // drive -> the hold of the medium reaching it.
  std::map<int, std::weak_ptr<DriveHold>> reached;
};

LibraryState& stateOf(const std::string& home) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<LibraryState>> states;
  std::lock_guard<std::mutex> guard(mutex);
  auto& state = states[home];
  if (!state) state = std::make_unique<LibraryState>();
  return *state;
}

// The room of one read: the largest record the engine writes, a parity
// record of the widest group, and no more.
constexpr uint32_t kTapeRecordRoom = 68u << 10;
static_assert(kTapeRecordRoom >= kHeaderSize + size_t{4} * moxcfg::kMaxMembers + kParityWidth);

// The options of the engine's own sessions: as moxctl's, under its own
// initiator name.
LibraryOptions engineLibraryOptions() {
  LibraryOptions options = adminLibraryOptions();
  options.iscsi.initiator = "iqn.2008-11.invalid.zephlorn:engine";
  // A record of the engine is one tape block: room for the largest one (a
  // whole block, its header and a parity record's unit table), and no
  // more, since a drive may move what is asked for whatever the block
  // holds (tgt moves twice the room for every block it reads). A cartridge
  // whose label packs records into larger blocks widens it for itself.
  options.drive.recordCap = kTapeRecordRoom;
  return options;
}

// The state's libraries, loaded at the first call. Called with the mutex.
TapeLibraries* librariesOf(LibraryState& state, const std::string& home) {
  if (!state.libraries) {
    std::unique_ptr<TapeLibraries> loaded;
    if (TapeLibraries::load(home, engineLibraryOptions(), &loaded) != MOX_OK) {
      state.error = loaded ? loaded->lastError() : "the libraries cannot be read";
      return nullptr;
    }
    state.libraries = std::move(loaded);
  }
  return state.libraries.get();
}

// The barcode of the cartridge at "<home>/media/<barcode>.tap".
std::string barcodeOf(const std::string& path) {
  std::string name = path.substr(path.rfind('/') + 1);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tap") == 0)
    name.resize(name.size() - 4);
  return name;
}

// The map the home keeps for `barcode`; false when it keeps none (or one
// that does not decode).
bool keptMapOf(const CartridgeMaps& maps, const std::string& barcode, CartridgeMap* map) {
  std::string bytes;
  FileStamp stamp;
  return maps.load(barcode, &bytes) == MOX_OK && decodeCartridgeMap(bytes, &stamp, map);
}

void keepMapOf(const CartridgeMaps& maps, const std::string& barcode, const CartridgeMap& map) {
  // A map that is not worth keeping (damage, a torn tail) is dropped: the
  // tape is read from the front at its next mount.
  if (cartridgeMapCacheable(map)) {
    // No file stands behind a tape: the stamp holds only the size of the
    // data, as the map's own check of itself wants.
    FileStamp stamp;
    stamp.size = map.fileSize;
    maps.store(barcode, encodeCartridgeMap(stamp, map));
  } else {
    maps.remove(barcode);
  }
}

// The tape in a drive, with the map the home keeps for it.
class LibraryTape final : public TapeMedium {
 public:
  LibraryTape(std::unique_ptr<scsi::TapeDrive> drive, int driveNumber, const std::string& path,
              const std::string& home, std::shared_ptr<DriveHold> token, uint32_t tapeBlock)
      : TapeMedium(std::move(drive), path),
        tapeBlock_(tapeBlock),
        driveNumber_(driveNumber),
        home_(home),
        barcode_(barcodeOf(path)),
        maps_(home),
        token_(std::move(token)) {}
  // The reservation goes while the drive's session is still there.
  ~LibraryTape() override { token_->letGo(); }

  bool keptMap(CartridgeMap* map) const override {
    CartridgeMap kept;
    if (!keptMapOf(maps_, barcode_, &kept)) return false;
    auto* self = const_cast<LibraryTape*>(this);
    Look look = tapeHolds(kept);
    if (look == Look::kTailFollows) {
      // Records follow the sessions the home kept: a session that never
      // ended. The tape is read to learn them; when that read fails, the
      // kept sessions stand and what follows them is a tail of unknown
      // records, which the next writer cuts (a tape is cut where it is
      // written).
      CartridgeMap scanned;
      int rc = scanMedium(*self, &scanned);
      if (rc == MOX_OK) {
        *map = scanned;
        self->seedLayout(scanned);
        return true;
      }
      if (rc == MOX_E_IO && self->rewind() == MOX_OK) {
        debugLog(home_, 1, "%s: records past session %u cannot be read: cut on next write",
                 barcode_.c_str(), kept.sessions.empty() ? 0 : kept.sessions.back().session);
        self->seedLayout(kept);
        *map = kept;
        map->tornTail = true;
        map->tornOffset = kept.appendOffset;
        map->tornReason = "records after the last session cannot be read";
        map->fileSize = kept.appendOffset + 1;  // at least one byte follows
        return true;
      }
    }
    if (look != Look::kHolds) {
      maps_.remove(barcode_);
      return false;
    }
    *map = kept;
    self->seedLayout(kept);
    return true;
  }
  void keepMap(const CartridgeMap& map) override { keepMapOf(maps_, barcode_, map); }
  void forgetMap() override { maps_.remove(barcode_); }
  bool pastEarlyWarning() const override { return earlyWarning(); }

  int writeLabel(const Label& label) override {
    // A tape labelled by this engine for another set, of which the home
    // keeps no map, holds someone's sessions: never written over (a member
    // of the same set is, when it is rebuilt). One that holds its label
    // alone holds no session (a tape change cut before its session went
    // on): it is a blank.
    CartridgeMap kept;
    if (!keptMapOf(maps_, barcode_, &kept)) {
      Inspection inspection;
      if (inspectFirstBlock(&drive(), &inspection) != MOX_OK || rewind() != MOX_OK) {
        return failed("its first block cannot be read");
      }
      if (inspection.content == Content::engine && inspection.label.setId != label.setId &&
          !inspection.labelOnly) {
        debugLog(home_, 1, "%s: labelled by this engine and unknown to the home: not written over",
                 barcode_.c_str());
        return MOX_E_MEDIA;
      }
    }
    // A cartridge labelled now gets the home's tape block size; one
    // labelled before keeps its own, which its label gives the readers.
    Label labelled = label;
    labelled.tapeBlock = tapeBlock_;
    int rc = TapeMedium::writeLabel(labelled);
    if (rc != MOX_OK) return failed("the label cannot be written");
    keepMap(CartridgeMap::labelled(labelled));
    return MOX_OK;
  }

 private:
  // The tape holds what `kept` says, as far as a look without reading it
  // whole tells: the label of its set and member first, one tape mark per
  // session, and nothing after the last one.
  enum class Look { kHolds, kTailFollows, kDiffers };
  Look tapeHolds(const CartridgeMap& kept) const {
    auto* self = const_cast<LibraryTape*>(this);
    scsi::TapeDrive& d = self->drive();
    if (self->rewind() != MOX_OK) return Look::kDiffers;
    std::vector<uint8_t> block(d.options().recordCap);
    uint32_t length = 0;
    Label label;
    scsi::Outcome first = d.readRecord(block.data(), static_cast<uint32_t>(block.size()), &length);
    bool holds = first == scsi::Outcome::done && isLabelRecord(block.data(), length, &label) &&
                 label.setId == kept.label.setId && label.memberIndex == kept.label.memberIndex;
    if (holds && !kept.sessions.empty()) {
      holds = d.spaceFilemarks(static_cast<int32_t>(kept.sessions.size())) == scsi::Outcome::done;
    }
    scsi::Outcome last = scsi::Outcome::endOfData;
    if (holds) last = d.readRecord(block.data(), static_cast<uint32_t>(block.size()), &length);
    debugLog(home_, 3, "%s: mount check: first block %s, after the last tape mark %s",
             barcode_.c_str(), scsi::outcomeName(first), scsi::outcomeName(last));
    if (self->rewind() != MOX_OK) return Look::kDiffers;
    if (!holds) {
      debugLog(home_, 2, "%s: the tape does not hold the map the home kept (%s)", barcode_.c_str(),
               d.lastError().c_str());
      return Look::kDiffers;
    }
    return last == scsi::Outcome::endOfData ? Look::kHolds : Look::kTailFollows;
  }

  int failed(const char* what) {
    noteTapeFailure(home_, named() + what + ": " + driveError());
    return MOX_E_IO;
  }

  void failed() override { noteTapeFailure(home_, named() + driveError()); }
  void recovered(uint64_t address) override {
    debugLog(home_, 1, "%slogged in again and reconciled: reading goes on at %llu", named().c_str(),
             static_cast<unsigned long long>(address));
  }

  // "drive 1 (T00002): "
  std::string named() const {
    return "drive " + std::to_string(driveNumber_) + " (" + barcode_ + "): ";
  }

  uint32_t tapeBlock_;  // the home's, for the cartridges it labels
  int driveNumber_;
  std::string home_;
  std::string barcode_;
  CartridgeMaps maps_;
  std::shared_ptr<DriveHold> token_;  // the drive is this medium's while it lives
};

// A cartridge in its slot (or in a drive another medium reaches): its kept
// map, and nothing to read or write.
class ShelvedTape final : public Medium {
 public:
  ShelvedTape(std::string path, CartridgeMaps maps)
      : path_(std::move(path)), barcode_(barcodeOf(path_)), maps_(std::move(maps)) {}

  MediumTraits traits() const override {
    MediumTraits traits;
    traits.slowToMove = true;
    return traits;
  }
  const std::string& path() const override { return path_; }
  int rewind() override { return unreachable(); }
  int spaceTapeMarks(uint32_t) override { return unreachable(); }
  int spaceToEndOfData() override { return unreachable(); }
  uint64_t position() const override { return 0; }
  int readNext(const ReadWant&, MediumItem*) override { return unreachable(); }
  int dataEnd(uint64_t* address) override {
    CartridgeMap kept;
    if (!keptMapOf(maps_, barcode_, &kept)) return unreachable();
    *address = kept.fileSize;
    return MOX_OK;
  }
  int writeLabel(const Label&) override { return MOX_E_IO; }
  int writeRecord(uint64_t, const RecordHeader&, const void*, bool, uint64_t*) override {
    return MOX_E_IO;
  }
  int writeImage(uint64_t, const uint8_t*, uint32_t, uint64_t*) override { return MOX_E_IO; }
  int writeTapeMark(uint64_t) override { return MOX_E_IO; }
  int sync() override { return MOX_E_IO; }
  int cut(uint64_t) override { return MOX_E_IO; }
  bool keptMap(CartridgeMap* map) const override { return keptMapOf(maps_, barcode_, map); }
  void keepMap(const CartridgeMap& map) override { keepMapOf(maps_, barcode_, map); }
  void forgetMap() override { maps_.remove(barcode_); }
  uint64_t readFailures() const override { return failures_.load(); }

 private:
  int unreachable() const {
    failures_.fetch_add(1);
    return MOX_E_IO;
  }

  std::string path_;
  std::string barcode_;
  CartridgeMaps maps_;
  mutable std::atomic<uint64_t> failures_{0};
};

// True when the home loaded `barcode` into drive `drive`: its drive file
// names it, or an unfinished tape change of the home does and the home
// keeps the cartridge's map (a change cut short after its move). A blank
// of such a change is named by its drive file once the mount loads it
// there again.
bool homeLoaded(const Home& home, int drive, const std::string& barcode) {
  std::string named;
  home.readDriveCartridge(drive, &named);
  if (named == barcode) return true;
  CartridgeMap kept;
  return home.driveCartridge(drive) == barcode &&
         keptMapOf(CartridgeMaps(home.path()), barcode, &kept);
}

// What the changers answer, against what the home knows, before the home
// moves, rewinds or writes the tape in drive `drive` (and loads `barcode`
// there, when not empty). MOX_OK when neither the drive nor the cartridge
// is in another's hands: the drive is empty or holds what the home loaded
// there, and the cartridge is in a slot, in that drive, or in a drive the
// home loaded it into. MOX_E_BUSY otherwise, nothing touched, with one line
// naming the drive and the barcode (state.error, the log and the console).
// MOX_E_IO when the drive's changer does not answer. *pool gets what the
// changers answered (nullptr: not kept). Called with the state's mutex.
int guardDrive(const Home& home, LibraryState& state, TapeLibraries* libraries, int drive,
               const std::string& barcode, std::vector<PoolEntry>* pool) {
  int library = 0;
  moxcfg::LibraryDrive entry;
  if (!libraries->findDrive(drive, &library, &entry) || !libraries->config(library).hasChanger()) {
    return MOX_OK;  // no changer: nothing moves, and nothing names what is loaded
  }
  std::vector<PoolEntry> own;
  if (pool == nullptr) pool = &own;
  // Another library that does not answer stops nothing here; the drive's
  // own must have answered (its slots are listed).
  int listed = libraries->listPool(pool);
  if (listed != MOX_OK && std::none_of(pool->begin(), pool->end(),
                                       [&](const PoolEntry& p) { return p.library == library; })) {
    state.error = "drive " + std::to_string(drive) + ": " + libraries->lastError();
    debugLog(home.path(), 1, "%s", state.error.c_str());
    return MOX_E_IO;
  }
  for (const auto& [held, in] : cartridgesInDrives(*pool)) {
    bool here = in == drive;
    if (!here && held != barcode) continue;
    if (in >= 0 && homeLoaded(home, in, held)) continue;
    state.error = (in >= 0 ? "drive " + std::to_string(in) : "a drive this home does not use") +
                  " holds " + held +
                  ", which this home did not load: another home or host may be "
                  "using it" +
                  (here ? "" : " (wanted in drive " + std::to_string(drive) + ")");
    noteTapeFailure(home.path(), state.error);
    return MOX_E_BUSY;
  }
  return MOX_OK;
}

}  // namespace

bool libraryHome(const Home& home) {
  static std::mutex mutex;
  static std::map<std::string, bool> known;
  std::lock_guard<std::mutex> guard(mutex);
  auto it = known.find(home.path());
  if (it != known.end()) return it->second;
  bool library = moxcfg::isLibraryHome(home.path());
  // Only a library home is known for good: a file home may be made into
  // one (moxctl init --force --library) by the next command.
  if (library) known[home.path()] = true;
  return library;
}

int libraryPool(const Home& home, std::vector<std::string>* barcodes) {
  barcodes->clear();
  LibraryState& state = stateOf(home.path());
  std::lock_guard<std::mutex> guard(state.mutex);
  TapeLibraries* libraries = librariesOf(state, home.path());
  if (libraries == nullptr) return MOX_E_IO;
  std::vector<PoolEntry> pool;
  int rc = libraries->listPool(&pool);
  if (rc != MOX_OK) {
    state.error = libraries->lastError();
    noteTapeFailure(home.path(), state.error);
  }
  for (const PoolEntry& entry : pool) {
    if (entry.full && !entry.barcode.empty()) barcodes->push_back(entry.barcode);
    if (entry.full && entry.barcode.empty() && entry.place == Place::drive && entry.drive >= 0 &&
        !libraries->config(entry.library).hasChanger()) {
      barcodes->push_back(driveCartridgeName(entry.drive));
    }
  }
  std::sort(barcodes->begin(), barcodes->end());
  barcodes->erase(std::unique(barcodes->begin(), barcodes->end()), barcodes->end());
  return rc;
}

int moveLibraryTapes(const Home& home, const std::vector<std::pair<int, std::string>>& loads) {
  LibraryState& state = stateOf(home.path());
  std::lock_guard<std::mutex> guard(state.mutex);
  TapeLibraries* libraries = librariesOf(state, home.path());
  if (libraries == nullptr) return MOX_E_IO;
  for (const auto& [drive, barcode] : loads) {
    // A medium that reached the drive reaches it no more: its next command
    // meets the change (a unit attention) and fails. A drive another
    // process reaches is not changed under it.
    auto reached = state.reached.find(drive);
    if (reached != state.reached.end()) {
      if (auto hold = reached->second.lock()) hold->letGo();
      state.reached.erase(reached);
    }
    platform::FileLock inUse(driveLockPath(home.path(), drive), platform::LockWait::kTry);
    if (!inUse.held()) {
      state.error = "drive " + std::to_string(drive) + " is in use by another process";
      return MOX_E_BUSY;
    }
    int rc = MOX_OK;
    int library = 0;
    moxcfg::LibraryDrive entry;
    bool changer =
        libraries->findDrive(drive, &library, &entry) && libraries->config(library).hasChanger();
    if (!changer) {
      // Without a changer the cartridge stays in its drive: the home only
      // names it there, or not.
      if (barcode.empty() || barcode == driveCartridgeName(drive)) continue;
      state.error = "drive " + std::to_string(drive) + " has no changer to load " + barcode;
      return MOX_E_NOT_SUPPORTED;
    }
    std::vector<PoolEntry> pool;
    rc = guardDrive(home, state, libraries, drive, barcode, &pool);
    if (rc != MOX_OK) return rc;
    std::string from;
    for (const PoolEntry& p : pool) {
      if (p.full && !barcode.empty() && p.barcode == barcode) {
        from = std::string(placeName(p.place)) + " " + std::to_string(p.element);
      }
    }
    if (!barcode.empty() && from.empty() && !pool.empty()) {
      state.error =
          barcode + ", wanted in drive " + std::to_string(drive) + ", is missing from the library";
      noteTapeFailure(home.path(), state.error);
      return MOX_E_NO_TAPE;
    }
    if (barcode.empty()) {
      rc = libraries->unload(drive);
    } else {
      rc = libraries->load(barcode, drive);
    }
    if (rc != MOX_OK) {
      state.error = libraries->lastError();
      noteTapeFailure(home.path(), state.error);
      return rc;
    }
    if (barcode.empty()) {
      debugLog(home.path(), 2, "drive %d unloaded", drive);
    } else {
      debugLog(home.path(), 2, "%s loaded into drive %d from %s", barcode.c_str(), drive,
               from.c_str());
    }
  }
  return MOX_OK;
}

std::unique_ptr<Medium> openLibraryMedium(const Home& home, const std::string& path, int* rc) {
  *rc = MOX_OK;
  std::string barcode = barcodeOf(path);
  if (!CartridgeMaps::validBarcode(barcode)) {
    *rc = MOX_E_MEDIA;
    return nullptr;
  }
  CartridgeMaps maps(home.path());
  int drive = -1;
  for (int d = 0; d < home.settings().driveCount && drive < 0; ++d) {
    if (home.driveCartridge(d) == barcode) drive = d;
  }
  LibraryState& state = stateOf(home.path());
  std::lock_guard<std::mutex> guard(state.mutex);
  auto reached = state.reached.find(drive);
  if (drive < 0 || (reached != state.reached.end() && !reached->second.expired())) {
    return std::make_unique<ShelvedTape>(path, maps);
  }
  auto hold = std::make_shared<DriveHold>();
  hold->lock = std::make_unique<platform::FileLock>(driveLockPath(home.path(), drive),
                                                    platform::LockWait::kTry);
  if (!hold->lock->held()) {
    // Another process reads or writes the tape: this one knows it by its map.
    debugLog(home.path(), 2, "drive %d (%s) is in use by another process", drive, barcode.c_str());
    return std::make_unique<ShelvedTape>(path, maps);
  }
  TapeLibraries* libraries = librariesOf(state, home.path());
  std::unique_ptr<scsi::TapeDrive> member = libraries ? libraries->member(drive) : nullptr;
  if (member == nullptr) {
    *rc = MOX_E_IO;
    return nullptr;
  }
  // The changer is the truth: a drive holding what another home or host
  // loaded is never touched, and the cartridge the home loaded is found
  // wherever it is now.
  std::vector<PoolEntry> pool;
  int guarded = guardDrive(home, state, libraries, drive, barcode, &pool);
  if (guarded != MOX_OK) {
    *rc = guarded;
    return nullptr;
  }
  std::string reservationName = "drive " + std::to_string(drive);
  hold->reservation = std::make_unique<scsi::Reservation>(&member->device(), reservationName,
                                                          homeReservationKey(home.path()));
  if (scsi::Outcome taken = hold->reservation->take(); taken != scsi::Outcome::done) {
    state.error = hold->reservation->lastError();
    if (taken == scsi::Outcome::reserved) {
      noteTapeFailure(home.path(), state.error);
    } else {
      debugLog(home.path(), 1, "%s", state.error.c_str());
    }
    hold->reservation.reset();
    *rc = taken == scsi::Outcome::reserved ? MOX_E_BUSY : MOX_E_IO;
    return nullptr;
  }
  debugLog(home.path(), 3, "drive %d: %s", drive,
           scsi::reservationKindName(hold->reservation->kind()));
  const PoolEntry* where = nullptr;
  for (const PoolEntry& p : pool) {
    if (p.full && p.barcode == barcode) where = &p;
  }
  int library = 0;
  moxcfg::LibraryDrive entry;
  bool changer =
      libraries->findDrive(drive, &library, &entry) && libraries->config(library).hasChanger();
  if (changer && where == nullptr) {
    state.error = barcode + ", which this home loaded into drive " + std::to_string(drive) +
                  ", is missing from the library";
    noteTapeFailure(home.path(), state.error);
    hold->letGo();
    *rc = MOX_E_NO_TAPE;
    return nullptr;
  }
  if (changer && (where->place != Place::drive || where->drive != drive)) {
    // The library lost its state (a restart puts every cartridge back in
    // its slot), or the cartridge was moved by hand: it is loaded again
    // from wherever it is.
    std::string from = std::string(placeName(where->place)) + " " + std::to_string(where->element);
    if (libraries->load(barcode, drive) != MOX_OK) {
      state.error = "drive " + std::to_string(drive) + " (" + barcode + ", found in " + from +
                    "): " + libraries->lastError();
      noteTapeFailure(home.path(), state.error);
      hold->letGo();
      *rc = MOX_E_IO;
      return nullptr;
    }
    // The drive holds what an unfinished tape change of the home put there:
    // its file says so now, for every process (a drive file never names
    // what its drive may not hold, and this one does hold it).
    std::string named;
    if (home.readDriveCartridge(drive, &named) == 0 && named != barcode) {
      home.setDriveCartridge(drive, barcode);
    }
    debugLog(home.path(), 0, "%s was in %s, not in drive %d where this home loaded it: moved back",
             barcode.c_str(), from.c_str(), drive);
  }
  scsi::Outcome opened = member->open();
  if (opened != scsi::Outcome::done) {
    hold->letGo();
    if (opened == scsi::Outcome::reserved) {
      state.error = "drive " + std::to_string(drive) + " (" + barcode + "): " + member->lastError();
      noteTapeFailure(home.path(), state.error);
      *rc = MOX_E_BUSY;
      return nullptr;
    }
    state.error = "drive " + std::to_string(drive) + " (" + barcode + "): " + member->lastError();
    noteTapeFailure(home.path(), state.error);
    *rc = MOX_E_IO;
    return nullptr;
  }
  state.reached[drive] = hold;
  moxcfg::EngineSettings settings;
  moxcfg::loadEngineSettings(home.path(), &settings);
  return std::make_unique<LibraryTape>(std::move(member), drive, path, home.path(), hold,
                                       settings.tapeBlock);
}

int attachLibrarySet(Home& home, const std::vector<uint16_t>& drives, CartSet* set) {
  std::vector<std::pair<uint16_t, std::string>> loads;
  bool change = false;
  for (size_t i = 0; i < set->names.size() && i < drives.size(); ++i) {
    if (set->names[i].empty()) continue;
    loads.emplace_back(drives[i], set->names[i]);
    change = change || home.driveCartridge(drives[i]) != set->names[i];
  }
  if (change) {
    HomeLock lock(home.path());
    int rc = home.setDriveCartridges(loads);
    if (rc != MOX_OK) return rc;
  }
  for (size_t i = 0; i < set->names.size(); ++i) {
    if (set->failed[i] || dynamic_cast<LibraryTape*>(set->media[i].get()) != nullptr) continue;
    int rc = MOX_OK;
    auto medium = openMedium(home, home.cartridgePath(set->names[i]), false, &rc);
    CartridgeMap map;
    if (medium && dynamic_cast<LibraryTape*>(medium.get()) != nullptr &&
        mountMedium(*medium, &map) == MOX_OK && !map.blank &&
        map.label.setId == set->maps[i].label.setId &&
        map.sessions.size() >= set->maps[i].sessions.size()) {
      set->media[i] = std::move(medium);
      continue;
    }
    set->failed[i] = true;
    set->problems[i].push_back({0, "the tape in its drive does not hold what the home kept"});
  }
  return MOX_OK;
}

bool libraryChangesTapes(const Home& home, const std::vector<uint16_t>& drives) {
  LibraryState& state = stateOf(home.path());
  std::lock_guard<std::mutex> guard(state.mutex);
  TapeLibraries* libraries = librariesOf(state, home.path());
  for (uint16_t d : drives) {
    int library = 0;
    moxcfg::LibraryDrive entry;
    if (libraries == nullptr || !libraries->findDrive(d, &library, &entry) ||
        !libraries->config(library).hasChanger() || entry.element == 0) {
      return false;
    }
  }
  return true;
}

bool libraryDriveInUse(const Home& home, int drive) {
  return platform::lockHeld(driveLockPath(home.path(), drive));
}

bool libraryDriveActivity(const Home& home, const std::vector<uint16_t>& drives, bool restart,
                          std::vector<DriveActivityReport>* out) {
  out->clear();
  if (!libraryHome(home)) return false;
  LibraryState& state = stateOf(home.path());
  std::lock_guard<std::mutex> guard(state.mutex);
  TapeLibraries* libraries = librariesOf(state, home.path());
  if (libraries == nullptr) return false;
  for (uint16_t drive : drives) {
    std::shared_ptr<scsi::DriveActivity> activity = libraries->activity(drive);
    if (!activity) continue;
    DriveActivityReport r;
    r.drive = drive;
    int library = 0;
    moxcfg::LibraryDrive entry;
    if (libraries->findDrive(drive, &library, &entry)) {
      if (const platform::LibraryUnit* u = libraries->config(library).unit(entry.lun)) r.unit = *u;
    }
    r.barcode = home.driveCartridge(drive);
    r.activity = activity->snapshot();
    if (restart) activity->restart();
    out->push_back(std::move(r));
  }
  return true;
}

bool inDrive(const Medium& medium) { return dynamic_cast<const LibraryTape*>(&medium) != nullptr; }

DriveCountersRecord countersRecord(const DriveCountersReport& report, uint16_t member) {
  DriveCountersRecord d{};
  d.drive = static_cast<uint16_t>(report.drive);
  d.member = member;
  if (!report.read) return d;
  const scsi::DriveCounters& c = report.change;
  d.present = MOX_COUNTERS_READ | (report.listed ? MOX_COUNTERS_LOG_PAGES : 0u);
  // A value beyond its field (a ratio past 32 bits) is cut to the field's
  // largest.
  auto take = [&d]<typename T>(const scsi::Counter& counter, uint32_t bit, T* field) {
    if (!counter.present) return;
    d.present |= bit;
    *field = static_cast<T>(std::min<uint64_t>(counter.value, std::numeric_limits<T>::max()));
  };
  take(c.writeErrors[scsi::kCorrected], MOX_COUNTERS_WRITE_CORRECTED, &d.writeCorrected);
  take(c.writeErrors[scsi::kUncorrected], MOX_COUNTERS_WRITE_UNCORRECTED, &d.writeUncorrected);
  take(c.readErrors[scsi::kCorrected], MOX_COUNTERS_READ_CORRECTED, &d.readCorrected);
  take(c.readErrors[scsi::kUncorrected], MOX_COUNTERS_READ_UNCORRECTED, &d.readUncorrected);
  take(c.sequential[scsi::kBytesFromInitiator], MOX_COUNTERS_BYTES_FROM_HOST, &d.bytesFromHost);
  take(c.sequential[scsi::kBytesToMedium], MOX_COUNTERS_BYTES_TO_MEDIUM, &d.bytesToMedium);
  take(c.sequential[scsi::kBytesFromMedium], MOX_COUNTERS_BYTES_FROM_MEDIUM, &d.bytesFromMedium);
  take(c.sequential[scsi::kBytesToInitiator], MOX_COUNTERS_BYTES_TO_HOST, &d.bytesToHost);
  take(c.compression[scsi::kWriteRatio], MOX_COUNTERS_WRITE_RATIO, &d.writeRatio);
  take(c.compression[scsi::kReadRatio], MOX_COUNTERS_READ_RATIO, &d.readRatio);
  if (c.tapeAlert.present) {
    d.present |= MOX_COUNTERS_TAPE_ALERT;
    d.tapeAlert = c.tapeAlert.flags;
  }
  if (c.compressionMode.present) {
    d.present |= MOX_COUNTERS_COMPRESSION;
    d.compression = static_cast<uint8_t>((c.compressionMode.compress ? MOX_COMPRESSION_DCE : 0u) |
                                         (c.compressionMode.decompress ? MOX_COMPRESSION_DDE : 0u) |
                                         (c.compressionMode.capable ? MOX_COMPRESSION_DCC : 0u));
  }
  return d;
}

int readMediumCounters(Medium& medium, scsi::DriveCounters* out, std::string* error) {
  *out = scsi::DriveCounters{};
  auto* tape = dynamic_cast<LibraryTape*>(&medium);
  if (tape == nullptr) return MOX_E_NOT_SUPPORTED;
  if (tape->drive().readCounters(out) == scsi::Outcome::done) return MOX_OK;
  *error = tape->driveError();
  return MOX_E_IO;
}

bool keptLibraryMap(const Home& home, const std::string& barcode, CartridgeMap* map) {
  return keptMapOf(CartridgeMaps(home.path()), barcode, map);
}

namespace {

// Calls `visit` with the kept map of each of the home's cartridges that
// belongs to a set of `level` over `members` members.
template <typename Visit>
void forEachKeptSetMap(const Home& home, uint8_t level, size_t members, Visit visit) {
  CartridgeMaps maps(home.path());
  for (const auto& name : home.listCartridges()) {
    CartridgeMap map;
    if (keptMapOf(maps, name, &map) && !map.blank && map.label.level == level &&
        map.label.memberCount == members) {
      visit(map);
    }
  }
}

}  // namespace

uint32_t lastKeptSession(const Home& home, uint8_t level, size_t members) {
  uint32_t last = 0;
  forEachKeptSetMap(home, level, members, [&](const CartridgeMap& map) {
    for (const auto& s : map.sessions) last = std::max(last, s.session);
    last = std::max(last, map.tailSession);
  });
  return last;
}

uint64_t keptSessionStart(const Home& home, uint8_t level, size_t members, uint32_t session) {
  uint64_t setId = 0;
  forEachKeptSetMap(home, level, members, [&](const CartridgeMap& map) {
    for (const auto& s : map.sessions) {
      if (s.session == session && s.startKnown && s.start.setIndex == 0) setId = map.label.setId;
    }
  });
  return setId;
}

bool libraryCartridgeBlank(const Home& home, const std::string& barcode) {
  CartridgeMap kept;
  if (!keptLibraryMap(home, barcode, &kept)) return true;
  return kept.sessions.empty();
}

void noteTapeFailure(const std::string& home, const std::string& why) {
  debugLog(home, 0, "%s", why.c_str());
  LibraryState& state = stateOf(home);
  std::lock_guard<std::mutex> guard(state.failureMutex);
  if (state.failure.empty()) state.failure = why;
}

std::string takeTapeFailure(const std::string& home) {
  LibraryState& state = stateOf(home);
  std::lock_guard<std::mutex> guard(state.failureMutex);
  std::string taken;
  taken.swap(state.failure);
  return taken;
}

std::string libraryError(const Home& home) {
  LibraryState& state = stateOf(home.path());
  std::lock_guard<std::mutex> guard(state.mutex);
  return state.error;
}

}  // namespace mox
