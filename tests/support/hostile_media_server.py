#!/usr/bin/python3
"""Scripted hostile server for the media access tests: raw http(s) replies or ftp replies on
127.0.0.1, as a test's script says, byte for byte.

--script is a JSON object, name -> case, read again whenever the file changes. The name is the
request path without its leading "/" (http) or the file name of SIZE and RETR (ftp).
http case:
    {"reply": "<raw head and body>", "then": "close" | "hold" | "trickle" | "endless",
     "every": seconds between trickled blocks (default 0.2), "bytes": their size (default 1)}
    "reply" is sent as latin-1 bytes; "then" says what follows it: close the connection, keep
    it open and silent until the client leaves, send a block every "every" seconds, or send
    zero bytes as fast as the client takes them.
ftp case:
    {"size": "<reply to SIZE>", "opening": "<reply to RETR>", "body": "<data>",
     "then": as above, on the data connection, "final": "<reply after the data>" or "",
     "intruder": "<data>"}
    Passive (EPSV, PASV) and active (EPRT, PORT) data connections are served. With "intruder",
    in active mode a third party connects first to the client's data port, from 127.0.0.2,
    sends its data and closes (logged as "INTRUDER <name>"); the server connects after it.
A name without a case gets 404 (ftp: 550). Requests are appended to --log as
"<method> <name>" lines. Writes its port to --port-file once listening; exits with its parent
(--parent-pid), after --timeout seconds, or on SIGTERM.
"""

import argparse
import socket
import ssl
import sys
import threading
import time

from loopback_server import Lifetime, WatchedJson, make_cert, write_port_file


class Script:
    def __init__(self, path):
        self.file = WatchedJson(path)
        self.lock = threading.Lock()

    def case(self, name):
        with self.lock:
            self.file.reload()
            return self.file.table.get(name)


class Log:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()

    def add(self, method, name):
        with self.lock, open(self.path, "a", encoding="utf-8") as f:
            f.write("%s %s\n" % (method, name))


def follow_up(sock, case):
    """What comes after the scripted bytes on a connection."""
    then = case.get("then", "close")
    try:
        if then == "hold":
            sock.settimeout(None)
            while sock.recv(4096):
                pass
        elif then == "trickle":
            every = float(case.get("every", 0.2))
            block = b"x" * int(case.get("bytes", 1))
            while True:
                time.sleep(every)
                sock.sendall(block)
        elif then == "endless":
            block = b"\0" * 65536
            while True:
                sock.sendall(block)
    except OSError:
        pass


def close(sock):
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    sock.close()


def serve_http_connection(sock, script, log):
    try:
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = sock.recv(4096)
            if not chunk:
                return
            data += chunk
        line = data.split(b"\r\n", 1)[0].decode("latin-1")
        parts = line.split(" ")
        method, path = (parts[0], parts[1]) if len(parts) >= 2 else ("?", "/")
        name = path.lstrip("/")
        log.add(method, name)
        case = script.case(name)
        if case is None:
            sock.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            return
        sock.sendall(case.get("reply", "").encode("latin-1"))
        follow_up(sock, case)
    except OSError:
        pass
    finally:
        close(sock)


def connect_to(address, source=None):
    """A connection to the client's active data port, from `source` when given."""
    conn = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    conn.settimeout(10)
    if source:
        conn.bind((source, 0))
    conn.connect(address)
    return conn


def active_address(verb, arg):
    """The client's data port from an EPRT ("|1|h|p|") or PORT ("h1,h2,h3,h4,p1,p2") argument."""
    if verb == "EPRT":
        fields = arg.split(arg[0]) if arg else []
        return fields[2], int(fields[3])
    numbers = [int(x) for x in arg.split(",")]
    return ".".join(str(n) for n in numbers[:4]), numbers[4] * 256 + numbers[5]


def serve_ftp_connection(sock, script, log):
    f = sock.makefile("rb")
    data_listener = None
    active = None  # the client's data port in active mode

    def say(text):
        sock.sendall((text + "\r\n").encode("latin-1"))

    try:
        say("220 scripted ftp ready")
        while True:
            raw = f.readline()
            if not raw:
                return
            line = raw.decode("latin-1").rstrip("\r\n")
            verb, _, arg = line.partition(" ")
            verb = verb.upper()
            name = arg.rsplit("/", 1)[-1]
            if verb == "USER":
                say("331 password please")
            elif verb == "PASS":
                say("230 logged in")
            elif verb == "PWD":
                say('257 "/" is the current folder')
            elif verb in ("CWD", "TYPE"):
                say("250 ok" if verb == "CWD" else "200 ok")
            elif verb in ("EPRT", "PORT"):
                try:
                    active = active_address(verb, arg)
                    say("200 ok")
                except (ValueError, IndexError):
                    say("501 bad address")
            elif verb in ("EPSV", "PASV"):
                active = None
                if data_listener is not None:
                    data_listener.close()
                data_listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                data_listener.bind(("127.0.0.1", 0))
                data_listener.listen(1)
                port = data_listener.getsockname()[1]
                if verb == "EPSV":
                    say("229 Entering Extended Passive Mode (|||%d|)" % port)
                else:
                    say("227 Entering Passive Mode (127,0,0,1,%d,%d)" % (port >> 8, port & 255))
            elif verb == "SIZE":
                log.add("SIZE", name)
                case = script.case(name)
                say(case.get("size", "550 no size") if case else "550 no such file")
            elif verb == "RETR":
                log.add("RETR", name)
                case = script.case(name)
                if case is None or (data_listener is None and active is None):
                    say("550 no such file")
                    continue
                if active is not None and "intruder" in case:
                    try:
                        stranger = connect_to(active, "127.0.0.2")
                        stranger.sendall(case["intruder"].encode("latin-1"))
                        close(stranger)
                        log.add("INTRUDER", name)
                    except OSError:
                        pass
                say(case.get("opening", "150 opening data connection"))
                if active is not None:
                    try:
                        conn = connect_to(active)
                    except OSError:
                        conn = None  # the client took the intruder's connection
                else:
                    data_listener.settimeout(10)
                    conn, _ = data_listener.accept()
                    data_listener.close()
                    data_listener = None
                if conn is not None:
                    try:
                        conn.sendall(case.get("body", "").encode("latin-1"))
                        follow_up(conn, case)
                    except OSError:
                        pass
                    finally:
                        close(conn)
                final = case.get("final", "226 transfer complete")
                if final:
                    say(final)
                else:
                    return
            elif verb == "QUIT":
                say("221 bye")
                return
            else:
                say("502 not here")
    except OSError:
        pass
    finally:
        if data_listener is not None:
            data_listener.close()
        close(sock)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--protocol", choices=("http", "https", "ftp"), default="http")
    parser.add_argument("--script", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--cert-dir", default="")
    parser.add_argument("--parent-pid", type=int, default=0)
    parser.add_argument("--timeout", type=float, default=300.0)
    args = parser.parse_args()

    script = Script(args.script)
    log = Log(args.log)
    context = None
    if args.protocol == "https":
        cert, key = make_cert(args.cert_dir)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    listener.settimeout(0.2)
    write_port_file(args.port_file, listener.getsockname()[1])

    lifetime = Lifetime(args)
    while lifetime.going_on():
        try:
            sock, _ = listener.accept()
        except socket.timeout:
            continue
        except OSError:
            break
        sock.settimeout(None)
        if context is not None:
            try:
                sock.settimeout(5)
                sock = context.wrap_socket(sock, server_side=True)
                sock.settimeout(None)
            except (OSError, ssl.SSLError):
                close(sock)
                continue
        serve = serve_ftp_connection if args.protocol == "ftp" else serve_http_connection
        threading.Thread(target=serve, args=(sock, script, log), daemon=True).start()
    listener.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
