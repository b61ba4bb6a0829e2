// lumJSON.h — a small, forgiving JSON document model with its reader and compact writer.
//
// A document (TlumJSON) is an ordered list of members (TlumObjectJSON); a member has a name,
// a kind, a scalar value or a child document. Reading never fails loudly and keeps string
// contents raw (escapes are not decoded); numbers, true, false and null are kept as text.
// This is not a validator and not a general-purpose JSON library: it reads what our peers
// send and writes what our endpoints answer.
//
// Lifetime: documents and members are components (an optional owner frees them) that are
// also reference-counted through IlumJSONRef / IlumObjectJSONRef. Freeing an object that is
// still referenced only marks it; it goes when the last reference does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace quillon {

class TlumJSON;
class TlumObjectJSON;
namespace detail {
class TlumJSONReader;
}

// Kinds of member, in this order.
enum TlumJSONtype : std::uint8_t {
  lumJSONUndefined,
  lumJSONObject,
  lumJSONList,
  lumJSONString,
  lumJSONNumber,
  lumJSONBoolean,
  lumJSONNull,
};

// A member's value. Text conversion: integers in decimal, a double in general format with up
// to 15 significant digits and always a '.' separator, a Boolean as "True" or "False".
using TlumJSONValue = std::variant<std::string, std::int32_t, std::int64_t, double, bool>;
std::string JSONValueToText(const TlumJSONValue& aValue);

// A component that several holders may keep through interface references.
class TInterfacedComponent {
public:
  explicit TInterfacedComponent(TInterfacedComponent* aOwner);
  TInterfacedComponent(const TInterfacedComponent&) = delete;
  TInterfacedComponent& operator=(const TInterfacedComponent&) = delete;

  // Destroys the object now, or marks it when references remain: the last one destroys it.
  void Free() noexcept;
  int AddRef() noexcept { return ++FRefCount; }
  int Release() noexcept;

  TInterfacedComponent* Owner() const noexcept { return FOwner; }
  int RefCount() const noexcept { return FRefCount; }
  bool DestroyPending() const noexcept { return FDestroyObject; }

  // Moves the object under another owner (or none) and cancels a pending Free: the new owner
  // is now responsible for it.
  void Adopt(TInterfacedComponent* aOwner);
  // Whether aAncestor is this object's owner, its owner's owner, and so on.
  bool IsOwnedBy(const TInterfacedComponent* aAncestor) const noexcept;

protected:
  virtual ~TInterfacedComponent();

private:
  void Destroy() noexcept;
  void RemoveComponent(TInterfacedComponent* aComponent) noexcept;

  TInterfacedComponent* FOwner = nullptr;
  std::vector<TInterfacedComponent*> FComponents;  // owned, freed with us
  // Not atomic: a document is used by one thread at a time.
  int FRefCount = 0;
  bool FDestroyObject = false;
  bool FDestroying = false;  // references taken inside the destructor must not delete again
};

// Frees a component at the end of a scope (for documents made without owner).
struct TlumFree {
  void operator()(TInterfacedComponent* aComponent) const noexcept {
    if (aComponent) aComponent->Free();
  }
};
template <class T>
using TlumOwned = std::unique_ptr<T, TlumFree>;

// Base of the reference-counted interfaces.
class IlumInterface {
public:
  virtual int AddRef() noexcept = 0;
  virtual int Release() noexcept = 0;

protected:
  ~IlumInterface() = default;
};

// A counted reference to an interface: holds the object alive across Free.
template <class T>
class TlumInterfaceRef {
public:
  TlumInterfaceRef() noexcept = default;
  TlumInterfaceRef(std::nullptr_t) noexcept {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  TlumInterfaceRef(U* aPtr) noexcept : FPtr(aPtr) {
    if (FPtr) FPtr->AddRef();
  }
  TlumInterfaceRef(const TlumInterfaceRef& aOther) noexcept : TlumInterfaceRef(aOther.FPtr) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  TlumInterfaceRef(const TlumInterfaceRef<U>& aOther) noexcept : TlumInterfaceRef(aOther.get()) {}
  TlumInterfaceRef(TlumInterfaceRef&& aOther) noexcept : FPtr(std::exchange(aOther.FPtr, nullptr)) {}
  ~TlumInterfaceRef() { reset(); }

  TlumInterfaceRef& operator=(TlumInterfaceRef aOther) noexcept {
    std::swap(FPtr, aOther.FPtr);
    return *this;
  }
  void reset() noexcept {
    // Cleared before Release: releasing may destroy an object whose destructor looks here.
    if (T* p = std::exchange(FPtr, nullptr)) p->Release();
  }

  T* get() const noexcept { return FPtr; }
  T* operator->() const noexcept { return FPtr; }
  T& operator*() const noexcept { return *FPtr; }
  explicit operator bool() const noexcept { return FPtr != nullptr; }
  friend bool operator==(const TlumInterfaceRef& a, const TlumInterfaceRef& b) noexcept {
    return a.FPtr == b.FPtr;
  }
  friend bool operator==(const TlumInterfaceRef& a, std::nullptr_t) noexcept { return !a.FPtr; }

private:
  T* FPtr = nullptr;
};

class IlumJSON;
class IlumObjectJSON;
using IlumJSONRef = TlumInterfaceRef<IlumJSON>;
using IlumObjectJSONRef = TlumInterfaceRef<IlumObjectJSON>;

class IlumObjectJSON : public IlumInterface {
public:
  virtual IlumJSONRef GetJSONObject() = 0;
  virtual TlumJSONtype GetJSONType() const = 0;
  virtual void SetJSONObject(const IlumJSONRef& aValue) = 0;
  virtual void SetJSONType(TlumJSONtype aValue) = 0;
  virtual IlumObjectJSONRef GetNode(std::string_view aName) = 0;
  virtual void SetNode(std::string_view aName, const IlumObjectJSONRef& aValue) = 0;
  virtual IlumObjectJSONRef GetItem(int aIndex) = 0;
  virtual void SetItem(int aIndex, const IlumObjectJSONRef& aValue) = 0;
  virtual TlumJSONValue GetValue() = 0;
  virtual void SetValue(const TlumJSONValue& aValue) = 0;
  virtual int GetCount() = 0;
  virtual const std::string& GetName() const = 0;
  virtual void SetName(std::string_view aValue) = 0;
  virtual void Clear() = 0;

  // Property-style access.
  IlumJSONRef JSONObject() { return GetJSONObject(); }
  TlumJSONtype JSONType() const { return GetJSONType(); }
  const std::string& Name() const { return GetName(); }
  TlumJSONValue Value() { return GetValue(); }
  std::string ValueText() { return JSONValueToText(GetValue()); }
  int Count() { return GetCount(); }
  IlumObjectJSONRef Node(std::string_view aName) { return GetNode(aName); }
  IlumObjectJSONRef Item(int aIndex) { return GetItem(aIndex); }

protected:
  ~IlumObjectJSON() = default;
};

class IlumJSON : public IlumInterface {
public:
  virtual int GetCount() = 0;
  virtual IlumObjectJSONRef GetNode(std::string_view aName) = 0;
  virtual void SetNode(std::string_view aName, const IlumObjectJSONRef& aValue) = 0;
  virtual IlumObjectJSONRef GetItem(int aIndex) = 0;
  virtual void SetItem(int aIndex, const IlumObjectJSONRef& aValue) = 0;
  virtual bool GetIsArray() = 0;
  virtual void SetIsArray(bool aValue) = 0;
  virtual IlumObjectJSONRef AddPair(std::string_view aName, std::string_view aValue) = 0;
  virtual IlumObjectJSONRef AddPair(std::string_view aName, std::int32_t aValue) = 0;
  virtual IlumObjectJSONRef AddPair(std::string_view aName, std::int64_t aValue) = 0;
  virtual IlumObjectJSONRef AddPair(std::string_view aName, double aValue) = 0;
  virtual IlumObjectJSONRef AddPair(std::string_view aName, bool aValue) = 0;
  virtual IlumObjectJSONRef AddObject(std::string_view aName, std::string_view aValue) = 0;
  virtual IlumObjectJSONRef AddArray(std::string_view aName, std::string_view aValue) = 0;
  virtual void Clear() = 0;
  virtual void Read(std::string_view aText) = 0;
  virtual std::string GetText() = 0;

  // A string literal must not pick the Boolean overload.
  IlumObjectJSONRef AddPair(std::string_view aName, const char* aValue) {
    return AddPair(aName, std::string_view(aValue));
  }

  // Property-style access.
  int Count() { return GetCount(); }
  bool IsArray() { return GetIsArray(); }
  std::string Text() { return GetText(); }
  IlumObjectJSONRef Node(std::string_view aName) { return GetNode(aName); }
  IlumObjectJSONRef Item(int aIndex) { return GetItem(aIndex); }

protected:
  ~IlumJSON() = default;
};

// A member: name, kind, value, and a child document for objects and lists.
class TlumObjectJSON : public TInterfacedComponent, public IlumObjectJSON {
public:
  explicit TlumObjectJSON(TInterfacedComponent* aOwner) : TInterfacedComponent(aOwner) {}

  int AddRef() noexcept override { return TInterfacedComponent::AddRef(); }
  int Release() noexcept override { return TInterfacedComponent::Release(); }

  IlumJSONRef GetJSONObject() override;
  TlumJSONtype GetJSONType() const override { return FJSONType; }
  void SetJSONObject(const IlumJSONRef& aValue) override;
  void SetJSONType(TlumJSONtype aValue) override { FJSONType = aValue; }
  IlumObjectJSONRef GetNode(std::string_view aName) override;
  void SetNode(std::string_view aName, const IlumObjectJSONRef& aValue) override;
  IlumObjectJSONRef GetItem(int aIndex) override;
  void SetItem(int aIndex, const IlumObjectJSONRef& aValue) override;
  TlumJSONValue GetValue() override;
  void SetValue(const TlumJSONValue& aValue) override { FValue = aValue; }
  int GetCount() override;
  const std::string& GetName() const override { return FName; }
  void SetName(std::string_view aValue) override { FName = aValue; }
  void Clear() override;

  // Whether a string value is written between quotes.
  bool Quoted() const noexcept { return FQuoted; }
  void SetQuoted(bool aValue) noexcept { FQuoted = aValue; }

protected:
  ~TlumObjectJSON() override;

private:
  friend class TlumJSON;
  friend class detail::TlumJSONReader;
  TlumJSON& Child();

  bool FQuoted = true;
  TlumJSONValue FValue;
  std::string FName;
  IlumJSONRef FJSONObject;  // owned by this member
  TlumJSONtype FJSONType = lumJSONUndefined;
};

// The ordered members of one document. Owns them: a replaced or remaining member is freed.
class TlumObjectJSONList {
public:
  TlumObjectJSONList() = default;
  TlumObjectJSONList(const TlumObjectJSONList&) = delete;
  TlumObjectJSONList& operator=(const TlumObjectJSONList&) = delete;
  ~TlumObjectJSONList() { Clear(); }

  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  TlumObjectJSON* GetNode(std::string_view aName) const noexcept;
  void SetNode(std::string_view aName, TlumObjectJSON* aValue);
  TlumObjectJSON* GetItem(int aIndex) const noexcept;
  void SetItem(int aIndex, TlumObjectJSON* aValue);
  void Add(TlumObjectJSON* aValue) { FItems.push_back(aValue); }
  // Takes a member out without freeing it.
  void Extract(TlumObjectJSON* aValue) noexcept;
  void Clear() noexcept;

  auto begin() const noexcept { return FItems.begin(); }
  auto end() const noexcept { return FItems.end(); }

private:
  void Replace(std::size_t aIndex, TlumObjectJSON* aValue);
  std::vector<TlumObjectJSON*> FItems;
};

// A document: an object ({}) or an array ([]) of members.
class TlumJSON : public TInterfacedComponent, public IlumJSON {
public:
  explicit TlumJSON(TInterfacedComponent* aOwner) : TInterfacedComponent(aOwner) {}
  // The creation function the document factory uses for this class.
  static TlumJSON* Create(TInterfacedComponent* aOwner) { return new TlumJSON(aOwner); }

  int AddRef() noexcept override { return TInterfacedComponent::AddRef(); }
  int Release() noexcept override { return TInterfacedComponent::Release(); }

  int GetCount() override { return FData.Count(); }
  IlumObjectJSONRef GetNode(std::string_view aName) override;
  void SetNode(std::string_view aName, const IlumObjectJSONRef& aValue) override;
  IlumObjectJSONRef GetItem(int aIndex) override;
  void SetItem(int aIndex, const IlumObjectJSONRef& aValue) override;
  bool GetIsArray() override { return FIsArray; }
  void SetIsArray(bool aValue) override { FIsArray = aValue; }
  using IlumJSON::AddPair;
  IlumObjectJSONRef AddPair(std::string_view aName, std::string_view aValue) override;
  IlumObjectJSONRef AddPair(std::string_view aName, std::int32_t aValue) override;
  IlumObjectJSONRef AddPair(std::string_view aName, std::int64_t aValue) override;
  IlumObjectJSONRef AddPair(std::string_view aName, double aValue) override;
  IlumObjectJSONRef AddPair(std::string_view aName, bool aValue) override;
  IlumObjectJSONRef AddObject(std::string_view aName, std::string_view aValue) override;
  IlumObjectJSONRef AddArray(std::string_view aName, std::string_view aValue) override;
  void Clear() override { FData.Clear(); }
  void Read(std::string_view aText) override;
  std::string GetText() override;

  // When on, names and string values added from now on are escaped for JSON.
  bool EscapeStrings() const noexcept { return FEscapeStrings; }
  void SetEscapeStrings(bool aValue) noexcept { FEscapeStrings = aValue; }

  // Appends the written form to aOut.
  void WriteTo(std::string& aOut);

protected:
  ~TlumJSON() override { Clear(); }
  // Writes one member; with aValueOnly the member's name is left out.
  virtual void WriteNode(std::string& aOut, TlumObjectJSON& aNode, bool aValueOnly);

private:
  friend class detail::TlumJSONReader;
  IlumObjectJSONRef AddMember(std::string_view aName, TlumJSONValue aValue, TlumJSONtype aKind);
  TlumObjectJSON* TakeMember(const IlumObjectJSONRef& aValue);
  void WriteMembers(std::string& aOut, TlumJSON& aDocument, bool aValueOnly);

  bool FIsArray = false;
  TlumObjectJSONList FData;
  bool FEscapeStrings = false;
};

// Keeps a document made without owner alive until ReleaseJSONDocument.
class TlumOwnerComponent : public TInterfacedComponent {
public:
  using TInterfacedComponent::TInterfacedComponent;
  IlumJSONRef FInstance;

protected:
  ~TlumOwnerComponent() override = default;
};

// Document factory. The class it makes is a process-wide setting (TlumJSON::Create at start;
// null makes NewJSONDocument return null).
using TlumJSONClass = TlumJSON* (*)(TInterfacedComponent* aOwner);
void SetJSONDocumentClass(TlumJSONClass aClass) noexcept;
TlumJSONClass GetJSONDocumentClass() noexcept;
// With no owner the document is kept in a process-wide list until ReleaseJSONDocument.
IlumJSONRef NewJSONDocument(TInterfacedComponent* aOwner = nullptr);
void ReleaseJSONDocument(const IlumJSONRef& aDocument);

}  // namespace quillon
