#!/usr/bin/env python3
"""A misbehaving HTTP server for the tests: http_server.py start|stop DIR

start serves the files of DIR/www on 127.0.0.1 at a port the system picks (DIR/port), also as a
proxy for any host (the request's absolute URL is logged), from a
background process (DIR/pid), and logs each request's method, path and Range, tab-separated,
to DIR/requests.log. A file is sent whole with "Accept-Ranges: bytes", or one "Range: bytes=A-B"
of it with 206; a missing one gets a 404 page. The query string makes the answer misbehave:
  status=N    N with the whole file          ranges=TEXT  Accept-Ranges: TEXT (empty: none)
  length=N    Content-Length: N ("none")     whole        a Range answered with 200
  shift=N     the Range moved by N bytes     drop=N       the connection closed after N bytes
  drophead    HEAD closed unanswered         gzip         gzip when the client accepts it
  slow=MS     MS ms before each piece        gzip=always  gzip whatever the client asked
  piece=N     pieces of N bytes (64 KiB)
  etag=weak   a weak ETag (default: a strong one of the contents), etag=none: none,
              etag=other: another strong one, as another edge of a CDN would send
  getstatus=N N to every GET, HEAD answered as usual
  total=N     N as the Content-Range's total   dropfor=K   drop only the first K GETs
  busy=N      the first N requests of each method answer 503 with Retry-After: after=S (0)
Range "bytes=A-" asks for the rest; an If-Range that is not the ETag gets the whole file.
"""
import gzip
import threading
import http.server
import os
import signal
import subprocess
import sys
import time
import urllib.parse


LOCK, SEEN = threading.Lock(), {}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args): pass

    def do_HEAD(self): self.answer(True)

    def do_GET(self): self.answer(False)

    def answer(self, head):
        # As a proxy too: an absolute URL of any host is served from the same files.
        target = self.path if not self.path.startswith("http://") else (
            "/" + self.path.split("/", 3)[-1])
        path, _, query = target.partition("?")
        q = dict(urllib.parse.parse_qsl(query, keep_blank_values=True))
        wanted = self.headers.get("Range", "")
        gz = "gzip" in q and (q["gzip"] or "gzip" in self.headers.get("Accept-Encoding", ""))
        with open(os.path.join(DIR, "requests.log"), "a") as log:
            log.write("%s\t%s\t%s\n" % (self.command, self.path, wanted))
        self.close_connection = True
        if head and "drophead" in q:
            return
        with LOCK:
            key = (self.command, self.path)
            SEEN[key] = SEEN.get(key, 0) + 1
            busy = SEEN[key] <= int(q.get("busy", 0))
            cut = SEEN[key] <= int(q.get("dropfor", SEEN[key]))
        try:
            with open(os.path.join(DIR, "www", path.lstrip("/")), "rb") as f:
                size, status = os.fstat(f.fileno()).st_size, int(q.get("status", 200))
                if busy:
                    status = 503
                if not head and "getstatus" in q:
                    status = int(q["getstatus"])
                # Large files are read only as far as the answer needs.
                first, last = 0, size - 1
                etag = '"%x-%x"' % (size, os.fstat(f.fileno()).st_mtime_ns)
                if q.get("etag") == "weak":
                    etag = "W/" + etag
                elif q.get("etag") == "other":
                    etag = '"other-%x-%x"' % (size, os.fstat(f.fileno()).st_mtime_ns)
                matches = self.headers.get("If-Range", etag) == etag
                ranged = (wanted.startswith("bytes=") and status == 200 and "whole" not in q
                          and matches and not gz)
                if ranged:
                    a, b = wanted[6:].split("-")
                    first, last = int(a), (int(b) if b else size - 1)
                    span, first = last - first, max(first + int(q.get("shift", 0)), 0)
                    last = min(first + span, size - 1)
                f.seek(first)
                length = last - first + 1
                limit = int(q.get("drop", length)) if cut and not gz else length
                body = f.read(min(length, limit)) if not head or gz else b""
        except OSError:
            body, status, size, ranged = b"<html><body>Not Found</body></html>", 404, 0, False
            etag, length = None, len(body)
        lines = [("Accept-Ranges", q.get("ranges", "bytes"))] if q.get("ranges", "x") else []
        if etag and q.get("etag") != "none":
            lines.append(("ETag", etag))
        if busy:
            lines.append(("Retry-After", q.get("after", "0")))
        if gz:
            body = gzip.compress(body)
            length = len(body)
            lines.append(("Content-Encoding", "gzip"))
        elif ranged:
            lines.append(("Content-Range", "bytes %d-%d/%s" % (first, last, q.get("total", size))))
            status = 206
        if q.get("length") != "none":
            lines.append(("Content-Length", q.get("length", str(length))))
        self.send_response(status)
        for name, value in lines + [("Connection", "close")]:
            self.send_header(name, value)
        self.end_headers()
        body = b"" if head else body[:int(q.get("drop", len(body)))] if cut else body
        piece = int(q.get("piece", 65536))
        for at in range(0, len(body), piece):
            time.sleep(int(q.get("slow", 0)) / 1000)
            self.wfile.write(body[at:at + piece])
            self.wfile.flush()


if __name__ == "__main__":
    action, DIR = sys.argv[1], os.path.abspath(sys.argv[2])
    pid, port = os.path.join(DIR, "pid"), os.path.join(DIR, "port")
    # A run stopped early skips the stop: start ends this tree's earlier server (id and command).
    if action in ("stop", "start") and os.path.exists(pid):
        try:
            old = int(open(pid).read())
            if DIR.encode() in open(f"/proc/{old}/cmdline", "rb").read().split(b"\0"):
                os.kill(old, signal.SIGTERM)
        except (OSError, ValueError):
            pass
        os.remove(pid)
    if action == "start":
        os.makedirs(os.path.join(DIR, "www"), exist_ok=True)
        for old in [port, os.path.join(DIR, "requests.log")]:
            if os.path.exists(old):
                os.remove(old)
        # Output of its own: a test runner waits for every holder of the output it gave.
        child = subprocess.Popen([sys.executable, __file__, "serve", DIR], start_new_session=True,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=open(os.path.join(DIR, "server.log"), "w"))
        open(pid, "w").write(str(child.pid))
        while not os.path.exists(port) and child.poll() is None:
            time.sleep(0.05)
        sys.exit(0 if os.path.exists(port) else 1)
    elif action == "serve":
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        open(port + ".new", "w").write(str(server.server_address[1]))
        os.rename(port + ".new", port)  # whole when it appears
        server.serve_forever()
