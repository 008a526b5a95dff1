// A reader of what reached a tgt tape image, of its own: it walks tgt's
// on-disk format (usr/bs_ssc.c: a big-endian block header before every
// object, linked from the beginning of the tape to the end of data) and
// decodes the engine's records with its own code, so that a test learns
// what is on the tape without trusting the engine's reader.
//
// checkTapes() holds each tape to the order a session writer promises
// (records packed into one block read in their order, each pack no longer
// than its label's tape block size and with frames that fill it):
// the label first; each session part a session start, its data, parity and
// index records, its end (or continuation) record, then one tape mark and
// nothing between; per stream, data and parity in rising order; every index
// entry naming a record before it at the address it gives; every data and
// parity record indexed; the end record naming the part's index records.
// Across the members of a set it holds each stream's data records against
// the block count the end record gives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zeptest {

struct TapeObject {
  enum Kind { kBlock, kFilemark } kind = kBlock;
  std::vector<uint8_t> bytes;  // kBlock
  uint64_t dataOffset = 0;     // kBlock: where its bytes are in the image file
};

// The objects of the image at `path`, from the beginning of the tape to the
// end of data. False with *error when the image cannot be read or its
// headers do not link up (*objects then holds those before).
bool readTgtImage(const std::string& path, std::vector<TapeObject>* objects, std::string* error);

struct TapeCheck {
  std::string name;
  bool sound = true;
  std::vector<std::string> faults;
  uint64_t records = 0;
  uint64_t sessions = 0;  // session parts ended by a tape mark
  uint64_t packs = 0;     // tape blocks holding records packed together
  bool blank = false;
  bool unfinishedTail = false;  // a session part without end at the end of data
};

// Checks every image in `paths` and the sets they form. With `tailAllowed`,
// an unfinished session at the end of a tape (a writer that was stopped)
// (its records, and an image that ends in an unlinked block) is not a
// fault; records out of order before it never are. Returns the
// per-tape results (a fault across a set goes to each of its tapes) and
// false when any fault was found.
bool checkTapes(const std::vector<std::string>& paths, bool tailAllowed,
                std::vector<TapeCheck>* results);

}  // namespace zeptest
