// One cartridge file: framing, scanning for its label and finished sessions,
// appending and reading checksummed records.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/mox/format.h"

namespace mox {

// One place where a cartridge's content is not what the engine wrote.
struct MediaDamage {
  uint64_t offset = 0;  // first byte that does not read back
  std::string kind;     // what is wrong there, for reports
};

// A session's part on one cartridge.
struct SessionExtent {
  uint32_t session = 0;
  SessionStart start;
  bool startKnown = true;    // false when the session start record is damaged
  uint64_t startOffset = 0;  // the session start record
  uint64_t endOffset = 0;    // the end or continuation record
  bool continued = false;    // ended by a continuation record
  SessionEnd end;
  uint64_t nextOffset = 0;  // just past the closing tape mark
};

struct CartridgeMap {
  bool blank = true;  // no label
  Label label;
  std::vector<SessionExtent> sessions;  // finished sessions, in order
  uint64_t appendOffset = 0;            // where the next session starts
  uint64_t fileSize = 0;
  // Bytes past appendOffset that hold nothing but the unfinished records of
  // one session: what a writer that died leaves (see FORMAT.md).
  bool tornTail = false;
  uint64_t tornOffset = 0;  // where the tail begins (appendOffset)
  std::string tornReason;
  uint32_t tailSession = 0;  // session of the tail's records, 0 when none is readable
  // The tail's session has a sound end record whose tape mark is missing at
  // the end of the file; the extent is complete apart from that mark.
  bool tailUnmarked = false;
  SessionExtent tailExtent;
  // Damage found in the file itself, in file order. A cartridge with damage
  // is never cut: its tail (if any) is no torn tail.
  std::vector<MediaDamage> damage;

  const SessionExtent* find(uint32_t session) const;
  bool hasData() const { return !sessions.empty(); }
};

// What tells one state of a cartridge file from another: the file, its size,
// and its modification and change times to the nanosecond.
struct FileStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t mtimeSec = 0;
  int64_t mtimeNsec = 0;
  int64_t ctimeSec = 0;
  int64_t ctimeNsec = 0;
  bool operator==(const FileStamp&) const = default;
};

class CartridgeFile {
 public:
  CartridgeFile() = default;
  ~CartridgeFile();
  CartridgeFile(const CartridgeFile&) = delete;
  CartridgeFile& operator=(const CartridgeFile&) = delete;

  // Opens the file (read-write when writable), never waiting on it.
  // MOX_OK, MOX_E_MEDIA (missing, or not a regular file: a FIFO, a device,
  // a directory, a socket) or MOX_E_IO.
  int open(const std::string& path, bool writable);
  void close();
  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  // Reads the label and the finished sessions, and tells a torn tail from
  // damage (member_scan.cc). MOX_OK, MOX_E_MEDIA for a file that is not a
  // cartridge of this engine, or MOX_E_IO when a read failed.
  int scan(CartridgeMap* map) const;
  // Reads `length` bytes at `offset`; false when the file is shorter or the
  // read fails (which scan() then reports).
  bool readAt(uint64_t offset, void* out, size_t length) const;

  // Reads the record at `offset`. The body is checked against its CRC:
  // MOX_E_CHECKSUM on mismatch, MOX_E_MEDIA on broken framing, MOX_E_IO
  // when a read fails.
  int readRecord(uint64_t offset, RecordHeader* header, std::vector<uint8_t>* body) const;
  // Reads the record at `offset` with one read call: its header bytes into
  // `header` (kHeaderSize bytes), decoded into *decoded, and its body into
  // `body`, which has room for `room` bytes. Reads as much as the largest
  // record that fits, so it may read past the record's end. Checks what
  // readRecord checks, each once: both length words, the header's magic and
  // checksum, the stored length, the body's CRC. MOX_E_CHECKSUM on a bad
  // header or body checksum, MOX_E_MEDIA on broken framing, a record larger
  // than the room, or a file that ends inside the record; MOX_E_IO when a
  // read fails.
  int readRecordInto(uint64_t offset, uint8_t* header, uint8_t* body, size_t room,
                     RecordHeader* decoded) const;
  // Asks the system to start reading `length` bytes at `offset` into the
  // page cache without waiting for them (read-ahead). A hint only: a
  // failure changes nothing but the speed of the read that follows.
  void willNeed(uint64_t offset, uint64_t length) const;
  // Tells the system whether the file is read in scattered records (the
  // data records of a RAID 5 member, with the stripes' parity between
  // them): then it reads ahead only what willNeed asks for, and no parity
  // a healthy read skips. A hint, given to the system once per change.
  void readScattered(bool scattered) const;
  // Reads the record at `offset` into `out` (capacity `room`), returning the
  // framed payload length (header + body) in *length; unchecked but for the
  // framing (MOX_E_MEDIA), MOX_E_IO when a read fails.
  int readRaw(uint64_t offset, uint8_t* out, size_t room, uint32_t* length) const;
  // Writes a record at `offset`; returns its framed size in *size. The
  // body's CRC is computed here unless the header already carries it.
  int writeRecord(uint64_t offset, const RecordHeader& header, const void* body, uint64_t* size,
                  bool crcKnown = false) const;
  // Writes a framed payload image (header + body) as one record.
  int writeRaw(uint64_t offset, const uint8_t* payload, uint32_t length, uint64_t* size) const;
  int writeTapeMark(uint64_t offset) const;
  int truncate(uint64_t size) const;
  int sync() const;
  // The file's size in bytes. MOX_OK or MOX_E_IO.
  int size(uint64_t* bytes) const;
  // The file's stamp as it is now. MOX_OK or MOX_E_IO.
  int stat(FileStamp* stamp) const;
  // Sets the modification time to now with a random nanosecond part, so
  // that any later write (which takes the kernel's clock) changes it, and
  // returns the stamp. MOX_E_IO when the time cannot be set or the file
  // system does not keep it to the nanosecond.
  int stampModified(FileStamp* stamp) const;
  // Starts writing [offset, offset + length) back to the disk without
  // waiting for it; with `wait`, waits until that range is on the disk. A
  // hint that lets the disk work while the writer goes on: sync() alone
  // makes data durable, and reports any failure of the write-back.
  void writeBack(uint64_t offset, uint64_t length, bool wait) const;

 private:
  // Reads `length` bytes at `offset`: MOX_OK, MOX_E_MEDIA when the file ends
  // first, MOX_E_IO when a read fails (counted in readFailures_).
  int readExact(uint64_t offset, void* out, size_t length) const;
  int scanRecords(CartridgeMap* map) const;

  int fd_ = -1;
  std::string path_;
  mutable std::atomic<bool> scattered_{false};
  mutable std::atomic<uint64_t> readFailures_{0};  // reads that failed (not the file's end)
};

// What the record readers did, counted for the tests that hold the read
// path to one read call and one body checksum per healthy block.
struct ReadCounters {
  std::atomic<uint64_t> readCalls{0};   // read system calls on cartridge files
  std::atomic<uint64_t> bodyChecks{0};  // record bodies checked against their CRC
  std::atomic<uint64_t> readAhead{0};   // records asked for ahead of their reader
};
ReadCounters& readCounters();
// Checks `length` bytes of a record body against `crc`, counted.
bool bodyMatches(const uint8_t* body, size_t length, uint32_t crc);

// Helpers for whole files (moxctl, tests).
int scanCartridge(const std::string& path, CartridgeMap* map);

// Result of reading every record of a cartridge and checking its CRC.
struct CheckReport {
  int result = 0;  // MOX_OK, MOX_E_MEDIA (not a cartridge or damaged), MOX_E_CHECKSUM, MOX_E_IO
  uint64_t records = 0;  // records checked
  size_t sessions = 0;
  std::string problem;              // the first bad record, named by offset
  std::vector<MediaDamage> damage;  // every damaged place, in file order
  bool tornTail = false;
  uint64_t tornOffset = 0;
  std::string tornReason;
  uint32_t tailSession = 0;  // session of the tail's records, 0 when none is readable
};
CheckReport checkCartridge(const std::string& path);

}  // namespace mox
