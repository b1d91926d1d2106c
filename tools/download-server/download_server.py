#!/usr/bin/env python3
"""Scripted download server (port 80) and version server (port 10080): the .NET installers for
the tests and for `make run`.

  start DIR DOWNLOAD_HOST VERSION_HOST   start in the background, wait until both ports listen
  stop DIR                               stop the server started for DIR (by the pid in DIR/pid)
  serve DIR DOWNLOAD_HOST VERSION_HOST   run in the foreground (what start launches)
  close DIR                              stop listening on port 80, so downloads are refused
  reopen DIR                             listen on port 80 again

Both ports answer by the routes in DIR/routes, read at every request: one route a line,
"PATH KIND [ARGUMENT]", the path without its query. Kinds:
  file UNIX_PATH [OPTION...]
                     the file's bytes: 200, or 206 with Content-Range for a "Range: bytes=N-" whose
                     If-Range (when sent) matches the ETag; ETag "v1" and a fixed Last-Modified.
                     Options:
                       drop=N          reset the connection after N more bytes of each answer's body
                       drops=K         only the path's first K answers drop
                       ranges=ignore   answer every request 200 with the whole file
                       etag=changes    from the path's second request on, another version: ETag "v2",
                                       its third byte changed
                       ifrange=ignore  a range is answered 206 whatever If-Range says
                       length=none     no Content-Length: the body ends when the connection closes
                       rate=N          send about N bytes a second
  redirect LOCATION  302 to LOCATION
  status CODE        CODE with a small HTML page
  text TEXT...       200 with the rest of the line as a plain-text body
  empty              200 with an empty body
  stall              promises a megabyte, sends 16 bytes, then nothing until the client leaves
  drop               closes the connection without an answer
A path without a route gets 404. Every request is appended to DIR/requests as
"PORT METHOD TARGET", and every answer of a file route to DIR/sent as "PATH BYTES", the bytes of
body it is to carry (written as it starts, so a client that has read it all finds it). DIR/refused-port names a port of VERSION_HOST that is bound but never
listened on, so connecting to it is refused while the server runs. The server ends by itself after
an idle hour, in case nobody stops it.
"""
import fcntl
import http.server
import os
import signal
import socket
import struct
import sys
import termios
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pylib"))
import background  # noqa: E402
import quiet_http  # noqa: E402

journal_lock = threading.Lock()
requests_per_path = {}
LAST_MODIFIED = "Tue, 01 Dec 2026 10:00:00 GMT"
CHUNK = 64 * 1024


class Handler(quiet_http.Handler):
    def do_GET(self):
        folder = self.server.folder
        with journal_lock, open(os.path.join(folder, "requests"), "a") as journal:
            journal.write("%d %s %s\n" % (self.server.server_address[1], self.command, self.path))
        path = self.path.split("?", 1)[0]
        kind, argument = self.route(folder, path)
        if kind == "file":
            self.send_file(folder, path, argument)
        elif kind == "redirect":
            self.send(302, b"moved", "text/plain", [("Location", argument)])
        elif kind == "status":
            self.send(int(argument), b"<html><body>status %s</body></html>" % argument.encode(), "text/html")
        elif kind == "text":
            self.send(200, argument.encode(), "text/plain")
        elif kind == "empty":
            self.send(200, b"", "application/octet-stream")
        elif kind == "stall":
            self.send_response(200)
            self.send_header("Content-Length", str(1 << 20))
            self.end_headers()
            self.wfile.write(b"MZ" + b"\0" * 14)
            self.wfile.flush()
            # Until the client gives up: longer than any test may run, so one that waits is caught.
            end = time.monotonic() + 900
            while time.monotonic() < end:
                time.sleep(0.2)
                try:
                    self.connection.settimeout(0)
                    if self.connection.recv(1) == b"":
                        break
                except BlockingIOError:
                    pass
                except OSError:
                    break
            self.connection.settimeout(None)
            self.close_connection = True
        elif kind == "drop":
            self.close_connection = True
        else:
            self.send(404, b"<html><body>no route</body></html>", "text/html")

    def send_file(self, folder, path, argument):
        words = argument.split(" ")
        options = {}
        while len(words) > 1 and "=" in words[-1]:
            name, value = words.pop().split("=", 1)
            options[name] = value
        with open(" ".join(words), "rb") as f:
            data = f.read()
        with journal_lock:
            requests_per_path[path] = requests_per_path.get(path, 0) + 1
            etag = '"v2"' if options.get("etag") == "changes" and requests_per_path[path] > 1 else '"v1"'
        if etag == '"v2"':
            data = data[:2] + bytes([data[2] ^ 0xFF]) + data[3:]
        start, status = 0, 200
        asked = self.headers.get("Range", "")
        if_range = self.headers.get("If-Range")
        if (options.get("ranges") != "ignore" and asked.startswith("bytes=") and asked.endswith("-")
                and asked[6:-1].isdigit() and (if_range in (None, etag, LAST_MODIFIED) or options.get("ifrange") == "ignore")):
            start = int(asked[6:-1])
            if start >= len(data):
                self.reply(416, b"", [("Content-Range", "bytes */%d" % len(data))])
                return
            status = 206
        body = memoryview(data)[start:]
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("ETag", etag)
        self.send_header("Last-Modified", LAST_MODIFIED)
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data)))
        if options.get("length") == "none":
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        drop = int(options["drop"]) if "drop" in options else None
        if drop is not None and requests_per_path[path] > int(options.get("drops", requests_per_path[path])):
            drop = None
        count = len(body) if drop is None else min(drop, len(body))
        with journal_lock, open(os.path.join(folder, "sent"), "a") as journal:
            journal.write("%s %d\n" % (path, count))
        rate = int(options.get("rate", 0))
        step = max(1, min(CHUNK, rate // 10)) if rate else CHUNK
        for at in range(0, count, step):
            self.wfile.write(body[at:min(at + step, count)])
            if rate:
                time.sleep(step / rate)
        if drop is not None and drop < len(body):
            self.wfile.flush()
            # A reset throws away what the client has not read yet: let it read everything first.
            end = time.monotonic() + 2
            while time.monotonic() < end and unsent(self.connection) > 0:
                time.sleep(0.01)
            time.sleep(0.2)
            # A reset, not an orderly close: even without a length the client sees the break.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
            self.close_connection = True

    @staticmethod
    def route(folder, path):
        try:
            with open(os.path.join(folder, "routes")) as f:
                for line in f:
                    parts = line.rstrip("\r\n").split(" ", 2)
                    if len(parts) >= 2 and parts[0] == path:
                        return parts[1], parts[2] if len(parts) > 2 else ""
        except OSError:
            pass
        return None, None

    def send(self, status, body, kind, headers=()):
        self.reply(status, body, [("Content-Type", kind), *headers])


def unsent(connection):
    """Bytes not yet acknowledged by the client."""
    return struct.unpack("i", fcntl.ioctl(connection.fileno(), termios.TIOCOUTQ, b"\0\0\0\0"))[0]


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def listen(folder, host, port):
    server = Server((host, port), Handler)
    server.folder = folder
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def serve(folder, download_host, version_host):
    downloads = listen(folder, download_host, 80)
    listen(folder, version_host, 10080)
    refused = socket.socket()
    refused.bind((version_host, 0))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    with open(os.path.join(folder, "refused-port.tmp"), "w") as f:
        f.write("%d\n" % refused.getsockname()[1])
    os.replace(os.path.join(folder, "refused-port.tmp"), os.path.join(folder, "refused-port"))
    # Port 80 follows DIR/close-80 (see close and reopen); DIR/closed-80 says it is closed.
    request, state = os.path.join(folder, "close-80"), os.path.join(folder, "closed-80")
    while not quiet_http.idle():
        time.sleep(0.1)
        if os.path.exists(request) and downloads is not None:
            downloads.shutdown()
            downloads.server_close()
            downloads = None
            open(state, "w").close()
        elif not os.path.exists(request) and downloads is None:
            try:
                downloads = listen(folder, download_host, 80)
            except OSError:
                continue  # the address is still in use: next round
            os.remove(state)


def set_port_80(folder, closed):
    request, state = os.path.join(folder, "close-80"), os.path.join(folder, "closed-80")
    if closed:
        open(request, "w").close()
    elif os.path.exists(request):
        os.remove(request)
    for _ in range(100):
        if os.path.exists(state) == closed:
            return 0
        time.sleep(0.1)
    print("the server did not %s port 80" % ("close" if closed else "reopen"), file=sys.stderr)
    return 1


LEFTOVERS = ("refused-port", "close-80", "closed-80")


def stop(folder):
    background.stop(folder, __file__, LEFTOVERS)


def start(folder, download_host, version_host):
    os.makedirs(folder, exist_ok=True)
    stop(folder)  # one left over from an interrupted run
    for name in ("routes", "requests", "sent"):
        open(os.path.join(folder, name), "w").close()
    return background.start(folder, __file__, ["serve", folder, download_host, version_host], "refused-port",
                            LEFTOVERS)


if __name__ == "__main__":
    command, folder = sys.argv[1], sys.argv[2]
    if command == "serve":
        serve(folder, sys.argv[3], sys.argv[4])
    elif command == "start":
        sys.exit(start(folder, sys.argv[3], sys.argv[4]))
    elif command == "stop":
        stop(folder)
    elif command in ("close", "reopen"):
        sys.exit(set_port_80(folder, command == "close"))
