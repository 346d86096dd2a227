#!/usr/bin/python3
"""WebSocket peers for tests, on the python3-websockets package (Debian).

Runs the steps given on the command line in order, over any number of named
sockets to --url, and prints one JSON line per thing it observes:

  open:<name>[:<bearer>]   connect, with "Authorization: Bearer <bearer>" when given
                           -> {"event":"open","socket":name}
  <name>:send:<text>       send one text frame
  <name>:recv              wait for the next message -> {"event":"message","socket":name,"text":...}
  <name>:until:<text>      print messages until one contains <text>
  <name>:close             print messages until the server closes the socket
  http:<METHOD> <path> [<bearer>|-] [<body>]
                           one HTTP request to the same host -> {"event":"http","status":N,"body":...}

A socket the server closes prints {"event":"closed","socket":name,"code":N};
later steps on it are skipped. Every wait is guarded by --timeout, after which
{"event":"timeout"} is printed and the run ends, so a run never hangs.
"""

import argparse
import asyncio
import http.client
import json
import sys
from urllib.parse import urlparse

import websockets


def emit(**fields):
    sys.stdout.write(json.dumps(fields, sort_keys=True) + "\n")
    sys.stdout.flush()


def http_request(url, words):
    method, path = words[0], words[1]
    token = words[2] if len(words) > 2 and words[2] != "-" else None
    body = " ".join(words[3:]).encode() if len(words) > 3 else (b"" if method != "GET" else None)
    parts = urlparse(url)
    connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=30)
    headers = {"Authorization": "Bearer " + token} if token else {}
    connection.request(method, path, body=body, headers=headers)
    response = connection.getresponse()
    emit(event="http", status=response.status, body=response.read().decode("utf-8", "replace"))
    connection.close()


async def run(args):
    sockets = {}
    closed = set()
    try:
        for step in args.steps:
            if step.startswith("open:"):
                parts = step.split(":", 2)
                headers = [("Authorization", "Bearer " + parts[2])] if len(parts) > 2 else []
                sockets[parts[1]] = await websockets.connect(args.url, extra_headers=headers, ping_interval=None,
                                                             open_timeout=args.timeout, max_size=None)
                emit(event="open", socket=parts[1])
                continue
            if step.startswith("http:"):
                await asyncio.get_running_loop().run_in_executor(None, http_request, args.url,
                                                                 step[len("http:"):].split(" "))
                continue
            name, action = step.split(":", 1)
            if name in closed:
                continue
            ws = sockets[name]
            try:
                if action.startswith("send:"):
                    await ws.send(action[len("send:"):])
                elif action == "recv":
                    emit(event="message", socket=name, text=await asyncio.wait_for(ws.recv(), args.timeout))
                elif action.startswith("until:"):
                    while True:
                        text = await asyncio.wait_for(ws.recv(), args.timeout)
                        emit(event="message", socket=name, text=text)
                        if action[len("until:"):] in text:
                            break
                elif action == "close":
                    while True:
                        emit(event="message", socket=name, text=await asyncio.wait_for(ws.recv(), args.timeout))
                else:
                    raise SystemExit("unknown step " + step)
            except websockets.ConnectionClosed:
                closed.add(name)
                emit(event="closed", socket=name, code=ws.close_code)
    except asyncio.TimeoutError:
        emit(event="timeout")
    finally:
        for ws in sockets.values():
            await ws.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--url", required=True)
    parser.add_argument("--timeout", type=float, default=30)
    parser.add_argument("steps", nargs="*")
    asyncio.run(run(parser.parse_args()))


if __name__ == "__main__":
    main()
