#include "engine/scsi/tape_motion.h"

#include <algorithm>
#include <string>

namespace mox::scsi {

Outcome TapeMotion::readPosition() {
  uint8_t pos[20] = {};
  Answer a =
      m_.run(readPositionShort(), Direction::in, pos, sizeof pos, m_.options.commandTimeoutMs);
  m_.position = TapePosition{};
  m_.info.readPositionUsable = false;
  if (a.outcome() == Outcome::done) {
    ShortPosition sp;
    parseShortPosition(pos, sizeof pos, &sp);
    m_.info.readPositionUsable = !sp.blockPositionUnknown && !m_.info.quirks.readPositionStub;
    if (m_.info.readPositionUsable && sp.beginningOfPartition) {
      m_.position.file = 0;
      m_.position.record = 0;
    }
  } else if (a.outcome() == Outcome::transport) {
    return m_.fault("READ POSITION", a);
  }
  return Outcome::done;
}

Outcome TapeMotion::rewind() {
  Answer a = m_.move(scsi::rewind());
  if (a.outcome() != Outcome::done) return m_.fault("REWIND", a);
  m_.position = TapePosition{0, 0, false};
  return Outcome::done;
}

Outcome TapeMotion::probeLocate() {
  DriveInfo& info = m_.info;
  if (info.locateProbed) return Outcome::done;
  // At the beginning of the tape a LOCATE to block 0 moves nothing: the
  // one place where asking whether the drive knows it is harmless.
  Answer a = m_.move(locate10(0));
  if (a.outcome() == Outcome::done) {
    info.locateProbed = true;
    info.locateSupported = true;
  } else if (a.outcome() == Outcome::unsupported) {
    info.locateProbed = true;
    info.locateSupported = false;
  } else {
    return m_.fault("LOCATE", a);
  }
  return Outcome::done;
}

Outcome TapeMotion::spaceFilemarks(int32_t count) {
  TapePosition& position = m_.position;
  Answer a = m_.move(space6(SpaceCode::filemarks, count));
  const Classified& c = a.classified;
  switch (c.outcome) {
    case Outcome::done:
      if (count > 0) {
        if (position.fileKnown()) position.file += static_cast<uint64_t>(count);
        position.record = 0;
      } else {
        if (position.fileKnown())
          position.file -= std::min<uint64_t>(position.file, -int64_t{count});
        position.record = TapePosition::kUnknown;
      }
      position.atEndOfData = false;
      return Outcome::done;
    case Outcome::endOfData:
      if (count > 0 && c.residueValid && position.fileKnown() && c.residue >= 0 &&
          c.residue <= count) {
        position.file += static_cast<uint64_t>(count - c.residue);
      } else {
        position.file = TapePosition::kUnknown;
      }
      position.record = TapePosition::kUnknown;
      position.atEndOfData = true;
      return Outcome::endOfData;
    case Outcome::beginningOfMedium:
      position = TapePosition{0, 0, false};
      return Outcome::beginningOfMedium;
    default:
      return m_.fault("SPACE (filemarks)", a);
  }
}

Outcome TapeMotion::spaceBackRecords(uint32_t count) {
  if (count == 0) return Outcome::done;
  if (count > 0x800000) {
    m_.error = "cannot space back over " + std::to_string(count) + " records at once";
    return Outcome::unsupported;
  }
  TapePosition& position = m_.position;
  Answer a = m_.move(space6(SpaceCode::blocks, -static_cast<int32_t>(count)));
  switch (a.outcome()) {
    case Outcome::done:
      if (position.recordKnown()) {
        position.record =
            position.record >= count ? position.record - count : TapePosition::kUnknown;
      }
      position.atEndOfData = false;
      return Outcome::done;
    case Outcome::filemark:
    case Outcome::beginningOfMedium:
      position.record = TapePosition::kUnknown;
      if (a.outcome() == Outcome::beginningOfMedium) position = TapePosition{0, 0, false};
      position.atEndOfData = false;
      m_.error = m_.describe() + ": spacing back stopped early (" + outcomeName(a.outcome()) + ")";
      return a.outcome();
    default:
      return m_.fault("SPACE (back over records)", a);
  }
}

Outcome TapeMotion::spaceToEndOfData(bool countFiles) {
  TapePosition& position = m_.position;
  uint64_t file = position.file;
  if (countFiles && position.fileKnown()) {
    for (;;) {
      Answer a = m_.move(space6(SpaceCode::filemarks, 1));
      if (a.outcome() == Outcome::done) {
        ++file;
        continue;
      }
      if (a.outcome() == Outcome::endOfData) break;
      return m_.fault("SPACE (filemarks)", a);
    }
  } else {
    file = TapePosition::kUnknown;
  }
  Answer a = m_.move(space6(SpaceCode::endOfData, 0));
  if (a.outcome() != Outcome::done) return m_.fault("SPACE (end of data)", a);
  position.file = file;
  position.record = TapePosition::kUnknown;
  position.atEndOfData = true;
  return Outcome::done;
}

Outcome TapeMotion::unload() {
  Answer a = m_.move(loadUnload(false));
  if (a.outcome() != Outcome::done) return m_.fault("UNLOAD", a);
  m_.position = TapePosition{};
  m_.opened = false;
  // The cartridge that failed leaves the drive; the next one starts sound.
  if (m_.state == DriveState::failed) m_.state = DriveState::ready;
  return Outcome::done;
}

Outcome TapeMotion::readTail(ReconcileReport* report) {
  Answer a = m_.move(space6(SpaceCode::endOfData, 0));
  if (a.outcome() != Outcome::done) return m_.fault("SPACE (end of data)", a);
  // Back over as many objects as were in flight at the fault and one more:
  // tgt counts a filemark as a block, a drive that follows the standard
  // stops at one (FILEMARK); either way reading forward from there to the
  // end of data meets the tape's last objects.
  const uint64_t want = std::min<uint64_t>(report->inFlightAtFault + 1, kMaxWriteDepth + 1);
  a = m_.move(space6(SpaceCode::blocks, -static_cast<int32_t>(want)));
  if (a.outcome() != Outcome::done && a.outcome() != Outcome::filemark &&
      a.outcome() != Outcome::beginningOfMedium) {
    return m_.fault("SPACE (back over the last objects)", a);
  }
  const bool fromBeginning = a.outcome() == Outcome::beginningOfMedium;
  const uint32_t request = m_.readRoom;
  std::vector<uint8_t> block(request);
  for (uint64_t reads = 0;; ++reads) {
    if (reads > 2 * want + 8) {
      m_.error = m_.describe() + ": the tape does not end where it ended a moment ago";
      m_.state = DriveState::failed;
      return Outcome::memberFailed;
    }
    a = m_.run(read6(request, !m_.info.quirks.siliIgnored), Direction::in, block.data(), request,
               m_.options.commandTimeoutMs);
    if (a.outcome() == Outcome::endOfData) break;
    TapeObject object;
    int64_t actual = -1;
    switch (a.outcome()) {
      case Outcome::filemark:
        object.filemark = true;
        break;
      case Outcome::done:
      case Outcome::earlyWarning:
        actual = a.raw.residualValid ? int64_t{request} - a.raw.residual : request;
        break;
      case Outcome::shortBlock:
        actual = int64_t{request} - a.classified.residue;
        break;
      case Outcome::longBlock:
        break;  // larger than any record of this member: no bytes kept
      default:
        return m_.fault("READ (the last objects)", a);
    }
    if (actual == 0) {
      m_.error = m_.describe() + ": a block of 0 bytes near the end of data";
      m_.state = DriveState::failed;
      return Outcome::memberFailed;
    }
    if (actual > 0 && actual <= int64_t{m_.options.recordCap}) {
      object.record.assign(block.begin(), block.begin() + actual);
    }
    report->tail.push_back(std::move(object));
  }
  if (report->tail.empty()) {
    if (!fromBeginning) {
      m_.error = m_.describe() + ": nothing to read before the end of data";
      m_.state = DriveState::failed;
      return Outcome::memberFailed;
    }
    report->last = LastObject::none;
    m_.position = TapePosition{0, 0, true};
  } else {
    const TapeObject& last = report->tail.back();
    report->last = last.filemark ? LastObject::filemark : LastObject::record;
    report->record = last.record;
    m_.position = TapePosition{};
    m_.position.atEndOfData = true;
  }
  return Outcome::done;
}

}  // namespace mox::scsi
