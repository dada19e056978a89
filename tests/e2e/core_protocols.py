#!/usr/bin/python3
"""The stand-in core on its own under Wine: its command line, its refusals,
and the three protocols of its mixed inbound (HTTP CONNECT, HTTP forwarding,
SOCKS5, SOCKS4, SOCKS4a) with routing by the document's rules.

usage: core_protocols.py WINE_RUN SING_BOX_EXE WORK_DIR
"""
import os
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import traceback
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from expected_document import expected_document  # noqa: E402
from harness import clean_environment, windows_path  # noqa: E402
from test_node import unused_port  # noqa: E402

UUID = "0f0e0d0c-0b0a-4998-8776-655443322110"


class Echo(BaseHTTPRequestHandler):
    """Answers with who it is, the path it got and whether proxy headers leaked."""

    def do_GET(self):
        leaked = any(name.lower().startswith("proxy-") for name in self.headers.keys())
        body = ("%s %s leaked=%s" % (self.server.name, self.path, leaked)).encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def serve(name):
    server = ThreadingHTTPServer(("127.0.0.1", 0), Echo)
    server.name = name
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def read_all(sock):
    data = b""
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return data
        data += chunk


def body_of(response):
    return response.split(b"\r\n\r\n", 1)[1] if b"\r\n\r\n" in response else b""


def write_document(work, node_port, listen_port, mode="smart", port=None):
    text = expected_document("127.0.0.1", port if port is not None else node_port, UUID, mode=mode)
    text = text.replace(b'"listen_port": 20808', b'"listen_port": %d' % listen_port)
    path = os.path.join(work, "core.json")
    with open(path, "wb") as f:
        f.write(text)
    return path


def run_core(wine_run, exe, *args):
    return subprocess.Popen([wine_run, exe, *args], env=clean_environment(), stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def wait_listening(port, process, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise AssertionError("core exited: %r" % (process.communicate(),))
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.2)
    raise AssertionError("core never listened")


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def refusals(wine_run, exe, work, node_port):
    for args, why in ((["version"], "usage"), (["run", "-c"], "usage"),
                      (["run", "-c", windows_path(write_document(work, node_port, 1, port=0))],
                       "port 0 out of range"),
                      (["run", "-c", windows_path(os.path.join(work, "missing.json"))], "cannot open")):
        began = time.monotonic()
        process = run_core(wine_run, exe, *args)
        _, err = process.communicate(timeout=60)
        check(process.returncode == 1, "%s: exit code %d" % (args, process.returncode))
        lines = err.decode().strip().splitlines()
        check(len(lines) == 1 and why in lines[0], "%s: stderr %r" % (args, lines))
        print("refused %s in %.1f s: %s" % (args, time.monotonic() - began, lines[0]))


def protocols(wine_run, exe, work):
    node = serve("node")
    local = serve("local")
    listen = unused_port()
    config = write_document(work, node.server_address[1], listen)
    core = run_core(wine_run, exe, "run", "-c", windows_path(config))
    try:
        wait_listening(listen, core)
        local_port = local.server_address[1]

        # HTTP forwarding: a private address goes direct, in origin form, without proxy headers.
        with socket.create_connection(("127.0.0.1", listen), timeout=10) as s:
            s.sendall(b"GET http://127.0.0.1:%d/hello?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      b"Proxy-Connection: keep-alive\r\n\r\n" % local_port)
            check(body_of(read_all(s)) == b"local /hello?x=1 leaked=False", "HTTP forwarding direct")
        # A name outside the direct list goes to the node.
        with socket.create_connection(("127.0.0.1", listen), timeout=10) as s:
            s.sendall(b"GET http://example.test/page HTTP/1.1\r\nHost: example.test\r\n\r\n")
            check(body_of(read_all(s)) == b"node /page leaked=False", "HTTP forwarding to the node")

        # CONNECT to a name: the node; then any bytes flow both ways.
        with socket.create_connection(("127.0.0.1", listen), timeout=10) as s:
            s.sendall(b"CONNECT www.cloudflare.com:443 HTTP/1.1\r\nHost: www.cloudflare.com:443\r\n\r\n")
            head = b""
            while b"\r\n\r\n" not in head:
                head += s.recv(1)
            check(head.startswith(b"HTTP/1.1 200"), "CONNECT answer %r" % head)
            s.sendall(b"GET /tunnel HTTP/1.0\r\n\r\n")
            check(body_of(read_all(s)) == b"node /tunnel leaked=False", "CONNECT relay")
        # A failed dial closes the connection with nothing in it.
        with socket.create_connection(("127.0.0.1", listen), timeout=10) as s:
            s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % unused_port())
            check(read_all(s) == b"", "failed dial must close without a body")

        # SOCKS5: a domain to the node, a private IPv4 address direct.
        with socket.create_connection(("127.0.0.1", listen), timeout=10) as s:
            s.sendall(b"\x05\x01\x00")
            check(s.recv(2) == b"\x05\x00", "SOCKS5 method")
            name = b"example.test"
            s.sendall(b"\x05\x01\x00\x03" + bytes([len(name)]) + name + struct.pack(">H", 80))
            check(s.recv(10)[:2] == b"\x05\x00", "SOCKS5 connect to a name")
            s.sendall(b"GET /socks HTTP/1.0\r\n\r\n")
            check(body_of(read_all(s)) == b"node /socks leaked=False", "SOCKS5 relay to the node")
        with socket.create_connection(("127.0.0.1", listen), timeout=10) as s:
            s.sendall(b"\x05\x01\x00")
            s.recv(2)
            s.sendall(b"\x05\x01\x00\x01\x7f\x00\x00\x01" + struct.pack(">H", local_port))
            check(s.recv(10)[:2] == b"\x05\x00", "SOCKS5 connect to an address")
            s.sendall(b"GET /direct HTTP/1.0\r\n\r\n")
            check(body_of(read_all(s)) == b"local /direct leaked=False", "SOCKS5 direct")
        with socket.create_connection(("127.0.0.1", listen), timeout=10) as s:
            s.sendall(b"\x05\x01\x00")
            s.recv(2)
            s.sendall(b"\x05\x01\x00\x01\x7f\x00\x00\x01" + struct.pack(">H", unused_port()))
            reply = read_all(s)
            check(reply[:2] == b"\x05\x05", "SOCKS5 refusal %r" % reply)

        # SOCKS4a (a name, as browsers send WebSockets through "socks="): the
        # node; SOCKS4 (an address): direct.
        with socket.create_connection(("127.0.0.1", listen), timeout=10) as s:
            s.sendall(b"\x04\x01" + struct.pack(">H", 80) + b"\x00\x00\x00\x01user\x00example.test\x00")
            check(s.recv(8)[:2] == b"\x00\x5a", "SOCKS4a granted")
            s.sendall(b"GET /socks4a HTTP/1.0\r\n\r\n")
            check(body_of(read_all(s)) == b"node /socks4a leaked=False", "SOCKS4a relay to the node")
        with socket.create_connection(("127.0.0.1", listen), timeout=10) as s:
            s.sendall(b"\x04\x01" + struct.pack(">H", local_port) + b"\x7f\x00\x00\x01\x00")
            check(s.recv(8)[:2] == b"\x00\x5a", "SOCKS4 granted")
            s.sendall(b"GET /socks4 HTTP/1.0\r\n\r\n")
            check(body_of(read_all(s)) == b"local /socks4 leaked=False", "SOCKS4 direct")
        with socket.create_connection(("127.0.0.1", listen), timeout=10) as s:
            s.sendall(b"\x04\x01" + struct.pack(">H", unused_port()) + b"\x7f\x00\x00\x01\x00")
            check(read_all(s)[:2] == b"\x00\x5b", "SOCKS4 refusal")

        log = open(os.path.join(work, "sing-box.log"), encoding="utf-8").read()
        check("request HTTP 127.0.0.1:%d via direct: ok" % local_port in log, "log: direct")
        check("request SOCKS5 example.test:80 via proxy (127.0.0.1:%d): ok" % node.server_address[1]
              in log, "log: proxy")
        check("dial failed" in log, "log: failed dial")
    finally:
        core.kill()
        subprocess.run([wine_run, "taskkill", "/F", "/IM", "sing-box.exe"], capture_output=True,
                       env=clean_environment(), stdin=subprocess.DEVNULL)
        core.communicate()
        node.shutdown()
        local.shutdown()


def main():
    wine_run, exe, work = (os.path.abspath(arg) for arg in sys.argv[1:4])
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    try:
        refusals(wine_run, exe, work, unused_port())
        protocols(wine_run, exe, work)
    except Exception:  # noqa: BLE001 - one report for every kind of failure
        traceback.print_exc()
        return 1
    print("PASS core protocols")
    return 0


if __name__ == "__main__":
    sys.exit(main())
