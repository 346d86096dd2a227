"""lrc-parse against the independent reader on a generated corpus, the
rules' own examples, the hostile line and the command's errors.

usage: lrc_parse_test.py LRC_PARSE
"""
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lrc_corpus  # noqa: E402
import lrc_reference  # noqa: E402

TOOL = None
SANITIZED = False
TIME = "/usr/bin/time"


def run(args, stdin=None):
    return subprocess.run([TOOL] + args, input=stdin, capture_output=True, timeout=120)


class LrcParseTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.folder.cleanup()

    def write(self, name, data):
        path = os.path.join(self.folder.name, name)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("utf-8"))
        return path

    def assertSameLines(self, ours, reference, where):
        self.assertEqual(len(ours), len(reference), where)
        for i, (line, (t, text)) in enumerate(zip(ours, reference)):
            self.assertLess(abs(line["t"] - t), 1e-9, "%s line %d" % (where, i))
            self.assertEqual(line["text"], text, "%s line %d" % (where, i))

    def test_generated_corpus_matches_the_independent_reader(self):
        songs = lrc_corpus.corpus(seed=18, total_bytes=1_500_000)
        paths = [self.write("song%04d.lrc" % i, text) for i, text in enumerate(songs)]
        playheads = ["-1", "0", "7.5", "65", "250", "6100"]
        args = []
        for at in playheads:
            args += ["--at", at]
        result = run(args + paths)
        self.assertEqual(result.returncode, 0, result.stderr)
        outputs = result.stdout.decode("utf-8").splitlines()
        self.assertEqual(len(outputs), len(paths))
        features = {"crlf": 0, "offset": 0, "multi": 0, "unsorted": 0}
        for path, text, output in zip(paths, songs, outputs):
            record = json.loads(output)
            self.assertEqual(record["file"], path)
            reference = lrc_reference.parse(text)
            self.assertSameLines(record["lines"], reference, path)
            for entry, at in zip(record["clock"], playheads):
                index, current = lrc_reference.clock(reference, float(at))
                self.assertEqual((entry["at"], entry["index"], entry["text"]), (float(at), index, current), path)
            features["crlf"] += "\r\n" in text
            features["offset"] += bool(re.search(r"(?i)\[offset", text))
            features["multi"] += bool(re.search(r"\]\[[0-9]", text))
            stamped = [float(m.group(1)) * 60 + float(m.group(2))
                       for m in re.finditer(r"^\s*\[([0-9]{2}):([0-9]{2})", text, re.M)]
            features["unsorted"] += stamped != sorted(stamped)
        self.assertGreater(features["crlf"], len(songs) // 5)
        self.assertGreater(features["offset"], len(songs) // 3)
        self.assertGreater(features["multi"], len(songs) // 2)
        self.assertGreater(features["unsorted"], len(songs) // 10)

    def test_the_rules_examples(self):
        cases = [
            ("[00:12.34]Hello", [(12.34, "Hello")]),
            ("[01:02.5]x", [(62.5, "x")]),
            ("[00:01.005]x", [(1.005, "x")]),
            ("[00:01:50]x", [(1.5, "x")]),
            ("[00:01.00][00:05.00]Chorus", [(1.0, "Chorus"), (5.0, "Chorus")]),
            ("[00:10.00]", [(10.0, "")]),
            ("[ti:name]\nplain", []),
            ("", []),
            ("[offset:+500]\n[00:01]a", [(1.5, "a")]),
            ("[00:01]a\n[offset:+500]", [(1.5, "a")]),
            ("[OFFSET: -2000]\n[00:01.50]a", [(0.0, "a")]),
            ("[offset:100]\n[offset:-100]\n[00:01]a", [(0.9, "a")]),
            ("[00:05]b\n[00:01]a\n[00:05]c", [(1.0, "a"), (5.0, "b"), (5.0, "c")]),
        ]
        paths = [self.write("case%d.lrc" % i, text) for i, (text, _) in enumerate(cases)]
        result = run(paths)
        self.assertEqual(result.returncode, 0, result.stderr)
        for (text, expected), output in zip(cases, result.stdout.decode().splitlines()):
            lines = json.loads(output)["lines"]
            self.assertSameLines(lines, expected, text)
            self.assertSameLines(lines, lrc_reference.parse(text), text)
        crlf = self.write("crlf.lrc", "[ar:x]\r\n[00:01]a\r\n[00:02][00:03]b\r\n")
        lf = self.write("lf.lrc", "[ar:x]\n[00:01]a\n[00:02][00:03]b\n")
        both = run([crlf, lf]).stdout.decode().splitlines()
        self.assertEqual(json.loads(both[0])["lines"], json.loads(both[1])["lines"])

    def test_invalid_utf8_reads_as_replacement_characters(self):
        data = b"[00:01]caf\xc3\n[00:02]\xff\xfeok\n"
        result = run(["-"], stdin=data)
        self.assertEqual(result.returncode, 0)
        lines = json.loads(result.stdout)["lines"]
        self.assertSameLines(lines, lrc_reference.parse(data.decode("utf-8", errors="replace")), "stdin")
        self.assertEqual(lines[0]["text"], "caf\ufffd")
        self.assertEqual(json.loads(result.stdout)["file"], "-")

    def test_unreadable_files_and_bad_arguments(self):
        good = self.write("good.lrc", "[00:01]a")
        missing = os.path.join(self.folder.name, "missing.lrc")
        result = run([missing, good, self.folder.name])
        self.assertEqual(result.returncode, 1)
        self.assertIn(("lrc-parse: cannot read %s" % missing).encode(), result.stderr)
        self.assertIn(("lrc-parse: cannot read %s" % self.folder.name).encode(), result.stderr)
        outputs = result.stdout.decode().splitlines()
        self.assertEqual([json.loads(o)["file"] for o in outputs], [good])
        for args in ([], ["--at"], ["--at", "soon", good], ["--bogus", good], ["--at", "1"]):
            result = run(args)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn(b"usage: lrc-parse", result.stderr, args)

    def test_hostile_line_costs_bounded_memory(self):
        hostile = self.write("hostile.lrc", "[00:01]" * 50_000 + "x" * 650_000 + "\n")
        result = subprocess.run([TIME, "-v", TOOL, hostile], capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])
        rss_kib = int(re.search(rb"Maximum resident set size \(kbytes\): (\d+)", result.stderr).group(1))
        if not SANITIZED:
            self.assertLess(rss_kib, 256 * 1024)
        lines = json.loads(result.stdout)["lines"]
        self.assertGreater(len(lines), 0)
        self.assertTrue(all(line["text"] == "x" * 650_000 for line in lines))

        rng = random.Random(5)
        text = "".join("".join("[%02d:%02d.%02d]" % (rng.randint(0, 5), rng.randint(0, 59), rng.randint(0, 99))
                               for _ in range(10)) + "line %d\n" % i for i in range(200))
        result = run([self.write("many.lrc", text)])
        self.assertEqual(len(json.loads(result.stdout)["lines"]), 2000)


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    # Under a sanitizer the shadow memory is not the tool's: its peak is not measured against the limit.
    SANITIZED = len(sys.argv) > 1 and sys.argv[1].startswith("--sanitizer=") and sys.argv.pop(1) != "--sanitizer="
    unittest.main(verbosity=2)
