// A minimal server written straight on the HTTP Server API: N threads each receive a request
// and answer it with a small page sent whole (keep-alive when the client allows). The
// benchmark script measures it against nginx serving the same page.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/httpapi/http.h"
#include "platform/win32/CompletionPort.h"

namespace {

// About 200 bytes; --page serves a file instead (the script passes nginx's own page).
std::string kPage =
    "<!DOCTYPE html><html><head><title>Quillon</title></head><body><h1>Hello</h1>"
    "<p>A small page from the minimal HTTP API server, about two hundred bytes long, "
    "for the benchmark.</p></body></html>\n";

void Serve(HANDLE queue) {
  std::vector<char> buffer(16 * 1024 + sizeof(HTTP_REQUEST_V2));
  auto* request = reinterpret_cast<HTTP_REQUEST_V2*>(buffer.data());
  HTTP_RESPONSE_V2 response{};
  response.StatusCode = 200;
  response.pReason = "OK";
  response.ReasonLength = 2;
  response.Headers.KnownHeaders[HttpHeaderContentType].pRawValue = "text/html";
  response.Headers.KnownHeaders[HttpHeaderContentType].RawValueLength = 9;
  HTTP_DATA_CHUNK chunk{};
  chunk.DataChunkType = HttpDataChunkFromMemory;
  chunk.FromMemory.pBuffer = const_cast<char*>(kPage.data());
  chunk.FromMemory.BufferLength = static_cast<ULONG>(kPage.size());
  response.EntityChunkCount = 1;
  response.pEntityChunks = &chunk;
  for (;;) {
    ULONG bytes = 0;
    ULONG rc = HttpReceiveHttpRequest(queue, HTTP_NULL_ID, 0, request,
                                      static_cast<ULONG>(buffer.size()), &bytes, nullptr);
    if (rc == ERROR_MORE_DATA || rc == ERROR_CONNECTION_INVALID) continue;
    if (rc != NO_ERROR) return;
    HttpSendHttpResponse(queue, request->RequestId, 0, &response, nullptr, nullptr, nullptr, 0,
                         nullptr, nullptr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int port = 8080;
  int threads = 2;
  std::string host = "+";
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--port" && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else if (a == "--threads" && i + 1 < argc) {
      threads = std::atoi(argv[++i]);
    } else if (a == "--host" && i + 1 < argc) {
      host = argv[++i];
    } else if (a == "--page" && i + 1 < argc) {
      std::ifstream in(argv[++i], std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      if (!in) {
        std::fprintf(stderr, "cannot read %s\n", argv[i]);
        return 1;
      }
      kPage = text.str();
    } else {
      std::fprintf(stderr, "usage: %s [--port N] [--threads N] [--host H] [--page FILE]\n", argv[0]);
      return a == "--help" ? 0 : 2;
    }
  }
  if (threads < 1) threads = 1;
  HTTP_SERVER_SESSION_ID session = 0;
  HTTP_URL_GROUP_ID group = 0;
  HANDLE queue = nullptr;
  if (HttpInitialize(HTTPAPI_VERSION_2, HTTP_INITIALIZE_SERVER, nullptr) != NO_ERROR ||
      HttpCreateServerSession(HTTPAPI_VERSION_2, &session, 0) != NO_ERROR ||
      HttpCreateUrlGroup(session, &group, 0) != NO_ERROR ||
      HttpCreateRequestQueue(HTTPAPI_VERSION_2, nullptr, nullptr, 0, &queue) != NO_ERROR) {
    std::fprintf(stderr, "cannot set up the HTTP API\n");
    return 1;
  }
  HTTP_BINDING_INFO binding{};
  binding.Flags.Present = 1;
  binding.RequestQueueHandle = queue;
  HttpSetUrlGroupProperty(group, HttpServerBindingProperty, &binding, sizeof binding);
  std::string prefix = "http://" + host + ":" + std::to_string(port) + "/";
  ULONG rc = HttpAddUrlToUrlGroup(group, prefix.c_str(), 0, 0);
  if (rc != NO_ERROR) {
    std::fprintf(stderr, "cannot listen on %s (error %u)\n", prefix.c_str(), rc);
    return 1;
  }
  std::printf("listening %s\n", prefix.c_str());
  std::fflush(stdout);
  // Blocked before any thread starts, so that only sigwait below sees the signals.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) workers.emplace_back(Serve, queue);
  int sig = 0;
  sigwait(&signals, &sig);
  CloseHandle(queue);  // releases the receivers with ERROR_OPERATION_ABORTED
  for (auto& t : workers) t.join();
  HttpCloseUrlGroup(group);
  HttpCloseServerSession(session);
  HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr);
  return 0;
}
