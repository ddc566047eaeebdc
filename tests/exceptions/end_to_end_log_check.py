#!/usr/bin/env python3
"""The log of a real report, exported as XML, read back with python's xml.etree.

usage: end_to_end_log_check.py PROGRAM OUTPUT-FOLDER [EMULATOR...]

PROGRAM is the end-to-end test program; its stored-log check is run alone
(through the emulator words when given: the Wine launcher), with
QOV_END_TO_END_XML naming a file in OUTPUT-FOLDER. It leaves the XML of its
log there, and beside it the facts to compare: the worker's and the main
thread's ids, the line of the throw and the exception's address.
"""
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAIL:", what)


def lines_of(group):
    return {line.get("ID"): line.get("Value") for line in group.findall("Line")}


def main():
    program, folder = sys.argv[1], sys.argv[2]
    xml_path = os.path.join(folder, "end_to_end_log.xml")
    for path in (xml_path, xml_path + ".facts"):
        if os.path.exists(path):
            os.remove(path)
    env = dict(os.environ, QOV_END_TO_END_XML=xml_path)
    command = sys.argv[3:] + [program, "--gtest_filter=EndToEnd.UncaughtExceptionsAreStoredInTheLogOnceEach"]
    result = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=250)
    check(result.returncode == 0, "the program's check passed (exit code %d)" % result.returncode)
    if not os.path.exists(xml_path):
        print(result.stdout.decode("utf-8", "replace")[-3000:])
        check(False, "the program wrote the XML")
        return
    with open(xml_path + ".facts") as facts:
        worker, main_thread, throw_line, address = facts.read().split()

    root = ET.parse(xml_path).getroot()
    logs = root.findall("Log")
    check(len(logs) == 2, "two reports (the duplicate was not stored)")
    if len(logs) != 2:
        return
    for log, message in zip(logs, ("stored in the log.", "stored in the book.")):
        check(log.get("Version") == "5.1.10", "version")
        groups = {group.get("ID"): group for group in log.find("General").findall("Group")}
        check(groups.get("2") is not None and groups["2"].get("Label") == "Exception", "exception section")
        values = lines_of(groups["2"])
        check(values.get("2.2") == address, "address %r" % values.get("2.2"))
        check(values.get("2.3") == "exceptions_wtest_end_to_end.exe", "module %r" % values.get("2.3"))
        check(values.get("2.4") == "EEndToEnd", "type %r" % values.get("2.4"))
        check(values.get("2.5") == message, "message %r" % values.get("2.5"))
        check(lines_of(groups["1"]).get("1.2") == "exceptions_wtest_end_to_end.exe", "program's name")

    stack = logs[0].find("CallStack")
    exception = stack.find("ExceptionThread")
    check(exception is not None and exception.get("ID") == worker, "exception thread is the worker")
    check(exception is not None and exception.get("MainThread") == "False", "the worker is not the main thread")
    rows = exception.findall("Line") if exception is not None else []
    check(any(row.get("Unit") == "wtest_end_to_end.cpp" and row.get("Procedure") == "Raise" and
              row.get("Number") == throw_line for row in rows), "the raising row with the throw's line")
    check(all(len(row.get("Address", "")) in (8, 16) for row in rows), "addresses of 8 or 16 digits")
    running = [t for t in stack.findall("RunningThread") if t.get("ID") == main_thread]
    check(len(running) == 1 and running[0].get("MainThread") == "True", "the main thread's group")
    check(logs[0].find("Modules") is not None, "modules element")


if __name__ == "__main__":
    main()
    if FAILURES:
        print("%d check(s) failed" % len(FAILURES))
        sys.exit(1)
    print("end-to-end log XML: all checks passed")
