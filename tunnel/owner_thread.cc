#include "tunnel/owner_thread.h"

#include <algorithm>
#include <utility>

#include "channel/diagnostics.h"

namespace tessarin {

namespace {
constexpr uint64_t kNoRetry = ~uint64_t{0};
constexpr uint32_t kForever = 0xFFFFFFFFu;
}  // namespace

struct OwnerThread::Shared {
  Shared(const OsPorts& ports, ProxyGuardPort* guard)
      : system(ports.system),
        worker(ports.worker),
        owner(ports, guard, [this, worker = ports.worker](uint32_t ms) {
          // On the thread, its own timer; without one, the platform thread's.
          if (threaded) {
            signal.Update([&] { retryAt = system->SteadyMs() + ms; });
          } else if (worker != nullptr) {
            worker->RetryAfter(ms);
          }
        }) {}

  SystemPort* system;
  WorkerPort* worker;
  ProxyOwner owner;
  JobSignal signal;  // its lock guards what follows
  bool threaded = false;
  std::deque<Step> steps;
  std::deque<Answer> answers;
  ProxyOwner::View view;
  uint64_t retryAt = kNoRetry;
  bool running = false;  // a step runs now
  bool stop = false;
  bool ended = false;
};

OwnerThread::OwnerThread(const OsPorts& ports, ProxyGuardPort* guard)
    : shared_(std::make_shared<Shared>(ports, guard)) {}

OwnerThread::~OwnerThread() {
  shared_->signal.Update([&] { shared_->stop = true; });
}

bool OwnerThread::Start() {
  if (shared_->worker == nullptr) return false;
  std::shared_ptr<Shared> shared = shared_;
  // (Set before the thread runs: a step it posts at once goes to it.)
  shared->signal.Update([&] { shared->threaded = true; });
  if (shared->worker->StartOwner([shared] { Loop(shared); })) return true;
  shared->signal.Update([&] { shared->threaded = false; });
  return false;
}

void OwnerThread::RunStep(Shared& shared, const Step& step) {
  std::deque<Answer> answers;
  std::function<void(Answer)> answer = [&](Answer a) { answers.push_back(std::move(a)); };
  // A step that throws ends there, looked at again soon; the owner's thread
  // goes on.
  if (!flutter::RunAtBoundary("Exception in the proxy owner: ",
                              [&] { step(shared.owner, answer); })) {
    flutter::RunAtBoundary("Exception in the proxy owner: ", [&] { shared.owner.StepFailed(); });
  }
  const ProxyOwner::View view = shared.owner.Look();
  shared.signal.Update([&] {
    shared.view = view;
    for (Answer& a : answers) shared.answers.push_back(std::move(a));
  });
}

void OwnerThread::Post(Step step) {
  bool threaded = false;
  shared_->signal.Update([&] {
    threaded = shared_->threaded;
    if (threaded) shared_->steps.push_back(std::move(step));
  });
  if (threaded) return;
  RunStep(*shared_, step);
  RunAnswers();
}

void OwnerThread::RunAnswers() {
  for (;;) {
    Answer next;
    shared_->signal.Update([&] {
      if (shared_->answers.empty()) return;
      next = std::move(shared_->answers.front());
      shared_->answers.pop_front();
    });
    if (!next) return;
    flutter::RunAtBoundary("Exception in the proxy owner's answer: ", next);
  }
}

ProxyOwner::View OwnerThread::Look() const {
  ProxyOwner::View view;
  shared_->signal.Update([&] { view = shared_->view; });
  return view;
}

void OwnerThread::JobBegins() { shared_->owner.JobBegins(); }

bool OwnerThread::Pending() const {
  bool pending = false;
  shared_->signal.Update([&] { pending = !shared_->steps.empty() || shared_->running; });
  return pending;
}

void OwnerThread::Loop(const std::shared_ptr<Shared>& shared) {
  Shared& s = *shared;
  for (;;) {
    Step step;
    bool retry = false;
    bool told = false;
    // (Told the platform thread after a step: an answer, or none.)
    s.signal.Update([&] {
      s.running = false;
      if (!s.steps.empty()) {
        step = std::move(s.steps.front());
        s.steps.pop_front();
        s.running = true;
      } else if (s.retryAt != kNoRetry && s.system->SteadyMs() >= s.retryAt) {
        s.retryAt = kNoRetry;
        retry = true;
        s.running = true;
      } else if (s.stop) {
        s.ended = true;
        s.threaded = false;
      }
    });
    if (s.ended) return;
    if (step || retry) {
      if (retry) step = [](ProxyOwner& owner, std::function<void(Answer)>&) { owner.Retry(); };
      RunStep(s, step);
      // (Told under the lock, and only while the platform thread's worker
      // lives: the bridge's end stops the thread first.)
      s.signal.Update([&] {
        told = !s.answers.empty() && !s.stop;
        if (told) s.worker->OwnerAnswered();
      });
      continue;
    }
    uint64_t wait = kForever;
    s.signal.Update([&] {
      if (s.retryAt != kNoRetry) {
        const uint64_t now = s.system->SteadyMs();
        wait = s.retryAt > now ? s.retryAt - now : 0;
      }
    });
    // (Only a step of this thread sets the retry time: none comes meanwhile.)
    s.system->WaitFor(s.signal, static_cast<uint32_t>(std::min<uint64_t>(wait, kForever)),
                      [&s] { return !s.steps.empty() || s.stop; });
  }
}

bool OwnerThread::Finish(uint32_t ms) {
  Shared& s = *shared_;
  bool threaded = false;
  s.signal.Update([&] { threaded = s.threaded; });
  if (!threaded) return true;
  return s.system->WaitFor(s.signal, ms,
                           [&s] { return !s.threaded || (s.steps.empty() && !s.running); });
}

bool OwnerThread::Stop(uint32_t ms) {
  Shared& s = *shared_;
  bool threaded = false;
  s.signal.Update([&] {
    s.stop = true;
    threaded = s.threaded;
  });
  if (!threaded) return true;
  return s.system->WaitFor(s.signal, ms, [&s] { return !s.threaded; });
}

}  // namespace tessarin
