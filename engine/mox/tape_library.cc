#include "engine/mox/tape_library.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/mox/mox.h"
#include "platform/file_env.h"
#include "platform/file_util.h"

namespace mox {
namespace {

using scsi::Classified;
using scsi::Completion;
using scsi::Direction;
using scsi::Outcome;

constexpr uint32_t kReportLunsBytes = 16 + 8 * 4096;
constexpr size_t kMaxBarcode = 32;
constexpr size_t kMaxMap = 64u << 20;

Completion runCommand(scsi::Transport& transport, const scsi::Cdb& cdb, Direction dir,
                      uint8_t* data, uint32_t length, int timeoutMs) {
  scsi::Command command;
  command.cdb = cdb;
  command.direction = dir;
  command.data = data;
  command.length = length;
  command.timeoutMs = timeoutMs;
  return transport.run(command);
}

// "not ready (NOT READY, 3A/00 medium not present)", or the transport's words.
std::string answerText(const Completion& raw) {
  if (raw.transport != scsi::TransportStatus::ok) return raw.message;
  std::string text = scsi::outcomeName(raw.classified().outcome);
  std::string detail = raw.detail();
  return detail.empty() ? text : text + " (" + detail + ")";
}

// "INQUIRY: not ready (NOT READY, 3A/00 ...)" or "INQUIRY: no answer ...".
std::string failure(const char* what, const Completion& raw) {
  return std::string(what) + ": " + answerText(raw);
}

// Standard INQUIRY and the unit serial number page into *unit. False, with
// *why, when the unit does not answer the standard INQUIRY.
bool inquire(scsi::Transport& transport, uint16_t lun, int timeoutMs, platform::LibraryUnit* unit,
             uint8_t* qualifier, std::string* why) {
  uint8_t data[96] = {};
  Completion raw = runCommand(transport, scsi::inquiry(false, 0, sizeof data), Direction::in, data,
                              sizeof data, timeoutMs);
  // A unit attention (power on, a reset) is answered again.
  for (int attention = 0; attention < 4 && raw.transport == scsi::TransportStatus::ok &&
                          raw.classified().outcome == Outcome::positionLost;
       ++attention) {
    raw = runCommand(transport, scsi::inquiry(false, 0, sizeof data), Direction::in, data,
                     sizeof data, timeoutMs);
  }
  if (raw.transport != scsi::TransportStatus::ok || raw.classified().outcome != Outcome::done) {
    *why = failure("INQUIRY", raw);
    return false;
  }
  *unit = platform::LibraryUnit{};
  unit->lun = lun;
  unit->type = data[0] & 0x1F;
  *qualifier = data[0] >> 5;
  unit->vendor = platform::unitText(data + 8, 8);
  unit->product = platform::unitText(data + 16, 16);
  unit->revision = platform::unitText(data + 32, 4);
  uint8_t vpd[255] = {};
  raw = runCommand(transport, scsi::inquiry(true, 0x80, sizeof vpd), Direction::in, vpd, sizeof vpd,
                   timeoutMs);
  if (raw.transport == scsi::TransportStatus::ok && raw.classified().outcome == Outcome::done &&
      vpd[1] == 0x80) {
    size_t n = std::min<size_t>((size_t{vpd[2]} << 8) | vpd[3], sizeof vpd - 4);
    unit->serial = platform::unitText(vpd + 4, n);
  }
  return true;
}

// True when another initiator holds the unit reserved: READ RESERVATION
// names a holder (the asker holds nothing), or TEST UNIT READY meets a
// RESERVATION CONFLICT (RESERVE(6), which names nobody).
bool reservedByAnother(scsi::Transport& transport, int timeoutMs) {
  uint8_t data[64] = {};
  Completion raw =
      runCommand(transport, scsi::persistentReserveIn(scsi::PrIn::readReservation, sizeof data),
                 Direction::in, data, sizeof data, timeoutMs);
  scsi::PrReservation held;
  if (raw.transport == scsi::TransportStatus::ok && raw.classified().outcome == Outcome::done &&
      scsi::parseReadReservation(data, sizeof data, &held) && held.held) {
    return true;
  }
  raw = runCommand(transport, scsi::testUnitReady(), Direction::none, nullptr, 0, timeoutMs);
  return raw.transport == scsi::TransportStatus::ok &&
         raw.classified().outcome == Outcome::reserved;
}

// TEST UNIT READY, unit attentions waited out.
Completion testReady(scsi::Transport& transport, int timeoutMs) {
  Completion raw;
  for (int attention = 0; attention < 8; ++attention) {
    raw = runCommand(transport, scsi::testUnitReady(), Direction::none, nullptr, 0, timeoutMs);
    if (raw.transport != scsi::TransportStatus::ok ||
        raw.classified().outcome != Outcome::positionLost) {
      break;
    }
  }
  return raw;
}

std::string unitLine(const platform::LibraryUnit& u) {
  std::string text = u.vendor;
  for (const std::string* part : {&u.product, &u.revision}) {
    if (!part->empty()) text += (text.empty() ? "" : " ") + *part;
  }
  return text;
}

bool hexDigit(char c, int* value) {
  if (c >= '0' && c <= '9') {
    *value = c - '0';
    return true;
  }
  if (c >= 'A' && c <= 'F') {
    *value = c - 'A' + 10;
    return true;
  }
  return false;
}

bool plainBarcodeChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

}  // namespace

LibraryOptions adminLibraryOptions() {
  LibraryOptions o;
  o.iscsi.initiator = "iqn.2008-11.invalid.zephlorn:moxctl";
  o.iscsi.loginTimeoutMs = 10000;
  o.iscsi.commandTimeoutMs = 30000;
  const char* env = std::getenv("MOX_ISCSI_TIMEOUT");
  if (env != nullptr && env[0] != '\0') {
    char* end = nullptr;
    long seconds = std::strtol(env, &end, 10);
    if (*end == '\0' && seconds >= 1 && seconds <= 3600) {
      int ms = static_cast<int>(seconds * 1000);
      o.iscsi.loginTimeoutMs = ms;
      o.iscsi.commandTimeoutMs = ms;
      o.iscsi.tcpUserTimeoutMs = ms;
      o.changer.commandTimeoutMs = ms;
      o.changer.readyWaitMs = ms;
      o.drive.commandTimeoutMs = ms;
      o.drive.readyWaitMs = ms;
    }
  }
  return o;
}

// ---- Probe ---------------------------------------------------------------------------

int probeLibrary(const std::string& url, int firstDrive, const LibraryOptions& options,
                 LibraryProbe* probe, std::string* error) {
  *probe = LibraryProbe{};
  scsi::IscsiAddress address;
  std::string why;
  if (!scsi::parseIscsiUrl(url, &address, &why)) {
    *error = "bad library " + why;
    return MOX_E_INVALID_ARG;
  }
  // The target is the library: a URL that names one of its LUNs is not.
  const std::string path = url.substr(url.find('/', 8) + 1);
  if (path.find('/') != std::string::npos) {
    *error = "bad library '" + url + "': names a LUN (give iscsi://HOST[:PORT]/TARGET-IQN)";
    return MOX_E_INVALID_ARG;
  }
  moxcfg::LibraryConfig& config = probe->config;
  config.target = "iscsi://" + address.portal() + "/" + address.target;
  auto session = [&](uint16_t lun) {
    scsi::IscsiAddress a = address;
    a.lun = lun;
    return std::make_unique<scsi::IscsiTransport>(a, options.iscsi);
  };
  auto first = session(0);
  if (first->connect() != 0) {
    *error = "cannot reach library " + config.target + ": " + first->lastError();
    return MOX_E_IO;
  }
  std::vector<uint8_t> list(kReportLunsBytes);
  Completion raw = runCommand(*first, scsi::reportLuns(kReportLunsBytes), Direction::in,
                              list.data(), kReportLunsBytes, options.iscsi.commandTimeoutMs);
  if (raw.transport == scsi::TransportStatus::ok &&
      raw.classified().outcome == Outcome::positionLost) {
    raw = runCommand(*first, scsi::reportLuns(kReportLunsBytes), Direction::in, list.data(),
                     kReportLunsBytes, options.iscsi.commandTimeoutMs);
  }
  std::vector<uint16_t> luns;
  if (raw.transport != scsi::TransportStatus::ok || raw.classified().outcome != Outcome::done ||
      !scsi::parseReportLuns(list.data(), list.size(), &luns)) {
    *error = "library " + config.target + ": " + failure("REPORT LUNS", raw);
    return raw.transport != scsi::TransportStatus::ok ? MOX_E_IO : MOX_E_NO_DEVICE;
  }
  for (uint16_t lun : luns) {
    if (lun > platform::kMaxLibraryLun) continue;
    std::unique_ptr<scsi::IscsiTransport> own;
    scsi::IscsiTransport* t = first.get();
    if (lun != 0) {
      own = session(lun);
      if (own->connect() != 0) {
        *error =
            "library " + config.target + " LUN " + std::to_string(lun) + ": " + own->lastError();
        return MOX_E_IO;
      }
      t = own.get();
    }
    platform::LibraryUnit unit;
    uint8_t qualifier = 0;
    if (!inquire(*t, lun, options.iscsi.commandTimeoutMs, &unit, &qualifier, &why)) {
      *error = "library " + config.target + " LUN " + std::to_string(lun) + ": " + why;
      return MOX_E_IO;
    }
    if (qualifier != 0) continue;  // no unit is connected at this LUN
    if ((unit.type == 0x01 || unit.type == 0x08) &&
        reservedByAnother(*t, options.iscsi.commandTimeoutMs)) {
      probe->reserved.push_back("LUN " + std::to_string(lun));
    }
    config.units.push_back(unit);
  }
  int drive = firstDrive;
  for (const platform::LibraryUnit& u : config.units) {
    if (u.type == 0x01) {
      if (u.lun > moxcfg::kMaxDriveLun) {
        *error = "library " + config.target + ": a tape drive at LUN " + std::to_string(u.lun) +
                 " (drives above LUN " + std::to_string(moxcfg::kMaxDriveLun) +
                 " cannot be listed)";
        return MOX_E_NO_DEVICE;
      }
      config.drives.push_back(moxcfg::LibraryDrive{drive++, u.lun, 0});
    } else if (u.type == 0x08) {
      if (config.hasChanger()) {
        ++probe->otherChangers;
      } else {
        config.changerLun = u.lun;
      }
    }
  }
  if (config.drives.empty()) {
    std::string units;
    for (const auto& u : config.units) {
      units += (units.empty() ? "" : ", ") + std::string("LUN ") + std::to_string(u.lun) +
               " type " + std::to_string(u.type);
    }
    *error = "library " + config.target + " has no tape drive (" +
             (units.empty() ? std::string("no logical unit") : units) + ")";
    return MOX_E_NO_DEVICE;
  }
  if (config.hasChanger()) {
    scsi::MediaChanger changer(session(static_cast<uint16_t>(config.changerLun)), options.changer);
    Outcome o = changer.open();
    if (o != Outcome::done) {
      *error = "library " + config.target + " changer LUN " + std::to_string(config.changerLun) +
               ": " + changer.lastError();
      return MOX_E_IO;
    }
    probe->slots = changer.slots();
    probe->mailSlots = changer.mailSlots();
    probe->changerDrives = changer.drives().size();
    probe->drives = changer.drives();
    // Each drive is the element that names its serial number. The drives
    // no element names (a changer that gives no identifiers, or cuts them:
    // tgt's answer loses the last bytes of the last drive's) take the
    // elements left, in address order, in the drives' LUN order.
    std::vector<bool> taken(changer.drives().size(), false);
    for (moxcfg::LibraryDrive& d : config.drives) {
      const scsi::Element* e = changer.driveBySerial(config.unit(d.lun)->serial);
      if (e == nullptr) continue;
      d.element = e->address;
      taken[static_cast<size_t>(e - changer.drives().data())] = true;
    }
    size_t next = 0;
    for (moxcfg::LibraryDrive& d : config.drives) {
      if (d.element != 0) continue;
      while (next < taken.size() && taken[next]) ++next;
      if (next == taken.size()) break;
      d.element = changer.drives()[next].address;
      taken[next] = true;
    }
    for (const moxcfg::LibraryDrive& d : config.drives) {
      if (d.element == 0) ++probe->unmatchedDrives;
    }
  }
  return MOX_OK;
}

// ---- First block -----------------------------------------------------------------------

const char* contentName(Content content) {
  switch (content) {
    case Content::empty:
      return "empty";
    case Content::engine:
      return "engine label";
    case Content::foreign:
      return "foreign";
  }
  return "?";
}

bool isLabelRecord(const uint8_t* data, size_t length, Label* label) {
  if (data == nullptr || length < kHeaderSize) return false;
  RecordHeader header;
  if (!decodeHeader(data, &header) || header.kind != Kind::kLabel) return false;
  if (header.storedLength != length - kHeaderSize || header.flags != 0) return false;
  if (crc32c(data + kHeaderSize, header.storedLength) != header.bodyCrc) return false;
  Label decoded;
  if (!decodeLabel(data + kHeaderSize, header.storedLength, &decoded)) return false;
  if (label != nullptr) *label = decoded;
  return true;
}

int inspectFirstBlock(scsi::TapeDrive* member, Inspection* inspection) {
  *inspection = Inspection{};
  if (member->rewind() != Outcome::done) return MOX_E_IO;
  std::vector<uint8_t> block(member->options().recordCap);
  uint32_t length = 0;
  Outcome o = member->readRecord(block.data(), static_cast<uint32_t>(block.size()), &length);
  switch (o) {
    case Outcome::endOfData:
      inspection->content = Content::empty;
      break;
    case Outcome::done:
      inspection->content = isLabelRecord(block.data(), length, &inspection->label)
                                ? Content::engine
                                : Content::foreign;
      if (inspection->content == Content::engine) {
        Outcome next =
            member->readRecord(block.data(), static_cast<uint32_t>(block.size()), &length);
        if (next != Outcome::done && next != Outcome::filemark && next != Outcome::endOfData &&
            next != Outcome::longBlock && next != Outcome::shortBlock) {
          return MOX_E_IO;
        }
        inspection->labelOnly = next == Outcome::endOfData;
      }
      break;
    case Outcome::filemark:
    case Outcome::longBlock:
      inspection->content = Content::foreign;
      break;
    default:
      return MOX_E_IO;
  }
  return member->rewind() == Outcome::done ? MOX_OK : MOX_E_IO;
}

// ---- Map store ------------------------------------------------------------------------

bool CartridgeMaps::validBarcode(const std::string& barcode) {
  if (barcode.empty() || barcode.size() > kMaxBarcode) return false;
  return std::all_of(barcode.begin(), barcode.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

std::string CartridgeMaps::path(const std::string& barcode) const {
  std::string name;
  for (char c : barcode) {
    if (plainBarcodeChar(c)) {
      name.push_back(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
      name += hex;
    }
  }
  return home_ + "/media/" + name + ".map";
}

int CartridgeMaps::store(const std::string& barcode, const std::string& map) const {
  if (!validBarcode(barcode)) return MOX_E_INVALID_ARG;
  return platform::writeFileAtomic(path(barcode), map) == 0 ? MOX_OK : MOX_E_IO;
}

int CartridgeMaps::load(const std::string& barcode, std::string* map) const {
  map->clear();
  if (!validBarcode(barcode)) return MOX_E_INVALID_ARG;
  int err = platform::readRegularFile(path(barcode), kMaxMap, map);
  if (err == ENOENT) return MOX_E_NO_TAPE;
  return err == 0 ? MOX_OK : MOX_E_IO;
}

int CartridgeMaps::remove(const std::string& barcode) const {
  if (!validBarcode(barcode)) return MOX_E_INVALID_ARG;
  if (platform::fileEnv().unlink(path(barcode)) != 0 && errno != ENOENT) return MOX_E_IO;
  return platform::syncDirectory(home_ + "/media") == 0 ? MOX_OK : MOX_E_IO;
}

bool CartridgeMaps::has(const std::string& barcode) const {
  if (!validBarcode(barcode)) return false;
  std::string map;
  return platform::readRegularFile(path(barcode), kMaxMap, &map) == 0;
}

std::vector<std::string> CartridgeMaps::barcodes() const {
  std::vector<std::string> found;
  DIR* dir = opendir((home_ + "/media").c_str());
  if (dir == nullptr) return found;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() <= 4 || name[0] == '.' || name.compare(name.size() - 4, 4, ".map") != 0) {
      continue;
    }
    name.resize(name.size() - 4);
    std::string barcode;
    bool good = true;
    for (size_t i = 0; i < name.size() && good; ++i) {
      int hi = 0, lo = 0;
      if (name[i] != '%') {
        good = plainBarcodeChar(name[i]);
        barcode.push_back(name[i]);
      } else if (i + 2 < name.size() && hexDigit(name[i + 1], &hi) && hexDigit(name[i + 2], &lo)) {
        barcode.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
      } else {
        good = false;
      }
    }
    // Only names this store writes: another file is not a map of it.
    if (good && validBarcode(barcode) && path(barcode) == home_ + "/media/" + entry->d_name) {
      found.push_back(barcode);
    }
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  return found;
}

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
  scsi::IscsiTransport t(address(library, lun), options_.iscsi);
  if (t.connect() != 0) {
    l.unreachable = t.lastError();
    return fail(MOX_E_IO, "drive at LUN " + std::to_string(lun) + " of library " +
                              std::to_string(library) + ": " + t.lastError());
  }
  Completion raw = testReady(t, options_.drive.commandTimeoutMs);
  if (raw.transport == scsi::TransportStatus::ok && raw.classified().outcome == Outcome::notReady) {
    return MOX_OK;  // nothing in it to unload
  }
  raw = runCommand(t, scsi::loadUnload(false), Direction::none, nullptr, 0,
                   options_.drive.motionTimeoutMs);
  Outcome o =
      raw.transport == scsi::TransportStatus::ok ? raw.classified().outcome : Outcome::transport;
  if (o == Outcome::done || o == Outcome::notReady) return MOX_OK;
  return fail(MOX_E_IO, "drive at LUN " + std::to_string(lun) + " of library " +
                            std::to_string(library) + ": " + failure("UNLOAD", raw));
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
  scsi::IscsiTransport t(address(library, entry.lun), options_.iscsi);
  if (t.connect() != 0) {
    l.unreachable = t.lastError();
    report->problem = "library unreachable";
    return fail(MOX_E_IO, "library " + std::to_string(library) + " (" + l.config.target +
                              ") is unreachable: " + l.unreachable);
  }
  uint8_t qualifier = 0;
  std::string why;
  if (!inquire(t, entry.lun, options_.iscsi.commandTimeoutMs, &report->now, &qualifier, &why)) {
    report->problem = why;
    if (!t.connected()) l.unreachable = why;
    return fail(MOX_E_IO, "drive " + std::to_string(drive) + ": " + why);
  }
  report->answered = true;
  if (qualifier != 0 || report->now.type != 0x01) {
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
  Completion raw = testReady(t, options_.iscsi.commandTimeoutMs);
  if (raw.transport != scsi::TransportStatus::ok) {
    report->problem = failure("TEST UNIT READY", raw);
    return fail(MOX_E_IO, "drive " + std::to_string(drive) + ": " + report->problem);
  }
  Classified c = raw.classified();
  if (c.outcome == Outcome::done) {
    report->loaded = true;
  } else if (c.outcome == Outcome::notReady && c.senseDecoded && c.sense.asc == 0x3A) {
    report->loaded = false;  // medium not present
  } else {
    report->notReady = answerText(raw);
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
  if (ch->load(barcode, entry.element) != Outcome::done) {
    return fail(MOX_E_IO, "loading " + barcode + " into drive " + std::to_string(drive) + ": " +
                              ch->lastError());
  }
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
  return std::make_unique<scsi::TapeDrive>(
      std::make_unique<scsi::IscsiTransport>(address(library, entry.lun), options_.iscsi), options);
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
