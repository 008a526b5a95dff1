// The engine's process-wide state: the handle table. Each handle is a
// Session object (engine/mox/session.h) that carries a selected group, the
// connected cartridges and an open session.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "engine/mox/mox.h"

namespace mox {

class Handle;

class Engine {
 public:
  static Engine& instance();

  // Opens a handle on the home named by the environment.
  int create(const HandleCreationRecord& request, MoxHandle* handle);
  int close(MoxHandle handle);
  // The handle's object, kept alive while the caller holds the pointer.
  std::shared_ptr<Handle> find(MoxHandle handle);

 private:
  std::mutex mutex_;
  uint32_t next_ = 1;
  std::unordered_map<MoxHandle, std::shared_ptr<Handle>> handles_;
};

}  // namespace mox
