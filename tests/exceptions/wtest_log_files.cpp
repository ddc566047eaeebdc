// The stored log on disk: the log file held open and shared, saving from the
// start and cutting there, the module's log, the duplicate check and the log
// saving of the report steps, the work files and the stored exception object.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "ECore.h"
#include "EHelpers.h"
#include "ELogFiles.h"
#include "EManager.h"
#include "EReportSteps.h"
#include "LogSample.h"

using namespace qov::exceptions;

namespace {

std::string Folder()
{
    static const std::string folder = [] {
        std::string f = TempFolder() + "qov_log_files_" + std::to_string(GetCurrentProcessId()) + "\\";
        CreateDirectoryA(f.c_str(), nullptr);
        return f;
    }();
    return folder;
}

std::string ReadAll(const std::string& path)
{
    return ReadTextFile(path);
}

void WriteAll(const std::string& path, const std::string& text)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

struct Options : TZephraModuleOptionsEx {
    explicit Options(const std::string& folder) : TZephraModuleOptionsEx("C:\\Apps\\LogApp.exe", false)
    {
        SetLogFolder(folder);
    }
};

class LogFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        CloseLog();
        path = Folder() + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".zpf";
        DeleteFileA(path.c_str());
    }
    void TearDown() override
    {
        CloseLog();
        DeleteFileA(path.c_str());
    }
    std::string path;
};

} // namespace

TEST_F(LogFiles, MissingFileSavesAndReadsBack)
{
    {
        TLogFile log(path, false);
        EXPECT_FALSE(log.HasFile());
        EXPECT_EQ(log.Count(), 0u);
        EXPECT_FALSE(Exists(path));
        log.AddReport(logsample::Report("One"), 5);
        log.AddReport(logsample::Report("Two"), 5);
        log.Save();
        EXPECT_TRUE(log.HasFile());
        EXPECT_EQ(ReadAll(path), log.SaveText());
    }
    TLogFile again(path, true);
    ASSERT_EQ(again.Count(), 2u);
    EXPECT_EQ(again.GetReportField(1, "2.5"), "Two");
}

TEST_F(LogFiles, SaveCutsTheFileAndAnEmptyListWritesAnEmptyFile)
{
    {
        TLogFile log(path, false);
        for (int i = 0; i < 4; ++i)
            log.AddReport(logsample::Report("Report " + std::to_string(i)), 10);
        log.Save();
    }
    {
        TLogFile log(path, false);
        ASSERT_EQ(log.Count(), 4u);
        log.AddReport(logsample::Report("Last"), 1);
        log.Save();
        EXPECT_EQ(ReadAll(path), log.SaveText());
    }
    {
        TLogFile log(path, false);
        ASSERT_EQ(log.Count(), 1u);
        log.Clear();
        log.Save();
    }
    EXPECT_TRUE(Exists(path));
    EXPECT_EQ(ReadAll(path), "");
    // A new file with no report is created empty too.
    DeleteFileA(path.c_str());
    TLogFile empty(path, false);
    empty.Save();
    EXPECT_TRUE(Exists(path));
    EXPECT_EQ(ReadAll(path), "");
}

TEST_F(LogFiles, OpenFileIsSharedWithEveryone)
{
    WriteAll(path, logsample::Report("Shared") + "\r\n");
    TLogFile writer(path, false);
    ASSERT_TRUE(writer.HasFile());
    // Another reader and another writer while the first holds it open.
    TLogFile reader(path, true);
    EXPECT_EQ(reader.GetReportField(0, "2.5"), "Shared");
    EXPECT_EQ(ReadTextFile(path).substr(0, 16), "ZephraLog 5.1.10");
    writer.AddReport(logsample::Report("Added"), 5);
    writer.Save();
    TLogFile third(path, true);
    EXPECT_EQ(third.Count(), 2u);
    // A read-only log cannot be written.
    reader.AddReport("x", 5);
    EXPECT_THROW(reader.Save(), qov::EWriteError);
}

TEST_F(LogFiles, XmlUsesTheSystemCodePage)
{
    const std::string message = "Failed: \xC4\xE3\xBA\xC3 \"quoted\"";
    TLogFile log(path, false);
    log.AddReport(logsample::Report(message), 5);
    std::string xmlPath = Folder() + "export.xml";
    log.SaveXml(xmlPath);
    std::string xml = ReadAll(xmlPath);
    DeleteFileA(xmlPath.c_str());
    ASSERT_GE(xml.size(), 8u);
    EXPECT_EQ(xml.substr(xml.size() - 8), "</Doc>\r\n");
    wchar_t wide[8] = {};
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xC4\xE3\xBA\xC3", 4, wide, 8) > 0, true);
    std::string expected = "Value=\"Failed: &#" + std::to_string(static_cast<unsigned>(wide[0]));
    EXPECT_NE(xml.find(expected), std::string::npos) << xml.substr(0, 600);
    EXPECT_NE(xml.find("&#034;quoted&#034;\""), std::string::npos);
    if (GetACP() == 936) {
        EXPECT_NE(xml.find("Value=\"Failed: &#20320;&#22909; &#034;quoted&#034;\""), std::string::npos);
        // Each byte of a pair is never a reference of its own.
        EXPECT_EQ(xml.find("&#196;&#227;"), std::string::npos);
    }
    EXPECT_EQ(DecodeSystemCodePage("ab"), std::u32string(U"ab"));
    // GBK pairs give one character each; a pair of surrogates one code point.
    TTextDecoder gbk = [](std::string_view text) { return DecodeCodePage(text, 936); };
    EXPECT_EQ(EscapeXmlAttribute("\xC4\xE3\xBA\xC3: x", gbk), "&#20320;&#22909;: x");
    TTextDecoder utf8 = [](std::string_view text) { return DecodeCodePage(text, CP_UTF8); };
    EXPECT_EQ(EscapeXmlAttribute("\xF0\x9F\x98\x80\xC3\xA4", utf8), "&#128512;&#228;");
    TLogReports gbkLog;
    gbkLog.AddReport(logsample::Report("\xC4\xE3\xBA\xC3"), 1);
    EXPECT_NE(gbkLog.ExportXml(gbk).find("Value=\"&#20320;&#22909;\""), std::string::npos);
    EXPECT_TRUE(DecodeSystemCodePage("").empty());
}

TEST_F(LogFiles, ModuleLogFollowsTheLogFileName)
{
    Options options(Folder());
    std::string first = options.ComposeLogFileName(std::string());
    EXPECT_EQ(first, Folder() + "LogApp.zpf");
    TLogFile& log = OpenLog(options);
    EXPECT_EQ(&log, CurrentLog());
    EXPECT_EQ(&OpenLog(options), &log);
    EXPECT_EQ(log.FileName(), first);
    CreateDirectoryA((Folder() + "other").c_str(), nullptr);
    options.SetLogFolder(Folder() + "other\\");
    TLogFile& other = OpenLog(options);
    EXPECT_EQ(other.FileName(), Folder() + "other\\LogApp.zpf");
    CloseLog();
    EXPECT_EQ(CurrentLog(), nullptr);
}

TEST_F(LogFiles, DuplicateCheckAndLogSaving)
{
    Options options(Folder());
    std::string logPath = options.ComposeLogFileName(std::string());
    DeleteFileA(logPath.c_str());
    options.SetSaveLog(1);
    options.SetKeepReports(3);
    options.SetSendFlags(0x04);

    // The steps work on the report's options.
    TReportState report;
    report.Options = &options;
    for (int i = 0; i < 10; ++i) {
        TLogSaving saving;
        saving.SaveLog = true;
        saving.KeepForSending = true;
        report.ReportText = logsample::Report("Raise " + std::to_string(i));
        PrepareLogSaving(report, saving);
        EXPECT_TRUE(SaveReportLog(saving));
        EXPECT_EQ(CurrentLog(), nullptr);
    }
    {
        TLogFile log(logPath, true);
        ASSERT_EQ(log.Count(), 3u);
        EXPECT_EQ(log.GetReportField(0, "2.5"), "Raise 7");
        EXPECT_EQ(log.GetReportField(2, "2.5"), "Raise 9");
        // The send text is the whole stored log.
        EXPECT_EQ(report.SendText, log.SaveText());
    }

    // The duplicate check: the same items 2.2-2.5, with LogFlags bit 0 only.
    report.KeyAddress = "004B1C2F";
    report.KeyModule = "App.exe";
    report.KeyType = "EAccessViolation";
    report.KeyMessage = "Raise 8";
    EXPECT_FALSE(CheckDuplicate(report, options));
    options.SetLogFlags(0x01);
    EXPECT_TRUE(CheckDuplicate(report, options));
    EXPECT_EQ(CurrentLog(), nullptr);
    report.KeyMessage = "Raise";
    EXPECT_FALSE(CheckDuplicate(report, options));
    report.KeyMessage = "Raise 80";
    EXPECT_FALSE(CheckDuplicate(report, options));

    // A kept count below one from a damaged option stream keeps the new report.
    options.SetKeepReports(-2);
    TLogSaving saving;
    saving.SaveLog = true;
    report.ReportText = logsample::Report("After");
    PrepareLogSaving(report, saving);
    EXPECT_TRUE(SaveReportLog(saving));
    TLogFile log(logPath, true);
    ASSERT_EQ(log.Count(), 1u);
    EXPECT_EQ(log.GetReportField(0, "2.5"), "After");
    DeleteFileA(logPath.c_str());
}

TEST_F(LogFiles, WorkFilesAndAttachments)
{
    Options options(Folder());
    options.SetSendFlags(0);
    EXPECT_EQ(LogCopyPath(options), TempFolder() + "LogApp.zpf");
    EXPECT_EQ(XmlCopyPath(options), "");
    EXPECT_EQ(ScreenshotPath(options), "");
    EXPECT_EQ(LastHtmlPagePath(options), "");
    EXPECT_EQ(ArchivePath(), TempFolder() + "CompressFiles.tgz");

    // The last page: written with bit 6 only.
    DeleteFileA((TempFolder() + "LastHTMLPage.html").c_str());
    SaveLastHtmlPage("<html>page</html>", options);
    EXPECT_FALSE(Exists(TempFolder() + "LastHTMLPage.html"));
    options.SetSendFlags(0x40 | 0x08 | 0x10 | 0x100);
    SaveLastHtmlPage("<html>page</html>", options);
    EXPECT_EQ(ReadTextFile(TempFolder() + "LastHTMLPage.html"), "<html>page</html>");
    EXPECT_EQ(LastHtmlPagePath(options), TempFolder() + "LastHTMLPage.html");
    EXPECT_EQ(XmlCopyPath(options), TempFolder() + "LogApp.xml");
    EXPECT_EQ(ScreenshotPath(options), "");
    SetScreenshotTaken(true);
    EXPECT_EQ(ScreenshotPath(options), TempFolder() + "Screenshot.png");
    SetScreenshotTaken(false);

    // The XML copy of the send text alone, and of a log copy.
    std::string xmlCopy = XmlCopyPath(options);
    DeleteFileA(xmlCopy.c_str());
    SaveXmlCopy("", logsample::Report("Sent"), "", options);
    std::string xml = ReadTextFile(xmlCopy);
    EXPECT_NE(xml.find("Value=\"Sent\""), std::string::npos);
    EXPECT_EQ(xml.find("<Log "), xml.rfind("<Log "));
    WriteAll(path, logsample::Report("Copy 1") + "\r\n\r\n\r\n\r\n" + logsample::Report("Copy 2"));
    SaveXmlCopy(path, "unused", "", options);
    xml = ReadTextFile(xmlCopy);
    EXPECT_NE(xml.find("Value=\"Copy 1\""), std::string::npos);
    EXPECT_NE(xml.find("Value=\"Copy 2\""), std::string::npos);
    DeleteFileA(xmlCopy.c_str());

    options.SetExtraFiles(" a.txt ; ;b.txt ");
    options.SetAppendToLog(1);
    using List = std::vector<std::string>;
    EXPECT_EQ(BuildAttachmentList(false, options),
              (List{"a.txt", "b.txt", TempFolder() + "LogApp.zpf", TempFolder() + "LastHTMLPage.html", xmlCopy}));
    EXPECT_EQ(BuildAttachmentList(true, options), (List{"a.txt", "b.txt", TempFolder() + "LastHTMLPage.html", xmlCopy}));
    DeleteFileA((TempFolder() + "LastHTMLPage.html").c_str());

    TDateTime time = EncodeDateTime(2026, 12, 7, 10, 15, 2);
    EXPECT_EQ(AttachmentName(LogCopyPath(options), options, time), "LogApp_20261207101502.zpf");
    options.SetSendFlags(0);
    EXPECT_EQ(AttachmentName(LogCopyPath(options), options, time), "LogApp.zpf");

    EXPECT_EQ(ReadTextFile(Folder() + "missing.txt"), "");
    EXPECT_EQ(ReadTextFile(Folder()), "");
}

TEST(LogFileSteps, InstalledAndStoredObject)
{
    // The unit start installed the log's steps.
    EXPECT_TRUE(static_cast<bool>(ReportSteps().IsLoggedAlready));
    EXPECT_TRUE(static_cast<bool>(ReportSteps().PrepareLogSaving));
    EXPECT_TRUE(static_cast<bool>(ReportSteps().SaveLastHtmlPage));

    EXPECT_EQ(StoredExceptionObject(), nullptr);
    // Garbage is not handed out.
    SetStoredExceptionObject(reinterpret_cast<const TExceptionInfo*>(uintptr_t{0x10}));
    EXPECT_EQ(StoredExceptionObject(), nullptr);
    SetStoredExceptionObject(nullptr);
    EXPECT_EQ(StoredExceptionObject(), nullptr);
}
