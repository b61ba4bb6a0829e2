// The queues. Nested containers lock outer first: a list of queues may call into a
// queue while holding its own lock, never the reverse; a cached queue locks its inner
// queue before its cache.
#include "util/lumWebSocket_Classes_Queues.h"

namespace quillon {

// ---- TlumQueueCommon ----

int TlumQueueCommon::Count() {
  TLocked hold(*this);
  return FList.Count();
}

void TlumQueueCommon::Clear() {
  TLocked hold(*this);
  for (int i = FList.Count() - 1; i >= 0; --i) {
    void* item = FList.Items(i);
    FList.Delete(i);
    if (OwnObjects()) FreeItem(item);
  }
}

// ---- TlumQueueBase ----

TlumQueueBase::~TlumQueueBase() { TlumQueueCommon::Clear(); }

void TlumQueueBase::FreeItem(void* aItem) { delete AsItem(aItem); }

TlumQueueItemBase* TlumQueueBase::GetItemByIndex(int Index) {
  TLocked hold(*this);
  if (Index < 0 || Index >= FList.Count()) return nullptr;
  return AsItem(FList.Items(Index));
}

void TlumQueueBase::AddItem(TlumQueueItemBase* aItem) {
  TLocked hold(*this);
  FList.Add(aItem);
}

TlumQueueItemBase* TlumQueueBase::GetItem(std::string_view aID) {
  TLocked hold(*this);
  for (void* p : FList) {
    if (AsItem(p)->ID() == aID) return AsItem(p);
  }
  return nullptr;
}

bool TlumQueueBase::DeleteItem(std::string_view aID) {
  TLocked hold(*this);
  for (int i = 0; i < FList.Count(); ++i) {
    if (AsItem(FList.Items(i))->ID() == aID) return DeleteItem(i);
  }
  return false;
}

bool TlumQueueBase::DeleteItem(int Index) {
  TLocked hold(*this);
  if (Index < 0 || Index >= FList.Count()) return false;
  void* item = FList.Items(Index);
  FList.Delete(Index);
  if (OwnObjects()) FreeItem(item);
  return true;
}

// ---- TlumFIFOQueue ----

void TlumFIFOQueue::AddItem(TlumQueueItemBase* aItem) {
  TLocked hold(*this);
  // A loop rather than one eviction: after MaxItems was lowered the bound still holds.
  for (int max = MaxItems(); max > 0 && FList.Count() >= max;) DeleteItem(0);
  FList.Add(aItem);
}

// ---- TlumCacheQueue ----

TlumCacheQueue::TlumCacheQueue() { FCache.SetOwnObjects(false); }

TlumCacheQueue::~TlumCacheQueue() { Clear(); }

TlumQueueItemBase* TlumCacheQueue::GetItemByIndex(int Index) { return FQueue.GetItemByIndex(Index); }

void TlumCacheQueue::AddItem(TlumQueueItemBase* aItem) { FQueue.AddItem(aItem); }

TlumQueueItemBase* TlumCacheQueue::GetItem(std::string_view aID) {
  if (CacheSize() <= 0) return FQueue.GetItem(aID);
  if (TlumQueueItemBase* hit = FCache.GetItem(aID)) return hit;
  // Look up and refill under the inner queue's lock: a delete of the same ID cannot then
  // slip in between and leave a freed item in the cache.
  TlumThreadList::TLocked hold(FQueue);
  TlumQueueItemBase* found = FQueue.GetItem(aID);
  if (found != nullptr && FCache.GetItem(aID) == nullptr) FCache.AddItem(found);
  return found;
}

bool TlumCacheQueue::DeleteItem(std::string_view aID) {
  TlumThreadList::TLocked hold(FQueue);
  // The cache is purged whatever CacheSize now says: it may hold entries from before the
  // size was lowered, and none may outlive the item.
  while (FCache.DeleteItem(aID)) {
  }
  return FQueue.DeleteItem(aID);
}

void TlumCacheQueue::Clear() {
  TlumThreadList::TLocked hold(FQueue);
  FCache.Clear();
  FQueue.Clear();
}

// ---- TlumCacheQueueListBase ----

TlumCacheQueueListBase::TlumCacheQueueListBase() { SetOwnObjects(true); }

TlumCacheQueueListBase::~TlumCacheQueueListBase() { TlumQueueCommon::Clear(); }

void TlumCacheQueueListBase::FreeItem(void* aItem) { delete static_cast<TlumCacheQueue*>(aItem); }

std::string TlumCacheQueueListBase::GroupKey(std::string_view aID) const {
  int level = GroupLevel();
  if (level <= 0) return {};
  return std::string(aID.substr(0, static_cast<std::size_t>(level)));
}

// Search and creation under one hold, so two threads never make two groups for one key
// (the second would be unreachable).
TlumCacheQueue* TlumCacheQueueListBase::FindOrCreateGroup(std::string_view aID) {
  std::string key = GroupKey(aID);
  TLocked hold(*this);
  for (void* p : FList) {
    auto* group = static_cast<TlumCacheQueue*>(p);
    if (group->QueueName() == key) return group;
  }
  auto group = std::make_unique<TlumCacheQueue>();
  group->SetCacheSize(CacheSize());
  group->SetQueueName(std::move(key));
  group->SetOwnObjects(true);
  FList.Add(group.get());
  return group.release();
}

int TlumCacheQueueListBase::Count() {
  TLocked hold(*this);
  int total = 0;
  for (void* p : FList) total += static_cast<TlumCacheQueue*>(p)->Count();
  return total;
}

// The group calls run after the list's lock is released.
void TlumCacheQueueListBase::AddItem(TlumQueueItemBase* aItem) {
  FindOrCreateGroup(aItem->ID())->AddItem(aItem);
}

TlumQueueItemBase* TlumCacheQueueListBase::GetItem(std::string_view aID) {
  return FindOrCreateGroup(aID)->GetItem(aID);
}

bool TlumCacheQueueListBase::DeleteItem(std::string_view aID) {
  return FindOrCreateGroup(aID)->DeleteItem(aID);
}

int TlumCacheQueueListBase::GroupCount() { return TlumQueueCommon::Count(); }

TlumCacheQueue* TlumCacheQueueListBase::GetGroupByIndex(int Index) {
  TLocked hold(*this);
  if (Index < 0 || Index >= FList.Count()) return nullptr;
  return static_cast<TlumCacheQueue*>(FList.Items(Index));
}

// ---- TlumCacheQueueList ----

TlumCacheQueueList::TlumCacheQueueList() : FQueueCache(std::make_unique<TlumCacheQueueListBase>()) {}

TlumCacheQueueList::~TlumCacheQueueList() = default;

// ---- TlumQueueNameListBase ----

TlumQueueNameListBase::TlumQueueNameListBase() { SetOwnObjects(true); }

TlumQueueNameListBase::~TlumQueueNameListBase() { TlumQueueCommon::Clear(); }

void TlumQueueNameListBase::FreeItem(void* aItem) { delete AsQueue(aItem); }

TlumQueueNameBase* TlumQueueNameListBase::GetQueueByName(std::string_view aQueueName) {
  TLocked hold(*this);
  for (void* p : FList) {
    if (AsQueue(p)->QueueName() == aQueueName) return AsQueue(p);
  }
  auto queue = std::make_unique<TlumQueueNameBase>();
  queue->SetOwnObjects(true);
  queue->SetQueueName(std::string(aQueueName));
  FList.Add(queue.get());
  return queue.release();
}

bool TlumQueueNameListBase::AddItem(TlumQueueNameItemBase* aItem) {
  TlumQueueNameBase* queue = GetQueueByName(aItem->Queue());
  // Check and append under one hold of the queue's lock: no two threads add one ID twice.
  TLocked hold(*queue);
  if (queue->GetItem(aItem->ID()) != nullptr) return false;
  queue->AddItem(aItem);
  return true;
}

void TlumQueueNameListBase::DeleteItem(std::string_view aID) {
  TLocked hold(*this);
  for (int i = FList.Count() - 1; i >= 0; --i) AsQueue(FList.Items(i))->DeleteItem(aID);
}

bool TlumQueueNameListBase::DeleteItem(std::string_view aQueueName, std::string_view aID) {
  TLocked hold(*this);
  for (int i = FList.Count() - 1; i >= 0; --i) {
    TlumQueueNameBase* queue = AsQueue(FList.Items(i));
    if (queue->QueueName() == aQueueName) {
      queue->DeleteItem(aID);
      return true;
    }
  }
  return false;
}

namespace {

// Quoted when it holds a control character, a space, a comma or a double quote.
bool NeedsQuotes(std::string_view name) {
  for (char c : name) {
    if (static_cast<unsigned char>(c) <= ' ' || c == ',' || c == '"') return true;
  }
  return false;
}

void AppendQuoted(std::string& out, std::string_view name) {
  out.push_back('"');
  for (char c : name) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

}  // namespace

std::string TlumQueueNameListBase::GetQueuesDelimitedText() {
  TLocked hold(*this);
  std::string text;
  // A lone empty name is written "" so that the text is not mistaken for no names.
  if (FList.Count() == 1 && AsQueue(FList.Items(0))->QueueName().empty()) return "\"\"";
  for (int i = FList.Count() - 1; i >= 0; --i) {
    const std::string& name = AsQueue(FList.Items(i))->QueueName();
    if (NeedsQuotes(name)) {
      AppendQuoted(text, name);
    } else {
      text += name;
    }
    if (i > 0) text.push_back(',');
  }
  return text;
}

int TlumQueueNameListBase::Count() {
  TLocked hold(*this);
  int total = 0;
  for (void* p : FList) total += AsQueue(p)->Count();
  return total;
}

int TlumQueueNameListBase::QueueCount() { return TlumQueueCommon::Count(); }

TlumQueueNameBase* TlumQueueNameListBase::GetQueueByIndex(int Index) {
  TLocked hold(*this);
  if (Index < 0 || Index >= FList.Count()) return nullptr;
  return AsQueue(FList.Items(Index));
}

}  // namespace quillon
