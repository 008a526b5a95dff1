// The read-ahead of a tape member: reading forward, up to readDepth READs
// in flight, their objects handed over one per next(), in tape order.
//
// A READ sent ahead may pass a filemark or meet the end of data the caller
// has not reached: the objects it reads are kept (no more READs are sent
// past the first such object until the caller takes it), and the member's
// position is always where the caller stands. Every other command first
// puts the tape back there: a rewind or an unload drops what was read
// ahead (drop()), spacing forward takes it as passed (pass()), and a
// write, a backward space or a raw command spaces back over it (settle():
// one SPACE over blocks on a drive that counts filemarks as blocks,
// otherwise records and filemarks each by their own SPACE). READs that met
// the end of data did not move the tape. A READ sent ahead that failed
// loses the position as a READ of the caller's would.
//
// The length a READ asks for is guessed: on a drive that delivers a short
// block only in part unless asked for twice its length, the member asks
// for the length the last records had while they come with one length,
// and reads a block of another length again with its own.
//
// Not thread-safe: one member, one thread at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "engine/scsi/member_state.h"

namespace mox::scsi {

class ReadAhead {
 public:
  explicit ReadAhead(MemberState& member);
  // READs sent ahead are waited for: their buffers belong to this object.
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The next object (the member is ready and no write is queued): the
  // record copied to `buffer`, or (buffer null) left in place at *data
  // and lent until returnLent(). done, filemark (the position is then
  // past it), endOfData, longBlock (a record larger than the capacity;
  // skipped), or an error.
  Outcome next(void* buffer, const uint8_t** data, uint32_t capacity, uint32_t* length);
  // Takes back the READ whose record next() lent.
  void returnLent();
  // Hands over the buffer that holds the record next() last lent: swapped
  // with *buffer, which the member keeps for its READs (no copy of the
  // record). False when no record is lent.
  bool takeLent(std::vector<uint8_t>* buffer);
  // READs sent ahead whose objects the caller has not taken yet (answered
  // or not).
  size_t size() const { return reads_.size(); }
  bool empty() const { return reads_.empty(); }

  // Takes the objects read ahead as passed, in order, until `*filemarks`
  // filemarks were (when not null) or none is left: the position is then
  // where the tape is. done, endOfData (met first), or an error.
  Outcome pass(int32_t* filemarks);
  // Puts the tape back where the caller stands, before the objects read
  // ahead: done, or an error (the position is then lost).
  Outcome settle();
  // Drops the objects read ahead before a command that moves the tape
  // anyway (rewind, unload). A unit attention or a lost session among them
  // still counts: its outcome, after the member's verdict.
  Outcome drop();
  // Waits for the READs sent ahead and forgets them, whatever they read.
  void discard();
  // Waits for the READs sent ahead to be answered; they stay, for next().
  void wait();

 private:
  struct Read;

  // The answer of a READ, classified once.
  const Answer& answer(Read& read);
  // Sends READs until readDepth are in flight, unless one already answered
  // with something other than a record (a filemark, the end of data, an
  // error): the tape is not read further past it.
  void send();
  // Forgets the READs sent ahead (answered).
  void forget();
  // The object of the oldest READ taken by the caller: the position follows
  // it. done, filemark, endOfData, longBlock, or an error (faulted, the
  // READs after it dropped).
  Outcome take(Read& read, void* buffer, const uint8_t** data, uint32_t capacity, uint32_t* length);
  // The length the next READ asks for.
  uint32_t request() const;
  // A record of `length` bytes was read.
  void noteLength(uint32_t length);
  // The READ asked for a length the block does not have and did not bring
  // all of it: true, with the length to read it again with in *again.
  bool missedLength(Read& read, uint32_t* again);
  // Spaces back before the block of `read` and reads it again, asking for
  // `length` bytes: done (the new answer in `read`), or the position lost.
  Outcome readAgain(Read& read, uint32_t length);

  MemberState& m_;
  std::deque<std::unique_ptr<Read>> reads_;  // READs sent ahead, in tape order
  std::vector<std::unique_ptr<Read>> spare_;
  std::unique_ptr<Read> lent_;  // the READ whose record next() handed out
  // The lengths of the records read: the last one, how many in a row had
  // it, and how many more are read with the whole room after a block that
  // had another length.
  static constexpr int kFullReadsAfterMiss = 32;
  uint32_t lastLength_ = 0;
  int sameLength_ = 0;
  int fullReads_ = 0;
};

}  // namespace mox::scsi
