#include "engine/scsi/sense.h"

#include <cstdio>

namespace mox::scsi {
namespace {

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint64_t be64(const uint8_t* p) { return (uint64_t{be32(p)} << 32) | be32(p + 4); }

bool decodeFixed(const uint8_t* d, size_t n, Sense* s) {
  if (n < 3) return false;
  s->filemark = (d[2] & 0x80) != 0;
  s->endOfMedium = (d[2] & 0x40) != 0;
  s->incorrectLength = (d[2] & 0x20) != 0;
  s->key = d[2] & 0x0F;
  if (n >= 7 && (d[0] & 0x80) != 0) {
    s->informationValid = true;
    s->information = static_cast<int32_t>(be32(d + 3));
  }
  // The additional sense length (byte 7) bounds what follows; a target
  // that sends fewer bytes than it claims is read as far as it sent.
  size_t end = n;
  if (n >= 8 && size_t{d[7]} + 8 < end) end = size_t{d[7]} + 8;
  if (end >= 13) s->asc = d[12];
  if (end >= 14) s->ascq = d[13];
  return true;
}

bool decodeDescriptor(const uint8_t* d, size_t n, Sense* s) {
  if (n < 2) return false;
  s->key = d[1] & 0x0F;
  if (n >= 3) s->asc = d[2];
  if (n >= 4) s->ascq = d[3];
  if (n < 8) return true;
  size_t end = 8 + size_t{d[7]};
  if (end > n) end = n;
  size_t at = 8;
  while (at + 2 <= end) {
    uint8_t type = d[at];
    size_t size = size_t{d[at + 1]} + 2;
    if (at + size > end) break;  // a descriptor cut short is not read
    const uint8_t* p = d + at;
    if (type == 0x00 && size >= 12) {  // information
      s->informationValid = (p[2] & 0x80) != 0;
      s->information = static_cast<int64_t>(be64(p + 4));
    } else if (type == 0x04 && size >= 4) {  // stream commands
      s->filemark = (p[3] & 0x80) != 0;
      s->endOfMedium = (p[3] & 0x40) != 0;
      s->incorrectLength = (p[3] & 0x20) != 0;
    }
    at += size;
  }
  return true;
}

// NO SENSE or RECOVERED ERROR: the flags and the additional sense say what
// happened; the key alone says only that the command did not fail.
Outcome classifyCondition(const Sense& s) {
  if (s.filemark || (s.asc == 0x00 && s.ascq == 0x01)) return Outcome::filemark;
  if (s.asc == 0x00 && s.ascq == 0x05) return Outcome::endOfData;
  if (s.asc == 0x00 && s.ascq == 0x04) return Outcome::beginningOfMedium;
  if (s.incorrectLength) {
    if (!s.informationValid) return Outcome::longBlock;  // a length we cannot know
    return s.information >= 0 ? Outcome::shortBlock : Outcome::longBlock;
  }
  if (s.endOfMedium || (s.asc == 0x00 && (s.ascq == 0x02 || s.ascq == 0x07))) {
    return Outcome::earlyWarning;
  }
  return Outcome::done;
}

}  // namespace

bool decodeSense(const uint8_t* data, size_t length, Sense* out) {
  *out = Sense{};
  if (data == nullptr || length < 2) return false;
  uint8_t code = data[0] & 0x7F;
  Sense s;
  s.responseCode = code;
  bool ok = false;
  switch (code) {
    case 0x70:
    case 0x71:
      ok = decodeFixed(data, length, &s);
      break;
    case 0x72:
    case 0x73:
      s.descriptorFormat = true;
      ok = decodeDescriptor(data, length, &s);
      break;
    default:
      return false;
  }
  if (!ok) return false;
  s.deferred = code == 0x71 || code == 0x73;
  *out = s;
  return true;
}

namespace {

const char* keyName(uint8_t key) {
  static const char* const kNames[16] = {
      "NO SENSE",       "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
      "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
      "BLANK CHECK",    "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
      "RESERVED (Ch)",  "VOLUME OVERFLOW", "MISCOMPARE",     "RESERVED (Fh)"};
  return kNames[key & 0xF];
}

// The additional sense codes a tape drive or a medium changer reports, by
// ASC << 8 | ASCQ.
struct AscText {
  uint16_t code;
  const char* text;
};
constexpr AscText kAscTexts[] = {
    {0x0000, "no additional sense information"},
    {0x0001, "filemark detected"},
    {0x0002, "end-of-partition/medium detected"},
    {0x0004, "beginning-of-partition/medium detected"},
    {0x0005, "end-of-data detected"},
    {0x0016, "operation in progress"},
    {0x0300, "peripheral device write fault"},
    {0x0400, "logical unit not ready, cause not reportable"},
    {0x0401, "logical unit is in process of becoming ready"},
    {0x0402, "logical unit not ready, initializing command required"},
    {0x0403, "logical unit not ready, manual intervention required"},
    {0x0C00, "write error"},
    {0x1100, "unrecovered read error"},
    {0x1400, "recorded entity not found"},
    {0x1401, "record not found"},
    {0x1403, "end-of-data not found"},
    {0x1500, "random positioning error"},
    {0x1A00, "parameter list length error"},
    {0x2000, "invalid command operation code"},
    {0x2100, "logical block address out of range"},
    {0x2101, "invalid element address"},
    {0x2400, "invalid field in CDB"},
    {0x2500, "logical unit not supported"},
    {0x2600, "invalid field in parameter list"},
    {0x2700, "write protected"},
    {0x2800, "not ready to ready change, medium may have changed"},
    {0x2900, "power on, reset, or bus device reset occurred"},
    {0x2A01, "mode parameters changed"},
    {0x2A03, "reservations preempted"},
    {0x2A04, "reservations released"},
    {0x2A05, "registrations preempted"},
    {0x3000, "incompatible medium installed"},
    {0x3003, "cleaning cartridge installed"},
    {0x3100, "medium format corrupted"},
    {0x3300, "tape length error"},
    {0x3A00, "medium not present"},
    {0x3B00, "sequential positioning error"},
    {0x3B0D, "medium destination element full"},
    {0x3B0E, "medium source element empty"},
    {0x3B11, "medium magazine not accessible"},
    {0x3F01, "microcode has been changed"},
    {0x4400, "internal target failure"},
    {0x4700, "SCSI parity error"},
    {0x5000, "write append error"},
    {0x5100, "erase failure"},
    {0x5200, "cartridge fault"},
    {0x5300, "media load or eject failed"},
    {0x5302, "medium removal prevented"},
    {0x5500, "system resource failure"},
    {0x5D00, "failure prediction threshold exceeded"},
    {0x8000, "vendor specific"},
};

}  // namespace

std::string senseText(const Sense& s) {
  char text[160];
  const char* meaning = nullptr;
  const uint16_t code = static_cast<uint16_t>(s.asc << 8 | s.ascq);
  for (const AscText& a : kAscTexts) {
    if (a.code == code) meaning = a.text;
  }
  std::snprintf(text, sizeof text, "%s, %02X/%02X%s%s%s%s%s%s", keyName(s.key), s.asc, s.ascq,
                meaning != nullptr ? " " : "", meaning != nullptr ? meaning : "",
                s.filemark ? ", FILEMARK" : "", s.endOfMedium ? ", EOM" : "",
                s.incorrectLength ? ", ILI" : "", s.deferred ? ", deferred" : "");
  return text;
}

const char* outcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::done:
      return "done";
    case Outcome::filemark:
      return "filemark";
    case Outcome::endOfData:
      return "end of data";
    case Outcome::beginningOfMedium:
      return "beginning of medium";
    case Outcome::earlyWarning:
      return "early warning";
    case Outcome::overflow:
      return "volume overflow";
    case Outcome::shortBlock:
      return "short block";
    case Outcome::longBlock:
      return "long block";
    case Outcome::notReady:
      return "not ready";
    case Outcome::positionLost:
      return "position lost";
    case Outcome::writeProtected:
      return "write protected";
    case Outcome::memberFailed:
      return "member failed";
    case Outcome::unsupported:
      return "unsupported";
    case Outcome::busy:
      return "busy";
    case Outcome::transport:
      return "transport";
    case Outcome::reserved:
      return "reserved by another initiator";
  }
  return "unknown";
}

Classified classify(uint8_t status, const uint8_t* sense, size_t length) {
  Classified c;
  switch (status) {
    case kStatusGood:
    case kStatusConditionMet:
      c.outcome = Outcome::done;
      return c;
    case kStatusBusy:
    case kStatusTaskSetFull:
      c.outcome = Outcome::busy;
      return c;
    case kStatusReservationConflict:
      c.outcome = Outcome::reserved;
      return c;
    case kStatusCheckCondition:
      break;
    default:  // TASK ABORTED, ACA ACTIVE, anything else: not known to have run or not
      c.outcome = Outcome::transport;
      return c;
  }
  c.senseDecoded = decodeSense(sense, length, &c.sense);
  if (!c.senseDecoded) {
    c.outcome = Outcome::transport;
    return c;
  }
  const Sense& s = c.sense;
  c.residueValid = s.informationValid;
  c.residue = s.informationValid ? s.information : 0;
  if (s.deferred) {
    // An earlier command, already answered GOOD, failed after all: what was
    // acknowledged may not be on the tape.
    c.outcome = (s.key == kKeyMediumError || s.key == kKeyHardwareError) ? Outcome::memberFailed
                                                                         : Outcome::positionLost;
    return c;
  }
  switch (s.key) {
    case kKeyNoSense:
    case kKeyRecoveredError:
      c.outcome = classifyCondition(s);
      break;
    case kKeyNotReady:
      c.outcome = Outcome::notReady;
      break;
    case kKeyMediumError:
    case kKeyHardwareError:
      c.outcome = Outcome::memberFailed;
      break;
    case kKeyIllegalRequest:
      c.outcome = Outcome::unsupported;
      break;
    case kKeyUnitAttention:
      c.outcome = Outcome::positionLost;
      break;
    case kKeyDataProtect:
      c.outcome = Outcome::writeProtected;
      break;
    case kKeyBlankCheck:
      c.outcome = Outcome::endOfData;
      break;
    case kKeyAbortedCommand:
      c.outcome = Outcome::transport;
      break;
    case kKeyVolumeOverflow:
      c.outcome = Outcome::overflow;
      break;
    default:  // vendor specific, copy aborted, miscompare, reserved
      c.outcome = Outcome::memberFailed;
      break;
  }
  return c;
}

}  // namespace mox::scsi
