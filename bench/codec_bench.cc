// Encode and decode throughput of the standard codec on the trees the host
// really sends, side by side with msgpack-c and nlohmann-json's msgpack on the
// same trees and with a plain memcpy of the same bytes for the typed lists;
// the whole path of one "status" message; and hostile input beside benign.
// The ratios at the end come from this one run.
#include <benchmark/benchmark.h>
#include <msgpack.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "channel/binary_messenger_impl.h"
#include "channel/byte_buffer_streams.h"
#include "channel/method_call.h"
#include "channel/standard_codec_serializer.h"
#include "channel/standard_method_codec.h"
#include "stand_ins/engine/stand_in_controls.h"
#include "tunnel/tunnel_bridge.h"

namespace {

using flutter::EncodableValue;
using flutter::EncodableValueList;
using flutter::EncodableValueMap;

EncodableValue ConnectedStatus() {
  EncodableValueMap map;
  map[EncodableValue("stage")] = EncodableValue("connected");
  map[EncodableValue("protocol")] = EncodableValue("vlessWs");
  map[EncodableValue("message")] =
      EncodableValue("Windows system proxy is active through sing-box.");
  map[EncodableValue("sessionId")] = EncodableValue("windows-singbox-2026-12-06T10:25:05Z");
  map[EncodableValue("connectedAt")] = EncodableValue("2026-12-06T10:25:05Z");
  map[EncodableValue("updatedAt")] = EncodableValue("2026-12-06T10:25:05Z");
  map[EncodableValue("latencyMs")] = EncodableValue();
  map[EncodableValue("throughputMbps")] = EncodableValue();
  map[EncodableValue("nodeId")] = EncodableValue("node-7");
  map[EncodableValue("nodeName")] = EncodableValue("Tokyo 3");
  map[EncodableValue("regionCode")] = EncodableValue("JP");
  return EncodableValue(std::move(map));
}

EncodableValue ConnectRequest() {
  EncodableValueMap node;
  node[EncodableValue("host")] = EncodableValue("edge.example.net");
  node[EncodableValue("uuid")] = EncodableValue("0f8e6a52-3c1d-4b7e-9a2f-5d6c7b8a9e01");
  node[EncodableValue("port")] = EncodableValue(443);
  node[EncodableValue("path")] = EncodableValue("/ws");
  node[EncodableValue("sni")] = EncodableValue("cdn.example.net");
  node[EncodableValue("fp")] = EncodableValue("chrome");
  EncodableValueMap request;
  request[EncodableValue("connectionConfig")] = EncodableValue(std::move(node));
  request[EncodableValue("proxyMode")] = EncodableValue("smart");
  request[EncodableValue("nodeId")] = EncodableValue("node-7");
  request[EncodableValue("nodeName")] = EncodableValue("Tokyo 3");
  request[EncodableValue("regionCode")] = EncodableValue("JP");
  return EncodableValue(std::move(request));
}

EncodableValue SmallMaps() {
  EncodableValueList list;
  for (int32_t i = 0; i < 10000; ++i) {
    EncodableValueMap map;
    map[EncodableValue("id")] = EncodableValue(i);
    map[EncodableValue("name")] = EncodableValue("node-" + std::to_string(i));
    map[EncodableValue("up")] = EncodableValue(i % 3 != 0);
    list.push_back(EncodableValue(std::move(map)));
  }
  return EncodableValue(std::move(list));
}

EncodableValue ByteList() { return EncodableValue(std::vector<uint8_t>(1 << 20, 0x5A)); }
EncodableValue Int64List() {
  std::vector<int64_t> values(256 * 1024);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int64_t>(i * 2654435761u);
  return EncodableValue(std::move(values));
}
EncodableValue DoubleList() {
  std::vector<double> values(256 * 1024);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i) * 0.5;
  return EncodableValue(std::move(values));
}

constexpr size_t kHostileSize = 64 * 1024;

// 120 nested lists, each announcing as many elements as the bytes left after
// its header, over a body of trues: every count passes the size check, and
// the innermost list uses up the message that all the others count on.
std::vector<uint8_t> NestedCountBomb() {
  std::vector<uint8_t> bytes;
  for (int level = 0; level < 120; ++level) {
    const uint32_t left = static_cast<uint32_t>(kHostileSize - bytes.size() - 6);
    bytes.insert(bytes.end(),
                 {0x0C, 0xFF, static_cast<uint8_t>(left), static_cast<uint8_t>(left >> 8),
                  static_cast<uint8_t>(left >> 16), static_cast<uint8_t>(left >> 24)});
  }
  bytes.resize(kHostileSize, 0x01);
  return bytes;
}

// The same size and about as many values, well formed: one list of trues.
std::vector<uint8_t> BenignTrues() {
  const uint32_t count = static_cast<uint32_t>(kHostileSize - 6);
  std::vector<uint8_t> bytes{0x0C,
                             0xFF,
                             static_cast<uint8_t>(count),
                             static_cast<uint8_t>(count >> 8),
                             static_cast<uint8_t>(count >> 16),
                             static_cast<uint8_t>(count >> 24)};
  bytes.resize(kHostileSize, 0x01);
  return bytes;
}

std::vector<uint8_t> Encode(const EncodableValue& value) {
  std::vector<uint8_t> bytes;
  flutter::ByteBufferStreamWriter writer(&bytes);
  flutter::StandardCodecSerializer::SharedInstance().WriteValue(value, &writer);
  return bytes;
}

EncodableValue Decode(const std::vector<uint8_t>& bytes) {
  flutter::ByteBufferStreamReader reader(bytes.data(), bytes.size());
  return flutter::StandardCodecSerializer::SharedInstance().ReadNextValue(&reader);
}

void PackMsgpack(const EncodableValue& value, msgpack_packer* pk) {
  switch (value.Kind()) {
    case EncodableValue::kBool:
      value.Get<bool>() ? msgpack_pack_true(pk) : msgpack_pack_false(pk);
      break;
    case EncodableValue::kInt32:
      msgpack_pack_int32(pk, value.Get<int32_t>());
      break;
    case EncodableValue::kInt64:
      msgpack_pack_int64(pk, value.Get<int64_t>());
      break;
    case EncodableValue::kDouble:
      msgpack_pack_double(pk, value.Get<double>());
      break;
    case EncodableValue::kString: {
      const auto& s = value.Get<std::string>();
      msgpack_pack_str(pk, s.size());
      msgpack_pack_str_body(pk, s.data(), s.size());
      break;
    }
    case EncodableValue::kByteList: {
      const auto& b = value.Get<std::vector<uint8_t>>();
      msgpack_pack_bin(pk, b.size());
      msgpack_pack_bin_body(pk, b.data(), b.size());
      break;
    }
    case EncodableValue::kList: {
      const auto& l = value.Get<EncodableValueList>();
      msgpack_pack_array(pk, l.size());
      for (const auto& e : l) PackMsgpack(e, pk);
      break;
    }
    case EncodableValue::kMap: {
      const auto& m = value.Get<EncodableValueMap>();
      msgpack_pack_map(pk, m.size());
      for (const auto& e : m) {
        PackMsgpack(e.first, pk);
        PackMsgpack(e.second, pk);
      }
      break;
    }
    default:
      msgpack_pack_nil(pk);
  }
}

// The same tree as nlohmann-json holds it.
nlohmann::json ToJson(const EncodableValue& value) {
  switch (value.Kind()) {
    case EncodableValue::kBool:
      return value.Get<bool>();
    case EncodableValue::kInt32:
      return value.Get<int32_t>();
    case EncodableValue::kInt64:
      return value.Get<int64_t>();
    case EncodableValue::kDouble:
      return value.Get<double>();
    case EncodableValue::kString:
      return value.Get<std::string>();
    case EncodableValue::kByteList:
      return nlohmann::json::binary(value.Get<std::vector<uint8_t>>());
    case EncodableValue::kList: {
      nlohmann::json list = nlohmann::json::array();
      for (const auto& e : value.Get<EncodableValueList>()) list.push_back(ToJson(e));
      return list;
    }
    case EncodableValue::kMap: {
      nlohmann::json map = nlohmann::json::object();
      for (const auto& e : value.Get<EncodableValueMap>())
        map[e.first.Get<std::string>()] = ToJson(e.second);
      return map;
    }
    default:
      return nullptr;
  }
}

void BM_Standard(benchmark::State& state, EncodableValue (*make)()) {
  const EncodableValue value = make();
  size_t bytes = 0;
  for (auto _ : state) {
    auto encoded = Encode(value);
    EncodableValue decoded = Decode(encoded);
    benchmark::DoNotOptimize(decoded);
    bytes = encoded.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_Msgpack(benchmark::State& state, EncodableValue (*make)()) {
  const EncodableValue value = make();
  size_t bytes = 0;
  for (auto _ : state) {
    msgpack_sbuffer buffer;
    msgpack_sbuffer_init(&buffer);
    msgpack_packer pk;
    msgpack_packer_init(&pk, &buffer, msgpack_sbuffer_write);
    PackMsgpack(value, &pk);
    msgpack_unpacked result;
    msgpack_unpacked_init(&result);
    size_t offset = 0;
    msgpack_unpack_next(&result, buffer.data, buffer.size, &offset);
    benchmark::DoNotOptimize(result.data);
    msgpack_unpacked_destroy(&result);
    bytes = buffer.size;
    msgpack_sbuffer_destroy(&buffer);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_Nlohmann(benchmark::State& state, EncodableValue (*make)()) {
  const nlohmann::json value = ToJson(make());
  size_t bytes = 0;
  for (auto _ : state) {
    const std::vector<uint8_t> encoded = nlohmann::json::to_msgpack(value);
    nlohmann::json decoded = nlohmann::json::from_msgpack(encoded);
    benchmark::DoNotOptimize(decoded);
    bytes = encoded.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_StandardDecode(benchmark::State& state, EncodableValue (*make)()) {
  const auto encoded = Encode(make());
  for (auto _ : state) {
    EncodableValue decoded = Decode(encoded);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * encoded.size()));
}

void BM_StandardEncode(benchmark::State& state, EncodableValue (*make)()) {
  const EncodableValue value = make();
  size_t bytes = 0;
  for (auto _ : state) {
    auto encoded = Encode(value);
    bytes = encoded.size();
    benchmark::DoNotOptimize(encoded);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// Decoding raw message bytes; the codec's diagnostic for the bomb goes to a
// closed stream so that it is not what gets measured.
void BM_DecodeBytes(benchmark::State& state, std::vector<uint8_t> (*make)()) {
  const auto bytes = make();
  std::cerr.setstate(std::ios::failbit);
  for (auto _ : state) {
    EncodableValue decoded = Decode(bytes);
    benchmark::DoNotOptimize(decoded);
  }
  std::cerr.clear();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

// OS ports that answer at once and record nothing: only our own path is timed.
struct QuietOs : tessarin::ProxySettingsPort,
                 tessarin::InternetPort,
                 tessarin::ProcessPort,
                 tessarin::SystemPort {
  bool OpenSettingsKey() override { return true; }
  bool OpenSettingsKeyToCheck() override { return true; }
  bool ReadDwordValue(const std::wstring&, uint32_t*) override { return false; }
  bool ReadStringValue(const std::wstring&, std::wstring*) override { return false; }
  bool SetDwordValue(const std::wstring&, uint32_t) override { return true; }
  bool SetStringValue(const std::wstring&, const std::wstring&) override { return true; }
  void CloseSettingsKey() override {}
  void NotifyInternetOption(uint32_t) override {}
  bool MachinePolicyOverridesUser() override { return false; }
  std::vector<std::wstring> DialUpConnections() override { return {}; }
  bool ReadConnectionProxy(const std::wstring&, tessarin::ConnectionProxy*) override {
    return false;
  }
  bool WriteConnectionProxy(const std::wstring&, const tessarin::ConnectionProxy&) override {
    return true;
  }
  struct Request : tessarin::InternetRequest {
    bool Read(uint8_t*, uint32_t, uint32_t* bytes_read) override {
      *bytes_read = 3;
      return true;
    }
  };
  struct Session : tessarin::InternetSession {
    bool SetOption(uint32_t, uint32_t) override { return true; }
    std::unique_ptr<tessarin::InternetRequest> OpenUrl(const std::string&, uint32_t) override {
      return std::make_unique<Request>();
    }
  };
  uint32_t LastError() override { return 0; }
  std::unique_ptr<tessarin::InternetSession> OpenSession(const std::string&,
                                                         const std::string&) override {
    return std::make_unique<Session>();
  }
  uint32_t Launch(const std::wstring&, const std::wstring&) override { return 100; }
  bool IsRunning(uint32_t) override { return true; }
  void Terminate(uint32_t, uint32_t) override {}
  bool ExitCode(uint32_t, uint32_t*) override { return false; }
  size_t ModuleFileName(wchar_t* buffer, size_t size) override {
    const std::wstring path = L"C:\\Apps\\tessarin\\tessarin.exe";
    if (size <= path.size()) return 0;
    std::copy(path.begin(), path.end(), buffer);
    buffer[path.size()] = L'\0';
    return path.size();
  }
  bool PathExists(const std::wstring&) override { return true; }
  bool WriteWholeFile(const std::wstring&, const std::string&) override { return true; }
  uint64_t UnixTimeTicks() override { return 17650000000000000ULL; }
  void Sleep(uint32_t) override {}
  uint64_t SteadyMs() override { return 0; }
  bool LocalListeners(uint16_t, std::vector<uint32_t>*) override { return false; }
  PortState CheckLocalPort(uint16_t, uint32_t*, std::wstring*) override { return PortState::kFree; }
};

std::vector<uint8_t> EncodedCall(const std::string& method, const EncodableValue* args) {
  flutter::MethodCall call(method, args ? std::make_unique<EncodableValue>(*args) : nullptr);
  return *flutter::StandardMethodCodec::SharedInstance().EncodeCall(call);
}

// One "status" message of a connected tunnel, from its bytes to the reply's
// bytes: messenger, method channel, codec, bridge and status map.
void BM_StatusMessage(benchmark::State& state) {
  QuietOs os;
  FlutterDesktopMessengerRef platform = stand_in::CreateMessenger();
  {
    flutter::BinaryMessengerImpl messenger(platform);
    tessarin::TunnelBridge bridge(tessarin::OsPorts{&os, &os, &os, &os});
    bridge.Initialize();
    bridge.InstallChannel(&messenger);
    EncodableValueMap node{
        {EncodableValue("host"), EncodableValue("edge.example.net")},
        {EncodableValue("port"), EncodableValue(443)},
        {EncodableValue("uuid"), EncodableValue("0f8e6a52-3c1d-4b7e-9a2f-5d6c7b8a9e01")}};
    const EncodableValue request(
        EncodableValueMap{{EncodableValue("connectionConfig"), EncodableValue(node)},
                          {EncodableValue("proxyMode"), EncodableValue("smart")}});
    stand_in::Deliver(platform, tessarin::kTunnelChannelName, EncodedCall("connect", &request));
    if (!bridge.active()) state.SkipWithError("connect did not succeed");
    const std::vector<uint8_t> status = EncodedCall("status", nullptr);
    for (auto _ : state) {
      stand_in::Delivery delivery =
          stand_in::Deliver(platform, tessarin::kTunnelChannelName, status);
      benchmark::DoNotOptimize(delivery);
    }
    bridge.ReleaseChannel();
  }
  stand_in::ShutDownMessenger(platform);
}

// The floor for typed lists: copying the same bytes into a fresh buffer.
void BM_Memcpy(benchmark::State& state, EncodableValue (*make)()) {
  const auto encoded = Encode(make());
  for (auto _ : state) {
    std::vector<uint8_t> copy(encoded.size());
    std::memcpy(copy.data(), encoded.data(), encoded.size());
    benchmark::DoNotOptimize(copy);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * encoded.size()));
}

#define TREES(BM)                                           \
  BENCHMARK_CAPTURE(BM, connected_status, ConnectedStatus); \
  BENCHMARK_CAPTURE(BM, connect_request, ConnectRequest);   \
  BENCHMARK_CAPTURE(BM, small_maps_10k, SmallMaps);

TREES(BM_Standard)
TREES(BM_Msgpack)
TREES(BM_Nlohmann)
BENCHMARK(BM_StatusMessage);
BENCHMARK_CAPTURE(BM_Standard, byte_list_1mib, ByteList);
BENCHMARK_CAPTURE(BM_Msgpack, byte_list_1mib, ByteList);
BENCHMARK_CAPTURE(BM_StandardDecode, byte_list_1mib, ByteList);
BENCHMARK_CAPTURE(BM_StandardDecode, small_maps_10k, SmallMaps);
BENCHMARK_CAPTURE(BM_StandardEncode, small_maps_10k, SmallMaps);
BENCHMARK_CAPTURE(BM_StandardDecode, int64_list_256k, Int64List);
BENCHMARK_CAPTURE(BM_StandardDecode, double_list_256k, DoubleList);
BENCHMARK_CAPTURE(BM_StandardEncode, int64_list_256k, Int64List);
BENCHMARK_CAPTURE(BM_StandardEncode, double_list_256k, DoubleList);
BENCHMARK_CAPTURE(BM_Memcpy, byte_list_1mib, ByteList);
BENCHMARK_CAPTURE(BM_Memcpy, int64_list_256k, Int64List);
BENCHMARK_CAPTURE(BM_Memcpy, double_list_256k, DoubleList);
BENCHMARK_CAPTURE(BM_DecodeBytes, hostile_nested_counts_64k, NestedCountBomb);
BENCHMARK_CAPTURE(BM_DecodeBytes, benign_list_64k, BenignTrues);

// Keeps each run's CPU time per iteration (steadier than wall time on a shared
// machine) so that ratios from this one run can be printed.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration) times[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

void PrintRatio(const RecordingReporter& reporter, const char* what, const std::string& numerator,
                const std::string& denominator) {
  const auto a = reporter.times.find(numerator);
  const auto b = reporter.times.find(denominator);
  if (a == reporter.times.end() || b == reporter.times.end() || b->second <= 0) return;
  std::printf("ratio %-48s %6.2f  (%s / %s)\n", what, a->second / b->second, numerator.c_str(),
              denominator.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  // Above 1.0: ours is faster.
  for (const char* tree : {"connected_status", "connect_request", "small_maps_10k"}) {
    const std::string ours = std::string("BM_Standard/") + tree;
    PrintRatio(reporter, (std::string("speed vs msgpack-c, ") + tree).c_str(),
               std::string("BM_Msgpack/") + tree, ours);
    PrintRatio(reporter, (std::string("speed vs nlohmann-json, ") + tree).c_str(),
               std::string("BM_Nlohmann/") + tree, ours);
  }
  for (const char* list : {"byte_list_1mib", "int64_list_256k", "double_list_256k"}) {
    PrintRatio(reporter, (std::string("typed list decode vs memcpy, ") + list).c_str(),
               std::string("BM_Memcpy/") + list, std::string("BM_StandardDecode/") + list);
  }
  // Near 1.0: a hostile message costs what a benign one of its size does.
  PrintRatio(reporter, "hostile 64 KiB decode time / benign",
             "BM_DecodeBytes/hostile_nested_counts_64k", "BM_DecodeBytes/benign_list_64k");
  const auto status = reporter.times.find("BM_StatusMessage");
  if (status != reporter.times.end()) {
    std::printf("whole path of one status message: %.0f ns\n", status->second);
  }
  benchmark::Shutdown();
  return 0;
}
