// libFuzzer target: arbitrary bytes as a cartridge file (scan, check, every
// record read) and as registry values of the engine (RAID device Info).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/config/mox_config.h"
#include "engine/mox/cartridge.h"
#include "engine/mox/record_reader.h"
#include "engine/moxctl/moxctl_commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memfd_create("cartridge", 0);
  if (fd < 0) return 0;
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  mox::CartridgeMap map;
  if (mox::scanCartridge(path, &map) == 0) {
    mox::CartridgeFile file;
    if (file.open(path, false) == 0) {
      for (const auto& s : map.sessions) {
        mox::RecordHeader h;
        std::vector<uint8_t> body;
        file.readRecord(s.startOffset, &h, &body);
        file.readRecord(s.endOffset, &h, &body);
        for (uint64_t offset : s.end.indexOffsets) {
          if (file.readRecord(offset, &h, &body) == 0) {
            std::vector<mox::IndexEntry> entries;
            if (mox::decodeIndex(body.data() + mox::kHeaderSize, h.storedLength, &entries)) {
              for (const auto& e : entries) file.readRecord(e.offset, &h, &body);
            }
          }
        }
      }
    }
  }
  mox::checkCartridge(path);
  close(fd);

  std::string text(reinterpret_cast<const char*>(data), size);
  moxcfg::RaidConfig config;
  if (moxcfg::parseRaidInfo(text, &config)) {
    moxcfg::RaidConfig again;
    if (!moxcfg::parseRaidInfo(moxcfg::formatRaidInfo(config), &again) ||
        again.members != config.members || again.level != config.level) {
      __builtin_trap();  // a value the engine writes must read back the same
    }
  }
  uint64_t bytes = 0;
  moxctl::parseSize(text, &bytes);
  return 0;
}
