#!/usr/bin/env python3
"""Times treestamp against the tools people use for the same question.

Builds deterministic trees, checks that every tool reports the same newest
time, then runs the commands in alternation (one of each per round) and
prints the median wall time, the paired ratio treestamp/tool, the system
calls per entry and the peak resident memory. Nothing is asserted: the
table is the result.

    python3 bench/run.py [--rounds N] [--trees DIR] [--binary PATH] [--baseline PATH] [--only SECTIONS]
"""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SEED = 20261209
BASE = 1_600_000_000  # every planted time lies at or after this
TREES_VERSION = "1"


def sh(command, **kw):
    return subprocess.run(command, shell=True, check=True, text=True, **kw)


def ensure_tools():
    """Installs the peers (and strace) from Debian's packages when missing."""
    wanted = {"strace": "strace", "bfs": "bfs", "du": "coreutils", "find": "findutils", "awk": "mawk",
              "/usr/bin/time": "time", "cc": "gcc", "cmake": "cmake", "ninja": "ninja-build", "g++": "g++"}
    missing = sorted({pkg for tool, pkg in wanted.items() if shutil.which(tool) is None})
    if missing:
        sudo = "" if os.geteuid() == 0 else "sudo "
        sh(f"{sudo}apt-get update -qq && {sudo}apt-get install -y -qq {' '.join(missing)} >/dev/null")


def build_treestamp(name="bench", *options):
    build = os.path.join(ROOT, "build", name)
    sh(f"cmake -S '{ROOT}' -B '{build}' -G Ninja -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release "
       f"{' '.join(options)} >/dev/null")
    sh(f"cmake --build '{build}' >/dev/null")
    return os.path.join(build, "treestamp")


# ---- trees -------------------------------------------------------------


def name(rng, lo=3, hi=12):
    return "".join(rng.choice("abcdefghijklmnopqrstuvwxyz_") for _ in range(rng.randint(lo, hi)))


def make_src_like(path, entries, rng):
    """Directories about a tenth of the entries, depth up to 8, a few links;
    one link points outside the tree at a file newer than anything inside."""
    os.mkdir(path)
    dirs = [(path, 0)]
    ndirs = entries // 10
    while len(dirs) < ndirs:
        parent, depth = rng.choice(dirs)
        if depth >= 8:
            continue
        child = os.path.join(parent, name(rng))
        if not os.path.exists(child):
            os.mkdir(child)
            dirs.append((child, depth + 1))
    files = []
    while len(dirs) + len(files) < entries - 5:
        parent, _ = rng.choice(dirs)
        f = os.path.join(parent, name(rng) + rng.choice([".c", ".h", ".py", ".txt", ""]))
        if not os.path.exists(f):
            open(f, "w").close()
            files.append(f)
    outside = path + "-outside-newer"
    open(outside, "w").close()
    links = [os.path.join(dirs[i][0], "link%d" % i) for i in range(5)]
    for i, link in enumerate(links):
        os.symlink(outside if i == 0 else files[i * 97], link)
    for f in files:
        os.utime(f, (BASE, BASE + rng.randint(0, 50_000_000)))
    for link in links:
        os.utime(link, (BASE, BASE + rng.randint(0, 50_000_000)), follow_symlinks=False)
    for d, _ in dirs:
        os.utime(d, (BASE, BASE + rng.randint(0, 50_000_000)))
    os.utime(outside, (BASE, BASE + 90_000_000))


# The early stop is met 2,000 entries into the flat directory's listing order.
STOP_AFTER = 2000
STOP_THRESHOLD = BASE + 1_000_000


def make_flat(path, entries, rng):
    os.mkdir(path)
    for i in range(entries):
        f = os.path.join(path, "f%06d_%s" % (i, name(rng, 2, 6)))
        open(f, "w").close()
        os.utime(f, (BASE, BASE + rng.randint(0, 1_000_000)))
    # The only entry above the threshold, wherever the file system lists it.
    target = os.path.join(path, os.listdir(path)[STOP_AFTER])
    os.utime(target, (BASE, STOP_THRESHOLD + 1))
    os.utime(path, (BASE, BASE))


def make_chain(path, levels):
    os.mkdir(path)
    fd = os.open(path, os.O_RDONLY)
    for i in range(levels):
        os.mkdir("d", dir_fd=fd)
        nxt = os.open("d", os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = nxt
    os.close(fd)
    fd = os.open(path, os.O_RDONLY)
    os.utime(fd, (BASE, BASE))
    for i in range(levels):
        nxt = os.open("d", os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = nxt
        os.utime(fd, (BASE, BASE + i))
    os.close(fd)


def make_trees(top):
    stamp = os.path.join(top, "version")
    if os.path.exists(stamp) and open(stamp).read() == TREES_VERSION:
        return
    if os.path.exists(top):
        shutil.rmtree(top)
    os.makedirs(top)
    rng = random.Random(SEED)
    print("making trees in", top, "...", file=sys.stderr)
    make_src_like(os.path.join(top, "src20k"), 20_000, rng)
    make_src_like(os.path.join(top, "src200k"), 200_000, rng)
    make_flat(os.path.join(top, "flat"), 200_000, rng)
    make_chain(os.path.join(top, "chain"), 1_500)
    open(stamp, "w").write(TREES_VERSION)


def count_entries(path):
    """Entries at and below path, links not followed (iterative: chains are deep)."""
    n, todo = 1, [path]
    while todo:
        with os.scandir(todo.pop()) as it:
            for e in it:
                n += 1
                if e.is_dir(follow_symlinks=False):
                    todo.append(e.path)
    return n


# ---- measuring ---------------------------------------------------------


def run_once(argv_or_shell):
    """Runs a command (argv, or a shell pipeline); returns (wall seconds, stdout)."""
    start = time.perf_counter()
    proc = subprocess.run(argv_or_shell, shell=isinstance(argv_or_shell, str),
                          stdout=subprocess.PIPE, text=True)
    wall = time.perf_counter() - start
    if proc.returncode != 0:
        raise RuntimeError(f"{argv_or_shell!r} exited {proc.returncode}")
    return wall, proc.stdout


def peak_rss(argv):
    """Peak resident KiB, through GNU time: a child forked from this Python
    process would be charged with Python's own memory."""
    proc = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, check=True)
    return int(proc.stderr.split()[-1])


def syscalls(argv):
    """System calls of the walking process alone (not of awk behind a pipe)."""
    with tempfile.NamedTemporaryFile("r") as log:
        subprocess.run(["strace", "-f", "-c", "-o", log.name] + argv, stdout=subprocess.DEVNULL, check=True)
        for line in log.read().splitlines():
            fields = line.split()
            if fields and fields[-1] == "total":
                return int(fields[3] if len(fields) >= 5 else fields[2])
    return None


def alternate(commands, rounds, measure):
    """Measures each command once a round, the order reversed every other
    round; returns the measurements by label (a command's first field)."""
    results = {c[0]: [] for c in commands}
    for r in range(rounds):
        for c in (commands if r % 2 == 0 else list(reversed(commands))):
            results[c[0]].append(measure(c[1]))
    return results


def newest_of(kind, out):
    out = out.strip()
    if kind == "du":
        return int(out.split("\t")[1])
    if kind == "path":
        return out
    return int(float(out))


def bench(title, commands, rounds, entries):
    """commands: list of (label, shell-or-argv, parse kind, argv for strace or None)."""
    print(f"\n### {title}\n")
    results = {}
    for label, cmd, kind, _ in commands:  # warm the cache and check the answers
        results[label] = newest_of(kind, run_once(cmd)[1])
    answers = set(results.values())
    if len(answers) != 1:
        print("tools disagree:", results)
        sys.exit(1)
    times = alternate(commands, rounds, lambda cmd: run_once(cmd)[0])
    ts = times[commands[0][0]]
    print(f"every tool printed {answers.pop()}; {entries} entries; {rounds} rounds\n")
    print("| command | median ms | treestamp / this (paired median) | syscalls per entry |")
    print("|---|---:|---:|---:|")
    for label, _, _, trace in commands:
        med = statistics.median(times[label]) * 1000
        ratio = statistics.median(a / b for a, b in zip(ts, times[label]))
        calls = syscalls(trace) if trace else None
        per = f"{calls / entries:.3f}" if calls else "-"
        print(f"| {label} | {med:.1f} | {ratio:.2f}x | {per} |")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=9)
    ap.add_argument("--trees", default=os.path.join(tempfile.gettempdir(), "treestamp-bench"))
    ap.add_argument("--binary", help="treestamp to measure (default: a fresh release build)")
    ap.add_argument("--baseline", help="another treestamp, an earlier build say, measured in the same rounds")
    ap.add_argument("--only", default="full,stop,never,memory,startup",
                    help="sections to run, of full,stop,never,memory,startup (default: all)")
    args = ap.parse_args()
    only = set(args.only.split(","))
    if args.rounds < 7:
        ap.error("at least 7 rounds")

    ensure_tools()
    ts = os.path.abspath(args.binary) if args.binary else build_treestamp()
    base = os.path.abspath(args.baseline) if args.baseline else None
    if only & {"full", "stop", "never", "memory"}:
        make_trees(args.trees)
    t = lambda name: os.path.join(args.trees, name)
    awk_max = "awk 'BEGIN{m=0} {if ($1+0 > m) m = $1+0} END{printf \"%d\\n\", m}'"

    def full_walk(tree):
        d = t(tree)
        return [
            ("treestamp", [ts, d], "int", [ts, d]),
            *([("treestamp, baseline", [base, d], "int", [base, d])] if base else []),
            ("du -s --time", ["du", "-s", "--time", "--time-style=+%s", d], "du",
             ["du", "-s", "--time", "--time-style=+%s", d]),
            ("find -printf, awk", f"find '{d}' -printf '%T@\\n' | {awk_max}", "int", ["find", d, "-printf", "%T@\\n"]),
            ("bfs -printf, awk", f"bfs '{d}' -printf '%T@\\n' | {awk_max}", "int", ["bfs", d, "-printf", "%T@\\n"]),
        ]

    print("## treestamp benchmark")
    print(f"\nmachine: {os.uname().sysname} {os.uname().release}, {os.cpu_count()} cores; "
          f"trees in {args.trees}; warm cache")
    if "full" in only:
        for tree, title in (("src200k", "full walk, src-like tree (200,000 entries)"),
                            ("src20k", "full walk, src-like tree (20,000 entries)"),
                            ("flat", "full walk, flat directory (200,000 files)"),
                            ("chain", "full walk, chain of 1,500 directories")):
            bench(title, full_walk(tree), args.rounds, count_entries(t(tree)))

    if "stop" in only:
        early_stop(ts, t("flat"), args.rounds)

    # A threshold that is never met against none at all.
    d = t("src200k")
    if "never" in only:
        bench("threshold never met, src-like tree (200,000 entries)", [
            ("treestamp D", [ts, d], "int", [ts, d]),
            ("treestamp D 4000000000", [ts, d, "4000000000"], "int", [ts, d, "4000000000"]),
        ], args.rounds, count_entries(d))

    if "memory" in only:
        print("\n### peak resident memory of treestamp\n")
        print("| tree | KiB |")
        print("|---|---:|")
        for tree in ("src20k", "src200k", "flat", "chain"):
            print(f"| {tree} | {peak_rss([ts, t(tree)])} |")

    if "startup" in only:
        startup(ts, base, args.trees, args.rounds)


def startup(ts, base, top, rounds):
    """Start-up cost: each command started many times in a row by a small C
    driver, rounds interleaved; the floor is an empty C program linked the
    same way."""
    work = os.path.join(top, "startup")
    os.makedirs(work, exist_ok=True)
    driver, empty, empty_static = (os.path.join(work, n) for n in ("startup", "empty", "empty-static"))
    sh(f"cc -O2 -o '{driver}' '{os.path.join(HERE, 'startup.c')}'")
    with open(os.path.join(work, "empty.c"), "w") as f:
        f.write("int main(void) { return 0; }\n")
    sh(f"cc -O2 -o '{empty}' '{work}/empty.c' && cc -O2 -static -o '{empty_static}' '{work}/empty.c'")
    static = build_treestamp("bench-static", "-DTREESTAMP_STATIC=ON")
    one = os.path.join(work, "file")
    open(one, "w").close()
    small = os.path.join(work, "tree100")  # 10 directories of 9 files, and the root
    if not os.path.exists(small):
        for d in range(10):
            for f in range(9):
                os.makedirs(os.path.join(small, "d%d" % d), exist_ok=True)
                open(os.path.join(small, "d%d" % d, "f%d" % f), "w").close()
    awk_max = '{if ($1+0 > m) m = $1+0} END {printf "%d\\n", m}'
    # label, argv (a lone "|" pipes into a second command), floor label
    commands = [
        ("empty C program", [empty], None),
        ("empty C program, static", [empty_static], None),
        ("treestamp FILE", [ts, one], "empty C program"),
        ("treestamp FILE, static", [static, one], "empty C program, static"),
        *([("treestamp FILE, baseline", [base, one], "empty C program")] if base else []),
        ("treestamp TREE100", [ts, small], "empty C program"),
        ("treestamp TREE100, static", [static, small], "empty C program, static"),
        ("stat -c %Y FILE", ["stat", "-c", "%Y", one], "empty C program"),
        ("find FILE -printf, awk", ["find", one, "-printf", "%T@\\n", "|", "awk", awk_max],
         "empty C program"),
        ("du -s --time FILE", ["du", "-s", "--time", "--time-style=+%s", one], "empty C program"),
    ]
    count = 300
    per_run = alternate(commands, rounds, lambda argv: float(subprocess.run(
        [driver, str(count)] + argv, check=True, text=True, stdout=subprocess.PIPE).stdout))
    print("\n### start-up, one file and a 100-entry tree\n")
    print(f"{count} starts of each command per round, {rounds} rounds; the floor is the empty "
          "program linked the same way\n")
    print("| command | median µs per run | this / floor (paired median) | treestamp FILE / this |")
    print("|---|---:|---:|---:|")
    mine = per_run["treestamp FILE"]
    for label, _, floor in commands:
        times = per_run[label]
        ratio = (f"{statistics.median(a / b for a, b in zip(times, per_run[floor])):.2f}x"
                 if floor else "-")
        vs = statistics.median(a / b for a, b in zip(mine, times))
        print(f"| {label} | {statistics.median(times):.0f} | {ratio} | {vs:.2f}x |")


def early_stop(ts, flat, rounds):
    """Only the entry planted in the flat directory is above the threshold."""
    listing = os.listdir(flat)
    target = os.path.join(flat, listing[STOP_AFTER])
    threshold = STOP_THRESHOLD
    iso = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(threshold))  # bfs takes no @T
    # The tools answer differently here (a time, a path), so each is checked.
    commands = [
        ("treestamp D T", [ts, flat, str(threshold)], str(threshold + 1)),
        ("find -newermt -quit", ["find", flat, "-newermt", f"@{threshold}", "-print", "-quit"], target),
        ("bfs -newermt -quit", ["bfs", flat, "-newermt", iso, "-print", "-quit"], target),
    ]
    entries = len(listing) + 1
    print("\n### early stop, flat directory (200,000 files)\n")
    print(f"only {os.path.basename(target)}, number {STOP_AFTER + 1} in listing order, "
          f"is above {threshold}\n")
    for label, cmd, want in commands:
        got = run_once(cmd)[1].strip()
        if got != want:
            print(f"{label} printed {got!r}, expected {want!r}")
            sys.exit(1)
    times = alternate(commands, rounds, lambda cmd: run_once(cmd)[0])
    ts = times[commands[0][0]]
    print("| command | median ms | treestamp / this (paired median) | syscalls per directory entry |")
    print("|---|---:|---:|---:|")
    for label, cmd, _ in commands:
        med = statistics.median(times[label]) * 1000
        ratio = statistics.median(a / b for a, b in zip(ts, times[label]))
        print(f"| {label} | {med:.1f} | {ratio:.2f}x | {syscalls(cmd) / entries:.3f} |")


if __name__ == "__main__":
    main()
