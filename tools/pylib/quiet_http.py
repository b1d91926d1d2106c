"""What the loopback HTTP servers of the tests and of `make run` share: no log on stderr, answers
that carry their length, and an end by themselves after an idle hour, in case nobody stops them."""
import http.server
import time

IDLE_LIMIT = 3600
_last_request = time.monotonic()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def parse_request(self):
        global _last_request
        _last_request = time.monotonic()
        return super().parse_request()

    def reply(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def idle():
    """Whether the servers of this process have had no request for an hour."""
    return time.monotonic() - _last_request >= IDLE_LIMIT
