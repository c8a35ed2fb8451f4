#!/usr/bin/env python3
"""Types a command line into a real interactive shell with sovra-flash's
completion loaded, presses TAB, runs the completed line against a stand-in
function of that name and prints the arguments it received.

    complete_in_shell.py SHELL COMPLETION_FILE TYPED
"""
import os
import pty
import re
import select
import sys
import time

shell, script, typed = sys.argv[1:4]
setup = {
    "bash": ["source '%s'" % script,
             "sovra-flash() { printf 'RAN<%s>\\n' \"$*\"; }"],
    "zsh": ["fpath=('%s' $fpath)" % os.path.dirname(script),
            "autoload -U compinit && compinit -u -D",
            "sovra-flash() { printf 'RAN<%s>\\n' \"$*\"; }"],
    "fish": ["source '%s'" % script,
             "function sovra-flash; printf 'RAN<%s>\\n' \"$argv\"; end"],
}[shell]
argv = {"bash": ["bash", "--norc", "--noprofile", "-i"],
        "zsh": ["zsh", "-f", "-i"],
        "fish": ["fish", "--no-config", "-i"]}[shell]

pid, fd = pty.fork()
if pid == 0:
    os.environ["TERM"] = "dumb" if shell != "fish" else "xterm"
    os.execvp(argv[0], argv)

output = b""


def pump(seconds):
    global output
    end = time.time() + seconds
    while time.time() < end:
        ready, _, _ = select.select([fd], [], [], 0.05)
        if ready:
            try:
                data = os.read(fd, 4096)
            except OSError:
                return
            if not data:
                return
            output += data


pump(1.0)
for line in setup:
    os.write(fd, line.encode() + b"\n")
    pump(0.5)
os.write(fd, typed.encode() + b"\t")
pump(1.5)
os.write(fd, b"\n")
pump(1.0)
os.write(fd, b"exit\n")
pump(1.0)
found = re.findall(rb"RAN<([^>\r\n]*)>", output)
if not found:
    sys.stderr.write(output.decode(errors="replace"))
    sys.exit(1)
sys.stderr.write(output.decode(errors="replace")) if os.environ.get("SHOW") else None
print(found[-1].decode().strip())
