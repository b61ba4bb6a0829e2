// W3C extended log writer: directives, field selection and order, escaping, rollover by time
// and size with an injected clock, buffering and concurrent writers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/httpapi/W3CLog.h"

namespace fs = std::filesystem;
using namespace quillon::platform;
using namespace std::chrono_literals;
using SysClock = std::chrono::system_clock;

namespace {

SysClock::time_point Utc(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  return SysClock::from_time_t(timegm(&tm));
}

std::vector<std::string> Lines(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string all = ss.str();
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(all.substr(start) + "<no CR LF>");
      break;
    }
    lines.push_back(all.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::vector<std::string> FileNames(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

W3CLogEntry FullEntry() {
  W3CLogEntry e;
  e.method = "GET";
  e.uriStem = "/datasnap/rest/TServerMethods1/EchoString/hello";
  e.uriQuery = "a=1&b=2";
  e.status = 200;
  e.subStatus = 0;
  e.win32Status = 0;
  e.clientIp = "127.0.0.1";
  e.clientPort = 50123;
  e.serverIp = "127.0.0.1";
  e.serverPort = 5420;
  e.userAgent = "Mozilla/5.0 (X11; Linux x86_64)";
  e.referer = "http://127.0.0.1:5420/";
  e.cookie = "sid=abc";
  e.host = "127.0.0.1:5420";
  e.version = "HTTP/1.1";
  e.userName = "alice";
  e.siteName = "W3SVC1";
  e.bytesSent = 1234;
  e.bytesReceived = 321;
  e.timeTaken = 15ms;
  return e;
}

class W3CLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quillon-w3clog-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    dir_ = root_ / "logs";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  W3CLogConfig Config(std::uint32_t fields = kW3CAllLogFields) const {
    W3CLogConfig c;
    c.directory = dir_.string();
    c.softwareName = "Quillon 4.4.6";
    c.fields = fields;
    c.flags = HTTP_LOGGING_FLAG_USE_UTF8_CONVERSION;
    c.computerName = "HOSTA";
    c.flushInterval = 0ms;
    return c;
  }

  // A clock the test moves; atomic because writers read it from several threads.
  W3CLog::Clock ClockAt(SysClock::time_point start) {
    now_ = start.time_since_epoch().count();
    return [this] { return SysClock::time_point(SysClock::duration(now_.load())); };
  }
  void SetNow(SysClock::time_point t) { now_ = t.time_since_epoch().count(); }

  fs::path root_;
  fs::path dir_;
  std::atomic<SysClock::rep> now_{0};
};

TEST_F(W3CLogTest, WritesDirectivesThenOneLinePerResponse) {
  {
    W3CLog log(Config(), ClockAt(Utc(2024, 3, 9, 20, 30, 5)));
    EXPECT_EQ(log.CurrentFile(), "");
    EXPECT_TRUE(fs::is_directory(dir_)) << "the folder is made up front";
    log.Write(FullEntry());
    SetNow(Utc(2024, 3, 9, 20, 30, 6));
    W3CLogEntry sparse;
    sparse.method = "POST";
    sparse.uriStem = "/x";
    sparse.status = 404;
    sparse.win32Status = 1229;
    log.Write(sparse);
    EXPECT_EQ(log.CurrentFile(), (dir_ / "u_ex240309.log").string());
  }
  EXPECT_EQ(FileNames(dir_), std::vector<std::string>{"u_ex240309.log"});
  std::vector<std::string> want = {
      "#Software: Quillon 4.4.6",
      "#Version: 1.0",
      "#Date: 2024-03-09 20:30:05",
      "#Fields: date time s-sitename s-computername s-ip cs-method cs-uri-stem cs-uri-query "
      "s-port cs-username c-ip cs-version cs(User-Agent) cs(Cookie) cs(Referer) cs-host "
      "sc-status sc-substatus sc-win32-status sc-bytes cs-bytes time-taken",
      "2024-03-09 20:30:05 W3SVC1 HOSTA 127.0.0.1 GET "
      "/datasnap/rest/TServerMethods1/EchoString/hello a=1&b=2 5420 alice 127.0.0.1 HTTP/1.1 "
      "Mozilla/5.0+(X11;+Linux+x86_64) sid=abc http://127.0.0.1:5420/ 127.0.0.1:5420 200 0 0 "
      "1234 321 15",
      "2024-03-09 20:30:06 - HOSTA - POST /x - - - - - - - - - 404 0 1229 0 0 0",
  };
  EXPECT_EQ(Lines(dir_ / "u_ex240309.log"), want);
}

TEST_F(W3CLogTest, FieldSelectionKeepsTheStandardOrder) {
  struct Case {
    std::uint32_t fields;
    const char* directive;
    const char* line;
  };
  const Case cases[] = {
      {HTTP_LOG_FIELD_DATE | HTTP_LOG_FIELD_TIME | HTTP_LOG_FIELD_CLIENT_IP, "date time c-ip",
       "2024-03-09 20:30:05 127.0.0.1"},
      // Bit order differs from column order: cs-username (0x8) comes after s-port (0x8000).
      {HTTP_LOG_FIELD_USER_NAME | HTTP_LOG_FIELD_SERVER_PORT | HTTP_LOG_FIELD_METHOD,
       "cs-method s-port cs-username", "GET 5420 alice"},
      {HTTP_LOG_FIELD_TIME_TAKEN | HTTP_LOG_FIELD_BYTES_RECV | HTTP_LOG_FIELD_BYTES_SENT |
           HTTP_LOG_FIELD_SUB_STATUS,
       "sc-substatus sc-bytes cs-bytes time-taken", "0 1234 321 15"},
      {HTTP_LOG_FIELD_HOST | HTTP_LOG_FIELD_COOKIE | HTTP_LOG_FIELD_VERSION,
       "cs-version cs(Cookie) cs-host", "HTTP/1.1 sid=abc 127.0.0.1:5420"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directive);
    EXPECT_EQ(W3CLog::FieldsDirective(c.fields), c.directive);
    fs::remove_all(dir_);
    {
      W3CLog log(Config(c.fields), ClockAt(Utc(2024, 3, 9, 20, 30, 5)));
      log.Write(FullEntry());
    }
    auto lines = Lines(dir_ / "u_ex240309.log");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[3], std::string("#Fields: ") + c.directive);
    EXPECT_EQ(lines[4], c.line);
  }
}

TEST_F(W3CLogTest, EscapesValuesSoEveryLineStaysOneRecord) {
  struct Case {
    std::string in;
    std::string utf8Out;  // with the UTF-8 flag
    std::string rawOut;   // without it: 8-bit text passes through
  };
  const Case cases[] = {
      {"", "-", "-"},
      {"a b  c", "a+b++c", "a+b++c"},
      {"x\r\n2024-01-01 forged", "x%0D%0A2024-01-01+forged", "x%0D%0A2024-01-01+forged"},
      {"tab\there\x7f", "tab%09here%7F", "tab%09here%7F"},
      {"caf\xC3\xA9", "caf\xC3\xA9", "caf\xC3\xA9"},
      {"bad\xFF\xC3", "bad%FF%C3", "bad\xFF\xC3"},
      {"\xED\xA0\x80", "%ED%A0%80", "\xED\xA0\x80"},  // an encoded surrogate is not UTF-8
  };
  for (std::uint32_t flags : {HTTP_LOGGING_FLAG_USE_UTF8_CONVERSION, 0u}) {
    fs::remove_all(dir_);
    auto cfg = Config(HTTP_LOG_FIELD_USER_AGENT);
    cfg.flags = flags;
    {
      W3CLog log(cfg, ClockAt(Utc(2024, 3, 9, 1, 0, 0)));
      for (const Case& c : cases) {
        W3CLogEntry e;
        e.userAgent = c.in;
        log.Write(e);
      }
    }
    // Files without UTF-8 conversion are named without the "u_" prefix.
    const char* name = flags ? "u_ex240309.log" : "ex240309.log";
    auto lines = Lines(dir_ / name);
    ASSERT_EQ(lines.size(), 4 + std::size(cases)) << name;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
      EXPECT_EQ(lines[4 + i], flags ? cases[i].utf8Out : cases[i].rawOut) << i << " " << name;
    }
  }
}

TEST_F(W3CLogTest, DailyRolloverAtUtcMidnightEachFileWithItsDirectives) {
  W3CLog log(Config(HTTP_LOG_FIELD_DATE | HTTP_LOG_FIELD_TIME | HTTP_LOG_FIELD_URI_STEM),
             ClockAt(Utc(2024, 2, 28, 23, 59, 59)));
  W3CLogEntry e;
  e.uriStem = "/a";
  log.Write(e);
  SetNow(Utc(2024, 2, 29, 0, 0, 0));
  e.uriStem = "/b";
  log.Write(e);
  SetNow(Utc(2024, 2, 29, 23, 0, 0));
  e.uriStem = "/c";
  log.Write(e);
  log.Flush();

  EXPECT_EQ(FileNames(dir_), (std::vector<std::string>{"u_ex240228.log", "u_ex240229.log"}));
  auto first = Lines(dir_ / "u_ex240228.log");
  ASSERT_EQ(first.size(), 5u);
  EXPECT_EQ(first[4], "2024-02-28 23:59:59 /a");
  auto second = Lines(dir_ / "u_ex240229.log");
  ASSERT_EQ(second.size(), 6u);
  EXPECT_EQ(second[0], "#Software: Quillon 4.4.6");
  EXPECT_EQ(second[2], "#Date: 2024-02-29 00:00:00");
  EXPECT_EQ(second[4], "2024-02-29 00:00:00 /b");
  EXPECT_EQ(second[5], "2024-02-29 23:00:00 /c");
}

TEST_F(W3CLogTest, LocalTimeRolloverNamesFilesByLocalDateButLogsUtc) {
  const char* oldTz = std::getenv("TZ");
  std::string savedTz = oldTz ? oldTz : "";
  setenv("TZ", "QLT-5", 1);  // five hours east of UTC, no daylight saving
  tzset();

  for (bool local : {true, false}) {
    fs::remove_all(dir_);
    auto cfg = Config(HTTP_LOG_FIELD_DATE | HTTP_LOG_FIELD_TIME);
    if (local) cfg.flags |= HTTP_LOGGING_FLAG_LOCAL_TIME_ROLLOVER;
    {
      // 20:30 UTC on the 9th is 01:30 on the 10th locally.
      W3CLog log(cfg, ClockAt(Utc(2024, 3, 9, 18, 59, 59)));
      log.Write({});
      SetNow(Utc(2024, 3, 9, 20, 30, 0));
      log.Write({});
    }
    if (local) {
      // Local midnight is 19:00 UTC.
      EXPECT_EQ(FileNames(dir_), (std::vector<std::string>{"u_ex240309.log", "u_ex240310.log"}));
      auto lines = Lines(dir_ / "u_ex240310.log");
      ASSERT_EQ(lines.size(), 5u);
      EXPECT_EQ(lines[2], "#Date: 2024-03-09 20:30:00");
      EXPECT_EQ(lines[4], "2024-03-09 20:30:00");
    } else {
      EXPECT_EQ(FileNames(dir_), std::vector<std::string>{"u_ex240309.log"});
    }
  }

  if (oldTz) {
    setenv("TZ", savedTz.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST_F(W3CLogTest, OtherTimeRolloversNameTheirFiles) {
  struct Case {
    HTTP_LOGGING_ROLLOVER_TYPE rollover;
    SysClock::time_point a;
    SysClock::time_point b;
    std::vector<std::string> files;
  };
  const Case cases[] = {
      {HttpLoggingRolloverHourly,
       Utc(2024, 3, 9, 7, 59, 59),
       Utc(2024, 3, 9, 8, 0, 0),
       {"u_ex24030907.log", "u_ex24030908.log"}},
      // March 2024 starts on a Friday: the 2nd is in week 1, Sunday the 3rd starts week 2.
      {HttpLoggingRolloverWeekly,
       Utc(2024, 3, 2, 12, 0, 0),
       Utc(2024, 3, 3, 0, 0, 0),
       {"u_ex240301.log", "u_ex240302.log"}},
      {HttpLoggingRolloverMonthly,
       Utc(2024, 3, 31, 23, 59, 59),
       Utc(2024, 4, 1, 0, 0, 0),
       {"u_ex2403.log", "u_ex2404.log"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.files.front());
    fs::remove_all(dir_);
    auto cfg = Config(HTTP_LOG_FIELD_TIME);
    cfg.rollover = c.rollover;
    W3CLog log(cfg, ClockAt(c.a));
    log.Write({});
    SetNow(c.a + 1s);
    log.Write({});
    SetNow(c.b);
    log.Write({});
    log.Flush();
    EXPECT_EQ(FileNames(dir_), c.files);
  }
}

TEST_F(W3CLogTest, SizeRolloverKeepsFilesUnderTheLimitAndContinuesAfterRestart) {
  auto cfg = Config(HTTP_LOG_FIELD_URI_STEM);
  cfg.rollover = HttpLoggingRolloverSize;
  cfg.rolloverSize = 400;
  W3CLogEntry e;
  e.uriStem = "/" + std::string(40, 'p');  // 43 bytes a line with CR LF
  {
    W3CLog log(cfg, ClockAt(Utc(2024, 3, 9, 1, 0, 0)));
    for (int i = 0; i < 20; ++i) log.Write(e);
  }
  auto names = FileNames(dir_);
  ASSERT_GE(names.size(), 3u);
  std::size_t entries = 0;
  for (const auto& n : names) {
    EXPECT_LE(fs::file_size(dir_ / n), 400u) << n;
    auto lines = Lines(dir_ / n);
    ASSERT_GE(lines.size(), 5u) << n;
    EXPECT_EQ(lines[0], "#Software: Quillon 4.4.6") << n;
    entries += lines.size() - 4;
  }
  EXPECT_EQ(entries, 20u);
  EXPECT_EQ(names.front(), "u_extend1.log");
  const std::string last = "u_extend" + std::to_string(names.size()) + ".log";
  EXPECT_EQ(names.back(), last);

  // A new writer continues the newest file while it has room for its directives and the
  // line, and starts the next one otherwise.
  const auto before = fs::file_size(dir_ / last);
  cfg.rolloverSize = before + 91 + 43;  // 91 bytes of directives
  {
    W3CLog log(cfg, ClockAt(Utc(2024, 3, 9, 2, 0, 0)));
    log.Write(e);
    EXPECT_EQ(log.CurrentFile(), (dir_ / last).string());
  }
  EXPECT_EQ(fs::file_size(dir_ / last), before + 91 + 43);
  {
    W3CLog log(cfg, ClockAt(Utc(2024, 3, 9, 3, 0, 0)));
    log.Write(e);
    EXPECT_EQ(log.CurrentFile(),
              (dir_ / ("u_extend" + std::to_string(names.size() + 1) + ".log")).string());
  }
}

TEST_F(W3CLogTest, StatusFiltersAndInvalidConfigurations) {
  for (auto [flag, kept] : {std::pair{HTTP_LOGGING_FLAG_LOG_ERRORS_ONLY, 404u},
                            std::pair{HTTP_LOGGING_FLAG_LOG_SUCCESS_ONLY, 200u}}) {
    fs::remove_all(dir_);
    auto cfg = Config(HTTP_LOG_FIELD_STATUS);
    cfg.flags |= flag;
    {
      W3CLog log(cfg, ClockAt(Utc(2024, 3, 9, 1, 0, 0)));
      for (unsigned status : {200u, 404u}) {
        W3CLogEntry e;
        e.status = status;
        log.Write(e);
      }
    }
    auto lines = Lines(dir_ / "u_ex240309.log");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[4], std::to_string(kept));
  }

  auto bad = Config();
  bad.flags = HTTP_LOGGING_FLAG_LOG_ERRORS_ONLY | HTTP_LOGGING_FLAG_LOG_SUCCESS_ONLY;
  EXPECT_THROW(W3CLog{bad}, std::invalid_argument);
  bad = Config();
  bad.rollover = HttpLoggingRolloverSize;
  EXPECT_THROW(W3CLog{bad}, std::invalid_argument);
  bad = Config();
  bad.directory.clear();
  EXPECT_THROW(W3CLog{bad}, std::invalid_argument);
  bad = Config();
  bad.rollover = static_cast<HTTP_LOGGING_ROLLOVER_TYPE>(7);
  EXPECT_THROW(W3CLog{bad}, std::invalid_argument);
  // A folder that cannot be made (a file is in the way).
  fs::create_directories(root_);
  std::ofstream(root_ / "file") << "x";
  bad = Config();
  bad.directory = (root_ / "file" / "logs").string();
  EXPECT_THROW(W3CLog{bad}, std::system_error);
}

TEST_F(W3CLogTest, ConfigFromTheUrlGroupLoggingProperty) {
  // Counted strings, as the property carries them: nothing past the length is used.
  const std::string folder = dir_.string() + "/ignored-tail";
  const std::string software = "Quillon 4.4.6 and more";
  HTTP_LOGGING_INFO info{};
  info.Flags.Present = 1;
  info.LoggingFlags = HTTP_LOGGING_FLAG_USE_UTF8_CONVERSION;
  info.SoftwareName = software.c_str();
  info.SoftwareNameLength = 13;
  info.DirectoryName = folder.c_str();
  info.DirectoryNameLength = static_cast<USHORT>(dir_.string().size());
  info.Format = HttpLoggingTypeW3C;
  info.Fields = HTTP_LOG_FIELD_METHOD | HTTP_LOG_FIELD_STATUS;
  info.RolloverType = HttpLoggingRolloverDaily;
  info.RolloverSize = 5000;  // only meaningful for size rollover

  W3CLogConfig cfg = W3CLogConfigFromInfo(info);
  EXPECT_EQ(cfg.directory, dir_.string());
  EXPECT_EQ(cfg.softwareName, "Quillon 4.4.6");
  EXPECT_EQ(cfg.fields, info.Fields);
  EXPECT_EQ(cfg.flags, info.LoggingFlags);
  EXPECT_EQ(cfg.rollover, HttpLoggingRolloverDaily);
  EXPECT_EQ(cfg.rolloverSize, 0u);

  info.RolloverType = HttpLoggingRolloverSize;
  EXPECT_EQ(W3CLogConfigFromInfo(info).rolloverSize, 5000u);
}

TEST_F(W3CLogTest, BufferedLinesReachTheFileWithoutAnExplicitFlush) {
  auto cfg = Config(HTTP_LOG_FIELD_URI_STEM);
  cfg.flushInterval = 50ms;
  W3CLog log(cfg, ClockAt(Utc(2024, 3, 9, 1, 0, 0)));
  W3CLogEntry e;
  e.uriStem = "/late";
  log.Write(e);
  const fs::path file = dir_ / "u_ex240309.log";
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    auto lines = Lines(file);
    if (lines.size() == 5) break;
    std::this_thread::sleep_for(10ms);
  }
  auto lines = Lines(file);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[4], "/late");
  EXPECT_EQ(log.WriteErrors(), 0u);
}

TEST_F(W3CLogTest, ConcurrentWritersAcrossARolloverLoseAndMixNothing) {
  auto cfg = Config(HTTP_LOG_FIELD_URI_STEM | HTTP_LOG_FIELD_USER_AGENT);
  cfg.flushInterval = 20ms;  // buffered, as in production
  constexpr int kThreads = 8;
  constexpr int kPerThread = 2000;
  {
    W3CLog log(cfg, ClockAt(Utc(2024, 3, 9, 23, 59, 59)));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        W3CLogEntry e;
        e.userAgent = std::string(100, static_cast<char>('a' + t));
        for (int i = 0; i < kPerThread; ++i) {
          if (t == 0 && i == kPerThread / 2) SetNow(Utc(2024, 3, 10, 0, 0, 0));
          e.uriStem = "/" + std::to_string(t) + "/" + std::to_string(i);
          log.Write(e);
        }
      });
    }
    for (auto& th : threads) th.join();
  }
  std::set<std::string> seen;
  for (const char* name : {"u_ex240309.log", "u_ex240310.log"}) {
    auto lines = Lines(dir_ / name);
    ASSERT_GE(lines.size(), 4u) << name;
    EXPECT_EQ(lines[3], "#Fields: cs-uri-stem cs(User-Agent)");
    for (std::size_t i = 4; i < lines.size(); ++i) {
      const std::string& l = lines[i];
      auto sp = l.find(' ');
      ASSERT_NE(sp, std::string::npos) << l;
      int t = std::atoi(l.c_str() + 1);
      ASSERT_GE(t, 0);
      ASSERT_LT(t, kThreads);
      ASSERT_EQ(l.substr(sp + 1), std::string(100, static_cast<char>('a' + t))) << l;
      EXPECT_TRUE(seen.insert(l.substr(0, sp)).second) << "duplicate " << l;
    }
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kPerThread));
}

}  // namespace
