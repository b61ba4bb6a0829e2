// Internal objects of the HTTP engine behind http.h: sessions, URL groups, request queues,
// requests, connections, listeners and the epoll event loop. Not for use outside this folder.
//
// Threads: one event-loop thread accepts, reads, parses, gathers request bodies (up to a
// bound) and runs the timers; the caller's threads (receivers, workers) copy request records,
// read bodies and write responses. Each connection's state sits under its own lock, which is
// never held across a socket write, a TLS write or a log write: one thread at a time owns the
// write side of a socket and makes the system call with the lock released. The loop never
// waits for a connection's lock at all: when a worker holds it, the loop leaves the readiness
// events with the lock and the worker handles them before letting go (ConnectionLock).
//
// Lock order (a lock may be taken while holding only locks to its left, never the reverse):
//   connection -> registry (shared, routing only) -> nothing
//   connection -> URL group / session settings
//   connection -> request queue -> completion port
//   connection -> id-table shard, event loop, token bucket, W3C log
//   registry -> URL group / session settings -> connection timeouts
//   registry -> listener -> event loop
// So nothing that holds the registry or a listener lock may take a connection lock: a listener
// starts its connections after letting go of its lock, and a request queue calls back into a
// connection (refuse, abort) only after letting go of its own.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/httpapi/HttpParser.h"
#include "platform/httpapi/ResponseWriter.h"
#include "platform/httpapi/SocketAddress.h"
#include "platform/httpapi/UrlPrefix.h"
#include "platform/httpapi/http.h"
#include "platform/win32/CompletionPort.h"
#include "platform/win32/KernelObject.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace quillon::platform {
class W3CLog;
}

namespace quillon::platform::detail {

using Clock = std::chrono::steady_clock;

struct TimeoutSettings {
  std::chrono::seconds entityBody{120};
  std::chrono::seconds drainEntityBody{120};
  std::chrono::seconds requestQueue{120};
  std::chrono::seconds idleConnection{120};
  std::chrono::seconds headerWait{120};
  ULONG minSendRate = 150;  // bytes per second
};

// Bytes per second shared by every connection of a URL group or session.
class TokenBucket {
 public:
  explicit TokenBucket(ULONG bytesPerSecond);
  // How many of `want` bytes may go now (at least 1 when any are allowed).
  std::size_t Take(std::size_t want);

 private:
  std::mutex lock_;
  double rate_;
  double tokens_;
  Clock::time_point last_;
};

struct Session {
  HTTP_SERVER_SESSION_ID id = 0;
  std::mutex lock;  // guards the settings below
  std::shared_ptr<TokenBucket> bandwidth;
  std::optional<TimeoutSettings> timeouts;
};

class RequestQueue;

struct UrlGroup {
  HTTP_URL_GROUP_ID id = 0;
  std::shared_ptr<Session> session;
  std::mutex lock;  // guards the settings below
  KernelRef<RequestQueue> queue;
  std::shared_ptr<W3CLog> log;
  std::shared_ptr<TokenBucket> bandwidth;
  ULONG maxConnections = HTTP_LIMIT_INFINITE;
  std::optional<TimeoutSettings> timeouts;
  bool basicAuth = false;
  std::atomic<ULONG> connections{0};  // connections counted against maxConnections
};

// What routing a request yields: the group and a snapshot of its settings.
struct Route {
  std::shared_ptr<UrlGroup> group;
  KernelRef<RequestQueue> queue;
  std::shared_ptr<W3CLog> log;
  std::shared_ptr<TokenBucket> bandwidth;
  TimeoutSettings timeouts;
  bool basicAuth = false;
};

class Connection;

// A parsed request, immutable once queued; the record is laid out from it on demand.
struct Request {
  HTTP_REQUEST_ID id = 0;
  std::shared_ptr<Connection> connection;
  HTTP_CONNECTION_ID connectionId = 0;
  Route route;
  std::string head;  // the raw head bytes
  RequestHead parsed;
  struct Text {
    const char* data;
    std::size_t size;
  };
  std::array<Text, HttpHeaderRequestMaximum> known{};  // values, duplicates joined
  std::string joined;                                  // storage of joined duplicates
  std::string cookedUrl;
  std::size_t hostOffset = 0, hostLength = 0, pathOffset = 0, pathLength = 0,
              queryOffset = 0, queryLength = 0;
  std::string cookedPathLower;  // for matching only
  SocketAddress local, remote;
  bool https = false;
  bool moreBody = false;
  enum class Auth { Off, None, Success, Failure } auth = Auth::Off;
  std::string authDecoded;
  Clock::time_point queuedAt;
  // Guarded by the queue's lock.
  bool taken = false;
  int refusals = 0;

  std::string_view Method() const { return {head.data() + parsed.methodOffset, parsed.methodLength}; }
  std::string_view RawUrl() const { return {head.data() + parsed.urlOffset, parsed.urlLength}; }
};

// Bytes the record of this request needs in the caller's buffer.
ULONG RequestRecordSize(const Request& request);
// Lays the record out; the buffer must hold RequestRecordSize bytes.
void WriteRequestRecord(const Request& request, HTTP_REQUEST_V2* buffer);

class RequestQueue final : public KernelObject {
 public:
  RequestQueue() : KernelObject(Type::RequestQueue) {}

  // Queues a request from the event loop (or a finishing response). False: the queue is
  // full or closed, and the caller answers 503.
  bool Deliver(const std::shared_ptr<Request>& request);
  ULONG Receive(HTTP_REQUEST_ID id, PHTTP_REQUEST buffer, ULONG size, ULONG* bytes,
                LPOVERLAPPED overlapped);
  // Takes a request back out that nobody has received yet; false when already taken.
  bool Withdraw(const Request* request);
  // Closes the queue for receivers and drops the connections of its requests.
  void Shutdown();
  void SetMaxLength(ULONG length);
  // Completion for an overlapped call on this queue. False without a port.
  bool Complete(LPOVERLAPPED overlapped, DWORD bytes, DWORD status);

  bool BindCompletionPort(KernelObject* port, ULONG_PTR key) override;
  void OnCloseHandle() override;

 private:
  struct SyncWaiter {
    std::condition_variable cv;
    std::shared_ptr<Request> request;
    bool aborted = false;
  };
  struct AsyncWaiter {
    PHTTP_REQUEST buffer;
    ULONG size;
    LPOVERLAPPED overlapped;
  };
  // Copies into the buffer or parks the request; NO_ERROR or ERROR_MORE_DATA.
  ULONG Hand(const std::shared_ptr<Request>& request, PHTTP_REQUEST buffer, ULONG size,
             ULONG* bytes);
  bool CompleteLocked(LPOVERLAPPED overlapped, DWORD bytes, DWORD status);

  std::mutex lock_;  // guards everything below
  std::deque<std::shared_ptr<Request>> pending_;
  std::deque<std::shared_ptr<Request>> parked_;  // refused once for a small buffer
  std::deque<SyncWaiter*> syncWaiters_;
  std::deque<AsyncWaiter> asyncWaiters_;
  KernelRef<KernelObject> port_;  // the completion port
  ULONG_PTR key_ = 0;
  ULONG maxLength_ = 1000;
  bool closed_ = false;
};

class Pollable {
 public:
  virtual ~Pollable() = default;
  virtual void OnEvents(std::uint32_t events) = 0;
  virtual void OnTick(Clock::time_point /*now*/) {}
  // Events left with a busy object: true once they are handled (by anyone).
  virtual bool OnRetry() { return true; }
};

// The epoll thread. Objects are registered with a shared owner that the loop keeps until
// Release; the release takes effect after the current batch of events, so an event already
// fetched never reaches a freed object.
class EventLoop {
 public:
  static EventLoop& Instance();
  bool Add(std::shared_ptr<Pollable> object, int fd, std::uint32_t events);
  void Release(Pollable* object);
  // Ask for a quick tick (a throttled connection waits for its next share of bandwidth).
  void WantFastTick();
  // Stops watching a descriptor that stays open a little longer (a write is still under way).
  void Forget(int fd);
  // Loop thread only: the object could not take its events now; they are offered again
  // shortly (OnRetry) unless its lock's holder handles them first.
  void RetryLater(Pollable* object);
  // Connections torn down so far (the loop returns freed memory to the system after many).
  void NoteClosed() { closed_.fetch_add(1, std::memory_order_relaxed); }

 private:
  EventLoop();
  void Run();
  void Wake();

  int epoll_ = -1;
  int wake_ = -1;
  std::thread thread_;
  std::mutex lock_;  // guards the two containers
  std::unordered_map<Pollable*, std::shared_ptr<Pollable>> objects_;
  std::vector<Pollable*> releases_;
  std::atomic<bool> fastTick_{false};
  std::vector<std::shared_ptr<Pollable>> retry_;  // loop thread only
  std::atomic<std::uint64_t> closed_{0};
  std::uint64_t closedAtTrim_ = 0;
  Clock::time_point lastClose_{};
};

// Process-wide id tables.
template <class T>
class IdTable {
 public:
  void Insert(std::uint64_t id, std::shared_ptr<T> value) {
    Shard& s = shards_[id % kShards];
    std::lock_guard g(s.lock);
    s.map.emplace(id, std::move(value));
  }
  std::shared_ptr<T> Find(std::uint64_t id) {
    Shard& s = shards_[id % kShards];
    std::lock_guard g(s.lock);
    auto it = s.map.find(id);
    return it == s.map.end() ? nullptr : it->second;
  }
  void Erase(std::uint64_t id) {
    Shard& s = shards_[id % kShards];
    std::shared_ptr<T> dropped;  // destroyed outside the lock
    std::lock_guard g(s.lock);
    auto it = s.map.find(id);
    if (it != s.map.end()) {
      dropped = std::move(it->second);
      s.map.erase(it);
    }
  }
  std::vector<std::shared_ptr<T>> All() {
    std::vector<std::shared_ptr<T>> out;
    for (Shard& s : shards_) {
      std::lock_guard g(s.lock);
      for (auto& [id, v] : s.map) out.push_back(v);
    }
    return out;
  }

 private:
  static constexpr std::size_t kShards = 16;
  struct Shard {
    std::mutex lock;
    std::unordered_map<std::uint64_t, std::shared_ptr<T>> map;
  };
  std::array<Shard, kShards> shards_;
};

HTTP_OPAQUE_ID NewId();
IdTable<Request>& Requests();
IdTable<Connection>& Connections();

// Cap of bytes queued on a connection that the peer does not read: a write that finds more
// than this still unsent drops the connection (one message of any size may be queued).
inline std::size_t g_sendQueueCap = 16u << 20;
// Cap of bytes queued on all connections together; a write that would pass it drops its
// connection, so a broadcast to many slow readers cannot exhaust memory.
inline std::size_t g_processSendQueueCap = std::size_t{1} << 30;
// Bytes queued and unsent on all connections now.
std::size_t QueuedSendBytes();
// Bytes of a request body gathered before the request is queued: a body up to this size is
// whole before any worker sees the request, so no worker waits on a slow client's body.
inline std::size_t g_bodyHoldLimit = 1u << 20;

// Received bytes not yet taken: consumed from the front, appended at the back, no
// zero-filling. Holds storage only while it holds bytes: an idle connection keeps none.
class InBuffer {
 public:
  char* data() { return data_.get() + begin_; }
  std::size_t size() const { return end_ - begin_; }
  bool empty() const { return begin_ == end_; }
  std::size_t capacity() const { return capacity_; }
  std::string_view view() const { return {data_.get() + begin_, end_ - begin_}; }
  void Consume(std::size_t n) {
    begin_ += n;
    if (begin_ == end_) Release();
  }
  void Append(const char* bytes, std::size_t n) {
    std::size_t room = 0;
    std::memcpy(Reserve(n, room), bytes, n);
    Commit(n);
  }
  void Clear() { begin_ = end_ = 0; }
  void Release() {
    data_.reset();
    begin_ = end_ = capacity_ = 0;
  }
  // Room for at least `n` more bytes at the back.
  char* Reserve(std::size_t n, std::size_t& room);
  void Commit(std::size_t n) { end_ += n; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t begin_ = 0, end_ = 0, capacity_ = 0;
};

// A connection's lock. The event loop only ever tries it: readiness events that find it held
// are left in `pending`, and whoever holds it handles them before letting go, so a worker
// inside a read, a TLS handshake step or any other call on the connection never stalls the
// loop (and through it every other connection).
class ConnectionLock {
 public:
  explicit ConnectionLock(Connection& owner) : owner_(owner) {}
  void lock() { m_.lock(); }
  bool try_lock() { return m_.try_lock(); }
  void unlock();
  std::atomic<std::uint32_t> pending{0};  // epoll events not yet handled

 private:
  Connection& owner_;
  std::mutex m_;
  bool draining_ = false;  // under m_: pending events are being handled
};

class Connection final : public Pollable, public std::enable_shared_from_this<Connection> {
 public:
  Connection(int fd, const SocketAddress& local, const SocketAddress& remote, bool https);
  ~Connection() override;

  // Registers a just-accepted connection (id table, then the loop) and starts it, all under
  // its own lock: a teardown in between would close the socket before the loop took it, and
  // the loop could then watch a descriptor number already reused. False when the loop
  // refused it (the connection is then unregistered and its socket closes with it).
  bool Open(SSL_CTX* tlsContext);
  void OnEvents(std::uint32_t events) override;
  void OnTick(Clock::time_point now) override;
  bool OnRetry() override;

  ULONG ReceiveBody(const Request& request, ULONG flags, void* buffer, ULONG size, ULONG* bytes,
                    LPOVERLAPPED overlapped);
  ULONG SendResponse(const Request& request, ULONG flags, const HTTP_RESPONSE_V2* response,
                     USHORT chunkCount, const HTTP_DATA_CHUNK* chunks, ULONG* bytesSent,
                     LPOVERLAPPED overlapped, bool logData);
  ULONG WaitForDisconnect(RequestQueue* queue, LPOVERLAPPED overlapped);
  // Drops the connection (queue closed, request expired, HttpTerminate).
  void Abort();
  // Drops it when its current request came from that queue.
  void AbortIfQueue(const RequestQueue* queue);
  // Answers a request that never reached the application (queue full, refused) and closes.
  void Refuse(const Request& request, int status);
  // Bytes written by the application and not yet taken by the socket.
  std::uint64_t QueuedBytes();

  HTTP_CONNECTION_ID id() const { return id_; }
  // Bytes held for input (tests: an idle connection holds none).
  std::size_t InputCapacity();
  // Runs `f` holding the connection's lock, as a thread inside a call on it would (tests).
  template <class F>
  void WhileLocked(F&& f) {
    std::lock_guard g(lock_);
    f();
  }

 private:
  friend class ConnectionLock;
  using Guard = std::unique_lock<ConnectionLock>;
  // What the loop's readiness events ask for; under the lock, which it may release around
  // writes.
  void HandleEventsLocked(Guard& g, std::uint32_t events);
  // Received bytes: straight into a posted receive's buffer when nothing waits before them.
  void TakeInLocked(const char* data, std::size_t size);
  // Body: the head is parsed and its body is being gathered before the request is queued.
  enum class Phase { Handshake, Head, Body, Dispatched, Opaque, Lingering, Closed };
  enum class BodyState { None, Reading, Done };

  ULONG ReceiveBodyLocked(Guard& g, const Request& request, ULONG flags,
                          void* buffer, ULONG size, ULONG* bytes, LPOVERLAPPED overlapped);
  ULONG SendResponseLocked(Guard& g, const Request& request, ULONG flags,
                           const HTTP_RESPONSE_V2* response, USHORT chunkCount,
                           const HTTP_DATA_CHUNK* chunks, std::uint64_t bodyBytes,
                           std::string& head, ULONG* bytesSent, LPOVERLAPPED overlapped,
                           bool logData);
  // Writes straight from the caller's buffers when nothing is queued; false when dropped.
  bool WriteDirectLocked(Guard& g, const struct iovec* parts, int count);
  void ReadLocked();
  void ProcessLocked();
  void HandleHeadLocked();
  // Queues bytes for the socket (no system call); false when that dropped the connection.
  bool QueueLocked(const struct iovec* parts, int count);
  // Writes what is queued unless another thread owns the write side; releases `g` around
  // the system calls.
  void PumpLocked(Guard& g);
  // After a write made with the lock released: frees the socket when a teardown came meanwhile.
  void EndWriteLocked();
  // Frees the TLS state and closes the descriptor; no write may be in progress.
  void FreeSocketLocked();
  bool SendIdleLocked() const { return !writing_ && queued_ == 0; }
  void GatherBodyLocked();
  void QueueRequestLocked();
  Clock::time_point BodyDeadlineLocked() const;
  void DropLocked(const char* why);
  void BeginLingerLocked();
  void DeliverLocked(const RequestHead& head);
  void AnswerLocked(int status, bool keepAlive);
  void DecodeChunksLocked();
  void FinishResponseLocked();
  void CloseLocked(bool graceful);
  void TeardownLocked();
  void FailPendingReadLocked(DWORD status);
  void ServePendingReadLocked();
  std::size_t TakeBodyLocked(char* out, std::size_t size);
  bool BodyFinishedLocked() const;
  void DiscardBodyLocked();
  void SendContinueLocked();
  void LogLocked();
  long IoRead(char* buffer, std::size_t size, bool& again, bool& eof);
  long IoWrite(const char* data, std::size_t size, bool& again);
  void StartLocked(SSL_CTX* tlsContext);
  void HandshakeLocked();

  ConnectionLock lock_{*this};  // guards all state below
  std::condition_variable_any changed_;  // body data, close: wakes synchronous readers and waiters
  const HTTP_CONNECTION_ID id_;
  int fd_;
  SSL* ssl_ = nullptr;
  const SocketAddress local_, remote_;
  const bool https_;
  Phase phase_ = Phase::Head;
  Clock::time_point since_;        // entered the current phase (idle, drain, linger)
  Clock::time_point headStart_{};  // first byte of a partial head; zero when none
  Clock::time_point bodyProgress_;
  bool withdrawTried_ = false;

  InBuffer in_;              // bytes read and not yet consumed
  bool peerEof_ = false;
  bool readPaused_ = false;  // stopped reading with data perhaps left in the socket
  bool hangup_ = false;      // the peer hung up or failed: read to the end
  RequestHeadParser parser_;

  std::string out_;  // bytes the socket has not taken yet, from outPos_ on
  std::size_t outPos_ = 0;
  std::size_t queued_ = 0;     // unsent bytes: out_ and those an owner is writing now
  bool writing_ = false;       // a thread owns the write side and is in a system call
  bool flushWanted_ = false;   // writable again (or bytes queued) while the owner was busy
  bool readWanted_ = false;    // TLS: readable while the owner used the TLS object
  bool socketDeferred_ = false;  // torn down during a write: the owner frees the socket
  bool eofSeen_ = false;       // opaque: every byte before the end was handed up
  Clock::time_point eofAt_{};
  bool closeAfterFlush_ = false;
  std::uint64_t flushedSinceCheck_ = 0;
  Clock::time_point sendCheck_;

  std::shared_ptr<Request> current_;
  BodyState body_ = BodyState::None;
  std::uint64_t bodyRemaining_ = 0;  // Content-Length bytes not yet taken
  ChunkedDecoder chunked_;
  bool continueSent_ = false;
  bool discarding_ = false;          // draining the body of a finished response
  bool responseStarted_ = false;
  ResponsePlan plan_;
  std::string decoded_;  // de-chunked body bytes not yet taken
  std::size_t decodedPos_ = 0;
  std::uint64_t bytesSent_ = 0, bytesReceived_ = 0;  // of the current request
  int status_ = 0;
  bool logRequested_ = false;
  Clock::time_point requestStart_;
  std::shared_ptr<UrlGroup> countedGroup_;
  std::shared_ptr<TokenBucket> bandwidth_;
  TimeoutSettings timeouts_;

  struct PendingRead {
    KernelRef<RequestQueue> queue;
    char* buffer;
    ULONG size;
    ULONG flags;
    LPOVERLAPPED overlapped;
    std::size_t filled;
  };
  std::optional<PendingRead> pendingRead_;
  std::size_t tlsRetry_ = 0;  // length of an SSL_write to repeat with the same bytes
  int syncReaders_ = 0;
  struct DisconnectWaiter {
    KernelRef<RequestQueue> queue;
    LPOVERLAPPED overlapped;
  };
  std::vector<DisconnectWaiter> disconnectWaiters_;
};

// Engine-wide registry (UrlGroup.cpp).
std::optional<Route> RouteRequest(bool https, const IpAddress& local, std::uint16_t port,
                                  std::string_view host, std::string_view cookedPath);
// Closes every session and URL group (the last HttpTerminate).
void CloseAllSessions();
// Timeouts of a connection before its first request is routed: the shortest of every group.
TimeoutSettings ConnectionTimeouts();
// Server context for a TLS listener on address:port (ServiceConfig.cpp); null when none.
std::shared_ptr<SSL_CTX> TlsContextFor(const IpAddress& address, std::uint16_t port);

}  // namespace quillon::platform::detail
