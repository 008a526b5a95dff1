#include "engine/mox/engine.h"

#include <unistd.h>

#include "engine/config/mox_config.h"
#include "engine/mox/handle.h"
#include "engine/mox/home.h"
#include "platform/registry_store.h"

namespace mox {

Engine& Engine::instance() {
  static Engine* engine = new Engine();  // never destroyed: handles may outlive exit
  return *engine;
}

int Engine::create(const HandleCreationRecord& request, MoxHandle* handle) {
  if (handle == nullptr) return MOX_E_INVALID_ARG;
  std::string homePath = platform::engineHomePath();
  Home home(homePath);
  int rc = home.ensureProvisioned();
  if (rc != MOX_OK) return rc;
  {
    // A tape change that a failure or a crash cut short is finished before
    // anyone looks at the drives. On a read-only home it stays as it is.
    HomeLock lock(homePath);
    if (lock.held()) home.finishDriveLoad();
  }
  // A home the user may read but not change (write-protected media, a
  // read-only mount) still serves restores: writes then fail on their own.
  if (access(homePath.c_str(), R_OK | X_OK) != 0) return MOX_E_HOME;
  moxcfg::EngineSettings settings;
  if (moxcfg::loadEngineSettings(homePath, &settings) != platform::kRegOk) return MOX_E_HOME;
  if (settings.stopped) return MOX_E_ENGINE_STOPPED;
  refreshDebugLevel(homePath);
  auto object = std::make_shared<Handle>(homePath, request, settings);
  std::lock_guard<std::mutex> guard(mutex_);
  MoxHandle id = next_++;
  if (next_ == 0) next_ = 1;
  handles_[id] = std::move(object);
  *handle = id;
  return MOX_OK;
}

int Engine::close(MoxHandle handle) {
  std::shared_ptr<Handle> object;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) return MOX_E_BAD_HANDLE;
    object = std::move(it->second);
    handles_.erase(it);
  }
  // The last reference (here or in a racing call) tears the handle down.
  return MOX_OK;
}

std::shared_ptr<Handle> Engine::find(MoxHandle handle) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : it->second;
}

}  // namespace mox
