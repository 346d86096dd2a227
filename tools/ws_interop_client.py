#!/usr/bin/env python3
"""A WebSocket client nobody here wrote (python3-websockets) against our server.

Usage: ws_interop_client.py ws://127.0.0.1:PORT/ws
Sends a text and expects it echoed, pings with b"xy" and expects the matching
pong, then closes normally. Prints one line per step; exits 0 only when all
of them held.
"""
import asyncio
import sys

import websockets


async def main(url: str) -> int:
    async with websockets.connect(url, ping_interval=None, open_timeout=20, close_timeout=20) as ws:
        text = "héllo / ✓"
        await ws.send(text)
        echoed = await asyncio.wait_for(ws.recv(), 20)
        print("echo:" + ("ok" if echoed == text else "wrong " + repr(echoed)))
        pong = await ws.ping(b"xy")
        await asyncio.wait_for(pong, 20)
        print("pong:xy")
        await ws.close()
        print("close:%s" % ws.close_code)
        return 0 if echoed == text and ws.close_code == 1000 else 1


if __name__ == "__main__":
    sys.exit(asyncio.run(main(sys.argv[1])))
