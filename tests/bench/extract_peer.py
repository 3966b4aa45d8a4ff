#!/usr/bin/env python3
"""Extraction against the peer, under Wine, in one run.

Installs the sample product's tree, round after round, four ways, each as a whole Windows
process in one Wine prefix:
  - the silent install of an NSIS zlib-solid installer of the tree (tests/bench/nsis_peer.sh),
    less an empty NSIS installer;
  - bench_extract_cpu.exe running ExtractPackage on the sample package, less the same
    program doing nothing (it reads the manifest and the key and makes the folder);
  - the same program copying the tree with CopyFileW, less the same program doing nothing;
  - bench_extract_bare.exe, the same program without the run's mechanism (the journal,
    its registry place, the moves aside, the flushes, the helper thread), extracting,
    less it doing nothing: what the all-or-nothing run costs.

CPU time is what the kernel accounts to the work on Wine's behalf: user + system time of
the process (wait4 rusage, which holds the Windows process, its threads and any child it
reaped) plus the CPU time the prefix's wineserver and Wine's own service processes
(explorer, services, ...) spend while it runs (/proc/PID/task/*/schedstat, in ns). The
wineserver serves every file, handle and registry call of the process, so leaving it out
would favour whichever side makes more system calls. The wineserver is started here,
persistent, so that no run pays for starting it. Wall time is the process's whole life.

Every tree made in the first round is compared with the product tree. Medians over the
rounds (each ratio is the median of the rounds' own ratios); the ratio lines come last:
  extract_cpu_vs_nsis    our CPU over NSIS's                   aim <= 1.0
  extract_wall_vs_copy   our wall time over the plain copy's   aim <= 1.3
  extract_run_vs_bare    our wall time over the same extraction without the run's
                         mechanism                              aim <= 1.25
"""
import argparse
import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
WINE_BENCH = os.path.join(TOP, "scripts", "wine-bench.sh")
PREFIX = "peer"


def cache_value(build, name):
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    return None


def wine_env(prefix, arch):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEARCH=arch, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
               LANG="zh_CN.UTF-8", LC_ALL="zh_CN.UTF-8")
    return env


def prefix_processes(prefix, exclude):
    """Pids of the processes that run for this prefix (their environment names it)."""
    wanted = b"WINEPREFIX=" + os.fsencode(prefix) + b"\0"
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) in exclude:
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                if wanted in f.read() + b"\0":
                    pids.append(int(entry))
        except OSError:
            pass
    return pids


def cpu_ns(pid):
    total = 0
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        pass
    return total


def background_ns(prefix, exclude):
    return {pid: cpu_ns(pid) for pid in prefix_processes(prefix, exclude)}


class Runner:
    def __init__(self, root, arch):
        self.root, self.arch = root, arch
        self.prefix = os.path.join(root, PREFIX)
        self.server = None

    def start(self):
        subprocess.run(["bash", WINE_BENCH, "fresh", "--root", self.root, "--arch", self.arch, "--name", PREFIX],
                       check=True, stdout=subprocess.DEVNULL)
        # Foreground and persistent: it stays ours (its pid) and alive between the runs.
        self.server = subprocess.Popen(["wineserver", "-f", "-p"], env=wine_env(self.prefix, self.arch))

    def stop(self):
        if self.server:
            subprocess.run(["wineserver", "-k"], env=wine_env(self.prefix, self.arch), stderr=subprocess.DEVNULL)
            try:
                self.server.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()

    def drive_c(self, *parts):
        return os.path.join(self.prefix, "drive_c", *parts)

    def run(self, program, *args):
        """(cpu seconds, of which Wine's own processes, wall seconds) of one run; raises when it fails."""
        before = background_ns(self.prefix, {os.getpid()})
        start = time.perf_counter()
        child = subprocess.Popen(["bash", WINE_BENCH, "run", "--root", self.root, "--prefix", PREFIX, program, *args],
                                 stdout=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(status)
        after = background_ns(self.prefix, {os.getpid()})
        if child.returncode != 0:
            raise RuntimeError("%s %s exited with %d" % (program, " ".join(args), child.returncode))
        extra = sum(ns - before.get(pid, 0) for pid, ns in after.items()) / 1e9
        return usage.ru_utime + usage.ru_stime + extra, extra, wall


def same_tree(a, b):
    """True when both trees hold the same files with the same bytes."""
    for dirpath, _, files in os.walk(a):
        rel = os.path.relpath(dirpath, a)
        for name in files:
            other = os.path.join(b, rel, name)
            if not os.path.isfile(other) or not filecmp.cmp(os.path.join(dirpath, name), other, shallow=False):
                print("extract_peer: %s differs" % os.path.join(rel, name), file=sys.stderr)
                return False
    count = lambda t: sum(len(f) for _, _, f in os.walk(t))
    return count(a) == count(b)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--win", required=True, help="the Windows build folder")
    p.add_argument("--wine-root", required=True, help="the Wine bench folder (scripts/wine-bench.sh --root)")
    p.add_argument("--out", help="where the peer installers go (default WIN/bench-peer)")
    p.add_argument("--rounds", type=int, default=21)
    p.add_argument("--quick", action="store_true", help="one round: checks that everything works")
    p.add_argument("--arch", choices=("win32", "win64"), default="win32",
                   help="win64: WIN is the x86_64 test build, set against a 64-bit NSIS peer")
    a = p.parse_args()
    rounds = 1 if a.quick else a.rounds
    win = os.path.abspath(a.win)
    root = os.path.abspath(a.wine_root)
    out = os.path.abspath(a.out or os.path.join(win, "bench-peer"))
    product = os.path.join(cache_value(win, "TOLVANE_PACKAGE_DIR"), "product")
    ours = os.path.join(win, "tests", "bench", "bench_extract_cpu.exe")
    bare = os.path.join(win, "tests", "bench", "bench_extract_bare.exe")
    for path in (product, ours, bare):
        if not os.path.exists(path):
            print("extract_peer: %s is missing" % path, file=sys.stderr)
            return 1
    os.makedirs(out, exist_ok=True)
    peer, empty = os.path.join(out, "peer.exe"), os.path.join(out, "empty.exe")
    nsis = ["bash", os.path.join(HERE, "nsis_peer.sh")] + (["--amd64"] if a.arch == "win64" else [])
    subprocess.run(nsis + [product, peer], check=True)
    subprocess.run(nsis + ["--empty", empty], check=True)

    r = Runner(root, a.arch)
    r.start()
    kinds = ["empty", "nsis", "nothing", "extract", "copy", "bare_nothing", "bare"]
    cpu = {k: [] for k in kinds}
    wall = {k: [] for k in kinds}
    server = {k: [] for k in kinds}
    ok = True
    try:
        commands = {
            "empty": lambda d: (empty, "/S", "/D=C:\\bench\\" + d),
            "nsis": lambda d: (peer, "/S", "/D=C:\\bench\\" + d),
            "nothing": lambda d: (ours, "nothing", "C:\\bench\\" + d),
            "extract": lambda d: (ours, "extract", "C:\\bench\\" + d),
            "copy": lambda d: (ours, "copy", "C:\\bench\\" + d),
            "bare_nothing": lambda d: (bare, "nothing", "C:\\bench\\" + d),
            "bare": lambda d: (bare, "extract", "C:\\bench\\" + d),
        }
        os.makedirs(r.drive_c("bench"), exist_ok=True)
        # A first run of each, not counted: Wine's own start in the prefix, the caches.
        for k in kinds:
            shutil.rmtree(r.drive_c("bench", k), ignore_errors=True)
            r.run(*commands[k](k))
        for i in range(rounds):
            # Rotated each round, so that no kind always follows the same one.
            for k in kinds[i % len(kinds):] + kinds[:i % len(kinds)]:
                shutil.rmtree(r.drive_c("bench", k), ignore_errors=True)
                c, s_, w = r.run(*commands[k](k))
                cpu[k].append(c)
                server[k].append(s_)
                wall[k].append(w)
            if i == 0:
                for k in ("nsis", "extract", "copy", "bare"):
                    if not same_tree(product, r.drive_c("bench", k)):
                        print("extract_peer: the %s tree differs from the product" % k, file=sys.stderr)
                        ok = False
    finally:
        for k in kinds:
            shutil.rmtree(r.drive_c("bench", k), ignore_errors=True)
        r.stop()

    med = lambda xs: statistics.median(xs)
    # Differences round by round, then their medians: the machine's drift cancels pairwise.
    diff = lambda t, a_, b_: med([x - y for x, y in zip(t[a_], t[b_])])
    n_cpu, o_cpu, c_cpu = diff(cpu, "nsis", "empty"), diff(cpu, "extract", "nothing"), diff(cpu, "copy", "nothing")
    n_wall, o_wall, c_wall = diff(wall, "nsis", "empty"), diff(wall, "extract", "nothing"), diff(wall, "copy", "nothing")
    b_cpu, b_wall = diff(cpu, "bare", "bare_nothing"), diff(wall, "bare", "bare_nothing")
    size = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(product) for f in fs)
    print("product tree: %d bytes; NSIS installer %d bytes (empty one %d); %d rounds, medians"
          % (size, os.path.getsize(peer), os.path.getsize(empty), rounds))
    print("%-34s %9s %9s %9s" % ("", "cpu ms", "wine ms", "wall ms"))
    for label, k in (("empty NSIS installer", "empty"), ("NSIS installer", "nsis"),
                     ("our program doing nothing", "nothing"), ("our program: ExtractPackage", "extract"),
                     ("our program: CopyFileW tree", "copy"), ("without the run, doing nothing", "bare_nothing"),
                     ("without the run: ExtractPackage", "bare")):
        print("%-34s %9.1f %9.1f %9.1f" % (label, med(cpu[k]) * 1e3, med(server[k]) * 1e3, med(wall[k]) * 1e3))
    print("(cpu: the process and Wine's processes together; wine: the wineserver's and services' part)")
    print("less the fixed costs:")
    print("%-34s %9.1f %9.1f" % ("NSIS install", n_cpu * 1e3, n_wall * 1e3))
    print("%-34s %9.1f %9.1f" % ("ExtractPackage", o_cpu * 1e3, o_wall * 1e3))
    print("%-34s %9.1f %9.1f" % ("plain copy", c_cpu * 1e3, c_wall * 1e3))
    print("%-34s %9.1f %9.1f" % ("ExtractPackage without the run", b_cpu * 1e3, b_wall * 1e3))
    print("the run's mechanism: %.1f ms cpu, %.1f ms wall" % ((o_cpu - b_cpu) * 1e3, (o_wall - b_wall) * 1e3))
    if n_wall > 0 and c_wall > 0:
        print("NSIS install wall time over the plain copy's: %.3f" % (n_wall / c_wall))
    if a.quick:
        return 0 if ok else 1
    # Each ratio is taken round by round, then their median. Wine's own share of the CPU
    # time is seen to change up to fourfold for a while, and not for every kind of run at
    # once; a ratio of medians could then set one side's slow rounds against the other's
    # fast ones.
    def ratio(name, t, num, num_base, den, den_base, aim):
        rs = [(t[num][i] - t[num_base][i]) / (t[den][i] - t[den_base][i])
              for i in range(rounds) if t[den][i] > t[den_base][i]]
        if rs:
            print("%s: rounds from %.3f to %.3f" % (name, min(rs), max(rs)))
            print("ratio %s %.3f aim <= %s" % (name, med(rs), aim))
    ratio("extract_cpu_vs_nsis", cpu, "extract", "nothing", "nsis", "empty", "1.0")
    ratio("extract_wall_vs_copy", wall, "extract", "nothing", "copy", "nothing", "1.3")
    ratio("extract_run_vs_bare", wall, "extract", "nothing", "bare", "bare_nothing", "1.25")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
