#include "testing/tgt_test_support.h"

#include <cstring>

namespace mox::scsi::test {
namespace {

uint64_t fnv(const uint8_t* p, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= 1099511628211ull;
  }
  return h;
}

void put(uint8_t* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t get(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= uint64_t{p[i]} << (8 * i);
  return v;
}

}  // namespace

std::vector<uint8_t> makeRecord(uint64_t seq, uint32_t length) {
  if (length < kRecordHeader) length = kRecordHeader;
  std::vector<uint8_t> r(length);
  uint64_t x = seq * 0x9E3779B97F4A7C15ull + 1;
  for (uint32_t i = kRecordHeader; i < length; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    r[i] = static_cast<uint8_t>(x);
  }
  put(r.data(), seq, 6);
  put(r.data() + 6, length, 4);
  put(r.data() + 10, 0, 2);
  uint32_t sum = static_cast<uint32_t>(fnv(r.data() + kRecordHeader, length - kRecordHeader) ^
                                       fnv(r.data(), 12));
  put(r.data() + 12, sum, 4);
  return r;
}

bool checkRecord(const uint8_t* data, size_t length, uint64_t* seq) {
  if (length < kRecordHeader) return false;
  if (get(data + 6, 4) != length) return false;
  uint32_t sum =
      static_cast<uint32_t>(fnv(data + kRecordHeader, length - kRecordHeader) ^ fnv(data, 12));
  if (get(data + 12, 4) != sum) return false;
  *seq = get(data, 6);
  return true;
}

TapeDriveOptions testDriveOptions(int writeDepth, uint32_t recordCap) {
  TapeDriveOptions o;
  o.recordCap = recordCap;
  o.writeDepth = writeDepth;
  o.commandTimeoutMs = 5000;
  o.motionTimeoutMs = 5000;
  o.readyWaitMs = 5000;
  return o;
}

IscsiOptions testIscsiOptions() {
  IscsiOptions o;
  o.commandTimeoutMs = 5000;
  o.loginTimeoutMs = 3000;
  o.tcpUserTimeoutMs = 5000;
  return o;
}

std::unique_ptr<TapeDrive> openDrive(const zeptest::TgtTarget& target, int drive,
                                     TapeDriveOptions options) {
  IscsiAddress address;
  std::string error;
  EXPECT_TRUE(parseIscsiUrl(target.url(target.driveLun(drive)), &address, &error)) << error;
  auto transport = std::make_unique<IscsiTransport>(address, testIscsiOptions());
  auto member = std::make_unique<TapeDrive>(std::move(transport), options);
  Outcome o = member->open();
  EXPECT_EQ(o, Outcome::done) << outcomeName(o) << ": " << member->lastError();
  if (o != Outcome::done) return nullptr;
  return member;
}

std::unique_ptr<MediaChanger> openChanger(const zeptest::TgtTarget& target) {
  IscsiAddress address;
  std::string error;
  EXPECT_TRUE(parseIscsiUrl(target.url(target.changerLun()), &address, &error)) << error;
  auto changer =
      std::make_unique<MediaChanger>(std::make_unique<IscsiTransport>(address, testIscsiOptions()));
  Outcome o = changer->open();
  EXPECT_EQ(o, Outcome::done) << outcomeName(o) << ": " << changer->lastError();
  if (o != Outcome::done) return nullptr;
  return changer;
}

TapeScan scanTape(TapeDrive* drive, size_t maxObjects) {
  TapeScan scan;
  Outcome o = drive->rewind();
  if (o != Outcome::done) {
    scan.end = o;
    scan.error = drive->lastError();
    return scan;
  }
  std::vector<uint8_t> buffer(drive->options().recordCap);
  for (size_t i = 0; i < maxObjects; ++i) {
    uint32_t length = 0;
    o = drive->readRecord(buffer.data(), static_cast<uint32_t>(buffer.size()), &length);
    if (o == Outcome::filemark) {
      scan.objects.push_back("FM");
      continue;
    }
    if (o != Outcome::done) {
      scan.end = o;
      if (o != Outcome::endOfData) scan.error = drive->lastError();
      return scan;
    }
    uint64_t seq = 0;
    if (checkRecord(buffer.data(), length, &seq)) {
      scan.objects.push_back("R" + std::to_string(seq));
      scan.records.push_back(seq);
    } else {
      scan.objects.push_back("BAD");
      ++scan.bad;
    }
  }
  scan.end = Outcome::transport;
  scan.error = "more than " + std::to_string(maxObjects) + " objects: the tape does not end";
  return scan;
}

std::vector<std::string> describeTail(const ReconcileReport& report) {
  std::vector<std::string> out;
  for (const TapeObject& o : report.tail) {
    uint64_t seq = 0;
    if (o.filemark) {
      out.push_back("FM");
    } else if (checkRecord(o.record, &seq)) {
      out.push_back("R" + std::to_string(seq));
    } else {
      out.push_back("BAD");
    }
  }
  return out;
}

bool tailContinues(const ReconcileReport& report, uint64_t lastAcknowledged, uint64_t submitted,
                   std::string* why) {
  std::vector<std::string> objects = describeTail(report);
  std::string acked = "R" + std::to_string(lastAcknowledged);
  size_t at = 0;
  while (at < objects.size() && objects[at] != acked) ++at;
  if (at == objects.size()) {
    *why = "the last acknowledged record " + acked + " is not in the tail: " + join(objects);
    return false;
  }
  uint64_t expect = lastAcknowledged + 1;
  for (size_t i = at + 1; i < objects.size(); ++i, ++expect) {
    if (objects[i] != "R" + std::to_string(expect) || expect >= submitted) {
      *why = "after " + acked + " the tail holds " + objects[i] + " where R" +
             std::to_string(expect) + (expect >= submitted ? " (never sent)" : "") +
             " belongs: " + join(objects);
      return false;
    }
  }
  return true;
}

std::string join(const std::vector<std::string>& objects, size_t limit) {
  std::string s;
  for (size_t i = 0; i < objects.size(); ++i) {
    if (i == limit && objects.size() > 2 * limit) {
      s += " ... (" + std::to_string(objects.size() - 2 * limit) + " more) ...";
      i = objects.size() - limit;
    }
    s += (s.empty() ? "" : " ") + objects[i];
  }
  return s;
}

bool contiguous(const std::vector<uint64_t>& records, uint64_t first) {
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i] != first + i) return false;
  }
  return true;
}

}  // namespace mox::scsi::test
