"""An LRC reader written from the rules alone, independent of the C++
parser, for comparing against lrc-parse."""
import re
import unicodedata

_WHITE_SPACE = "[\t\n\x0b\x0c\r \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]"
_TIME = re.compile(r"\[([0-9]{1,3}):([0-9]{2})(?:[.:]([0-9]{1,3}))?\]")
_OFFSET = re.compile(r"\[[oO][fF][fF][sS][eE][tT]" + _WHITE_SPACE + "*:" + _WHITE_SPACE + r"*([+-]?[0-9]+)\]")
_INT64 = (-(2 ** 63), 2 ** 63 - 1)


def _is_space(c):
    return c == "\t" or unicodedata.category(c) == "Zs"


def _trim(s):
    start, end = 0, len(s)
    while start < end and _is_space(s[start]):
        start += 1
    while end > start and _is_space(s[end - 1]):
        end -= 1
    return s[start:end]


def parse(text):
    """[(time, text)] in the order the rules give."""
    offset_ms = 0
    lines = []
    for piece in text.replace("\r", "").split("\n"):
        piece = _trim(piece)
        if not piece:
            continue
        offset = _OFFSET.search(piece)
        if offset:
            value = int(offset.group(1))
            if _INT64[0] <= value <= _INT64[1]:
                offset_ms = value
            continue
        stamps = list(_TIME.finditer(piece))
        if not stamps:
            continue
        line_text = _trim(piece[stamps[-1].end():])
        for m in stamps:
            fraction = m.group(3)
            time = int(m.group(1)) * 60 + int(m.group(2))
            time += int(fraction) / 10 ** len(fraction) if fraction else 0
            lines.append((float(time), line_text))
    if offset_ms:
        lines = [(max(0.0, t + offset_ms / 1000), s) for t, s in lines]
    return sorted(lines, key=lambda line: line[0])


def clock(lines, elapsed):
    """(index, text) of the current line, or (-1, "")."""
    found = -1
    for i, (t, _) in enumerate(lines):
        if t <= elapsed:
            found = i
    for i in range(found, -1, -1):
        if lines[i][1].strip(_WHITE_SPACE_CHARS):
            return i, lines[i][1]
    return -1, ""


_WHITE_SPACE_CHARS = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(chr(c) for c in range(0x2000, 0x200b)) + \
    "\u2028\u2029\u202f\u205f\u3000"
