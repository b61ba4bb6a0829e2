// The frame reader over the in-memory transport, in every mode: no extension,
// permessage-deflate (with and without context takeover), deflate-frame; UTF-8 validation on
// or off; each fragment policy; a message-size limit or none; masks required or not. The
// bytes arrive in pieces of arbitrary sizes. What the application is given must keep the
// promises of the mode: valid UTF-8 when validating, nothing above the limit, nothing after
// the connection closed.
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "connection/MemoryConnection.h"
#include "connection/lumWebSocket_Extensions.h"
#include "connection/lumWebSocket_Extensions_DeflateFrame.h"
#include "connection/lumWebSocket_Extensions_PerMessageDeflate.h"
#include "connection/lumWebSocket_UTF8.h"

using namespace quillon;
using namespace quillon::test;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  fuzz::TInput in(aData, aSize);
  const std::uint8_t mode = in.Byte();
  fuzz::TPieces pieces(in.Byte(), 200);
  const int ext = mode & 3;
  const bool validate = (mode & 4) != 0;
  const TwsFragmentedMessages fragments =
      (mode >> 3 & 3) == 1 ? frgOnlyFragmented : (mode >> 3 & 3) == 2 ? frgAll : frgOnlyBuffer;
  const bool clean = (mode & 0x20) != 0;
  const int limit = (mode & 0x40) != 0 ? 4096 : 0;
  const bool requireMask = (mode & 0x80) != 0;

  TConnectionPtr c = NewConnection();
  if (ext != 0) {
    c->Extensions().SetMode(appServer);
    c->Extensions().PerMessage_Deflate().SetEnabled(ext == 1 || ext == 2);
    c->Extensions().DeflateFrame().SetEnabled(ext == 3);
    c->Extensions().DecodeExtensions(ext == 1   ? "permessage-deflate"
                                     : ext == 2 ? "permessage-deflate; client_no_context_takeover; "
                                                  "client_max_window_bits=9"
                                                : "x-webkit-deflate-frame");
    FUZZ_CHECK(c->Extensions().ExtensionNegotiated());
  }
  c->SetValidateUTF8(validate);
  c->SetFragmentedMessages(fragments);
  c->SetCleanDisconnect(clean);
  c->SetMaxMessageSize(limit);

  bool closed = false;
  auto delivered = [&](std::string_view aData, bool aText, bool aWhole) {
    FUZZ_CHECK(!closed);
    if (limit > 0) FUZZ_CHECK(aData.size() <= static_cast<std::size_t>(limit));
    if (validate && aText && aWhole) FUZZ_CHECK(IsValidUTF8(aData));
  };
  c->OnMessage = [&](TlumWSConnection*, const std::string& aText) { delivered(aText, true, true); };
  c->OnBinary = [&](TlumWSConnection*, TBytesView aBytes) {
    delivered(AsText(aBytes), false, true);
  };
  c->OnFragmented = [&](TlumWSConnection*, TBytesView aBytes, TOpcode, bool) {
    delivered(AsText(aBytes), false, false);
  };

  const std::string_view wire = in.Rest();
  for (std::size_t at = 0; at < wire.size() && !closed;) {
    const std::size_t n = std::min(pieces.Next(), wire.size() - at);
    try {
      c->ReceiveBytes(wire.data() + at, n);
      c->ReadFrames(requireMask);
    } catch (const TlumWSException&) {
      // A protocol error: the connection is closed below.
    }
    at += n;
    closed = c->Disconnected();
  }
  if (closed) FUZZ_CHECK(c->DisconnectPeerCount <= 1);
  // What the server wrote back is whole frames, a close frame last if it closed cleanly.
  const std::string written = c->AllWritten();
  const auto frames = ParseFrames(written);
  if (closed && clean && !frames.empty()) FUZZ_CHECK(frames.back().FirstByte == 0x88);
  return 0;
}
