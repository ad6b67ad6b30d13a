#!/usr/bin/python3
"""Start-up of the full-screen program: the time from exec to the first bytes of the mode screen's
first frame on a pseudo-terminal, and the resident set at that moment.

Usage: /usr/bin/python3 bench/first_frame.py <kestravel> [--runs N] [--size COLSxROWS]
                                              [--terminal answers|background|silent]

Each run forks onto a new pty (100x30 by default), writes CLOCK_MONOTONIC into a pipe right before
execve (so the fork and Python's own work are not counted) and execs the program with an empty
configuration directory, in an empty project directory, on the embedded runtime. The parent reads
the pty until the mode screen's text ("Reasoning") has arrived; the time of the read that
completes it is the first frame. VmRSS and VmHWM are read from /proc at that moment, then `q`
quits. Like a terminal, the parent answers the program's start-up queries: by default the device
attributes query only (a terminal that does not report its background, the slowest common case);
`background` answers the background colour query as well (white); `silent` answers nothing, as a
bare pty does, so the first frame waits out the program's whole hold for an answer. Prints the
median, minimum and maximum of each, and the shared libraries loaded then
(from /proc/PID/maps).
"""

import os
import pty
import select
import signal
import statistics
import struct
import sys
import tempfile
import termios
import fcntl
import time

MARK = b"Reasoning"


def one_run(exe, cols, rows, workdir, confdir, terminal):
    rd, wr = os.pipe()
    pid, fd = pty.fork()
    if pid == 0:
        os.close(rd)
        fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
        os.chdir(workdir)
        env = {"PATH": "/usr/bin:/bin", "TERM": "xterm-256color", "HOME": workdir,
               "XDG_CONFIG_HOME": confdir, "LANG": os.environ.get("LANG", "C.UTF-8")}
        os.write(wr, struct.pack("q", time.monotonic_ns()))
        os.close(wr)
        try:
            os.execve(exe, [exe], env)
        finally:
            os._exit(127)
    os.close(wr)
    started = struct.unpack("q", os.read(rd, 8))[0]
    os.close(rd)
    seen = b""
    first = None
    deadline = time.monotonic() + 10
    rss = hwm = libs = None
    answered_bg = answered_da = False
    while time.monotonic() < deadline:
        r, _, _ = select.select([fd], [], [], 0.5)
        if not r:
            continue
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
        if terminal == "background" and not answered_bg and b"\x1b]11;?" in seen:
            os.write(fd, b"\x1b]11;rgb:ffff/ffff/ffff\x1b\\")
            answered_bg = True
        if terminal != "silent" and not answered_da and b"\x1b[c" in seen:
            os.write(fd, b"\x1b[?62;22c")
            answered_da = True
        if first is None and MARK in seen:
            first = time.monotonic_ns()
            with open(f"/proc/{pid}/status") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        rss = int(line.split()[1])
                    elif line.startswith("VmHWM:"):
                        hwm = int(line.split()[1])
            with open(f"/proc/{pid}/maps") as f:
                libs = {l.split()[-1] for l in f if ".so" in l.split()[-1]}
            os.write(fd, b"q")
            break
    # Drain until the program exits, so every run starts on a quiet machine state.
    end = time.monotonic() + 5
    while time.monotonic() < end:
        done, _ = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        r, _, _ = select.select([fd], [], [], 0.05)
        if r:
            try:
                if not os.read(fd, 65536):
                    pass
            except OSError:
                pass
    else:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    os.close(fd)
    if first is None:
        sys.exit("first_frame: the mode screen never appeared:\n" + seen.decode(errors="replace"))
    return (first - started) / 1e6, rss, hwm, libs


def main():
    args = sys.argv[1:]
    if not args:
        sys.exit(__doc__)
    exe = os.path.abspath(args[0])
    runs, cols, rows, terminal = 30, 100, 30, "answers"
    i = 1
    while i < len(args):
        if args[i] == "--runs":
            runs = int(args[i + 1]); i += 2
        elif args[i] == "--size":
            cols, rows = (int(x) for x in args[i + 1].split("x")); i += 2
        elif args[i] == "--terminal" and i + 1 < len(args) and args[i + 1] in (
                "answers", "background", "silent"):
            terminal = args[i + 1]; i += 2
        else:
            sys.exit(f"first_frame: unknown argument {args[i]}")
    with tempfile.TemporaryDirectory() as work, tempfile.TemporaryDirectory() as conf:
        proj = os.path.join(work, "project")
        os.mkdir(proj)
        one_run(exe, cols, rows, proj, conf, terminal)  # warms the page cache
        results = [one_run(exe, cols, rows, proj, conf, terminal) for _ in range(runs)]
    ms = [r[0] for r in results]
    rss = [r[1] / 1024 for r in results]
    hwm = [r[2] / 1024 for r in results]
    print(f"first frame  median {statistics.median(ms):6.2f} ms  min {min(ms):6.2f}  "
          f"max {max(ms):6.2f}  ({runs} runs, {cols}x{rows}, terminal {terminal})")
    print(f"VmRSS        median {statistics.median(rss):6.2f} MB  min {min(rss):6.2f}  max {max(rss):6.2f}")
    print(f"VmHWM        median {statistics.median(hwm):6.2f} MB")
    print(f"shared objects mapped: {len(results[-1][3])}")


if __name__ == "__main__":
    main()
