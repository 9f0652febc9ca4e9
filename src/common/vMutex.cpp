// Mutexes, threads and time over POSIX.
#include "vMutex.h"

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

vMutex* vMutex_Create(const char* name) {
  if (!name) name = "";
  if (strnlen(name, vMUTEX_MAX_NAME + 1) > vMUTEX_MAX_NAME) return nullptr;
  vMutex* m = static_cast<vMutex*>(calloc(1, sizeof(vMutex)));
  if (!m) return nullptr;
  if (pthread_mutex_init(&m->mutex, nullptr) != 0) {
    free(m);
    return nullptr;
  }
  strcpy(m->name, name);
  return m;
}

const char* vMutex_Identifier(vMutex* mutex) { return mutex ? mutex->name : nullptr; }

vErr vMutex_Lock(vMutex* mutex) {
  if (!mutex) return vErrParam;
  switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0: return vErrNone;
    case EINVAL: return vErrParam;
    case EDEADLK: return vErrDuplicate;
    default: return vErrUnknown;
  }
}

vErr vMutex_TryLock(vMutex* mutex) {
  if (!mutex) return vErrParam;
  switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0: return vErrNone;
    case EBUSY: return vErrBusy;
    case EINVAL: return vErrParam;
    default: return vErrUnknown;
  }
}

vErr vMutex_Unlock(vMutex* mutex) {
  if (!mutex) return vErrParam;
  switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0: return vErrNone;
    case EPERM: return vErrPermission;
    case EINVAL: return vErrParam;
    default: return vErrUnknown;
  }
}

vErr vMutex_Destroy(vMutex** mutex) {
  if (!mutex || !*mutex) return vErrParam;
  vErr result;
  switch (pthread_mutex_destroy(&(*mutex)->mutex)) {
    case 0: result = vErrNone; break;
    case EINVAL: result = vErrParam; break;
    case EAGAIN: result = vErrResource; break;
    case EBUSY: result = vErrBusy; break;
    default: result = vErrUnknown; break;
  }
  free(*mutex);
  *mutex = nullptr;
  return result;
}

struct vThread {
  pthread_t handle;
};

vThread* vThread_Create(vThreadProc procedure, void* argument) {
  if (!procedure) return nullptr;
  vThread* t = static_cast<vThread*>(calloc(1, sizeof(vThread)));
  if (!t) return nullptr;
  if (pthread_create(&t->handle, nullptr, procedure, argument) != 0) {
    free(t);
    return nullptr;
  }
  return t;
}

int vThread_Destroy(vThread** thread) {
  if (!thread || !*thread) return EINVAL;
  int rc = pthread_join((*thread)->handle, nullptr);
  free(*thread);
  *thread = nullptr;
  return rc;
}

void vThread_Yield() { usleep(5); }

uint64_t vTime_GetMSTicks() {
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) return 0;
  uint64_t ms = uint64_t(tv.tv_sec) * 1000u + uint64_t(tv.tv_usec) / 1000u;
  return ms == UINT64_MAX ? 0 : ms;
}

void vTime_MSSleep(uint32_t ms) {
  uint64_t remaining = uint64_t(ms) * 1000u;
  while (remaining > 0) {
    useconds_t step = remaining > 999999u ? 999999u : useconds_t(remaining);
    usleep(step);
    remaining -= step;
  }
}
