#!/usr/bin/env python3
"""Scripted HTTP and HTTPS server on 127.0.0.1 for the HTTP client's tests.

  start DIR  make a self-signed certificate, start the server in the background, wait until it
             listens; DIR/ports then holds "<http port> <https port> <refused port>"
  stop DIR   stop the server started for DIR (by the pid in DIR/pid)
  serve DIR  run in the foreground (what start launches)

Behaviours, by path (query arguments in brackets):
  /echo                    the request as received, request line, headers and body, byte for byte
  /body [charset, hex]     text/plain with the given charset (none when absent) and body bytes
  /size [n, nolength]      n bytes of a letter pattern, with Content-Length unless nolength
  /cookies [same]          two Set-Cookie headers: "a=1; path=/" and "b=2", or "a=1" twice
  /location [to]           200 with "Location: <to>"
  /html-open [key]         counts the request under key; a page that opens <html> and never closes it
  /drop [key]              counts the request under key; closes the connection without an answer
  /short                   promises 20000 bytes, sends 5000 and closes
  /count [key]             the number of requests counted under key
The refused port is bound but never listened on, so connecting to it is refused for as long as
the server runs. The server ends by itself after an idle hour, in case nobody stops it.
"""
import http.server
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "pylib"))
import background  # noqa: E402
import quiet_http  # noqa: E402

counts = {}
counts_lock = threading.Lock()


def pattern_bytes(n):
    letters = b"abcdefghijklmnopqrstuvwxyz0123456789"
    return (letters * (n // len(letters) + 1))[:n]


class Recorder:
    """Wraps the request stream and keeps every byte read from it."""

    def __init__(self, stream):
        self.stream = stream
        self.seen = bytearray()

    def readline(self, *args):
        line = self.stream.readline(*args)
        self.seen += line
        return line

    def read(self, *args):
        data = self.stream.read(*args)
        self.seen += data
        return data

    def __getattr__(self, name):
        return getattr(self.stream, name)


class Handler(quiet_http.Handler):
    # One request a connection: the client's reuse is not what these tests look at.
    protocol_version = "HTTP/1.0"

    def setup(self):
        super().setup()
        self.rfile = Recorder(self.rfile)

    def do_GET(self):
        self.serve()

    def do_POST(self):
        self.serve()

    def send(self, body, headers=(), status=200):
        self.reply(status, body, headers)

    def serve(self):
        url = urllib.parse.urlsplit(self.path)
        args = {k: v[0] for k, v in urllib.parse.parse_qs(url.query, keep_blank_values=True).items()}
        self.rfile.read(int(self.headers.get("Content-Length") or 0))
        path, key = url.path, args.get("key", "")
        if path in ("/html-open", "/drop"):
            with counts_lock:
                counts[key] = counts.get(key, 0) + 1
        if path == "/echo":
            self.send(bytes(self.rfile.seen))
        elif path == "/body":
            kind = "text/plain" + ("; charset=" + args["charset"] if "charset" in args else "")
            self.send(bytes.fromhex(args.get("hex", "")), [("Content-Type", kind)])
        elif path in ("/size", "/short"):
            body = pattern_bytes(int(args.get("n", 5000)))
            self.send_response(200)
            if path == "/short":
                self.send_header("Content-Length", "20000")
            elif "nolength" not in args:
                self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            # In pieces, so the client sees the body arrive in several reads.
            for i in range(0, len(body), 7000):
                self.wfile.write(body[i:i + 7000])
                self.wfile.flush()
            self.close_connection = True
        elif path == "/cookies":
            same = "same" in args
            self.send(b"ok", [("Set-Cookie", "a=1" if same else "a=1; path=/"), ("Set-Cookie", "a=1" if same else "b=2")])
        elif path == "/location":
            self.send(b"moved", [("Location", args.get("to", ""))])
        elif path == "/html-open":
            self.send(b"<html><head><title>cut</title></head><body>half a page", [("Content-Type", "text/html")])
        elif path == "/drop":
            self.close_connection = True
        elif path == "/count":
            with counts_lock:
                self.send(str(counts.get(key, 0)).encode())
        else:
            self.send(b"not here", status=404)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True


def serve(folder):
    plain = Server(("127.0.0.1", 0), Handler)
    secure = Server(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem"))
    secure.socket = context.wrap_socket(secure.socket, server_side=True)
    refused = socket.socket()
    refused.bind(("127.0.0.1", 0))
    for server in (plain, secure):
        threading.Thread(target=server.serve_forever, daemon=True).start()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    ports = "%d %d %d\n" % (plain.server_address[1], secure.server_address[1], refused.getsockname()[1])
    with open(os.path.join(folder, "ports.tmp"), "w") as f:
        f.write(ports)
    os.replace(os.path.join(folder, "ports.tmp"), os.path.join(folder, "ports"))
    while not quiet_http.idle():
        time.sleep(1)


def stop(folder):
    background.stop(folder, __file__, ("ports",))


def start(folder):
    os.makedirs(folder, exist_ok=True)
    stop(folder)  # one left over from an interrupted run
    subprocess.run(["/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=vexo-test", "-keyout", os.path.join(folder, "key.pem"),
                    "-out", os.path.join(folder, "cert.pem")],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if background.start(folder, __file__, ["serve", folder], "ports", ("ports",)) != 0:
        return 1
    print("listening:", open(os.path.join(folder, "ports")).read().strip())
    return 0


if __name__ == "__main__":
    command, folder = sys.argv[1], sys.argv[2]
    if command == "serve":
        serve(folder)
    elif command == "start":
        sys.exit(start(folder))
    elif command == "stop":
        stop(folder)
