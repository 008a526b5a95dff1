#include "engine/scsi/write_window.h"

#include <cstring>

namespace mox::scsi {

struct WriteWindow::Pending {
  std::vector<uint8_t> data;
  uint32_t length = 0;
  Answer answer;
};

WriteWindow::WriteWindow(MemberState& member) : m_(member) {}

WriteWindow::~WriteWindow() {
  if (!inflight_.empty()) m_.device.transport().waitAll();
}

Outcome WriteWindow::queueCopy(const void* data, uint32_t length, const void* tail,
                               uint32_t tailLength) {
  std::unique_ptr<Pending> p = takeSpare(spare_);
  if (p->data.size() < m_.options.recordCap) p->data.resize(m_.options.recordCap);
  if (length > 0) std::memcpy(p->data.data(), data, length);
  if (tailLength > 0) std::memcpy(p->data.data() + length, tail, tailLength);
  p->length = length + tailLength;
  return queue(std::move(p));
}

Outcome WriteWindow::queueFrom(std::vector<uint8_t>* buffer, uint32_t length) {
  std::unique_ptr<Pending> p = takeSpare(spare_);
  p->data.swap(*buffer);
  p->length = length;
  return queue(std::move(p));
}

Outcome WriteWindow::queue(std::unique_ptr<Pending> p) {
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
      Outcome o = drain();
      if (!written(o)) {
        spare_.push_back(std::move(p));
        return o;
      }
      break;
    }
  }
  const Command cmd{write6(p->length), Direction::out, p->data.data(), p->length,
                    m_.options.commandTimeoutMs};
  inflight_.push_back(std::move(p));
  m_.device.submit(cmd, &inflight_.back()->answer);
  // Sent now, not at the next wait: a stream that writes slowly would
  // otherwise hold its records back from the drive, which then stands idle.
  m_.device.transport().service();
  ++submitted_;
  m_.position.atEndOfData = true;
  while (inflight_.size() >= static_cast<size_t>(m_.options.writeDepth)) {
    Outcome o = reapFront();
    if (!written(o)) return o;
  }
  return sayEarlyWarning();
}

Outcome WriteWindow::reapFront() {
  Transport& transport = m_.device.transport();
  Pending& p = *inflight_.front();
  while (!p.answer.raw.finished) transport.waitAny();
  p.answer.classify();
  const Answer answer = p.answer;
  spare_.push_back(std::move(inflight_.front()));
  inflight_.pop_front();
  switch (answer.outcome()) {
    case Outcome::done:
    case Outcome::earlyWarning:
      ++acknowledged_;
      if (m_.position.recordKnown()) ++m_.position.record;
      if (answer.outcome() == Outcome::earlyWarning) earlyWarning_ = true;
      return Outcome::done;
    default:
      break;
  }
  // This record is not on the tape (or its fate is unknown). Records queued
  // after it may have been written all the same: wait for them, and when
  // any was, the tape no longer holds what the member thinks.
  bool laterWritten = false;
  transport.waitAll();
  while (!inflight_.empty()) {
    inflight_.front()->answer.classify();
    if (written(inflight_.front()->answer.outcome())) laterWritten = true;
    spare_.push_back(std::move(inflight_.front()));
    inflight_.pop_front();
  }
  Outcome o = m_.fault("WRITE", answer);
  if (answer.outcome() == Outcome::overflow) full_ = true;
  if (laterWritten && m_.state == DriveState::ready) m_.state = DriveState::needsReconcile;
  m_.position.atEndOfData = true;
  return o;
}

Outcome WriteWindow::drain() {
  while (!inflight_.empty()) {
    Outcome o = reapFront();
    if (!written(o)) return o;
  }
  return Outcome::done;
}

Outcome WriteWindow::flush() {
  Outcome r = drain();
  if (r != Outcome::done) return r;
  return sayEarlyWarning();
}

Outcome WriteWindow::writeFilemarks(uint32_t count) {
  // Every queued WRITE first: a target may run a command without data
  // before WRITEs still waiting for theirs.
  Outcome r = drain();
  if (r != Outcome::done) return r;
  Answer a = m_.move(writeFilemarks6(count));
  if (!written(a.outcome())) return m_.fault("WRITE FILEMARKS", a);
  if (count > 0) {
    if (m_.position.fileKnown()) m_.position.file += count;
    m_.position.record = 0;
  }
  m_.position.atEndOfData = true;
  durable_ = acknowledged_;
  if (a.outcome() == Outcome::earlyWarning) earlyWarning_ = true;
  return sayEarlyWarning();
}

void WriteWindow::drop() {
  m_.device.transport().waitAll();
  while (!inflight_.empty()) {
    spare_.push_back(std::move(inflight_.front()));
    inflight_.pop_front();
  }
}

void WriteWindow::acknowledgeAnswered() {
  while (!inflight_.empty() && inflight_.front()->answer.raw.finished) {
    Answer& a = inflight_.front()->answer;
    a.classify();
    if (!written(a.outcome())) break;
    reapFront();
  }
}

void WriteWindow::clearEnd() {
  earlyWarning_ = false;
  earlyWarningReported_ = false;
  full_ = false;
}

Outcome WriteWindow::sayEarlyWarning() {
  if (earlyWarning_ && !earlyWarningReported_) {
    earlyWarningReported_ = true;
    return Outcome::earlyWarning;
  }
  return Outcome::done;
}

}  // namespace mox::scsi
