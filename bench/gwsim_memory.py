#!/usr/bin/env python3
"""gwsim_memory.py - what one connection costs gwsim in resident memory.

Usage:
    gwsim_memory.py [--connections N] [--sessions N] [--rounds R] GWSIM [GWSIM ...]

For each gwsim binary given (for instance one built from main and one from a
branch, to compare them side by side in one run), three cases, each on a
fresh gwsim process with its own scenario:

  idle       N connections that shook hands, logged in, and keep silent;
  partial    N connections that shook hands and then sent all but the last
             byte of a frame of the largest size (65,603 of 65,604 bytes);
  subscribed N sessions logged in and subscribed up to the cap: 4096 event
             types and 4096 information objects each.

The figure of a case is the growth of gwsim's resident set (VmRSS) from
just after it started listening to when the connections are in place and
gwsim has gone quiet, divided by the number of connections. Each case runs
R rounds, the binaries interleaved round by round; the table gives the
median and the ratio of each binary's median to the first binary's.

Only the standard library; every server listens on loopback and is stopped
on every exit path; every wait is bounded.
"""
import argparse
import os
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

TIMEOUT = 60
SUBSCRIPTION_CAP = 4096
MAX_FRAME = 4 + 65600
BATCH = 256  # requests sent before their answers are read

SCENARIO = """
[users.demo]
password = "demo-pass"

[event_types]
list = "1"

[[info_objects]]
name = "BO5"
"""


def frame(body):
    return struct.pack(">I", len(body)) + body


def hello():
    return frame(struct.pack(">BI4sHi", 0x01, 0, b"GWSP", 1, 0))


def login(request_id):
    message = bytearray(232)
    message[0:4] = b"demo"
    message[32:41] = b"demo-pass"  # gwsim reads only the user and the password
    return frame(struct.pack(">BII", 0x10, request_id, len(message)) + bytes(message))


def set_event(request_id, event_type, record=b""):
    return frame(struct.pack(">BIiI", 0x17, request_id, event_type, len(record)) + record)


def object_record():
    # 24 bytes: length 24, key, broadcast id "BO5", the rest zero.
    return struct.pack(">II2sH", 24, 0, b"BO", 5) + bytes(12)


def read_exact(sock, count):
    data = bytearray()
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise RuntimeError("gwsim closed a connection")
        data += chunk
    return bytes(data)


def read_answer(sock):
    length = struct.unpack(">I", read_exact(sock, 4))[0]
    body = read_exact(sock, length)
    return struct.unpack(">BIii", body[:13])


def shake_hands(sock):
    sock.sendall(hello())
    length = struct.unpack(">I", read_exact(sock, 4))[0]
    read_exact(sock, length)


def log_in(sock):
    sock.sendall(login(1))
    _, _, completion, _ = read_answer(sock)
    if completion != 0:
        raise RuntimeError("login answered %d" % completion)


def subscribe_to_cap(sock):
    """4096 event types other than 1, then 4096 objects, in batches."""
    requests = [(t, b"") for t in range(2, 2 + SUBSCRIPTION_CAP)]
    requests += [(1, object_record())] * SUBSCRIPTION_CAP
    request_id = 2
    for start in range(0, len(requests), BATCH):
        batch = requests[start:start + BATCH]
        sock.sendall(b"".join(set_event(request_id + i, t, r) for i, (t, r) in enumerate(batch)))
        for _ in batch:
            _, _, completion, _ = read_answer(sock)
            if completion != 0:
                raise RuntimeError("a subscription answered %d" % completion)
        request_id += len(batch)


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for %d" % pid)


def settled_rss(pid):
    """VmRSS once it has not changed for half a second (gwsim has read everything)."""
    last = rss_kib(pid)
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        time.sleep(0.5)
        now = rss_kib(pid)
        if now == last:
            return now
        last = now
    raise RuntimeError("gwsim's memory did not settle")


class Gwsim:
    def __init__(self, binary, work):
        scenario = os.path.join(work, "memory.toml")
        with open(scenario, "w") as out:
            out.write(SCENARIO)
        port_file = os.path.join(work, "port")
        if os.path.exists(port_file):
            os.remove(port_file)
        args = [binary, "--scenario", scenario, "--port-file", port_file]
        if "--idle-timeout-ms" in subprocess.run([binary, "--help"], capture_output=True,
                                                 text=True, timeout=TIMEOUT).stdout:
            args += ["--idle-timeout-ms", "600000"]  # no closing while the case runs
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            try:
                with open(port_file) as text:
                    content = text.read()
                if content.endswith("\n"):
                    self.port = int(content)
                    return
            except FileNotFoundError:
                pass
            if self.process.poll() is not None:
                raise RuntimeError("%s exited at start" % binary)
            time.sleep(0.01)
        self.stop()
        raise RuntimeError("%s wrote no port file" % binary)

    def connect(self):
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return sock

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def idle(sock):
    shake_hands(sock)
    log_in(sock)


def partial(sock):
    shake_hands(sock)
    body_length = MAX_FRAME - 4
    sock.sendall(struct.pack(">I", body_length) + bytes([0x13]) + bytes(body_length - 2))


def subscribed(sock):
    shake_hands(sock)
    log_in(sock)
    subscribe_to_cap(sock)


CASES = [("idle", idle, "connections"), ("partial", partial, "connections"),
         ("subscribed", subscribed, "sessions")]


def measure(binary, prepare, count, work):
    """KiB of gwsim's resident set per connection prepared by `prepare`."""
    gwsim = Gwsim(binary, work)
    sockets = []
    try:
        time.sleep(0.2)
        before = settled_rss(gwsim.process.pid)
        for _ in range(count):
            sock = gwsim.connect()
            sockets.append(sock)
            prepare(sock)
        after = settled_rss(gwsim.process.pid)
        return (after - before) / count
    finally:
        for sock in sockets:
            sock.close()
        gwsim.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--connections", type=int, default=500)
    parser.add_argument("--sessions", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("gwsim", nargs="+")
    options = parser.parse_args()

    counts = {"connections": options.connections, "sessions": options.sessions}
    results = {(name, binary): [] for name, _, _ in CASES for binary in options.gwsim}
    with tempfile.TemporaryDirectory(prefix="gwsim-memory.") as work:
        for name, prepare, unit in CASES:
            for _ in range(options.rounds):
                for binary in options.gwsim:
                    figure = measure(binary, prepare, counts[unit], work)
                    results[(name, binary)].append(figure)
                    print("%-10s %-40s %9.1f KiB" % (name, binary, figure), file=sys.stderr)

    print("| case | count | " + " | ".join(options.gwsim) + " |")
    print("|---|---|" + "---|" * len(options.gwsim))
    for name, _, unit in CASES:
        first = statistics.median(results[(name, options.gwsim[0])])
        cells = []
        for binary in options.gwsim:
            median = statistics.median(results[(name, binary)])
            ratio = "" if binary == options.gwsim[0] else " (%.3f)" % (median / first)
            cells.append("%.1f KiB%s" % (median, ratio))
        print("| %s | %d %s | %s |" % (name, counts[unit], unit, " | ".join(cells)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
