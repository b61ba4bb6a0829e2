// I/O completion ports: the queue through which overlapped operations report that they have
// finished. A port is a kernel object behind a HANDLE; a request queue bound to a port posts
// one packet (key, bytes, OVERLAPPED, status) per completed overlapped call. Waiting threads
// are woken last-in first-out, so the thread that waited last (and is still warm) runs next.
// Not an event loop: ports only carry packets.
#pragma once

#include <chrono>

#include "platform/win32/Win32Types.h"

// NumberOfConcurrentThreads bounds the threads that run packets at once (0: one per processor
// this process may run on, at least two).
// FileHandle INVALID_HANDLE_VALUE and no port: makes a new port. A bindable handle (a request
// queue) with a port binds it with CompletionKey and returns that port; with no port a new
// one is made and bound. Null and GetLastError on failure.
HANDLE CreateIoCompletionPort(HANDLE FileHandle, HANDLE ExistingCompletionPort,
                              ULONG_PTR CompletionKey, DWORD NumberOfConcurrentThreads);

// TRUE with a packet. FALSE with *lpOverlapped set: a packet of a failed operation, its code in
// GetLastError. FALSE with *lpOverlapped null: WAIT_TIMEOUT, ERROR_ABANDONED_WAIT_0 (the port
// was closed) or ERROR_INVALID_HANDLE.
BOOL GetQueuedCompletionStatus(HANDLE CompletionPort, LPDWORD lpNumberOfBytesTransferred,
                               PULONG_PTR lpCompletionKey, LPOVERLAPPED* lpOverlapped,
                               DWORD dwMilliseconds);

BOOL PostQueuedCompletionStatus(HANDLE CompletionPort, DWORD dwNumberOfBytesTransferred,
                                ULONG_PTR dwCompletionKey, LPOVERLAPPED lpOverlapped);

// Closes any kernel object of this layer (completion port, request queue).
BOOL CloseHandle(HANDLE hObject);

namespace quillon::platform::detail {

class KernelObject;

// Posts a completion with a status for an overlapped operation of a bound object (`port` is
// the completion port it was bound to). Stores the status in lpOverlapped->Internal and the
// byte count in InternalHigh, as the OS does. False when the port is closed.
bool PostCompletion(KernelObject* port, ULONG_PTR key, DWORD bytes,
                    LPOVERLAPPED overlapped, DWORD status);

// How long packets wait over the concurrency bound, with no running thread coming back for
// one, before a waiter runs one past the bound (2 ms). Tests lengthen it to make the
// difference between a busy and a blocked thread plain.
std::chrono::milliseconds StallLook();
void SetStallLook(std::chrono::milliseconds aLook);

}  // namespace quillon::platform::detail
