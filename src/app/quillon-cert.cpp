// quillon-cert: creates a self-signed TLS certificate for a host in a certificate store and
// prints its SHA-1 thumbprint, the value the server's certificate hash option takes.
#include <charconv>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>

#include "platform/httpapi/CertStore.h"

namespace {

constexpr const char* kUsage =
    "usage: quillon-cert [--store NAME] [--days N] [--ec] HOST\n"
    "\n"
    "Creates a self-signed certificate for HOST (a host name or an IP address) with its\n"
    "private key in a certificate store and prints its SHA-1 thumbprint (upper-case hex).\n"
    "\n"
    "  --store NAME  certificate store: a folder under $QUILLON_CERT_STORES\n"
    "                (default ~/.config/quillon/certstores), or an absolute folder;\n"
    "                default MY\n"
    "  --days N      validity in days (default 365)\n"
    "  --ec          an EC P-256 key instead of RSA 2048\n"
    "  --help        this text\n";

int Fail(const std::string& message) {
  std::cerr << "quillon-cert: " << message << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quillon::platform;
  std::string store;
  std::string host;
  SelfSignedOptions options;

  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--store") {
      const char* v = value();
      if (v == nullptr) return Fail("--store needs a store name");
      store = v;
    } else if (arg == "--days") {
      const char* v = value();
      if (v == nullptr) return Fail("--days needs a number");
      std::string_view text = v;
      int days = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), days);
      if (ec != std::errc() || end != text.data() + text.size() || days < 1 || days > 36500) {
        return Fail("--days takes a whole number from 1 to 36500, not \"" + std::string(text) +
                    "\"");
      }
      options.days = days;
    } else if (arg == "--ec") {
      options.keyType = CertKeyType::EcP256;
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::cerr << kUsage;
      return Fail("unknown option " + std::string(arg));
    } else if (host.empty()) {
      host = arg;
    } else {
      std::cerr << kUsage;
      return Fail("only one HOST may be given");
    }
  }
  if (host.empty()) {
    std::cerr << kUsage;
    return Fail("a HOST is required");
  }

  try {
    std::string thumbprint = CreateSelfSignedCertificate(store, host, options);
    std::cout << thumbprint << std::endl;
    return std::cout ? 0 : 1;
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
