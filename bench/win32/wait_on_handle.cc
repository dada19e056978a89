// The yardstick for the guard's memory: a minimal Win32 program that only
// waits on a handle (until it is killed).
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
  HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  WaitForSingleObject(never, INFINITE);
  return 0;
}
