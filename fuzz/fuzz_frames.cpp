// The frame reader over the in-memory transport, in every mode: no extension,
// permessage-deflate (with and without context takeover), deflate-frame; UTF-8 validation on
// or off; each fragment policy; a message-size limit or none; masks required or not. The
// bytes arrive in pieces of arbitrary sizes. What the application is given must keep the
// promises of the mode: valid UTF-8 when validating, nothing above the limit, nothing after
// the connection closed; and fed whole it must do exactly what it did in pieces.
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

namespace {

struct TConfig {
  int Ext;
  bool Validate;
  TwsFragmentedMessages Fragments;
  bool Clean;
  int Limit;
  bool RequireMask;
};

// What the application was given and what the server wrote, for one run.
struct TRun {
  std::vector<std::string> Events;
  std::string Written;
  bool Closed = false;
};

TRun Run(const TConfig& aConfig, std::string_view aWire, fuzz::TPieces* aPieces) {
  TConnectionPtr c = NewConnection();
  if (aConfig.Ext != 0) {
    c->Extensions().SetMode(appServer);
    c->Extensions().PerMessage_Deflate().SetEnabled(aConfig.Ext == 1 || aConfig.Ext == 2);
    c->Extensions().DeflateFrame().SetEnabled(aConfig.Ext == 3);
    c->Extensions().DecodeExtensions(aConfig.Ext == 1   ? "permessage-deflate"
                                     : aConfig.Ext == 2 ? "permessage-deflate; client_no_context_takeover; "
                                                          "client_max_window_bits=9"
                                                        : "x-webkit-deflate-frame");
    FUZZ_CHECK(c->Extensions().ExtensionNegotiated());
  }
  c->SetValidateUTF8(aConfig.Validate);
  c->SetFragmentedMessages(aConfig.Fragments);
  c->SetCleanDisconnect(aConfig.Clean);
  c->SetMaxMessageSize(aConfig.Limit);

  TRun run;
  auto delivered = [&](char aKind, std::string_view aData, bool aText, bool aWhole) {
    FUZZ_CHECK(!run.Closed);
    if (aConfig.Limit > 0) FUZZ_CHECK(aData.size() <= static_cast<std::size_t>(aConfig.Limit));
    if (aConfig.Validate && aText && aWhole) FUZZ_CHECK(IsValidUTF8(aData));
    run.Events.push_back(aKind + std::string(aData));
  };
  c->OnMessage = [&](TlumWSConnection*, const std::string& aText) {
    delivered('t', aText, true, true);
  };
  c->OnBinary = [&](TlumWSConnection*, TBytesView aBytes) {
    delivered('b', AsText(aBytes), false, true);
  };
  c->OnFragmented = [&](TlumWSConnection*, TBytesView aBytes, TOpcode aOpCode, bool aMore) {
    delivered(aMore ? 'f' : 'F', std::string(1, static_cast<char>(aOpCode)) + std::string(AsText(aBytes)),
              false, false);
  };

  for (std::size_t at = 0; at < aWire.size() && !run.Closed;) {
    const std::size_t n = std::min(aPieces ? aPieces->Next() : aWire.size(), aWire.size() - at);
    try {
      c->ReceiveBytes(aWire.data() + at, n);
      c->ReadFrames(aConfig.RequireMask);
    } catch (const TlumWSException&) {
      // A protocol error: the connection is closed.
    }
    at += n;
    run.Closed = c->Disconnected();
  }
  if (run.Closed) FUZZ_CHECK(c->DisconnectPeerCount <= 1);
  run.Written = c->AllWritten();
  // Whole frames, a close frame last when it closed cleanly.
  const auto frames = ParseFrames(run.Written);
  if (run.Closed && aConfig.Clean && !frames.empty()) FUZZ_CHECK(frames.back().FirstByte == 0x88);
  return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  fuzz::TInput in(aData, aSize);
  const std::uint8_t mode = in.Byte();
  fuzz::TPieces pieces(in.Byte(), 200);
  const TConfig config{mode & 3,
                       (mode & 4) != 0,
                       (mode >> 3 & 3) == 1   ? frgOnlyFragmented
                       : (mode >> 3 & 3) == 2 ? frgAll
                                              : frgOnlyBuffer,
                       (mode & 0x20) != 0,
                       (mode & 0x40) != 0 ? 4096 : 0,
                       (mode & 0x80) != 0};
  const std::string_view wire = in.Rest();
  const TRun inPieces = Run(config, wire, &pieces);
  // How the bytes were cut into reads changes nothing the peer or the application sees.
  const TRun whole = Run(config, wire, nullptr);
  FUZZ_CHECK(inPieces.Events == whole.Events);
  FUZZ_CHECK(inPieces.Written == whole.Written);
  FUZZ_CHECK(inPieces.Closed == whole.Closed);
  return 0;
}
