#!/usr/bin/env python3
"""A small forwarding HTTP proxy for the client's tests.

  forward_proxy.py [--port N] [--log FILE]

Forwards requests in absolute form ("GET http://host:port/path HTTP/1.1") to
their target with "Via: 1.1 tavrensil-test-proxy" added, and tunnels CONNECT
host:port (how TLS goes through a proxy). Every request line it forwards is
appended to the log (stdout without --log) before it is forwarded. Anything
else is answered 400; a target it cannot reach, 502.

Bounded: a request head of at most 64 KiB, 10 s to reach a target, 30 s of
silence ends a connection, at most 32 connections at once (more are closed).
Loopback only. Importable: ForwardProxy(log_path).start() gives the port.
"""
import argparse
import select
import socket
import sys
import threading
import urllib.parse

VIA = b"Via: 1.1 tavrensil-test-proxy"
BAD_REQUEST = b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n"
BAD_GATEWAY = b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n"
MAX_HEAD = 64 * 1024
CONNECT_TIMEOUT = 10
IDLE_TIMEOUT = 30
MAX_CONNECTIONS = 32
# Hop-by-hop headers of the client's leg; the target gets its own.
DROPPED = (b"proxy-connection", b"proxy-authorization", b"connection", b"keep-alive")


def read_head(conn):
    """The request head and the bytes read past it, or None."""
    data = b""
    while b"\r\n\r\n" not in data:
        if len(data) > MAX_HEAD:
            return None
        chunk = conn.recv(65536)
        if not chunk:
            return None
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    return head, rest


def relay(a, b):
    """Copies bytes both ways until either side closes or stays silent."""
    sockets = [a, b]
    while True:
        readable, _, _ = select.select(sockets, [], [], IDLE_TIMEOUT)
        if not readable:
            return
        for sock in readable:
            data = sock.recv(65536)
            if not data:
                return
            (b if sock is a else a).sendall(data)


def split_host_port(text, default_port):
    """Host and port of "host:port", "[v6]:port" or a bare host."""
    if text.startswith("["):
        host, _, after = text[1:].partition("]")
        port = after[1:] if after.startswith(":") else ""
    elif text.count(":") == 1:
        host, _, port = text.partition(":")
    else:
        host, port = text, ""
    return host, int(port) if port.isdigit() else default_port


class ForwardProxy:
    def __init__(self, log_path=None):
        self.log_path = log_path
        self.log_lock = threading.Lock()
        self.slots = threading.BoundedSemaphore(MAX_CONNECTIONS)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)

    def start(self, port=0):
        """Listens on 127.0.0.1 and serves from a daemon thread; gives the port."""
        self.sock.bind(("127.0.0.1", port))
        self.sock.listen(64)
        threading.Thread(target=self.accept_loop, daemon=True).start()
        return self.sock.getsockname()[1]

    def close(self):
        self.sock.close()

    def log(self, request_line):
        text = request_line.decode("latin-1") + "\n"
        with self.log_lock:
            if self.log_path is None:
                sys.stdout.write(text)
                sys.stdout.flush()
            else:
                with open(self.log_path, "a", encoding="latin-1") as log:
                    log.write(text)

    def accept_loop(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            if not self.slots.acquire(blocking=False):
                conn.close()
                continue
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        upstream = None
        try:
            conn.settimeout(IDLE_TIMEOUT)
            request = read_head(conn)
            if request is None:
                return
            head, rest = request
            lines = head.split(b"\r\n")
            parts = lines[0].split(b" ")
            if len(parts) != 3:
                conn.sendall(BAD_REQUEST)
                return
            method, target, version = parts
            if method == b"CONNECT":
                upstream = self.tunnel(conn, lines[0], target.decode("latin-1"))
            elif target.lower().startswith(b"http://"):
                upstream = self.forward(conn, lines, method, target.decode("latin-1"), version, rest)
            else:
                conn.sendall(BAD_REQUEST)
                return
            if upstream is not None:
                relay(conn, upstream)
        except (OSError, ValueError, UnicodeError):
            pass
        finally:
            for sock in (upstream, conn):
                if sock is not None:
                    sock.close()
            self.slots.release()

    def reach(self, conn, host, port):
        try:
            upstream = socket.create_connection((host, port), timeout=CONNECT_TIMEOUT)
        except OSError:
            conn.sendall(BAD_GATEWAY)
            return None
        upstream.settimeout(IDLE_TIMEOUT)
        return upstream

    def tunnel(self, conn, request_line, target):
        host, port = split_host_port(target, 443)
        if not host:
            conn.sendall(BAD_REQUEST)
            return None
        self.log(request_line)
        upstream = self.reach(conn, host, port)
        if upstream is not None:
            conn.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        return upstream

    def forward(self, conn, lines, method, target, version, rest):
        url = urllib.parse.urlsplit(target)
        host, port = url.hostname, url.port or 80
        if not host:
            conn.sendall(BAD_REQUEST)
            return None
        path = (url.path or "/") + ("?" + url.query if url.query else "")
        self.log(lines[0])
        upstream = self.reach(conn, host, port)
        if upstream is None:
            return None
        kept = [line for line in lines[1:]
                if line.partition(b":")[0].strip().lower() not in DROPPED]
        head = [b" ".join((method, path.encode("latin-1"), version))] + kept
        head += [VIA, b"Connection: close"]
        upstream.sendall(b"\r\n".join(head) + b"\r\n\r\n" + rest)
        return upstream


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--log", help="file the forwarded request lines are appended to")
    args = parser.parse_args()
    proxy = ForwardProxy(args.log)
    print("forward_proxy: 127.0.0.1:%d" % proxy.start(args.port), file=sys.stderr, flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
