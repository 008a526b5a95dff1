#include "engine/mox/library_probe.h"

#include <cstdlib>
#include <memory>

#include "engine/mox/mox.h"

namespace mox {
namespace {

using scsi::Answer;
using scsi::Command;
using scsi::Direction;
using scsi::Outcome;

constexpr uint32_t kReportLunsBytes = 16 + 8 * 4096;

// REPORT LUNS is asked again once after a unit attention (a login's power
// on).
constexpr int kReportLunsAttempts = 2;

// True when another initiator holds the unit reserved: READ RESERVATION
// names a holder (the asker holds nothing), or TEST UNIT READY meets a
// RESERVATION CONFLICT (RESERVE(6), which names nobody).
bool reservedByAnother(scsi::ScsiDevice& device, int timeoutMs) {
  uint8_t data[64] = {};
  Answer a = device.run(scsi::persistentReserveIn(scsi::PrIn::readReservation, sizeof data),
                        Direction::in, data, sizeof data, timeoutMs);
  scsi::PrReservation held;
  if (a.outcome() == Outcome::done && scsi::parseReadReservation(data, sizeof data, &held) &&
      held.held) {
    return true;
  }
  a = device.run(scsi::testUnitReady(), Direction::none, nullptr, 0, timeoutMs);
  return a.outcome() == Outcome::reserved;
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

bool identifyUnit(scsi::ScsiDevice& device, uint16_t lun, int timeoutMs,
                  platform::LibraryUnit* unit, uint8_t* qualifier, std::string* why) {
  Answer a = device.identify(timeoutMs);
  if (a.outcome() != Outcome::done) {
    *why = "INQUIRY: " + a.summary();
    return false;
  }
  const scsi::Identity& id = device.identity();
  *unit = platform::LibraryUnit{};
  unit->lun = lun;
  unit->type = id.inquiry.peripheralType;
  *qualifier = id.inquiry.qualifier;
  auto text = [](const std::string& s) { return platform::unitText(s.data(), s.size()); };
  unit->vendor = text(id.inquiry.vendor);
  unit->product = text(id.inquiry.product);
  unit->revision = text(id.inquiry.revision);
  unit->serial = text(id.serial);
  return true;
}

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
  const int timeoutMs = options.iscsi.commandTimeoutMs;
  auto session = [&](uint16_t lun) {
    scsi::IscsiAddress a = address;
    a.lun = lun;
    return std::make_unique<scsi::IscsiTransport>(a, options.iscsi);
  };
  scsi::ScsiDevice first(session(0));
  if (first.login() != 0) {
    *error = "cannot reach library " + config.target + ": " + first.lastError();
    return MOX_E_IO;
  }
  std::vector<uint8_t> list(kReportLunsBytes);
  Answer a = first.runPastAttentions(Command{scsi::reportLuns(kReportLunsBytes), Direction::in,
                                             list.data(), kReportLunsBytes, timeoutMs},
                                     kReportLunsAttempts);
  std::vector<uint16_t> luns;
  if (a.outcome() != Outcome::done || !scsi::parseReportLuns(list.data(), list.size(), &luns)) {
    *error = "library " + config.target + ": REPORT LUNS: " + a.summary();
    return a.raw.transport != scsi::TransportStatus::ok ? MOX_E_IO : MOX_E_NO_DEVICE;
  }
  for (uint16_t lun : luns) {
    if (lun > platform::kMaxLibraryLun) continue;
    std::unique_ptr<scsi::ScsiDevice> own;
    scsi::ScsiDevice* unitDevice = &first;
    if (lun != 0) {
      own = std::make_unique<scsi::ScsiDevice>(session(lun));
      if (own->login() != 0) {
        *error =
            "library " + config.target + " LUN " + std::to_string(lun) + ": " + own->lastError();
        return MOX_E_IO;
      }
      unitDevice = own.get();
    }
    platform::LibraryUnit unit;
    uint8_t qualifier = 0;
    if (!identifyUnit(*unitDevice, lun, timeoutMs, &unit, &qualifier, &why)) {
      *error = "library " + config.target + " LUN " + std::to_string(lun) + ": " + why;
      return MOX_E_IO;
    }
    if (qualifier != 0) continue;  // no unit is connected at this LUN
    if ((unit.type == scsi::kTypeTape || unit.type == scsi::kTypeChanger) &&
        reservedByAnother(*unitDevice, timeoutMs)) {
      probe->reserved.push_back("LUN " + std::to_string(lun));
    }
    config.units.push_back(unit);
  }
  int drive = firstDrive;
  for (const platform::LibraryUnit& u : config.units) {
    if (u.type == scsi::kTypeTape) {
      if (u.lun > moxcfg::kMaxDriveLun) {
        *error = "library " + config.target + ": a tape drive at LUN " + std::to_string(u.lun) +
                 " (drives above LUN " + std::to_string(moxcfg::kMaxDriveLun) +
                 " cannot be listed)";
        return MOX_E_NO_DEVICE;
      }
      config.drives.push_back(moxcfg::LibraryDrive{drive++, u.lun, 0});
    } else if (u.type == scsi::kTypeChanger) {
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

}  // namespace mox
