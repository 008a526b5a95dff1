// The SCSI inquiry inventory: every logical unit of SCSI ports 0 to 7 with
// its device type, whether a driver claimed it, and its inquiry text.
#include "inventory/scsi_inventory.h"

#include <endian.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "inventory/inventory.h"
#include "platform/console.h"
#include "platform/library_units.h"
#include "platform/registry_store.h"
#include "platform/scsi_inquiry.h"

namespace {

constexpr const char* kScsiRule =
    "----------------------------------------------------------------------------\n";
constexpr size_t kRecordSize = kScsiRecordHeaderSize + kScsiInquiryLength;
constexpr uint32_t kMaxBus = 254;  // the bus count is one byte
constexpr uint32_t kUnknownInitiator = 0xFF;

void put32(uint8_t* buffer, size_t offset, uint32_t value) {
  uint32_t little = htole32(value);
  memcpy(buffer + offset, &little, sizeof(little));
}

uint32_t get32(const uint8_t* buffer, size_t offset) {
  uint32_t little;
  memcpy(&little, buffer + offset, sizeof(little));
  return le32toh(little);
}

size_t alignTo8(size_t offset) { return (offset + 7) & ~static_cast<size_t>(7); }

// Writes the INQUIRY data of one unit: device type, then vendor, product
// and revision at their standard places.
void putInquiryData(uint8_t* data, const platform::ScsiUnit& unit) {
  data[0] = unit.type;
  memcpy(data + 8, unit.vendor, 8);
  memcpy(data + 16, unit.model, 16);
  memcpy(data + 32, unit.revision, 4);
}

// Prints the rows of one bus's chain of inquiry records. The chain is
// followed only forward and inside the buffer.
void printBusRecords(const uint8_t* buffer, int port, int bus, uint32_t offset) {
  while (offset != 0 && offset + kScsiRecordHeaderSize <= kScsiPortBufferSize) {
    const uint8_t* record = buffer + offset;
    uint32_t inquiryLength = get32(record, 4);
    size_t room = kScsiPortBufferSize - offset - kScsiRecordHeaderSize;
    if (inquiryLength > room) inquiryLength = static_cast<uint32_t>(room);
    const uint8_t* inquiry = record + kScsiRecordHeaderSize;
    int textLength = 0;
    if (inquiryLength > 8) {
      const uint8_t* text = inquiry + 8;
      const void* end = memchr(text, 0, inquiryLength - 8);
      textLength = static_cast<int>(end != nullptr ? static_cast<const uint8_t*>(end) - text
                                                   : inquiryLength - 8);
    }
    int type = inquiryLength > 0 ? (inquiry[0] & 0x0F) : 0;
    printf("%-7d%-5d%-8d%-5d%-12d%-8s%.*s\n", port, bus, record[1], record[2], type,
           record[3] != 0 ? "Y" : "N", textLength,
           textLength > 0 ? reinterpret_cast<const char*>(inquiry + 8) : "");
    uint32_t next = get32(record, 8);
    if (next <= offset) break;
    offset = next;
  }
}

// The first port of the home's libraries: the one after the highest SCSI
// host, as the kernel numbers a new host.
int firstLibraryPort(const char* sysfsRoot) { return platform::highestScsiHost(sysfsRoot) + 1; }

// The units of library port `port` as the rows of a sysfs host: bus 0,
// target 0; tape drives and changers claimed (by the engine). False when
// the port is no library of the home.
bool libraryPortUnits(const char* sysfsRoot, const std::string& home, uint16_t port,
                      std::vector<platform::ScsiUnit>* units) {
  units->clear();
  if (home.empty()) return false;
  int index = static_cast<int>(port) - firstLibraryPort(sysfsRoot);
  if (index < 0) return false;
  std::vector<std::vector<platform::LibraryUnit>> libraries = platform::readLibraryUnits(home);
  if (index >= static_cast<int>(libraries.size())) return false;
  for (const platform::LibraryUnit& u : libraries[static_cast<size_t>(index)]) {
    platform::ScsiUnit unit;
    unit.host = port;
    unit.lun = u.lun;
    unit.type = u.type;
    unit.claimed = u.type == 0x01 || u.type == 0x08;  // the engine's drives and changer
    snprintf(unit.vendor, sizeof unit.vendor, "%-8.8s", u.vendor.c_str());
    snprintf(unit.model, sizeof unit.model, "%-16.16s", u.product.c_str());
    snprintf(unit.revision, sizeof unit.revision, "%-4.4s", u.revision.c_str());
    units->push_back(unit);
  }
  return true;
}

}  // namespace

int queryScsiPort(uint8_t* buffer, uint16_t port, const char* sysfsRoot, const std::string& home) {
  std::vector<platform::ScsiUnit> units;
  if (platform::readScsiHostUnits(sysfsRoot, port, &units) != 0 &&
      !libraryPortUnits(sysfsRoot, home, port, &units)) {
    return -1;
  }
  uint32_t busCount = 0;
  for (const platform::ScsiUnit& unit : units) {
    if (unit.channel <= kMaxBus && unit.channel + 1 > busCount) busCount = unit.channel + 1;
  }
  buffer[0] = static_cast<uint8_t>(busCount);
  for (uint32_t bus = 0; bus < busCount; ++bus) {
    buffer[kScsiBusTableOffset + kScsiBusEntrySize * bus + 1] = kUnknownInitiator;
  }
  size_t next = alignTo8(kScsiBusTableOffset + kScsiBusEntrySize * busCount);
  size_t lastRecord[kMaxBus + 1] = {};  // per bus: offset of its last record
  // The units come in bus, target, LUN order, so every chain is in order.
  for (const platform::ScsiUnit& unit : units) {
    if (unit.channel > kMaxBus || unit.target > 255 || unit.lun > 255) continue;
    if (next + kRecordSize > kScsiPortBufferSize) break;
    uint8_t* record = buffer + next;
    record[0] = static_cast<uint8_t>(unit.channel);
    record[1] = static_cast<uint8_t>(unit.target);
    record[2] = static_cast<uint8_t>(unit.lun);
    record[3] = unit.claimed ? 1 : 0;
    put32(record, 4, kScsiInquiryLength);
    put32(record, 8, 0);
    putInquiryData(record + kScsiRecordHeaderSize, unit);
    uint8_t* busEntry = buffer + kScsiBusTableOffset + kScsiBusEntrySize * unit.channel;
    if (lastRecord[unit.channel] == 0) {
      put32(busEntry, 4, static_cast<uint32_t>(next));
    } else {
      put32(buffer + lastRecord[unit.channel], 8, static_cast<uint32_t>(next));
    }
    busEntry[0] = static_cast<uint8_t>(busEntry[0] + 1);
    lastRecord[unit.channel] = next;
    next = alignTo8(next + kRecordSize);
  }
  return 0;
}

int queryScsiPort(uint8_t* buffer, uint16_t port, const char* sysfsRoot) {
  return queryScsiPort(buffer, port, sysfsRoot, "");
}

int queryScsiPort(uint8_t* buffer, uint16_t port) {
  return queryScsiPort(buffer, port, platform::kSysfsRoot, platform::engineHomePath());
}

int listScsiInquiryDataAt(const char* sysfsRoot, const std::string& home) {
  printf("Board  Bus  ScsiID  LUN  DeviceType  Claimed InquiryData\n");
  printf("%s", kScsiRule);
  uint8_t buffer[kScsiPortBufferSize];
  // Ports 0 to 7, then the home's libraries wherever they are numbered.
  std::vector<int> ports;
  ports.reserve(kScsiPortCount);
  for (int port = 0; port < kScsiPortCount; ++port) ports.push_back(port);
  if (!home.empty()) {
    int first = firstLibraryPort(sysfsRoot);
    int libraries = static_cast<int>(platform::readLibraryUnits(home).size());
    for (int port = std::max(first, kScsiPortCount); port < first + libraries && port <= 0xFFFF;
         ++port) {
      ports.push_back(port);
    }
  }
  for (int port : ports) {
    memset(buffer, 0, sizeof(buffer));
    if (queryScsiPort(buffer, static_cast<uint16_t>(port), sysfsRoot, home) != 0) continue;
    int busCount = buffer[0];
    for (int bus = 0; bus < busCount; ++bus) {
      uint32_t first = get32(buffer, kScsiBusTableOffset + kScsiBusEntrySize * bus + 4);
      if (first == 0) continue;
      printBusRecords(buffer, port, bus, first);
    }
  }
  printf("%s", kScsiRule);
  platform::flushConsole();
  return 0;
}

int listScsiInquiryData() {
  return listScsiInquiryDataAt(platform::kSysfsRoot, platform::engineHomePath());
}
