// A sequential-only medium for tests: a cartridge file (the same bytes as
// the cartridge file medium) used as a tape drive allows. It refuses every
// read at a known address and every hint; it moves only by rewinding,
// spacing forward over tape marks, spacing to the end of data and reading
// forward; it appends only at the end of its data, which a cut sets (as a
// tape is positioned and its next write ends the data); it keeps no map;
// and it refuses a record that would end past its capacity (the record is
// not written) after the early-warning zone before it.
//
// Chosen for a home with `moxctl set medium sequential`, so that the
// engine's behaviours run as they must on a tape drive: mounting by a scan
// from the front, restores by the sequential reader, rebuilds by reading
// each member once.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/mox/cartridge.h"

namespace mox {

class SequentialFile final : public CartridgeFile {
 public:
  // It reads front to back only: it is no random-access medium, and the
  // reads at an address it inherits refuse (MOX_E_MEDIA).
  RandomAccessMedium* randomAccess() override { return nullptr; }

  int seek(uint64_t address) override;
  int readRecordAt(uint64_t address, uint8_t* header, uint8_t* body, size_t room,
                   RecordHeader* decoded) const override;
  int recordLength(uint64_t address, uint32_t* length) const override;
  void willNeed(uint64_t, uint64_t) const override {}
  void readScattered(bool) const override {}
  int rewriteLabel(const Label& label) override;

  // Appends at the end of the data only; MOX_E_TAPE_FULL past the capacity.
  int writeRecord(uint64_t address, const RecordHeader& header, const void* body, bool crcKnown,
                  uint64_t* size) override;
  int writeImage(uint64_t address, const uint8_t* image, uint32_t length, uint64_t* size) override;
  int writeTapeMark(uint64_t address) override;
  void writeBack(uint64_t, uint64_t, bool) override {}
  // Reads forward from the beginning to `address`, and ends the data there.
  int cut(uint64_t address) override;

  // No map is kept: every mount reads the medium from the front.
  bool keptMap(CartridgeMap*) const override { return false; }
  void keepMap(const CartridgeMap&) override {}
  void forgetMap() override {}

  // A write ended in the early-warning zone since the medium was opened.
  bool earlyWarning() const { return earlyWarning_.load(std::memory_order_relaxed); }

 private:
  // Whether a record of `bytes` at `address` may be appended.
  int appendable(uint64_t address, uint64_t bytes);
  void appended(uint64_t end);

  // Read by the group's writer while a member's records go out.
  std::atomic<bool> earlyWarning_{false};
};

}  // namespace mox
