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
  // Creates "<base>/<prefix>.XXXXXX"; the base defaults to $TMPDIR, else
  // /tmp.
  explicit ScopedTempDir(const char* prefix = "zep-test", const char* base = nullptr) {
    if (base == nullptr || base[0] == '\0') base = getenv("TMPDIR");
    if (base == nullptr || base[0] == '\0') base = "/tmp";
    std::string pattern = std::string(base) + "/" + prefix + ".XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  // Everything goes, also what a test made read-only.
  ~ScopedTempDir() {
    if (path_.empty()) return;
    namespace fs = std::filesystem;
    std::error_code ec;
    for (auto& entry : fs::recursive_directory_iterator(path_, ec)) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
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
