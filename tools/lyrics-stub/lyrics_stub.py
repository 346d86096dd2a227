#!/usr/bin/python3
"""A stand-in for the lyric, search and catalog services, on loopback.

    lyrics_stub.py [--routes FILE] [--log FILE]    serve the routes
    lyrics_stub.py --black-hole                    accept connections, never answer

Prints the port it listens on (127.0.0.1, chosen by the system) as the first
line of its standard output, then serves until it is terminated.

Routes are a JSON list of rules, the first that matches answers:
  {"path": "/api/get", "query": {"track_name": "Song"},   # query: a subset, optional
   "status": 200, "file": "lrclib_record.json"}           # or "body": text, "json": value
optional in a rule: "contentType", "delay" (seconds), "gzip": true, "pad"
(spaces appended up to that many bytes),
"location" (sets the Location header), "never": true (holds the request
until the client gives up). "{stub}" in an answer becomes the stub's origin. "file" names a file beside the routes file (in
fixtures/ by default). Nothing matches: 404 with an empty body.

Every request to a service path is logged as one JSON line (to --log, and in
memory): {"path", "query": [[name, value], ...] in order, decoded as the
services decode them ("+" is a space), "target" (as sent), "headers":
[[name, value], ...]}. The control paths are not logged:
  GET /_stub/log      the log as a JSON list
  POST /_stub/routes  replace the routes with the JSON list in the body
  POST /_stub/reset   empty the log
"""
import argparse
import gzip
import json
import os
import socket
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))


class Stub:
    def __init__(self, routes, base, log_path):
        self.lock = threading.Lock()
        self.routes = routes
        self.base = base
        self.log = []
        self.log_file = open(log_path, "a", encoding="utf-8") if log_path else None
        self.stopping = threading.Event()

    def record(self, entry):
        with self.lock:
            self.log.append(entry)
            if self.log_file:
                self.log_file.write(json.dumps(entry, ensure_ascii=False) + "\n")
                self.log_file.flush()

    def match(self, path, query):
        with self.lock:
            routes = list(self.routes)
        items = dict(query)
        for rule in routes:
            if rule.get("path") != path:
                continue
            wanted = rule.get("query", {})
            if all(items.get(k) == v for k, v in wanted.items()):
                return rule
        return None


def decoded_query(raw):
    items = []
    for piece in raw.split("&") if raw else []:
        name, _, value = piece.partition("=")
        items.append([urllib.parse.unquote_plus(name), urllib.parse.unquote_plus(value)])
    return items


def make_handler(stub):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *_):
            pass

        def send(self, status, body, content_type="application/json", extra=()):
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            for name, value in extra:
                self.send_header(name, value)
            self.end_headers()
            self.wfile.write(body)
            self.close_connection = True

        def do_POST(self):
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length)
            if self.path == "/_stub/routes":
                try:
                    routes = json.loads(body)
                    assert isinstance(routes, list)
                except (ValueError, AssertionError):
                    return self.send(400, b'{"error":"routes must be a JSON list"}')
                with stub.lock:
                    stub.routes = routes
                return self.send(200, b"{}")
            if self.path == "/_stub/reset":
                with stub.lock:
                    stub.log = []
                return self.send(200, b"{}")
            self.send(404, b"")

        def do_GET(self):
            path, _, raw = self.path.partition("?")
            if path == "/_stub/log":
                with stub.lock:
                    text = json.dumps(stub.log, ensure_ascii=False)
                return self.send(200, text.encode())
            query = decoded_query(raw)
            stub.record({"path": urllib.parse.unquote(path), "query": query, "target": self.path,
                         "headers": [[k, v] for k, v in self.headers.items()]})
            rule = stub.match(urllib.parse.unquote(path), query)
            if rule is None:
                return self.send(404, b"")
            if rule.get("never"):
                stub.stopping.wait(120)
                self.close_connection = True
                return
            if rule.get("delay"):
                time.sleep(float(rule["delay"]))
            if "file" in rule:
                with open(os.path.join(stub.base, rule["file"]), "rb") as f:
                    body = f.read()
            elif "json" in rule:
                body = json.dumps(rule["json"], ensure_ascii=False).encode()
            else:
                body = rule.get("body", "").encode()
            # Answers that point back at the stub (cover addresses) say "{stub}".
            body = body.replace(b"{stub}", f"http://127.0.0.1:{self.server.server_address[1]}".encode())
            if len(body) < int(rule.get("pad", 0)):
                body += b" " * (int(rule["pad"]) - len(body))
            extra = []
            if rule.get("gzip"):
                body = gzip.compress(body)
                extra.append(("Content-Encoding", "gzip"))
            if "location" in rule:
                extra.append(("Location", rule["location"]))
            self.send(int(rule.get("status", 200)), body, rule.get("contentType", "application/json"), extra)

    return Handler


def black_hole():
    # The kernel completes connections into the backlog; nobody reads them.
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1024)
    print(listener.getsockname()[1], flush=True)
    threading.Event().wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--routes", default=os.path.join(HERE, "fixtures", "routes.json"))
    parser.add_argument("--log")
    parser.add_argument("--black-hole", action="store_true")
    args = parser.parse_args()
    if args.black_hole:
        return black_hole()
    try:
        with open(args.routes, encoding="utf-8") as f:
            routes = json.load(f)
    except (OSError, ValueError) as error:
        print(f"lyrics-stub: cannot read routes {args.routes}: {error}", file=sys.stderr)
        return 2
    stub = Stub(routes, os.path.dirname(os.path.abspath(args.routes)), args.log)
    # Many lookups connect at once: a listen backlog of 5 would drop their SYNs.
    ThreadingHTTPServer.request_queue_size = 1024
    server = ThreadingHTTPServer(("127.0.0.1", 0), make_handler(stub))
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        stub.stopping.set()
    return 0


if __name__ == "__main__":
    sys.exit(main())
