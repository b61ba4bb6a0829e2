// TList: index checks with the list error texts, and searches from either end.
#include "util/lumList.h"

#include <gtest/gtest.h>

namespace {

using quillon::EListError;
using quillon::FromBeginning;
using quillon::FromEnd;
using quillon::TList;

int a, b, c;

TEST(TListTest, BadIndexRaisesTheListErrorWithTheIndex) {
  TList list;
  list.Add(&a);
  struct Case {
    const char* what;
    void (*op)(TList&);
    const char* message;
  };
  const Case cases[] = {
      {"Items(1)", [](TList& l) { l.Items(1); }, "List index out of bounds (1)"},
      {"Items(-1)", [](TList& l) { l.Items(-1); }, "List index out of bounds (-1)"},
      {"Delete(5)", [](TList& l) { l.Delete(5); }, "List index out of bounds (5)"},
      {"Put(1)", [](TList& l) { l.Put(1, &b); }, "List index out of bounds (1)"},
      {"Insert(2)", [](TList& l) { l.Insert(2, &b); }, "List index out of bounds (2)"},
  };
  for (const Case& k : cases) {
    try {
      k.op(list);
      ADD_FAILURE() << k.what << " did not raise";
    } catch (const EListError& e) {
      EXPECT_STREQ(e.what(), k.message) << k.what;
    }
  }
  EXPECT_EQ(list.Count(), 1);
  list.Insert(1, &b);  // inserting at Count appends
  EXPECT_EQ(list.Last(), &b);
}

TEST(TListTest, DuplicateMessageShowsTheReferenceInHex) {
  EXPECT_STREQ(EListError::Duplicate(reinterpret_cast<void*>(0xABC123)).what(),
               "List does not allow duplicates ($0ABC123)");
}

TEST(TListTest, RemoveItemSearchesFromTheChosenEnd) {
  TList list;
  for (void* p : {static_cast<void*>(&a), static_cast<void*>(&b), static_cast<void*>(&a),
                  static_cast<void*>(&c)}) {
    list.Add(p);
  }
  EXPECT_EQ(list.IndexOfItem(&a, FromEnd), 2);
  EXPECT_EQ(list.RemoveItem(&a, FromEnd), 2);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list[0], &a);
  EXPECT_EQ(list.RemoveItem(&a, FromBeginning), 0);
  EXPECT_EQ(list[0], &b);
  EXPECT_EQ(list.Remove(&a), -1);
  EXPECT_EQ(list.Count(), 2);
}

}  // namespace
