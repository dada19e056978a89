"""The test node: a local HTTPS server answering the trace page with a
certificate for the trace host, signed by a test CA that only the Wine
prefix trusts (the host machine's trust store is never touched)."""
import hashlib
import os
import socket
import ssl
import struct
import subprocess
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

TRACE_HOST = "www.cloudflare.com"
TRACE_PATH = "/cdn-cgi/trace"


def make_certificates(work):
    """Writes ca.pem/ca.der and node.pem/node.key into |work| (once)."""
    if os.path.exists(os.path.join(work, "node.pem")):
        return

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
    """Puts the CA in the prefix's per-user root store, as a .reg import."""
    der = open(os.path.join(work, "ca.der"), "rb").read()
    sha1 = hashlib.sha1(der).digest()
    blob = struct.pack("<III", 3, 1, len(sha1)) + sha1 + struct.pack("<III", 0x20, 1, len(der)) + der
    key = ("HKEY_CURRENT_USER\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\"
           + sha1.hex().upper())
    reg = os.path.join(work, "ca.reg")
    with open(reg, "w") as f:
        f.write("REGEDIT4\n\n[%s]\n\"Blob\"=hex:%s\n" % (key, ",".join("%02x" % b for b in blob)))
    subprocess.run([wine_run, "regedit", "/S", "Z:" + reg.replace("/", "\\")], check=True,
                   capture_output=True, stdin=subprocess.DEVNULL)


class Trace(BaseHTTPRequestHandler):
    def do_GET(self):
        self.server.requests.append(self.path)
        if len(self.server.requests) == 1 and self.server.first_delay:
            time.sleep(self.server.first_delay)  # a node slow to answer at first
        body = (b"fl=1\nh=%s\nip=127.0.0.1\n" % TRACE_HOST.encode()) if self.path == TRACE_PATH else b""
        self.send_response(200 if body else 404)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def start_trace_server(work, first_delay=0):
    """The node, on 127.0.0.1 at a port of the system's choice; its first
    answer |first_delay| seconds late."""
    server = ThreadingHTTPServer(("127.0.0.1", 0), Trace)
    server.requests = []
    server.first_delay = first_delay
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(work, "node.pem"), os.path.join(work, "node.key"))
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def unused_port():
    """A port where nothing listens: a node that is down."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_silent_node():
    """A node that never answers: its port's queue is full, so no connection
    to it ever completes. (Not one that accepts and stays silent in TLS: when
    such a stalled handshake through a proxy ends, Wine's WinINet fails an
    assertion and aborts the process.) Returns its port."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(0)
    fillers = []
    for _ in range(3):
        filler = socket.socket()
        filler.setblocking(False)
        filler.connect_ex(server.getsockname())
        fillers.append(filler)
    start_silent_node.kept.append((server, fillers))
    return server.getsockname()[1]


start_silent_node.kept = []


class RelayNode:
    """A node in front of |port|: relays each connection there until
    |closing| is set, then accepts and closes at the first bytes (the TLS
    handshake through the core then breaks, as with a node that stops
    answering)."""

    def __init__(self, port):
        self.closing = False
        self.port = 0
        self.target = port
        self._listen()

    def _listen(self):
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", self.port))
        self.server.listen(16)
        self.port = self.server.getsockname()[1]
        threading.Thread(target=self._serve, args=(self.server,), daemon=True).start()

    def out_of_reach(self, seconds):
        """Refuses every connection (nothing listens) for |seconds|, as a node
        the network cannot reach yet after a wake."""
        server = self.server
        server.shutdown(socket.SHUT_RDWR)  # (wakes the accept that waits)
        server.close()
        timer = threading.Timer(seconds, self._listen)
        timer.daemon = True
        timer.start()

    def _serve(self, server):
        while True:
            try:
                client, _ = server.accept()
            except OSError:
                return
            threading.Thread(target=self._one, args=(client,), daemon=True).start()

    def _one(self, client):
        if self.closing:
            try:
                client.recv(4096)
            finally:
                client.close()
            return
        upstream = socket.create_connection(("127.0.0.1", self.target))
        for source, sink in ((client, upstream), (upstream, client)):
            threading.Thread(target=pipe, args=(source, sink), daemon=True).start()


def pipe(source, sink):
    """Copies |source| to |sink| until either ends, then shuts both."""
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            sink.sendall(data)
    except OSError:
        pass
    finally:
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
