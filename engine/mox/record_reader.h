// Reading a member front to back: the one record reader over a medium (the
// next record, tape mark or broken range) and what a walk of a member
// means. It holds the rules that tell a torn tail from damage (FORMAT.md,
// "Torn tail or damage"): the mount scan, `moxctl check` and `moxctl dump`
// read members through it, and the sequential session reader reads records
// with it.
//
// A torn tail is only what a writer that died can leave: after the last
// complete session, the unfinished records of one session and nothing else.
// Anything else that does not read back (a bad header followed by more
// records, a tape mark that is not zero, a session that its partners ended
// but this member did not) is damage: reported, read around where the RAID
// level allows, and never cut.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/mox/cartridge.h"
#include "engine/mox/medium.h"

namespace mox {

// Reads the items of a medium in order, each record's header, and the
// bodies of the kinds asked for.
class RecordReader {
 public:
  explicit RecordReader(Medium& medium) : medium_(medium) {}

  Medium& medium() { return medium_; }
  int rewind() { return medium_.rewind(); }
  // The next item. A record whose kind is in `bodyKinds` (bodyOf) is read
  // whole: image() then holds its header and body, item->body says whether
  // the body matches its CRC. A zero word is a tape mark only where one is
  // expected (`markExpected`: after a session's end record).
  int next(MediumItem* item, uint32_t bodyKinds = 0, bool markExpected = false);
  const uint8_t* image() const { return image_.data(); }
  const uint8_t* body() const { return image_.data() + kHeaderSize; }
  // The buffer image() reads into, to take a record without a copy (it
  // grows again as the next records need).
  std::vector<uint8_t>& buffer() { return image_; }

 private:
  Medium& medium_;
  std::vector<uint8_t> image_;
};

// The label and the finished sessions of a member read front to back, with
// its torn tail and damage. MOX_OK, or MOX_E_MEDIA for a medium that is not
// a cartridge of this engine (MOX_E_IO when it cannot be read).
int scanMedium(Medium& medium, CartridgeMap* map);
// The member's map: what the medium kept when it matches (the cartridge
// file's side file) and holds, else a full scan.
int mountMedium(Medium& medium, CartridgeMap* map);
// True when every place a kept map names on a medium that reads at any
// address holds the record the map says (the label; each session's start
// and end records and the tape mark after it, one session after another up
// to the append point): a map whose entries were changed is not used.
bool keptMapHolds(Medium& medium, const CartridgeMap& map);

// Positions the medium at the start record of map.sessions[index]: at its
// address on a random-access medium, else by rewinding and spacing over the
// tape marks of the sessions before it (reading forward from the beginning
// when damage put the count off). MOX_E_MEDIA when it is not found there.
int positionAtSession(Medium& medium, const CartridgeMap& map, size_t index);

// The label and the first session start of a member, read without a scan.
struct MediumHead {
  bool labelled = false;
  Label label;
  bool hasSession = false;
  RecordHeader sessionHeader;
  SessionStart start;
};
MediumHead readHead(Medium& medium);

// Result of reading every record of a member and checking its CRC.
struct CheckReport {
  int result = 0;        // MOX_OK, MOX_E_MEDIA (not a cartridge or damaged), MOX_E_CHECKSUM
  uint64_t records = 0;  // records checked
  size_t sessions = 0;
  std::string problem;              // the first bad record, named by offset
  std::vector<MediaDamage> damage;  // every damaged place, in file order
  bool tornTail = false;
  uint64_t tornOffset = 0;
  std::string tornReason;
  uint32_t tailSession = 0;  // session of the tail's records, 0 when none is readable
};
// One pass over the member: its map and every body checked.
CheckReport checkMedium(Medium& medium);

// Bytes of data blocks of each finished session (in map.sessions' order) as
// the engine received them (before compression) and as it stored them
// (record bodies), from the records' headers. A record whose header does
// not hold is left out, and a session's count stops at broken framing
// (moxctl check names them).
struct DataBytes {
  uint64_t received = 0;
  uint64_t stored = 0;
};
std::vector<DataBytes> sessionData(Medium& medium, const CartridgeMap& map);

// Whole cartridge files by path (the file medium), for moxctl and tests.
int scanCartridge(const std::string& path, CartridgeMap* map);
CheckReport checkCartridge(const std::string& path);

}  // namespace mox
