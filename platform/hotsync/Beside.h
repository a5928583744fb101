// Work done on a thread of its own beside the caller, or at once on the
// caller's thread when no thread can be started. What the work throws (out
// of memory, say) is thrown again by `wait`, on the caller's thread, where
// the program can still report it; a thread that ended by throwing would
// take the program down with it.
//
// Ownership: the work must not touch what the caller uses until `wait`
// returns; the destructor waits too (and drops what the work threw).
#ifndef TOLVEX_PLATFORM_HOTSYNC_BESIDE_H
#define TOLVEX_PLATFORM_HOTSYNC_BESIDE_H
#include <exception>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

namespace tolvex::host {

class Beside {
 public:
  explicit Beside(std::function<void()> work) : work_(std::move(work)) {
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      work_();
    }
  }
  ~Beside() { join(); }
  Beside(const Beside&) = delete;
  Beside& operator=(const Beside&) = delete;

  void wait() {
    join();
    if (thrown_) std::rethrow_exception(std::exchange(thrown_, nullptr));
  }

 private:
  void run() {
    try {
      work_();
    } catch (...) {
      thrown_ = std::current_exception();
    }
  }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

  std::function<void()> work_;
  std::exception_ptr thrown_;
  std::thread thread_;  // last: it starts once the rest is in place
};

}  // namespace tolvex::host
#endif
