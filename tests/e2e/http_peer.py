#!/usr/bin/env python3
"""A scripted HTTP peer for the client's transport tests.

Starts a plain HTTP server, a TLS server and a forwarding proxy on loopback,
then runs the given command with their ports in the environment and exits
with its exit code:

  TAVRENSIL_HTTP_PORT          plain HTTP server
  TAVRENSIL_HTTPS_PORT         TLS server; its certificate names "localhost"
  TAVRENSIL_TEST_CA            the issuing test CA, DER as hex, for the test to
                               trust (and remove again) in its Wine prefix
  TAVRENSIL_NO13_PORT          the TLS server behind a middlebox that breaks
                               off with a fatal alert every handshake offering
                               TLS 1.3, and the first handshake in any case
                               (Wine's hello never shows the 1.3 it was asked
                               to offer); /count?tls13-refused says how often
  TAVRENSIL_REFUSED_PORT       a loopback port where nothing listens
  TAVRENSIL_PROXY_PORT         a forwarding proxy (tests/e2e/forward_proxy.py)
  TAVRENSIL_PROXY_DIR          a folder, as Wine's drive Z: shows it, with
      proxy.log      the request lines the proxy forwarded, one a line
      proxied.reg    Internet settings: that proxy, bypassed by 127.0.0.1
      scripted.reg   Internet settings: /proxy.pac as configuration script,
                     and a named proxy on the refused port
      forget.reg     removes what the two write (tests/e2e/proxy_settings.py)

What a path does:
  /status/N[?...]   answers status N
  /slow/MS          waits MS milliseconds, then answers 200
  /stall-body/MS    sends the head and half the body, waits MS, sends the rest
  /big/N            answers N bytes: byte i is (i * 7 + 3) % 251
  /drop-mid-body    promises 100000 bytes, sends 5000, closes
  /endless          200 without a length, then bytes until the client leaves
  /announce/N       200 announcing N bytes, then bytes until the client leaves
  /silent           reads the request and answers nothing (for up to 60 s)
  /redirect/N?PATH  answers status N with Location: PATH
  /count?PATH       how many requests arrived for PATH (path and query)
  /scheme           "https" or "http": how the request arrived
  /proxy.pac        a configuration script: 127.0.0.1 direct, all else
                    through the forwarding proxy
  /url.pac          one that sends only http://a.example/api/... through it
  anything else     200 with the raw request (head and body) as the body
"""
import collections
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

import forward_proxy
import proxy_settings

hits = collections.Counter()
hits_lock = threading.Lock()
proxy_script = b""  # set once the forwarding proxy's port is known
url_script = b""    # the same, deciding by the URL asked about


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return None
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    while len(body) < length:
        chunk = conn.recv(65536)
        if not chunk:
            break
        body += chunk
    return head, body


def answer(conn, status, body):
    conn.sendall(b"HTTP/1.1 %d X\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                 % (status, len(body)) + body)


def big_body(n):
    # The pattern repeats every 251 bytes; build it from whole periods.
    period = bytes((i * 7 + 3) % 251 for i in range(251))
    return (period * (n // 251 + 1))[:n]


def send_forever(conn, head):
    """Sends head, then body bytes until the peer leaves (at most 64 MiB)."""
    conn.sendall(head)
    block = b"x" * 65536
    for _ in range(1024):
        conn.sendall(block)


def wait_for_close(conn, seconds):
    conn.settimeout(seconds)
    try:
        while conn.recv(4096):
            pass
    except OSError:
        pass


def serve(conn):
    try:
        request = read_request(conn)
        if request is None:
            return
        head, body = request
        target = head.split(b"\r\n")[0].split(b" ")[1].decode("latin-1")
        with hits_lock:
            hits[target] += 1
        path = target.split("?")[0]
        if path.startswith("/status/"):
            code = int(path[len("/status/"):])
            answer(conn, code, b"" if code in (204, 304) else b"status %d" % code)
        elif path.startswith("/slow/"):
            time.sleep(int(path[len("/slow/"):]) / 1000.0)
            answer(conn, 200, b"slow")
        elif path.startswith("/stall-body/"):
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: close\r\n\r\n12345")
            time.sleep(int(path[len("/stall-body/"):]) / 1000.0)
            conn.sendall(b"67890")
        elif path.startswith("/big/"):
            answer(conn, 200, big_body(int(path[len("/big/"):])))
        elif path == "/drop-mid-body":
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + b"x" * 5000)
        elif path == "/endless":
            send_forever(conn, b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")
        elif path.startswith("/announce/"):
            send_forever(conn, b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n"
                         % int(path[len("/announce/"):]))
        elif path == "/silent":
            wait_for_close(conn, 60)
        elif path.startswith("/redirect/"):
            location = target.partition("?")[2].encode("latin-1")
            conn.sendall(b"HTTP/1.1 %d X\r\nLocation: %s\r\nContent-Length: 0\r\n"
                         b"Connection: close\r\n\r\n" % (int(path[len("/redirect/"):]), location))
        elif path == "/proxy.pac":
            answer(conn, 200, proxy_script)
        elif path == "/url.pac":
            answer(conn, 200, url_script)
        elif path == "/scheme":
            answer(conn, 200, b"https" if isinstance(conn, ssl.SSLSocket) else b"http")
        elif path == "/count":
            with hits_lock:
                count = hits[target.partition("?")[2]]
            answer(conn, 200, str(count).encode())
        else:
            answer(conn, 200, head + b"\r\n\r\n" + body)
    except (OSError, ValueError, ssl.SSLError):
        pass
    finally:
        try:
            conn.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        conn.close()


def listen(port=0):
    """A listening socket on loopback; None when `port` cannot be had."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind(("127.0.0.1", port))
    except OSError:
        if port == 0:
            raise
        sock.close()
        return None
    sock.listen(64)
    return sock


def accept_loop(sock, context=None):
    while True:
        try:
            conn, _ = sock.accept()
        except OSError:
            return
        threading.Thread(target=handshake_and_serve, args=(conn, context), daemon=True).start()


def handshake_and_serve(conn, context):
    if context is not None:
        try:
            conn.settimeout(30)
            conn = context.wrap_socket(conn, server_side=True)
        except (OSError, ssl.SSLError):
            conn.close()
            return
    serve(conn)


TLS13 = b"\x03\x04"
SUPPORTED_VERSIONS = 43
# A fatal handshake_failure alert, as an old middlebox sends it.
HANDSHAKE_FAILURE = b"\x15\x03\x01\x00\x02\x02\x28"


def offers_tls13(hello):
    """Whether a TLS record holding a ClientHello lists TLS 1.3 among its
    supported versions; False for anything it cannot read."""
    try:
        at = 5 + 4 + 2 + 32                      # record, handshake header, version, random
        at += 1 + hello[at]                      # session id
        at += 2 + int.from_bytes(hello[at:at + 2], "big")   # cipher suites
        at += 1 + hello[at]                      # compression methods
        end = at + 2 + int.from_bytes(hello[at:at + 2], "big")
        at += 2
        while at + 4 <= end:
            kind = int.from_bytes(hello[at:at + 2], "big")
            size = int.from_bytes(hello[at + 2:at + 4], "big")
            data = hello[at + 4:at + 4 + size]
            if kind == SUPPORTED_VERSIONS:
                versions = data[1:1 + data[0]]
                return any(versions[i:i + 2] == TLS13 for i in range(0, len(versions), 2))
            at += 4 + size
    except IndexError:
        pass
    return False


def peek_client_hello(conn):
    """The first TLS record, left in the socket; empty when none came."""
    conn.settimeout(30)
    data = b""
    for _ in range(100):
        data = conn.recv(16384, socket.MSG_PEEK)
        if not data or (len(data) >= 5 and len(data) >= 5 + int.from_bytes(data[3:5], "big")):
            break
        time.sleep(0.05)
    return data


def refuse_tls13_then_serve(conn, context):
    hello = peek_client_hello(conn)
    with hits_lock:
        refuse = offers_tls13(hello) or hits["tls13-refused"] == 0
        if refuse:
            hits["tls13-refused"] += 1
    if refuse:
        conn.sendall(HANDSHAKE_FAILURE)
        conn.close()
        return
    handshake_and_serve(conn, context)


def accept_loop_no13(sock, context):
    while True:
        try:
            conn, _ = sock.accept()
        except OSError:
            return
        threading.Thread(target=refuse_tls13_then_serve, args=(conn, context),
                         daemon=True).start()


def make_certificates(folder):
    """A throw-away CA and a "localhost" certificate it signed."""
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
            "-out", "ca.pem", "-days", "2", "-subj", "/CN=Tavrensil Test CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "leaf.key",
            "-out", "leaf.csr", "-subj", "/CN=localhost")
    with open(os.path.join(folder, "leaf.ext"), "w") as ext:
        ext.write("subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n"
                  "basicConstraints=CA:FALSE\n")
    openssl("x509", "-req", "-in", "leaf.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "leaf.pem", "-days", "2", "-extfile", "leaf.ext")
    openssl("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der")
    with open(os.path.join(folder, "ca.der"), "rb") as der:
        return der.read()


def write_proxy_files(folder, plain_port, refused_port):
    """The forwarding proxy, its log and the settings files; gives its port."""
    global proxy_script, url_script
    log = os.path.join(folder, "proxy.log")
    open(log, "w").close()
    port = forward_proxy.ForwardProxy(log).start()
    url_script = (b'function FindProxyForURL(url, host) {\n'
                  b'  return shExpMatch(url, "http://a.example/api/*") ? "PROXY 127.0.0.1:%d" : '
                  b'"DIRECT";\n}\n' % port)
    proxy_script = (b'function FindProxyForURL(url, host) {\n'
                    b'  return host == "127.0.0.1" ? "DIRECT" : "PROXY 127.0.0.1:%d";\n}\n' % port)
    files = {
        "proxied.reg": proxy_settings.settings_reg(proxy="127.0.0.1:%d" % port,
                                                   bypass="127.0.0.1"),
        "scripted.reg": proxy_settings.settings_reg(
            proxy="127.0.0.1:%d" % refused_port,
            auto_config_url="http://127.0.0.1:%d/proxy.pac" % plain_port),
        "forget.reg": proxy_settings.FORGET_REG,
    }
    for name, text in files.items():
        with open(os.path.join(folder, name), "w", encoding="ascii", newline="") as reg:
            reg.write(text)
    return port


def main():
    if "--" not in sys.argv:
        print(__doc__)
        return 2
    command = sys.argv[sys.argv.index("--") + 1:]

    plain = listen()
    threading.Thread(target=accept_loop, args=(plain,), daemon=True).start()

    with tempfile.TemporaryDirectory() as folder:
        ca_der = make_certificates(folder)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(folder, "leaf.pem"), os.path.join(folder, "leaf.key"))
        secure = listen()
        threading.Thread(target=accept_loop, args=(secure, context), daemon=True).start()
        no13 = listen()
        threading.Thread(target=accept_loop_no13, args=(no13, context), daemon=True).start()
        # Port 443 as well, for a site moved to https (root only; the test
        # that needs it is skipped without).
        upgraded = listen(443)
        if upgraded:
            threading.Thread(target=accept_loop, args=(upgraded, context), daemon=True).start()

        refused = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        refused.bind(("127.0.0.1", 0))
        refused_port = refused.getsockname()[1]
        refused.close()

        env = dict(os.environ)
        env["TAVRENSIL_HTTP_PORT"] = str(plain.getsockname()[1])
        env["TAVRENSIL_HTTPS_PORT"] = str(secure.getsockname()[1])
        env["TAVRENSIL_TEST_CA"] = ca_der.hex()
        env["TAVRENSIL_NO13_PORT"] = str(no13.getsockname()[1])
        if upgraded:
            env["TAVRENSIL_HTTPS_443"] = "1"
        env["TAVRENSIL_REFUSED_PORT"] = str(refused_port)
        env["TAVRENSIL_PROXY_PORT"] = str(
            write_proxy_files(folder, plain.getsockname()[1], refused_port))
        env["TAVRENSIL_PROXY_DIR"] = proxy_settings.windows_path(folder)
        sys.stdout.flush()
        return subprocess.call(command, env=env)


if __name__ == "__main__":
    sys.exit(main())
