// The Windows base types, result codes and OVERLAPPED record that the library is
// written against. Only what the layers above use; semantics follow the published API.
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using BOOLEAN = std::uint8_t;
using BOOL = int;
using USHORT = std::uint16_t;
using WORD = std::uint16_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using DWORD = std::uint32_t;
using ULONGLONG = std::uint64_t;
using LONGLONG = std::int64_t;
using ULONG_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using PVOID = void*;
using LPVOID = void*;
using HANDLE = void*;
using PCSTR = const char*;
using PSTR = char*;
using LPDWORD = DWORD*;
using PULONG = ULONG*;
using PULONG_PTR = ULONG_PTR*;
using PHANDLE = HANDLE*;

inline constexpr BOOL FALSE = 0;
inline constexpr BOOL TRUE = 1;
using HRESULT = LONG;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});
inline constexpr DWORD INFINITE = 0xFFFFFFFF;

// Win32 result codes used by the library and the engine.
inline constexpr ULONG NO_ERROR = 0;
inline constexpr ULONG ERROR_SUCCESS = 0;
inline constexpr ULONG ERROR_INVALID_FUNCTION = 1;
inline constexpr ULONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr ULONG ERROR_PATH_NOT_FOUND = 3;
inline constexpr ULONG ERROR_ACCESS_DENIED = 5;
inline constexpr ULONG ERROR_INVALID_HANDLE = 6;
inline constexpr ULONG ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr ULONG ERROR_INVALID_DATA = 13;
inline constexpr ULONG ERROR_SHARING_VIOLATION = 32;
inline constexpr ULONG ERROR_HANDLE_EOF = 38;
inline constexpr ULONG ERROR_NOT_SUPPORTED = 50;
inline constexpr ULONG ERROR_NETNAME_DELETED = 64;
inline constexpr ULONG ERROR_INVALID_PARAMETER = 87;
inline constexpr ULONG ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr ULONG ERROR_ALREADY_EXISTS = 183;
inline constexpr ULONG ERROR_MORE_DATA = 234;
inline constexpr ULONG WAIT_TIMEOUT = 258;
inline constexpr ULONG ERROR_ABANDONED_WAIT_0 = 735;
inline constexpr ULONG ERROR_OPERATION_ABORTED = 995;
inline constexpr ULONG ERROR_IO_PENDING = 997;
inline constexpr ULONG ERROR_NOT_FOUND = 1168;
inline constexpr ULONG ERROR_CONNECTION_INVALID = 1229;
inline constexpr ULONG ERROR_CONNECTION_ABORTED = 1236;
inline constexpr ULONG ERROR_NO_SYSTEM_RESOURCES = 1450;
inline constexpr ULONG ERROR_TIMEOUT = 1460;
inline constexpr ULONG WSAEADDRNOTAVAIL = 10049;

// COM-style results (CoCreateGuid, CoInitialize).
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);

// The record every overlapped call carries; the library puts it first in its contexts.
struct OVERLAPPED {
  ULONG_PTR Internal = 0;      // status of the completed operation
  ULONG_PTR InternalHigh = 0;  // bytes transferred
  DWORD Offset = 0;
  DWORD OffsetHigh = 0;
  HANDLE hEvent = nullptr;
};
using LPOVERLAPPED = OVERLAPPED*;

// Per-thread last error, as the Win32 calls set it.
DWORD GetLastError();
void SetLastError(DWORD code);
