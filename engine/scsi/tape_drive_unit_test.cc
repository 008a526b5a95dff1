// The member against a tape drive that follows the stream commands as
// written, kept in memory: what tgt cannot show (SILI honoured, SPACE that
// stops at filemarks, READ POSITION, early warning before the end, VOLUME
// OVERFLOW, deferred errors, descriptor sense), and reservations served to
// several initiators, of a drive and of a changer. No target needed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "engine/scsi/changer.h"
#include "engine/scsi/drive_activity.h"
#include "engine/scsi/reservation.h"
#include "engine/scsi/tape_drive.h"

namespace mox::scsi {
namespace {

// What a logical unit knows of its reservations, as the standard has it:
// each initiator registers its own key, one of them holds the unit.
struct Reservations {
  bool persistent = true;        // serves PERSISTENT RESERVE IN/OUT
  bool reserve6 = true;          // serves RESERVE(6)/RELEASE(6)
  std::map<int, uint64_t> keys;  // initiator -> registered key
  int holder = -1;               // the initiator holding it, -1: none
  bool byReserve6 = false;
  uint8_t type = 0;
  uint32_t generation = 0;
};

class StandardTape final : public Transport {
 public:
  struct Object {
    bool filemark = false;
    std::vector<uint8_t> data;
  };
  uint64_t earlyWarningAt = ~0ull;  // bytes on the tape past which a write says EOM
  uint64_t capacity = ~0ull;        // a write that would pass it is refused
  bool descriptorSense = false;
  bool deferredErrorOnFilemark = false;
  // Commands run, but their answers are lost with the session (until
  // reconnect()).
  bool loseAnswers = false;
  std::vector<Object> objects;
  size_t pos = 0;
  int commands = 0;
  // Reservations, when the unit serves them (null: it knows none of the
  // commands), and the initiator whose command runs now.
  Reservations* reservations = nullptr;
  int initiator = 0;
  int moves = 0;  // MOVE MEDIUM commands that ran

  // WRITEs wait, and the shortest waiting one runs first, as on a target
  // that runs a WRITE once its data is there (tgt with InitialR2T=Yes).
  bool shortestFirst = false;

  void submit(const Command& c, Completion* done) override {
    *done = Completion{};
    ++commands;
    if (shortestFirst && c.cdb.bytes[0] == op::kWrite6) {
      held_.push_back({c, std::vector<uint8_t>(c.data, c.data + c.length), done});
      return;
    }
    run(c, done);
  }
  void waitAll() override {
    while (!held_.empty()) waitAny();
  }
  void waitAny() override {
    if (held_.empty()) return;
    auto shortest = std::min_element(held_.begin(), held_.end(), [](const Held& a, const Held& b) {
      return a.data.size() < b.data.size();
    });
    Held h = std::move(*shortest);
    held_.erase(shortest);
    h.command.data = h.data.data();
    run(h.command, h.done);
  }
  size_t outstanding() const override { return held_.size(); }
  bool connected() const override { return true; }
  int reconnect() override {
    loseAnswers = false;
    return 0;
  }
  void disconnect() override {}
  std::string describe() const override { return "standard tape"; }
  const std::string& lastError() const override { return error_; }
  void setDefaultTimeoutMs(int) override {}
  int defaultTimeoutMs() const override { return 1000; }

 private:
  struct Held {
    Command command;
    std::vector<uint8_t> data;
    Completion* done;
  };
  std::vector<Held> held_;

  void run(const Command& c, Completion* done) {
    done->finished = true;
    execute(c, done);
    if (loseAnswers) {
      done->transport = TransportStatus::disconnected;
      done->message = "answer lost";
    }
  }

  uint64_t used() const {
    uint64_t n = 0;
    for (size_t i = 0; i < objects.size(); ++i) n += objects[i].data.size();
    return n;
  }

  void check(Completion* d, uint8_t key, uint8_t asc, uint8_t ascq, bool fm = false,
             bool eom = false, bool ili = false, bool valid = false, int64_t info = 0,
             bool deferred = false) {
    d->status = kStatusCheckCondition;
    uint8_t* s = d->sense;
    std::memset(s, 0, sizeof d->sense);
    uint8_t flags = static_cast<uint8_t>((fm ? 0x80 : 0) | (eom ? 0x40 : 0) | (ili ? 0x20 : 0));
    if (!descriptorSense) {
      s[0] = static_cast<uint8_t>((valid ? 0x80 : 0) | (deferred ? 0x71 : 0x70));
      s[2] = static_cast<uint8_t>(flags | key);
      uint32_t v = static_cast<uint32_t>(info);
      s[3] = static_cast<uint8_t>(v >> 24);
      s[4] = static_cast<uint8_t>(v >> 16);
      s[5] = static_cast<uint8_t>(v >> 8);
      s[6] = static_cast<uint8_t>(v);
      s[7] = 10;
      s[12] = asc;
      s[13] = ascq;
      d->senseLength = 18;
      return;
    }
    s[0] = deferred ? 0x73 : 0x72;
    s[1] = key;
    s[2] = asc;
    s[3] = ascq;
    size_t at = 8;
    if (valid) {
      uint8_t* p = s + at;
      p[0] = 0x00;
      p[1] = 0x0A;
      p[2] = 0x80;
      uint64_t v = static_cast<uint64_t>(info);
      for (int i = 0; i < 8; ++i) p[4 + i] = static_cast<uint8_t>(v >> (56 - 8 * i));
      at += 12;
    }
    if (flags != 0) {
      s[at] = 0x04;
      s[at + 1] = 0x02;
      s[at + 3] = flags;
      at += 4;
    }
    s[7] = static_cast<uint8_t>(at - 8);
    d->senseLength = static_cast<uint8_t>(at);
  }

  static uint32_t count24(const Cdb& cdb) {
    return (uint32_t{cdb.bytes[2]} << 16) | (uint32_t{cdb.bytes[3]} << 8) | cdb.bytes[4];
  }

  static uint64_t get64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
    return v;
  }

  // A command of another initiator than the holder's is refused with
  // RESERVATION CONFLICT, but for those that only ask about the unit.
  bool conflicts(uint8_t opcode) const {
    Reservations* r = reservations;
    if (r == nullptr || r->holder < 0 || r->holder == initiator) return false;
    bool writeExclusive = !r->byReserve6 && r->type == static_cast<uint8_t>(PrType::writeExclusive);
    if (writeExclusive && (opcode == op::kReadElementStatus || opcode == op::kRead6)) return false;
    switch (opcode) {
      case op::kInquiry:
      case op::kRequestSense:
      case op::kTestUnitReady:
      case op::kPersistentReserveIn:
      case op::kPersistentReserveOut:
      case op::kRelease6:  // a release by another is no error, and does nothing
        return false;
      default:
        return true;
    }
  }

  // The reservation commands; false for any other.
  bool reserve(const Command& c, Completion* d) {
    Reservations* r = reservations;
    const uint8_t* b = c.cdb.bytes;
    bool pr = b[0] == op::kPersistentReserveIn || b[0] == op::kPersistentReserveOut;
    bool six = b[0] == op::kReserve6 || b[0] == op::kRelease6;
    if (!pr && !six) return false;
    if (r == nullptr || (pr && !r->persistent) || (six && !r->reserve6)) {
      check(d, kKeyIllegalRequest, 0x20, 0x00);
      return true;
    }
    auto conflict = [d] { d->status = kStatusReservationConflict; };
    bool mine = r->holder == initiator;
    if (b[0] == op::kReserve6) {
      if (r->holder >= 0 && !mine) return conflict(), true;
      r->holder = initiator;
      r->byReserve6 = true;
      return true;
    }
    if (b[0] == op::kRelease6) {
      if (mine && r->byReserve6) r->holder = -1;
      return true;
    }
    if (b[0] == op::kPersistentReserveIn) {
      std::memset(c.data, 0, c.length);
      c.data[3] = static_cast<uint8_t>(r->generation);
      if (r->holder >= 0 && !r->byReserve6) {
        c.data[7] = 16;
        uint64_t key = r->keys[r->holder];
        for (int i = 0; i < 8; ++i) c.data[8 + i] = static_cast<uint8_t>(key >> (56 - 8 * i));
        c.data[21] = r->type;
      }
      return true;
    }
    if (r->holder >= 0 && r->byReserve6 && !mine) return conflict(), true;
    uint64_t key = get64(c.data);
    uint64_t serviceKey = get64(c.data + 8);
    auto registered = r->keys.find(initiator);
    bool known = registered != r->keys.end() && registered->second == key;
    switch (static_cast<PrOut>(b[1] & 0x1F)) {
      case PrOut::registerAndIgnore:
      case PrOut::registerKey:
        if (static_cast<PrOut>(b[1] & 0x1F) == PrOut::registerKey && !known &&
            registered != r->keys.end()) {
          return conflict(), true;
        }
        ++r->generation;
        if (serviceKey == 0) {
          r->keys.erase(initiator);
          if (mine) r->holder = -1;
        } else {
          r->keys[initiator] = serviceKey;
        }
        return true;
      case PrOut::reserve:
        if (!known || (r->holder >= 0 && !mine)) return conflict(), true;
        r->holder = initiator;
        r->byReserve6 = false;
        r->type = b[2] & 0x0F;
        return true;
      case PrOut::release:
        if (!known) return conflict(), true;
        if (mine) r->holder = -1;
        return true;
      case PrOut::preempt:
        if (!known) return conflict(), true;
        if (r->holder >= 0 && r->keys.count(r->holder) != 0 && r->keys[r->holder] == serviceKey) {
          r->holder = initiator;
          r->type = b[2] & 0x0F;
        }
        for (auto it = r->keys.begin(); it != r->keys.end();) {
          it = it->first != initiator && it->second == serviceKey ? r->keys.erase(it) : ++it;
        }
        ++r->generation;
        return true;
      default:
        check(d, kKeyIllegalRequest, 0x24, 0x00);
        return true;
    }
  }

  void execute(const Command& c, Completion* d) {
    const uint8_t* b = c.cdb.bytes;
    if (reserve(c, d)) return;
    if (conflicts(b[0])) {
      d->status = kStatusReservationConflict;
      return;
    }
    switch (b[0]) {
      case op::kTestUnitReady:
      case op::kLoadUnload:
        return;
      case op::kInquiry: {
        std::memset(c.data, 0, c.length);
        if ((b[1] & 1) != 0) {
          const char serial[] = "ZT0001";
          c.data[1] = 0x80;
          c.data[3] = 6;
          std::memcpy(c.data + 4, serial, 6);
          return;
        }
        c.data[0] = 0x01;
        c.data[1] = 0x80;
        std::memcpy(c.data + 8, "ZEPTEST STANDARD-TAPE   0001", 28);
        return;
      }
      case op::kReadBlockLimits: {
        uint8_t limits[6] = {0, 0x10, 0x00, 0x00, 0x00, 0x01};
        std::memcpy(c.data, limits, 6);
        return;
      }
      case op::kModeSense6: {
        std::memset(c.data, 0, c.length);
        c.data[0] = 11;
        c.data[2] = 0x10;
        c.data[3] = 8;
        c.data[4] = 0x58;
        c.data[9] = static_cast<uint8_t>(blockLength_ >> 16);
        c.data[10] = static_cast<uint8_t>(blockLength_ >> 8);
        c.data[11] = static_cast<uint8_t>(blockLength_);
        d->residualValid = true;
        d->residual = c.length - 12;
        return;
      }
      case op::kModeSelect6:
        blockLength_ = (uint32_t{c.data[9]} << 16) | (uint32_t{c.data[10]} << 8) | c.data[11];
        return;
      case op::kReadPosition:
        std::memset(c.data, 0, c.length);
        c.data[0] = pos == 0 ? 0x80 : 0x00;
        c.data[7] = static_cast<uint8_t>(pos);
        c.data[6] = static_cast<uint8_t>(pos >> 8);
        return;
      case op::kLocate10:
        pos = std::min<size_t>(objects.size(), (size_t{b[5]} << 8) | b[6]);
        return;
      case op::kRewind:
        pos = 0;
        return;
      case op::kWrite6: {
        if (used() + c.length > capacity) {
          return check(d, kKeyVolumeOverflow, 0x00, 0x02, false, true, false, true, c.length);
        }
        objects.resize(pos);
        objects.push_back(Object{false, std::vector<uint8_t>(c.data, c.data + c.length)});
        ++pos;
        if (used() > earlyWarningAt) check(d, kKeyNoSense, 0x00, 0x02, false, true);
        return;
      }
      case op::kWriteFilemarks6: {
        objects.resize(pos);
        for (uint32_t i = 0; i < count24(c.cdb); ++i) objects.push_back(Object{true, {}});
        pos = objects.size();
        if (deferredErrorOnFilemark) {
          return check(d, kKeyMediumError, 0x0C, 0x00, false, false, false, false, 0, true);
        }
        if (used() > earlyWarningAt) check(d, kKeyNoSense, 0x00, 0x02, false, true);
        return;
      }
      case op::kRead6: {
        bool sili = (b[1] & 0x02) != 0;
        uint32_t request = count24(c.cdb);
        if (pos == objects.size()) return check(d, kKeyBlankCheck, 0x00, 0x05, false, true);
        const Object& o = objects[pos++];
        if (o.filemark) {
          return check(d, kKeyNoSense, 0x00, 0x01, true, false, false, true, request);
        }
        uint32_t n = static_cast<uint32_t>(o.data.size());
        std::memcpy(c.data, o.data.data(), std::min(n, request));
        if (n == request) return;
        if (n < request && sili) {
          d->residualValid = true;
          d->residual = request - n;
          return;
        }
        return check(d, kKeyNoSense, 0x00, 0x00, false, false, true, true,
                     int64_t{request} - int64_t{n});
      }
      case op::kSpace6:
        return space(c, d);
      case op::kMoveMedium:  // as a changer: the move is counted
        ++moves;
        return;
      case op::kReadElementStatus:  // as a changer with no elements
        std::memset(c.data, 0, c.length);
        return;
      default:
        return check(d, kKeyIllegalRequest, 0x20, 0x00);
    }
  }

  void space(const Command& c, Completion* d) {
    const uint8_t* b = c.cdb.bytes;
    int32_t count = static_cast<int32_t>(count24(c.cdb) << 8) >> 8;
    uint8_t code = b[1] & 0x0F;
    if (code == 3) {
      pos = objects.size();
      return;
    }
    if (code > 1) return check(d, kKeyIllegalRequest, 0x24, 0x00);
    bool blocks = code == 0;
    int32_t left = count < 0 ? -count : count;
    while (left > 0) {
      if (count > 0) {
        if (pos == objects.size()) {
          return check(d, kKeyBlankCheck, 0x00, 0x05, false, true, false, true, left);
        }
        bool fm = objects[pos++].filemark;
        if (blocks && fm) return check(d, kKeyNoSense, 0x00, 0x01, true, false, false, true, left);
        if (!blocks && !fm) continue;
      } else {
        if (pos == 0) return check(d, kKeyNoSense, 0x00, 0x04, false, true, false, true, left);
        bool fm = objects[pos - 1].filemark;
        if (blocks && fm) {
          --pos;  // stops on the beginning side of the filemark
          return check(d, kKeyNoSense, 0x00, 0x01, true, false, false, true, left);
        }
        --pos;
        if (!blocks && !fm) continue;
      }
      --left;
    }
  }

  uint32_t blockLength_ = 512;  // starts in fixed block mode
  std::string error_;
};

std::vector<uint8_t> record(uint8_t tag, size_t length) {
  std::vector<uint8_t> r(length);
  for (size_t i = 0; i < length; ++i) r[i] = static_cast<uint8_t>(tag + i);
  return r;
}

struct Rig {
  StandardTape* tape = nullptr;
  std::unique_ptr<TapeDrive> drive;
};

Rig make(bool descriptor, int depth = 4) {
  auto t = std::make_unique<StandardTape>();
  Rig s;
  s.tape = t.get();
  s.tape->descriptorSense = descriptor;
  TapeDriveOptions o;
  o.recordCap = 4096;
  o.writeDepth = depth;
  o.readyWaitMs = 100;
  s.drive = std::make_unique<TapeDrive>(std::move(t), o);
  return s;
}

class StandardDrive : public ::testing::TestWithParam<bool> {};

TEST_P(StandardDrive, ProbesAndReadsWithSili) {
  Rig s = make(GetParam());
  TapeDrive& d = *s.drive;
  ASSERT_EQ(d.open(), Outcome::done) << d.lastError();
  EXPECT_EQ(d.info().known, nullptr);
  EXPECT_EQ(d.info().serial, "ZT0001");
  EXPECT_EQ(d.info().mode.blockLength, 0u);  // was fixed (512): set to variable
  EXPECT_TRUE(d.info().readPositionUsable);
  EXPECT_EQ(d.position().file, 0u);  // READ POSITION said: beginning of the tape
  ASSERT_EQ(d.rewind(), Outcome::done);
  EXPECT_TRUE(d.info().locateSupported);
  for (uint8_t i = 0; i < 3; ++i) {
    std::vector<uint8_t> r = record(i, 100 + i);
    ASSERT_EQ(d.writeRecord(r.data(), static_cast<uint32_t>(r.size())), Outcome::done);
  }
  ASSERT_EQ(d.writeFilemarks(1), Outcome::done);
  std::vector<uint8_t> r = record(9, 4096);
  ASSERT_EQ(d.writeRecord(r.data(), 4096), Outcome::done);
  ASSERT_EQ(d.writeFilemarks(1), Outcome::done);
  ASSERT_EQ(d.rewind(), Outcome::done);
  std::vector<uint8_t> buf(4096);
  uint32_t n = 0;
  for (uint8_t i = 0; i < 3; ++i) {
    ASSERT_EQ(d.readRecord(buf.data(), 4096, &n), Outcome::done) << d.lastError();
    EXPECT_EQ(n, 100u + i);  // SILI: GOOD with the residual
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + n), record(i, 100 + i));
  }
  EXPECT_EQ(d.readRecord(buf.data(), 4096, &n), Outcome::filemark);
  ASSERT_EQ(d.readRecord(buf.data(), 4096, &n), Outcome::done);
  EXPECT_EQ(n, 4096u);
  EXPECT_EQ(d.readRecord(buf.data(), 4096, &n), Outcome::filemark);
  EXPECT_EQ(d.readRecord(buf.data(), 4096, &n), Outcome::endOfData);
  // Backwards over filemarks works on this drive: back over the last one,
  // before it.
  EXPECT_EQ(d.position().file, 2u);
  ASSERT_EQ(d.spaceFilemarks(-1), Outcome::done) << d.lastError();
  EXPECT_EQ(d.position().file, 1u);
  EXPECT_EQ(d.readRecord(buf.data(), 4096, &n), Outcome::filemark);
}

TEST_P(StandardDrive, EarlyWarningThenOverflow) {
  for (int depth : {1, 8}) {
    SCOPED_TRACE("writes in flight: " + std::to_string(depth));
    Rig s = make(GetParam(), depth);
    s.tape->earlyWarningAt = uint64_t{10} * 1000;
    s.tape->capacity = uint64_t{12} * 1000;
    TapeDrive& d = *s.drive;
    ASSERT_EQ(d.open(), Outcome::done);
    ASSERT_EQ(d.rewind(), Outcome::done);
    std::vector<uint8_t> r = record(1, 1000);
    std::vector<Outcome> seen;
    seen.reserve(14);
    for (int i = 0; i < 14; ++i) seen.push_back(d.writeRecord(r.data(), 1000));
    Outcome flushed = d.flush();
    if (depth == 1) {
      // Records 1-10 plain, the 11th with EOM (written), the 12th fits,
      // the 13th overflows (not written), the 14th is refused unsent.
      for (int i = 0; i < 10; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)], Outcome::done) << i;
      EXPECT_EQ(seen[10], Outcome::earlyWarning);
      EXPECT_EQ(seen[11], Outcome::done);
      EXPECT_EQ(seen[12], Outcome::overflow);
      EXPECT_EQ(seen[13], Outcome::overflow);
      EXPECT_EQ(d.recordsSubmitted(), 13u);
    } else {
      // Queued: the answers come later, the first error with the flush.
      for (Outcome o : seen) EXPECT_EQ(o, Outcome::done);
      EXPECT_EQ(flushed, Outcome::overflow);
      EXPECT_EQ(d.recordsSubmitted(), 14u);
    }
    EXPECT_TRUE(d.earlyWarning());
    EXPECT_TRUE(d.full());
    EXPECT_EQ(d.recordsAcknowledged(), 12u);  // exactly the records on the tape
    EXPECT_EQ(s.tape->objects.size(), 12u);
    EXPECT_EQ(d.state(), DriveState::ready);
    EXPECT_EQ(d.writeRecord(r.data(), 1000), Outcome::overflow);
  }
}

// On a target that runs a WRITE as soon as its data is there, a short
// record queued behind long ones would overtake them: every record still
// reaches the tape in the order it was written, whatever the lengths.
TEST_P(StandardDrive, RecordsOfAnyLengthLandInTheOrderWritten) {
  const std::vector<uint32_t> lengths = {4096, 4096, 100, 4096, 50, 200, 200, 4096, 40, 4096};
  for (int depth : {1, 8}) {
    SCOPED_TRACE("writes in flight: " + std::to_string(depth));
    Rig s = make(GetParam(), depth);
    s.tape->shortestFirst = true;
    TapeDrive& d = *s.drive;
    ASSERT_EQ(d.open(), Outcome::done);
    ASSERT_EQ(d.rewind(), Outcome::done);
    for (size_t i = 0; i < lengths.size(); ++i) {
      std::vector<uint8_t> r = record(static_cast<uint8_t>(i), lengths[i]);
      ASSERT_EQ(d.writeRecord(r.data(), lengths[i]), Outcome::done);
    }
    ASSERT_EQ(d.writeFilemarks(1), Outcome::done);
    ASSERT_EQ(s.tape->objects.size(), lengths.size() + 1);
    for (size_t i = 0; i < lengths.size(); ++i) {
      EXPECT_EQ(s.tape->objects[i].data, record(static_cast<uint8_t>(i), lengths[i])) << i;
    }
    EXPECT_TRUE(s.tape->objects.back().filemark);
  }
}

// The drive's activity, counted under its transport, holds the bytes each
// record moved (short blocks read by their length, not the length asked),
// the WRITEs in flight together, and the rewinds as events.
TEST_P(StandardDrive, ActivityCountsWhatTheDriveMoved) {
  const std::vector<uint32_t> lengths = {4096, 100, 4096, 50, 3000, 4096};
  auto t = std::make_unique<StandardTape>();
  StandardTape* tape = t.get();
  tape->descriptorSense = GetParam();
  tape->shortestFirst = true;
  auto activity = std::make_shared<DriveActivity>();
  TapeDriveOptions o;
  o.recordCap = 4096;
  o.writeDepth = 4;
  o.readyWaitMs = 100;
  TapeDrive d(std::make_unique<CountedTransport>(std::move(t), activity), o);
  ASSERT_EQ(d.open(), Outcome::done);
  ASSERT_EQ(d.rewind(), Outcome::done);
  activity->restart();
  uint64_t total = 0;
  for (size_t i = 0; i < lengths.size(); ++i) {
    std::vector<uint8_t> r = record(static_cast<uint8_t>(i), lengths[i]);
    ASSERT_EQ(d.writeRecord(r.data(), lengths[i]), Outcome::done);
    total += lengths[i];
  }
  ASSERT_EQ(d.writeFilemarks(1), Outcome::done);
  ASSERT_EQ(d.rewind(), Outcome::done);
  std::vector<uint8_t> buf(4096);
  for (size_t i = 0; i < lengths.size(); ++i) {
    uint32_t n = 0;
    ASSERT_EQ(d.readRecord(buf.data(), 4096, &n), Outcome::done) << d.lastError();
    ASSERT_EQ(n, lengths[i]);
  }
  const DriveActivitySnapshot s = activity->snapshot();
  EXPECT_EQ(s.bytesWritten, total);
  EXPECT_EQ(s.bytesRead, total);
  EXPECT_GE(s.maxInFlight, 2u);
  EXPECT_GT(s.commands, lengths.size() * 2);
  ASSERT_FALSE(s.events.empty());
  EXPECT_EQ(s.events[0].kind, DriveEventKind::rewind);
}

TEST_P(StandardDrive, DeferredErrorFailsTheMember) {
  Rig s = make(GetParam());
  TapeDrive& d = *s.drive;
  ASSERT_EQ(d.open(), Outcome::done);
  ASSERT_EQ(d.rewind(), Outcome::done);
  std::vector<uint8_t> r = record(1, 1000);
  ASSERT_EQ(d.writeRecord(r.data(), 1000), Outcome::done);
  s.tape->deferredErrorOnFilemark = true;
  EXPECT_EQ(d.writeFilemarks(0), Outcome::memberFailed);
  EXPECT_EQ(d.state(), DriveState::failed);
  EXPECT_EQ(d.recordsDurable(), 0u);  // the barrier did not hold
  int before = s.tape->commands;
  EXPECT_EQ(d.writeRecord(r.data(), 1000), Outcome::memberFailed);
  EXPECT_EQ(s.tape->commands, before);  // nothing was sent
}

// On this drive SPACE back over blocks stops at a filemark: reconcile still
// reads the same last objects.
TEST_P(StandardDrive, ReconcileTailAcrossAFilemark) {
  Rig s = make(GetParam());
  TapeDrive& d = *s.drive;
  ASSERT_EQ(d.open(), Outcome::done);
  ASSERT_EQ(d.rewind(), Outcome::done);
  std::vector<uint8_t> r = record(1, 500);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(d.writeRecord(r.data(), 500), Outcome::done);
  ASSERT_EQ(d.writeFilemarks(1), Outcome::done);
  std::vector<uint8_t> last = record(7, 300);
  ASSERT_EQ(d.writeRecord(last.data(), 300), Outcome::done);
  ReconcileReport report;
  ASSERT_EQ(d.reconcile(&report), Outcome::done) << d.lastError();
  ASSERT_EQ(report.last, LastObject::record);
  EXPECT_EQ(report.record, last);
  // Nothing was in flight: one object, the last record.
  ASSERT_EQ(report.tail.size(), 1u);

  // A filemark, then four records whose answers are lost: the tail asks
  // for five objects, spacing back stops at the filemark (FILEMARK), and
  // reading forward gives the filemark and the four records.
  ASSERT_EQ(d.writeFilemarks(1), Outcome::done);
  s.tape->loseAnswers = true;
  Outcome o = Outcome::done;
  for (uint8_t i = 0; i < 4 && o == Outcome::done; ++i) {
    std::vector<uint8_t> x = record(static_cast<uint8_t>(20 + i), 200);
    o = d.writeRecord(x.data(), 200);
  }
  EXPECT_EQ(o, Outcome::transport);
  EXPECT_EQ(d.state(), DriveState::needsReconcile);
  ReconcileReport second;
  ASSERT_EQ(d.reconcile(&second), Outcome::done) << d.lastError();
  EXPECT_EQ(second.inFlightAtFault, 4u);
  ASSERT_EQ(second.tail.size(), 5u);
  EXPECT_TRUE(second.tail[0].filemark);
  for (uint8_t i = 0; i < 4; ++i) {
    EXPECT_EQ(second.tail[1u + i].record, record(static_cast<uint8_t>(20 + i), 200));
  }
  EXPECT_EQ(second.record, record(23, 200));
  EXPECT_EQ(d.state(), DriveState::ready);
}

// Read ahead on a drive whose SPACE over blocks stops at filemarks: before
// a write the member spaces back over the records and the filemark read
// past the reader each by their own SPACE, and the write lands right after
// the last object taken.
TEST_P(StandardDrive, WriteAfterReadAheadLandsAtTheReader) {
  // R0 R1 FM R2 FM R3, then the end of data.
  const std::vector<std::string> tape{"R0", "R1", "FM", "R2", "FM", "R3"};
  for (size_t stop = 0; stop <= tape.size(); ++stop) {
    SCOPED_TRACE("objects taken: " + std::to_string(stop));
    Rig s = make(GetParam());
    TapeDrive& d = *s.drive;
    ASSERT_EQ(d.open(), Outcome::done);
    ASSERT_EQ(d.rewind(), Outcome::done);
    for (const std::string& o : tape) {
      if (o == "FM") {
        ASSERT_EQ(d.writeFilemarks(1), Outcome::done);
      } else {
        std::vector<uint8_t> r = record(static_cast<uint8_t>(o[1] - '0'), 300);
        ASSERT_EQ(d.writeRecord(r.data(), 300), Outcome::done);
      }
    }
    ASSERT_EQ(d.rewind(), Outcome::done);
    std::vector<uint8_t> buf(4096);
    uint32_t n = 0;
    for (size_t i = 0; i < stop; ++i) {
      Outcome o = d.readRecord(buf.data(), 4096, &n);
      EXPECT_EQ(o, tape[i] == "FM" ? Outcome::filemark : Outcome::done);
    }
    if (stop > 0 && tape[stop - 1] != "FM" && stop < tape.size()) {
      EXPECT_GE(d.readsAhead(), 1u);
    }
    std::vector<uint8_t> x = record(50, 200);
    ASSERT_EQ(d.writeRecord(x.data(), 200), Outcome::done) << d.lastError();
    ASSERT_EQ(d.flush(), Outcome::done);
    std::string held;
    for (const auto& o : s.tape->objects) {
      held += o.filemark ? "FM " : "R" + std::to_string(o.data[0]) + " ";
    }
    std::string expected;
    for (size_t i = 0; i < stop; ++i) expected += tape[i] + " ";
    expected += "R50 ";
    EXPECT_EQ(held, expected);
    EXPECT_EQ(s.tape->pos, s.tape->objects.size());
  }
}

TEST_P(StandardDrive, CountersAreReadWhereTheCallerStandsAndALostSessionIsTheMembers) {
  // A drive with no log page and no MODE SENSE(10): every counter missing.
  // Records were read ahead: they are put back first, so the next read
  // takes the record after the one the caller took. A session lost at the
  // first LOG SENSE leaves the member needing a reconcile.
  for (bool lost : {false, true}) {
    SCOPED_TRACE(lost ? "session lost" : "answered");
    Rig s = make(GetParam());
    TapeDrive& d = *s.drive;
    ASSERT_EQ(d.open(), Outcome::done);
    ASSERT_EQ(d.rewind(), Outcome::done);
    for (uint8_t tag = 0; tag < 4; ++tag) {
      std::vector<uint8_t> r = record(tag, 300);
      ASSERT_EQ(d.writeRecord(r.data(), 300), Outcome::done);
    }
    ASSERT_EQ(d.rewind(), Outcome::done);
    std::vector<uint8_t> buf(4096);
    uint32_t n = 0;
    if (!lost) {
      ASSERT_EQ(d.readRecord(buf.data(), 4096, &n), Outcome::done);
      ASSERT_GE(d.readsAhead(), 1u);
    }
    s.tape->loseAnswers = lost;
    DriveCounters c;
    c.listed = true;  // the reading starts from nothing
    Outcome o = d.readCounters(&c);
    EXPECT_EQ(d.readsAhead(), 0u);
    EXPECT_FALSE(c.listed);
    EXPECT_FALSE(c.compressionMode.present);
    if (lost) {
      EXPECT_EQ(o, Outcome::transport);
      EXPECT_EQ(d.state(), DriveState::needsReconcile);
      EXPECT_NE(d.lastError().find("LOG SENSE"), std::string::npos) << d.lastError();
      DriveCounters again;
      EXPECT_EQ(d.readCounters(&again), Outcome::positionLost);  // nothing sent
      continue;
    }
    EXPECT_EQ(o, Outcome::done) << d.lastError();
    EXPECT_EQ(d.state(), DriveState::ready);
    ASSERT_EQ(d.readRecord(buf.data(), 4096, &n), Outcome::done);
    EXPECT_EQ(buf[0], 1) << "the record after the one taken";
  }
}

TEST_P(StandardDrive, BlankTapeReconcilesToNothing) {
  Rig s = make(GetParam());
  TapeDrive& d = *s.drive;
  ASSERT_EQ(d.open(), Outcome::done);
  ReconcileReport report;
  ASSERT_EQ(d.reconcile(&report), Outcome::done) << d.lastError();
  EXPECT_EQ(report.last, LastObject::none);
  EXPECT_TRUE(report.tail.empty());
  EXPECT_EQ(d.position().file, 0u);
  EXPECT_TRUE(d.position().atEndOfData);
}

INSTANTIATE_TEST_SUITE_P(FixedAndDescriptorSense, StandardDrive, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "descriptor" : "fixed";
                         });

// One initiator's way to a unit another initiator reaches too: the unit's
// commands run as this initiator's.
class Port final : public Transport {
 public:
  Port(StandardTape* unit, int initiator) : unit_(unit), initiator_(initiator) {}
  void submit(const Command& c, Completion* done) override {
    unit_->initiator = initiator_;
    unit_->submit(c, done);
  }
  void waitAll() override { unit_->waitAll(); }
  void waitAny() override { unit_->waitAny(); }
  size_t outstanding() const override { return unit_->outstanding(); }
  bool connected() const override { return true; }
  int reconnect() override { return 0; }
  void disconnect() override {}
  std::string describe() const override { return "port " + std::to_string(initiator_); }
  const std::string& lastError() const override { return unit_->lastError(); }
  void setDefaultTimeoutMs(int) override {}
  int defaultTimeoutMs() const override { return 1000; }

 private:
  StandardTape* unit_;
  int initiator_;
};

std::unique_ptr<TapeDrive> driveThrough(StandardTape* unit, int initiator) {
  TapeDriveOptions o;
  o.recordCap = 4096;
  o.readyWaitMs = 100;
  return std::make_unique<TapeDrive>(std::make_unique<Port>(unit, initiator), o);
}

struct ReservationCase {
  const char* name;
  bool persistent;
  bool reserve6;
  ReservationKind kind;
  const char* holderNamed;  // how the refusal names the holder; null: nobody is refused
};

const ReservationCase kReservationCases[] = {
    {"persistent", true, true, ReservationKind::persistent,
     "reserved by the reservation key 0x00000000000000a1: another initiator holds it"},
    {"reserve6Only", false, true, ReservationKind::reserve6,
     "reserved by another initiator: another initiator holds it"},
    {"withoutReservations", false, false, ReservationKind::none, nullptr},
};

void PrintTo(const ReservationCase& c, std::ostream* os) { *os << c.name; }

class DriveReservation : public ::testing::TestWithParam<ReservationCase> {};

// Two homes on one drive: the first takes it, the second is refused with
// the holder named and its writes fail the member at once; once the first
// lets it go at the end of its run, the second takes it. A drive that has
// no reservations is used as before by both.
TEST_P(DriveReservation, TakenRefusedConflictFailsReleased) {
  const ReservationCase& rc = GetParam();
  Reservations table;
  table.persistent = rc.persistent;
  table.reserve6 = rc.reserve6;
  StandardTape unit;
  unit.reservations = &table;
  auto a = driveThrough(&unit, 1);
  auto b = driveThrough(&unit, 2);
  Reservation ra(&a->device(), "drive 0", 0xA1);
  Reservation rb(&b->device(), "drive 0", 0xB2);

  ASSERT_EQ(a->open(), Outcome::done) << a->lastError();
  ASSERT_EQ(b->open(), Outcome::done) << b->lastError();
  ASSERT_EQ(ra.take(), Outcome::done) << ra.lastError();
  EXPECT_EQ(ra.kind(), rc.kind);
  EXPECT_EQ(ra.held(), rc.kind != ReservationKind::none);
  ASSERT_EQ(a->rewind(), Outcome::done);
  std::vector<uint8_t> r = record(1, 300);
  ASSERT_EQ(a->writeRecord(r.data(), 300), Outcome::done) << a->lastError();

  if (rc.holderNamed == nullptr) {
    // Nothing stops the second one: the device is without reservations.
    EXPECT_EQ(rb.take(), Outcome::done);
    EXPECT_EQ(rb.kind(), ReservationKind::none);
    EXPECT_FALSE(rb.held());
    EXPECT_EQ(b->rewind(), Outcome::done);
    EXPECT_EQ(unit.pos, 0u);
    EXPECT_EQ(ra.release(), Outcome::done);
    return;
  }
  EXPECT_EQ(rb.take(), Outcome::reserved);
  EXPECT_FALSE(rb.held());
  EXPECT_NE(rb.lastError().find("drive 0"), std::string::npos) << rb.lastError();
  EXPECT_NE(rb.lastError().find(rc.holderNamed), std::string::npos) << rb.lastError();
  if (rc.kind == ReservationKind::persistent) {
    EXPECT_EQ(rb.holderKey(), 0xA1u);
  }

  // The second one's commands that move the tape meet the conflict: the
  // member fails at once, saying another initiator holds the drive, and
  // the first one's tape is where it left it.
  EXPECT_FALSE(b->heldByAnother());
  EXPECT_EQ(b->rewind(), Outcome::reserved);
  EXPECT_EQ(b->state(), DriveState::failed);
  EXPECT_TRUE(b->heldByAnother());
  EXPECT_NE(b->lastError().find("REWIND on port 2: RESERVATION CONFLICT, another initiator holds "
                                "the drive"),
            std::string::npos)
      << b->lastError();
  EXPECT_EQ(unit.pos, 1u);
  EXPECT_EQ(b->writeRecord(r.data(), 300), Outcome::memberFailed);
  ASSERT_EQ(a->writeFilemarks(1), Outcome::done) << a->lastError();
  EXPECT_EQ(unit.objects.size(), 2u);

  // Let go at the end of the first one's run: the second takes it.
  ASSERT_EQ(ra.release(), Outcome::done) << ra.lastError();
  EXPECT_FALSE(ra.held());
  EXPECT_EQ(table.holder, -1);
  ASSERT_EQ(rb.take(), Outcome::done) << rb.lastError();
  EXPECT_TRUE(rb.held());
  EXPECT_EQ(table.holder, 2);
  auto again = driveThrough(&unit, 2);
  ASSERT_EQ(again->open(), Outcome::done) << again->lastError();
  EXPECT_EQ(again->rewind(), Outcome::done);
  // Now the first one is refused.
  EXPECT_EQ(a->rewind(), Outcome::reserved);
  EXPECT_EQ(rb.release(), Outcome::done);
  if (rc.kind == ReservationKind::persistent) {
    EXPECT_TRUE(table.keys.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Devices, DriveReservation, ::testing::ValuesIn(kReservationCases),
                         [](const ::testing::TestParamInfo<ReservationCase>& p) {
                           return std::string(p.param.name);
                         });

// A reservation the home's own key still holds from a session that ended
// without letting it go (a killed process) is taken over by the home's
// next one; another home's key never is.
TEST(DriveReservationTakeOver, TheHomesOwnStaleReservation) {
  Reservations table;
  StandardTape unit;
  unit.reservations = &table;
  ScsiDevice dead(std::make_unique<Port>(&unit, 1));
  ScsiDevice next(std::make_unique<Port>(&unit, 2));
  ScsiDevice other(std::make_unique<Port>(&unit, 3));
  const uint64_t home = reservationKey("host", "/var/lib/mox");
  EXPECT_NE(home, reservationKey("host", "/var/lib/mox2"));
  EXPECT_NE(home, reservationKey("other", "/var/lib/mox"));
  Reservation gone(&dead, "drive 1", home);
  ASSERT_EQ(gone.take(), Outcome::done);
  Reservation stranger(&other, "drive 1", home + 1);
  EXPECT_EQ(stranger.take(), Outcome::reserved);
  Reservation mine(&next, "drive 1", home);
  ASSERT_EQ(mine.take(), Outcome::done) << mine.lastError();
  EXPECT_EQ(table.holder, 2);
  EXPECT_EQ(stranger.take(), Outcome::reserved);
}

// The changer is reserved before a home moves a cartridge (Write
// Exclusive): another home still reads the element status, but its MOVE
// MEDIUM is refused and nothing moves, until the first one lets it go.
TEST(ChangerReservation, AnotherHomesMoveIsRefusedItsReadsAreNot) {
  Reservations table;
  StandardTape unit;
  unit.reservations = &table;
  MediaChanger first(std::make_unique<Port>(&unit, 1));
  MediaChanger second(std::make_unique<Port>(&unit, 2));
  Reservation held(&first.device(), "the changer", 0xA1, PrType::writeExclusive);
  ASSERT_EQ(held.take(), Outcome::done) << held.lastError();
  EXPECT_EQ(held.kind(), ReservationKind::persistent);
  EXPECT_EQ(second.refresh(), Outcome::done) << second.lastError();
  EXPECT_EQ(second.move(1000, 1), Outcome::reserved);
  EXPECT_NE(second.lastError().find("MOVE MEDIUM on port 2: reserved by another initiator"),
            std::string::npos)
      << second.lastError();
  EXPECT_EQ(unit.moves, 0);
  Reservation other(&second.device(), "the changer", 0xB2, PrType::writeExclusive);
  EXPECT_EQ(other.take(), Outcome::reserved);
  EXPECT_EQ(first.move(1000, 1), Outcome::done) << first.lastError();
  EXPECT_EQ(unit.moves, 1);
  ASSERT_EQ(held.release(), Outcome::done);
  EXPECT_EQ(second.move(1, 1000), Outcome::done) << second.lastError();
  EXPECT_EQ(unit.moves, 2);
}

// The reservation commands as they go out.
TEST(ReservationCommands, BlocksAndParameters) {
  Cdb out = persistentReserveOut(PrOut::reserve, PrType::writeExclusive);
  EXPECT_EQ(out.length, 10);
  EXPECT_EQ(out.bytes[0], 0x5F);
  EXPECT_EQ(out.bytes[1], 0x01);
  EXPECT_EQ(out.bytes[2], 0x01);
  EXPECT_EQ(out.bytes[8], 24);
  Cdb in = persistentReserveIn(PrIn::readReservation, 64);
  EXPECT_EQ(in.bytes[0], 0x5E);
  EXPECT_EQ(in.bytes[1], 0x01);
  EXPECT_EQ(in.bytes[8], 64);
  EXPECT_EQ(reserve6().bytes[0], 0x16);
  EXPECT_EQ(release6().bytes[0], 0x17);
  std::vector<uint8_t> p = prOutParameters(0x0102030405060708ull, 0x1112131415161718ull);
  ASSERT_EQ(p.size(), 24u);
  EXPECT_EQ(p[0], 0x01);
  EXPECT_EQ(p[7], 0x08);
  EXPECT_EQ(p[8], 0x11);
  EXPECT_EQ(p[15], 0x18);
  uint8_t held[24] = {0, 0, 0, 7, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0xAB, 0xCD};
  held[21] = 0x03;
  PrReservation r;
  ASSERT_TRUE(parseReadReservation(held, sizeof held, &r));
  EXPECT_TRUE(r.held);
  EXPECT_EQ(r.generation, 7u);
  EXPECT_EQ(r.key, 0xABCDu);
  EXPECT_EQ(r.type, PrType::exclusiveAccess);
  uint8_t none[8] = {0, 0, 0, 2, 0, 0, 0, 0};
  ASSERT_TRUE(parseReadReservation(none, sizeof none, &r));
  EXPECT_FALSE(r.held);
  EXPECT_FALSE(parseReadReservation(held, 4, &r));
}

}  // namespace
}  // namespace mox::scsi
