#include "tunnel/abort_ends_thread.h"

#include <utility>

namespace tessarin {

namespace {

thread_local AbortEndsThread* g_innermost = nullptr;

}  // namespace

AbortEndsThread::AbortEndsThread(std::function<void()> last_word)
    : last_word_(std::move(last_word)), outer_(g_innermost) {
  g_innermost = this;
}

AbortEndsThread::~AbortEndsThread() { g_innermost = outer_; }

bool AbortEndsThread::SayLastWord() noexcept {
  AbortEndsThread* innermost = g_innermost;
  if (innermost == nullptr) return false;
  // Said once: the thread ends right after, its frames never unwound.
  g_innermost = nullptr;
  if (innermost->last_word_) innermost->last_word_();
  return true;
}

}  // namespace tessarin
