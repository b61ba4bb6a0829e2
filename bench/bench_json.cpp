// JSON reading and writing: the token answer the OAuth2 endpoint builds per request, and a
// larger document of nested records to show how reading and writing scale.
#include "util/lumJSON.h"

#include <benchmark/benchmark.h>

#include <string>

using namespace quillon;

namespace {

const std::string kTokenResponse =
    R"({"token_type":"Bearer","access_token":"9F1C2B7A4E6D4F0B8A3C5D7E9F1A2B3C",)"
    R"("expires_in":3600,"refresh_token":"0A1B2C3D4E5F60718293A4B5C6D7E8F9","scope":"read write"})";

std::string LargeDocument(int aRecords) {
  std::string text = "[";
  for (int i = 0; i < aRecords; ++i) {
    if (i) text += ",\n";
    const std::string n = std::to_string(i);
    text += R"(  {"id":)" + n + R"(,"guid":"4F2A9C1E7B3D4E5F8A6B0C1D2E3F4A)" + n +
            R"(","name":"client application )" + n +
            R"(","redirect_uri":"https://example.test/callback/)" + n +
            R"(","active":true,"score":)" + n + R"(.25,"scopes":["read","write","admin"],)" +
            R"("limits":{"requests":1000,"burst":50,"window":"1m"},"note":null})";
  }
  return text + "]";
}

void BM_ReadTokenResponse(benchmark::State& state) {
  TlumOwned<TlumJSON> doc(new TlumJSON(nullptr));
  for (auto _ : state) {
    doc->Read(kTokenResponse);
    benchmark::DoNotOptimize(doc->Count());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTokenResponse.size()));
}
BENCHMARK(BM_ReadTokenResponse);

// Build and write, as the token endpoint does for each answer.
void BM_WriteTokenResponse(benchmark::State& state) {
  for (auto _ : state) {
    TlumOwned<TlumJSON> doc(new TlumJSON(nullptr));
    doc->AddPair("token_type", "Bearer");
    doc->AddPair("access_token", "9F1C2B7A4E6D4F0B8A3C5D7E9F1A2B3C");
    doc->AddPair("expires_in", 3600);
    doc->AddPair("refresh_token", "0A1B2C3D4E5F60718293A4B5C6D7E8F9");
    doc->AddPair("scope", "read write");
    std::string text = doc->Text();
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_WriteTokenResponse);

void BM_WriteEscapedTokenResponse(benchmark::State& state) {
  for (auto _ : state) {
    TlumOwned<TlumJSON> doc(new TlumJSON(nullptr));
    doc->SetEscapeStrings(true);
    doc->AddPair("token_type", "Bearer");
    doc->AddPair("access_token", "9F1C2B7A4E6D4F0B8A3C5D7E9F1A2B3C");
    doc->AddPair("expires_in", 3600);
    doc->AddPair("redirect_uri", "https://example.test/callback/caf\xC3\xA9");
    doc->AddPair("scope", "read write");
    std::string text = doc->Text();
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_WriteEscapedTokenResponse);

void BM_ReadLargeDocument(benchmark::State& state) {
  const std::string text = LargeDocument(static_cast<int>(state.range(0)));
  TlumOwned<TlumJSON> doc(new TlumJSON(nullptr));
  for (auto _ : state) {
    doc->Read(text);
    benchmark::DoNotOptimize(doc->Count());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadLargeDocument)->Arg(10)->Arg(200);

void BM_WriteLargeDocument(benchmark::State& state) {
  TlumOwned<TlumJSON> doc(new TlumJSON(nullptr));
  doc->Read(LargeDocument(static_cast<int>(state.range(0))));
  std::size_t size = 0;
  for (auto _ : state) {
    std::string text = doc->Text();
    size = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_WriteLargeDocument)->Arg(10)->Arg(200);

}  // namespace
