// Copying of the server option groups, binding URLs and the user list.
#include "server/lumWebSocket_Server_Options.h"

#include "connection/lumWebSocket_RequestLines.h"

namespace quillon {

void TlumWSOptionsServer::Assign(const TlumWSOptionsServer& Source) {
  CleanDisconnect = Source.CleanDisconnect;
  FragmentedMessages = Source.FragmentedMessages;
  HTMLFiles = Source.HTMLFiles;
  JavascriptFiles = Source.JavascriptFiles;
  RaiseDisconnectExceptions = Source.RaiseDisconnectExceptions;
  ValidateUTF8 = Source.ValidateUTF8;
  FReadTimeOut = Source.FReadTimeOut;
}

TlumWSBinding& TlumWSBindings::NewBinding(std::string aHost, int aPort, std::string aParameters,
                                          bool aSSL, std::string aSSLHash, int aIPVersion,
                                          std::string aCertStoreName) {
  auto binding = std::make_unique<TlumWSBinding>();
  binding->Host = std::move(aHost);
  binding->Port = aPort;
  binding->Parameters = std::move(aParameters);
  binding->SSL = aSSL;
  binding->SSLHash = std::move(aSSLHash);
  binding->IPVersion = aIPVersion;
  binding->SSLCertStoreName = std::move(aCertStoreName);
  FItems.push_back(std::move(binding));
  return *FItems.back();
}

TlumWSBinding& TlumWSBindings::NewBinding(const TlumWSBinding& aBinding) {
  FItems.push_back(std::make_unique<TlumWSBinding>(aBinding));
  return *FItems.back();
}

std::string TlumWSBindings::GetURL(int aIndex) const {
  if (aIndex < 0 || aIndex >= Count()) return {};
  const TlumWSBinding& b = Items(aIndex);
  std::string url = b.SSL ? "https://" : "http://";
  url += b.Host;
  url += ':';
  url += std::to_string(b.Port);
  if (b.Parameters.empty() || b.Parameters.front() != '/') url += '/';
  url += b.Parameters;
  if (url.back() != '/') url += '/';
  return url;
}

void TlumWSBindings::Assign(const TlumWSBindings& Source) {
  if (&Source == this) return;
  FItems.clear();
  for (const auto& b : Source.FItems) NewBinding(*b);
}

bool TlumWSAuthenticationServer_Options::FindUser(std::string_view aUser,
                                                  std::string& aPassword) const {
  for (const std::string& line : AuthUsers) {
    const auto eq = line.find('=');
    const std::string_view name = std::string_view(line).substr(0, eq);
    if (!SameText(name, aUser)) continue;
    aPassword = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    return true;
  }
  return false;
}

}  // namespace quillon
