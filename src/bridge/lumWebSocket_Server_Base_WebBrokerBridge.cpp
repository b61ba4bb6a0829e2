// Body reads and the typed getters of the request adapter; the bridge handler.
#include "bridge/lumWebSocket_Server_Base_WebBrokerBridge.h"

#include <charconv>

namespace quillon {

std::string TlumWebRequest::GetRawContent() {
  if (!FContentStream) return {};
  TlumStringStream& s = *FContentStream;
  s.clear();
  const std::streampos at = s.tellg();
  std::string all = s.str();
  s.clear();
  s.seekg(at < 0 ? std::streampos(0) : at);
  return all;
}

TWebDateTime TlumWebRequest::GetDateVariable(int Index) {
  if (Index != 7 && Index != 11 && Index != 19) return 0;
  const std::string text = GetStringVariable(Index);
  return text.empty() ? -1 : ParseHTTPDate(text);
}

std::int64_t TlumWebRequest::GetIntegerVariable(int Index) {
  if (Index != 16 && Index != 24) return -1;
  const std::string text = GetStringVariable(Index);
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return -1;
  return value;
}

int TlumWebRequest::ReadClient(void* Buffer, int Count) {
  if (!FContentStream || Buffer == nullptr || Count <= 0) return 0;
  FContentStream->clear();
  FContentStream->read(static_cast<char*>(Buffer), Count);
  const std::streamsize n = FContentStream->gcount();
  FContentStream->clear();
  return n < 0 ? 0 : static_cast<int>(n);
}

std::string TlumWebRequest::ReadString(int Count) {
  if (!FContentStream) {
    if (Count > 0) throw EWebBrokerException("Stream read error");
    return {};
  }
  TlumStringStream& s = *FContentStream;
  s.clear();
  if (Count <= 0) {
    s.seekg(0);
    std::string all = s.str();
    s.seekg(0, std::ios::end);
    return all;
  }
  const std::int64_t left = StreamSize(s) - static_cast<std::int64_t>(s.tellg());
  if (left < Count) throw EWebBrokerException("Stream read error");
  std::string out(static_cast<std::size_t>(Count), '\0');
  s.read(out.data(), Count);
  return out;
}

// ---------------------------------------------------------------------------------------

TlumWebBrokerBridgeRequestHandler::TlumWebBrokerBridgeRequestHandler(TComponent* AOwner)
    : TWebRequestHandler(AOwner) {
  SetApplicationExceptionHandler([this](TObject* Sender, const std::exception& E) { HandleException(Sender, E); });
}

TlumWebBrokerBridgeRequestHandler::~TlumWebBrokerBridgeRequestHandler() {
  SetApplicationExceptionHandler(nullptr);
  FreeModules();
}

}  // namespace quillon
