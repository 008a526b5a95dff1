#include "engine/scsi/tape_drive.h"

#include <time.h>

#include <algorithm>
#include <cstring>

namespace mox::scsi {
namespace {

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

TapeDriveOptions bounded(TapeDriveOptions options) {
  options.writeDepth = std::clamp(options.writeDepth, 1, kMaxWriteDepth);
  options.readDepth = std::clamp(options.readDepth, 1, kMaxReadDepth);
  if (options.recordCap < 1) options.recordCap = 1;
  return options;
}

}  // namespace

TapeDrive::TapeDrive(std::unique_ptr<Transport> transport, TapeDriveOptions options)
    : m_(std::move(transport), bounded(options)), writes_(m_), reads_(m_), motion_(m_) {}

// The parts wait for what they have in flight as they go.
TapeDrive::~TapeDrive() = default;

Outcome TapeDrive::refuseUnlessReady(bool writing) {
  if (m_.state == DriveState::needsReconcile) {
    m_.error = m_.describe() + " needs to be reconciled first";
    return Outcome::positionLost;
  }
  if (!m_.opened) {
    m_.error = m_.describe() + " is not open";
    return Outcome::notReady;
  }
  if (writing && m_.state == DriveState::failed) {
    m_.error = m_.describe() + " failed; nothing more is written to it";
    return Outcome::memberFailed;
  }
  if (writing && writes_.full()) {
    m_.error = m_.describe() + " is full";
    return Outcome::overflow;
  }
  return Outcome::done;
}

Outcome TapeDrive::readyToMove() {
  Outcome r = refuseUnlessReady(false);
  if (r != Outcome::done) return r;
  // A write that failed stops the command only when the tape is not where
  // the member thinks; a failed or full member still moves its tape.
  r = writes_.drain();
  if (r != Outcome::done && m_.state == DriveState::needsReconcile) return r;
  return Outcome::done;
}

Outcome TapeDrive::waitReady() {
  int64_t deadline = nowMs() + m_.options.readyWaitMs;
  int attentions = 0;
  for (;;) {
    Answer a = m_.run(testUnitReady(), Direction::none, nullptr, 0, m_.options.commandTimeoutMs);
    switch (a.outcome()) {
      case Outcome::done:
        return Outcome::done;
      case Outcome::positionLost:
        // Each login brings its unit attentions (reset, parameters
        // changed, medium changed); a drive that never stops is broken.
        if (++attentions > 32) return m_.fault("TEST UNIT READY", a);
        continue;
      case Outcome::notReady:
        if (a.classified.sense.asc == 0x04 && a.classified.sense.ascq != 0x02 &&
            nowMs() < deadline) {
          sleepMs(250);  // becoming ready
          continue;
        }
        return m_.fault("TEST UNIT READY", a);
      case Outcome::busy:
        if (nowMs() < deadline) {
          sleepMs(100);
          continue;
        }
        return m_.fault("TEST UNIT READY", a);
      default:
        return m_.fault("TEST UNIT READY", a);
    }
  }
}

Outcome TapeDrive::setVariableMode() {
  DriveInfo& info = m_.info;
  const int timeoutMs = m_.options.commandTimeoutMs;
  uint8_t data[255] = {};
  Answer a = m_.run(modeSense6(0x10, sizeof data), Direction::in, data, sizeof data, timeoutMs);
  if (a.outcome() != Outcome::done) return m_.fault("MODE SENSE", a);
  parseModeSense6(data, a.transferred(sizeof data), &info.mode);
  if (info.mode.hasBlockDescriptor && info.mode.blockLength == 0) return Outcome::done;
  std::vector<uint8_t> list = modeSelectBlockDescriptor(
      info.mode.density, 0, info.mode.bufferedMode != 0 ? info.mode.bufferedMode : 1);
  a = m_.run(modeSelect6(static_cast<uint8_t>(list.size())), Direction::out, list.data(),
             static_cast<uint32_t>(list.size()), timeoutMs);
  if (a.outcome() != Outcome::done) return m_.fault("MODE SELECT (variable block mode)", a);
  std::memset(data, 0, sizeof data);
  a = m_.run(modeSense6(0x10, sizeof data), Direction::in, data, sizeof data, timeoutMs);
  if (a.outcome() != Outcome::done) return m_.fault("MODE SENSE", a);
  parseModeSense6(data, sizeof data, &info.mode);
  if (info.mode.hasBlockDescriptor && info.mode.blockLength != 0) {
    m_.error = m_.describe() + " stays in fixed block mode (" +
               std::to_string(info.mode.blockLength) + " bytes)";
    return Outcome::unsupported;
  }
  return Outcome::done;
}

Outcome TapeDrive::open() {
  if (!writes_.empty()) writes_.drop();
  reads_.discard();
  m_.opened = false;
  if (m_.device.login() != 0) {
    m_.error = m_.device.lastError();
    return Outcome::transport;
  }
  Answer a = m_.device.identify(m_.options.commandTimeoutMs);
  if (a.outcome() != Outcome::done) return m_.fault("INQUIRY", a);
  const Identity& identity = m_.device.identity();
  DriveInfo& info = m_.info;
  info.identity = identity.inquiry;
  if (info.identity.peripheralType != kTypeTape) {
    m_.error = m_.describe() + " is not a tape drive (peripheral type " +
               std::to_string(info.identity.peripheralType) + ")";
    return Outcome::unsupported;
  }
  info.serial = identity.serial;
  info.known = identity.known;
  info.quirks = identity.quirks;

  Outcome o = waitReady();
  if (o != Outcome::done) return o;

  uint8_t limits[6] = {};
  a = m_.run(readBlockLimits(), Direction::in, limits, sizeof limits, m_.options.commandTimeoutMs);
  if (a.outcome() == Outcome::done) {
    parseBlockLimits(limits, sizeof limits, &info.limits);
  } else if (a.outcome() != Outcome::unsupported) {
    return m_.fault("READ BLOCK LIMITS", a);
  }
  uint32_t request = 0;
  o = readRoomFor(m_.options.recordCap, &request);
  if (o != Outcome::done) return o;
  o = setVariableMode();
  if (o != Outcome::done) return o;
  o = motion_.readPosition();
  if (o != Outcome::done) return o;
  m_.readRoom = request;
  writes_.clearEnd();
  m_.opened = true;
  return Outcome::done;
}

Outcome TapeDrive::readRoomFor(uint32_t cap, uint32_t* request) {
  const DriveInfo& info = m_.info;
  if (info.limits.maximum != 0 && cap > info.limits.maximum) {
    m_.error = m_.describe() + ": records of " + std::to_string(cap) +
               " bytes exceed the drive's largest block (" + std::to_string(info.limits.maximum) +
               ")";
    return Outcome::unsupported;
  }
  uint64_t room = uint64_t{cap} * (info.quirks.shortReadUnderDelivered ? 2 : 1);
  if (cap < 1 || room > kMaxTransfer6) {
    m_.error = m_.describe() + ": records of " + std::to_string(cap) +
               " bytes are too large to read back from this drive";
    return Outcome::unsupported;
  }
  *request = static_cast<uint32_t>(room);
  return Outcome::done;
}

Outcome TapeDrive::setRecordCap(uint32_t cap) {
  if (cap == m_.options.recordCap) return Outcome::done;
  uint32_t request = 0;
  Outcome o = readRoomFor(cap, &request);
  if (o != Outcome::done) return o;
  m_.options.recordCap = cap;
  if (m_.opened) m_.readRoom = request;
  return Outcome::done;
}

uint32_t TapeDrive::largestRecordCap() const {
  const DriveInfo& info = m_.info;
  uint32_t cap = kMaxTransfer6 / (info.quirks.shortReadUnderDelivered ? 2 : 1);
  if (info.limits.maximum != 0) cap = std::min(cap, info.limits.maximum);
  return cap;
}

// ---- Writing -------------------------------------------------------------------------

Outcome TapeDrive::readyToWrite(uint64_t length) {
  Outcome r = refuseUnlessReady(true);
  if (r != Outcome::done) return r;
  // A write ends the data where the caller stands, not past what was read
  // ahead.
  r = reads_.settle();
  if (r != Outcome::done) return r;
  if (length > 0 && length <= m_.options.recordCap) return Outcome::done;
  m_.error = "a record of " + std::to_string(length) + " bytes (1 to " +
             std::to_string(m_.options.recordCap) + " allowed)";
  return Outcome::unsupported;
}

Outcome TapeDrive::writeRecord(const void* data, uint32_t length, const void* tail,
                               uint32_t tailLength) {
  Outcome r = readyToWrite(uint64_t{length} + tailLength);
  if (r != Outcome::done) return r;
  return writes_.queueCopy(data, length, tail, tailLength);
}

Outcome TapeDrive::writeRecordFrom(std::vector<uint8_t>* buffer, uint32_t length) {
  if (buffer->size() < length) return Outcome::unsupported;
  Outcome r = readyToWrite(length);
  if (r != Outcome::done) return r;
  return writes_.queueFrom(buffer, length);
}

Outcome TapeDrive::flush() { return writes_.flush(); }

Outcome TapeDrive::writeFilemarks(uint32_t count) {
  Outcome r = refuseUnlessReady(true);
  if (r != Outcome::done) return r;
  r = reads_.settle();
  if (r != Outcome::done) return r;
  return writes_.writeFilemarks(count);
}

// ---- Moving --------------------------------------------------------------------------

Outcome TapeDrive::leaveStreamPosition() {
  Outcome r = refuseUnlessReady(false);
  if (r != Outcome::done) return r;
  r = reads_.drop();
  if (r != Outcome::done) return r;
  r = writes_.drain();
  if (r != Outcome::done && m_.state == DriveState::needsReconcile) return r;
  return Outcome::done;
}

Outcome TapeDrive::rewind() {
  Outcome r = leaveStreamPosition();
  if (r != Outcome::done) return r;
  r = motion_.rewind();
  if (r != Outcome::done) return r;
  writes_.clearEnd();
  return motion_.probeLocate();
}

Outcome TapeDrive::spaceFilemarks(int32_t count) {
  Outcome r = readyToMove();
  if (r != Outcome::done) return r;
  if (count < 0 && m_.info.quirks.reverseFilemarkOffByOne) {
    m_.error = m_.describe() + " spaces backwards over filemarks one object too far";
    return Outcome::unsupported;
  }
  if (count > 0 && !reads_.empty()) {
    // The objects read ahead are passed first; the tape is then spaced
    // from where it is, or put back when the filemarks were among them.
    r = reads_.pass(&count);
    if (r != Outcome::done) return r;
    if (count == 0) return reads_.settle();
  } else if (count < 0) {
    r = reads_.settle();
    if (r != Outcome::done) return r;
  }
  if (count == 0) return Outcome::done;
  return motion_.spaceFilemarks(count);
}

Outcome TapeDrive::spaceBackRecords(uint32_t count) {
  Outcome r = readyToMove();
  if (r != Outcome::done) return r;
  r = reads_.settle();
  if (r != Outcome::done) return r;
  return motion_.spaceBackRecords(count);
}

Outcome TapeDrive::spaceToEndOfData(bool countFiles) {
  Outcome r = readyToMove();
  if (r != Outcome::done) return r;
  // Past what was read ahead (its filemarks counted), the tape is where
  // the position says.
  r = reads_.pass(nullptr);
  if (r != Outcome::done && r != Outcome::endOfData) return r;
  return motion_.spaceToEndOfData(countFiles);
}

Outcome TapeDrive::unload() {
  Outcome r = leaveStreamPosition();
  if (r != Outcome::done) return r;
  return motion_.unload();
}

// ---- Reading -------------------------------------------------------------------------

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
  reads_.returnLent();
  Outcome r = readyToMove();
  if (r != Outcome::done) return r;
  return reads_.next(buffer, data, capacity, length);
}

bool TapeDrive::takeLentRecord(std::vector<uint8_t>* buffer) { return reads_.takeLent(buffer); }

// ---- Reconciling ---------------------------------------------------------------------

Outcome TapeDrive::reconcile(ReconcileReport* report) {
  *report = ReconcileReport{};
  // What was read ahead no longer matters: the tape's end is looked for.
  reads_.discard();
  // Queued records already answered GOOD are acknowledged; the rest are in
  // flight, whatever becomes of their answers.
  writes_.acknowledgeAnswered();
  report->inFlightAtFault = writes_.submitted() - writes_.acknowledged();
  // A failed member stays failed: reconciling finds where its tape ends,
  // it does not make the cartridge sound again.
  const bool failed = m_.state == DriveState::failed;
  if (!writes_.empty()) {
    // Their answers no longer matter: whatever they say, the tape decides.
    m_.device.transport().disconnect();
    writes_.drop();
  }
  m_.state = DriveState::needsReconcile;
  if (m_.device.transport().reconnect() != 0) {
    m_.error = m_.device.lastError();
    return Outcome::transport;
  }
  Outcome o = waitReady();
  if (o != Outcome::done) return o;
  o = setVariableMode();
  if (o != Outcome::done) return o;
  o = motion_.readTail(report);
  if (o != Outcome::done) return o;
  writes_.forgetUnacknowledged();
  m_.state = failed ? DriveState::failed : DriveState::ready;
  m_.opened = true;
  return Outcome::done;
}

// ---- Raw commands --------------------------------------------------------------------

Classified TapeDrive::command(const Command& c, Completion* raw) {
  if (!writes_.empty()) writes_.drain();
  // The command meets the tape where the caller stands.
  Outcome settled = reads_.settle();
  if (settled != Outcome::done) {
    Classified refused;
    refused.outcome = settled;
    if (raw != nullptr) *raw = Completion{};
    return refused;
  }
  Answer a = m_.device.run(c);
  if (raw != nullptr) *raw = a.raw;
  return a.classified;
}

Outcome TapeDrive::readCounters(DriveCounters* out) {
  *out = DriveCounters{};
  Outcome r = readyToMove();
  if (r != Outcome::done) return r;
  r = reads_.settle();
  if (r != Outcome::done) return r;
  CountersStop stop;
  if (readDriveCounters(m_.device, m_.options.commandTimeoutMs, out, nullptr, &stop) == 0) {
    return Outcome::done;
  }
  return m_.fault(stop.command, stop.answer);
}

}  // namespace mox::scsi
