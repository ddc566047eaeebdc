// The stored report log as text: loading, adding, saving, item search,
// duplicate search, report parts and the XML export.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ELogManager.h"
#include "EXMLBuilder.h"
#include "LogSample.h"

using namespace qov::exceptions;

namespace {

const std::string Two = "First line.\r\nsecond: line";

std::string Replace(std::string s, const std::string& from, const std::string& to)
{
    size_t pos = 0;
    while ((pos = s.find(from, pos)) != std::string::npos) {
        s.replace(pos, from.size(), to);
        pos += to.size();
    }
    return s;
}

size_t Occurrences(const std::string& s, const std::string& what)
{
    size_t n = 0;
    for (size_t pos = s.find(what); pos != std::string::npos; pos = s.find(what, pos + 1))
        ++n;
    return n;
}

} // namespace

TEST(LogReports, SavedLogReadsBackAsTheSameReports)
{
    TLogReports log;
    log.AddReport(logsample::Report("One"), 10);
    log.AddReport(logsample::Report("Two"), 10);
    log.AddReport(logsample::Report(Two), 10);
    std::string saved = log.SaveText();
    // Four line breaks between two reports, three after the last.
    std::string first = logsample::Report("One");
    first.resize(first.size() - 2);
    EXPECT_EQ(saved.compare(0, first.size() + 8, first + "\r\n\r\n\r\n\r\n"), 0);
    EXPECT_EQ(saved.substr(saved.size() - 9), "]^_\r\n\r\n\r\n");
    EXPECT_EQ(log.Text(), saved + "\r\n");

    TLogReports again;
    again.LoadText(saved);
    ASSERT_EQ(again.Count(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(again.Report(i), log.Report(i));
    EXPECT_EQ(again.SaveText(), saved);
}

TEST(LogReports, EmptyListSavesAnEmptyText)
{
    TLogReports log;
    EXPECT_EQ(log.SaveText(), "");
    EXPECT_EQ(log.Text(), "");
    log.LoadText("");
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_EQ(log.SaveText(), "");
    // Fewer than six bytes hold no report, even with the marker.
    log.LoadText("-\r\n|");
    EXPECT_EQ(log.Count(), 0u);
}

TEST(LogReports, LoadingMakesLineBreaksUniformAndKeepsTheLastReport)
{
    std::string a = logsample::Report("Alpha"), b = logsample::Report(Two);
    TLogReports plain;
    plain.AddReport(a, 5);
    plain.AddReport(b, 5);

    // The last report ends with one line break only, or with none.
    for (const std::string& text : {a + "\r\n\r\n\r\n" + b, a + "\r\n\r\n\r\n" + b.substr(0, b.size() - 2)}) {
        TLogReports log;
        log.LoadText(text);
        ASSERT_EQ(log.Count(), 2u);
        EXPECT_EQ(log.Report(1), plain.Report(1));
        EXPECT_EQ(log.GetReportField(1, "2.5"), Two);
    }
    // Lone LF and lone CR line breaks (a file edited elsewhere).
    for (const char* lineBreak : {"\n", "\r"}) {
        std::string text = Replace(plain.SaveText(), "\r\n", lineBreak);
        TLogReports log;
        log.LoadText(text);
        ASSERT_EQ(log.Count(), 2u) << static_cast<int>(lineBreak[0]);
        EXPECT_EQ(log.Report(0), plain.Report(0));
        EXPECT_EQ(log.Report(1), plain.Report(1));
    }
    // Pieces without the call-stack marker are no reports; a longer run of
    // line breaks still separates.
    TLogReports log;
    log.LoadText("some note\r\n\r\n\r\n\r\n" + a + "\r\n\r\n\r\n\r\n\r\n\r\nfooter only\r\n\r\n\r\n\r\n" + b);
    ASSERT_EQ(log.Count(), 2u);
    EXPECT_EQ(log.Report(0), plain.Report(0));
    EXPECT_EQ(log.Report(1), plain.Report(1));
}

TEST(LogReports, AddReportKeepsAtLeastTheNewReport)
{
    TLogReports log;
    for (int i = 0; i < 10; ++i)
        log.AddReport(logsample::Report("Raise " + std::to_string(i)), 3);
    ASSERT_EQ(log.Count(), 3u);
    EXPECT_EQ(log.GetReportField(0, "2.5"), "Raise 7");
    EXPECT_EQ(log.GetReportField(2, "2.5"), "Raise 9");

    log.AddReport(logsample::Report("Only"), 1);
    ASSERT_EQ(log.Count(), 1u);
    EXPECT_EQ(log.GetReportField(0, "2.5"), "Only");

    // A keep read from a damaged option stream: 0 or negative counts as 1.
    for (int keep : {0, -5}) {
        TLogReports empty;
        empty.AddReport(logsample::Report("New"), keep);
        ASSERT_EQ(empty.Count(), 1u);
        empty.AddReport(logsample::Report("Newer"), keep);
        ASSERT_EQ(empty.Count(), 1u);
        EXPECT_EQ(empty.GetReportField(0, "2.5"), "Newer");
    }
}

TEST(LogReports, GetReportFieldReadsItemValues)
{
    std::string messages[] = {Two, "a: b\r\n\r\nc", "Just one line.", "Ends.\r\n.\r\nhere.", "\r\nafter empty"};
    TLogReports log;
    for (const auto& message : messages)
        log.AddReport(logsample::Report(message), 10);
    // Two lines joined by CR LF, ": " restored, the full stop of the first
    // line kept.
    EXPECT_EQ(log.GetReportField(0, "2.5"), Two);
    // An empty line of the value comes back as an empty line.
    EXPECT_EQ(log.GetReportField(1, "2.5"), "a: b\r\n\r\nc");
    EXPECT_EQ(log.GetReportField(2, "2.5"), "Just one line.");
    // Only a line that is a lone full stop becomes empty.
    EXPECT_EQ(log.GetReportField(3, "2.5"), "Ends.\r\n\r\nhere.");
    EXPECT_EQ(log.GetReportField(4, "2.5"), "after empty");
    EXPECT_EQ(log.GetReportField(0, "1.3"), "5.0.0.26");
    EXPECT_EQ(log.GetReportField(0, "2.2"), "004B1C2F");
    // The item before a multi-line value ends at the next item line.
    EXPECT_EQ(log.GetReportField(0, "2.4"), "EAccessViolation");
    // Missing item, item number that is only a prefix, index outside.
    EXPECT_EQ(log.GetReportField(0, "3.1"), "");
    EXPECT_EQ(log.GetReportField(0, "2."), "");
    EXPECT_EQ(log.GetReportField(0, "1.1"), "Mon, 7 Dec 2026 10:15:02 +0100");
    EXPECT_EQ(log.GetReportField(0, "1.10"), "");
    EXPECT_EQ(log.GetReportField(5, "2.5"), "");
    EXPECT_EQ(log.GetReportField(static_cast<size_t>(-1), "2.5"), "");
}

TEST(LogReports, ItemValuesAsWrittenAndAsRead)
{
    EXPECT_EQ(EncodeItemValue("a: b", 9), "a: b");
    EXPECT_EQ(EncodeItemValue("a: b\r\n\r\nc", 4), "a:_b\r\n    .\r\n    c");
    for (const std::string& value : {Two, std::string("x\r\n  \r\ny: z"), std::string("one")})
        EXPECT_EQ(ItemValueAsRead(EncodeItemValue(value, 11)), ItemValueAsRead(value));
    EXPECT_EQ(ItemValueAsRead("  a\nb\r.\r\n:_c "), "a\r\nb\r\n\r\n: c");
    EXPECT_EQ(ItemValueAsRead(" single:_line. "), "single:_line.");
}

TEST(LogReports, FindReportNeedsTheWholeValues)
{
    TLogReports log;
    log.AddReport(logsample::Report("Error in module X"), 10);
    log.AddReport(logsample::Report(Two, "00401000"), 10);
    const std::vector<std::string> numbers = {"2.2", "2.3", "2.4", "2.5"};
    EXPECT_TRUE(log.FindReport(numbers, {"004B1C2F", "App.exe", "EAccessViolation", "Error in module X"}));
    // A value that only begins the stored one, or that the stored one begins.
    EXPECT_FALSE(log.FindReport(numbers, {"004B1C2F", "App.exe", "EAccessViolation", "Error"}));
    EXPECT_FALSE(log.FindReport(numbers, {"004B1C2F", "App.exe", "EAccessViolation", "Error in module X2"}));
    EXPECT_FALSE(log.FindReport(numbers, {"004B1C2", "App.exe", "EAccessViolation", "Error in module X"}));
    // Differing only in the message's last word.
    EXPECT_FALSE(log.FindReport(numbers, {"00401000", "App.exe", "EAccessViolation", "First line.\r\nsecond: word"}));
    // The second report, with its two-line message as the report holds it.
    EXPECT_TRUE(log.FindReport(numbers, {"00401000", "App.exe", "EAccessViolation", Two}));
    // Values from different reports do not make a match.
    EXPECT_FALSE(log.FindReport(numbers, {"00401000", "App.exe", "EAccessViolation", "Error in module X"}));
    // An item that no report has, or pairs that do not pair up.
    EXPECT_FALSE(log.FindReport({"2.1"}, {""}));
    EXPECT_FALSE(log.FindReport({"2.2", "2.3"}, {"004B1C2F"}));
    EXPECT_FALSE(TLogReports().FindReport(numbers, {"004B1C2F", "App.exe", "EAccessViolation", "Error"}));
}

TEST(LogReports, ReportParts)
{
    using namespace logsample;
    TLogReports log;
    log.AddReport(Report("Boom"), 10);
    std::string general = log.GetGeneralPart(0);
    EXPECT_EQ(general.substr(0, 18), "ZephraLog 5.1.10\r\n");
    EXPECT_EQ(general.substr(general.size() - 17), "2.5 Message: Boom");
    std::string stack = log.GetCallStackPart(0);
    EXPECT_EQ(stack.compare(0, 6, "------"), 0);
    EXPECT_EQ(stack.back(), '-');
    EXPECT_EQ(Occurrences(stack, "Thread: ID="), 3u);
    EXPECT_EQ(stack.find("Modules"), std::string::npos);
    std::string modules = log.GetModulesPart(0);
    EXPECT_EQ(modules.compare(0, 6, "------"), 0);
    EXPECT_NE(modules.find("|ntdll.dll"), std::string::npos);
    EXPECT_EQ(modules.back(), '-');
    std::string cpu = log.GetCpuPart(0);
    EXPECT_EQ(cpu.compare(0, 12, "Registers:\r\n"), 0);
    EXPECT_EQ(Occurrences(cpu, "\r\n"), 24u); // 25 lines, no closing line break
    EXPECT_EQ(log.GetReportVersion(0), "5.1.10");
    EXPECT_EQ(log.GetRequestPart(0), "");

    // Modules and processor sections switched off: their title blocks only.
    TLogReports off;
    off.AddReport(General({{"Exception", {{"2.5", "Message", "x"}}}}) + "\r\n" +
                      CallStack({{" Exception Thread: ID=1; Priority=0; Class=", false, false, {}}}) +
                      Modules({}, false) + Cpu({}, 0, false),
                  10);
    EXPECT_EQ(off.GetModulesPart(0), "");
    EXPECT_EQ(off.GetCpuPart(0), "");
    EXPECT_NE(off.GetCallStackPart(0).find("Exception Thread"), std::string::npos);
    // No marker: no parts; indexes outside the list give empty parts.
    TLogReports none;
    none.AddReport("ZephraLog 5.1.10\r\n\r\nno tables", 10);
    EXPECT_EQ(none.GetGeneralPart(0), "");
    EXPECT_EQ(none.GetCallStackPart(0), "");
    EXPECT_EQ(none.GetCpuPart(0), "");
    EXPECT_EQ(none.GetReportVersion(0), "5.1.10");
    EXPECT_EQ(none.GetModulesPart(3), "");
}

TEST(XmlBuilder, AttributeEscaping)
{
    // The Part's own case: a double quote, a line break and a-umlaut (228).
    EXPECT_EQ(EscapeXmlAttribute("\"a\r\n\xE4"), "&#034;a&#013;&#010;&#228;");
    EXPECT_EQ(EscapeXmlAttribute("\t&'<>~\x7F"), "&#009;&#038;&#039;&#060;&#062;~&#127;");
    EXPECT_EQ(EscapeXmlAttribute(std::string("a\0b", 3)), "a&#000;b");
    // Characters of the system code page are written as their code points:
    // a GBK pair becomes one reference, not two.
    TTextDecoder gbk = [](std::string_view text) {
        std::u32string out;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text.substr(i, 2) == "\xC4\xE3") {
                out += U'\u4F60';
                ++i;
            } else if (text.substr(i, 2) == "\xBA\xC3") {
                out += U'\u597D';
                ++i;
            } else {
                out += static_cast<unsigned char>(text[i]);
            }
        }
        return out;
    };
    EXPECT_EQ(EscapeXmlAttribute("x\xC4\xE3\xBA\xC3!", gbk), "x&#20320;&#22909;!");
    // A character beyond the basic plane keeps its whole number.
    TTextDecoder wide = [](std::string_view) { return std::u32string(U"\U0001F600"); };
    EXPECT_EQ(EscapeXmlAttribute("\xF0", wide), "&#128512;");
    // Texts without characters above 126 do not need the decoder.
    TTextDecoder never = [](std::string_view) -> std::u32string { throw 1; };
    EXPECT_EQ(EscapeXmlAttribute("plain", never), "plain");
}

TEST(XmlBuilder, Rendering)
{
    TXMLItem root("Doc");
    EXPECT_EQ(root.Render(), "<Doc/>\r\n");
    TXMLItem& log = root.AddChild("Log");
    log.AddAttribute("Version", "5.1.10");
    TXMLItem& line = log.AddChild("Line");
    line.AddAttribute("ID", "1");
    line.AddAttribute("Label", "a\"b");
    root.AddChild("Empty");
    EXPECT_EQ(line.Parent(), &log);
    EXPECT_EQ(root.Render(), "<Doc>\r\n"
                             "  <Log Version=\"5.1.10\">\r\n"
                             "    <Line ID=\"1\" Label=\"a&#034;b\"/>\r\n"
                             "  </Log>\r\n"
                             "  <Empty/>\r\n"
                             "</Doc>\r\n");
}

TEST(LogReports, ExportXml)
{
    TLogReports log;
    EXPECT_EQ(log.ExportXml(), "<Doc>\r\n</Doc>");
    log.AddReport(logsample::Report(Two), 10);
    std::string xml = log.ExportXml();
    EXPECT_EQ(xml.substr(0, 33), "<Doc>\r\n  <Log Version=\"5.1.10\">\r\n");
    EXPECT_EQ(xml.substr(xml.size() - 16), "  </Log>\r\n</Doc>");
    EXPECT_NE(xml.find("      <Group ID=\"1\" Label=\"Application\">\r\n"
                       "        <Line ID=\"1.1\" Label=\"Start Date\" Value=\"Mon, 7 Dec 2026 10:15:02 +0100\"/>"),
              std::string::npos);
    EXPECT_NE(xml.find("<Line ID=\"2.5\" Label=\"Message\" Value=\"First line.&#013;&#010;second: line\"/>"),
              std::string::npos);
    EXPECT_NE(xml.find("<ExceptionThread ID=\"1234\" Priority=\"0\" Class=\"TWorkerThread\" MainThread=\"False\">"),
              std::string::npos);
    EXPECT_NE(xml.find("<Line Address=\"004B1C2F\" Module=\"App.exe\" Unit=\"Worker.cpp\" Class=\"TWorker\" "
                       "Procedure=\"Execute\" Number=\"42\" Offset=\"3\"/>"),
              std::string::npos);
    EXPECT_NE(xml.find("Procedure=\"_Run\" Number=\"17\" Offset=\"\""), std::string::npos);
    // The calling thread sits inside the exception thread; the running
    // thread (after an empty framed line) is a top-level element.
    size_t calling = xml.find("<CallingThread ID=\"77\" Priority=\"-1\" Class=\"\" MainThread=\"False\">");
    size_t closeException = xml.find("</ExceptionThread>");
    size_t running = xml.find("<RunningThread ID=\"88\" Priority=\"0\" Class=\"\" MainThread=\"True\">");
    ASSERT_NE(calling, std::string::npos);
    ASSERT_NE(running, std::string::npos);
    EXPECT_LT(calling, closeException);
    EXPECT_LT(closeException, running);
    EXPECT_NE(xml.find("<Module Handle=\"7C900000\" Name=\"ntdll.dll\" Description=\"NT Layer DLL\" "
                       "Version=\"5.1.2600.5512\" Size=\"718336\" Modified=\"2008-04-14 00:00:00\" "
                       "Path=\"C:\\WINDOWS\\system32\"/>"),
              std::string::npos);
    EXPECT_EQ(xml.find("Handle=\"Handle\""), std::string::npos);
    EXPECT_NE(xml.find("<Registers EAX=\"00000001\" EDI=\"00000002\" EBX=\"00000003\" ESI=\"00000004\" "
                       "ECX=\"0012FF00\" ESP=\"0012FF10\" EDX=\"00000007\" EIP=\"004B1C2F\"/>"),
              std::string::npos);
    EXPECT_NE(xml.find("<Line Address=\"0012FF00\" Value=\"00401000\"/>"), std::string::npos);
    EXPECT_NE(xml.find("<Line Address=\"004B1C20\" Bytes=\"41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50\" "
                       "Chars=\"ABCDEFGHIJKLMNOP\"/>"),
              std::string::npos);
    EXPECT_EQ(Occurrences(xml, "<Line Address=\"0012FF"), 16u);
    EXPECT_EQ(xml.find("HoToReproduce"), std::string::npos);
    EXPECT_EQ(log.ReportXml(0), Replace(xml.substr(9, xml.size() - 9 - 6), "\r\n  ", "\r\n"));
}

TEST(LogReports, ExportXmlOfOlderAndPartialReports)
{
    using namespace logsample;
    // Before 5.0.0: no captions, the rows go into an exception thread; the
    // steps to reproduce follow the tables and are exported as
    // "HoToReproduce"; registers not captured are left out.
    std::string older = "ZephraLog 4.2.6\r\n\r\n" + General({{"Exception", {{"2.5", "Message", "Old"}}}}).substr(18) +
                        "\r\n" + CallStack({{"", false, false, {"00401000", "Old.exe", "Old.pas", "", "Go", "9"}}}) +
                        Modules({{"00400000", "Old.exe", "", "1.0", "1024", "C:\\Old"}}) + Cpu({}, 0) +
                        "\r\nRequest:\r\n--------\r\nClicked the button.\r\nThen it broke.\r\n";
    TLogReports log;
    log.AddReport(older, 10);
    std::string xml = log.ExportXml();
    EXPECT_NE(xml.find("<Log Version=\"4.2.6\">"), std::string::npos);
    EXPECT_NE(xml.find("<ExceptionThread>\r\n        <Line Address=\"00401000\" Module=\"Old.exe\""),
              std::string::npos) << xml;
    EXPECT_NE(xml.find("<Module Handle=\"00400000\" Name=\"Old.exe\" Description=\"\" Version=\"1.0\" Size=\"1024\" "
                       "Path=\"C:\\Old\"/>"),
              std::string::npos);
    EXPECT_NE(xml.find("<Registers/>"), std::string::npos);
    EXPECT_NE(xml.find("<HoToReproduce Text=\"Clicked the button.&#013;&#010;Then it broke.\"/>"), std::string::npos);

    // A value whose first line was empty, an item without value, one shown
    // item number skipped.
    TLogReports current;
    current.AddReport(General({{"Exception", {{"2.2", "Address", ""}, {"2.5", "Message", "\r\nx\r\n"}}}}) + "\r\n" +
                          CallStack({}) + Modules({}, false) + Cpu({}, 0, false),
                      10);
    xml = current.ExportXml();
    EXPECT_NE(xml.find("<Group ID=\"2\" Label=\"Exception\">"), std::string::npos);
    EXPECT_NE(xml.find("<Line ID=\"2.2\" Label=\"Address\" Value=\"\"/>"), std::string::npos);
    EXPECT_NE(xml.find("<Line ID=\"2.5\" Label=\"Message\" Value=\"x\"/>"), std::string::npos);
    EXPECT_NE(xml.find("<CallStack/>"), std::string::npos);
    EXPECT_NE(xml.find("<Modules/>"), std::string::npos);
}

TEST(LogWorkFiles, FileListsAndAttachmentNames)
{
    EXPECT_EQ(SplitFileList("  a.txt ; b c.log;;  ;d  "), (std::vector<std::string>{"a.txt", "b c.log", "d"}));
    EXPECT_TRUE(SplitFileList(" ; ").empty());
    EXPECT_TRUE(SplitFileList("").empty());

    TDateTime time = EncodeDateTime(2026, 12, 7, 10, 15, 2);
    EXPECT_EQ(AttachmentName("C:\\Temp\\report.zpf", false, time), "report.zpf");
    EXPECT_EQ(AttachmentName("C:\\Temp\\report.zpf", true, time), "report_20261207101502.zpf");
    EXPECT_EQ(AttachmentName("C:\\Temp\\noext", true, time), "noext_20261207101502");
    EXPECT_EQ(AttachmentName("C:\\a.b\\x.tar.gz", true, EncodeDateTime(2027, 1, 2, 3, 4, 5)),
              "x.tar_20270102030405.gz");

    TAttachmentFiles files;
    files.ExtraFiles = "one.txt;two.txt";
    files.LogCopy = "T\\App.zpf";
    files.XmlCopy = "T\\App.xml";
    using List = std::vector<std::string>;
    EXPECT_EQ(AttachmentList(false, files), (List{"one.txt", "two.txt", "T\\App.zpf", "T\\App.xml"}));
    EXPECT_EQ(AttachmentList(true, files), (List{"one.txt", "two.txt", "T\\App.zpf", "T\\App.xml"}));
    files.AppendToLog = true;
    files.Screenshot = "T\\Screenshot.png";
    files.LastHtmlPage = "T\\LastHTMLPage.html";
    EXPECT_EQ(AttachmentList(false, files),
              (List{"one.txt", "two.txt", "T\\App.zpf", "T\\Screenshot.png", "T\\LastHTMLPage.html", "T\\App.xml"}));
    EXPECT_EQ(AttachmentList(true, files),
              (List{"one.txt", "two.txt", "T\\Screenshot.png", "T\\LastHTMLPage.html", "T\\App.xml"}));
    files = TAttachmentFiles();
    EXPECT_TRUE(AttachmentList(false, files).empty());
}

TEST(LogReports, ExportXmlOfA64BitProcessorSection)
{
    using namespace logsample;
    // 16-digit registers and addresses, more register lines.
    std::string cpu = "Registers:\r\n" + std::string(45, '-') +
                      "\r\n"
                      "RAX: 0000000000000001   RDI: 0000000000000002\r\n"
                      "RBX: ????            RSI: 00007FF6A1B2C3D4\r\n"
                      "R8: 0000000000000008   R9: 0000000000000009\r\n"
                      "\r\n" +
                      Pad("Stack:", 29) + "Memory Dump:\r\n" + std::string(34, '-') + "   " + std::string(75, '-') +
                      "\r\n"
                      "000000000012FF00: 0000000000401000   00007FF6A1B2C3D0: "
                      "41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP\r\n";
    TLogReports log;
    log.AddReport(General({{"Exception", {{"2.5", "Message", "x"}}}}) + "\r\n" +
                      CallStack({{" Exception Thread: ID=5; Priority=0; Class=", false, false, {}}}) + Modules({}, false) +
                      cpu,
                  10);
    std::string xml = log.ExportXml();
    EXPECT_NE(xml.find("<Registers RAX=\"0000000000000001\" RDI=\"0000000000000002\" RSI=\"00007FF6A1B2C3D4\" "
                       "R8=\"0000000000000008\" R9=\"0000000000000009\"/>"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find("<Line Address=\"000000000012FF00\" Value=\"0000000000401000\"/>"), std::string::npos);
    EXPECT_NE(xml.find("<Line Address=\"00007FF6A1B2C3D0\" Bytes=\"41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50\" "
                       "Chars=\"ABCDEFGHIJKLMNOP\"/>"),
              std::string::npos);
    // A thread without listed entries is an empty element.
    EXPECT_NE(xml.find("<ExceptionThread ID=\"5\" Priority=\"0\" Class=\"\" MainThread=\"False\"/>"), std::string::npos);
}
