// The names by which the program, its guard and its installer find a running
// tessarin. Below the shell and the tunnel, which both use them; the
// installer reads them from this file.
#ifndef TESSARIN_PLATFORM_INSTANCE_NAMES_H_
#define TESSARIN_PLATFORM_INSTANCE_NAMES_H_

// Held by the session's one instance while it runs.
constexpr wchar_t kMutexName[] = L"Local\\tessarin.single-instance";
constexpr wchar_t kWindowTitle[] = L"tessarin";
// Where the running instance publishes its window and process id.
constexpr wchar_t kInstanceMappingName[] = L"Local\\tessarin.instance";

#endif  // TESSARIN_PLATFORM_INSTANCE_NAMES_H_
