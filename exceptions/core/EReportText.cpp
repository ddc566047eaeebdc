#include "EReportText.h"

#include <algorithm>
#include <cstdio>

namespace qov::exceptions {

const char* const ReportFirstLine = "ZephraLog 5.1.10";

const char* const HtmlOkButton =
    "<br><input type=button value=\"Ok\" OnClick=\"history.go(-1)\" "
    "style=\"width:75;height:25;z-index:100;font-style:normal;font-size:10pt;text-decoration:none;\">";

namespace {

const char* const CrLf = "\r\n";

bool HasLineBreak(const std::string& text)
{
    return text.find_first_of("\r\n") != std::string::npos;
}

bool OnlyBlanks(const std::string& line)
{
    return line.find_first_not_of(' ') == std::string::npos;
}

// Position of the first ": " counted from 1, or 0.
size_t ColonPosition(const std::string& line)
{
    const size_t p = line.find(": ");
    return p == std::string::npos ? 0 : p + 1;
}

std::string Dashes(size_t count)
{
    return std::string(count, '-');
}

// The title block of a section that shows nothing but its title.
std::string TitleBlock(const std::string& title)
{
    return title + ":" + CrLf + Dashes(title.size() + 1) + CrLf + CrLf;
}

void Mark(const TReportInput& input, uint32_t step)
{
    if (input.Progress)
        input.Progress(step);
}

const std::string& Text(const TReportInput& input, int index)
{
    return input.Options->GetCustomText(index);
}

std::string PaddedRow(const std::string* cells, const size_t* widths, size_t count)
{
    std::string row = "|";
    for (size_t i = 0; i < count; ++i)
        row += PadRight(cells[i], widths[i]) + "|";
    return row;
}

std::string TwoDigits(int value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}

std::string DateTimeText(TDateTime value)
{
    const TDateParts p = DecodeDateTime(value);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%s-%s %s:%s:%s", p.Year, TwoDigits(p.Month).c_str(),
                  TwoDigits(p.Day).c_str(), TwoDigits(p.Hour).c_str(), TwoDigits(p.Minute).c_str(),
                  TwoDigits(p.Second).c_str());
    return text;
}

// The general section's items: name text and mask bit are text 23 + n and
// bit n for item n (0 to 32); the sections start at these items.
struct TSectionStart {
    int FirstItem;
    int TitleText;
};
const TSectionStart Sections[6] = {{0, 22}, {5, 28}, {10, 34}, {14, 39}, {23, 49}, {27, 54}};
int ItemNameText(int item)
{
    // Each section's title text sits in front of its items' names.
    int text = item + 23;
    for (int s = 1; s < 6; ++s)
        if (item >= Sections[s].FirstItem)
            ++text;
    return text;
}

} // namespace

// TLogItem ----------------------------------------------------------------------

void TLogItem::Clear()
{
    FSections.clear();
    FSection = FFirstSection;
    FItem = 0;
}

void TLogItem::AddHeader(const std::string& title)
{
    ++FSection;
    FItem = 0;
    TSection section;
    section.Titled = true;
    section.Title = title + ":";
    FSections.push_back(std::move(section));
}

void TLogItem::AddItem(const std::string& name, const std::string& value, bool show)
{
    ++FItem;
    if (!show)
        return;
    if (FSections.empty())
        FSections.emplace_back();
    std::vector<std::string>& lines = FSections.back().Lines;
    const std::string prefix = "  " + std::to_string(FSection) + "." + std::to_string(FItem) + " " + name + ": ";
    if (!HasLineBreak(value)) {
        lines.push_back(prefix + value);
        return;
    }
    // Every line break counts (a lone CR or LF too), so that no part of the
    // value can end the section or read as an item of its own.
    const std::vector<std::string> parts = SplitLines(ReplaceAll(value, ": ", ":_"));
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string part = OnlyBlanks(parts[i]) ? std::string(".") : parts[i];
        lines.push_back(i == 0 ? prefix + part : " " + part);
    }
    if (parts.empty())
        lines.push_back(prefix + ".");
}

std::string TLogItem::GetText() const
{
    std::string result;
    for (const TSection& section : FSections) {
        if (section.Lines.empty())
            continue;
        size_t longest = 0;
        size_t column = 1;
        if (section.Titled) {
            longest = std::max<size_t>(section.Title.size(), 1);
            column = std::max(column, ColonPosition(section.Title));
        }
        for (const std::string& line : section.Lines) {
            longest = std::max(longest, line.size());
            column = std::max(column, ColonPosition(line));
        }
        std::vector<std::string> aligned;
        aligned.reserve(section.Lines.size());
        for (const std::string& line : section.Lines) {
            const size_t p = ColonPosition(line);
            std::string out = line;
            if (p)
                out.insert(p - 1, column - p, ' ');
            else
                out.insert(0, column, ' ');
            longest = std::max(longest, out.size());
            aligned.push_back(std::move(out));
        }
        if (section.Titled)
            result += section.Title + CrLf + Dashes(longest) + CrLf;
        for (const std::string& line : aligned)
            result += line + CrLf;
        result += CrLf;
    }
    // The empty line after the last section goes.
    if (!result.empty())
        result.erase(result.size() - 2);
    return result;
}

// Plain helpers -------------------------------------------------------------------

size_t TRegisterLayout::Count() const
{
    size_t count = 0;
    for (const auto& line : Lines)
        count += line.size();
    return count;
}

const TRegisterLayout& RegistersX86()
{
    static const TRegisterLayout layout{
        8, {{"EAX", "EDI"}, {"EBX", "ESI"}, {"ECX", "ESP"}, {"EDX", "EIP"}}};
    return layout;
}

const TRegisterLayout& RegistersX64()
{
    static const TRegisterLayout layout{16,
                                        {{"RAX", "RDI"},
                                         {"RBX", "RSI"},
                                         {"RCX", "RSP"},
                                         {"RDX", "RIP"},
                                         {"RBP", "R8"},
                                         {"R9", "R10"},
                                         {"R11", "R12"},
                                         {"R13", "R14"},
                                         {"R15"}}};
    return layout;
}

bool SectionMaskBit(const TSectionMask& mask, int bit)
{
    return bit >= 0 && static_cast<size_t>(bit / 8) < mask.size() && ((mask[bit / 8] >> (bit % 8)) & 1);
}

uint32_t ReportedKinds(uint8_t stackFlags)
{
    uint32_t kinds = 1u << 4;
    if (stackFlags & 1)
        kinds |= 1u << 2;
    if (stackFlags & 2)
        kinds |= 1u << 3;
    return kinds;
}

std::string HexText(uint64_t value, int digits)
{
    char text[32];
    std::snprintf(text, sizeof text, "%0*llX", std::clamp(digits, 1, 16), static_cast<unsigned long long>(value));
    return text;
}

std::string FolderOf(const std::string& fileName)
{
    std::string folder = ExtractFilePath(fileName);
    const bool driveRoot = folder.size() == 3 && folder[1] == ':';
    if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/') && !driveRoot)
        folder.pop_back();
    return folder;
}

std::string AppendOkButton(const std::string& page)
{
    auto lower = [](std::string text) {
        for (char& c : text)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return text;
    };
    if (lower(page).find(lower(HtmlOkButton)) != std::string::npos)
        return page;
    return page + HtmlOkButton;
}

void WriteTableRow(std::string& buffer, size_t& position, const std::string* cells, const size_t* widths,
                   size_t count)
{
    size_t length = count + 3;
    for (size_t i = 0; i < count; ++i)
        length += widths[i];
    if (position > buffer.size() || buffer.size() - position < length)
        buffer.resize(std::max(position + length, buffer.size() * 2), ' ');
    char* out = &buffer[position];
    *out++ = '|';
    for (size_t i = 0; i < count; ++i) {
        cells[i].copy(out, std::min(cells[i].size(), widths[i]));
        out += widths[i];
        *out++ = '|';
    }
    *out++ = '\r';
    *out = '\n';
    position += length;
}

// Sections ------------------------------------------------------------------------

std::string BuildGeneralSection(const TReportInput& input)
{
    Mark(input, 702200);
    const TZephraModuleOptions& options = *input.Options;
    const TSectionMask mask = options.SectionMask();
    TLogItem log(0);
    uint32_t step = 702201;
    int section = 0;
    for (int item = 0; item < 33; ++item) {
        if (section < 6 && Sections[section].FirstItem == item) {
            if (section == 2)
                Mark(input, 7022091);
            else
                Mark(input, std::min<uint32_t>(step++, 702231));
            log.AddHeader(Text(input, Sections[section].TitleText));
            ++section;
        }
        Mark(input, item == 0 ? 7022000 : std::min<uint32_t>(step++, 702231));
        bool show = SectionMaskBit(mask, item);
        if (item >= 10 && item <= 13 && input.HideActiveControls)
            show = false;
        log.AddItem(Text(input, ItemNameText(item)), input.Values[static_cast<size_t>(item)], show);
    }
    Mark(input, 702232);
    std::string text = std::string(ReportFirstLine) + CrLf + CrLf + log.GetText();
    Mark(input, 702233);
    return text;
}

std::string BuildCallStackSection(const TReportInput& input)
{
    Mark(input, 7027);
    const TZephraModuleOptions& options = *input.Options;
    const uint8_t stackFlags = options.StackFlags();
    const uint32_t kinds = ReportedKinds(stackFlags);
    const int digits = input.AddressDigits;
    std::array<std::string, 6> headers;
    std::array<size_t, 6> widths;
    for (size_t i = 0; i < 6; ++i) {
        headers[i] = Text(input, 62 + static_cast<int>(i));
        widths[i] = headers[i].size();
    }
    widths[0] = std::max(widths[0], static_cast<size_t>(std::max(digits, 8)));

    // The cells of every listed entry, so that every thread's table gets the
    // same columns.
    Mark(input, 7028);
    struct TListed {
        size_t Index;
        std::array<std::string, 6> Cells;
    };
    std::vector<TListed> listed;
    if (input.Stack) {
        const std::vector<TReportStackEntry>& stack = *input.Stack;
        for (size_t i = 0; i < stack.size(); ++i) {
            const TReportStackEntry& entry = stack[i];
            if (entry.Kind > 7 || !((kinds >> entry.Kind) & 1))
                continue;
            TListed row{i, {}};
            row.Cells[0] = HexText(entry.Address, digits);
            row.Cells[1] = entry.Kind != 0 ? ExtractFileName(entry.ModuleFile) : std::string();
            row.Cells[2] = entry.UnitName;
            row.Cells[3] = entry.ClassName;
            row.Cells[4] = entry.ProcedureName;
            if (entry.Line != 0) {
                row.Cells[5] = std::to_string(entry.Line);
                if (stackFlags & 0x10) {
                    row.Cells[5] += '[';
                    row.Cells[5] += std::to_string(entry.LineOffset);
                    row.Cells[5] += ']';
                }
            }
            for (size_t c = 0; c < 6; ++c)
                widths[c] = std::max(widths[c], row.Cells[c].size());
            listed.push_back(std::move(row));
        }
    }

    Mark(input, 7029);
    size_t sum = 0;
    for (size_t w : widths)
        sum += w;
    const std::string divider = Dashes(sum + 7);
    std::string text = Text(input, 7) + ":" + CrLf + divider + CrLf +
                       PaddedRow(headers.data(), widths.data(), 6) + CrLf + divider + CrLf;

    Mark(input, 7030);
    const size_t rowLength = sum + 9;
    const size_t frameWidth = sum + 5;
    std::string rows(rowLength * ((input.Stack ? input.Stack->size() : 0) + 5 * input.Threads.size()), ' ');
    size_t position = 0;
    const std::string frameDashes = Dashes(frameWidth);
    const std::string blank;
    auto framed = [&](const std::string& cell) { WriteTableRow(rows, position, &cell, &frameWidth, 1); };

    Mark(input, 7031);
    const TReportStackEntry* previous = nullptr;
    for (const TListed& row : listed) {
        const TReportStackEntry& entry = (*input.Stack)[row.Index];
        if (!previous || entry.ThreadId != previous->ThreadId || entry.Tag != previous->Tag) {
            if (previous) {
                framed(frameDashes);
                if (entry.Tag != 0)
                    framed(blank);
            }
            // The thread's caption: its part in the exception, its ID and
            // priority, its thread class and whether it is the main thread.
            const int kind = row.Index == 0 ? 69 : entry.Tag != 0 ? 70 : 71;
            std::string priority = "??";
            std::string className;
            for (auto t = input.Threads.rbegin(); t != input.Threads.rend(); ++t)
                if (t->ThreadId == entry.ThreadId) {
                    priority = t->Priority;
                    className = t->ClassName;
                    break;
                }
            std::string caption = " " + Text(input, kind) + ": " + Text(input, 72) + "=" +
                                  std::to_string(entry.ThreadId) + "; " + Text(input, 73) + "=" + priority +
                                  "; " + Text(input, 74) + "=" + className;
            if (entry.ThreadId != 0 && entry.ThreadId == input.MainThreadId)
                caption += "; [" + Text(input, 68) + "]";
            if (caption.size() > frameWidth)
                caption.resize(frameWidth);
            framed(caption);
            framed(frameDashes);
        }
        WriteTableRow(rows, position, row.Cells.data(), widths.data(), 6);
        previous = &entry;
    }
    Mark(input, 7038);
    rows.resize(position);
    text += rows;
    text += divider + CrLf + CrLf;
    Mark(input, 7039);
    return text;
}

std::string BuildModulesSection(const TReportInput& input)
{
    const TZephraModuleOptions& options = *input.Options;
    if (!(options.LogFlags() & 0x10))
        return TitleBlock(Text(input, 9));
    std::array<std::string, 7> headers;
    std::array<size_t, 7> widths;
    for (size_t i = 0; i < 7; ++i) {
        headers[i] = Text(input, 84 + static_cast<int>(i));
        widths[i] = headers[i].size();
    }
    widths[0] = std::max(widths[0], static_cast<size_t>(std::max(input.AddressDigits, 8)));
    std::vector<std::array<std::string, 7>> cells;
    cells.reserve(input.Modules.size());
    for (const TReportModule& module : input.Modules) {
        std::array<std::string, 7> row;
        row[1] = ExtractFileName(module.FileName);
        row[2] = module.Description;
        row[3] = module.Version;
        row[4] = std::to_string(module.Size);
        row[5] = DateTimeText(module.Modified);
        row[6] = FolderOf(module.FileName);
        for (size_t c = 1; c < 7; ++c)
            widths[c] = std::max(widths[c], row[c].size());
        cells.push_back(std::move(row));
    }
    // The handle fills its column (which is at least as wide as an address).
    const int handleDigits = static_cast<int>(std::min<size_t>(widths[0], 16));
    for (size_t m = 0; m < cells.size(); ++m) {
        cells[m][0] = HexText(input.Modules[m].Handle, handleDigits);
        widths[0] = std::max(widths[0], cells[m][0].size());
    }
    size_t sum = 0;
    for (size_t w : widths)
        sum += w;
    const std::string divider = Dashes(sum + 8);
    std::string rows(cells.size() * (sum + 10), ' ');
    size_t position = 0;
    for (const auto& row : cells)
        WriteTableRow(rows, position, row.data(), widths.data(), 7);
    rows.resize(position);
    return Text(input, 9) + ":" + CrLf + divider + CrLf + PaddedRow(headers.data(), widths.data(), 7) + CrLf +
           divider + CrLf + rows + divider + CrLf + CrLf;
}

std::string BuildCpuSection(const TReportInput& input)
{
    const TZephraModuleOptions& options = *input.Options;
    if (!(options.LogFlags() & 0x20))
        return TitleBlock(Text(input, 91));
    const TRegisterLayout& layout = input.Cpu.Layout ? *input.Cpu.Layout : RegistersX86();
    const int digits = layout.Digits;
    const size_t word = static_cast<size_t>(digits / 2);
    const bool known = input.Cpu.Registers.size() >= layout.Count();
    const std::string unknown = PadRight("????", static_cast<size_t>(digits));

    std::vector<std::string> lines;
    size_t index = 0;
    size_t longest = 0;
    for (const auto& names : layout.Lines) {
        std::string line;
        for (size_t n = 0; n < names.size(); ++n, ++index) {
            if (n)
                line += "   ";
            line += PadRight(names[n], 3) + ": " +
                    (known ? HexText(input.Cpu.Registers[index], digits) : unknown);
        }
        longest = std::max(longest, line.size());
        lines.push_back(std::move(line));
    }

    const size_t stackColumn = 2 * static_cast<size_t>(digits) + 2;
    std::string text = Text(input, 91) + ":" + CrLf + Dashes(longest) + CrLf;
    for (const std::string& line : lines)
        text += line + CrLf;
    text += CrLf;
    text += PadRight(Text(input, 92) + ":", stackColumn + 3) + Text(input, 93) + ":" + CrLf;
    text += Dashes(stackColumn) + "   " + Dashes(static_cast<size_t>(digits) + 67) + CrLf;

    const TCpuData& cpu = input.Cpu;
    if (cpu.HasDump && cpu.Stack.size() >= 16 * word && cpu.Memory.size() >= 256) {
        for (size_t k = 0; k < 16; ++k) {
            uint64_t value = 0;
            for (size_t b = word; b-- > 0;)
                value = (value << 8) | cpu.Stack[k * word + b];
            std::string line = HexText(cpu.StackPosition + k * word, digits) + ": " + HexText(value, digits) +
                               "   " + HexText(cpu.MemoryAddress + 16 * k, digits) + ": ";
            std::string chars;
            for (size_t b = 0; b < 16; ++b) {
                const uint8_t byte = cpu.Memory[16 * k + b];
                line += HexText(byte, 2) + " ";
                chars += byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '.';
            }
            text += line + " " + chars + CrLf;
        }
    }
    return text;
}

void BuildReportText(const TReportInput& input, TReportTexts& texts)
{
    Mark(input, 7021);
    texts.LeadText = Text(input, 3) + CrLf + CrLf;
    texts.GeneralSectionText.clear();
    texts.CpuSectionText.clear();
    Mark(input, 7022);
    texts.GeneralSectionText = BuildGeneralSection(input);
    Mark(input, 7023);
    texts.CpuSectionText = BuildCpuSection(input);
    Mark(input, 7024);
    texts.KeyModule = input.Values[7];
    texts.KeyAddress = input.Values[6];
    texts.KeyType = input.Values[8];
    texts.KeyMessage = input.Values[9];
    std::string stack = BuildCallStackSection(input);
    stack += BuildModulesSection(input);
    Mark(input, 7040);
    texts.ReportText = texts.GeneralSectionText + CrLf + stack + texts.CpuSectionText;
    texts.SendText = texts.ReportText;
}

void InsertReportSection(TReportTexts& texts, int sectionBefore, const std::string& title,
                         const std::string& value)
{
    if (value.empty())
        return;
    TLogItem log(sectionBefore);
    log.AddHeader(title);
    log.AddItem("", value, true);
    const std::string section = log.GetText();
    // The sections inserted so far belong to the general section's text, so
    // the next one comes after them; a report that does not begin with that
    // text (changed by a handler) gets the section in front of the rest.
    const std::string& general = texts.GeneralSectionText;
    size_t at = 0;
    if (texts.ReportText.compare(0, general.size(), general) == 0) {
        at = general.size();
        if (texts.ReportText.compare(at, 2, CrLf) == 0)
            at += 2;
    }
    texts.ReportText.insert(at, section + CrLf);
    texts.GeneralSectionText = texts.ReportText.substr(0, at) + section;
    texts.SendText = texts.ReportText;
}

} // namespace qov::exceptions
