// URL cooking (percent escapes, dot segments) and the URL-prefix parser with request
// matching. The input is "target\nprefix\nhost header".
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "platform/httpapi/UrlPrefix.h"

using namespace quillon::platform::detail;

namespace {

std::string_view Line(std::string_view& aText) {
  const std::size_t nl = aText.find('\n');
  const std::string_view line = aText.substr(0, nl);
  aText = nl == std::string_view::npos ? std::string_view() : aText.substr(nl + 1);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  std::string_view text(reinterpret_cast<const char*>(aData), aSize);
  const std::string_view target = Line(text);
  const std::string_view prefixText = Line(text);
  const std::string_view host = text;

  // The request-line parser lets no blank or control byte into a target.
  bool parsable = true;
  for (const char ch : target) {
    const auto u = static_cast<unsigned char>(ch);
    if (u <= 0x20 || u == 0x7F) parsable = false;
  }
  const auto cooked = parsable ? CookTarget(target) : std::nullopt;
  if (cooked) {
    const std::string& path = cooked->path;
    FUZZ_CHECK(!path.empty() && path.front() == '/');
    FUZZ_CHECK(path.find('\0') == std::string::npos);
    // No dot segment survives: the path cannot climb out of a prefix.
    FUZZ_CHECK(path.find("/../") == std::string::npos && path.find("/./") == std::string::npos);
    FUZZ_CHECK(path != "/.." && !path.ends_with("/..") && !path.ends_with("/."));
    FUZZ_CHECK(cooked->query.empty() || cooked->query.front() == '?');
  }

  const auto prefix = ParseUrlPrefix(prefixText);
  if (prefix) {
    FUZZ_CHECK(!prefix->path.empty() && prefix->path.front() == '/' && prefix->path.back() == '/');
    FUZZ_CHECK(prefix->port != 0);
    // Its canonical text names the same prefix.
    const auto again = ParseUrlPrefix(prefix->canonical);
    FUZZ_CHECK(again && again->canonical == prefix->canonical);
    ListenAddress(*prefix);
    if (cooked) {
      for (bool https : {false, true})
        MatchRank(*prefix, https, IpAddress::Parse("127.0.0.1"), prefix->port, host, cooked->path);
    }
  }
  const std::string_view bare = HostWithoutPort(host);
  FUZZ_CHECK(bare.size() <= host.size());
  return 0;
}
