// TlumWSException, the error every layer of the library raises, and CheckError, the one gate
// through which the host passes the Win32 result codes it tests. Not an error catalogue: the
// message is the text the operating system gives for a code, or the caller's own text.
#pragma once

#include <stdexcept>
#include <string>

#include "platform/win32/SysErrorMessage.h"
#include "platform/win32/Win32Types.h"

namespace quillon {

class TlumWSException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// 0 passes; any other code raises TlumWSException with the system's text for that code.
inline void CheckError(DWORD aCode) {
  if (aCode != NO_ERROR) throw TlumWSException(platform::SysErrorMessage(aCode));
}

}  // namespace quillon
