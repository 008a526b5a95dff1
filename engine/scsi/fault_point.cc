#include "engine/scsi/fault_point.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "platform/file_util.h"

namespace mox::scsi {
namespace {

struct FaultPoint {
  bool hold = false;
  uint16_t lun = 0;
  uint8_t opcode = 0;
  uint64_t k = 0;
  std::string holdFile;
  std::string traceFile;
  std::mutex mutex;
  std::map<std::pair<uint16_t, uint8_t>, uint64_t> sent;  // commands so far, by unit and code
};

// Read once; nullptr when neither variable is set (or the hold is malformed,
// which says so on standard error: a test that means a hold must not pass
// without one).
FaultPoint* faultPoint() {
  static std::atomic<FaultPoint*> point{nullptr};
  static std::once_flag once;
  std::call_once(once, [] {
    const char* hold = std::getenv("MOX_HOLD_COMMAND");
    const char* trace = std::getenv("MOX_TRACE_COMMANDS");
    if ((hold == nullptr || *hold == '\0') && (trace == nullptr || *trace == '\0')) return;
    auto* p = new FaultPoint;  // lives as long as the process
    if (trace != nullptr) p->traceFile = trace;
    if (hold != nullptr && *hold != '\0') {
      unsigned lun = 0, opcode = 0;
      unsigned long long k = 0;
      int used = 0;
      if (std::sscanf(hold, "%u:%x:%llu:%n", &lun, &opcode, &k, &used) == 3 && used > 0 &&
          hold[used] != '\0' && lun <= 0xFFFF && opcode <= 0xFF && k > 0) {
        p->hold = true;
        p->lun = static_cast<uint16_t>(lun);
        p->opcode = static_cast<uint8_t>(opcode);
        p->k = k;
        p->holdFile = hold + used;
      } else {
        std::fprintf(stderr, "MOX_HOLD_COMMAND: not LUN:OPCODE:K:FILE: %s\n", hold);
      }
    }
    point.store(p, std::memory_order_release);
  });
  return point.load(std::memory_order_acquire);
}

void appendLine(const std::string& path, const std::string& line) {
  int fd = -1;
  if (platform::openRegularFile(path, O_WRONLY | O_CREAT | O_APPEND, 0644, &fd) != 0) return;
  platform::writeAll(fd, line.data(), line.size());
  ::close(fd);
}

}  // namespace

void atFaultPoint(uint16_t lun, uint8_t opcode, uint32_t length) {
  FaultPoint* p = faultPoint();
  if (p == nullptr) return;
  uint64_t k = 0;
  {
    std::lock_guard<std::mutex> guard(p->mutex);
    k = ++p->sent[{lun, opcode}];
    if (!p->traceFile.empty()) {
      char line[64];
      std::snprintf(line, sizeof line, "%u %02X %llu %u\n", lun, opcode,
                    static_cast<unsigned long long>(k), length);
      appendLine(p->traceFile, line);
    }
  }
  if (!p->hold || lun != p->lun || opcode != p->opcode || k != p->k) return;
  char line[64];
  std::snprintf(line, sizeof line, "%u %02X %llu\n", lun, opcode,
                static_cast<unsigned long long>(k));
  platform::writeFileAtomic(p->holdFile, line);
  // The test removes the file once its harm is done.
  while (::access(p->holdFile.c_str(), F_OK) == 0) ::usleep(10000);
}

}  // namespace mox::scsi
