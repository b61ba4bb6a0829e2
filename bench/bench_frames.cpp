// Frame codec hot path: masked client frames decoded into message events, frames encoded
// by WriteData, and UTF-8 validation; small and 64 KiB payloads.
#include <benchmark/benchmark.h>

#include <string>

#include "connection/lumWebSocket_Classes_Server.h"
#include "connection/lumWebSocket_UTF8.h"

namespace {

using namespace quillon;

// A connection whose transport drops what is written.
class TSinkConnection : public TlumWSConnectionServer_Base {
 public:
  std::size_t Written = 0;
  void Open() {
    SetTransport(trpRFC6455);
    SetEnabled(true);
  }
  bool GetActive() override { return true; }
  std::string GetIP() override { return {}; }
  std::string GetLocalIP() override { return {}; }
  int GetLocalPort() override { return 0; }
  int GetPort() override { return 0; }
  bool HasPeer() override { return true; }
  void DisconnectPeer() override {}
  void WriteBytes(std::string_view aBytes) override { Written += aBytes.size(); }
  void SendHTTPContent(std::string_view, std::string_view) override {}
  void SendHTTPStatus(int, std::string_view) override {}
  void SendHTTPRedirect(std::string_view) override {}
  void SendHTTPUnauthorized() override {}
  void ReadData(bool aRequireMask) override { ReadFrames(aRequireMask); }
  TlumWSHandShakeServer_Base& GetHandShake() override { throw std::logic_error("no handshake"); }
};

struct TFree {
  void operator()(TlumTCPConnection_Base* c) const { c->Free(); }
};

std::string MaskedFrame(std::uint8_t aFirstByte, const std::string& aPayload) {
  const std::uint8_t key[4] = {0x12, 0x34, 0x56, 0x78};
  std::uint8_t header[14];
  const std::size_t h = detail::EncodeFrameHeader(aFirstByte, aPayload.size(), key, header);
  std::string frame(reinterpret_cast<const char*>(header), h);
  std::string payload = aPayload;
  detail::MaskBytes(reinterpret_cast<std::uint8_t*>(payload.data()), payload.size(), key, 0);
  return frame + payload;
}

void DecodeMasked(benchmark::State& state, std::uint8_t aFirstByte, bool aValidate) {
  std::unique_ptr<TSinkConnection, TFree> c(new TSinkConnection());
  c->Open();
  c->SetValidateUTF8(aValidate);
  std::size_t delivered = 0;
  c->OnMessage = [&](TlumWSConnection*, const std::string& t) { delivered += t.size(); };
  c->OnBinary = [&](TlumWSConnection*, TBytesView d) { delivered += d.size(); };
  const std::string frame =
      MaskedFrame(aFirstByte, std::string(static_cast<std::size_t>(state.range(0)), 'a'));
  for (auto _ : state) {
    // Arrives as the transport delivers it: in receive-sized pieces.
    for (std::size_t at = 0; at < frame.size(); at += 16384) {
      const std::size_t n = std::min<std::size_t>(16384, frame.size() - at);
      c->ReceiveBytes(frame.data() + at, n);
      c->ReadFrames(false);
    }
  }
  benchmark::DoNotOptimize(delivered);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}

void BM_DecodeMaskedText(benchmark::State& state) { DecodeMasked(state, 0x81, true); }
void BM_DecodeMaskedBinary(benchmark::State& state) { DecodeMasked(state, 0x82, false); }
BENCHMARK(BM_DecodeMaskedText)->Arg(16)->Arg(64 * 1024);
BENCHMARK(BM_DecodeMaskedBinary)->Arg(16)->Arg(64 * 1024);

void BM_EncodeText(benchmark::State& state) {
  std::unique_ptr<TSinkConnection, TFree> c(new TSinkConnection());
  c->Open();
  const std::string text(static_cast<std::size_t>(state.range(0)), 'a');
  for (auto _ : state) c->WriteData(text);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_EncodeText)->Arg(16)->Arg(64 * 1024);

void BM_EncodeMaskedBinary(benchmark::State& state) {
  std::unique_ptr<TSinkConnection, TFree> c(new TSinkConnection());
  c->Open();
  c->SetMasked(true);
  const std::string data(static_cast<std::size_t>(state.range(0)), 'b');
  for (auto _ : state) c->WriteData(AsBytes(data));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_EncodeMaskedBinary)->Arg(16)->Arg(64 * 1024);

void BM_ValidateUTF8(benchmark::State& state) {
  // range(1): 0 ASCII only, 1 mixed with two-, three- and four-byte sequences.
  std::string text;
  const std::string mixed = "abc \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 xyz";
  while (text.size() < static_cast<std::size_t>(state.range(0))) text += state.range(1) ? mixed : "abcdefgh";
  bool ok = true;
  for (auto _ : state) ok &= IsValidUTF8(text);
  benchmark::DoNotOptimize(ok);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ValidateUTF8)->Args({64 * 1024, 0})->Args({64 * 1024, 1})->Args({16, 0});

}  // namespace
