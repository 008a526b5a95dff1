// Registry store: the platform registry of the tape engine's configuration,
// kept as a directory tree. A key is a directory, a value is a file inside
// it. Key paths use backslashes as on the tape engine's home platform
// ("SOFTWARE\\Quorvane\\...") and are mapped to directories one component
// at a time. Writes are atomic: a temporary file, fsync, rename, and an
// fsync of the key's directory.
#pragma once

#include <string>

namespace platform {

// Result codes of the store.
constexpr int kRegOk = 0;
constexpr int kRegNotFound = 2;      // key or value does not exist
constexpr int kRegAccessDenied = 5;  // key exists but is not writable by this user
constexpr int kRegInvalid = 87;      // malformed key path or value name
constexpr int kRegIoError = 1117;    // the file system refused an operation

// The tape engine's key below HKEY_LOCAL_MACHINE: the engine's settings
// and its RAID devices "RAID<n>" live here.
inline constexpr const char* kTapeEngineKey =
    "SOFTWARE\\Quorvane\\Tellimar\\CurrentVersion\\TapeEngine";

// An open key: the directory it stands for. Plain record, no resources.
struct RegKey {
  std::string dir;
};

// The tape engine's home (not created): $MOX_HOME, else
// ${XDG_STATE_HOME:-$HOME/.local/state}/mox. The only place that decides it.
std::string engineHomePath();
// The directory that stands for HKEY_LOCAL_MACHINE in the registry of the
// engine home `home`: "<home>/registry/HKEY_LOCAL_MACHINE".
std::string regLocalMachineRootOf(const std::string& home);
// The same for engineHomePath().
std::string regLocalMachineRoot();

// Opens `subkey` below `root` with full access: fails with kRegNotFound when
// the key is missing and kRegAccessDenied when it is not writable. A key
// whose mode grants write access to nobody is read-only for every user,
// root included, as a key whose access list denies writing is on the
// registry's home platform.
int regOpenKeyFullAccess(const std::string& root, const std::string& subkey, RegKey* key);
// Opens for reading only: fails when the key is missing or not readable.
int regOpenKeyRead(const std::string& root, const std::string& subkey, RegKey* key);
// Creates `subkey` (and every missing parent, each made durable) and opens
// it with full access.
int regCreateKey(const std::string& root, const std::string& subkey, RegKey* key);
// Deletes `subkey` with all its values and subkeys, durably.
int regDeleteKey(const std::string& root, const std::string& subkey);
// Closes a key. Nothing is held open; present so callers pair every open.
void regCloseKey(RegKey* key);
// Whether the value `name` of an open key is there, readable or not,
// without reading it: kRegOk or kRegNotFound.
int regQueryValue(const RegKey& key, const std::string& name);
// Reads the whole value `name` of an open key into `data`: kRegOk,
// kRegNotFound, kRegInvalid when something else than a regular file stands
// in its place (never waited on), kRegIoError when it cannot be read.
int regReadValue(const RegKey& key, const std::string& name, std::string* data);
// Replaces the value `name` atomically.
int regWriteValue(const RegKey& key, const std::string& name, const std::string& data);
// Deletes the value `name`.
int regDeleteValue(const RegKey& key, const std::string& name);
// Renames a subkey (used to keep RAID keys consecutive). Fails when `to` exists.
int regRenameKey(const std::string& root, const std::string& from, const std::string& to);

}  // namespace platform
