// The server handshake over arbitrary header lines (the input, one line per "\n"; the first
// configuration byte picks the server's protocols, origin masks and extensions), and the
// extension negotiation over an arbitrary Sec-WebSocket-Extensions value. Nothing a client
// sends may reach the answer as a line break (the engine has already refused CR and NUL
// inside a line, so they are blanked here).
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "connection/MemoryConnection.h"
#include "connection/lumWebSocket_Extensions.h"
#include "connection/lumWebSocket_Extensions_DeflateFrame.h"
#include "connection/lumWebSocket_Extensions_PerMessageDeflate.h"

using namespace quillon;
using namespace quillon::test;

namespace {

void CheckLines(const std::vector<std::string>& aLines) {
  for (const std::string& line : aLines)
    FUZZ_CHECK(line.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
}

void Extensions(std::uint8_t aMode, std::string_view aValue) {
  TlumWSExtensions ext;
  ext.SetMode(appServer);
  ext.PerMessage_Deflate().SetEnabled((aMode & 1) != 0);
  ext.DeflateFrame().SetEnabled((aMode & 2) != 0);
  try {
    ext.DecodeExtensions(aValue);
  } catch (const std::exception&) {
    return;  // a bad parameter fails the handshake (the dispatch answers 400)
  }
  std::vector<std::string> header;
  ext.WriteHeader(header);
  CheckLines(header);
  if (!ext.ExtensionNegotiated()) FUZZ_CHECK(header.empty());
  // A negotiated extension must be able to carry a message both ways.
  if (ext.Compression()) {
    std::string data = "Hello, Hello, Hello";
    std::uint8_t first = 0x81;
    ext.EncodeHeader(first);
    ext.WriteStream(data);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  fuzz::TInput in(aData, aSize);
  const std::uint8_t mode = in.Byte();
  // The engine refuses CR and NUL inside header lines: they never get this far.
  std::string text(in.Rest());
  for (char& ch : text)
    if (ch == '\r' || ch == '\0') ch = ' ';

  std::vector<std::string> lines;
  for (std::size_t at = 0; at <= text.size();) {
    std::size_t nl = text.find('\n', at);
    if (nl == std::string_view::npos) nl = text.size();
    lines.emplace_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  Extensions(mode, text);

  TConnectionPtr c(new TMemoryConnection());
  c->HeadersRequest() = lines;
  c->SetProtocol((mode & 4) != 0 ? "chat,superchat" : "");
  c->SetServerOriginsAllowed((mode & 8) != 0 ? "http://*.example.com,https://a.b" : "");
  if ((mode & 0x30) != 0) {
    c->Extensions().SetMode(appServer);
    c->Extensions().PerMessage_Deflate().SetEnabled((mode & 0x10) != 0);
    c->Extensions().DeflateFrame().SetEnabled((mode & 0x20) != 0);
  }
  try {
    c->ReadData(true);
  } catch (const std::exception&) {
    return 0;  // refused: the dispatch answers 400
  }
  CheckLines(c->HeadersResponse());
  return 0;
}
