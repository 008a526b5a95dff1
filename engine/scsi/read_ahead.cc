#include "engine/scsi/read_ahead.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace mox::scsi {
namespace {

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

struct ReadAhead::Read {
  std::vector<uint8_t> data;
  uint32_t request = 0;  // the length asked for
  Answer answer;
  bool classified = false;
};

ReadAhead::ReadAhead(MemberState& member) : m_(member) {}

ReadAhead::~ReadAhead() { wait(); }

const Answer& ReadAhead::answer(Read& read) {
  if (!read.classified) {
    read.answer.classify();
    read.classified = true;
  }
  return read.answer;
}

void ReadAhead::wait() {
  if (!reads_.empty()) m_.device.transport().waitAll();
}

void ReadAhead::forget() {
  while (!reads_.empty()) {
    spare_.push_back(std::move(reads_.front()));
    reads_.pop_front();
  }
}

void ReadAhead::discard() {
  wait();
  forget();
}

void ReadAhead::returnLent() {
  if (lent_) spare_.push_back(std::move(lent_));
}

bool ReadAhead::takeLent(std::vector<uint8_t>* buffer) {
  if (!lent_) return false;
  // What comes back goes out to READs: never smaller than the room they ask.
  if (buffer->size() < m_.readRoom) buffer->resize(m_.readRoom);
  lent_->data.swap(*buffer);
  return true;
}

void ReadAhead::send() {
  for (const auto& read : reads_) {
    if (read->answer.raw.finished && !isRecord(answer(*read).outcome())) return;
  }
  const uint32_t room = m_.readRoom;
  const uint32_t length = request();
  const bool sili = !m_.info.quirks.siliIgnored;
  while (reads_.size() < static_cast<size_t>(m_.options.readDepth)) {
    if (!reads_.empty() && reads_.back()->answer.raw.finished &&
        !isRecord(answer(*reads_.back()).outcome())) {
      return;
    }
    std::unique_ptr<Read> read = takeSpare(spare_);
    if (read->data.size() < room) read->data.resize(room);
    read->request = length;
    read->classified = false;
    const Command cmd{read6(length, sili), Direction::in, read->data.data(), length,
                      m_.options.commandTimeoutMs};
    reads_.push_back(std::move(read));
    m_.device.submit(cmd, &reads_.back()->answer);
  }
}

Outcome ReadAhead::next(void* buffer, const uint8_t** data, uint32_t capacity, uint32_t* length) {
  Transport& transport = m_.device.transport();
  send();
  while (!reads_.front()->answer.raw.finished) transport.waitAny();
  std::unique_ptr<Read> read = std::move(reads_.front());
  reads_.pop_front();
  uint32_t again = 0;
  const bool missed = missedLength(*read, &again);
  Outcome o = Outcome::done;
  if (missed) {
    o = readAgain(*read, again);
  } else if (m_.options.readDepth > 1 && isRecord(answer(*read).outcome())) {
    // The next READ goes out before this record is taken.
    send();
    transport.service();
  }
  if (o == Outcome::done) o = take(*read, buffer, data, capacity, length);
  if (data != nullptr && *data != nullptr) {
    lent_ = std::move(read);
  } else {
    spare_.push_back(std::move(read));
  }
  return o;
}

Outcome ReadAhead::take(Read& read, void* buffer, const uint8_t** data, uint32_t capacity,
                        uint32_t* length) {
  const Answer& a = answer(read);
  const Classified& c = a.classified;
  const uint32_t request = read.request;
  TapePosition& position = m_.position;
  int64_t actual;
  switch (c.outcome) {
    case Outcome::done:
    case Outcome::earlyWarning:
      if (a.raw.residualValid) {
        actual = int64_t{request} - a.raw.residual;
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
      if (position.recordKnown()) ++position.record;
      position.atEndOfData = false;
      m_.error = m_.describe() + ": a record longer than " + std::to_string(request) + " bytes";
      return Outcome::longBlock;
    case Outcome::filemark:
      if (position.fileKnown()) ++position.file;
      position.record = 0;
      position.atEndOfData = false;
      return Outcome::filemark;
    case Outcome::endOfData:
      position.atEndOfData = true;
      return Outcome::endOfData;
    default:
      // Where the tape is after this READ is not known, so neither is what
      // the READs sent after it read: they are dropped.
      discard();
      return m_.fault("READ", a);
  }
  if (position.recordKnown()) ++position.record;
  position.atEndOfData = false;
  if (actual == 0) {
    // No record of this member is empty (and no drive writes an empty
    // block): what is there is not a record.
    m_.error = m_.describe() + ": a block of 0 bytes where a record should be";
    m_.state = DriveState::failed;
    return Outcome::memberFailed;
  }
  if (actual < 0 || actual > int64_t{capacity} || actual > int64_t{m_.options.recordCap}) {
    m_.error = m_.describe() + ": a record of " + std::to_string(actual) + " bytes, more than " +
               std::to_string(std::min(capacity, m_.options.recordCap));
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

Outcome ReadAhead::pass(int32_t* filemarks) {
  wait();
  TapePosition& position = m_.position;
  while (!reads_.empty() && (filemarks == nullptr || *filemarks > 0)) {
    std::unique_ptr<Read> read = std::move(reads_.front());
    reads_.pop_front();
    const Answer a = answer(*read);
    spare_.push_back(std::move(read));
    if (passesBlock(a.outcome())) {
      if (position.recordKnown()) ++position.record;
      position.atEndOfData = false;
    } else if (a.outcome() == Outcome::filemark) {
      if (position.fileKnown()) ++position.file;
      position.record = 0;
      position.atEndOfData = false;
      if (filemarks != nullptr) --*filemarks;
    } else {
      // The end of data (READs after it did not move the tape) or a READ
      // that failed (the position is lost): nothing after it counts.
      forget();
      if (a.outcome() == Outcome::endOfData) {
        position.atEndOfData = true;
        return Outcome::endOfData;
      }
      Outcome o = m_.fault("READ (sent ahead)", a);
      position = TapePosition{};
      return o;
    }
  }
  return Outcome::done;
}

Outcome ReadAhead::settle() {
  if (reads_.empty()) return Outcome::done;
  wait();
  // What lies between the caller and the tape, in tape order: true for a
  // filemark, false for a block. READs that met the end of data did not
  // move the tape.
  std::vector<bool> passed;
  Answer failed;
  bool lostPosition = false;
  for (const auto& read : reads_) {
    const Answer& a = answer(*read);
    if (passesBlock(a.outcome())) {
      passed.push_back(false);
    } else if (a.outcome() == Outcome::filemark) {
      passed.push_back(true);
    } else if (a.outcome() == Outcome::endOfData) {
      break;
    } else {
      failed = a;
      lostPosition = true;
      break;
    }
  }
  forget();
  if (lostPosition) {
    Outcome o = m_.fault("READ (sent ahead)", failed);
    m_.position = TapePosition{};
    return o;
  }
  if (passed.empty()) return Outcome::done;
  const DriveQuirks& quirks = m_.info.quirks;
  Answer a;
  const char* failedAt = nullptr;
  auto back = [&](const char* what, const Cdb& cdb, Outcome expected) {
    a = m_.move(cdb);
    if (a.outcome() == expected) return true;
    failedAt = what;
    return false;
  };
  bool ok = true;
  if (quirks.spaceBlocksCountsFilemarks) {
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
        ok = quirks.reverseFilemarkOffByOne ? back("SPACE (back over a filemark read ahead)",
                                                   space6(SpaceCode::blocks, -1), Outcome::filemark)
                                            : back("SPACE (back over a filemark read ahead)",
                                                   space6(SpaceCode::filemarks, -1), Outcome::done);
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
  return ok ? Outcome::done : m_.placeLost(failedAt, a);
}

Outcome ReadAhead::drop() {
  if (reads_.empty()) return Outcome::done;
  wait();
  Outcome result = Outcome::done;
  for (auto& read : reads_) {
    const Answer& a = answer(*read);
    // A unit attention answered to a READ sent ahead is the drive's news
    // all the same (a reset, a cartridge changed); a lost session stays
    // lost.
    if (result == Outcome::done &&
        (a.outcome() == Outcome::positionLost || a.outcome() == Outcome::transport)) {
      result = m_.fault("READ (sent ahead)", a);
    }
  }
  forget();
  return result;
}

uint32_t ReadAhead::request() const {
  // tgt delivers only min(actual, request - actual) bytes of a shorter
  // block: asking for twice the cap brings every byte of any record. But
  // it moves as many bytes as are asked for, so while the records come
  // with one length the member asks for exactly that length.
  const uint32_t full = m_.readRoom;
  if (m_.options.exactReads && m_.info.quirks.shortReadUnderDelivered && sameLength_ >= 2 &&
      fullReads_ == 0 && lastLength_ > 0 && lastLength_ < full) {
    return lastLength_;
  }
  return full;
}

void ReadAhead::noteLength(uint32_t length) {
  if (length == lastLength_) {
    ++sameLength_;
  } else {
    lastLength_ = length;
    sameLength_ = 1;
  }
  if (fullReads_ > 0) --fullReads_;
}

bool ReadAhead::missedLength(Read& read, uint32_t* again) {
  const uint32_t full = m_.readRoom;
  if (read.request >= full) return false;
  const Classified& c = answer(read).classified;
  if (c.outcome == Outcome::shortBlock && c.residueValid && c.residue > 0 &&
      c.residue < read.request) {
    // Shorter than asked: whole unless the drive under-delivers it.
    const int64_t actual = int64_t{read.request} - c.residue;
    if (!m_.info.quirks.shortReadUnderDelivered || c.residue >= actual) return false;
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

Outcome ReadAhead::readAgain(Read& read, uint32_t length) {
  // Records of other lengths come: whole-room reads for a while.
  sameLength_ = 0;
  fullReads_ = kFullReadsAfterMiss;
  // Back before the block (over what was read ahead after it first) and
  // read it with its own length.
  Outcome r = settle();
  if (r != Outcome::done) return r;
  Answer a = m_.move(space6(SpaceCode::blocks, -1));
  if (a.outcome() != Outcome::done) {
    return m_.placeLost("SPACE (back over a block read with another length)", a);
  }
  read.request = length;
  // The room may have grown since the READ was sent (a larger record cap).
  if (read.data.size() < length) read.data.resize(length);
  read.answer = m_.run(read6(length, !m_.info.quirks.siliIgnored), Direction::in, read.data.data(),
                       length, m_.options.commandTimeoutMs);
  read.classified = true;
  return Outcome::done;
}

}  // namespace mox::scsi
