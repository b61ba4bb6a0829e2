// The request-queue host: TlumHTTPServerAPI owns an HTTP Server API session, URL group and
// request queue, takes requests off the queue on its own receive thread and posts each to a
// completion port, where the worker pool (TlumHTTP_ThreadPool) hands every completed operation
// to the server's raisers. Request contexts describe those operations. Not the server
// component: what a request means is decided by whoever handles OnConnect.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "httpapi/lumWebSocket_SRWLock.h"
#include "platform/httpapi/http.h"
#include "util/lumWebSocket_Exception.h"

namespace quillon {

enum THTTPAPIMethods : std::uint8_t {
  mthUnknown,
  mthReceiveHttpRequest,
  mthSendHttpResponse,
  mthReceiveRequestEntityBody,
  mthSendResponseEntityBody,
  mthSendDisconnect,
  mthWaitForDisconnect,
  mthCancelHttpRequest,
};

struct TlumHTTPAPIContext;

// One completion as the port delivered it: NO_ERROR, or the status of a failed operation.
struct TlumHTTPAPICompletion {
  TlumHTTPAPIContext* context = nullptr;
  DWORD bytes = 0;
  DWORD error = 0;
};

// What the pool needs of a connection. A connection lives until its last reference is gone:
// its creator holds one, and every request context that names it holds one, so a connection
// with an outstanding operation outlives whoever else lets go of it. The connection classes
// derive from this.
class TlumHTTPAPIConnection {
 public:
  TlumHTTPAPIConnection() = default;  // starts with the creator's reference
  TlumHTTPAPIConnection(const TlumHTTPAPIConnection&) = delete;
  TlumHTTPAPIConnection& operator=(const TlumHTTPAPIConnection&) = delete;

  void AddRef() { FRefCount.fetch_add(1, std::memory_order_relaxed); }
  // The last release frees the connection.
  void Release() {
    if (FRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  long RefCount() const { return FRefCount.load(std::memory_order_relaxed); }

  // A read of this connection (mthReceiveRequestEntityBody) completed with this many bytes.
  virtual void DoReadData(DWORD aBytesReceived) = 0;

  // ---- Serial queue. One connection's completions run one at a time and in the order the
  // port delivered them, on whichever worker holds the queue, so that a read and the
  // disconnect of one connection never run at once.
  //
  // Queues aCompletion, or, when nobody holds the queue, makes the caller its holder and
  // returns true: the caller then runs aCompletion itself, and after it every completion
  // NextCompletion hands out.
  bool PushCompletion(const TlumHTTPAPICompletion& aCompletion);
  // For the holder: the next queued completion; false when none is left, which ends the hold.
  bool NextCompletion(TlumHTTPAPICompletion& aCompletion);
  // Takes the queue when nobody holds it (the dispatch, while it sets the connection up).
  bool EnterSerial();
  // Whether this thread holds the queue.
  bool HoldsSerial();
  // Receive contexts of this connection not yet freed: posted and not yet completed, or the
  // one being processed.
  long ReceivesOutstanding() const { return FReceives.load(std::memory_order_acquire); }

 protected:
  virtual ~TlumHTTPAPIConnection() = default;  // through Release only

 private:
  friend TlumHTTPAPIContext* NewHTTPAPIContext(THTTPAPIMethods, TlumHTTPAPIConnection*);
  friend void FreeHTTPAPIContext(TlumHTTPAPIContext*);
  friend class TlumHTTP_ThreadPool;

  std::atomic<long> FRefCount{1};
  std::atomic<long> FReceives{0};
  std::mutex FSerialLock;  // guards the three below; held only to queue and dequeue
  std::deque<TlumHTTPAPICompletion> FSerialQueue;
  bool FSerialHeld = false;
  std::thread::id FSerialHolder;
  // Disconnect completions held back until the receive still outstanding has completed, so
  // that bytes which arrived before the end are delivered first. Holder only.
  std::vector<TlumHTTPAPIContext*> FDeferredDisconnects;
};

// One HTTP Server API operation that completes through the port. The OVERLAPPED record comes
// first: the pointer handed to every overlapped call is the context itself. Make contexts with
// NewHTTPAPIContext and free them with FreeHTTPAPIContext (the pool does, once the operation
// has completed).
struct TlumHTTPAPIContext {
  OVERLAPPED overlapped;
  THTTPAPIMethods method;
  HANDLE reqqueue;                      // receive contexts only
  HANDLE iocompletition;                // receive contexts only
  HTTP_REQUEST_V2* request;             // start of buffer (receive contexts only)
  std::vector<unsigned char> buffer;    // the request record and its data (receive contexts)
  HTTP_DATA_CHUNK* datachunk;           // made with new; freed with the context
  std::shared_ptr<void> payload;        // whatever a pending send points into; freed with it
  TlumHTTPAPIConnection* connection;    // holds one reference while set
  bool posted;                          // an overlapped receive: its completion posts the next
};

// A zero-filled context; it takes a reference on aConnection when one is given.
TlumHTTPAPIContext* NewHTTPAPIContext(THTTPAPIMethods aMethod,
                                      TlumHTTPAPIConnection* aConnection = nullptr);
// Frees the context with its buffer, chunk and payload and drops its connection reference.
void FreeHTTPAPIContext(TlumHTTPAPIContext* aContext);
// Contexts made and not yet freed, process-wide (for leak checks).
long LiveHTTPAPIContexts();

// The stop signal posted to the port, one per worker.
inline TlumHTTPAPIContext* const kStopContext = reinterpret_cast<TlumHTTPAPIContext*>(~std::uintptr_t{0});

class TlumHTTPServerAPI;
class TlumThreadPool;

using TlumWSHTTPAPIConnectEvent =
    std::function<void(TlumHTTPServerAPI* Sender, TlumHTTPAPIContext& aConnection)>;
using TlumWSHTTPAPIDisconnectEvent = TlumWSHTTPAPIConnectEvent;
using TlumWSHTTPAPIAsynchronousEvent = std::function<void(
    TlumHTTPServerAPI* Sender, TlumHTTPAPIContext& aConnection, bool& Handled)>;
using TlumHTTPAPINotifyEvent = std::function<void(TlumHTTPServerAPI* Sender)>;

// Logging settings; ordinals are the API's own codes. Sets are bit masks: bit n is element n.
enum THttpApiLoggingType : std::uint8_t { hltW3C, hltIIS, hltNCSA, hltRaw };
enum THttpApiLoggingRollOver : std::uint8_t { hlrSize, hlrDaily, hlrWeekly, hlrMonthly, hlrHourly };
enum THttpApiLoggingFlag : std::uint8_t {
  hlfLocalTimeRollover,
  hlfUseUTF8Conversion,
  hlfLogErrorsOnly,
  hlfLogSuccessOnly,
};
enum THttpApiLogField : std::uint8_t {
  hlfDate, hlfTime, hlfClientIP, hlfUserName, hlfSiteName, hlfComputerName, hlfServerIP,
  hlfMethod, hlfURIStem, hlfURIQuery, hlfStatus, hlfWIN32Status, hlfBytesSent, hlfBytesRecv,
  hlfTimeTaken, hlfServerPort, hlfUserAgent, hlfCookie, hlfReferer, hlfVersion, hlfHost,
  hlfSubStatus,
};
using THttpApiLoggingFlags = ULONG;
using THttpApiLogFields = ULONG;
constexpr ULONG HttpApiSetOf(unsigned aElement) { return ULONG{1} << aElement; }
inline constexpr THttpApiLogFields kAllHttpApiLogFields = 0x3FFFFF;

// ---------------------------------------------------------------------------------------
// Worker pool

// One worker: waits on its owner's port and hands each completed context to DoProcess.
class TlumThreadPool_Thread {
 public:
  explicit TlumThreadPool_Thread(TlumThreadPool& aOwner);  // runs at once
  ~TlumThreadPool_Thread();                                // waits for the thread to end
  TlumThreadPool_Thread(const TlumThreadPool_Thread&) = delete;
  TlumThreadPool_Thread& operator=(const TlumThreadPool_Thread&) = delete;

  void Shutdown() { FShutdown.store(true); }
  std::thread::id ThreadID() const { return FThread.get_id(); }

 private:
  void Execute();

  std::atomic<bool> FShutdown{false};
  TlumThreadPool& FOwner;
  std::thread FThread;
};

// Workers on one completion port. The most derived class starts the workers at the end of its
// constructor and stops them first thing in its destructor, so that no worker ever calls
// DoProcess on a half-built or half-destroyed pool.
class TlumThreadPool {
 public:
  // aThreads of 0 means 1. Without a port (creation failed) there are no workers.
  TlumThreadPool(HANDLE aFileHandle, HANDLE aCompletionPort, int aThreads);
  virtual ~TlumThreadPool();
  TlumThreadPool(const TlumThreadPool&) = delete;
  TlumThreadPool& operator=(const TlumThreadPool&) = delete;

  // Handles one completed context. It releases the context on every path, also when it
  // throws, unless a handler has taken the context over.
  virtual void DoProcess(TlumThreadPool_Thread& aThread, DWORD aBytes,
                         TlumHTTPAPIContext* aContext) = 0;
  // Frees a context that is not processed: a failed completion, or one left at stop.
  virtual void ReleaseContext(TlumHTTPAPIContext* aContext);
  // A completion that reports failure (aError): released without being processed.
  virtual void DoFailed(TlumThreadPool_Thread& aThread, DWORD aBytes, TlumHTTPAPIContext* aContext,
                        DWORD aError);

  HANDLE IOCompletition() const { return FIOCompletition; }
  int ThreadCount() const { return FThreads; }
  const std::vector<std::thread::id>& ThreadsID() const { return FThreadsID; }

 protected:
  void StartWorkers();
  // Posts one stop packet per worker, waits for them (10 s when at most 64), closes the port
  // and frees whatever completions were still queued.
  void StopWorkers();

  HANDLE FIOCompletition = nullptr;
  std::vector<std::unique_ptr<TlumThreadPool_Thread>> FThreadList;
  std::vector<std::thread::id> FThreadsID;
  int FThreads;

 private:
  friend class TlumThreadPool_Thread;
  void WorkerEnded();

  std::mutex FEndLock;  // guards FRunning for the timed wait at stop
  std::condition_variable FEndSignal;
  int FRunning = 0;
};

// A pool that serves one request-queue server: the queue is bound to the port.
class TlumServer_ThreadPool : public TlumThreadPool {
 public:
  TlumServer_ThreadPool(HANDLE aFileHandle, TlumHTTPServerAPI* aServer, HANDLE aCompletionPort,
                        int aThreads);
  void ReleaseContext(TlumHTTPAPIContext* aContext) override;

 protected:
  TlumHTTPServerAPI* FServer;  // not owned
};

class TlumHTTP_ThreadPool final : public TlumServer_ThreadPool {
 public:
  TlumHTTP_ThreadPool(HANDLE aFileHandle, TlumHTTPServerAPI* aServer, HANDLE aCompletionPort,
                      int aThreads);
  ~TlumHTTP_ThreadPool() override;
  void DoProcess(TlumThreadPool_Thread& aThread, DWORD aBytes,
                 TlumHTTPAPIContext* aContext) override;
  // A failed completion of a connection still takes its turn in the connection's queue: a
  // disconnect held back for that receive runs after it.
  void DoFailed(TlumThreadPool_Thread& aThread, DWORD aBytes, TlumHTTPAPIContext* aContext,
                DWORD aError) override;

 private:
  // Runs aCompletion in its connection's serial queue (now, or after the one running).
  void Serialize(const TlumHTTPAPICompletion& aCompletion);
  // For the holder of the queue: runs whatever is queued, then lets go.
  void RunSerial(TlumHTTPAPIConnection& aConnection);
  // One completion of a connection, holder of its queue only; never throws.
  void RunCompletion(const TlumHTTPAPICompletion& aCompletion) noexcept;
  void RunDisconnect(TlumHTTPAPIContext* aContext) noexcept;
};

// ---------------------------------------------------------------------------------------
// Request-queue server

class TlumHTTPServerAPI {
 public:
  // Session, URL group, queue and pool, in that order; TlumWSException on any API failure.
  // With aCreateSuspended the receive thread waits for Start, so that events and
  // BasicAuthentication can be set before it reads them.
  TlumHTTPServerAPI(bool aCreateSuspended, int aThreads);
  // Stops receiving, then the workers, then frees every context still listed.
  ~TlumHTTPServerAPI();
  TlumHTTPServerAPI(const TlumHTTPServerAPI&) = delete;
  TlumHTTPServerAPI& operator=(const TlumHTTPServerAPI&) = delete;

  // Runs the receive thread (once); returns when the thread has applied BasicAuthentication.
  void Start();
  // How many receives wait on the queue for the pool at once while the server runs. Requests
  // beyond them (a burst the workers have not caught up with) wait in the queue for the next
  // receive a worker posts.
  static constexpr int PostedReceives = 8;
  void Terminate();
  bool Terminated() const { return FTerminated.load(); }
  void WaitFor();

  // -1 without a queue; else 0, or TlumWSException.
  int AddUrl(const std::string& aURL);
  int RemoveUrl(const std::string& aURL);
  // Binds the certificate with this hex hash to an IPv4 address and port, replacing any
  // earlier binding of that address and port.
  void ConfigureSSLCert(const std::string& aHost, int aPort, const std::string& aHash,
                        const std::string& aCertStoreName);
  void LogStart(const std::string& aLogFolder, THttpApiLoggingType aType,
                const std::string& aSoftwareName, THttpApiLoggingRollOver aRolloverType,
                ULONG aRolloverSize, THttpApiLogFields aLogFields, THttpApiLoggingFlags aFlags);
  void LogStop() { FLogData.store(nullptr); }
  void SetTimeouts(USHORT aEntityBody, USHORT aDrainEntityBody, USHORT aRequestQueue,
                   USHORT aIdleConnection, USHORT aHeaderWait, ULONG aMinSendRate);
  void SetMaxConnections(int aValue);
  void SetMaxBandwidth(int aValue);

  void AddContext(TlumHTTPAPIContext* aContext);
  // Frees the context when listed; false (and nothing done) otherwise.
  bool RemoveContext(TlumHTTPAPIContext* aContext);
  void ClearContexts();
  int ContextCount();

  void DoConnect(TlumHTTPAPIContext& aContext);
  // Raises OnDisconnect, then RemoveContext.
  void DoDisconnect(TlumHTTPAPIContext& aContext);
  void DoAsynchronous(TlumHTTPAPIContext& aContext, bool& aHandled);
  // Requests complete straight on the pool through receives posted on the queue; the worker
  // that gets one posts the next before it runs the dispatch. A request too big for the
  // posted buffer is received again into one of the size asked for (true when that worked
  // and the context now holds the request).
  // The completion of a posted receive: posts its successor.
  void ReplaceReceive(TlumHTTPAPIContext& aContext);
  bool ReceiveAgain(TlumHTTPAPIContext& aContext, ULONG aBytes);

  // Log data for every response send while logging is on; null while off.
  PHTTP_LOG_DATA LogData() const { return reinterpret_cast<PHTTP_LOG_DATA>(FLogData.load()); }
  bool BasicAuthentication() const { return FBasicAuthentication.load(); }
  void SetBasicAuthentication(bool aValue) { FBasicAuthentication.store(aValue); }
  int ReadBufferSize() const { return FReadBufferSize.load(); }
  void SetReadBufferSize(int aValue) { FReadBufferSize.store(aValue); }

  HANDLE ReqQueue() const { return FReqQueue; }
  HTTP_SERVER_SESSION_ID ServerSessionID() const { return FServerSessionID; }
  HTTP_URL_GROUP_ID UrlGroupID() const { return FUrlGroupID; }
  TlumHTTP_ThreadPool* ThreadPool() const { return FThreadPool.get(); }

  // Two hex digits per byte, high nibble first, any case; any other character counts as 0.
  static std::vector<BYTE> DecodeHash(std::string_view aHash);

  // Assigned before Start; raised on the receive thread (startup, shutdown) or a worker.
  TlumWSHTTPAPIAsynchronousEvent OnAsynchronous;
  TlumWSHTTPAPIConnectEvent OnConnect;
  TlumWSHTTPAPIDisconnectEvent OnDisconnect;
  TlumHTTPAPINotifyEvent OnStartup;
  TlumHTTPAPINotifyEvent OnShutdown;

 private:
  void Execute();
  void ReceiveLoop();
  void Shutdown();  // the destruction steps; also undoes a constructor that failed half way
  void SetUpDone();
  // A receive context with its buffer, listed.
  TlumHTTPAPIContext* NewReceiveContext();
  // One more receive posted on the queue, under FPostLock; false when enough are posted or
  // the queue refused it.
  bool PostReceiveLocked();

  TlumSRWLockList FContexts;
  bool FInitialized = false;
  HTTP_SERVER_SESSION_ID FServerSessionID = 0;
  HTTP_URL_GROUP_ID FUrlGroupID = 0;
  HANDLE FReqQueue = nullptr;
  std::unique_ptr<TlumHTTP_ThreadPool> FThreadPool;
  std::atomic<HTTP_LOG_FIELDS_DATA*> FLogData{nullptr};
  HTTP_LOG_FIELDS_DATA FLogDataStorage{};
  std::atomic<bool> FBasicAuthentication{false};
  std::atomic<int> FReadBufferSize{16384};
  std::atomic<bool> FTerminated{false};
  // Held by whoever calls into the queue from a worker, so that shutdown can wait for them
  // before the handle closes.
  std::mutex FPostLock;
  int FPostedReceives = 0;  // posted and not yet completed; under FPostLock
  std::mutex FThreadLock;  // guards starting and joining FThread, and FSetUp
  std::condition_variable FStartSignal;
  std::condition_variable FStopSignal;  // Terminate wakes the receive thread
  bool FSetUp = false;
  std::thread FThread;
};

}  // namespace quillon
