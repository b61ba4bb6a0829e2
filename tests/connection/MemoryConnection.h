// Test fixture: a server connection over an in-memory transport. Bytes fed in run the
// real reader; every WriteBytes is kept as one frame. Plus helpers to build client frames
// and to split server output into frames. Like the real transport it may be written to and
// ended from several threads at once (timers, broadcasts, the reader).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "connection/lumWebSocket_Classes_Server.h"
#include "util/lumWebSocket_Exception.h"

namespace quillon::test {

class TMemoryConnection : public TlumWSConnectionServer_Base {
 public:
  std::atomic<bool> Attached{true};
  std::atomic<int> DisconnectPeerCount{0};
  // One entry per WriteBytes. Read it directly only when no other thread writes; otherwise
  // use AllWritten.
  std::vector<std::string> Writes;
  std::atomic<bool> FailWrites{false};
  std::string LastStatus;

  // Enabled RFC 6455 connection, as after a successful upgrade.
  void Open() {
    SetTransport(trpRFC6455);
    SetEnabled(true);
  }
  void SetEnabledForTest(bool v) { SetEnabled(v); }

  // Feeds bytes as one receive and runs the reader, as the transport's completion does.
  void Feed(std::string_view aBytes) {
    ReceiveBytes(aBytes.data(), aBytes.size());
    ReadData(false);
  }
  std::string AllWritten() const {
    std::lock_guard hold(FWritesLock);
    std::string out;
    for (const auto& w : Writes) out += w;
    return out;
  }

  bool GetActive() override { return Attached; }
  std::string GetIP() override { return "127.0.0.1"; }
  std::string GetLocalIP() override { return "127.0.0.1"; }
  int GetLocalPort() override { return 80; }
  int GetPort() override { return 50000; }
  bool HasPeer() override { return Attached; }
  void DisconnectPeer() override {
    ++DisconnectPeerCount;
    Attached = false;
  }
  void WriteBytes(std::string_view aBytes) override {
    if (FailWrites) throw std::runtime_error("peer gone");
    std::lock_guard hold(FWritesLock);
    Writes.emplace_back(aBytes);
    AddSendBytes(static_cast<std::int64_t>(aBytes.size()));
  }
  void SendHTTPContent(std::string_view, std::string_view) override {}
  void SendHTTPStatus(int aCode, std::string_view) override { LastStatus = std::to_string(aCode); }
  void SendHTTPRedirect(std::string_view) override {}
  void SendHTTPUnauthorized() override {}
  void ReadData(bool aRequireMask) override {
    if (!Enabled()) {
      DoHandshake();
      return;
    }
    ReadFrames(aRequireMask);
  }
  TlumWSHandShakeServer_Base& GetHandShake() override {
    if (!FHandShake) FHandShake = std::make_unique<TlumWSHandShakeServer_Base>(FHeadersRequest);
    return *FHandShake;
  }

 private:
  std::unique_ptr<TlumWSHandShakeServer_Base> FHandShake;
  mutable std::mutex FWritesLock;
};

struct TFree {
  void operator()(TlumTCPConnection_Base* c) const { c->Free(); }
};
using TConnectionPtr = std::unique_ptr<TMemoryConnection, TFree>;

inline TConnectionPtr NewConnection() {
  TConnectionPtr c(new TMemoryConnection());
  c->Open();
  return c;
}

// A client frame: first byte, payload, masked with the key unless aMasked is false. Built
// here from the RFC 6455 layout, not with the library's encoder, so that a fault there
// cannot hide itself in the tests.
inline std::string ClientFrame(std::uint8_t aFirstByte, std::string_view aPayload,
                               bool aMasked = true,
                               const std::uint8_t aKey[4] = nullptr) {
  static const std::uint8_t kKey[4] = {0x37, 0xfa, 0x21, 0x3d};
  const std::uint8_t* key = aKey != nullptr ? aKey : kKey;
  const std::uint64_t n = aPayload.size();
  const char maskBit = aMasked ? '\x80' : '\x00';
  std::string out(1, static_cast<char>(aFirstByte));
  if (n < 126) {
    out += static_cast<char>(maskBit | static_cast<char>(n));
  } else if (n < 65536) {
    out += static_cast<char>(maskBit | 126);
    for (int shift = 8; shift >= 0; shift -= 8) out += static_cast<char>((n >> shift) & 0xFF);
  } else {
    out += static_cast<char>(maskBit | 127);
    for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>((n >> shift) & 0xFF);
  }
  if (!aMasked) return out + std::string(aPayload);
  out.append(reinterpret_cast<const char*>(key), 4);
  for (std::size_t i = 0; i < aPayload.size(); ++i)
    out += static_cast<char>(aPayload[i] ^ static_cast<char>(key[i % 4]));
  return out;
}

struct TFrame {
  std::uint8_t FirstByte;
  std::string Payload;
};

// Splits unmasked frames written by the server.
inline std::vector<TFrame> ParseFrames(std::string_view aBytes) {
  std::vector<TFrame> out;
  std::size_t i = 0;
  while (i + 2 <= aBytes.size()) {
    const std::uint8_t b0 = static_cast<std::uint8_t>(aBytes[i]);
    std::uint64_t len = static_cast<std::uint8_t>(aBytes[i + 1]) & 0x7F;
    i += 2;
    const int extra = len == 126 ? 2 : len == 127 ? 8 : 0;
    if (extra > 0) {
      len = 0;
      for (int k = 0; k < extra; ++k) len = (len << 8) | static_cast<std::uint8_t>(aBytes[i + k]);
      i += extra;
    }
    out.push_back({b0, std::string(aBytes.substr(i, len))});
    i += len;
  }
  return out;
}

}  // namespace quillon::test
