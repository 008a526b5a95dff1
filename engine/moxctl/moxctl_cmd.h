// The commands of moxctl, one function each, in files named for them; run
// (moxctl_commands.cc) picks one by the first word of the command line.
// Each takes the home, the words after the command's own and the output
// streams, and returns the exit status run returns.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace moxctl {

// moxctl_init.cc
int cmdInit(const std::string& home, const std::vector<std::string>& args, FILE* out, FILE* err);

// moxctl_status.cc
int cmdStatus(const std::string& home, FILE* out, FILE* err);
int cmdStartStop(const std::string& home, bool stop, FILE* out, FILE* err);

// moxctl_set.cc
int cmdSet(const std::string& home, const std::vector<std::string>& args, FILE* out, FILE* err);

// moxctl_media.cc
int cmdMedia(const std::string& home, FILE* out, FILE* err);
int cmdAddMedia(const std::string& home, const std::vector<std::string>& args, FILE* out,
                FILE* err);

// moxctl_dump.cc
int cmdDump(const std::string& home, const std::vector<std::string>& args, FILE* out, FILE* err);

// moxctl_check.cc
int cmdCheck(const std::string& home, const std::vector<std::string>& args, FILE* out, FILE* err);

// moxctl_erase.cc
int cmdErase(const std::string& home, const std::vector<std::string>& args, FILE* out, FILE* err);

// moxctl_probe.cc
int cmdProbe(const std::string& home, const std::vector<std::string>& args, FILE* out, FILE* err);

}  // namespace moxctl
