#include "engine/scsi/quirks.h"

namespace mox::scsi {
namespace {

DriveQuirks tgtTape() {
  DriveQuirks q;
  q.readPositionStub = true;
  q.noLocate = true;
  q.siliIgnored = true;
  q.shortReadUnderDelivered = true;
  q.longReadDeliversNothing = true;
  q.spaceBlocksCountsFilemarks = true;
  q.reverseFilemarkOffByOne = true;
  q.spaceEndOfDataNoResidue = true;
  q.loadUnloadIsStartStop = true;
  q.endOfMediumPastCapacity = true;
  q.filemarkErrorsHidden = true;
  q.blockLimitsNotEnforced = true;
  return q;
}

const QuirkEntry kTable[] = {
    // tgt (Linux SCSI target framework, user space), its SSC emulation on
    // image files: usr/ssc.c and usr/bs_ssc.c, measured with 1.0.85.
    {"IET", "VIRTUAL-TAPE", "tgt virtual tape", tgtTape()},
};

}  // namespace

const QuirkEntry* findQuirks(const Inquiry& identity) {
  for (const QuirkEntry& e : kTable) {
    if (identity.vendor == e.vendor && identity.product == e.product) return &e;
  }
  return nullptr;
}

}  // namespace mox::scsi
