// Named process-local mutexes, threads and millisecond time.
#pragma once
#include <pthread.h>

#include <cstdint>

#include "vErr.h"

#define vMUTEX_MAX_NAME 255

typedef struct vMutex {
  pthread_mutex_t mutex;
  char name[vMUTEX_MAX_NAME + 1];
} vMutex;

vMutex* vMutex_Create(const char* name);
const char* vMutex_Identifier(vMutex* mutex);
vErr vMutex_Lock(vMutex* mutex);
vErr vMutex_TryLock(vMutex* mutex);
vErr vMutex_Unlock(vMutex* mutex);
vErr vMutex_Destroy(vMutex** mutex);

// Holds a mutex from construction to the end of the scope. A null mutex, or
// one that cannot be locked, is not held and not unlocked.
class vMutexGuard {
 public:
  explicit vMutexGuard(vMutex* mutex)
      : mutex_(mutex && vMutex_Lock(mutex) == vErrNone ? mutex : nullptr) {}
  ~vMutexGuard() {
    if (mutex_) vMutex_Unlock(mutex_);
  }
  vMutexGuard(const vMutexGuard&) = delete;
  vMutexGuard& operator=(const vMutexGuard&) = delete;

 private:
  vMutex* mutex_;
};

typedef struct vThread vThread;
typedef void* (*vThreadProc)(void* argument);

vThread* vThread_Create(vThreadProc procedure, void* argument);
// Joins the thread, frees the handle and clears the pointer; returns the join's error number.
int vThread_Destroy(vThread** thread);
void vThread_Yield();

// Milliseconds of the wall clock since the epoch; 0 when unreadable.
uint64_t vTime_GetMSTicks();
// Sleeps ms milliseconds in steps of at most 999999 microseconds.
void vTime_MSSleep(uint32_t ms);
