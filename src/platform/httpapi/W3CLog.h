// W3C extended log files, as the HTTP engine writes them for a URL group with logging on: one
// line per response with the chosen fields, a header block at the top of every file, files
// rolled over by time or size. Not the HTTP side: the engine fills W3CLogEntry.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/httpapi/http.h"

namespace quillon::platform {

// Every HTTP_LOG_FIELD_* bit.
inline constexpr ULONG kW3CAllLogFields = 0x003FFFFF;

// One response as the engine saw it. Empty texts are written as "-".
struct W3CLogEntry {
  std::string method;
  std::string uriStem;
  std::string uriQuery;  // without the "?"
  unsigned status = 0;
  unsigned subStatus = 0;
  std::uint32_t win32Status = 0;
  std::string clientIp;
  std::uint16_t clientPort = 0;  // no W3C field; kept for the engine's own use
  std::string serverIp;
  std::uint16_t serverPort = 0;
  std::string userAgent;
  std::string referer;
  std::string cookie;
  std::string host;
  std::string version;  // "HTTP/1.1"
  std::string userName;
  std::string siteName;
  std::uint64_t bytesSent = 0;
  std::uint64_t bytesReceived = 0;
  std::chrono::milliseconds timeTaken{0};
};

struct W3CLogConfig {
  std::string directory;            // created when missing
  std::string softwareName;         // the "#Software" line
  ULONG fields = kW3CAllLogFields;  // HTTP_LOG_FIELD_*
  HTTP_LOGGING_ROLLOVER_TYPE rollover = HttpLoggingRolloverDaily;
  std::uint64_t rolloverSize = 0;  // bytes, for HttpLoggingRolloverSize only (> 0 then)
  ULONG flags = 0;                 // HTTP_LOGGING_FLAG_*
  std::string computerName;        // s-computername; empty: this machine's host name
  // Lines are buffered and written at most this long after they were logged (and whenever
  // 64 KiB are pending, on rollover, Flush and destruction). Zero writes every line at once.
  std::chrono::milliseconds flushInterval{1000};
};

// The writer's settings from a URL group's logging property. Only the W3C format is written;
// checking Format and the minimum rollover size is the caller's part.
W3CLogConfig W3CLogConfigFromInfo(const HTTP_LOGGING_INFO& info);

// Thread-safe: many workers may Write at once; each line reaches the file whole.
class W3CLog {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  // Throws std::invalid_argument for an unusable configuration and std::system_error when the
  // folder cannot be created. An empty clock means the system clock.
  explicit W3CLog(W3CLogConfig config, Clock clock = {});
  ~W3CLog();
  W3CLog(const W3CLog&) = delete;
  W3CLog& operator=(const W3CLog&) = delete;

  // Logs one response (unless the errors-only / success-only flags exclude its status).
  // File errors never reach the caller; they are counted in WriteErrors.
  void Write(const W3CLogEntry& entry);
  void Flush();

  // Path of the file the last line went to; empty before the first line.
  std::string CurrentFile() const;
  std::uint64_t WriteErrors() const;

  // The "#Fields:" value for a field mask, e.g. "date time c-ip".
  static std::string FieldsDirective(ULONG fields);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillon::platform
