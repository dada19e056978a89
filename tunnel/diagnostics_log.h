// The diagnostics log a user can attach to a report: one line per event,
// each file capped and rotated once, so it never fills the disk, and opened
// only for the moment of each append, so other programs can always read,
// copy or delete it. It never holds the node's credential.
#ifndef TESSARIN_TUNNEL_DIAGNOSTICS_LOG_H_
#define TESSARIN_TUNNEL_DIAGNOSTICS_LOG_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace tessarin {

// Under %LOCALAPPDATA%: the host's and the guard's lines, and the core's output.
constexpr wchar_t kLogDirectory[] = L"tessarin\\logs";
constexpr wchar_t kHostLogName[] = L"tessarin.log";
constexpr wchar_t kCoreLogName[] = L"core.log";

// A file path as the C runtime takes it: wide on Windows. (Plain C runtime
// calls keep the guard, which links this too, small.)
#ifdef _WIN32
using LogPath = std::wstring;
#else
using LogPath = std::string;
#endif
// |directory| and |name| with a separator between.
LogPath JoinLogPath(const LogPath& directory, const wchar_t* name);
// Each file, before it is moved to "<name>.1" (replacing the older one).
constexpr uint64_t kLogFileCapBytes = 1024 * 1024;

// "2026-12-07T18:25:05.123Z [1234] text\n", from 100 ns ticks since 1970.
std::string StampedLine(uint64_t unix_ticks, uint32_t process_id, const std::string& text);

// A path or other wide text as UTF-8 (an unpaired surrogate becomes '?').
std::string LogText(const std::wstring& text);
// Text that came from outside (a method name): printable ASCII, at most 64
// characters, so that it can never forge a line.
std::string LogSafe(const std::string& text);

// |text| with every 8-4-4-4-12 hex group and every occurrence of |secret|
// (when not empty) hidden behind asterisks.
std::string MaskSecrets(const std::string& text, const std::string& secret);

// One capped file. Append writes a burst whole: when it would take the file
// past the cap, the file is first moved to "<path>.1"; a burst larger than
// the cap keeps only its end. Safe to call from any thread.
class CappedLogFile {
 public:
  explicit CappedLogFile(LogPath path) : path_(std::move(path)) {}
  // False when the file cannot be written.
  bool Append(const std::string& bytes);

 private:
  std::mutex lock_;
  LogPath path_;
};

// Where the tunnel's code writes its events: thread-safe, and silent when
// the log cannot be written.
class LogPort {
 public:
  virtual ~LogPort() = default;
  virtual void Write(const std::string& text) = 0;
  // From now on |secret| (the node's credential) is hidden in every line,
  // the core's output included.
  virtual void MaskFromNowOn(const std::string& secret) = 0;
};

// The two files of one log directory: the host's (and the guard's) lines,
// and the core's output, each line stamped with the time and the writer's
// process id and masked. The directory is made at the first write; when it
// cannot be made or written, one line says so on standard error and the
// program goes on without a log.
class DiagnosticsLog : public LogPort {
 public:
  // |clock|: 100 ns ticks since 1970, UTC.
  DiagnosticsLog(LogPath directory, uint32_t process_id, std::function<uint64_t()> clock);
  void Write(const std::string& text) override;
  void MaskFromNowOn(const std::string& secret) override;
  // Whole lines of the core's output (each ended by a line feed).
  void WriteCoreOutput(const std::string& lines);

 private:
  bool Ready();
  std::string Stamp(const std::string& lines);
  void Append(CappedLogFile& file, const std::string& bytes);

  LogPath directory_;
  uint32_t process_id_;
  std::function<uint64_t()> clock_;
  CappedLogFile host_;
  CappedLogFile core_;
  std::mutex lock_;  // guards the two below
  std::string secret_;
  bool made_ = false;
  std::atomic<bool> failed_{false};
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_DIAGNOSTICS_LOG_H_
