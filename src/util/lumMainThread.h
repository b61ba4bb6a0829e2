// MainThreadQueue: calls handed to the application's main thread, which runs them when
// its loop calls CheckSynchronize (a GUI loop installs a wake hook to know when). The
// main thread is the one that started the program unless SetMainThread says otherwise.
// Not a thread pool: nothing runs until the main loop drains the queue.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace quillon {

class MainThreadQueue {
 public:
  using TProc = std::function<void()>;

  static bool IsMainThread();
  static void SetMainThread(std::thread::id id = std::this_thread::get_id());

  // Runs `proc` later on the main thread and returns at once. `owner` tags the call so
  // that RemoveQueued can drop it.
  static void Queue(const void* owner, TProc proc);
  // Runs `proc` on the main thread and waits for it (at once when called there); an
  // exception it raises is raised here. False when RemoveQueued dropped it unrun.
  static bool Synchronize(const void* owner, TProc proc);
  // Drops the owner's pending calls (a waiting Synchronize returns false) and, off the
  // main thread, waits until an owner's call that is running has finished. An object
  // that queues calls runs this in its destructor.
  static void RemoveQueued(const void* owner);

  // For the main loop: runs the calls pending now, waiting up to `timeout` for the first.
  // True when something ran. Does nothing off the main thread. An exception from a
  // queued (not synchronized) call propagates to the loop.
  static bool CheckSynchronize(std::chrono::milliseconds timeout = std::chrono::milliseconds{0});
  // Called from the queuing thread after each Queue/Synchronize; keep it cheap.
  static void SetWakeMainThread(std::function<void()> wake);
};

}  // namespace quillon
