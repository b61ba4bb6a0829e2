// The kernel objects behind HANDLE values (completion ports, request queues): a reference
// count, a type tag, and a process-wide table that tells live handles from stale or foreign
// ones, so a closed or bogus handle gives ERROR_INVALID_HANDLE instead of a crash.
#pragma once

#include <atomic>
#include <utility>

#include "platform/win32/Win32Types.h"

namespace quillon::platform::detail {

class KernelObject {
 public:
  enum class Type { CompletionPort, RequestQueue };

  explicit KernelObject(Type type) : type_(type) {}
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  Type type() const { return type_; }
  void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void Release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  // The last handle is being closed (the table no longer lists it).
  virtual void OnCloseHandle() {}
  // Binding to a completion port; false when this object cannot be bound (or already is).
  virtual bool BindCompletionPort(KernelObject* /*port*/, ULONG_PTR /*key*/) {
    return false;
  }

 protected:
  virtual ~KernelObject() = default;

 private:
  const Type type_;
  std::atomic<long> refs_{1};
};

// Owning reference to a kernel object.
template <class T>
class KernelRef {
 public:
  KernelRef() = default;
  explicit KernelRef(T* adopted) : p_(adopted) {}
  KernelRef(const KernelRef& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  KernelRef(KernelRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  KernelRef& operator=(KernelRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~KernelRef() {
    if (p_) p_->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// Lists the object as a live handle (the table takes over the caller's reference).
HANDLE RegisterHandle(KernelObject* object);
// A new reference to the object behind a live handle of that type, or empty.
KernelRef<KernelObject> ReferenceHandle(HANDLE handle);
template <class T>
KernelRef<T> ReferenceHandleAs(HANDLE handle, KernelObject::Type type) {
  KernelRef<KernelObject> ref = ReferenceHandle(handle);
  if (!ref || ref->type() != type) return {};
  T* p = static_cast<T*>(ref.get());
  p->AddRef();
  return KernelRef<T>(p);
}
// Removes the handle from the table, runs OnCloseHandle and drops the table's reference.
bool CloseKernelHandle(HANDLE handle);

}  // namespace quillon::platform::detail
