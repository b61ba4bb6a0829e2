// A bounded polling wait for a condition that another thread makes true.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testwait {

inline bool WaitUntil(const std::function<bool()>& aDone,
                      std::chrono::milliseconds aLimit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + aLimit;
  while (!aDone()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace testwait
