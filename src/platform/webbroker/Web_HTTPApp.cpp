// The web-module framework: fields, dates, response basics and the dispatch.
#include "platform/webbroker/Web_HTTPApp.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <sstream>

namespace quillon {

namespace {

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Seconds between 1899-12-30 and 1970-01-01.
constexpr double kUnixEpochDays = 25569.0;

}  // namespace

bool WebSameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string WebURLDecode(std::string_view aText) {
  std::string out;
  out.reserve(aText.size());
  for (std::size_t i = 0; i < aText.size(); ++i) {
    const char c = aText[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < aText.size() && HexValue(aText[i + 1]) >= 0 &&
               HexValue(aText[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(aText[i + 1]) * 16 + HexValue(aText[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

void ExtractHTTPFields(std::string_view aText, char aSeparator, TStrings& aFields, bool aDecode) {
  while (!aText.empty()) {
    const std::size_t end = aText.find(aSeparator);
    std::string_view item = aText.substr(0, end);
    aText = end == std::string_view::npos ? std::string_view() : aText.substr(end + 1);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    if (item.empty()) continue;
    const std::size_t eq = item.find('=');
    std::string name(item.substr(0, eq));
    std::string value(eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1));
    if (aDecode) {
      name = WebURLDecode(name);
      value = WebURLDecode(value);
    }
    aFields.Add(std::move(name), std::move(value));
  }
}

int TStrings::IndexOfName(std::string_view aName) const {
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    if (WebSameText(FItems[i].first, aName)) return static_cast<int>(i);
  }
  return -1;
}

std::string TStrings::Values(std::string_view aName) const {
  const int i = IndexOfName(aName);
  return i < 0 ? std::string() : FItems[static_cast<std::size_t>(i)].second;
}

namespace {
std::mutex& DirectoryLock() {
  static std::mutex m;
  return m;
}
std::string& DirectoryValue() {
  static std::string folder;
  return folder;
}
}  // namespace

std::string WebApplicationDirectory() {
  std::lock_guard lock(DirectoryLock());
  if (DirectoryValue().empty()) {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    DirectoryValue() = ec ? std::string(".") : exe.parent_path().string();
  }
  return DirectoryValue();
}

void SetWebApplicationDirectory(std::string aFolder) {
  std::lock_guard lock(DirectoryLock());
  DirectoryValue() = std::move(aFolder);
}

std::string WebExpandPath(const std::string& aPath) {
  std::string path = aPath;
  std::replace(path.begin(), path.end(), '\\', '/');
  if (!path.empty() && path.front() == '/') return path;
  std::filesystem::path full = std::filesystem::path(WebApplicationDirectory()) / path;
  return full.lexically_normal().string();
}

TWebDateTime UnixToWebDateTime(double aSeconds) { return aSeconds / 86400.0 + kUnixEpochDays; }

double WebDateTimeToUnix(TWebDateTime aValue) { return (aValue - kUnixEpochDays) * 86400.0; }

TWebDateTime ParseHTTPDate(std::string_view aText) {
  const std::string text(aText);
  for (const char* format : {"%a, %d %b %Y %H:%M:%S", "%A, %d-%b-%y %H:%M:%S", "%a %b %d %H:%M:%S %Y"}) {
    std::tm tm{};
    const char* end = strptime(text.c_str(), format, &tm);
    if (end == nullptr) continue;
    while (*end == ' ') ++end;
    if (*end != '\0' && std::strcmp(end, "GMT") != 0 && std::strcmp(end, "UTC") != 0) continue;
    return UnixToWebDateTime(static_cast<double>(timegm(&tm)));
  }
  return -1;
}

// ---------------------------------------------------------------------------------------
// TWebRequest

void TWebRequest::InitializeRequest() {
  const std::string method = Method();
  static const std::pair<const char*, TMethodType> kMethods[] = {
      {"GET", TMethodType::mtGet},   {"PUT", TMethodType::mtPut},       {"POST", TMethodType::mtPost},
      {"HEAD", TMethodType::mtHead}, {"DELETE", TMethodType::mtDelete}, {"PATCH", TMethodType::mtPatch}};
  FMethodType = TMethodType::mtAny;
  for (const auto& [name, type] : kMethods) {
    if (method == name) FMethodType = type;
  }
}

std::string TWebRequest::Content() {
  if (!FContentRead) {
    FContent = ReadTotalContent();
    FContentRead = true;
  }
  return FContent;
}

const TStrings& TWebRequest::QueryFields() {
  if (!FQueryParsed) {
    // The query arrives percent-decoded already; only the separators are left.
    ExtractHTTPFields(Query(), '&', FQueryFields, false);
    FQueryParsed = true;
  }
  return FQueryFields;
}

const TStrings& TWebRequest::ContentFields() {
  if (!FContentParsed) {
    FContentParsed = true;
    const std::string type = ContentType();
    if (MatchesMask(type, "application/x-www-form-urlencoded*")) {
      ExtractHTTPFields(Content(), '&', FContentFields, true);
    }
  }
  return FContentFields;
}

const TStrings& TWebRequest::CookieFields() {
  if (!FCookiesParsed) {
    ExtractHTTPFields(Cookie(), ';', FCookieFields, true);
    FCookiesParsed = true;
  }
  return FCookieFields;
}

// ---------------------------------------------------------------------------------------
// TWebResponse

std::int64_t StreamSize(std::istream& aStream) {
  aStream.clear();
  const std::streampos at = aStream.tellg();
  aStream.seekg(0, std::ios::end);
  const std::streampos end = aStream.tellg();
  aStream.seekg(at < 0 ? std::streampos(0) : at);
  return end < 0 ? 0 : static_cast<std::int64_t>(end);
}

void TWebResponse::SetContentStream(std::unique_ptr<std::istream> Value) {
  if (Value.get() == FContentStream.get()) return;
  FContentStream = std::move(Value);
  if (FContentStream) {
    SetContentLength(StreamSize(*FContentStream));
  } else {
    SetContentLength(static_cast<std::int64_t>(GetContent().size()));
  }
}

void TWebResponse::SetCustomHeader(const std::string& Name, const std::string& Value) {
  const int i = FCustomHeaders.IndexOfName(Name);
  if (i < 0) {
    FCustomHeaders.Add(Name, Value);
    return;
  }
  TStrings kept;
  for (int k = 0; k < FCustomHeaders.Count(); ++k) {
    kept.Add(FCustomHeaders.Names(k), k == i ? Value : FCustomHeaders.ValueFromIndex(k));
  }
  FCustomHeaders = std::move(kept);
}

// ---------------------------------------------------------------------------------------
// Actions and the dispatch

bool TWebActionItem::Matches(TWebRequest& aRequest) const {
  if (!Enabled) return false;
  if (MethodType != TMethodType::mtAny && MethodType != aRequest.MethodType()) return false;
  return PathInfo.empty() || MatchesMask(aRequest.InternalPathInfo(), PathInfo);
}

bool TWebActionItem::DispatchAction(TCustomWebDispatcher* aSender, TWebRequest& aRequest,
                                    TWebResponse& aResponse) {
  bool handled = true;
  if (OnAction) {
    OnAction(aSender, aRequest, aResponse, handled);
  } else if (Producer != nullptr) {
    aResponse.SetContent(Producer->Content());
  } else {
    handled = false;
  }
  return handled;
}

TWebActionItem& TCustomWebDispatcher::AddAction(std::string aName, std::string aPathInfo, bool aDefault) {
  auto item = std::make_unique<TWebActionItem>();
  item->Name = std::move(aName);
  item->PathInfo = std::move(aPathInfo);
  item->Default = aDefault;
  FActions.push_back(std::move(item));
  return *FActions.back();
}

TWebActionItem* TCustomWebDispatcher::ActionByName(std::string_view aName) {
  for (auto& a : FActions) {
    if (WebSameText(a->Name, aName)) return a.get();
  }
  return nullptr;
}

bool TCustomWebDispatcher::DispatchAction(TWebRequest& Request, TWebResponse& Response) {
  // Kept after the dispatch, so that HandleException can still answer; the caller clears
  // them with ClearCurrent once the request is done.
  FRequest = &Request;
  FResponse = &Response;

  bool handled = false;
  if (BeforeDispatch) BeforeDispatch(this, Request, Response, handled);
  for (std::size_t i = 0; !handled && i < FActions.size(); ++i) {
    TWebActionItem& a = *FActions[i];
    if (!a.Default && a.Matches(Request)) handled = a.DispatchAction(this, Request, Response);
  }
  for (std::size_t i = 0; !handled && i < FDispatchList.size(); ++i) {
    IWebDispatch* d = FDispatchList[i];
    const TMethodType m = d->DispatchMethodType();
    if ((m == TMethodType::mtAny || m == Request.MethodType()) && d->DispatchMask(Request)) {
      handled = d->DispatchRequest(this, Request, Response);
    }
  }
  for (std::size_t i = 0; !handled && i < FActions.size(); ++i) {
    TWebActionItem& a = *FActions[i];
    if (a.Default && a.Enabled) handled = a.DispatchAction(this, Request, Response);
  }
  if (handled && AfterDispatch) AfterDispatch(this, Request, Response, handled);
  return handled;
}

void TCustomWebDispatcher::HandleException(const std::exception& E, bool& Handled) {
  Handled = false;
  if (OnException) {
    Handled = true;
    OnException(this, E, Handled);
    if (Handled) return;
  }
  Handled = true;
  std::cerr << "web module " << Name << ": " << E.what() << "\n";
  if (FResponse != nullptr && !FResponse->Sent()) {
    FResponse->SetStatusCode(500);
    FResponse->SetContentType("text/plain; charset=utf-8");
    FResponse->SetContent("Internal Server Error");
    FResponse->SendResponse();
  }
}

}  // namespace quillon
