// Faults of a remote tape drive while a member writes to it: the target
// killed (kill -9) and restarted, the connection dropped, the target frozen
// past the command timeout, the file system under the images full, an
// image damaged. In each: no call waits longer than its timeout, nothing is
// replayed behind the member's back, and after reconcile the tape holds
// every acknowledged record, in order, each once, or the member says it
// failed (a target killed may leave its image torn).
#include <gtest/gtest.h>
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>

#include <cstdio>
#include <functional>

#include "testing/tgt_test_support.h"

namespace mox::scsi::test {
namespace {

using zeptest::TgtCartridge;
using zeptest::TgtOptions;
using zeptest::TgtSpaceLimit;
using zeptest::TgtTarget;

constexpr uint32_t kRecord = 65536;

TgtOptions oneDrive(uint64_t imageSpaceBytes = 0) {
  TgtOptions o;
  o.drives = 1;
  o.cartridges = {TgtCartridge{"T00001", 256}};
  o.imageSpaceBytes = imageSpaceBytes;
  return o;
}

// Writes records from *next on until `count` more were written or one was
// not; `fault` runs once, right after record `faultAfter` was queued.
Outcome writeUntil(TapeDrive* d, uint64_t* next, uint64_t count, uint64_t faultAfter = ~0ull,
                   const std::function<void()>& fault = {}) {
  uint64_t end = *next + count;
  while (*next < end) {
    std::vector<uint8_t> r = makeRecord(*next, kRecord);
    Outcome o = d->writeRecord(r.data(), kRecord);
    if (!written(o)) return o;
    if (*next == faultAfter && fault) fault();
    ++*next;
  }
  return Outcome::done;
}

// The first file: 100 records and a filemark, durable.
void writeFirstFile(TapeDrive* d, uint64_t* next) {
  ASSERT_EQ(d->rewind(), Outcome::done) << d->lastError();
  ASSERT_EQ(writeUntil(d, next, 100), Outcome::done) << d->lastError();
  ASSERT_EQ(d->writeFilemarks(1), Outcome::done) << d->lastError();
  ASSERT_EQ(d->recordsDurable(), 100u);
}

// After a fault during the second file: reconcile, check what it found
// against what was acknowledged and sent, append after it, and read the
// whole tape back.
void reconcileAppendAndCheck(TapeDrive* d, uint64_t acknowledged, uint64_t submitted,
                             const char* fault, bool imageMayTear = false) {
  ReconcileReport report;
  Outcome o = d->reconcile(&report);
  if (imageMayTear && o == Outcome::memberFailed) {
    // tgt killed while it wrote a block's header can leave an image it
    // cannot space through (MEDIUM FORMAT CORRUPTED): the member says it
    // failed, and writes nothing more.
    EXPECT_EQ(d->state(), DriveState::failed);
    std::vector<uint8_t> r = makeRecord(submitted, kRecord);
    EXPECT_FALSE(written(d->writeRecord(r.data(), kRecord)));
    std::printf("%s: the image was left torn; the member failed: %s\n", fault,
                d->lastError().c_str());
    return;
  }
  ASSERT_EQ(o, Outcome::done) << outcomeName(o) << ": " << d->lastError();
  EXPECT_EQ(d->state(), DriveState::ready);
  EXPECT_EQ(report.inFlightAtFault, submitted - acknowledged);
  ASSERT_EQ(report.last, LastObject::record);
  uint64_t last = 0;
  if (!checkRecord(report.record, &last)) {
    // tgt writes a block's header before its data: a target killed between
    // the two leaves a last block that fails its check. It is a record
    // that was in flight and never landed whole, so the member spaces back
    // over it and writes again from the record before it.
    ASSERT_GE(report.tail.size(), 2u);
    ASSERT_GT(report.inFlightAtFault, 0u);
    report.tail.pop_back();
    ASSERT_FALSE(report.tail.back().filemark);
    ASSERT_TRUE(checkRecord(report.tail.back().record, &last)) << "two bad records at the end";
    ASSERT_EQ(d->spaceBackRecords(1), Outcome::done) << d->lastError();
    --report.inFlightAtFault;
  }
  // The tape ends with an acknowledged record or one that was in flight:
  // never before the acknowledged ones, never with one never sent.
  EXPECT_GE(last + 1, acknowledged);
  EXPECT_LE(last + 1, submitted);
  // The tail shows the last acknowledged record and whatever of the
  // in-flight ones landed after it, in order.
  EXPECT_EQ(report.tail.size(), report.inFlightAtFault + 1);
  std::string why;
  EXPECT_TRUE(tailContinues(report, acknowledged - 1, submitted, &why)) << why;
  std::printf("%s: %llu acknowledged, %llu sent, the tape ends with record %llu\n", fault,
              static_cast<unsigned long long>(acknowledged),
              static_cast<unsigned long long>(submitted), static_cast<unsigned long long>(last));
  // The caller compared: the member goes on after the last record.
  uint64_t next = last + 1;
  ASSERT_EQ(writeUntil(d, &next, 10), Outcome::done) << d->lastError();
  ASSERT_EQ(d->writeFilemarks(1), Outcome::done) << d->lastError();
  TapeScan scan = scanTape(d);
  EXPECT_EQ(scan.end, Outcome::endOfData) << scan.error;
  EXPECT_EQ(scan.bad, 0u);
  EXPECT_TRUE(contiguous(scan.records)) << join(scan.objects);
  EXPECT_EQ(scan.records.size(), next);
  ASSERT_GE(scan.objects.size(), 102u);
  EXPECT_EQ(scan.objects[100], "FM");  // the first file is where it was
  EXPECT_EQ(scan.objects.back(), "FM");
}

// kill -9 of tgtd with writes in flight, then a restart on the same image.
TEST(TapeFaultTgt, TargetKilledMidWriteAndRestarted) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(oneDrive());
  ASSERT_TRUE(target.start()) << target.error();
  auto d = openDrive(target, 0, testDriveOptions(8));
  ASSERT_NE(d, nullptr);
  uint64_t next = 0;
  writeFirstFile(d.get(), &next);
  Outcome o = writeUntil(d.get(), &next, 200, 150, [&] { ASSERT_TRUE(target.kill9()); });
  EXPECT_EQ(o, Outcome::transport) << d->lastError();
  EXPECT_EQ(d->state(), DriveState::needsReconcile);
  uint64_t acknowledged = d->recordsAcknowledged(), submitted = d->recordsSubmitted();
  EXPECT_LT(acknowledged, submitted);
  // Nothing goes out until the member is reconciled.
  std::vector<uint8_t> r = makeRecord(next, kRecord);
  EXPECT_EQ(d->writeRecord(r.data(), kRecord), Outcome::positionLost);
  EXPECT_EQ(d->writeFilemarks(1), Outcome::positionLost);
  EXPECT_EQ(d->recordsSubmitted(), submitted);
  // With the target down, reconcile fails within the login timeout.
  ReconcileReport report;
  EXPECT_EQ(d->reconcile(&report), Outcome::transport);
  EXPECT_EQ(d->state(), DriveState::needsReconcile);
  ASSERT_TRUE(target.restart()) << target.error();
  reconcileAppendAndCheck(d.get(), acknowledged, submitted, "kill -9", true);
  auto* iscsi = dynamic_cast<IscsiTransport*>(&d->transport());
  ASSERT_NE(iscsi, nullptr);
  EXPECT_EQ(iscsi->logins(), 2);  // the first and the reconcile's: no other
}

// The target ends the connection (tgtadm --op delete --mode conn).
TEST(TapeFaultTgt, ConnectionDroppedMidWrite) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(oneDrive());
  ASSERT_TRUE(target.start()) << target.error();
  auto d = openDrive(target, 0, testDriveOptions(8));
  ASSERT_NE(d, nullptr);
  uint64_t next = 0;
  writeFirstFile(d.get(), &next);
  int dropped = 0;
  Outcome o = writeUntil(d.get(), &next, 200, 150,
                         [&] { ASSERT_TRUE(target.dropConnections(&dropped)) << target.error(); });
  EXPECT_EQ(dropped, 1);
  EXPECT_EQ(o, Outcome::transport) << d->lastError();
  EXPECT_EQ(d->state(), DriveState::needsReconcile);
  reconcileAppendAndCheck(d.get(), d->recordsAcknowledged(), d->recordsSubmitted(),
                          "dropped connection");
}

// tgtd stopped (SIGSTOP) with writes in flight: the member's command
// timeout ends the wait; reconcile fails while the target stays frozen and
// succeeds once it runs again.
TEST(TapeFaultTgt, TargetFrozenPastTheTimeout) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(oneDrive());
  ASSERT_TRUE(target.start()) << target.error();
  TapeDriveOptions options = testDriveOptions(8);
  options.commandTimeoutMs = 1500;
  auto d = openDrive(target, 0, options);
  ASSERT_NE(d, nullptr);
  uint64_t next = 0;
  writeFirstFile(d.get(), &next);
  Outcome o = writeUntil(d.get(), &next, 200, 150, [&] { ASSERT_TRUE(target.freeze()); });
  EXPECT_EQ(o, Outcome::transport);
  EXPECT_NE(d->lastError().find("no answer"), std::string::npos) << d->lastError();
  EXPECT_EQ(d->state(), DriveState::needsReconcile);
  uint64_t acknowledged = d->recordsAcknowledged(), submitted = d->recordsSubmitted();
  ReconcileReport report;
  EXPECT_EQ(d->reconcile(&report), Outcome::transport) << d->lastError();
  EXPECT_EQ(d->state(), DriveState::needsReconcile);
  ASSERT_TRUE(target.thaw());
  reconcileAppendAndCheck(d.get(), acknowledged, submitted, "frozen target");
}

// The file system under the image fills (a small tmpfs, or a file size
// limit on tgtd, which also stands in where this process may not mount):
// tgt answers MEDIUM ERROR, the member fails and writes nothing more; every
// acknowledged record reads back.
TEST(TapeFaultTgt, FileSystemUnderTheImageFull) {
  SKIP_WITHOUT_TGT();
  for (TgtSpaceLimit kind : {TgtSpaceLimit::tmpfs, TgtSpaceLimit::fileSizeLimit}) {
    TgtOptions options = oneDrive(uint64_t{3} * 1048576);
    options.imageSpace = kind;
    TgtTarget target(options);
    ASSERT_TRUE(target.start()) << target.error();
    const char* made = target.spaceLimit() == TgtSpaceLimit::tmpfs ? "tmpfs" : "file size limit";
    SCOPED_TRACE(made);
    if (kind == TgtSpaceLimit::tmpfs && target.spaceLimit() != kind) {
      std::printf("no tmpfs here (no right to mount): the file size limit stands in\n");
    }
    auto d = openDrive(target, 0, testDriveOptions(4));
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->rewind(), Outcome::done);
    uint64_t next = 0;
    Outcome o = writeUntil(d.get(), &next, 200);
    EXPECT_EQ(o, Outcome::memberFailed) << d->lastError();
    EXPECT_EQ(d->state(), DriveState::failed);
    uint64_t acknowledged = d->recordsAcknowledged(), submitted = d->recordsSubmitted();
    EXPECT_GT(acknowledged, 20u);
    EXPECT_LT(acknowledged, 48u);
    // Nothing more is sent to a failed member.
    std::vector<uint8_t> r = makeRecord(next, kRecord);
    EXPECT_EQ(d->writeRecord(r.data(), kRecord), Outcome::memberFailed);
    EXPECT_EQ(d->writeFilemarks(1), Outcome::memberFailed);
    EXPECT_EQ(d->recordsSubmitted(), submitted);
    EXPECT_EQ(d->open(), Outcome::done);  // opening again forgets nothing
    EXPECT_EQ(d->state(), DriveState::failed);
    EXPECT_EQ(d->writeRecord(r.data(), kRecord), Outcome::memberFailed);
    // tgt's own answer to a filemark on the full file system: GOOD, though
    // nothing could be written (its errors are not checked).
    Command wfm;
    wfm.cdb = writeFilemarks6(1);
    wfm.timeoutMs = 5000;
    EXPECT_TRUE(d->info().quirks.filemarkErrorsHidden);
    EXPECT_EQ(d->command(wfm).outcome, Outcome::done);

    // Read back from a new session: the acknowledged records, in order,
    // then at most what was in flight, then the end.
    auto reader = openDrive(target, 0);
    ASSERT_NE(reader, nullptr);
    TapeScan scan = scanTape(reader.get());
    std::printf("full file system (%s): %llu acknowledged, %llu sent; read back: %s, then %s\n",
                made, static_cast<unsigned long long>(acknowledged),
                static_cast<unsigned long long>(submitted), join(scan.objects, 3).c_str(),
                outcomeName(scan.end));
    EXPECT_TRUE(contiguous(scan.records)) << join(scan.objects);
    EXPECT_GE(scan.records.size(), acknowledged);
    EXPECT_LE(scan.records.size(), submitted);
    EXPECT_LE(scan.bad, 1u);  // a record torn by the full file system, never served as sound
  }
}

// LUN RESET sent by another initiator (its own session): every session of
// the LUN gets a unit attention on its next command.
bool resetFromAnotherInitiator(const TgtTarget& target, int lun) {
  iscsi_context* c = iscsi_create_context("iqn.2008-11.invalid.zephlorn:another-initiator");
  if (c == nullptr) return false;
  iscsi_set_targetname(c, target.iqn().c_str());
  iscsi_set_session_type(c, ISCSI_SESSION_NORMAL);
  std::string portal = target.host() + ":" + std::to_string(target.port());
  bool ok = iscsi_full_connect_sync(c, portal.c_str(), lun) == 0 &&
            iscsi_task_mgmt_lun_reset_sync(c, static_cast<uint32_t>(lun)) == 0;
  if (ok) iscsi_logout_sync(c);
  iscsi_destroy_context(c);
  return ok;
}

// Another initiator resets the LUN while the member has nothing in flight;
// the member then queues 8 writes. The first meets the unit attention: the
// member stops and needs reconciling. What reconcile reads is what the tape
// holds; a write refused ahead of others that ran shows as a gap in the
// tail, never hidden.
TEST(TapeFaultTgt, UnitAttentionFromAnotherInitiator) {
  SKIP_WITHOUT_TGT();
  TgtTarget target(oneDrive());
  ASSERT_TRUE(target.start()) << target.error();
  auto d = openDrive(target, 0, testDriveOptions(8));
  ASSERT_NE(d, nullptr);
  uint64_t next = 0;
  writeFirstFile(d.get(), &next);
  ASSERT_EQ(writeUntil(d.get(), &next, 50), Outcome::done);
  ASSERT_EQ(d->flush(), Outcome::done);
  ASSERT_TRUE(resetFromAnotherInitiator(target, target.driveLun(0)));
  Outcome o = writeUntil(d.get(), &next, 50);
  EXPECT_EQ(o, Outcome::positionLost) << d->lastError();
  EXPECT_EQ(d->state(), DriveState::needsReconcile);
  uint64_t acknowledged = d->recordsAcknowledged(), submitted = d->recordsSubmitted();
  EXPECT_EQ(acknowledged, 150u);
  ReconcileReport report;
  ASSERT_EQ(d->reconcile(&report), Outcome::done) << d->lastError();
  std::vector<std::string> tail = describeTail(report);
  std::string why;
  bool continues = tailContinues(report, acknowledged - 1, submitted, &why);
  std::printf("unit attention: %llu acknowledged, %llu sent; tail: %s; %s\n",
              static_cast<unsigned long long>(acknowledged),
              static_cast<unsigned long long>(submitted), join(tail).c_str(),
              continues ? "continues" : why.c_str());
  // The tail is the tape's: the same objects a full read ends with.
  TapeScan scan = scanTape(d.get());
  EXPECT_EQ(scan.end, Outcome::endOfData) << scan.error;
  ASSERT_GE(scan.objects.size(), tail.size());
  std::vector<std::string> end(scan.objects.end() - static_cast<long>(tail.size()),
                               scan.objects.end());
  EXPECT_EQ(end, tail);
  // Everything acknowledged is there, in order, each once.
  ASSERT_GE(scan.records.size(), acknowledged);
  std::vector<uint64_t> acked(scan.records.begin(),
                              scan.records.begin() + static_cast<long>(acknowledged));
  EXPECT_TRUE(contiguous(acked));
  // The caller's repair: back over what follows the last acknowledged
  // record, write again from there on; the tape is whole.
  size_t after = 0;
  while (after < tail.size() && tail[tail.size() - 1 - after] != "R149") ++after;
  ASSERT_LT(after, tail.size());
  ASSERT_EQ(d->spaceToEndOfData(), Outcome::done);
  ASSERT_EQ(d->spaceBackRecords(static_cast<uint32_t>(after)), Outcome::done) << d->lastError();
  next = acknowledged;
  ASSERT_EQ(writeUntil(d.get(), &next, 10), Outcome::done) << d->lastError();
  ASSERT_EQ(d->writeFilemarks(1), Outcome::done);
  scan = scanTape(d.get());
  EXPECT_EQ(scan.end, Outcome::endOfData) << scan.error;
  EXPECT_TRUE(contiguous(scan.records)) << join(scan.objects);
  EXPECT_EQ(scan.records.size(), acknowledged + 10);
}

struct Damage {
  const char* what;
  std::function<bool(TgtTarget&)> apply;
  const char* expected;  // the tape as read back, and how the scan ends
  Outcome end;
  Outcome reconcile;  // what reconcile says afterwards
};

uint64_t headerOf(uint64_t record) {
  return TgtTarget::kImageFirstObject + record * (kRecord + TgtTarget::kImageHeaderBytes);
}

// A written tape (20 records, a filemark) damaged in its image.
TEST(TapeFaultTgt, DamagedImage) {
  SKIP_WITHOUT_TGT();
  const Damage cases[] = {
      {"bytes of record 10 overwritten",
       [](TgtTarget& t) {
         return t.damageImage("T00001", headerOf(10) + TgtTarget::kImageHeaderBytes + 1000,
                              std::vector<uint8_t>(4096, 0));
       },
       "R0 R1 R2 R3 R4 R5 R6 R7 R8 R9 BAD R11 R12 R13 R14 R15 R16 R17 R18 R19 FM",
       Outcome::endOfData, Outcome::done},
      {"image cut inside record 15",
       [](TgtTarget& t) {
         return t.truncateImage("T00001", headerOf(15) + TgtTarget::kImageHeaderBytes + 30000);
       },
       "R0 R1 R2 R3 R4 R5 R6 R7 R8 R9 R10 R11 R12 R13 R14", Outcome::memberFailed,
       Outcome::memberFailed},
      {"header of record 5 zeroed",
       [](TgtTarget& t) {
         return t.damageImage("T00001", headerOf(5),
                              std::vector<uint8_t>(TgtTarget::kImageHeaderBytes, 0));
       },
       "R0 R1 R2 R3 R4", Outcome::memberFailed, Outcome::transport},
  };
  for (const Damage& c : cases) {
    SCOPED_TRACE(c.what);
    TgtTarget target(oneDrive());
    ASSERT_TRUE(target.start()) << target.error();
    TapeDriveOptions options = testDriveOptions(4);
    options.motionTimeoutMs = 2000;
    options.commandTimeoutMs = 2000;
    auto d = openDrive(target, 0, options);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->rewind(), Outcome::done);
    uint64_t next = 0;
    ASSERT_EQ(writeUntil(d.get(), &next, 20), Outcome::done);
    ASSERT_EQ(d->writeFilemarks(1), Outcome::done);
    ASSERT_TRUE(c.apply(target)) << target.error();
    TapeScan scan = scanTape(d.get());
    EXPECT_EQ(join(scan.objects), c.expected);
    EXPECT_EQ(scan.end, c.end) << outcomeName(scan.end) << ": " << scan.error;
    ReconcileReport report;
    Outcome o = d->reconcile(&report);
    EXPECT_EQ(o, c.reconcile) << outcomeName(o) << ": " << d->lastError();
    std::printf("%s: read back \"%s\", then %s (%s); reconcile: %s (%s)\n", c.what,
                join(scan.objects, 3).c_str(), outcomeName(scan.end), scan.error.c_str(),
                outcomeName(o), d->lastError().c_str());
  }
}

}  // namespace
}  // namespace mox::scsi::test
