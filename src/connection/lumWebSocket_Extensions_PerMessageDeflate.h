// permessage-deflate (RFC 7692): a data message's payload is compressed as a whole, RSV1 on
// its first frame, with the window parameters and context takeover negotiated per direction.
// A server compresses with the server_* parameters and decompresses with the client_* ones.
#pragma once

#include <memory>

#include "connection/lumWebSocket_Extensions.h"

namespace quillon {
namespace detail {
class TwsDeflater;
class TwsInflater;
}  // namespace detail

class TlumWSExtension_PerMessage_Deflate : public TlumWSExtension_Base {
 public:
  TlumWSExtension_PerMessage_Deflate();
  ~TlumWSExtension_PerMessage_Deflate() override;

  // From another permessage-deflate extension: Mode, Enabled, both window bits and both
  // no-context-takeover flags. MemLevel is not copied.
  void Assign(const TlumWSExtension_Base& aSource) override;
  // Takes one offer item naming permessage-deflate and builds the answer's parameters.
  bool DecodeExtension(std::string_view aExtension) override;
  void DecodeHeader(std::uint8_t aByte) override;
  void EncodeHeader(std::uint8_t& aByte) const override;
  std::string GetName() const override;
  bool ReadStream(std::string& aStream, bool aFin, std::size_t aLimit) override;
  void WriteStream(std::string& aStream, bool aFin) override;
  void ReleaseReadState() override;

  // Window exponents 8-15; anything else raises "Invalid Value for WindowBits %d" and keeps
  // the old value.
  int ServerMaxWindowBits() const { return FServerMaxWindowBits; }
  void SetServerMaxWindowBits(int aValue);
  int ClientMaxWindowBits() const { return FClientMaxWindowBits; }
  void SetClientMaxWindowBits(int aValue);
  bool ServerNoContextTakeOver() const { return FServerNoContextTakeOver; }
  void SetServerNoContextTakeOver(bool aValue) { FServerNoContextTakeOver = aValue; }
  bool ClientNoContextTakeOver() const { return FClientNoContextTakeOver; }
  void SetClientNoContextTakeOver(bool aValue) { FClientNoContextTakeOver = aValue; }
  int MemLevel() const { return FMemLevel; }
  void SetMemLevel(int aValue);  // zlib's 1-9

  // What this side's compression uses: the window, whether each message starts afresh, and
  // whether a fragmented message is being compressed.
  int SendWindowBits() const;
  bool SendNoContextTakeOver() const;
  bool SendMessageOpen() const { return FSendMessageOpen; }

 private:
  int ReceiveWindowBits() const;
  bool ReceiveNoContextTakeOver() const;

  std::unique_ptr<detail::TwsDeflater> FDeflater;  // sent history, made on first use
  std::unique_ptr<detail::TwsInflater> FInflater;  // received history, made on first use
  int FServerMaxWindowBits = 15;
  bool FServerNoContextTakeOver = false;
  int FClientMaxWindowBits = 15;
  bool FClientNoContextTakeOver = false;
  int FMemLevel = 9;
  // The peer named its own window in the offer; otherwise it may use all 15 bits whatever
  // is configured here, and decompression must allow for that.
  bool FPeerWindowNegotiated = false;
  bool FSendMessageOpen = false;     // a fragmented message is being compressed
  bool FReceiveMessageOpen = false;  // a fragmented message is being decompressed
};

}  // namespace quillon
