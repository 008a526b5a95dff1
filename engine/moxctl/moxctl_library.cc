#include "engine/moxctl/moxctl_library.h"

#include <map>
#include <memory>
#include <set>

#include "engine/config/mox_config.h"
#include "engine/mox/mox.h"

namespace moxctl {
namespace {

// "IET VIRTUAL-TAPE 0107"
std::string identityText(const platform::LibraryUnit& u) {
  std::string text = u.vendor;
  for (const std::string* part : {&u.product, &u.revision}) {
    if (!part->empty()) text += (text.empty() ? "" : " ") + *part;
  }
  return text.empty() ? "(no identity)" : text;
}

std::string serialText(const std::string& serial) {
  return "serial " + (serial.empty() ? std::string("(none)") : serial);
}

size_t fullCount(const std::vector<mox::scsi::Element>& elements) {
  size_t n = 0;
  for (const auto& e : elements) n += e.full ? 1 : 0;
  return n;
}

std::string plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

int checkLibraryUrls(const std::vector<std::string>& urls, FILE* err) {
  std::set<std::string> seen;
  for (const std::string& url : urls) {
    mox::scsi::IscsiAddress address;
    std::string why;
    if (!mox::scsi::parseIscsiUrl(url, &address, &why)) {
      std::fprintf(err, "moxctl: bad library %s (iscsi://HOST[:PORT]/TARGET-IQN)\n", why.c_str());
      return 2;
    }
    const std::string path = url.substr(url.find('/', 8) + 1);
    if (path.find('/') != std::string::npos) {
      std::fprintf(err,
                   "moxctl: bad library '%s': names a LUN (iscsi://HOST[:PORT]/TARGET-IQN: the "
                   "target is the library)\n",
                   url.c_str());
      return 2;
    }
    if (!seen.insert(address.portal() + "/" + address.target).second) {
      std::fprintf(err, "moxctl: library '%s' is named twice\n", url.c_str());
      return 2;
    }
  }
  return 0;
}

int probeLibraries(const std::vector<std::string>& urls, std::vector<mox::LibraryProbe>* probes,
                   FILE* err) {
  probes->clear();
  const mox::LibraryOptions options = mox::adminLibraryOptions();
  int drives = 0;
  for (const std::string& url : urls) {
    mox::LibraryProbe probe;
    std::string why;
    int rc = mox::probeLibrary(url, drives, options, &probe, &why);
    if (rc != MOX_OK) {
      std::fprintf(err, "moxctl: %s\n", why.c_str());
      return rc == MOX_E_INVALID_ARG ? 2 : 1;
    }
    drives += static_cast<int>(probe.config.drives.size());
    probes->push_back(std::move(probe));
  }
  std::vector<moxcfg::LibraryConfig> configs;
  for (const auto& p : *probes) configs.push_back(p.config);
  std::string problem = moxcfg::librariesProblem(configs);
  // The home keeps each cartridge's map by its barcode: two cartridges
  // with one barcode would share a map.
  std::map<std::string, std::string> seen;
  for (size_t k = 0; k < probes->size() && problem.empty(); ++k) {
    const mox::LibraryProbe& p = (*probes)[k];
    for (const auto* list : {&p.slots, &p.mailSlots}) {
      for (const mox::scsi::Element& e : *list) {
        if (!e.full || e.volumeTag.empty()) continue;
        std::string where =
            "library " + std::to_string(k) + " element " + std::to_string(e.address);
        auto [it, fresh] = seen.emplace(e.volumeTag, where);
        if (!fresh && problem.empty()) {
          problem = "barcode " + e.volumeTag + " is on two cartridges (" + it->second + ", " +
                    where + "): the home keeps each cartridge's map by its barcode";
        }
      }
    }
  }
  if (!problem.empty()) {
    std::fprintf(err, "moxctl: refused libraries: %s\n", problem.c_str());
    return 1;
  }
  return 0;
}

void printLibrariesMade(const std::vector<mox::LibraryProbe>& probes, FILE* out) {
  for (size_t k = 0; k < probes.size(); ++k) {
    const mox::LibraryProbe& p = probes[k];
    const moxcfg::LibraryConfig& c = p.config;
    std::fprintf(out, "library %zu: %s\n", k, c.target.c_str());
    for (const moxcfg::LibraryDrive& d : c.drives) {
      const platform::LibraryUnit& u = *c.unit(d.lun);
      std::string element = !c.hasChanger()  ? ""
                            : d.element != 0 ? ", changer element " + std::to_string(d.element)
                                             : ", no element of the changer";
      std::fprintf(out, "  drive %d: LUN %u, %s, %s%s\n", d.drive, d.lun, identityText(u).c_str(),
                   serialText(u.serial).c_str(), element.c_str());
    }
    if (c.hasChanger()) {
      const platform::LibraryUnit& u = *c.unit(static_cast<uint16_t>(c.changerLun));
      std::fprintf(out, "  changer: LUN %d, %s, %s: %s (%s), %s\n", c.changerLun,
                   identityText(u).c_str(), serialText(u.serial).c_str(),
                   plural(p.slots.size(), "slot", "slots").c_str(),
                   plural(fullCount(p.slots), "cartridge", "cartridges").c_str(),
                   plural(p.mailSlots.size(), "mail slot", "mail slots").c_str());
      if (p.otherChangers > 0) {
        std::fprintf(out, "  %s not used (one changer per library)\n",
                     plural(p.otherChangers, "further changer", "further changers").c_str());
      }
    } else {
      std::fprintf(out, "  no changer: the cartridges loaded in the drives are all there is\n");
    }
  }
}

int printLibraryStatus(const std::string& home, FILE* out, FILE* err) {
  std::unique_ptr<mox::TapeLibraries> libraries;
  if (mox::TapeLibraries::load(home, mox::adminLibraryOptions(), &libraries) != MOX_OK) {
    std::fprintf(err, "moxctl: %s\n", libraries->lastError().c_str());
    return 1;
  }
  // Everything is asked first, so that a library's line says whether it
  // answered, with or without a changer.
  std::vector<std::string> problems;  // lines for standard error
  std::vector<std::string> changerProblems(libraries->libraryCount());
  for (size_t k = 0; k < libraries->libraryCount(); ++k) {
    if (libraries->config(static_cast<int>(k)).hasChanger() &&
        libraries->refresh(static_cast<int>(k)) != MOX_OK &&
        libraries->unreachable(static_cast<int>(k)).empty()) {
      changerProblems[k] = libraries->lastError();
      problems.push_back(changerProblems[k]);
    }
  }
  std::vector<mox::DriveReport> reports(static_cast<size_t>(libraries->driveCount()));
  std::vector<int> results(reports.size());
  std::vector<std::string> errors(reports.size());
  for (size_t d = 0; d < reports.size(); ++d) {
    results[d] = libraries->reportDrive(static_cast<int>(d), &reports[d]);
    errors[d] = libraries->lastError();
  }
  for (size_t k = 0; k < libraries->libraryCount(); ++k) {
    const int library = static_cast<int>(k);
    const moxcfg::LibraryConfig& c = libraries->config(library);
    std::fprintf(out, "library %zu: %s: ", k, c.target.c_str());
    const mox::scsi::MediaChanger* ch = libraries->changer(library);
    if (!libraries->unreachable(library).empty()) {
      std::fprintf(out, "unreachable\n");
      problems.push_back("library " + std::to_string(k) + " (" + c.target +
                         ") is unreachable: " + libraries->unreachable(library));
    } else if (!c.hasChanger()) {
      std::fprintf(out, "no changer, the cartridges loaded in the drives are all there is\n");
    } else if (ch == nullptr) {
      std::fprintf(out, "changer LUN %d does not answer\n", c.changerLun);
    } else {
      size_t cartridges = fullCount(ch->slots()) + fullCount(ch->drives()) +
                          fullCount(ch->mailSlots()) + fullCount(ch->pickers());
      platform::LibraryUnit now;
      now.vendor = ch->identity().vendor;
      now.product = ch->identity().product;
      now.revision = ch->identity().revision;
      std::fprintf(out, "changer LUN %d, %s, %s, %s, %s\n", c.changerLun, identityText(now).c_str(),
                   plural(ch->slots().size(), "slot", "slots").c_str(),
                   plural(cartridges, "cartridge", "cartridges").c_str(),
                   plural(ch->mailSlots().size(), "mail slot", "mail slots").c_str());
    }
  }
  for (size_t d = 0; d < reports.size(); ++d) {
    const mox::DriveReport& r = reports[d];
    const platform::LibraryUnit& who = r.answered ? r.now : r.seen;
    std::fprintf(out, "drive %zu: library %d LUN %u, %s, %s: ", d, r.library, r.lun,
                 identityText(who).c_str(), serialText(who.serial).c_str());
    if (!libraries->unreachable(r.library).empty()) {
      std::fprintf(out, "(library unreachable)\n");
      continue;
    }
    if (!r.answered) {
      std::fprintf(out, "(no answer)\n");
      problems.push_back(errors[d]);
      continue;
    }
    if (!r.loaded) {
      std::fprintf(out, "%s", r.notReady.empty() ? "(empty)" : r.notReady.c_str());
    } else if (!r.barcode.empty()) {
      std::fprintf(out, "%s", r.barcode.c_str());
      if (r.homeSlot != 0) std::fprintf(out, " (from slot %u)", r.homeSlot);
    } else {
      std::fprintf(out, "loaded (%s)",
                   libraries->config(r.library).hasChanger() ? "no barcode" : "no changer");
    }
    if (!r.problem.empty()) {
      std::fprintf(out, " (%s)", r.problem.c_str());
      problems.push_back("drive " + std::to_string(d) + ": " + r.problem);
    } else if (results[d] != MOX_OK && changerProblems[static_cast<size_t>(r.library)].empty()) {
      problems.push_back(errors[d]);
    }
    std::fprintf(out, "\n");
  }
  for (const std::string& line : problems) std::fprintf(err, "moxctl: %s\n", line.c_str());
  return problems.empty() ? 0 : 1;
}

std::map<std::string, int> cartridgesInDrives(const std::string& home) {
  std::map<std::string, int> held;
  std::unique_ptr<mox::TapeLibraries> libraries;
  if (mox::TapeLibraries::load(home, mox::adminLibraryOptions(), &libraries) != MOX_OK) return held;
  std::vector<mox::PoolEntry> pool;
  libraries->listPool(&pool);
  return mox::cartridgesInDrives(pool);
}

void printLibrariesInUse(const std::vector<mox::LibraryProbe>& probes, FILE* err) {
  std::string seen;
  for (size_t k = 0; k < probes.size(); ++k) {
    std::string loaded, reserved;
    for (const mox::scsi::Element& e : probes[k].drives) {
      if (!e.full) continue;
      loaded += (loaded.empty() ? "" : ", ") +
                (e.volumeTag.empty() ? std::string("a cartridge") : e.volumeTag);
    }
    for (const std::string& unit : probes[k].reserved) {
      reserved += (reserved.empty() ? "" : ", ") + unit;
    }
    std::string what;
    if (!loaded.empty()) what = "its drives hold " + loaded;
    if (!reserved.empty()) {
      what += (what.empty() ? "" : "; ") + reserved + " reserved by another initiator";
    }
    if (!what.empty()) {
      seen += (seen.empty() ? "" : "; ") + std::string("library ") + std::to_string(k) + " (" +
              probes[k].config.target + "): " + what;
    }
  }
  if (seen.empty()) return;
  std::fprintf(err,
               "moxctl: the library already looks used by another home or host (%s): this home "
               "never moves a cartridge it did not load\n",
               seen.c_str());
}

int printLibraryMedia(const std::string& home, FILE* out, FILE* err) {
  std::unique_ptr<mox::TapeLibraries> libraries;
  if (mox::TapeLibraries::load(home, mox::adminLibraryOptions(), &libraries) != MOX_OK) {
    std::fprintf(err, "moxctl: %s\n", libraries->lastError().c_str());
    return 1;
  }
  std::vector<mox::PoolEntry> pool;
  int rc = libraries->listPool(&pool);
  std::fprintf(out, "%-12s %-6s %-8s %-8s %-10s %s\n", "CARTRIDGE", "DRIVE", "LIBRARY", "ELEMENT",
               "PLACE", "MAP");
  for (const mox::PoolEntry& p : pool) {
    // A cartridge in a drive of a library without a changer is named after
    // its drive, as the engine names it.
    const bool named = p.full && p.barcode.empty() && p.place == mox::Place::drive &&
                       p.element == 0 && p.drive >= 0;
    std::string name = !p.full             ? "(empty)"
                       : named             ? mox::driveCartridgeName(p.drive)
                       : p.barcode.empty() ? "(no barcode)"
                                           : p.barcode;
    std::string drive = p.drive >= 0                   ? std::to_string(p.drive)
                        : !p.full                      ? "-"
                        : p.place == mox::Place::drive ? "other"
                                                       : "pool";
    std::string element = p.element != 0 ? std::to_string(p.element) : "-";
    std::string map = !p.full || (p.barcode.empty() && !named) ? "-" : p.mapped ? "kept" : "none";
    std::fprintf(out, "%-12s %-6s %-8d %-8s %-10s %s", name.c_str(), drive.c_str(), p.library,
                 element.c_str(), mox::placeName(p.place), map.c_str());
    if (p.homeSlot != 0) std::fprintf(out, "  from slot %u", p.homeSlot);
    std::fprintf(out, "\n");
  }
  if (rc == MOX_OK) return 0;
  std::set<int> told;
  for (size_t k = 0; k < libraries->libraryCount(); ++k) {
    const int library = static_cast<int>(k);
    if (!libraries->unreachable(library).empty()) {
      std::fprintf(err, "moxctl: library %zu (%s) is unreachable: %s\n", k,
                   libraries->config(library).target.c_str(),
                   libraries->unreachable(library).c_str());
      told.insert(library);
    }
  }
  if (told.empty()) std::fprintf(err, "moxctl: %s\n", libraries->lastError().c_str());
  return 1;
}

}  // namespace moxctl
