#!/usr/bin/env python3
"""Benchmark of mkxform against its floor (cp of the database plus rm of the copy) and a msitools baseline.

Builds the test databases (a real 2.8 MB database plus an incompressible
cabinet-like stream of 16 MiB .. 1 GiB; a 10 MiB one for a 10,000-line property
file; one with 200,000 strings and 3-byte references and a small-string one of
the same file size), then runs each command several times, interleaved and in a
rotating order, and prints medians, ratios and peak resident memory as Markdown
tables. Wall time is measured around fork/exec/wait of each command; peak memory
in one extra run of each command under /usr/bin/time (ru_maxrss of a child forked
from Python would count the Python process's own memory). Before every timed command the outputs of the previous
one are deleted and the file system is synced (untimed), so each run starts
from the same state: a warm page cache for the inputs and no pending writes.

Run through bench/run, which builds a Release mkxform first.
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

UPDATES = ["ALLUSERS", "ARPNOMODIFY", "REINSTALLMODE", "ARPPRODUCTICON", "WIXUI_INSTALLDIR"]
INSERTS = ["BENCHPROP%d" % i for i in range(1, 6)]
MIB = 1 << 20


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def run_timed(argv, cwd, status=0):
    """Runs argv; returns its wall time in seconds. Fails on another exit status."""
    start = time.perf_counter()
    result = subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    if result.returncode != status:
        raise SystemExit("command failed (%d): %s\n%s" % (
            result.returncode, " ".join(argv), result.stderr.decode(errors="replace")))
    return wall


def peak_rss_kib(argv, cwd, status=0):
    """Peak resident memory of one run of argv, in KiB (GNU time's %M)."""
    out = os.path.join(cwd, "rss.txt")
    result = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", out] + argv, cwd=cwd,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if result.returncode != status:
        raise SystemExit("command failed (%d): %s" % (result.returncode, " ".join(argv)))
    with open(out) as f:
        value = int(f.read().split()[-1])
    os.unlink(out)
    return value


# ---- test databases ------------------------------------------------------------

def write_random(path, size, seed):
    rng = random.Random(seed)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, 4 * MIB)
            f.write(rng.randbytes(n))
            left -= n


def padded_database(base, out, total_bytes, work, seed):
    """Copies `base` and adds a stream so that the file is about total_bytes long."""
    if os.path.exists(out):
        return out
    payload = max(0, total_bytes - os.path.getsize(base))
    blob = os.path.join(work, "payload.bin")
    write_random(blob, payload, seed)
    tmp = out + ".part"
    shutil.copyfile(base, tmp)
    os.chmod(tmp, 0o644)
    if payload:
        subprocess.run(["msibuild", tmp, "-a", "Disk9.cab", blob], check=True)
    os.unlink(blob)
    os.rename(tmp, out)
    return out


def many_strings_database(base, out, work, rows):
    """`base` plus a table of `rows` rows holding two new strings each (3-byte references)."""
    if os.path.exists(out):
        return out
    idt = os.path.join(work, "BenchStrings.idt")
    with open(idt, "w", newline="") as f:
        f.write("Name\tText\r\ns72\tl255\r\nBenchStrings\tName\r\n")
        for i in range(rows):
            f.write("Key%07d\tBench text number %07d\r\n" % (i, i))
    tmp = out + ".part"
    shutil.copyfile(base, tmp)
    os.chmod(tmp, 0o644)
    subprocess.run(["msibuild", tmp, "-i", idt], check=True)
    os.unlink(idt)
    os.rename(tmp, out)
    return out


def property_files(work):
    small = os.path.join(work, "props10.txt")
    with open(small, "w") as f:
        for name in UPDATES:
            f.write("%s=changed by the benchmark\n" % name)
        for name in INSERTS:
            f.write("%s=new value of %s\n" % (name, name))
    large = os.path.join(work, "props10000.txt")
    with open(large, "w") as f:
        for i in range(10000):
            f.write("BENCH_PROPERTY_%05d=value number %d of the benchmark\n" % (i, i))
    return small, large


def scale_files(work):
    """One 64 MiB line, and 1,000,000 short lines (about 57 MiB)."""
    long_line = os.path.join(work, "props-64mib-line.txt")
    if not os.path.exists(long_line):
        with open(long_line, "wb") as f:
            f.write(b"LONGPROP=" + b"x" * (64 * MIB) + b"\n")
    many = os.path.join(work, "props-1m-lines.txt")
    if not os.path.exists(many):
        with open(many, "wb") as f:
            f.write(b"".join(b"BENCH_PROPERTY_%07d=value number %d of the benchmark\n" % (i, i)
                             for i in range(1000000)))
    return long_line, many


def scale_report(tool, db, work):
    """Peak RSS and time of one run on each scale file, against their targets."""
    mst = os.path.join(work, "scale.mst")
    print("Targets: peak RSS at most 64 MiB + 4 x the file for one long line; "
          "64 MiB + 8 x the file and 3 s for 1,000,000 lines.")
    print()
    print("| property file | size | mkxform | target | peak RSS | target |")
    print("|---|---|---|---|---|---|")
    # The long line is read whole and its value refused (longer than a string the
    # installers read back), so that run ends with status 1.
    for props, rss_factor, seconds, status in zip(scale_files(work), (4, 8), ("-", "3 s"), (1, 0)):
        argv = [tool, "-t", mst, "-p", props, db]
        wall = run_timed(argv, work, status)
        rss = peak_rss_kib(argv, work, status) / 1024
        size = os.path.getsize(props) / MIB
        print("| %s | %.1f MiB | %.2f s | %s | %.1f MiB | %.1f MiB |" % (
            os.path.basename(props), size, wall, seconds, rss, 64 + rss_factor * size))
        if os.path.exists(mst):
            os.unlink(mst)


def msibuild_queries():
    queries = []
    for name in UPDATES:
        queries += ["-q", "UPDATE Property SET Value='changed by the benchmark' WHERE Property='%s'" % name]
    for name in INSERTS:
        queries += ["-q", "INSERT INTO Property (Property, Value) VALUES ('%s', 'new value of %s')" % (name, name)]
    return queries


# ---- commands ------------------------------------------------------------------

class Case:
    """One database with the commands to compare on it."""

    def __init__(self, label, db, commands):
        self.label = label
        self.db = db
        self.commands = commands  # name -> list of argv lists (run in sequence, times summed)
        self.samples = {name: [] for name in commands}  # name -> [wall seconds]
        self.rss = {}  # name -> peak RSS KiB


def measure(cases, runs, work, outputs):
    def clean():
        for path in outputs:
            if os.path.exists(path):
                os.unlink(path)
        os.sync()

    # One untimed warm-up of everything: inputs in the page cache, binaries loaded.
    for case in cases:
        for steps in case.commands.values():
            clean()
            for argv in steps:
                run_timed(argv, work)
    for r in range(runs):
        log("round %d/%d" % (r + 1, runs))
        for case in cases:
            names = list(case.commands)
            names = names[r % len(names):] + names[:r % len(names)]  # rotate the order
            for name in names:
                clean()
                case.samples[name].append(sum(run_timed(argv, work) for argv in case.commands[name]))
    for case in cases:
        for name, steps in case.commands.items():
            clean()
            case.rss[name] = max(peak_rss_kib(argv, work) for argv in steps)
    clean()


def median_ms(samples):
    return statistics.median(samples) * 1000


def check_transform(tool, work, db, props, oracle):
    """Applies one transform with Wine (msi-oracle check): exactly the properties changed."""
    mst = os.path.join(work, "check.mst")
    subprocess.run([tool, "-t", mst, "-p", props, db], cwd=work, stdout=subprocess.DEVNULL, check=True)
    pairs = [line.rstrip("\n") for line in open(props) if line.strip()]
    result = subprocess.run([oracle, "check", db, mst] + pairs, capture_output=True, text=True)
    os.unlink(mst)
    return result.returncode == 0, (result.stdout + result.stderr).strip().splitlines()[-1:]


# ---- report --------------------------------------------------------------------

def machine():
    cpu = "?"
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / (1 << 30)
    fs = subprocess.run(["df", "--output=fstype", "."], capture_output=True, text=True).stdout.split()[-1]
    return "%d cores (%s), %.0f GiB memory, %s, kernel %s" % (os.cpu_count(), cpu, mem, fs, os.uname().release)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    repo = os.path.dirname(here)
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tool", default=os.path.join(repo, "build-bench", "mkxform"))
    parser.add_argument("--shared", default=os.path.join(repo, "..", "shared"))
    parser.add_argument("--work", default=os.path.join(os.environ.get("TMPDIR") or "/tmp", "mkxform-bench"))
    parser.add_argument("--sizes", default="16,64,256,1024", help="database sizes in MiB")
    parser.add_argument("--runs", type=int, default=7, help="timed runs of each command")
    parser.add_argument("--check", action="store_true", help="also apply one transform per database with Wine")
    parser.add_argument("--scale-only", action="store_true",
                        help="only the property-file scale cases (a 64 MiB line, 1,000,000 lines)")
    args = parser.parse_args()

    tool = os.path.abspath(args.tool)
    base = os.path.join(os.path.abspath(args.shared), "fixtures", "real", "putty-0.68-installer.msi")
    oracle = os.path.join(os.path.abspath(args.shared), "tools", "msi-oracle")
    os.makedirs(args.work, exist_ok=True)
    work = os.path.abspath(args.work)
    os.environ["TMPDIR"] = work  # mkxform's working copy on the same file system as cp's copy
    sizes = [int(s) for s in args.sizes.split(",") if s]
    example = os.path.join(repo, "examples", "example.msi")
    if args.scale_only:
        scale_report(tool, example, work)
        return

    log("building databases in", work)
    props10, props10000 = property_files(work)
    copy_out = os.path.join(work, "copy.msi")
    mst = os.path.join(work, "out.mst")
    queries = msibuild_queries()
    cases = [Case("putty", base, {
        "cp + rm": [["cp", base, copy_out], ["rm", copy_out]],
        "mkxform": [[tool, "-t", mst, "-p", props10, base]],
        "cp + msibuild": [["cp", base, copy_out], ["msibuild", copy_out] + queries],
    })]
    for size in sizes:
        db = padded_database(base, os.path.join(work, "putty-%dmib.msi" % size), size * MIB, work, size)
        cases.append(Case("%d MiB" % size, db, {
            "cp + rm": [["cp", db, copy_out], ["rm", copy_out]],
            "mkxform": [[tool, "-t", mst, "-p", props10, db]],
            "cp + msibuild": [["cp", db, copy_out], ["msibuild", copy_out] + queries],
        }))
    many = many_strings_database(base, os.path.join(work, "putty-200k-strings.msi"), work, 100000)
    same_size = padded_database(base, os.path.join(work, "putty-as-large-as-200k.msi"), os.path.getsize(many), work, 7)
    ten = padded_database(base, os.path.join(work, "putty-10mib.msi"), 10 * MIB, work, 10)
    extra = [
        Case("200,000 strings", many, {"mkxform": [[tool, "-t", mst, "-p", props10, many]],
                                        "cp + rm": [["cp", many, copy_out], ["rm", copy_out]]}),
        Case("few strings, same size", same_size, {"mkxform": [[tool, "-t", mst, "-p", props10, same_size]]}),
        Case("10,000 properties, 10 MiB", ten, {"mkxform": [[tool, "-t", mst, "-p", props10000, ten]]}),
    ]

    log("measuring (%d runs of each command)" % args.runs)
    measure(cases + extra, args.runs, work, [copy_out, mst])

    print("Machine: %s" % machine())
    print("Runs: %d of each command, interleaved; medians of wall time; peak RSS from one more run under /usr/bin/time." % args.runs)
    print()
    print("| database | cp + rm | mkxform | mkxform / (cp + rm) | target | mkxform - (cp + rm) | cp + msibuild | speed-up over cp + msibuild | mkxform peak RSS |")
    print("|---|---|---|---|---|---|---|---|---|")
    for case in cases:
        cp, mk, mb = (median_ms(case.samples[n]) for n in ("cp + rm", "mkxform", "cp + msibuild"))
        size = os.path.getsize(case.db)
        target = "1.2" if case.label == "putty" else ("1.05" if size >= 256 * MIB else "-")
        print("| %s (%.1f MiB) | %.1f ms | %.1f ms | %.2f | %s | %+.1f ms | %.1f ms | %.1f x | %.1f MiB |" % (
            case.label, size / MIB, cp, mk, mk / cp, target, mk - cp, mb, mb / mk,
            case.rss["mkxform"] / 1024))
    print()
    many_ms = median_ms(extra[0].samples["mkxform"])
    same_ms = median_ms(extra[1].samples["mkxform"])
    ten_ms = median_ms(extra[2].samples["mkxform"])
    print("Target: 200,000 strings within 3 x the same-sized database with few strings; peak RSS at most 32 MiB.")
    print()
    print("| case | mkxform | compared with | ratio | mkxform peak RSS |")
    print("|---|---|---|---|---|")
    print("| 200,000 strings, 3-byte references (%.1f MiB) | %.1f ms | few strings, same size: %.1f ms | %.2f | %.1f MiB |" % (
        os.path.getsize(many) / MIB, many_ms, same_ms, many_ms / same_ms, extra[0].rss["mkxform"] / 1024))
    print("| few strings, same size | %.1f ms | | | %.1f MiB |" % (same_ms, extra[1].rss["mkxform"] / 1024))
    print("| 10,000-line property file, 10 MiB database | %.1f ms | target: 1000 ms | %.2f | %.1f MiB |" % (
        ten_ms, ten_ms / 1000, extra[2].rss["mkxform"] / 1024))

    print()
    scale_report(tool, example, work)

    if args.check:
        print()
        for case in cases + extra:
            props = props10000 if case is extra[2] else props10
            ok, last = check_transform(tool, work, case.db, props, oracle)
            print("- msi-oracle check, %s: %s" % (case.label, " ".join(last) if ok else "FAILED " + " ".join(last)))


if __name__ == "__main__":
    main()
