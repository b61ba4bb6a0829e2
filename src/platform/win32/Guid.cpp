// Random GUIDs come from getrandom(2): identifiers made from them must be unguessable.
#include "platform/win32/Guid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <system_error>

namespace {

bool FillRandom(unsigned char* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t got = getrandom(out + done, size - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

HRESULT CoCreateGuid(GUID* pguid) {
  if (pguid == nullptr) return E_FAIL;
  unsigned char bytes[16];
  if (!FillRandom(bytes, sizeof bytes)) return E_FAIL;
  GUID g{};
  g.Data1 = static_cast<DWORD>(bytes[0]) << 24 | static_cast<DWORD>(bytes[1]) << 16 |
            static_cast<DWORD>(bytes[2]) << 8 | bytes[3];
  g.Data2 = static_cast<WORD>(bytes[4] << 8 | bytes[5]);
  // Version 4 in the top nibble of Data3, RFC 4122 variant in the top bits of Data4[0].
  g.Data3 = static_cast<WORD>(((bytes[6] & 0x0F) | 0x40) << 8 | bytes[7]);
  g.Data4[0] = static_cast<BYTE>((bytes[8] & 0x3F) | 0x80);
  for (int i = 1; i < 8; ++i) g.Data4[i] = bytes[8 + i];
  *pguid = g;
  return S_OK;
}

namespace quillon::platform {

std::string GuidToString(const GUID& guid) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return text;
}

std::string GuidToHex32(const GUID& guid) {
  std::string text;
  text.reserve(32);
  for (char c : GuidToString(guid)) {
    if (c != '{' && c != '}' && c != '-') text.push_back(c);
  }
  return text;
}

std::string NewGuidHex32() {
  GUID guid;
  if (CoCreateGuid(&guid) != S_OK) {
    throw std::system_error(errno, std::generic_category(), "CoCreateGuid");
  }
  return GuidToHex32(guid);
}

}  // namespace quillon::platform
