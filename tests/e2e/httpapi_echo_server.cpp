// Test-only server on the HTTP Server API for the end-to-end tests: answers every request
// with its method, cooked path, query and body (read whole), keep-alive. With --https the
// port is bound to the certificate --hash in --store first; --header-wait S shortens the
// time a request head may take (for the slow-client tests).
#include <arpa/inet.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/httpapi/CertStore.h"
#include "platform/httpapi/http.h"
#include "platform/win32/CompletionPort.h"

namespace {

void Serve(HANDLE queue) {
  std::vector<char> buffer(32 * 1024);
  auto* r = reinterpret_cast<HTTP_REQUEST_V2*>(buffer.data());
  for (;;) {
    ULONG bytes = 0;
    ULONG rc = HttpReceiveHttpRequest(queue, HTTP_NULL_ID, 0, r, static_cast<ULONG>(buffer.size()),
                                      &bytes, nullptr);
    if (rc == ERROR_MORE_DATA || rc == ERROR_CONNECTION_INVALID) continue;
    if (rc != NO_ERROR) return;  // the queue is closed (or its handle already gone)
    std::string method = r->Verb == HttpVerbUnknown ? std::string(r->pUnknownVerb, r->UnknownVerbLength)
                                                    : std::to_string(r->Verb);
    std::string text = "method=" + method + "\npath=" +
                       std::string(r->CookedUrl.pAbsPath, r->CookedUrl.AbsPathLength) + "\nquery=" +
                       (r->CookedUrl.pQueryString ? std::string(r->CookedUrl.pQueryString, r->CookedUrl.QueryStringLength) : "") +
                       "\nbody=";
    char chunk[4096];
    for (;;) {
      ULONG n = 0;
      rc = HttpReceiveRequestEntityBody(queue, r->RequestId, 0, chunk, sizeof chunk, &n, nullptr);
      if (rc != NO_ERROR) break;
      text.append(chunk, n);
    }
    HTTP_RESPONSE_V2 response{};
    response.StatusCode = 200;
    response.Headers.KnownHeaders[HttpHeaderContentType] = {10, "text/plain"};
    HTTP_DATA_CHUNK data{};
    data.DataChunkType = HttpDataChunkFromMemory;
    data.FromMemory.pBuffer = text.data();
    data.FromMemory.BufferLength = static_cast<ULONG>(text.size());
    response.EntityChunkCount = 1;
    response.pEntityChunks = &data;
    HttpSendHttpResponse(queue, r->RequestId, 0, &response, nullptr, nullptr, nullptr, 0, nullptr, nullptr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  bool https = false;
  int headerWait = 0;
  std::string hash, store;
  for (int i = 1; i + 1 < argc || (i < argc && std::string(argv[i]) == "--https"); ++i) {
    std::string a = argv[i];
    if (a == "--port") port = std::atoi(argv[++i]);
    else if (a == "--https") https = true;
    else if (a == "--hash") hash = argv[++i];
    else if (a == "--store") store = argv[++i];
    else if (a == "--header-wait") headerWait = std::atoi(argv[++i]);
  }
  HTTP_SERVER_SESSION_ID session = 0;
  HTTP_URL_GROUP_ID group = 0;
  HANDLE queue = nullptr;
  HttpInitialize(HTTPAPI_VERSION_2, HTTP_INITIALIZE_SERVER | HTTP_INITIALIZE_CONFIG, nullptr);
  HttpCreateServerSession(HTTPAPI_VERSION_2, &session, 0);
  HttpCreateUrlGroup(session, &group, 0);
  HttpCreateRequestQueue(HTTPAPI_VERSION_2, nullptr, nullptr, 0, &queue);
  HTTP_BINDING_INFO binding{};
  binding.Flags.Present = 1;
  binding.RequestQueueHandle = queue;
  HttpSetUrlGroupProperty(group, HttpServerBindingProperty, &binding, sizeof binding);
  if (headerWait > 0) {
    HTTP_TIMEOUT_LIMIT_INFO limits{};
    limits.Flags.Present = 1;
    limits.HeaderWait = static_cast<USHORT>(headerWait);
    HttpSetUrlGroupProperty(group, HttpServerTimeoutsProperty, &limits, sizeof limits);
  }
  if (https) {
    auto thumbprint = quillon::platform::ParseThumbprint(hash);
    if (!thumbprint) return 2;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    HTTP_SERVICE_CONFIG_SSL_SET set{};
    set.KeyDesc.pIpPort = reinterpret_cast<PSOCKADDR>(&address);
    set.ParamDesc.SslHashLength = 20;
    set.ParamDesc.pSslHash = thumbprint->data();
    set.ParamDesc.pSslCertStoreName = store.c_str();
    ULONG rc = HttpSetServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &set, sizeof set, nullptr);
    if (rc != NO_ERROR) {
      std::fprintf(stderr, "binding failed: %u\n", rc);
      return 1;
    }
  }
  std::string prefix = std::string(https ? "https" : "http") + "://+:" + std::to_string(port) + "/";
  ULONG rc = HttpAddUrlToUrlGroup(group, prefix.c_str(), 0, 0);
  if (rc != NO_ERROR) {
    std::fprintf(stderr, "cannot listen on %s: %u\n", prefix.c_str(), rc);
    return 1;
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::vector<std::thread> workers;
  for (int i = 0; i < 4; ++i) workers.emplace_back(Serve, queue);
  std::printf("listening %s\n", prefix.c_str());
  std::fflush(stdout);
  int sig = 0;
  sigwait(&signals, &sig);
  CloseHandle(queue);
  for (auto& t : workers) t.join();
  HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr);
  return 0;
}
