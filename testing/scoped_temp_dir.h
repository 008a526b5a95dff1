// A fresh temporary directory for one test, removed with everything in it
// when the object goes. The one helper every test uses for scratch files.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace zeptest {

class ScopedTempDir {
 public:
  // Creates "$TMPDIR/<prefix>.XXXXXX" (TMPDIR defaults to /tmp).
  explicit ScopedTempDir(const char* prefix = "zep-test") {
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/" + prefix + ".XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScopedTempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  // Empty when the directory could not be made.
  const std::string& path() const { return path_; }
  bool valid() const { return !path_.empty(); }
  // `name` below the directory.
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace zeptest
