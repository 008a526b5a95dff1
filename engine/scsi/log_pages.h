// What a tape drive counts of its own work, read from the drive itself: the
// log pages it keeps (errors corrected and not on write and on read, bytes
// through the drive, compression, TapeAlert flags) and its data compression
// mode page. A member's counters are read at one moment (DriveCounters) and
// two readings compared, so a test can say per drive what changed while it
// ran. A page or a counter the drive does not have is missing, never zero.
//
// tgt's virtual tape answers no log page (LOG SENSE is an unknown command to
// it); it answers MODE SENSE(6) and (10) for page 0Fh, compression off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/scsi/device.h"

namespace mox::scsi {

// Log pages read here.
namespace logpage {
inline constexpr uint8_t kSupported = 0x00;
inline constexpr uint8_t kWriteErrors = 0x02;
inline constexpr uint8_t kReadErrors = 0x03;
inline constexpr uint8_t kSequentialAccess = 0x0C;
inline constexpr uint8_t kCompression = 0x1B;
inline constexpr uint8_t kTapeAlert = 0x2E;
}  // namespace logpage

// The data compression mode page.
inline constexpr uint8_t kCompressionModePage = 0x0F;

// One counter: present when the drive gave it.
struct Counter {
  bool present = false;
  uint64_t value = 0;
};

// The counters of the write (02h) and read (03h) error counters pages, by
// parameter code.
enum ErrorCounter : size_t {
  kCorrectedWithoutDelay,  // errors corrected without substantial delay
  kCorrectedWithDelay,     // errors corrected with possible delays
  kRetries,                // total re-writes or re-reads
  kCorrected,              // total errors corrected
  kAlgorithmProcessed,     // times the correction algorithm was processed
  kBytesProcessed,         // total bytes processed
  kUncorrected,            // total uncorrected errors
  kErrorCounters,
};

// The sequential-access device page (0Ch), by parameter code.
enum SequentialCounter : size_t {
  kBytesFromInitiator,  // data bytes received from the initiator, before compression
  kBytesToMedium,       // data bytes written to the medium
  kBytesFromMedium,     // data bytes read from the medium
  kBytesToInitiator,    // data bytes transferred to the initiator
  kSequentialCounters,
};

// The data compression log page (1Bh), by parameter code. The ratios are
// percent (a ratio of 2.5 is 250); each amount is megabytes and the bytes
// beyond them, as two counters.
enum CompressionCounter : size_t {
  kReadRatio,
  kWriteRatio,
  kMegabytesToHost,
  kBytesToHost,
  kMegabytesReadFromMedium,
  kBytesReadFromMedium,
  kMegabytesFromHost,
  kBytesFromHost,
  kMegabytesWrittenToMedium,
  kBytesWrittenToMedium,
  kCompressionCounters,
};

// TapeAlert flags 01h..40h: bit (flag - 1) set when the drive raised it.
struct TapeAlert {
  bool present = false;
  uint64_t flags = 0;
  bool raised(unsigned flag) const {
    return flag >= 1 && flag <= 64 && ((flags >> (flag - 1)) & 1) != 0;
  }
};

// The data compression mode page as the drive has it now.
struct CompressionMode {
  bool present = false;
  bool compress = false;    // DCE: data is compressed on write
  bool capable = false;     // DCC: the drive can compress
  bool decompress = false;  // DDE: compressed data is decompressed on read
  uint32_t compressionAlgorithm = 0;
  uint32_t decompressionAlgorithm = 0;
};

// A drive's counters at one moment.
struct DriveCounters {
  bool listed = false;         // the drive answered the supported pages page
  std::vector<uint8_t> pages;  // the pages it listed
  Counter writeErrors[kErrorCounters];
  Counter readErrors[kErrorCounters];
  Counter sequential[kSequentialCounters];
  Counter compression[kCompressionCounters];
  TapeAlert tapeAlert;
  CompressionMode compressionMode;
};

// One parameter of a log page, pointing into the answer.
struct LogParameter {
  uint16_t code = 0;
  const uint8_t* value = nullptr;
  uint8_t length = 0;
};

// The parameters of log page `page` that lie wholly inside both the page
// length and the `length` bytes received, in the drive's order; a parameter
// cut by the end ends the list. False (no parameters) when the header is
// short or names another page or a subpage.
bool parseLogPage(const uint8_t* data, size_t length, uint8_t page, std::vector<LogParameter>* out);
// Page 00h: the pages the drive keeps.
bool parseSupportedPages(const uint8_t* data, size_t length, std::vector<uint8_t>* out);
// A page of counters, parameter code i into out[i] for i < count; codes
// beyond are not read. A parameter of 0 or more than 8 bytes is refused: its
// counter stays missing. False when the page is missing (every counter
// missing).
bool parseCounters(const uint8_t* data, size_t length, uint8_t page, Counter* out, size_t count);
// Page 2Eh. A flag is raised when bit 0 of its one-byte value is set.
bool parseTapeAlert(const uint8_t* data, size_t length, TapeAlert* out);
// The answer to MODE SENSE(10) for page 0Fh: header, block descriptors
// skipped, the page. False when the page is short or another.
bool parseCompressionMode(const uint8_t* data, size_t length, CompressionMode* out);

// The answer that stopped a reading, and the command it answered.
struct CountersStop {
  const char* command = "";  // "LOG SENSE" or "MODE SENSE"
  Answer answer;
};

// Reads the drive's counters: page 00h, then those of the pages above it
// lists, then the data compression mode page. A page the drive does not list
// or refuses stays missing. 0, or -1 when the session failed (*error, when
// given: the failed command's line); what was read before stays in *out.
// Without `stop` (a session of the reading's own) a unit attention is waited
// out. With it (a member's session, whose unit attentions are the member's:
// a reset or a medium change moved its tape) a unit attention, a busy drive
// and a reservation conflict stop the reading too, and the answer that
// stopped it goes to *stop for the member to take.
int readDriveCounters(ScsiDevice& device, int timeoutMs, DriveCounters* out,
                      std::string* error = nullptr, CountersStop* stop = nullptr);

// What changed from `before` to `after`: each counter after - before, missing
// when missing in either or when it went down (the drive cleared its log, at
// a load or a reset); the compression ratios and the mode page as they are
// after. TapeAlert: the flags raised in either reading, as many drives clear
// them once read.
DriveCounters countersDifference(const DriveCounters& before, const DriveCounters& after);

// The TapeAlert flag's name ("Clean now"), or "TapeAlert flag 0xNN" for a
// flag without one (obsolete, reserved, or beyond 40h).
std::string tapeAlertName(unsigned flag);

}  // namespace mox::scsi
