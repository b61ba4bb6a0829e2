// TlumTCPConnection_Base: reference count, locks, GUID identity.
#include "connection/lumTCP_Classes.h"

#include "platform/win32/Guid.h"

namespace quillon {

TlumTCPConnection_Base::TlumTCPConnection_Base() = default;

TlumTCPConnection_Base::~TlumTCPConnection_Base() = default;

void TlumTCPConnection_Base::Free() {
  FFreed.store(true, std::memory_order_release);
  Release();
}

void TlumTCPConnection_Base::DoEnterCS() { FCS.Acquire(); }

void TlumTCPConnection_Base::DoEnterCS(int aIndex) { FCSArray.at(aIndex).Acquire(); }

void TlumTCPConnection_Base::DoLeaveCS() { FCS.Release(); }

void TlumTCPConnection_Base::DoLeaveCS(int aIndex) { FCSArray.at(aIndex).Release(); }

const std::string& TlumTCPConnection_Base::GetGuid() {
  // Any thread may ask first; the text never changes afterwards.
  std::call_once(FGuidOnce, [this] { FGuid = platform::NewGuidHex32(); });
  return FGuid;
}

std::string TlumTCPConnection_Base::MsgReceived() {
  std::lock_guard hold(FCSArray[1]);
  return FMsgReceived;
}

void TlumTCPConnection_Base::SetMsgReceived(std::string Value) {
  std::lock_guard hold(FCSArray[1]);
  FMsgReceived = std::move(Value);
}

}  // namespace quillon
