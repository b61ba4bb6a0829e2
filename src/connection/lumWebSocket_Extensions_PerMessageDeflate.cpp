// permessage-deflate: negotiation of the window and context-takeover parameters from one
// offer item, and message-wise compression on streams kept across messages (reset at each
// message start where no context takeover was agreed for that direction).
#include "connection/lumWebSocket_Extensions_PerMessageDeflate.h"

#include <stdexcept>

#include "connection/lumWebSocket_Extensions_Zlib.h"
#include "util/lumWebSocket_Exception.h"

namespace quillon {

namespace {

constexpr char kName[] = "permessage-deflate";

std::string_view Trim(std::string_view aText) {
  const auto first = aText.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const auto last = aText.find_last_not_of(' ');
  return aText.substr(first, last - first + 1);
}

// A whole decimal integer; a token may also come as a quoted string.
int ToInt(std::string_view aText) {
  std::string_view text = aText;
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
    text = text.substr(1, text.size() - 2);
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  if (i == text.size())
    throw std::invalid_argument("'" + std::string(aText) + "' is not a valid integer value");
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9' || value > 100000000)
      throw std::invalid_argument("'" + std::string(aText) + "' is not a valid integer value");
    value = value * 10 + (text[i] - '0');
  }
  return static_cast<int>(negative ? -value : value);
}

}  // namespace

TlumWSExtension_PerMessage_Deflate::TlumWSExtension_PerMessage_Deflate() {
  FHeaderExtension = kName;
}

TlumWSExtension_PerMessage_Deflate::~TlumWSExtension_PerMessage_Deflate() = default;

void TlumWSExtension_PerMessage_Deflate::Assign(const TlumWSExtension_Base& aSource) {
  if (const auto* other = dynamic_cast<const TlumWSExtension_PerMessage_Deflate*>(&aSource)) {
    FMode = other->FMode;
    FEnabled = other->FEnabled;
    FServerMaxWindowBits = other->FServerMaxWindowBits;
    FServerNoContextTakeOver = other->FServerNoContextTakeOver;
    FClientMaxWindowBits = other->FClientMaxWindowBits;
    FClientNoContextTakeOver = other->FClientNoContextTakeOver;
  } else {
    TlumWSExtension_Base::Assign(aSource);
  }
}

bool TlumWSExtension_PerMessage_Deflate::DecodeExtension(std::string_view aExtension) {
  if (!ContainsNoCase(aExtension, kName)) return false;
  const bool server = FMode != appClient;
  std::string header = kName;
  bool clientNoContextNamed = false;
  FPeerWindowNegotiated = false;

  std::size_t begin = 0;
  for (;;) {
    const std::size_t semi = aExtension.find(';', begin);
    const std::string_view param = aExtension.substr(begin, semi - begin);
    const std::size_t eq = param.find('=');
    const std::string_view name = Trim(param.substr(0, eq));
    const bool hasValue = eq != std::string_view::npos;
    const std::string_view value = hasValue ? Trim(param.substr(eq + 1)) : std::string_view{};

    if (name == "client_max_window_bits") {
      if (hasValue) SetClientMaxWindowBits(ToInt(value));
      header += ";client_max_window_bits=" + std::to_string(FClientMaxWindowBits);
      if (server) FPeerWindowNegotiated = true;
    } else if (!hasValue && name == "client_no_context_takeover") {
      FClientNoContextTakeOver = true;
      clientNoContextNamed = true;
      header += ";client_no_context_takeover";
    } else if (name == "serv_max_window_bits" || name == "server_max_window_bits") {
      // The library's own client says "serv_"; RFC 7692 peers say "server_". Either way the
      // peer can only decompress within the window it named, so it must be honoured.
      if (hasValue) SetServerMaxWindowBits(ToInt(value));
      header += ";" + std::string(name) + "=" + std::to_string(FServerMaxWindowBits);
      if (!server) FPeerWindowNegotiated = true;
    } else if (!hasValue && name == "server_no_context_takeover") {
      FServerNoContextTakeOver = true;
      header += ";server_no_context_takeover";
    }
    if (semi == std::string_view::npos) break;
    begin = semi + 1;
  }
  // A server that resets its inflater every message must tell the client, or the client's
  // next message would refer to history the server no longer has.
  if (server && FClientNoContextTakeOver && !clientNoContextNamed)
    header += ";client_no_context_takeover";
  FHeaderExtension = std::move(header);
  return true;
}

void TlumWSExtension_PerMessage_Deflate::DecodeHeader(std::uint8_t aByte) {
  // Only the first frame of a data message says whether the message is compressed.
  if ((aByte & 0x08) == 0 && (aByte & 0x0F) != 0) FMessageCompressed = (aByte & 0x40) != 0;
}

void TlumWSExtension_PerMessage_Deflate::EncodeHeader(std::uint8_t& aByte) const {
  if ((aByte & 0x08) == 0 && (aByte & 0x0F) != 0) aByte |= 0x40;
}

std::string TlumWSExtension_PerMessage_Deflate::GetName() const {
  return FMode == appClient ? "permessage-deflate; client_max_window_bits" : kName;
}

void TlumWSExtension_PerMessage_Deflate::SetServerMaxWindowBits(int aValue) {
  CheckWindowBits(aValue);
  FServerMaxWindowBits = aValue;
}

void TlumWSExtension_PerMessage_Deflate::SetClientMaxWindowBits(int aValue) {
  CheckWindowBits(aValue);
  FClientMaxWindowBits = aValue;
}

void TlumWSExtension_PerMessage_Deflate::SetMemLevel(int aValue) {
  if (aValue < 1 || aValue > 9)
    throw std::invalid_argument("Invalid Value for MemLevel " + std::to_string(aValue));
  FMemLevel = aValue;
}

int TlumWSExtension_PerMessage_Deflate::SendWindowBits() const {
  return FMode == appClient ? FClientMaxWindowBits : FServerMaxWindowBits;
}

// Without a window named for the peer's direction the peer may use the largest one.
int TlumWSExtension_PerMessage_Deflate::ReceiveWindowBits() const {
  if (!FPeerWindowNegotiated) return 15;
  return FMode == appClient ? FServerMaxWindowBits : FClientMaxWindowBits;
}

bool TlumWSExtension_PerMessage_Deflate::SendNoContextTakeOver() const {
  return FMode == appClient ? FClientNoContextTakeOver : FServerNoContextTakeOver;
}

bool TlumWSExtension_PerMessage_Deflate::ReceiveNoContextTakeOver() const {
  return FMode == appClient ? FServerNoContextTakeOver : FClientNoContextTakeOver;
}

bool TlumWSExtension_PerMessage_Deflate::ReadStream(std::string& aStream, bool aFin,
                                                    std::size_t aLimit) {
  // An empty compressed message carries no block at all; feeding only the tail would leave
  // the inflater inside a half-read stored block.
  if (aStream.empty() && aFin && !FReceiveMessageOpen) return true;
  try {
    if (!FInflater) {
      FInflater = std::make_unique<detail::TwsInflater>(ReceiveWindowBits());
    } else if (!FReceiveMessageOpen && ReceiveNoContextTakeOver()) {
      FInflater->Reset();
    }
    FReceiveMessageOpen = !aFin;
    FReadBuffer.clear();
    const bool fits = FInflater->Decompress(reinterpret_cast<const std::uint8_t*>(aStream.data()),
                                            aStream.size(), aFin, aLimit, FReadBuffer);
    Replace(aStream, FReadBuffer);
    return fits;
  } catch (const detail::TwsZlibError&) {
    throw TlumWSException("Error Deflating Frame.");
  }
}

void TlumWSExtension_PerMessage_Deflate::WriteStream(std::string& aStream, bool aFin) {
  try {
    if (!FDeflater) {
      // Level 1: the cheapest that still finds repeats; echo traffic is latency-bound.
      FDeflater = std::make_unique<detail::TwsDeflater>(1, SendWindowBits(), FMemLevel);
    } else if (!FSendMessageOpen && SendNoContextTakeOver()) {
      FDeflater->Reset();
    }
    FSendMessageOpen = !aFin;
    FWriteBuffer.clear();
    FDeflater->Compress(reinterpret_cast<const std::uint8_t*>(aStream.data()), aStream.size(),
                        aFin, FWriteBuffer);
    Replace(aStream, FWriteBuffer);
  } catch (const detail::TwsZlibError&) {
    throw TlumWSException("Error Inflating Frame.");
  }
}

void TlumWSExtension_PerMessage_Deflate::ReleaseReadState() {
  FInflater.reset();
  FReceiveMessageOpen = false;
  TlumWSExtension_Base::ReleaseReadState();
}

}  // namespace quillon
