// Critical sections: re-entrant for the owner, exclusive against other threads.
#include "platform/win32/CriticalSection.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

namespace {

class CriticalSectionTest : public ::testing::Test {
 protected:
  void SetUp() override { InitializeCriticalSection(&cs); }
  void TearDown() override { DeleteCriticalSection(&cs); }

  BOOL TryFromOtherThread() {
    return std::async(std::launch::async, [this] {
             BOOL got = TryEnterCriticalSection(&cs);
             if (got) LeaveCriticalSection(&cs);
             return got;
           })
        .get();
  }

  CRITICAL_SECTION cs;
};

TEST_F(CriticalSectionTest, OwnerReentersAndOthersWaitUntilEveryEntryIsLeft) {
  EnterCriticalSection(&cs);
  EXPECT_EQ(TryEnterCriticalSection(&cs), TRUE);  // owner again
  EnterCriticalSection(&cs);                      // and a third time
  EXPECT_EQ(TryFromOtherThread(), FALSE);

  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  EXPECT_EQ(TryFromOtherThread(), FALSE) << "still entered once";

  LeaveCriticalSection(&cs);
  EXPECT_EQ(TryFromOtherThread(), TRUE);
}

TEST_F(CriticalSectionTest, SerialisesIncrementsFromManyThreads) {
  long counter = 0;  // deliberately not atomic: the section must protect it
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        EnterCriticalSection(&cs);
        ++counter;
        LeaveCriticalSection(&cs);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(counter, 4 * 20000);
}

}  // namespace
