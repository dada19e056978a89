#!/usr/bin/python3
"""The probe against a real path: a local HTTPS trace server standing in for
the trace host (certificate from a test CA that only the Wine prefix trusts),
and a CONNECT proxy on 127.0.0.1:20808 relaying to it, as the core would.

usage: probe_harness.py WINE_RUN PROBE_CHECK_EXE
"""
import hashlib
import os
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

TRACE_HOST = "www.cloudflare.com"
PROXY_PORT = 20808


def make_certificates(work):
    def run(*args):
        subprocess.run(args, check=True, cwd=work, capture_output=True)
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
        "-subj", "/CN=tessarin test CA", "-keyout", "ca.key", "-out", "ca.pem",
        "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + TRACE_HOST,
        "-keyout", "node.key", "-out", "node.csr")
    with open(os.path.join(work, "ext.cnf"), "w") as f:
        f.write("subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\n" % TRACE_HOST)
    run("openssl", "x509", "-req", "-in", "node.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-days", "2", "-extfile", "ext.cnf", "-out", "node.pem")
    run("openssl", "x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der")


def trust_ca(wine_run, work):
    der = open(os.path.join(work, "ca.der"), "rb").read()
    sha1 = hashlib.sha1(der).digest()
    blob = struct.pack("<III", 3, 1, len(sha1)) + sha1 + struct.pack("<III", 0x20, 1, len(der)) + der
    key = ("HKEY_CURRENT_USER\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\"
           + sha1.hex().upper())
    reg = os.path.join(work, "ca.reg")
    with open(reg, "w") as f:
        f.write("REGEDIT4\n\n[%s]\n\"Blob\"=hex:%s\n" % (key, ",".join("%02x" % b for b in blob)))
    subprocess.run([wine_run, "regedit", "/S", "Z:" + reg.replace("/", "\\")], check=True,
                   capture_output=True)


class Trace(BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"fl=1\nh=%s\nip=127.0.0.1\n" % TRACE_HOST.encode() if self.path == "/cdn-cgi/trace" else b""
        self.send_response(200 if body else 404)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def start_trace_server(work):
    server = ThreadingHTTPServer(("127.0.0.1", 0), Trace)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(work, "node.pem"), os.path.join(work, "node.key"))
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def pipe(src, dst):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            dst.sendall(data)
    except OSError:
        pass
    finally:
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


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


def start_proxy(node_port, delay):
    stop = threading.Event()

    def later():
        time.sleep(delay)
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", PROXY_PORT))
        listener.listen(16)
        serve_connect_proxy(listener, node_port, stop)

    thread = threading.Thread(target=later, daemon=True)
    thread.start()
    return stop, thread


def run_probe(wine_run, exe):
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    out = subprocess.run([wine_run, exe], capture_output=True, text=True, env=env, timeout=120).stdout
    fields = dict(part.split("=") for part in out.split())
    return fields["probe"] == "1", int(fields["ms"])


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
        ok, ms = run_probe(wine_run, exe)
        print("proxy up: probe=%s in %d ms" % (ok, ms))
        if not ok or ms >= 500:
            failures.append("first attempt should succeed at once")
        stop.set()
        thread.join()

        stop, thread = start_proxy(port, 2.2)
        ok, ms = run_probe(wine_run, exe)
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
