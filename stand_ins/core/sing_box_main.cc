// The stand-in proxy core, bin/sing-box.exe: checks its document strictly,
// then serves the mixed inbound (HTTP CONNECT, HTTP forwarding, SOCKS5) and
// relays the "proxy" outbound's traffic to the node as plain TCP. Everything
// it does goes to sing-box.log beside the configuration, for the tests.
#include <winsock2.h>
#include <ws2tcpip.h>
// After the socket headers, which must come first.
#include <windows.h>

#include <share.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "stand_ins/core/core_document.h"
#include "stand_ins/win32/utf8_text.h"
#include "tunnel/start_thread.h"

namespace {

using stand_in::Narrow;

FILE* log_file = nullptr;
std::mutex log_lock;
stand_in::CoreDocument document;

void Log(const char* format, ...) {
  std::lock_guard<std::mutex> hold(log_lock);
  if (log_file == nullptr) return;
  std::fprintf(log_file, "[%lu] ", GetCurrentProcessId());
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(log_file, format, arguments);
  va_end(arguments);
  std::fputc('\n', log_file);
  std::fflush(log_file);
}

// One line on stderr and in the log, then exit 1 at once, as a core does.
[[noreturn]] void Refuse(const std::string& why) {
  std::fprintf(stderr, "FATAL[0000] %s\n", why.c_str());
  Log("refused: %s", why.c_str());
  std::exit(1);
}

// A knob's number from the environment, read the Windows way; 0 without it.
long long KnobValue(const char* name) {
  char value[32];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof(value));
  return length > 0 && length < sizeof(value) ? std::atoll(value) : 0;
}

// For tests of the host's capture: TESSARIN_STAND_IN_CORE_FLOOD_MB=N writes
// N MiB of lines to stderr as fast as the pipe takes them, and logs how long
// that took, so a test can tell whether the host ever held the core up.
void FloodStandardError() {
  const long long megabytes = KnobValue("TESSARIN_STAND_IN_CORE_FLOOD_MB");
  if (megabytes <= 0) return;
  const long long total = megabytes * 1024 * 1024;
  tessarin::StartThread("Exception flooding: ", [total] {
    const std::string line = "INFO[0000] flood " + std::string(1000, 'x') + "\n";
    const ULONGLONG began = GetTickCount64();
    long long written = 0;
    while (written < total) {
      if (std::fwrite(line.data(), 1, line.size(), stderr) != line.size()) break;
      written += static_cast<long long>(line.size());
    }
    std::fflush(stderr);
    Log("flooded %lld bytes to stderr in %llu ms", written, GetTickCount64() - began);
  });
}

// For tests of a core that keeps failing once up:
// TESSARIN_STAND_IN_CORE_EXIT_AFTER_MS=N ends the core (exit code 1) N ms
// after it began to listen.
void ExitLater() {
  const long long ms = KnobValue("TESSARIN_STAND_IN_CORE_EXIT_AFTER_MS");
  if (ms <= 0) return;
  tessarin::StartThread("Exception ending the core later: ", [ms] {
    Sleep(static_cast<DWORD>(ms));
    Log("exiting %lld ms after it began to listen, as TESSARIN_STAND_IN_CORE_EXIT_AFTER_MS asks",
        ms);
    ExitProcess(1);
  });
}

class Socket {
 public:
  explicit Socket(SOCKET socket = INVALID_SOCKET) : socket_(socket) {}
  ~Socket() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  SOCKET get() const { return socket_; }
  bool valid() const { return socket_ != INVALID_SOCKET; }

 private:
  SOCKET socket_;
};

bool SendAll(SOCKET socket, const char* data, size_t size) {
  while (size > 0) {
    const int sent = send(socket, data, static_cast<int>(size), 0);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool ReceiveExactly(SOCKET socket, char* data, size_t size) {
  while (size > 0) {
    const int got = recv(socket, data, static_cast<int>(size), 0);
    if (got <= 0) return false;
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

SOCKET Dial(const std::string& host, uint16_t port) {
  addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    return INVALID_SOCKET;
  }
  SOCKET result = INVALID_SOCKET;
  for (addrinfo* at = found; at != nullptr && result == INVALID_SOCKET; at = at->ai_next) {
    SOCKET candidate = socket(at->ai_family, at->ai_socktype, at->ai_protocol);
    if (candidate == INVALID_SOCKET) continue;
    if (connect(candidate, at->ai_addr, static_cast<int>(at->ai_addrlen)) == 0) {
      result = candidate;
    } else {
      closesocket(candidate);
    }
  }
  freeaddrinfo(found);
  return result;
}

// Routes a destination by the document's rules and dials where they say.
SOCKET Open(const char* kind, const std::string& host, uint16_t port) {
  const std::string tag = stand_in::RouteDestination(document, host);
  const stand_in::Outbound* outbound = document.FindOutbound(tag);
  SOCKET upstream = INVALID_SOCKET;
  std::string via;
  if (outbound != nullptr && outbound->type == "vless") {
    via = tag + " (" + outbound->server + ":" + std::to_string(outbound->server_port) + ")";
    upstream = Dial(outbound->server, outbound->server_port);
  } else {
    via = tag;
    upstream = Dial(host, port);
  }
  Log("request %s %s:%u via %s: %s", kind, host.c_str(), port, via.c_str(),
      upstream == INVALID_SOCKET ? "dial failed" : "ok");
  return upstream;
}

void Relay(SOCKET a, SOCKET b) {
  char buffer[16384];
  while (true) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(a, &readable);
    FD_SET(b, &readable);
    if (select(0, &readable, nullptr, nullptr, nullptr) <= 0) return;
    for (SOCKET from : {a, b}) {
      if (!FD_ISSET(from, &readable)) continue;
      const int got = recv(from, buffer, sizeof(buffer), 0);
      if (got <= 0 || !SendAll(from == a ? b : a, buffer, static_cast<size_t>(got))) return;
    }
  }
}

bool SplitHostPort(const std::string& text, uint16_t default_port, std::string* host,
                   uint16_t* port) {
  std::string rest = text;
  *port = default_port;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) return false;
    *host = rest.substr(1, close - 1);
    rest = rest.substr(close + 1);
    if (rest.empty()) return true;
    if (rest[0] != ':') return false;
    rest = rest.substr(1);
  } else {
    const size_t colon = rest.rfind(':');
    *host = rest.substr(0, colon);
    if (colon == std::string::npos) return !host->empty();
    rest = rest.substr(colon + 1);
  }
  const int number = std::atoi(rest.c_str());
  if (number < 1 || number > 65535) return false;
  *port = static_cast<uint16_t>(number);
  return !host->empty();
}

void ServeSocks(SOCKET client) {
  unsigned char head[2];
  if (!ReceiveExactly(client, reinterpret_cast<char*>(head), 2)) return;
  char methods[255];
  if (!ReceiveExactly(client, methods, head[1])) return;
  if (!SendAll(client, "\x05\x00", 2)) return;  // no authentication
  unsigned char request[4];
  if (!ReceiveExactly(client, reinterpret_cast<char*>(request), 4) || request[1] != 1) return;
  std::string host;
  if (request[3] == 1) {
    unsigned char address[4];
    if (!ReceiveExactly(client, reinterpret_cast<char*>(address), 4)) return;
    host = std::to_string(address[0]) + "." + std::to_string(address[1]) + "." +
           std::to_string(address[2]) + "." + std::to_string(address[3]);
  } else if (request[3] == 3) {
    unsigned char length = 0;
    char name[256];
    if (!ReceiveExactly(client, reinterpret_cast<char*>(&length), 1) ||
        !ReceiveExactly(client, name, length)) {
      return;
    }
    host.assign(name, length);
  } else if (request[3] == 4) {
    in6_addr address;
    char text[INET6_ADDRSTRLEN] = {};
    if (!ReceiveExactly(client, reinterpret_cast<char*>(&address), 16)) return;
    inet_ntop(AF_INET6, &address, text, sizeof(text));
    host = text;
  } else {
    return;
  }
  unsigned char port_bytes[2];
  if (!ReceiveExactly(client, reinterpret_cast<char*>(port_bytes), 2)) return;
  const uint16_t port = static_cast<uint16_t>(port_bytes[0] << 8 | port_bytes[1]);
  Socket upstream(Open("SOCKS5", host, port));
  static const char kSucceeded[] = "\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00";
  static const char kFailed[] = "\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00";
  if (!upstream.valid()) {
    SendAll(client, kFailed, 10);
    return;
  }
  if (SendAll(client, kSucceeded, 10)) Relay(client, upstream.get());
}

// A NUL-ended field of a SOCKS4 request (the user id, a SOCKS4a host name).
bool ReceiveField(SOCKET client, std::string* field) {
  for (char c = 0; field->size() < 256;) {
    if (!ReceiveExactly(client, &c, 1)) return false;
    if (c == '\0') return true;
    *field += c;
  }
  return false;
}

// SOCKS4 and SOCKS4a CONNECT (what Windows's "socks=" entry means, and what
// browsers send WebSockets through): version 4, command 1, port, address,
// user id; an address 0.0.0.x (x not 0) means a host name follows.
void ServeSocks4(SOCKET client) {
  unsigned char request[8];
  if (!ReceiveExactly(client, reinterpret_cast<char*>(request), 8) || request[1] != 1) return;
  const uint16_t port = static_cast<uint16_t>(request[2] << 8 | request[3]);
  std::string user;
  if (!ReceiveField(client, &user)) return;
  std::string host = std::to_string(request[4]) + "." + std::to_string(request[5]) + "." +
                     std::to_string(request[6]) + "." + std::to_string(request[7]);
  const bool named = request[4] == 0 && request[5] == 0 && request[6] == 0 && request[7] != 0;
  if (named) {
    host.clear();
    if (!ReceiveField(client, &host) || host.empty()) return;
  }
  Socket upstream(Open(named ? "SOCKS4a" : "SOCKS4", host, port));
  static const char kGranted[] = "\x00\x5a\x00\x00\x00\x00\x00\x00";
  static const char kRejected[] = "\x00\x5b\x00\x00\x00\x00\x00\x00";
  if (!upstream.valid()) {
    SendAll(client, kRejected, 8);
    return;
  }
  if (SendAll(client, kGranted, 8)) Relay(client, upstream.get());
}

void ServeHttp(SOCKET client) {
  std::string head;
  char buffer[4096];
  size_t end = std::string::npos;
  while ((end = head.find("\r\n\r\n")) == std::string::npos) {
    if (head.size() > 65536) return;
    const int got = recv(client, buffer, sizeof(buffer), 0);
    if (got <= 0) return;
    head.append(buffer, static_cast<size_t>(got));
  }
  const std::string extra = head.substr(end + 4);
  head.resize(end + 2);  // keep the last header's line end
  const size_t line_end = head.find("\r\n");
  const std::string line = head.substr(0, line_end);
  const size_t first = line.find(' ');
  const size_t second = line.rfind(' ');
  if (first == std::string::npos || second <= first) return;
  const std::string method = line.substr(0, first);
  const std::string target = line.substr(first + 1, second - first - 1);
  const std::string version = line.substr(second + 1);
  std::string host;
  uint16_t port = 0;
  if (method == "CONNECT") {
    if (!SplitHostPort(target, 443, &host, &port)) return;
    Socket upstream(Open("CONNECT", host, port));
    // A failed dial closes the connection with no reply body, so a client
    // sees a failure and never a proxy error page.
    if (!upstream.valid()) return;
    static const char kEstablished[] = "HTTP/1.1 200 Connection established\r\n\r\n";
    if (!SendAll(client, kEstablished, sizeof(kEstablished) - 1)) return;
    if (!extra.empty() && !SendAll(upstream.get(), extra.data(), extra.size())) return;
    Relay(client, upstream.get());
    return;
  }
  static const char kScheme[] = "http://";
  if (target.compare(0, sizeof(kScheme) - 1, kScheme) != 0) return;
  const size_t path_at = target.find('/', sizeof(kScheme) - 1);
  const std::string authority = target.substr(sizeof(kScheme) - 1, path_at - (sizeof(kScheme) - 1));
  const std::string path = path_at == std::string::npos ? "/" : target.substr(path_at);
  if (!SplitHostPort(authority, 80, &host, &port)) return;
  Socket upstream(Open("HTTP", host, port));
  if (!upstream.valid()) return;
  std::string forwarded = method + " " + path + " " + version + "\r\n";
  size_t at = line_end + 2;
  while (at < head.size()) {
    const size_t next = head.find("\r\n", at);
    const std::string header = head.substr(at, next - at);
    if (_strnicmp(header.c_str(), "Proxy-", 6) != 0) forwarded += header + "\r\n";
    at = next + 2;
  }
  forwarded += "\r\n" + extra;
  if (SendAll(upstream.get(), forwarded.data(), forwarded.size())) Relay(client, upstream.get());
}

// For tests of a core that dies at the worst moment:
// TESSARIN_STAND_IN_CORE_EXIT_AFTER_REQUESTS=N ends the core (exit code 1)
// right after its N-th request's reply has been relayed in full.
long long ExitAfterRequests() { return KnobValue("TESSARIN_STAND_IN_CORE_EXIT_AFTER_REQUESTS"); }
std::atomic<long long> requests_served{0};
// For tests of a core that goes silent (after a sleep, say):
// TESSARIN_STAND_IN_CORE_SILENT_AFTER_REQUESTS=N keeps listening after its
// N-th request, and drops every later connection unserved.
long long SilentAfterRequests() {
  return KnobValue("TESSARIN_STAND_IN_CORE_SILENT_AFTER_REQUESTS");
}

void Serve(SOCKET raw) {
  static const long long silent_after = SilentAfterRequests();
  if (silent_after > 0 && requests_served.load() >= silent_after) {
    static std::atomic<bool> said{false};
    if (!said.exchange(true)) {
      Log("silent after request %lld, as TESSARIN_STAND_IN_CORE_SILENT_AFTER_REQUESTS asks",
          silent_after);
    }
    Socket dropped(raw);
    return;
  }
  {
    Socket client(raw);
    char first = 0;
    if (recv(client.get(), &first, 1, MSG_PEEK) != 1) return;
    if (first == 0x05) {
      ServeSocks(client.get());
    } else if (first == 0x04) {
      ServeSocks4(client.get());
    } else {
      ServeHttp(client.get());
    }
  }
  static const long long exit_after = ExitAfterRequests();
  const long long served = ++requests_served;
  if (exit_after > 0 && served == exit_after) {
    Log("exiting after request %lld, as TESSARIN_STAND_IN_CORE_EXIT_AFTER_REQUESTS asks",
        exit_after);
    ExitProcess(1);
  }
}

std::string ReadWholeFile(const std::wstring& path, bool* ok) {
  std::string text;
  FILE* file = _wfsopen(path.c_str(), L"rb", _SH_DENYNO);
  *ok = file != nullptr;
  if (file == nullptr) return text;
  char buffer[8192];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) text.append(buffer, got);
  std::fclose(file);
  return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4 || std::wcscmp(argv[1], L"run") != 0 || std::wcscmp(argv[2], L"-c") != 0) {
    std::fprintf(stderr, "usage: sing-box run -c CONFIG\n");
    return 1;
  }
  const std::wstring config = argv[3];
  const size_t slash = config.find_last_of(L"\\/");
  const std::wstring directory = slash == std::wstring::npos ? L"." : config.substr(0, slash);
  log_file = _wfsopen((directory + L"\\sing-box.log").c_str(), L"ab", _SH_DENYNO);
  wchar_t working[MAX_PATH * 4] = {};
  GetCurrentDirectoryW(MAX_PATH * 4, working);
  Log("command line: %s", Narrow(GetCommandLineW()).c_str());
  Log("working directory: %s", Narrow(working).c_str());
  Log("console window: %s", GetConsoleWindow() == nullptr ? "none" : "shown");

  bool readable = false;
  const std::string text = ReadWholeFile(config, &readable);
  if (!readable) Refuse("read config " + Narrow(config) + ": cannot open");
  std::string error;
  if (!stand_in::ReadCoreDocument(text, &document, &error)) Refuse(error);
  if (document.has_tun) {
    Log("inbound tun: checked; interface %s not created (the stand-in has no interface driver)",
        document.tun_interface.c_str());
  }

  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) Refuse("winsock unavailable");
  addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
  addrinfo* address = nullptr;
  if (getaddrinfo(document.listen.c_str(), std::to_string(document.listen_port).c_str(), &hints,
                  &address) != 0) {
    Refuse("listen address " + document.listen + " unusable");
  }
  Socket listener(socket(address->ai_family, SOCK_STREAM, IPPROTO_TCP));
  BOOL exclusive = TRUE;
  setsockopt(listener.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
             reinterpret_cast<const char*>(&exclusive), sizeof(exclusive));
  const bool bound =
      listener.valid() &&
      bind(listener.get(), address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0 &&
      listen(listener.get(), SOMAXCONN) == 0;
  freeaddrinfo(address);
  if (!bound) {
    Refuse("start inbound mixed-in: listen " + document.listen + ":" +
           std::to_string(document.listen_port) + ": address in use or unavailable");
  }
  Log("serving mixed inbound on %s:%u", document.listen.c_str(), document.listen_port);
  FloodStandardError();
  ExitLater();
  while (true) {
    SOCKET client = accept(listener.get(), nullptr, nullptr);
    if (client == INVALID_SOCKET) continue;
    // Without a thread the client is refused, as a busy core would.
    if (!tessarin::StartThread("Exception serving a client: ", [client] { Serve(client); })) {
      closesocket(client);
    }
  }
}
