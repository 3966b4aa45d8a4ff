#!/usr/bin/env python3
"""The lane's command channel (scripts/guest-agent.py), served here on a free port.

What ctest on the host relies on: a job's exit status (a signal as 128 + N), its output
and error output kept apart, and a job that the host gives up ended in the guest; and
what keeps other users of the machine out: a job without the guest's key runs nothing.
"""
import os
import socket
import subprocess
import sys
import tempfile
import time

agent = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "guest-agent.py")


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def call(port, key, *argv, env=()):
    extra = [a for name in env for a in ("-e", name)]
    return subprocess.run([sys.executable, agent, "call", str(port), key, *extra, "--", *argv],
                          capture_output=True, timeout=60)


def main():
    keys = tempfile.TemporaryDirectory()
    key, stranger = os.path.join(keys.name, "key"), os.path.join(keys.name, "stranger")
    for path, text in ((key, "a1b2c3"), (stranger, "a1b2c4")):
        with open(path, "w") as f:
            f.write(text + "\n")
    port = free_port()
    server = subprocess.Popen([sys.executable, agent, "serve", str(port), key])
    failures = []

    def check(what, ok):
        if not ok:
            failures.append(what)
            print("FAILED:", what)

    try:
        check("the guest answers", subprocess.run([sys.executable, agent, "ping", str(port), key, "--wait", "20"]).returncode == 0)
        r = call(port, key, "sh", "-c", 'echo out; echo err >&2; echo "$TOLVANE_X"; exit 3', env=["TOLVANE_X=given"])
        check("exit status", r.returncode == 3)
        check("output apart", r.stdout == b"out\ngiven\n")
        check("error output apart", r.stderr == b"err\n")
        r = call(port, key, "sh", "-c", "kill -TERM $$")
        check("a signal as 128 + N", r.returncode == 128 + 15)
        r = call(port, key, "/nonexistent/program")
        check("a command that cannot start", r.returncode == 127 and b"nonexistent" in r.stderr)

        # A job the host gives up: the guest ends its whole process group.
        with tempfile.TemporaryDirectory() as d:
            mark = os.path.join(d, "still-running")
            job = subprocess.Popen([sys.executable, agent, "call", str(port), key, "--", "sh", "-c",
                                    f"(sleep 3; touch {mark}) & sleep 30"])
            time.sleep(1)
            job.kill()
            job.wait()
            time.sleep(4)
            check("a job given up is ended with what it started", not os.path.exists(mark))
            r = call(port, stranger, "touch", mark)
            check("a job with another key runs nothing", r.returncode == 125 and not os.path.exists(mark))
    finally:
        server.kill()
        server.wait()
        keys.cleanup()
    print("guest agent:", "FAILED" if failures else "passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
