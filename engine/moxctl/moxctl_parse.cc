#include "engine/moxctl/moxctl_parse.h"

#include <cstdint>

#include "engine/moxctl/moxctl_commands.h"

namespace moxctl {

bool parseCount(const std::string& text, int lo, int hi, int* value) {
  uint64_t v = 0;
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v < static_cast<uint64_t>(lo) || v > static_cast<uint64_t>(hi)) return false;
  *value = static_cast<int>(v);
  return true;
}

bool parseRaid(const std::string& text, moxcfg::RaidConfig* raid) {
  size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  // Every drive between commas: "0:0,1," lacks one as "0:0,,1" does.
  if (text.back() == ',' || text[colon + 1] == ',') return false;
  std::string info =
      "level=" + text.substr(0, colon) + "\nmembers=" + text.substr(colon + 1) + "\n";
  return moxcfg::parseRaidInfo(info, raid) && !raid->members.empty();
}

bool parseSize(const std::string& text, uint64_t* bytes) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t unit = 1;
  std::string digits = text;
  char last = text.back();
  if (last == 'K' || last == 'k') unit = 1ull << 10;
  if (last == 'M' || last == 'm') unit = 1ull << 20;
  if (last == 'G' || last == 'g') unit = 1ull << 30;
  if (unit != 1) digits.pop_back();
  if (digits.empty()) return false;
  uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    if (v > (UINT64_MAX - 9) / 10) return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > UINT64_MAX / unit) return false;
  *bytes = v * unit;
  return true;
}

bool parseTapeBlock(const std::string& text, uint64_t* bytes) {
  uint64_t v = 0;
  if (text == "record") {
    *bytes = 0;
    return true;
  }
  if (!parseSize(text, &v) || v < moxcfg::kMinTapeBlock || v > moxcfg::kMaxTapeBlock) return false;
  *bytes = v;
  return true;
}

void printBadTapeBlock(const std::string& text, FILE* err) {
  std::fprintf(err,
               "moxctl: bad tape block '%s' (record, or %lluK to %lluM: records packed whole "
               "into blocks of that size)\n",
               text.c_str(), static_cast<unsigned long long>(moxcfg::kMinTapeBlock >> 10),
               static_cast<unsigned long long>(moxcfg::kMaxTapeBlock >> 20));
}

}  // namespace moxctl
