#include "engine/mox/cartridge.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>

#include "engine/mox/cartridge_map.h"
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

// A nanosecond part no kernel clock gives twice in a row.
long randomNanoseconds() {
  thread_local std::mt19937_64 generator{std::random_device{}() ^
                                         (static_cast<uint64_t>(getpid()) << 32)};
  return static_cast<long>(generator() % 1000000000u);
}

}  // namespace

const SessionExtent* CartridgeMap::find(uint32_t session) const {
  for (const auto& s : sessions) {
    if (s.session == session) return &s;
  }
  return nullptr;
}

CartridgeMap CartridgeMap::labelled(const Label& label) {
  CartridgeMap map;
  map.blank = false;
  map.label = label;
  map.appendOffset = map.fileSize = framedSize(kHeaderSize + kLabelBodySize);
  return map;
}

CartridgeFile::~CartridgeFile() { close(); }

int CartridgeFile::open(const std::string& path, bool writable, bool create) {
  close();
  // Never waits on a FIFO or opens a device put in a cartridge's place.
  int flags = (writable ? O_RDWR : O_RDONLY) | (create ? O_CREAT : 0);
  int err = platform::openRegularFile(path, flags, 0644, &fd_);
  if (err != 0) return err == ENOENT || err == EINVAL ? MOX_E_MEDIA : MOX_E_IO;
  path_ = path;
  return rewind();
}

void CartridgeFile::close() {
  if (fd_ >= 0) platform::fileEnv().close(fd_);
  fd_ = -1;
  scattered_.store(false);
}

bool CartridgeFile::readAt(uint64_t address, void* out, size_t length) const {
  int rc = preadAll(fd_, out, length, address);
  if (rc == MOX_E_IO) readFailures_.fetch_add(1, std::memory_order_relaxed);
  return rc == MOX_OK;
}

uint64_t CartridgeFile::fileEnd() const {
  uint64_t bytes = 0;
  return size(&bytes) == MOX_OK ? bytes : 0;
}

// ---- Frames ------------------------------------------------------------------

FrameState CartridgeFile::frameAt(uint64_t address, uint64_t size, RecordHeader* header,
                                  uint32_t* length, MediumItem* item) const {
  uint8_t lead[kFrameLeadSize + kHeaderSize] = {};
  size_t have = static_cast<size_t>(std::min<uint64_t>(sizeof lead, size - address));
  if (have > 0 && !readAt(address, lead, have)) have = 0;
  if (item != nullptr) {
    item->leadBytes = std::min(have, sizeof item->lead);
    std::memcpy(item->lead, lead, item->leadBytes);
  }
  uint32_t len = have >= kFrameLeadSize ? loadLe32(lead) : 0;
  uint8_t word[4];
  const uint8_t* trail = nullptr;
  if (len >= kHeaderSize && len <= kMaxRecordLength &&
      address + frameTrailOffset(len) + 4 <= size &&
      readAt(address + frameTrailOffset(len), word, 4)) {
    trail = word;
  }
  return checkFrame(lead, have, size - address, trail, header, length);
}

uint64_t CartridgeFile::nextSoundRecord(uint64_t size, uint64_t from) const {
  constexpr size_t kChunk = 1 << 20;
  static const uint8_t kMagic[4] = {0x4D, 0x4F, 0x58, 0x52};  // kRecordMagic, little-endian
  std::vector<uint8_t> buf(kChunk);
  from += from & 1;  // records begin at even offsets
  // The magic sits 4 bytes into a record; chunks overlap by 3 bytes.
  for (uint64_t base = from + 4; base + 4 <= size; base += kChunk - 3) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, size - base));
    if (!readAt(base, buf.data(), n)) return size;
    for (size_t i = 0; i + 4 <= n; ++i) {
      if (std::memcmp(buf.data() + i, kMagic, 4) != 0) continue;
      uint64_t at = base + i - 4;
      RecordHeader h;
      uint32_t len = 0;
      if ((at & 1) == 0 && frameAt(at, size, &h, &len, nullptr) == FrameState::kSound) return at;
    }
    if (n < kChunk) break;
  }
  return size;
}

// ---- Moving and reading forward ---------------------------------------------------

int CartridgeFile::rewind() {
  noteRewind();
  if (size(&end_) != MOX_OK) return MOX_E_IO;
  position_ = 0;
  return MOX_OK;
}

int CartridgeFile::seek(uint64_t address) {
  if (size(&end_) != MOX_OK) return MOX_E_IO;
  position_ = address;
  return MOX_OK;
}

int CartridgeFile::dataEnd(uint64_t* address) { return size(address); }

int CartridgeFile::spaceToEndOfData() {
  noteSpacing();
  if (size(&end_) != MOX_OK) return MOX_E_IO;
  position_ = end_;
  return MOX_OK;
}

int CartridgeFile::spaceTapeMarks(uint32_t count) {
  noteSpacing();
  bool afterEnd = false;
  MediumItem item;
  while (count > 0) {
    ReadWant want;
    want.markExpected = afterEnd;
    int rc = readNext(want, &item);
    if (rc != MOX_OK) return rc;
    if (item.kind == MediumItem::Kind::kEnd) return MOX_E_MEDIA;
    if (item.kind == MediumItem::Kind::kTapeMark) --count;
    afterEnd = item.kind == MediumItem::Kind::kRecord &&
               (item.header.kind == Kind::kSessionEnd || item.header.kind == Kind::kContinuation);
  }
  return MOX_OK;
}

int CartridgeFile::readNext(const ReadWant& want, MediumItem* item) {
  uint64_t size = end_;
  *item = MediumItem();
  item->address = position_;
  if (position_ >= size) {
    item->next = position_;
    return MOX_OK;
  }
  uint32_t len = 0;
  if (want.markExpected) {
    uint8_t word[4] = {};
    size_t have = static_cast<size_t>(std::min<uint64_t>(4, size - position_));
    if (!readAt(position_, word, have)) return MOX_E_IO;
    if (have == 4 && loadLe32(word) == kTapeMark) {
      item->kind = MediumItem::Kind::kTapeMark;
      item->next = position_ += 4;
      return MOX_OK;
    }
    if (have < 4 || frameAt(position_, size, &item->header, &len, nullptr) != FrameState::kSound) {
      item->kind = MediumItem::Kind::kBadMark;
      std::memcpy(item->lead, word, have);
      item->leadBytes = have;
      item->next = position_ += have;
      return MOX_OK;
    }
  }
  item->frame = frameAt(position_, size, &item->header, &len, item);
  if (item->frame != FrameState::kSound) {
    item->kind = MediumItem::Kind::kBroken;
    item->next = position_ = nextSoundRecord(size, position_ + 2);
    return MOX_OK;
  }
  item->kind = MediumItem::Kind::kRecord;
  item->next = position_ + framedSize(len);
  if ((want.bodyKinds & bodyOf(item->header.kind)) != 0 && want.image != nullptr) {
    if (want.image->size() < len) want.image->resize(len);
    if (!readAt(position_ + kFrameLeadSize, want.image->data(), len)) return MOX_E_IO;
    item->bodyRead = true;
    item->body = bodyMatches(want.image->data() + kHeaderSize, item->header.storedLength,
                             item->header.bodyCrc)
                     ? MOX_OK
                     : MOX_E_CHECKSUM;
  }
  position_ = item->next;
  return MOX_OK;
}

// ---- Reading at a known address ---------------------------------------------------

int CartridgeFile::readRecordAt(uint64_t address, uint8_t* header, uint8_t* body, size_t room,
                                RecordHeader* decoded) const {
  // The largest record that fits: its lead word, header, `room` body bytes
  // (a pad byte counts against them) and trailing word, in one call.
  uint8_t lead[kFrameLeadSize];
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
      if (len <= kHeaderSize + room && got >= frameTrailOffset(len) + 4) break;
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
    ssize_t n = platform::fileEnv().preadv(fd_, rest, count, address + got);
    readCounters().readCalls.fetch_add(1, std::memory_order_relaxed);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      readFailures_.fetch_add(1, std::memory_order_relaxed);
      return MOX_E_IO;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got < sizeof lead + kHeaderSize) return MOX_E_MEDIA;
  uint32_t len = loadLe32(lead);
  if (len > kHeaderSize + room) return MOX_E_MEDIA;
  uint8_t frame[kFrameLeadSize + kHeaderSize];
  std::memcpy(frame, lead, sizeof lead);
  std::memcpy(frame + sizeof lead, header, kHeaderSize);
  // The trailing word follows the body and its pad byte, in the body room
  // or, for the largest records, in `tail`.
  uint8_t word[4];
  const uint8_t* trail = nullptr;
  size_t at = len >= kHeaderSize ? len - kHeaderSize + (len & 1) : 0;
  if (len >= kHeaderSize && got >= sizeof lead + kHeaderSize + at + 4) {
    for (size_t i = 0; i < 4; ++i) word[i] = at + i < room ? body[at + i] : tail[at + i - room];
    trail = word;
  }
  uint64_t reach = got < want ? got : ~0ull;
  FrameState state = checkFrame(frame, sizeof frame, reach, trail, decoded, &len);
  if (state != FrameState::kSound) return frameResult(state);
  if (!bodyMatches(body, decoded->storedLength, decoded->bodyCrc)) return MOX_E_CHECKSUM;
  return MOX_OK;
}

int CartridgeFile::recordLength(uint64_t address, uint32_t* length) const {
  uint8_t word[4];
  if (!readAt(address, word, sizeof word)) return MOX_E_MEDIA;
  *length = loadLe32(word);
  return MOX_OK;
}

void CartridgeFile::willNeed(uint64_t address, uint64_t length) const {
  platform::fileEnv().willNeed(fd_, address, length);
}

void CartridgeFile::readScattered(bool scattered) const {
  if (fd_ >= 0 && scattered_.exchange(scattered) != scattered) {
    platform::fileEnv().readScattered(fd_, scattered);
  }
}

// ---- Writing ------------------------------------------------------------------

int CartridgeFile::writeFrame(uint64_t address, const uint8_t* lead, size_t leadLength,
                              const void* payload, size_t payloadLength, uint64_t* size) {
  uint32_t len = static_cast<uint32_t>(leadLength - kFrameLeadSize + payloadLength);
  uint8_t tail[5];
  size_t tailSize = encodeFrameTail(len, tail);
  struct iovec iov[3] = {{const_cast<uint8_t*>(lead), leadLength},
                         {const_cast<void*>(payload), payloadLength},
                         {tail, tailSize}};
  size_t total = leadLength + payloadLength + tailSize;
  if (!pwritevAll(fd_, iov, 3, address, total)) return MOX_E_IO;
  *size = total;
  return MOX_OK;
}

int CartridgeFile::writeRecord(uint64_t address, const RecordHeader& h, const void* body,
                               bool crcKnown, uint64_t* size) {
  RecordHeader header = h;
  if (!crcKnown) header.bodyCrc = crc32c(body, header.storedLength);
  uint8_t lead[kFrameLeadSize + kHeaderSize];
  encodeFrameLead(static_cast<uint32_t>(kHeaderSize + header.storedLength), lead);
  encodeHeader(header, lead + kFrameLeadSize);
  return writeFrame(address, lead, sizeof lead, body, header.storedLength, size);
}

int CartridgeFile::writeImage(uint64_t address, const uint8_t* image, uint32_t length,
                              uint64_t* size) {
  uint8_t lead[kFrameLeadSize];
  encodeFrameLead(length, lead);
  return writeFrame(address, lead, sizeof lead, image, length, size);
}

int CartridgeFile::writeTapeMark(uint64_t address) {
  uint8_t zero[4] = {0, 0, 0, 0};
  struct iovec iov = {zero, sizeof zero};
  return pwritevAll(fd_, &iov, 1, address, sizeof zero) ? MOX_OK : MOX_E_IO;
}

int CartridgeFile::sync() {
  return platform::fileEnv().sync(fd_, /*dataOnly=*/true) == 0 ? MOX_OK : MOX_E_IO;
}

void CartridgeFile::writeBack(uint64_t address, uint64_t length, bool wait) {
  // Failures show again at the next sync, which reports them.
  (void)platform::fileEnv().writeBack(fd_, address, length, wait);
}

int CartridgeFile::cut(uint64_t address) {
  if (platform::fileEnv().ftruncate(fd_, address) != 0 || sync() != MOX_OK) {
    forgetMap();
    return MOX_E_IO;
  }
  position_ = std::min(position_, address);
  end_ = address;
  return MOX_OK;
}

int CartridgeFile::writeLabel(const Label& label) {
  uint8_t body[kLabelBodySize];
  encodeLabel(label, body);
  uint64_t size = 0;
  int rc = cut(0);
  if (rc == MOX_OK) rc = writeRecord(0, labelHeader(label), body, false, &size);
  if (rc == MOX_OK) rc = sync();
  if (rc != MOX_OK) {
    forgetMap();
    return rc;
  }
  keepMap(CartridgeMap::labelled(label));
  return MOX_OK;
}

int CartridgeFile::rewriteLabel(const Label& label) {
  uint8_t body[kLabelBodySize];
  encodeLabel(label, body);
  uint64_t size = 0;
  // The cartridge changes under its map: the next mount scans it.
  forgetMap();
  int rc = writeRecord(0, labelHeader(label), body, false, &size);
  return rc == MOX_OK ? sync() : rc;
}

// ---- The file --------------------------------------------------------------------

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

// ---- The map cache -----------------------------------------------------------------

bool CartridgeFile::keptMap(CartridgeMap* map) const {
  // A side file that is missing, too large, or anything but a regular file
  // (a FIFO is never waited on) is no map: the cartridge is scanned.
  std::string data;
  if (platform::readRegularFile(cartridgeMapPath(path_), kMaxMapFile, &data) != 0 || data.empty()) {
    return false;
  }
  FileStamp recorded, now;
  CartridgeMap loaded;
  if (!decodeCartridgeMap(data, &recorded, &loaded) || stat(&now) != MOX_OK || !(now == recorded)) {
    return false;
  }
  *map = std::move(loaded);
  return true;
}

void CartridgeFile::keepMap(const CartridgeMap& map) {
  // The modification time is set to now with a random nanosecond part, so
  // that any later write (which takes the kernel's clock) changes it.
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  clock_gettime(CLOCK_REALTIME, &times[1]);
  times[1].tv_nsec = randomNanoseconds();
  FileStamp stamp;
  bool stamped = cartridgeMapCacheable(map) && platform::fileEnv().futimens(fd_, times) == 0 &&
                 stat(&stamp) == MOX_OK && stamp.mtimeSec == times[1].tv_sec &&
                 stamp.mtimeNsec == times[1].tv_nsec && stamp.size == map.fileSize;
  // No fsync: a map lost in a crash costs one scan, and a map whose
  // cartridge changed since is ignored whatever survives.
  if (!stamped || platform::writeFileAtomic(cartridgeMapPath(path_), encodeCartridgeMap(stamp, map),
                                            0644, false) != 0) {
    forgetMap();
  }
}

void CartridgeFile::forgetMap() { platform::fileEnv().unlink(cartridgeMapPath(path_)); }

}  // namespace mox
