// The extension set: negotiation across the two extensions and the routing of frame bytes
// and payloads to the one that is active.
#include "connection/lumWebSocket_Extensions.h"

#include "connection/lumWebSocket_Extensions_DeflateFrame.h"
#include "connection/lumWebSocket_Extensions_PerMessageDeflate.h"

#include <algorithm>
#include <stdexcept>

namespace quillon {

namespace {

constexpr std::uint8_t kRSV1 = 0x40;
constexpr std::uint8_t kRSV23 = 0x30;

bool IsControl(std::uint8_t aByte) { return (aByte & 0x08) != 0; }

}  // namespace

TlumWSExtension_Base::~TlumWSExtension_Base() = default;

void TlumWSExtension_Base::ReleaseReadState() { std::string().swap(FReadBuffer); }

void TlumWSExtension_Base::Assign(const TlumWSExtension_Base& aSource) {
  FEnabled = aSource.FEnabled;
}

std::string TlumWSExtension_Base::GetHeaderExtension() const {
  return "Sec-WebSocket-Extensions: " + FHeaderExtension;
}

bool TlumWSExtension_Base::DecodeExtension(std::string_view /*aExtension*/) { return false; }

void TlumWSExtension_Base::CheckWindowBits(int aValue) {
  if (aValue < 8 || aValue > 15)
    throw std::invalid_argument("Invalid Value for WindowBits " + std::to_string(aValue));
}

bool TlumWSExtension_Base::ContainsNoCase(std::string_view aText, std::string_view aWord) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return std::search(aText.begin(), aText.end(), aWord.begin(), aWord.end(),
                     [&](char a, char b) { return lower(a) == lower(b); }) != aText.end() ||
         aWord.empty();
}

void TlumWSExtension_Base::Replace(std::string& aStream, std::string& aResult) {
  aStream.swap(aResult);
  // A 64 MiB message must not stay pinned to the connection as a spare buffer.
  if (aResult.capacity() > (std::size_t{1} << 20)) {
    std::string().swap(aResult);
  } else {
    aResult.clear();
  }
}

// ---------------------------------------------------------------------------------------------

TlumWSExtensions::TlumWSExtensions()
    : FDeflateFrame(std::make_unique<TlumWSExtension_DeflateFrame>()),
      FPerMessage_Deflate(std::make_unique<TlumWSExtension_PerMessage_Deflate>()) {}

TlumWSExtensions::~TlumWSExtensions() = default;

void TlumWSExtensions::Assign(const TlumWSExtensions& aSource) {
  SetMode(aSource.FMode);
  FDeflateFrame->Assign(*aSource.FDeflateFrame);
  FPerMessage_Deflate->Assign(*aSource.FPerMessage_Deflate);
}

void TlumWSExtensions::SetMode(TwsApplicationMode aValue) {
  FMode = aValue;
  FDeflateFrame->SetMode(aValue);
  FPerMessage_Deflate->SetMode(aValue);
}

bool TlumWSExtensions::Compression() const {
  return FPerMessage_Deflate->Active() || FDeflateFrame->Active();
}

std::vector<std::string> TlumWSExtensions::List() const {
  std::vector<std::string> list;
  if (FPerMessage_Deflate->Active()) list.emplace_back("permessage-deflate");
  if (FDeflateFrame->Active()) list.emplace_back("x-webkit-deflate-frame");
  return list;
}

void TlumWSExtensions::DecodeExtensions(std::string_view aExtensions) {
  TlumWSExtension_PerMessage_Deflate& pmd = *FPerMessage_Deflate;
  TlumWSExtension_DeflateFrame& df = *FDeflateFrame;
  // Items keep their leading spaces: the extensions search for their names anywhere.
  std::size_t begin = 0;
  for (;;) {
    const std::size_t comma = aExtensions.find(',', begin);
    const std::string_view item = aExtensions.substr(begin, comma - begin);
    if (pmd.Enabled() && !pmd.Active()) pmd.SetActive(pmd.DecodeExtension(item));
    // A match stays a match: later items never switch an extension off again.
    if (df.Enabled() && !pmd.Active() && !df.Active()) df.SetActive(df.DecodeExtension(item));
    if (comma == std::string_view::npos) break;
    begin = comma + 1;
  }
  // Both at once would compress every payload twice; permessage-deflate is the standard one.
  if (pmd.Active()) df.SetActive(false);
  FExtensionNegotiated = Compression();
}

void TlumWSExtensions::WriteHeader(std::vector<std::string>& aHeader) const {
  if (FMode == appClient) {
    // A client offers what it is willing to use.
    if (FPerMessage_Deflate->Enabled())
      aHeader.push_back("Sec-WebSocket-Extensions: " + FPerMessage_Deflate->GetName());
    if (FDeflateFrame->Enabled())
      aHeader.push_back("Sec-WebSocket-Extensions: " + FDeflateFrame->GetName());
    return;
  }
  if (FPerMessage_Deflate->Active()) aHeader.push_back(FPerMessage_Deflate->GetHeaderExtension());
  if (FDeflateFrame->Active()) aHeader.push_back(FDeflateFrame->GetHeaderExtension());
}

bool TlumWSExtensions::IsValidRSV(std::uint8_t aByte) const {
  if ((aByte & (kRSV1 | kRSV23)) == 0) return true;
  if ((aByte & kRSV23) != 0 || IsControl(aByte)) return false;
  if (FPerMessage_Deflate->Active()) return (aByte & 0x0F) != 0;  // not on a continuation
  return FDeflateFrame->Active();
}

void TlumWSExtensions::DecodeHeader(std::uint8_t aByte) {
  // A ping between the frames of a compressed message must not change how it is read.
  if (IsControl(aByte)) return;
  if (FPerMessage_Deflate->Active()) FPerMessage_Deflate->DecodeHeader(aByte);
  if (FDeflateFrame->Active()) FDeflateFrame->DecodeHeader(aByte);
}

bool TlumWSExtensions::MessageCompressed() const {
  if (FPerMessage_Deflate->Active()) return FPerMessage_Deflate->MessageCompressed();
  if (FDeflateFrame->Active()) return FDeflateFrame->MessageCompressed();
  return false;
}

bool TlumWSExtensions::ReadStream(std::string& aStream, bool aFin, std::size_t aLimit) {
  if (FPerMessage_Deflate->Active() && FPerMessage_Deflate->MessageCompressed())
    return FPerMessage_Deflate->ReadStream(aStream, aFin, aLimit);
  if (FDeflateFrame->Active() && FDeflateFrame->MessageCompressed())
    return FDeflateFrame->ReadStream(aStream, aFin, aLimit);
  return true;
}

void TlumWSExtensions::EncodeHeader(std::uint8_t& aByte) const {
  if (IsControl(aByte)) return;
  if (FPerMessage_Deflate->Active()) FPerMessage_Deflate->EncodeHeader(aByte);
  if (FDeflateFrame->Active()) FDeflateFrame->EncodeHeader(aByte);
}

void TlumWSExtensions::WriteStream(std::string& aStream, bool aFin) {
  if (FPerMessage_Deflate->Active()) {
    FPerMessage_Deflate->WriteStream(aStream, aFin);
  } else if (FDeflateFrame->Active()) {
    FDeflateFrame->WriteStream(aStream, aFin);
  }
}

void TlumWSExtensions::ReleaseReadState() {
  FPerMessage_Deflate->ReleaseReadState();
  FDeflateFrame->ReleaseReadState();
}

}  // namespace quillon
