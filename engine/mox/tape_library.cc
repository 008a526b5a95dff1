#include "engine/mox/tape_library.h"

#include <unistd.h>

#include "engine/mox/mox.h"

namespace mox {
namespace {

using scsi::Answer;
using scsi::Command;
using scsi::Direction;
using scsi::Outcome;

// TEST UNIT READY is sent again after a unit attention, this often in all.
constexpr int kReadyAttempts = 8;

// TEST UNIT READY, unit attentions waited out.
Answer testReady(scsi::ScsiDevice& device, int timeoutMs) {
  return device.runPastAttentions(
      Command{scsi::testUnitReady(), Direction::none, nullptr, 0, timeoutMs}, kReadyAttempts);
}

std::string unitLine(const platform::LibraryUnit& u) {
  std::string text = u.vendor;
  for (const std::string* part : {&u.product, &u.revision}) {
    if (!part->empty()) text += (text.empty() ? "" : " ") + *part;
  }
  return text;
}

}  // namespace

// ---- Libraries ------------------------------------------------------------------------

const char* placeName(Place place) {
  switch (place) {
    case Place::slot:
      return "slot";
    case Place::drive:
      return "drive";
    case Place::mailSlot:
      return "mail slot";
    case Place::picker:
      return "picker";
  }
  return "?";
}

struct TapeLibraries::Library {
  moxcfg::LibraryConfig config;
  std::unique_ptr<scsi::MediaChanger> changer;
  bool changerRead = false;
  std::string unreachable;
  // The home's hold on the changer, from its first move on (after the
  // changer: it goes first).
  std::unique_ptr<scsi::Reservation> reservation;
};

TapeLibraries::TapeLibraries(std::string home, LibraryOptions options)
    : home_(std::move(home)), options_(std::move(options)), maps_(home_) {}

TapeLibraries::~TapeLibraries() {
  for (auto& l : libraries_) {
    if (l->reservation) l->reservation->release();
  }
}

uint64_t homeReservationKey(const std::string& home) {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  return scsi::reservationKey(host, home);
}

std::map<std::string, int> cartridgesInDrives(const std::vector<PoolEntry>& pool) {
  std::map<std::string, int> held;
  for (const PoolEntry& p : pool) {
    if (p.full && p.place == Place::drive && !p.barcode.empty()) held[p.barcode] = p.drive;
  }
  return held;
}

int TapeLibraries::reserveChanger(int library) {
  Library& l = *libraries_[static_cast<size_t>(library)];
  if (l.changer == nullptr)
    return fail(MOX_E_IO, "library " + std::to_string(library) + ": no changer session");
  if (!l.reservation) {
    // Write Exclusive: another home still reads the element status (and
    // sees where this home's cartridges are), but moves nothing.
    l.reservation = std::make_unique<scsi::Reservation>(
        &l.changer->device(), "the changer of library " + std::to_string(library),
        homeReservationKey(home_), scsi::PrType::writeExclusive);
  }
  Outcome o = l.reservation->take();
  if (o == Outcome::done) return MOX_OK;
  return fail(o == Outcome::reserved ? MOX_E_BUSY : MOX_E_IO, l.reservation->lastError());
}

int TapeLibraries::load(const std::string& home, const LibraryOptions& options,
                        std::unique_ptr<TapeLibraries>* out) {
  std::vector<moxcfg::LibraryConfig> configs;
  std::unique_ptr<TapeLibraries> libraries(new TapeLibraries(home, options));
  if (moxcfg::loadLibraries(home, &configs) != 0) {
    libraries->error_ = "the library configuration of " + home + " cannot be read";
    *out = std::move(libraries);
    return MOX_E_CONFIG;
  }
  for (auto& c : configs) {
    auto l = std::make_unique<Library>();
    l->config = std::move(c);
    libraries->libraries_.push_back(std::move(l));
  }
  *out = std::move(libraries);
  return MOX_OK;
}

const moxcfg::LibraryConfig& TapeLibraries::config(int library) const {
  return libraries_[static_cast<size_t>(library)]->config;
}

int TapeLibraries::driveCount() const {
  int n = 0;
  for (const auto& l : libraries_) n += static_cast<int>(l->config.drives.size());
  return n;
}

bool TapeLibraries::findDrive(int drive, int* library, moxcfg::LibraryDrive* entry) const {
  for (size_t k = 0; k < libraries_.size(); ++k) {
    for (const moxcfg::LibraryDrive& d : libraries_[k]->config.drives) {
      if (d.drive == drive) {
        *library = static_cast<int>(k);
        *entry = d;
        return true;
      }
    }
  }
  return false;
}

std::shared_ptr<scsi::DriveActivity> TapeLibraries::activity(int drive) const {
  int library = 0;
  moxcfg::LibraryDrive entry;
  if (!findDrive(drive, &library, &entry)) return nullptr;
  auto& a = activity_[drive];
  if (!a) a = std::make_shared<scsi::DriveActivity>();
  return a;
}

std::unique_ptr<scsi::Transport> TapeLibraries::driveTransport(int library, uint16_t lun) const {
  auto transport = std::make_unique<scsi::IscsiTransport>(address(library, lun), options_.iscsi);
  for (const moxcfg::LibraryDrive& d : config(library).drives) {
    if (d.lun != lun) continue;
    if (std::shared_ptr<scsi::DriveActivity> a = activity(d.drive)) {
      return std::make_unique<scsi::CountedTransport>(std::move(transport), std::move(a));
    }
  }
  return transport;
}

int TapeLibraries::fail(int code, const std::string& why) {
  error_ = why;
  return code;
}

scsi::IscsiAddress TapeLibraries::address(int library, uint16_t lun) const {
  scsi::IscsiAddress a;
  std::string why;
  scsi::parseIscsiUrl(config(library).target, &a, &why);
  a.lun = lun;
  return a;
}

const std::string& TapeLibraries::unreachable(int library) const {
  return libraries_[static_cast<size_t>(library)]->unreachable;
}

const scsi::MediaChanger* TapeLibraries::changer(int library) const {
  const Library& l = *libraries_[static_cast<size_t>(library)];
  return l.changerRead ? l.changer.get() : nullptr;
}

scsi::MediaChanger* TapeLibraries::openChanger(int library) {
  Library& l = *libraries_[static_cast<size_t>(library)];
  const std::string name = "library " + std::to_string(library) + " (" + l.config.target + ")";
  if (!l.config.hasChanger()) {
    error_ = name + " has no changer";
    return nullptr;
  }
  if (!l.unreachable.empty()) {
    error_ = name + " is unreachable: " + l.unreachable;
    return nullptr;
  }
  if (l.changer == nullptr) {
    l.changer = std::make_unique<scsi::MediaChanger>(
        std::make_unique<scsi::IscsiTransport>(
            address(library, static_cast<uint16_t>(l.config.changerLun)), options_.iscsi),
        options_.changer);
  }
  Outcome o = l.changerRead ? l.changer->refresh() : l.changer->open();
  if (o != Outcome::done) {
    l.changerRead = false;
    if (o == Outcome::transport) {
      l.unreachable = l.changer->lastError();
      error_ = name + " is unreachable: " + l.unreachable;
    } else {
      error_ = name + ": " + l.changer->lastError();
    }
    return nullptr;
  }
  l.changerRead = true;
  return l.changer.get();
}

int TapeLibraries::refresh() {
  int rc = MOX_OK;
  std::string first;
  for (size_t k = 0; k < libraries_.size(); ++k) {
    if (!libraries_[k]->config.hasChanger()) continue;
    if (openChanger(static_cast<int>(k)) == nullptr && rc == MOX_OK) {
      rc = MOX_E_IO;
      first = error_;
    }
  }
  if (rc != MOX_OK) error_ = first;
  return rc;
}

int TapeLibraries::refresh(int library) {
  if (library < 0 || static_cast<size_t>(library) >= libraries_.size()) {
    return fail(MOX_E_NO_DEVICE, "no library " + std::to_string(library));
  }
  if (!config(library).hasChanger()) return MOX_OK;
  return openChanger(library) != nullptr ? MOX_OK : MOX_E_IO;
}

int TapeLibraries::eject(int library, uint16_t lun) {
  Library& l = *libraries_[static_cast<size_t>(library)];
  scsi::ScsiDevice unit(driveTransport(library, lun));
  if (unit.login() != 0) {
    l.unreachable = unit.lastError();
    return fail(MOX_E_IO, "drive at LUN " + std::to_string(lun) + " of library " +
                              std::to_string(library) + ": " + unit.lastError());
  }
  Answer a = testReady(unit, options_.drive.commandTimeoutMs);
  if (a.outcome() == Outcome::notReady) return MOX_OK;  // nothing in it to unload
  a = unit.run(scsi::loadUnload(false), Direction::none, nullptr, 0,
               options_.drive.motionTimeoutMs);
  if (a.outcome() == Outcome::done || a.outcome() == Outcome::notReady) return MOX_OK;
  return fail(MOX_E_IO, "drive at LUN " + std::to_string(lun) + " of library " +
                            std::to_string(library) + ": UNLOAD: " + a.summary());
}

std::string driveCartridgeName(int drive) { return "@drive" + std::to_string(drive); }

int TapeLibraries::listPool(std::vector<PoolEntry>* pool) {
  pool->clear();
  int rc = MOX_OK;
  std::string first;
  for (size_t k = 0; k < libraries_.size(); ++k) {
    const int library = static_cast<int>(k);
    const moxcfg::LibraryConfig& c = libraries_[k]->config;
    auto add = [&](const scsi::Element& e, Place place) {
      PoolEntry p;
      p.library = library;
      p.place = place;
      p.element = e.address;
      p.full = e.full;
      p.barcode = e.full ? e.volumeTag : "";
      p.homeSlot = e.full && e.sourceValid && place != Place::slot ? e.source : 0;
      for (const moxcfg::LibraryDrive& d : c.drives) {
        if (place == Place::drive && d.element == e.address) p.drive = d.drive;
      }
      p.mapped = !p.barcode.empty() && maps_.has(p.barcode);
      pool->push_back(p);
    };
    if (c.hasChanger()) {
      const scsi::MediaChanger* ch = openChanger(library);
      if (ch == nullptr) {
        if (rc == MOX_OK) first = error_;
        rc = MOX_E_IO;
        continue;
      }
      for (const scsi::Element& e : ch->slots()) add(e, Place::slot);
      for (const scsi::Element& e : ch->drives()) {
        if (e.full) add(e, Place::drive);
      }
      for (const scsi::Element& e : ch->mailSlots()) {
        if (e.full) add(e, Place::mailSlot);
      }
      for (const scsi::Element& e : ch->pickers()) {
        if (e.full) add(e, Place::picker);
      }
      continue;
    }
    for (const moxcfg::LibraryDrive& d : c.drives) {
      DriveReport r;
      int drc = reportDrive(d.drive, &r);
      if (drc != MOX_OK) {
        if (rc == MOX_OK) first = error_;
        rc = MOX_E_IO;
        continue;
      }
      if (!r.loaded) continue;
      PoolEntry p;
      p.library = library;
      p.place = Place::drive;
      p.full = true;
      p.drive = d.drive;
      p.mapped = maps_.has(driveCartridgeName(d.drive));
      pool->push_back(p);
    }
  }
  if (rc != MOX_OK) error_ = first;
  return rc;
}

int TapeLibraries::reportDrive(int drive, DriveReport* report) {
  *report = DriveReport{};
  report->drive = drive;
  int library = 0;
  moxcfg::LibraryDrive entry;
  if (!findDrive(drive, &library, &entry)) {
    return fail(MOX_E_NO_DEVICE, "no drive " + std::to_string(drive));
  }
  Library& l = *libraries_[static_cast<size_t>(library)];
  report->library = library;
  report->lun = entry.lun;
  report->element = entry.element;
  if (const platform::LibraryUnit* u = l.config.unit(entry.lun)) report->seen = *u;
  if (!l.unreachable.empty()) {
    report->problem = "library unreachable";
    return fail(MOX_E_IO, "library " + std::to_string(library) + " (" + l.config.target +
                              ") is unreachable: " + l.unreachable);
  }
  scsi::ScsiDevice unit(
      std::make_unique<scsi::IscsiTransport>(address(library, entry.lun), options_.iscsi));
  if (unit.login() != 0) {
    l.unreachable = unit.lastError();
    report->problem = "library unreachable";
    return fail(MOX_E_IO, "library " + std::to_string(library) + " (" + l.config.target +
                              ") is unreachable: " + l.unreachable);
  }
  uint8_t qualifier = 0;
  std::string why;
  if (!identifyUnit(unit, entry.lun, options_.iscsi.commandTimeoutMs, &report->now, &qualifier,
                    &why)) {
    report->problem = why;
    if (!unit.transport().connected()) l.unreachable = why;
    return fail(MOX_E_IO, "drive " + std::to_string(drive) + ": " + why);
  }
  report->answered = true;
  if (qualifier != 0 || report->now.type != scsi::kTypeTape) {
    report->problem = "no tape drive at LUN " + std::to_string(entry.lun) + " now";
  } else if (report->now.serial != report->seen.serial ||
             report->now.product != report->seen.product ||
             report->now.vendor != report->seen.vendor) {
    report->problem = "not the drive set up (" + unitLine(report->seen) + ", serial " +
                      (report->seen.serial.empty() ? "none" : report->seen.serial) + ")";
  }
  if (l.config.hasChanger()) {
    const scsi::MediaChanger* ch = changer(library);
    if (ch == nullptr) ch = openChanger(library);
    if (ch == nullptr) {
      if (report->problem.empty()) report->problem = "changer: " + error_;
      return MOX_E_IO;
    }
    for (const scsi::Element& e : ch->drives()) {
      if (e.address != entry.element || !e.full) continue;
      report->loaded = true;
      report->barcode = e.volumeTag;
      report->homeSlot = e.sourceValid ? e.source : 0;
    }
    return MOX_OK;
  }
  Answer a = testReady(unit, options_.iscsi.commandTimeoutMs);
  if (a.raw.transport != scsi::TransportStatus::ok) {
    report->problem = "TEST UNIT READY: " + a.summary();
    return fail(MOX_E_IO, "drive " + std::to_string(drive) + ": " + report->problem);
  }
  const scsi::Classified& c = a.classified;
  if (c.outcome == Outcome::done) {
    report->loaded = true;
  } else if (c.outcome == Outcome::notReady && c.senseDecoded && c.sense.asc == 0x3A) {
    report->loaded = false;  // medium not present
  } else {
    report->notReady = a.summary();
  }
  return MOX_OK;
}

int TapeLibraries::loadedBarcode(int drive, std::string* barcode) {
  barcode->clear();
  DriveReport r;
  int rc = reportDrive(drive, &r);
  if (rc != MOX_OK) return rc;
  *barcode = r.barcode;
  return MOX_OK;
}

int TapeLibraries::unload(int drive) {
  int rc = unloadDrive(drive);
  settleChangers();
  return rc;
}

int TapeLibraries::unloadDrive(int drive) {
  int library = 0;
  moxcfg::LibraryDrive entry;
  if (!findDrive(drive, &library, &entry)) {
    return fail(MOX_E_NO_DEVICE, "no drive " + std::to_string(drive));
  }
  const moxcfg::LibraryConfig& c = config(library);
  if (!c.hasChanger()) return eject(library, entry.lun);
  if (entry.element == 0) {
    return fail(MOX_E_NO_DEVICE,
                "drive " + std::to_string(drive) + " has no element in its library's changer");
  }
  scsi::MediaChanger* ch = openChanger(library);
  if (ch == nullptr) return MOX_E_IO;
  bool full = false;
  for (const scsi::Element& e : ch->drives()) full |= e.address == entry.element && e.full;
  if (!full) return MOX_OK;
  int rc = reserveChanger(library);
  if (rc != MOX_OK) return rc;
  rc = eject(library, entry.lun);
  if (rc != MOX_OK) return rc;
  if (ch->unload(entry.element) != Outcome::done) {
    return fail(MOX_E_IO, "drive " + std::to_string(drive) + ": " + ch->lastError());
  }
  return MOX_OK;
}

int TapeLibraries::load(const std::string& barcode, int drive) {
  int rc = loadDrive(barcode, drive);
  settleChangers();
  return rc;
}

void TapeLibraries::settleChangers() {
  // RESERVE(6) keeps every other initiator from even reading the changer
  // (this home's other processes too): a changer reserved so is let go once
  // the cartridges are moved. A persistent reservation (Write Exclusive)
  // stays while this object lives.
  for (auto& l : libraries_) {
    if (l->reservation && l->reservation->kind() == scsi::ReservationKind::reserve6) {
      l->reservation->release();
    }
  }
}

int TapeLibraries::loadDrive(const std::string& barcode, int drive) {
  int library = 0;
  moxcfg::LibraryDrive entry;
  if (!findDrive(drive, &library, &entry)) {
    return fail(MOX_E_NO_DEVICE, "no drive " + std::to_string(drive));
  }
  const moxcfg::LibraryConfig& c = config(library);
  if (!c.hasChanger()) {
    return fail(MOX_E_NOT_SUPPORTED, "library " + std::to_string(library) +
                                         " has no changer: the cartridges loaded are all there is");
  }
  if (entry.element == 0) {
    return fail(MOX_E_NO_DEVICE,
                "drive " + std::to_string(drive) + " has no element in its library's changer");
  }
  if (!CartridgeMaps::validBarcode(barcode)) {
    return fail(MOX_E_INVALID_ARG, "'" + barcode + "' is no barcode");
  }
  scsi::MediaChanger* ch = openChanger(library);
  if (ch == nullptr) return MOX_E_IO;
  const scsi::Element* from = ch->find(barcode);
  if (from == nullptr) {
    std::string where;
    for (size_t k = 0; k < libraries_.size(); ++k) {
      const scsi::MediaChanger* other = changer(static_cast<int>(k));
      if (static_cast<int>(k) != library && other != nullptr && other->find(barcode) != nullptr) {
        where = " (it is in library " + std::to_string(k) + ")";
      }
    }
    return fail(MOX_E_NO_TAPE,
                "library " + std::to_string(library) + " holds no cartridge " + barcode + where);
  }
  if (from->type == scsi::ElementType::drive && from->address == entry.element) return MOX_OK;
  if (int reserved = reserveChanger(library); reserved != MOX_OK) return reserved;
  // A cartridge in another drive goes back to its slot first, so that it
  // comes from there and the changer keeps naming that slot as its home (a
  // move between drives would name the other drive instead).
  if (from->type == scsi::ElementType::drive) {
    const uint16_t other = from->address;
    for (const moxcfg::LibraryDrive& d : c.drives) {
      if (d.element != other) continue;
      int rc = eject(library, d.lun);
      if (rc != MOX_OK) return rc;
    }
    if (ch->unload(other) != Outcome::done) {
      return fail(MOX_E_IO, "taking " + barcode + " out of the drive at element " +
                                std::to_string(other) + ": " + ch->lastError());
    }
  }
  // What the drive holds goes back to its slot.
  int rc = unloadDrive(drive);
  if (rc != MOX_OK) return rc;
  ch = openChanger(library);
  if (ch == nullptr) return MOX_E_IO;
  std::shared_ptr<scsi::DriveActivity> a = activity(drive);
  const uint64_t start = a->now();
  if (ch->load(barcode, entry.element) != Outcome::done) {
    return fail(MOX_E_IO, "loading " + barcode + " into drive " + std::to_string(drive) + ": " +
                              ch->lastError());
  }
  // The changer's move is the drive's load, as its activity shows it.
  a->noteEvent(scsi::DriveEventKind::load, start);
  return MOX_OK;
}

std::unique_ptr<scsi::TapeDrive> TapeLibraries::member(int drive) const {
  return member(drive, options_.drive);
}

std::unique_ptr<scsi::TapeDrive> TapeLibraries::member(
    int drive, const scsi::TapeDriveOptions& options) const {
  int library = 0;
  moxcfg::LibraryDrive entry;
  if (!findDrive(drive, &library, &entry)) return nullptr;
  return std::make_unique<scsi::TapeDrive>(driveTransport(library, entry.lun), options);
}

int TapeLibraries::inspect(int drive, Inspection* inspection) {
  *inspection = Inspection{};
  std::unique_ptr<scsi::TapeDrive> m = member(drive);
  if (m == nullptr) return fail(MOX_E_NO_DEVICE, "no drive " + std::to_string(drive));
  Outcome o = m->open();
  if (o == Outcome::notReady) {
    return fail(MOX_E_NO_TAPE, "drive " + std::to_string(drive) + " holds no cartridge");
  }
  if (o != Outcome::done) return fail(MOX_E_IO, m->lastError());
  int rc = inspectFirstBlock(m.get(), inspection);
  if (rc != MOX_OK) return fail(rc, m->lastError());
  return MOX_OK;
}

}  // namespace mox
