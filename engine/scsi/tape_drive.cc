#include "engine/scsi/tape_drive.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace mox::scsi {
namespace {

// A command's buffer from the spares, or a new one.
template <typename T>
std::unique_ptr<T> reuse(std::vector<std::unique_ptr<T>>& spare) {
  if (spare.empty()) return std::make_unique<T>();
  std::unique_ptr<T> item = std::move(spare.back());
  spare.pop_back();
  return item;
}

int64_t nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

void sleepMs(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

// What the answer said beyond its outcome: its detail, or the sense of a
// classification made without one.
std::string describe(const Classified& c, const Completion* raw) {
  if (raw != nullptr) return raw->detail();
  return c.senseDecoded ? senseText(c.sense) : "";
}

// The READ's object is a block: the tape moved past it.
bool passesBlock(Outcome o) {
  return o == Outcome::done || o == Outcome::earlyWarning || o == Outcome::shortBlock ||
         o == Outcome::longBlock;
}

// The READ's object is a record the caller takes in: the tape may be read on.
bool isRecord(Outcome o) {
  return o == Outcome::done || o == Outcome::earlyWarning || o == Outcome::shortBlock;
}

}  // namespace

const char* driveStateName(DriveState state) {
  switch (state) {
    case DriveState::ready:
      return "ready";
    case DriveState::needsReconcile:
      return "needs reconcile";
    case DriveState::failed:
      return "failed";
  }
  return "unknown";
}

struct TapeDrive::Pending {
  std::vector<uint8_t> data;
  uint32_t length = 0;
  Completion done;
};

struct TapeDrive::Read {
  std::vector<uint8_t> data;
  uint32_t request = 0;  // the length asked for
  Completion done;
  bool classifiedYet = false;
  Classified answer;
};

TapeDrive::TapeDrive(std::unique_ptr<Transport> transport, TapeDriveOptions options)
    : transport_(std::move(transport)), options_(options) {
  options_.writeDepth = std::clamp(options_.writeDepth, 1, kMaxWriteDepth);
  options_.readDepth = std::clamp(options_.readDepth, 1, kMaxReadDepth);
  if (options_.recordCap < 1) options_.recordCap = 1;
}

TapeDrive::~TapeDrive() {
  // Records still queued, and READs sent ahead, are waited for: their
  // buffers belong to this object. Nothing is written in their place.
  if (!inflight_.empty() || !reads_.empty()) transport_->waitAll();
}

Classified TapeDrive::run(const Cdb& cdb, Direction dir, uint8_t* data, uint32_t length,
                          int timeoutMs, Completion* raw) {
  Completion done = transport_->run(Command{cdb, dir, data, length, timeoutMs});
  Classified c = done.classified();
  if (raw != nullptr) *raw = done;
  if (done.transport != TransportStatus::ok) error_ = done.message;
  return c;
}

Outcome TapeDrive::fault(const char* what, const Classified& c, const Completion* raw) {
  error_ = std::string(what) + " on " + transport_->describe() + ": " + outcomeName(c.outcome);
  std::string detail = describe(c, raw);
  if (!detail.empty()) error_ += " (" + detail + ")";
  switch (c.outcome) {
    case Outcome::memberFailed:
      state_ = DriveState::failed;
      break;
    case Outcome::reserved:
      // Another initiator holds the drive: whatever it does with the tape,
      // this member's idea of it means nothing any more.
      error_ = std::string(what) + " on " + transport_->describe() +
               ": RESERVATION CONFLICT, another initiator holds the drive";
      state_ = DriveState::failed;
      heldByAnother_ = true;
      break;
    case Outcome::transport:
    case Outcome::positionLost:
    case Outcome::busy:
      state_ = DriveState::needsReconcile;
      break;
    default:
      break;
  }
  return c.outcome;
}

Outcome TapeDrive::refuseUnlessReady(bool writing) {
  if (state_ == DriveState::needsReconcile) {
    error_ = transport_->describe() + " needs to be reconciled first";
    return Outcome::positionLost;
  }
  if (!opened_) {
    error_ = transport_->describe() + " is not open";
    return Outcome::notReady;
  }
  if (writing && state_ == DriveState::failed) {
    error_ = transport_->describe() + " failed; nothing more is written to it";
    return Outcome::memberFailed;
  }
  if (writing && full_) {
    error_ = transport_->describe() + " is full";
    return Outcome::overflow;
  }
  return Outcome::done;
}

Outcome TapeDrive::waitReady() {
  int64_t deadline = nowMs() + options_.readyWaitMs;
  int attentions = 0;
  for (;;) {
    Completion raw;
    Classified c =
        run(testUnitReady(), Direction::none, nullptr, 0, options_.commandTimeoutMs, &raw);
    switch (c.outcome) {
      case Outcome::done:
        return Outcome::done;
      case Outcome::positionLost:
        // Each login brings its unit attentions (reset, parameters
        // changed, medium changed); a drive that never stops is broken.
        if (++attentions > 32) return fault("TEST UNIT READY", c, &raw);
        continue;
      case Outcome::notReady:
        if (c.sense.asc == 0x04 && c.sense.ascq != 0x02 && nowMs() < deadline) {
          sleepMs(250);  // becoming ready
          continue;
        }
        return fault("TEST UNIT READY", c, &raw);
      case Outcome::busy:
        if (nowMs() < deadline) {
          sleepMs(100);
          continue;
        }
        return fault("TEST UNIT READY", c, &raw);
      default:
        return fault("TEST UNIT READY", c, &raw);
    }
  }
}

Outcome TapeDrive::setVariableMode() {
  uint8_t data[255] = {};
  Completion raw;
  Classified c = run(modeSense6(0x10, sizeof data), Direction::in, data, sizeof data,
                     options_.commandTimeoutMs, &raw);
  if (c.outcome != Outcome::done) return fault("MODE SENSE", c, &raw);
  uint32_t got =
      sizeof data - (raw.residualValid ? std::min<uint32_t>(raw.residual, sizeof data) : 0);
  parseModeSense6(data, got, &info_.mode);
  if (info_.mode.hasBlockDescriptor && info_.mode.blockLength == 0) return Outcome::done;
  std::vector<uint8_t> list = modeSelectBlockDescriptor(
      info_.mode.density, 0, info_.mode.bufferedMode != 0 ? info_.mode.bufferedMode : 1);
  c = run(modeSelect6(static_cast<uint8_t>(list.size())), Direction::out, list.data(),
          static_cast<uint32_t>(list.size()), options_.commandTimeoutMs, &raw);
  if (c.outcome != Outcome::done) return fault("MODE SELECT (variable block mode)", c, &raw);
  std::memset(data, 0, sizeof data);
  c = run(modeSense6(0x10, sizeof data), Direction::in, data, sizeof data,
          options_.commandTimeoutMs, &raw);
  if (c.outcome != Outcome::done) return fault("MODE SENSE", c, &raw);
  parseModeSense6(data, sizeof data, &info_.mode);
  if (info_.mode.hasBlockDescriptor && info_.mode.blockLength != 0) {
    error_ = transport_->describe() + " stays in fixed block mode (" +
             std::to_string(info_.mode.blockLength) + " bytes)";
    return Outcome::unsupported;
  }
  return Outcome::done;
}

Outcome TapeDrive::open() {
  if (!inflight_.empty()) dropQueuedWrites();
  waitReads();
  while (!reads_.empty()) {
    spareReads_.push_back(std::move(reads_.front()));
    reads_.pop_front();
  }
  opened_ = false;
  if (!transport_->connected() && transport_->reconnect() != 0) {
    error_ = transport_->lastError();
    return Outcome::transport;
  }
  uint8_t inq[96] = {};
  Completion raw;
  Classified c = run(inquiry(false, 0, sizeof inq), Direction::in, inq, sizeof inq,
                     options_.commandTimeoutMs, &raw);
  if (c.outcome != Outcome::done) return fault("INQUIRY", c, &raw);
  parseInquiry(inq, sizeof inq, &info_.identity);
  if (info_.identity.peripheralType != 0x01) {
    error_ = transport_->describe() + " is not a tape drive (peripheral type " +
             std::to_string(info_.identity.peripheralType) + ")";
    return Outcome::unsupported;
  }
  uint8_t vpd[255] = {};
  c = run(inquiry(true, 0x80, sizeof vpd), Direction::in, vpd, sizeof vpd,
          options_.commandTimeoutMs);
  if (c.outcome == Outcome::done) parseUnitSerial(vpd, sizeof vpd, &info_.serial);
  info_.known = findQuirks(info_.identity);
  info_.quirks = info_.known != nullptr ? info_.known->quirks : DriveQuirks{};

  Outcome o = waitReady();
  if (o != Outcome::done) return o;

  uint8_t limits[6] = {};
  c = run(readBlockLimits(), Direction::in, limits, sizeof limits, options_.commandTimeoutMs, &raw);
  if (c.outcome == Outcome::done) {
    parseBlockLimits(limits, sizeof limits, &info_.limits);
  } else if (c.outcome != Outcome::unsupported) {
    return fault("READ BLOCK LIMITS", c, &raw);
  }
  if (info_.limits.maximum != 0 && options_.recordCap > info_.limits.maximum) {
    error_ = transport_->describe() + ": records of " + std::to_string(options_.recordCap) +
             " bytes exceed the drive's largest block (" + std::to_string(info_.limits.maximum) +
             ")";
    return Outcome::unsupported;
  }
  uint64_t request = uint64_t{options_.recordCap} * (info_.quirks.shortReadUnderDelivered ? 2 : 1);
  if (request > kMaxTransfer6) {
    error_ = transport_->describe() + ": records of " + std::to_string(options_.recordCap) +
             " bytes are too large to read back from this drive";
    return Outcome::unsupported;
  }
  o = setVariableMode();
  if (o != Outcome::done) return o;

  uint8_t pos[20] = {};
  c = run(readPositionShort(), Direction::in, pos, sizeof pos, options_.commandTimeoutMs, &raw);
  position_ = TapePosition{};
  info_.readPositionUsable = false;
  if (c.outcome == Outcome::done) {
    ShortPosition sp;
    parseShortPosition(pos, sizeof pos, &sp);
    info_.readPositionUsable = !sp.blockPositionUnknown && !info_.quirks.readPositionStub;
    if (info_.readPositionUsable && sp.beginningOfPartition) {
      position_.file = 0;
      position_.record = 0;
    }
  } else if (c.outcome == Outcome::transport) {
    return fault("READ POSITION", c, &raw);
  }
  readBuffer_.assign(static_cast<size_t>(request), 0);
  earlyWarning_ = false;
  earlyWarningReported_ = false;
  full_ = false;
  writeError_ = Outcome::done;
  opened_ = true;
  return Outcome::done;
}

Outcome TapeDrive::reapFront() {
  Pending& p = *inflight_.front();
  while (!p.done.finished) transport_->waitAny();
  Classified c = p.done.classified();
  Completion raw = p.done;
  spare_.push_back(std::move(inflight_.front()));
  inflight_.pop_front();
  switch (c.outcome) {
    case Outcome::done:
    case Outcome::earlyWarning:
      ++acknowledged_;
      if (position_.recordKnown()) ++position_.record;
      if (c.outcome == Outcome::earlyWarning) earlyWarning_ = true;
      return Outcome::done;
    default:
      break;
  }
  // This record is not on the tape (or its fate is unknown). Records queued
  // after it may have been written all the same: wait for them, and when
  // any was, the tape no longer holds what the member thinks.
  bool laterWritten = false;
  transport_->waitAll();
  while (!inflight_.empty()) {
    if (written(inflight_.front()->done.classified().outcome)) laterWritten = true;
    spare_.push_back(std::move(inflight_.front()));
    inflight_.pop_front();
  }
  Outcome o = fault("WRITE", c, &raw);
  if (c.outcome == Outcome::overflow) full_ = true;
  if (laterWritten && state_ == DriveState::ready) state_ = DriveState::needsReconcile;
  position_.atEndOfData = true;
  if (writeError_ == Outcome::done) writeError_ = o;
  return o;
}

Outcome TapeDrive::drainWrites() {
  while (!inflight_.empty()) {
    Outcome o = reapFront();
    if (!written(o)) return o;
  }
  return Outcome::done;
}

void TapeDrive::dropQueuedWrites() {
  transport_->waitAll();
  while (!inflight_.empty()) {
    spare_.push_back(std::move(inflight_.front()));
    inflight_.pop_front();
  }
}

Outcome TapeDrive::readyToWrite(uint64_t length) {
  Outcome r = refuseUnlessReady(true);
  if (r != Outcome::done) return r;
  // A write ends the data where the caller stands, not past what was read
  // ahead.
  r = settleReads();
  if (r != Outcome::done) return r;
  if (length > 0 && length <= options_.recordCap) return Outcome::done;
  error_ = "a record of " + std::to_string(length) + " bytes (1 to " +
           std::to_string(options_.recordCap) + " allowed)";
  return Outcome::unsupported;
}

Outcome TapeDrive::writeRecord(const void* data, uint32_t length, const void* tail,
                               uint32_t tailLength) {
  const uint64_t total = uint64_t{length} + tailLength;
  Outcome r = readyToWrite(total);
  if (r != Outcome::done) return r;
  std::unique_ptr<Pending> p = reuse(spare_);
  if (p->data.size() < options_.recordCap) p->data.resize(options_.recordCap);
  if (length > 0) std::memcpy(p->data.data(), data, length);
  if (tailLength > 0) std::memcpy(p->data.data() + length, tail, tailLength);
  p->length = static_cast<uint32_t>(total);
  return queueWrite(std::move(p));
}

Outcome TapeDrive::writeRecordFrom(std::vector<uint8_t>* buffer, uint32_t length) {
  if (buffer->size() < length) return Outcome::unsupported;
  Outcome r = readyToWrite(length);
  if (r != Outcome::done) return r;
  std::unique_ptr<Pending> p = reuse(spare_);
  p->data.swap(*buffer);
  p->length = length;
  return queueWrite(std::move(p));
}

Outcome TapeDrive::queueWrite(std::unique_ptr<Pending> p) {
  // A target runs a WRITE once all its data has come, and what the target
  // solicits (R2T) comes after what the initiator sends unasked: a WRITE
  // shorter than one in flight may have all its data there first and
  // overtake it (on tgt with its own settings, InitialR2T=Yes and 8 KiB
  // segments, an end record overtook the session's last data records). A
  // WRITE at least as long as every one in flight needs at least as much
  // solicited data, asked for after theirs, so it cannot. A shorter one
  // waits until the window is empty.
  for (const auto& q : inflight_) {
    if (q->length > p->length) {
      Outcome o = drainWrites();
      if (!written(o)) {
        spare_.push_back(std::move(p));
        return o;
      }
      break;
    }
  }
  const Command cmd{write6(p->length), Direction::out, p->data.data(), p->length,
                    options_.commandTimeoutMs};
  inflight_.push_back(std::move(p));
  transport_->submit(cmd, &inflight_.back()->done);
  ++submitted_;
  position_.atEndOfData = true;
  while (inflight_.size() >= static_cast<size_t>(options_.writeDepth)) {
    Outcome o = reapFront();
    if (!written(o)) return o;
  }
  if (earlyWarning_ && !earlyWarningReported_) {
    earlyWarningReported_ = true;
    return Outcome::earlyWarning;
  }
  return Outcome::done;
}

Outcome TapeDrive::flush() {
  Outcome r = drainWrites();
  if (r != Outcome::done) return r;
  if (earlyWarning_ && !earlyWarningReported_) {
    earlyWarningReported_ = true;
    return Outcome::earlyWarning;
  }
  return Outcome::done;
}

Outcome TapeDrive::writeFilemarks(uint32_t count) {
  Outcome r = refuseUnlessReady(true);
  if (r != Outcome::done) return r;
  r = settleReads();
  if (r != Outcome::done) return r;
  // Every queued WRITE first: a target may run a command without data
  // before WRITEs still waiting for theirs.
  r = drainWrites();
  if (r != Outcome::done) return r;
  Completion raw;
  Classified c =
      run(writeFilemarks6(count), Direction::none, nullptr, 0, options_.motionTimeoutMs, &raw);
  if (!written(c.outcome)) return fault("WRITE FILEMARKS", c, &raw);
  if (count > 0) {
    if (position_.fileKnown()) position_.file += count;
    position_.record = 0;
  }
  position_.atEndOfData = true;
  durable_ = acknowledged_;
  if (c.outcome == Outcome::earlyWarning) earlyWarning_ = true;
  if (earlyWarning_ && !earlyWarningReported_) {
    earlyWarningReported_ = true;
    return Outcome::earlyWarning;
  }
  return Outcome::done;
}

Outcome TapeDrive::rewind() {
  Outcome r = refuseUnlessReady(false);
  if (r != Outcome::done) return r;
  r = dropReads();
  if (r != Outcome::done) return r;
  r = drainWrites();
  if (r != Outcome::done && state_ == DriveState::needsReconcile) return r;
  Completion raw;
  Classified c = run(scsi::rewind(), Direction::none, nullptr, 0, options_.motionTimeoutMs, &raw);
  if (c.outcome != Outcome::done) return fault("REWIND", c, &raw);
  position_ = TapePosition{0, 0, false};
  earlyWarning_ = false;
  earlyWarningReported_ = false;
  full_ = false;
  if (!info_.locateProbed) {
    // At the beginning of the tape a LOCATE to block 0 moves nothing: the
    // one place where asking whether the drive knows it is harmless.
    c = run(locate10(0), Direction::none, nullptr, 0, options_.motionTimeoutMs, &raw);
    if (c.outcome == Outcome::done) {
      info_.locateProbed = true;
      info_.locateSupported = true;
    } else if (c.outcome == Outcome::unsupported) {
      info_.locateProbed = true;
      info_.locateSupported = false;
    } else {
      return fault("LOCATE", c, &raw);
    }
  }
  return Outcome::done;
}

Outcome TapeDrive::spaceFilemarks(int32_t count) {
  Outcome r = refuseUnlessReady(false);
  if (r != Outcome::done) return r;
  r = drainWrites();
  if (r != Outcome::done && state_ == DriveState::needsReconcile) return r;
  if (count < 0 && info_.quirks.reverseFilemarkOffByOne) {
    error_ = transport_->describe() + " spaces backwards over filemarks one object too far";
    return Outcome::unsupported;
  }
  if (count > 0 && !reads_.empty()) {
    // The objects read ahead are passed first; the tape is then spaced
    // from where it is, or put back when the filemarks were among them.
    r = passReads(&count);
    if (r != Outcome::done) return r;
    if (count == 0) return settleReads();
  } else if (count < 0) {
    r = settleReads();
    if (r != Outcome::done) return r;
  }
  if (count == 0) return Outcome::done;
  Completion raw;
  Classified c = run(space6(SpaceCode::filemarks, count), Direction::none, nullptr, 0,
                     options_.motionTimeoutMs, &raw);
  switch (c.outcome) {
    case Outcome::done:
      if (count > 0) {
        if (position_.fileKnown()) position_.file += static_cast<uint64_t>(count);
        position_.record = 0;
      } else {
        if (position_.fileKnown())
          position_.file -= std::min<uint64_t>(position_.file, -int64_t{count});
        position_.record = TapePosition::kUnknown;
      }
      position_.atEndOfData = false;
      return Outcome::done;
    case Outcome::endOfData:
      if (count > 0 && c.residueValid && position_.fileKnown() && c.residue >= 0 &&
          c.residue <= count) {
        position_.file += static_cast<uint64_t>(count - c.residue);
      } else {
        position_.file = TapePosition::kUnknown;
      }
      position_.record = TapePosition::kUnknown;
      position_.atEndOfData = true;
      return Outcome::endOfData;
    case Outcome::beginningOfMedium:
      position_ = TapePosition{0, 0, false};
      return Outcome::beginningOfMedium;
    default:
      return fault("SPACE (filemarks)", c, &raw);
  }
}

Outcome TapeDrive::spaceBackRecords(uint32_t count) {
  Outcome r = refuseUnlessReady(false);
  if (r != Outcome::done) return r;
  r = drainWrites();
  if (r != Outcome::done && state_ == DriveState::needsReconcile) return r;
  r = settleReads();
  if (r != Outcome::done) return r;
  if (count == 0) return Outcome::done;
  if (count > 0x800000) {
    error_ = "cannot space back over " + std::to_string(count) + " records at once";
    return Outcome::unsupported;
  }
  Completion raw;
  Classified c = run(space6(SpaceCode::blocks, -static_cast<int32_t>(count)), Direction::none,
                     nullptr, 0, options_.motionTimeoutMs, &raw);
  switch (c.outcome) {
    case Outcome::done:
      if (position_.recordKnown()) {
        position_.record =
            position_.record >= count ? position_.record - count : TapePosition::kUnknown;
      }
      position_.atEndOfData = false;
      return Outcome::done;
    case Outcome::filemark:
    case Outcome::beginningOfMedium:
      position_.record = TapePosition::kUnknown;
      if (c.outcome == Outcome::beginningOfMedium) position_ = TapePosition{0, 0, false};
      position_.atEndOfData = false;
      error_ =
          transport_->describe() + ": spacing back stopped early (" + outcomeName(c.outcome) + ")";
      return c.outcome;
    default:
      return fault("SPACE (back over records)", c, &raw);
  }
}

Outcome TapeDrive::spaceToEndOfData(bool countFiles) {
  Outcome r = refuseUnlessReady(false);
  if (r != Outcome::done) return r;
  r = drainWrites();
  if (r != Outcome::done && state_ == DriveState::needsReconcile) return r;
  // Past what was read ahead (its filemarks counted), the tape is where
  // the position says.
  r = passReads(nullptr);
  if (r != Outcome::done && r != Outcome::endOfData) return r;
  Completion raw;
  uint64_t file = position_.file;
  if (countFiles && position_.fileKnown()) {
    for (;;) {
      Classified c = run(space6(SpaceCode::filemarks, 1), Direction::none, nullptr, 0,
                         options_.motionTimeoutMs, &raw);
      if (c.outcome == Outcome::done) {
        ++file;
        continue;
      }
      if (c.outcome == Outcome::endOfData) break;
      return fault("SPACE (filemarks)", c, &raw);
    }
  } else {
    file = TapePosition::kUnknown;
  }
  Classified c = run(space6(SpaceCode::endOfData, 0), Direction::none, nullptr, 0,
                     options_.motionTimeoutMs, &raw);
  if (c.outcome != Outcome::done) return fault("SPACE (end of data)", c, &raw);
  position_.file = file;
  position_.record = TapePosition::kUnknown;
  position_.atEndOfData = true;
  return Outcome::done;
}

Outcome TapeDrive::readRecord(void* buffer, uint32_t capacity, uint32_t* length) {
  return nextRead(buffer, nullptr, capacity, length);
}

Outcome TapeDrive::readRecordInPlace(const uint8_t** data, uint32_t capacity, uint32_t* length) {
  *data = nullptr;
  return nextRead(nullptr, data, capacity, length);
}

Outcome TapeDrive::nextRead(void* buffer, const uint8_t** data, uint32_t capacity,
                            uint32_t* length) {
  *length = 0;
  if (lent_) spareReads_.push_back(std::move(lent_));
  Outcome r = refuseUnlessReady(false);
  if (r != Outcome::done) return r;
  r = drainWrites();
  if (r != Outcome::done && state_ == DriveState::needsReconcile) return r;
  sendReads();
  while (!reads_.front()->done.finished) transport_->waitAny();
  std::unique_ptr<Read> read = std::move(reads_.front());
  reads_.pop_front();
  uint32_t again = 0;
  const bool missed = missedLength(*read, &again);
  Outcome o = Outcome::done;
  if (missed) {
    o = readAgain(*read, again);
  } else if (options_.readDepth > 1 && isRecord(answer(*read).outcome)) {
    // The next READ goes out before this record is taken.
    sendReads();
    transport_->service();
  }
  if (o == Outcome::done) o = takeRead(*read, buffer, data, capacity, length);
  if (data != nullptr && *data != nullptr) {
    lent_ = std::move(read);
  } else {
    spareReads_.push_back(std::move(read));
  }
  return o;
}

bool TapeDrive::takeLentRecord(std::vector<uint8_t>* buffer) {
  if (!lent_) return false;
  // What comes back goes out to READs: never smaller than the room they ask.
  if (buffer->size() < readBuffer_.size()) buffer->resize(readBuffer_.size());
  lent_->data.swap(*buffer);
  return true;
}

const Classified& TapeDrive::answer(Read& read) {
  if (!read.classifiedYet) {
    read.answer = read.done.classified();
    read.classifiedYet = true;
  }
  return read.answer;
}

void TapeDrive::sendReads() {
  for (const auto& read : reads_) {
    if (read->done.finished && !isRecord(answer(*read).outcome)) return;
  }
  const uint32_t room = static_cast<uint32_t>(readBuffer_.size());
  const uint32_t request = readRequest();
  const bool sili = !info_.quirks.siliIgnored;
  while (reads_.size() < static_cast<size_t>(options_.readDepth)) {
    if (!reads_.empty() && reads_.back()->done.finished &&
        !isRecord(answer(*reads_.back()).outcome)) {
      return;
    }
    std::unique_ptr<Read> read = reuse(spareReads_);
    if (read->data.size() < room) read->data.resize(room);
    read->request = request;
    read->classifiedYet = false;
    const Command cmd{read6(request, sili), Direction::in, read->data.data(), request,
                      options_.commandTimeoutMs};
    reads_.push_back(std::move(read));
    transport_->submit(cmd, &reads_.back()->done);
  }
}

void TapeDrive::waitReads() {
  if (!reads_.empty()) transport_->waitAll();
}

Outcome TapeDrive::takeRead(Read& read, void* buffer, const uint8_t** data, uint32_t capacity,
                            uint32_t* length) {
  const Classified& c = answer(read);
  const Completion& raw = read.done;
  const uint32_t request = read.request;
  int64_t actual;
  switch (c.outcome) {
    case Outcome::done:
    case Outcome::earlyWarning:
      if (raw.residualValid) {
        actual = int64_t{request} - raw.residual;
      } else if (c.residueValid) {
        actual = int64_t{request} - c.residue;
      } else {
        actual = request;
      }
      break;
    case Outcome::shortBlock:
      actual = int64_t{request} - c.residue;
      break;
    case Outcome::longBlock:
      if (position_.recordKnown()) ++position_.record;
      position_.atEndOfData = false;
      error_ =
          transport_->describe() + ": a record longer than " + std::to_string(request) + " bytes";
      return Outcome::longBlock;
    case Outcome::filemark:
      if (position_.fileKnown()) ++position_.file;
      position_.record = 0;
      position_.atEndOfData = false;
      return Outcome::filemark;
    case Outcome::endOfData:
      position_.atEndOfData = true;
      return Outcome::endOfData;
    default:
      // Where the tape is after this READ is not known, so neither is what
      // the READs sent after it read: they are dropped.
      waitReads();
      while (!reads_.empty()) {
        spareReads_.push_back(std::move(reads_.front()));
        reads_.pop_front();
      }
      return fault("READ", c, &raw);
  }
  if (position_.recordKnown()) ++position_.record;
  position_.atEndOfData = false;
  if (actual == 0) {
    // No record of this member is empty (and no drive writes an empty
    // block): what is there is not a record.
    error_ = transport_->describe() + ": a block of 0 bytes where a record should be";
    state_ = DriveState::failed;
    return Outcome::memberFailed;
  }
  if (actual < 0 || actual > int64_t{capacity} || actual > int64_t{options_.recordCap}) {
    error_ = transport_->describe() + ": a record of " + std::to_string(actual) +
             " bytes, more than " + std::to_string(std::min(capacity, options_.recordCap));
    return Outcome::longBlock;
  }
  noteLength(static_cast<uint32_t>(actual));
  if (buffer != nullptr) {
    std::memcpy(buffer, read.data.data(), static_cast<size_t>(actual));
  } else {
    *data = read.data.data();
  }
  *length = static_cast<uint32_t>(actual);
  return Outcome::done;
}

Outcome TapeDrive::passReads(int32_t* filemarks) {
  waitReads();
  while (!reads_.empty() && (filemarks == nullptr || *filemarks > 0)) {
    std::unique_ptr<Read> read = std::move(reads_.front());
    reads_.pop_front();
    const Classified c = answer(*read);
    const Completion raw = read->done;
    spareReads_.push_back(std::move(read));
    if (passesBlock(c.outcome)) {
      if (position_.recordKnown()) ++position_.record;
      position_.atEndOfData = false;
    } else if (c.outcome == Outcome::filemark) {
      if (position_.fileKnown()) ++position_.file;
      position_.record = 0;
      position_.atEndOfData = false;
      if (filemarks != nullptr) --*filemarks;
    } else {
      // The end of data (READs after it did not move the tape) or a READ
      // that failed (the position is lost): nothing after it counts.
      while (!reads_.empty()) {
        spareReads_.push_back(std::move(reads_.front()));
        reads_.pop_front();
      }
      if (c.outcome == Outcome::endOfData) {
        position_.atEndOfData = true;
        return Outcome::endOfData;
      }
      Outcome o = fault("READ (sent ahead)", c, &raw);
      position_ = TapePosition{};
      return o;
    }
  }
  return Outcome::done;
}

Outcome TapeDrive::settleReads() {
  if (reads_.empty()) return Outcome::done;
  waitReads();
  // What lies between the caller and the tape, in tape order: true for a
  // filemark, false for a block. READs that met the end of data did not
  // move the tape.
  std::vector<bool> passed;
  Classified failed;
  Completion failedRaw;
  bool lostPosition = false;
  for (const auto& read : reads_) {
    const Classified& c = answer(*read);
    if (passesBlock(c.outcome)) {
      passed.push_back(false);
    } else if (c.outcome == Outcome::filemark) {
      passed.push_back(true);
    } else if (c.outcome == Outcome::endOfData) {
      break;
    } else {
      failed = c;
      failedRaw = read->done;
      lostPosition = true;
      break;
    }
  }
  while (!reads_.empty()) {
    spareReads_.push_back(std::move(reads_.front()));
    reads_.pop_front();
  }
  if (lostPosition) {
    Outcome o = fault("READ (sent ahead)", failed, &failedRaw);
    position_ = TapePosition{};
    return o;
  }
  if (passed.empty()) return Outcome::done;
  Completion raw;
  Classified c;
  const char* failedAt = nullptr;
  auto back = [&](const char* what, const Cdb& cdb, Outcome expected) {
    c = run(cdb, Direction::none, nullptr, 0, options_.motionTimeoutMs, &raw);
    if (c.outcome == expected) return true;
    failedAt = what;
    return false;
  };
  bool ok = true;
  if (info_.quirks.spaceBlocksCountsFilemarks) {
    // One SPACE back over blocks passes the filemarks too.
    ok = back("SPACE (back over what was read ahead)",
              space6(SpaceCode::blocks, -static_cast<int32_t>(passed.size())), Outcome::done);
  } else {
    // A drive that follows the standard stops at a filemark when spacing
    // over blocks: each run of records, then each filemark, on its own.
    for (size_t i = passed.size(); ok && i > 0;) {
      if (passed[i - 1]) {
        --i;
        // Backwards over blocks, the drive crosses the filemark and stops
        // before it (FILEMARK); over filemarks it stops there with GOOD,
        // unless it goes one object too far.
        ok = info_.quirks.reverseFilemarkOffByOne
                 ? back("SPACE (back over a filemark read ahead)", space6(SpaceCode::blocks, -1),
                        Outcome::filemark)
                 : back("SPACE (back over a filemark read ahead)", space6(SpaceCode::filemarks, -1),
                        Outcome::done);
        continue;
      }
      int32_t run = 0;
      while (i > 0 && !passed[i - 1]) {
        --i;
        ++run;
      }
      ok = back("SPACE (back over records read ahead)", space6(SpaceCode::blocks, -run),
                Outcome::done);
    }
  }
  return ok ? Outcome::done : placeLost(failedAt, c, raw);
}

Outcome TapeDrive::placeLost(const char* what, const Classified& c, const Completion& raw) {
  // The tape is not what was read from it a moment ago, or the drive
  // failed: either way nobody knows where it is.
  Outcome o = fault(what, c, &raw);
  position_ = TapePosition{};
  if (state_ == DriveState::ready) {
    state_ = DriveState::needsReconcile;
    return Outcome::positionLost;
  }
  return o == Outcome::done ? Outcome::positionLost : o;
}

uint32_t TapeDrive::readRequest() const {
  // tgt delivers only min(actual, request - actual) bytes of a shorter
  // block: asking for twice the cap brings every byte of any record. But
  // it moves as many bytes as are asked for, so while the records come
  // with one length the member asks for exactly that length.
  const uint32_t full = static_cast<uint32_t>(readBuffer_.size());
  if (options_.exactReads && info_.quirks.shortReadUnderDelivered && sameLength_ >= 2 &&
      fullReads_ == 0 && lastLength_ > 0 && lastLength_ < full) {
    return lastLength_;
  }
  return full;
}

void TapeDrive::noteLength(uint32_t length) {
  if (length == lastLength_) {
    ++sameLength_;
  } else {
    lastLength_ = length;
    sameLength_ = 1;
  }
  if (fullReads_ > 0) --fullReads_;
}

bool TapeDrive::missedLength(Read& read, uint32_t* again) {
  const uint32_t full = static_cast<uint32_t>(readBuffer_.size());
  if (read.request >= full) return false;
  const Classified& c = answer(read);
  if (c.outcome == Outcome::shortBlock && c.residueValid && c.residue > 0 &&
      c.residue < read.request) {
    // Shorter than asked: whole unless the drive under-delivers it.
    const int64_t actual = int64_t{read.request} - c.residue;
    if (!info_.quirks.shortReadUnderDelivered || c.residue >= actual) return false;
    *again = static_cast<uint32_t>(actual);
    return true;
  }
  if (c.outcome == Outcome::longBlock) {
    // Longer than asked: its bytes did not all come (none, on tgt).
    const int64_t actual = c.residueValid && c.residue < 0 ? int64_t{read.request} - c.residue : 0;
    *again = actual > 0 && actual <= full ? static_cast<uint32_t>(actual) : full;
    return true;
  }
  return false;
}

Outcome TapeDrive::readAgain(Read& read, uint32_t length) {
  // Records of other lengths come: whole-room reads for a while.
  sameLength_ = 0;
  fullReads_ = kFullReadsAfterMiss;
  // Back before the block (over what was read ahead after it first) and
  // read it with its own length.
  Outcome r = settleReads();
  if (r != Outcome::done) return r;
  Completion raw;
  Classified c = run(space6(SpaceCode::blocks, -1), Direction::none, nullptr, 0,
                     options_.motionTimeoutMs, &raw);
  if (c.outcome != Outcome::done) {
    return placeLost("SPACE (back over a block read with another length)", c, raw);
  }
  read.request = length;
  run(read6(length, !info_.quirks.siliIgnored), Direction::in, read.data.data(), length,
      options_.commandTimeoutMs, &read.done);
  read.classifiedYet = false;
  return Outcome::done;
}

Outcome TapeDrive::dropReads() {
  if (reads_.empty()) return Outcome::done;
  waitReads();
  Outcome result = Outcome::done;
  for (auto& read : reads_) {
    const Classified& c = answer(*read);
    // A unit attention answered to a READ sent ahead is the drive's news
    // all the same (a reset, a cartridge changed); a lost session stays
    // lost.
    if (result == Outcome::done &&
        (c.outcome == Outcome::positionLost || c.outcome == Outcome::transport)) {
      result = fault("READ (sent ahead)", c, &read->done);
    }
  }
  while (!reads_.empty()) {
    spareReads_.push_back(std::move(reads_.front()));
    reads_.pop_front();
  }
  return result;
}

Outcome TapeDrive::reconcile(ReconcileReport* report) {
  *report = ReconcileReport{};
  // What was read ahead no longer matters: the tape's end is looked for.
  waitReads();
  while (!reads_.empty()) {
    spareReads_.push_back(std::move(reads_.front()));
    reads_.pop_front();
  }
  // Queued records already answered GOOD are acknowledged; the rest are in
  // flight, whatever becomes of their answers.
  while (!inflight_.empty() && inflight_.front()->done.finished &&
         written(inflight_.front()->done.classified().outcome)) {
    reapFront();
  }
  report->inFlightAtFault = submitted_ - acknowledged_;
  // A failed member stays failed: reconciling finds where its tape ends,
  // it does not make the cartridge sound again.
  const bool failed = state_ == DriveState::failed;
  if (!inflight_.empty()) {
    // Their answers no longer matter: whatever they say, the tape decides.
    transport_->disconnect();
    dropQueuedWrites();
  }
  state_ = DriveState::needsReconcile;
  if (transport_->reconnect() != 0) {
    error_ = transport_->lastError();
    return Outcome::transport;
  }
  Outcome o = waitReady();
  if (o != Outcome::done) return o;
  o = setVariableMode();
  if (o != Outcome::done) return o;
  Completion raw;
  Classified c = run(space6(SpaceCode::endOfData, 0), Direction::none, nullptr, 0,
                     options_.motionTimeoutMs, &raw);
  if (c.outcome != Outcome::done) return fault("SPACE (end of data)", c, &raw);
  // Back over as many objects as were in flight at the fault and one more:
  // tgt counts a filemark as a block, a drive that follows the standard
  // stops at one (FILEMARK); either way reading forward from there to the
  // end of data meets the tape's last objects.
  const uint64_t want = std::min<uint64_t>(report->inFlightAtFault + 1, kMaxWriteDepth + 1);
  c = run(space6(SpaceCode::blocks, -static_cast<int32_t>(want)), Direction::none, nullptr, 0,
          options_.motionTimeoutMs, &raw);
  if (c.outcome != Outcome::done && c.outcome != Outcome::filemark &&
      c.outcome != Outcome::beginningOfMedium) {
    return fault("SPACE (back over the last objects)", c, &raw);
  }
  const bool fromBeginning = c.outcome == Outcome::beginningOfMedium;
  const uint32_t request = static_cast<uint32_t>(readBuffer_.size());
  for (uint64_t reads = 0;; ++reads) {
    if (reads > 2 * want + 8) {
      error_ = transport_->describe() + ": the tape does not end where it ended a moment ago";
      state_ = DriveState::failed;
      return Outcome::memberFailed;
    }
    c = run(read6(request, !info_.quirks.siliIgnored), Direction::in, readBuffer_.data(), request,
            options_.commandTimeoutMs, &raw);
    if (c.outcome == Outcome::endOfData) break;
    TapeObject object;
    int64_t actual = -1;
    switch (c.outcome) {
      case Outcome::filemark:
        object.filemark = true;
        break;
      case Outcome::done:
      case Outcome::earlyWarning:
        actual = raw.residualValid ? int64_t{request} - raw.residual : request;
        break;
      case Outcome::shortBlock:
        actual = int64_t{request} - c.residue;
        break;
      case Outcome::longBlock:
        break;  // larger than any record of this member: no bytes kept
      default:
        return fault("READ (the last objects)", c, &raw);
    }
    if (actual == 0) {
      error_ = transport_->describe() + ": a block of 0 bytes near the end of data";
      state_ = DriveState::failed;
      return Outcome::memberFailed;
    }
    if (actual > 0 && actual <= int64_t{options_.recordCap}) {
      object.record.assign(readBuffer_.begin(), readBuffer_.begin() + actual);
    }
    report->tail.push_back(std::move(object));
  }
  if (report->tail.empty()) {
    if (!fromBeginning) {
      error_ = transport_->describe() + ": nothing to read before the end of data";
      state_ = DriveState::failed;
      return Outcome::memberFailed;
    }
    report->last = LastObject::none;
    position_ = TapePosition{0, 0, true};
  } else {
    const TapeObject& last = report->tail.back();
    report->last = last.filemark ? LastObject::filemark : LastObject::record;
    report->record = last.record;
    position_ = TapePosition{};
    position_.atEndOfData = true;
  }
  submitted_ = acknowledged_;
  writeError_ = Outcome::done;
  state_ = failed ? DriveState::failed : DriveState::ready;
  opened_ = true;
  return Outcome::done;
}

Outcome TapeDrive::unload() {
  Outcome r = refuseUnlessReady(false);
  if (r != Outcome::done) return r;
  r = dropReads();
  if (r != Outcome::done) return r;
  r = drainWrites();
  if (r != Outcome::done && state_ == DriveState::needsReconcile) return r;
  Completion raw;
  Classified c =
      run(loadUnload(false), Direction::none, nullptr, 0, options_.motionTimeoutMs, &raw);
  if (c.outcome != Outcome::done) return fault("UNLOAD", c, &raw);
  position_ = TapePosition{};
  opened_ = false;
  // The cartridge that failed leaves the drive; the next one starts sound.
  if (state_ == DriveState::failed) state_ = DriveState::ready;
  return Outcome::done;
}

Classified TapeDrive::command(const Command& c, Completion* raw) {
  if (!inflight_.empty()) drainWrites();
  // The command meets the tape where the caller stands.
  Outcome settled = settleReads();
  if (settled != Outcome::done) {
    Classified refused;
    refused.outcome = settled;
    if (raw != nullptr) *raw = Completion{};
    return refused;
  }
  Completion done = transport_->run(c);
  if (raw != nullptr) *raw = done;
  return done.classified();
}

}  // namespace mox::scsi
