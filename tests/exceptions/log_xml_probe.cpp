// Writes the XML export of a sample log to the standard output for
// log_xml_check.py: a report with a two-line message, one with a GBK message
// (decoded as code page 936) and one of the older layout.
#include <cstdio>
#include <string>

#include "ELogManager.h"
#include "LogSample.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>

#include "ELogFiles.h"
#else
#include <iconv.h>
#endif

using namespace qov::exceptions;

namespace {

std::u32string DecodeGbk(std::string_view text)
{
#if defined(_WIN32)
    return DecodeCodePage(text, 936);
#else
    std::u32string out(text.size(), U'\0');
    iconv_t cd = iconv_open("UTF-32LE", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return DecodeLatin1(text);
    std::string in(text);
    char* source = in.data();
    size_t left = in.size();
    char* target = reinterpret_cast<char*>(out.data());
    size_t room = out.size() * sizeof(char32_t);
    iconv(cd, &source, &left, &target, &room);
    iconv_close(cd);
    out.resize(out.size() - room / sizeof(char32_t));
    return out;
#endif
}

} // namespace

int main()
{
    using namespace logsample;
    TLogReports log;
    log.AddReport(Report("First line.\r\nsecond: line & <more>"), 10);
    log.AddReport(Report("\xC4\xE3\xBA\xC3 \"quoted\"\tend", "00401000", "4321"), 10);
    log.AddReport("ZephraLog 4.2.6\r\n\r\n" + General({{"Exception", {{"2.5", "Message", "Old"}}}}).substr(18) +
                      "\r\n" + CallStack({{"", false, false, {"00401000", "Old.exe", "Old.pas", "", "Go", "9"}}}) +
                      Modules({{"00400000", "Old.exe", "", "1.0", "1024", "C:\\Old"}}) + Cpu({}, 0) +
                      "\r\nRequest:\r\n--------\r\nClicked the button.\r\nThen it broke.\r\n",
                  10);
    // Through save and load, as a stored log is exported.
    TLogReports stored;
    stored.LoadText(log.SaveText());
    std::string xml = stored.ExportXml(DecodeGbk);
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    fwrite(xml.data(), 1, xml.size(), stdout);
    return stored.Count() == 3 ? 0 : 1;
}
