// Single owners of Win32 handles: each closes its handle exactly once, on
// every path, with the right close function.
#ifndef TESSARIN_PLATFORM_WIN32_HANDLES_H_
#define TESSARIN_PLATFORM_WIN32_HANDLES_H_

#include <windows.h>
#include <wininet.h>

#include <vector>

namespace tessarin {

template <typename Handle, typename Traits>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  Handle get() const { return handle_; }
  Handle* put() {
    reset();
    return &handle_;
  }
  explicit operator bool() const { return Traits::IsValid(handle_); }
  Handle release() {
    Handle handle = handle_;
    handle_ = Traits::Invalid();
    return handle;
  }
  void reset(Handle handle = Traits::Invalid()) {
    if (Traits::IsValid(handle_)) Traits::Close(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_ = Traits::Invalid();
};

struct KernelHandleTraits {
  static HANDLE Invalid() { return nullptr; }
  static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct RegistryKeyTraits {
  static HKEY Invalid() { return nullptr; }
  static bool IsValid(HKEY h) { return h != nullptr; }
  static void Close(HKEY h) { ::RegCloseKey(h); }
};

struct ModuleTraits {
  static HMODULE Invalid() { return nullptr; }
  static bool IsValid(HMODULE h) { return h != nullptr; }
  static void Close(HMODULE h) { ::FreeLibrary(h); }
};

using unique_handle = UniqueHandle<HANDLE, KernelHandleTraits>;
using unique_hmodule = UniqueHandle<HMODULE, ModuleTraits>;
using unique_hkey = UniqueHandle<HKEY, RegistryKeyTraits>;

// A process attribute list that lets a child inherit exactly |handles|:
// with it, CreateProcessW's inheritance passes nothing else. With |job|, the
// child is also created inside that job, where the system can (Windows 10
// and later): InJob() says whether it was asked.
class InheritedHandleList {
 public:
  explicit InheritedHandleList(std::vector<HANDLE> handles, HANDLE job = nullptr)
      : handles_(std::move(handles)), job_(job) {
    const DWORD count = (handles_.empty() ? 0 : 1) + (job_ != nullptr ? 1 : 0);
    if (count == 0) return;
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, count, 0, &size);
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!::InitializeProcThreadAttributeList(list, count, 0, &size)) return;
    initialized_ = true;
    ready_ = handles_.empty() || ::UpdateProcThreadAttribute(
                                     list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                     handles_.size() * sizeof(HANDLE), nullptr, nullptr) != FALSE;
    // An older system refuses the attribute: the list goes on without it.
    constexpr DWORD_PTR kJobList = 0x2000D;  // PROC_THREAD_ATTRIBUTE_JOB_LIST
    in_job_ = ready_ && job_ != nullptr &&
              ::UpdateProcThreadAttribute(list, 0, kJobList, &job_, sizeof(job_), nullptr,
                                          nullptr) != FALSE;
    ready_ = ready_ && (!handles_.empty() || in_job_);
  }
  ~InheritedHandleList() {
    if (initialized_) ::DeleteProcThreadAttributeList(get_list());
  }
  InheritedHandleList(const InheritedHandleList&) = delete;
  InheritedHandleList& operator=(const InheritedHandleList&) = delete;

  // Null when the list could not be made (or holds nothing): then the child
  // must inherit nothing.
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return ready_ ? get_list() : nullptr; }
  bool InJob() const { return in_job_; }
  bool Inherits() const { return ready_ && !handles_.empty(); }

 private:
  LPPROC_THREAD_ATTRIBUTE_LIST get_list() const {
    return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(
        const_cast<unsigned char*>(storage_.data()));
  }
  std::vector<HANDLE> handles_;
  HANDLE job_;
  std::vector<unsigned char> storage_;
  bool initialized_ = false;
  bool in_job_ = false;
  bool ready_ = false;
};

}  // namespace tessarin

#endif  // TESSARIN_PLATFORM_WIN32_HANDLES_H_
