#!/usr/bin/env python3
"""Recording HTTP proxy on a loopback address for the download tests.

  start DIR HOST   start in the background on a free port of HOST; DIR/port then names it
  stop DIR         stop the proxy started for DIR (by the pid in DIR/pid)
  serve DIR HOST   run in the foreground (what start launches)

A GET for an absolute http URL is appended to DIR/requests as "GET URL" and forwarded; the
server's answer goes back as it came (502 when the server cannot be reached). Anything else gets
400. The proxy ends by itself after an idle hour, in case nobody stops it.
"""
import http.client
import http.server
import os
import signal
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "pylib"))
import background  # noqa: E402
import quiet_http  # noqa: E402

journal_lock = threading.Lock()
# Headers of one connection, or that the proxy writes itself: never passed on.
NOT_PASSED = {"connection", "keep-alive", "proxy-connection", "transfer-encoding", "content-length", "date", "server"}


class Handler(quiet_http.Handler):
    def do_GET(self):
        target = urllib.parse.urlsplit(self.path)
        if target.scheme != "http" or not target.hostname:
            return self.reply(400, b"not a proxy request")
        with journal_lock, open(os.path.join(self.server.folder, "requests"), "a") as journal:
            journal.write("GET %s\n" % self.path)
        path = (target.path or "/") + ("?" + target.query if target.query else "")
        headers = {name: value for name, value in self.headers.items() if name.lower() not in NOT_PASSED}
        origin = http.client.HTTPConnection(target.hostname, target.port or 80, timeout=60)
        try:
            origin.request("GET", path, headers=headers)
            response = origin.getresponse()
            body = response.read()
        except OSError as error:
            return self.reply(502, str(error).encode())
        finally:
            origin.close()
        self.reply(response.status, body, [h for h in response.getheaders() if h[0].lower() not in NOT_PASSED])


def serve(folder, host):
    server = http.server.ThreadingHTTPServer((host, 0), Handler)
    server.daemon_threads = True
    server.folder = folder
    threading.Thread(target=server.serve_forever, daemon=True).start()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    with open(os.path.join(folder, "port.tmp"), "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.replace(os.path.join(folder, "port.tmp"), os.path.join(folder, "port"))
    while not quiet_http.idle():
        time.sleep(1)


if __name__ == "__main__":
    command, folder = sys.argv[1], sys.argv[2]
    if command == "serve":
        serve(folder, sys.argv[3])
    elif command == "start":
        os.makedirs(folder, exist_ok=True)
        background.stop(folder, __file__, ["port"])  # one left over from an interrupted run
        open(os.path.join(folder, "requests"), "w").close()
        sys.exit(background.start(folder, __file__, ["serve", folder, sys.argv[3]], "port", ["port"]))
    elif command == "stop":
        background.stop(folder, __file__, ["port"])
