// The proxy owner on a serialized thread of its own: the platform thread
// posts steps and never waits on the registry, the guard or WinINet; each
// step runs there, one at a time, in the order posted, and the owner's retry
// timer waits there too. What a step has for the platform thread goes back
// as an answer, run there in order (TunnelBridge::OwnerAnswered). With no
// thread (none could be had, or none is asked for) steps and their answers
// run at once on the caller.
#ifndef TESSARIN_TUNNEL_OWNER_THREAD_H_
#define TESSARIN_TUNNEL_OWNER_THREAD_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

#include "tunnel/job_signal.h"
#include "tunnel/os_ports.h"
#include "tunnel/proxy_owner.h"

namespace tessarin {

class OwnerThread {
 public:
  // A step gets the owner and may give the platform thread an answer.
  using Answer = std::function<void()>;
  using Step = std::function<void(ProxyOwner& owner, std::function<void(Answer)>& answer)>;

  OwnerThread(const OsPorts& ports, ProxyGuardPort* guard);
  // A thread still in a step keeps what it uses: it ends on its own after.
  ~OwnerThread();
  OwnerThread(const OwnerThread&) = delete;
  OwnerThread& operator=(const OwnerThread&) = delete;

  // The thread, through the worker; false: steps run on the caller.
  bool Start();
  // Any thread: |step| runs after every step posted before it. Steps
  // capture no platform-thread object: the owner's thread may outlive it.
  void Post(Step step);
  // On the platform thread: the answers that came, in order.
  void RunAnswers();
  // Any thread, at once: a job that may arm the guard begins.
  void JobBegins();
  // What the owner knew after its last step.
  ProxyOwner::View Look() const;
  // Whether a step posted has not run yet (or runs now).
  bool Pending() const;
  // Waits up to |ms| until every step posted has run; whether they have.
  bool Finish(uint32_t ms);
  // The same, and the thread ends; from then on steps run on the caller.
  // False when a step still runs after |ms| (the owner is then not to be
  // touched by anyone).
  bool Stop(uint32_t ms);

 private:
  struct Shared;
  static void Loop(const std::shared_ptr<Shared>& shared);
  static void RunStep(Shared& shared, const Step& step);

  std::shared_ptr<Shared> shared_;
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_OWNER_THREAD_H_
