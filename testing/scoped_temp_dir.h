// A fresh temporary directory for one test, removed with everything in it
// when the object goes. The one helper every test uses for scratch files.
#pragma once

#include <stdlib.h>
#include <unistd.h>

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
    leave();
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

  // Makes the directory the working directory (so a test's log files land
  // there) until leave() or the end of the object. False when it cannot.
  bool enter() {
    char cwd[4096];
    if (path_.empty() || getcwd(cwd, sizeof cwd) == nullptr) return false;
    if (chdir(path_.c_str()) != 0) return false;
    previous_ = cwd;
    return true;
  }
  // Back to the working directory from before enter(). False when it cannot.
  bool leave() {
    if (previous_.empty()) return true;
    bool ok = chdir(previous_.c_str()) == 0;
    previous_.clear();
    return ok;
  }
  // The working directory before enter() ("" when not entered).
  const std::string& previous() const { return previous_; }

 private:
  std::string path_;
  std::string previous_;
};

}  // namespace zeptest
