// Where the tape of a member is: the commands that move it (rewind, space,
// unload), the one place where LOCATE is asked for, READ POSITION at open,
// the caller's position kept through all of them (file and record numbers,
// the end of data), and what a reconcile reads at the tape's end.
//
// The member (tape_drive.h) first makes the tape be where the caller
// stands (writes drained, what was read ahead settled, passed or dropped);
// these calls then send their command and follow it in the position.
//
// Not thread-safe: one member, one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/scsi/member_state.h"

namespace mox::scsi {

enum class LastObject { none, filemark, record };

struct TapeObject {
  bool filemark = false;
  std::vector<uint8_t> record;  // a record's bytes (empty: larger than the member's cap)
};

struct ReconcileReport {
  LastObject last = LastObject::none;  // none: nothing is recorded on the tape
  std::vector<uint8_t> record;         // the last record, when last == record
  // The tape's last objects in order, ending with the last one: as many as
  // were in flight at the fault and one more. The caller finds the last
  // acknowledged record among them and checks that only records it sent
  // after that one follow, in order: a record refused in the middle of a
  // queue (a unit attention) with later ones written leaves a gap here.
  std::vector<TapeObject> tail;
  // Records that were in flight when the fault came: each may be on the
  // tape or not, whatever the member was told.
  uint64_t inFlightAtFault = 0;
};

class TapeMotion {
 public:
  explicit TapeMotion(MemberState& member) : m_(member) {}

  // READ POSITION at open: whether the drive can say where the tape is,
  // and the position when it says the beginning. done, or a lost session.
  Outcome readPosition();
  // REWIND: the position is the beginning of the tape.
  Outcome rewind();
  // At the beginning of the tape: whether the drive knows LOCATE, asked
  // once per member.
  Outcome probeLocate();
  // SPACE over `count` filemarks (not 0), forward or back.
  Outcome spaceFilemarks(int32_t count);
  // SPACE back over `count` records.
  Outcome spaceBackRecords(uint32_t count);
  // To the end of data; with `countFiles` and a known file number, one
  // filemark at a time to keep the file number.
  Outcome spaceToEndOfData(bool countFiles);
  // LOAD UNLOAD, unload: the member is closed, and sound again.
  Outcome unload();
  // At the end of data (session, mode and readiness restored): spaces
  // back over `report->inFlightAtFault` objects and one more, reads them
  // into the report, and leaves the position at the end of data.
  Outcome readTail(ReconcileReport* report);

 private:
  MemberState& m_;
};

}  // namespace mox::scsi
