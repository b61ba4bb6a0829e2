// W3C extended log writer: line formatting, file naming and rollover, buffered appends.
//
// Fields are written in the order IIS uses for W3C logs:
//   date time s-sitename s-computername s-ip cs-method cs-uri-stem cs-uri-query s-port
//   cs-username c-ip cs-version cs(User-Agent) cs(Cookie) cs(Referer) cs-host sc-status
//   sc-substatus sc-win32-status sc-bytes cs-bytes time-taken
// The date and time fields and the #Date directive are always UTC, as in IIS; the local-time
// flag only moves the rollover boundary and the date in the file name. Lines end in CR LF.
#include "platform/httpapi/W3CLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace quillon::platform {

namespace {

using SysClock = std::chrono::system_clock;

// Pending bytes that trigger a write at once.
constexpr std::size_t kFlushThreshold = 64 * 1024;

enum class Col {
  Date,
  Time,
  SiteName,
  ComputerName,
  ServerIp,
  Method,
  UriStem,
  UriQuery,
  ServerPort,
  UserName,
  ClientIp,
  Version,
  UserAgent,
  Cookie,
  Referer,
  Host,
  Status,
  SubStatus,
  Win32Status,
  BytesSent,
  BytesRecv,
  TimeTaken
};

struct Column {
  ULONG bit;
  const char* name;
  Col col;
};

constexpr Column kColumns[] = {
    {HTTP_LOG_FIELD_DATE, "date", Col::Date},
    {HTTP_LOG_FIELD_TIME, "time", Col::Time},
    {HTTP_LOG_FIELD_SITE_NAME, "s-sitename", Col::SiteName},
    {HTTP_LOG_FIELD_COMPUTER_NAME, "s-computername", Col::ComputerName},
    {HTTP_LOG_FIELD_SERVER_IP, "s-ip", Col::ServerIp},
    {HTTP_LOG_FIELD_METHOD, "cs-method", Col::Method},
    {HTTP_LOG_FIELD_URI_STEM, "cs-uri-stem", Col::UriStem},
    {HTTP_LOG_FIELD_URI_QUERY, "cs-uri-query", Col::UriQuery},
    {HTTP_LOG_FIELD_SERVER_PORT, "s-port", Col::ServerPort},
    {HTTP_LOG_FIELD_USER_NAME, "cs-username", Col::UserName},
    {HTTP_LOG_FIELD_CLIENT_IP, "c-ip", Col::ClientIp},
    {HTTP_LOG_FIELD_VERSION, "cs-version", Col::Version},
    {HTTP_LOG_FIELD_USER_AGENT, "cs(User-Agent)", Col::UserAgent},
    {HTTP_LOG_FIELD_COOKIE, "cs(Cookie)", Col::Cookie},
    {HTTP_LOG_FIELD_REFERER, "cs(Referer)", Col::Referer},
    {HTTP_LOG_FIELD_HOST, "cs-host", Col::Host},
    {HTTP_LOG_FIELD_STATUS, "sc-status", Col::Status},
    {HTTP_LOG_FIELD_SUB_STATUS, "sc-substatus", Col::SubStatus},
    {HTTP_LOG_FIELD_WIN32_STATUS, "sc-win32-status", Col::Win32Status},
    {HTTP_LOG_FIELD_BYTES_SENT, "sc-bytes", Col::BytesSent},
    {HTTP_LOG_FIELD_BYTES_RECV, "cs-bytes", Col::BytesRecv},
    {HTTP_LOG_FIELD_TIME_TAKEN, "time-taken", Col::TimeTaken},
};

std::tm BrokenDown(SysClock::time_point t, bool local) {
  std::time_t tt = SysClock::to_time_t(t);
  std::tm tm{};
  if (local) {
    localtime_r(&tt, &tm);
  } else {
    gmtime_r(&tt, &tm);
  }
  return tm;
}

std::string Format(const char* fmt, const std::tm& tm) {
  char buf[64];
  std::size_t n = std::strftime(buf, sizeof buf, fmt, &tm);
  return std::string(buf, n);
}

// Length of the valid UTF-8 sequence at s[i], or 0 if it is not one.
std::size_t Utf8SequenceLength(std::string_view s, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b = byte(i);
  std::size_t len;
  std::uint32_t cp;
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
    cp = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    cp = b & 0x0F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    cp = b & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
      (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
    return 0;
  }
  return len;
}

void AppendPercent(std::string& out, unsigned char b) {
  static const char kHex[] = "0123456789ABCDEF";
  out += '%';
  out += kHex[b >> 4];
  out += kHex[b & 0xF];
}

// One field value: "-" when empty, spaces as "+". Control characters are percent-encoded so a
// request can never start a forged line, and with UTF-8 output so are invalid byte sequences.
void AppendValue(std::string& out, std::string_view v, bool utf8) {
  if (v.empty()) {
    out += '-';
    return;
  }
  for (std::size_t i = 0; i < v.size();) {
    unsigned char b = static_cast<unsigned char>(v[i]);
    if (b == ' ') {
      out += '+';
      ++i;
    } else if (b < 0x20 || b == 0x7F) {
      AppendPercent(out, b);
      ++i;
    } else if (b < 0x80 || !utf8) {
      out += static_cast<char>(b);
      ++i;
    } else if (std::size_t len = Utf8SequenceLength(v, i); len != 0) {
      out.append(v.data() + i, len);
      i += len;
    } else {
      AppendPercent(out, b);
      ++i;
    }
  }
}

}  // namespace

struct W3CLog::Impl {
  W3CLogConfig cfg;
  Clock clock;
  std::string computerName;
  std::string prefix;  // "u_ex" for UTF-8 files, "ex" otherwise
  bool utf8 = false;
  bool localRollover = false;

  // Guards everything below: the open file, its name, the pending lines and the counters.
  mutable std::mutex mu;
  std::condition_variable wake;
  std::string currentName;        // file name (no folder) of the open file
  SysClock::time_point openedAt;  // clock reading that opened it
  int fd = -1;
  std::uint64_t fileSize = 0;  // bytes in the file, pending ones included
  unsigned sizeIndex = 0;      // N of the current extendN file
  std::string pending;
  std::chrono::steady_clock::time_point pendingSince;
  std::uint64_t errors = 0;
  bool stopping = false;
  std::thread flusher;

  std::string TimeKeyName(SysClock::time_point now) const {
    std::tm tm = BrokenDown(now, localRollover);
    switch (cfg.rollover) {
      case HttpLoggingRolloverHourly: return prefix + Format("%y%m%d%H", tm) + ".log";
      case HttpLoggingRolloverWeekly: {
        // Week of the month; weeks start on Sunday and the first one on the 1st.
        int firstWday = ((tm.tm_wday - (tm.tm_mday - 1)) % 7 + 7) % 7;
        int week = (tm.tm_mday - 1 + firstWday) / 7 + 1;
        std::string ww = {'0', static_cast<char>('0' + week)};  // week is 1 to 6
        return prefix + Format("%y%m", tm) + ww + ".log";
      }
      case HttpLoggingRolloverMonthly: return prefix + Format("%y%m", tm) + ".log";
      case HttpLoggingRolloverDaily:
      case HttpLoggingRolloverSize: break;
    }
    return prefix + Format("%y%m%d", tm) + ".log";
  }

  std::string SizeName(unsigned n) const { return SizeStem() + std::to_string(n) + ".log"; }
  std::string SizeStem() const { return utf8 ? "u_extend" : "extend"; }

  // Continues the newest extendN file while it has room, as after a restart.
  void PickSizeIndex() {
    unsigned highest = 0;
    std::error_code ec;
    const std::string stem = SizeStem();
    for (fs::directory_iterator it(cfg.directory, ec), end; !ec && it != end; it.increment(ec)) {
      std::string name = it->path().filename().string();
      if (name.size() <= stem.size() + 4 || name.compare(0, stem.size(), stem) != 0 ||
          name.compare(name.size() - 4, 4, ".log") != 0) {
        continue;
      }
      std::string digits = name.substr(stem.size(), name.size() - stem.size() - 4);
      if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) {
        continue;
      }
      highest = std::max(highest, static_cast<unsigned>(std::stoul(digits)));
    }
    sizeIndex = highest == 0 ? 1 : highest;
  }

  std::uint64_t SizeOnDisk(const std::string& name) const {
    std::error_code ec;
    auto size = fs::file_size(fs::path(cfg.directory) / name, ec);
    return ec ? 0 : size;
  }

  void WriteAll(const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::write(fd, data.data() + done, data.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        ++errors;
        return;
      }
      done += static_cast<std::size_t>(n);
    }
  }

  void FlushLocked() {
    if (pending.empty()) return;
    if (fd >= 0) WriteAll(pending);
    pending.clear();
  }

  void CloseLocked() {
    FlushLocked();
    if (fd >= 0) ::close(fd);
    fd = -1;
    currentName.clear();
  }

  // Opens `name` for appending and queues the header block; false if the file cannot be had.
  bool OpenLocked(const std::string& name, SysClock::time_point now) {
    CloseLocked();
    fs::path path = fs::path(cfg.directory) / name;
    int f = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (f < 0 && errno == ENOENT) {
      // The folder was removed while the server ran; make it again.
      std::error_code ec;
      fs::create_directories(cfg.directory, ec);
      f = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    if (f < 0) {
      ++errors;
      return false;
    }
    fd = f;
    currentName = name;
    openedAt = now;
    struct stat st {};
    fileSize = ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    // Every writer that opens a file starts with directives, as IIS does after a restart.
    Queue(Header(now));
    return true;
  }

  std::string Header(SysClock::time_point now) const {
    std::string header;
    header += "#Software: " + cfg.softwareName + "\r\n";
    header += "#Version: 1.0\r\n";
    header += "#Date: " + Format("%Y-%m-%d %H:%M:%S", BrokenDown(now, false)) + "\r\n";
    header += "#Fields: " + FieldsDirective(cfg.fields) + "\r\n";
    return header;
  }

  void Queue(std::string text) {
    if (pending.empty()) {
      pendingSince = std::chrono::steady_clock::now();
      if (cfg.flushInterval.count() > 0) wake.notify_one();
    }
    fileSize += text.size();
    pending += text;
  }

  std::string FormatLine(const W3CLogEntry& e, SysClock::time_point now) const {
    std::tm utc = BrokenDown(now, false);
    std::string line;
    line.reserve(256);
    bool first = true;
    for (const Column& c : kColumns) {
      if ((cfg.fields & c.bit) == 0) continue;
      if (!first) line += ' ';
      first = false;
      switch (c.col) {
        case Col::Date: line += Format("%Y-%m-%d", utc); break;
        case Col::Time: line += Format("%H:%M:%S", utc); break;
        case Col::SiteName: AppendValue(line, e.siteName, utf8); break;
        case Col::ComputerName: AppendValue(line, computerName, utf8); break;
        case Col::ServerIp: AppendValue(line, e.serverIp, utf8); break;
        case Col::Method: AppendValue(line, e.method, utf8); break;
        case Col::UriStem: AppendValue(line, e.uriStem, utf8); break;
        case Col::UriQuery: AppendValue(line, e.uriQuery, utf8); break;
        case Col::ServerPort:
          line += e.serverPort == 0 ? std::string("-") : std::to_string(e.serverPort);
          break;
        case Col::UserName: AppendValue(line, e.userName, utf8); break;
        case Col::ClientIp: AppendValue(line, e.clientIp, utf8); break;
        case Col::Version: AppendValue(line, e.version, utf8); break;
        case Col::UserAgent: AppendValue(line, e.userAgent, utf8); break;
        case Col::Cookie: AppendValue(line, e.cookie, utf8); break;
        case Col::Referer: AppendValue(line, e.referer, utf8); break;
        case Col::Host: AppendValue(line, e.host, utf8); break;
        case Col::Status: line += std::to_string(e.status); break;
        case Col::SubStatus: line += std::to_string(e.subStatus); break;
        case Col::Win32Status: line += std::to_string(e.win32Status); break;
        case Col::BytesSent: line += std::to_string(e.bytesSent); break;
        case Col::BytesRecv: line += std::to_string(e.bytesReceived); break;
        case Col::TimeTaken: line += std::to_string(e.timeTaken.count()); break;
      }
    }
    line += "\r\n";
    return line;
  }

  void FlusherLoop() {
    std::unique_lock lock(mu);
    while (!stopping) {
      if (pending.empty()) {
        wake.wait(lock, [&] { return stopping || !pending.empty(); });
        continue;
      }
      auto due = pendingSince + cfg.flushInterval;
      if (wake.wait_until(lock, due, [&] { return stopping; })) break;
      if (!pending.empty() &&
          std::chrono::steady_clock::now() >= pendingSince + cfg.flushInterval) {
        FlushLocked();
      }
    }
  }
};

W3CLogConfig W3CLogConfigFromInfo(const HTTP_LOGGING_INFO& info) {
  W3CLogConfig c;
  if (info.DirectoryName != nullptr)
    c.directory.assign(info.DirectoryName, info.DirectoryNameLength);
  if (info.SoftwareName != nullptr)
    c.softwareName.assign(info.SoftwareName, info.SoftwareNameLength);
  c.fields = info.Fields;
  c.rollover = info.RolloverType;
  c.rolloverSize = info.RolloverType == HttpLoggingRolloverSize ? info.RolloverSize : 0;
  c.flags = info.LoggingFlags;
  return c;
}

W3CLog::W3CLog(W3CLogConfig config, Clock clock) : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  if (config.directory.empty()) throw std::invalid_argument("W3C log: empty folder name");
  if (config.rollover > HttpLoggingRolloverHourly) {
    throw std::invalid_argument("W3C log: unknown rollover type");
  }
  if (config.rollover == HttpLoggingRolloverSize && config.rolloverSize == 0) {
    throw std::invalid_argument("W3C log: size rollover needs a size limit");
  }
  if ((config.flags & HTTP_LOGGING_FLAG_LOG_ERRORS_ONLY) &&
      (config.flags & HTTP_LOGGING_FLAG_LOG_SUCCESS_ONLY)) {
    throw std::invalid_argument("W3C log: errors-only and success-only exclude each other");
  }
  if (config.flushInterval.count() < 0) config.flushInterval = std::chrono::milliseconds{0};
  fs::create_directories(config.directory);  // throws filesystem_error (a system_error)

  d.cfg = std::move(config);
  d.clock = clock ? std::move(clock) : Clock([] { return SysClock::now(); });
  d.utf8 = (d.cfg.flags & HTTP_LOGGING_FLAG_USE_UTF8_CONVERSION) != 0;
  d.localRollover = (d.cfg.flags & HTTP_LOGGING_FLAG_LOCAL_TIME_ROLLOVER) != 0;
  d.prefix = d.utf8 ? "u_ex" : "ex";
  d.computerName = d.cfg.computerName;
  if (d.computerName.empty()) {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0) d.computerName = host;
  }
  if (d.cfg.rollover == HttpLoggingRolloverSize) d.PickSizeIndex();
  if (d.cfg.flushInterval.count() > 0) d.flusher = std::thread([&d] { d.FlusherLoop(); });
}

W3CLog::~W3CLog() {
  Impl& d = *impl_;
  {
    std::lock_guard lock(d.mu);
    d.stopping = true;
  }
  d.wake.notify_all();
  if (d.flusher.joinable()) d.flusher.join();
  std::lock_guard lock(d.mu);
  d.CloseLocked();
}

void W3CLog::Write(const W3CLogEntry& entry) {
  Impl& d = *impl_;
  if ((d.cfg.flags & HTTP_LOGGING_FLAG_LOG_ERRORS_ONLY) && entry.status < 400) return;
  if ((d.cfg.flags & HTTP_LOGGING_FLAG_LOG_SUCCESS_ONLY) && entry.status >= 400) return;

  const SysClock::time_point now = d.clock();
  std::string line = d.FormatLine(entry, now);
  const bool bySize = d.cfg.rollover == HttpLoggingRolloverSize;
  std::string wanted = bySize ? std::string() : d.TimeKeyName(now);

  std::lock_guard lock(d.mu);
  if (bySize) {
    // A file that is not empty rolls over before a line would take it past the limit; one
    // left by an earlier writer must also have room for the directives this writer adds.
    const std::uint64_t limit = d.cfg.rolloverSize;
    if (d.fd < 0) {
      const std::uint64_t need = d.Header(now).size() + line.size();
      for (std::uint64_t size = d.SizeOnDisk(d.SizeName(d.sizeIndex));
           size > 0 && size + need > limit; size = d.SizeOnDisk(d.SizeName(d.sizeIndex))) {
        ++d.sizeIndex;
      }
    } else if (d.fileSize > 0 && d.fileSize + line.size() > limit) {
      ++d.sizeIndex;
    }
    wanted = d.SizeName(d.sizeIndex);
  }
  // A worker that read the clock just before a rollover may get here after one that read it
  // just after; its line goes to the new file rather than reopening the old one. (A clock set
  // back therefore keeps the current file until it catches up.)
  const bool stale = !bySize && d.fd >= 0 && now < d.openedAt;
  if (wanted != d.currentName && !stale && !d.OpenLocked(wanted, now)) return;
  d.Queue(std::move(line));
  if (d.cfg.flushInterval.count() == 0 || d.pending.size() >= kFlushThreshold) d.FlushLocked();
}

void W3CLog::Flush() {
  std::lock_guard lock(impl_->mu);
  impl_->FlushLocked();
}

std::string W3CLog::CurrentFile() const {
  std::lock_guard lock(impl_->mu);
  if (impl_->currentName.empty()) return {};
  return (fs::path(impl_->cfg.directory) / impl_->currentName).string();
}

std::uint64_t W3CLog::WriteErrors() const {
  std::lock_guard lock(impl_->mu);
  return impl_->errors;
}

std::string W3CLog::FieldsDirective(ULONG fields) {
  std::string out;
  for (const Column& c : kColumns) {
    if ((fields & c.bit) == 0) continue;
    if (!out.empty()) out += ' ';
    out += c.name;
  }
  return out;
}

}  // namespace quillon::platform
