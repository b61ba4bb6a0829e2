// The request-head parser fed in pieces of arbitrary sizes, then the chunked decoder over the
// bytes after the head, also in pieces. Fed whole, both must give what they gave in pieces.
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "platform/httpapi/HttpParser.h"

using namespace quillon::platform::detail;

namespace {

struct TDecoded {
  ChunkedDecoder::Status Status;
  std::size_t Consumed;  // of the input
  std::string Data;
};

TDecoded Dechunk(std::string_view aInput, fuzz::TPieces* aPieces) {
  ChunkedDecoder decoder;
  TDecoded out{ChunkedDecoder::Status::NeedMore, 0, {}};
  while (out.Consumed < aInput.size()) {
    const std::size_t n = aPieces ? aPieces->Next() : aInput.size();
    const std::string_view piece = aInput.substr(out.Consumed, n);
    std::size_t consumed = 0;
    out.Status = decoder.Decode(piece, consumed, [&](std::size_t aAt, std::size_t aLength) {
      FUZZ_CHECK(aAt + aLength <= piece.size());
      out.Data.append(piece.substr(aAt, aLength));
    });
    FUZZ_CHECK(consumed <= piece.size());
    out.Consumed += consumed;
    if (out.Status != ChunkedDecoder::Status::NeedMore) break;
    FUZZ_CHECK(consumed == piece.size());  // NeedMore takes the whole piece
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  fuzz::TInput in(aData, aSize);
  fuzz::TPieces pieces(in.Byte(), 64);
  const std::string_view input = in.Rest();

  RequestHeadParser parser;
  ParseStatus status = ParseStatus::NeedMore;
  std::size_t have = 0;
  while (have < input.size() && status == ParseStatus::NeedMore) {
    have = std::min(input.size(), have + pieces.Next());
    status = parser.Feed(input.substr(0, have));
  }
  if (status == ParseStatus::Error) {
    FUZZ_CHECK(parser.errorStatus() >= 400 && parser.errorStatus() <= 599);
    return 0;
  }
  if (status != ParseStatus::Done) return 0;

  const RequestHead& head = parser.head();
  FUZZ_CHECK(head.headLength <= have);
  FUZZ_CHECK(head.urlOffset + head.urlLength <= head.headLength);
  FUZZ_CHECK(head.methodOffset + head.methodLength <= head.headLength);
  for (const HeaderField& f : head.headers) {
    FUZZ_CHECK(f.nameOffset + f.nameLength <= head.headLength);
    FUZZ_CHECK(f.valueOffset + f.valueLength <= head.headLength);
  }
  RequestHeadParser whole;
  FUZZ_CHECK(whole.Feed(input) == ParseStatus::Done);
  FUZZ_CHECK(whole.head().headLength == head.headLength);
  FUZZ_CHECK(whole.head().headers.size() == head.headers.size());
  FUZZ_CHECK(whole.head().body == head.body && whole.head().contentLength == head.contentLength);

  if (head.body == BodyKind::Chunked) {
    const std::string_view body = input.substr(head.headLength);
    const TDecoded inPieces = Dechunk(body, &pieces);
    const TDecoded atOnce = Dechunk(body, nullptr);
    FUZZ_CHECK(inPieces.Status == atOnce.Status);
    if (atOnce.Status != ChunkedDecoder::Status::Error) {
      FUZZ_CHECK(inPieces.Data == atOnce.Data);
      FUZZ_CHECK(inPieces.Consumed == atOnce.Consumed);
    }
  }
  return 0;
}
