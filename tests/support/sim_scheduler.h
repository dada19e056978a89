// Real threads run one at a time, in the order a driver chooses: the code
// under test runs unchanged, and a seeded driver picks, at every point a
// thread offers, who goes next. Time is virtual: it moves only when the
// driver moves it, so hours of waiting cost nothing and a seed replays.
#ifndef TESSARIN_TESTS_SUPPORT_SIM_SCHEDULER_H_
#define TESSARIN_TESTS_SUPPORT_SIM_SCHEDULER_H_

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tessarin_sim {

constexpr uint64_t kNever = ~uint64_t{0};

class Scheduler {
 public:
  // The driver is thread 0, the one that made the scheduler (the window's).
  static constexpr int kDriver = 0;

  Scheduler() { threads_.push_back(std::make_unique<Thread>()); }
  ~Scheduler() {
    for (auto& thread : threads_) {
      if (thread->thread.joinable()) thread->thread.join();
    }
  }
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // The calling thread's number here.
  static int Current() { return current_; }

  // A new thread, ready to run when the driver picks it; its id.
  int Start(std::function<void()> body) {
    Thread* thread = nullptr;
    int id = 0;
    {
      std::lock_guard<std::mutex> hold(lock_);
      id = static_cast<int>(threads_.size());
      threads_.push_back(std::make_unique<Thread>());
      thread = threads_.back().get();
    }
    thread->thread = std::thread([this, id, thread, body = std::move(body)] {
      current_ = id;
      {
        std::unique_lock<std::mutex> hold(lock_);
        thread->turn.wait(hold, [&] { return turn_ == id; });
      }
      body();
      std::lock_guard<std::mutex> hold(lock_);
      thread->done = true;
      turn_ = kDriver;
      driver_turn_.notify_one();
    });
    return id;
  }

  // From a thread other than the driver: the driver may run others first.
  void Point() { Park(nullptr, kNever); }
  // From a thread other than the driver: waits until |ready| or |deadline|.
  void Block(std::function<bool()> ready, uint64_t deadline) { Park(std::move(ready), deadline); }

  // The driver: whether thread |id| can go on now.
  bool Runnable(int id) const {
    const Thread& thread = *threads_[id];
    if (thread.done) return false;
    if (!thread.blocked) return true;
    return now >= thread.deadline || (thread.ready && thread.ready());
  }
  std::vector<int> RunnableThreads() const {
    std::vector<int> out;
    for (int id = 1; id < static_cast<int>(threads_.size()); ++id) {
      if (Runnable(id)) out.push_back(id);
    }
    return out;
  }
  // The earliest time a blocked thread waits for; kNever if none.
  uint64_t NextDeadline() const {
    uint64_t next = kNever;
    for (const auto& thread : threads_) {
      if (!thread->done && thread->blocked && thread->deadline < next) next = thread->deadline;
    }
    return next;
  }
  bool Done(int id) const { return threads_[id]->done; }
  size_t Unfinished() const {
    size_t n = 0;
    for (size_t id = 1; id < threads_.size(); ++id) n += threads_[id]->done ? 0 : 1;
    return n;
  }
  // Runs every thread to its end, moving time to each deadline when none can
  // go on. False when some wait for something that never comes: the caller
  // then cannot let the scheduler go (they wait on it), and must end the
  // process.
  bool RunToEnd() {
    for (size_t next = 0;;) {
      const std::vector<int> runnable = RunnableThreads();
      if (!runnable.empty()) {
        Run(runnable[next++ % runnable.size()]);  // in turn: a waiter that looks again starves none
      } else if (NextDeadline() != kNever) {
        now = NextDeadline();
      } else {
        break;
      }
    }
    return Unfinished() == 0;
  }

  // The driver: runs thread |id| until its next point, wait or end.
  void Run(int id) {
    std::unique_lock<std::mutex> hold(lock_);
    turn_ = id;
    threads_[id]->turn.notify_one();  // (it may not wait yet: it then sees its turn)
    driver_turn_.wait(hold, [&] { return turn_ == kDriver; });
  }

  uint64_t now = 0;  // virtual milliseconds

 private:
  struct Thread {
    std::thread thread;
    std::condition_variable turn;
    bool done = false;
    bool blocked = false;
    std::function<bool()> ready;
    uint64_t deadline = kNever;
  };

  void Park(std::function<bool()> ready, uint64_t deadline) {
    const int id = current_;
    std::unique_lock<std::mutex> hold(lock_);
    Thread& thread = *threads_[id];  // (only the running thread adds threads)
    thread.blocked = ready != nullptr || deadline != kNever;
    thread.ready = std::move(ready);
    thread.deadline = deadline;
    turn_ = kDriver;
    driver_turn_.notify_one();
    thread.turn.wait(hold, [&] { return turn_ == id; });
    thread.blocked = false;
    thread.ready = nullptr;
    thread.deadline = kNever;
  }

  static thread_local int current_;
  std::mutex lock_;
  std::condition_variable driver_turn_;
  int turn_ = kDriver;
  std::deque<std::unique_ptr<Thread>> threads_;
};

inline thread_local int Scheduler::current_ = Scheduler::kDriver;

}  // namespace tessarin_sim

#endif  // TESSARIN_TESTS_SUPPORT_SIM_SCHEDULER_H_
