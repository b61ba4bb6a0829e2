// The roots of every component: the component state a server asks about (designing,
// loading, destroying), the version text, and the locks and notification mode shared by
// the socket components. Nothing about connections or transports here.
#pragma once

#include <array>
#include <atomic>
#include <string_view>

#include "util/lumNotifyEvent.h"
#include "util/lumWebSocket_Classes_SyncObjs.h"

namespace quillon {

class TlumComponent_Base {
 public:
  TlumComponent_Base() = default;
  virtual ~TlumComponent_Base() = default;
  TlumComponent_Base(const TlumComponent_Base&) = delete;
  TlumComponent_Base& operator=(const TlumComponent_Base&) = delete;

  static constexpr std::string_view Version() { return "4.4.6"; }

  // A headless library is never designed or streamed in; the flags exist so that code
  // written for components reads the same.
  bool IsDesigning() const { return false; }
  bool IsLoading() const { return false; }
  bool IsDestroying() const { return FDestroying.load(std::memory_order_acquire); }

 protected:
  // Set first thing by the most derived destructor, so that handlers still running on
  // other threads return at once.
  void SetDestroying() { FDestroying.store(true, std::memory_order_release); }

 private:
  std::atomic<bool> FDestroying{false};
};

class TlumTCPComponent_Base : public TlumComponent_Base {
 public:
  void DoEnterCS() { FCS.Acquire(); }
  void DoLeaveCS() { FCS.Release(); }
  void DoEnterCS(int aIndex) { FCSArray.at(static_cast<std::size_t>(aIndex)).Acquire(); }
  void DoLeaveCS(int aIndex) { FCSArray.at(static_cast<std::size_t>(aIndex)).Release(); }
  bool HasCS() const { return true; }

  TwsNotifyEvent NotifyEvents() const { return FNotifyEvents.load(std::memory_order_acquire); }
  virtual void SetNotifyEvents(TwsNotifyEvent Value) {
    FNotifyEvents.store(Value, std::memory_order_release);
  }

 protected:
  std::array<TlumCriticalSection, 6> FCSArray;
  TlumCriticalSection FCS;
  std::atomic<TwsNotifyEvent> FNotifyEvents{neAsynchronous};
};

}  // namespace quillon
