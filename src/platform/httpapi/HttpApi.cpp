// The API entry points that work on requests and queues: validation of handles, ids and
// arguments, then hand-off to the queue or the connection. Session and URL-group calls are in
// UrlGroup.cpp, TLS bindings in ServiceConfig.cpp.
#include <openssl/ssl.h>

#include <atomic>
#include <mutex>

#include "platform/httpapi/Engine.h"

namespace quillon::platform::detail {

HTTP_OPAQUE_ID NewId() {
  // Start high and odd-looking so an id is never mistaken for a small count or a handle.
  static std::atomic<HTTP_OPAQUE_ID> next{0xA000000000000001ull};
  return next.fetch_add(1, std::memory_order_relaxed);
}

IdTable<Request>& Requests() {
  static auto* table = new IdTable<Request>;
  return *table;
}

IdTable<Connection>& Connections() {
  static auto* table = new IdTable<Connection>;
  return *table;
}

namespace {

std::mutex g_initLock;
int g_serverInits = 0;
int g_configInits = 0;

KernelRef<RequestQueue> QueueFromHandle(HANDLE handle) {
  return ReferenceHandleAs<RequestQueue>(handle, KernelObject::Type::RequestQueue);
}

// The request behind an id, if it belongs to this queue.
std::shared_ptr<Request> FindRequest(HANDLE queue, HTTP_REQUEST_ID id) {
  auto request = Requests().Find(id);
  if (!request || request->route.queue.get() != static_cast<KernelObject*>(queue))
    return nullptr;
  return request;
}

}  // namespace
}  // namespace quillon::platform::detail

namespace d = quillon::platform::detail;

ULONG HttpInitialize(HTTPAPI_VERSION Version, ULONG Flags, PVOID pReserved) {
  if (pReserved || (Version.HttpApiMajorVersion != 1 && Version.HttpApiMajorVersion != 2) ||
      Version.HttpApiMinorVersion != 0)
    return ERROR_INVALID_PARAMETER;
  if (!(Flags & (HTTP_INITIALIZE_SERVER | HTTP_INITIALIZE_CONFIG)) ||
      (Flags & ~(HTTP_INITIALIZE_SERVER | HTTP_INITIALIZE_CONFIG)))
    return ERROR_INVALID_PARAMETER;
  OPENSSL_init_ssl(0, nullptr);
  std::lock_guard g(d::g_initLock);
  if (Flags & HTTP_INITIALIZE_SERVER) ++d::g_serverInits;
  if (Flags & HTTP_INITIALIZE_CONFIG) ++d::g_configInits;
  d::EventLoop::Instance();
  return NO_ERROR;
}

ULONG HttpTerminate(ULONG Flags, PVOID pReserved) {
  if (pReserved || !(Flags & (HTTP_INITIALIZE_SERVER | HTTP_INITIALIZE_CONFIG)))
    return ERROR_INVALID_PARAMETER;
  bool last = false;
  {
    std::lock_guard g(d::g_initLock);
    if (Flags & HTTP_INITIALIZE_CONFIG && d::g_configInits > 0) --d::g_configInits;
    if (Flags & HTTP_INITIALIZE_SERVER && d::g_serverInits > 0) {
      last = --d::g_serverInits == 0;
    }
  }
  if (last) {
    // The process no longer serves: every prefix, listener and connection goes.
    d::CloseAllSessions();
    for (auto& c : d::Connections().All()) c->Abort();
  }
  return NO_ERROR;
}

ULONG HttpCreateRequestQueue(HTTPAPI_VERSION Version, PCSTR pName,
                             PSECURITY_ATTRIBUTES /*pSecurityAttributes*/, ULONG Flags,
                             HANDLE* pReqQueueHandle) {
  if (!pReqQueueHandle || Version.HttpApiMajorVersion != 2) return ERROR_INVALID_PARAMETER;
  if (pName || Flags) return ERROR_NOT_SUPPORTED;  // named and shared queues are not served
  auto* queue = new d::RequestQueue;
  *pReqQueueHandle = d::RegisterHandle(queue);
  return NO_ERROR;
}

ULONG HttpCloseRequestQueue(HANDLE ReqQueueHandle) {
  if (!d::QueueFromHandle(ReqQueueHandle)) return ERROR_INVALID_HANDLE;
  return d::CloseKernelHandle(ReqQueueHandle) ? NO_ERROR : ERROR_INVALID_HANDLE;
}

ULONG HttpShutdownRequestQueue(HANDLE ReqQueueHandle) {
  auto queue = d::QueueFromHandle(ReqQueueHandle);
  if (!queue) return ERROR_INVALID_HANDLE;
  queue->Shutdown();
  return NO_ERROR;
}

ULONG HttpSetRequestQueueProperty(HANDLE ReqQueueHandle, HTTP_SERVER_PROPERTY Property,
                                  PVOID pPropertyInformation, ULONG PropertyInformationLength,
                                  ULONG /*Reserved*/, PVOID /*pReserved*/) {
  auto queue = d::QueueFromHandle(ReqQueueHandle);
  if (!queue) return ERROR_INVALID_HANDLE;
  if (!pPropertyInformation) return ERROR_INVALID_PARAMETER;
  switch (Property) {
    case HttpServerQueueLengthProperty: {
      if (PropertyInformationLength < sizeof(ULONG)) return ERROR_INVALID_PARAMETER;
      ULONG length = *static_cast<ULONG*>(pPropertyInformation);
      if (length == 0 || length > 65535) return ERROR_INVALID_PARAMETER;
      queue->SetMaxLength(length);
      return NO_ERROR;
    }
    case HttpServer503VerbosityProperty:
      return NO_ERROR;  // our 503 always says why in its body
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

ULONG HttpReceiveHttpRequest(HANDLE ReqQueueHandle, HTTP_REQUEST_ID RequestId, ULONG Flags,
                             PHTTP_REQUEST pRequestBuffer, ULONG RequestBufferLength,
                             ULONG* pBytesReturned, LPOVERLAPPED pOverlapped) {
  auto queue = d::QueueFromHandle(ReqQueueHandle);
  if (!queue) return ERROR_INVALID_HANDLE;
  if (!pRequestBuffer || (Flags & ~(HTTP_RECEIVE_REQUEST_FLAG_COPY_BODY |
                                    HTTP_RECEIVE_REQUEST_FLAG_FLUSH_BODY)))
    return ERROR_INVALID_PARAMETER;
  // The body is never copied with the head; readers ask for it with an entity-body receive.
  return queue->Receive(RequestId, pRequestBuffer, RequestBufferLength, pBytesReturned,
                        pOverlapped);
}

ULONG HttpReceiveRequestEntityBody(HANDLE ReqQueueHandle, HTTP_REQUEST_ID RequestId, ULONG Flags,
                                   PVOID pBuffer, ULONG BufferLength, ULONG* pBytesReturned,
                                   LPOVERLAPPED pOverlapped) {
  if (Flags & ~HTTP_RECEIVE_REQUEST_ENTITY_BODY_FLAG_FILL_BUFFER) return ERROR_INVALID_PARAMETER;
  auto request = d::FindRequest(ReqQueueHandle, RequestId);
  if (!request) return ERROR_CONNECTION_INVALID;
  return request->connection->ReceiveBody(*request, Flags, pBuffer, BufferLength,
                                          pBytesReturned, pOverlapped);
}

ULONG HttpSendHttpResponse(HANDLE ReqQueueHandle, HTTP_REQUEST_ID RequestId, ULONG Flags,
                           PHTTP_RESPONSE pHttpResponse, PHTTP_CACHE_POLICY /*pCachePolicy*/,
                           ULONG* pBytesSent, PVOID /*pReserved1*/, ULONG /*Reserved2*/,
                           LPOVERLAPPED pOverlapped, PHTTP_LOG_DATA pLogData) {
  if (!pHttpResponse) return ERROR_INVALID_PARAMETER;
  auto request = d::FindRequest(ReqQueueHandle, RequestId);
  if (!request) return ERROR_CONNECTION_INVALID;
  return request->connection->SendResponse(*request, Flags, pHttpResponse,
                                           pHttpResponse->EntityChunkCount,
                                           pHttpResponse->pEntityChunks, pBytesSent,
                                           pOverlapped, pLogData != nullptr);
}

ULONG HttpSendResponseEntityBody(HANDLE ReqQueueHandle, HTTP_REQUEST_ID RequestId, ULONG Flags,
                                 USHORT EntityChunkCount, PHTTP_DATA_CHUNK pEntityChunks,
                                 ULONG* pBytesSent, PVOID /*pReserved1*/, ULONG /*Reserved2*/,
                                 LPOVERLAPPED pOverlapped, PHTTP_LOG_DATA pLogData) {
  auto request = d::FindRequest(ReqQueueHandle, RequestId);
  if (!request) return ERROR_CONNECTION_INVALID;
  return request->connection->SendResponse(*request, Flags, nullptr, EntityChunkCount,
                                           pEntityChunks, pBytesSent, pOverlapped,
                                           pLogData != nullptr);
}

ULONG HttpWaitForDisconnect(HANDLE ReqQueueHandle, HTTP_CONNECTION_ID ConnectionId,
                            LPOVERLAPPED pOverlapped) {
  auto queue = d::QueueFromHandle(ReqQueueHandle);
  if (!queue) return ERROR_INVALID_HANDLE;
  auto connection = d::Connections().Find(ConnectionId);
  if (!connection) return ERROR_CONNECTION_INVALID;
  return connection->WaitForDisconnect(queue.get(), pOverlapped);
}

ULONG HttpQueryConnectionSendQueue(HANDLE ReqQueueHandle, HTTP_CONNECTION_ID ConnectionId,
                                   ULONGLONG* pQueuedBytes, ULONGLONG* pProcessQueuedBytes) {
  if (!d::QueueFromHandle(ReqQueueHandle)) return ERROR_INVALID_HANDLE;
  if (pProcessQueuedBytes) *pProcessQueuedBytes = d::QueuedSendBytes();
  auto connection = d::Connections().Find(ConnectionId);
  if (pQueuedBytes) *pQueuedBytes = connection ? connection->QueuedBytes() : 0;
  return connection ? NO_ERROR : ERROR_CONNECTION_INVALID;
}

ULONG HttpCancelHttpRequest(HANDLE ReqQueueHandle, HTTP_REQUEST_ID RequestId,
                            LPOVERLAPPED pOverlapped) {
  auto request = d::FindRequest(ReqQueueHandle, RequestId);
  if (!request) return ERROR_CONNECTION_INVALID;
  request->connection->Abort();
  if (pOverlapped) {
    request->route.queue->Complete(pOverlapped, 0, NO_ERROR);
    return ERROR_IO_PENDING;
  }
  return NO_ERROR;
}
