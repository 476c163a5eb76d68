#!/usr/bin/env python3
"""Local HTTP server for the download tests.

    http_server.py start STATE_DIR   start a server in the background and wait until it listens
    http_server.py stop STATE_DIR    stop the server started for STATE_DIR
    http_server.py serve STATE_DIR   run the server in the foreground

The server listens on 127.0.0.1 on a free port and keeps its state in STATE_DIR:

    port          the listening port
    closed_port   a port held bound but never listening: connections to it are refused
    pid           the server's process id; the server ends when this file no longer names it
    requests.log  one line "METHOD PATH" per request received, written as it arrives
    sent.log      one line "PATH BYTES" per endless body, written when it ends: the bytes the
                  client's system took from the server
    files/        the files served under /files/

The first path segment chooses the behaviour; the rest is free for the client, so a test can put
its own token in every path and count its own requests in requests.log. Behaviours:

    /files/REL          the file STATE_DIR/files/REL, or 404 when there is none
    /status/CODE/...    an empty-ish response with that HTTP status
    /stall/...          headers announcing a body, then nothing until the client goes away
    /cut/REL            the file REL announced whole, half of it sent, then the connection closed
    /short/REL          the file REL announced 1000 bytes longer than it is, then closed
    /long/REL           the file REL announced 1000 bytes shorter than it is, sent whole
    /loop/...           a redirect to the same path, for ever
    /chunked/REL        the file REL in chunks (Transfer-Encoding: chunked), no length announced
    /chunkcut/REL       the same, cut in the middle of the chunk that holds the file's middle:
                        half the file sent, then the connection closed
    /gzip/REL           the file REL gzip-compressed (Content-Encoding: gzip) whatever the
                        client asked for, announced as long as the compressed bytes; adds
                        "PATH ACCEPT-ENCODING" to encodings.log (every such header of the
                        request, joined by ", "; "-" for none)
    /gzipcut/REL        the same, half the compressed bytes sent, then the connection closed
    /stallafter/REL     the file REL announced whole, half of it sent, then nothing until the
                        client goes away
    /trickle/REL        the file REL announced whole, sent one byte every two seconds
    /slow/REL           the file REL announced whole, sent in four pieces half a second apart
    /endless/...        zeros without a length, until the client goes away (at most 4 GiB)
    /silent/...         the connection accepted, nothing ever sent
    /ranged/OPTS/REL    the file REL with range requests answered as OPTS (comma-separated) say:
                          cut1     the first request for this path is cut: what it answers is
                                   announced whole, half of it sent, then the connection closed
                          cut      every request is cut so
                          norange  a range is ignored: 200 and the whole file
                          416      every range request is answered 416
                          wrong    a range request is answered 206 with the whole file as range
                                   0-
                          lastmod  Last-Modified is the validator instead of a strong ETag
                          weak     a weak ETag and no Last-Modified
                          newtag   the validator changes at every request
                        Without norange or 416, a request with "Range: bytes=N-" gets 206 and the
                        bytes from N, unless its If-Range names another validator (200, whole).
                        Each request adds "PATH RANGE IF-RANGE CODE SENT" to ranges.log ("-" for
                        a missing header), written when its answer ends: SENT is the body bytes
                        the server's system took.

A new behaviour is one function taking (handler, rest of path) added to ROUTES.
"""

import gzip
import hashlib
import http.server
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

IDLE_LIMIT_SECONDS = 3600  # an orphaned server (no stop) ends by itself
STALL_LIMIT_SECONDS = 600
START_DEADLINE_SECONDS = 30


class State:
    def __init__(self, directory):
        self.directory = os.path.abspath(directory)
        self.files = os.path.join(self.directory, "files")
        self.log_lock = threading.Lock()
        self.last_request = time.monotonic()
        self.stopping = threading.Event()
        self.ranged_requests = {}

    def path(self, name):
        return os.path.join(self.directory, name)

    def record(self, method, path):
        with self.log_lock:
            self.last_request = time.monotonic()
            with open(self.path("requests.log"), "a", encoding="utf-8") as log:
                log.write(f"{method} {path}\n")

    def record_sent(self, path, count):
        with self.log_lock:
            with open(self.path("sent.log"), "a", encoding="utf-8") as log:
                log.write(f"{path} {count}\n")


def write_atomically(path, text):
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as out:
        out.write(text)
    os.replace(temporary, path)


def serve_file(handler, rest):
    root = os.path.realpath(handler.state.files)
    target = os.path.realpath(os.path.join(root, rest))
    if os.path.commonpath([root, target]) != root or not os.path.isfile(target):
        handler.send_error(404)
        return
    with open(target, "rb") as source:
        body = source.read()
    handler.send_response(200)
    handler.send_header("Content-Type", "application/octet-stream")
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    handler.write_body(body)


def serve_status(handler, rest):
    code = rest.split("/", 1)[0]
    if not code.isdigit():
        handler.send_error(400)
        return
    body = f"status {code}\n".encode()
    handler.send_response(int(code))
    handler.send_header("Content-Type", "text/plain")
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    handler.write_body(body)


def stall(handler, rest):
    handler.send_response(200)
    handler.send_header("Content-Type", "application/octet-stream")
    handler.send_header("Content-Length", str(1 << 20))
    handler.end_headers()
    handler.wfile.flush()
    handler.wait_for_client_to_leave(STALL_LIMIT_SECONDS)


def served_file(handler, rest):
    """The content of the file rest names under files/, or None (and a 404 sent)."""
    root = os.path.realpath(handler.state.files)
    target = os.path.realpath(os.path.join(root, rest))
    if os.path.commonpath([root, target]) != root or not os.path.isfile(target):
        handler.send_error(404)
        return None
    with open(target, "rb") as source:
        return source.read()


def send_misannounced(handler, rest, announced, sent):
    """Announces announced(body) bytes of the file, sends sent(body) and closes the connection."""
    body = served_file(handler, rest)
    if body is None:
        return
    handler.send_response(200)
    handler.send_header("Content-Type", "application/octet-stream")
    handler.send_header("Content-Length", str(announced(body)))
    handler.send_header("Connection", "close")
    handler.end_headers()
    try:
        handler.write_body(sent(body))
        handler.wfile.flush()
    except OSError:
        pass
    handler.close_connection = True


def cut(handler, rest):
    send_misannounced(handler, rest, len, lambda body: body[:len(body) // 2])


def short(handler, rest):
    send_misannounced(handler, rest, lambda body: len(body) + 1000, lambda body: body)


def long(handler, rest):
    send_misannounced(handler, rest, lambda body: max(len(body) - 1000, 0), lambda body: body)


def loop(handler, rest):
    handler.send_response(302)
    handler.send_header("Location", handler.path)
    handler.send_header("Content-Length", "0")
    handler.end_headers()


CHUNK_BYTES = 64 * 1024


def send_chunked(handler, rest, part):
    """The file rest names, chunked, up to part(body) bytes; all of it ends with the last chunk,
    less is cut inside a chunk that was announced whole."""
    body = served_file(handler, rest)
    if body is None:
        return
    # Chunks are HTTP/1.1's; this server answers in HTTP/1.0 otherwise.
    handler.protocol_version = "HTTP/1.1"
    handler.send_response(200)
    handler.send_header("Content-Type", "application/octet-stream")
    handler.send_header("Transfer-Encoding", "chunked")
    handler.send_header("Connection", "close")
    handler.end_headers()
    handler.close_connection = True
    end = part(body)
    try:
        for start in range(0, len(body), CHUNK_BYTES):
            chunk = body[start:start + CHUNK_BYTES]
            handler.wfile.write(b"%x\r\n" % len(chunk))
            if start + len(chunk) > end:
                handler.wfile.write(chunk[:end - start])
                handler.wfile.flush()
                return
            handler.wfile.write(chunk + b"\r\n")
        handler.wfile.write(b"0\r\n\r\n")
        handler.wfile.flush()
    except OSError:
        pass


def chunked(handler, rest):
    send_chunked(handler, rest, len)


def chunkcut(handler, rest):
    send_chunked(handler, rest, lambda body: len(body) // 2)


def send_gzip(handler, rest, part):
    """The file rest names gzip-compressed, part(compressed) bytes of it, then closed."""
    body = served_file(handler, rest)
    if body is None:
        return
    asked = handler.headers.get_all("Accept-Encoding") or ["-"]
    with handler.state.log_lock:
        with open(handler.state.path("encodings.log"), "a", encoding="utf-8") as log:
            log.write(f"{handler.path} {', '.join(asked)}\n")
    compressed = gzip.compress(body, mtime=0)
    handler.send_response(200)
    handler.send_header("Content-Type", "application/octet-stream")
    handler.send_header("Content-Encoding", "gzip")
    handler.send_header("Content-Length", str(len(compressed)))
    handler.send_header("Connection", "close")
    handler.end_headers()
    handler.close_connection = True
    try:
        handler.write_body(compressed[:part(compressed)])
        handler.wfile.flush()
    except OSError:
        pass


def gzipped(handler, rest):
    send_gzip(handler, rest, len)


def gzipcut(handler, rest):
    send_gzip(handler, rest, lambda compressed: len(compressed) // 2)


def stallafter(handler, rest):
    body = served_file(handler, rest)
    if body is None:
        return
    handler.send_response(200)
    handler.send_header("Content-Type", "application/octet-stream")
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    try:
        handler.wfile.write(body[:len(body) // 2])
        handler.wfile.flush()
    except OSError:
        return
    handler.wait_for_client_to_leave(STALL_LIMIT_SECONDS)


def send_in_pieces(handler, rest, piece_size, pause):
    """The file rest names, announced whole and sent in pieces with a pause before each."""
    body = served_file(handler, rest)
    if body is None:
        return
    handler.send_response(200)
    handler.send_header("Content-Type", "application/octet-stream")
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    piece = piece_size(body)
    try:
        for start in range(0, len(body), piece):
            if handler.state.stopping.wait(pause):
                return
            handler.wfile.write(body[start:start + piece])
            handler.wfile.flush()
    except OSError:
        pass  # the client gave up


def trickle(handler, rest):
    send_in_pieces(handler, rest, lambda body: 1, 2)


def slow(handler, rest):
    send_in_pieces(handler, rest, lambda body: max(1, -(-len(body) // 4)), 0.5)


ENDLESS_LIMIT_BYTES = 4 << 30


def endless(handler, rest):
    handler.send_response(200)
    handler.send_header("Content-Type", "application/octet-stream")
    handler.send_header("Connection", "close")
    handler.end_headers()
    handler.close_connection = True
    zeros = bytes(1 << 16)
    sent = 0
    try:
        for _ in range(ENDLESS_LIMIT_BYTES // len(zeros)):
            if handler.state.stopping.is_set():
                break
            handler.wfile.write(zeros)
            sent += len(zeros)
    except OSError:
        pass  # the client gave up, as it should
    handler.state.record_sent(handler.path, sent)


def silent(handler, rest):
    handler.close_connection = True
    handler.wait_for_client_to_leave(STALL_LIMIT_SECONDS)


def range_start(handler):
    """N of a "Range: bytes=N-" header; None without one, -1 for any other form."""
    value = handler.headers.get("Range")
    if value is None:
        return None
    if not value.startswith("bytes=") or not value.endswith("-") or \
            not value[6:-1].isdigit():
        return -1
    return int(value[6:-1])


def ranged(handler, rest):
    options, _, name = rest.partition("/")
    options = set(options.split(","))
    body = served_file(handler, name)
    if body is None:
        return
    state = handler.state
    with state.log_lock:
        state.ranged_requests[handler.path] = state.ranged_requests.get(handler.path, 0) + 1
        count = state.ranged_requests[handler.path]
    generation = count if "newtag" in options else 0
    etag = f'"{hashlib.sha256(body).hexdigest()[:16]}-{generation}"'
    validators = {}
    if "lastmod" in options:
        validators["Last-Modified"] = f"Wed, 21 Oct 2026 07:28:{generation % 60:02d} GMT"
    elif "weak" in options:
        validators["ETag"] = "W/" + etag
    else:
        validators["ETag"] = etag
    start = range_start(handler)
    if_range = handler.headers.get("If-Range")
    code, first, whole = 200, 0, body
    if start is not None and "norange" not in options:
        if "416" in options or start < 0 or start >= len(body):
            code = 416
        elif "wrong" in options:
            code = 206
        elif if_range is None or if_range in validators.values():
            code, first = 206, start
    sent_body = whole[first:] if code != 416 else b""
    cut_now = "cut" in options or ("cut1" in options and count == 1)
    handler.send_response(code)
    handler.send_header("Content-Type", "application/octet-stream")
    for field, value in validators.items():
        handler.send_header(field, value)
    handler.send_header("Accept-Ranges", "none" if "norange" in options else "bytes")
    if code == 206:
        handler.send_header("Content-Range", f"bytes {first}-{len(body) - 1}/{len(body)}")
    if code == 416:
        handler.send_header("Content-Range", f"bytes */{len(body)}")
    handler.send_header("Content-Length", str(len(sent_body)))
    if cut_now:
        handler.send_header("Connection", "close")
        sent_body = sent_body[:len(sent_body) // 2]
    handler.end_headers()
    sent = 0
    try:
        if handler.with_body:
            handler.wfile.write(sent_body)
            handler.wfile.flush()
            sent = len(sent_body)
    except OSError:
        pass
    if cut_now:
        handler.close_connection = True
    with state.log_lock:
        with open(state.path("ranges.log"), "a", encoding="utf-8") as log:
            log.write(f"{handler.path} {handler.headers.get('Range', '-').replace(' ', '')} "
                      f"{(if_range or '-').replace(' ', '_')} {code} {sent}\n")


ROUTES = {
    "files": serve_file,
    "status": serve_status,
    "stall": stall,
    "cut": cut,
    "short": short,
    "long": long,
    "loop": loop,
    "chunked": chunked,
    "chunkcut": chunkcut,
    "gzip": gzipped,
    "gzipcut": gzipcut,
    "stallafter": stallafter,
    "trickle": trickle,
    "slow": slow,
    "endless": endless,
    "silent": silent,
    "ranged": ranged,
}


class Handler(http.server.BaseHTTPRequestHandler):
    state = None  # set by serve()

    def handle_request(self, with_body):
        self.with_body = with_body
        self.state.record(self.command, self.path)
        path = self.path.split("?", 1)[0].lstrip("/")
        behaviour, _, rest = path.partition("/")
        route = ROUTES.get(behaviour)
        if route is None:
            self.send_error(404)
            return
        route(self, rest)

    def do_GET(self):
        self.handle_request(True)

    def do_HEAD(self):
        self.handle_request(False)

    def write_body(self, body):
        if self.with_body:
            self.wfile.write(body)

    def wait_for_client_to_leave(self, limit):
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline and not self.state.stopping.is_set():
            readable, _, _ = select.select([self.connection], [], [], 0.2)
            if readable:
                try:
                    if not self.connection.recv(4096):
                        return
                except OSError:
                    return

    def log_message(self, format, *args):
        pass  # requests.log is the record


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True


def still_wanted(state, pid):
    try:
        with open(state.path("pid"), encoding="utf-8") as source:
            if source.read().strip() != str(pid):
                return False
    except OSError:
        return False
    return time.monotonic() - state.last_request < IDLE_LIMIT_SECONDS


def serve(directory):
    state = State(directory)
    os.makedirs(state.files, exist_ok=True)
    Handler.state = state
    server = Server(("127.0.0.1", 0), Handler)
    # Bound but never listening: the port stays ours and every connection to it is refused.
    closed = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    closed.bind(("127.0.0.1", 0))

    pid = os.getpid()
    write_atomically(state.path("pid"), str(pid))
    write_atomically(state.path("closed_port"), str(closed.getsockname()[1]))
    write_atomically(state.path("port"), str(server.server_address[1]))

    def watch():
        while still_wanted(state, pid):
            time.sleep(1)
        state.stopping.set()
        server.shutdown()

    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    threading.Thread(target=watch, daemon=True).start()
    server.serve_forever(poll_interval=0.2)
    state.stopping.set()
    server.server_close()
    closed.close()


def read_pid(directory):
    try:
        with open(os.path.join(directory, "pid"), encoding="utf-8") as source:
            return int(source.read().strip())
    except (OSError, ValueError):
        return None


def alive(pid):
    # The server is not our child: once it has ended it may stay a zombie until init reaps it.
    try:
        with open(f"/proc/{pid}/stat", encoding="utf-8") as source:
            return source.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def stop(directory):
    pid = read_pid(directory)
    if pid is None:
        return 0
    try:
        os.remove(os.path.join(directory, "pid"))
    except OSError:
        pass
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return 0
    deadline = time.monotonic() + 10
    while alive(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    if alive(pid):
        os.kill(pid, signal.SIGKILL)
    return 0


def start(directory):
    stop(directory)
    os.makedirs(directory, exist_ok=True)
    for name in ("port", "closed_port", "requests.log", "sent.log", "ranges.log",
                 "encodings.log"):
        try:
            os.remove(os.path.join(directory, name))
        except FileNotFoundError:
            pass
    shutil.rmtree(os.path.join(directory, "files"), ignore_errors=True)
    with open(os.path.join(directory, "server.log"), "w", encoding="utf-8") as output:
        # Detached and with no inherited pipes, so that the caller (CTest) does not wait for it.
        child = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "serve", directory],
            stdin=subprocess.DEVNULL, stdout=output, stderr=output, start_new_session=True)
    deadline = time.monotonic() + START_DEADLINE_SECONDS
    while time.monotonic() < deadline:
        if os.path.exists(os.path.join(directory, "port")):
            print(f"http server {child.pid} listening, state in {directory}")
            return 0
        if child.poll() is not None:
            break
        time.sleep(0.05)
    with open(os.path.join(directory, "server.log"), encoding="utf-8") as log:
        sys.stderr.write(log.read())
    sys.stderr.write("http server did not start\n")
    child.kill()
    return 1


def main(argv):
    commands = {"start": start, "stop": stop, "serve": serve}
    if len(argv) != 3 or argv[1] not in commands:
        sys.stderr.write(__doc__)
        return 2
    return commands[argv[1]](argv[2]) or 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
