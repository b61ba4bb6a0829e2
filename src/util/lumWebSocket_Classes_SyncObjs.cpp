// TlumCriticalSection and TlumThreadList.
#include "util/lumWebSocket_Classes_SyncObjs.h"

namespace quillon {

TlumCriticalSection::TlumCriticalSection() { InitializeCriticalSection(&FSection); }

TlumCriticalSection::~TlumCriticalSection() { DeleteCriticalSection(&FSection); }

void TlumCriticalSection::Acquire() { EnterCriticalSection(&FSection); }

void TlumCriticalSection::Release() { LeaveCriticalSection(&FSection); }

bool TlumCriticalSection::TryAcquire() { return TryEnterCriticalSection(&FSection) != 0; }

TlumThreadList::TlumThreadList() = default;

TlumThreadList::~TlumThreadList() {
  TLocked hold(*this);
  FList.Clear();
}

TList* TlumThreadList::LockList() {
  FLock.Acquire();
  return &FList;
}

void TlumThreadList::UnlockList() { FLock.Release(); }

void TlumThreadList::Add(void* Item) {
  TLocked hold(*this);
  if (FDuplicates != dupAccept && FList.IndexOf(Item) >= 0) {
    if (FDuplicates == dupError) throw EListError::Duplicate(Item);
    return;
  }
  FList.Add(Item);
}

void TlumThreadList::Delete(int Index) {
  TLocked hold(*this);
  FList.Delete(Index);
}

void TlumThreadList::RemoveItem(void* Item, TDirection Direction) {
  TLocked hold(*this);
  FList.RemoveItem(Item, Direction);
}

void TlumThreadList::Clear() {
  TLocked hold(*this);
  FList.Clear();
}

TDuplicates TlumThreadList::Duplicates() {
  TLocked hold(*this);
  return FDuplicates;
}

void TlumThreadList::SetDuplicates(TDuplicates Value) {
  TLocked hold(*this);
  FDuplicates = Value;
}

// Under the lock: an unlocked read of the count would race with writers.
bool TlumThreadList::IsEmpty() {
  TLocked hold(*this);
  return FList.IsEmpty();
}

}  // namespace quillon
