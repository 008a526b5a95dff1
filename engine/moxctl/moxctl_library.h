// The parts of moxctl's commands that a library home adds: its tape drives
// and changers reached over iSCSI (engine/mox/tape_library.h).
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "engine/mox/tape_library.h"

namespace moxctl {

// Checks the form of every --library URL before anything is reached: one
// line and exit status 2 for a bad or repeated one, else 0.
int checkLibraryUrls(const std::vector<std::string>& urls, FILE* err);

// Probes each library in order, numbering the drives on across them.
// Returns 0, or prints one line and returns 1 (a library that cannot be
// reached or has no tape drive, more drives than a home can have).
int probeLibraries(const std::vector<std::string>& urls, std::vector<mox::LibraryProbe>* probes,
                   FILE* err);

// One line on `err` when a library already looks used by another home or
// host at init: a drive holding a cartridge, or a unit reserved by another
// initiator. Nothing when none does.
void printLibrariesInUse(const std::vector<mox::LibraryProbe>& probes, FILE* err);

// What init made of the libraries, one block per library.
void printLibrariesMade(const std::vector<mox::LibraryProbe>& probes, FILE* out);

// The library lines and one line per drive of `moxctl status` on a library
// home. 0, or 1 when a library or drive did not answer (one line on `err`
// per library).
int printLibraryStatus(const std::string& home, FILE* out, FILE* err);

// `moxctl media` on a library home: every slot and cartridge of the pool.
int printLibraryMedia(const std::string& home, FILE* out, FILE* err);
// The cartridges the libraries' changers say are in a drive, as they answer
// now: barcode -> the home's drive number (-1 for a drive of no RAID
// device's). Empty when no changer answers.
std::map<std::string, int> cartridgesInDrives(const std::string& home);

}  // namespace moxctl
