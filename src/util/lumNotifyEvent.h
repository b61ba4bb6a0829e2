// How a component raises its events: on the thread that detects them (neNoSync), queued
// to the main thread (neAsynchronous), or run on the main thread while the detecting
// thread waits (neSynchronous). The main thread side is MainThreadQueue.
#pragma once

#include <cstdint>

namespace quillon {

enum TwsNotifyEvent : std::uint8_t { neNoSync, neAsynchronous, neSynchronous };

}  // namespace quillon
