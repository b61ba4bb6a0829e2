// Handle table of the kernel-object stand-ins.
#include "platform/win32/KernelObject.h"

#include <mutex>
#include <unordered_set>

namespace quillon::platform::detail {
namespace {

// One lock for the table: handles are opened and closed rarely, looked up per call.
struct HandleTable {
  std::mutex lock;
  std::unordered_set<KernelObject*> live;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // never destroyed: handles may outlive main
  return *table;
}

}  // namespace

HANDLE RegisterHandle(KernelObject* object) {
  HandleTable& t = Table();
  std::lock_guard guard(t.lock);
  t.live.insert(object);
  return object;
}

KernelRef<KernelObject> ReferenceHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return {};
  auto* object = static_cast<KernelObject*>(handle);
  HandleTable& t = Table();
  std::lock_guard guard(t.lock);
  if (!t.live.count(object)) return {};
  object->AddRef();
  return KernelRef<KernelObject>(object);
}

bool CloseKernelHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  auto* object = static_cast<KernelObject*>(handle);
  {
    HandleTable& t = Table();
    std::lock_guard guard(t.lock);
    if (t.live.erase(object) == 0) return false;
  }
  object->OnCloseHandle();
  object->Release();
  return true;
}

}  // namespace quillon::platform::detail
