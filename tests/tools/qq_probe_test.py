"""qq-probe against archives written by Python's plistlib (and their XML form
from plistutil) read by an independent reader, a GTK window on Xvfb through a
private accessibility bus, and a stub image server.

usage: qq_probe_test.py [--sanitizer=NAME] QQ_PROBE
"""
import ctypes
import errno
import json
import os
import re
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qq_archive  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
STUB = os.path.join(ROOT, "tools", "lyrics-stub", "lyrics_stub.py")
WINDOW = os.path.join(HERE, "qq_player_window.py")
TOOL = None
SANITIZED = False
QQ_BUNDLE = "com.tencent.QQMusicMac"


def probe(*args, timeout=60, env=None):
    return subprocess.run([TOOL, *args], capture_output=True, timeout=timeout, env=env)


def lines(output):
    return [json.loads(line) for line in output.decode().splitlines()]


class PlayQueueTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.folder.cleanup()

    def path(self, name):
        return os.path.join(self.folder.name, name)

    def test_binary_and_xml_read_alike_and_as_the_reference_reads(self):
        items, top = qq_archive.queue_objects(60)
        binary, xml = self.path("queue.archive"), self.path("queue.xml")
        qq_archive.write_archive(binary, items, top)
        subprocess.run(["plistutil", "-i", binary, "-o", xml, "-f", "xml"], check=True, timeout=60)
        with open(xml, encoding="utf-8") as f:
            self.assertIn("CF$UID", f.read())
        from_binary, from_xml = probe("play-queue", binary), probe("play-queue", xml)
        self.assertEqual(from_binary.returncode, 0, from_binary.stderr)
        self.assertEqual(from_xml.returncode, 0, from_xml.stderr)
        self.assertEqual(from_binary.stdout, from_xml.stdout)
        expected = qq_archive.read_archive(binary)
        # The variations are all there: skipped titles, every duration form.
        self.assertLess(len(expected), 60)
        self.assertTrue(any(e["duration"] % 1 == 0.5 for e in expected))
        self.assertTrue(any(" / " in e["artist"] for e in expected))
        self.assertTrue(any(e["songMid"] is None for e in expected))
        self.assertEqual(lines(from_binary.stdout), expected)
        self.assertEqual(list(lines(from_binary.stdout)[0]), ["title", "artist", "album", "duration", "songMid",
                                                             "albumMid"])

    def test_a_self_naming_array_ends_quickly_and_small(self):
        uid = qq_archive.UID
        items = ["$null", {"songName": uid(2), "song_Mid": uid(3), "singerList": uid(4)}, "Title", "mid",
                 {"NS.objects": [uid(4)] * 1000, "$class": uid(5)}, {"$classname": "NSArray"}]
        archive = self.path("self.archive")
        qq_archive.write_archive(archive, items, uid(1))
        self.assertLess(os.path.getsize(archive), 4096)
        started = time.monotonic()
        result = subprocess.run(["/usr/bin/time", "-v", TOOL, "play-queue", archive], capture_output=True,
                                timeout=60)
        elapsed = time.monotonic() - started
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, b"", "past the budget the queue is empty")
        if not SANITIZED:
            rss = int(re.search(rb"Maximum resident set size \(kbytes\): (\d+)", result.stderr).group(1))
            self.assertLess(elapsed, 2.0)
            self.assertLess(rss, 100 * 1024)

    def test_shared_binary_objects_are_refused_before_expanding(self):
        # Four levels of a list naming the next 100 times: 100 million values.
        nested = ["leaf"]
        for _ in range(4):
            nested = [nested] * 100
        archive = self.path("bomb.archive")
        qq_archive.write_archive(archive, nested, qq_archive.UID(0))
        result = probe("play-queue", archive, timeout=30)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"no play-queue archive", result.stderr)

    def test_what_is_no_archive(self):
        cases = {"text": b"not a property list", "no objects": None, "large": b"<" * (32 * 1024 * 1024 + 1)}
        for name, data in cases.items():
            with self.subTest(name):
                path = self.path(name)
                if data is None:
                    qq_archive.write_archive(path, {"x": 1}, qq_archive.UID(0))
                    with open(path, "rb") as f:
                        import plistlib
                        archive = plistlib.load(f)
                    del archive["$objects"]
                    with open(path, "wb") as f:
                        plistlib.dump(archive, f, fmt=plistlib.FMT_BINARY)
                else:
                    with open(path, "wb") as f:
                        f.write(data)
                result = probe("play-queue", path)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, b"")
        self.assertEqual(probe("play-queue", self.path("missing")).returncode, 1)


def png(width, height):
    """An RGB PNG with a gradient, so its JPEG is not trivially small."""
    rows = b"".join(b"\0" + bytes((x * 7 + y * 3) % 256 for x in range(width) for _ in range(3))
                    for y in range(height))
    chunk = lambda kind, data: (struct.pack(">I", len(data)) + kind + data +  # noqa: E731
                                struct.pack(">I", zlib.crc32(kind + data)))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows, 6)) + chunk(b"IEND", b""))


class CoverTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        with open(os.path.join(cls.folder.name, "big.png"), "wb") as f:
            f.write(png(1200, 800))
        routes = [{"path": "/music/photo_new/T002R300x300M000abc.jpg", "file": "big.png", "contentType": "image/png"},
                  {"path": "/music/photo_new/T002R300x300M000gone.jpg", "status": 404, "file": "big.png"}]
        with open(os.path.join(cls.folder.name, "routes.json"), "w") as f:
            json.dump(routes, f)
        cls.stub = subprocess.Popen(["/usr/bin/python3", STUB, "--routes", os.path.join(cls.folder.name, "routes.json")],
                                    stdout=subprocess.PIPE)
        cls.origin = "http://127.0.0.1:" + cls.stub.stdout.readline().decode().strip()

    @classmethod
    def tearDownClass(cls):
        cls.stub.terminate()
        cls.stub.wait(timeout=30)
        cls.stub.stdout.close()
        cls.folder.cleanup()

    def requests(self):
        with urllib.request.urlopen(self.origin + "/_stub/log", timeout=10) as answer:
            return [entry["path"] for entry in json.load(answer)]

    def reset(self):
        urllib.request.urlopen(urllib.request.Request(self.origin + "/_stub/reset", data=b"", method="POST"),
                               timeout=10).read()

    def test_a_large_png_comes_back_as_a_small_jpeg(self):
        self.reset()
        result = probe("cover", "abc_def", "--image-host", self.origin)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.requests(), ["/music/photo_new/T002R300x300M000abc.jpg"])
        jpeg = result.stdout
        self.assertEqual(jpeg[:2], b"\xff\xd8")
        self.assertLess(len(jpeg), 220_000)
        out = os.path.join(self.folder.name, "out.jpg")
        with open(out, "wb") as f:
            f.write(jpeg)
        size = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                               "stream=width,height", "-of", "csv=p=0", out], capture_output=True, check=True,
                              timeout=60).stdout.decode().strip()
        self.assertEqual(size, "600,600")

    def test_unsafe_ids_and_missing_covers_give_nothing(self):
        for album in ["../x", "$null", " ", "a/b", "ab%2F", "abc?x", "gone"]:
            with self.subTest(album):
                self.reset()
                result = probe("cover", album, "--image-host", self.origin)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, b"")
                expected = ["/music/photo_new/T002R300x300M000gone.jpg"] if album == "gone" else []
                self.assertEqual(self.requests(), expected)


def free_display_server(runtime):
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "640x480x24", "-nolisten", "tcp"],
                              pass_fds=[write], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as f:
        number = f.readline().strip()
    return server, ":" + number


class WindowTest(unittest.TestCase):
    """The reading of a GTK window through a private session and accessibility bus."""

    def setUp(self):
        # Our descendants that their parents leave (the registry daemon) come
        # back to us, to be reaped.
        libc = ctypes.CDLL(None, use_errno=True)
        self.assertEqual(libc.prctl(36, 1, 0, 0, 0), 0)  # PR_SET_CHILD_SUBREAPER
        self.folder = tempfile.TemporaryDirectory()
        self.processes = []
        bus = self.start(["dbus-daemon", "--session", "--nofork", "--print-address=1"], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
        address = bus.stdout.readline().decode().strip()
        self.env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address, XDG_RUNTIME_DIR=self.folder.name)
        if SANITIZED:
            # Full stacks for allocations: GLib has no frame pointers, and the
            # tree's suppression of libatspi's lasting caches must see it.
            self.env["ASAN_OPTIONS"] = "fast_unwind_on_malloc=0"
        self.env.pop("AT_SPI_BUS_ADDRESS", None)
        self.start(["/usr/libexec/at-spi-bus-launcher"], env=self.env, stderr=subprocess.DEVNULL)
        self.wait_for(lambda: b"boolean true" in subprocess.run(
            ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
             "org.freedesktop.DBus.NameHasOwner", "string:org.a11y.Bus"], env=self.env, capture_output=True).stdout)
        xvfb, display = free_display_server(self.folder.name)
        self.processes.append(xvfb)
        self.window = self.start(["/usr/bin/python3", WINDOW, QQ_BUNDLE, "desc:上一首", "desc:歌曲名：晴天 - 歌手名：周杰伦",
                                  "desc:暂停", "name:取消喜欢"],
                                 env=dict(self.env, DISPLAY=display), stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.assertEqual(self.window.stdout.readline(), b"ready\n")

    def tearDown(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            for stream in (process.stdin, process.stdout):
                if stream:
                    stream.close()
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                pid, _ = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                break
            if pid == 0:
                time.sleep(0.05)
        self.folder.cleanup()

    def start(self, command, **options):
        process = subprocess.Popen(command, **options)
        self.processes.append(process)
        return process

    def wait_for(self, condition, seconds=20):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            value = condition()
            if value:
                return value
            time.sleep(0.1)
        self.fail("not within %s s" % seconds)

    def reading(self):
        result = probe("window", str(self.window.pid), timeout=30, env=self.env)
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout)

    def change(self, *items):
        self.window.stdin.write(("\t".join(items) + "\n").encode())
        self.window.stdin.flush()
        self.assertEqual(self.window.stdout.readline(), b"ready\n")

    def test_reads_song_play_state_and_favourite(self):
        # The window registers with the registry shortly after it shows.
        first = self.wait_for(self.reading)
        self.assertEqual(first, {"title": "晴天", "artist": "周杰伦", "isPlaying": True, "liked": True})

        self.change("desc:歌曲名：晴天 - 歌手名：周杰伦", "desc:播放", "name:喜欢")
        paused = self.wait_for(lambda: (lambda r: r if r and not r["isPlaying"] else None)(self.reading()))
        self.assertEqual(paused, {"title": "晴天", "artist": "周杰伦", "isPlaying": False, "liked": False})

        self.change("desc:歌曲名：晴天 - 歌手名：周杰伦", "name:取消喜欢")
        self.wait_for(lambda: self.reading() is None)


if __name__ == "__main__":
    SANITIZED = len(sys.argv) > 1 and sys.argv[1].startswith("--sanitizer=") and sys.argv.pop(1) != "--sanitizer="
    TOOL = sys.argv.pop(1)
    unittest.main()
