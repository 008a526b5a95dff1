// Command descriptor blocks for tape drives (SSC) and media changers (SMC),
// and parsers for what they answer. Pure functions: no I/O, no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mox::scsi {

struct Cdb {
  uint8_t bytes[16] = {};
  uint8_t length = 6;
};

// Operation codes used here.
namespace op {
inline constexpr uint8_t kTestUnitReady = 0x00;
inline constexpr uint8_t kRewind = 0x01;
inline constexpr uint8_t kRequestSense = 0x03;
inline constexpr uint8_t kReadBlockLimits = 0x05;
inline constexpr uint8_t kRead6 = 0x08;
inline constexpr uint8_t kWrite6 = 0x0A;
inline constexpr uint8_t kWriteFilemarks6 = 0x10;
inline constexpr uint8_t kSpace6 = 0x11;
inline constexpr uint8_t kErase6 = 0x19;
inline constexpr uint8_t kInquiry = 0x12;
inline constexpr uint8_t kModeSelect6 = 0x15;
inline constexpr uint8_t kModeSense6 = 0x1A;
inline constexpr uint8_t kModeSense10 = 0x5A;
inline constexpr uint8_t kLogSense = 0x4D;
inline constexpr uint8_t kLoadUnload = 0x1B;
inline constexpr uint8_t kPreventAllow = 0x1E;
inline constexpr uint8_t kLocate10 = 0x2B;
inline constexpr uint8_t kReadPosition = 0x34;
inline constexpr uint8_t kInitializeElementStatus = 0x07;
inline constexpr uint8_t kMoveMedium = 0xA5;
inline constexpr uint8_t kReadElementStatus = 0xB8;
inline constexpr uint8_t kReportLuns = 0xA0;
inline constexpr uint8_t kReserve6 = 0x16;
inline constexpr uint8_t kRelease6 = 0x17;
inline constexpr uint8_t kPersistentReserveIn = 0x5E;
inline constexpr uint8_t kPersistentReserveOut = 0x5F;
}  // namespace op

// The largest transfer length READ(6), WRITE(6) and SPACE(6) can carry.
inline constexpr uint32_t kMaxTransfer6 = 0xFFFFFF;

// --- Common (SPC) -----------------------------------------------------------
Cdb testUnitReady();
Cdb requestSense(uint8_t allocation);
Cdb inquiry(bool vpd, uint8_t page, uint16_t allocation);
Cdb modeSense6(uint8_t page, uint8_t allocation, bool disableBlockDescriptors = false);
// MODE SENSE(10), current values of `page` (subpage 0).
Cdb modeSense10(uint8_t page, uint16_t allocation, bool disableBlockDescriptors = false);
// LOG SENSE of `page` (subpage 0), cumulative values, from its first parameter.
Cdb logSense(uint8_t page, uint16_t allocation);
// MODE SELECT(6) with PF set for a parameter list of `length` bytes.
Cdb modeSelect6(uint8_t length);
Cdb preventAllow(bool prevent);
// REPORT LUNS, select report 0 (every logical unit the initiator may reach).
Cdb reportLuns(uint32_t allocation);

// --- Reservations (SPC) -------------------------------------------------------
// RESERVE(6) and RELEASE(6) of the whole logical unit, for this initiator.
Cdb reserve6();
Cdb release6();
enum class PrIn : uint8_t { readKeys = 0, readReservation = 1 };
Cdb persistentReserveIn(PrIn action, uint16_t allocation);
enum class PrOut : uint8_t {
  registerKey = 0,
  reserve = 1,
  release = 2,
  clear = 3,
  preempt = 4,
  registerAndIgnore = 6,
};
enum class PrType : uint8_t {
  none = 0,
  writeExclusive = 1,   // others may read, not write or move the medium
  exclusiveAccess = 3,  // others may do neither
};
// PERSISTENT RESERVE OUT with the basic 24-byte parameter list, scope LU.
inline constexpr uint32_t kPrOutParameterBytes = 24;
Cdb persistentReserveOut(PrOut action, PrType type);
// Its parameter list: the reservation key and the service action key.
std::vector<uint8_t> prOutParameters(uint64_t key, uint64_t serviceKey);

// --- Tape drives (SSC) ------------------------------------------------------
Cdb rewind(bool immediate = false);
Cdb readBlockLimits();
// Variable block mode: one block of `length` bytes.
Cdb write6(uint32_t length);
// Variable block mode: one block of up to `length` bytes. With `sili` the
// drive does not report a shorter block as an error.
Cdb read6(uint32_t length, bool sili);
Cdb writeFilemarks6(uint32_t count, bool immediate = false);
// ERASE(6), short: the end of data written where the tape stands (at the
// beginning of the tape, the cartridge reads as blank again).
Cdb erase6();
enum class SpaceCode : uint8_t {
  blocks = 0,
  filemarks = 1,
  sequentialFilemarks = 2,
  endOfData = 3
};
// `count` is a signed 24-bit number: negative spaces towards the beginning.
Cdb space6(SpaceCode code, int32_t count);
// LOAD UNLOAD as the stream commands define it (byte 4: LOAD, RETEN, EOT, HOLD).
Cdb loadUnload(bool load, bool immediate = false, bool hold = false);
Cdb locate10(uint32_t block);
// READ POSITION, short form with block identifiers (service action 0).
Cdb readPositionShort();

// --- Media changers (SMC) ---------------------------------------------------
enum class ElementType : uint8_t {
  all = 0,
  transport = 1,     // the picker
  storage = 2,       // slots
  importExport = 3,  // mail slots
  drive = 4,         // data transfer elements
};
Cdb readElementStatus(ElementType type, uint16_t start, uint16_t count, bool volumeTags,
                      bool deviceIds, uint32_t allocation);
Cdb moveMedium(uint16_t transport, uint16_t source, uint16_t destination);
Cdb initializeElementStatus();

// --- Parameter lists ----------------------------------------------------------
// A MODE SELECT(6) parameter list with one block descriptor: the header
// (buffered mode in the device-specific byte) and a descriptor with the
// density code and block length (0 = variable). Returns 12 bytes.
std::vector<uint8_t> modeSelectBlockDescriptor(uint8_t density, uint32_t blockLength,
                                               uint8_t bufferedMode);

// --- Answers ------------------------------------------------------------------
struct Inquiry {
  uint8_t peripheralType = 0x1F;  // 01h tape, 08h changer
  uint8_t qualifier = 0;
  bool removable = false;
  std::string vendor;    // trimmed
  std::string product;   // trimmed
  std::string revision;  // trimmed
};
bool parseInquiry(const uint8_t* data, size_t length, Inquiry* out);
// VPD page 80h: the unit serial number, trimmed.
bool parseUnitSerial(const uint8_t* data, size_t length, std::string* out);

// REPORT LUNS parameter data: the LUNs of single-level addresses
// (peripheral device addressing on bus 0, or flat space addressing), in
// rising order, each once; *skipped counts the entries of other forms (a
// LUN behind a bus, or of several levels). *listed is the list length the
// target gave in bytes, which may exceed what `length` holds. False when the
// header is missing.
bool parseReportLuns(const uint8_t* data, size_t length, std::vector<uint16_t>* luns,
                     uint32_t* listed = nullptr, size_t* skipped = nullptr);

struct BlockLimits {
  uint8_t granularity = 0;
  uint32_t maximum = 0;  // 0: no limit given
  uint16_t minimum = 0;
};
bool parseBlockLimits(const uint8_t* data, size_t length, BlockLimits* out);

// MODE SENSE(6) header and first block descriptor.
struct ModeHeader {
  bool writeProtected = false;
  uint8_t bufferedMode = 0;
  uint8_t speed = 0;
  bool hasBlockDescriptor = false;
  uint8_t density = 0;
  uint32_t blockLength = 0;  // 0: variable
};
bool parseModeSense6(const uint8_t* data, size_t length, ModeHeader* out);

// READ POSITION short form.
struct ShortPosition {
  bool beginningOfPartition = false;
  bool endOfPartition = false;
  bool blockPositionUnknown = false;  // BPU: the block numbers mean nothing
  bool locationUnknown = false;       // LOLU
  uint8_t partition = 0;
  uint32_t firstBlock = 0;
  uint32_t lastBlock = 0;
};
bool parseShortPosition(const uint8_t* data, size_t length, ShortPosition* out);

struct Element {
  ElementType type = ElementType::storage;
  uint16_t address = 0;
  bool full = false;
  bool exception = false;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  bool sourceValid = false;
  uint16_t source = 0;        // where the cartridge came from
  std::string volumeTag;      // primary volume tag (barcode), trimmed; empty when none
  std::string deviceVendor;   // drives with device identifiers: INQUIRY vendor,
  std::string deviceProduct;  // product and serial of the drive at this element
  std::string deviceSerial;
};
// PERSISTENT RESERVE IN, READ RESERVATION: the holder's key and the type,
// when a reservation is held (*held false otherwise).
struct PrReservation {
  bool held = false;
  uint32_t generation = 0;
  uint64_t key = 0;
  PrType type = PrType::none;
};
bool parseReadReservation(const uint8_t* data, size_t length, PrReservation* out);

// READ ELEMENT STATUS data: every element of every page. False when the
// header or a page header is malformed.
bool parseElementStatus(const uint8_t* data, size_t length, std::vector<Element>* out);

}  // namespace mox::scsi
