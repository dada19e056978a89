// The diagnostics log a user can attach to a report: one line per event,
// each file capped and rotated once, so it never fills the disk, and opened
// only for the moment of each append, so other programs can always read,
// copy or delete it. It never holds the node's credential.
#ifndef TESSARIN_TUNNEL_DIAGNOSTICS_LOG_H_
#define TESSARIN_TUNNEL_DIAGNOSTICS_LOG_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

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
// |text| with every control character but the tab written as \xNN: a value
// another program wrote (a registry value, a process's name, a core's line)
// is logged as data and never starts a line of its own.
std::string EscapeControls(const std::string& text);
std::string LogData(const std::wstring& text);
// A configuration script's address without its query and fragment, which
// may carry a token, as data.
std::string LogScriptUrl(const std::wstring& url);

// The ways a secret may appear in a line: as itself, inside a JSON string
// (as written and with \\u escapes), as Go quotes it, and a UUID without its
// dashes; none for the empty one.
std::vector<std::string> SecretForms(const std::string& secret);
// |text| with every 8-4-4-4-12 hex group and every form of each of |secrets|
// hidden behind asterisks, the longest first. Always ends, whatever the
// secrets' characters.
std::string MaskSecrets(const std::string& text, const std::vector<std::string>& secrets);
std::string MaskSecrets(const std::string& text, const std::string& secret);

// True when |path| (a file, or a |directory|, of ours) may be written
// through: it is not there, or it is neither a link (a junction, a symbolic
// link) nor one more name of a file elsewhere (a hard link). When it is,
// its name is removed, never what it points to, so that the write makes a
// fresh one of our own (said on stderr once); true when that worked.
bool NotALink(const LogPath& path, bool directory);

// Held around each rotate-and-append, so that two processes writing the same
// files (the host and its guard) never rotate under each other.
class LogFileLock {
 public:
  virtual ~LogFileLock() = default;
  // False when it could not be had in time; the append then goes ahead.
  virtual bool Acquire() = 0;
  virtual void Release() = 0;
};

// One capped file. Append writes a burst whole: when it would take the file
// past the cap, the file is first moved to "<path>.1"; when it cannot be
// moved (another program holds it, or "<path>.1", open without delete
// sharing) it is cut in place to its newest half instead, and when that fails too the burst
// is dropped: the file never grows past its cap plus one burst, and it is
// never deleted to make room; a link at its path is never written through. A
// burst larger than the cap keeps only its end.
// Safe to call from any thread; |lock|, if any, is held around it.
class CappedLogFile {
 public:
  explicit CappedLogFile(LogPath path, LogFileLock* lock = nullptr)
      : path_(std::move(path)), cross_process_(lock) {}
  // False when the burst was not written.
  bool Append(const std::string& bytes);
  // From now on the file opened is written only while it really is
  // |name| in |real_folder| (links followed); an empty folder: anywhere.
  void ExpectIn(const LogPath& real_folder, const wchar_t* name);

 private:
  std::mutex lock_;
  LogPath path_;
  LogPath real_;
  LogFileLock* cross_process_;
};

// Where the tunnel's code writes its events: thread-safe, and silent when
// the log cannot be written.
class LogPort {
 public:
  virtual ~LogPort() = default;
  virtual void Write(const std::string& text) = 0;
  // From now on |secret| (a node's credential) is hidden in every line, the
  // core's output included, as every earlier one of this session still is
  // (an old core may still be writing).
  virtual void MaskFromNowOn(const std::string& secret) = 0;
};

// The two files of one log directory: the host's (and the guard's) lines,
// and the core's output, each line stamped with the time and the writer's
// process id and masked. The directory is made at the first write, and made
// again whenever a write finds it gone. A write that fails is not retried,
// but counted: the next line that can be written says how many were lost.
// While nothing can be written, one line says so on standard error (once
// until writing works again) and the program goes on. An empty |directory|
// is no log at all.
class DiagnosticsLog : public LogPort {
 public:
  // |clock|: 100 ns ticks since 1970, UTC. |lock|, if any, outlives the log.
  DiagnosticsLog(LogPath directory, uint32_t process_id, std::function<uint64_t()> clock,
                 LogFileLock* lock = nullptr);
  // Each folder of the log below |root| (a prefix of its directory) is ours:
  // never written through a link. Call before the first write.
  void OwnFoldersBelow(const LogPath& root);
  // Waits for the lines still queued (see WriteInBackground).
  ~DiagnosticsLog() override;
  DiagnosticsLog(const DiagnosticsLog&) = delete;
  DiagnosticsLog& operator=(const DiagnosticsLog&) = delete;
  // From now on Write only queues its line, stamped with its time, and a
  // thread of the log's own appends it: a thread that must never wait on a
  // file or a lock (the window's) can log. At most kQueuedLogBytes wait; a
  // line beyond is counted, and the next one written says how many were
  // lost. False (and lines still written at once) when no thread could be had.
  bool WriteInBackground();
  // Waits at most |ms| for every queued line to be written; false when some
  // still wait.
  bool Flush(uint32_t ms);
  void Write(const std::string& text) override;
  void MaskFromNowOn(const std::string& secret) override;
  // Whole lines of the core's output (each ended by a line feed).
  void WriteCoreOutput(const std::string& lines);
  // |text| masked as every line is.
  std::string Mask(const std::string& text);
  // The longest form of a secret now masked: what a piece cut from a long
  // line carries over to the next, so that one across the cut is seen whole.
  size_t LongestSecret();

 private:
  std::string Stamp(const std::string& lines, uint64_t now);
  void Append(CappedLogFile& file, std::atomic<uint64_t>& dropped, const std::string& lines);
  // |bytes|: stamped lines, |count| of them.
  void AppendStamped(CappedLogFile& file, std::atomic<uint64_t>& dropped, std::string bytes,
                     uint64_t count, uint64_t now);
  void WriteQueued();

  LogPath directory_;
  uint32_t process_id_;
  std::function<uint64_t()> clock_;
  std::vector<LogPath> owned_folders_;
  CappedLogFile host_;
  CappedLogFile core_;
  std::mutex lock_;  // guards the secrets
  std::vector<std::string> secrets_;
  std::vector<std::string> forms_;  // every form of each, longest first
  size_t longest_ = 0;
  std::atomic<uint64_t> host_dropped_{0};
  std::atomic<uint64_t> core_dropped_{0};
  std::atomic<bool> failing_{false};  // said on stderr until a write works again

  struct Queued {
    uint64_t at;
    std::string text;
  };
  std::mutex queue_lock_;
  std::condition_variable queue_changed_;
  std::deque<Queued> queue_;
  size_t queued_bytes_ = 0;  // waiting, and in the writer's hands: the bound counts both
  uint64_t overflowed_ = 0;  // lines not queued since the last write
  bool background_ = false;
  bool writing_ = false;   // the writer has lines in hand
  bool stopping_ = false;  // the log is going: the writer ends once all are written
  bool writer_alive_ = false;
};

// What may wait in a log's queue: far more than a burst of events.
constexpr size_t kQueuedLogBytes = 1024 * 1024;

// One core's output on its way to the core file: whole lines as they come.
// A line that grows to a piece without ending is written in pieces, each
// masked before it is cut and its last kMaskCarryBytes (or the longest
// secret's length, if more) kept for the next, so that a credential split
// across two reads is still seen whole.
constexpr size_t kCoreOutputPieceBytes = 1024 * 1024;
constexpr size_t kMaskCarryBytes = 256;
class CoreOutputWriter {
 public:
  explicit CoreOutputWriter(DiagnosticsLog* log) : log_(log) {}
  // What one read gave; |more_waiting|: more is there already, so it can
  // wait for one append with the rest.
  void Add(const char* data, size_t size, bool more_waiting);
  // The core is gone: what is left, as a last line.
  void End();

 private:
  DiagnosticsLog* log_;
  std::string pending_;
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_DIAGNOSTICS_LOG_H_
