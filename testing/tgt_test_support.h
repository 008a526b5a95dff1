// Shared by the tests that run tape drives and changers against a private
// tgtd: numbered, checksummed test records, opening a member on a target,
// and reading a whole tape back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/scsi/changer.h"
#include "engine/scsi/iscsi_transport.h"
#include "engine/scsi/tape_drive.h"
#include "testing/tgt_target.h"

namespace mox::scsi::test {

// A test record: sequence number, length, checksum of the rest, then bytes
// that follow from the sequence number. At least kRecordHeader bytes.
inline constexpr uint32_t kRecordHeader = 16;
std::vector<uint8_t> makeRecord(uint64_t seq, uint32_t length);
// True when `data` is a sound test record; its sequence number in *seq.
bool checkRecord(const uint8_t* data, size_t length, uint64_t* seq);
inline bool checkRecord(const std::vector<uint8_t>& r, uint64_t* seq) {
  return checkRecord(r.data(), r.size(), seq);
}

// Short timeouts: tgt on loopback answers in milliseconds, and a test that
// waits must not wait long.
TapeDriveOptions testDriveOptions(int writeDepth = 4, uint32_t recordCap = 256 * 1024);
IscsiOptions testIscsiOptions();

// A member on drive `drive` of the target, opened. Null (with a test
// failure) when it cannot be opened.
std::unique_ptr<TapeDrive> openDrive(const zeptest::TgtTarget& target, int drive,
                                     TapeDriveOptions options = testDriveOptions());
std::unique_ptr<MediaChanger> openChanger(const zeptest::TgtTarget& target);

// What a tape holds, read from the beginning: 'R' + sequence for each
// sound record, "FM" for a filemark, "BAD" for a record that fails its
// check, and the outcome that ended the scan (end of data, or an error).
struct TapeScan {
  std::vector<std::string> objects;
  std::vector<uint64_t> records;  // sequence numbers of sound records, in order
  Outcome end = Outcome::done;
  std::string error;
  size_t bad = 0;
};
TapeScan scanTape(TapeDrive* drive, size_t maxObjects = 100000);

// The tail a reconcile read, as in a scan ("R148 R149 R151 FM").
std::vector<std::string> describeTail(const ReconcileReport& report);

// True when the tail holds record `lastAcknowledged` (the sequence number of
// the last acknowledged record) followed only by the records sent after it,
// in order, each once, none at or past `submitted`; *why says what breaks
// it otherwise.
bool tailContinues(const ReconcileReport& report, uint64_t lastAcknowledged, uint64_t submitted,
                   std::string* why);

// "R0 R1 FM R2 ..." for messages.
std::string join(const std::vector<std::string>& objects, size_t limit = 40);

// True when `records` is first, first+1, ..., each once.
bool contiguous(const std::vector<uint64_t>& records, uint64_t first = 0);

}  // namespace mox::scsi::test
