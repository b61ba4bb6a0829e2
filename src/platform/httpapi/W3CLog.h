// W3C extended log files, as the HTTP engine writes them for a URL group with logging on: one
// line per response with the chosen fields, a header block at the top of every file, files
// rolled over by time or size. Not the HTTP side: the engine fills W3CLogEntry.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quillon::platform {

// Field bits, with the values of the HTTP Server API's HTTP_LOG_FIELD_* constants, so a
// HTTP_LOGGING_INFO Fields mask can be passed straight through.
namespace w3c {
inline constexpr std::uint32_t kFieldDate = 0x00000001;
inline constexpr std::uint32_t kFieldTime = 0x00000002;
inline constexpr std::uint32_t kFieldClientIp = 0x00000004;
inline constexpr std::uint32_t kFieldUserName = 0x00000008;
inline constexpr std::uint32_t kFieldSiteName = 0x00000010;
inline constexpr std::uint32_t kFieldComputerName = 0x00000020;
inline constexpr std::uint32_t kFieldServerIp = 0x00000040;
inline constexpr std::uint32_t kFieldMethod = 0x00000080;
inline constexpr std::uint32_t kFieldUriStem = 0x00000100;
inline constexpr std::uint32_t kFieldUriQuery = 0x00000200;
inline constexpr std::uint32_t kFieldStatus = 0x00000400;
inline constexpr std::uint32_t kFieldWin32Status = 0x00000800;
inline constexpr std::uint32_t kFieldBytesSent = 0x00001000;
inline constexpr std::uint32_t kFieldBytesRecv = 0x00002000;
inline constexpr std::uint32_t kFieldTimeTaken = 0x00004000;
inline constexpr std::uint32_t kFieldServerPort = 0x00008000;
inline constexpr std::uint32_t kFieldUserAgent = 0x00010000;
inline constexpr std::uint32_t kFieldCookie = 0x00020000;
inline constexpr std::uint32_t kFieldReferer = 0x00040000;
inline constexpr std::uint32_t kFieldVersion = 0x00080000;
inline constexpr std::uint32_t kFieldHost = 0x00100000;
inline constexpr std::uint32_t kFieldSubStatus = 0x00200000;
inline constexpr std::uint32_t kAllFields = 0x003FFFFF;

// HTTP_LOGGING_FLAG_* values.
inline constexpr std::uint32_t kFlagLocalTimeRollover = 0x1;
inline constexpr std::uint32_t kFlagUseUtf8Conversion = 0x2;
inline constexpr std::uint32_t kFlagLogErrorsOnly = 0x4;
inline constexpr std::uint32_t kFlagLogSuccessOnly = 0x8;

// HTTP_LOGGING_ROLLOVER_TYPE values.
enum class Rollover : std::uint32_t { Size = 0, Daily = 1, Weekly = 2, Monthly = 3, Hourly = 4 };

// The smallest size limit the HTTP Server API accepts for size rollover (1 MiB).
inline constexpr std::uint64_t kMinRolloverSize = 1024 * 1024;
}  // namespace w3c

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
  std::string directory;     // created when missing
  std::string softwareName;  // the "#Software" line
  std::uint32_t fields = w3c::kAllFields;
  w3c::Rollover rollover = w3c::Rollover::Daily;
  std::uint64_t rolloverSize = 0;  // bytes, for Rollover::Size only (must be > 0 then)
  std::uint32_t flags = 0;         // w3c::kFlag*
  std::string computerName;        // s-computername; empty: this machine's host name
  // Lines are buffered and written at most this long after they were logged (and whenever
  // 64 KiB are pending, on rollover, Flush and destruction). Zero writes every line at once.
  std::chrono::milliseconds flushInterval{1000};
};

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
  static std::string FieldsDirective(std::uint32_t fields);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillon::platform
