// Request-queue server, worker pool and request contexts.
#include "httpapi/lumWebSocket_HTTPAPI_Server.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstring>
#include <utility>

#include "httpapi/lumWebSocket_HTTPAPI.h"
#include "platform/win32/CompletionPort.h"
#include "platform/win32/Guid.h"

namespace quillon {
namespace {

std::atomic<long> gLiveContexts{0};

constexpr DWORD kWorkerWaitMs = 10000;
constexpr auto kStopWait = std::chrono::milliseconds(10000);
// Beyond this many workers the stop does not wait with a time limit (the platform's
// wait-for-many limit); they are still joined before the port goes away.
constexpr std::size_t kMaxTimedWait = 64;
constexpr std::size_t kMaxLogFolderLength = 212;

// Runs a step when the scope ends, however it ends.
template <class F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : FStep(std::move(f)) {}
  ~ScopeExit() { FStep(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F FStep;
};

int HexNibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

// Characters as the folder rule counts them: UTF-16 code units.
std::size_t Utf16Length(const std::string& text) {
  std::size_t units = 0;
  for (const unsigned char b : text) {
    if ((b & 0xC0) == 0x80) continue;
    units += b >= 0xF0 ? 2 : 1;
  }
  return units;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Contexts

TlumHTTPAPIContext* NewHTTPAPIContext(THTTPAPIMethods aMethod, TlumHTTPAPIConnection* aConnection) {
  auto* context = new TlumHTTPAPIContext{};
  gLiveContexts.fetch_add(1);
  context->method = aMethod;
  if (aConnection != nullptr) {
    aConnection->AddRef();
    if (aMethod == mthReceiveRequestEntityBody)
      aConnection->FReceives.fetch_add(1, std::memory_order_acq_rel);
    context->connection = aConnection;
  }
  return context;
}

void FreeHTTPAPIContext(TlumHTTPAPIContext* aContext) {
  if (aContext == nullptr) return;
  TlumHTTPAPIConnection* connection = std::exchange(aContext->connection, nullptr);
  if (connection != nullptr && aContext->method == mthReceiveRequestEntityBody)
    connection->FReceives.fetch_sub(1, std::memory_order_acq_rel);
  delete aContext->datachunk;
  delete aContext;
  gLiveContexts.fetch_sub(1);
  // Last, so that a connection freed here sees none of its contexts alive.
  if (connection != nullptr) connection->Release();
}

long LiveHTTPAPIContexts() { return gLiveContexts.load(); }

// ---------------------------------------------------------------------------------------
// A connection's serial queue

bool TlumHTTPAPIConnection::PushCompletion(const TlumHTTPAPICompletion& aCompletion) {
  std::lock_guard guard(FSerialLock);
  if (FSerialHeld) {
    FSerialQueue.push_back(aCompletion);
    return false;
  }
  FSerialHeld = true;
  FSerialHolder = std::this_thread::get_id();
  return true;
}

bool TlumHTTPAPIConnection::NextCompletion(TlumHTTPAPICompletion& aCompletion) {
  std::lock_guard guard(FSerialLock);
  if (FSerialQueue.empty()) {
    FSerialHeld = false;
    FSerialHolder = {};
    return false;
  }
  aCompletion = FSerialQueue.front();
  FSerialQueue.pop_front();
  return true;
}

bool TlumHTTPAPIConnection::EnterSerial() {
  std::lock_guard guard(FSerialLock);
  if (FSerialHeld) return false;
  FSerialHeld = true;
  FSerialHolder = std::this_thread::get_id();
  return true;
}

bool TlumHTTPAPIConnection::HoldsSerial() {
  std::lock_guard guard(FSerialLock);
  return FSerialHeld && FSerialHolder == std::this_thread::get_id();
}

static_assert(std::is_standard_layout_v<TlumHTTPAPIContext>);
static_assert(offsetof(TlumHTTPAPIContext, overlapped) == 0,
              "the context is handed to the API as its OVERLAPPED record");

// ---------------------------------------------------------------------------------------
// Workers

TlumThreadPool_Thread::TlumThreadPool_Thread(TlumThreadPool& aOwner)
    : FOwner(aOwner), FThread([this] { Execute(); }) {}

TlumThreadPool_Thread::~TlumThreadPool_Thread() {
  if (FThread.joinable()) FThread.join();
}

void TlumThreadPool_Thread::Execute() {
  const HANDLE port = FOwner.IOCompletition();
  while (true) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED overlapped = nullptr;
    const BOOL ok = GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, kWorkerWaitMs);
    auto* context = reinterpret_cast<TlumHTTPAPIContext*>(overlapped);
    if (ok) {
      if (context == kStopContext) break;
      if (context != nullptr) {
        try {
          FOwner.DoProcess(*this, bytes, context);
        } catch (...) {
          // DoProcess has released the context on its way out. Whatever a handler threw,
          // the worker goes on: a pool that loses a worker per odd exception runs dry.
        }
      }
    } else if (context != nullptr) {
      // The operation failed: nothing to process, only the context to give back.
      const DWORD error = GetLastError();
      try {
        FOwner.DoFailed(*this, bytes, context, error);
      } catch (...) {
      }
    } else if (GetLastError() != WAIT_TIMEOUT) {
      break;  // the port is gone; nothing more can arrive
    }
    if (FShutdown.load()) break;
  }
  FOwner.WorkerEnded();
}

// ---------------------------------------------------------------------------------------
// Pools

TlumThreadPool::TlumThreadPool(HANDLE aFileHandle, HANDLE aCompletionPort, int aThreads)
    : FThreads(aThreads > 0 ? aThreads : 1) {
  FThreadsID.resize(static_cast<std::size_t>(FThreads));
  // Concurrency 0: as many threads run packets at once as there are processors, however
  // large the pool; the others sleep until work outgrows the running ones.
  FIOCompletition = CreateIoCompletionPort(aFileHandle, aCompletionPort, 0, 0);
}

TlumThreadPool::~TlumThreadPool() { StopWorkers(); }

void TlumThreadPool::ReleaseContext(TlumHTTPAPIContext* aContext) { FreeHTTPAPIContext(aContext); }

void TlumThreadPool::DoFailed(TlumThreadPool_Thread& /*aThread*/, DWORD /*aBytes*/,
                              TlumHTTPAPIContext* aContext, DWORD /*aError*/) {
  ReleaseContext(aContext);
}

void TlumThreadPool::StartWorkers() {
  if (FIOCompletition == nullptr || !FThreadList.empty()) return;
  for (int i = 0; i < FThreads; ++i) {
    {
      std::lock_guard guard(FEndLock);
      ++FRunning;
    }
    FThreadList.push_back(std::make_unique<TlumThreadPool_Thread>(*this));
    FThreadsID[static_cast<std::size_t>(i)] = FThreadList.back()->ThreadID();
  }
}

void TlumThreadPool::WorkerEnded() {
  std::lock_guard guard(FEndLock);
  --FRunning;
  FEndSignal.notify_all();
}

void TlumThreadPool::StopWorkers() {
  if (FIOCompletition == nullptr) return;
  for (auto& worker : FThreadList) {
    PostQueuedCompletionStatus(FIOCompletition, 0, 0, reinterpret_cast<LPOVERLAPPED>(kStopContext));
    worker->Shutdown();
  }
  if (FThreadList.size() <= kMaxTimedWait) {
    std::unique_lock guard(FEndLock);
    FEndSignal.wait_for(guard, kStopWait, [this] { return FRunning == 0; });
  }
  // Joined before the port closes, so no worker is left waiting on a closed port or holding
  // a context the drain below would free a second time.
  FThreadList.clear();
  // Completions queued behind the stop packets still own their contexts.
  while (true) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED overlapped = nullptr;
    GetQueuedCompletionStatus(FIOCompletition, &bytes, &key, &overlapped, 0);
    if (overlapped == nullptr) break;
    auto* context = reinterpret_cast<TlumHTTPAPIContext*>(overlapped);
    if (context == kStopContext) continue;
    try {
      ReleaseContext(context);
    } catch (const std::exception&) {
    }
  }
  CloseHandle(FIOCompletition);
  FIOCompletition = nullptr;
}

TlumServer_ThreadPool::TlumServer_ThreadPool(HANDLE aFileHandle, TlumHTTPServerAPI* aServer,
                                             HANDLE aCompletionPort, int aThreads)
    : TlumThreadPool(aFileHandle, aCompletionPort, aThreads), FServer(aServer) {
  if (FIOCompletition != nullptr &&
      CreateIoCompletionPort(aServer->ReqQueue(), FIOCompletition, 0,
                             static_cast<DWORD>(FThreads)) == nullptr) {
    // Without the queue bound, nothing would ever complete here: no workers are started.
    const DWORD error = GetLastError();
    CloseHandle(FIOCompletition);
    FIOCompletition = nullptr;
    SetLastError(error);
  }
}

void TlumServer_ThreadPool::ReleaseContext(TlumHTTPAPIContext* aContext) {
  // A receive context is listed by the server, which frees it as it leaves the list.
  if (aContext->method == mthReceiveHttpRequest)
    FServer->RemoveContext(aContext);
  else
    FreeHTTPAPIContext(aContext);
}

TlumHTTP_ThreadPool::TlumHTTP_ThreadPool(HANDLE aFileHandle, TlumHTTPServerAPI* aServer,
                                         HANDLE aCompletionPort, int aThreads)
    : TlumServer_ThreadPool(aFileHandle, aServer, aCompletionPort, aThreads) {
  StartWorkers();
}

TlumHTTP_ThreadPool::~TlumHTTP_ThreadPool() { StopWorkers(); }

void TlumHTTP_ThreadPool::DoProcess(TlumThreadPool_Thread& /*aThread*/, DWORD aBytes,
                                    TlumHTTPAPIContext* aContext) {
  if (aContext->method != mthReceiveHttpRequest && aContext->method != mthUnknown &&
      aContext->method <= mthCancelHttpRequest && aContext->connection != nullptr) {
    Serialize({aContext, aBytes, NO_ERROR});
    return;
  }

  bool handled = false;
  try {
    FServer->DoAsynchronous(*aContext, handled);
  } catch (...) {
    // A handler that raised has not taken the context over.
    ReleaseContext(aContext);
    throw;
  }
  if (handled) return;

  switch (aContext->method) {
    case mthReceiveHttpRequest: {
      if (aContext->posted) FServer->ReplaceReceive(*aContext);
      // The request record lives in the context: valid only while DoConnect runs. A
      // dispatch that took its new connection's queue lets go of it here, after running
      // whatever completed meanwhile; the context's reference keeps the connection alive.
      ScopeExit release([&] {
        TlumHTTPAPIConnection* connection = aContext->connection;
        if (connection != nullptr && connection->HoldsSerial()) RunSerial(*connection);
        FServer->RemoveContext(aContext);
      });
      if (aContext->connection == nullptr) FServer->DoConnect(*aContext);
      break;
    }
    case mthReceiveRequestEntityBody:
    case mthSendHttpResponse:
    case mthSendResponseEntityBody:
    case mthCancelHttpRequest:
      FreeHTTPAPIContext(aContext);  // no connection: nothing to run
      break;
    case mthSendDisconnect:
    case mthWaitForDisconnect: {
      ScopeExit release([&] { FreeHTTPAPIContext(aContext); });
      FServer->DoDisconnect(*aContext);
      break;
    }
    case mthUnknown:
    default:
      break;  // not a context this pool made sense of; it is not ours to free
  }
}

void TlumHTTP_ThreadPool::DoFailed(TlumThreadPool_Thread& aThread, DWORD aBytes,
                                   TlumHTTPAPIContext* aContext, DWORD aError) {
  if (aContext->method != mthReceiveHttpRequest && aContext->connection != nullptr) {
    Serialize({aContext, aBytes, aError != NO_ERROR ? aError : ERROR_OPERATION_ABORTED});
    return;
  }
  if (aContext->method == mthReceiveHttpRequest && aContext->posted) {
    // The request waits, parked, for a bigger buffer.
    const bool again = aError == ERROR_MORE_DATA && FServer->ReceiveAgain(*aContext, aBytes);
    FServer->ReplaceReceive(*aContext);
    if (again) {
      DoProcess(aThread, static_cast<DWORD>(aContext->overlapped.InternalHigh), aContext);
      return;
    }
  }
  TlumServer_ThreadPool::DoFailed(aThread, aBytes, aContext, aError);
}

void TlumHTTP_ThreadPool::Serialize(const TlumHTTPAPICompletion& aCompletion) {
  TlumHTTPAPIConnection& connection = *aCompletion.context->connection;
  if (!connection.PushCompletion(aCompletion)) return;  // the holder runs it
  // Held across the run: the completion's context (and with it its reference) goes first.
  connection.AddRef();
  RunCompletion(aCompletion);
  RunSerial(connection);
  connection.Release();
}

void TlumHTTP_ThreadPool::RunSerial(TlumHTTPAPIConnection& aConnection) {
  TlumHTTPAPICompletion next;
  while (aConnection.NextCompletion(next)) RunCompletion(next);
}

void TlumHTTP_ThreadPool::RunCompletion(const TlumHTTPAPICompletion& aCompletion) noexcept {
  TlumHTTPAPIContext* context = aCompletion.context;
  TlumHTTPAPIConnection& connection = *context->connection;
  try {
    if (aCompletion.error != NO_ERROR) {
      ReleaseContext(context);
    } else {
      bool handled = false;
      try {
        FServer->DoAsynchronous(*context, handled);
      } catch (...) {
        ReleaseContext(context);
        throw;
      }
      if (!handled) {
        switch (context->method) {
          case mthReceiveRequestEntityBody: {
            ScopeExit release([&] { FreeHTTPAPIContext(context); });
            connection.DoReadData(aCompletion.bytes);
            break;
          }
          case mthSendDisconnect:
          case mthWaitForDisconnect:
            // Bytes may still be on their way up through the receive the reader posted
            // last: the disconnect waits for it (and any it leads to).
            if (connection.ReceivesOutstanding() > 0 || !connection.FDeferredDisconnects.empty()) {
              connection.FDeferredDisconnects.push_back(context);
            } else {
              RunDisconnect(context);
            }
            break;
          default:
            FreeHTTPAPIContext(context);
            break;
        }
      }
    }
  } catch (...) {
    // The context is released on every path above; a handler's error ends only this step.
  }
  if (connection.ReceivesOutstanding() == 0) {
    std::vector<TlumHTTPAPIContext*> deferred;
    deferred.swap(connection.FDeferredDisconnects);
    for (TlumHTTPAPIContext* c : deferred) RunDisconnect(c);
  }
}

void TlumHTTP_ThreadPool::RunDisconnect(TlumHTTPAPIContext* aContext) noexcept {
  try {
    ScopeExit release([&] { FreeHTTPAPIContext(aContext); });
    FServer->DoDisconnect(*aContext);
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------------------
// Request-queue server

TlumHTTPServerAPI::TlumHTTPServerAPI(bool aCreateSuspended, int aThreads) {
  // "httpapi.dll" and COM exist only on Windows: the API is linked in here, so there is
  // nothing to load and nothing to initialise per thread.
  try {
    CheckError(HttpInitialize(HTTPAPI_VERSION_2, HTTP_INITIALIZE_SERVER, nullptr));
    FInitialized = true;
    CheckError(HttpInitialize(HTTPAPI_VERSION_2, HTTP_INITIALIZE_CONFIG, nullptr));
    CheckError(HttpCreateServerSession(HTTPAPI_VERSION_2, &FServerSessionID, 0));
    CheckError(HttpCreateUrlGroup(FServerSessionID, &FUrlGroupID, 0));
    CheckError(HttpCreateRequestQueue(HTTPAPI_VERSION_2, nullptr, nullptr, 0, &FReqQueue));
    HTTP_BINDING_INFO binding{};
    binding.Flags.Present = 1;
    binding.RequestQueueHandle = FReqQueue;
    CheckError(HttpSetUrlGroupProperty(FUrlGroupID, HttpServerBindingProperty, &binding,
                                       sizeof binding));
    FThreadPool = std::make_unique<TlumHTTP_ThreadPool>(INVALID_HANDLE_VALUE, this, nullptr,
                                                        aThreads);
    // A pool without a port would leave every request unanswered: refuse to start instead.
    if (FThreadPool->IOCompletition() == nullptr) {
      const DWORD error = GetLastError();
      CheckError(error != NO_ERROR ? error : ERROR_INVALID_HANDLE);
    }
  } catch (...) {
    Shutdown();
    throw;
  }
  if (!aCreateSuspended) Start();
}

TlumHTTPServerAPI::~TlumHTTPServerAPI() { Shutdown(); }

void TlumHTTPServerAPI::Shutdown() {
  Terminate();
  // A worker posting a receive has finished with the handle; later ones see Terminated.
  { std::lock_guard wait(FPostLock); }
  // Shut down first: the blocked receive returns while the handle is still valid, so the
  // receive thread cannot touch a handle that a new object might reuse.
  if (FReqQueue != nullptr) HttpShutdownRequestQueue(FReqQueue);
  WaitFor();
  // Closing cancels whatever is outstanding; those completions reach the still running pool.
  if (FReqQueue != nullptr) HttpCloseRequestQueue(FReqQueue);
  // No dispatch runs after this.
  FThreadPool.reset();
  // Closed so that the prefixes are free again for the next server in this process.
  if (FUrlGroupID != 0) HttpCloseUrlGroup(FUrlGroupID);
  if (FServerSessionID != 0) HttpCloseServerSession(FServerSessionID);
  if (FInitialized) HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr);
  FInitialized = false;
  ClearContexts();
}

void TlumHTTPServerAPI::Start() {
  std::unique_lock guard(FThreadLock);
  if (FThread.joinable() || FSetUp || Terminated()) return;
  FThread = std::thread([this] { Execute(); });
  // Requests may already be arriving: once Start returns, they are taken with the
  // authentication setting in force.
  FStartSignal.wait(guard, [this] { return FSetUp; });
}

void TlumHTTPServerAPI::SetUpDone() {
  std::lock_guard guard(FThreadLock);
  FSetUp = true;
  FStartSignal.notify_all();
}

void TlumHTTPServerAPI::WaitFor() {
  std::thread thread;
  {
    std::lock_guard guard(FThreadLock);
    if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id())
      thread = std::move(FThread);
  }
  // Joined outside the lock: the thread takes it on its way up.
  if (thread.joinable()) thread.join();
}

void TlumHTTPServerAPI::Execute() {
  bool setUp = false;
  try {
    if (BasicAuthentication()) {
      HTTP_SERVER_AUTHENTICATION_INFO auth{};
      auth.Flags.Present = 1;
      auth.AuthSchemes = HTTP_AUTH_ENABLE_BASIC;
      auth.ReceiveMutualAuth = TRUE;
      auth.BasicParams.Realm = lumServerName;
      auth.BasicParams.RealmLength = static_cast<USHORT>(std::strlen(lumServerName));
      CheckError(HttpSetUrlGroupProperty(FUrlGroupID, HttpServerAuthenticationProperty, &auth,
                                         sizeof auth));
    }
    SetUpDone();
    setUp = true;
    if (OnStartup) OnStartup(this);
  } catch (...) {
    if (!setUp) SetUpDone();
    return;  // ends before the loop began: no OnShutdown
  }
  try {
    ReceiveLoop();
  } catch (...) {
  }
  try {
    if (OnShutdown) OnShutdown(this);
  } catch (...) {
  }
}

TlumHTTPAPIContext* TlumHTTPServerAPI::NewReceiveContext() {
  TlumHTTPAPIContext* context = NewHTTPAPIContext(mthReceiveHttpRequest);
  try {
    const int readBuffer = ReadBufferSize();
    const ULONG size = static_cast<ULONG>(sizeof(HTTP_REQUEST_V2)) +
                       static_cast<ULONG>(readBuffer > 0 ? readBuffer : 0);
    context->buffer.assign(size, 0);
    context->request = reinterpret_cast<HTTP_REQUEST_V2*>(context->buffer.data());
    context->reqqueue = FReqQueue;
    context->iocompletition = FThreadPool->IOCompletition();
    AddContext(context);
  } catch (...) {
    FreeHTTPAPIContext(context);
    throw;
  }
  return context;
}

bool TlumHTTPServerAPI::PostReceiveLocked() {
  if (Terminated() || FPostedReceives >= PostedReceives) return false;
  TlumHTTPAPIContext* context = nullptr;
  try {
    context = NewReceiveContext();
    context->posted = true;
    // Counted first: the completion may run before the call returns.
    ++FPostedReceives;
    const ULONG result =
        HttpReceiveHttpRequest(FReqQueue, HTTP_NULL_ID, 0, context->request,
                               static_cast<ULONG>(context->buffer.size()), nullptr,
                               &context->overlapped);
    if (result == NO_ERROR || result == ERROR_IO_PENDING) return true;  // the pool owns it
    --FPostedReceives;
    RemoveContext(context);
  } catch (...) {
    // Out of memory: one receive fewer until the receive thread tops them up.
    if (context != nullptr && !RemoveContext(context)) FreeHTTPAPIContext(context);
  }
  return false;
}

void TlumHTTPServerAPI::ReplaceReceive(TlumHTTPAPIContext& aContext) {
  aContext.posted = false;
  std::lock_guard hold(FPostLock);
  --FPostedReceives;
  PostReceiveLocked();
}

bool TlumHTTPServerAPI::ReceiveAgain(TlumHTTPAPIContext& aContext, ULONG aBytes) {
  try {
    std::lock_guard hold(FPostLock);
    if (Terminated() || aContext.request == nullptr || aBytes <= aContext.buffer.size())
      return false;
    const HTTP_REQUEST_ID id = aContext.request->RequestId;
    aContext.buffer.assign(aBytes, 0);
    aContext.request = reinterpret_cast<HTTP_REQUEST_V2*>(aContext.buffer.data());
    ULONG bytes = 0;
    if (HttpReceiveHttpRequest(FReqQueue, id, 0, aContext.request, aBytes, &bytes, nullptr) !=
        NO_ERROR)
      return false;
    aContext.overlapped.InternalHigh = bytes;
    return true;
  } catch (...) {
    return false;
  }
}

void TlumHTTPServerAPI::Terminate() {
  std::lock_guard guard(FThreadLock);
  FTerminated.store(true);
  FStopSignal.notify_all();
}

void TlumHTTPServerAPI::ReceiveLoop() {
  // Requests complete on the pool, with no hop through this thread: it only keeps the posted
  // receives topped up (a post that failed for want of memory) until the server ends.
  std::unique_lock guard(FThreadLock);
  while (!Terminated()) {
    guard.unlock();
    {
      std::lock_guard hold(FPostLock);
      while (PostReceiveLocked()) {
      }
    }
    guard.lock();
    FStopSignal.wait_for(guard, std::chrono::seconds(1), [this] { return Terminated(); });
  }
}

int TlumHTTPServerAPI::AddUrl(const std::string& aURL) {
  if (FReqQueue == nullptr) return -1;
  CheckError(HttpAddUrlToUrlGroup(FUrlGroupID, aURL.c_str(), 0, 0));
  return 0;
}

int TlumHTTPServerAPI::RemoveUrl(const std::string& aURL) {
  if (FReqQueue == nullptr) return -1;
  CheckError(HttpRemoveUrlFromUrlGroup(FUrlGroupID, aURL.c_str(), 0));
  return 0;
}

std::vector<BYTE> TlumHTTPServerAPI::DecodeHash(std::string_view aHash) {
  std::vector<BYTE> bytes(aHash.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<BYTE>(HexNibble(aHash[2 * i]) * 16 + HexNibble(aHash[2 * i + 1]));
  return bytes;
}

void TlumHTTPServerAPI::ConfigureSSLCert(const std::string& aHost, int aPort,
                                         const std::string& aHash,
                                         const std::string& aCertStoreName) {
  if (aHash.empty()) throw TlumWSException("Error SSL Hash not found.");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  // Not a dotted IPv4 address or not a port: the binding key would be meaningless.
  if (aPort < 0 || aPort > 0xFFFF || inet_pton(AF_INET, aHost.c_str(), &address.sin_addr) != 1)
    CheckError(ERROR_INVALID_PARAMETER);
  address.sin_port = htons(static_cast<std::uint16_t>(aPort));
  std::vector<BYTE> hash = DecodeHash(aHash);

  HTTP_SERVICE_CONFIG_SSL_SET config{};
  config.KeyDesc.pIpPort = reinterpret_cast<PSOCKADDR>(&address);
  config.ParamDesc.SslHashLength = static_cast<ULONG>(hash.size());
  config.ParamDesc.pSslHash = hash.data();
  CoCreateGuid(&config.ParamDesc.AppId);
  config.ParamDesc.pSslCertStoreName = aCertStoreName.empty() ? nullptr : aCertStoreName.c_str();

  ULONG result = HttpSetServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &config,
                                             sizeof config, nullptr);
  if (result == ERROR_ALREADY_EXISTS) {
    CheckError(HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &config,
                                              sizeof config, nullptr));
    result = HttpSetServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &config,
                                         sizeof config, nullptr);
  }
  CheckError(result);
}

void TlumHTTPServerAPI::LogStart(const std::string& aLogFolder, THttpApiLoggingType aType,
                                 const std::string& aSoftwareName,
                                 THttpApiLoggingRollOver aRolloverType, ULONG aRolloverSize,
                                 THttpApiLogFields aLogFields, THttpApiLoggingFlags aFlags) {
  FLogData.store(nullptr);
  if (aLogFolder.empty()) throw TlumWSException("LogStart(aLogFolder=\"\")");
  if (Utf16Length(aLogFolder) > kMaxLogFolderLength)
    throw TlumWSException("aLogFolder is too long for LogStart(" + aLogFolder + ")");

  HTTP_LOGGING_INFO info{};
  info.Flags.Present = 1;
  info.LoggingFlags = aFlags;
  info.SoftwareName = aSoftwareName.c_str();
  info.SoftwareNameLength = static_cast<USHORT>(aSoftwareName.size());
  info.DirectoryName = aLogFolder.c_str();
  info.DirectoryNameLength = static_cast<USHORT>(aLogFolder.size());
  info.Format = static_cast<HTTP_LOGGING_TYPE>(aType);
  info.Fields = aType == hltNCSA ? kAllHttpApiLogFields : aLogFields;
  info.RolloverType = static_cast<HTTP_LOGGING_ROLLOVER_TYPE>(aRolloverType);
  info.RolloverSize = aRolloverType == hlrSize ? aRolloverSize : 0;
  // A refusal leaves logging off without raising.
  if (HttpSetUrlGroupProperty(FUrlGroupID, HttpServerLoggingProperty, &info, sizeof info) ==
      NO_ERROR)
    FLogData.store(&FLogDataStorage);
}

void TlumHTTPServerAPI::SetTimeouts(USHORT aEntityBody, USHORT aDrainEntityBody,
                                    USHORT aRequestQueue, USHORT aIdleConnection,
                                    USHORT aHeaderWait, ULONG aMinSendRate) {
  HTTP_TIMEOUT_LIMIT_INFO info{};
  info.Flags.Present = 1;
  info.EntityBody = aEntityBody;
  info.DrainEntityBody = aDrainEntityBody;
  info.RequestQueue = aRequestQueue;
  info.IdleConnection = aIdleConnection;
  info.HeaderWait = aHeaderWait;
  info.MinSendRate = aMinSendRate;
  CheckError(HttpSetUrlGroupProperty(FUrlGroupID, HttpServerTimeoutsProperty, &info, sizeof info));
}

void TlumHTTPServerAPI::SetMaxConnections(int aValue) {
  if (FUrlGroupID == 0) return;
  HTTP_CONNECTION_LIMIT_INFO limit{};
  limit.Flags.Present = 1;
  limit.MaxConnections = aValue <= 0 ? HTTP_LIMIT_INFINITE : static_cast<ULONG>(aValue);
  HTTP_QOS_SETTING_INFO qos{HttpQosSettingTypeConnectionLimit, &limit};
  CheckError(HttpSetUrlGroupProperty(FUrlGroupID, HttpServerQosProperty, &qos, sizeof qos));
}

void TlumHTTPServerAPI::SetMaxBandwidth(int aValue) {
  if (FUrlGroupID == 0) return;
  HTTP_BANDWIDTH_LIMIT_INFO limit{};
  limit.Flags.Present = 1;
  limit.MaxBandwidth = aValue == 0     ? HTTP_LIMIT_INFINITE
                       : aValue < 1024 ? HTTP_MIN_ALLOWED_BANDWIDTH_THROTTLING_RATE
                                       : static_cast<ULONG>(aValue);
  HTTP_QOS_SETTING_INFO qos{HttpQosSettingTypeBandwidth, &limit};
  CheckError(HttpSetServerSessionProperty(FServerSessionID, HttpServerQosProperty, &qos, sizeof qos));
  CheckError(HttpSetUrlGroupProperty(FUrlGroupID, HttpServerQosProperty, &qos, sizeof qos));
}

void TlumHTTPServerAPI::AddContext(TlumHTTPAPIContext* aContext) {
  FContexts.LockList();
  try {
    FContexts.Add(aContext);
  } catch (...) {
    FContexts.UnLockList();
    throw;
  }
  FContexts.UnLockList();
}

bool TlumHTTPServerAPI::RemoveContext(TlumHTTPAPIContext* aContext) {
  bool found = false;
  FContexts.LockList();
  const int index = FContexts.IndexOf(aContext);
  if (index >= 0) {
    FContexts.Delete(index);
    found = true;
  }
  FContexts.UnLockList();
  // Freed outside the lock: dropping the context may free a connection.
  if (found) FreeHTTPAPIContext(aContext);
  return found;
}

void TlumHTTPServerAPI::ClearContexts() {
  std::vector<TlumHTTPAPIContext*> listed;
  FContexts.LockList();
  for (void* item : FContexts) listed.push_back(static_cast<TlumHTTPAPIContext*>(item));
  FContexts.Clear();
  FContexts.UnLockList();
  for (TlumHTTPAPIContext* context : listed) FreeHTTPAPIContext(context);
}

int TlumHTTPServerAPI::ContextCount() {
  FContexts.ShareList();
  const int count = FContexts.Count();
  FContexts.UnShareList();
  return count;
}

void TlumHTTPServerAPI::DoConnect(TlumHTTPAPIContext& aContext) {
  if (OnConnect) OnConnect(this, aContext);
}

void TlumHTTPServerAPI::DoDisconnect(TlumHTTPAPIContext& aContext) {
  if (OnDisconnect) OnDisconnect(this, aContext);
  RemoveContext(&aContext);
}

void TlumHTTPServerAPI::DoAsynchronous(TlumHTTPAPIContext& aContext, bool& aHandled) {
  if (OnAsynchronous) OnAsynchronous(this, aContext, aHandled);
}

}  // namespace quillon
