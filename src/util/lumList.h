// TList: the plain, unlocked list of untyped references that the thread-safe containers
// wrap, and EListError, the error it raises. It never owns what it holds.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace quillon {

enum TDirection : std::uint8_t { FromBeginning, FromEnd };

class EListError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  // "List index out of bounds (%d)"
  static EListError IndexOutOfBounds(int index);
  // "List does not allow duplicates ($0%x)"
  static EListError Duplicate(const void* item);
};

class TList {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  bool IsEmpty() const { return FItems.empty(); }

  // Entry at `index`; EListError for an index outside 0 .. Count-1.
  void* Items(int index) const;
  void* operator[](int index) const { return Items(index); }
  void Put(int index, void* item);
  void* First() const { return Items(0); }
  void* Last() const { return Items(Count() - 1); }

  int Add(void* item);
  void Insert(int index, void* item);  // index may equal Count (append)
  void Delete(int index);
  // Index of the removed entry, or -1 when the reference is not in the list.
  int Remove(void* item) { return RemoveItem(item, FromBeginning); }
  int RemoveItem(void* item, TDirection direction);
  int IndexOf(const void* item) const { return IndexOfItem(item, FromBeginning); }
  int IndexOfItem(const void* item, TDirection direction) const;
  void Clear() { FItems.clear(); }

  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }

 private:
  void CheckIndex(int index) const;

  std::vector<void*> FItems;
};

}  // namespace quillon
