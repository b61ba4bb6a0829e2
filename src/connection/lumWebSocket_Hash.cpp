// SHA-1 and Base64 on OpenSSL's implementations.
#include "connection/lumWebSocket_Hash.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

namespace quillon {

std::array<std::uint8_t, 20> SHA1Digest(std::string_view aData) {
  std::array<std::uint8_t, 20> digest{};
  SHA1(reinterpret_cast<const unsigned char*>(aData.data()), aData.size(), digest.data());
  return digest;
}

std::string Base64Encode(std::string_view aData) {
  std::string out(4 * ((aData.size() + 2) / 3), '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(aData.data()),
                                static_cast<int>(aData.size()));
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

std::string Base64Decode(std::string_view aText) {
  while (!aText.empty() && (aText.front() == ' ' || aText.front() == '\t')) aText.remove_prefix(1);
  while (!aText.empty() && (aText.back() == ' ' || aText.back() == '\t' || aText.back() == '\r' ||
                            aText.back() == '\n')) {
    aText.remove_suffix(1);
  }
  if (aText.empty() || aText.size() % 4 != 0) return {};
  std::string out(aText.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(aText.data()),
                                static_cast<int>(aText.size()));
  if (n < 0) return {};
  // EVP_DecodeBlock counts the bytes that the padding stands for; drop them.
  std::size_t size = static_cast<std::size_t>(n);
  if (aText.back() == '=') --size;
  if (aText[aText.size() - 2] == '=') --size;
  out.resize(size);
  return out;
}

}  // namespace quillon
