#include "engine/scsi/log_pages.h"

#include <algorithm>
#include <cstdio>

#include "engine/scsi/big_endian.h"
#include "engine/scsi/device.h"

namespace mox::scsi {
namespace {

// Room for any page read here: TapeAlert, the longest, is 4 + 64 * 5 bytes.
constexpr uint16_t kPageBytes = 1024;
// A command answered with a unit attention is sent again this often in all.
constexpr int kAttentionAttempts = 3;

// Names of the TapeAlert flags 01h..40h; nullptr where the flag is obsolete
// or reserved.
constexpr const char* kTapeAlertNames[64] = {
    "Read warning",
    "Write warning",
    "Hard error",
    "Media",
    "Read failure",
    "Write failure",
    "Media life",
    "Not data grade",
    "Write protect",
    "No removal",
    "Cleaning media",
    "Unsupported format",
    "Recoverable mechanical cartridge failure",
    "Unrecoverable mechanical cartridge failure",
    "Memory chip in cartridge failure",
    "Forced eject",
    "Read only format",
    "Tape directory corrupted on load",
    "Nearing media life",
    "Clean now",
    "Clean periodic",
    "Expired cleaning media",
    "Invalid cleaning tape",
    "Retension requested",
    "Dual-port interface error",
    "Cooling fan failure",
    "Power supply failure",
    "Power consumption",
    "Drive maintenance",
    "Hardware A",
    "Hardware B",
    "Interface",
    "Eject media",
    "Download fault",
    "Drive humidity",
    "Drive temperature",
    "Drive voltage",
    "Predictive failure",
    "Diagnostics required",
    nullptr,  // 28h..2Eh obsolete, 2Fh..31h reserved
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    "Lost statistics",
    "Tape directory invalid at unload",
    "Tape system area write failure",
    "Tape system area read failure",
    "No start of data",
    "Loading failure",
    "Unrecoverable unload failure",
    "Automation interface failure",
    "Firmware failure",
    "WORM medium - integrity check failed",
    "WORM medium - overwrite attempted",
    nullptr,  // 3Dh..40h reserved
    nullptr,
    nullptr,
    nullptr,
};

// Runs one command that reads into `buffer`: 1 and *got the bytes received
// when the drive answered GOOD, 0 when it refused (the page is missing), -1
// when the session failed or, with `stop`, an answer the member must take
// came (readDriveCounters).
int readInto(ScsiDevice& device, const Cdb& cdb, const char* what, int timeoutMs,
             std::vector<uint8_t>* buffer, size_t* got, std::string* error, CountersStop* stop) {
  std::fill(buffer->begin(), buffer->end(), 0);
  uint32_t length = static_cast<uint32_t>(buffer->size());
  const Command command{cdb, Direction::in, buffer->data(), length, timeoutMs};
  Answer a =
      stop != nullptr ? device.run(command) : device.runPastAttentions(command, kAttentionAttempts);
  const Outcome o = a.outcome();
  if (o == Outcome::transport ||
      (stop != nullptr &&
       (o == Outcome::positionLost || o == Outcome::busy || o == Outcome::reserved))) {
    if (error != nullptr) *error = device.failure(what, a);
    if (stop != nullptr) *stop = CountersStop{what, a};
    return -1;
  }
  if (o != Outcome::done) return 0;
  *got = a.transferred(length);
  return 1;
}

Counter delta(const Counter& before, const Counter& after) {
  if (!before.present || !after.present || after.value < before.value) return Counter{};
  return Counter{true, after.value - before.value};
}

void deltas(const Counter* before, const Counter* after, Counter* out, size_t count) {
  for (size_t i = 0; i < count; ++i) out[i] = delta(before[i], after[i]);
}

// Where the counters of log page `page` go, and how many it has; nullptr
// for a page that holds no counters.
Counter* countersOf(DriveCounters* c, uint8_t page, size_t* count) {
  switch (page) {
    case logpage::kWriteErrors:
      *count = kErrorCounters;
      return c->writeErrors;
    case logpage::kReadErrors:
      *count = kErrorCounters;
      return c->readErrors;
    case logpage::kSequentialAccess:
      *count = kSequentialCounters;
      return c->sequential;
    case logpage::kCompression:
      *count = kCompressionCounters;
      return c->compression;
    default:
      return nullptr;
  }
}

}  // namespace

bool parseLogPage(const uint8_t* data, size_t length, uint8_t page,
                  std::vector<LogParameter>* out) {
  out->clear();
  if (data == nullptr || length < 4 || (data[0] & 0x3F) != page || data[1] != 0) return false;
  size_t end = std::min(length, 4 + size_t{be::get16(data + 2)});
  for (size_t at = 4; at + 4 <= end;) {
    uint8_t n = data[at + 3];
    if (at + 4 + n > end) break;
    out->push_back(LogParameter{be::get16(data + at), data + at + 4, n});
    at += 4 + size_t{n};
  }
  return true;
}

bool parseSupportedPages(const uint8_t* data, size_t length, std::vector<uint8_t>* out) {
  out->clear();
  if (data == nullptr || length < 4 || (data[0] & 0x3F) != logpage::kSupported || data[1] != 0) {
    return false;
  }
  size_t end = std::min(length, 4 + size_t{be::get16(data + 2)});
  for (size_t at = 4; at < end; ++at) out->push_back(data[at] & 0x3F);
  return true;
}

bool parseCounters(const uint8_t* data, size_t length, uint8_t page, Counter* out, size_t count) {
  std::fill(out, out + count, Counter{});
  std::vector<LogParameter> parameters;
  if (!parseLogPage(data, length, page, &parameters)) return false;
  for (const LogParameter& p : parameters) {
    if (p.code >= count || p.length == 0 || p.length > 8) continue;
    out[p.code] = Counter{true, be::getN(p.value, p.length)};
  }
  return true;
}

bool parseTapeAlert(const uint8_t* data, size_t length, TapeAlert* out) {
  *out = TapeAlert{};
  std::vector<LogParameter> parameters;
  if (!parseLogPage(data, length, logpage::kTapeAlert, &parameters)) return false;
  out->present = true;
  for (const LogParameter& p : parameters) {
    if (p.code < 1 || p.code > 64 || p.length != 1) continue;
    if ((p.value[0] & 0x01) != 0) out->flags |= uint64_t{1} << (p.code - 1);
  }
  return true;
}

bool parseCompressionMode(const uint8_t* data, size_t length, CompressionMode* out) {
  *out = CompressionMode{};
  if (data == nullptr || length < 8) return false;
  size_t end = std::min(length, 2 + size_t{be::get16(data)});
  size_t at = 8 + size_t{be::get16(data + 6)};  // past the block descriptors
  if (at + 12 > end) return false;
  const uint8_t* page = data + at;
  if ((page[0] & 0x3F) != kCompressionModePage || page[1] < 10) return false;
  out->present = true;
  out->compress = (page[2] & 0x80) != 0;
  out->capable = (page[2] & 0x40) != 0;
  out->decompress = (page[3] & 0x80) != 0;
  out->compressionAlgorithm = be::get32(page + 4);
  out->decompressionAlgorithm = be::get32(page + 8);
  return true;
}

int readDriveCounters(ScsiDevice& device, int timeoutMs, DriveCounters* out, std::string* error,
                      CountersStop* stop) {
  *out = DriveCounters{};
  std::vector<uint8_t> buffer(kPageBytes);
  size_t got = 0;
  int r = readInto(device, logSense(logpage::kSupported, kPageBytes), "LOG SENSE", timeoutMs,
                   &buffer, &got, error, stop);
  if (r < 0) return -1;
  if (r > 0) out->listed = parseSupportedPages(buffer.data(), got, &out->pages);
  for (uint8_t page : out->pages) {
    size_t count = 0;
    Counter* counters = countersOf(out, page, &count);
    if (counters == nullptr && page != logpage::kTapeAlert) continue;
    r = readInto(device, logSense(page, kPageBytes), "LOG SENSE", timeoutMs, &buffer, &got, error,
                 stop);
    if (r < 0) return -1;
    if (r == 0) continue;
    if (page == logpage::kTapeAlert) {
      parseTapeAlert(buffer.data(), got, &out->tapeAlert);
    } else {
      parseCounters(buffer.data(), got, page, counters, count);
    }
  }
  r = readInto(device, modeSense10(kCompressionModePage, kPageBytes, true), "MODE SENSE", timeoutMs,
               &buffer, &got, error, stop);
  if (r < 0) return -1;
  if (r > 0) parseCompressionMode(buffer.data(), got, &out->compressionMode);
  return 0;
}

DriveCounters countersDifference(const DriveCounters& before, const DriveCounters& after) {
  DriveCounters d;
  d.listed = before.listed && after.listed;
  if (d.listed) {
    for (uint8_t page : after.pages) {
      if (std::find(before.pages.begin(), before.pages.end(), page) != before.pages.end()) {
        d.pages.push_back(page);
      }
    }
  }
  deltas(before.writeErrors, after.writeErrors, d.writeErrors, kErrorCounters);
  deltas(before.readErrors, after.readErrors, d.readErrors, kErrorCounters);
  deltas(before.sequential, after.sequential, d.sequential, kSequentialCounters);
  deltas(before.compression, after.compression, d.compression, kCompressionCounters);
  // A ratio is the drive's state, not an amount: the one after.
  for (size_t ratio : {kReadRatio, kWriteRatio}) {
    bool both = before.compression[ratio].present && after.compression[ratio].present;
    d.compression[ratio] = both ? after.compression[ratio] : Counter{};
  }
  d.tapeAlert.present = before.tapeAlert.present || after.tapeAlert.present;
  d.tapeAlert.flags = before.tapeAlert.flags | after.tapeAlert.flags;
  d.compressionMode = after.compressionMode;
  return d;
}

std::string tapeAlertName(unsigned flag) {
  if (flag >= 1 && flag <= 64 && kTapeAlertNames[flag - 1] != nullptr) {
    return kTapeAlertNames[flag - 1];
  }
  char text[32];
  std::snprintf(text, sizeof text, "TapeAlert flag 0x%02X", flag);
  return text;
}

}  // namespace mox::scsi
