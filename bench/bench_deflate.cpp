// permessage-deflate in both directions for small and 64 KiB text messages, with and without
// context takeover, and the cost of the alternative design (a fresh zlib stream per message
// primed with the last 32 KiB as a preset dictionary) that the kept-alive streams avoid.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "connection/lumWebSocket_Extensions.h"
#include "connection/lumWebSocket_Extensions_PerMessageDeflate.h"

namespace {

using quillon::TlumWSExtensions;

// Chat-like JSON text: compressible, but not trivially.
std::string Payload(std::size_t aSize, unsigned aSeed) {
  static const char* const kWords[] = {"alpha", "bravo", "charlie", "delta", "echo",
                                       "foxtrot", "golf", "hotel", "india", "juliet"};
  std::mt19937 rng(aSeed);
  std::string s;
  while (s.size() < aSize) {
    s += "{\"id\":" + std::to_string(rng() % 100000) + ",\"user\":\"" + kWords[rng() % 10] +
         "\",\"text\":\"" + kWords[rng() % 10] + " " + kWords[rng() % 10] + "\"},";
  }
  s.resize(aSize);
  return s;
}

std::unique_ptr<TlumWSExtensions> Server(const char* aOffer) {
  auto ext = std::make_unique<TlumWSExtensions>();
  ext->SetMode(quillon::appServer);
  ext->PerMessage_Deflate().SetEnabled(true);
  ext->DecodeExtensions(aOffer);
  return ext;
}

const char* Offer(bool aTakeover) {
  return aTakeover ? "permessage-deflate; client_max_window_bits"
                   : "permessage-deflate; client_max_window_bits; server_no_context_takeover; "
                     "client_no_context_takeover";
}

void BM_Compress(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const bool takeover = state.range(1) != 0;
  std::vector<std::string> messages;
  for (unsigned i = 0; i < 64; ++i) messages.push_back(Payload(size, i));
  auto ext = Server(Offer(takeover));
  std::string buffer;
  std::size_t i = 0, wire = 0;
  for (auto _ : state) {
    buffer.assign(messages[i++ % messages.size()]);
    ext->WriteStream(buffer);
    wire += buffer.size();
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
  state.counters["ratio"] = static_cast<double>(wire) / (state.iterations() * size);
}
BENCHMARK(BM_Compress)
    ->ArgNames({"size", "takeover"})
    ->Args({64, 1})
    ->Args({64, 0})
    ->Args({65536, 1})
    ->Args({65536, 0});

// Messages as a client's zlib stream would send them, decoded in order; the decoder starts
// over (untimed) when the prepared sequence runs out.
void BM_Decompress(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const bool takeover = state.range(1) != 0;
  const std::size_t count = size < 4096 ? 4096 : 64;
  std::vector<std::string> wire;
  {
    z_stream z{};
    deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    for (unsigned i = 0; i < count; ++i) {
      if (!takeover) deflateReset(&z);
      const std::string text = Payload(size, i);
      std::string out(text.size() + 1024, '\0');
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
      z.avail_in = static_cast<uInt>(text.size());
      z.next_out = reinterpret_cast<Bytef*>(out.data());
      z.avail_out = static_cast<uInt>(out.size());
      deflate(&z, Z_SYNC_FLUSH);
      out.resize(out.size() - z.avail_out - 4);
      wire.push_back(std::move(out));
    }
    deflateEnd(&z);
  }
  auto ext = Server(Offer(takeover));
  std::string buffer;
  std::size_t i = 0;
  for (auto _ : state) {
    if (i == wire.size()) {
      state.PauseTiming();
      ext = Server(Offer(takeover));
      i = 0;
      state.ResumeTiming();
    }
    buffer.assign(wire[i++]);
    ext->DecodeHeader(0xC1);
    if (!ext->ReadStream(buffer)) state.SkipWithError("limit");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_Decompress)
    ->ArgNames({"size", "takeover"})
    ->Args({64, 1})
    ->Args({64, 0})
    ->Args({65536, 1})
    ->Args({65536, 0});

// The alternative: a new deflater per message with the last 32 KiB of sent text as its
// preset dictionary. Same wire bytes for the peer, but the dictionary is hashed every time.
void BM_CompressFreshStreamWithDictionary(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  std::vector<std::string> messages;
  for (unsigned i = 0; i < 64; ++i) messages.push_back(Payload(size, i));
  std::string history, out;
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string& text = messages[i++ % messages.size()];
    z_stream z{};
    deflateInit2(&z, 1, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    if (history.size() > 32768) history.erase(0, history.size() - 32768);
    if (!history.empty())
      deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(history.data()),
                           static_cast<uInt>(history.size()));
    history += text;
    out.resize(text.size() + 1024);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_SYNC_FLUSH);
    deflateEnd(&z);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_CompressFreshStreamWithDictionary)->ArgNames({"size"})->Arg(64)->Arg(65536);

}  // namespace
