// The commands of moxctl, callable from tests with a home and captured output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace moxctl {

// Runs one command line (without the program name). Returns the exit status:
// 0 success, 1 a failure the output explains, 2 a usage error.
int run(const std::string& home, const std::vector<std::string>& args, FILE* out, FILE* err);

// Parses SIZE: digits with an optional K, M or G suffix. False when malformed.
bool parseSize(const std::string& text, uint64_t* bytes);

}  // namespace moxctl
