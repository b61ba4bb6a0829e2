// TList and its error texts.
#include "util/lumList.h"

#include <cinttypes>
#include <cstdio>

namespace quillon {

EListError EListError::IndexOutOfBounds(int index) {
  char text[64];
  std::snprintf(text, sizeof text, "List index out of bounds (%d)", index);
  return EListError(text);
}

EListError EListError::Duplicate(const void* item) {
  char text[80];
  std::snprintf(text, sizeof text, "List does not allow duplicates ($0%" PRIXPTR ")",
                reinterpret_cast<std::uintptr_t>(item));
  return EListError(text);
}

void TList::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) throw EListError::IndexOutOfBounds(index);
}

void* TList::Items(int index) const {
  CheckIndex(index);
  return FItems[static_cast<std::size_t>(index)];
}

void TList::Put(int index, void* item) {
  CheckIndex(index);
  FItems[static_cast<std::size_t>(index)] = item;
}

int TList::Add(void* item) {
  FItems.push_back(item);
  return Count() - 1;
}

void TList::Insert(int index, void* item) {
  if (index < 0 || index > Count()) throw EListError::IndexOutOfBounds(index);
  FItems.insert(FItems.begin() + index, item);
}

void TList::Delete(int index) {
  CheckIndex(index);
  FItems.erase(FItems.begin() + index);
}

int TList::RemoveItem(void* item, TDirection direction) {
  int index = IndexOfItem(item, direction);
  if (index >= 0) Delete(index);
  return index;
}

int TList::IndexOfItem(const void* item, TDirection direction) const {
  if (direction == FromBeginning) {
    for (int i = 0; i < Count(); ++i) {
      if (FItems[static_cast<std::size_t>(i)] == item) return i;
    }
  } else {
    for (int i = Count() - 1; i >= 0; --i) {
      if (FItems[static_cast<std::size_t>(i)] == item) return i;
    }
  }
  return -1;
}

}  // namespace quillon
