// The compression extension set a WebSocket connection owns: negotiation from the client's
// Sec-WebSocket-Extensions header, the answer's header line, RSV1 marking and the in-place
// compression and decompression of payloads. The two extensions live in
// lumWebSocket_Extensions_PerMessageDeflate.h and lumWebSocket_Extensions_DeflateFrame.h;
// raw DEFLATE comes from zlib (lumWebSocket_Extensions_Zlib.h). Framing is not done here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

enum TwsApplicationMode : std::uint8_t { appNone, appServer, appClient };

// One extension: whether it may be negotiated (Enabled) and whether it was (Active).
class TlumWSExtension_Base {
 public:
  TlumWSExtension_Base() = default;
  virtual ~TlumWSExtension_Base();
  TlumWSExtension_Base(const TlumWSExtension_Base&) = delete;
  TlumWSExtension_Base& operator=(const TlumWSExtension_Base&) = delete;

  // Copies Enabled; the extensions add their own options.
  virtual void Assign(const TlumWSExtension_Base& aSource);
  // "Sec-WebSocket-Extensions: " and the negotiated parameters.
  virtual std::string GetHeaderExtension() const;
  // Whether one item of an offer names this extension (and, for a server, takes its parameters).
  virtual bool DecodeExtension(std::string_view aExtension);
  // First header byte of a received data frame: records whether it is compressed.
  virtual void DecodeHeader(std::uint8_t aByte) = 0;
  // First header byte of a data frame about to be written: sets RSV1 where it belongs.
  virtual void EncodeHeader(std::uint8_t& aByte) const = 0;
  virtual std::string GetName() const = 0;
  // In-place decompression of a compressed payload (see TlumWSExtensions::ReadStream).
  virtual bool ReadStream(std::string& aStream, bool aFin, std::size_t aLimit) = 0;
  // In-place compression of a data frame's payload (see TlumWSExtensions::WriteStream).
  virtual void WriteStream(std::string& aStream, bool aFin) = 0;
  // Frees the decompression history and buffer (reader thread; the connection has ended).
  virtual void ReleaseReadState();

  bool Active() const { return FActive; }
  void SetActive(bool aValue) { FActive = aValue; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool aValue) { FEnabled = aValue; }
  TwsApplicationMode Mode() const { return FMode; }
  void SetMode(TwsApplicationMode aValue) { FMode = aValue; }
  const std::string& HeaderExtension() const { return FHeaderExtension; }
  bool MessageCompressed() const { return FMessageCompressed; }

 protected:
  // Raises "Invalid Value for WindowBits %d" unless 8 <= aValue <= 15.
  static void CheckWindowBits(int aValue);
  static bool ContainsNoCase(std::string_view aText, std::string_view aWord);
  // Hands aResult to the caller's stream and keeps the old buffer for the next call.
  static void Replace(std::string& aStream, std::string& aResult);

  bool FActive = false;
  bool FEnabled = false;
  TwsApplicationMode FMode = appNone;
  std::string FHeaderExtension;
  bool FMessageCompressed = false;  // RSV1 of the data frame last given to DecodeHeader
  std::string FReadBuffer;   // output of decompression, reused (reader thread)
  std::string FWriteBuffer;  // output of compression, reused (writer, under its lock)
};

class TlumWSExtension_DeflateFrame;
class TlumWSExtension_PerMessage_Deflate;

// At most one extension is active per connection: permessage-deflate wins when both are
// offered and enabled. Decompression runs on the reader's thread only; compression on the
// writer's, which must serialise its calls (the connection's write lock) so that the
// compression history follows the order of the frames on the wire.
class TlumWSExtensions {
 public:
  // Default bound on what one ReadStream call may produce (the connection's MaxMessageSize).
  static constexpr std::size_t DefaultReadLimit = std::size_t{64} << 20;

  TlumWSExtensions();
  virtual ~TlumWSExtensions();
  TlumWSExtensions(const TlumWSExtensions&) = delete;
  TlumWSExtensions& operator=(const TlumWSExtensions&) = delete;

  // Copies the mode and each extension's options; never Active, histories or negotiation.
  virtual void Assign(const TlumWSExtensions& aSource);

  TwsApplicationMode Mode() const { return FMode; }
  void SetMode(TwsApplicationMode aValue);  // also sets both extensions' mode
  bool ExtensionNegotiated() const { return FExtensionNegotiated; }
  bool Compression() const;  // an extension is active
  std::vector<std::string> List() const;  // names of the active extensions
  TlumWSExtension_DeflateFrame& DeflateFrame() { return *FDeflateFrame; }
  const TlumWSExtension_DeflateFrame& DeflateFrame() const { return *FDeflateFrame; }
  TlumWSExtension_PerMessage_Deflate& PerMessage_Deflate() { return *FPerMessage_Deflate; }
  const TlumWSExtension_PerMessage_Deflate& PerMessage_Deflate() const {
    return *FPerMessage_Deflate;
  }

  // Handshake: the value of the client's Sec-WebSocket-Extensions header. A bad window-bits
  // parameter raises (the handshake fails).
  void DecodeExtensions(std::string_view aExtensions);
  // Appends "Sec-WebSocket-Extensions: ..." for the active extension (nothing if none).
  void WriteHeader(std::vector<std::string>& aHeader) const;

  // Reader. Whether the RSV bits of a received frame's first byte are allowed: RSV2/RSV3
  // never, RSV1 only on data frames of an active extension (permessage-deflate: only on the
  // first frame of a message).
  bool IsValidRSV(std::uint8_t aByte) const;
  // Call with the first byte of every received data frame (continuations included); control
  // frames are ignored, so passing them does no harm.
  void DecodeHeader(std::uint8_t aByte);
  // Whether the message (deflate-frame: the frame) last passed to DecodeHeader is compressed.
  bool MessageCompressed() const;
  // Decompresses in place when MessageCompressed(). permessage-deflate: pass the pieces of a
  // message in order, aFin on the last (one call with the whole message is fine);
  // deflate-frame: one call per frame. Returns false when the output would exceed aLimit
  // bytes (close with 1009; the content is then unspecified). Corrupt data raises
  // TlumWSException "Error Deflating Frame.".
  bool ReadStream(std::string& aStream, bool aFin = true, std::size_t aLimit = DefaultReadLimit);

  // Writer. Sets RSV1 on the first byte of a data frame when its payload is compressed
  // (permessage-deflate: on the first frame of a message only); control frames are untouched.
  void EncodeHeader(std::uint8_t& aByte) const;
  // Compresses one data frame's payload in place when an extension is active; aFin is the
  // frame's FIN bit. Raises TlumWSException "Error Inflating Frame." on a zlib failure.
  void WriteStream(std::string& aStream, bool aFin = true);
  // Frees what decompression holds (reader thread; the connection has ended).
  void ReleaseReadState();

 private:
  bool FExtensionNegotiated = false;
  std::unique_ptr<TlumWSExtension_DeflateFrame> FDeflateFrame;
  TwsApplicationMode FMode = appNone;
  std::unique_ptr<TlumWSExtension_PerMessage_Deflate> FPerMessage_Deflate;
};

}  // namespace quillon
