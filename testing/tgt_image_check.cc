// tgt_image_check: reads tgt tape images with a reader of its own
// (testing/tgt_image.h) and holds every record to its place.
//
//   tgt_image_check [--tail-ok] IMAGE...
//   tgt_image_check --block-from-end=K IMAGE
//
// Prints a line per image, "NAME: ok, R records, S sessions" (", in P
// packs" when records are packed into tape blocks) (or "blank"),
// else "NAME: BAD: ..." for each fault. --tail-ok lets a tape end in an
// unfinished session (a writer that was stopped). Exit status: 0 when
// every image is sound, 1 when any is not, 2 for bad arguments.
// --block-from-end=K prints where in the image file the bytes of its K-th
// last block begin (1: the last), for tests that damage a record there.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "testing/tgt_image.h"

int main(int argc, char** argv) {
  bool tailOk = false;
  long fromEnd = 0;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--tail-ok") {
      tailOk = true;
    } else if (a.rfind("--block-from-end=", 0) == 0) {
      fromEnd = std::strtol(a.c_str() + 17, nullptr, 10);
      if (fromEnd < 1) {
        std::fprintf(stderr, "tgt_image_check: bad block count '%s'\n", a.c_str());
        return 2;
      }
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "tgt_image_check: unknown option '%s'\n", a.c_str());
      return 2;
    } else {
      paths.push_back(a);
    }
  }
  if (paths.empty()) {
    std::fprintf(stderr, "usage: tgt_image_check [--tail-ok] IMAGE...\n");
    return 2;
  }
  if (fromEnd > 0) {
    std::vector<zeptest::TapeObject> objects;
    std::string error;
    if (paths.size() != 1 || !zeptest::readTgtImage(paths[0], &objects, &error)) {
      std::fprintf(stderr, "tgt_image_check: %s\n",
                   paths.size() != 1 ? "one image" : error.c_str());
      return 2;
    }
    for (auto it = objects.rbegin(); it != objects.rend(); ++it) {
      if (it->kind == zeptest::TapeObject::kBlock && --fromEnd == 0) {
        std::printf("%llu\n", static_cast<unsigned long long>(it->dataOffset));
        return 0;
      }
    }
    std::fprintf(stderr, "tgt_image_check: fewer blocks than that\n");
    return 1;
  }
  std::vector<zeptest::TapeCheck> results;
  bool sound = zeptest::checkTapes(paths, tailOk, &results);
  for (const auto& r : results) {
    if (!r.sound) {
      for (const auto& f : r.faults) std::printf("%s: BAD: %s\n", r.name.c_str(), f.c_str());
    } else if (r.blank) {
      std::printf("%s: blank\n", r.name.c_str());
    } else {
      std::printf("%s: ok, %llu records, %llu sessions%s%s\n", r.name.c_str(),
                  static_cast<unsigned long long>(r.records),
                  static_cast<unsigned long long>(r.sessions),
                  r.packs == 0 ? "" : (", in " + std::to_string(r.packs) + " packs").c_str(),
                  r.unfinishedTail ? ", an unfinished session at the end" : "");
    }
  }
  return sound ? 0 : 1;
}
