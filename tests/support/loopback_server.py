#!/usr/bin/python3
"""Loopback file server for the transfer tests: http, https or ftp on 127.0.0.1.

Serves the files below --root. Listens on --port (0 picks a free one) and writes the port,
once listening, to --port-file (written aside and renamed, so a reader never sees half a
number). Exits when --parent-pid is gone, after --timeout seconds, or on SIGTERM.

Faults per path come from --faults, a JSON object read again whenever the file changes:
    {"a/b.bin": "404", "c.bin": "500:2", "d.bin": "stall", ...}
Keys are paths relative to the root, "/" separated, without a leading "/".
    404        the file is reported missing (ftp: 550)
    500        every request fails with 500 (ftp: 451)
    500:N      the first N requests fail with 500, later ones are served
    stall      headers and the first half are sent, then nothing until the client leaves
    drop       the full length is announced, half the body is sent, the connection is reset
    short      the full length is announced, half the body is sent, the connection is closed
    corrupt    the full length is sent with some bytes changed
    truncated  no length is announced, half the body is sent, the connection is closed
               (a client cannot tell this from a whole file)
Each request is appended to --log as "<method> <path> <status>" (ftp: "RETR <path> <code>").

https needs --cert and --key; --make-cert DIR makes a self-signed pair for 127.0.0.1 there
with openssl (DIR/cert.pem, DIR/key.pem) unless it exists, and uses it.
ftp takes --user and --password (anonymous login is refused) and serves both passive and
active transfers; its "150" reply names the file size, so a short transfer can be detected.
"""

import argparse
import http.server
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse


class WatchedJson:
    """A JSON file, read again whenever its modification time or size changes ({} while it is
    missing or malformed). Not locked: its owner serialises the calls. Also used by
    hostile_media_server.py."""

    def __init__(self, path):
        self.path = path
        self.stamp = None
        self.table = {}

    def reload(self):
        """True when the file changed since the last call; self.table is then what it holds."""
        try:
            st = os.stat(self.path)
            stamp = (st.st_mtime_ns, st.st_size)
        except OSError:
            stamp = None
        if stamp == self.stamp:
            return False
        self.stamp = stamp
        try:
            with open(self.path, encoding="utf-8") as f:
                self.table = json.load(f) if stamp else {}
        except (OSError, ValueError):
            self.table = {}
        return True


def write_port_file(path, port):
    """Writes the listening port into path at once (through a temporary beside it)."""
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write("%d\n" % port)
    os.replace(tmp, path)


class Lifetime:
    """How long a server runs: until SIGTERM or SIGINT, for --timeout seconds, and while
    --parent-pid lives. Also used by hostile_media_server.py."""

    def __init__(self, args):
        self.stop = threading.Event()
        self.deadline = time.monotonic() + args.timeout
        self.parent_pid = args.parent_pid
        signal.signal(signal.SIGTERM, lambda *_: self.stop.set())
        signal.signal(signal.SIGINT, lambda *_: self.stop.set())

    def going_on(self):
        if self.stop.is_set() or time.monotonic() >= self.deadline:
            return False
        if self.parent_pid:
            try:
                os.kill(self.parent_pid, 0)
            except ProcessLookupError:
                return False
        return True


class Faults:
    """The fault table, reloaded when its file changes; counts requests per path."""

    def __init__(self, path):
        self.file = WatchedJson(path) if path else None
        self.counts = {}
        self.lock = threading.Lock()

    def mode_for(self, rel):
        with self.lock:
            if self.file is not None and self.file.reload():
                self.counts = {}
            mode = (self.file.table if self.file is not None else {}).get(rel, "")
            if mode.startswith("500:"):
                seen = self.counts.get(rel, 0)
                self.counts[rel] = seen + 1
                return "500" if seen < int(mode[4:]) else ""
            return mode


class RequestLog:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()

    def add(self, method, rel, status):
        if not self.path:
            return
        with self.lock, open(self.path, "a", encoding="utf-8") as f:
            f.write("%s %s %s\n" % (method, rel, status))


def safe_relative(root, url_path):
    """The file below root that url_path names, or None when it would leave root."""
    rel = urllib.parse.unquote(url_path.split("?", 1)[0].split("#", 1)[0]).lstrip("/")
    parts = [p for p in rel.split("/") if p not in ("", ".")]
    if any(p == ".." for p in parts):
        return None, rel
    return os.path.join(root, *parts), "/".join(parts)


def make_cert(folder):
    """The self-signed pair for 127.0.0.1 in folder, made unless it is there (also used by
    hostile_media_server.py)."""
    cert = os.path.join(folder, "cert.pem")
    key = os.path.join(folder, "key.pem")
    if not (os.path.exists(cert) and os.path.exists(key)):
        os.makedirs(folder, exist_ok=True)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                        "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1",
                        "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def wait_until_gone(sock_file):
    """Blocks until the peer closes (used by the stall mode)."""
    try:
        sock_file.settimeout(None)
        while sock_file.recv(4096):
            pass
    except OSError:
        pass


def make_http_handler(root, faults, log):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        # A reply's head and body go out as separate writes: without this, the body of a
        # reply on a kept-alive connection waits for the client's delayed acknowledgement.
        disable_nagle_algorithm = True

        def log_message(self, fmt, *args):
            pass

        def send_plain(self, status, text):
            body = text.encode()
            self.send_response(status)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(body)

        def do_HEAD(self):
            self.do_GET()

        def do_GET(self):
            path, rel = safe_relative(root, self.path)
            if path is None:
                log.add(self.command, rel, 403)
                return self.send_plain(403, "refused")
            mode = faults.mode_for(rel)
            if mode == "404":
                log.add(self.command, rel, 404)
                return self.send_plain(404, "not found")
            if mode == "500":
                log.add(self.command, rel, 500)
                return self.send_plain(500, "server error")
            if os.path.isdir(path):
                log.add(self.command, rel, 200)
                return self.send_plain(200, "\n".join(sorted(os.listdir(path))))
            try:
                f = open(path, "rb")
            except OSError:
                log.add(self.command, rel, 404)
                return self.send_plain(404, "not found")
            with f:
                size = os.fstat(f.fileno()).st_size
                log.add(self.command, rel, 200)
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                if mode != "truncated":
                    self.send_header("Content-Length", str(size))
                else:
                    self.send_header("Connection", "close")
                self.end_headers()
                if self.command == "HEAD":
                    return
                self.serve_body(f, size, mode)

        def serve_body(self, f, size, mode):
            half = size // 2
            if mode == "":
                self.wfile.flush()
                self.connection.sendfile(f)
                return
            if mode == "corrupt":
                data = bytearray(f.read())
                for i in range(0, len(data), 97):
                    data[i] ^= 0x5A
                self.wfile.write(bytes(data))
                return
            self.wfile.write(f.read(half))
            self.wfile.flush()
            self.close_connection = True
            if mode == "stall":
                wait_until_gone(self.connection)
            elif mode == "drop":
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                           b"\x01\x00\x00\x00\x00\x00\x00\x00")
                self.connection.close()
            # "short" and "truncated": the handler returns and the connection closes.

    return Handler


class QuietThreadingServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        pass


def serve_http(args, faults, log, ready):
    handler = make_http_handler(os.path.abspath(args.root), faults, log)
    server = QuietThreadingServer(("127.0.0.1", args.port), handler)
    if args.protocol == "https":
        cert, key = (args.cert, args.key)
        if args.make_cert:
            cert, key = make_cert(args.make_cert)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    ready(server.server_address[1])
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.shutdown


def serve_ftp(args, faults, log, ready):
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler, DTPHandler
    from pyftpdlib.servers import ThreadedFTPServer
    import logging
    logging.getLogger("pyftpdlib").setLevel(logging.CRITICAL)
    logging.basicConfig(level=logging.CRITICAL)

    root = os.path.abspath(args.root)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, root, perm="elr")

    class FaultyDTP(DTPHandler):
        """Data channel that applies the stall, drop and short modes."""

        fault = ""
        limit = None
        sent = 0

        def send(self, data):
            if self.limit is not None:
                room = self.limit - self.sent
                if room <= 0:
                    self.apply_end()
                    return 0
                data = data[:room]
            n = super().send(data)
            self.sent += n
            return n

        def apply_end(self):
            if self.fault == "stall":
                time.sleep(0.05)
                return
            if self.fault == "drop":
                try:
                    self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                           b"\x01\x00\x00\x00\x00\x00\x00\x00")
                except OSError:
                    pass
            self.limit = None
            self.close()

    class Handler(FTPHandler):
        dtp_handler = FaultyDTP
        use_sendfile = False  # the fault modes work on the data channel's sends
        permit_foreign_addresses = False
        banner = "loopback ftp ready"
        auth_failed_timeout = 0.1

        def ftp_RETR(self, file):
            rel = os.path.relpath(file, root).replace(os.sep, "/")
            mode = faults.mode_for(rel)
            if mode == "404":
                log.add("RETR", rel, 550)
                self.respond("550 No such file or directory.")
                return
            if mode == "500":
                log.add("RETR", rel, 451)
                self.respond("451 Requested action aborted.")
                return
            try:
                size = os.path.getsize(file)
            except OSError:
                size = -1
            log.add("RETR", rel, 226 if size >= 0 else 550)
            self._pending_fault = (mode, size)
            return super().ftp_RETR(file)

        def push_dtp_data(self, data, isproducer=False, file=None, cmd=None):
            mode, size = getattr(self, "_pending_fault", ("", -1))
            self._pending_fault = ("", -1)
            if cmd == "RETR" and self.data_channel is not None:
                if mode in ("stall", "drop", "short", "truncated"):
                    self.data_channel.fault = mode
                    self.data_channel.limit = max(size // 2, 0)
                    self.data_channel.sent = 0
            return super().push_dtp_data(data, isproducer, file, cmd)

        def respond(self, resp, logfun=None):
            # Name the size in the transfer's opening reply, as many servers do.
            if resp.startswith("150") and getattr(self, "_pending_fault", ("", -1))[1] >= 0:
                mode, size = self._pending_fault
                if mode != "truncated":
                    resp = "150 Opening data connection (%d bytes)." % size
            return super().respond(resp) if logfun is None else super().respond(resp, logfun)

    Handler.authorizer = authorizer
    if args.passive_ports:
        low, high = (int(x) for x in args.passive_ports.split("-"))
        Handler.passive_ports = range(low, high + 1)
    server = ThreadedFTPServer(("127.0.0.1", args.port), Handler)
    ready(server.address[1])
    threading.Thread(target=server.serve_forever, kwargs={"handle_exit": False},
                     daemon=True).start()
    return server.close_all


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--protocol", choices=("http", "https", "ftp"), default="http")
    parser.add_argument("--root", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--faults", default="")
    parser.add_argument("--log", default="")
    parser.add_argument("--cert", default="")
    parser.add_argument("--key", default="")
    parser.add_argument("--make-cert", default="")
    parser.add_argument("--user", default="kquser")
    parser.add_argument("--password", default="kqpass")
    parser.add_argument("--passive-ports", default="")
    parser.add_argument("--parent-pid", type=int, default=0)
    parser.add_argument("--timeout", type=float, default=600.0)
    args = parser.parse_args()

    faults = Faults(args.faults)
    log = RequestLog(args.log)

    def ready(port):
        write_port_file(args.port_file, port)

    lifetime = Lifetime(args)
    if args.protocol == "ftp":
        shutdown = serve_ftp(args, faults, log, ready)
    else:
        shutdown = serve_http(args, faults, log, ready)

    while lifetime.going_on():
        lifetime.stop.wait(0.2)
    try:
        shutdown()
    except Exception:  # noqa: BLE001 - leaving anyway
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
