// The root of the connection chain: identity, addresses, byte counters, the write lock and
// the reference count that keeps a connection alive while threads and outstanding
// operations hold it. No protocol here (WebSocket is in lumWebSocket_Classes.h).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "httpapi/lumWebSocket_HTTPAPI_Server.h"
#include "util/lumWebSocket_Classes_SyncObjs.h"

namespace quillon {

enum TwsTransport : std::uint8_t {
  trpUndefined,
  trpRFC6455,
  trpHixie76,
  trpFlash,
  trpSSE,
  trpTCP,
  trpHTTP,
  trpRFC8441,
  trpHTTP2
};

enum TtcpEOFScanBuffer : std::uint8_t { eofScanNone, eofScanLatestBytes, eofScanAllBytes };

// Raised by a transport for an operation on a connection that is already closed; closing
// code swallows it unless asked to report disconnect errors.
class TlumSilentException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reference counted through the request-queue host's connection base, so that the request
// contexts of the worker pool and every other holder share one count: the creator holds
// the first reference; every thread or outstanding operation that keeps the connection
// takes one more (AddRef) and gives it back (Release). The object is destroyed exactly
// once, when the last reference goes. Free() gives up the creator's reference.
class TlumTCPConnection_Base : public TlumHTTPAPIConnection {
 public:
  TlumTCPConnection_Base();
  TlumTCPConnection_Base(const TlumTCPConnection_Base&) = delete;
  TlumTCPConnection_Base& operator=(const TlumTCPConnection_Base&) = delete;

  // Completed reads come only to the HTTP Server API transport, which overrides this.
  void DoReadData(DWORD /*aBytesReceived*/) override {}

  // Marks the connection freed and drops the creator's reference; null is ignored.
  void Free();
  static void Free(TlumTCPConnection_Base* aConnection) {
    if (aConnection != nullptr) aConnection->Free();
  }
  bool Freed() const { return FFreed.load(std::memory_order_acquire); }

  // The write lock (one frame at a time) and the six indexed locks; index 0 guards the
  // subscription list, index 1 the texts that other threads poll (last message, pong).
  virtual void DoEnterCS();
  virtual void DoEnterCS(int aIndex);
  virtual void DoLeaveCS();
  virtual void DoLeaveCS(int aIndex);

  bool Active() { return GetActive(); }
  const std::string& Guid() { return GetGuid(); }
  std::string IP() { return GetIP(); }
  std::string LocalIP() { return GetLocalIP(); }
  int LocalPort() { return GetLocalPort(); }
  int Port() { return GetPort(); }

  virtual bool GetActive() = 0;
  // 32 upper-case hex digits of a new GUID, made on the first read.
  virtual const std::string& GetGuid();
  virtual std::string GetIP() = 0;
  virtual std::string GetLocalIP() = 0;
  virtual int GetLocalPort() = 0;
  virtual int GetPort() = 0;

  TwsTransport Transport() const { return FTransport.load(std::memory_order_acquire); }
  virtual void SetTransport(TwsTransport Value) {
    FTransport.store(Value, std::memory_order_release);
  }
  // A failed transport call: drop the connection (nothing at this level).
  virtual void DisconnectOnError() {}

  bool IsInternal() const { return FIsInternal; }
  void SetIsInternal(bool Value) { FIsInternal = Value; }
  std::int64_t RecBytes() const { return FRecBytes.load(std::memory_order_relaxed); }
  std::int64_t SendBytes() const { return FSendBytes.load(std::memory_order_relaxed); }
  void AddRecBytes(std::int64_t n) { FRecBytes.fetch_add(n, std::memory_order_relaxed); }
  void AddSendBytes(std::int64_t n) { FSendBytes.fetch_add(n, std::memory_order_relaxed); }

  // Stored by the server's handlers; read by the application.
  std::string MsgReceived();
  void SetMsgReceived(std::string Value);
  std::vector<std::uint8_t>& MsgBinaryReceived() { return FMsgBinaryReceived; }
  const std::string& MsgException() const { return FMsgException; }
  void SetMsgException(std::string Value) { FMsgException = std::move(Value); }
  std::exception_ptr RawException() const { return FRawException; }
  void SetRawException(std::exception_ptr Value) { FRawException = std::move(Value); }

  TtcpEOFScanBuffer TCPEndOfFrameScanBuffer() const { return FTCPEndOfFrameScanBuffer; }
  void SetTCPEndOfFrameScanBuffer(TtcpEOFScanBuffer Value) { FTCPEndOfFrameScanBuffer = Value; }
  const std::vector<std::uint8_t>& TCPEndOfFrame() const { return FTCPEndOfFrame; }
  void AddTCPEndOfFrame(std::uint8_t aByte) { FTCPEndOfFrame.push_back(aByte); }
  void ClearTCPEndOfFrame() { FTCPEndOfFrame.clear(); }

  // The application's own data; never freed by the connection.
  void* Data() const { return FData; }
  void SetData(void* Value) { FData = Value; }

 protected:
  // Only Release destroys a connection.
  ~TlumTCPConnection_Base() override;

  TlumCriticalSection FCS;
  std::array<TlumCriticalSection, 6> FCSArray;
  bool FIsInternal = false;
  std::string FGuid;
  std::once_flag FGuidOnce;
  std::atomic<std::int64_t> FRecBytes{0};
  std::atomic<std::int64_t> FSendBytes{0};
  std::string FIP;
  std::string FLocalIP;
  int FLocalPort = 0;
  int FPort = 0;
  std::atomic<TwsTransport> FTransport{trpUndefined};
  std::string FMsgReceived;  // under FCSArray[1]
  std::vector<std::uint8_t> FMsgBinaryReceived;
  std::string FMsgException;
  std::exception_ptr FRawException;
  TtcpEOFScanBuffer FTCPEndOfFrameScanBuffer = eofScanNone;
  std::vector<std::uint8_t> FTCPEndOfFrame;
  void* FData = nullptr;
  std::atomic<bool> FFreed{false};
};

// Holds a connection's write lock for a scope.
class TlumWriteLock {
 public:
  explicit TlumWriteLock(TlumTCPConnection_Base& c) : FConnection(c) { FConnection.DoEnterCS(); }
  ~TlumWriteLock() { FConnection.DoLeaveCS(); }
  TlumWriteLock(const TlumWriteLock&) = delete;
  TlumWriteLock& operator=(const TlumWriteLock&) = delete;

 private:
  TlumTCPConnection_Base& FConnection;
};

// Adds nothing; kept so that the chain reads as designed.
class TlumTCPConnection : public TlumTCPConnection_Base {};

}  // namespace quillon
