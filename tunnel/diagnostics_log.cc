#include "tunnel/diagnostics_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <share.h>
#include <windows.h>

#include "platform/win32_handles.h"
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cwctype>
#include <utility>

#include "tunnel/start_thread.h"

namespace tessarin {

std::string StampedLine(uint64_t unix_ticks, uint32_t process_id, const std::string& text) {
  const std::time_t seconds = static_cast<std::time_t>(unix_ticks / 10000000ULL);
  const unsigned millis = static_cast<unsigned>(unix_ticks / 10000ULL % 1000ULL);
  std::tm utc = {};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char stamp[64];
  std::snprintf(stamp, sizeof(stamp), "%04d-%02d-%02dT%02d:%02d:%02d.%03uZ [%u] ",
                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                utc.tm_sec, millis, process_id);
  return stamp + text + "\n";
}

namespace {

// Whether an 8-4-4-4-12 hex group starts at |at|.
bool UuidAt(const std::string& text, size_t at) {
  static const size_t kGroups[] = {8, 4, 4, 4, 12};
  size_t i = at;
  for (size_t g = 0; g < 5; ++g) {
    for (size_t n = 0; n < kGroups[g]; ++n, ++i) {
      if (i >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    if (g < 4 && (i >= text.size() || text[i++] != '-')) return false;
  }
  return true;
}

}  // namespace

std::string MaskSecrets(const std::string& text, const std::string& secret) {
  return MaskSecrets(text, std::vector<std::string>{secret});
}

namespace {

// UTF-8 |text| as code points, each with its bytes; a byte that starts no
// valid sequence is taken as itself.
struct CodePoint {
  uint32_t value;
  std::string bytes;
};
std::vector<CodePoint> CodePoints(const std::string& text) {
  std::vector<CodePoint> out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80             ? 1
                          : (lead & 0xE0) == 0xC0 ? 2
                          : (lead & 0xF0) == 0xE0 ? 3
                          : (lead & 0xF8) == 0xF0 ? 4
                                                  : 0;
    bool valid = length > 0 && i + length <= text.size();
    uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; valid && k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    const size_t taken = valid ? length : 1;
    out.push_back(CodePoint{valid ? c : lead, text.substr(i, taken)});
    i += taken;
  }
  return out;
}

std::string Hex(uint32_t value, int digits) {
  char buffer[16];
  std::snprintf(buffer, sizeof(buffer), "%0*x", digits, static_cast<unsigned>(value));
  return buffer;
}

// How a secret may be quoted in a line: inside a JSON string as written,
// the same with every code point past ASCII as \uXXXX (surrogate pairs past
// the first plane), and as Go's %q and %+q write it (\x, \u or \U); each
// with the short escapes of a line feed, a return and a tab.
enum class Quoting { kJson, kJsonAscii, kGo, kGoAscii };

std::string Quoted(const std::string& secret, Quoting style) {
  std::string out;
  for (const CodePoint& point : CodePoints(secret)) {
    const uint32_t c = point.value;
    const bool go = style == Quoting::kGo || style == Quoting::kGoAscii;
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n' || c == '\r' || c == '\t') {
      out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
    } else if (c < 0x20 || (c == 0x7F && go)) {
      out += go ? "\\x" + Hex(c, 2) : "\\u" + Hex(c, 4);
    } else if (c < 0x80 || style == Quoting::kJson || style == Quoting::kGo) {
      out += point.bytes;
    } else if (style == Quoting::kGoAscii) {
      out += c >= 0x10000 ? "\\U" + Hex(c, 8) : "\\u" + Hex(c, 4);
    } else {
      out += c >= 0x10000 ? "\\u" + Hex(0xD800 + ((c - 0x10000) >> 10), 4) + "\\u" +
                                Hex(0xDC00 + ((c - 0x10000) & 0x3FF), 4)
                          : "\\u" + Hex(c, 4);
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> SecretForms(const std::string& secret) {
  std::vector<std::string> forms;
  if (secret.empty()) return forms;
  forms.push_back(secret);
  for (Quoting style : {Quoting::kJson, Quoting::kJsonAscii, Quoting::kGo, Quoting::kGoAscii}) {
    forms.push_back(Quoted(secret, style));
  }
  // A UUID written without its dashes, in either case.
  if (secret.size() == 36 && UuidAt(secret, 0)) {
    std::string bare;
    for (char c : secret) {
      if (c != '-') bare += c;
    }
    std::string lower = bare;
    std::string upper = bare;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    forms.push_back(lower);
    forms.push_back(upper);
  }
  std::sort(forms.begin(), forms.end());
  forms.erase(std::unique(forms.begin(), forms.end()), forms.end());
  return forms;
}

namespace {

std::vector<std::string> MaskForms(const std::vector<std::string>& secrets) {
  // Longest first: a secret inside a longer one never leaves the rest of the
  // longer one in clear.
  std::vector<std::string> forms;
  for (const std::string& secret : secrets) {
    for (std::string& form : SecretForms(secret)) forms.push_back(std::move(form));
  }
  std::stable_sort(forms.begin(), forms.end(),
                   [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  return forms;
}

std::string MaskWithForms(const std::string& text, const std::vector<std::string>& forms) {
  std::string out = text;
  for (const std::string& form : forms) {
    // On past what was masked: a secret of asterisks finds itself again.
    for (size_t at = out.find(form); at != std::string::npos;
         at = out.find(form, at + form.size())) {
      out.replace(at, form.size(), form.size(), '*');
    }
  }
  for (size_t at = 0; at + 36 <= out.size(); ++at) {
    if (!UuidAt(out, at)) continue;
    for (size_t i = at; i < at + 36; ++i) {
      if (out[i] != '-') out[i] = '*';
    }
    at += 35;
  }
  return out;
}

}  // namespace

std::string MaskSecrets(const std::string& text, const std::vector<std::string>& secrets) {
  return MaskWithForms(text, MaskForms(secrets));
}

std::string LogText(const std::wstring& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = static_cast<uint32_t>(text[i]);
    if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() &&
        text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(text[++i]) - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = '?';
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string EscapeControls(const std::string& text) {
  std::string out;
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

std::string LogData(const std::wstring& text) { return EscapeControls(LogText(text)); }

std::string LogScriptUrl(const std::wstring& url) {
  const size_t end = url.find_first_of(L"?#");
  return LogData(url.substr(0, end)) + (end == std::wstring::npos ? "" : " (query left out)");
}

std::string LogSafe(const std::string& text) {
  std::string out;
  for (char c : text.substr(0, 64)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
  return out;
}

namespace {

std::string PathText(const LogPath& path) {
#ifdef _WIN32
  return LogText(path);
#else
  return path;
#endif
}

// The C runtime's file calls, wide on Windows.
#ifdef _WIN32
bool OpenFileSize(FILE* file, uint64_t* size) {
  const __int64 length = _filelengthi64(_fileno(file));
  if (length < 0) return false;
  *size = static_cast<uint64_t>(length);
  return true;
}
bool IsDirectory(const LogPath& path) {
  struct _stat64 info;
  return _wstat64(path.c_str(), &info) == 0 && (info.st_mode & _S_IFDIR) != 0;
}
bool MakeDirectory(const LogPath& path) { return _wmkdir(path.c_str()) == 0 || errno == EEXIST; }
int RemoveFile(const LogPath& path) { return _wremove(path.c_str()); }
int RenameFile(const LogPath& from, const LogPath& to) {
  return _wrename(from.c_str(), to.c_str());
}
FILE* OpenToRead(const LogPath& path) { return _wfsopen(path.c_str(), L"rb", _SH_DENYNO); }
int SeekTo(FILE* file, uint64_t at) { return _fseeki64(file, static_cast<__int64>(at), SEEK_SET); }
const LogPath::value_type* kSeparators = L"\\/";
// What an open file is: a reparse point that points elsewhere (a junction,
// a symbolic link) or one of a filter's own (a compressed, deduplicated or
// cloud file, our own file), how many names it has, and which file it is.
struct FileFacts {
  bool link = false;
  bool filtered = false;
  bool folder = false;
  uint32_t names = 1;
  uint64_t id = 0;
  DWORD volume = 0;
};
bool HandleFacts(HANDLE file, FileFacts* facts) {
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileInformationByHandle(file, &info) == 0) return false;
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  const bool tagged =
      ::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof(tag)) != 0;
  const bool reparse = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  facts->link = reparse && (!tagged || IsReparseTagNameSurrogate(tag.ReparseTag));
  facts->filtered = reparse && !facts->link;
  facts->folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  facts->names = info.nNumberOfLinks;
  facts->id = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  facts->volume = info.dwVolumeSerialNumber;
  return true;
}
// The same of |path| (not followed); false when it is not there.
bool LinkFacts(const LogPath& path, bool* link, bool* folder, uint32_t* names) {
  const unique_handle file(::CreateFileW(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FileFacts facts;
  if (!file || !HandleFacts(file.get(), &facts)) return false;
  *link = facts.link;
  *folder = facts.folder;
  *names = facts.names;
  return true;
}
unique_handle OpenToWrite(const LogPath& path, DWORD creation, DWORD flags) {
  return unique_handle(::CreateFileW(path.c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, creation,
                                     FILE_ATTRIBUTE_NORMAL | flags, nullptr));
}
// Opened to append, shared with every other
// reader and writer as the C runtime shares; refused when what was opened
// is a link: looked at on the open file, whose names nobody can take away
// while it is open (no delete sharing), so that even a link planted a
// moment before is never written through.
FILE* OpenOwn(const LogPath& path) {
  unique_handle file = OpenToWrite(path, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT);
  FileFacts facts;
  if (!file || !HandleFacts(file.get(), &facts) || facts.link || facts.names > 1) return nullptr;
  if (facts.filtered) {
    // Our own file under a filter is written through the filter: opened
    // again as usual, the first open still holding its name.
    unique_handle through = OpenToWrite(path, OPEN_EXISTING, 0);
    FileFacts again;
    if (!through || !HandleFacts(through.get(), &again) || again.id != facts.id ||
        again.volume != facts.volume) {
      return nullptr;
    }
    file = std::move(through);
  }
  const int descriptor =
      _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_APPEND | _O_BINARY);
  if (descriptor == -1) return nullptr;
  file.release();  // the descriptor's now
  FILE* stream = _fdopen(descriptor, "ab");
  if (stream == nullptr) _close(descriptor);
  return stream;
}
// The link itself goes, never what it points to.
int RemoveLink(const LogPath& path, bool folder) {
  return folder ? _wrmdir(path.c_str()) : _wremove(path.c_str());
}
// Where an open file or folder really is, every link on the way followed.
bool HandlePath(HANDLE handle, LogPath* path) {
  std::wstring final(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size =
        ::GetFinalPathNameByHandleW(handle, &final[0], static_cast<DWORD>(final.size()),
                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (size == 0) return false;
    if (size < final.size()) {
      final.resize(size);
      break;
    }
    final.resize(size);  // (the room it needs, its end included)
  }
  // (\\?\C:\... and \\?\UNC\server\... as the same paths are written.)
  if (final.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    final.replace(0, 8, L"\\\\");
  } else if (final.compare(0, 4, L"\\\\?\\") == 0) {
    final.erase(0, 4);
  }
  *path = final;
  return true;
}
bool OpenFilePath(FILE* file, LogPath* path) {
  const intptr_t handle = _get_osfhandle(_fileno(file));
  return handle != -1 && HandlePath(reinterpret_cast<HANDLE>(handle), path);
}
bool RealFolder(const LogPath& folder, LogPath* path) {
  const unique_handle opened(::CreateFileW(
      folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return opened && HandlePath(opened.get(), path);
}
bool EmptyOpenFile(FILE* file) { return _chsize_s(_fileno(file), 0) == 0; }
bool SamePath(const LogPath& a, const LogPath& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](wchar_t x, wchar_t y) { return ::towlower(x) == ::towlower(y); });
}
#else
bool OpenFileSize(FILE* file, uint64_t* size) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0) return false;
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}
bool IsDirectory(const LogPath& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}
bool MakeDirectory(const LogPath& path) {
  return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}
int RemoveFile(const LogPath& path) { return std::remove(path.c_str()); }
int RenameFile(const LogPath& from, const LogPath& to) {
  return std::rename(from.c_str(), to.c_str());
}
FILE* OpenToRead(const LogPath& path) { return std::fopen(path.c_str(), "rb"); }
int SeekTo(FILE* file, uint64_t at) { return fseeko(file, static_cast<off_t>(at), SEEK_SET); }
const LogPath::value_type* kSeparators = "/";
bool LinkFacts(const LogPath& path, bool* link, bool* folder, uint32_t* names) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return false;
  *link = S_ISLNK(info.st_mode);
  *folder = S_ISDIR(info.st_mode);
  *names = static_cast<uint32_t>(info.st_nlink);
  return true;
}
int RemoveLink(const LogPath& path, bool) { return std::remove(path.c_str()); }
bool OpenFilePath(FILE* file, LogPath* path) {
  char found[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fileno(file));
  const ssize_t size = readlink(link.c_str(), found, sizeof(found));
  if (size <= 0 || static_cast<size_t>(size) >= sizeof(found)) return false;
  path->assign(found, static_cast<size_t>(size));
  return true;
}
bool RealFolder(const LogPath& folder, LogPath* path) {
  char* real = realpath(folder.c_str(), nullptr);
  if (real == nullptr) return false;
  *path = real;
  std::free(real);
  return true;
}
bool SamePath(const LogPath& a, const LogPath& b) { return a == b; }
bool EmptyOpenFile(FILE* file) { return ftruncate(fileno(file), 0) == 0; }
FILE* OpenOwn(const LogPath& path) {
  const int file = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (file == -1) return nullptr;
  // A name can go here while the file is open (Windows refuses that while
  // we hold it): the file is ours when its one name is still our path. (A
  // name taken away and put back between the two looks is not caught.)
  struct stat info;
  struct stat named;
  const bool known = fstat(file, &info) == 0;
  const bool linked = known && (info.st_nlink > 1 || lstat(path.c_str(), &named) != 0 ||
                                named.st_ino != info.st_ino || named.st_dev != info.st_dev);
  if (!known || linked) {
    close(file);
    return nullptr;
  }
  FILE* stream = fdopen(file, "ab");
  if (stream == nullptr) close(file);
  return stream;
}
#endif

}  // namespace

bool NotALink(const LogPath& path, bool directory) {
  bool link = false;
  bool folder = false;
  uint32_t names = 1;
  if (!LinkFacts(path, &link, &folder, &names)) return true;  // not there: made fresh
  // A folder's count of names is not its own business here, a file's is.
  if (!link && (directory || names <= 1)) return true;
  static std::atomic<bool> said{false};
  if (!said.exchange(true)) {
    std::fprintf(stderr, "%s is a link to elsewhere; nothing is written through it.\n",
                 PathText(path).c_str());
    std::fflush(stderr);
  }
  return RemoveLink(path, folder) == 0;
}

namespace {

// A link the open found, or one it could not open at all (a folder's link
// at the file's name), goes, and the open is made once more. With |real|
// (where the file must really be), a file found elsewhere (a folder on the
// way swapped for a link since it was looked at) is not written.
FILE* OpenOwnFile(const LogPath& path, bool empty, const LogPath& real) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    FILE* file = OpenOwn(path);
    if (file == nullptr) {
      if (!NotALink(path, false)) return nullptr;
      continue;
    }
    // Emptied only once it is known to be ours, where it is meant to be.
    LogPath where;
    if (real.empty() || (OpenFilePath(file, &where) && SamePath(where, real))) {
      if (!empty || EmptyOpenFile(file)) return file;
      std::fclose(file);
      return nullptr;
    }
    std::fclose(file);
    static std::atomic<bool> said{false};
    if (!said.exchange(true)) {
      std::fprintf(stderr,
                   "%s is not in the log folder now (a folder on the way is a link); "
                   "nothing is written there.\n",
                   PathText(path).c_str());
      std::fflush(stderr);
    }
    return nullptr;
  }
  return nullptr;
}

// The file's last |bytes| at most, from the first whole line in them.
std::string NewestLines(const LogPath& path, uint64_t size, uint64_t bytes) {
  std::string kept;
  FILE* file = OpenToRead(path);
  if (file == nullptr) return kept;
  const uint64_t from = size > bytes ? size - bytes : 0;
  if (SeekTo(file, from) == 0) {
    kept.resize(static_cast<size_t>(size - from));
    kept.resize(std::fread(&kept[0], 1, kept.size(), file));
  }
  std::fclose(file);
  if (from > 0) {
    const size_t line = kept.find('\n');
    kept.erase(0, line == std::string::npos ? kept.size() : line + 1);
  }
  return kept;
}

// Each missing directory on the way, then whether it is one.
bool MakeDirectories(const LogPath& path) {
  for (size_t at = path.find_first_of(kSeparators, 1); at != LogPath::npos;
       at = path.find_first_of(kSeparators, at + 1)) {
    MakeDirectory(path.substr(0, at));
  }
  MakeDirectory(path);
  return IsDirectory(path);
}

}  // namespace

LogPath JoinLogPath(const LogPath& directory, const wchar_t* name) {
  LogPath joined = directory;
#ifdef _WIN32
  joined += L"\\";
  joined += name;
#else
  joined += '/';
  for (const wchar_t* c = name; *c != L'\0'; ++c)
    joined += *c == L'\\' ? '/' : static_cast<char>(*c);
#endif
  return joined;
}

namespace {

// Holds a cross-process lock for one scope, when there is one.
class HeldLock {
 public:
  explicit HeldLock(LogFileLock* lock)
      : lock_(lock != nullptr && lock->Acquire() ? lock : nullptr) {}
  ~HeldLock() {
    if (lock_ != nullptr) lock_->Release();
  }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

 private:
  LogFileLock* lock_;
};

}  // namespace

bool CappedLogFile::Append(const std::string& bytes) {
  std::lock_guard<std::mutex> hold(lock_);
  const HeldLock other_processes(cross_process_);
  const std::string* burst = &bytes;
  std::string tail;
  if (bytes.size() > kLogFileCapBytes) {
    tail = bytes.substr(bytes.size() - kLogFileCapBytes);
    burst = &tail;
  }
  // Opened for this burst only, shared with every other reader and writer;
  // its size is the opened file's, never a link's.
  FILE* file = OpenOwnFile(path_, false, real_);
  if (file == nullptr) return false;
  uint64_t size = 0;
  if (OpenFileSize(file, &size) && size + burst->size() > kLogFileCapBytes) {
    std::fclose(file);
    LogPath rotated = path_;
    rotated += LogPath::value_type('.');
    rotated += LogPath::value_type('1');
    RemoveFile(rotated);
    if (RenameFile(path_, rotated) != 0) {
      // Held open by another program, or the older file is: cut in place to
      // its newest half, never deleted. When even that is refused, the
      // burst is dropped: never past the cap plus one burst.
      const std::string newest = NewestLines(path_, size, kLogFileCapBytes / 2);
      FILE* cut = OpenOwnFile(path_, true, real_);
      if (cut == nullptr) return false;
      const bool kept = std::fwrite(newest.data(), 1, newest.size(), cut) == newest.size();
      if (std::fclose(cut) != 0 || !kept) return false;
    }
    file = OpenOwnFile(path_, false, real_);
    if (file == nullptr) return false;
  }
  const bool written = std::fwrite(burst->data(), 1, burst->size(), file) == burst->size();
  return std::fclose(file) == 0 && written;
}

DiagnosticsLog::DiagnosticsLog(LogPath directory, uint32_t process_id,
                               std::function<uint64_t()> clock, LogFileLock* lock)
    : directory_(std::move(directory)),
      process_id_(process_id),
      clock_(std::move(clock)),
      host_(JoinLogPath(directory_, kHostLogName), lock),
      core_(JoinLogPath(directory_, kCoreLogName), lock) {}

DiagnosticsLog::~DiagnosticsLog() {
  std::unique_lock<std::mutex> hold(queue_lock_);
  stopping_ = true;
  queue_changed_.notify_all();
  // Each append is bounded (the lock's wait, one file's work): so is this.
  queue_changed_.wait(hold, [this] { return !writer_alive_; });
}

bool DiagnosticsLog::WriteInBackground() {
  std::lock_guard<std::mutex> hold(queue_lock_);
  if (background_ || directory_.empty()) return true;
  writer_alive_ = true;
  if (!StartThread("Exception writing the diagnostics log: ", [this] { WriteQueued(); })) {
    writer_alive_ = false;
    return false;
  }
  background_ = true;
  return true;
}

bool DiagnosticsLog::Flush(uint32_t ms) {
  std::unique_lock<std::mutex> hold(queue_lock_);
  return queue_changed_.wait_for(hold, std::chrono::milliseconds(ms), [this] {
    return queue_.empty() && overflowed_ == 0 && !writing_;
  });
}

void DiagnosticsLog::WriteQueued() {
  std::unique_lock<std::mutex> hold(queue_lock_);
  for (;;) {
    queue_changed_.wait(hold, [this] { return !queue_.empty() || overflowed_ > 0 || stopping_; });
    if (queue_.empty() && overflowed_ == 0) break;  // stopping, and all written
    std::deque<Queued> lines;
    lines.swap(queue_);
    const size_t in_hand = queued_bytes_;  // still counted until written
    const uint64_t overflowed = overflowed_;
    overflowed_ = 0;
    writing_ = true;
    hold.unlock();
    try {
      // Few appends for all that waited (one lock, one open each), each
      // about a quarter of the cap. The count of lines that found no room
      // comes first, as the next line written.
      const uint64_t now = clock_();
      std::string bytes;
      uint64_t count = 0;
      if (overflowed > 0) {
        bytes = StampedLine(now, process_id_,
                            std::to_string(overflowed) +
                                " earlier lines were not written: more waited than the log keeps");
      }
      for (const Queued& line : lines) {
        bytes += Stamp(line.text + "\n", line.at);
        ++count;
        if (bytes.size() >= kLogFileCapBytes / 4) {
          AppendStamped(host_, host_dropped_, std::move(bytes), count, now);
          bytes.clear();
          count = 0;
        }
      }
      if (!bytes.empty()) AppendStamped(host_, host_dropped_, std::move(bytes), count, now);
    } catch (...) {
      // Out of memory on the way: these lines are lost, counted; the writer
      // goes on (a thread that died would leave every later line waiting).
      host_dropped_ += lines.size() + overflowed;
    }
    hold.lock();
    writing_ = false;
    queued_bytes_ -= in_hand;
    queue_changed_.notify_all();
  }
  writer_alive_ = false;
  queue_changed_.notify_all();
}

void DiagnosticsLog::Write(const std::string& text) {
  if (directory_.empty()) return;  // no log
  {
    std::lock_guard<std::mutex> hold(queue_lock_);
    if (background_) {
      if (queued_bytes_ + text.size() > kQueuedLogBytes) {
        ++overflowed_;
      } else {
        queue_.push_back(Queued{clock_(), text});
        queued_bytes_ += text.size();
      }
      queue_changed_.notify_all();
      return;
    }
  }
  Append(host_, host_dropped_, text + "\n");
}

void DiagnosticsLog::WriteCoreOutput(const std::string& lines) {
  Append(core_, core_dropped_, lines);
}

namespace {
// Every node of a session is remembered; the oldest go once this many are.
constexpr size_t kSecretsKept = 64;
}  // namespace

void CappedLogFile::ExpectIn(const LogPath& real_folder, const wchar_t* name) {
  std::lock_guard<std::mutex> hold(lock_);
  real_ = real_folder.empty() ? LogPath() : JoinLogPath(real_folder, name);
}

void DiagnosticsLog::OwnFoldersBelow(const LogPath& root) {
  // Where the log's files must really be: below the root as it is now (its
  // own links, a redirected profile's, followed), by the log's own names.
  LogPath real_root;
  LogPath real;
  if (RealFolder(root, &real_root)) {
    // (A drive's or a share's root ends in a separator; the rest begins with one.)
    while (!real_root.empty() && LogPath(kSeparators).find(real_root.back()) != LogPath::npos) {
      real_root.pop_back();
    }
    real = real_root + directory_.substr(root.size());
  }
  host_.ExpectIn(real, kHostLogName);
  core_.ExpectIn(real, kCoreLogName);
  owned_folders_.clear();
  for (size_t at = directory_.find_first_of(kSeparators, root.size() + 1); at != LogPath::npos;
       at = directory_.find_first_of(kSeparators, at + 1)) {
    owned_folders_.push_back(directory_.substr(0, at));
  }
  if (directory_.size() > root.size()) owned_folders_.push_back(directory_);
}

void DiagnosticsLog::MaskFromNowOn(const std::string& secret) {
  if (secret.empty()) return;
  std::lock_guard<std::mutex> hold(lock_);
  if (std::find(secrets_.begin(), secrets_.end(), secret) != secrets_.end()) return;
  if (secrets_.size() == kSecretsKept) secrets_.erase(secrets_.begin());
  secrets_.push_back(secret);
  forms_ = MaskForms(secrets_);
  longest_ = forms_.empty() ? 0 : forms_.front().size();
}

size_t DiagnosticsLog::LongestSecret() {
  std::lock_guard<std::mutex> hold(lock_);
  return longest_;
}

std::string DiagnosticsLog::Mask(const std::string& text) {
  std::vector<std::string> forms;
  {
    std::lock_guard<std::mutex> hold(lock_);
    forms = forms_;
  }
  return MaskWithForms(text, forms);
}

std::string DiagnosticsLog::Stamp(const std::string& raw, uint64_t now) {
  // Masked as they came, before anything is escaped: a credential with a
  // control character in it is still found whole.
  const std::string lines = Mask(raw);
  std::string out;
  for (size_t begin = 0; begin < lines.size();) {
    size_t end = lines.find('\n', begin);
    if (end == std::string::npos) end = lines.size();
    std::string line = lines.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out += StampedLine(now, process_id_, EscapeControls(line));
    begin = end + 1;
  }
  return out;
}

void DiagnosticsLog::Append(CappedLogFile& file, std::atomic<uint64_t>& dropped,
                            const std::string& lines) {
  if (directory_.empty()) return;  // no log
  const uint64_t now = clock_();
  AppendStamped(file, dropped, Stamp(lines, now),
                static_cast<uint64_t>(std::count(lines.begin(), lines.end(), '\n')), now);
}

void DiagnosticsLog::AppendStamped(CappedLogFile& file, std::atomic<uint64_t>& dropped,
                                   std::string bytes, uint64_t count, uint64_t now) {
  // Taken, so that two writers at once (two output readers at a reconnect)
  // never both count the same lost lines as written.
  const uint64_t lost = dropped.exchange(0);
  bool appended = false;
  try {
    if (lost > 0) {
      bytes = StampedLine(now, process_id_,
                          std::to_string(lost) +
                              " earlier lines were not written: the log could not be written") +
              bytes;
    }
    // Our folders are never written through a link; a folder someone deleted
    // (or a link that went) is made again, and the burst tried once more.
    for (const LogPath& folder : owned_folders_) NotALink(folder, true);
    appended = file.Append(bytes) || (MakeDirectories(directory_) && file.Append(bytes));
  } catch (...) {
    dropped += lost;  // still to be said (the caller counts this burst)
    throw;
  }
  if (appended) {
    failing_ = false;
    return;
  }
  dropped += lost + count;
  // Said once until writing works again; the program goes on meanwhile.
  if (!failing_.exchange(true)) {
    std::fprintf(stderr,
                 "The diagnostics log cannot be written in %s; going on without it until it "
                 "can.\n",
                 PathText(directory_).c_str());
    std::fflush(stderr);
  }
}

void CoreOutputWriter::Add(const char* data, size_t size, bool more_waiting) {
  pending_.append(data, size);
  if (more_waiting && pending_.size() < kCoreOutputPieceBytes) return;  // one append for all
  const size_t last = pending_.rfind('\n');
  if (last != std::string::npos) {
    log_->WriteCoreOutput(pending_.substr(0, last + 1));
    pending_.erase(0, last + 1);
    return;
  }
  if (pending_.size() < kCoreOutputPieceBytes) return;
  // A line as long as a piece with no end yet: masked whole before it is
  // cut, so a credential across the cut is already hidden, and its tail
  // kept, so one that the next read completes is seen whole then.
  const std::string masked = log_->Mask(pending_);
  const size_t carry =
      std::min(std::max(kMaskCarryBytes, log_->LongestSecret()), masked.size() / 2);
  const size_t cut = masked.size() - carry;
  log_->WriteCoreOutput(masked.substr(0, cut) + "\n");
  pending_ = masked.substr(cut);
}

void CoreOutputWriter::End() {
  if (!pending_.empty()) log_->WriteCoreOutput(pending_ + "\n");
  pending_.clear();
}

}  // namespace tessarin
