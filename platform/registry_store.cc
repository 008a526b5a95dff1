#include "platform/registry_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "platform/file_env.h"
#include "platform/file_util.h"

namespace platform {
namespace {

// Maps a backslash key path to a directory below root. Empty components,
// "." and ".." are refused so a key can never leave the store.
bool keyDir(const std::string& root, const std::string& subkey, std::string* dir) {
  std::string out = root;
  size_t start = 0;
  while (start <= subkey.size()) {
    size_t end = subkey.find('\\', start);
    if (end == std::string::npos) end = subkey.size();
    std::string part = subkey.substr(start, end - start);
    if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos) {
      return false;
    }
    out += '/';
    out += part;
    start = end + 1;
  }
  *dir = out;
  return true;
}

bool validValueName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name[0] != '.';
}

int errnoToReg(int err) {
  if (err == ENOENT || err == ENOTDIR) return kRegNotFound;
  if (err == EACCES || err == EPERM || err == EROFS) return kRegAccessDenied;
  return kRegIoError;
}

}  // namespace

std::string engineHomePath() {
  const char* mox = std::getenv("MOX_HOME");
  if (mox != nullptr && mox[0] != '\0') return mox;
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] != '\0') return std::string(state) + "/mox";
  const char* user = std::getenv("HOME");
  return std::string(user != nullptr && user[0] != '\0' ? user : ".") + "/.local/state/mox";
}

std::string regLocalMachineRootOf(const std::string& home) {
  return home + "/registry/HKEY_LOCAL_MACHINE";
}

std::string regLocalMachineRoot() { return regLocalMachineRootOf(engineHomePath()); }

int regOpenKeyRead(const std::string& root, const std::string& subkey, RegKey* key) {
  std::string dir;
  if (!keyDir(root, subkey, &dir)) return kRegInvalid;
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return errnoToReg(errno);
  if (!S_ISDIR(st.st_mode)) return kRegNotFound;
  if (access(dir.c_str(), R_OK | X_OK) != 0) return kRegAccessDenied;
  key->dir = dir;
  return kRegOk;
}

int regOpenKeyFullAccess(const std::string& root, const std::string& subkey, RegKey* key) {
  int rc = regOpenKeyRead(root, subkey, key);
  if (rc != kRegOk) return rc;
  struct stat st;
  // access() grants root everything; the mode bits still say whether the
  // key was made read-only on purpose.
  if (access(key->dir.c_str(), W_OK) != 0 || stat(key->dir.c_str(), &st) != 0 ||
      (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    key->dir.clear();
    return kRegAccessDenied;
  }
  return kRegOk;
}

int regCreateKey(const std::string& root, const std::string& subkey, RegKey* key) {
  std::string dir;
  if (!keyDir(root, subkey, &dir)) return kRegInvalid;
  // A key made is durable before any value is stored in it.
  int err = makeDirectories(dir);
  if (err != 0) return errnoToReg(err);
  return regOpenKeyFullAccess(root, subkey, key);
}

int regDeleteKey(const std::string& root, const std::string& subkey) {
  std::string dir;
  if (!keyDir(root, subkey, &dir)) return kRegInvalid;
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) return kRegNotFound;
  int err = removeTree(dir);
  return err == 0 ? kRegOk : errnoToReg(err);
}

void regCloseKey(RegKey* key) { key->dir.clear(); }

int regQueryValue(const RegKey& key, const std::string& name) {
  if (!validValueName(name)) return kRegInvalid;
  struct stat st;
  return lstat((key.dir + "/" + name).c_str(), &st) == 0 ? kRegOk : kRegNotFound;
}

int regReadValue(const RegKey& key, const std::string& name, std::string* data) {
  if (!validValueName(name)) return kRegInvalid;
  // Values are small; one that is not a regular file (a FIFO is never
  // waited on) cannot be read.
  std::string text;
  int err = readRegularFile(key.dir + "/" + name, 16u << 20, &text);
  // Anything but a regular file in a value's place is no value of ours: a
  // malformed one. A value that cannot be read is an I/O error.
  if (err == EINVAL) return kRegInvalid;
  if (err != 0) return errnoToReg(err);
  *data = std::move(text);
  return kRegOk;
}

int regWriteValue(const RegKey& key, const std::string& name, const std::string& data) {
  if (!validValueName(name)) return kRegInvalid;
  // Temporary files start with a dot, so they are never taken for values.
  int err = writeFileAtomic(key.dir + "/" + name, data);
  return err == 0 ? kRegOk : errnoToReg(err);
}

int regDeleteValue(const RegKey& key, const std::string& name) {
  if (!validValueName(name)) return kRegInvalid;
  std::string path = key.dir + "/" + name;
  return fileEnv().unlink(path) == 0 ? kRegOk : errnoToReg(errno);
}

int regRenameKey(const std::string& root, const std::string& from, const std::string& to) {
  std::string fromDir, toDir;
  if (!keyDir(root, from, &fromDir) || !keyDir(root, to, &toDir)) return kRegInvalid;
  struct stat st;
  if (stat(toDir.c_str(), &st) == 0) return kRegInvalid;
  if (fileEnv().rename(fromDir, toDir) != 0) return errnoToReg(errno);
  // The new name survives a crash only once its directory is synced.
  int err = syncDirectory(directoryOf(toDir));
  return err == 0 ? kRegOk : errnoToReg(err);
}

}  // namespace platform
