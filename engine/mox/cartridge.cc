#include "engine/mox/cartridge.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "engine/mox/cartridge_map.h"
#include "engine/mox/library.h"
#include "engine/mox/member_scan.h"
#include "engine/mox/mox.h"
#include "platform/file_env.h"
#include "platform/file_util.h"

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

// Reads `len` bytes at `off`, resuming after a short read: MOX_OK,
// MOX_E_MEDIA when the file ends first, MOX_E_IO when a read fails.
int preadAll(int fd, void* buf, size_t len, uint64_t off) {
  uint8_t* p = static_cast<uint8_t*>(buf);
  while (len > 0) {
    ssize_t n = platform::fileEnv().pread(fd, p, len, off);
    readCounters().readCalls.fetch_add(1, std::memory_order_relaxed);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return MOX_E_IO;
    if (n == 0) return MOX_E_MEDIA;
    p += n;
    off += static_cast<uint64_t>(n);
    len -= static_cast<size_t>(n);
  }
  return MOX_OK;
}

// Writes every byte of `iov` at `offset`, resuming after a short write; a
// write that stores nothing (or fails) is a failure. What a failed write
// left behind is the caller's to deal with: the session it belongs to is
// never ended.
bool pwritevAll(int fd, const struct iovec* iov, int count, uint64_t offset, size_t total) {
  struct iovec rest[3];
  int n = 0;
  for (int i = 0; i < count && n < 3; ++i) rest[n++] = iov[i];
  size_t done = 0;
  int first = 0;
  while (done < total) {
    ssize_t w = platform::fileEnv().pwritev(fd, rest + first, n - first, offset + done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
    size_t skip = static_cast<size_t>(w);
    while (first < n && skip >= rest[first].iov_len) {
      skip -= rest[first].iov_len;
      ++first;
    }
    if (first < n) {
      rest[first].iov_base = static_cast<uint8_t*>(rest[first].iov_base) + skip;
      rest[first].iov_len -= skip;
    }
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
  // Never waits on a FIFO or opens a device put in a cartridge's place.
  int err = platform::openRegularFile(path, writable ? O_RDWR : O_RDONLY, 0, &fd_);
  if (err != 0) return err == ENOENT || err == EINVAL ? MOX_E_MEDIA : MOX_E_IO;
  path_ = path;
  return MOX_OK;
}

void CartridgeFile::close() {
  if (fd_ >= 0) platform::fileEnv().close(fd_);
  fd_ = -1;
  scattered_.store(false);
}

int CartridgeFile::readExact(uint64_t offset, void* out, size_t length) const {
  int rc = preadAll(fd_, out, length, offset);
  if (rc == MOX_E_IO) readFailures_.fetch_add(1);
  return rc;
}

int CartridgeFile::readRaw(uint64_t offset, uint8_t* out, size_t room, uint32_t* length) const {
  uint8_t word[4];
  int rc = readExact(offset, word, 4);
  if (rc != MOX_OK) return rc;
  uint32_t len = loadLe32(word);
  if (len == kTapeMark || len > kMaxRecordLength || len < kHeaderSize || len > room) {
    return MOX_E_MEDIA;
  }
  if ((rc = readExact(offset + 4, out, len)) != MOX_OK) return rc;
  if ((rc = readExact(offset + 4 + len + (len & 1), word, 4)) != MOX_OK) return rc;
  if (loadLe32(word) != len) return MOX_E_MEDIA;
  *length = len;
  return MOX_OK;
}

int CartridgeFile::readRecord(uint64_t offset, RecordHeader* header,
                              std::vector<uint8_t>* body) const {
  uint8_t lead[4 + kHeaderSize];
  int rc = readExact(offset, lead, sizeof lead);
  if (rc != MOX_OK) return rc;
  uint32_t len = loadLe32(lead);
  if (len == kTapeMark || len > kMaxRecordLength || len < kHeaderSize) return MOX_E_MEDIA;
  if (!decodeHeader(lead + 4, header)) return MOX_E_CHECKSUM;
  if (header->storedLength != len - kHeaderSize) return MOX_E_MEDIA;
  body->resize(header->storedLength);
  if (header->storedLength > 0 &&
      (rc = readExact(offset + 4 + kHeaderSize, body->data(), header->storedLength)) != MOX_OK) {
    return rc;
  }
  uint8_t word[4];
  if ((rc = readExact(offset + 4 + len + (len & 1), word, 4)) != MOX_OK) return rc;
  if (loadLe32(word) != len) return MOX_E_MEDIA;
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
    ssize_t n = platform::fileEnv().preadv(fd_, rest, count, offset + got);
    readCounters().readCalls.fetch_add(1, std::memory_order_relaxed);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      readFailures_.fetch_add(1);
      return MOX_E_IO;
    }
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
  platform::fileEnv().willNeed(fd_, offset, length);
}

void CartridgeFile::readScattered(bool scattered) const {
  if (fd_ >= 0 && scattered_.exchange(scattered) != scattered) {
    platform::fileEnv().readScattered(fd_, scattered);
  }
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
  if (!pwritevAll(fd_, iov, 3, offset, total)) return MOX_E_IO;
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
  if (!pwritevAll(fd_, iov, 3, offset, total)) return MOX_E_IO;
  *size = total;
  return MOX_OK;
}

int CartridgeFile::writeTapeMark(uint64_t offset) const {
  uint8_t zero[4] = {0, 0, 0, 0};
  struct iovec iov = {zero, sizeof zero};
  return pwritevAll(fd_, &iov, 1, offset, sizeof zero) ? MOX_OK : MOX_E_IO;
}

int CartridgeFile::truncate(uint64_t size) const {
  return platform::fileEnv().ftruncate(fd_, size) == 0 ? MOX_OK : MOX_E_IO;
}

int CartridgeFile::sync() const {
  return platform::fileEnv().sync(fd_, /*dataOnly=*/true) == 0 ? MOX_OK : MOX_E_IO;
}

int CartridgeFile::size(uint64_t* bytes) const {
  struct stat st;
  if (platform::fileEnv().fstat(fd_, &st) != 0) return MOX_E_IO;
  *bytes = static_cast<uint64_t>(st.st_size);
  return MOX_OK;
}

int CartridgeFile::stat(FileStamp* stamp) const {
  struct stat st;
  if (platform::fileEnv().fstat(fd_, &st) != 0) return MOX_E_IO;
  stamp->device = static_cast<uint64_t>(st.st_dev);
  stamp->inode = static_cast<uint64_t>(st.st_ino);
  stamp->size = static_cast<uint64_t>(st.st_size);
  stamp->mtimeSec = st.st_mtim.tv_sec;
  stamp->mtimeNsec = st.st_mtim.tv_nsec;
  stamp->ctimeSec = st.st_ctim.tv_sec;
  stamp->ctimeNsec = st.st_ctim.tv_nsec;
  return MOX_OK;
}

int CartridgeFile::stampModified(FileStamp* stamp) const {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  clock_gettime(CLOCK_REALTIME, &times[1]);
  times[1].tv_nsec = static_cast<long>(newSetId() % 1000000000u);
  if (platform::fileEnv().futimens(fd_, times) != 0 || stat(stamp) != MOX_OK) return MOX_E_IO;
  return stamp->mtimeSec == times[1].tv_sec && stamp->mtimeNsec == times[1].tv_nsec ? MOX_OK
                                                                                    : MOX_E_IO;
}

void CartridgeFile::writeBack(uint64_t offset, uint64_t length, bool wait) const {
  // Failures show again at the next sync, which reports them.
  (void)platform::fileEnv().writeBack(fd_, offset, length, wait);
}

bool CartridgeFile::readAt(uint64_t offset, void* out, size_t length) const {
  return readExact(offset, out, length) == MOX_OK;
}

int CartridgeFile::scan(CartridgeMap* map) const {
  // A read that failed is neither the end of the file nor damage: what the
  // file holds there is not known, so nothing found is taken for its
  // content (a torn tail cut there would cut sound sessions).
  uint64_t failures = readFailures_.load();
  int rc = scanRecords(map);
  return readFailures_.load() != failures ? MOX_E_IO : rc;
}

int CartridgeFile::scanRecords(CartridgeMap* map) const {
  *map = CartridgeMap();
  uint64_t size = 0;
  if (this->size(&size) != MOX_OK) return MOX_E_IO;
  map->fileSize = size;
  if (size == 0) return MOX_OK;

  RecordHeader h;
  std::vector<uint8_t> buf;
  int rc = readRecord(0, &h, &buf);
  if (rc != MOX_OK || h.kind != Kind::kLabel || !decodeLabel(buf.data(), buf.size(), &map->label)) {
    // A first record cut short while it was written leaves a blank
    // cartridge: a file that ends inside the label record, and whose bytes
    // begin as a label record begins (its length word, then the magic).
    // Anything else that short is not a cartridge of this engine.
    uint8_t lead[8];
    uint8_t expected[8];
    storeLe32(expected, kHeaderSize + kLabelBodySize);
    storeLe32(expected + 4, kRecordMagic);
    size_t have = static_cast<size_t>(std::min<uint64_t>(size, sizeof lead));
    bool cutLabel = size < framedSize(kHeaderSize + kLabelBodySize) &&
                    readExact(0, lead, have) == MOX_OK && std::memcmp(lead, expected, have) == 0;
    if (cutLabel) {
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
  return mountCartridge(file, map);
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
      std::string kind = r == MOX_E_CHECKSUM ? "checksum mismatch"
                         : r == MOX_E_IO     ? "cannot be read (I/O error)"
                                             : describeBadRecord(file, size, off);
      report->damage.push_back({off, kind});
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
  if (rc == MOX_E_IO) {
    report.result = MOX_E_IO;
    report.problem = "cannot be read (I/O error)";
    report.damage.push_back({0, report.problem});
    return report;
  }
  if (rc != MOX_OK) {
    report.result = MOX_E_MEDIA;
    report.problem = "not a cartridge of this engine (no readable label)";
    uint64_t size = 0;
    if (file.isOpen() && file.size(&size) == MOX_OK && findNextRecord(file, size, 2) < size) {
      report.problem = "label record damaged (records of this engine follow)";
    }
    report.damage.push_back({0, report.problem});
    return report;
  }
  report.sessions = map.sessions.size();
  report.tornTail = map.tornTail;
  report.tornOffset = map.tornOffset;
  report.tornReason = map.tornReason;
  report.tailSession = map.tailSession;
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
