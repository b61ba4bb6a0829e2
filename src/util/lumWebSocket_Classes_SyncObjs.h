// The critical-section object and the thread list: a list of untyped references under
// one re-entrant lock. The ID-keyed queues built on it are in
// lumWebSocket_Classes_Queues.h.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/win32/CriticalSection.h"
#include "util/lumList.h"

namespace quillon {

enum TlumThreadListType : std::uint8_t { tdlThreadDictionary, tdlOnlyThread, tdlOnlyDictionary };
enum TDuplicates : std::uint8_t { dupIgnore, dupAccept, dupError };

// Base of the lock objects: something that can be acquired and released.
class TSynchroObject {
 public:
  virtual ~TSynchroObject() = default;
  virtual void Acquire() = 0;
  virtual void Release() = 0;
};

// A Windows critical section: re-entrant for the owning thread. The lower-case aliases
// let std::lock_guard / std::unique_lock hold it.
class TlumCriticalSection : public TSynchroObject {
 public:
  TlumCriticalSection();
  ~TlumCriticalSection() override;
  TlumCriticalSection(const TlumCriticalSection&) = delete;
  TlumCriticalSection& operator=(const TlumCriticalSection&) = delete;

  void Acquire() override;
  void Release() override;
  bool TryAcquire();

  void lock() { Acquire(); }
  void unlock() { Release(); }
  bool try_lock() { return TryAcquire(); }

 private:
  CRITICAL_SECTION FSection;
};

// Every operation takes the lock for its own duration only; LockList/UnlockList hold it
// across several steps. It holds references and never frees them.
class TlumThreadList {
 public:
  TlumThreadList();
  virtual ~TlumThreadList();
  TlumThreadList(const TlumThreadList&) = delete;
  TlumThreadList& operator=(const TlumThreadList&) = delete;

  TList* LockList();
  void UnlockList();

  // dupAccept appends always; otherwise a reference already present is ignored
  // (dupIgnore) or raises EListError (dupError).
  void Add(void* Item);
  void AddKey(void* Item, std::string_view /*aKey*/) { Add(Item); }
  void Delete(int Index);  // EListError for a bad index
  void DeleteKey(int Index, std::string_view /*aKey*/) { Delete(Index); }
  void Remove(void* Item) { RemoveItem(Item, FromBeginning); }
  void RemoveItem(void* Item, TDirection Direction);
  // The keyed (dictionary) modes do not exist here: no key finds anything.
  void* GetValue(std::string_view /*aKey*/) const { return nullptr; }
  virtual void Clear();  // never frees items
  bool IsEmpty();

  TDuplicates Duplicates();
  void SetDuplicates(TDuplicates Value);
  TlumThreadListType ListType() const { return tdlOnlyThread; }
  void SetListType(TlumThreadListType /*Value*/) {}

  // Holds a list's lock for a scope, released however the scope ends; the list's own
  // operations nest inside it (the lock is re-entrant).
  class TLocked {
   public:
    explicit TLocked(TlumThreadList& list) : FOwner(list) { FOwner.FLock.Acquire(); }
    ~TLocked() { FOwner.FLock.Release(); }
    TLocked(const TLocked&) = delete;
    TLocked& operator=(const TLocked&) = delete;

   private:
    TlumThreadList& FOwner;
  };

 protected:
  TList FList;
  TlumCriticalSection FLock;
  TDuplicates FDuplicates = dupIgnore;
};

}  // namespace quillon
