// The per-thread last-error value behind GetLastError/SetLastError. Each thread
// sees only the codes its own calls set, as on Windows.
#include "platform/win32/Win32Types.h"

namespace {
thread_local DWORD tLastError = ERROR_SUCCESS;
}  // namespace

DWORD GetLastError() { return tLastError; }

void SetLastError(DWORD code) { tLastError = code; }
