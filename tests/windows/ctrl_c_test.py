#!/usr/bin/env python3
"""Ctrl+C while the console program waits for piped input ends it at once with 130.

Under wine a SIGINT to the program is a CTRL_C_EVENT to its control handler. A read of
an empty pipe must not keep the program waiting past it: the program's status tells.
  ctrl_c_test.py WINE ZAM32_EXE
(The Linux program's signals have tests of their own, on a terminal.)
"""
import os
import select
import signal
import subprocess
import sys

PROMPT = b"PuU0>"


def ends_on_one_interrupt(command, env):
    read_end, write_end = os.pipe()  # kept open and empty: the program waits on it
    p = subprocess.Popen(command, stdin=read_end, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
    os.close(read_end)
    seen = b""
    try:
        while PROMPT not in seen:
            # A way out for a program that never prompts, not a pause.
            if not select.select([p.stdout], [], [], 120)[0]:
                return f"no prompt: {seen!r}"
            chunk = os.read(p.stdout.fileno(), 4096)
            if not chunk:
                return f"ended before its prompt: {seen!r}"
            seen += chunk
        p.send_signal(signal.SIGINT)
        try:
            status = p.wait(timeout=60)  # a way out for a program that hangs, not a pause
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
            return "still waiting for input after one Ctrl+C"
        return None if status == 130 else f"ended with status {status}, not 130"
    finally:
        os.close(write_end)
        if p.poll() is None:
            p.kill()
            p.wait()


def main():
    wine, exe = sys.argv[1], sys.argv[2]
    env = dict(os.environ, WINEDEBUG="-all")
    env.pop("ZAM32ARG", None)
    fault = ends_on_one_interrupt([wine, exe], env)
    print(f"zam32.exe: {fault or 'ended with 130 at the first Ctrl+C'}")
    return 1 if fault else 0


if __name__ == "__main__":
    sys.exit(main())
