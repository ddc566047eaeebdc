#!/usr/bin/env python3
"""Fails when a module (or the library archive) registers destructors of
thread_local objects, i.e. refers to the C++ run-time's __cxa_thread_atexit.

    thread_exit_destructors.py NM FILE...

With the run-time of the Windows builds such a destructor runs at a thread's
end after the emulated thread storage that holds its object has been freed,
inside the system's thread-end callbacks; a fault there leaves a lock of the
run-time's thread library held, and the module's end then waits for it
forever when the process ends."""
import subprocess
import sys


def main():
    nm, files = sys.argv[1], sys.argv[2:]
    found = []
    for name in files:
        symbols = subprocess.run([nm, name], check=True, capture_output=True, text=True).stdout
        if "cxa_thread_atexit" in symbols:
            found.append(name)
    for name in found:
        print("registers thread_local destructors:", name)
    if not found:
        print("no thread_local destructors in", len(files), "files")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
