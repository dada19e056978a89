#include "tunnel/diagnostics_log.h"

#include "tunnel/os_ports.h"

#include <sys/stat.h>
#include <sys/types.h>
#ifdef _WIN32
#include <direct.h>
#include <share.h>
#endif

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>

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
  std::string out = text;
  if (!secret.empty()) {
    for (size_t at = out.find(secret); at != std::string::npos; at = out.find(secret, at)) {
      out.replace(at, secret.size(), secret.size(), '*');
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

std::string LogSafe(const std::string& text) {
  std::string out;
  for (char c : text.substr(0, 64)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
  return out;
}

void WriteLog(const OsPorts& ports, const std::string& text) {
  if (ports.log != nullptr) ports.log->Write(text);
}

namespace {

// The C runtime's file calls, wide on Windows.
#ifdef _WIN32
bool FileSize(const LogPath& path, uint64_t* size) {
  struct _stat64 info;
  if (_wstat64(path.c_str(), &info) != 0) return false;
  *size = static_cast<uint64_t>(info.st_size);
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
FILE* OpenToAppend(const LogPath& path) { return _wfsopen(path.c_str(), L"ab", _SH_DENYNO); }
const LogPath::value_type* kSeparators = L"\\/";
#else
bool FileSize(const LogPath& path, uint64_t* size) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
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
FILE* OpenToAppend(const LogPath& path) { return std::fopen(path.c_str(), "ab"); }
const LogPath::value_type* kSeparators = "/";
#endif

// Each missing directory on the way, then whether it is one.
bool MakeDirectories(const LogPath& path) {
  for (size_t at = path.find_first_of(kSeparators, 1); at != LogPath::npos;
       at = path.find_first_of(kSeparators, at + 1)) {
    MakeDirectory(path.substr(0, at));
  }
  MakeDirectory(path);
  return IsDirectory(path);
}

std::string PathText(const LogPath& path) {
#ifdef _WIN32
  return LogText(path);
#else
  return path;
#endif
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

bool CappedLogFile::Append(const std::string& bytes) {
  std::lock_guard<std::mutex> hold(lock_);
  const std::string* burst = &bytes;
  std::string tail;
  if (bytes.size() > kLogFileCapBytes) {
    tail = bytes.substr(bytes.size() - kLogFileCapBytes);
    burst = &tail;
  }
  uint64_t size = 0;
  if (FileSize(path_, &size) && size + burst->size() > kLogFileCapBytes) {
    LogPath rotated = path_;
    rotated += LogPath::value_type('.');
    rotated += LogPath::value_type('1');
    RemoveFile(rotated);
    if (RenameFile(path_, rotated) != 0) RemoveFile(path_);  // never past the cap
  }
  // Opened for this burst only, shared with every other reader and writer.
  FILE* file = OpenToAppend(path_);
  if (file == nullptr) return false;
  const bool written = std::fwrite(burst->data(), 1, burst->size(), file) == burst->size();
  return std::fclose(file) == 0 && written;
}

DiagnosticsLog::DiagnosticsLog(LogPath directory, uint32_t process_id,
                               std::function<uint64_t()> clock)
    : directory_(std::move(directory)),
      process_id_(process_id),
      clock_(std::move(clock)),
      host_(JoinLogPath(directory_, kHostLogName)),
      core_(JoinLogPath(directory_, kCoreLogName)) {}

void DiagnosticsLog::Write(const std::string& text) {
  if (Ready()) Append(host_, Stamp(text + "\n"));
}

void DiagnosticsLog::WriteCoreOutput(const std::string& lines) {
  if (Ready()) Append(core_, Stamp(lines));
}

void DiagnosticsLog::MaskFromNowOn(const std::string& secret) {
  std::lock_guard<std::mutex> hold(lock_);
  secret_ = secret;
}

bool DiagnosticsLog::Ready() {
  if (failed_) return false;
  std::lock_guard<std::mutex> hold(lock_);
  if (made_) return true;
  made_ = MakeDirectories(directory_);
  if (!made_) Append(host_, "");  // reports it
  return made_;
}

std::string DiagnosticsLog::Stamp(const std::string& lines) {
  std::string secret;
  {
    std::lock_guard<std::mutex> hold(lock_);
    secret = secret_;
  }
  const uint64_t now = clock_();
  std::string out;
  for (size_t begin = 0; begin < lines.size();) {
    size_t end = lines.find('\n', begin);
    if (end == std::string::npos) end = lines.size();
    std::string line = lines.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out += StampedLine(now, process_id_, MaskSecrets(line, secret));
    begin = end + 1;
  }
  return out;
}

void DiagnosticsLog::Append(CappedLogFile& file, const std::string& bytes) {
  if (made_ && file.Append(bytes)) return;
  // Said once; from then on the program goes on as if there were no log.
  if (!failed_.exchange(true)) {
    std::fprintf(stderr, "The diagnostics log cannot be written in %s; going on without it.\n",
                 PathText(directory_).c_str());
    std::fflush(stderr);
  }
}

}  // namespace tessarin
