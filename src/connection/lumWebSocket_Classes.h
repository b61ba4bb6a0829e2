// The WebSocket-capable connection: per-connection options, events, the public writes with
// their streaming modes, held-back message queues, channel subscriptions and ping times.
// Framing is not here (lumWebSocket_Classes_Indy.h), nor is any transport.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "connection/lumTCP_Classes.h"

namespace quillon {

class TlumWSExtensions;
class TlumWSConnection;

// Binary payloads are byte views; text is UTF-8 in std::string / std::string_view.
using TBytesView = std::span<const std::uint8_t>;
inline TBytesView AsBytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}
inline std::string_view AsText(TBytesView b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

enum TOpcode : std::uint8_t { opContinuation, opText, opBinary, opClose, opPing, opPong, opNone };
enum TwsSpecification : std::uint8_t { spRFC6455, spHixie76, spRFC8441 };
enum TwsFragmentedMessages : std::uint8_t { frgOnlyBuffer, frgOnlyFragmented, frgAll };
enum TwsStreaming : std::uint8_t { stmNone, stmFirst, stmContinue, stmLast, stmContinueAndLast };
enum TwsQueueMsgLevels : std::uint8_t { qmNone, qmLevel0, qmLevel1, qmLevel2 };
enum TwsAuthentication : std::uint8_t { authNone, authSession, authURL, authBasic, authOAuth2 };

// Wire value of an opcode (opNone is never sent).
constexpr std::uint8_t OpCodeToByte(TOpcode op) {
  constexpr std::uint8_t kWire[] = {0x0, 0x1, 0x2, 0x8, 0x9, 0xA, 0xF};
  return kWire[op];
}
constexpr bool IsControlOpCode(TOpcode op) { return op == opClose || op == opPing || op == opPong; }

using TwsTime = std::chrono::system_clock::time_point;  // the zero time_point is "never"

// Which queue level a kind of outgoing message is held back in.
class TlumWSQueue {
 public:
  TwsQueueMsgLevels Level() const { return FLevel; }
  void SetLevel(TwsQueueMsgLevels Value) { FLevel = Value; }
  void Assign(const TlumWSQueue& Source) { FLevel = Source.FLevel; }

 private:
  TwsQueueMsgLevels FLevel = qmNone;
};

class TlumWSQueueOptions {
 public:
  TlumWSQueue& Binary() { return FBinary; }
  TlumWSQueue& Ping() { return FPing; }
  TlumWSQueue& Text() { return FText; }
  const TlumWSQueue& Binary() const { return FBinary; }
  const TlumWSQueue& Ping() const { return FPing; }
  const TlumWSQueue& Text() const { return FText; }
  void Assign(const TlumWSQueueOptions& Source) {
    FBinary.Assign(Source.FBinary);
    FPing.Assign(Source.FPing);
    FText.Assign(Source.FText);
  }

 private:
  TlumWSQueue FBinary;
  TlumWSQueue FPing;
  TlumWSQueue FText;
};

// One held-back outgoing message.
class TlumQueueObject {
 public:
  int Size = 0;
  TwsStreaming Streaming = stmNone;
  std::string Text;
  TOpcode OpCode = opText;
  const std::vector<std::uint8_t>& Stream() const { return FStream; }
  // Copies the whole data.
  void SetStream(TBytesView aData) { FStream.assign(aData.begin(), aData.end()); }

 private:
  std::vector<std::uint8_t> FStream;
};

// A thread list of owned TlumQueueObject entries.
class TlumQueueList : public TlumThreadList {
 public:
  ~TlumQueueList() override;
  void Add(TlumQueueObject* aObject) { TlumThreadList::Add(aObject); }
  // Frees and removes every entry, first to last, under the list's lock.
  void FreeObjects();
  // Moves the entries out under the lock, for a sender that empties the queue.
  std::vector<std::unique_ptr<TlumQueueObject>> TakeObjects();
  int Count();
};

using TlumWSUpdateEvent = std::function<void(TlumWSConnection* Connection, int aType)>;
using TlumWSMessageEvent = std::function<void(TlumWSConnection* Connection, const std::string& Text)>;
// The data is valid only during the event.
using TlumWSBinaryEvent = std::function<void(TlumWSConnection* Connection, TBytesView Data)>;
using TlumWSHandshakeEvent =
    std::function<void(TlumWSConnection* Connection, std::vector<std::string>& Headers)>;
using TlumWSSubscriptionEvent =
    std::function<void(TlumWSConnection* Connection, const std::string& Subscription)>;
using TlumWSFragmentedEvent = std::function<void(TlumWSConnection* Connection, TBytesView Data,
                                                 TOpcode OpCode, bool Continuation)>;
using TlumWSDisconnectEvent = std::function<void(TlumWSConnection* Connection, int Code)>;
using TlumWSAuthenticationEvent =
    std::function<void(TlumWSConnection* Connection, const std::string& aUser,
                       const std::string& aPassword, bool& Authenticated)>;

inline constexpr std::int64_t kDefaultMaxMessageSize = 64 * 1024 * 1024;

class TlumWSConnection : public TlumTCPConnection {
 public:
  TlumWSConnection();

  // ---- Public operations; any thread. ----
  // A text or binary message, or a part of one (aStreaming); held back when the queue
  // options say so.
  void WriteData(std::string_view aText, int aSize = 0, TwsStreaming aStreaming = stmNone);
  void WriteData(TBytesView aStream, int aSize = 0, TwsStreaming aStreaming = stmNone);
  // Sends the text and waits up to aTimeOut ms for the next text message (MsgReceived).
  std::string WriteAndWaitData(std::string_view aText, int aTimeOut);
  void Ping(std::string_view aText);
  // True once a pong answered this text within aTimeOut ms.
  bool Ping(std::string_view aText, int aTimeOut);
  virtual void Disconnect() { Disconnect(1000); }
  virtual void Disconnect(int aCloseCode);
  virtual void Close() { Close(1000); }
  virtual void Close(int aCloseCode);
  void DoSubscribe(std::string_view aChannels);
  void DoUnSubscribe(std::string_view aChannels);
  bool Subscribed(std::string_view aChannel);

  // ---- Virtual operations of this level. ----
  // Copies the server's extension set into this connection's.
  virtual void SetExtensions(const TlumWSExtensions& Value);
  const std::string& URL() { return GetURL(); }
  virtual const std::string& GetURL() = 0;
  // Here only marks the connection disconnected; the codec sends the close frame.
  virtual void WriteClose(int aCloseCode);
  virtual void QueuePing(std::string_view aText);
  // Here only the ping times; the codec sends the frame.
  virtual void DoPing(std::string_view aText);
  virtual void DoWriteData(std::string_view aText, int aSize, TwsStreaming aStreaming) = 0;
  virtual void DoWriteData(TBytesView aStream, int aSize, TwsStreaming aStreaming) = 0;

  // ---- Properties. ----
  TlumWSExtensions& Extensions() { return *FExtensions; }
  TlumWSQueueOptions& QueueOptions() { return FQueueOptions; }
  void SetQueueOptions(const TlumWSQueueOptions& Value) { FQueueOptions.Assign(Value); }
  // Level 0, 1 or 2.
  TlumQueueList& QueueLevel(int aLevel);
  int CloseCode() const { return FCloseCode.load(std::memory_order_relaxed); }
  std::string CloseReason() const { return FCloseReason; }
  const std::string& MsgError() const { return FMsgError; }
  void SetMsgError(std::string Value) { FMsgError = std::move(Value); }
  TwsSpecification Specification() const { return FSpecification; }
  void SetSpecification(TwsSpecification Value) { FSpecification = Value; }
  bool Masked() const { return FMasked; }
  void SetMasked(bool Value) { FMasked = Value; }
  const std::string& Protocol() const { return FProtocol; }
  void SetProtocol(std::string Value) { FProtocol = std::move(Value); }
  bool ValidateUTF8() const { return FValidateUTF8; }
  void SetValidateUTF8(bool Value) { FValidateUTF8 = Value; }
  bool RaiseDisconnectExceptions() const { return FRaiseDisconnectExceptions; }
  void SetRaiseDisconnectExceptions(bool Value) { FRaiseDisconnectExceptions = Value; }
  TwsFragmentedMessages FragmentedMessages() const { return FFragmentedMessages; }
  void SetFragmentedMessages(TwsFragmentedMessages Value) { FFragmentedMessages = Value; }
  bool CleanDisconnect() const { return FCleanDisconnect; }
  void SetCleanDisconnect(bool Value) { FCleanDisconnect = Value; }
  // Bounds one frame's payload and one whole message, after decompression too; beyond
  // it the connection closes with 1009.
  std::int64_t MaxMessageSize() const { return FMaxMessageSize; }
  void SetMaxMessageSize(std::int64_t Value) { FMaxMessageSize = Value; }
  std::vector<std::string> Subscriptions();
  const std::string& LastSubscription() const { return FLastSubscription; }
  void SetLastSubscription(std::string Value) { FLastSubscription = std::move(Value); }
  const std::string& LastUnSubscription() const { return FLastUnSubscription; }
  void SetLastUnSubscription(std::string Value) { FLastUnSubscription = std::move(Value); }
  bool Disconnected() const { return FDisconnected.load(std::memory_order_acquire); }
  // Marking a connection disconnected for the first time frees its held-back messages.
  void SetDisconnected(bool Value);
  TwsTime LastPing() const { return LoadTime(FLastPing); }
  TwsTime FirstPing() const { return LoadTime(FFirstPing); }
  void SetFirstPing(TwsTime Value) { StoreTime(FFirstPing, Value); }
  TwsTime LastPong() const { return LoadTime(FLastPong); }
  std::string Pong();
  std::vector<std::string>& HeadersResponse() { return FHeadersResponse; }
  bool Enabled() const { return FEnabled.load(std::memory_order_acquire); }
  bool NotifyConnection() const { return FNotifyConnection; }
  void SetNotifyConnection(bool Value) { FNotifyConnection = Value; }
  bool NotifyDisconnection() const { return FNotifyDisconnection; }
  void SetNotifyDisconnection(bool Value) { FNotifyDisconnection = Value; }
  // The server opens connections that need no handshake (fall-back streams, accepted
  // unknown protocols) through this.
  void SetConnectionEnabled(bool Value) { SetEnabled(Value); }

  TlumWSUpdateEvent OnUpdate;
  TlumWSMessageEvent OnMessage;
  TlumWSBinaryEvent OnBinary;
  TlumWSHandshakeEvent OnHandshake;
  TlumWSSubscriptionEvent OnSubscription;
  TlumWSSubscriptionEvent OnUnSubscription;
  TlumWSFragmentedEvent OnFragmented;

 protected:
  ~TlumWSConnection() override;

  static TwsTime LoadTime(const std::atomic<TwsTime::rep>& t) {
    return TwsTime(TwsTime::duration(t.load(std::memory_order_relaxed)));
  }
  static void StoreTime(std::atomic<TwsTime::rep>& t, TwsTime v) {
    t.store(v.time_since_epoch().count(), std::memory_order_relaxed);
  }
  void SetEnabled(bool Value) { FEnabled.store(Value, std::memory_order_release); }
  void SetPong(std::string Value);
  TlumQueueList* QueueFor(TwsQueueMsgLevels aLevel);

  std::unique_ptr<TlumWSExtensions> FExtensions;
  std::unique_ptr<TlumQueueList> FQueueLevel0;
  std::unique_ptr<TlumQueueList> FQueueLevel1;
  std::unique_ptr<TlumQueueList> FQueueLevel2;
  TlumWSQueueOptions FQueueOptions;
  std::atomic<int> FCloseCode{0};
  std::string FCloseReason;
  std::string FMsgError;
  TwsSpecification FSpecification = spRFC6455;
  bool FMasked = false;
  std::string FProtocol;
  bool FValidateUTF8 = false;
  bool FRaiseDisconnectExceptions = true;
  TwsFragmentedMessages FFragmentedMessages = frgOnlyBuffer;
  bool FCleanDisconnect = true;
  std::int64_t FMaxMessageSize = kDefaultMaxMessageSize;
  std::string FURL;
  std::vector<std::string> FSubscriptions;  // under FCSArray[0]
  std::string FLastSubscription;
  std::string FLastUnSubscription;
  std::atomic<bool> FDisconnected{false};
  std::atomic<TwsTime::rep> FLastPing{0};
  std::atomic<TwsTime::rep> FLastPong{0};
  std::atomic<TwsTime::rep> FFirstPing{0};
  std::string FPong;  // under FCSArray[1]
  std::vector<std::string> FHeadersResponse;
  std::atomic<bool> FEnabled{false};
  bool FNotifyConnection = true;
  bool FNotifyDisconnection = true;
};

}  // namespace quillon
