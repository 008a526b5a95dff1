// Clang thread-safety annotations and the annotated locks the engine uses.
// Under clang with -Wthread-safety the compiler checks that every guarded
// member is touched with its lock held; under GCC the macros are empty.
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define MOX_TSA(x) __attribute__((x))
#else
#define MOX_TSA(x)
#endif

#define MOX_CAPABILITY(name) MOX_TSA(capability(name))
#define MOX_SCOPED_CAPABILITY MOX_TSA(scoped_lockable)
#define MOX_GUARDED_BY(x) MOX_TSA(guarded_by(x))
#define MOX_PT_GUARDED_BY(x) MOX_TSA(pt_guarded_by(x))
#define MOX_REQUIRES(...) MOX_TSA(requires_capability(__VA_ARGS__))
#define MOX_REQUIRES_SHARED(...) MOX_TSA(requires_shared_capability(__VA_ARGS__))
#define MOX_ACQUIRE(...) MOX_TSA(acquire_capability(__VA_ARGS__))
#define MOX_ACQUIRE_SHARED(...) MOX_TSA(acquire_shared_capability(__VA_ARGS__))
#define MOX_RELEASE(...) MOX_TSA(release_capability(__VA_ARGS__))
#define MOX_RELEASE_SHARED(...) MOX_TSA(release_shared_capability(__VA_ARGS__))
#define MOX_RELEASE_GENERIC(...) MOX_TSA(release_generic_capability(__VA_ARGS__))
#define MOX_EXCLUDES(...) MOX_TSA(locks_excluded(__VA_ARGS__))
#define MOX_NO_THREAD_SAFETY_ANALYSIS MOX_TSA(no_thread_safety_analysis)

namespace mox {

// std::mutex with the annotations libstdc++ lacks.
class MOX_CAPABILITY("mutex") Mutex {
 public:
  void lock() MOX_ACQUIRE() { m_.lock(); }
  void unlock() MOX_RELEASE() { m_.unlock(); }

 private:
  std::mutex m_;
};

// std::shared_mutex with annotations: exclusive for writers, shared for readers.
class MOX_CAPABILITY("mutex") SharedMutex {
 public:
  void lock() MOX_ACQUIRE() { m_.lock(); }
  void unlock() MOX_RELEASE() { m_.unlock(); }
  void lock_shared() MOX_ACQUIRE_SHARED() { m_.lock_shared(); }
  void unlock_shared() MOX_RELEASE_SHARED() { m_.unlock_shared(); }

 private:
  std::shared_mutex m_;
};

class MOX_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) MOX_ACQUIRE(m) : m_(m) { m_.lock(); }
  ~MutexLock() MOX_RELEASE() { m_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& m_;
};

class MOX_SCOPED_CAPABILITY ExclusiveLock {
 public:
  explicit ExclusiveLock(SharedMutex& m) MOX_ACQUIRE(m) : m_(m) { m_.lock(); }
  ~ExclusiveLock() MOX_RELEASE() { m_.unlock(); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  SharedMutex& m_;
};

class MOX_SCOPED_CAPABILITY SharedLock {
 public:
  explicit SharedLock(SharedMutex& m) MOX_ACQUIRE_SHARED(m) : m_(m) { m_.lock_shared(); }
  ~SharedLock() MOX_RELEASE_GENERIC() { m_.unlock_shared(); }
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;

 private:
  SharedMutex& m_;
};

}  // namespace mox
