// The system's English message text for a Win32 result code, as errors raised from
// those codes show it. Not a general message catalogue: only the codes the library
// and the engine produce are known; any other code gets a generic text with its number.
#pragma once

#include <string>

#include "platform/win32/Win32Types.h"

namespace quillon::platform {

std::string SysErrorMessage(DWORD code);

}  // namespace quillon::platform
