// deflate-frame: each frame is compressed and decompressed on its own, always continuing
// the same stream, so the history spans every frame in its direction.
#include "connection/lumWebSocket_Extensions_DeflateFrame.h"

#include <zlib.h>

#include "connection/lumWebSocket_Extensions_Zlib.h"
#include "util/lumWebSocket_Exception.h"

namespace quillon {

namespace {
constexpr char kName[] = "x-webkit-deflate-frame";
}

TlumWSExtension_DeflateFrame::TlumWSExtension_DeflateFrame() { FHeaderExtension = kName; }

TlumWSExtension_DeflateFrame::~TlumWSExtension_DeflateFrame() = default;

void TlumWSExtension_DeflateFrame::Assign(const TlumWSExtension_Base& aSource) {
  if (const auto* other = dynamic_cast<const TlumWSExtension_DeflateFrame*>(&aSource)) {
    FMode = other->FMode;
    FEnabled = other->FEnabled;
    FWindowBits = other->FWindowBits;
  } else {
    TlumWSExtension_Base::Assign(aSource);
  }
}

bool TlumWSExtension_DeflateFrame::DecodeExtension(std::string_view aExtension) {
  return ContainsNoCase(aExtension, kName);
}

void TlumWSExtension_DeflateFrame::DecodeHeader(std::uint8_t aByte) {
  if ((aByte & 0x08) == 0) FMessageCompressed = (aByte & 0x40) != 0;
}

void TlumWSExtension_DeflateFrame::EncodeHeader(std::uint8_t& aByte) const {
  if ((aByte & 0x08) == 0) aByte |= 0x40;
}

std::string TlumWSExtension_DeflateFrame::GetName() const { return kName; }

void TlumWSExtension_DeflateFrame::SetWindowBits(int aValue) {
  CheckWindowBits(aValue);
  FWindowBits = aValue;
}

bool TlumWSExtension_DeflateFrame::ReadStream(std::string& aStream, bool /*aFin*/,
                                              std::size_t aLimit) {
  if (aStream.empty()) return true;  // nothing was compressed: nothing to feed the stream
  try {
    if (!FInflater) FInflater = std::make_unique<detail::TwsInflater>(FWindowBits);
    FReadBuffer.clear();
    const bool fits = FInflater->Decompress(reinterpret_cast<const std::uint8_t*>(aStream.data()),
                                            aStream.size(), true, aLimit, FReadBuffer);
    Replace(aStream, FReadBuffer);
    return fits;
  } catch (const detail::TwsZlibError&) {
    throw TlumWSException("Error Deflating Frame.");
  }
}

void TlumWSExtension_DeflateFrame::WriteStream(std::string& aStream, bool /*aFin*/) {
  try {
    // Default level with the smallest memory level, as deflate-frame peers expect.
    if (!FDeflater)
      FDeflater = std::make_unique<detail::TwsDeflater>(Z_DEFAULT_COMPRESSION, FWindowBits, 1);
    FWriteBuffer.clear();
    FDeflater->Compress(reinterpret_cast<const std::uint8_t*>(aStream.data()), aStream.size(),
                        true, FWriteBuffer);
    Replace(aStream, FWriteBuffer);
  } catch (const detail::TwsZlibError&) {
    throw TlumWSException("Error Inflating Frame.");
  }
}

void TlumWSExtension_DeflateFrame::ReleaseReadState() {
  FInflater.reset();
  TlumWSExtension_Base::ReleaseReadState();
}

}  // namespace quillon
