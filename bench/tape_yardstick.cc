// tape_yardstick: what a plain iSCSI client gets out of tape drives, the
// figure a RAID 0 group of the engine over the same drives is held against.
//
//   tape_yardstick (--url iscsi://HOST[:PORT]/IQN/LUN ... | --tgt N)
//                  [--block BYTES] [--depth D] [--size BYTES] [--repeat R]
//                  [--verify [--data MODE]] [--tgtd-pid PID] [--json FILE]
//
// Each drive gets one thread and its own libiscsi session (automatic
// reconnect off). A pass writes SIZE bytes in blocks of BLOCK bytes
// (WRITE(6), variable block mode) with D commands in flight and a filemark
// after the last block, waited for (the time ends when the filemark is
// answered: on tgt that is the flush of the image); then it rewinds and
// reads the blocks back with D READ(6) in flight. All drives at once first:
// the threads start together, and the figure is the bytes of all of them
// over the time from the first start to the last end. On new cartridges
// that pass is the first to write their images, as a session of a group on
// new cartridges is (a block written over one already there costs tgt
// less). Then every drive alone, one after the other. Figures are MiB/s,
// the median of R runs.
//
// The plain form writes the same few buffers of random bytes over and over
// and looks at nothing it reads. The program's streams do more for every
// block: they fill it from the generator of their data and check every byte
// of it read back. --verify measures that form too, beside the plain one:
// each tape block is filled by the program's block generator
// (backup/block_data.h) before its WRITE is sent, and checked whole against
// it when its READ answers. A tape block is the program's data blocks (64
// KiB each, MODE of --data, random by default: fillDataBlock as a stream
// writer fills them, session 1, the drive as the stream, a block number
// running on from tape block to tape block, the first test offset a run
// draws) end to end; the bytes after the last whole one (the 40 bytes of a
// record's header in a block of 65576, one record of the engine) are
// generator bytes of their own (zeros in classic mode). A block read back
// that differs is counted, the count is shown and the exit status is 1.
// Each measurement runs the verified form first, so that the first pass on
// new cartridges is a verified one; the figures and the JSON name their
// form ("form": "plain" or "verified", and "mismatches" of the verified).
//
// --tgt N starts a private tgtd (loopback, its own socket directory) with
// N tape drives on images in $TMPDIR, set for speed (InitialR2T=No, bursts
// of 4 MiB); its processor seconds are shown beside each figure, as on a
// small machine tgtd's processor is what limits the drives. --tgtd-pid
// names the tgtd behind --url drives, for the same figures. The client's
// own processor seconds in each pass are shown too.
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "backup/block_data.h"
#include "testing/tgt_target.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::vector<std::string> urls;
  int tgtDrives = 0;
  uint32_t block = 256 * 1024;
  int depth = 4;
  uint64_t size = 1024ull * 1024 * 1024;
  int repeat = 3;
  pid_t tgtdPid = -1;
  std::string json;
  bool verify = false;
  DataSpec data{kDataRandom, 0};
};

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr,
               "tape_yardstick: %s\n"
               "usage: tape_yardstick (--url iscsi://HOST[:PORT]/IQN/LUN ... | --tgt N)\n"
               "                      [--block BYTES] [--depth D] [--size BYTES] [--repeat R]\n"
               "                      [--verify [--data MODE]] [--tgtd-pid PID] [--json FILE]\n",
               why);
  std::exit(2);
}

// A whole number with an optional K, M or G (powers of 1024), in [lo, hi].
uint64_t number(const std::string& name, const std::string& text, uint64_t lo, uint64_t hi) {
  uint64_t v = 0;
  size_t i = 0;
  bool ok = !text.empty();
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (v > (~0ull - 9) / 10) ok = false;
    v = v * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (i == 0) ok = false;
  if (ok && i < text.size()) {
    int shift = 0;
    switch (text[i]) {
      case 'K':
      case 'k':
        shift = 10;
        break;
      case 'M':
      case 'm':
        shift = 20;
        break;
      case 'G':
      case 'g':
        shift = 30;
        break;
      default:
        ok = false;
    }
    if (i + 1 != text.size() || (shift > 0 && v > (~0ull >> shift))) ok = false;
    v <<= shift;
  }
  if (!ok || v < lo || v > hi) {
    std::string why = name + " takes a whole number (K, M, G allowed) from " + std::to_string(lo) +
                      " to " + std::to_string(hi) + ", not \"" + text + "\"";
    usage(why.c_str());
  }
  return v;
}

Options parse(int argc, char** argv) {
  Options o;
  bool dataGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage((a + " needs a value").c_str());
      return argv[++i];
    };
    if (a == "--url") {
      o.urls.push_back(value());
    } else if (a == "--tgt") {
      o.tgtDrives = static_cast<int>(number(a, value(), 1, 16));
    } else if (a == "--block") {
      o.block = static_cast<uint32_t>(number(a, value(), 1, 0xFFFFFF));
    } else if (a == "--depth") {
      o.depth = static_cast<int>(number(a, value(), 1, 64));
    } else if (a == "--size") {
      o.size = number(a, value(), 1, 1ull << 44);
    } else if (a == "--repeat") {
      o.repeat = static_cast<int>(number(a, value(), 1, 100));
    } else if (a == "--tgtd-pid") {
      o.tgtdPid = static_cast<pid_t>(number(a, value(), 1, 0x7FFFFFFF));
    } else if (a == "--json") {
      o.json = value();
    } else if (a == "--verify") {
      o.verify = true;
    } else if (a == "--data") {
      std::string mode = value();
      if (!parseDataSpec(mode.c_str(), &o.data)) {
        usage(("--data takes classic, random or compress=N, not \"" + mode + "\"").c_str());
      }
      dataGiven = true;
    } else {
      usage(("unknown option " + a).c_str());
    }
  }
  if (o.urls.empty() == (o.tgtDrives == 0)) usage("give --url (one per drive) or --tgt N");
  if (o.size < o.block) usage("--size is smaller than one block");
  if (dataGiven && !o.verify) usage("--data is the data of --verify");
  return o;
}

double seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Processor seconds (user + system) of a process, from /proc; -1 unknown.
double processSeconds(pid_t pid) {
  if (pid <= 0) return -1;
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(stat.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The session of the verified form's data blocks, and the test offset of
// their pattern text: the first one a run of the program draws.
constexpr int32_t kSession = 1;
constexpr int32_t kTestOffset = 41;

// The bytes of the verified form's tape blocks of one drive: the program's
// data blocks end to end, then generator bytes up to the block's end (see
// the top of the file). Each fill and check builds what it needs in a
// buffer of its own, so one drive's thread uses one.
class BlockData {
 public:
  BlockData(const DataSpec& data, uint32_t block, int32_t stream)
      : data_(data),
        stream_(stream),
        whole_(block / kBlockBytes),
        rest_(block % kBlockBytes),
        scratch_(std::max<size_t>(kBlockBytes, (size_t{rest_} + 63) / 64 * 64)) {}

  // Fills tape block `number` (of the block size given).
  void fill(uint8_t* out, uint64_t number) {
    for (uint32_t k = 0; k < whole_; ++k) {
      fillDataBlock(out + static_cast<size_t>(k) * kBlockBytes, data_, kSession, stream_,
                    dataBlockNumber(number, k), kTestOffset);
    }
    if (rest_ == 0) return;
    fillRest(number);
    std::memcpy(out + static_cast<size_t>(whole_) * kBlockBytes, scratch_.data(), rest_);
  }

  // True when tape block `number` read back holds every byte fill wrote.
  bool matches(const uint8_t* in, uint64_t number) {
    for (uint32_t k = 0; k < whole_; ++k) {
      if (!dataBlockMatches(in + static_cast<size_t>(k) * kBlockBytes, data_, kSession, stream_,
                            dataBlockNumber(number, k), kTestOffset, scratch_.data(), nullptr)) {
        return false;
      }
    }
    if (rest_ == 0) return true;
    fillRest(number);
    return compareBytes(scratch_.data(), in + static_cast<size_t>(whole_) * kBlockBytes, rest_, 0,
                        nullptr);
  }

 private:
  // The data blocks are numbered on from tape block to tape block; past
  // 2^31 of them the numbers wrap, and blocks far apart share their bytes.
  int32_t dataBlockNumber(uint64_t number, uint32_t k) const {
    return static_cast<int32_t>(static_cast<uint32_t>(number * whole_ + k));
  }

  // The bytes after the last whole data block of tape block `number`, in
  // scratch_: the generator's bytes seeded as a data block of the next
  // session, numbered by the tape block (zeros in classic mode).
  void fillRest(uint64_t number) {
    if (data_.mode == kDataClassic) {
      std::memset(scratch_.data(), 0, rest_);
      return;
    }
    const uint64_t seed =
        dataBlockSeed(kSession + 1, stream_, static_cast<int32_t>(static_cast<uint32_t>(number)));
    fillGeneratedBytes(scratch_.data(), (size_t{rest_} + 63) / 64 * 64, seed);
  }

  DataSpec data_;
  int32_t stream_;
  uint32_t whole_;  // whole data blocks in a tape block
  uint32_t rest_;   // bytes after them
  std::vector<uint8_t> scratch_;
};

// One drive through one libiscsi session: nothing but what libiscsi gives.
class Session {
 public:
  ~Session() {
    if (context_ != nullptr) {
      iscsi_logout_sync(context_);
      iscsi_destroy_context(context_);
    }
  }

  bool open(const std::string& url, int index) {
    std::string initiator = "iqn.2008-11.invalid.zephlorn:yardstick-" + std::to_string(index);
    context_ = iscsi_create_context(initiator.c_str());
    if (context_ == nullptr) return fail("cannot create an iSCSI context");
    iscsi_url* u = iscsi_parse_full_url(context_, url.c_str());
    if (u == nullptr) return fail(iscsi_get_error(context_));
    lun_ = u->lun;
    iscsi_set_targetname(context_, u->target);
    iscsi_set_session_type(context_, ISCSI_SESSION_NORMAL);
    iscsi_set_noautoreconnect(context_, 1);
    iscsi_set_initial_r2t(context_, ISCSI_INITIAL_R2T_NO);
    iscsi_set_immediate_data(context_, ISCSI_IMMEDIATE_DATA_YES);
    std::string portal = u->portal;
    iscsi_destroy_url(u);
    // Logs in and waits out the unit attentions of a new session.
    if (iscsi_full_connect_sync(context_, portal.c_str(), lun_) != 0) {
      return fail(iscsi_get_error(context_));
    }
    // Variable block mode: MODE SELECT(6) with a block descriptor of
    // length 0.
    unsigned char list[12] = {0, 0, 0x10, 8, 0, 0, 0, 0, 0, 0, 0, 0};
    unsigned char select[6] = {0x15, 0x10, 0, 0, 12, 0};
    if (!command(select, SCSI_XFER_WRITE, list, sizeof list)) return false;
    return true;
  }

  bool rewind() {
    unsigned char cdb[6] = {0x01, 0, 0, 0, 0, 0};
    return command(cdb, SCSI_XFER_NONE, nullptr, 0);
  }

  // `blocks` WRITE(6) or READ(6) of `block` bytes, `depth` in flight; after
  // writes one filemark, waited for. With `verified`, each block written is
  // filled by it and each block read is checked against it (mismatches()
  // counts those that differ); without, the same few random buffers are
  // written and nothing read is looked at.
  bool stream(bool write, uint64_t blocks, uint32_t block, int depth, BlockData* verified) {
    struct Slot {
      Session* self = nullptr;
      scsi_task* task = nullptr;
      bool busy = false;
      int status = 0;
      uint64_t number = 0;  // the tape block the command writes or reads
      std::vector<unsigned char> data;
    };
    std::vector<Slot> slots(static_cast<size_t>(depth));
    std::mt19937_64 random(42);
    for (Slot& s : slots) {
      s.self = this;
      s.data.resize(block);
      if (write && verified == nullptr) {
        for (auto& b : s.data) b = static_cast<unsigned char>(random());
      }
    }
    auto callback = [](iscsi_context*, int status, void*, void* priv) {
      auto* s = static_cast<Slot*>(priv);
      s->status = status;
      s->busy = false;
      --s->self->inflight_;
    };
    uint64_t sent = 0, answered = 0;
    inflight_ = 0;
    while (answered < blocks) {
      for (Slot& s : slots) {
        if (s.busy && s.task != nullptr) continue;
        if (s.task != nullptr) {
          if (s.status != SCSI_STATUS_GOOD) {
            return fail(std::string(write ? "WRITE" : "READ") +
                        " failed: " + iscsi_get_error(context_));
          }
          scsi_free_scsi_task(s.task);
          s.task = nullptr;
          ++answered;
          if (!write && verified != nullptr && !verified->matches(s.data.data(), s.number)) {
            ++mismatches_;
          }
        }
        if (sent == blocks) continue;
        s.number = sent;
        if (write && verified != nullptr) verified->fill(s.data.data(), s.number);
        unsigned char cdb[6] = {static_cast<unsigned char>(write ? 0x0A : 0x08),
                                0,
                                static_cast<unsigned char>(block >> 16),
                                static_cast<unsigned char>(block >> 8),
                                static_cast<unsigned char>(block),
                                0};
        s.task = scsi_create_task(6, cdb, write ? SCSI_XFER_WRITE : SCSI_XFER_READ,
                                  static_cast<int>(block));
        iscsi_data out{block, s.data.data()};
        if (!write) scsi_task_add_data_in_buffer(s.task, static_cast<int>(block), s.data.data());
        s.busy = true;
        ++inflight_;
        if (iscsi_scsi_command_async(context_, lun_, s.task, callback, write ? &out : nullptr,
                                     &s) != 0) {
          return fail(iscsi_get_error(context_));
        }
        ++sent;
      }
      if (answered == blocks) break;
      if (!service()) return false;
    }
    if (!write) return true;
    unsigned char filemark[6] = {0x10, 0, 0, 0, 1, 0};
    return command(filemark, SCSI_XFER_NONE, nullptr, 0);
  }

  const std::string& error() const { return error_; }
  // Blocks read back that differ from the blocks written, over every
  // verified pass of this session.
  uint64_t mismatches() const { return mismatches_; }

 private:
  bool fail(const std::string& why) {
    error_ = why;
    return false;
  }

  bool service() {
    pollfd pfd{iscsi_get_fd(context_), static_cast<short>(iscsi_which_events(context_)), 0};
    int r = poll(&pfd, 1, 1000);
    if (r < 0) return fail(std::string("poll: ") + std::strerror(errno));
    if (iscsi_service(context_, r > 0 ? pfd.revents : 0) < 0) {
      return fail(iscsi_get_error(context_));
    }
    return true;
  }

  bool command(unsigned char* cdb, int dir, unsigned char* data, uint32_t length) {
    scsi_task* task = scsi_create_task(6, cdb, dir, static_cast<int>(length));
    iscsi_data out{length, data};
    scsi_task* done =
        iscsi_scsi_command_sync(context_, lun_, task, dir == SCSI_XFER_WRITE ? &out : nullptr);
    bool ok = done != nullptr && done->status == SCSI_STATUS_GOOD;
    if (!ok) {
      char what[64];
      std::snprintf(what, sizeof what, "command %02Xh failed: ", cdb[0]);
      error_ = what + std::string(iscsi_get_error(context_));
    }
    scsi_free_scsi_task(task);
    return ok;
  }

  iscsi_context* context_ = nullptr;
  int lun_ = 0;
  int inflight_ = 0;
  uint64_t mismatches_ = 0;
  std::string error_;
};

struct Figure {
  double writeMiBs = 0, readMiBs = 0;
  double writeTgtd = -1, readTgtd = -1;  // tgtd's processor seconds in the pass
  double writeSelf = 0, readSelf = 0;    // this process's processor seconds in the pass
  uint64_t mismatches = 0;               // verified form: blocks read back that differ
};

// One run over `drives` (indexes into urls) together: write, then read;
// `verified`: the verified form.
bool runOnce(const Options& o, const std::vector<std::string>& urls, const std::vector<int>& drives,
             bool verified, pid_t tgtd, Figure* f, std::string* error) {
  size_t n = drives.size();
  std::vector<std::unique_ptr<Session>> sessions(n);
  std::vector<std::unique_ptr<BlockData>> data(n);
  for (size_t i = 0; i < n; ++i) {
    if (verified) data[i] = std::make_unique<BlockData>(o.data, o.block, drives[i]);
    sessions[i] = std::make_unique<Session>();
    if (!sessions[i]->open(urls[static_cast<size_t>(drives[i])], drives[i]) ||
        !sessions[i]->rewind()) {
      *error = urls[static_cast<size_t>(drives[i])] + ": " + sessions[i]->error();
      return false;
    }
  }
  uint64_t blocks = o.size / o.block;
  double bytes = static_cast<double>(blocks) * o.block * static_cast<double>(n);
  std::vector<Clock::time_point> start(n), end(n);
  std::vector<char> ok(n, 1);
  for (bool write : {true, false}) {
    std::barrier sync(static_cast<ptrdiff_t>(n));
    double cpu0 = processSeconds(tgtd);
    double self0 = processSeconds(getpid());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < n; ++i) {
      threads.emplace_back([&, i] {
        sync.arrive_and_wait();
        start[i] = Clock::now();
        ok[i] = sessions[i]->stream(write, blocks, o.block, o.depth, data[i].get());
        end[i] = Clock::now();
      });
    }
    for (auto& t : threads) t.join();
    double cpu = cpu0 < 0 ? -1 : processSeconds(tgtd) - cpu0;
    double self = processSeconds(getpid()) - self0;
    for (size_t i = 0; i < n; ++i) {
      if (!ok[i]) {
        *error = urls[static_cast<size_t>(drives[i])] + ": " + sessions[i]->error();
        return false;
      }
    }
    double span = seconds(*std::min_element(start.begin(), start.end()),
                          *std::max_element(end.begin(), end.end()));
    double rate = bytes / 1048576.0 / span;
    if (write) {
      f->writeMiBs = rate;
      f->writeTgtd = cpu;
      f->writeSelf = self;
      for (auto& s : sessions) {
        if (!s->rewind()) {
          *error = s->error();
          return false;
        }
      }
    } else {
      f->readMiBs = rate;
      f->readTgtd = cpu;
      f->readSelf = self;
    }
  }
  for (auto& s : sessions) f->mismatches += s->mismatches();
  return true;
}

// The medians of R runs; the mismatches of them all.
bool measure(const Options& o, const std::vector<std::string>& urls, const std::vector<int>& drives,
             bool verified, pid_t tgtd, Figure* f, std::string* error) {
  std::vector<Figure> runs(static_cast<size_t>(o.repeat));
  for (Figure& r : runs) {
    if (!runOnce(o, urls, drives, verified, tgtd, &r, error)) return false;
    f->mismatches += r.mismatches;
  }
  auto pick = [&](double Figure::*field) {
    std::vector<double> v;
    v.reserve(runs.size());
    for (const Figure& r : runs) v.push_back(r.*field);
    return median(v);
  };
  f->writeMiBs = pick(&Figure::writeMiBs);
  f->readMiBs = pick(&Figure::readMiBs);
  f->writeTgtd = pick(&Figure::writeTgtd);
  f->readTgtd = pick(&Figure::readTgtd);
  f->writeSelf = pick(&Figure::writeSelf);
  f->readSelf = pick(&Figure::readSelf);
  return true;
}

std::string cpu(double s) {
  if (s < 0) return "-";
  char b[32];
  std::snprintf(b, sizeof b, "%.2f", s);
  return b;
}

}  // namespace

// The whole program; main reports what it throws.
static int run(int argc, char** argv) {
  Options o = parse(argc, argv);
  // A session the target ends is an error of that pass, not the program's end.
  signal(SIGPIPE, SIG_IGN);
  std::unique_ptr<zeptest::TgtTarget> target;
  std::vector<std::string> urls = o.urls;
  if (o.tgtDrives > 0) {
    zeptest::TgtOptions t;
    t.drives = o.tgtDrives;
    for (int i = 0; i < o.tgtDrives; ++i) {
      t.cartridges.push_back(zeptest::TgtCartridge{"Y" + std::to_string(i),
                                                   static_cast<uint32_t>(o.size / 1048576 + 64)});
    }
    target = std::make_unique<zeptest::TgtTarget>(t);
    if (!target->start()) {
      std::fprintf(stderr, "tape_yardstick: cannot start tgtd: %s\n", target->error().c_str());
      return 1;
    }
    for (int i = 0; i < o.tgtDrives; ++i) urls.push_back(target->url(target->driveLun(i)));
  }
  pid_t tgtd = target ? target->pid() : o.tgtdPid;
  std::printf(
      "tape_yardstick: %zu drive(s), blocks of %u bytes, %d in flight, %llu MiB per drive, "
      "median of %d\n",
      urls.size(), o.block, o.depth, static_cast<unsigned long long>(o.size / 1048576), o.repeat);
  char mode[kDataNameSize];
  formatDataSpec(mode, sizeof mode, o.data);
  if (o.verify) {
    std::printf(
        "  verified: each block filled by the program's block generator (data %s) and checked "
        "whole on read\n",
        mode);
  }
  for (size_t i = 0; i < urls.size(); ++i) std::printf("  drive %zu: %s\n", i + 1, urls[i].c_str());
  // The rows of the verified form are longer by their ", verified".
  const int nameWidth = o.verify ? 46 : 36;
  std::printf("%-*s %11s %11s %15s %15s\n", nameWidth, "", "write MiB/s", "read MiB/s",
              "tgtd cpu s w/r", "own cpu s w/r");
  nlohmann::json out;
  out["block"] = o.block;
  out["depth"] = o.depth;
  out["size"] = o.size;
  out["repeat"] = o.repeat;
  out["verify"] = o.verify;
  if (o.verify) out["data"] = mode;
  std::string error;
  // The forms measured, the verified one first.
  std::vector<bool> forms = o.verify ? std::vector<bool>{true, false} : std::vector<bool>{false};
  uint64_t mismatches = 0;
  auto report = [&](const std::string& name, bool verified, const Figure& f) {
    std::string row = name + (verified ? ", verified" : "");
    std::printf("%-*s %11.0f %11.0f %15s %15s", nameWidth, row.c_str(), f.writeMiBs, f.readMiBs,
                (cpu(f.writeTgtd) + "/" + cpu(f.readTgtd)).c_str(),
                (cpu(f.writeSelf) + "/" + cpu(f.readSelf)).c_str());
    if (verified && f.mismatches > 0) {
      std::printf("  %llu block(s) read back differ",
                  static_cast<unsigned long long>(f.mismatches));
    }
    std::printf("\n");
    std::fflush(stdout);
    nlohmann::json figure = {{"name", row},
                             {"form", verified ? "verified" : "plain"},
                             {"write_mibs", f.writeMiBs},
                             {"read_mibs", f.readMiBs},
                             {"tgtd_cpu_write_s", f.writeTgtd},
                             {"tgtd_cpu_read_s", f.readTgtd},
                             {"cpu_write_s", f.writeSelf},
                             {"cpu_read_s", f.readSelf}};
    if (verified) figure["mismatches"] = f.mismatches;
    out["figures"].push_back(figure);
  };
  std::vector<int> all;
  for (size_t i = 0; i < urls.size(); ++i) all.push_back(static_cast<int>(i));
  Figure together[2], sum[2];  // by form: [false] plain, [true] verified
  for (bool verified : forms) {
    if (urls.size() > 1 && !measure(o, urls, all, verified, tgtd, &together[verified], &error)) {
      std::fprintf(stderr, "tape_yardstick: %s\n", error.c_str());
      return 1;
    }
    mismatches += together[verified].mismatches;
  }
  for (size_t i = 0; i < urls.size(); ++i) {
    Figure f[2];  // by form
    for (bool verified : forms) {
      if (!measure(o, urls, {static_cast<int>(i)}, verified, tgtd, &f[verified], &error)) {
        std::fprintf(stderr, "tape_yardstick: %s\n", error.c_str());
        return 1;
      }
      sum[verified].writeMiBs += f[verified].writeMiBs;
      sum[verified].readMiBs += f[verified].readMiBs;
      sum[verified].mismatches += f[verified].mismatches;
      mismatches += f[verified].mismatches;
    }
    // The plain figure first, as without --verify.
    for (bool verified : {false, true}) {
      if (verified && !o.verify) continue;
      report("drive " + std::to_string(i + 1) + " alone", verified, f[verified]);
    }
  }
  if (urls.size() > 1) {
    for (bool verified : {false, true}) {
      if (verified && !o.verify) continue;
      sum[verified].writeTgtd = sum[verified].readTgtd = -1;
      sum[verified].writeSelf = sum[verified].readSelf = -1;
      report("sum of each alone", verified, sum[verified]);
    }
    for (bool verified : {false, true}) {
      if (verified && !o.verify) continue;
      report("all " + std::to_string(urls.size()) + " at once, one thread each", verified,
             together[verified]);
    }
  }
  if (!o.json.empty()) {
    std::ofstream f(o.json);
    f << out.dump(2) << "\n";
    if (!f) {
      std::fprintf(stderr, "tape_yardstick: cannot write %s\n", o.json.c_str());
      return 1;
    }
  }
  if (mismatches > 0) {
    std::fprintf(stderr, "tape_yardstick: %llu block(s) read back differ from the blocks written\n",
                 static_cast<unsigned long long>(mismatches));
    return 1;
  }
  return 0;
}

int main(int argc, char** argv) {
  // An exception (of the JSON library, a failed allocation) ends the program
  // with its message and status 1, not with an abort.
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tape_yardstick: %s\n", e.what());
    return 1;
  }
}
