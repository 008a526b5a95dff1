// Setting a tape library up (moxctl init --library): what one iSCSI target
// holds, unit by unit, and how the sessions to a library are made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "engine/scsi/changer.h"
#include "engine/scsi/device.h"
#include "engine/scsi/iscsi_transport.h"
#include "engine/scsi/tape_drive.h"
#include "platform/library_units.h"

namespace mox {

// How the sessions to a library are made: the initiator's name and the
// timeouts of logins, commands and moves.
struct LibraryOptions {
  scsi::IscsiOptions iscsi;
  scsi::ChangerOptions changer;
  scsi::TapeDriveOptions drive;
};
// The options of an administrative command (moxctl): initiator
// "<...>:moxctl", a login within 10 s and a command within 30 s, or both
// within MOX_ISCSI_TIMEOUT seconds (1 to 3600) when that is set.
LibraryOptions adminLibraryOptions();

// What one target holds (moxctl init --library).
struct LibraryProbe {
  moxcfg::LibraryConfig config;          // its tape drives numbered from the first drive given
  std::vector<scsi::Element> slots;      // the changer's storage slots
  std::vector<scsi::Element> mailSlots;  // its import/export elements
  size_t changerDrives = 0;              // data transfer elements of the changer
  size_t otherChangers = 0;              // changer LUNs after the first, not used
  size_t unmatchedDrives = 0;            // tape drives with no element of the changer
  std::vector<scsi::Element> drives;     // the changer's data transfer elements
  // Units another initiator holds reserved ("LUN 1"): READ RESERVATION names
  // a holder, or TEST UNIT READY meets a RESERVATION CONFLICT.
  std::vector<std::string> reserved;
};

// Logs in to the target at `url` (iscsi://HOST[:PORT]/TARGET-IQN, no LUN),
// reads REPORT LUNS, INQUIRY and the unit serial number of every logical
// unit, and the element status of the first changer; makes the tape units
// the drives `firstDrive`, `firstDrive`+1, ... in LUN order, each matched
// to the changer's data transfer element that names its serial number (or,
// when the changer names none, the elements in address order). Returns
// MOX_OK; MOX_E_INVALID_ARG for a bad URL; MOX_E_IO for a target that
// cannot be reached or does not answer; MOX_E_NO_DEVICE for a target
// without a tape drive, or a drive past LUN 255. *error says why.
int probeLibrary(const std::string& url, int firstDrive, const LibraryOptions& options,
                 LibraryProbe* probe, std::string* error);

// The unit at `lun` of `device` (logged in) as the library's setup records
// it: its identity, texts as a field holds them (platform::unitText), and
// the peripheral qualifier in *qualifier (not 0: no unit is connected
// there). False, with *why ("INQUIRY: ..."), when the unit does not answer
// the standard INQUIRY.
bool identifyUnit(scsi::ScsiDevice& device, uint16_t lun, int timeoutMs,
                  platform::LibraryUnit* unit, uint8_t* qualifier, std::string* why);

}  // namespace mox
