// SCSI logical units that an engine home reaches over iSCSI in user space:
// the tape libraries of the home (moxctl init --library), as its registry
// store records them when the library is set up. No kernel SCSI host stands
// for them, so the SCSI inquiry inventory shows each library as one more
// port after the sysfs hosts, with every logical unit on bus 0, target 0
// and its own LUN, as the kernel's iSCSI initiator shows a session.
//
// Library k of a home is the registry key "<kTapeEngineKey>\\Library<k>",
// k = 0, 1, ... without a gap. Its value "Units" holds one line per logical
// unit, in LUN order, fields separated by one tab:
//   LUN  TYPE  VENDOR  PRODUCT  REVISION  SERIAL
// LUN and TYPE (the peripheral device type) in decimal; the texts as the
// unit answered INQUIRY and its unit serial number page, trimmed, with
// anything but printable ASCII made '?'. A file home has no library key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

inline constexpr const char* kLibraryUnitsValue = "Units";
inline constexpr int kMaxLibraries = 16;
inline constexpr uint16_t kMaxLibraryLun = 16383;

// "<kTapeEngineKey>\\Library<k>"
std::string libraryKeyPath(int library);

struct LibraryUnit {
  uint16_t lun = 0;
  uint8_t type = 0x1F;  // 01h tape, 08h changer, 0Ch a target's controller, ...
  std::string vendor;
  std::string product;
  std::string revision;
  std::string serial;  // empty when the unit has none
};

// A text as a field holds it: blanks and NULs trimmed at both ends, every
// other byte outside printable ASCII made '?', at most `limit` bytes.
std::string unitText(const void* data, size_t length, size_t limit = 64);

std::string formatLibraryUnits(const std::vector<LibraryUnit>& units);
// False (and *units untouched) for a malformed value: a line without six
// fields, a number out of range, LUNs not rising.
bool parseLibraryUnits(const std::string& text, std::vector<LibraryUnit>* units);

// The units of every library of the home `home`, one entry per library in
// order. A library whose Units value is missing or malformed has no unit.
std::vector<std::vector<LibraryUnit>> readLibraryUnits(const std::string& home);

}  // namespace platform
