// Arbitrary bytes as messages on "tessarin/tunnel", against fake OS ports:
// never a crash, exactly one reply per message, and the bridge's invariants
// hold after every message. The input is split into several messages so that
// sequences (connect, then status, ...) are explored too.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "channel/binary_messenger_impl.h"
#include "fuzz/fuzz_support.h"
#include "stand_ins/engine/stand_in_controls.h"
#include "tests/support/fake_os_ports.h"
#include "tunnel/tunnel_bridge.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tessarin_fuzz::SilenceDiagnostics();
  tessarin_test::FakeOs os;
  os.system.existing[L"C:\\Apps\\tessarin\\bin\\sing-box.exe"] = true;
  // The first byte scripts the OS: which steps fail.
  if (size > 0) {
    const uint8_t knobs = data[0];
    os.system.writable = (knobs & 1) == 0;
    os.processes.exits_at_once = (knobs & 2) != 0;
    os.proxy.openable = (knobs & 4) == 0;
    if ((knobs & 8) == 0) {
      for (int i = 0; i < 64; ++i)
        os.internet.script.push_back(tessarin_test::FakeInternet::Outcome::kBody);
    }
    ++data;
    --size;
  }
  FlutterDesktopMessengerRef platform = stand_in::CreateMessenger();
  {
    flutter::BinaryMessengerImpl messenger(platform);
    tessarin::TunnelBridge bridge(os.Ports());
    bridge.Initialize();
    bridge.InstallChannel(&messenger);
    // Messages are separated by the byte 0xFF 0xFE pair.
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
      const bool end = i == size || (i + 1 < size && data[i] == 0xFF && data[i + 1] == 0xFE);
      if (!end) continue;
      std::vector<uint8_t> message(data + start, data + i);
      const stand_in::Delivery delivery =
          stand_in::Deliver(platform, tessarin::kTunnelChannelName, message);
      tessarin_fuzz::Check(delivery.responses == 1, "every message is answered exactly once");
      if (bridge.active()) {
        tessarin_fuzz::Check(bridge.coreProcessId() != 0 && !bridge.sessionId().empty(),
                             "an active tunnel has a core and a session");
      } else {
        tessarin_fuzz::Check(bridge.coreProcessId() == 0, "an idle bridge knows no core");
      }
      start = i + 2;
      ++i;
    }
    bridge.Teardown();
    bridge.ReleaseChannel();
  }
  stand_in::ShutDownMessenger(platform);
  return 0;
}
