// Device inventories and the library debug level.
#pragma once

#include <cstdint>

// The device table of the tape service's devices (-y). 0, or -1 when no
// handle could be opened.
int listTapeServiceDevices();
// The SCSI inquiry data of ports 0 to 7 (-yc). Returns 0.
int listScsiInquiryData();
// "(HDD)", "(TAPE)", "(CHANGER)", "(CDROM)" or "" from the low 16 bits.
const char* deviceTypeName(uint32_t type);
// The device table's header, rule and row formats, shared with the setup
// console.
void printDeviceTableHeader();
void printDeviceTableRule();
void printDeviceTableRow(int index, int board, int bus, int target, int lun, uint32_t type,
                         const char* inquiry);
// Asks for and sets the tape service library's debug level (-u).
void setLibraryDebugLevel();
