#!/usr/bin/python3
"""Runs a program on a terminal of its own and hangs that terminal up, as closing the terminal
window does.

usage: terminal.py CONSOLE HANGUP_FILE PROGRAM [ARGUMENTS...]

The program runs on a pseudo-terminal whose session it leads; what it writes there is copied to
CONSOLE. Once the file HANGUP_FILE exists the terminal is closed: the kernel sends the program
SIGHUP, and its later writes to the terminal fail. Exits with the program's status (128 + N when
signal N ended it).
"""
import os
import pty
import select
import sys


def copy_until_hangup(master, console, hangup):
    with open(console, "ab", buffering=0) as out:
        while not os.path.exists(hangup):
            ready, _, _ = select.select([master], [], [], 0.1)
            if not ready:
                continue
            try:
                data = os.read(master, 65536)
            except OSError:  # the program has ended and closed the terminal
                return
            if not data:
                return
            out.write(data)


def main():
    console, hangup, *command = sys.argv[1:]
    pid, master = pty.fork()
    if pid == 0:
        os.execvp(command[0], command)
    copy_until_hangup(master, console, hangup)
    os.close(master)
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        sys.exit(128 + os.WTERMSIG(status))
    sys.exit(os.WEXITSTATUS(status))


if __name__ == "__main__":
    main()
