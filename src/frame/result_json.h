// The result document: the run's records (frame/run_results.h) as JSON.
// Its layout is described by docs/zephlorn-result.schema.json.
#pragma once

#include <string>

#include "frame/run_results.h"

inline constexpr int kResultFormatVersion = 3;

/// The document of `results`, indented, ending in a line feed.
std::string resultJsonText(const RunResults& results);

// The name of a signal that interrupts a run (SIGINT, SIGTERM, SIGHUP), or
// `other` for any other signal.
const char* interruptSignalName(int signal, const char* other);
