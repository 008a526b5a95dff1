// What known drives get wrong, keyed by their INQUIRY identity. A member
// looks its drive up once at open and works around what the entry says;
// a drive not in the table is taken to follow the stream commands.
#pragma once

#include <string>

#include "engine/scsi/commands.h"

namespace mox::scsi {

struct DriveQuirks {
  // READ POSITION answers, but says the position is unknown (or says 0):
  // never used for the position.
  bool readPositionStub = false;
  // LOCATE is not supported.
  bool noLocate = false;
  // SILI is ignored: a shorter block is still reported with ILI.
  bool siliIgnored = false;
  // A short block delivers only min(actual, requested - actual) bytes,
  // while the sense says the whole block was read: the request must be at
  // least twice the largest block for every byte to arrive.
  bool shortReadUnderDelivered = false;
  // A long block (longer than asked) delivers no data at all.
  bool longReadDeliversNothing = false;
  // SPACE over blocks counts filemarks as blocks and does not stop at them.
  bool spaceBlocksCountsFilemarks = false;
  // SPACE backwards over filemarks goes one object too far (from the end
  // of data, -1 ends before the last block instead of before the filemark).
  bool reverseFilemarkOffByOne = false;
  // SPACE forward that meets the end of data gives no residue (INFORMATION).
  bool spaceEndOfDataNoResidue = false;
  // LOAD UNLOAD is read as START STOP UNIT: unload does not eject, and the
  // RETEN bit takes the drive offline. A changer moves cartridges itself.
  bool loadUnloadIsStartStop = false;
  // EOM is reported only past the cartridge's capacity, data still written
  // and writes never refused: no early-warning zone, no VOLUME OVERFLOW.
  // The real end is where the target's storage fills (MEDIUM ERROR).
  bool endOfMediumPastCapacity = false;
  // WRITE FILEMARKS answers GOOD even when the filemark or the flush to the
  // target's storage failed: a barrier that cannot be trusted alone.
  bool filemarkErrorsHidden = false;
  // The largest block the drive reports (READ BLOCK LIMITS) is not
  // enforced; the member's own cap holds.
  bool blockLimitsNotEnforced = false;
};

struct QuirkEntry {
  const char* vendor;   // INQUIRY vendor, trimmed
  const char* product;  // INQUIRY product, trimmed
  const char* name;     // for messages
  DriveQuirks quirks;
};

// The entry for this identity, or nullptr for a drive not in the table.
const QuirkEntry* findQuirks(const Inquiry& identity);

}  // namespace mox::scsi
