#!/usr/bin/python3
"""Differential run of mkxform against Wine's msi.dll (through msi-oracle check).

  scripts/differential.py databases  [--seconds N] [--seed S] [--tool PATH] DB...
  scripts/differential.py properties [--seconds N] [--seed S] [--tool PATH] DB...

databases: each round copies one of the databases, changes one to four bytes of one
of its table streams (catalog, string pool or a table; the compound structure stays
valid) and runs mkxform with a fixed property file on it.
properties: each round writes a random property file (8-bit, UTF-8 or UTF-16 LE with
a mark; names of the database's own properties among random ones; quotes, tabs, CR,
NUL, Ctrl-Z, characters the codepage lacks) and runs mkxform on one of the databases.

Every round must end one of these ways, or it is a finding:
  - exit 0, and `msi-oracle check` finds that applying the transform sets exactly the
    properties the file gives (by the README's line rules), nothing else;
  - exit 1 with no transform; in properties mode only where a property holds a
    character the database's codepage cannot (or the file changes nothing).
In both modes no file may be left in the temporary directory or beside the transform.
A mutated database that libmsi itself cannot read leaves the round undecided, and so do
differences that only the two readers make (of a string that is no text in the database's
codepage), while the transform holds only the Property table and the pool.

Findings are printed and their inputs kept in the work directory (--work, default
$TMPDIR/mkxform-differential); the exit status is 1 when there is any. msi-oracle is
taken from $MKX_SHARED_DIR/tools (default ../shared beside the repository). Needs
msi-oracle's packages and Wine (see ../shared/tools/README.md) and python3-olefile.
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

import olefile

HERE = os.path.dirname(os.path.abspath(__file__))
ORACLE = os.path.join(os.environ.get("MKX_SHARED_DIR", os.path.join(HERE, "..", "..", "shared")), "tools", "msi-oracle")
DB_PROPERTIES = ["SERVERNAME=db.example.com", "NEWPROP=hello", "ALLUSERS=2", "MYPROP=x y"]
# Drawn with weights: plain characters, then quoting and control characters, then
# characters beyond ASCII (some a codepage lacks: U+0085 all but 65001, U+00E9 1251,
# Cyrillic 1252).
PLAIN = list("ABCXYZabcxyz019_ .=")
SPECIAL = ["'", '"', "\\", "\t", "%", "[", "]", "{", "}", "\r", "\x00", "\x1a", "\x7f", "\x01"]
WIDE = ["\xe9", "\xff", "\xa0", "\x85", "Ж", "я", "Ё", "中", "€"]


def codec_of(db):
    out = subprocess.run([ORACLE, "dump", db, "Property"], capture_output=True, text=True, errors="replace").stdout
    found = re.search(r"^## CODEPAGE (\d+)", out, re.M)
    codepage = int(found.group(1)) if found else 0
    names = re.findall(r"^([^\t\n#]+)\t", out.split("## TABLE Property", 1)[-1], re.M)[1:]
    return {0: "cp1252", 65001: "utf-8"}.get(codepage, "cp%d" % codepage), names


def expected(text):
    """The (name, value) pairs of a file's lines, by the README's rules."""
    pairs = []
    text = text.split("\x1a", 1)[0]
    lines = text.split("\n")
    for i, line in enumerate(lines):
        if i < len(lines) - 1 and line.endswith("\r"):
            line = line[:-1]
        line = line.split("\x00", 1)[0]
        name, eq, value = line.partition("=")
        if eq and name and value:
            pairs.append(("".join(c.upper() if "a" <= c <= "z" else c for c in name), value))
    return pairs


def holds(codec, text):
    """Whether a database of this codec holds the text (C1 controls only in UTF-8)."""
    try:
        text.encode(codec)
    except UnicodeEncodeError:
        return False
    return codec == "utf-8" or not any(0x80 <= ord(c) < 0xA0 for c in text)


ALPHABET = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._"


def stream_names(path):
    """The decoded names of a compound file's streams ('!' marks a table's)."""
    def decode(name):
        out = ""
        for ch in name:
            u = ord(ch)
            if u == 0x4840:
                out += "!"
            elif 0x3800 <= u < 0x4800:
                out += ALPHABET[(u - 0x3800) & 63] + ALPHABET[(u - 0x3800) >> 6]
            elif 0x4800 <= u < 0x4840:
                out += ALPHABET[u - 0x4800]
            else:
                out += ch
        return out
    with olefile.OleFileIO(path) as ole:
        return {decode(e[-1]) for e in ole.listdir(streams=True, storages=False)}


def readers_differ(report, transform):
    """Whether the differences `check` found are the two readers' own, not the transform's.

    A changed byte can leave a string that is no text in the database's codepage. libmsi
    reads it in its own way (a key or a value as null, a column name as empty), while
    Wine's commit stores it again with U+FFFD or the codepage's default character (U+30FB
    in cp932), or up to a NUL. Every value the file sets is text, so a Property row that
    libmsi reads as null in the expected database is not one the transform sets.

    A transform that holds only Property records and its pool changes no other table, so
    there any difference is the readers'; in the Property table only a rewritten text is."""
    if not stream_names(transform) <= {"\x05SummaryInformation", "!_StringPool", "!_StringData", "!Property"}:
        return False
    entries = re.split(r"\n(?! )", report.split("\n", 2)[-1].strip())
    rewritten = re.compile(r"[\ufffd\u30fb]|: \\N -> ")  # in a value libmsi read as null, Wine as text
    return all(e.startswith("table ") and (not e.startswith("table Property:") or rewritten.search(e))
               for e in entries)


def mutate(src, dst, rng):
    shutil.copyfile(src, dst)
    ole = olefile.OleFileIO(dst, write_mode=True)
    streams = [e for e in ole.listdir(streams=True, storages=False)
               if len(e) == 1 and not e[0].startswith("\x05") and ole.get_size(e) > 0]
    stream = rng.choice(streams)
    data = bytearray(ole.openstream(stream).read())
    for _ in range(rng.choice([1, 1, 2, 4])):
        at = rng.randrange(len(data))
        data[at] = rng.choice([0, 1, 0xFF, data[at] ^ (1 << rng.randrange(8)), rng.randrange(256)])
    ole.write_stream(stream, bytes(data))
    ole.close()


def random_file(rng, names):
    def text(k):
        return "".join(rng.choices(PLAIN + SPECIAL + WIDE, [8] * len(PLAIN) + [2] * len(SPECIAL) + [1] * len(WIDE), k=k))
    lines = []
    for _ in range(rng.randint(1, 6)):
        name = rng.choice(names) if names and rng.random() < 0.3 else text(rng.randint(0, 8))
        lines.append(name + rng.choice(["=", "=", "==", ""]) + text(rng.randint(0, 12)))
    content = "\n".join(lines) + rng.choice(["\n", "", "\r\n"])
    encoding = rng.choice(["bytes", "utf-8", "utf-16"])
    if encoding == "bytes":
        content = "".join(c for c in content if ord(c) < 0x100)
        return content, content.encode("latin-1")
    if encoding == "utf-8":
        return content, b"\xef\xbb\xbf" + content.encode("utf-8")
    return content, b"\xff\xfe" + content.encode("utf-16-le")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["databases", "properties"])
    parser.add_argument("databases", nargs="+")
    parser.add_argument("--seconds", type=float, default=600)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--tool", default=os.path.join(HERE, "..", "build", "mkxform"))
    parser.add_argument("--work", default=os.path.join(tempfile.gettempdir(), "mkxform-differential"))
    args = parser.parse_args()
    rng = random.Random(args.seed)
    tmp, out_dir = os.path.join(args.work, "tmp"), os.path.join(args.work, "out")
    for folder in (tmp, out_dir):
        os.makedirs(folder, exist_ok=True)
    env = dict(os.environ, TMPDIR=tmp)
    out = os.path.join(out_dir, "o.mst")
    codecs = {db: codec_of(db) for db in args.databases} if args.mode == "properties" else {}
    prop_file = os.path.join(args.work, "p.txt")
    if args.mode == "databases":
        with open(prop_file, "w") as f:
            f.write("\n".join(DB_PROPERTIES) + "\n")
    counts, findings, rounds = {}, 0, 0
    end = time.time() + args.seconds
    print("seed", args.seed, flush=True)
    while time.time() < end:
        rounds += 1
        base = rng.choice(args.databases)
        if args.mode == "databases":
            db = os.path.join(args.work, "db.msi")
            mutate(base, db, rng)
            pairs = [tuple(p.split("=", 1)) for p in DB_PROPERTIES]
        else:
            db = base
            content, raw = random_file(rng, codecs[db][1])
            with open(prop_file, "wb") as f:
                f.write(raw)
            pairs = expected(content)
        props = dict(pairs)  # the later line wins
        run = subprocess.run([args.tool, "-t", out, "-p", prop_file, db], capture_output=True, env=env, timeout=120)
        problem, outcome = None, "exit %d" % run.returncode
        left = os.listdir(tmp) + [n for n in os.listdir(out_dir) if run.returncode != 0 or n != "o.mst"]
        if left:
            problem = "files left behind: %s" % left
        elif run.returncode == 0:
            check = subprocess.run([ORACLE, "check", db, out] + ["%s=%s" % kv for kv in props.items()],
                                   capture_output=True, text=True, errors="replace", timeout=600)
            outcome = {0: "exact", 1: "different"}.get(check.returncode, "undecided")
            if check.returncode == 1 and args.mode == "databases" and readers_differ(check.stdout, out):
                outcome = "undecided"
            elif check.returncode == 1:
                problem = "the transform is not exact:\n" + check.stdout[-1500:]
        elif run.returncode == 1 and args.mode == "properties":
            # Every line is set in turn: one that the codepage cannot hold fails the run,
            # even where a later line gives the same name another value.
            if pairs and all(holds(codecs[db][0], k + v) for k, v in pairs) and b"identical" not in run.stdout:
                problem = "exit 1 without a reason:\n" + run.stdout[-800:].decode("latin-1")
        elif run.returncode != 1:
            problem = "exit %d" % run.returncode
        counts[outcome] = counts.get(outcome, 0) + 1
        if problem:
            findings += 1
            keep = os.path.join(args.work, "finding-%d" % rounds)
            os.makedirs(keep, exist_ok=True)
            shutil.copy(db, keep)
            shutil.copy(prop_file, keep)
            print("FINDING round %d (%s): %s" % (rounds, keep, problem), flush=True)
        for folder in (tmp, out_dir):
            for name in os.listdir(folder):
                os.unlink(os.path.join(folder, name))
    print("rounds %d, findings %d, %s" % (rounds, findings, counts), flush=True)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
