// One client connection: reading and parsing on the event loop, one request at a time handed
// to its queue (pipelined requests wait in the buffer, so answers go out in order) once its
// body has arrived (up to a bound), the rest of a body read and responses written on the
// caller's thread. Bytes the socket does not take at once are queued here up to a cap;
// whichever thread owns the write side flushes them with the lock released.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/httpapi/Engine.h"
#include "platform/httpapi/SocketBio.h"
#include "platform/httpapi/W3CLog.h"

namespace quillon::platform::detail {
namespace {

// Reads go into a buffer of the reading thread; a connection keeps only what is left over.
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kReadWindow = 64 * 1024;  // unconsumed bytes before reading pauses
constexpr auto kLinger = std::chrono::seconds(2);
constexpr auto kSendRateWindow = std::chrono::seconds(2);
// A body gets the entity-body time-out plus one second per this many bytes received: a
// minimum rate, so a trickling client cannot hold its request by sending a byte now and then.
constexpr std::uint64_t kMinBodyRate = 16 * 1024;
// After the peer's end of stream, how long the application may take to ask for more.
constexpr auto kEndOfStreamGrace = std::chrono::seconds(5);

std::atomic<std::size_t> g_queuedTotal{0};

// Log lines and notes made under a connection's lock, written once it is released: the loop
// must never wait on a disk. Declared before the lock guard, so it runs after the unlock.
struct Deferred {
  std::vector<std::pair<std::shared_ptr<W3CLog>, W3CLogEntry>> logs;
  std::vector<std::string> notes;
  int depth = 0;
};
thread_local Deferred t_deferred;

// Only with no connection lock held.
void WriteDeferredLogs() {
  if (t_deferred.logs.empty()) return;
  auto logs = std::move(t_deferred.logs);
  t_deferred.logs.clear();
  for (auto& [log, entry] : logs) {
    try {
      log->Write(entry);
    } catch (...) {
      // A full disk must not take the connection's thread down.
    }
  }
}

class AfterUnlock {
 public:
  AfterUnlock() { ++t_deferred.depth; }
  ~AfterUnlock() {
    if (--t_deferred.depth > 0) return;
    WriteDeferredLogs();
    if (t_deferred.notes.empty()) return;
    auto notes = std::move(t_deferred.notes);
    t_deferred.notes.clear();
    for (const std::string& note : notes) std::fprintf(stderr, "quillon engine: %s\n", note.c_str());
  }
  AfterUnlock(const AfterUnlock&) = delete;
  AfterUnlock& operator=(const AfterUnlock&) = delete;
};

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char a = s[i], b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a + 32);
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b + 32);
    if (a != b) return false;
  }
  return true;
}

// Standard Base64 with padding; nullopt when malformed.
std::optional<std::string> DecodeBase64(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.empty() || text.size() % 4 != 0 || text.size() > 4096) return std::nullopt;
  std::string out(text.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  std::size_t size = static_cast<std::size_t>(n);
  if (text.back() == '=') --size;
  if (text.size() >= 2 && text[text.size() - 2] == '=') --size;
  out.resize(size);
  return out;
}

}  // namespace

std::size_t QueuedSendBytes() { return g_queuedTotal.load(); }

namespace {
char* ReadScratch() {
  thread_local std::unique_ptr<char[]> scratch(new char[kReadChunk]);
  return scratch.get();
}
}  // namespace

namespace {
// Set while this thread sleeps on the connection's condition variable: the variable lets go
// of the lock while holding its own mutex, so handling events there (which may notify the
// same variable) would deadlock. Events left meanwhile are taken by the loop's next offer.
thread_local bool t_waiting = false;

struct Sleeping {
  Sleeping() { t_waiting = true; }
  ~Sleeping() { t_waiting = false; }
  Sleeping(const Sleeping&) = delete;
  Sleeping& operator=(const Sleeping&) = delete;
};
}  // namespace

void ConnectionLock::unlock() {
  if (t_waiting) {
    m_.unlock();
    return;
  }
  const bool nested = draining_;  // released around a write while handling events
  for (;;) {
    if (!nested) {
      draining_ = true;
      while (std::uint32_t events = pending.exchange(0)) {
        Connection::Guard g(*this, std::adopt_lock);
        owner_.HandleEventsLocked(g, events);
        g.release();
      }
      draining_ = false;
    }
    m_.unlock();
    // Events left just now, while this thread still held the lock: handled here rather than
    // when the loop offers them again.
    if (nested || pending.load() == 0 || !m_.try_lock()) return;
  }
}

char* InBuffer::Reserve(std::size_t n, std::size_t& room) {
  if (capacity_ - end_ < n) {
    std::size_t used = end_ - begin_;
    if (begin_ > 0 && capacity_ - used >= n) {
      std::memmove(data_.get(), data_.get() + begin_, used);
    } else {
      std::size_t capacity = capacity_ ? capacity_ : n;
      while (capacity - used < n) capacity *= 2;
      auto fresh = std::make_unique<char[]>(capacity);
      if (used) std::memcpy(fresh.get(), data_.get() + begin_, used);
      data_ = std::move(fresh);
      capacity_ = capacity;
    }
    begin_ = 0;
    end_ = used;
  }
  room = capacity_ - end_;
  return data_.get() + end_;
}

Connection::Connection(int fd, const SocketAddress& local, const SocketAddress& remote,
                       bool https)
    : id_(NewId()), fd_(fd), local_(local), remote_(remote), https_(https) {
  since_ = bodyProgress_ = sendCheck_ = Clock::now();
  timeouts_ = ConnectionTimeouts();
}

Connection::~Connection() {
  if (ssl_) SSL_free(ssl_);
  if (fd_ >= 0) ::close(fd_);
  if (queued_) g_queuedTotal.fetch_sub(queued_);
}

bool Connection::Open(SSL_CTX* tlsContext) {
  AfterUnlock after;
  Guard g(lock_);
  Connections().Insert(id_, shared_from_this());
  if (!EventLoop::Instance().Add(shared_from_this(), fd_,
                                 EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET)) {
    Connections().Erase(id_);
    return false;
  }
  StartLocked(tlsContext);
  PumpLocked(g);
  return true;
}

void Connection::StartLocked(SSL_CTX* tlsContext) {
  if (!https_) return;  // the first readiness event starts reading
  if (!tlsContext || !(ssl_ = SSL_new(tlsContext))) {
    TeardownLocked();
    return;
  }
  // OpenSSL's own socket BIO writes with write(): a peer that has gone would raise SIGPIPE.
  BIO* bio = NewSocketBio(fd_);
  if (!bio) {
    TeardownLocked();
    return;
  }
  SSL_set_bio(ssl_, bio, bio);
  SSL_set_accept_state(ssl_);
  SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  phase_ = Phase::Handshake;
  HandshakeLocked();
}

void Connection::HandshakeLocked() {
  ERR_clear_error();
  int r = SSL_do_handshake(ssl_);
  if (r == 1) {
    phase_ = Phase::Head;
    since_ = Clock::now();
    ReadLocked();
    ProcessLocked();
    return;
  }
  int e = SSL_get_error(ssl_, r);
  if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) TeardownLocked();
}

long Connection::IoRead(char* buffer, std::size_t size, bool& again, bool& eof) {
  again = eof = false;
  if (ssl_) {
    ERR_clear_error();
    int n = SSL_read(ssl_, buffer, static_cast<int>(size));
    if (n > 0) return n;
    int e = SSL_get_error(ssl_, n);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      again = true;
      return 0;
    }
    if (e == SSL_ERROR_ZERO_RETURN) {
      eof = true;
      return 0;
    }
    return -1;
  }
  for (;;) {
    ssize_t n = ::recv(fd_, buffer, size, 0);
    if (n > 0) return n;
    if (n == 0) {
      eof = true;
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      again = true;
      return 0;
    }
    return -1;
  }
}

long Connection::IoWrite(const char* data, std::size_t size, bool& again) {
  again = false;
  if (ssl_) {
    // A write that could not finish must be repeated with the same bytes and length.
    std::size_t n = tlsRetry_ ? tlsRetry_ : std::min<std::size_t>(size, 64 * 1024);
    ERR_clear_error();
    int r = SSL_write(ssl_, data, static_cast<int>(n));
    if (r > 0) {
      tlsRetry_ = 0;
      return r;
    }
    int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) {
      tlsRetry_ = n;
      again = true;
      return 0;
    }
    return -1;
  }
  for (;;) {
    ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      again = true;
      return 0;
    }
    return -1;
  }
}

void Connection::OnEvents(std::uint32_t events) {
  AfterUnlock after;
  lock_.pending.fetch_or(events);
  // Never waits: a holder handles the events as it lets go; the loop offers them again
  // shortly in case it let go just before they were left.
  if (!lock_.try_lock()) {
    EventLoop::Instance().RetryLater(this);
    return;
  }
  lock_.unlock();  // handles what is pending
}

bool Connection::OnRetry() {
  if (lock_.pending.load() == 0) return true;
  AfterUnlock after;
  if (!lock_.try_lock()) return false;
  lock_.unlock();
  return true;
}

std::size_t Connection::InputCapacity() {
  AfterUnlock after;
  std::lock_guard g(lock_);
  return in_.capacity();
}

void Connection::HandleEventsLocked(Guard& g, std::uint32_t events) {
  if (phase_ == Phase::Closed) return;
  if (phase_ == Phase::Handshake) {
    HandshakeLocked();
    PumpLocked(g);
    return;
  }
  if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) hangup_ = true;
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) ReadLocked();
  if (phase_ == Phase::Closed) return;
  ProcessLocked();
  // Writable again, or answers the engine queued: never waits for a worker that owns the
  // write side, only tells it to go on.
  if ((events & EPOLLOUT) || queued_) PumpLocked(g);
}

void Connection::ReadLocked() {
  if (ssl_ && writing_) {
    readWanted_ = true;  // the TLS object is in use: the writer reads when it is done
    return;
  }
  readPaused_ = false;
  const std::size_t window = phase_ == Phase::Body ? g_bodyHoldLimit + kReadWindow : kReadWindow;
  char* const scratch = ReadScratch();
  while (phase_ != Phase::Closed && !peerEof_) {
    if (phase_ == Phase::Lingering) {
      in_.Clear();
    } else if (in_.size() + (decoded_.size() - decodedPos_) >= window) {
      readPaused_ = true;  // the application reads the rest when it takes these bytes
      return;
    }
    bool again = false, eof = false;
    long n = IoRead(scratch, kReadChunk, again, eof);
    if (n > 0) {
      bytesReceived_ += static_cast<std::uint64_t>(n);
      if (phase_ == Phase::Head && headStart_ == Clock::time_point{}) headStart_ = Clock::now();
      if (phase_ != Phase::Lingering) TakeInLocked(scratch, static_cast<std::size_t>(n));
      // A short read from TCP empties the socket; the next arrival raises a new edge. After
      // a hang-up there is no further edge, so then read on to the end.
      if (!ssl_ && !hangup_ && static_cast<std::size_t>(n) < kReadChunk) return;
      continue;
    }
    if (again) return;
    if (eof) {
      peerEof_ = true;
      return;
    }
    if (phase_ == Phase::Opaque && !in_.empty()) {
      // Reset after data: what arrived before it is still handed up, then the stream ends.
      peerEof_ = true;
      return;
    }
    TeardownLocked();  // reset or other failure: the client is gone
    return;
  }
}

void Connection::TakeInLocked(const char* data, std::size_t size) {
  if (phase_ == Phase::Opaque && in_.empty() && pendingRead_ && pendingRead_->size > 0) {
    PendingRead done = std::move(*pendingRead_);
    pendingRead_.reset();
    const std::size_t n = std::min<std::size_t>(size, done.size);
    std::memcpy(done.buffer, data, n);
    data += n;
    size -= n;
    done.queue->Complete(done.overlapped, static_cast<DWORD>(n), NO_ERROR);
  }
  if (size) in_.Append(data, size);
}

void Connection::ProcessLocked() {
  switch (phase_) {
    case Phase::Head:
      HandleHeadLocked();
      break;
    case Phase::Body:
      for (;;) {
        const std::size_t before = in_.size();
        GatherBodyLocked();
        if (phase_ != Phase::Body || !readPaused_) break;
        ReadLocked();  // decoding made room
        if (in_.size() == before) break;
      }
      break;
    case Phase::Dispatched:
      if (discarding_) {
        DiscardBodyLocked();
        if (phase_ == Phase::Closed) return;
        if (BodyFinishedLocked()) {
          discarding_ = false;
          phase_ = Phase::Head;
          since_ = Clock::now();
          HandleHeadLocked();
        } else if (peerEof_) {
          TeardownLocked();
        }
        return;
      }
      if (body_ == BodyState::Reading && !in_.empty()) bodyProgress_ = Clock::now();
      ServePendingReadLocked();
      if (syncReaders_) changed_.notify_all();
      break;
    case Phase::Opaque:
      ServePendingReadLocked();
      if (syncReaders_) changed_.notify_all();
      if (peerEof_ && in_.empty()) {
        // Every byte before the end has been handed up. The stream ends once the application
        // asks for more: then the end cannot overtake the last read's completion, and the
        // answers to the last messages still go out before the socket closes.
        if (pendingRead_ || syncReaders_) {
          CloseLocked(true);
        } else if (!eofSeen_) {
          eofSeen_ = true;
          eofAt_ = Clock::now();
        }
      }
      break;
    case Phase::Lingering:
      in_.Clear();
      if (peerEof_) TeardownLocked();
      break;
    case Phase::Handshake:
    case Phase::Closed:
      break;
  }
}

void Connection::HandleHeadLocked() {
  while (phase_ == Phase::Head) {
    if (readPaused_ && in_.size() < kReadWindow) ReadLocked();
    if (in_.empty()) {
      headStart_ = {};
      if (peerEof_) TeardownLocked();
      return;
    }
    if (headStart_ == Clock::time_point{}) headStart_ = Clock::now();
    ParseStatus st = parser_.Feed(in_.view());
    if (st == ParseStatus::NeedMore) {
      if (peerEof_) TeardownLocked();
      return;
    }
    if (st == ParseStatus::Error) {
      AnswerLocked(parser_.errorStatus(), false);
      return;
    }
    RequestHead head = parser_.head();
    DeliverLocked(head);
  }
}

void Connection::AnswerLocked(int status, bool keepAlive) {
  std::string response = EngineResponse(status, keepAlive);
  iovec part{response.data(), response.size()};
  if (!QueueLocked(&part, 1)) return;
  if (!keepAlive) CloseLocked(true);
}

void Connection::DeliverLocked(const RequestHead& parsed) {
  auto request = std::make_shared<Request>();
  Request& r = *request;
  r.head.assign(in_.data(), parsed.headLength);
  r.parsed = parsed;
  in_.Consume(parsed.headLength);
  parser_.Reset();
  headStart_ = {};
  const bool noBody = parsed.body == BodyKind::None;

  auto cooked = CookTarget(r.RawUrl());
  if (!cooked) {
    AnswerLocked(400, false);
    return;
  }

  // Known header values; a header sent twice is joined with ", " as one value.
  std::array<int, HttpHeaderRequestMaximum> count{};
  for (const HeaderField& h : parsed.headers)
    if (h.knownId >= 0) ++count[static_cast<std::size_t>(h.knownId)];
  std::array<std::pair<std::size_t, std::size_t>, HttpHeaderRequestMaximum> joinedAt{};
  for (int id = 0; id < HttpHeaderRequestMaximum; ++id) {
    if (count[static_cast<std::size_t>(id)] < 2) continue;
    std::size_t start = r.joined.size();
    for (const HeaderField& h : parsed.headers) {
      if (h.knownId != id) continue;
      if (r.joined.size() != start) r.joined.append(", ");
      r.joined.append(r.head, h.valueOffset, h.valueLength);
    }
    joinedAt[static_cast<std::size_t>(id)] = {start, r.joined.size() - start};
  }
  for (const HeaderField& h : parsed.headers) {
    if (h.knownId < 0) continue;
    auto id = static_cast<std::size_t>(h.knownId);
    if (count[id] >= 2) {
      r.known[id] = {r.joined.data() + joinedAt[id].first, joinedAt[id].second};
    } else {
      r.known[id] = {r.head.data() + h.valueOffset, h.valueLength};
    }
  }
  if (r.joined.size() > 0xFFFF) {
    AnswerLocked(431, false);
    return;
  }

  std::string_view hostHeader(r.known[HttpHeaderHost].data, r.known[HttpHeaderHost].size);
  if (hostHeader.empty()) hostHeader = cooked->host;
  const std::uint16_t localPort = local_.port();
  auto route = RouteRequest(https_, local_.ip(), localPort, hostHeader, cooked->path);
  if (!route || !route->queue) {
    bool keep = parsed.keepAlive && noBody && !peerEof_;
    AnswerLocked(route ? 503 : 404, keep && route == std::nullopt);
    if (route) CloseLocked(true);
    return;
  }
  if (countedGroup_ != route->group) {
    if (countedGroup_) countedGroup_->connections.fetch_sub(1);
    countedGroup_.reset();
    ULONG limit = route->group->maxConnections;
    if (limit != HTTP_LIMIT_INFINITE && route->group->connections.load() >= limit) {
      AnswerLocked(503, false);
      return;
    }
    route->group->connections.fetch_add(1);
    countedGroup_ = route->group;
  }

  // Cooked URL: scheme://host:port/path?query, the host without the client's port.
  std::string_view host = HostWithoutPort(hostHeader);
  std::string hostText = host.empty() ? local_.UrlHost() : std::string(host);
  r.cookedUrl = https_ ? "https://" : "http://";
  r.hostOffset = r.cookedUrl.size();
  r.cookedUrl += hostText;
  r.cookedUrl += ':';
  r.cookedUrl += std::to_string(localPort);
  r.hostLength = r.cookedUrl.size() - r.hostOffset;
  r.pathOffset = r.cookedUrl.size();
  r.cookedUrl += cooked->path;
  r.pathLength = cooked->path.size();
  r.queryOffset = r.cookedUrl.size();
  r.cookedUrl += cooked->query;
  r.queryLength = cooked->query.size();
  if (r.cookedUrl.size() > 0xFFFF) {
    AnswerLocked(414, false);
    return;
  }

  if (route->basicAuth) {
    std::string_view auth(r.known[HttpHeaderAuthorization].data,
                          r.known[HttpHeaderAuthorization].size);
    r.auth = Request::Auth::None;
    if (StartsWithNoCase(auth, "Basic ")) {
      std::string_view encoded = auth.substr(6);
      while (!encoded.empty() && encoded.front() == ' ') encoded.remove_prefix(1);
      auto decoded = DecodeBase64(encoded);
      if (decoded && decoded->find(':') != std::string::npos &&
          decoded->find('\0') == std::string::npos) {
        r.auth = Request::Auth::Success;
        r.authDecoded = std::move(*decoded);
      } else {
        r.auth = Request::Auth::Failure;
      }
    }
  }

  r.id = NewId();
  r.connection = shared_from_this();
  r.connectionId = id_;
  r.local = local_;
  r.remote = remote_;
  r.https = https_;
  r.moreBody = !noBody;
  r.queuedAt = Clock::now();
  r.route = *route;

  current_ = request;
  body_ = noBody ? BodyState::None : BodyState::Reading;
  bodyRemaining_ = parsed.body == BodyKind::Length ? parsed.contentLength : 0;
  chunked_ = ChunkedDecoder{};
  decoded_.clear();
  decodedPos_ = 0;
  continueSent_ = false;
  discarding_ = false;
  responseStarted_ = false;
  plan_ = ResponsePlan{};
  status_ = 0;
  logRequested_ = false;
  withdrawTried_ = false;
  requestStart_ = r.queuedAt;
  bodyProgress_ = r.queuedAt;
  bytesSent_ = 0;
  bytesReceived_ = r.head.size() + in_.size();
  timeouts_ = route->timeouts;
  bandwidth_ = route->bandwidth;
  if (noBody) {
    QueueRequestLocked();
    return;
  }
  phase_ = Phase::Body;
  GatherBodyLocked();
}

void Connection::GatherBodyLocked() {
  if (!current_ || closeAfterFlush_) return;
  const bool chunked = current_->parsed.body == BodyKind::Chunked;
  if (chunked) {
    DecodeChunksLocked();
    if (phase_ != Phase::Body || !current_ || closeAfterFlush_) return;
  }
  const std::size_t held = chunked ? decoded_.size() - decodedPos_ : in_.size();
  const bool whole = chunked ? chunked_.done() : in_.size() >= bodyRemaining_;
  // A declared length past the bound goes up at once: the application may refuse it unread,
  // and would wait on most of it anyway.
  const bool tooLarge = !chunked && bodyRemaining_ > g_bodyHoldLimit;
  if (!whole && !tooLarge && held < g_bodyHoldLimit && !peerEof_) {
    SendContinueLocked();  // the client may be waiting for leave to send
    return;
  }
  QueueRequestLocked();
}

void Connection::QueueRequestLocked() {
  phase_ = Phase::Dispatched;
  current_->queuedAt = Clock::now();
  Requests().Insert(current_->id, current_);
  if (!current_->route.queue->Deliver(current_)) {
    Requests().Erase(current_->id);
    current_.reset();
    AnswerLocked(503, false);
  }
}

Clock::time_point Connection::BodyDeadlineLocked() const {
  return requestStart_ + timeouts_.entityBody +
         std::chrono::seconds(bytesReceived_ / kMinBodyRate);
}

void Connection::DropLocked(const char* why) {
  t_deferred.notes.push_back("connection " + std::to_string(id_) + " from " + remote_.Text() +
                             " dropped: " + why);
  TeardownLocked();
}

bool Connection::QueueLocked(const iovec* parts, int count) {
  if (phase_ == Phase::Closed || fd_ < 0) return false;
  std::size_t total = 0;
  for (int i = 0; i < count; ++i) total += parts[i].iov_len;
  if (total == 0) return true;
  // One message of any size may wait; a write that finds more than the cap still unsent
  // means the peer does not read.
  if (queued_ > g_sendQueueCap) {
    DropLocked("the peer does not read (its send queue passed the cap)");
    return false;
  }
  if (g_queuedTotal.load() + total > g_processSendQueueCap) {
    DropLocked("the bytes queued for all connections reached their cap");
    return false;
  }
  if (queued_ == 0) {
    // The send rate is measured from the moment the peer stopped taking everything.
    sendCheck_ = Clock::now();
    flushedSinceCheck_ = 0;
  }
  if (outPos_ == out_.size()) {
    out_.clear();
    outPos_ = 0;
  }
  for (int i = 0; i < count; ++i) out_.append(static_cast<const char*>(parts[i].iov_base), parts[i].iov_len);
  queued_ += total;
  g_queuedTotal.fetch_add(total);
  return true;
}

void Connection::PumpLocked(Guard& g) {
  for (;;) {
    if (phase_ == Phase::Closed) return;
    if (writing_) {
      flushWanted_ = true;  // the owner goes on before it lets go of the write side
      return;
    }
    if (readWanted_) {
      readWanted_ = false;
      ReadLocked();
      ProcessLocked();
      continue;
    }
    if (queued_ == 0) break;
    std::size_t want = out_.size() - outPos_;
    bool throttled = false;
    if (bandwidth_) {
      std::size_t allowed = bandwidth_->Take(want);
      if (allowed == 0) {
        EventLoop::Instance().WantFastTick();
        return;
      }
      throttled = allowed < want;
      want = allowed;
    }
    std::string sending;
    sending.swap(out_);
    const std::size_t from = outPos_;
    outPos_ = 0;
    writing_ = true;
    flushWanted_ = false;
    g.unlock();
    if (t_deferred.depth == 1) WriteDeferredLogs();
    std::size_t sent = 0;
    bool again = false, failed = false;
    while (sent < want) {
      long n = IoWrite(sending.data() + from + sent, want - sent, again);
      if (again) break;
      if (n < 0) {
        failed = true;
        break;
      }
      sent += static_cast<std::size_t>(n);
    }
    g.lock();
    writing_ = false;
    if (phase_ == Phase::Closed) {
      EndWriteLocked();
      return;
    }
    queued_ -= sent;
    g_queuedTotal.fetch_sub(sent);
    flushedSinceCheck_ += sent;
    // The unsent rest goes back before whatever was queued meanwhile.
    const std::size_t rest = from + sent;
    if (rest < sending.size()) {
      if (outPos_ == out_.size()) {
        out_.swap(sending);
        outPos_ = rest;
      } else {
        out_.insert(outPos_, sending, rest, std::string::npos);
      }
    }
    if (failed) {
      TeardownLocked();
      return;
    }
    if (throttled && !again) {
      EventLoop::Instance().WantFastTick();
      if (!readWanted_) return;
      continue;
    }
    if (again && !flushWanted_ && !readWanted_) return;  // the next writable edge resumes
  }
  out_.clear();
  outPos_ = 0;
  if (closeAfterFlush_ && phase_ != Phase::Lingering) BeginLingerLocked();
}

void Connection::EndWriteLocked() {
  if (!socketDeferred_) return;
  socketDeferred_ = false;
  FreeSocketLocked();
}

void Connection::FreeSocketLocked() {
  if (ssl_) {
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

std::uint64_t Connection::QueuedBytes() {
  AfterUnlock after;
  std::lock_guard g(lock_);
  return queued_;
}

void Connection::CloseLocked(bool graceful) {
  if (phase_ == Phase::Closed) return;
  if (!graceful) {
    TeardownLocked();
    return;
  }
  if (phase_ == Phase::Lingering) return;
  closeAfterFlush_ = true;
  if (current_) {
    Requests().Erase(current_->id);
    current_.reset();
  }
  if (SendIdleLocked()) BeginLingerLocked();
}

void Connection::BeginLingerLocked() {
  // Half-close and read on for a moment: closing with unread input would reset the
  // connection and could destroy the answer before the client has read it.
  if (ssl_) {
    ERR_clear_error();
    SSL_shutdown(ssl_);
  }
  ::shutdown(fd_, SHUT_WR);
  phase_ = Phase::Lingering;
  since_ = Clock::now();
  in_.Clear();
  if (pendingRead_) FailPendingReadLocked(ERROR_CONNECTION_INVALID);
  // For the API the connection has ended now; the socket only lingers for the peer's sake.
  for (DisconnectWaiter& w : disconnectWaiters_) w.queue->Complete(w.overlapped, 0, NO_ERROR);
  disconnectWaiters_.clear();
  changed_.notify_all();
  if (peerEof_) {
    TeardownLocked();
    return;
  }
  ReadLocked();
  if (peerEof_) TeardownLocked();
}

void Connection::TeardownLocked() {
  if (phase_ == Phase::Closed) return;
  if (current_ && logRequested_) LogLocked();
  phase_ = Phase::Closed;
  if (writing_) {
    // Another thread is in a write on this socket: it frees the socket when it returns.
    socketDeferred_ = true;
    if (fd_ >= 0) EventLoop::Instance().Forget(fd_);
  } else {
    FreeSocketLocked();
  }
  // Buffers go now, not when the last reference does.
  std::string().swap(out_);
  outPos_ = 0;
  g_queuedTotal.fetch_sub(queued_);
  queued_ = 0;
  in_.Release();
  std::string().swap(decoded_);
  decodedPos_ = 0;
  FailPendingReadLocked(ERROR_CONNECTION_INVALID);
  for (DisconnectWaiter& w : disconnectWaiters_) w.queue->Complete(w.overlapped, 0, NO_ERROR);
  disconnectWaiters_.clear();
  changed_.notify_all();
  std::shared_ptr<Request> request = std::move(current_);
  if (request) {
    Requests().Erase(request->id);
    request->route.queue->Withdraw(request.get());
  }
  if (countedGroup_) {
    countedGroup_->connections.fetch_sub(1);
    countedGroup_.reset();
  }
  Connections().Erase(id_);
  EventLoop::Instance().Release(this);
  EventLoop::Instance().NoteClosed();
}

void Connection::FailPendingReadLocked(DWORD status) {
  if (!pendingRead_) return;
  PendingRead read = std::move(*pendingRead_);
  pendingRead_.reset();
  if (read.filled > 0 && status != ERROR_CONNECTION_INVALID) {
    read.queue->Complete(read.overlapped, static_cast<DWORD>(read.filled), NO_ERROR);
  } else {
    read.queue->Complete(read.overlapped, 0, status);
  }
}

void Connection::DecodeChunksLocked() {
  if (chunked_.done() || in_.empty()) return;
  std::string_view input = in_.view();
  std::size_t consumed = 0;
  auto st = chunked_.Decode(input, consumed, [&](std::size_t offset, std::size_t size) {
    decoded_.append(input.data() + offset, size);
  });
  in_.Consume(consumed);
  if (st == ChunkedDecoder::Status::Error) {
    AnswerLocked(400, false);
  }
}

bool Connection::BodyFinishedLocked() const {
  if (body_ != BodyState::Reading) return true;
  if (current_ && current_->parsed.body == BodyKind::Chunked)
    return chunked_.done() && decodedPos_ == decoded_.size();
  return bodyRemaining_ == 0;
}

std::size_t Connection::TakeBodyLocked(char* out, std::size_t size) {
  if (body_ != BodyState::Reading || size == 0) return 0;
  std::size_t n = 0;
  if (current_->parsed.body == BodyKind::Chunked) {
    DecodeChunksLocked();
    if (phase_ == Phase::Closed || phase_ == Phase::Lingering) return 0;
    n = std::min(size, decoded_.size() - decodedPos_);
    std::memcpy(out, decoded_.data() + decodedPos_, n);
    decodedPos_ += n;
    if (decodedPos_ == decoded_.size()) {
      decoded_.clear();
      decodedPos_ = 0;
    }
  } else {
    n = static_cast<std::size_t>(std::min<std::uint64_t>({size, in_.size(), bodyRemaining_}));
    if (n) std::memcpy(out, in_.data(), n);
    in_.Consume(n);
    bodyRemaining_ -= n;
  }
  if (n) bodyProgress_ = Clock::now();
  if (BodyFinishedLocked()) body_ = BodyState::Done;
  if (readPaused_) ReadLocked();
  return n;
}

void Connection::DiscardBodyLocked() {
  if (body_ != BodyState::Reading) return;
  if (bodyRemaining_ > 0) {
    auto n = static_cast<std::size_t>(std::min<std::uint64_t>(in_.size(), bodyRemaining_));
    in_.Consume(n);
    bodyRemaining_ -= n;
    if (bodyRemaining_ == 0) body_ = BodyState::Done;
  } else {
    DecodeChunksLocked();
    decoded_.clear();
    decodedPos_ = 0;
    if (chunked_.done()) body_ = BodyState::Done;
  }
  if (readPaused_) ReadLocked();
}

void Connection::SendContinueLocked() {
  if (continueSent_ || responseStarted_ || !current_ || !current_->parsed.expectContinue) return;
  continueSent_ = true;
  static constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
  iovec part{const_cast<char*>(kContinue), sizeof kContinue - 1};
  QueueLocked(&part, 1);
}

void Connection::ServePendingReadLocked() {
  if (!pendingRead_) return;
  PendingRead& read = *pendingRead_;
  if (phase_ == Phase::Opaque) {
    if (in_.empty()) return;
    std::size_t n = std::min<std::size_t>(in_.size(), read.size);  // 0: a zero-byte receive
    if (n) std::memcpy(read.buffer, in_.data(), n);
    in_.Consume(n);
    PendingRead done = std::move(read);
    pendingRead_.reset();
    done.queue->Complete(done.overlapped, static_cast<DWORD>(n), NO_ERROR);
    if (readPaused_) ReadLocked();
    return;
  }
  if (phase_ != Phase::Dispatched) return;
  read.filled += TakeBodyLocked(read.buffer + read.filled, read.size - read.filled);
  if (!pendingRead_) return;
  bool finished = BodyFinishedLocked();
  bool fill = read.flags & HTTP_RECEIVE_REQUEST_ENTITY_BODY_FLAG_FILL_BUFFER;
  if (read.filled == 0 && !finished && !peerEof_) return;
  if (fill && read.filled < read.size && !finished && !peerEof_) return;
  PendingRead done = std::move(read);
  pendingRead_.reset();
  if (done.filled > 0) {
    done.queue->Complete(done.overlapped, static_cast<DWORD>(done.filled), NO_ERROR);
  } else {
    done.queue->Complete(done.overlapped, 0, ERROR_HANDLE_EOF);
  }
}

ULONG Connection::ReceiveBody(const Request& request, ULONG flags, void* buffer, ULONG size,
                              ULONG* bytes, LPOVERLAPPED overlapped) {
  if (bytes) *bytes = 0;
  // A zero-byte receive (overlapped, on an opaque stream) holds no buffer while it waits.
  if (size == 0 ? !overlapped : !buffer) return ERROR_INVALID_PARAMETER;
  AfterUnlock after;
  Guard g(lock_);
  ULONG rc = ReceiveBodyLocked(g, request, flags, buffer, size, bytes, overlapped);
  PumpLocked(g);
  return rc;
}

ULONG Connection::ReceiveBodyLocked(Guard& g, const Request& request,
                                    ULONG flags, void* buffer, ULONG size, ULONG* bytes,
                                    LPOVERLAPPED overlapped) {
  if (current_.get() != &request || (phase_ != Phase::Dispatched && phase_ != Phase::Opaque))
    return ERROR_CONNECTION_INVALID;
  if (pendingRead_ || syncReaders_) return ERROR_INVALID_PARAMETER;  // one read at a time
  auto* out = static_cast<char*>(buffer);
  const bool fill = flags & HTTP_RECEIVE_REQUEST_ENTITY_BODY_FLAG_FILL_BUFFER;
  std::size_t filled = 0;

  auto finish = [&](ULONG rc, std::size_t n) -> ULONG {
    if (overlapped) {
      if (rc != NO_ERROR) return rc;  // no completion for an immediate failure
      request.route.queue->Complete(overlapped, static_cast<DWORD>(n), NO_ERROR);
      return ERROR_IO_PENDING;
    }
    if (bytes) *bytes = static_cast<ULONG>(n);
    return rc;
  };

  if (phase_ == Phase::Opaque) {
    if (!in_.empty()) {
      std::size_t n = std::min<std::size_t>(in_.size(), size);
      if (n) std::memcpy(out, in_.data(), n);
      in_.Consume(n);
      if (readPaused_) ReadLocked();
      return finish(NO_ERROR, n);
    }
    if (overlapped) {
      pendingRead_ = PendingRead{request.route.queue, out, size, flags, overlapped, 0};
      // Everything before the peer's end was handed up: asking for more ends the stream.
      if (peerEof_) CloseLocked(true);
      return ERROR_IO_PENDING;
    }
    if (peerEof_) {
      CloseLocked(true);
      return ERROR_CONNECTION_INVALID;
    }
    ++syncReaders_;
    {
      Sleeping sleeping;
      changed_.wait(g, [&] { return phase_ != Phase::Opaque || !in_.empty(); });
    }
    --syncReaders_;
    if (phase_ != Phase::Opaque) return ERROR_CONNECTION_INVALID;
    std::size_t n = std::min<std::size_t>(in_.size(), size);
    std::memcpy(out, in_.data(), n);
    in_.Consume(n);
    if (readPaused_) ReadLocked();
    return finish(NO_ERROR, n);
  }

  if (size == 0) return ERROR_INVALID_PARAMETER;  // a body is read into room
  if (BodyFinishedLocked()) return ERROR_HANDLE_EOF;
  SendContinueLocked();
  if (phase_ != Phase::Dispatched) return ERROR_CONNECTION_INVALID;
  filled = TakeBodyLocked(out, size);
  if (phase_ != Phase::Dispatched) return ERROR_CONNECTION_INVALID;
  auto satisfied = [&] {
    if (BodyFinishedLocked() || peerEof_) return true;
    return fill ? filled == size : filled > 0;
  };
  if (satisfied()) {
    if (filled == 0) return ERROR_HANDLE_EOF;
    return finish(NO_ERROR, filled);
  }
  if (overlapped) {
    pendingRead_ = PendingRead{request.route.queue, out, size, flags, overlapped, filled};
    return ERROR_IO_PENDING;
  }
  ++syncReaders_;
  while (phase_ == Phase::Dispatched && current_.get() == &request && !satisfied()) {
    // Bytes the loop read while this reader slept, or room for it to read more.
    if (readPaused_ || !in_.empty()) {
      filled += TakeBodyLocked(out + filled, size - filled);
      if (phase_ != Phase::Dispatched || satisfied()) break;
    }
    std::cv_status woke;
    {
      Sleeping sleeping;
      woke = changed_.wait_until(g, BodyDeadlineLocked());
    }
    if (woke == std::cv_status::timeout &&
        Clock::now() >= BodyDeadlineLocked()) {
      --syncReaders_;
      TeardownLocked();
      return ERROR_CONNECTION_INVALID;
    }
    if (phase_ == Phase::Dispatched && current_.get() == &request)
      filled += TakeBodyLocked(out + filled, size - filled);
  }
  --syncReaders_;
  if (phase_ != Phase::Dispatched || current_.get() != &request) {
    if (bytes) *bytes = static_cast<ULONG>(filled);
    return filled ? NO_ERROR : ERROR_CONNECTION_INVALID;
  }
  if (filled == 0) return ERROR_HANDLE_EOF;
  return finish(NO_ERROR, filled);
}

ULONG Connection::SendResponse(const Request& request, ULONG flags,
                               const HTTP_RESPONSE_V2* response, USHORT chunkCount,
                               const HTTP_DATA_CHUNK* chunks, ULONG* bytesSent,
                               LPOVERLAPPED overlapped, bool logData) {
  if (bytesSent) *bytesSent = 0;
  if (chunkCount && !chunks) return ERROR_INVALID_PARAMETER;
  std::uint64_t bodyBytes = 0;
  for (USHORT i = 0; i < chunkCount; ++i) {
    if (chunks[i].DataChunkType != HttpDataChunkFromMemory) return ERROR_INVALID_PARAMETER;
    if (chunks[i].FromMemory.BufferLength && !chunks[i].FromMemory.pBuffer)
      return ERROR_INVALID_PARAMETER;
    bodyBytes += chunks[i].FromMemory.BufferLength;
  }
  thread_local std::string head;
  head.clear();

  AfterUnlock after;
  Guard g(lock_);
  ULONG rc = SendResponseLocked(g, request, flags, response, chunkCount, chunks, bodyBytes, head,
                                bytesSent, overlapped, logData);
  PumpLocked(g);
  return rc;
}

ULONG Connection::SendResponseLocked(Guard& g, const Request& request,
                                     ULONG flags, const HTTP_RESPONSE_V2* response,
                                     USHORT chunkCount, const HTTP_DATA_CHUNK* chunks,
                                     std::uint64_t bodyBytes, std::string& head,
                                     ULONG* bytesSent, LPOVERLAPPED overlapped, bool logData) {
  if (current_.get() != &request || (phase_ != Phase::Dispatched && phase_ != Phase::Opaque))
    return ERROR_CONNECTION_INVALID;
  const bool disconnect = flags & HTTP_SEND_RESPONSE_FLAG_DISCONNECT;
  const bool more = flags & HTTP_SEND_RESPONSE_FLAG_MORE_DATA;
  if (response) {
    if (responseStarted_) return ERROR_INVALID_PARAMETER;
    ResponseContext ctx;
    ctx.requestMinor = request.parsed.minor;
    ctx.headRequest = request.parsed.verb == HttpVerbHEAD;
    ctx.clientKeepAlive = request.parsed.keepAlive && !peerEof_;
    ResponsePlan plan;
    ULONG rc = BuildResponseHead(*response, flags, ctx, bodyBytes, head, plan);
    if (rc != NO_ERROR) return rc;
    if (plan.delimit == Delimit::Length && !plan.final && bodyBytes > plan.bodyLength)
      return ERROR_INVALID_PARAMETER;
    plan_ = plan;
    responseStarted_ = true;
    status_ = response->StatusCode;
  } else if (!responseStarted_) {
    if (!disconnect) return ERROR_INVALID_PARAMETER;
    // Nothing was answered: the client just sees the connection close.
    CloseLocked(true);
    return overlapped && request.route.queue->Complete(overlapped, 0, NO_ERROR) ? ERROR_IO_PENDING
                                                                              : NO_ERROR;
  }
  const bool sendBody = plan_.delimit != Delimit::NoBody;
  iovec parts[1 + 8];
  int count = 0;
  if (!head.empty()) parts[count++] = iovec{head.data(), head.size()};
  std::uint64_t bodySent = 0;
  std::string joinedBody;  // only for responses of more than eight chunks
  if (sendBody && bodyBytes) {
    if (chunkCount <= 8) {
      for (USHORT i = 0; i < chunkCount; ++i) {
        if (!chunks[i].FromMemory.BufferLength) continue;
        parts[count++] = iovec{chunks[i].FromMemory.pBuffer, chunks[i].FromMemory.BufferLength};
      }
    } else {
      for (USHORT i = 0; i < chunkCount; ++i)
        joinedBody.append(static_cast<const char*>(chunks[i].FromMemory.pBuffer),
                          chunks[i].FromMemory.BufferLength);
      parts[count++] = iovec{joinedBody.data(), joinedBody.size()};
    }
    bodySent = bodyBytes;
  }
  std::uint64_t total = head.size() + bodySent;
  bytesSent_ += total;
  if (logData) logRequested_ = true;
  // The log line of a request its send ends is made now and written before the bytes go
  // out (with the lock released): once the client has its answer, the line is on file.
  const bool ends = disconnect || (!more && plan_.delimit != Delimit::Opaque && phase_ == Phase::Dispatched);
  if (ends && logRequested_) {
    LogLocked();
    logRequested_ = false;
  }
  if (count && !WriteDirectLocked(g, parts, count)) return ERROR_CONNECTION_INVALID;
  if (current_.get() != &request) return ERROR_CONNECTION_INVALID;
  if (plan_.delimit == Delimit::Opaque && phase_ == Phase::Dispatched) {
    // The connection is a raw byte stream from here on, both ways.
    phase_ = Phase::Opaque;
    body_ = BodyState::None;
    if (logRequested_) LogLocked();
    logRequested_ = false;
  }
  // The send completes before whatever its flags end (the disconnect wait, the request).
  if (overlapped) request.route.queue->Complete(overlapped, static_cast<DWORD>(total), NO_ERROR);
  if (disconnect) {
    if (logRequested_) LogLocked();
    logRequested_ = false;
    CloseLocked(true);
  } else if (!more && phase_ == Phase::Dispatched) {
    FinishResponseLocked();
  }
  if (overlapped) return ERROR_IO_PENDING;
  if (bytesSent) *bytesSent = static_cast<ULONG>(total);
  return NO_ERROR;
}

void Connection::FinishResponseLocked() {
  if (logRequested_) LogLocked();
  logRequested_ = false;
  if (current_) {
    Requests().Erase(current_->id);
    current_.reset();
  }
  responseStarted_ = false;
  if (!plan_.keepAlive || peerEof_) {
    CloseLocked(true);
    return;
  }
  since_ = Clock::now();
  if (body_ == BodyState::Reading) {
    // The application did not read the whole body: skip the rest before the next request.
    discarding_ = true;
    DiscardBodyLocked();
    if (phase_ == Phase::Closed || body_ == BodyState::Reading) return;
    discarding_ = false;
  }
  phase_ = Phase::Head;
  HandleHeadLocked();
}

bool Connection::WriteDirectLocked(Guard& g, const iovec* parts,
                                   int count) {
  if (phase_ == Phase::Closed || fd_ < 0) return false;
  if (ssl_ || bandwidth_ || !SendIdleLocked()) return QueueLocked(parts, count);
  // Nothing waits before these bytes: straight from the caller's buffers in one system
  // call, made with the lock released.
  std::size_t total = 0;
  for (int i = 0; i < count; ++i) total += parts[i].iov_len;
  writing_ = true;
  flushWanted_ = false;
  const int fd = fd_;
  g.unlock();
  if (t_deferred.depth == 1) WriteDeferredLogs();
  std::size_t written = 0;
  bool failed = false;
  for (;;) {
    msghdr msg{};
    msg.msg_iov = const_cast<iovec*>(parts);
    msg.msg_iovlen = static_cast<std::size_t>(count);
    ssize_t r = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (r >= 0) {
      written = static_cast<std::size_t>(r);
      break;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) failed = true;
    break;
  }
  g.lock();
  writing_ = false;
  if (phase_ == Phase::Closed) {
    EndWriteLocked();
    return false;
  }
  flushedSinceCheck_ += written;
  if (failed) {
    TeardownLocked();
    return false;
  }
  if (written == total) return true;
  // The rest waits in the queue, ahead of anything queued meanwhile.
  std::string before;
  if (queued_) {
    before.assign(out_, outPos_, std::string::npos);
    g_queuedTotal.fetch_sub(queued_);
    queued_ = 0;
    out_.clear();
    outPos_ = 0;
  }
  iovec rest[1 + 8 + 1];
  int n = 0;
  std::size_t skip = written;
  for (int i = 0; i < count; ++i) {
    std::size_t len = parts[i].iov_len;
    if (skip >= len) {
      skip -= len;
      continue;
    }
    rest[n++] = iovec{static_cast<char*>(parts[i].iov_base) + skip, len - skip};
    skip = 0;
  }
  if (!before.empty()) rest[n++] = iovec{before.data(), before.size()};
  return QueueLocked(rest, n);
}

ULONG Connection::WaitForDisconnect(RequestQueue* queue, LPOVERLAPPED overlapped) {
  AfterUnlock after;
  Guard g(lock_);
  if (phase_ == Phase::Closed || phase_ == Phase::Lingering) return ERROR_CONNECTION_INVALID;
  if (overlapped) {
    queue->AddRef();
    disconnectWaiters_.push_back(DisconnectWaiter{KernelRef<RequestQueue>(queue), overlapped});
    return ERROR_IO_PENDING;
  }
  Sleeping sleeping;
  changed_.wait(g, [&] { return phase_ == Phase::Closed || phase_ == Phase::Lingering; });
  return NO_ERROR;
}

void Connection::Abort() {
  AfterUnlock after;
  std::lock_guard g(lock_);
  TeardownLocked();
}

void Connection::AbortIfQueue(const RequestQueue* queue) {
  AfterUnlock after;
  std::lock_guard g(lock_);
  if (current_ && current_->route.queue.get() == queue) TeardownLocked();
}

void Connection::Refuse(const Request& request, int status) {
  AfterUnlock after;
  Guard g(lock_);
  if (current_.get() != &request) return;
  Requests().Erase(request.id);
  current_.reset();
  AnswerLocked(status, false);
  PumpLocked(g);
}

void Connection::OnTick(Clock::time_point now) {
  AfterUnlock after;
  Guard g(lock_, std::try_to_lock);
  if (!g.owns_lock()) return;  // busy now; the next tick looks again
  switch (phase_) {
    case Phase::Handshake:
      if (now - since_ > timeouts_.headerWait) TeardownLocked();
      return;
    case Phase::Head:
      if (headStart_ != Clock::time_point{}) {
        if (now - headStart_ > timeouts_.headerWait) TeardownLocked();
      } else if (now - since_ > timeouts_.idleConnection) {
        TeardownLocked();
      }
      break;
    case Phase::Body:
      // The whole body is bounded in time, not the gap between two of its bytes.
      if (now > BodyDeadlineLocked()) TeardownLocked();
      return;
    case Phase::Dispatched:
      if (discarding_) {
        if (now - since_ > timeouts_.drainEntityBody) TeardownLocked();
        break;
      }
      if (current_ && !withdrawTried_ && now - current_->queuedAt > timeouts_.requestQueue) {
        withdrawTried_ = true;
        if (current_->route.queue->Withdraw(current_.get())) {
          Requests().Erase(current_->id);
          current_.reset();
          AnswerLocked(503, false);
          return;
        }
      }
      if (pendingRead_ && body_ == BodyState::Reading && now > BodyDeadlineLocked()) {
        TeardownLocked();
        return;
      }
      break;
    case Phase::Lingering:
      if (now - since_ > kLinger) TeardownLocked();
      return;
    case Phase::Opaque:
      if (eofSeen_ && !pendingRead_ && now - eofAt_ > kEndOfStreamGrace) CloseLocked(true);
      break;
    case Phase::Closed:
      break;
  }
  if (phase_ == Phase::Closed) return;
  if (queued_) {
    if (bandwidth_) PumpLocked(g);
    if (phase_ == Phase::Closed) return;
    auto elapsed = now - sendCheck_;
    if (elapsed >= kSendRateWindow) {
      double seconds = std::chrono::duration<double>(elapsed).count();
      bool slow = static_cast<double>(flushedSinceCheck_) < timeouts_.minSendRate * seconds;
      // A throttled connection is as slow as its bandwidth allows; that is not the peer's fault.
      if (slow && !bandwidth_) {
        DropLocked("the peer takes its answers slower than the minimum send rate");
        return;
      }
      sendCheck_ = now;
      flushedSinceCheck_ = 0;
    }
  } else {
    sendCheck_ = now;
    flushedSinceCheck_ = 0;
  }
}

void Connection::LogLocked() {
  if (!current_ || !current_->route.log) return;
  const Request& r = *current_;
  W3CLogEntry e;
  e.method = std::string(r.Method());
  e.uriStem = r.cookedUrl.substr(r.pathOffset, r.pathLength);
  if (r.queryLength > 1) e.uriQuery = r.cookedUrl.substr(r.queryOffset + 1, r.queryLength - 1);
  e.status = static_cast<unsigned>(status_);
  e.clientIp = remote_.Text();
  e.clientPort = remote_.port();
  e.serverIp = local_.Text();
  e.serverPort = local_.port();
  e.userAgent.assign(r.known[HttpHeaderUserAgent].data, r.known[HttpHeaderUserAgent].size);
  e.referer.assign(r.known[HttpHeaderReferer].data, r.known[HttpHeaderReferer].size);
  e.cookie.assign(r.known[HttpHeaderCookie].data, r.known[HttpHeaderCookie].size);
  e.host.assign(r.known[HttpHeaderHost].data, r.known[HttpHeaderHost].size);
  e.version = r.parsed.minor ? "HTTP/1.1" : "HTTP/1.0";
  e.bytesSent = bytesSent_;
  e.bytesReceived = bytesReceived_;
  e.timeTaken = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - requestStart_);
  t_deferred.logs.emplace_back(r.route.log, std::move(e));
}

}  // namespace quillon::platform::detail
