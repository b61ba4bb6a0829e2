// Critical sections over recursive pthread mutexes.
#include "platform/win32/CriticalSection.h"

#include <cstdlib>

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  // Windows raises on failure here only when out of memory; a lock we could not make
  // must not be used silently.
  if (pthread_mutex_init(&section->Mutex, &attr) != 0) std::abort();
  pthread_mutexattr_destroy(&attr);
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_destroy(&section->Mutex); }

void EnterCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_lock(&section->Mutex); }

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
  return pthread_mutex_trylock(&section->Mutex) == 0 ? TRUE : FALSE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_unlock(&section->Mutex); }
