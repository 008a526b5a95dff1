// moxctl probe: what a library home's tape drives move at each block size.
// For each named drive, on a scratch cartridge, the same amount of data is
// written and read back at block sizes from 64K doubling up to the drive's
// largest block (READ BLOCK LIMITS, what a READ(6) can ask for, 8M at
// most), once of incompressible data (random bytes) and once of
// compressible data (each block half random bytes, half zeros), variable
// block mode, with the drive member's write window and read-ahead keeping
// several commands in flight. With --capacity the drive then writes
// incompressible blocks of the best size until it reports early warning.
//
// The cartridge is a scratch one or nothing is written: the home keeps no
// map with sessions and no set note for it, and its first block shows it
// blank or holding this engine's label alone. It is left holding no
// session, as the engine can use it: a blank erased from the beginning of
// the tape (or labelled alone where the drive refuses ERASE, putBack), a
// label alone written again at the beginning.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "engine/mox/first_block.h"
#include "engine/mox/home.h"
#include "engine/mox/library.h"
#include "engine/mox/library_media.h"
#include "engine/mox/mox.h"
#include "engine/mox/tape_library.h"
#include "engine/mox/tape_medium.h"
#include "engine/moxctl/moxctl_cmd.h"
#include "engine/moxctl/moxctl_commands.h"
#include "engine/moxctl/moxctl_home.h"
#include "engine/moxctl/moxctl_parse.h"
#include "platform/file_util.h"

namespace moxctl {
namespace {

using mox::scsi::Outcome;
using mox::scsi::TapeDrive;

constexpr uint32_t kFirstBlock = 64u << 10;
constexpr uint32_t kLargestBlock = 8u << 20;
// The best block size is the smallest whose incompressible write rate is
// within this share of the best one: a larger block buys nothing more.
constexpr double kBestWithin = 0.05;
constexpr const char* kBestRule =
    "the smallest block size whose incompressible write rate is within 5% of the best";
// Distinct buffers written in turn, so that the drive never sees one block
// repeated back to back.
constexpr int kBuffers = 4;

struct ProbeOptions {
  std::vector<int> drives;
  uint64_t size = 64ull << 20;  // data written and read at each block size, of each kind
  bool capacity = false;
  std::string json;
  std::string scratch;
};

struct Rate {
  uint32_t block = 0;
  const char* kind = "";
  uint64_t bytes = 0;
  double writeMBps = 0;
  double readMBps = 0;
};

struct DriveResult {
  int drive = 0;
  std::string barcode;
  uint32_t largest = 0;
  std::vector<Rate> rates;
  uint32_t best = 0;
  double bestMBps = 0;
  bool capacity = false;
  uint64_t toEarlyWarning = 0;
};

// "64K", "1M", or the bytes when neither is whole.
std::string blockText(uint64_t bytes) {
  if (bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + "M";
  if (bytes % (1u << 10) == 0) return std::to_string(bytes >> 10) + "K";
  return std::to_string(bytes);
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double megabytesPerSecond(uint64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0;
}

// kBuffers blocks of `block` bytes: random bytes, or (compressible) random
// bytes in the first half and zeros in the second.
std::vector<std::vector<uint8_t>> blocksOf(uint32_t block, bool compressible,
                                           std::mt19937_64* random) {
  std::vector<std::vector<uint8_t>> blocks(kBuffers, std::vector<uint8_t>(block, 0));
  for (auto& b : blocks) {
    size_t random_bytes = compressible ? block / 2 : block;
    for (size_t i = 0; i < random_bytes; ++i) b[i] = static_cast<uint8_t>((*random)());
  }
  return blocks;
}

int parseProbe(const std::vector<std::string>& args, std::vector<std::string>* drives,
               ProbeOptions* o, FILE* err) {
  for (const std::string& a : args) {
    if (a.rfind("--size=", 0) == 0) {
      if (!parseSize(a.substr(7), &o->size) || o->size == 0) {
        std::fprintf(err, "moxctl: probe: bad size '%s' (bytes, K, M or G, more than 0)\n",
                     a.substr(7).c_str());
        return 2;
      }
    } else if (a == "--capacity") {
      o->capacity = true;
    } else if (a.rfind("--json=", 0) == 0 && a.size() > 7) {
      o->json = a.substr(7);
    } else if (a.rfind("--scratch=", 0) == 0 && a.size() > 10) {
      o->scratch = a.substr(10);
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(err, "moxctl: probe: unknown option '%s'\n", a.c_str());
      return 2;
    } else {
      drives->push_back(a);
    }
  }
  if (drives->empty()) {
    std::fprintf(err,
                 "moxctl: usage: probe DRIVE... [--size=SIZE] [--capacity] [--json=FILE] "
                 "[--scratch=BARCODE]\n");
    return 2;
  }
  return 0;
}

// Writes `count` blocks from the beginning of the tape and reads them back.
// 0, or 1 with *why.
int measure(TapeDrive& d, uint32_t block, bool compressible, uint64_t total,
            std::mt19937_64* random, Rate* rate, std::string* why) {
  const auto blocks = blocksOf(block, compressible, random);
  const uint64_t count = std::max<uint64_t>(1, total / block);
  rate->block = block;
  rate->kind = compressible ? "compressible" : "incompressible";
  if (d.setRecordCap(block) != Outcome::done || d.rewind() != Outcome::done) {
    *why = d.lastError();
    return 1;
  }
  auto start = std::chrono::steady_clock::now();
  uint64_t written = 0;
  while (written < count) {
    Outcome o = d.writeRecord(blocks[written % kBuffers].data(), block);
    if (o != Outcome::done && o != Outcome::earlyWarning) {
      *why = "a write failed: " + d.lastError();
      return 1;
    }
    ++written;
    if (o == Outcome::earlyWarning) break;  // the cartridge is nearly full: what fits is measured
  }
  // The durability barrier: the time ends when every block is on the medium.
  if (Outcome o = d.writeFilemarks(0); o != Outcome::done && o != Outcome::earlyWarning) {
    *why = "a write failed: " + d.lastError();
    return 1;
  }
  rate->bytes = written * block;
  rate->writeMBps = megabytesPerSecond(rate->bytes, secondsSince(start));
  if (d.rewind() != Outcome::done) {
    *why = d.lastError();
    return 1;
  }
  start = std::chrono::steady_clock::now();
  for (uint64_t n = 0; n < written; ++n) {
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    Outcome o = d.readRecordInPlace(&data, block, &length);
    if (o != Outcome::done || length != block) {
      *why = "block " + std::to_string(n) + " did not read back (" + mox::scsi::outcomeName(o) +
             (d.lastError().empty() ? "" : ": " + d.lastError()) + ")";
      return 1;
    }
  }
  rate->readMBps = megabytesPerSecond(rate->bytes, secondsSince(start));
  return 0;
}

// Writes incompressible blocks of `block` bytes from the beginning of the
// tape until the drive reports early warning; *bytes gets what was queued
// by then (the blocks in flight are within the write window). 0, or 1.
int writeToEarlyWarning(TapeDrive& d, uint32_t block, std::mt19937_64* random, uint64_t* bytes,
                        std::string* why) {
  const auto blocks = blocksOf(block, false, random);
  if (d.setRecordCap(block) != Outcome::done || d.rewind() != Outcome::done) {
    *why = d.lastError();
    return 1;
  }
  for (uint64_t n = 0;; ++n) {
    Outcome o = d.writeRecord(blocks[n % kBuffers].data(), block);
    if (o == Outcome::earlyWarning || d.earlyWarning()) {
      *bytes = (n + 1) * block;
      o = d.writeFilemarks(0);
      if (o == Outcome::done || o == Outcome::earlyWarning) return 0;
      *why = "a write failed at early warning: " + d.lastError();
      return 1;
    }
    if (o != Outcome::done) {
      *why = "a write failed before early warning: " + d.lastError();
      return 1;
    }
  }
}

// A scratch cartridge as it was found: blank, or this engine's label
// record alone (its bytes kept to be written again).
struct Found {
  bool blank = true;
  std::vector<uint8_t> label;
};

// Whether the tape is a scratch one: 0 and *found, or 1 with *why.
int lookAtTape(TapeDrive& d, Found* found, std::string* why) {
  mox::Inspection inspection;
  if (mox::inspectFirstBlock(&d, &inspection) != MOX_OK) {
    *why = "its first block cannot be read: " + d.lastError();
    return 1;
  }
  if (inspection.content == mox::Content::empty) return 0;
  if (inspection.content != mox::Content::engine || !inspection.labelOnly) {
    *why = inspection.content == mox::Content::engine
               ? "it holds sessions of this engine after its label"
               : "it holds data this engine did not write";
    return 1;
  }
  found->blank = false;
  found->label.resize(d.options().recordCap);
  uint32_t length = 0;
  if (d.readRecord(found->label.data(), static_cast<uint32_t>(found->label.size()), &length) !=
          Outcome::done ||
      d.rewind() != Outcome::done) {
    *why = "its label cannot be read: " + d.lastError();
    return 1;
  }
  found->label.resize(length);
  return 0;
}

// Leaves the tape as it was found, and looks that it reads so: 0, or 1.
// A blank is erased from the beginning of the tape. A drive that refuses
// ERASE (tgt) cannot make it blank again: it gets a label of this engine
// alone instead, of a set of its own that no home keeps, which the engine
// takes for a blank (a set labelled and never written) and the probe for
// scratch. A label alone is written again at the beginning of the tape,
// which ends the data after it.
int putBack(mox::TapeMedium& tape, const Found& found, bool keptMap, std::string* why) {
  TapeDrive& d = tape.drive();
  Outcome o = d.rewind();
  bool labelled = !found.blank;
  if (o == Outcome::done && found.blank) {
    mox::scsi::Command erase;
    erase.cdb = mox::scsi::erase6();
    erase.timeoutMs = d.options().motionTimeoutMs;
    o = d.command(erase).outcome;
    if (o == Outcome::unsupported) {
      labelled = true;
      int rc = mox::labelMedium(tape, mox::newSetLabel("", 0, 0, mox::newSetId(), 1, 0));
      // The home keeps no more of the cartridge than it did.
      if (!keptMap) tape.forgetMap();
      o = rc == MOX_OK ? Outcome::done : Outcome::transport;
    }
  } else if (o == Outcome::done) {
    o = d.setRecordCap(
        std::max<uint32_t>(d.options().recordCap, static_cast<uint32_t>(found.label.size())));
    if (o == Outcome::done) {
      o = d.writeRecord(found.label.data(), static_cast<uint32_t>(found.label.size()));
    }
    if (o == Outcome::done) o = d.writeFilemarks(0);
  }
  mox::Inspection now;
  if (o != Outcome::done || mox::inspectFirstBlock(&d, &now) != MOX_OK ||
      (labelled ? now.content != mox::Content::engine || !now.labelOnly
                : now.content != mox::Content::empty)) {
    *why = "it could not be left holding no session (" +
           std::string(labelled ? "a label alone" : "blank") + "): " + d.lastError();
    return 1;
  }
  return 0;
}

// Why the home's records say the cartridge is no scratch one, or "".
std::string keptAsUsed(const mox::Home& h, const std::string& barcode) {
  if (!mox::libraryCartridgeBlank(h, barcode)) return "the home keeps sessions of it";
  mox::SetNote note;
  switch (mox::readSetNote(h.cartridgePath(barcode), &note)) {
    case mox::NoteRead::kNone:
      return "";
    case mox::NoteRead::kNoted:
      return "it is a member of a set of the home";
    case mox::NoteRead::kUnreadable:
      break;
  }
  return "its set note cannot be read";
}

// The sweep on the tape of an opened drive, one line per measurement.
int sweep(TapeDrive& d, const ProbeOptions& o, DriveResult* r, const std::string& named, FILE* out,
          std::string* why) {
  std::mt19937_64 random(r->drive + 1);
  r->largest = std::min<uint32_t>(d.largestRecordCap(), kLargestBlock);
  for (uint32_t block = std::min(kFirstBlock, r->largest); block <= r->largest; block *= 2) {
    for (bool compressible : {false, true}) {
      Rate rate;
      if (measure(d, block, compressible, o.size, &random, &rate, why) != 0) return 1;
      std::fprintf(out, "%s: %s %s: write %.1f MB/s, read %.1f MB/s\n", named.c_str(),
                   blockText(block).c_str(), rate.kind, rate.writeMBps, rate.readMBps);
      std::fflush(out);
      r->rates.push_back(rate);
    }
    if (block > r->largest / 2) break;
  }
  double top = 0;
  for (const Rate& rate : r->rates) {
    if (rate.kind[0] == 'i') top = std::max(top, rate.writeMBps);
  }
  for (const Rate& rate : r->rates) {
    if (rate.kind[0] == 'i' && r->best == 0 && rate.writeMBps >= top * (1 - kBestWithin)) {
      r->best = rate.block;
      r->bestMBps = rate.writeMBps;
    }
  }
  std::fprintf(out, "drive %d: best block size %s (write %.1f MB/s)\n", r->drive,
               blockText(r->best).c_str(), r->bestMBps);
  std::fflush(out);
  if (o.capacity) {
    if (writeToEarlyWarning(d, r->best, &random, &r->toEarlyWarning, why) != 0) return 1;
    r->capacity = true;
    std::fprintf(out, "drive %d: %llu bytes to early warning\n", r->drive,
                 static_cast<unsigned long long>(r->toEarlyWarning));
  }
  return 0;
}

// Probes one drive: the cartridge chosen and loaded, looked at, swept,
// left as found and put back. 0, or 1 with one line on `err`.
int probeDrive(mox::Home& h, int drive, const ProbeOptions& o, DriveResult* r, FILE* out,
               FILE* err) {
  r->drive = drive;
  std::string held;
  if (h.loadedCartridge(drive, &held) != MOX_OK) {
    std::fprintf(err, "moxctl: probe: drive %d: what it holds cannot be read\n", drive);
    return 1;
  }
  r->barcode = o.scratch.empty() ? held : o.scratch;
  std::vector<std::string> pool;
  if (r->barcode != held || held.empty()) mox::libraryPool(h, &pool);
  auto inPool = [&](const std::string& name) {
    return std::find(pool.begin(), pool.end(), name) != pool.end();
  };
  // In a library without a changer the cartridge in the drive is named
  // for the drive, once the home loads it.
  if (r->barcode.empty() && inPool(mox::driveCartridgeName(drive))) {
    r->barcode = mox::driveCartridgeName(drive);
  }
  const std::string named = "drive " + std::to_string(drive) + " (" + r->barcode + ")";
  auto refuse = [&](const std::string& why) {
    std::fprintf(err, "moxctl: probe: %s: %s; nothing written\n",
                 r->barcode.empty() ? ("drive " + std::to_string(drive)).c_str() : named.c_str(),
                 why.c_str());
    return 1;
  };
  if (r->barcode.empty()) return refuse("it holds no cartridge (name one with --scratch=BARCODE)");
  if (r->barcode != held && !inPool(r->barcode)) return refuse("no library of the home holds it");
  if (std::string why = keptAsUsed(h, r->barcode); !why.empty()) return refuse(why);
  if (mox::libraryDriveInUse(h, drive)) return refuse("the drive is in use by another process");
  auto loaded = loadedDrives(h, h.settings().driveCount);
  if (auto it = loaded.find(r->barcode); it != loaded.end() && it->second != drive) {
    return refuse("it is in drive " + std::to_string(it->second));
  }
  const bool move = r->barcode != held;
  if (move) {
    mox::HomeLock lock(h.path());
    if (h.setDriveCartridges({{static_cast<uint16_t>(drive), r->barcode}}) != MOX_OK) {
      return refuse("it cannot be loaded: " + mox::libraryError(h));
    }
  }
  int status = 0;
  {
    int rc = MOX_OK;
    auto medium = mox::openMedium(h, h.cartridgePath(r->barcode), true, &rc);
    auto* tape =
        medium && mox::inDrive(*medium) ? dynamic_cast<mox::TapeMedium*>(medium.get()) : nullptr;
    std::string why;
    Found found;
    mox::CartridgeMap kept;
    const bool keptMap = mox::keptLibraryMap(h, r->barcode, &kept);
    if (tape == nullptr) {
      status = refuse("the drive cannot be held (" +
                      (rc != MOX_OK ? mox::libraryError(h) : "in use by another process") + ")");
    } else if (lookAtTape(tape->drive(), &found, &why) != 0) {
      status = refuse(why);
    } else {
      if (sweep(tape->drive(), o, r, named, out, &why) != 0) {
        std::fprintf(err, "moxctl: probe: %s: %s\n", named.c_str(), why.c_str());
        status = 1;
      }
      if (putBack(*tape, found, keptMap, &why) != 0) {
        std::fprintf(err, "moxctl: probe: %s: %s\n", named.c_str(), why.c_str());
        status = 1;
      }
    }
  }
  if (move) {
    // Back to its slot: the drive loaded again with what it held, or
    // unloaded (the changer first, then the drive file names nothing).
    mox::HomeLock lock(h.path());
    int rc = held.empty() ? mox::moveLibraryTapes(h, {{drive, ""}})
                          : h.setDriveCartridges({{static_cast<uint16_t>(drive), held}});
    if (rc == MOX_OK && held.empty()) rc = h.setDriveCartridge(drive, "");
    if (rc != MOX_OK) {
      std::fprintf(err, "moxctl: probe: %s: it cannot be put back: %s\n", named.c_str(),
                   mox::libraryError(h).c_str());
      status = 1;
    }
  }
  return status;
}

std::string resultsJson(const ProbeOptions& o, const std::vector<DriveResult>& results) {
  nlohmann::json drives = nlohmann::json::array();
  for (const DriveResult& r : results) {
    nlohmann::json rates = nlohmann::json::array();
    for (const Rate& rate : r.rates) {
      rates.push_back({{"block_bytes", rate.block},
                       {"kind", rate.kind},
                       {"bytes", rate.bytes},
                       {"write_mb_per_s", rate.writeMBps},
                       {"read_mb_per_s", rate.readMBps}});
    }
    nlohmann::json d = {
        {"drive", r.drive}, {"barcode", r.barcode},       {"largest_block_bytes", r.largest},
        {"rates", rates},   {"best_block_bytes", r.best}, {"best_write_mb_per_s", r.bestMBps}};
    if (r.capacity) d["bytes_to_early_warning"] = r.toEarlyWarning;
    drives.push_back(d);
  }
  nlohmann::json doc = {{"bytes_per_measurement", o.size},
                        {"megabyte_bytes", 1000000},
                        {"best_rule", kBestRule},
                        {"drives", drives}};
  return doc.dump(2) + "\n";
}

}  // namespace

int cmdProbe(const std::string& home, const std::vector<std::string>& args, FILE* out, FILE* err) {
  std::vector<std::string> words;
  ProbeOptions o;
  if (int status = parseProbe(args, &words, &o, err); status != 0) return status;
  if (ensure(home, err) != MOX_OK) return 1;
  mox::Home h(home);
  if (!mox::libraryHome(h)) {
    std::fprintf(err,
                 "moxctl: probe: this home has no tape drives (moxctl init --library makes "
                 "one that has)\n");
    return 2;
  }
  const int drives = h.settings().driveCount;
  for (const std::string& w : words) {
    int drive = 0;
    if (!parseCount(w, 0, drives - 1, &drive)) {
      std::fprintf(err, "moxctl: probe: no drive '%s' (the home's drives are 0 to %d)\n", w.c_str(),
                   drives - 1);
      return 2;
    }
    if (std::find(o.drives.begin(), o.drives.end(), drive) != o.drives.end()) {
      std::fprintf(err, "moxctl: probe: drive %d is named twice\n", drive);
      return 2;
    }
    o.drives.push_back(drive);
  }
  // One drive after the other: a --scratch cartridge goes into each in
  // turn, and back to its slot after each.
  int status = 0;
  std::vector<DriveResult> results;
  for (int drive : o.drives) {
    DriveResult r;
    if (probeDrive(h, drive, o, &r, out, err) != 0) status = 1;
    if (!r.rates.empty()) results.push_back(r);
  }
  if (!o.json.empty() && platform::writeFileAtomic(o.json, resultsJson(o, results)) != 0) {
    std::fprintf(err, "moxctl: probe: cannot write %s\n", o.json.c_str());
    status = 1;
  }
  return status;
}

}  // namespace moxctl
