"""Generated LRC files for the lyrics parser's tests and benchmark.

Songs mix what real files carry and what careless ones do: tags, offsets in
any case, spacing and place, several stamps a line, "." and ":" fractions of
one to three digits, seconds above 59, three-digit minutes, stamps after
text, Unicode spaces, unsorted lines, CRLF line ends, stray carriage returns
and malformed stamps.
"""
import random

LATIN_WORDS = ["love", "night", "rain", "city", "light", "heart", "road", "home", "dream", "fire",
               "don't", "stay", "fall", "sky", "we", "run", "away", "(live)", "oh", "yeah"]
CJK_CHARS = "晴天雨夜風花雪月愛你我他的心在城市光影夢想回家路走遠方時間歌聲"
SPACES = [" ", "\t", "\u3000", "\u00a0", "\u2003", "  "]


def _text(rng):
    roll = rng.random()
    if roll < 0.08:
        return ""
    if roll < 0.45:
        return "".join(rng.choice(CJK_CHARS) for _ in range(rng.randint(3, 14)))
    words = [rng.choice(LATIN_WORDS) for _ in range(rng.randint(2, 9))]
    if rng.random() < 0.1:
        words.insert(rng.randint(0, len(words)), "[sic]")
    return " ".join(words)


def _stamp(rng, seconds):
    minutes, rest = divmod(seconds, 60)
    if rng.random() < 0.05:  # seconds above 59
        minutes, rest = max(0, minutes - 1), rest + 60 if minutes > 0 else rest
    whole = int(rest)
    width = rng.choice([1, 2, 2, 2, 3]) if minutes < 10 else (3 if minutes >= 100 else rng.choice([2, 3]))
    text = "[" + str(int(minutes)).zfill(width) + ":" + str(whole).zfill(2)
    kind = rng.random()
    if kind < 0.12:
        return text + "]"
    digits = rng.choice([1, 2, 2, 2, 3])
    fraction = int((rest - whole) * 10 ** digits)
    return text + rng.choice([".", ".", ".", ":"]) + str(fraction).zfill(digits) + "]"


def _offset(rng):
    name = rng.choice(["offset", "OFFSET", "Offset", "oFfSeT"])
    value = rng.choice(["+", "-", ""]) + str(rng.randint(0, 3000))
    return "[" + name + rng.choice(["", " ", "\t", "\u3000"]) + ":" + rng.choice(["", " ", "  "]) + value + "]"


def _malformed(rng):
    return rng.choice(["[0000:01]", "[00:1]", "[00:01.1234]", "[00:01.]", "[:01]", "[00:012]", "[ 00:01]"])


def song(rng):
    lines = []
    for tag in ("ti", "ar", "al", "by"):
        if rng.random() < 0.7:
            lines.append("[%s:%s]" % (tag, _text(rng)))
    seconds = rng.uniform(0, 5)
    long_song = rng.random() < 0.05
    if long_song:
        seconds += 6000  # three-digit minutes
    body = []
    for _ in range(rng.randint(40, 80)):
        seconds += rng.uniform(0.5, 6)
        stamps = [_stamp(rng, seconds)]
        if rng.random() < 0.1:
            for _ in range(rng.randint(1, 3)):
                stamps.append(_stamp(rng, seconds + rng.uniform(30, 120)))
        text = _text(rng)
        roll = rng.random()
        if roll < 0.04:
            line = text + " " + "".join(stamps) + _text(rng)  # stamps after text
        elif roll < 0.07 and len(stamps) > 1:
            line = stamps[0] + "between" + "".join(stamps[1:]) + text
        elif roll < 0.09:
            line = _malformed(rng) + text
        else:
            line = "".join(stamps) + text
        if rng.random() < 0.15:
            line = rng.choice(SPACES) + line + rng.choice(SPACES)
        if rng.random() < 0.01:
            cut = rng.randint(0, len(line))
            line = line[:cut] + "\r" + line[cut:]
        body.append(line)
    if rng.random() < 0.2:  # unsorted: a block moved elsewhere
        start = rng.randint(0, len(body) - 5)
        block = body[start:start + 5]
        del body[start:start + 5]
        at = rng.randint(0, len(body))
        body[at:at] = block
    lines += body
    for _ in range(rng.choice([0, 0, 1, 1, 2])):
        tag = _offset(rng)
        where = rng.random()
        if where < 0.15 and lines:  # inside a stamped line: the line is an offset tag then
            at = rng.randrange(len(lines))
            lines[at] = lines[at] + tag
        else:
            lines.insert(rng.randint(0, len(lines)), tag)
    if rng.random() < 0.1:
        lines.insert(rng.randint(0, len(lines)), "")
    newline = "\r\n" if rng.random() < 0.3 else "\n"
    return newline.join(lines) + (newline if rng.random() < 0.8 else "")


def corpus(seed, total_bytes):
    """Songs (as str) whose UTF-8 forms add up to about `total_bytes`."""
    rng = random.Random(seed)
    songs, size = [], 0
    while size < total_bytes:
        text = song(rng)
        songs.append(text)
        size += len(text.encode("utf-8"))
    return songs


if __name__ == "__main__":
    # lrc_corpus.py FOLDER SEED BYTES: one song a file.
    import os
    import sys
    folder, seed, total = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    os.makedirs(folder, exist_ok=True)
    for i, text in enumerate(corpus(seed, total)):
        with open(os.path.join(folder, "song%05d.lrc" % i), "w", encoding="utf-8", newline="") as f:
            f.write(text)
