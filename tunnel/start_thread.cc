#include "tunnel/start_thread.h"

#include <cstdio>
#include <exception>
#include <memory>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace tessarin {

namespace {

struct Start {
  const char* where;
  std::function<void()> body;
};

// The thread's entry: nothing may escape into the C runtime's frame. (Plain
// stdio: the guard links this and carries no stream library.)
void Run(Start* raw) noexcept {
  const std::unique_ptr<Start> start(raw);
  try {
    start->body();
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "%s%s\n", start->where, failure.what());
    std::fflush(stderr);
  } catch (...) {
    std::fprintf(stderr, "%sunknown exception\n", start->where);
    std::fflush(stderr);
  }
}

#ifdef _WIN32
unsigned __stdcall Entry(void* start) {
  Run(static_cast<Start*>(start));
  return 0;
}
#else
void* Entry(void* start) {
  Run(static_cast<Start*>(start));
  return nullptr;
}
#endif

}  // namespace

bool StartThread(const char* where, std::function<void()> body) {
  auto start = std::make_unique<Start>(Start{where, std::move(body)});
#ifdef _WIN32
  const uintptr_t thread = ::_beginthreadex(nullptr, 0, &Entry, start.get(), 0, nullptr);
  if (thread == 0) return false;
  start.release();  // the thread's now
  ::CloseHandle(reinterpret_cast<HANDLE>(thread));
  return true;
#else
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  // Created detached: never a detach after the start.
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const bool started = pthread_create(&thread, &attributes, &Entry, start.get()) == 0;
  pthread_attr_destroy(&attributes);
  if (started) start.release();
  return started;
#endif
}

}  // namespace tessarin
