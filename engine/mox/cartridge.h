// One cartridge file: framing, scanning for its label and finished sessions,
// appending and reading checksummed records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/mox/format.h"

namespace mox {

// A session's part on one cartridge.
struct SessionExtent {
  uint32_t session = 0;
  SessionStart start;
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
  bool tornTail = false;    // bytes past appendOffset
  uint64_t tornOffset = 0;  // first bad byte when tornTail
  std::string tornReason;

  const SessionExtent* find(uint32_t session) const;
  bool hasData() const { return !sessions.empty(); }
};

class CartridgeFile {
 public:
  CartridgeFile() = default;
  ~CartridgeFile();
  CartridgeFile(const CartridgeFile&) = delete;
  CartridgeFile& operator=(const CartridgeFile&) = delete;

  // Opens the file (read-write when writable). MOX_OK, MOX_E_MEDIA (missing)
  // or MOX_E_IO.
  int open(const std::string& path, bool writable);
  void close();
  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  // Reads the label and the finished sessions. MOX_OK, or MOX_E_MEDIA for a
  // file that is not a cartridge of this engine.
  int scan(CartridgeMap* map) const;

  // Reads the record at `offset`. The body is checked against its CRC:
  // MOX_E_CHECKSUM on mismatch, MOX_E_MEDIA on broken framing.
  int readRecord(uint64_t offset, RecordHeader* header, std::vector<uint8_t>* body) const;
  // Reads the record at `offset` into `out` (capacity `room`), returning the
  // framed payload length (header + body) in *length; unchecked.
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

 private:
  int fd_ = -1;
  std::string path_;
};

// Helpers for whole files (moxctl, tests).
int scanCartridge(const std::string& path, CartridgeMap* map);

// Result of reading every record of a cartridge and checking its CRC.
struct CheckReport {
  int result = 0;        // MOX_OK, MOX_E_MEDIA (not a cartridge), MOX_E_CHECKSUM
  uint64_t records = 0;  // records checked
  size_t sessions = 0;
  std::string problem;  // the first bad record, named by offset
  bool tornTail = false;
  uint64_t tornOffset = 0;
  std::string tornReason;
};
CheckReport checkCartridge(const std::string& path);

}  // namespace mox
