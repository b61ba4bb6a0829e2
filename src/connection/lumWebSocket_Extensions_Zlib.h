// Raw DEFLATE streams for the compression extensions, kept alive across messages so that the
// LZ77 window itself is the history a peer's context takeover relies on. Not an extension:
// negotiation and frame marking are in lumWebSocket_Extensions*.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

struct z_stream_s;

namespace quillon::detail {

// A zlib call failed; the message is "ZLib Error (<code>)".
class TwsZlibError : public std::runtime_error {
 public:
  explicit TwsZlibError(int aCode);
  int Code() const { return FCode; }

 private:
  int FCode;
};

// Compresses the pieces of messages with a sync flush, so every piece can be sent at once.
class TwsDeflater {
 public:
  // aWindowBits 8-15. zlib cannot write raw DEFLATE with a 256-byte window, so for 8 it
  // codes literals only: no back-reference, valid for any window the peer has.
  TwsDeflater(int aLevel, int aWindowBits, int aMemLevel);
  ~TwsDeflater();
  TwsDeflater(const TwsDeflater&) = delete;
  TwsDeflater& operator=(const TwsDeflater&) = delete;

  // Appends the compressed form of aData to aOut. aEndOfMessage drops the final 00 00 FF FF
  // that the receiver puts back; an empty message becomes the single byte 0x00.
  void Compress(const std::uint8_t* aData, std::size_t aSize, bool aEndOfMessage, std::string& aOut);
  // Forgets the history (no context takeover); the next message starts a fresh window.
  void Reset();

 private:
  void Run(int aFlush, std::string& aOut);

  std::unique_ptr<z_stream_s> FStream;
};

// Decompresses pieces of messages whose 00 00 FF FF tail the sender removed.
class TwsInflater {
 public:
  explicit TwsInflater(int aWindowBits);
  ~TwsInflater();
  TwsInflater(const TwsInflater&) = delete;
  TwsInflater& operator=(const TwsInflater&) = delete;

  // Appends the plaintext of aData to aOut; aEndOfMessage feeds the removed tail after it.
  // Returns false as soon as this call would append more than aLimit bytes. Input after the
  // end of a DEFLATE stream (a final block sent by the peer) is ignored; the window is kept.
  // Corrupt data raises TwsZlibError.
  bool Decompress(const std::uint8_t* aData, std::size_t aSize, bool aEndOfMessage,
                  std::size_t aLimit, std::string& aOut);
  void Reset();

 private:
  void RestartKeepingWindow();

  std::unique_ptr<z_stream_s> FStream;
  bool FStreamEnded = false;  // the peer's stream ended inside the current message
};

}  // namespace quillon::detail
