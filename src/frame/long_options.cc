#include "frame/long_options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "frame/block_constants.h"
#include "frame/run_settings.h"
#include "platform/console.h"

namespace {

// The value of `word` when it is "--<name>=<value>", else nullptr.
const char* valueOf(const char* word, const char* name) {
  const size_t n = std::strlen(name);
  if (std::strncmp(word + 2, name, n) != 0 || word[2 + n] != '=') return nullptr;
  return word + 3 + n;
}

// True when the result document can be written at `path`: a new name or a
// regular file, in a directory this user may write.
// Prints the reason otherwise.
bool jsonPathUsable(const char* path) {
  struct stat st;
  if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "zephlorn: --json=%s refused: it is a directory\n", path);
    return false;
  }
  // The document replaces the file by a rename: never a device, a FIFO or
  // a socket.
  if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "zephlorn: --json=%s refused: not a regular file\n", path);
    return false;
  }
  const char* slash = std::strrchr(path, '/');
  const std::string dir = slash == nullptr ? "." : std::string(path, slash - path + 1);
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    std::fprintf(stderr, "zephlorn: --json=%s refused: directory %s: %s\n", path, dir.c_str(),
                 std::strerror(errno));
    return false;
  }
  return true;
}

// The long options that take a whole number, where it goes and its range.
struct NumberOption {
  const char* name;
  int32_t RunSettings::*field;
  int32_t min;
  int32_t max;
  const char* refusal;  // after "zephlorn: <word> refused: "
};
constexpr NumberOption kNumberOptions[] = {
    {"runtime", &RunSettings::runtimeSeconds, 1, kMaxRuntimeSeconds,
     "--runtime=SECONDS takes whole seconds from 1 to 2592000"},
    {"rate", &RunSettings::rateMB, 1, kMaxRateMB,
     "--rate=MB takes whole MB/s (10^6 bytes) from 1 to 1000000"},
    {"status-interval", &RunSettings::statusIntervalSeconds, 1, kMaxStatusIntervalSeconds,
     "--status-interval=SECONDS takes whole seconds from 1 to 3600"},
    {"raid", &RunSettings::monitorRaid, 0, kMaxMonitorRaid,
     "--raid=N takes a RAID device number from 0 to 9"},
    {"loops", &RunSettings::loops, 1, kMaxLoops, "--loops=N takes a count from 1 to 100000"},
    {"min-drive-busy", &RunSettings::minDriveBusyPercent, 1, 100,
     "--min-drive-busy=PERCENT takes a whole percentage from 1 to 100"},
};

// The option of kNumberOptions that `word` names (with or without a
// value), or null.
const NumberOption* numberOptionOf(const char* word) {
  for (const NumberOption& option : kNumberOptions) {
    const size_t n = std::strlen(option.name);
    if (std::strncmp(word + 2, option.name, n) == 0 &&
        (word[2 + n] == '=' || word[2 + n] == '\0')) {
      return &option;
    }
  }
  return nullptr;
}

}  // namespace

int parseLongOption(const char* word) {
  RunSettings& s = runSettings;
  if (std::strcmp(word, "--help") == 0) return kLongOptionHelp;
  if (std::strcmp(word, "--version") == 0) return kLongOptionVersion;
  if (const char* value = valueOf(word, "data")) {
    DataSpec pattern;
    if (!parseDataSpec(value, &pattern)) return kLongOptionBadValue;
    s.dataMode = pattern.mode;
    s.dataCompressPercent = pattern.compressPercent;
    return kLongOptionApplied;
  }
  if (const char* value = valueOf(word, "json")) {
    const size_t n = std::strlen(value);
    if (n == 0 || n >= sizeof s.jsonPath) return kLongOptionBadValue;
    std::memcpy(s.jsonPath, value, n + 1);
    return kLongOptionApplied;
  }
  if (const NumberOption* option = numberOptionOf(word)) {
    const char* value = valueOf(word, option->name);
    int64_t number = 0;
    if (value == nullptr ||
        parseOptionNumber(value, option->min, option->max, &number) != NumberScan::kOk) {
      return kLongOptionBadValue;
    }
    // A value with blanks or a sign before it is no whole number as typed.
    if (value[0] < '0' || value[0] > '9') return kLongOptionBadValue;
    s.*(option->field) = static_cast<int32_t>(number);
    return kLongOptionApplied;
  }
  if (const char* value = valueOf(word, "tape-change")) {
    if (std::strcmp(value, "prompt") == 0) {
      s.tapeChangeByChanger = 0;
    } else if (std::strcmp(value, "changer") == 0) {
      s.tapeChangeByChanger = 1;
    } else {
      return kLongOptionBadValue;
    }
    return kLongOptionApplied;
  }
  if (std::strcmp(word, "--data") == 0 || std::strcmp(word, "--json") == 0 ||
      std::strcmp(word, "--tape-change") == 0) {
    return kLongOptionBadValue;  // the value is missing
  }
  return kLongOptionUnknown;
}

int applyLongOptions(int argc, char** argv) {
  bool help = false;
  bool version = false;
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    if (word[0] != '-' || word[1] != '-') continue;
    const int r = parseLongOption(word);
    if (r == kLongOptionUnknown) {
      std::fprintf(stderr, "zephlorn: unknown option %s (see --help)\n", word);
      return r;
    }
    if (r == kLongOptionBadValue) {
      if (const NumberOption* option = numberOptionOf(word)) {
        std::fprintf(stderr, "zephlorn: %s refused: %s\n", word, option->refusal);
      } else if (std::strncmp(word, "--tape-change", 13) == 0) {
        std::fprintf(stderr,
                     "zephlorn: %s refused: --tape-change=prompt or --tape-change=changer\n", word);
      } else if (std::strncmp(word, "--data", 6) == 0) {
        std::fprintf(stderr,
                     "zephlorn: %s refused: --data=classic, --data=random or "
                     "--data=compress=N with N from 0 to 100\n",
                     word);
      } else {
        std::fprintf(stderr, "zephlorn: %s refused: --json=FILE names the result file\n", word);
      }
      return r;
    }
    help = help || r == kLongOptionHelp;
    version = version || r == kLongOptionVersion;
  }
  if (help) return kLongOptionHelp;
  if (version) return kLongOptionVersion;
  if (runSettings.jsonPath[0] != '\0' && !jsonPathUsable(runSettings.jsonPath)) {
    return kLongOptionBadValue;
  }
  return kLongOptionApplied;
}

void printLongOptionUsage() {
  static const char* const kLines[] = {
      "Long options\n",
      "\t--data=classic     :- Data blocks of zeros and the test text (default)\n",
      "\t--data=random      :- Data blocks of incompressible generated bytes,\n",
      "\t                      every byte verified on restore\n",
      "\t--data=compress=N  :- N % of each block compressible, the rest random\n",
      "\t--json=FILE        :- Write the run's results as JSON to FILE\n",
      "\t--runtime=SECONDS  :- Each backup stream writes until the time is up\n",
      "\t                      (-c# then is the most it writes)\n",
      "\t--rate=MB          :- Total rate of each test in MB/s (10^6 bytes),\n",
      "\t                      shared by its streams\n",
      "\t--status-interval=SECONDS\n",
      "\t                   :- A status line every SECONDS; with --json, a\n",
      "\t                      timeline of the same samples in the document\n",
      "\t--raid=N           :- The monitor (-m, -ml) watches RAID device N\n",
      "\t                      (with --raid or --status-interval it shows rates)\n",
      "\t--loops=N          :- Run the tests N times over (stops at a failed loop)\n",
      "\t--tape-change=changer\n",
      "\t                   :- The tape-change prompt needs no key: the engine\n",
      "\t                      loads the next cartridges (a library's changer)\n",
      "\t--min-drive-busy=PERCENT\n",
      "\t                   :- Fail a test in which a tape drive of the group\n",
      "\t                      had work less than PERCENT of the time (starved)\n",
      "\t--help             :- This text\n",
      "\t--version          :- The version line\n",
  };
  for (const char* line : kLines) std::fputs(line, stdout);
  platform::flushConsole();
}
