#include "ELogManager.h"

#include <algorithm>
#include <cstdio>

namespace qov::exceptions {

namespace {

constexpr std::string_view CrLf = "\r\n";
constexpr std::string_view EmptyLine = "\r\n\r\n";
constexpr std::string_view Separator = "\r\n\r\n\r\n\r\n";
constexpr std::string_view TitleEnd = ":\r\n-";
constexpr std::string_view ClosingDivider = "-\r\n\r\n";
constexpr size_t npos = std::string::npos;

bool IsSpaceOrControl(char c)
{
    return static_cast<unsigned char>(c) <= ' ';
}

std::string_view Trim(std::string_view s)
{
    size_t b = 0, e = s.size();
    while (b < e && IsSpaceOrControl(s[b]))
        ++b;
    while (e > b && IsSpaceOrControl(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

std::string_view TrimLeftBlanks(std::string_view s)
{
    size_t b = 0;
    while (b < s.size() && s[b] == ' ')
        ++b;
    return s.substr(b);
}

bool EndsWith(std::string_view s, std::string_view tail)
{
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

bool StartsWith(std::string_view s, std::string_view head)
{
    return s.size() >= head.size() && s.substr(0, head.size()) == head;
}

// The lines of text at CR LF (a text ending with CR LF has an empty last line).
std::vector<std::string_view> SplitAtCrLf(std::string_view text)
{
    std::vector<std::string_view> lines;
    size_t pos = 0;
    for (;;) {
        size_t end = text.find(CrLf, pos);
        if (end == npos) {
            lines.push_back(text.substr(pos));
            return lines;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
}

// Every CR alone and LF alone made CR LF (an LF at the very first character
// stays as it is).
std::string UniformLineBreaks(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    size_t pos = 0;
    while (pos < text.size()) {
        // Plain text up to the next CR or LF is copied as one span.
        size_t brk = pos;
        while (brk < text.size() && text[brk] != '\r' && text[brk] != '\n')
            ++brk;
        if (brk == text.size()) {
            out.append(text, pos, npos);
            break;
        }
        out.append(text, pos, brk - pos);
        if (text[brk] == '\r') {
            out += CrLf;
            pos = brk + 1 < text.size() && text[brk + 1] == '\n' ? brk + 2 : brk + 1;
        } else {
            if (brk == 0)
                out += '\n';
            else
                out += CrLf;
            pos = brk + 1;
        }
    }
    return out;
}

void ReplaceAll(std::string& s, std::string_view from, std::string_view to)
{
    size_t pos = 0;
    while ((pos = s.find(from, pos)) != npos) {
        s.replace(pos, from.size(), to);
        pos += to.size();
    }
}

// The start of the line that holds position pos.
size_t LineStartOf(std::string_view s, size_t pos)
{
    if (pos < 2)
        return 0;
    size_t p = s.rfind(CrLf, pos - 2);
    return p == npos ? 0 : p + 2;
}

// A line of the general section that starts an item: two blanks and a
// non-blank fourth character ("  2.5 Message: ...").
bool IsItemLine(std::string_view line)
{
    return line.size() >= 4 && line[0] == ' ' && line[1] == ' ' && line[3] != ' ';
}

// The table cells of a row "|a|b|c|".
std::vector<std::string_view> SplitCells(std::string_view row)
{
    std::vector<std::string_view> cells;
    if (!StartsWith(row, "|"))
        return cells;
    row.remove_prefix(1);
    if (EndsWith(row, "|"))
        row.remove_suffix(1);
    size_t pos = 0;
    for (;;) {
        size_t bar = row.find('|', pos);
        if (bar == npos) {
            cells.push_back(row.substr(pos));
            return cells;
        }
        cells.push_back(row.substr(pos, bar - pos));
        pos = bar + 1;
    }
}

std::string Join(const std::vector<std::string_view>& parts, size_t from, size_t to, std::string_view glue)
{
    std::string out;
    for (size_t i = from; i < to; ++i) {
        if (i != from)
            out += glue;
        out += parts[i];
    }
    return out;
}

std::string_view AfterEquals(std::string_view piece)
{
    size_t eq = piece.find('=');
    return eq == npos ? std::string_view() : Trim(piece.substr(eq + 1));
}

// The value of a general-section item as the XML export keeps it: for more
// than one line a leading or trailing full-stop line removed, one in the
// middle emptied, and ":_" made ": ".
std::string XmlItemValue(std::vector<std::string>& lines)
{
    if (lines.size() > 1) {
        if (lines.back() == ".")
            lines.pop_back();
        if (!lines.empty() && lines.front() == ".")
            lines.erase(lines.begin());
        for (auto& line : lines)
            if (line == ".")
                line.clear();
    }
    std::string value;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i != 0)
            value += CrLf;
        value += lines[i];
    }
    if (lines.size() > 1)
        ReplaceAll(value, ":_", ": ");
    return value;
}

// Registers from a line "EAX: 0040100A   EDI: 00000000": each name before a
// ": " and its value up to the three blanks before the next name.
void AddRegisters(std::string_view line, TXMLItem& registers, const TTextDecoder& decoder)
{
    std::vector<std::pair<size_t, size_t>> names; // name start, colon
    size_t pos = 0;
    while ((pos = line.find(": ", pos)) != npos) {
        size_t start = pos;
        while (start > 0 && line[start - 1] != ' ')
            --start;
        // Register names are letters and digits; anything else in front of
        // a ": " is no register (and would be no attribute name).
        bool name = start < pos;
        for (size_t k = start; k < pos && name; ++k)
            name = (line[k] >= 'A' && line[k] <= 'Z') || (line[k] >= 'a' && line[k] <= 'z') ||
                   (line[k] >= '0' && line[k] <= '9');
        if (name)
            names.emplace_back(start, pos);
        pos += 2;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        size_t valueStart = names[i].second + 2;
        size_t valueEnd = i + 1 < names.size() ? names[i + 1].first : line.size();
        if (i + 1 < names.size())
            valueEnd = valueEnd >= valueStart + 3 ? valueEnd - 3 : valueStart;
        std::string_view value = line.substr(valueStart, valueEnd - valueStart);
        if (Trim(value).empty() || Trim(value) == "????")
            continue;
        registers.AddAttribute(line.substr(names[i].first, names[i].second - names[i].first), Trim(value),
                               decoder);
    }
}

} // namespace

std::string EncodeItemValue(std::string_view value, size_t column)
{
    if (value.find(CrLf) == npos)
        return std::string(value);
    std::string text(value);
    ReplaceAll(text, ": ", ":_");
    std::vector<std::string_view> lines = SplitAtCrLf(text);
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i != 0) {
            out += CrLf;
            out.append(column, ' ');
        }
        out += Trim(lines[i]).empty() && lines[i].find_first_not_of(' ') == npos ? std::string_view(".")
                                                                                 : lines[i];
    }
    return out;
}

std::string ItemValueAsRead(std::string_view value)
{
    std::string text = UniformLineBreaks(value);
    std::vector<std::string_view> lines = SplitAtCrLf(text);
    if (lines.size() <= 1)
        return std::string(Trim(text));
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = i == 0 ? lines[i] : TrimLeftBlanks(lines[i]);
        if (i != 0)
            out += CrLf;
        // A full stop alone on its line (blanks around it do not count, so
        // that reading a value twice gives the same value).
        if (Trim(line) != ".")
            out += line;
    }
    ReplaceAll(out, ":_", ": ");
    return std::string(Trim(out));
}

std::vector<std::string> SplitFileList(std::string_view text)
{
    std::vector<std::string> list;
    text = Trim(text);
    size_t pos = 0;
    for (;;) {
        size_t semi = text.find(';', pos);
        std::string_view piece = Trim(text.substr(pos, semi == npos ? npos : semi - pos));
        if (!piece.empty())
            list.emplace_back(piece);
        if (semi == npos)
            return list;
        pos = semi + 1;
    }
}

std::string AttachmentName(const std::string& path, bool stamp, TDateTime time)
{
    std::string name = ExtractFileName(path);
    if (!stamp)
        return name;
    TDateParts t = DecodeDateTime(time);
    char text[32];
    snprintf(text, sizeof text, "_%04d%02d%02d%02d%02d%02d", t.Year % 10000, t.Month % 100, t.Day % 100,
             t.Hour % 100, t.Minute % 100, t.Second % 100);
    std::string ext = ExtractFileExt(name);
    return name.substr(0, name.size() - ext.size()) + text + ext;
}

std::vector<std::string> AttachmentList(bool skipLogCopy, const TAttachmentFiles& files)
{
    std::vector<std::string> list = SplitFileList(files.ExtraFiles);
    // A copy without a name is never attached.
    if (!files.LogCopy.empty() && !(skipLogCopy && files.AppendToLog))
        list.push_back(files.LogCopy);
    for (const std::string* path : {&files.Screenshot, &files.LastHtmlPage, &files.XmlCopy})
        if (!path->empty())
            list.push_back(*path);
    return list;
}

// Log text -------------------------------------------------------------------------

void TLogReports::LoadText(std::string_view text)
{
    FReports.clear();
    if (text.size() < 6)
        return;
    std::string uniform = UniformLineBreaks(text);
    if (!EndsWith(text, ReportTrailer))
        uniform += ReportTrailer;
    std::string_view all(uniform);
    size_t pos = 0;
    while (pos < all.size()) {
        size_t cut = all.find(Separator, pos);
        size_t end = cut == npos ? all.size() : cut;
        std::string_view piece = all.substr(pos, end - pos);
        while (EndsWith(piece, CrLf))
            piece.remove_suffix(2);
        if (piece.find(CallStackMarker) != npos) {
            std::string report;
            report.reserve(piece.size() + ReportTrailer.size());
            report += piece;
            report += ReportTrailer;
            FReports.push_back(std::move(report));
        }
        if (cut == npos)
            break;
        // A longer run of line breaks belongs to the separator.
        pos = cut + Separator.size();
        while (all.compare(pos, 2, CrLf) == 0)
            pos += 2;
    }
}

void TLogReports::AddReport(std::string_view text, int keep)
{
    size_t kept = keep < 1 ? 1 : static_cast<size_t>(keep);
    if (FReports.size() >= kept)
        FReports.erase(FReports.begin(), FReports.begin() + static_cast<ptrdiff_t>(FReports.size() - (kept - 1)));
    // The report's own last line break is the first of the three, so that a
    // saved log holds exactly four line breaks between two reports and reads
    // back as the same reports.
    while (EndsWith(text, CrLf))
        text.remove_suffix(2);
    std::string report;
    report.reserve(text.size() + ReportTrailer.size());
    report += text;
    report += ReportTrailer;
    FReports.push_back(std::move(report));
}

std::string TLogReports::Text() const
{
    size_t size = 0;
    for (const auto& report : FReports)
        size += report.size() + 2;
    std::string text;
    text.reserve(size);
    for (const auto& report : FReports) {
        text += report;
        text += CrLf;
    }
    return text;
}

std::string TLogReports::SaveText() const
{
    std::string text = Text();
    if (text.size() >= 2)
        text.resize(text.size() - 2);
    return text;
}

bool TLogReports::FindItem(const std::string& report, std::string_view number, size_t& begin, size_t& end) const
{
    std::string key("\r\n  ");
    key += number;
    key += ' ';
    size_t at = report.find(key);
    if (at == npos)
        return false;
    size_t lineEnd = report.find(CrLf, at + 2);
    if (lineEnd == npos)
        lineEnd = report.size();
    size_t colon = report.find(": ", at + key.size());
    if (colon == npos || colon + 2 > lineEnd)
        return false;
    begin = colon + 2;
    // Lines up to the next empty line or the next item belong to the value.
    size_t cur = lineEnd;
    while (cur < report.size()) {
        size_t next = cur + 2;
        size_t nextEnd = report.find(CrLf, next);
        if (nextEnd == npos)
            nextEnd = report.size();
        std::string_view line(report.data() + next, nextEnd - next);
        if (line.empty() || IsItemLine(line))
            break;
        cur = nextEnd;
    }
    end = std::min(cur, report.size());
    return true;
}

std::string TLogReports::GetReportField(size_t index, std::string_view number) const
{
    if (index >= FReports.size())
        return std::string();
    size_t begin, end;
    const std::string& report = FReports[index];
    if (!FindItem(report, number, begin, end))
        return std::string();
    return ItemValueAsRead(std::string_view(report).substr(begin, end - begin));
}

bool TLogReports::FindReport(const std::vector<std::string>& numbers, const std::vector<std::string>& values) const
{
    if (numbers.size() != values.size())
        return false;
    std::vector<std::string> wanted;
    wanted.reserve(values.size());
    for (const auto& value : values)
        wanted.push_back(ItemValueAsRead(value));
    for (const auto& report : FReports) {
        bool match = true;
        for (size_t k = 0; k < numbers.size() && match; ++k) {
            size_t begin, end;
            match = FindItem(report, numbers[k], begin, end) &&
                    ItemValueAsRead(std::string_view(report).substr(begin, end - begin)) == wanted[k];
        }
        if (match)
            return true;
    }
    return false;
}

// Report parts -----------------------------------------------------------------------

std::string TLogReports::GetGeneralPart(size_t index) const
{
    if (index >= FReports.size())
        return std::string();
    std::string_view report(FReports[index]);
    size_t marker = report.find(CallStackMarker);
    if (marker == npos)
        return std::string();
    size_t dividerLine = LineStartOf(report, marker);
    if (dividerLine < 2)
        return std::string();
    size_t titleLine = LineStartOf(report, dividerLine - 2);
    std::string_view part = report.substr(0, titleLine);
    while (!part.empty() && (part.back() == '\r' || part.back() == '\n' || part.back() == ' '))
        part.remove_suffix(1);
    return std::string(part);
}

std::string TLogReports::GetCallStackPart(size_t index) const
{
    if (index >= FReports.size())
        return std::string();
    std::string_view report(FReports[index]);
    size_t marker = report.find(CallStackMarker);
    if (marker == npos)
        return std::string();
    size_t start = LineStartOf(report, marker);
    size_t close = report.find(ClosingDivider, marker);
    size_t end = close == npos ? report.size() : close + 1;
    return std::string(report.substr(start, end - start));
}

std::string TLogReports::GetModulesPart(size_t index) const
{
    if (index >= FReports.size())
        return std::string();
    std::string_view report(FReports[index]);
    size_t marker = report.find(CallStackMarker);
    if (marker == npos)
        return std::string();
    size_t title = report.find(TitleEnd, marker);
    if (title == npos)
        return std::string();
    size_t rule = title + 3;
    size_t ruleEnd = report.find(CrLf, rule);
    // A disabled section has only its title and rule.
    if (ruleEnd == npos || ruleEnd + 2 >= report.size() || report[ruleEnd + 2] != '|')
        return std::string();
    size_t close = report.find(ClosingDivider, rule);
    size_t end = close == npos ? report.size() : close + 1;
    return std::string(report.substr(rule, end - rule));
}

std::string TLogReports::GetCpuPart(size_t index) const
{
    if (index >= FReports.size())
        return std::string();
    std::string_view report(FReports[index]);
    size_t marker = report.find(CallStackMarker);
    if (marker == npos)
        return std::string();
    size_t first = report.find(EmptyLine, marker);
    if (first == npos)
        return std::string();
    size_t second = report.find(EmptyLine, first + 2);
    if (second == npos)
        return std::string();
    size_t start = second + 4;
    if (start >= report.size())
        return std::string();
    size_t end = report.find(EmptyLine, start);
    if (end != npos)
        end = report.find(EmptyLine, end + 2);
    std::string_view part = report.substr(start, end == npos ? npos : end - start);
    while (EndsWith(part, CrLf))
        part.remove_suffix(2);
    if (part.find("EAX") == npos && part.find("RAX") == npos)
        return std::string();
    return std::string(part);
}

std::string TLogReports::GetRequestPart(size_t index) const
{
    if (index >= FReports.size())
        return std::string();
    std::string_view report(FReports[index]);
    size_t marker = report.find(CallStackMarker);
    for (int k = 0; k < 2 && marker != npos; ++k)
        marker = report.find(CallStackMarker, marker + 1);
    if (marker == npos)
        return std::string();
    size_t title = marker;
    for (int k = 0; k < 3 && title != npos; ++k)
        title = report.find(TitleEnd, title + 1);
    if (title == npos)
        return std::string();
    size_t ruleEnd = report.find(CrLf, title + 3);
    if (ruleEnd == npos)
        return std::string();
    size_t start = ruleEnd + 2;
    size_t end = report.find(EmptyLine, start);
    return std::string(report.substr(start, end == npos ? npos : end - start));
}

std::string TLogReports::GetReportVersion(size_t index) const
{
    if (index >= FReports.size())
        return std::string();
    std::string_view report(FReports[index]);
    std::string_view first = report.substr(0, report.find(CrLf));
    return first.size() > 10 ? std::string(first.substr(10)) : std::string();
}

// XML export ---------------------------------------------------------------------------

namespace {

void ExportGeneral(std::string_view part, TXMLItem& general, const TTextDecoder& decoder)
{
    std::vector<std::string_view> lines = SplitAtCrLf(part);
    TXMLItem* group = nullptr;
    bool inSection = false, expectRule = false, groupNamed = false, pending = false;
    std::string title, id, label;
    std::vector<std::string> valueLines;
    auto flush = [&] {
        if (!pending || !group)
            return;
        pending = false;
        TXMLItem& line = group->AddChild("Line");
        line.AddAttribute("ID", id, decoder);
        line.AddAttribute("Label", label, decoder);
        line.AddAttribute("Value", XmlItemValue(valueLines), decoder);
        valueLines.clear();
    };
    for (size_t i = 2; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        std::string_view trimmed = Trim(line);
        if (trimmed.empty()) {
            flush();
            inSection = false;
            continue;
        }
        if (!inSection) {
            if (EndsWith(trimmed, ":"))
                trimmed.remove_suffix(1);
            title = std::string(Trim(trimmed));
            group = &general.AddChild("Group");
            groupNamed = false;
            inSection = true;
            expectRule = true;
            continue;
        }
        if (expectRule) {
            expectRule = false;
            if (trimmed.find_first_not_of('-') == npos)
                continue;
        }
        size_t colon = trimmed.find(": ");
        if (colon == npos && EndsWith(trimmed, ":"))
            colon = trimmed.size() - 1;
        if (IsItemLine(line) && colon != npos) {
            flush();
            size_t blank = trimmed.find(' ');
            if (blank == npos || blank > colon)
                blank = colon;
            id = std::string(trimmed.substr(0, blank));
            label = blank < colon ? std::string(Trim(trimmed.substr(blank + 1, colon - blank - 1))) : std::string();
            valueLines.assign(1, colon + 2 <= trimmed.size() ? std::string(trimmed.substr(colon + 2)) : "");
            pending = true;
            if (!groupNamed) {
                groupNamed = true;
                group->AddAttribute("ID", std::string_view(id).substr(0, id.find('.')), decoder);
                group->AddAttribute("Label", title, decoder);
            }
        } else if (pending) {
            valueLines.emplace_back(trimmed);
        }
    }
    flush();
}

void ExportCallStack(std::string_view part, bool oldReport, TXMLItem& stack, const TTextDecoder& decoder)
{
    TXMLItem* top = nullptr;
    TXMLItem* current = nullptr;
    bool headerSeen = false, afterEmpty = false;
    if (oldReport)
        top = current = &stack.AddChild("ExceptionThread");
    for (std::string_view line : SplitAtCrLf(part)) {
        if (!StartsWith(line, "|"))
            continue;
        if (!headerSeen) {
            headerSeen = true;
            continue;
        }
        std::vector<std::string_view> cells = SplitCells(line);
        if (cells.size() < 6) {
            std::string caption = Join(cells, 0, cells.size(), "|");
            std::string_view text = Trim(caption);
            if (text.empty()) {
                afterEmpty = true;
                continue;
            }
            if (text.find_first_not_of('-') == npos)
                continue;
            if (!top || afterEmpty) {
                top = current = &stack.AddChild(stack.Children().Count() == 0 ? "ExceptionThread" : "RunningThread");
            } else {
                current = &top->AddChild("CallingThread");
            }
            afterEmpty = false;
            // "Exception Thread: ID=12; Priority=0; Class=TWorker; [Main]"
            std::vector<std::string_view> pieces;
            size_t colon = text.find(": ");
            std::string_view rest = text;
            if (colon != npos) {
                pieces.push_back(text.substr(0, colon));
                rest = text.substr(colon + 2);
            }
            size_t pos = 0;
            for (;;) {
                size_t semi = rest.find(';', pos);
                pieces.push_back(rest.substr(pos, semi == npos ? npos : semi - pos));
                if (semi == npos)
                    break;
                pos = semi + 1;
            }
            static const char* const names[] = {"ID", "Priority", "Class"};
            for (size_t k = 1; k < 4 && k < pieces.size(); ++k)
                current->AddAttribute(names[k - 1], AfterEquals(pieces[k]), decoder);
            current->AddAttribute("MainThread", pieces.size() >= 5 ? "True" : "False", decoder);
            continue;
        }
        afterEmpty = false;
        if (!current)
            top = current = &stack.AddChild(stack.Children().Count() == 0 ? "ExceptionThread" : "RunningThread");
        // A procedure name holding a bar ("operator|") spans several cells.
        std::string procedure = Join(cells, 4, cells.size() - 1, "|");
        std::string_view lineCell = Trim(cells.back());
        std::string number(lineCell), offset;
        size_t open = lineCell.find('[');
        if (open != npos) {
            number = std::string(Trim(lineCell.substr(0, open)));
            size_t close = lineCell.find(']', open);
            offset = std::string(lineCell.substr(open + 1, close == npos ? npos : close - open - 1));
        }
        std::string proc(Trim(procedure));
        if (!proc.empty() && proc[0] == '@')
            proc[0] = '_';
        TXMLItem& row = current->AddChild("Line");
        row.AddAttribute("Address", Trim(cells[0]), decoder);
        row.AddAttribute("Module", Trim(cells[1]), decoder);
        row.AddAttribute("Unit", Trim(cells[2]), decoder);
        row.AddAttribute("Class", Trim(cells[3]), decoder);
        row.AddAttribute("Procedure", proc, decoder);
        row.AddAttribute("Number", number, decoder);
        row.AddAttribute("Offset", offset, decoder);
    }
}

void ExportModules(std::string_view part, TXMLItem& modules, const TTextDecoder& decoder)
{
    bool headerSeen = false;
    for (std::string_view line : SplitAtCrLf(part)) {
        if (!StartsWith(line, "|") || StartsWith(line, "|-"))
            continue;
        if (!headerSeen) {
            headerSeen = true;
            continue;
        }
        std::vector<std::string_view> cells = SplitCells(line);
        if (cells.size() < 6)
            continue;
        TXMLItem& module = modules.AddChild("Module");
        static const char* const names[] = {"Handle", "Name", "Description", "Version", "Size"};
        for (size_t k = 0; k < 5; ++k)
            module.AddAttribute(names[k], Trim(cells[k]), decoder);
        if (cells.size() >= 7) {
            module.AddAttribute("Modified", Trim(cells[5]), decoder);
            module.AddAttribute("Path", Trim(Join(cells, 6, cells.size(), "|")), decoder);
        } else {
            module.AddAttribute("Path", Trim(cells[5]), decoder);
        }
    }
}

void ExportCpu(std::string_view part, TXMLItem& cpu, const TTextDecoder& decoder)
{
    TXMLItem& registers = cpu.AddChild("Registers");
    TXMLItem& stack = cpu.AddChild("Stack");
    TXMLItem& dump = cpu.AddChild("MemoryDump");
    if (part.empty())
        return;
    std::vector<std::string_view> lines = SplitAtCrLf(part);
    size_t i = 2;
    for (; i < lines.size() && !lines[i].empty(); ++i)
        AddRegisters(lines[i], registers, decoder);
    // The empty line, the titles and their rule, then the dump.
    for (i += 3; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        size_t c1 = line.find(": ");
        if (c1 == npos)
            continue;
        size_t gap = line.find("   ", c1 + 2);
        if (gap == npos)
            continue;
        size_t c2 = line.find(": ", gap + 3);
        if (c2 == npos)
            continue;
        TXMLItem& word = stack.AddChild("Line");
        word.AddAttribute("Address", Trim(line.substr(0, c1)), decoder);
        word.AddAttribute("Value", line.substr(c1 + 2, gap - c1 - 2), decoder);
        size_t bytes = c2 + 2;
        TXMLItem& memory = dump.AddChild("Line");
        memory.AddAttribute("Address", Trim(line.substr(gap + 3, c2 - gap - 3)), decoder);
        memory.AddAttribute("Bytes", line.substr(bytes, 47), decoder);
        memory.AddAttribute("Chars", bytes + 49 <= line.size() ? line.substr(bytes + 49, 16) : std::string_view(),
                            decoder);
    }
}

} // namespace

void TLogReports::BuildReportXml(size_t index, TXMLItem& log, const TTextDecoder& decoder) const
{
    std::string version = GetReportVersion(index);
    bool oldReport = version < "5.0.0";
    log.AddAttribute("Version", version, decoder);
    ExportGeneral(GetGeneralPart(index), log.AddChild("General"), decoder);
    ExportCallStack(GetCallStackPart(index), oldReport, log.AddChild("CallStack"), decoder);
    ExportModules(GetModulesPart(index), log.AddChild("Modules"), decoder);
    ExportCpu(GetCpuPart(index), log.AddChild("CPU"), decoder);
    if (oldReport)
        log.AddChild("HoToReproduce").AddAttribute("Text", GetRequestPart(index), decoder);
}

std::string TLogReports::ReportXml(size_t index, const TTextDecoder& decoder) const
{
    if (index >= FReports.size())
        return std::string();
    TXMLItem log("Log");
    BuildReportXml(index, log, decoder);
    return log.Render();
}

std::string TLogReports::ExportXml(const TTextDecoder& decoder) const
{
    std::string out = "<Doc>\r\n";
    const std::string indent = "  ";
    for (size_t i = 0; i < FReports.size(); ++i) {
        TXMLItem log("Log");
        BuildReportXml(i, log, decoder);
        log.RenderTo(out, indent);
    }
    out += "</Doc>";
    return out;
}

} // namespace qov::exceptions
