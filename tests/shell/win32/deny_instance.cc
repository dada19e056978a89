// Holds the session's instance mutex with a DACL that lets nobody open it, as
// an instance running elevated does for a normal start; until stdin closes.
// With --open: with the default DACL and no window, as an instance that is
// still ending. With --publish-guard: no mutex, but the guard's published
// id taken first and naming this (long-lived, foreign) process.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "platform/instance_names.h"
#include "platform/win32_handles.h"
#include "tunnel/proxy_guard.h"

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && std::wcscmp(argv[1], L"--publish-guard") == 0) {
    const tessarin::unique_handle published(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr,
                                                               PAGE_READWRITE, 0, sizeof(DWORD),
                                                               tessarin::kGuardPublishedName));
    void* view = published ? MapViewOfFile(published.get(), FILE_MAP_WRITE, 0, 0, 0) : nullptr;
    if (view == nullptr) return 1;
    *static_cast<DWORD*>(view) = GetCurrentProcessId();
    UnmapViewOfFile(view);
    std::puts("held");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
  }
  const bool open = argc > 1 && std::wcscmp(argv[1], L"--open") == 0;
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  ACL empty;  // no entry: every access denied to everyone but the owner's rights
  InitializeAcl(&empty, sizeof(empty), ACL_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, &empty, FALSE);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
  const tessarin::unique_handle mutex(CreateMutexW(open ? nullptr : &attributes, TRUE, kMutexName));
  if (!mutex) return 1;
  std::puts("held");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  return 0;
}
