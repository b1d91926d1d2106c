#!/usr/bin/env python3
"""A local statistics server: accepts the installer's reports and shows each one.

    stats_server.py [--host 127.0.0.1] [--port 10081] [--log reports.jsonl] [--raw-dir D] [--pid-file F] [--quiet]
    stats_server.py --summarize reports.jsonl    (the actions received, in order)

Listens on a loopback address only (127.0.0.1 unless --host names another 127.x.y.z, which lets
two build trees on one machine run their tests side by side). Every request is printed (method, path, headers, body) unless
--quiet, and appended to --log as one JSON line with the raw bytes kept exactly:
  {"seq", "time", "method", "target", "version", "headers": [[name, value], ...],
   "body_hex", "body", "json_valid"}
and, with --raw-dir, written as D/<seq, six digits>.http: the request line, the header lines and
the body as they came, so a test can compare them byte for byte.
Nothing a client sends can stop or confuse it: a body that is not UTF-8 or not JSON is still
logged. SIGTERM ends it cleanly.
"""
import argparse
import json
import os
import signal
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

_lock = threading.Lock()
_seq = 0


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VexoStats/1"

    def _serve(self):
        global _seq
        length = self.headers.get("Content-Length")
        try:
            body = self.rfile.read(int(length)) if length else b""
        except ValueError:
            body = b""
        try:
            json.loads(body.decode("utf-8"))
            valid = True
        except ValueError:
            valid = False
        with _lock:
            _seq += 1
            record = {
                "seq": _seq,
                "time": time.time(),
                "method": self.command,
                "target": self.path,
                "version": self.request_version,
                # In arrival order, duplicates kept: the order of header lines is checked too.
                "headers": [[k, v] for k, v in self.headers.raw_items()],
                "body_hex": body.hex(),
                "body": body.decode("utf-8", "replace"),
                "json_valid": valid,
            }
            if self.server.raw_dir:
                raw = self.raw_requestline + b"".join(
                    ("%s: %s\r\n" % (k, v)).encode("latin-1") for k, v in self.headers.raw_items())
                with open(os.path.join(self.server.raw_dir, "%06d.http" % _seq), "wb") as f:
                    f.write(raw + b"\r\n" + body)
            if self.server.log_path:
                with open(self.server.log_path, "a", encoding="utf-8") as log:
                    log.write(json.dumps(record, ensure_ascii=False) + "\n")
            if not self.server.quiet:
                self._show(record, body)
        reply = b'{"code":0}'
        self.send_response(200)
        self.send_header("Content-Type", "application/json;charset=UTF-8")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def _show(self, record, body):
        out = sys.stdout
        out.write("--- report %d: %s %s %s\n" % (record["seq"], record["method"], record["target"], record["version"]))
        for k, v in record["headers"]:
            out.write("%s: %s\n" % (k, v))
        out.write("\n")
        if record["json_valid"]:
            out.write(record["body"] + "\n")
        else:
            out.write("%s   (not valid JSON; %d bytes: %s)\n" % (record["body"], len(body), body.hex()))
        out.flush()

    do_POST = _serve
    do_GET = _serve

    def log_message(self, fmt, *args):
        pass


def summarize(path):
    actions = []
    try:
        with open(path, encoding="utf-8") as log:
            for line in log:
                try:
                    report = json.loads(json.loads(line)["body"])
                    actions.append(str(report[0]["action"]))
                except (ValueError, KeyError, IndexError, TypeError):
                    actions.append("(unreadable)")
    except OSError:
        pass
    print("%d received%s%s" % (len(actions), ": " if actions else "", ", ".join(actions)))
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=10081)
    ap.add_argument("--log")
    ap.add_argument("--raw-dir")
    ap.add_argument("--pid-file")
    ap.add_argument("--quiet", action="store_true")
    ap.add_argument("--summarize", metavar="LOG")
    args = ap.parse_args()
    if args.summarize:
        return summarize(args.summarize)

    if not args.host.startswith("127."):
        sys.stderr.write("stats server: %s is not a loopback address\n" % args.host)
        return 2
    ThreadingHTTPServer.allow_reuse_address = True
    try:
        server = ThreadingHTTPServer((args.host, args.port), Handler)
    except OSError as e:
        sys.stderr.write("stats server: cannot listen on %s:%d: %s\n" % (args.host, args.port, e.strerror))
        return 1
    server.daemon_threads = True
    server.log_path = args.log
    server.quiet = args.quiet
    server.raw_dir = args.raw_dir
    if args.raw_dir:
        os.makedirs(args.raw_dir, exist_ok=True)
    if args.pid_file:
        with open(args.pid_file, "w") as f:
            f.write("%d\n" % os.getpid())
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    if not args.quiet:
        sys.stdout.write("stats server: listening on %s:%d\n" % (args.host, args.port))
        sys.stdout.flush()
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
        if args.pid_file:
            try:
                os.unlink(args.pid_file)
            except OSError:
                pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
