// A library may abort the process from inside a call (under Wine, WinINet
// fails an assertion whenever a TLS handshake through a proxy breaks). A
// thread of our own that runs only such a call may end alone instead: an
// abort handler asks here whether the aborting thread agreed to, and its
// last word tells whoever waits for it.
#ifndef TESSARIN_TUNNEL_ABORT_ENDS_THREAD_H_
#define TESSARIN_TUNNEL_ABORT_ENDS_THREAD_H_

#include <functional>

namespace tessarin {

class AbortEndsThread {
 public:
  // For the calling thread, until this goes. |last_word| must not throw.
  explicit AbortEndsThread(std::function<void()> last_word);
  ~AbortEndsThread();
  AbortEndsThread(const AbortEndsThread&) = delete;
  AbortEndsThread& operator=(const AbortEndsThread&) = delete;

  // From an abort handler on the aborting thread: runs its last word and
  // says true (the handler then ends the thread, skipping every frame), or
  // false when it agreed to nothing (the abort takes its course).
  static bool SayLastWord() noexcept;

 private:
  std::function<void()> last_word_;
  AbortEndsThread* outer_;
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_ABORT_ENDS_THREAD_H_
