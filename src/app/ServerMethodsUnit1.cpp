// EchoString and ReverseString, and their entry in the method registry.
#include "app/ServerMethodsUnit1.h"

#include <vector>

namespace quillon {

namespace {

// Length of the UTF-8 character at aText[i]; 1 for a byte that does not start a well-formed one.
std::size_t CharLength(const std::string& aText, std::size_t i) {
  const auto c = static_cast<unsigned char>(aText[i]);
  const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
  if (i + n > aText.size()) return 1;
  for (std::size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(aText[i + k]) & 0xC0) != 0x80) return 1;
  }
  return n;
}

}  // namespace

std::string TServerMethods1::EchoString(const std::string& Value) { return Value; }

std::string TServerMethods1::ReverseString(const std::string& Value) {
  std::vector<std::pair<std::size_t, std::size_t>> chars;
  for (std::size_t i = 0; i < Value.size();) {
    const std::size_t n = CharLength(Value, i);
    chars.emplace_back(i, n);
    i += n;
  }
  std::string out;
  out.reserve(Value.size());
  for (auto it = chars.rbegin(); it != chars.rend(); ++it) out.append(Value, it->first, it->second);
  return out;
}

TPersistentClass TServerMethods1::ClassInfo() {
  static const TDSClassInfo info{
      "TServerMethods1",
      [] { return std::unique_ptr<TComponent>(std::make_unique<TServerMethods1>()); },
      {
          {"EchoString", {"Value"}, "string",
           [](TComponent& self, const std::vector<std::string>& args) {
             return static_cast<TServerMethods1&>(self).EchoString(args.at(0));
           }},
          {"ReverseString", {"Value"}, "string",
           [](TComponent& self, const std::vector<std::string>& args) {
             return static_cast<TServerMethods1&>(self).ReverseString(args.at(0));
           }},
      }};
  return &info;
}

}  // namespace quillon
