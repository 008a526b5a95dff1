// What the commands ask of the home before they act: that it is usable,
// which drive holds which cartridge, and what a CARTRIDGE argument names.
#pragma once

#include <cstdio>
#include <map>
#include <string>

#include "engine/mox/home.h"

namespace moxctl {

// The one line that names a home whose making was cut short.
std::string halfMadeText(const std::string& home);

// The home made whole if it can be: MOX_OK, or a code and one line on `err`
// (a half-made home, or an unusable one).
int ensure(const std::string& home, FILE* err);

// The cartridges loaded in the home's `drives` drives: name -> drive.
std::map<std::string, int> loadedDrives(const mox::Home& h, int drives);

// What a CARTRIDGE argument names. A word with a slash, or one that names
// something in the working directory, is a path; any other word is a
// cartridge of the pool. A word that is both a pool cartridge and a file
// here is refused, so that a command never acts on what was not meant. The
// path must be a regular file (a FIFO or a device is never opened). Returns
// 0 and the path, or prints one line and returns the exit status: 2 for an
// empty or ambiguous word, 1 for a path that is missing or not a file.
int cartridgePath(const mox::Home& h, const std::string& arg, std::string* path, FILE* err);

}  // namespace moxctl
