// Server component base: event raising, the connection registry, broadcasts, deferred
// freeing and activation.
#include "server/lumWebSocket_Server_Base.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <unordered_set>

#include "connection/lumWebSocket_RequestLines.h"
#include "platform/win32/Guid.h"
#include "util/lumMainThread.h"
#include "util/lumWebSocket_Exception.h"

namespace quillon {

namespace {

std::string UpperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return out;
}

// A comma-separated GUID list as a set; GUIDs compare without letter case.
std::unordered_set<std::string> GuidSet(std::string_view aList) {
  std::unordered_set<std::string> out;
  for (const std::string& item : SplitDelimited(aList)) out.insert(UpperAscii(item));
  return out;
}

// Holds a counted reference for a scope.
class TRef {
 public:
  explicit TRef(TlumTCPConnection_Base* c) : FConnection(c) {}
  ~TRef() {
    if (FConnection != nullptr) FConnection->Release();
  }
  TRef(const TRef&) = delete;
  TRef& operator=(const TRef&) = delete;

 private:
  TlumTCPConnection_Base* FConnection;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// detail::TlumNotifyList

namespace detail {

TlumNotifyList::~TlumNotifyList() { Clear(); }

void TlumNotifyList::ReleaseEntry(TEntry& aEntry) {
  if (aEntry.Connection != nullptr) aEntry.Connection->Release();
}

void TlumNotifyList::Push(TlumWSConnection* aConnection, TCall aCall) {
  if (aConnection != nullptr) aConnection->AddRef();
  std::lock_guard lock(FMutex);
  FItems.push_back({aConnection, std::move(aCall)});
}

void TlumNotifyList::Drain() {
  {
    std::lock_guard lock(FMutex);
    if (FRunning) return;
    FRunning = true;
  }
  for (;;) {
    TEntry entry;
    {
      std::lock_guard lock(FMutex);
      if (FItems.empty()) {
        FRunning = false;
        return;
      }
      entry = std::move(FItems.front());
      FItems.pop_front();
    }
    try {
      entry.Call(entry.Connection);
    } catch (...) {
      ReleaseEntry(entry);
      std::lock_guard lock(FMutex);
      FRunning = false;
      throw;
    }
    ReleaseEntry(entry);
  }
}

void TlumNotifyList::Clear() {
  std::deque<TEntry> items;
  {
    std::lock_guard lock(FMutex);
    items.swap(FItems);
  }
  for (TEntry& e : items) ReleaseEntry(e);
}

int TlumNotifyList::Count() {
  std::lock_guard lock(FMutex);
  return static_cast<int>(FItems.size());
}

}  // namespace detail

// ---------------------------------------------------------------------------------------
// TlumWSComponent_Base

TlumWSComponent_Base::~TlumWSComponent_Base() { MainThreadQueue::RemoveQueued(this); }

void TlumWSComponent_Base::RaiseByMode(TEventKind aKind, TlumWSConnection* aConnection,
                                       detail::TlumNotifyList::TCall aCall) {
  const TwsNotifyEvent mode = NotifyEvents();
  if (mode == neNoSync) {
    aCall(aConnection);
    return;
  }
  detail::TlumNotifyList& list = FNotify[aKind];
  list.Push(aConnection, std::move(aCall));
  if (mode == neAsynchronous) {
    MainThreadQueue::Queue(this, [&list] { list.Drain(); });
  } else {
    MainThreadQueue::Synchronize(this, [&list] { list.Drain(); });
  }
}

bool TlumWSComponent_Base::HoldMessage(TEventKind aKind, TlumWSConnection* aConnection,
                                       const detail::TlumNotifyList::TCall& aCall) {
  if (!QueueMessages()) return false;
  detail::TlumNotifyList& list =
      aKind == ekMessage ? FQueueMessage : aKind == ekBinary ? FQueueBinary : FQueueFragmented;
  list.Push(aConnection, aCall);
  return true;
}

void TlumWSComponent_Base::ProcessQueueMessages() {
  FQueueMessage.Drain();
  FQueueBinary.Drain();
  FQueueFragmented.Drain();
}

void TlumWSComponent_Base::ClearQueueMessages() {
  FQueueMessage.Clear();
  FQueueBinary.Clear();
  FQueueFragmented.Clear();
}

int TlumWSComponent_Base::QueuedMessagesCount() {
  return FQueueMessage.Count() + FQueueBinary.Count() + FQueueFragmented.Count();
}

// ---------------------------------------------------------------------------------------
// TlumWSComponent

TlumWSComponent::TlumWSComponent() { FExtensions.SetMode(appServer); }

TlumWSComponent::~TlumWSComponent() = default;

void TlumWSComponent::RegisterProtocol(TlumWSProtocol_Base_Server* aProtocol) {
  if (aProtocol == nullptr) return;
  std::lock_guard lock(FObjectsLock);
  if (std::find(FProtocolObjectList.begin(), FProtocolObjectList.end(), aProtocol) !=
      FProtocolObjectList.end()) {
    return;
  }
  aProtocol->SetServer(dynamic_cast<TlumWSServer_Base*>(this));
  FProtocolObjectList.push_back(aProtocol);
}

void TlumWSComponent::UnRegisterProtocol(TlumWSProtocol_Base_Server* aProtocol) {
  std::lock_guard lock(FObjectsLock);
  std::erase(FProtocolObjectList, aProtocol);
}

void TlumWSComponent::UnRegisterProtocol(std::string_view aName) {
  std::lock_guard lock(FObjectsLock);
  std::erase_if(FProtocolObjectList,
                [&](TlumWSProtocol_Base_Server* p) { return SameText(p->Name(), aName); });
}

void TlumWSComponent::RegisterAPI(TlumWSAPI_Base_Server* aAPI) {
  std::lock_guard lock(FObjectsLock);
  if (aAPI != nullptr) aAPI->SetServer(dynamic_cast<TlumWSServer_Base*>(this));
  FAPI = aAPI;
}

void TlumWSComponent::UnRegisterAPI() {
  std::lock_guard lock(FObjectsLock);
  FAPI = nullptr;
}

std::string TlumWSComponent::GetProtocols() {
  std::lock_guard lock(FObjectsLock);
  std::string out;
  for (auto* p : FProtocolObjectList) {
    if (!out.empty()) out += ',';
    out += p->Name();
  }
  return out;
}

std::vector<TlumWSProtocol_Base_Server*> TlumWSComponent::GetProtocolObjects(std::string_view aName) {
  std::lock_guard lock(FObjectsLock);
  std::vector<TlumWSProtocol_Base_Server*> out;
  for (auto* p : FProtocolObjectList) {
    if (SameText(p->Name(), aName)) out.push_back(p);
  }
  return out;
}

void TlumWSComponent::SetNotifyEvents(TwsNotifyEvent Value) {
  TlumWSComponent_Base::SetNotifyEvents(Value);
  std::lock_guard lock(FTimersLock);
  for (auto* t : {FHeartBeatTimer.get(), FHeartBeatTimeoutTimer.get(), FWatchDogTimer.get()}) {
    if (t != nullptr) t->SetNotifyEvents(Value);
  }
}

std::unique_ptr<TlumTimer> TlumWSComponent::NewTimer(TlumTimer::TNotifyEvent aHandler) {
  auto timer = std::make_unique<TlumTimer>();
  timer->SetNotifyEvents(NotifyEvents());
  timer->SetOnTimer(std::move(aHandler));
  timer->SetOnException([this](TlumTimer*, const std::exception& E) {
    NotifyException(nullptr, std::make_exception_ptr(TlumWSException(E.what())));
  });
  return timer;
}

bool TlumWSComponent::RouteToObjects(TlumWSConnection* aConnection, bool aFirstOnly,
                                     const std::function<void(TlumWSEventsObject_Base*)>& aCall) {
  if (aConnection == nullptr) return false;
  const std::string& protocol = aConnection->Protocol();
  if (!protocol.empty()) {
    std::vector<TlumWSProtocol_Base_Server*> objects = GetProtocolObjects(protocol);
    // erase, not resize: GCC 12 at -O3 warns falsely about resize's growing path.
    if (aFirstOnly && objects.size() > 1) objects.erase(objects.begin() + 1, objects.end());
    for (auto* o : objects) aCall(o);
    // A sub-protocol that no object serves falls through to the component, so that an
    // application without protocol objects still hears its connections.
    if (!objects.empty()) return true;
  }
  TlumWSAPI_Base_Server* api = nullptr;
  {
    std::lock_guard lock(FObjectsLock);
    api = FAPI;
  }
  if (protocol.empty() && api != nullptr) {
    aCall(api);
    return !api->RawMessages();
  }
  return false;
}

void TlumWSComponent::NotifyConnect(TlumWSConnection* aConnection) {
  if (IsDestroying() || aConnection->IsInternal() || !aConnection->NotifyConnection()) return;
  if (RouteToObjects(aConnection, false, [&](TlumWSEventsObject_Base* o) { o->DoConnect(aConnection); })) {
    return;
  }
  RaiseByMode(ekConnect, aConnection, [this](TlumWSConnection* c) {
    if (OnConnect) OnConnect(c);
  });
}

void TlumWSComponent::NotifyDisconnect(TlumWSConnection* aConnection) {
  if (!IsDestroying() && !aConnection->IsInternal() && aConnection->NotifyDisconnection()) {
    const int code = aConnection->CloseCode();
    if (!RouteToObjects(aConnection, true,
                        [&](TlumWSEventsObject_Base* o) { o->DoDisconnect(aConnection, code); })) {
      RaiseByMode(ekDisconnect, aConnection, [this, code](TlumWSConnection* c) {
        if (OnDisconnect) OnDisconnect(c, code);
      });
    }
  }
  // A queued event holds its own reference, so the hand-over may come first.
  DoReleaseConnection(aConnection);
}

void TlumWSComponent::NotifyMessage(TlumWSConnection* aConnection, const std::string& aText) {
  if (IsDestroying() || aConnection->IsInternal()) return;
  if (RouteToObjects(aConnection, false,
                     [&](TlumWSEventsObject_Base* o) { o->DoMessage(aConnection, aText); })) {
    return;
  }
  if (NotifyEvents() == neNoSync && !QueueMessages()) {
    // The hot path: no copy of the text.
    if (OnMessage) OnMessage(aConnection, aText);
    return;
  }
  auto call = [this, aText](TlumWSConnection* c) {
    if (OnMessage) OnMessage(c, aText);
  };
  if (!HoldMessage(ekMessage, aConnection, call)) RaiseByMode(ekMessage, aConnection, call);
}

void TlumWSComponent::NotifyBinary(TlumWSConnection* aConnection, TBytesView aData) {
  if (IsDestroying() || aConnection->IsInternal()) return;
  if (RouteToObjects(aConnection, false,
                     [&](TlumWSEventsObject_Base* o) { o->DoBinary(aConnection, aData); })) {
    return;
  }
  if (NotifyEvents() == neNoSync && !QueueMessages()) {
    if (OnBinary) OnBinary(aConnection, aData);
    return;
  }
  auto data = std::make_shared<std::vector<std::uint8_t>>(aData.begin(), aData.end());
  auto call = [this, data](TlumWSConnection* c) {
    if (OnBinary) OnBinary(c, TBytesView(*data));
  };
  if (!HoldMessage(ekBinary, aConnection, call)) RaiseByMode(ekBinary, aConnection, call);
}

void TlumWSComponent::NotifyFragmented(TlumWSConnection* aConnection, TBytesView aData,
                                       TOpcode aOpCode, bool aContinuation) {
  if (IsDestroying() || aConnection->IsInternal()) return;
  if (RouteToObjects(aConnection, false, [&](TlumWSEventsObject_Base* o) {
        o->DoFragmented(aConnection, aData, aOpCode, aContinuation);
      })) {
    return;
  }
  if (NotifyEvents() == neNoSync && !QueueMessages()) {
    if (OnFragmented) OnFragmented(aConnection, aData, aOpCode, aContinuation);
    return;
  }
  auto data = std::make_shared<std::vector<std::uint8_t>>(aData.begin(), aData.end());
  auto call = [this, data, aOpCode, aContinuation](TlumWSConnection* c) {
    if (OnFragmented) OnFragmented(c, TBytesView(*data), aOpCode, aContinuation);
  };
  if (!HoldMessage(ekFragmented, aConnection, call)) RaiseByMode(ekFragmented, aConnection, call);
}

void TlumWSComponent::CloseAfterError(TlumWSConnection* aConnection) {
  if (aConnection == nullptr) return;
  try {
    aConnection->DisconnectOnError();
  } catch (...) {
    // Closing is best effort here: the connection is already in trouble.
  }
}

void TlumWSComponent::NotifyError(TlumWSConnection* aConnection, const std::string& aError) {
  if (IsDestroying()) return;
  try {
    if (aConnection != nullptr && OnError) {
      aConnection->SetMsgError(aError);
      if (!aConnection->IsInternal() &&
          !RouteToObjects(aConnection, false,
                          [&](TlumWSEventsObject_Base* o) { o->DoError(aConnection, aError); })) {
        RaiseByMode(ekError, aConnection, [this, aError](TlumWSConnection* c) {
          if (OnError) OnError(c, aError);
        });
      }
    }
  } catch (...) {
    // A failing error handler must not take the reporting thread down with it.
  }
  CloseAfterError(aConnection);
}

void TlumWSComponent::NotifyException(TlumWSConnection* aConnection, std::exception_ptr aError) {
  if (IsDestroying()) return;
  try {
    if (OnException) {
      std::string text;
      try {
        std::rethrow_exception(aError);
      } catch (const std::exception& e) {
        text = e.what();
      } catch (...) {
        text = "Unknown exception";
        aError = std::make_exception_ptr(TlumWSException(text));
      }
      auto call = [this, aError](TlumWSConnection* c) {
        if (!OnException) return;
        try {
          std::rethrow_exception(aError);
        } catch (const std::exception& e) {
          OnException(c, e);
        }
      };
      if (aConnection == nullptr) {
        RaiseByMode(ekException, nullptr, call);
      } else {
        aConnection->SetMsgException(text);
        aConnection->SetRawException(aError);
        if (!aConnection->IsInternal() &&
            !RouteToObjects(aConnection, false, [&](TlumWSEventsObject_Base* o) {
              try {
                std::rethrow_exception(aError);
              } catch (const std::exception& e) {
                o->DoException(aConnection, e);
              }
            })) {
          RaiseByMode(ekException, aConnection, call);
        }
      }
    }
  } catch (...) {
    // Errors inside the notification are swallowed.
  }
  CloseAfterError(aConnection);
}

void TlumWSComponent::NotifyException(TlumWSConnection* aConnection, const std::string& aMessage) {
  NotifyException(aConnection, std::make_exception_ptr(TlumWSException(aMessage)));
}

// ---------------------------------------------------------------------------------------
// TlumWSComponent_Server

TlumWSComponent_Server::TlumWSComponent_Server() = default;

TlumWSComponent_Server::~TlumWSComponent_Server() {
  StopConnectionsFreeTimer();
  FreeWaitingConnections();
}

TlumWSComponent_Server::TConnectionCache& TlumWSComponent_Server::ConnectionCache() {
  std::call_once(FCacheOnce, [this] {
    FConnectionCache = std::make_unique<TConnectionCache>();
    FConnectionCache->SetCacheSize(FOptimizations.Connections.CacheSize);
    FConnectionCache->SetGroupLevel(FOptimizations.Connections.GroupLevel);
  });
  return *FConnectionCache;
}

int TlumWSComponent_Server::ConnectionsFreeCount() {
  std::lock_guard lock(FConnectionsFreeLock);
  return static_cast<int>(FConnectionsFree.size());
}

void TlumWSComponent_Server::FreeWaitingConnections() {
  std::vector<TlumWSConnection*> list;
  {
    std::lock_guard lock(FConnectionsFreeLock);
    list.swap(FConnectionsFree);
  }
  for (TlumWSConnection* c : list) c->Free();
  // Thousands of freed connections leave free pages all over the heap (and the workers'
  // arenas); glibc keeps them unless asked.
  if (list.size() >= 256) malloc_trim(0);
}

void TlumWSComponent_Server::DoReleaseConnection(TlumWSConnection* aConnection) {
  if (FOptimizations.ConnectionsFree.Enabled) {
    std::lock_guard lock(FConnectionsFreeLock);
    FConnectionsFree.push_back(aConnection);
    return;
  }
  aConnection->Free();
}

void TlumWSComponent_Server::OnConnectionsFreeTimer(TlumTimer* /*Sender*/) { FreeWaitingConnections(); }

void TlumWSComponent_Server::StartConnectionsFreeTimer() {
  if (!FOptimizations.ConnectionsFree.Enabled) return;
  std::lock_guard lock(FTimersLock);
  if (!FConnectionsFreeTimer) {
    FConnectionsFreeTimer = NewTimer([this](TlumTimer* t) { OnConnectionsFreeTimer(t); });
    // Freeing never needs the main thread.
    FConnectionsFreeTimer->SetNotifyEvents(neNoSync);
  }
  FConnectionsFreeTimer->SetInterval(FOptimizations.ConnectionsFree.Interval * 1000);
  FConnectionsFreeTimer->SetEnabled(true);
}

void TlumWSComponent_Server::StopConnectionsFreeTimer() {
  std::unique_ptr<TlumTimer> timer;
  {
    std::lock_guard lock(FTimersLock);
    timer = std::move(FConnectionsFreeTimer);
  }
  timer.reset();  // joins a firing in progress
  FreeWaitingConnections();
}

// ---------------------------------------------------------------------------------------
// TlumWSServer_Base: activation

TlumWSServer_Base::TlumWSServer_Base() { SetNotifyEvents(neNoSync); }

TlumWSServer_Base::~TlumWSServer_Base() {
  SetDestroying();
  {
    std::unique_lock lock(FThreadsLock);
    FThreadsDone.wait(lock, [this] { return FThreadCount == 0; });
  }
  StopWatchDog();
  StopHeartBeat();
  std::lock_guard lock(FTimersLock);
  FHeartBeatTimer.reset();
  FHeartBeatTimeoutTimer.reset();
}

void TlumWSServer_Base::DestroyComponent() {
  SetDestroying();
  {
    std::unique_lock lock(FThreadsLock);
    FThreadsDone.wait(lock, [this] { return FThreadCount == 0; });
    if (FComponentDestroyed) return;
    FComponentDestroyed = true;
  }
  StopWatchDog();
  StopHeartBeat();
  {
    std::unique_ptr<TlumTimer> a, b;
    {
      std::lock_guard lock(FTimersLock);
      a = std::move(FHeartBeatTimer);
      b = std::move(FHeartBeatTimeoutTimer);
    }
  }
  StopConnectionsFreeTimer();
  FreeConnections();
}

void TlumWSServer_Base::SetActive(bool Value) {
  if (IsDesigning() || IsLoading()) {
    SetFActive(Value);
    return;
  }
  const bool active = GetActive();
  if (Value && !active) {
    DoStart();
    StartHeartBeat();
    StartConnectionsFreeTimer();
    FWatchDogEnabled = FWatchDog.Enabled;
    if (FWatchDogEnabled) StartWatchDog();
  } else if (!Value && active) {
    FWatchDogEnabled = false;
    StopWatchDog();
    StopConnectionsFreeTimer();
    StopHeartBeat();
    DoStop();
  }
}

void TlumWSServer_Base::DoStart() { FWatchDogMonitorSecret = platform::NewGuidHex32(); }

void TlumWSServer_Base::DoStop() { FWatchDogMonitorSecret.clear(); }

void TlumWSServer_Base::RunThread(std::function<void()> aWork) {
  {
    std::lock_guard lock(FThreadsLock);
    if (FComponentDestroyed) return;
    ++FThreadCount;
  }
  std::thread([this, work = std::move(aWork)] {
    try {
      work();
    } catch (...) {
      // Nobody waits for these threads: their errors have nowhere to go.
    }
    std::lock_guard lock(FThreadsLock);
    if (--FThreadCount == 0) FThreadsDone.notify_all();
  }).detach();
}

void TlumWSServer_Base::Start() {
  RunThread([this] {
    std::lock_guard hold(FCS);
    SetActive(true);
  });
}

void TlumWSServer_Base::Stop() {
  RunThread([this] {
    std::lock_guard hold(FCS);
    SetActive(false);
  });
}

void TlumWSServer_Base::ReStart() {
  RunThread([this] {
    if (GetActive()) {
      Stop();
      while (GetActive() && !IsDestroying()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    if (!IsDestroying()) Start();
  });
}

// ---------------------------------------------------------------------------------------
// TlumWSServer_Base: registry

int TlumWSServer_Base::Count() {
  TList* list = ShareList();
  const int n = list->Count();
  UnShareList();
  return n;
}

TlumWSServer_Base::TConnection* TlumWSServer_Base::Connections(int aIndex) {
  TList* list = ShareList();
  TConnection* c = aIndex >= 0 && aIndex < list->Count()
                       ? static_cast<TConnection*>(list->Items(aIndex))
                       : nullptr;
  UnShareList();
  return c;
}

TlumWSServer_Base::TConnection* TlumWSServer_Base::ConnectionsByGUID(std::string_view aGuid) {
  LockList();
  auto it = FGuidIndex.find(std::string(aGuid));
  TConnection* c = it != FGuidIndex.end() ? it->second : nullptr;
  UnLockList();
  return c;
}

TlumWSServer_Base::TConnection* TlumWSServer_Base::AcquireByGUID(std::string_view aGuid) {
  LockList();
  auto it = FGuidIndex.find(std::string(aGuid));
  TConnection* c = it != FGuidIndex.end() ? it->second : nullptr;
  if (c != nullptr) c->AddRef();
  UnLockList();
  return c;
}

void TlumWSServer_Base::AddConnection(TConnection* aConnection) {
  TList* list = LockList();
  try {
    list->Add(aConnection);
    FGuidIndex[aConnection->Guid()] = aConnection;
  } catch (...) {
    UnLockList();
    throw;
  }
  UnLockList();
}

void TlumWSServer_Base::RemoveConnection(TConnection* aConnection) {
  const std::string& guid = aConnection->Guid();
  TList* list = LockList();
  // The index names the listed object; the list is then searched by address, newest first.
  // (Comparing every entry's GUID here made each close cost a call per connection, under
  // the exclusive lock: closing thousands at once queued every worker behind it.)
  auto it = FGuidIndex.find(guid);
  TConnection* listed = it != FGuidIndex.end() ? it->second : aConnection;
  const int index = list->IndexOfItem(listed, FromEnd);
  if (index >= 0) {
    list->Delete(index);
    if (it != FGuidIndex.end()) FGuidIndex.erase(it);
  }
  UnLockList();
}

void TlumWSServer_Base::FreeConnections() {
  std::vector<TConnection*> all;
  TList* list = LockList();
  for (void* p : *list) all.push_back(static_cast<TConnection*>(p));
  list->Clear();
  FGuidIndex.clear();
  UnLockList();
  // Freed outside the lock: a destructor must never wait on the list.
  for (TConnection* c : all) c->Free();
}

bool TlumWSServer_Base::WriteTo(std::string_view aGuid,
                                const std::function<void(TConnection*)>& aWrite) {
  TConnection* c = AcquireByGUID(aGuid);
  if (c == nullptr) return false;
  TRef hold(c);
  if (!c->Enabled() || c->Disconnected()) return false;
  try {
    aWrite(c);
    return true;
  } catch (const std::exception& e) {
    NotifyError(c, e.what());
    return false;
  }
}

bool TlumWSServer_Base::WriteData(std::string_view aGuid, std::string_view aMessage) {
  return WriteTo(aGuid, [&](TConnection* c) { c->WriteData(aMessage, 0, stmNone); });
}

bool TlumWSServer_Base::WriteData(std::string_view aGuid, TBytesView aStream, int aSize,
                                  TwsStreaming aStreaming) {
  return WriteTo(aGuid, [&](TConnection* c) { c->WriteData(aStream, aSize, aStreaming); });
}

void TlumWSServer_Base::Broadcast(std::string_view aMessage, std::string_view aChannel,
                                  std::string_view aProtocol, std::string_view Exclude,
                                  std::string_view Include) {
  DoBroadcast(bkText, aMessage, {}, aChannel, aProtocol, Exclude, Include, 0, stmNone);
}

void TlumWSServer_Base::Broadcast(TBytesView aStream, std::string_view aChannel,
                                  std::string_view aProtocol, std::string_view Exclude,
                                  std::string_view Include, int aSize, TwsStreaming aStreaming) {
  DoBroadcast(bkStream, {}, aStream, aChannel, aProtocol, Exclude, Include, aSize, aStreaming);
}

void TlumWSServer_Base::DoBroadcast(TBroadcastKind aKind, std::string_view aMessage,
                                    TBytesView aStream, std::string_view aChannel,
                                    std::string_view aProtocol, std::string_view Exclude,
                                    std::string_view Include, int aSize,
                                    TwsStreaming aStreaming) {
  const auto exclude = GuidSet(Exclude);
  const auto include = GuidSet(Include);
  std::vector<TConnection*> selected;
  TList* list = LockList();
  for (void* p : *list) {
    auto* c = static_cast<TConnection*>(p);
    try {
      // A heartbeat considers every connection: it closes the ones that cannot carry it.
      if (aKind != bkHeartBeat && !(c->Enabled() && !c->Disconnected())) continue;
      if (!exclude.empty() || !include.empty()) {
        const std::string guid = UpperAscii(c->Guid());
        if (exclude.count(guid) != 0) continue;
        if (!include.empty() && include.count(guid) == 0) continue;
      }
      c->AddRef();
      selected.push_back(c);
    } catch (const std::exception& e) {
      NotifyException(c, std::current_exception());
    }
  }
  UnLockList();

  // A whole message goes out as one frame per encoding, shared by every connection that
  // frames it the same way: framed and compressed once, however many subscribers.
  const bool wholeStream = aSize <= 0 || static_cast<std::size_t>(aSize) >= aStream.size();
  const bool whole =
      aStreaming == stmNone && (aKind == bkText || (aKind == bkStream && wholeStream));
  const TOpcode opCode = aKind == bkText ? opText : opBinary;
  const TBytesView payload = aKind == bkText ? AsBytes(aMessage) : aStream;
  std::vector<std::pair<TlumFrameEncoding, TlumSharedFrame>> frames;
  const TConnection::TlumSharedFrameSource frameFor = [&](const TlumFrameEncoding& aEncoding) {
    for (const auto& f : frames)
      if (f.first == aEncoding) return f.second;
    frames.emplace_back(aEncoding, TConnection::BuildSharedFrame(payload, opCode, aEncoding));
    return frames.back().second;
  };
  for (TConnection* c : selected) {
    TRef hold(c);
    try {
      if (aKind == bkHeartBeat) {
        if (c->Disconnected() || !c->Enabled()) {
          c->DisconnectPeer();
          continue;
        }
        bool handled = false;
        if (OnBeforeHeartBeat && !IsDestroying()) OnBeforeHeartBeat(this, c, handled);
        c->SetCustomHeartBeat(handled);
        if (!handled) c->Ping(aMessage);
        continue;
      }
      if (!SameText(c->Protocol(), aProtocol) || !c->Subscribed(aChannel)) continue;
      if (whole && c->WriteSharedFrame(opCode, frameFor)) continue;
      if (aKind == bkText) {
        c->WriteData(aMessage, 0, stmNone);
      } else {
        c->WriteData(aStream, aSize, aStreaming);
      }
    } catch (const std::exception& e) {
      // One failing connection must not keep the others from their message.
      NotifyError(c, e.what());
    }
  }
}

void TlumWSServer_Base::DisconnectAll() {
  std::vector<TConnection*> selected;
  TList* list = ShareList();
  for (void* p : *list) {
    auto* c = static_cast<TConnection*>(p);
    if (c->Active() && !c->Disconnected()) {
      c->AddRef();
      selected.push_back(c);
    }
  }
  UnShareList();
  for (TConnection* c : selected) {
    TRef hold(c);
    try {
      c->DisconnectPeer();
    } catch (const std::exception&) {
      // Already gone: nothing left to end.
    }
  }
}

// ---------------------------------------------------------------------------------------
// TlumWSServer_Base: connection handlers

void TlumWSServer_Base::OnConnectionUpdate(TlumWSConnection* Connection, int aType) {
  if (IsDestroying() || aType != 1) return;
  const TwsSpecification spec = Connection->Specification();
  if ((spec == spRFC6455 && !FSpecifications.RFC6455) ||
      (spec == spHixie76 && !FSpecifications.Drafts.Hixie76)) {
    Connection->Disconnect();
    return;
  }
  if (!Connection->Enabled()) return;
  if (FOptimizations.Connections.Enabled) {
    auto* item = new TConnectionCache::TItem();
    item->SetConnection(Connection);
    ConnectionCache().AddItem(item);
  }
  NotifyConnect(Connection);
}

void TlumWSServer_Base::OnConnectionMessage(TlumWSConnection* Connection, const std::string& Text) {
  if (IsDestroying()) return;
  try {
    Connection->SetMsgReceived(Text);
    NotifyMessage(Connection, Text);
  } catch (const std::exception& e) {
    NotifyError(Connection, e.what());
  } catch (...) {
    // A handler may throw anything; the connection goes on as after any other error.
    NotifyError(Connection, "Unknown exception");
  }
}

void TlumWSServer_Base::OnConnectionBinary(TlumWSConnection* Connection, TBytesView Data) {
  if (IsDestroying()) return;
  try {
    Connection->MsgBinaryReceived().assign(Data.begin(), Data.end());
    NotifyBinary(Connection, Data);
  } catch (const std::exception& e) {
    NotifyError(Connection, e.what());
  } catch (...) {
    // A handler may throw anything; the connection goes on as after any other error.
    NotifyError(Connection, "Unknown exception");
  }
}

void TlumWSServer_Base::OnConnectionFragmented(TlumWSConnection* Connection, TBytesView Data,
                                               TOpcode OpCode, bool Continuation) {
  if (IsDestroying()) return;
  try {
    NotifyFragmented(Connection, Data, OpCode, Continuation);
  } catch (const std::exception& e) {
    NotifyError(Connection, e.what());
  } catch (...) {
    // A handler may throw anything; the connection goes on as after any other error.
    NotifyError(Connection, "Unknown exception");
  }
}

void TlumWSServer_Base::OnConnectionDisconnect(TlumWSConnection* Connection, int /*Code*/) {
  if (IsDestroying()) return;
  try {
    if (auto* c = dynamic_cast<TConnection*>(Connection)) RemoveConnection(c);
  } catch (const std::exception&) {
    // The notification below runs even when the list refused.
  }
  const std::string& guid = Connection->Guid();
  if (FOptimizations.Channels.Enabled) FChannels.DeleteItem(guid);
  if (FOptimizations.Connections.Enabled) ConnectionCache().DeleteItem(guid);
  NotifyDisconnect(Connection);
}

}  // namespace quillon
