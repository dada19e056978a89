// Ends a program's whole process tree the way `taskkill /F /T` and Task
// Manager's End task on an app's group do (Wine's taskkill has no /T): every
// process of IMAGE and all their descendants, by parent ids from a snapshot;
// the descendants other than the core first, then the program, then the core.
//
// usage: tree_kill IMAGE   (prints the ids it ended)
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <vector>

#include "platform/win32_handles.h"

namespace {

void End(DWORD id, const wchar_t* name) {
  tessarin::unique_handle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
  if (!process) return;
  TerminateProcess(process.get(), 1);
  WaitForSingleObject(process.get(), 5000);
  std::wprintf(L"ended %lu %ls\n", id, name);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  tessarin::unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 1;
  std::map<DWORD, PROCESSENTRY32W> all;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    all[entry.th32ProcessID] = entry;
  }
  std::vector<DWORD> roots;
  for (const auto& [id, process] : all) {
    if (_wcsicmp(process.szExeFile, argv[1]) == 0) roots.push_back(id);
  }
  // Descendants, breadth first, as the tree was when the snapshot was taken.
  std::vector<DWORD> tree = roots;
  for (size_t i = 0; i < tree.size(); ++i) {
    for (const auto& [id, process] : all) {
      if (process.th32ParentProcessID == tree[i] && id != tree[i]) tree.push_back(id);
    }
  }
  auto is_core = [&](DWORD id) { return _wcsicmp(all[id].szExeFile, L"sing-box.exe") == 0; };
  for (size_t i = roots.size(); i < tree.size(); ++i) {
    if (!is_core(tree[i])) End(tree[i], all[tree[i]].szExeFile);
  }
  for (DWORD root : roots) End(root, all[root].szExeFile);
  for (size_t i = roots.size(); i < tree.size(); ++i) {
    if (is_core(tree[i])) End(tree[i], all[tree[i]].szExeFile);
  }
  return roots.empty() ? 1 : 0;
}
