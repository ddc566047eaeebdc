// Report texts laid out as the report builder writes them (general section,
// call-stack table, modules table, processor section), built from plain rows
// so that the stored-log tests can vary each part.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

namespace logsample {

using Row = std::vector<std::string>;

struct Item {
    std::string Number, Name, Value;
};
struct Section {
    std::string Title;
    std::vector<Item> Items;
};
// A caption row (Cells empty) or a stack entry.
struct StackRow {
    std::string Caption;
    bool EmptyFrameBefore = false;
    bool DividerBefore = false;
    Row Cells;
};

inline std::string Pad(const std::string& s, size_t width)
{
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

// The general section: items aligned on their ": ", multi-line values
// written as the report writes them (":_", full-stop lines, continuation
// lines in the value column), each rule as long as its longest line.
inline std::string General(const std::vector<Section>& sections)
{
    std::string out = "ZephraLog 5.1.10\r\n\r\n";
    for (size_t s = 0; s < sections.size(); ++s) {
        if (s != 0)
            out += "\r\n";
        size_t nameWidth = 0;
        for (const auto& item : sections[s].Items)
            nameWidth = std::max(nameWidth, item.Number.size() + 1 + item.Name.size());
        std::vector<std::string> lines;
        for (const auto& item : sections[s].Items) {
            std::string head = "  " + Pad(item.Number + " " + item.Name, nameWidth) + ": ";
            std::string value = item.Value;
            if (value.find("\r\n") == std::string::npos) {
                lines.push_back(head + value);
                continue;
            }
            size_t pos;
            while ((pos = value.find(": ")) != std::string::npos)
                value[pos + 1] = '_';
            std::vector<std::string> parts;
            size_t start = 0;
            for (;;) {
                size_t end = value.find("\r\n", start);
                parts.push_back(value.substr(start, end == std::string::npos ? std::string::npos : end - start));
                if (end == std::string::npos)
                    break;
                start = end + 2;
            }
            for (size_t k = 0; k < parts.size(); ++k) {
                std::string part = parts[k].find_first_not_of(' ') == std::string::npos ? "." : parts[k];
                lines.push_back(k == 0 ? head + part : std::string(head.size(), ' ') + part);
            }
        }
        size_t rule = sections[s].Title.size() + 1;
        for (const auto& line : lines)
            rule = std::max(rule, line.size());
        out += sections[s].Title + ":\r\n" + std::string(rule, '-') + "\r\n";
        for (const auto& line : lines)
            out += line + "\r\n";
    }
    return out;
}

inline std::vector<size_t> Widths(const Row& header, const std::vector<Row>& rows, size_t first)
{
    std::vector<size_t> widths;
    for (const auto& h : header)
        widths.push_back(h.size());
    widths[0] = std::max<size_t>(widths[0], first);
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    return widths;
}

inline std::string TableRow(const Row& cells, const std::vector<size_t>& widths)
{
    std::string out = "|";
    for (size_t i = 0; i < cells.size(); ++i)
        out += Pad(cells[i], widths[i]) + "|";
    return out + "\r\n";
}

inline const Row& StackHeader()
{
    static const Row header = {"Address", "Module", "Unit", "Class", "Procedure/Method", "Line"};
    return header;
}

inline std::string CallStack(const std::vector<StackRow>& rows)
{
    std::vector<Row> cells;
    for (const auto& row : rows)
        if (!row.Cells.empty())
            cells.push_back(row.Cells);
    std::vector<size_t> widths = Widths(StackHeader(), cells, 8);
    size_t sum = 0;
    for (size_t w : widths)
        sum += w;
    std::string divider(sum + 7, '-');
    auto framed = [&](std::string text) {
        if (text.size() > sum + 5)
            text.resize(sum + 5);
        return "|" + Pad(text, sum + 5) + "|\r\n";
    };
    std::string out = "Call Stack Information:\r\n" + divider + "\r\n" + TableRow(StackHeader(), widths) + divider +
                      "\r\n";
    for (const auto& row : rows) {
        if (row.Cells.empty()) {
            if (row.DividerBefore)
                out += framed(std::string(sum + 5, '-'));
            if (row.EmptyFrameBefore)
                out += framed("");
            out += framed(row.Caption);
            out += framed(std::string(sum + 5, '-'));
        } else {
            out += TableRow(row.Cells, widths);
        }
    }
    return out + divider + "\r\n\r\n";
}

inline std::string Modules(const std::vector<Row>& rows, bool enabled = true)
{
    if (!enabled)
        return "Modules Information:\r\n" + std::string(20, '-') + "\r\n\r\n";
    static const Row header = {"Handle", "Name", "Description", "Version", "Size", "Modified", "Path"};
    std::vector<size_t> widths = Widths(header, rows, 8);
    size_t sum = 0;
    for (size_t w : widths)
        sum += w;
    std::string divider(sum + 8, '-');
    std::string out = "Modules Information:\r\n" + divider + "\r\n" + TableRow(header, widths) + divider + "\r\n";
    for (const auto& row : rows)
        out += TableRow(row, widths);
    return out + divider + "\r\n\r\n";
}

// The processor section; registers empty gives "????    " for each.
inline std::string Cpu(const std::vector<std::string>& registers, size_t dumpLines, bool enabled = true)
{
    if (!enabled)
        return "Registers:\r\n" + std::string(10, '-') + "\r\n\r\n";
    static const char* const names[] = {"EAX", "EDI", "EBX", "ESI", "ECX", "ESP", "EDX", "EIP"};
    auto reg = [&](size_t i) { return registers.empty() ? std::string("????    ") : registers[i]; };
    std::string out = "Registers:\r\n" + std::string(29, '-') + "\r\n";
    for (size_t i = 0; i < 8; i += 2)
        out += std::string(names[i]) + ": " + reg(i) + "   " + names[i + 1] + ": " + reg(i + 1) + "\r\n";
    out += "\r\n" + Pad("Stack:", 21) + "Memory Dump:\r\n" + std::string(18, '-') + "   " + std::string(75, '-') +
           "\r\n";
    static const char hex[] = "0123456789ABCDEF";
    auto hex8 = [&](unsigned v) {
        std::string s(8, '0');
        for (int k = 7; k >= 0; --k, v >>= 4)
            s[static_cast<size_t>(k)] = hex[v & 15];
        return s;
    };
    for (size_t k = 0; k < dumpLines; ++k) {
        out += hex8(0x0012FF00u + static_cast<unsigned>(4 * k)) + ": " + hex8(0x00401000u + static_cast<unsigned>(k)) +
               "   " + hex8(0x004B1C20u + static_cast<unsigned>(16 * k)) + ": ";
        std::string chars;
        for (unsigned b = 0; b < 16; ++b) {
            unsigned byte = (0x41 + b + static_cast<unsigned>(k)) & 0xFF;
            out += hex[byte >> 4];
            out += hex[byte & 15];
            out += ' ';
            chars += byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '.';
        }
        out += " " + chars + "\r\n";
    }
    return out;
}

// A full report: general section, empty line, tables, processor section.
inline std::string Report(const std::string& message, const std::string& address = "004B1C2F",
                          const std::string& threadId = "1234")
{
    std::vector<Section> general = {
        {"Application",
         {{"1.1", "Start Date", "Mon, 7 Dec 2026 10:15:02 +0100"},
          {"1.2", "Name/Description", "App.exe"},
          {"1.3", "Version Number", "5.0.0.26"}}},
        {"Exception",
         {{"2.2", "Address", address},
          {"2.3", "Module", "App.exe"},
          {"2.4", "Type", "EAccessViolation"},
          {"2.5", "Message", message}}},
    };
    std::vector<StackRow> stack = {
        {" Exception Thread: ID=" + threadId + "; Priority=0; Class=TWorkerThread", false, false, {}},
        {"", false, false, {address, "App.exe", "Worker.cpp", "TWorker", "Execute", "42[3]"}},
        {"", false, false, {"004B0F10", "App.exe", "Worker.cpp", "TWorker", "@Run", "17"}},
        {" Calling Thread: ID=77; Priority=-1; Class=", false, true, {}},
        {"", false, false, {"00402000", "App.exe", "Main.cpp", "", "StartWorker", ""}},
        {" Running Thread: ID=88; Priority=0; Class=; [Main]", true, true, {}},
        {"", false, false, {"7C90E514", "ntdll.dll", "", "", "", ""}},
    };
    std::vector<Row> modules = {
        {"00400000", "App.exe", "The app", "5.0.0.26", "1048576", "2026-12-01 09:00:00", "C:\\Program Files\\App"},
        {"7C900000", "ntdll.dll", "NT Layer DLL", "5.1.2600.5512", "718336", "2008-04-14 00:00:00",
         "C:\\WINDOWS\\system32"},
    };
    std::vector<std::string> registers = {"00000001", "00000002", "00000003", "00000004",
                                          "0012FF00", "0012FF10", "00000007", "004B1C2F"};
    return General(general) + "\r\n" + CallStack(stack) + Modules(modules) + Cpu(registers, 16);
}

} // namespace logsample
