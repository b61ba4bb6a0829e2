// Windows critical sections: a mutex that the owning thread may enter again, left once
// per entry. Not a reader/writer lock (see SRWLock.h).
#pragma once

#include <pthread.h>

#include "platform/win32/Win32Types.h"

// Holds a recursive pthread mutex: a well-kept, sanitizer-aware implementation of exactly
// these semantics.
struct CRITICAL_SECTION {
  pthread_mutex_t Mutex;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

void InitializeCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
// TRUE when entered (also when already owned by the caller); never waits.
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
