// The SCSI inquiry inventory (-yc): the port inquiry data of SCSI ports 0 to
// 7, built from sysfs (port N is SCSI host N), then of the tape libraries
// the engine home reaches over iSCSI in user space (platform/
// library_units.h): one port each, numbered on from the highest SCSI host
// (from 0 when sysfs has none), with every logical unit on bus 0, target 0
// and its LUN, the tape drives and changers claimed (by the engine).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The port inquiry data buffer. Offsets are from its start; all 32-bit
// fields are little-endian.
//   0            number of buses (one byte)
//   4 + 8 * j    bus j: logical unit count (byte), initiator id (byte),
//                offset of its first inquiry record (32-bit at +4, 0: none)
// An inquiry record: path id (the bus), target id, LUN, device claimed flag
// (one byte each), inquiry data length (32-bit at +4), offset of the next
// record of the bus (32-bit at +8, 0 ends the chain), then the SCSI INQUIRY
// data from +12: byte 0 the peripheral device type, vendor from byte 8,
// product from byte 16, revision from byte 32.
inline constexpr size_t kScsiPortBufferSize = 8192;
inline constexpr size_t kScsiBusTableOffset = 4;
inline constexpr size_t kScsiBusEntrySize = 8;
inline constexpr size_t kScsiRecordHeaderSize = 12;
inline constexpr size_t kScsiInquiryLength = 36;
inline constexpr int kScsiPortCount = 8;

// Fills the zeroed kScsiPortBufferSize-byte buffer with the inquiry data of
// port `port` from the sysfs tree at `sysfsRoot`. Returns 0, or -1 when the
// port does not exist. Units that the record cannot describe (bus above 254,
// target or LUN above 255) and units beyond the buffer's room are left out.
int queryScsiPort(uint8_t* buffer, uint16_t port, const char* sysfsRoot);
int queryScsiPort(uint8_t* buffer, uint16_t port);
// The same, and a port past the sysfs hosts is a library of the engine home
// `home` ("": none).
int queryScsiPort(uint8_t* buffer, uint16_t port, const char* sysfsRoot, const std::string& home);

// listScsiInquiryData over the sysfs tree at `sysfsRoot` and the libraries
// of the engine home `home` ("": none). Returns 0.
int listScsiInquiryDataAt(const char* sysfsRoot, const std::string& home = "");
