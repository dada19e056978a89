// The diagnostics log: its lines, its cap, and the node's credential kept out.
#include "tunnel/diagnostics_log.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/fake_os_ports.h"
#include "tunnel/tunnel_bridge.h"

namespace tessarin {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t kNow = 1796552705ULL * 10000000ULL + 1234567;  // 2026-12-06T10:25:05.123Z
constexpr char kUuid[] = "0f8e6a52-3c1d-4b7e-9a2f-5d6c7b8a9e01";

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

fs::path FreshDirectory(const char* name) {
  const fs::path directory = fs::temp_directory_path() / ("tessarin-log-test-" + std::string(name));
  fs::remove_all(directory);
  return directory;
}

TEST(DiagnosticsLogTest, LinesHaveTheAgreedForm) {
  EXPECT_EQ(StampedLine(kNow, 42, "core 7 started"),
            "2026-12-06T10:25:05.123Z [42] core 7 started\n");
  EXPECT_EQ(LogSafe(std::string("con\nnect\x01", 9)), "con?nect?");
  EXPECT_EQ(LogText(L"C:\\Apps\\t\u00e9ssarin"), "C:\\Apps\\t\xc3\xa9ssarin");
}

TEST(DiagnosticsLogTest, EachFileStaysUnderItsCapWithOneOlderFile) {
  const fs::path directory = FreshDirectory("cap");
  fs::create_directories(directory);
  CappedLogFile file(directory / "tessarin.log");
  const std::string burst(600 * 1024, 'a');
  ASSERT_TRUE(file.Append(burst));
  ASSERT_TRUE(file.Append(std::string(600 * 1024, 'b')));  // past the cap: the first moves aside
  EXPECT_EQ(Read(directory / "tessarin.log.1"), burst);
  EXPECT_EQ(fs::file_size(directory / "tessarin.log"), 600u * 1024);
  std::string flood(3 * kLogFileCapBytes, 'c');
  flood.back() = 'z';
  ASSERT_TRUE(file.Append(flood));  // one burst larger than the cap keeps its end
  EXPECT_EQ(fs::file_size(directory / "tessarin.log"), kLogFileCapBytes);
  EXPECT_EQ(Read(directory / "tessarin.log").back(), 'z');
  EXPECT_EQ(fs::file_size(directory / "tessarin.log.1"), 600u * 1024);
  fs::remove_all(directory);
}

TEST(DiagnosticsLogTest, TheCredentialIsMaskedWhereverItCouldAppear) {
  EXPECT_EQ(MaskSecrets(std::string("uuid ") + kUuid + " refused", ""),
            "uuid ********-****-****-****-************ refused");
  EXPECT_EQ(MaskSecrets("bad uuid not-a-uuid-1 here", "not-a-uuid-1"),
            "bad uuid ************ here");
  EXPECT_EQ(MaskSecrets("probe attempt 2 of 8: read 26 bytes", ""),
            "probe attempt 2 of 8: read 26 bytes");

  // Through a whole failed connect: every line the host writes, and the core's.
  const fs::path directory = FreshDirectory("connect");
  tessarin_test::FakeOs os;
  os.system.existing[L"C:\\Apps\\tessarin\\bin\\sing-box.exe"] = true;
  DiagnosticsLog log(directory, 42, [] { return kNow; });
  OsPorts ports = os.Ports();
  ports.log = &log;
  TunnelBridge bridge(ports);
  bridge.Initialize();
  flutter::EncodableValueMap node{
      {flutter::EncodableValue("host"), flutter::EncodableValue("n")},
      {flutter::EncodableValue("uuid"), flutter::EncodableValue(kUuid)}};
  flutter::MethodCall call(
      "connect",
      std::make_unique<flutter::EncodableValue>(flutter::EncodableValueMap{
          {flutter::EncodableValue("connectionConfig"), flutter::EncodableValue(node)}}));
  class Ignore : public flutter::MethodResult {
    void Success(const flutter::EncodableValue*) override {}
    void Error(const std::string&, const std::string&, const flutter::EncodableValue*) override {}
    void NotImplemented() override {}
  };
  bridge.HandleTunnelCall(call, std::make_unique<Ignore>());
  log.WriteCoreOutput(std::string("FATAL decode config: uuid ") + kUuid + "\r\nsecond line\n");
  const std::string host = Read(directory / "tessarin.log");
  const std::string core = Read(directory / "core.log");
  EXPECT_EQ(host.find(kUuid), std::string::npos);
  EXPECT_EQ(core.find(kUuid), std::string::npos);
  const std::string last = "2026-12-06T10:25:05.123Z [42] second line\n";
  ASSERT_GT(core.size(), last.size());
  EXPECT_EQ(core.substr(core.size() - last.size()), last);
  for (int attempt = 1; attempt <= 8; ++attempt) {
    EXPECT_NE(host.find("probe attempt " + std::to_string(attempt) +
                        " of 8: open url failed, WinINet error 12029"),
              std::string::npos)
        << host;
  }
  EXPECT_NE(host.find("call connect: error PROXY_TEST_FAILED"), std::string::npos);
  fs::remove_all(directory);
}

TEST(DiagnosticsLogTest, AnUnwritableDirectoryIsSaidOnceAndChangesNothingElse) {
  const fs::path blocker = FreshDirectory("blocked");
  std::ofstream(blocker) << "a file where the directory would be";
  DiagnosticsLog log(blocker / "logs", 1, [] { return kNow; });
  testing::internal::CaptureStderr();
  log.Write("one");
  log.Write("two");
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said.find("cannot be written"), said.rfind("cannot be written"));
  EXPECT_NE(said.find("going on without it"), std::string::npos);
  fs::remove(blocker);
}

TEST(DiagnosticsLogTest, AFileThatCannotBeMovedAsideKeepsItsNewestLines) {
  const fs::path directory = FreshDirectory("held");
  // An older file that can be neither removed nor replaced, as one another
  // program holds open.
  fs::create_directories(directory / "core.log.1" / "held");
  CappedLogFile file(directory / "core.log");
  ASSERT_TRUE(file.Append(std::string(kLogFileCapBytes - 20, 'o') + "\n"));
  ASSERT_TRUE(file.Append("newest\n"));
  ASSERT_TRUE(file.Append(std::string(100, 'n') + "\n"));  // past the cap
  EXPECT_EQ(Read(directory / "core.log"), "newest\n" + std::string(100, 'n') + "\n");
  EXPECT_TRUE(fs::is_directory(directory / "core.log.1"));
  fs::remove_all(directory);
}

TEST(DiagnosticsLogTest, AFolderDeletedMeanwhileIsMadeAgainAndLostLinesAreCounted) {
  const fs::path directory = FreshDirectory("healing");
  DiagnosticsLog log(directory, 7, [] { return kNow; });
  log.Write("first");
  fs::remove_all(directory);
  log.Write("second");  // made again
  EXPECT_NE(Read(directory / "tessarin.log").find("second"), std::string::npos);
  fs::remove_all(directory);
  std::ofstream(directory) << "a file where the folder would be";
  testing::internal::CaptureStderr();
  log.Write("lost one");
  log.Write("lost two");
  testing::internal::GetCapturedStderr();
  fs::remove(directory);
  log.Write("back");
  EXPECT_EQ(Read(directory / "tessarin.log"),
            "2026-12-06T10:25:05.123Z [7] 2 earlier lines were not written: the log could not be "
            "written\n2026-12-06T10:25:05.123Z [7] back\n");
  fs::remove_all(directory);
}

TEST(DiagnosticsLogTest, EveryNodeOfTheSessionAndASplitCredentialStayMasked) {
  const fs::path directory = FreshDirectory("secrets");
  DiagnosticsLog log(directory, 7, [] { return kNow; });
  log.MaskFromNowOn("old-node-secret");
  log.MaskFromNowOn("new-node-secret");
  log.WriteCoreOutput("old core: old-node-secret; new core: new-node-secret\n");
  CoreOutputWriter writer(&log);
  // A line with no end, its credential cut by the read, then by the piece.
  std::string line(kCoreOutputPieceBytes - 20, 'x');
  line += kUuid;
  writer.Add(line.data(), line.size() - 10, false);
  writer.Add(line.data() + line.size() - 10, 10, false);
  const std::string rest = std::string(" and ") + "new-node-secret";
  writer.Add(rest.data(), 5, false);
  writer.Add(rest.data() + 5, rest.size() - 5, false);
  writer.End();
  const std::string core = Read(directory / "core.log");
  for (const char* secret : {"old-node-secret", "new-node-secret", "0f8e6a52", "5d6c7b8a9e01"}) {
    EXPECT_EQ(core.find(secret), std::string::npos) << secret;
  }
  EXPECT_NE(core.find("****-****-************ and ***************"), std::string::npos);
  fs::remove_all(directory);
}

TEST(DiagnosticsLogTest, MaskingEndsAndMissesNoFormOfAnySecret) {
  // Each of these once never returned, or left part of a secret in clear.
  EXPECT_EQ(MaskSecrets("a*b**c", "*"), "a*b**c");
  EXPECT_EQ(MaskSecrets("aaa", "a"), "***");
  EXPECT_EQ(MaskSecrets("key=abcdef!", std::vector<std::string>{"cd", "abcdef"}), "key=******!");
  EXPECT_EQ(MaskSecrets(R"({"id":"p\"w\\d"})", "p\"w\\d"), R"({"id":"*******"})");
  EXPECT_EQ(MaskSecrets(R"(id "p\u00e9\u00e9")", "p\xc3\xa9\xc3\xa9"), R"(id "*************")");
  EXPECT_EQ(MaskSecrets("go: \"p\\x01\"", std::string("p\x01")), "go: \"*****\"");
  EXPECT_EQ(MaskSecrets("id 0F8E6A523C1D4B7E9A2F5D6C7B8A9E01.", kUuid),
            "id ********************************.");

  // Text from outside is data: no forged line, no script token.
  EXPECT_EQ(LogData(L"proxy:1\n2026-01-01T00:00:00.000Z [1] forged"),
            "proxy:1\\x0a2026-01-01T00:00:00.000Z [1] forged");
  EXPECT_EQ(LogScriptUrl(L"http://wpad/p.pac?token=s3cret#x"),
            "http://wpad/p.pac (query left out)");

  // A secret longer than the usual carry, cut between two pieces.
  const fs::path directory = FreshDirectory("mask-long");
  DiagnosticsLog log(directory.string(), 1, [] { return 0; });
  const std::string secret(600, 's');
  log.MaskFromNowOn(secret);
  CoreOutputWriter writer(&log);
  std::string line(kCoreOutputPieceBytes - 300, 'x');
  line += secret;
  writer.Add(line.data(), kCoreOutputPieceBytes, false);
  writer.Add(line.data() + kCoreOutputPieceBytes, line.size() - kCoreOutputPieceBytes, false);
  writer.End();
  EXPECT_EQ(Read(directory / "core.log").find("sss"), std::string::npos);
  fs::remove_all(directory);
}

// A lock another writer holds until told to let go.
class HeldLogLock : public LogFileLock {
 public:
  bool Acquire() override {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return !held_; });
    return true;
  }
  void Release() override {}
  void LetGo() {
    std::lock_guard<std::mutex> hold(lock_);
    held_ = false;
    changed_.notify_all();
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool held_ = true;
};

TEST(DiagnosticsLogTest, AHeldLockDelaysOnlyTheQueueWhoseOverflowIsCounted) {
  const fs::path directory = FreshDirectory("queued");
  HeldLogLock held;
  uint64_t now = kNow;
  DiagnosticsLog log(
      directory, 7, [&now] { return now; }, &held);
  ASSERT_TRUE(log.WriteInBackground());
  log.Write("one");  // returns at once, though the lock is held
  EXPECT_FALSE(log.Flush(20));
  // Four fill the bound with the line in the writer's hands, not one more.
  const std::string big((kQueuedLogBytes - 3) / 4, 'x');
  for (int i = 1; i <= 6; ++i) {  // the fifth and sixth find no room
    now = kNow + static_cast<uint64_t>(i) * 10000000ULL;
    log.Write(big);
  }
  held.LetGo();
  ASSERT_TRUE(log.Flush(10000));
  std::string expected = StampedLine(kNow, 7, "one") +
                         StampedLine(now, 7,
                                     "2 earlier lines were not written: more waited than the "
                                     "log keeps");
  for (int i = 1; i <= 4; ++i) {
    expected += StampedLine(kNow + static_cast<uint64_t>(i) * 10000000ULL, 7, big);
  }
  EXPECT_EQ(Read(directory / "tessarin.log.1") + Read(directory / "tessarin.log"), expected);
  fs::remove_all(directory);
}

TEST(DiagnosticsLogTest, NothingIsWrittenThroughALink) {
  const fs::path root = FreshDirectory("links");
  const fs::path outside = root / "outside";
  fs::create_directories(outside);
  std::ofstream(outside / "theirs.txt") << "theirs\n";
  const fs::path directory = root / "tessarin" / "logs";
  fs::create_directories(directory);
  fs::create_hard_link(outside / "theirs.txt", directory / "tessarin.log");
  fs::create_directory_symlink(outside, directory / "crashes");
  // A folder's link at a file's name, which no open takes for a file.
  fs::create_directory_symlink(outside, directory / "core.log");
  testing::internal::CaptureStderr();
  DiagnosticsLog log(directory, 7, [] { return kNow; });
  log.OwnFoldersBelow(root);
  log.Write("ours");
  log.WriteCoreOutput("core\n");
  EXPECT_TRUE(NotALink(directory / "crashes", true));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(Read(outside / "theirs.txt"), "theirs\n");
  EXPECT_EQ(Read(directory / "tessarin.log"), StampedLine(kNow, 7, "ours"));
  EXPECT_EQ(Read(directory / "core.log"), StampedLine(kNow, 7, "core"));
  EXPECT_FALSE(fs::exists(directory / "crashes"));
  // A planted folder link on the way is gone too, and the folders made ours.
  fs::remove_all(root / "tessarin");
  fs::create_directory_symlink(outside, root / "tessarin");
  log.Write("again");
  EXPECT_FALSE(fs::is_symlink(root / "tessarin"));
  EXPECT_EQ(Read(directory / "tessarin.log"), StampedLine(kNow, 7, "again"));
  EXPECT_EQ(fs::directory_iterator(outside)->path().filename(), "theirs.txt");
  fs::remove_all(root);
}

// A folder swapped for a link while a write waits for the other processes'
// lock (after the folders were looked at): the file it opens is elsewhere.
TEST(DiagnosticsLogTest, AFolderSwappedDuringTheLockWaitIsNotWrittenThrough) {
  const fs::path root = FreshDirectory("swapped");
  const fs::path outside = root / "outside";
  const fs::path directory = root / "tessarin" / "logs";
  fs::create_directories(outside);
  fs::create_directories(directory);
  struct Swapping : LogFileLock {
    bool Acquire() override {
      if (swap) {
        swap = false;
        fs::rename(from, from.string() + ".old");
        fs::create_directory_symlink(to, from);
      }
      return true;
    }
    void Release() override {}
    bool swap = false;
    fs::path from, to;
  } lock;
  lock.from = directory;
  lock.to = outside;
  DiagnosticsLog log(
      directory, 7, [] { return kNow; }, &lock);
  log.OwnFoldersBelow(root);
  log.Write("ours");
  lock.swap = true;
  testing::internal::CaptureStderr();
  log.Write("swapped");
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(fs::is_empty(outside) || Read(outside / "tessarin.log").empty());
  EXPECT_EQ(Read(root / "tessarin" / "logs.old" / "tessarin.log"), StampedLine(kNow, 7, "ours"));
  fs::remove_all(root);
}

}  // namespace
}  // namespace tessarin
