// The older per-frame compression extension, offered by clients as "x-webkit-deflate-frame":
// every data frame's payload is compressed on its own (RSV1 on each), with one history per
// direction that is never reset. No parameters are negotiated.
#pragma once

#include <memory>

#include "connection/lumWebSocket_Extensions.h"

namespace quillon {
namespace detail {
class TwsDeflater;
class TwsInflater;
}  // namespace detail

class TlumWSExtension_DeflateFrame : public TlumWSExtension_Base {
 public:
  TlumWSExtension_DeflateFrame();
  ~TlumWSExtension_DeflateFrame() override;

  // From another deflate-frame extension: Mode, Enabled and WindowBits.
  void Assign(const TlumWSExtension_Base& aSource) override;
  bool DecodeExtension(std::string_view aExtension) override;
  void DecodeHeader(std::uint8_t aByte) override;
  void EncodeHeader(std::uint8_t& aByte) const override;
  std::string GetName() const override;
  bool ReadStream(std::string& aStream, bool aFin, std::size_t aLimit) override;
  void WriteStream(std::string& aStream, bool aFin) override;
  void ReleaseReadState() override;

  int WindowBits() const { return FWindowBits; }
  // 8-15; anything else raises "Invalid Value for WindowBits %d" and keeps the old value.
  void SetWindowBits(int aValue);

 private:
  int FWindowBits = 15;
  std::unique_ptr<detail::TwsDeflater> FDeflater;  // sent history, made on first use
  std::unique_ptr<detail::TwsInflater> FInflater;  // received history, made on first use
};

}  // namespace quillon
