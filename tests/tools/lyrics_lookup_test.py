"""lyrics-lookup against the services' stand-in (tools/lyrics-stub): one JSON
line a lookup, null for nothing, exit 2 for bad arguments, and the content
policy and endpoints read as the deck reads them.

usage: lyrics_lookup_test.py LYRICS_LOOKUP [--sanitizer=...]
"""
import json
import os
import subprocess
import sys
import tempfile
import unittest
import urllib.request

TOOL = None
STUB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "lyrics-stub", "lyrics_stub.py")


def fixture(name):
    with open(os.path.join(os.path.dirname(STUB), "fixtures", name), encoding="utf-8") as f:
        return json.load(f)


class LyricsLookupTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.stub = subprocess.Popen(["/usr/bin/python3", STUB], stdout=subprocess.PIPE)
        cls.origin = "http://127.0.0.1:%d" % int(cls.stub.stdout.readline())
        cls.folder = tempfile.TemporaryDirectory()

    @classmethod
    def tearDownClass(cls):
        cls.stub.terminate()
        cls.stub.wait(30)
        cls.stub.stdout.close()
        cls.folder.cleanup()

    def environment(self, licensed=False):
        info = os.path.join(self.folder.name, "Info.json")
        with open(info, "w") as f:
            json.dump({"VeltraneLicensedMusicContent": licensed}, f)
        keys = ["lrclib", "qqSearch", "qqApi", "qqSite", "catalog", "qqImage"]
        return dict(os.environ, VELTRANE_INFO_FILE=info,
                    VELTRANE_LYRICS_ENDPOINTS=json.dumps({k: self.origin for k in keys}))

    def stub_log(self):
        with urllib.request.urlopen(self.origin + "/_stub/log", timeout=30) as reply:
            return [entry["path"] for entry in json.load(reply)]

    def reset_log(self):
        urllib.request.urlopen(urllib.request.Request(self.origin + "/_stub/reset", data=b"", method="POST"), timeout=30)

    def lookup(self, *arguments, licensed=False):
        result = subprocess.run([TOOL, *arguments], capture_output=True, env=self.environment(licensed), timeout=60)
        return result.returncode, result.stdout.decode(), result.stderr.decode()

    def test_each_lookup_prints_one_json_line(self):
        cover = self.origin + "/image/cover.jpg"
        cases = [
            (["lrclib", "--title", "Track One", "--artist", "Alpha", "--duration", "215.5"],
             {"provider": "lrclib", "synced": True, "plain": "First line\nSecond line\nThird line",
              "lines": [{"t": 1, "text": "First line"}, {"t": 4.5, "text": "Second line"},
                        {"t": 8, "text": "Third line"}]}),
            (["qq-lyric", "--song-mid", "tags"],
             {"provider": "qqmusic", "synced": False, "lines": [], "plain": "此歌曲为没有填词的纯音乐，请您欣赏"}),
            (["qq-lyric", "--song-mid", "blocked"], None),
            (["qq-track", "--title", "Qing Tian", "--artist", "Zhou", "--duration", "271"],
             {"title": "Qing Tian", "artist": "Zhou", "album": "Ye Hui Mei", "duration": 270, "songMid": "003bbb",
              "albumMid": "000MkMni19ClKG"}),
            (["qq-album", "--song-mid", "005ddd"], "003RMaRI1iFoYd"),
            (["catalog", "--title", "Track One", "--artist", "Alpha", "--duration", "215", "--album", "Demo"],
             [{"title": "Track One", "artist": "Alpha", "album": "Demo", "duration": 215.3, "artworkURL": cover},
              {"title": "Track One (Remix)", "artist": "Alpha & Beta", "duration": 216,
               "artworkURL": self.origin + "/image/cover.png"}]),
            (["catalog", "--country", "-"], []),
            (["get", self.origin + "/splcloud/fcgi-bin/smartbox_new.fcg", "--referer", "x", "--timeout", "1"],
             fixture("qq_smartbox.json")),
            (["get", self.origin + "/nothing/here"], None),
            (["download", cover, "--timeout", "5"],
             {"bytes": 236, "sha256": "94392ad995eae6dcc8a02e268704c1f4dcfbbc66ee94d4578cb822c7acff4205"}),
            (["download", "file:///etc/hostname"], None),
        ]
        for arguments, expected in cases:
            with self.subTest(arguments=arguments):
                status, out, err = self.lookup(*arguments)
                self.assertEqual(status, 0, err)
                self.assertEqual(out.count("\n"), 1)
                self.assertEqual(json.loads(out), expected)

    def test_catalog_countries_in_order_default_tw(self):
        self.reset_log()
        self.lookup("catalog", "--title", "T")
        self.lookup("catalog", "--title", "T", "--country", "us", "--country", "-")
        with urllib.request.urlopen(self.origin + "/_stub/log", timeout=30) as reply:
            countries = [dict(e["query"]).get("country") for e in json.load(reply)]
        self.assertEqual(countries, ["tw", "us", None])

    def test_policy_off_asks_qq_nothing(self):
        self.reset_log()
        for arguments in (["qq-lyric", "--song-mid", "plain"], ["qq-track", "--title", "Qing Tian"],
                          ["qq-album", "--song-mid", "005ddd"]):
            with self.subTest(arguments=arguments):
                self.assertEqual(self.lookup(*arguments, licensed=True)[:2], (0, "null\n"))
        self.assertEqual(self.stub_log(), [])

    def test_bad_arguments_exit_2(self):
        for arguments in ([], ["nonsense"], ["lrclib", "--duration", "abc"], ["lrclib", "--referer", "x"],
                          ["get"], ["get", "u", "v"], ["get", "u", "--timeout", "0"], ["lrclib", "--title"],
                          ["qq-lyric", "--title", "x"], ["lrclib", "--title", "a", "--title", "b"]):
            with self.subTest(arguments=arguments):
                status, out, err = self.lookup(*arguments)
                self.assertEqual(status, 2)
                self.assertEqual(out, "")
                self.assertIn("usage:", err)
        env = self.environment()
        env["VELTRANE_LYRICS_ENDPOINTS"] = '{"lrclib": "file:///tmp"}'
        result = subprocess.run([TOOL, "lrclib", "--title", "x"], capture_output=True, env=env, timeout=60)
        self.assertEqual(result.returncode, 2)
        self.assertIn("VELTRANE_LYRICS_ENDPOINTS", result.stderr.decode())


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    if len(sys.argv) > 1 and sys.argv[1].startswith("--sanitizer="):
        sys.argv.pop(1)
    unittest.main(verbosity=2)
