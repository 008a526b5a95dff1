// The long options (--name or --name=value). The classic single-letter
// options keep their meaning; a word that starts with two dashes is a long
// option, and an unknown one stops the run before anything else happens.
//
//   --data=classic|random|compress=N   what fills the data blocks of backups
//   --json=FILE                        the run's result document
//   --runtime=SECONDS                  backup streams write for that time
//   --rate=MB                          a test's total rate, MB/s
//   --status-interval=SECONDS          status lines and the timeline
//   --raid=N                           the RAID device the monitor watches
//   --help                             the usage, then exit 0
//   --version                          the version line, then exit 0
#pragma once

// Results of parseLongOption and applyLongOptions.
inline constexpr int kLongOptionApplied = 0;  // value stored in runSettings
inline constexpr int kLongOptionHelp = 1;
inline constexpr int kLongOptionVersion = 2;
inline constexpr int kLongOptionUnknown = 3;
inline constexpr int kLongOptionBadValue = 4;

/// Applies one long option word (with its two dashes) to runSettings.
/// Returns kLongOptionApplied, kLongOptionHelp or kLongOptionVersion, or
/// kLongOptionUnknown / kLongOptionBadValue with runSettings unchanged.
int parseLongOption(const char* word);

/// Applies every long option of argv[1..argc-1], left to right, before the
/// classic options are parsed. A bad or unknown option prints one line on
/// standard error and gives kLongOptionUnknown / kLongOptionBadValue; else
/// --help (kLongOptionHelp) wins over --version (kLongOptionVersion) wherever
/// it stands; else kLongOptionApplied.
int applyLongOptions(int argc, char** argv);

/// Prints the long options' part of the usage (after the classic usage).
void printLongOptionUsage();
