"""A small HTTP server for the update tests, on 127.0.0.1 only.

Usage: http_fixture.py ROOT LOG [CERT KEY]. Serves the files under ROOT and
appends each request's line and headers (then a blank line) to LOG; with a
certificate and its key, over TLS only. Prints the port it listens on, then
serves until killed or until its stdin is closed. Query parameters shape the
answer:
  length=none|N   leave out Content-Length, or announce N instead of the size
  piece=N         send the body in pieces of N bytes ...
  delay=S         ... waiting S seconds after each
  gate=NAME       ... sending the next only once the file NAME under ROOT
                  holds a number of bytes at least what was sent so far (the
                  client writes its progress there); 30 s at most per piece
  status=N        answer with this status code
  location=URL    answer 302 with this Location
"""
import http.server
import os
import ssl
import sys
import threading
import time
import urllib.parse

root, log = sys.argv[1], sys.argv[2]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def do_GET(self):
        with open(log, "a", encoding="latin-1") as f:
            f.write(self.requestline + "\n" + str(self.headers))
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        option = lambda name, default: query.get(name, [default])[0]
        status = int(option("status", "200"))
        try:
            name = os.path.normpath(urllib.parse.unquote(url.path)).lstrip("/")
            with open(os.path.join(root, name), "rb") as f:
                body = f.read()
        except OSError:
            status, body = 404, b"<html><body>Not found</body></html>\n"
        location = option("location", "")
        if location:
            status = 302
        self.send_response(status)
        if location:
            self.send_header("Location", location)
        length = option("length", str(len(body)))
        if length != "none":
            self.send_header("Content-Length", length)
        self.end_headers()
        piece = int(option("piece", "0")) or max(len(body), 1)
        delay = float(option("delay", "0"))
        gate = option("gate", "")
        try:
            for start in range(0, len(body), piece):
                self.wfile.write(body[start:start + piece])
                self.wfile.flush()
                time.sleep(delay)
                if gate and start + piece < len(body):
                    wait_for_progress(os.path.join(root, gate), start + piece)
        except OSError:
            pass


def wait_for_progress(path, sent):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            with open(path, encoding="ascii") as f:
                if int(f.read() or 0) >= sent:
                    return
        except (OSError, ValueError):
            pass
        time.sleep(0.002)


def end_with_parent():
    # The test holds our stdin open; when it ends, even by a crash, so do we.
    sys.stdin.read()
    os._exit(0)


threading.Thread(target=end_with_parent, daemon=True).start()
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
# A client that gives up on the handshake or the answer is no error of ours.
server.handle_error = lambda request, address: None
if len(sys.argv) > 4:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[3], sys.argv[4])
    # The handshake in the handler's thread: a client that never finishes it
    # must not hold up the others.
    server.socket = context.wrap_socket(server.socket, server_side=True,
                                        do_handshake_on_connect=False)
print(server.server_address[1], flush=True)
server.serve_forever()
