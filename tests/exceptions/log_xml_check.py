#!/usr/bin/env python3
"""The stored log's XML export read back with python's xml.etree.

usage: log_xml_check.py PROBE [EMULATOR...]

PROBE is log_xml_probe (tests/exceptions/log_xml_probe.cpp), run through the
emulator words when given (the Wine launcher for the Windows builds); it
writes the XML of a sample log of three reports to its standard output. Every
value the sample holds is compared with what the parser gives.
"""
import subprocess
import sys
import xml.etree.ElementTree as ET

FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAIL:", what)


def main():
    command = sys.argv[2:] + [sys.argv[1]]
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=100)
    check(result.returncode == 0, "probe exit code %d" % result.returncode)
    data = result.stdout
    check(data.startswith(b"<Doc>\r\n  <Log "), "document start")
    check(data.endswith(b"  </Log>\r\n</Doc>"), "document end")
    check(all(ord(" ") <= b < 127 or b in (13, 10) for b in data), "only ASCII in the XML")
    root = ET.fromstring(data)
    check(root.tag == "Doc", "root element")
    logs = root.findall("Log")
    check(len(logs) == 3, "three reports")
    if len(logs) != 3:
        return
    first, second, old = logs
    check([c.tag for c in first] == ["General", "CallStack", "Modules", "CPU"], "elements of a report")
    check(first.get("Version") == "5.1.10", "version")

    groups = first.findall("General/Group")
    check([(g.get("ID"), g.get("Label")) for g in groups] == [("1", "Application"), ("2", "Exception")], "groups")
    lines = {l.get("ID"): (l.get("Label"), l.get("Value")) for l in first.iter("Line") if l.get("ID")}
    check(lines.get("1.1") == ("Start Date", "Mon, 7 Dec 2026 10:15:02 +0100"), "item 1.1")
    check(lines.get("1.2") == ("Name/Description", "App.exe"), "item 1.2")
    check(lines.get("2.2") == ("Address", "004B1C2F"), "item 2.2")
    check(lines.get("2.5") == ("Message", "First line.\r\nsecond: line & <more>"), "two-line message %r" % (lines.get("2.5"),))

    stack = first.find("CallStack")
    threads = list(stack)
    check([t.tag for t in threads] == ["ExceptionThread", "RunningThread"], "top-level threads")
    exc, running = threads
    check((exc.get("ID"), exc.get("Priority"), exc.get("Class"), exc.get("MainThread")) ==
          ("1234", "0", "TWorkerThread", "False"), "exception thread attributes")
    rows = exc.findall("Line")
    check(len(rows) == 2, "exception thread rows")
    check(rows[0].attrib == {"Address": "004B1C2F", "Module": "App.exe", "Unit": "Worker.cpp", "Class": "TWorker",
                             "Procedure": "Execute", "Number": "42", "Offset": "3"}, "first row %r" % rows[0].attrib)
    check(rows[1].get("Procedure") == "_Run" and rows[1].get("Offset") == "", "at sign of a procedure")
    calling = exc.findall("CallingThread")
    check(len(calling) == 1 and calling[0].get("ID") == "77" and calling[0].get("Priority") == "-1", "calling thread")
    check(len(calling[0].findall("Line")) == 1 and calling[0].find("Line").get("Procedure") == "StartWorker",
          "calling thread row")
    check((running.get("ID"), running.get("MainThread")) == ("88", "True"), "running main thread")
    check(running.find("Line").get("Module") == "ntdll.dll", "running thread row")

    modules = first.findall("Modules/Module")
    check([m.get("Name") for m in modules] == ["App.exe", "ntdll.dll"], "modules")
    check(modules[0].get("Path") == "C:\\Program Files\\App" and modules[0].get("Modified") == "2026-12-01 09:00:00",
          "module path and time")

    regs = first.find("CPU/Registers").attrib
    check(regs == {"EAX": "00000001", "EDI": "00000002", "EBX": "00000003", "ESI": "00000004",
                   "ECX": "0012FF00", "ESP": "0012FF10", "EDX": "00000007", "EIP": "004B1C2F"}, "registers")
    stack_words = first.findall("CPU/Stack/Line")
    dump = first.findall("CPU/MemoryDump/Line")
    check(len(stack_words) == 16 and len(dump) == 16, "16 dump lines")
    check(stack_words[15].attrib == {"Address": "0012FF3C", "Value": "0040100F"}, "last stack word")
    check(dump[1].get("Address") == "004B1C30" and dump[1].get("Bytes").split() ==
          ["%02X" % (0x42 + b) for b in range(16)] and dump[1].get("Chars") == "BCDEFGHIJKLMNOPQ", "dump line")

    message = [l.get("Value") for l in second.iter("Line") if l.get("ID") == "2.5"]
    check(message == ["\u4f60\u597d \"quoted\"\tend"], "GBK message as code points %r" % (message,))
    check(second.find("CallStack/ExceptionThread").get("ID") == "4321", "second report's thread")

    check(old.get("Version") == "4.2.6", "older version")
    check(old.find("CallStack/ExceptionThread/Line").get("Procedure") == "Go", "older rows in an exception thread")
    check(old.find("Modules/Module").get("Path") == "C:\\Old" and old.find("Modules/Module").get("Modified") is None,
          "older module row")
    check(old.find("CPU/Registers").attrib == {}, "registers not captured")
    check(old.find("HoToReproduce").get("Text") == "Clicked the button.\r\nThen it broke.", "steps to reproduce")


if __name__ == "__main__":
    main()
    if FAILURES:
        print("%d check(s) failed" % len(FAILURES))
        sys.exit(1)
    print("all checks passed")
