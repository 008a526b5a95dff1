// A member's medium: everything the engine does to the cartridge of one
// member of a RAID device goes through this interface, and the medium says
// what it can do. As a tape, every medium moves by rewinding and spacing,
// reads forward and appends at the end of its data (Medium); one that also
// reads at any address and rewrites its label in place is a
// RandomAccessMedium, and says so (randomAccess()). The media behind it:
//   CartridgeFile   a cartridge file, read at any address (cartridge.h);
//   SequentialFile  a cartridge file that reads only front to back and
//                   moves only by spacing over tape marks and to the end of
//                   data, with an early-warning zone before its capacity:
//                   what a tape drive allows (sequential_medium.h), for
//                   tests;
//   TapeMedium      a cartridge in a SCSI tape drive (tape_medium.h).
//
// Addresses: a record's (or tape mark's) address is where its frame begins
// in the cartridge's SIMH framing, counted in bytes from the beginning of
// the medium; the label's leading length word is at 0. A sequential medium
// reaches an address only by rewinding, spacing over tape marks and reading
// forward, and appends only at the end of its data.
//
// Results are MOX codes. One thread at a time uses a medium, except that a
// random-access medium takes reads at known addresses and writes at distinct
// addresses from many threads at once (the session writer and reader).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/mox/format.h"

namespace mox {

struct CartridgeMap;

class RandomAccessMedium;

// What a medium is, beside what it can do.
struct MediumTraits {
  // The largest record (header and body bytes) it stores.
  uint32_t largestRecord = kMaxRecordLength;
  // A rewind or a spacing takes seconds to minutes (a tape in a drive): a
  // reader holds more records for its streams rather than read a part again.
  bool slowToMove = false;
};

// Where an append that ends at some address stands: before the early
// warning, in the early-warning zone (room for closing records only), or
// past the capacity (the record would not be written).
enum class Room { kFits, kEarlyWarning, kOverflow };

// One thing the medium holds at its position.
struct MediumItem {
  enum class Kind {
    kRecord,    // a sound frame: both length words agree around a sound header
    kTapeMark,  // a zero word where a tape mark was expected
    kBadMark,   // a tape mark was expected and the word there is not zero
    kBroken,    // bytes that are no sound record; `next` is the next sound one
    kEnd,       // the end of the data
  };
  Kind kind = Kind::kEnd;
  uint64_t address = 0;                   // where it begins
  uint64_t next = 0;                      // where the item after it begins
  RecordHeader header;                    // kRecord
  bool bodyRead = false;                  // kRecord: the body was read (ReadWant::bodyKinds)
  int body = 0;                           // of a body read: MOX_OK or MOX_E_CHECKSUM
  FrameState frame = FrameState::kSound;  // kBroken: what stands there
  // kBroken, kBadMark: the first bytes found there (fewer at the end).
  uint8_t lead[8] = {};
  size_t leadBytes = 0;
};

// What a forward read asks for.
struct ReadWant {
  // A zero word at the position is a tape mark (it follows a session's end
  // record); anywhere else it is zeroed bytes, which are broken.
  bool markExpected = false;
  // Records whose kind is in this mask (bodyOf) are read whole into `image`
  // (header then body; it grows to the record's length) and their body
  // checked; of the others only the header is read.
  uint32_t bodyKinds = 0;
  std::vector<uint8_t>* image = nullptr;
};
inline constexpr uint32_t bodyOf(Kind kind) { return 1u << static_cast<unsigned>(kind); }

class Medium {
 public:
  virtual ~Medium() = default;

  virtual MediumTraits traits() const = 0;
  // The medium as one that reads at any address; nullptr when it reads
  // only front to back.
  virtual RandomAccessMedium* randomAccess() { return nullptr; }
  const RandomAccessMedium* randomAccess() const {
    return const_cast<Medium*>(this)->randomAccess();
  }
  // Where the medium is found (a cartridge file's path): the set note and
  // reports name it.
  virtual const std::string& path() const = 0;

  // ---- Moving and reading forward --------------------------------------
  // To the beginning of the medium.
  virtual int rewind() = 0;
  // Forward past `count` tape marks from the position (each after a
  // session's end record); MOX_E_MEDIA when the data ends first.
  virtual int spaceTapeMarks(uint32_t count) = 0;
  // To the end of the data, where the next append goes.
  virtual int spaceToEndOfData() = 0;
  virtual uint64_t position() const = 0;
  // Reads what stands at the position and moves past it.
  virtual int readNext(const ReadWant& want, MediumItem* item) = 0;
  // Where the data ends (the next append goes there).
  virtual int dataEnd(uint64_t* address) = 0;

  // ---- Writing ----------------------------------------------------------
  // Empties the medium and writes `label` as its first record, durably; its
  // kept map (if it keeps one) is that of a labelled blank.
  virtual int writeLabel(const Label& label) = 0;
  // Writes the record at `address` and gives its footprint in *size. A
  // sequential medium takes records only at the end of its data (in the
  // order they are written); a random-access one anywhere. The body's CRC
  // is computed here unless the header carries it (`crcKnown`).
  // MOX_E_TAPE_FULL when the record lies past the capacity (not written),
  // MOX_E_IO when the write fails.
  virtual int writeRecord(uint64_t address, const RecordHeader& header, const void* body,
                          bool crcKnown, uint64_t* size) = 0;
  // Writes a record image (header and body, `length` bytes) as one record.
  virtual int writeImage(uint64_t address, const uint8_t* image, uint32_t length,
                         uint64_t* size) = 0;
  // The same for the first `length` bytes of `*image`; a medium may take
  // the buffer instead of copying it, and leave another in its place.
  virtual int writeImageFrom(uint64_t address, std::vector<uint8_t>* image, uint32_t length,
                             uint64_t* size) {
    return writeImage(address, image->data(), length, size);
  }
  virtual int writeTapeMark(uint64_t address) = 0;
  // The durability barrier: what was written is on the medium.
  virtual int sync() = 0;
  // Starts writing [address, address + length) back without waiting for it
  // (with `wait`, waits for it): a hint; sync() alone makes data durable.
  virtual void writeBack(uint64_t /*address*/, uint64_t /*length*/, bool /*wait*/) {}
  // Sets the append point at `address`: nothing at or after it is kept
  // (a file truncates; a tape positions there and its next write ends the
  // data), durably. The kept map is dropped.
  virtual int cut(uint64_t address) = 0;
  // Short erase: the medium keeps its label (when it has a readable one and
  // `keepLabel`) and loses everything after it; otherwise it is blank.
  int erase(bool keepLabel);

  // ---- Capacity -----------------------------------------------------------
  void setCapacity(uint64_t capacity, uint64_t earlyWarning) {
    capacity_ = capacity;
    earlyWarning_ = earlyWarning;
  }
  uint64_t capacity() const { return capacity_; }
  Room room(uint64_t end) const {
    if (end <= earlyWarning_ && !pastEarlyWarning()) return Room::kFits;
    return end <= capacity_ ? Room::kEarlyWarning : Room::kOverflow;
  }
  // The medium itself said its end is near (a tape drive's early warning on
  // a write): from then on only what closes a session goes on it.
  virtual bool pastEarlyWarning() const { return false; }

  // ---- The medium's kept map ----------------------------------------------
  // A medium may keep the map of what it holds (the cartridge file keeps a
  // side file beside it); the engine never relies on it.
  // True, with *map, when the medium holds exactly what it kept.
  virtual bool keptMap(CartridgeMap* /*map*/) const { return false; }
  // Called after a durability barrier with what a full scan would find now.
  virtual void keepMap(const CartridgeMap& /*map*/) {}
  // Drops the kept map (the medium was replaced behind the engine's back,
  // as a rebuild does by a rename).
  virtual void forgetMap() {}

  // ---- Read failures --------------------------------------------------------
  // How many reads failed so far (an I/O error, not the end of the data).
  // A scan during which one failed does not know what the medium holds.
  virtual uint64_t readFailures() const { return 0; }
  // Nothing more is read for a while (a reader met the end of its part):
  // what the medium asked for ahead is taken in and kept, so that no
  // command stands answered and untaken meanwhile (a drive's activity
  // counts it waiting until it is taken).
  virtual void pauseReading() {}

  // ---- Motion -----------------------------------------------------------------
  // How often the medium was rewound and spaced (over tape marks, or to the
  // end of its data) since it was opened: on a tape each costs seconds to
  // minutes, so a restore counts them per member.
  struct Motion {
    uint64_t rewinds = 0;
    uint64_t spacings = 0;
  };
  Motion motion() const {
    return {rewinds_.load(std::memory_order_relaxed), spacings_.load(std::memory_order_relaxed)};
  }

 protected:
  void noteRewind() const { rewinds_.fetch_add(1, std::memory_order_relaxed); }
  void noteSpacing() const { spacings_.fetch_add(1, std::memory_order_relaxed); }

 private:
  mutable std::atomic<uint64_t> rewinds_{0};
  mutable std::atomic<uint64_t> spacings_{0};
  uint64_t capacity_ = ~0ull;
  uint64_t earlyWarning_ = ~0ull;
};

// A medium that also reads at any address: a cartridge file. It takes
// reads at known addresses and writes at distinct addresses from many
// threads at once (the session writer and reader).
class RandomAccessMedium : public Medium {
 public:
  RandomAccessMedium* randomAccess() override { return this; }

  // To `address`.
  virtual int seek(uint64_t address) = 0;
  // Reads the record at `address` with one read: its header bytes into
  // `header` (kHeaderSize bytes), decoded into *decoded, its body into
  // `body` (room for `room` bytes; `body` may follow `header` to read a
  // whole image). Checks both length words, the header and the body's CRC,
  // each once. MOX_E_CHECKSUM on a bad header or body, MOX_E_MEDIA on
  // broken framing, a record larger than the room, a medium that ends
  // inside the record.
  virtual int readRecordAt(uint64_t address, uint8_t* header, uint8_t* body, size_t room,
                           RecordHeader* decoded) const = 0;
  // The payload length (header and body) of the record at `address`, from
  // its leading length word.
  virtual int recordLength(uint64_t address, uint32_t* length) const = 0;
  // Reads the record at `address` whole: its header into *header and its
  // image (header and body) into *image. As readRecordAt.
  int readRecord(uint64_t address, RecordHeader* header, std::vector<uint8_t>* image) const;
  // Hints: the range will be read soon; reads are scattered (no read-ahead).
  virtual void willNeed(uint64_t /*address*/, uint64_t /*length*/) const {}
  virtual void readScattered(bool /*scattered*/) const {}

  // Rewrites the label record in place, nothing else changing.
  virtual int rewriteLabel(const Label& label) = 0;
};

}  // namespace mox
