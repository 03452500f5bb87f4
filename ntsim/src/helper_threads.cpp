// Parked helper threads, each handed one task at a time (helper_threads.h).
#include "helper_threads.h"

#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace ntsim {
namespace {

struct Helper {
  std::condition_variable wake;
  std::function<void()> task;  // set by the one who wakes it
};

// The pool lives as long as the process: its parked threads wait on their
// own condition and are ended with it; no machine owns them.
class Pool {
 public:
  void run(std::function<void()> task) {
    std::unique_lock lock(mutex_);
    if (!parked_.empty()) {
      Helper* helper = parked_.back();
      parked_.pop_back();
      helper->task = std::move(task);
      helper->wake.notify_one();
      return;
    }
    auto* helper = new Helper;
    helper->task = std::move(task);
    lock.unlock();
    std::thread([this, helper] { loop(helper); }).detach();
  }

 private:
  void loop(Helper* helper) {
    std::function<void()> task = std::exchange(helper->task, nullptr);  // set before the thread started
    for (;;) {
      task();
      task = nullptr;  // what it captured goes before the thread is offered again
      std::unique_lock lock(mutex_);
      parked_.push_back(helper);
      helper->wake.wait(lock, [helper] { return helper->task != nullptr; });
      task = std::exchange(helper->task, nullptr);
    }
  }

  std::mutex mutex_;
  std::vector<Helper*> parked_;
};

Pool& pool() {
  static Pool* pool = new Pool;  // never destroyed: parked threads may still wait on it at exit
  return *pool;
}

}  // namespace

void runOnHelperThread(std::function<void()> task) { pool().run(std::move(task)); }

void InFlight::begin() {
  std::lock_guard lock(mutex_);
  ++count_;
}

void InFlight::end() {
  std::lock_guard lock(mutex_);
  if (--count_ == 0) none_.notify_all();
}

int InFlight::count() const {
  std::lock_guard lock(mutex_);
  return count_;
}

void InFlight::waitForNone() const {
  std::unique_lock lock(mutex_);
  none_.wait(lock, [this] { return count_ == 0; });
}

bool InFlight::waitForNone(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return none_.wait_for(lock, timeout, [this] { return count_ == 0; });
}

}  // namespace ntsim
