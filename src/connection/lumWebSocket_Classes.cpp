// TlumWSConnection: queues, public writes, pings, subscriptions.
#include "connection/lumWebSocket_Classes.h"

#include <thread>

#include "connection/lumWebSocket_Extensions.h"
#include "connection/lumWebSocket_RequestLines.h"

namespace quillon {

namespace {

// Splits at every comma; no trimming, empty items count.
std::vector<std::string_view> SplitCommas(std::string_view s) {
  std::vector<std::string_view> out;
  for (;;) {
    const auto comma = s.find(',');
    out.push_back(s.substr(0, comma));
    if (comma == std::string_view::npos) return out;
    s.remove_prefix(comma + 1);
  }
}

}  // namespace

// ---- TlumQueueList ----

TlumQueueList::~TlumQueueList() { FreeObjects(); }

void TlumQueueList::FreeObjects() {
  TLocked hold(*this);
  for (void* p : FList) delete static_cast<TlumQueueObject*>(p);
  FList.Clear();
}

std::vector<std::unique_ptr<TlumQueueObject>> TlumQueueList::TakeObjects() {
  TLocked hold(*this);
  std::vector<std::unique_ptr<TlumQueueObject>> out;
  out.reserve(FList.Count());
  for (void* p : FList) out.emplace_back(static_cast<TlumQueueObject*>(p));
  FList.Clear();
  return out;
}

int TlumQueueList::Count() {
  TLocked hold(*this);
  return FList.Count();
}

// ---- TlumWSConnection ----

TlumWSConnection::TlumWSConnection()
    : FExtensions(std::make_unique<TlumWSExtensions>()),
      FQueueLevel0(std::make_unique<TlumQueueList>()),
      FQueueLevel1(std::make_unique<TlumQueueList>()),
      FQueueLevel2(std::make_unique<TlumQueueList>()) {
  // Held-back messages are distinct objects: the same pointer twice cannot happen, and
  // the default duplicate check would cost a scan per message.
  FQueueLevel0->SetDuplicates(dupAccept);
  FQueueLevel1->SetDuplicates(dupAccept);
  FQueueLevel2->SetDuplicates(dupAccept);
}

TlumWSConnection::~TlumWSConnection() = default;

TlumQueueList* TlumWSConnection::QueueFor(TwsQueueMsgLevels aLevel) {
  switch (aLevel) {
    case qmLevel0: return FQueueLevel0.get();
    case qmLevel1: return FQueueLevel1.get();
    case qmLevel2: return FQueueLevel2.get();
    case qmNone: break;
  }
  return nullptr;
}

TlumQueueList& TlumWSConnection::QueueLevel(int aLevel) {
  return *QueueFor(static_cast<TwsQueueMsgLevels>(qmLevel0 + aLevel));
}

void TlumWSConnection::SetExtensions(const TlumWSExtensions& Value) { FExtensions->Assign(Value); }

void TlumWSConnection::WriteData(std::string_view aText, int aSize, TwsStreaming aStreaming) {
  if (TlumQueueList* queue = QueueFor(FQueueOptions.Text().Level())) {
    auto entry = std::make_unique<TlumQueueObject>();
    entry->OpCode = opText;
    entry->Text = aText;
    entry->Size = aSize;
    entry->Streaming = aStreaming;
    queue->Add(entry.release());
    return;
  }
  DoWriteData(aText, aSize, aStreaming);
}

void TlumWSConnection::WriteData(TBytesView aStream, int aSize, TwsStreaming aStreaming) {
  if (TlumQueueList* queue = QueueFor(FQueueOptions.Binary().Level())) {
    auto entry = std::make_unique<TlumQueueObject>();
    entry->OpCode = opBinary;
    entry->SetStream(aStream);
    entry->Size = aSize;
    entry->Streaming = aStreaming;
    queue->Add(entry.release());
    return;
  }
  DoWriteData(aStream, aSize, aStreaming);
}

std::string TlumWSConnection::WriteAndWaitData(std::string_view aText, int aTimeOut) {
  SetMsgReceived({});
  const auto start = std::chrono::steady_clock::now();
  WriteData(aText, 0, stmNone);
  if (aTimeOut <= 0) return {};
  const auto deadline = start + std::chrono::milliseconds(aTimeOut);
  for (;;) {
    std::string text = MsgReceived();
    if (!text.empty()) return text;
    if (std::chrono::steady_clock::now() >= deadline) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void TlumWSConnection::QueuePing(std::string_view aText) {
  TlumQueueList* queue = QueueFor(FQueueOptions.Ping().Level());
  if (queue == nullptr) return;
  auto entry = std::make_unique<TlumQueueObject>();
  entry->OpCode = opPing;
  entry->Text = aText;
  queue->Add(entry.release());
}

void TlumWSConnection::Ping(std::string_view aText) {
  if (FQueueOptions.Ping().Level() != qmNone) {
    QueuePing(aText);
    return;
  }
  DoPing(aText);
}

bool TlumWSConnection::Ping(std::string_view aText, int aTimeOut) {
  const auto start = std::chrono::steady_clock::now();
  Ping(aText);
  if (aTimeOut <= 0) return false;
  const auto deadline = start + std::chrono::milliseconds(aTimeOut);
  for (;;) {
    if (Pong() == aText) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void TlumWSConnection::DoPing(std::string_view /*aText*/) {
  const TwsTime now = std::chrono::system_clock::now();
  TwsTime::rep zero = 0;
  FFirstPing.compare_exchange_strong(zero, now.time_since_epoch().count(),
                                     std::memory_order_relaxed);
  StoreTime(FLastPing, now);
}

std::string TlumWSConnection::Pong() {
  std::lock_guard hold(FCSArray[1]);
  return FPong;
}

void TlumWSConnection::SetPong(std::string Value) {
  std::lock_guard hold(FCSArray[1]);
  FPong = std::move(Value);
}

void TlumWSConnection::Disconnect(int /*aCloseCode*/) { SetDisconnected(true); }

void TlumWSConnection::Close(int aCloseCode) {
  SetDisconnected(true);
  WriteClose(aCloseCode);
}

void TlumWSConnection::WriteClose(int /*aCloseCode*/) { SetDisconnected(true); }

void TlumWSConnection::SetDisconnected(bool Value) {
  if (Value) {
    // Only the first marking frees the held-back messages.
    if (!FDisconnected.exchange(true, std::memory_order_acq_rel)) {
      FQueueLevel0->FreeObjects();
      FQueueLevel1->FreeObjects();
      FQueueLevel2->FreeObjects();
    }
    return;
  }
  FDisconnected.store(false, std::memory_order_release);
}

void TlumWSConnection::DoSubscribe(std::string_view aChannels) {
  for (std::string_view name : SplitCommas(aChannels)) {
    {
      std::lock_guard hold(FCSArray[0]);
      bool found = false;
      for (const std::string& s : FSubscriptions) {
        if (SameText(s, name)) {
          found = true;
          break;
        }
      }
      if (found) continue;
      FSubscriptions.emplace_back(name);
    }
    if (OnSubscription) OnSubscription(this, std::string(name));
  }
}

void TlumWSConnection::DoUnSubscribe(std::string_view aChannels) {
  for (std::string_view name : SplitCommas(aChannels)) {
    {
      std::lock_guard hold(FCSArray[0]);
      auto it = FSubscriptions.begin();
      while (it != FSubscriptions.end() && !SameText(*it, name)) ++it;
      if (it == FSubscriptions.end()) continue;
      FSubscriptions.erase(it);
    }
    if (OnUnSubscription) OnUnSubscription(this, std::string(name));
  }
}

bool TlumWSConnection::Subscribed(std::string_view aChannel) {
  if (aChannel.empty()) return true;
  const auto names = SplitCommas(aChannel);
  std::lock_guard hold(FCSArray[0]);
  for (std::string_view name : names) {
    for (const std::string& s : FSubscriptions) {
      if (SameText(s, name)) return true;
    }
  }
  return false;
}

std::vector<std::string> TlumWSConnection::Subscriptions() {
  std::lock_guard hold(FCSArray[0]);
  return FSubscriptions;
}

}  // namespace quillon
