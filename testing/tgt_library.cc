// tgt_library: a private tgtd (testing/tgt_target.h) for end-to-end tests
// written in shell. It serves tape drives, optionally behind a changer,
// prints where, and obeys one command per line on standard input until its
// end, then stops the target (the daemon also dies with this program).
//
//   tgt_library [--drives N] [--changer] [--cartridges N] [--slots N]
//               [--capacity MIB] [--space MIB] [--iqn IQN] [--untuned]
//
// Cartridges are named T00001, T00002, ...; with a changer they fill the
// first slots, without one cartridge i is loaded in drive i. With --space
// the images lie on a file system of that size (a full one fails writes).
// With --untuned the target keeps tgt's own session parameters
// (InitialR2T=Yes, 8 KiB data segments), as a target set up by hand has.
// Prints
//   url iscsi://127.0.0.1:PORT/IQN
//   media DIR           where the images are (one file per barcode)
//   ready
// then answers each command with "ok" or "error WHY":
//   freeze | thaw     SIGSTOP / SIGCONT of the daemon
//   stop | start      an orderly stop, and a start on the same port and images
//   kill              kill -9 of the daemon (start brings it back)
//   offline LUN       the logical unit is deleted: a drive gone from the target
//   damage BARCODE OFFSET [BYTES]
//                     overwrites BYTES (512) bytes of the cartridge's image at OFFSET
//   drop              ends every iSCSI connection of the target
//   label ADDRESS BARCODE
//                     the changer's storage slot ADDRESS holds a cartridge
//                     BARCODE (as an operator's swap by hand: the one there
//                     before is gone from the library)
//   quit              stops the target and exits (as does the end of input)
// Exit status: 0; 77 when tgt is not installed; 1 when the target cannot be
// started; 2 for bad arguments.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "testing/tgt_target.h"

namespace {

bool number(const char* text, int lo, int hi, int* value) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < lo || v > hi) return false;
  *value = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  zeptest::TgtOptions options;
  int cartridges = 0, capacity = 8;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool ok = true;
    if (a == "--changer") {
      options.changer = true;
    } else if (a == "--untuned") {
      options.tuned = false;
    } else if (i + 1 < argc && a == "--drives") {
      ok = number(argv[++i], 0, 16, &options.drives);
    } else if (i + 1 < argc && a == "--cartridges") {
      ok = number(argv[++i], 0, 99, &cartridges);
    } else if (i + 1 < argc && a == "--slots") {
      ok = number(argv[++i], 0, 999, &options.slots);
    } else if (i + 1 < argc && a == "--capacity") {
      ok = number(argv[++i], 1, 4096, &capacity);
    } else if (i + 1 < argc && a == "--space") {
      int mib = 0;
      ok = number(argv[++i], 1, 65536, &mib);
      options.imageSpaceBytes = static_cast<uint64_t>(mib) << 20;
    } else if (i + 1 < argc && a == "--iqn") {
      options.iqn = argv[++i];
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "tgt_library: bad argument '%s'\n", a.c_str());
      return 2;
    }
  }
  std::string missing;
  if (!zeptest::TgtTarget::installed(&missing)) {
    std::fprintf(stderr, "tgt_library: %s not found (tgt is not installed)\n", missing.c_str());
    return 77;
  }
  for (int i = 1; i <= cartridges; ++i) {
    char barcode[16];
    std::snprintf(barcode, sizeof barcode, "T%05d", i);
    options.cartridges.push_back(zeptest::TgtCartridge{barcode, static_cast<uint32_t>(capacity)});
  }
  zeptest::TgtTarget target(options);
  if (!target.start()) {
    std::fprintf(stderr, "tgt_library: %s\n", target.error().c_str());
    return 1;
  }
  std::string url = target.url(0);
  url.erase(url.rfind('/'));  // the target, without a LUN
  std::string media = target.imagePath("T");
  media.erase(media.rfind('/'));
  std::printf("url %s\nmedia %s\nready\n", url.c_str(), media.c_str());
  std::fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) {
    bool ok = true;
    if (line == "freeze") {
      ok = target.freeze();
    } else if (line == "thaw") {
      ok = target.thaw();
    } else if (line == "stop") {
      ok = target.stop();
    } else if (line == "start") {
      ok = target.restart();
    } else if (line == "drop") {
      ok = target.dropConnections();
    } else if (line == "kill") {
      ok = target.kill9();
    } else if (line.rfind("offline ", 0) == 0) {
      ok = target.tgtadm({"--lld", "iscsi", "--op", "delete", "--mode", "logicalunit", "--tid", "1",
                          "--lun", line.substr(8)}) == 0;
    } else if (line.rfind("label ", 0) == 0) {
      char barcode[64] = {};
      unsigned address = 0;
      ok = std::sscanf(line.c_str(), "label %u %63s", &address, barcode) == 2 &&
           target.tgtadm({"--lld", "iscsi", "--op", "update", "--mode", "logicalunit", "--tid", "1",
                          "--lun", std::to_string(target.changerLun()), "--params",
                          "element_type=2,address=" + std::to_string(address) +
                              ",barcode=" + barcode + ",sides=1"}) == 0;
    } else if (line.rfind("damage ", 0) == 0) {
      char barcode[64] = {};
      unsigned long long offset = 0;
      unsigned bytes = 512;
      ok = std::sscanf(line.c_str(), "damage %63s %llu %u", barcode, &offset, &bytes) >= 2 &&
           bytes <= (1u << 20) &&
           target.damageImage(barcode, offset, std::vector<uint8_t>(bytes, 0xA5));
    } else if (line == "quit") {
      break;
    } else {
      std::printf("error unknown command '%s'\n", line.c_str());
      std::fflush(stdout);
      continue;
    }
    if (ok) {
      std::printf("ok\n");
    } else {
      std::printf("error %s\n", target.error().c_str());
    }
    std::fflush(stdout);
  }
  target.stop();
  return 0;
}
