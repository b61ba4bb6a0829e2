// Incremental parser of an HTTP/1.x request head (request line and header block) and a
// decoder of chunked bodies. Pure: no I/O, no allocation beyond the header list, so it can be
// fed arbitrary bytes (and fuzzed). Errors carry the status the engine answers with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/httpapi/http.h"

namespace quillon::platform::detail {

struct HttpLimits {
  std::size_t maxRequestLine = 8 * 1024;   // beyond: 414
  std::size_t maxHeadBytes = 16 * 1024;    // request line and headers; beyond: 431
  std::size_t maxHeaderCount = 200;        // beyond: 431
};

enum class BodyKind { None, Length, Chunked };

struct HeaderField {
  std::uint32_t nameOffset, nameLength;
  std::uint32_t valueOffset, valueLength;  // trimmed of surrounding blanks
  int knownId;                             // HTTP_HEADER_ID of a request header, or -1
};

struct RequestHead {
  HTTP_VERB verb = HttpVerbUnparsed;
  std::uint32_t methodOffset = 0, methodLength = 0;
  std::uint32_t urlOffset = 0, urlLength = 0;
  USHORT major = 1, minor = 1;
  std::vector<HeaderField> headers;
  std::size_t headLength = 0;  // bytes up to and including the empty line
  BodyKind body = BodyKind::None;
  std::uint64_t contentLength = 0;
  bool keepAlive = true;       // as the client asks (version and Connection header)
  bool expectContinue = false;
  bool upgrade = false;        // Connection: upgrade
};

enum class ParseStatus { NeedMore, Done, Error };

class RequestHeadParser {
 public:
  explicit RequestHeadParser(HttpLimits limits = {}) : limits_(limits) {}

  // `data` is everything buffered since the start of this request (it only grows between
  // calls). Done: head() is valid and head().headLength bytes belong to it.
  ParseStatus Feed(std::string_view data);
  int errorStatus() const { return errorStatus_; }
  const RequestHead& head() const { return head_; }
  // Bytes of leading blank lines skipped before the request line (part of headLength).
  void Reset();

 private:
  ParseStatus Fail(int status) {
    errorStatus_ = status;
    return ParseStatus::Error;
  }
  ParseStatus ParseHead(std::string_view data, std::size_t end);

  HttpLimits limits_;
  std::size_t scanned_ = 0;
  bool sawRequestLineEnd_ = false;
  int errorStatus_ = 0;
  RequestHead head_;
};

// Request header id for a name (any letter case), or -1.
int KnownRequestHeaderId(std::string_view name);
// Canonical name of a request header id ("Content-Length").
std::string_view KnownRequestHeaderName(int id);
// Canonical name of a response header id.
std::string_view KnownResponseHeaderName(int id);
// Known verb for a method token, else HttpVerbUnknown.
HTTP_VERB VerbFromMethod(std::string_view method);
std::string_view MethodFromVerb(HTTP_VERB verb);

// Chunked transfer coding, de-chunked in place of the caller's choice.
class ChunkedDecoder {
 public:
  enum class Status { NeedMore, Done, Error };

  // Consumes input bytes; data bytes are reported by (offset, length) pieces in `input`
  // through `sink`. Returns Done once the last chunk and trailers are through.
  template <class Sink>
  Status Decode(std::string_view input, std::size_t& consumed, Sink&& sink);
  bool done() const { return state_ == State::Done; }

 private:
  enum class State { Size, SizeExt, SizeLf, Data, DataCr, DataLf, Trailer, TrailerLf, Done };
  State state_ = State::Size;
  std::uint64_t remaining_ = 0;
  unsigned sizeDigits_ = 0;
  std::size_t lineLength_ = 0;
};

template <class Sink>
ChunkedDecoder::Status ChunkedDecoder::Decode(std::string_view in, std::size_t& consumed,
                                              Sink&& sink) {
  std::size_t i = 0;
  constexpr std::size_t kMaxLine = 4096;
  while (i < in.size()) {
    char c = in[i];
    switch (state_) {
      case State::Size: {
        int digit = (c >= '0' && c <= '9')   ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
        if (digit >= 0) {
          if (++sizeDigits_ > 15) return Status::Error;  // no chunk above 2^60
          remaining_ = remaining_ * 16 + static_cast<unsigned>(digit);
          ++i;
        } else if (sizeDigits_ == 0) {
          return Status::Error;
        } else if (c == ';' || c == ' ' || c == '\t') {
          state_ = State::SizeExt;
          lineLength_ = 0;
        } else if (c == '\r') {
          state_ = State::SizeLf;
          ++i;
        } else if (c == '\n') {
          state_ = remaining_ ? State::Data : State::Trailer;
          lineLength_ = 0;
          ++i;
        } else {
          return Status::Error;
        }
        break;
      }
      case State::SizeExt:
        if (c == '\r') {
          state_ = State::SizeLf;
        } else if (c == '\n') {
          state_ = remaining_ ? State::Data : State::Trailer;
          lineLength_ = 0;
        } else if (++lineLength_ > kMaxLine || c == '\0') {
          return Status::Error;
        }
        ++i;
        break;
      case State::SizeLf:
        if (c != '\n') return Status::Error;
        state_ = remaining_ ? State::Data : State::Trailer;
        lineLength_ = 0;
        ++i;
        break;
      case State::Data: {
        std::size_t n = in.size() - i;
        if (n > remaining_) n = static_cast<std::size_t>(remaining_);
        sink(i, n);
        i += n;
        remaining_ -= n;
        if (remaining_ == 0) state_ = State::DataCr;
        break;
      }
      case State::DataCr:
        if (c == '\r') {
          state_ = State::DataLf;
        } else if (c == '\n') {
          state_ = State::Size;
          sizeDigits_ = 0;
        } else {
          return Status::Error;
        }
        ++i;
        break;
      case State::DataLf:
        if (c != '\n') return Status::Error;
        state_ = State::Size;
        sizeDigits_ = 0;
        ++i;
        break;
      case State::Trailer:
        // Trailer lines are skipped; an empty line ends the body.
        if (c == '\r') {
          state_ = State::TrailerLf;
        } else if (c == '\n') {
          if (lineLength_ == 0) {
            state_ = State::Done;
            consumed = i + 1;
            return Status::Done;
          }
          lineLength_ = 0;
        } else if (++lineLength_ > kMaxLine) {
          return Status::Error;
        }
        ++i;
        break;
      case State::TrailerLf:
        if (c != '\n') return Status::Error;
        ++i;
        if (lineLength_ == 0) {
          state_ = State::Done;
          consumed = i;
          return Status::Done;
        }
        lineLength_ = 0;
        state_ = State::Trailer;
        break;
      case State::Done:
        consumed = i;
        return Status::Done;
    }
  }
  consumed = i;
  return state_ == State::Done ? Status::Done : Status::NeedMore;
}

}  // namespace quillon::platform::detail
