// Message texts of the Win32 result codes, in the wording Windows gives them.
#include "platform/win32/SysErrorMessage.h"

#include <cstdio>
#include <string_view>

namespace quillon::platform {
namespace {

struct MessageEntry {
  DWORD code;
  std::string_view text;
};

// Kept in code order; a short table, so a linear scan is enough.
constexpr MessageEntry kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_NETNAME_DELETED, "The specified network name is no longer available."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_MORE_DATA, "More data is available."},
    {WAIT_TIMEOUT, "The wait operation timed out."},
    {ERROR_ABANDONED_WAIT_0, "ERROR_ABANDONED_WAIT_0"},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_NOT_FOUND, "Element not found."},
    {1214, "The format of the specified network name is invalid."},
    {ERROR_CONNECTION_INVALID, "An operation was attempted on a nonexistent network connection."},
    {1235, "The request was aborted."},
    {ERROR_CONNECTION_ABORTED, "The network connection was aborted by the local system."},
    {ERROR_NO_SYSTEM_RESOURCES,
     "Insufficient system resources exist to complete the requested service."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {WSAEADDRNOTAVAIL, "The requested address is not valid in its context."},
};

}  // namespace

std::string SysErrorMessage(DWORD code) {
  for (const MessageEntry& entry : kMessages) {
    if (entry.code == code) return std::string(entry.text);
  }
  char text[64];
  std::snprintf(text, sizeof text, "Unknown error %lu (0x%08lX).",
                static_cast<unsigned long>(code), static_cast<unsigned long>(code));
  return text;
}

}  // namespace quillon::platform
