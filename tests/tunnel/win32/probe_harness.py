#!/usr/bin/python3
"""The probe against a real path: a local HTTPS trace server standing in for
the trace host (certificate from a test CA that only the Wine prefix trusts),
and a CONNECT proxy on 127.0.0.1:20808 relaying to it, as the core would.

usage: probe_harness.py WINE_RUN PROBE_CHECK_EXE
"""
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "e2e"))
from test_node import TRACE_HOST, make_certificates, pipe, start_trace_server, trust_ca  # noqa: E402

PROXY_PORT = 20808


def serve_connect_proxy(listener, node_port, stop):
    listener.settimeout(0.2)
    while not stop.is_set():
        try:
            client, _ = listener.accept()
        except socket.timeout:
            continue
        client.settimeout(10)
        request = b""
        while b"\r\n\r\n" not in request:
            chunk = client.recv(4096)
            if not chunk:
                break
            request += chunk
        if not request.startswith(b"CONNECT " + TRACE_HOST.encode() + b":443 "):
            client.close()
            continue
        upstream = socket.create_connection(("127.0.0.1", node_port), timeout=10)
        client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        client.settimeout(None)
        upstream.settimeout(None)
        threading.Thread(target=pipe, args=(client, upstream), daemon=True).start()
        threading.Thread(target=pipe, args=(upstream, client), daemon=True).start()
    listener.close()


def start_proxy(node_port, delay, after=None):
    """The proxy, |delay| s after |after| is set (or now)."""
    stop = threading.Event()

    def later():
        if after is not None:
            after.wait()
        time.sleep(delay)
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", PROXY_PORT))
        listener.listen(16)
        serve_connect_proxy(listener, node_port, stop)

    thread = threading.Thread(target=later, daemon=True)
    thread.start()
    return stop, thread


def run_probe(wine_run, exe, started=None):
    """The probe's answer and time; |started| is set once the program says
    it has started (its clock starts there, not at Wine's start)."""
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    process = subprocess.Popen([wine_run, exe], stdout=subprocess.PIPE, text=True, env=env,
                               stdin=subprocess.DEVNULL)
    fields = {}
    for line in process.stdout:
        if line.strip() == "started" and started is not None:
            started.set()
        fields.update(part.split("=") for part in line.split() if "=" in part)
    process.wait(timeout=120)
    return fields.get("probe") == "1", int(fields.get("ms", -1)), int(fields.get("attempts", -1))


def main():
    wine_run, exe = sys.argv[1], sys.argv[2]
    failures = []
    with tempfile.TemporaryDirectory() as work:
        make_certificates(work)
        trust_ca(wine_run, work)
        node = start_trace_server(work)
        port = node.server_address[1]

        stop, thread = start_proxy(port, 0)
        time.sleep(0.3)
        ok, ms, attempts = run_probe(wine_run, exe)
        print("proxy up: probe=%s in %d ms, %d attempt(s)" % (ok, ms, attempts))
        if not ok or attempts != 1:
            failures.append("first attempt should succeed")
        stop.set()
        thread.join()

        started = threading.Event()
        stop, thread = start_proxy(port, 2.2, started)
        ok, ms, _ = run_probe(wine_run, exe, started)
        started.set()  # (a program that never said so still lets the proxy thread end)
        print("proxy appears after 2.2 s: probe=%s in %d ms" % (ok, ms))
        if not ok or ms < 2000:
            failures.append("probe should succeed once the proxy appears")
        stop.set()
        thread.join()
        node.shutdown()
    for f in failures:
        print("FAILED:", f)
    print("%d passed, %d failed" % (2 - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
