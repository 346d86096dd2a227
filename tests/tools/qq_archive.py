"""QQ Music play-queue archives made with plistlib, and an independent reading
of them (the test's and the benchmark's reference).

    write_archive(path, objects, top)            a binary keyed archive of `objects`
                                                 (plistlib writes no UID to XML: plistutil does)
    queue_objects(count)                         a varied queue of `count` songs
    read_archive(path)                           its entries as dicts, in order
"""
import plistlib

UID = plistlib.UID
NULL = "$null"


class Objects:
    """A growing "$objects" list; add() gives the reference to what it adds."""

    def __init__(self):
        self.items = [NULL]
        self.classes = {}

    def add(self, value):
        self.items.append(value)
        return UID(len(self.items) - 1)

    def klass(self, name):
        if name not in self.classes:
            self.classes[name] = self.add({"$classname": name, "$classes": [name, "NSObject"]})
        return self.classes[name]

    def array(self, refs):
        return self.add({"NS.objects": list(refs), "$class": self.klass("NSArray")})

    def dictionary(self, pairs):
        return self.add({"NS.keys": [self.add(k) for k, _ in pairs], "NS.objects": [v for _, v in pairs],
                         "$class": self.klass("NSDictionary")})


def add_song(objects, i):
    """One record of a varied shape; `i` picks the variations."""
    record = {"$class": objects.klass("SongInfo")}
    title = f"歌 {i}" if i % 2 else f"Song {i}"
    if i % 7 == 3:
        record["name"] = objects.add(title)  # no songName: the title comes from "name"
    else:
        record["songName"] = objects.add(title)
    if i % 11 == 5:
        record["songName"] = objects.add(NULL if i % 2 else "  ")  # skipped
    singers = [objects.add({"name": objects.add(f"Singer {i} {k}"), "$class": objects.klass("Singer")})
               for k in range(1 + i % 3)]
    if i % 5 == 0:
        record["singerList"] = objects.array([])  # empty: singerInfo counts
        record["singerInfo"] = singers[0]
    elif i % 5 == 1:
        record["singerInfo"] = objects.array(singers)
    else:
        record["singerList"] = objects.array(singers)
    album = [("name", objects.add(f"Album {i // 3}"))]
    if i % 4 == 0:
        album.append(("albumMid", objects.add(NULL)))
    elif i % 4 == 1:
        album.append(("albumMid", objects.add(f"alb{i // 3}_x")))
    album.append(("picMid", objects.add(f"pic{i}")))
    record["albumInfo"] = objects.dictionary(album)
    length = 120 + i % 300
    kind = i % 4
    if kind == 0:
        record["song_Duration"] = objects.add(length)
    elif kind == 1:
        record["song_Duration"] = objects.add(f"{length}.5")
    elif kind == 2:
        record["song_Duration"] = objects.add({"NS.intv": length, "$class": objects.klass("NSNumber")})
    record["song_Mid"] = objects.add(f"mid{i}" if i % 13 else NULL)
    return objects.add(record)


def queue_objects(count):
    objects = Objects()
    songs = [add_song(objects, i) for i in range(count)]
    top = objects.array(songs)
    return objects.items, top


def write_archive(path, items, top):
    archive = {"$archiver": "NSKeyedArchiver", "$version": 100000, "$top": {"root": top}, "$objects": items}
    with open(path, "wb") as out:
        plistlib.dump(archive, out, fmt=plistlib.FMT_BINARY)


# The reading, written from the archive's layout rather than from our code.

def reference(value):
    if isinstance(value, UID):
        return value.data
    if isinstance(value, dict) and isinstance(value.get("CF$UID"), int):
        return value["CF$UID"]
    return None


def resolve(value, objects, depth):
    if value is None or depth > 7:
        return None
    index = reference(value)
    if index is not None and 0 <= index < len(objects):
        return resolve(objects[index], objects, depth + 1)
    if not isinstance(value, dict):
        return None if value == NULL else value
    keys, items = value.get("NS.keys"), value.get("NS.objects")
    if isinstance(keys, list) and isinstance(items, list):
        out = {}
        for k, v in zip(keys, items):
            key = text(resolve(k, objects, depth + 1))
            if key is None:
                continue
            v = resolve(v, objects, depth + 1)
            if v is None:
                out.pop(key, None)
            else:
                out[key] = v
        return out
    if keys is None and isinstance(items, list):
        return [resolve(v, objects, depth + 1) for v in items]
    out = {}
    for k, v in value.items():
        if k == "$class":
            continue
        v = resolve(v, objects, depth + 1)
        if v is not None:
            out[k] = v
    return out


def text(value):
    if not isinstance(value, str):
        return None
    value = value.strip()
    return value if value and value != NULL else None


def number(value):
    if isinstance(value, bool):
        return float(value)
    if isinstance(value, (int, float)):
        return float(value)
    if isinstance(value, str):
        # The whole text, as C's strtod reads it: no spaces, no digit groups.
        if value != value.strip() or "_" in value:
            return 0.0
        try:
            return float(value)
        except ValueError:
            return 0.0
    if isinstance(value, dict):
        for key in ("NS.intv", "NS.dblval"):
            if isinstance(value.get(key), (int, float)):
                return float(value[key])
    return 0.0


def read_objects(objects):
    entries = []
    for record in objects:
        if not isinstance(record, dict) or ("songName" not in record and "song_Mid" not in record):
            continue
        at = lambda key: resolve(record.get(key), objects, 0)  # noqa: E731
        title = text(at("songName")) or text(at("name"))
        if not title:
            continue
        singer_info, album, singer_list = at("singerInfo"), at("albumInfo"), at("singerList")
        if isinstance(singer_list, list) and singer_list:
            singers = singer_list
        elif isinstance(singer_info, list):
            singers = singer_info
        else:
            singers = [singer_info]
        names = [text(s.get("name")) for s in singers if isinstance(s, dict)]
        album = album if isinstance(album, dict) else None
        entries.append({
            "title": title,
            "artist": " / ".join(n for n in names if n),
            "album": text(album.get("name")) if album else None,
            "duration": number(at("song_Duration")),
            "songMid": text(at("song_Mid")),
            "albumMid": (text(album.get("albumMid")) or text(album.get("picMid"))) if album else None,
        })
    return entries


def read_archive(path):
    with open(path, "rb") as f:
        return read_objects(plistlib.load(f)["$objects"])
