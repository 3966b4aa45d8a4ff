#!/usr/bin/env python3
"""A large product's install against the NSIS peer's, under Wine, in one run.

    install_large.py SETUP.EXE PEER.EXE TREE [--wine-root R] [--arch win32|win64]
                     [--rounds N] [--quick]

PEER.EXE "-" leaves the NSIS peer out (it is a 32-bit installer: a bench that runs no
32-bit code can still measure our upgrade against our install).

Round after round, alternating, in one fresh Wine prefix with a persistent wineserver:
  - the silent install of the NSIS zlib-solid installer of TREE (tests/bench/nsis_peer.sh):
    `PEER.EXE /S /D=C:\\bench\\nsisN`, timed over its whole process;
  - SETUP.EXE (a setup.exe of TREE) walked through its pages by tolvane-drive.exe into
    C:\\bench\\oursN, timed from the press of Next on the folder page to the completion
    page (the extraction and the few steps after it), while the setup process's RssAnon
    (/proc/PID/status; the process whose command line starts with SETUP.EXE's name) is
    sampled.
  - SETUP.EXE again over that install, as an upgrade (its setup-type page's default),
    timed from the press of Next on that page to the upgrade completion page, and to the
    end of the setup process after Finish (what the worker still clears up is waited for).
Each timed step starts after a sync, so that none pays for writing back what the step
before it wrote. The first round's trees are compared with TREE byte for byte, after the install and after
the upgrade. Medians over the rounds:
  install_large_vs_nsis    our install's wall time over the NSIS silent install's   aim <= 1.0
  install_large_anon_mb    the largest RssAnon of the setup process, in MiB         aim <= 64
  upgrade_large_vs_install our upgrade over the install, over our install's time    aim <= 1.2
"""
import argparse
import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
WINE_BENCH = os.path.join(TOP, "scripts", "wine-bench.sh")
PREFIX = "install-large"
# Page templates and controls of the wizard (resources/resource_ids.h).
IDD_WELCOME, IDD_SETUP_TYPE, IDD_LICENSE, IDD_USER_INFO, IDD_SELECT_FOLDER, IDD_COMPLETION = 206, 207, 208, 209, 210, 212
IDD_UPGRADE_COMPLETION = 216
IDC_ACCEPT, IDC_USER_NAME, IDC_COMPANY, IDC_FOLDER = 1007, 1010, 1011, 1011


def wine_env(prefix, arch):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
               LANG="zh_CN.UTF-8", LC_ALL="zh_CN.UTF-8")
    if arch == "win32":
        env["WINEARCH"] = "win32"
    return env


def anon_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return None


def processes_named(exe_name):
    """Pids whose first command-line word names exe_name (Windows or Unix path)."""
    want = exe_name.lower()
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                first = f.read().split(b"\0")[0].decode("utf-8", "replace")
        except OSError:
            continue
        if first.replace("\\", "/").rsplit("/", 1)[-1].lower() == want:
            pids.append(int(entry))
    return pids


class AnonSampler:
    """Samples the largest RssAnon of every process named like the setup program."""

    def __init__(self, exe_name, period=0.02):
        self.exe_name, self.period = exe_name, period
        self.peak_kib, self.samples = 0, 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            for pid in processes_named(self.exe_name):
                kib = anon_kib(pid)
                if kib is not None:
                    self.peak_kib = max(self.peak_kib, kib)
                    self.samples += 1
            self._stop.wait(self.period)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


class Bench:
    def __init__(self, root, arch, drive):
        self.root, self.arch, self.drive = root, arch, drive
        self.prefix = os.path.join(root, PREFIX + "-" + arch)
        self.server = None

    def start(self):
        subprocess.run(["bash", WINE_BENCH, "fresh", "--root", self.root, "--arch", self.arch,
                        "--name", os.path.basename(self.prefix)], check=True, stdout=subprocess.DEVNULL)
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

    def command(self, program, *args):
        return ["bash", WINE_BENCH, "run", "--root", self.root, "--prefix", os.path.basename(self.prefix),
                program, *args]

    def peer(self, peer, folder):
        os.sync()
        start = time.perf_counter()
        subprocess.run(self.command(peer, "/S", "/D=C:\\bench\\" + folder), check=True, stdout=subprocess.DEVNULL)
        return time.perf_counter() - start

    def forget_install(self):
        # The next round is a first install again: no record, so no setup-type page.
        for key in ("HKLM\\Software\\QUAV_SRV", "HKLM\\Software\\Wow6432Node\\QUAV_SRV"):
            subprocess.run(self.command("reg", "delete", key, "/f"), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)

    def ours(self, setup, folder, timeout_s):
        """(seconds from the last Next to the completion page, to the process's end, peak
        RssAnon KiB)."""
        self.forget_install()
        steps = ["page", str(IDD_WELCOME), "next", "page", str(IDD_LICENSE), "choose", str(IDC_ACCEPT), "next",
                 "page", str(IDD_USER_INFO), "type", str(IDC_USER_NAME), "bench", "type", str(IDC_COMPANY), "bench",
                 "next", "page", str(IDD_SELECT_FOLDER), "type", str(IDC_FOLDER), "C:\\bench\\" + folder + "\\",
                 "next", "page", str(IDD_COMPLETION), "finish", "exit", "0"]
        return self.walk(setup, steps, IDD_COMPLETION, timeout_s)

    def upgrade(self, setup, timeout_s):
        """The same over the install just made, from Next on the setup-type page to the
        upgrade completion page."""
        steps = ["page", str(IDD_WELCOME), "next", "page", str(IDD_SETUP_TYPE), "next",
                 "page", str(IDD_UPGRADE_COMPLETION), "finish", "exit", "0"]
        return self.walk(setup, steps, IDD_UPGRADE_COMPLETION, timeout_s)

    def walk(self, setup, steps, last_page, timeout_s):
        args = self.command(self.drive, "--timeout", str(int(timeout_s * 1000)), setup, *steps)
        marks = []
        os.sync()
        with AnonSampler(os.path.basename(setup)) as sampler:
            child = subprocess.Popen(args, stdout=subprocess.PIPE, text=True, encoding="utf-8", errors="replace")
            for line in child.stdout:
                marks.append((time.perf_counter(), line.strip()))
            code = child.wait()
        if code != 0:
            raise RuntimeError("tolvane-drive failed:\n" + "\n".join(m[1] for m in marks))
        # The step lines come in order; the last "next" is the one that starts the work.
        nexts = [t for t, text in marks if text == "ok    pressed next"]
        done = [t for t, text in marks if text == "ok    page %d" % last_page]
        ended = [t for t, text in marks if text.startswith("ok    exit code")]
        if not nexts or not done or not ended or sampler.samples == 0:
            raise RuntimeError("no timing or memory samples:\n" + "\n".join(m[1] for m in marks))
        return done[0] - nexts[-1], ended[-1] - nexts[-1], sampler.peak_kib


def same_tree(a, b):
    for dirpath, dirs, files in os.walk(a):
        rel = os.path.relpath(dirpath, a)
        for name in dirs:
            if not os.path.isdir(os.path.join(b, rel, name)):
                print("install_large: folder %s missing" % os.path.join(rel, name), file=sys.stderr)
                return False
        for name in files:
            other = os.path.join(b, rel, name)
            if not os.path.isfile(other) or not filecmp.cmp(os.path.join(dirpath, name), other, shallow=False):
                print("install_large: %s differs" % os.path.join(rel, name), file=sys.stderr)
                return False
    count = lambda t: sum(len(f) + len(d) for _, d, f in os.walk(t))
    return count(a) == count(b)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("setup")
    p.add_argument("peer")
    p.add_argument("tree")
    p.add_argument("--wine-root", default=os.path.join(TOP, "build", "win", "wine"))
    p.add_argument("--drive", default=os.path.join(TOP, "build", "win", "tests", "support", "tolvane-drive.exe"))
    p.add_argument("--arch", choices=("win32", "win64"), default="win32")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--quick", action="store_true", help="one round, no ratio")
    a = p.parse_args()
    rounds = 1 if a.quick else a.rounds
    with_peer = a.peer != "-"
    for path in (a.setup, a.tree, a.drive) + ((a.peer,) if with_peer else ()):
        if not os.path.exists(path):
            print("install_large: %s is missing" % path, file=sys.stderr)
            return 1
    size = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(a.tree) for f in fs)
    timeout_s = 120 + size / 5e6  # generous: 5 MB/s at the least
    first_file = next(os.path.relpath(os.path.join(d, f), a.tree) for d, _, fs in sorted(os.walk(a.tree)) for f in sorted(fs))
    b = Bench(os.path.abspath(a.wine_root), a.arch, os.path.abspath(a.drive))
    b.start()
    nsis, ours, anon, upgrades, upgrade_ends = [], [], [], [], []
    ok = True
    try:
        os.makedirs(b.drive_c("bench"), exist_ok=True)
        for i in range(rounds):
            kinds = ("nsis", "ours") if i % 2 == 0 else ("ours", "nsis")
            for kind in (kinds if with_peer else ("ours",)):
                folder = "%s%d" % (kind, i)
                if kind == "nsis":
                    nsis.append(b.peer(os.path.abspath(a.peer), folder))
                else:
                    wall, _, kib = b.ours(os.path.abspath(a.setup), folder, timeout_s)
                    ours.append(wall)
                    anon.append(kib)
                if i == 0 and not same_tree(a.tree, b.drive_c("bench", folder)):
                    print("install_large: the %s tree differs from %s" % (kind, a.tree), file=sys.stderr)
                    ok = False
                if kind == "ours":
                    # An upgrade that writes nothing (the package older than what it
                    # finds) would time nothing: the files must be written again.
                    probe = b.drive_c("bench", folder, first_file)
                    before = os.stat(probe).st_mtime_ns
                    wall, end, kib = b.upgrade(os.path.abspath(a.setup), timeout_s)
                    if os.stat(probe).st_mtime_ns == before:
                        print("install_large: the upgrade did not write %s again" % first_file, file=sys.stderr)
                        return 1
                    upgrades.append(wall)
                    upgrade_ends.append(end)
                    anon.append(kib)
                    if i == 0 and not same_tree(a.tree, b.drive_c("bench", folder)):
                        print("install_large: the upgraded tree differs from %s" % a.tree, file=sys.stderr)
                        ok = False
                shutil.rmtree(b.drive_c("bench", folder), ignore_errors=True)
    finally:
        shutil.rmtree(b.drive_c("bench"), ignore_errors=True)
        b.stop()
    med = statistics.median
    print("tree %d bytes, %s prefix, %d rounds, medians: NSIS /S %s, ours %.2f s, our upgrade %.2f s "
          "(%.2f s to setup's end); setup RssAnon peak %.1f MiB (largest round)"
          % (size, a.arch, rounds, "%.2f s" % med(nsis) if nsis else "not run", med(ours), med(upgrades),
             med(upgrade_ends), max(anon) / 1024))
    if not a.quick:
        if nsis:
            print("ratio install_large_vs_nsis %.3f aim <= 1.0" % (med(ours) / med(nsis)))
        print("ratio install_large_anon_mb %.1f aim <= 64" % (max(anon) / 1024))
        print("ratio upgrade_large_vs_install %.3f aim <= 1.2" % (med(upgrades) / med(ours)))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
