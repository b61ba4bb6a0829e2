// GUIDs: the Windows record, CoCreateGuid (random version 4 from the kernel's CSPRNG)
// and the two texts the library writes them as. Not a parser of GUID texts.
#pragma once

#include <string>

#include "platform/win32/Win32Types.h"

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};

// S_OK with a fresh random GUID, E_FAIL when the system had no randomness to give.
HRESULT CoCreateGuid(GUID* pguid);

namespace quillon::platform {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case, as Windows writes a GUID.
std::string GuidToString(const GUID& guid);

// The same 32 upper-case hex digits without braces or hyphens: the form used for
// connection ids, session ids and secrets.
std::string GuidToHex32(const GUID& guid);

// GuidToHex32 of a new GUID; throws std::system_error when none can be made.
std::string NewGuidHex32();

}  // namespace quillon::platform
