// System texts of Win32 result codes, and the per-thread last error.
#include "platform/win32/SysErrorMessage.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using quillon::platform::SysErrorMessage;

TEST(SysErrorMessageTest, KnownCodesGiveTheWindowsText) {
  struct Case {
    DWORD code;
    const char* text;
  };
  const Case cases[] = {
      {ERROR_SUCCESS, "The operation completed successfully."},
      {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
      {ERROR_ACCESS_DENIED, "Access is denied."},
      {ERROR_HANDLE_EOF, "Reached the end of the file."},
      {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
      {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
      {ERROR_MORE_DATA, "More data is available."},
      {ERROR_OPERATION_ABORTED,
       "The I/O operation has been aborted because of either a thread exit or an application "
       "request."},
      {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
      {ERROR_NOT_FOUND, "Element not found."},
      {ERROR_CONNECTION_INVALID,
       "An operation was attempted on a nonexistent network connection."},
      {ERROR_CONNECTION_ABORTED, "The network connection was aborted by the local system."},
      {WSAEADDRNOTAVAIL, "The requested address is not valid in its context."},
  };
  for (const Case& c : cases) EXPECT_EQ(SysErrorMessage(c.code), c.text) << c.code;
}

TEST(SysErrorMessageTest, EveryCodeOfTheBaseTypesHasItsOwnText) {
  const DWORD codes[] = {ERROR_INVALID_FUNCTION,  ERROR_PATH_NOT_FOUND,    ERROR_INVALID_HANDLE,
                         ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_DATA,      ERROR_SHARING_VIOLATION,
                         ERROR_NOT_SUPPORTED,     ERROR_NETNAME_DELETED,   ERROR_INSUFFICIENT_BUFFER,
                         WAIT_TIMEOUT,            ERROR_ABANDONED_WAIT_0,  ERROR_NO_SYSTEM_RESOURCES,
                         ERROR_TIMEOUT};
  for (DWORD code : codes) {
    std::string text = SysErrorMessage(code);
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_EQ(text.find("Unknown error"), std::string::npos) << code;
  }
}

TEST(SysErrorMessageTest, UnknownCodeNamesItsNumber) {
  std::string text = SysErrorMessage(12345);
  EXPECT_NE(text.find("12345"), std::string::npos) << text;
  EXPECT_NE(text.find("0x00003039"), std::string::npos) << text;
}

TEST(LastErrorTest, IsPerThread) {
  SetLastError(ERROR_IO_PENDING);
  DWORD seenByOther = 1;
  std::thread([&] {
    seenByOther = GetLastError();
    SetLastError(ERROR_ACCESS_DENIED);
  }).join();
  EXPECT_EQ(seenByOther, ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
}

}  // namespace
