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
  file UNIX_PATH     200 with the file's bytes
  redirect LOCATION  302 to LOCATION
  status CODE        CODE with a small HTML page
  text TEXT...       200 with the rest of the line as a plain-text body
  empty              200 with an empty body
  stall              promises a megabyte, sends 16 bytes, then nothing until the client leaves
  drop               closes the connection without an answer
A path without a route gets 404. Every request is appended to DIR/requests as
"PORT METHOD TARGET". DIR/refused-port names a port of VERSION_HOST that is bound but never
listened on, so connecting to it is refused while the server runs. The server ends by itself after
an idle hour, in case nobody stops it.
"""
import http.server
import os
import signal
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pylib"))
import background  # noqa: E402
import quiet_http  # noqa: E402

journal_lock = threading.Lock()


class Handler(quiet_http.Handler):
    def do_GET(self):
        folder = self.server.folder
        with journal_lock, open(os.path.join(folder, "requests"), "a") as journal:
            journal.write("%d %s %s\n" % (self.server.server_address[1], self.command, self.path))
        kind, argument = self.route(folder, self.path.split("?", 1)[0])
        if kind == "file":
            with open(argument, "rb") as f:
                self.send(200, f.read(), "application/octet-stream")
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
    for name in ("routes", "requests"):
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
