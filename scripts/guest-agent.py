#!/usr/bin/env python3
"""The command channel between this machine and the lane's guest (scripts/guest.sh).

  guest-agent.py serve PORT KEYFILE [--idle SECONDS]
      In the guest: run the command lines the host sends, until no job has run for
      SECONDS (then return, and the guest powers off).
  guest-agent.py call PORT KEYFILE [-e NAME=VALUE]... [-C DIR] -- COMMAND [ARGS...]
      On the host: run COMMAND in the guest, copy its standard output and error here as
      they come, and exit with its exit status (128 + N when signal N ended it).
  guest-agent.py ping PORT KEYFILE [--wait SECONDS]
      Whether the guest answers (exit 0), waiting up to SECONDS for it.

A job is one TCP connection to the guest's PORT (forwarded from 127.0.0.1, where any user
of this machine can reach it). The host sends one line of JSON, {"key": "...", "argv":
[...], "cwd": "...", "env": {...}}; a job whose key is not the one in KEYFILE (a file only
the guest's owner can read) runs nothing. The guest answers with frames
of one byte of kind (1 output, 2 error output, 3 exit status as decimal text), four bytes
of length (big-endian) and the bytes. A connection that ends before the exit frame ends the
job's whole process group: a test that ctest stops on the host for its timeout leaves
nothing running in the guest.
"""
import hmac
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

OUT, ERR, EXIT = 1, 2, 3


def send_frame(sock, lock, kind, data):
    with lock:
        sock.sendall(struct.pack(">BI", kind, len(data)) + data)


def read_exact(sock, n):
    buf = b""
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            return None
        buf += chunk
    return buf


class Server:
    def __init__(self, port, key, idle):
        self.port, self.key, self.idle = port, key, idle
        self.active = 0
        self.last = time.monotonic()
        self.state = threading.Lock()

    def job(self, conn):
        with self.state:
            self.active += 1
        try:
            self.run_job(conn)
        except OSError:
            pass
        finally:
            conn.close()
            with self.state:
                self.active -= 1
                self.last = time.monotonic()

    def run_job(self, conn):
        line = b""
        while not line.endswith(b"\n"):
            chunk = conn.recv(65536)
            if not chunk:
                return
            line += chunk
        request = json.loads(line)
        if not hmac.compare_digest(str(request.get("key", "")).encode(), self.key.encode()):
            return
        env = dict(os.environ)
        env.update(request.get("env", {}))
        cwd = request.get("cwd") or "/"
        if not os.path.isdir(cwd):
            cwd = "/"
        lock = threading.Lock()
        try:
            proc = subprocess.Popen(request["argv"], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    start_new_session=True)
        except OSError as e:
            send_frame(conn, lock, ERR, f"guest-agent: {e}\n".encode())
            send_frame(conn, lock, EXIT, b"127")
            return

        def pump(pipe, kind):
            try:
                for chunk in iter(lambda: os.read(pipe.fileno(), 65536), b""):
                    send_frame(conn, lock, kind, chunk)
            except OSError:
                pass

        def watch():
            # The host closes the connection only when it gives the job up.
            try:
                while conn.recv(1):
                    pass
            except OSError:
                pass
            if proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except OSError:
                    pass

        pumps = [threading.Thread(target=pump, args=(proc.stdout, OUT), daemon=True),
                 threading.Thread(target=pump, args=(proc.stderr, ERR), daemon=True)]
        for t in pumps:
            t.start()
        threading.Thread(target=watch, daemon=True).start()
        code = proc.wait()
        # A daemon the job started (wineserver, say) may keep the pipes open: copy what
        # is already there, then answer.
        for t in pumps:
            t.join(timeout=3)
        # The shares cache what is written: the host sees it once it is synced.
        os.sync()
        status = code if code >= 0 else 128 - code
        send_frame(conn, lock, EXIT, str(status).encode())
        try:
            conn.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def serve(self):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("0.0.0.0", self.port))
        listener.listen(16)
        listener.settimeout(5)
        while True:
            try:
                conn, _ = listener.accept()
            except socket.timeout:
                with self.state:
                    if self.active == 0 and self.idle and time.monotonic() - self.last > self.idle:
                        return
                continue
            threading.Thread(target=self.job, args=(conn,), daemon=True).start()


def read_key(path):
    with open(path) as f:
        return f.read().strip()


def call(port, key, argv, env, cwd):
    sock = socket.create_connection(("127.0.0.1", port))
    sock.sendall(json.dumps({"key": key, "argv": argv, "env": env, "cwd": cwd}).encode() + b"\n")
    out = {OUT: sys.stdout.buffer, ERR: sys.stderr.buffer}
    while True:
        head = read_exact(sock, 5)
        if head is None:
            sys.stderr.write("guest-agent: the guest ended the job without an exit status\n")
            return 125
        kind, length = struct.unpack(">BI", head)
        data = read_exact(sock, length) if length else b""
        if data is None:
            sys.stderr.write("guest-agent: the guest ended the job without an exit status\n")
            return 125
        if kind == EXIT:
            return int(data)
        out[kind].write(data)
        out[kind].flush()


def ping(port, key, wait):
    deadline = time.monotonic() + wait
    while True:
        try:
            if call(port, key, ["true"], {}, "/") == 0:
                return 0
        except OSError:
            pass
        if time.monotonic() >= deadline:
            return 1
        time.sleep(1)


def main(args):
    if len(args) >= 3 and args[0] == "serve":
        idle = int(args[4]) if len(args) >= 5 and args[3] == "--idle" else 0
        Server(int(args[1]), read_key(args[2]), idle).serve()
        return 0
    if len(args) >= 3 and args[0] == "ping":
        wait = int(args[4]) if len(args) >= 5 and args[3] == "--wait" else 0
        return ping(int(args[1]), read_key(args[2]), wait)
    if len(args) >= 3 and args[0] == "call":
        port, key, rest, env, cwd = int(args[1]), read_key(args[2]), args[3:], {}, os.getcwd()
        while rest and rest[0] != "--":
            if rest[0] == "-e" and len(rest) > 1 and "=" in rest[1]:
                name, value = rest[1].split("=", 1)
                env[name] = value
                rest = rest[2:]
            elif rest[0] == "-C" and len(rest) > 1:
                cwd, rest = rest[1], rest[2:]
            else:
                break
        if not rest or rest[0] != "--" or len(rest) < 2:
            sys.stderr.write("guest-agent: call PORT KEYFILE [-e NAME=VALUE]... [-C DIR] -- COMMAND [ARGS...]\n")
            return 2
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
        try:
            return call(port, key, rest[1:], env, cwd)
        except OSError as e:
            sys.stderr.write(f"guest-agent: no guest answers on port {port}: {e}\n")
            return 125
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
