// The cartridge file: the first medium (medium.h). A file in the SIMH tape
// image framing, read at any address, that keeps the map of what it holds in
// a side file beside it (the map cache, cartridge_map.h): that cache is this
// medium's own business.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/mox/format.h"
#include "engine/mox/medium.h"

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
  // The map of a cartridge that holds `label` and nothing after it.
  static CartridgeMap labelled(const Label& label);
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

class CartridgeFile : public RandomAccessMedium {
 public:
  CartridgeFile() = default;
  ~CartridgeFile() override;
  CartridgeFile(const CartridgeFile&) = delete;
  CartridgeFile& operator=(const CartridgeFile&) = delete;

  // Opens the file (read-write when writable), never waiting on it; with
  // `create`, makes it when missing. MOX_OK, MOX_E_MEDIA (missing, or not a
  // regular file: a FIFO, a device, a directory, a socket) or MOX_E_IO.
  int open(const std::string& path, bool writable, bool create = false);
  void close();
  bool isOpen() const { return fd_ >= 0; }

  MediumTraits traits() const override { return {}; }
  const std::string& path() const override { return path_; }

  int rewind() override;
  int spaceTapeMarks(uint32_t count) override;
  int spaceToEndOfData() override;
  uint64_t position() const override { return position_; }
  int readNext(const ReadWant& want, MediumItem* item) override;
  int dataEnd(uint64_t* address) override;
  int seek(uint64_t address) override;
  int readRecordAt(uint64_t address, uint8_t* header, uint8_t* body, size_t room,
                   RecordHeader* decoded) const override;
  int recordLength(uint64_t address, uint32_t* length) const override;
  // Asks the system to start reading `length` bytes at `address` into the
  // page cache without waiting for them (read-ahead). A hint only.
  void willNeed(uint64_t address, uint64_t length) const override;
  // Tells the system whether the file is read in scattered records (the
  // data records of a RAID 5 member, with the stripes' parity between
  // them): then it reads ahead only what willNeed asks for. A hint, given to
  // the system once per change.
  void readScattered(bool scattered) const override;

  int writeLabel(const Label& label) override;
  int writeRecord(uint64_t address, const RecordHeader& header, const void* body, bool crcKnown,
                  uint64_t* size) override;
  int writeImage(uint64_t address, const uint8_t* image, uint32_t length, uint64_t* size) override;
  int writeTapeMark(uint64_t address) override;
  int sync() override;
  void writeBack(uint64_t address, uint64_t length, bool wait) override;
  int cut(uint64_t address) override;
  int rewriteLabel(const Label& label) override;

  // The map cache: the side file matches the file exactly (its device,
  // inode, size, and modification and change times to the nanosecond).
  bool keptMap(CartridgeMap* map) const override;
  // Stamps the file with a random nanosecond modification time and stores
  // `map` beside it when it is worth keeping (cartridgeMapCacheable);
  // otherwise, or when it cannot be kept, removes the side file.
  void keepMap(const CartridgeMap& map) override;
  void forgetMap() override;
  uint64_t readFailures() const override { return readFailures_.load(std::memory_order_relaxed); }

  // The file's size in bytes. MOX_OK or MOX_E_IO.
  int size(uint64_t* bytes) const;
  // The file's stamp as it is now. MOX_OK or MOX_E_IO.
  int stat(FileStamp* stamp) const;

 protected:
  // Reads `length` bytes at `address`; false when the file is shorter or
  // the read fails (counted in readFailures()).
  bool readAt(uint64_t address, void* out, size_t length) const;
  // Writes the frame parts at `address`: all of them or MOX_E_IO.
  virtual int writeFrame(uint64_t address, const uint8_t* lead, size_t leadLength,
                         const void* payload, size_t payloadLength, uint64_t* size);
  // The end of the data as the file says (its size).
  uint64_t fileEnd() const;
  // Where the position is, and the end of the data as it was when the
  // position was last set (reads forward do not ask the file again).
  uint64_t position_ = 0;
  mutable uint64_t end_ = 0;

 private:
  // The frame at `address` of a file of `size` bytes, read and decoded
  // without its body.
  FrameState frameAt(uint64_t address, uint64_t size, RecordHeader* header, uint32_t* length,
                     MediumItem* item) const;
  // Address of the next sound record at or after `from`, else `size`.
  uint64_t nextSoundRecord(uint64_t size, uint64_t from) const;

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
  // Times a member's session part was read from its start by the
  // sequential reader (a pass: positioned by spacing over tape marks).
  std::atomic<uint64_t> passes{0};
  // The most records the sequential reader held for streams at once.
  std::atomic<uint64_t> heldMost{0};
};
ReadCounters& readCounters();
// Checks `length` bytes of a record body against `crc`, counted.
bool bodyMatches(const uint8_t* body, size_t length, uint32_t crc);

}  // namespace mox
