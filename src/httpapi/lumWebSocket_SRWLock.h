// TlumSRWLock, a thin object over a slim reader/writer lock, and TlumSRWLockList, a
// pointer list guarded by one: exclusive to change, shared to read. Neither is
// re-entrant; the list's own operations take no lock, so callers bracket them.
#pragma once

#include "platform/win32/SRWLock.h"
#include "util/lumList.h"

namespace quillon {

// Calls the lock functions directly: they are linked in, nothing to resolve at run time.
// The lower-case aliases make it a SharedMutex for std::unique_lock / std::shared_lock.
class TlumSRWLock {
 public:
  TlumSRWLock() { InitializeSRWLock(&fHandle); }
  TlumSRWLock(const TlumSRWLock&) = delete;
  TlumSRWLock& operator=(const TlumSRWLock&) = delete;

  void AcquireShared() { AcquireSRWLockShared(&fHandle); }
  void ReleaseShared() { ReleaseSRWLockShared(&fHandle); }
  void AcquireExclusive() { AcquireSRWLockExclusive(&fHandle); }
  void ReleaseExclusive() { ReleaseSRWLockExclusive(&fHandle); }
  // Never wait; true when the lock was taken.
  bool TryAcquireShared() { return TryAcquireSRWLockShared(&fHandle) != 0; }
  bool TryAcquireExclusive() { return TryAcquireSRWLockExclusive(&fHandle) != 0; }

  void lock() { AcquireExclusive(); }
  void unlock() { ReleaseExclusive(); }
  bool try_lock() { return TryAcquireExclusive(); }
  void lock_shared() { AcquireShared(); }
  void unlock_shared() { ReleaseShared(); }
  bool try_lock_shared() { return TryAcquireShared(); }

 private:
  SRWLOCK fHandle;
};
static_assert(sizeof(TlumSRWLock) == sizeof(void*), "the lock is a single word");

// Does not own its items. LockList/ShareList return the list itself so that calls can be
// chained; release with UnLockList/UnShareList even when an operation throws.
class TlumSRWLockList : public TList {
 public:
  TlumSRWLockList* LockList() {
    FLock.AcquireExclusive();
    return this;
  }
  void UnLockList() { FLock.ReleaseExclusive(); }
  TlumSRWLockList* ShareList() {
    FLock.AcquireShared();
    return this;
  }
  void UnShareList() { FLock.ReleaseShared(); }

  TlumSRWLock& Lock() { return FLock; }

 private:
  TlumSRWLock FLock;
};

}  // namespace quillon
