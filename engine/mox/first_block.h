// The first block of a cartridge: blank, this engine's label record, or
// something foreign; what a tape change looks at before it writes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/mox/format.h"
#include "engine/scsi/tape_drive.h"

namespace mox {

enum class Content : uint8_t {
  empty,    // the tape is at the beginning and the end of data at once
  engine,   // the first block is this engine's label record
  foreign,  // anything else: a filemark, a block that is no label record, one too long
};
const char* contentName(Content content);

struct Inspection {
  Content content = Content::empty;
  Label label;  // when content == engine
  // The label and nothing after it (the end of the data follows): a set
  // labelled for a tape change that was cut before its session went on,
  // or one that never held a session. When content == engine.
  bool labelOnly = false;
  // A blank is a cartridge the engine may write from the beginning: one
  // whose first block is no label of this engine.
  bool blank() const { return content != Content::engine; }
};

// True when `data` (`length` bytes, one tape block) is a label record of
// this engine: a record image (header, then body) whose header and body
// checksums hold, of kind label, with a label body. The label in *label.
bool isLabelRecord(const uint8_t* data, size_t length, Label* label);

// Rewinds the opened member, reads its first block into *inspection (and,
// after a label, whether anything follows it) and rewinds again. MOX_OK, or MOX_E_IO (the member's
// lastError() says why).
int inspectFirstBlock(scsi::TapeDrive* member, Inspection* inspection);

}  // namespace mox
