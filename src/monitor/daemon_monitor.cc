// The RAID daemon monitor. The daemon writes its status block while the
// monitor reads it, without a lock: each counter is shown as read at that
// moment. The monitor never writes the block.
#include "monitor/daemon_monitor.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "frame/run_settings.h"
#include "frame/test_timing.h"
#include "mox.h"
#include "platform/console.h"
#include "platform/shared_memory.h"

namespace {

constexpr int kRefreshMs = 50;
// The waiting phase looks for a daemon a few times a second, not in a spin.
constexpr int kWaitPassMs = 150;
constexpr const char* kSeparator = "----------------------------------------------------\n";

void sleepMilliseconds(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void (*monitorPause)(int milliseconds) = sleepMilliseconds;

int64_t clockMs() { return monotonicMs(); }
int64_t (*monitorClock)() = clockMs;

// The member counters at the start of the rate window.
struct RateWindow {
  int64_t atMs = 0;
  uint32_t td[MOX_STATUS_TD_COUNT] = {};
};

void readMemberCounters(const uint8_t* block, uint32_t* td) {
  for (uint32_t j = 0; j < MOX_STATUS_TD_COUNT; ++j) {
    td[j] = platform::loadSharedU32(block, MOX_STATUS_OFF_TD + MOX_STATUS_TD_STRIDE * j);
  }
}

// The interval of the rates and of the counter lines off a terminal:
// --status-interval, 1 s by default.
int64_t monitorIntervalMs() {
  return runSettings.statusIntervalSeconds > 0 ? runSettings.statusIntervalSeconds * 1000LL : 1000;
}

// With rates shown: when the window is over, the rates over it, and the
// next window starts. `lineOpen`: the counters' single line stands without
// its line end.
void showRatesWhenDue(const uint8_t* block, uint16_t index, bool lineOpen, RateWindow* window) {
  const int64_t now = monitorClock();
  if (now - window->atMs < monitorIntervalMs()) return;
  uint32_t td[MOX_STATUS_TD_COUNT];
  readMemberCounters(block, td);
  DaemonRates rates = daemonRates(window->td, td, now - window->atMs);
  // The single line is left where it stands; the rates go below it.
  if (lineOpen) std::fputs("\n", stdout);
  char text[512];
  formatDaemonRates(text, sizeof text, index, rates);
  std::fputs(text, stdout);
  window->atMs = now;
  std::memcpy(window->td, td, sizeof td);
}

uint32_t field(const uint8_t* block, uint32_t offset) {
  return platform::loadSharedU32(block, offset);
}

// True when the operator leaves: Esc, or the end of console input. Any other
// key that is waiting is consumed and ignored.
bool operatorLeaves() {
  if (!platform::keyWaiting()) return false;
  int key = platform::readKey(false);
  return key == platform::kKeyEsc || key == platform::kKeyEnd;
}

// True when the block's daemon died without withdrawing it (killed, for
// example): its counters would never move again.
bool daemonGone(const uint8_t* block, int mappingHandle) {
  return platform::sharedMemoryPublisherGone(mappingHandle, MOX_STATUS_OFF_OWNER, sizeof(uint32_t),
                                             field(block, MOX_STATUS_OFF_OWNER));
}

}  // namespace

const uint8_t* attachDaemonStatus(uint16_t index, int* mappingHandle) {
  char name[32];
  snprintf(name, sizeof(name), MOX_STATUS_NAME_FORMAT, index);
  *mappingHandle = -1;
  int handle = -1;
  int error = platform::openSharedMemory(name, &handle);
  if (error != 0) {
    printf("Object %s doesn't exist, Error %d\n", name, error);
    return nullptr;
  }
  platform::SharedMemoryView view;
  if (platform::mapSharedMemory(handle, MOX_STATUS_BLOCK_SIZE, &view) != 0) {
    platform::closeSharedMemory(handle);
    return nullptr;
  }
  if (field(view.data, MOX_STATUS_OFF_STATE) == 1 && !daemonGone(view.data, handle)) {
    *mappingHandle = handle;
    return view.data;
  }
  printf("%s NOT Active\n", name);
  platform::unmapSharedMemory(&view);
  platform::closeSharedMemory(handle);
  return nullptr;
}

void detachDaemonStatus(const uint8_t* block, int mappingHandle) {
  platform::SharedMemoryView view{const_cast<uint8_t*>(block), MOX_STATUS_BLOCK_SIZE};
  platform::unmapSharedMemory(&view);
  platform::closeSharedMemory(mappingHandle);
}

void printDaemonStatus(const uint8_t* block, int multiLine, bool lastOnly) {
  uint32_t entryCount = field(block, MOX_STATUS_OFF_ENTRY_COUNT);
  // Entries past the block's end do not exist: the block holds 60.
  uint32_t shown = entryCount < MOX_STATUS_MAX_ENTRIES ? entryCount : MOX_STATUS_MAX_ENTRIES;
  for (uint32_t i = lastOnly && shown > 0 ? shown - 1 : 0; i < shown; ++i) {
    printf("Process %u Free %u, FULL %u  ", multiLine ? i : entryCount,
           field(block, MOX_STATUS_OFF_FREE + MOX_STATUS_FREE_STRIDE * i),
           field(block, MOX_STATUS_OFF_FULL));
    printf("PL- %u  ", field(block, MOX_STATUS_OFF_PL));
    for (uint32_t j = 0; j < MOX_STATUS_TD_COUNT; ++j) {
      printf("TD%u-%u  ", j, field(block, MOX_STATUS_OFF_TD + MOX_STATUS_TD_STRIDE * j));
    }
    fputs(multiLine || lastOnly ? "\n" : "\r", stdout);
  }
}

DaemonRates daemonRates(const uint32_t* before, const uint32_t* after, int64_t ms) {
  DaemonRates rates;
  rates.seconds = static_cast<double>(ms) / 1000.0;
  for (uint32_t j = 0; j < MOX_STATUS_TD_COUNT; ++j) {
    // A counter that went back was started again from zero (a new writer
    // took the block over): what it holds is what moved.
    const uint32_t moved = after[j] >= before[j] ? after[j] - before[j] : after[j];
    const double perSecond = ms > 0 ? static_cast<double>(moved) * 1000.0 / static_cast<double>(ms)
                                    : 0.0;
    rates.memberBlocksPerSecond[j] = perSecond;
    rates.blocksPerSecond += perSecond;
  }
  return rates;
}

int formatDaemonRates(char* out, size_t size, uint16_t index, const DaemonRates& rates) {
  auto mb = [](double blocksPerSecond) { return blocksPerSecond * MOX_BLOCK_SIZE / 1e6; };
  int n = std::snprintf(out, size, "RAID device %u, over %.1f s: %.1f MB/s, %.0f blocks/s\n", index,
                        rates.seconds, mb(rates.blocksPerSecond), rates.blocksPerSecond);
  for (uint32_t j = 0; j < MOX_STATUS_TD_COUNT && n >= 0 && static_cast<size_t>(n) < size; ++j) {
    const double b = rates.memberBlocksPerSecond[j];
    n += std::snprintf(out + n, size - static_cast<size_t>(n), "  TD%u: %.1f MB/s, %.0f blocks/s\n",
                       j, mb(b), b);
  }
  return n;
}

void runDaemonMonitor() {
  const int multiLine = runSettings.monitorMultiLine;
  const bool rates = monitorShowsRates();
  // Off a terminal the single line is no line a reader can follow: the
  // counters come as a line of their own once an interval instead.
  const bool intervalLines = !multiLine && !platform::stdoutIsTerminal();
  // --raid=N: that RAID device's daemon only.
  const uint16_t first =
      runSettings.monitorRaid >= 0 ? static_cast<uint16_t>(runSettings.monitorRaid) : 0;
  const uint16_t last = runSettings.monitorRaid >= 0 ? static_cast<uint16_t>(first + 1)
                                                      : static_cast<uint16_t>(MOX_STATUS_MAX_DAEMONS);
  for (;;) {
    const uint8_t* block = nullptr;
    int mappingHandle = -1;
    uint16_t index = 0;
    for (;;) {
      printf("No RAID Daemon running..Waiting..");
      for (index = first; index < last; ++index) {
        block = attachDaemonStatus(index, &mappingHandle);
        if (block != nullptr) break;
      }
      if (block != nullptr) break;
      platform::flushConsole();
      if (operatorLeaves()) return;
      monitorPause(kWaitPassMs);
    }
    printf("Daemon Active for %d\n", index);
    printf("Daemon RUNNING...\n");
    platform::flushConsole();
    bool gone = false;
    bool left = false;
    RateWindow window;
    window.atMs = monitorClock();
    readMemberCounters(block, window.td);
    int64_t lineAtMs = window.atMs - monitorIntervalMs();
    while (field(block, MOX_STATUS_OFF_STATE) == 1) {
      if (operatorLeaves()) {
        left = true;
        break;
      }
      // A daemon killed in the middle leaves its block active for ever: the
      // monitor lets it go and waits for the next daemon.
      if (daemonGone(block, mappingHandle)) {
        gone = true;
        break;
      }
      if (!intervalLines) {
        printDaemonStatus(block, multiLine);
      } else if (monitorClock() - lineAtMs >= monitorIntervalMs()) {
        printDaemonStatus(block, multiLine, true);
        lineAtMs = monitorClock();
      }
      platform::flushConsole();
      monitorPause(kRefreshMs);
      if (multiLine) printf("%s", kSeparator);
      if (rates) showRatesWhenDue(block, index, !multiLine && !intervalLines, &window);
    }
    if (gone) {
      printf("\nDaemon for %d is gone (process %u ended without stopping it)..\n", index,
             field(block, MOX_STATUS_OFF_OWNER));
      platform::flushConsole();
      detachDaemonStatus(block, mappingHandle);
      continue;
    }
    if (!left) printf("\nDaemon terminated..\n");
    platform::flushConsole();
    detachDaemonStatus(block, mappingHandle);
    // Watching rates, the monitor stays for the next daemon: a run's
    // restore that follows its backup publishes the block again.
    if (left || !rates) return;
  }
}

void setDaemonMonitorPauseForTest(void (*pause)(int milliseconds)) {
  monitorPause = pause != nullptr ? pause : sleepMilliseconds;
}

void setDaemonMonitorClockForTest(int64_t (*clock)()) {
  monitorClock = clock != nullptr ? clock : clockMs;
}
