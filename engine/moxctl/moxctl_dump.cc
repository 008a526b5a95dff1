// moxctl dump: the label, sessions, streams and block counts of one
// cartridge, and the data bytes of each session.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/mox/cartridge.h"
#include "engine/mox/home.h"
#include "engine/mox/mox.h"
#include "engine/moxctl/moxctl_cmd.h"
#include "engine/moxctl/moxctl_home.h"
#include "engine/moxctl/moxctl_medium.h"

namespace moxctl {

int cmdDump(const std::string& home, const std::vector<std::string>& args, FILE* out, FILE* err) {
  if (args.size() != 1) {
    std::fprintf(err, "moxctl: usage: dump CARTRIDGE\n");
    return 2;
  }
  mox::Home h(home);
  std::string path;
  if (int status = cartridgePath(h, args[0], &path, err); status != 0) return status;
  mox::CartridgeMap map;
  int rc = scanIn(h, path, &map);
  if (rc != MOX_OK) {
    std::fprintf(err, "moxctl: %s: not a cartridge of this engine (code %d)\n", path.c_str(), rc);
    return 1;
  }
  std::fprintf(out, "cartridge %s: %llu bytes\n", args[0].c_str(),
               static_cast<unsigned long long>(map.fileSize));
  if (map.blank) {
    std::fprintf(out, "blank (no label)\n");
  } else {
    const mox::Label& l = map.label;
    std::fprintf(out,
                 "label '%s' random id %d sequence %d format %u media %u density %u "
                 "expiration %d block size %d\n",
                 l.name, l.randomId, l.sequence, l.formatCode, l.mediaType, l.density, l.expiration,
                 l.blockSize);
    std::fprintf(out, "set %016llx member %u of %u, RAID level %u\n",
                 static_cast<unsigned long long>(l.setId), l.memberIndex, l.memberCount, l.level);
  }
  std::vector<mox::DataBytes> data = dataBytesIn(h, path, map);
  for (size_t n = 0; n < map.sessions.size(); ++n) {
    const mox::SessionExtent& s = map.sessions[n];
    uint64_t total = 0;
    for (uint32_t b : s.end.streamBlocks) total += b;
    std::fprintf(out, "session %u: cartridge set %u of the session, %s, %zu streams, %llu blocks\n",
                 s.session, s.start.setIndex + 1,
                 s.continued ? "continues on the next set" : "ended", s.end.streamBlocks.size(),
                 static_cast<unsigned long long>(total));
    const mox::DataBytes& sums = data[n];
    std::fprintf(out, "  data: %llu bytes received, %llu bytes stored, ratio %s\n",
                 static_cast<unsigned long long>(sums.received),
                 static_cast<unsigned long long>(sums.stored), ratioText(sums).c_str());
    for (size_t i = 0; i < s.end.streamBlocks.size(); ++i) {
      std::fprintf(out, "  stream %zu: %u blocks\n", i, s.end.streamBlocks[i]);
    }
  }
  if (map.tornTail) {
    std::fprintf(out, "torn tail at offset %llu (%s)\n",
                 static_cast<unsigned long long>(map.tornOffset), map.tornReason.c_str());
  }
  for (const auto& d : map.damage) {
    std::fprintf(out, "damage at offset %llu: %s\n", static_cast<unsigned long long>(d.offset),
                 d.kind.c_str());
  }
  return 0;
}

}  // namespace moxctl
