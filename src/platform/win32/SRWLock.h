// Windows slim reader/writer locks: one pointer-sized word, no allocation, shared or
// exclusive, neither re-entrant nor upgradable. Writers are preferred: once a writer
// waits, new shared requests wait too (and the try forms fail), so a steady stream of
// readers cannot starve it. Waiting uses futexes on the two halves of the word.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/win32/Win32Types.h"

struct SRWLOCK {
  std::atomic<std::uint32_t> State;         // reader count / write bit / waiter bits
  std::atomic<std::uint32_t> WriterNotify;  // bumped to wake one waiting writer
};
using PSRWLOCK = SRWLOCK*;
static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRW lock is one pointer-sized word");

#define SRWLOCK_INIT {}

void InitializeSRWLock(PSRWLOCK lock);
void AcquireSRWLockShared(PSRWLOCK lock);
void ReleaseSRWLockShared(PSRWLOCK lock);
void AcquireSRWLockExclusive(PSRWLOCK lock);
void ReleaseSRWLockExclusive(PSRWLOCK lock);
// Non-zero when the lock was taken; they never wait.
BOOLEAN TryAcquireSRWLockShared(PSRWLOCK lock);
BOOLEAN TryAcquireSRWLockExclusive(PSRWLOCK lock);
