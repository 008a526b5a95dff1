#include "engine/moxctl/moxctl_medium.h"

#include <cstdio>

#include "engine/mox/library.h"
#include "engine/mox/mox.h"

namespace moxctl {

int scanIn(const mox::Home& h, const std::string& path, mox::CartridgeMap* map) {
  int rc = MOX_OK;
  auto medium = mox::openMedium(h, path, false, &rc);
  return medium ? mox::mountMedium(*medium, map) : rc;
}

mox::CheckReport checkIn(const mox::Home& h, const std::string& path) {
  int rc = MOX_OK;
  auto medium = mox::openMedium(h, path, false, &rc);
  if (medium) return mox::checkMedium(*medium);
  mox::CheckReport report;
  report.result = rc == MOX_E_IO ? MOX_E_IO : MOX_E_MEDIA;
  report.problem = rc == MOX_E_IO ? "cannot be read (I/O error)"
                                  : "not a cartridge of this engine (no readable label)";
  report.damage.push_back({0, report.problem});
  return report;
}

std::vector<mox::DataBytes> dataBytesIn(const mox::Home& h, const std::string& path,
                                        const mox::CartridgeMap& map) {
  int rc = MOX_OK;
  auto medium = mox::openMedium(h, path, false, &rc);
  return medium ? mox::sessionData(*medium, map) : std::vector<mox::DataBytes>(map.sessions.size());
}

std::string ratioText(const mox::DataBytes& sums) {
  if (sums.stored == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f",
                static_cast<double>(sums.received) / static_cast<double>(sums.stored));
  return text;
}

}  // namespace moxctl
