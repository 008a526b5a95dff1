#include "engine/mox/cartridge.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/mox/member_scan.h"
#include "engine/mox/mox.h"

namespace mox {

ReadCounters& readCounters() {
  static ReadCounters counters;
  return counters;
}

bool bodyMatches(const uint8_t* body, size_t length, uint32_t crc) {
  readCounters().bodyChecks.fetch_add(1, std::memory_order_relaxed);
  return crc32c(body, length) == crc;
}

namespace {

bool preadAll(int fd, void* buf, size_t len, uint64_t off) {
  uint8_t* p = static_cast<uint8_t*>(buf);
  while (len > 0) {
    ssize_t n = pread(fd, p, len, static_cast<off_t>(off));
    readCounters().readCalls.fetch_add(1, std::memory_order_relaxed);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    off += static_cast<uint64_t>(n);
    len -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

const SessionExtent* CartridgeMap::find(uint32_t session) const {
  for (const auto& s : sessions) {
    if (s.session == session) return &s;
  }
  return nullptr;
}

CartridgeFile::~CartridgeFile() { close(); }

int CartridgeFile::open(const std::string& path, bool writable) {
  close();
  fd_ = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd_ < 0) return errno == ENOENT ? MOX_E_MEDIA : MOX_E_IO;
  struct stat st;
  if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    close();
    return MOX_E_MEDIA;
  }
  path_ = path;
  return MOX_OK;
}

void CartridgeFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int CartridgeFile::readRaw(uint64_t offset, uint8_t* out, size_t room, uint32_t* length) const {
  uint8_t word[4];
  if (!preadAll(fd_, word, 4, offset)) return MOX_E_MEDIA;
  uint32_t len = loadLe32(word);
  if (len == kTapeMark || len > kMaxRecordLength || len < kHeaderSize || len > room) {
    return MOX_E_MEDIA;
  }
  if (!preadAll(fd_, out, len, offset + 4)) return MOX_E_MEDIA;
  if (!preadAll(fd_, word, 4, offset + 4 + len + (len & 1))) return MOX_E_MEDIA;
  if (loadLe32(word) != len) return MOX_E_MEDIA;
  *length = len;
  return MOX_OK;
}

int CartridgeFile::readRecord(uint64_t offset, RecordHeader* header,
                              std::vector<uint8_t>* body) const {
  uint8_t lead[4 + kHeaderSize];
  if (!preadAll(fd_, lead, sizeof lead, offset)) return MOX_E_MEDIA;
  uint32_t len = loadLe32(lead);
  if (len == kTapeMark || len > kMaxRecordLength || len < kHeaderSize) return MOX_E_MEDIA;
  if (!decodeHeader(lead + 4, header)) return MOX_E_CHECKSUM;
  if (header->storedLength != len - kHeaderSize) return MOX_E_MEDIA;
  body->resize(header->storedLength);
  if (header->storedLength > 0 &&
      !preadAll(fd_, body->data(), header->storedLength, offset + 4 + kHeaderSize)) {
    return MOX_E_MEDIA;
  }
  uint8_t word[4];
  if (!preadAll(fd_, word, 4, offset + 4 + len + (len & 1)) || loadLe32(word) != len) {
    return MOX_E_MEDIA;
  }
  if (!bodyMatches(body->data(), body->size(), header->bodyCrc)) return MOX_E_CHECKSUM;
  return MOX_OK;
}

int CartridgeFile::readRecordInto(uint64_t offset, uint8_t* header, uint8_t* body, size_t room,
                                  RecordHeader* decoded) const {
  // The largest record that fits: its lead word, header, `room` body bytes
  // (a pad byte counts against them) and trailing word, in one call.
  uint8_t lead[4];
  uint8_t tail[5];  // a pad byte and the trailing word
  struct iovec parts[4] = {
      {lead, sizeof lead}, {header, kHeaderSize}, {body, room}, {tail, sizeof tail}};
  size_t want = sizeof lead + kHeaderSize + room + sizeof tail;
  size_t got = 0;
  while (got < want) {
    // A read that stops short (the end of the file, or the system cutting
    // it) goes on only while the record itself is not complete, so a
    // healthy record takes one call, also near the end of the file.
    if (got >= sizeof lead) {
      uint32_t len = loadLe32(lead);
      if (len <= kHeaderSize + room && got >= sizeof lead + len + (len & 1) + 4) break;
    }
    size_t skip = got;
    struct iovec rest[4];
    int count = 0;
    for (const struct iovec& part : parts) {
      if (skip >= part.iov_len) {
        skip -= part.iov_len;
        continue;
      }
      rest[count++] = {static_cast<uint8_t*>(part.iov_base) + skip, part.iov_len - skip};
      skip = 0;
    }
    ssize_t n = preadv(fd_, rest, count, static_cast<off_t>(offset + got));
    readCounters().readCalls.fetch_add(1, std::memory_order_relaxed);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return MOX_E_MEDIA;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got < sizeof lead + kHeaderSize) return MOX_E_MEDIA;
  uint32_t len = loadLe32(lead);
  if (len == kTapeMark || len > kMaxRecordLength || len < kHeaderSize || len > kHeaderSize + room) {
    return MOX_E_MEDIA;
  }
  // The trailing word follows the body and its pad byte, in the body room
  // or, for the largest records, in `tail`.
  size_t at = len - kHeaderSize + (len & 1);
  if (got < sizeof lead + kHeaderSize + at + 4) return MOX_E_MEDIA;
  uint8_t word[4];
  for (size_t i = 0; i < 4; ++i) word[i] = at + i < room ? body[at + i] : tail[at + i - room];
  if (loadLe32(word) != len) return MOX_E_MEDIA;
  if (!decodeHeader(header, decoded)) return MOX_E_CHECKSUM;
  if (decoded->storedLength != len - kHeaderSize) return MOX_E_MEDIA;
  if (!bodyMatches(body, decoded->storedLength, decoded->bodyCrc)) return MOX_E_CHECKSUM;
  return MOX_OK;
}

void CartridgeFile::willNeed(uint64_t offset, uint64_t length) const {
  posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_WILLNEED);
}

int CartridgeFile::writeRecord(uint64_t offset, const RecordHeader& h, const void* body,
                               uint64_t* size, bool crcKnown) const {
  RecordHeader header = h;
  if (!crcKnown) header.bodyCrc = crc32c(body, header.storedLength);
  uint8_t lead[kFrameLeadSize + kHeaderSize];
  uint32_t len = static_cast<uint32_t>(kHeaderSize + header.storedLength);
  encodeFrameLead(len, lead);
  encodeHeader(header, lead + kFrameLeadSize);
  uint8_t tail[5];
  size_t tailSize = encodeFrameTail(len, tail);
  struct iovec iov[3] = {
      {lead, sizeof lead}, {const_cast<void*>(body), header.storedLength}, {tail, tailSize}};
  size_t total = sizeof lead + header.storedLength + tailSize;
  ssize_t n = pwritev(fd_, iov, 3, static_cast<off_t>(offset));
  if (n != static_cast<ssize_t>(total)) return MOX_E_IO;
  *size = total;
  return MOX_OK;
}

int CartridgeFile::writeRaw(uint64_t offset, const uint8_t* payload, uint32_t len,
                            uint64_t* size) const {
  uint8_t lead[kFrameLeadSize];
  encodeFrameLead(len, lead);
  uint8_t tail[5];
  size_t tailSize = encodeFrameTail(len, tail);
  struct iovec iov[3] = {
      {lead, kFrameLeadSize}, {const_cast<uint8_t*>(payload), len}, {tail, tailSize}};
  size_t total = kFrameLeadSize + len + tailSize;
  if (pwritev(fd_, iov, 3, static_cast<off_t>(offset)) != static_cast<ssize_t>(total)) {
    return MOX_E_IO;
  }
  *size = total;
  return MOX_OK;
}

int CartridgeFile::writeTapeMark(uint64_t offset) const {
  uint8_t zero[4] = {0, 0, 0, 0};
  return pwrite(fd_, zero, 4, static_cast<off_t>(offset)) == 4 ? MOX_OK : MOX_E_IO;
}

int CartridgeFile::truncate(uint64_t size) const {
  return ftruncate(fd_, static_cast<off_t>(size)) == 0 ? MOX_OK : MOX_E_IO;
}

int CartridgeFile::sync() const { return fdatasync(fd_) == 0 ? MOX_OK : MOX_E_IO; }

bool CartridgeFile::readAt(uint64_t offset, void* out, size_t length) const {
  return preadAll(fd_, out, length, offset);
}

int CartridgeFile::scan(CartridgeMap* map) const {
  *map = CartridgeMap();
  struct stat st;
  if (fstat(fd_, &st) != 0) return MOX_E_IO;
  uint64_t size = static_cast<uint64_t>(st.st_size);
  map->fileSize = size;
  if (size == 0) return MOX_OK;

  RecordHeader h;
  std::vector<uint8_t> buf;
  int rc = readRecord(0, &h, &buf);
  if (rc != MOX_OK || h.kind != Kind::kLabel || !decodeLabel(buf.data(), buf.size(), &map->label)) {
    // A first record cut short while it was written leaves a blank cartridge.
    uint8_t lead[8];
    if (size < 4 + kHeaderSize && preadAll(fd_, lead, std::min<uint64_t>(size, 8), 0) &&
        (size < 8 || loadLe32(lead + 4) == kRecordMagic)) {
      map->tornTail = true;
      map->tornReason = "label record cut short";
      return MOX_OK;
    }
    return MOX_E_MEDIA;
  }
  map->blank = false;
  scanSessions(*this, size, framedSize(kHeaderSize + h.storedLength), map);
  return MOX_OK;
}

int scanCartridge(const std::string& path, CartridgeMap* map) {
  CartridgeFile file;
  int rc = file.open(path, false);
  if (rc != MOX_OK) return rc;
  return file.scan(map);
}

namespace {

// Reads every record of a finished session and checks its body against its
// CRC; records the scan found broken already are not counted twice.
void checkSessionRecords(const CartridgeFile& file, uint64_t size, const SessionExtent& s,
                         CheckReport* report) {
  RecordHeader h;
  std::vector<uint8_t> body;
  uint64_t off = s.startOffset;
  while (off <= s.endOffset) {
    int r = file.readRecord(off, &h, &body);
    ++report->records;
    if (r == MOX_OK) {
      off += framedSize(kHeaderSize + h.storedLength);
      continue;
    }
    bool known = std::any_of(report->damage.begin(), report->damage.end(),
                             [&](const MediaDamage& d) { return d.offset == off; });
    if (!known) {
      report->damage.push_back(
          {off, r == MOX_E_CHECKSUM ? "checksum mismatch" : describeBadRecord(file, size, off)});
    }
    off = findNextRecord(file, size, off + 2);
  }
}

}  // namespace

CheckReport checkCartridge(const std::string& path) {
  CheckReport report;
  CartridgeFile file;
  int rc = file.open(path, false);
  CartridgeMap map;
  if (rc == MOX_OK) rc = file.scan(&map);
  if (rc != MOX_OK) {
    report.result = MOX_E_MEDIA;
    report.problem = "not a cartridge of this engine (no readable label)";
    struct stat st;
    if (file.isOpen() && fstat(file.fd(), &st) == 0 &&
        findNextRecord(file, static_cast<uint64_t>(st.st_size), 2) <
            static_cast<uint64_t>(st.st_size)) {
      report.problem = "label record damaged (records of this engine follow)";
    }
    report.damage.push_back({0, report.problem});
    return report;
  }
  report.sessions = map.sessions.size();
  report.tornTail = map.tornTail;
  report.tornOffset = map.tornOffset;
  report.tornReason = map.tornReason;
  report.damage = map.damage;
  if (map.blank) return report;
  ++report.records;  // the label, read by the scan
  for (const auto& s : map.sessions) checkSessionRecords(file, map.fileSize, s, &report);
  std::sort(report.damage.begin(), report.damage.end(),
            [](const MediaDamage& a, const MediaDamage& b) { return a.offset < b.offset; });
  if (!report.damage.empty()) {
    const MediaDamage& first = report.damage.front();
    report.result = first.kind.find("checksum") != std::string::npos ? MOX_E_CHECKSUM : MOX_E_MEDIA;
    report.problem = "record at offset " + std::to_string(first.offset) + ": " + first.kind;
  }
  return report;
}

}  // namespace mox
