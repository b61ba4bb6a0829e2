// The ID-keyed queues: plain and bounded (FIFO) queues of items with a string ID, a
// cached queue, a list of cached queues grouped by an ID prefix, and a list of named
// queues; plus their specialisations for connections. They hold references; whether a
// container deletes its items is its OwnObjects flag (lists of queues own their queues).
// IDs and queue names compare exactly. A reference handed out is used after the lock is
// gone: callers keep the item alive meanwhile, or hold LockList across the use.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util/lumWebSocket_Classes_SyncObjs.h"

namespace quillon {

class TlumQueueItemBase {
 public:
  TlumQueueItemBase() = default;
  virtual ~TlumQueueItemBase() = default;
  TlumQueueItemBase(const TlumQueueItemBase&) = delete;
  TlumQueueItemBase& operator=(const TlumQueueItemBase&) = delete;

  const std::string& ID() const { return FID; }
  void SetID(std::string aID) { FID = std::move(aID); }

 protected:
  std::string FID;
};

// An item of a named queue; Queue names the queue it belongs to.
class TlumQueueNameItemBase : public TlumQueueItemBase {
 public:
  const std::string& Queue() const { return FQueue; }
  void SetQueue(std::string aQueue) { FQueue = std::move(aQueue); }

 protected:
  std::string FQueue;
};

// Adds ownership to the thread list. Subclasses say how an entry is deleted and clear
// themselves in their destructor, while that knowledge still exists.
class TlumQueueCommon : public TlumThreadList {
 public:
  virtual int Count();
  bool OwnObjects() const { return FOwnObjects.load(std::memory_order_relaxed); }
  void SetOwnObjects(bool Value) { FOwnObjects.store(Value, std::memory_order_relaxed); }
  // Last entry to first: deletes the item when owning, then removes the entry.
  void Clear() override;

 protected:
  virtual void FreeItem(void* aItem) = 0;

  std::atomic<bool> FOwnObjects{false};
};

class TlumQueueBase : public TlumQueueCommon {
 public:
  ~TlumQueueBase() override;

  TlumQueueItemBase* Item(int Index) { return GetItemByIndex(Index); }
  // Null for an index outside 0 .. Count-1.
  virtual TlumQueueItemBase* GetItemByIndex(int Index);
  // Appends; an ID already present is not checked for.
  virtual void AddItem(TlumQueueItemBase* aItem);

  // First item (from the front) with the ID, or null.
  TlumQueueItemBase* GetItem(std::string_view aID);
  TlumQueueItemBase* GetItem(int Index) { return GetItemByIndex(Index); }
  // Remove (and delete when owning) the first item with the ID / at the index;
  // false when there is none.
  bool DeleteItem(std::string_view aID);
  bool DeleteItem(int Index);

 protected:
  void FreeItem(void* aItem) override;
  static TlumQueueItemBase* AsItem(void* p) { return static_cast<TlumQueueItemBase*>(p); }
};

class TlumQueue : public TlumQueueBase {};

// Bounded queue: with MaxItems > 0, adding to a full queue first drops the oldest items.
class TlumFIFOQueue : public TlumQueueBase {
 public:
  int MaxItems() const { return FMaxItems.load(std::memory_order_relaxed); }
  void SetMaxItems(int Value) { FMaxItems.store(Value, std::memory_order_relaxed); }
  void AddItem(TlumQueueItemBase* aItem) override;

 private:
  std::atomic<int> FMaxItems{0};
};

class TlumQueueNameBase : public TlumQueueBase {
 public:
  const std::string& QueueName() const { return FQueueName; }
  void SetQueueName(std::string Value) { FQueueName = std::move(Value); }

 private:
  std::string FQueueName;
};

// A queue with a lookup cache of its most recently found items (a FIFO of CacheSize
// entries; 0 means no cache). Adding never fills the cache; lookups do.
class TlumCacheQueue {
 public:
  TlumCacheQueue();
  virtual ~TlumCacheQueue();
  TlumCacheQueue(const TlumCacheQueue&) = delete;
  TlumCacheQueue& operator=(const TlumCacheQueue&) = delete;

  int CacheSize() const { return FCache.MaxItems(); }
  void SetCacheSize(int Value) { FCache.SetMaxItems(Value); }
  int Count() { return FQueue.Count(); }
  bool OwnObjects() const { return FQueue.OwnObjects(); }
  void SetOwnObjects(bool Value) { FQueue.SetOwnObjects(Value); }
  const std::string& QueueName() const { return FQueueName; }
  void SetQueueName(std::string Value) { FQueueName = std::move(Value); }

  TlumQueueItemBase* Item(int Index) { return GetItemByIndex(Index); }
  virtual TlumQueueItemBase* GetItemByIndex(int Index);
  virtual void AddItem(TlumQueueItemBase* aItem);
  TlumQueueItemBase* GetItem(std::string_view aID);
  bool DeleteItem(std::string_view aID);
  void Clear();

  TlumFIFOQueue& Cache() { return FCache; }

  // The inner queue's lock, to keep found items alive across several steps.
  TList* LockList() { return FQueue.LockList(); }
  void UnlockList() { FQueue.UnlockList(); }

 private:
  TlumFIFOQueue FCache;  // never owns
  TlumQueue FQueue;
  std::string FQueueName;
};

// One cached queue per group of IDs; the group key is the first GroupLevel characters of
// the ID (all IDs share the empty key when GroupLevel <= 0). A lookup or delete of an ID
// whose group does not exist leaves a new, empty group behind.
class TlumCacheQueueListBase : public TlumQueueCommon {
 public:
  TlumCacheQueueListBase();
  ~TlumCacheQueueListBase() override;

  int CacheSize() const { return FCacheSize.load(std::memory_order_relaxed); }
  // Applies to groups created afterwards.
  void SetCacheSize(int Value) { FCacheSize.store(Value, std::memory_order_relaxed); }
  int GroupLevel() const { return FGroupLevel.load(std::memory_order_relaxed); }
  void SetGroupLevel(int Value) { FGroupLevel.store(Value, std::memory_order_relaxed); }
  int Count() override;  // items over all groups

  virtual void AddItem(TlumQueueItemBase* aItem);
  TlumQueueItemBase* GetItem(std::string_view aID);
  bool DeleteItem(std::string_view aID);

  int GroupCount();
  TlumCacheQueue* GetGroupByIndex(int Index);  // null outside 0 .. GroupCount-1

 protected:
  void FreeItem(void* aItem) override;
  std::string GroupKey(std::string_view aID) const;
  TlumCacheQueue* FindOrCreateGroup(std::string_view aID);

 private:
  std::atomic<int> FCacheSize{0};
  std::atomic<int> FGroupLevel{1};
};

class TlumCacheQueueList {
 public:
  TlumCacheQueueList();
  virtual ~TlumCacheQueueList();
  TlumCacheQueueList(const TlumCacheQueueList&) = delete;
  TlumCacheQueueList& operator=(const TlumCacheQueueList&) = delete;

  int CacheSize() const { return FQueueCache->CacheSize(); }
  void SetCacheSize(int Value) { FQueueCache->SetCacheSize(Value); }
  int GroupLevel() const { return FQueueCache->GroupLevel(); }
  void SetGroupLevel(int Value) { FQueueCache->SetGroupLevel(Value); }
  int Count() { return GetCount(); }

  virtual int GetCount() { return FQueueCache->Count(); }
  virtual void AddItem(TlumQueueItemBase* aItem) { FQueueCache->AddItem(aItem); }
  virtual bool DeleteItem(std::string_view aID) { return FQueueCache->DeleteItem(aID); }
  TlumQueueItemBase* GetItem(std::string_view aID) { return FQueueCache->GetItem(aID); }

  TlumCacheQueueListBase& QueueCache() { return *FQueueCache; }

 private:
  std::unique_ptr<TlumCacheQueueListBase> FQueueCache;
};

// One named queue per name, made on first use; an item goes to the queue its Queue names.
class TlumQueueNameListBase : public TlumQueueCommon {
 public:
  TlumQueueNameListBase();
  ~TlumQueueNameListBase() override;

  // Never null: a missing queue is created (owning its items).
  TlumQueueNameBase* GetQueueByName(std::string_view aQueueName);
  // False, leaving aItem with the caller, when its queue already holds its ID.
  virtual bool AddItem(TlumQueueNameItemBase* aItem);
  // Removes the first item with the ID from every queue.
  void DeleteItem(std::string_view aID);
  // False when no queue has that name; true otherwise, even if the ID was not in it.
  bool DeleteItem(std::string_view aQueueName, std::string_view aID);
  // Queue names from the last queue to the first, comma-separated, quoted where needed.
  std::string GetQueuesDelimitedText();
  int Count() override;  // items over all queues

  int QueueCount();
  TlumQueueNameBase* GetQueueByIndex(int Index);  // null outside 0 .. QueueCount-1

 protected:
  void FreeItem(void* aItem) override;
  static TlumQueueNameBase* AsQueue(void* p) { return static_cast<TlumQueueNameBase*>(p); }
};

// ---- Connection registries. TConnection is the connection class; it has Guid(). ----

namespace detail {
// An item of kind TItem that refers to a connection (never owns it); its ID is the
// connection's GUID text.
template <class TItem, class TConnection>
class TConnectionItem : public TItem {
 public:
  TConnection* Connection() const { return FConnection; }
  void SetConnection(TConnection* aConnection) {
    FConnection = aConnection;
    this->SetID(aConnection != nullptr ? std::string(aConnection->Guid()) : std::string());
  }

 private:
  TConnection* FConnection = nullptr;
};
}  // namespace detail

// Refers to a connection in a connection cache.
template <class TConnection>
class TlumQueueItemConnection : public detail::TConnectionItem<TlumQueueItemBase, TConnection> {};

// A channel subscription: Queue is the channel, ID the connection's GUID text.
template <class TConnection>
class TlumQueueNameItemConnection
    : public detail::TConnectionItem<TlumQueueNameItemBase, TConnection> {};

// Connection cache by GUID; holds only TlumQueueItemConnection<TConnection> items.
template <class TConnection>
class TlumCacheQueueListConnections : public TlumCacheQueueList {
 public:
  using TItem = TlumQueueItemConnection<TConnection>;

  TConnection* GetConnection(std::string_view aGuid) {
    auto* item = static_cast<TItem*>(GetItem(aGuid));
    return item != nullptr ? item->Connection() : nullptr;
  }
};

// Channel registry; holds only TlumQueueNameItemConnection<TConnection> items.
template <class TConnection>
class TlumQueueListChannels : public TlumQueueNameListBase {
 public:
  using TSubscription = TlumQueueNameItemConnection<TConnection>;

  // The subscriptions of connection aID, one per channel, from the last channel to the first.
  void GetChannels(std::string_view aID, std::vector<TSubscription*>& aList) {
    TLocked hold(*this);
    for (int i = FList.Count() - 1; i >= 0; --i) {
      if (TlumQueueItemBase* item = AsQueue(FList.Items(i))->GetItem(aID)) {
        aList.push_back(static_cast<TSubscription*>(item));
      }
    }
  }

  // The connections subscribed to aChannel, from the last subscription to the first.
  void GetConnections(std::string_view aChannel, std::vector<TConnection*>& aList) {
    TlumQueueNameBase* channel = GetQueueByName(aChannel);
    TLocked hold(*channel);
    for (int i = channel->Count() - 1; i >= 0; --i) {
      aList.push_back(static_cast<TSubscription*>(channel->GetItemByIndex(i))->Connection());
    }
  }
};

}  // namespace quillon
