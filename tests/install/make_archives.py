#!/usr/bin/env python3
"""The extraction tests' archives: make_archives.py OUTDIR

OUTDIR/tree is a tree of files and every OUTDIR/infozip-*.zip holds it in a form Info-ZIP
writes. The other archives are written byte by byte: hostile ones, and ones of 4 GiB and more
(OUTDIR/large). OUTDIR/unsafe-names.txt lists the entry name of each unsafe-N.zip.
"""
import os
import shutil
import struct
import zipfile
import subprocess
import sys
import zlib

out = os.path.abspath(sys.argv[1])


def deflate(data):
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def zeros(mebibytes):
    """Raw deflate of that many MiB of zeros, without deflating them all: after the first MiB
    the compressed form of a MiB of zeros is the same piece each time."""
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    first = c.compress(bytes(1 << 20)) + c.flush(zlib.Z_SYNC_FLUSH)
    again = c.compress(bytes(1 << 20)) + c.flush(zlib.Z_SYNC_FLUSH)
    return first + again * (mebibytes - 1) + deflate(b"")


def entry(name, data=b"", method=8, **lies):
    """One entry; lies: payload, size, crc, flags, offset (of the local header), zip64."""
    if isinstance(name, str):
        name = name.encode()
    payload = lies.get("payload", deflate(data) if method == 8 else data)
    return dict(name=name, method=method, payload=payload, size=lies.get("size", len(data)),
                crc=lies.get("crc", zlib.crc32(data)), flags=lies.get("flags", 0),
                offset=lies.get("offset"), zip64=lies.get("zip64", False))


def archive(entries, comment=b"", gap=0, zip64_end=False):
    """The archive's bytes; stored offsets count `gap` bytes in front of them (a hole)."""
    body, central = b"", b""
    for e in entries:
        offset = gap + len(body)
        big = 0xFFFFFFFF if e["zip64"] else None
        extra = struct.pack("<HHQQ", 1, 16, e["size"], len(e["payload"])) if e["zip64"] else b""
        body += struct.pack("<IHHHIIIIHH", 0x04034b50, 45, e["flags"], e["method"], 0, e["crc"],
                            big or len(e["payload"]), big or e["size"], len(e["name"]),
                            len(extra)) + e["name"] + extra + e["payload"]
        if e["zip64"]:
            extra = struct.pack("<HHQQQ", 1, 24, e["size"], len(e["payload"]), offset)
        where = e["offset"] if e["offset"] is not None else offset
        central += struct.pack("<IHHHHIIIIHHHHHII", 0x02014b50, 45, 45, e["flags"], e["method"],
                               0, e["crc"], big or len(e["payload"]), big or e["size"],
                               len(e["name"]), len(extra), 0, 0, 0, 0,
                               big or where) + e["name"] + extra
    start, n = gap + len(body), len(entries)
    tail = b""
    if zip64_end:
        tail = struct.pack("<IQHHIIQQQQ", 0x06064b50, 44, 45, 45, 0, 0, n, n, len(central), start)
        tail += struct.pack("<IIQI", 0x07064b50, 0, start + len(central), 1)
        n, start = 0xFFFF, 0xFFFFFFFF
    return body + central + tail + struct.pack("<IHHHHIIH", 0x06054b50, 0, 0, n, n,
                                               len(central), start, len(comment)) + comment


def write(name, data): open(os.path.join(out, name), "wb").write(data)


shutil.rmtree(out, ignore_errors=True)
tree = os.path.join(out, "tree")
for d in ["sub/deeper", "empty dir"]:
    os.makedirs(os.path.join(tree, d))
numbers = "".join("%d\n" % i for i in range(40000)).encode()
for name, data in [("a.txt", b"hello\r\n"), ("empty.txt", b""), ("sub/deeper/numbers.txt", numbers),
                   ("sub/random.bin", os.urandom(70000)),
                   ("sub/Tiếng Việt.txt", "xin chào\n".encode())]:
    write(os.path.join("tree", name), data)


def zip_(*args, **run):
    return subprocess.run(["zip", "-qrX"] + list(args), cwd=tree, check=True,
                          env=dict(os.environ, LC_ALL="C.UTF-8", TZ="UTC"), **run).stdout


zip_("../infozip-dirs.zip", ".")
zip_("-D", "../infozip-nodirs.zip", ".")
zip_("-0", "../infozip-stored.zip", ".")
write("infozip-streamed.zip", zip_("-", ".", stdout=subprocess.PIPE))  # data descriptors
zip_("-fz", "../infozip-zip64.zip", ".")
zip_("-z", "../infozip-comment.zip", ".", input=b"a comment\n")
with open(os.path.join(out, "infozip-nodirs.zip"), "rb") as f:  # behind a self-extractor's stub
    write("infozip-sfx.zip", os.urandom(5000) + f.read())
shutil.copy(os.path.join(out, "infozip-sfx.zip"), os.path.join(out, "infozip-sfxadjusted.zip"))
subprocess.run(["zip", "-qA", os.path.join(out, "infozip-sfxadjusted.zip")], check=True)

text = ("Một dòng chữ. " + "x" * 3000 + "\n").encode()
good = archive([entry("first.txt", b"1"), entry("sub/broken.txt", text), entry("last", b"2")])
write("good.zip", good)
write("empty.zip", archive([]))
write("zero.zip", b"")
write("text.zip", b"plain text, not a ZIP\n")
write("fake-end.zip", archive([entry("a.txt", text)], comment=b"x" + archive([]) + b"y"))
write("trailing.zip", good + b"trailing junk")
write("zip64-end.zip", archive([entry("a.txt", text, zip64=True)], zip64_end=True))
# More entries than a plain end record counts: ZIP64 end records, a directory of megabytes.
with zipfile.ZipFile(os.path.join(out, "many.zip"), "w", zipfile.ZIP_STORED) as z:
    for i in range(70000):
        z.writestr("m/%05d" % i, b"%d" % i)
# Entries 70000 and 60000 random bytes apart, for ranges joined across gaps or not.
write("spaced.zip", archive([entry("a", b"a"), entry("gap70k", os.urandom(70000), method=0),
                             entry("b", b"b"), entry("gap60k", os.urandom(60000), method=0),
                             entry("c", b"c")]))


def patched(at, fmt, value, data=good):
    return data[:at] + struct.pack(fmt, value) + data[at + struct.calcsize(fmt):]


# Refused at open: directories that claim more or fewer entries, span disks, or lie outside.
end, last = len(good) - 22, good.rfind(b"PK\x01\x02")
write("dir-more.zip", patched(end + 8, "<I", 4 | 4 << 16))
write("dir-fewer.zip", patched(end + 8, "<I", 2 | 2 << 16))
write("dir-spanned.zip", patched(end + 4, "<H", 1))
write("dir-large.zip", patched(end + 12, "<I", 0x7FFFFFF0))
write("dir-offset.zip", patched(end + 16, "<I", 0xFFFFFF00))
write("dir-extra.zip", patched(last + 30, "<H", 0x7F00))
# A saturated size without its ZIP64 field: the second record cannot be read.
write("record.zip", patched(good.rfind(b"PK\x01\x02", 0, last) + 24, "<I", 0xFFFFFFFF))
# The second entry refused: "Không thể giải nén file: sub\broken.txt".
for name, lies in dict(crc=dict(crc=0x12345678), damaged=dict(payload=b"\xff\xfe\xfd\xfc"),
                       truncated=dict(payload=deflate(text)[:40]), longer=dict(size=len(text) - 1),
                       shorter=dict(size=len(text) + 1),
                       ratio=dict(payload=zeros(256), size=512 << 20),
                       storedsizes=dict(method=0, size=len(text) + 5),
                       storedcrc=dict(method=0, crc=0x12345678),
                       encrypted=dict(method=0, flags=1), bzip2=dict(method=12),
                       offset=dict(offset=0x7FFFFFFF), elsewhere=dict(offset=1)).items():
    broken = entry("sub/broken.txt", text, lies.pop("method", 8), **lies)
    write("entry-%s.zip" % name, archive([entry("first.txt", b"1"), broken, entry("last", b"2")]))
# An entry of a method our reader lacks, then a damaged one: the shell must not get it either.
write("entry-bzip2-crc.zip", archive([entry("first.txt", b"1"), entry("sub/broken.txt", text, 12),
                                      entry("last", b"2", crc=1)]))
write("overlap.zip", archive([entry("one.txt", b"x" * 1000, 0),
                              entry("two.txt", b"x" * 1000, 0, offset=0)]))
write("long-name.zip", archive([entry("ok.txt", b"1"), entry("d/" + "n" * 600, b"2")]))
write("names.zip", archive([entry(n, d, 0) for n, d in [
    ("", b"lost"), ("zero", b""), ("dir/", b""), ("dup.txt", b"first"), ("DUP.TXT", b"second"),
    ("a..b.txt", b"1"), ("..hidden", b"2"), (".config/x", b"3"), ("./dot.txt", b"4"),
    ("CONFIG.txt", b"5"), ("console.log", b"6"), ("com10", b"7")]]))
write("in-use.zip", archive([entry("f%d.txt" % i, b"new %d" % i) for i in range(8)]))
# A damaged entry after good ones; an entry claiming more than any disk holds.
write("in-use-broken.zip", archive([entry("f%d.txt" % i, b"new %d" % i) for i in range(8)] +
                                   [entry("f8.txt", b"new 8", crc=1)]))
write("space.zip", archive([entry("f0.txt", b"new 0"),
                            entry("huge.bin", b"x", zip64=True, size=1 << 50)]))
# Sizes whose sum wraps past 2^64 to a few bytes.
write("space-wrap.zip", archive([entry("f0.txt", b"new 0"),
                                 entry("huge.bin", b"x", zip64=True, size=(1 << 64) - 2)]))
write("bad-file.zip", archive([entry(n, b"1") for n in ["before.txt", "bad?name.txt", "after"]]))
# Folders inside a file the archive has just written.
write("bad-dir.zip", archive([entry("ok/", b"", 0), entry("a.txt", b"1"), entry("a.txt/sub/", b"", 0)]))
write("bad-parent.zip", archive([entry("a.txt", b"1"), entry("a.txt/sub/file.txt", b"x")]))
unsafe = ["../evil.txt", "sub/../../evil.txt", "..\\evil.txt", "sub/..", "../", ".../evil.txt",
          "sub/.. /evil.txt", "/evil.txt", "\\evil.txt", "C:evil.txt", "C:/evil.txt",
          "C:\\evil.txt", "//server/share/evil.txt", "\\\\server\\share\\evil.txt",
          "\\\\?\\C:\\evil.txt", "good.txt:stream", "sub/con:", "NUL", "sub/nul.txt", "Com1",
          "lpt9.tar.gz", "aux .txt", "CON./x", "prn  ", "conin$", "sub/CONOUT$.txt",
          "Clock$ .log"]
for i, name in enumerate(unsafe):  # last: the safe entries before it are not written either
    write("unsafe-%d.zip" % i, archive([entry("good.txt", b"1"), entry("dir/", b"", 0),
                                        entry("dir/x", b"2"), entry(name, b"3")]))
write("unsafe-names.txt", "\n".join(unsafe).encode())

# An entry of 4 GiB + 1 MiB + 7 bytes, and an archive whose entries lie behind a 4 GiB hole.
os.makedirs(os.path.join(out, "large"))
crc = 0
for _ in range(4097):
    crc = zlib.crc32(bytes(1 << 20), crc)
big = entry("big/zeros.bin", zip64=True, payload=zeros(4097)[:-2] + deflate(b"the end"),
            size=(4097 << 20) + 7, crc=zlib.crc32(b"the end", crc))
write("large/entry.zip", archive([entry("small.txt", b"small"), big, entry("after", b"a")]))
with open(os.path.join(out, "large", "archive.zip"), "wb") as f:
    f.seek((4 << 30) + 12345)
    f.write(archive([entry("first.txt", b"beyond four gibibytes", zip64=True),
                     entry("nested/second.bin", b"z" * 100000, zip64=True)],
                    gap=(4 << 30) + 12345, zip64_end=True))
write("made", b"")
