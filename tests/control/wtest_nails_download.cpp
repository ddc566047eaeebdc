// Thumbnails of a recording on a web server: the list and its pictures are
// fetched into the control's own folder and fill the strip; failed downloads
// leave nothing behind; a silent server cannot hold up the downloader's end;
// a hostile list writes nothing outside the folder; a downloader that
// outlives its control writes nothing more and ends within a second.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

#include "NailsFixtures.h"
#include "TestServices.h"
#include "UnitBottom.h"
#include "UnitLog.h"

using namespace qov;
using namespace qov::test;

namespace {

struct NailsDownloadTest : ::testing::Test {
    TTestServices Services;
    std::string Url(int port, const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(port) + "/" + path;
    }
};

// Every file and folder under folder (ending in a backslash), as paths
// relative to it; folders end in a backslash.
void ListTree(const std::string& folder, const std::string& prefix, std::set<std::string>* out)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + prefix + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..")
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out->insert(prefix + name + "\\");
            ListTree(folder, prefix + name + "\\", out);
        } else {
            out->insert(prefix + name);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

// The control folders' common parent ("<temp>\QovPlayer\").
std::string ControlFoldersBase(const std::string& folder)
{
    const size_t cut = folder.find_last_of('\\', folder.size() - 2);
    return folder.substr(0, cut + 1);
}

// What ForceDirectories answered on a thread of its own: a thread that died
// (its stack overflowed) answers neither.
enum TForceAnswer : DWORD { faDied = 0, faFalse = 0x51, faTrue = 0x52 };

DWORD WINAPI ForceDirectoriesThread(void* path)
{
    return ForceDirectories(*static_cast<const std::string*>(path)) ? faTrue : faFalse;
}

// Runs ForceDirectories(path) on a thread with a small (256 KiB) stack.
DWORD ForceOnSmallStack(std::string path)
{
    HANDLE thread = CreateThread(nullptr, 256 * 1024, &ForceDirectoriesThread, &path,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread)
        return faDied;
    WaitForSingleObject(thread, INFINITE);
    DWORD code = faDied;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code == faFalse || code == faTrue ? code : static_cast<DWORD>(faDied);
}

// Waits until no downloader of an earlier test runs any more.
bool NoDownloaderRuns()
{
    return PumpUntil([] { return RunningDownloads() == 0; }, 3000);
}

} // namespace

TEST(NailsUrl, DirectoryIsTheLocatorUpToItsLastSlash)
{
    EXPECT_EQ(UrlDirectory("http://h/a/b/rec.qov"), "http://h/a/b/");
    EXPECT_EQ(UrlDirectory("ftp://h/rec.qov"), "ftp://h/");
    EXPECT_EQ(UrlDirectory("rec.qov"), "");
    const std::string a = MakeControlTempFolder();
    const std::string b = MakeControlTempFolder();
    EXPECT_NE(a, b);
    EXPECT_NE(a.find("\\QovPlayer\\"), std::string::npos);
    EXPECT_TRUE(FileExists(a + "nails"));
    WriteWholeFile(a + "nails\\sub\\x.jpg", "x");
    RemoveControlTempFolder(a);
    EXPECT_FALSE(FileExists(a));
    EXPECT_TRUE(FileExists(b));
    RemoveControlTempFolder(b);
}

TEST_F(NailsDownloadTest, ListAndPicturesFromTheServerFillTheStrip)
{
    QOV_NEED_SERVICES(Services);
    const std::string dir = std::to_string(GetCurrentProcessId()) + "-nails";
    const std::string served = Services.Root + "\\" + dir + "\\";
    // Pictures lie beside the list on a server; p3 is missing (404).
    WriteNailsRecording(served, 6, 1000, "", {3});
    const std::string folder = MakeControlTempFolder();
    // A picture of the same name from an earlier recording must not show.
    WriteWholeFile(folder + "nails\\p3.bmp", FileText(served + "p0.bmp"));

    TStripHost host(450, 200);
    TNailsFrame strip(host.Handle());
    strip.StartDownload(Url(Services.HttpPort, dir + "/"), folder);
    ASSERT_TRUE(PumpUntil([&] { return strip.Count() >= 5; }, 20000)) << strip.Count();
    PumpFor(300);
    ASSERT_EQ(strip.Count(), 5);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(strip.Nail(i)->Seconds(), i < 3 ? i : i + 1);
    EXPECT_EQ(strip.Downloader()->Downloaded(), 5);
    EXPECT_EQ(FileText(folder + "nails.xml"), FileText(served + "nails.xml"));
    EXPECT_FALSE(FileExists(folder + "nails\\p3.bmp"));
    EXPECT_FALSE(FileExists(folder + "nails\\p0.bmp.part"));
}

TEST_F(NailsDownloadTest, OnlyAWholeAnswerOf200Counts)
{
    QOV_NEED_SERVICES(Services);
    const std::string name = std::to_string(GetCurrentProcessId()) + "-one.bmp";
    ASSERT_TRUE(WriteWholeFile(Services.Root + "\\" + name, std::string(5000, 'x')));
    const std::string local = MakeControlTempFolder() + "one.bmp";
    HINTERNET session = InternetOpenA("test", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    ASSERT_NE(session, nullptr);

    EXPECT_TRUE(DownloadFile(session, Url(Services.HttpPort, name), local));
    EXPECT_EQ(FileText(local).size(), 5000u);
    // A failure removes the older file of the same name.
    EXPECT_FALSE(DownloadFile(session, Url(Services.HttpPort, "missing-" + name), local));
    EXPECT_FALSE(FileExists(local));
    EXPECT_FALSE(DownloadFile(session, Url(Services.FaultPort, "404/" + name), local));
    EXPECT_FALSE(DownloadFile(session, Url(Services.FaultPort, "drop/" + name), local));
    EXPECT_FALSE(FileExists(local));
    EXPECT_FALSE(FileExists(local + ".part"));
    ASSERT_TRUE(WriteWholeFile(Services.Root + "\\" + name, "<!DOCTYPE html><p>not found</p>"));
    EXPECT_FALSE(DownloadFile(session, Url(Services.HttpPort, name), local));
    InternetCloseHandle(session);
}

TEST_F(NailsDownloadTest, ATrickledAnswerFailsAtTheTimeLimit)
{
    QOV_NEED_SERVICES(Services);
    const std::string name = std::to_string(GetCurrentProcessId()) + "-slow.sms";
    ASSERT_TRUE(WriteWholeFile(Services.Root + "\\" + name, std::string(40000, 'x')));
    const std::string local = MakeControlTempFolder() + "slow.sms";
    HINTERNET session = InternetOpenA("test", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    ASSERT_NE(session, nullptr);
    // 4000 bytes a second: every read returns within its time-out, the whole
    // file would take ten seconds.
    const DWORD started = GetTickCount();
    EXPECT_FALSE(DownloadFile(session, Url(Services.FaultPort, "rate/4000/" + name), local, nullptr, nullptr, 0, 1500));
    const DWORD took = GetTickCount() - started;
    EXPECT_GE(took, 1500u);
    EXPECT_LT(took, 4000u);
    EXPECT_FALSE(FileExists(local));
    EXPECT_FALSE(FileExists(local + ".part"));
    InternetCloseHandle(session);
    DeleteFileA((Services.Root + "\\" + name).c_str());
}

TEST_F(NailsDownloadTest, EndingTheDownloaderDuringASilentAnswerReturnsAtOnce)
{
    QOV_NEED_SERVICES(Services);
    TStripHost host(300, 200);
    auto strip = std::make_unique<TNailsFrame>(host.Handle());
    strip->StartDownload(Url(Services.FaultPort, "silent/"), MakeControlTempFolder());
    PumpFor(500);
    const DWORD start = GetTickCount();
    strip.reset();
    EXPECT_LT(GetTickCount() - start, 1000u);
}

TEST(NailsFolders, ForceDirectoriesTakesManyLevelsInALoop)
{
    // Forty levels are made; 30,000 cannot be (the path is far too long)
    // and cost no stack frame each.
    const std::string folder = MakeControlTempFolder();
    std::string forty = folder;
    for (int i = 0; i < 40; ++i)
        forty += "d\\";
    EXPECT_TRUE(ForceDirectories(forty));
    EXPECT_TRUE(FileExists(forty));
    EXPECT_TRUE(ForceDirectories(forty));
    std::string deep = folder;
    for (int i = 0; i < 30000; ++i)
        deep += "a\\";
    EXPECT_EQ(ForceOnSmallStack(deep), static_cast<DWORD>(faFalse));
    RemoveControlTempFolder(folder);
    EXPECT_FALSE(FileExists(folder));
}

TEST(NailsFolders, FoldersOfProcessesThatEndedGoWhenAControlIsMade)
{
    const std::string mine = MakeControlTempFolder();
    const std::string base = ControlFoldersBase(mine);
    // A process that has ended: a child that exits at once.
    char command[] = "cmd.exe /c exit 0";
    STARTUPINFOA start{};
    start.cb = sizeof start;
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &start,
                               &child));
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hThread);
    // Its handle stays open until the folders have been looked at: the ended
    // process keeps its id, which another test's new process could otherwise
    // be given meanwhile.
    const std::string ended = base + std::to_string(child.dwProcessId) + "_7\\";
    const std::string running = base + std::to_string(GetCurrentProcessId()) + "_999999\\";
    const std::string other = base + "keep_" + std::to_string(child.dwProcessId) + "\\";
    ASSERT_TRUE(WriteWholeFile(ended + "nails\\sub\\p0.bmp", "x"));
    ASSERT_TRUE(WriteWholeFile(ended + "nails.xml", "0=sub\\p0.bmp"));
    ASSERT_TRUE(WriteWholeFile(running + "nails\\p0.bmp", "x"));
    ASSERT_TRUE(WriteWholeFile(other + "x", "x"));

    const std::string next = MakeControlTempFolder();
    CloseHandle(child.hProcess);
    EXPECT_FALSE(FileExists(ended));
    EXPECT_TRUE(FileExists(running + "nails\\p0.bmp"));
    EXPECT_TRUE(FileExists(other + "x"));
    EXPECT_TRUE(FileExists(mine + "nails"));
    RemoveControlTempFolder(running);
    RemoveControlTempFolder(mine);
    RemoveControlTempFolder(next);
    DeleteFileA((other + "x").c_str());
    RemoveDirectoryA(other.c_str());
}

TEST_F(NailsDownloadTest, HostileListValuesWriteNothingOutsideThePictureFolder)
{
    QOV_NEED_SERVICES(Services);
    const std::string dir = std::to_string(GetCurrentProcessId()) + "-hostile";
    const std::string served = Services.Root + "\\" + dir + "\\";
    WriteNailsRecording(served, 8, 1000, "");
    std::string deep;
    while (deep.size() < 16384)
        deep += "a\\";
    std::string many;
    for (int i = 0; i < 10000; ++i)
        many += "b/";
    std::string list = "0=p0.bmp\r\n";
    int ms = 1000;
    for (const std::string& bad :
         {deep + "p1.bmp", many + "p1.bmp", std::string(16384, 'x') + ".bmp", std::string("CON"), std::string("nul.bmp"),
          std::string("sub\\aux\\p1.bmp"), std::string("LPT1.bmp"), std::string("Com9 .bmp"), std::string("..\\..\\p1.bmp"),
          std::string("../p1.bmp"), std::string("C:\\p1.bmp"), std::string("\\\\127.0.0.1\\x\\p1.bmp"), std::string("p1.bmp:s"),
          std::string("p1.bmp."), std::string("p1\0.bmp", 7)}) {
        list += std::to_string(ms) + "=" + bad + "\r\n";
        ms += 1000;
    }
    list += std::to_string(ms) + "=p7.bmp\r\n";
    ASSERT_TRUE(WriteWholeFile(served + "nails.xml", list));

    const std::string folder = MakeControlTempFolder();
    const std::string base = ControlFoldersBase(folder);
    std::set<std::string> around;
    ListTree(base, "", &around);
    {
        TStripHost host(450, 200);
        TNailsFrame strip(host.Handle());
        strip.StartDownload(Url(Services.HttpPort, dir + "/"), folder);
        ASSERT_TRUE(PumpUntil([&] { return strip.Count() >= 2; }, 20000)) << strip.Count();
        ASSERT_TRUE(PumpUntil([&] { return strip.Downloader()->Finished(); }, 5000));
        PumpFor(300);
        EXPECT_EQ(strip.Count(), 2);
        EXPECT_EQ(strip.Downloader()->Downloaded(), 2);
        EXPECT_EQ(strip.Nail(1)->Seconds(), ms / 1000);
    }
    std::set<std::string> inside;
    ListTree(folder, "", &inside);
    EXPECT_EQ(inside, (std::set<std::string>{"nails.xml", "nails\\", "nails\\p0.bmp", "nails\\p7.bmp"}));
    // Beside the folder only what was there before (and its own files). Tests
    // in other processes make and remove control folders of their own
    // ("<process>_<n>\") meanwhile; no value of the list can name one.
    const std::string ownPrefix = std::to_string(GetCurrentProcessId()) + "_";
    const auto otherProcessFolder = [&](const std::string& name) {
        const size_t cut = name.find('_');
        return cut > 0 && cut != std::string::npos && name.rfind(ownPrefix, 0) != 0 &&
               name.find_first_not_of("0123456789") == cut;
    };
    std::set<std::string> after;
    ListTree(base, "", &after);
    for (const std::string& name : after)
        EXPECT_TRUE(around.count(name) || name.rfind(folder.substr(base.size()), 0) == 0 || otherProcessFolder(name))
            << name;
    RemoveControlTempFolder(folder);
}

TEST_F(NailsDownloadTest, ListsAndPicturesAreFetchedNoFurtherThanTheyAreRead)
{
    QOV_NEED_SERVICES(Services);
    const std::string name = std::to_string(GetCurrentProcessId()) + "-big.xml";
    ASSERT_TRUE(WriteWholeFile(Services.Root + "\\" + name, std::string(3u << 20, '1')));
    const std::string folder = MakeControlTempFolder();
    HINTERNET session = InternetOpenA("test", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    ASSERT_NE(session, nullptr);
    EXPECT_TRUE(DownloadFile(session, Url(Services.HttpPort, name), folder + "nails.xml", nullptr, nullptr,
                             kMaxNailsListBytes + 1));
    EXPECT_EQ(FileText(folder + "nails.xml").size(), kMaxNailsListBytes + 1);
    InternetCloseHandle(session);
    std::string text;
    bool cut = false;
    ASSERT_TRUE(ReadNailsListFile(folder + "nails.xml", &text, &cut));
    EXPECT_TRUE(cut);
    EXPECT_EQ(text.size(), kMaxNailsListBytes);
    RemoveControlTempFolder(folder);
    DeleteFileA((Services.Root + "\\" + name).c_str());
}

TEST_F(NailsDownloadTest, NoDownloaderRunsASecondAfterItsStripGoes)
{
    QOV_NEED_SERVICES(Services);
    // The list arrives; every picture stalls (the server holds them 30 s).
    const std::string dir = std::to_string(GetCurrentProcessId()) + "-stall";
    WriteNailsRecording(Services.Root + "\\" + dir + "\\", 3, 1000, "");
    const std::string folder = MakeControlTempFolder();
    ASSERT_TRUE(NoDownloaderRuns());
    TStripHost host(300, 200);
    auto strip = std::make_unique<TNailsFrame>(host.Handle());
    strip->StartDownload(Url(Services.FaultPort, "silentpics/" + dir + "/"), folder);
    ASSERT_TRUE(PumpUntil([&] { return FileExists(folder + "nails.xml"); }, 10000));
    PumpFor(300);
    EXPECT_EQ(RunningDownloads(), 1);
    const DWORD start = GetTickCount();
    strip.reset();
    EXPECT_LT(GetTickCount() - start, 1000u);
    PumpUntil([&] { return RunningDownloads() == 0 || GetTickCount() - start >= 1000; }, 1000);
    EXPECT_EQ(RunningDownloads(), 0) << "a downloader still runs " << GetTickCount() - start
                                     << " ms after its strip went";
    RemoveControlTempFolder(folder);
}

TEST_F(NailsDownloadTest, ALateDownloaderWritesNothingOnceItsFolderIsRemoved)
{
    QOV_NEED_SERVICES(Services);
    // Pictures trickle in at 200 bytes a second: the folder is removed (as
    // its control goes) while one of them is half written, its file open.
    const std::string dir = std::to_string(GetCurrentProcessId()) + "-late";
    const std::string served = Services.Root + "\\" + dir + "\\";
    WriteNailsRecording(served, 3, 1000, "");
    ASSERT_TRUE(WriteWholeFile(served + "nails.xml", "0=sub\\p0.bmp\r\n1000=p1.bmp\r\n2000=deeper\\p2.bmp\r\n"));
    ASSERT_TRUE(WriteWholeFile(served + "sub\\p0.bmp", FileText(served + "p0.bmp")));
    ASSERT_TRUE(WriteWholeFile(served + "deeper\\p2.bmp", FileText(served + "p2.bmp")));
    const std::string folder = MakeControlTempFolder();
    ASSERT_TRUE(NoDownloaderRuns());
    TStripHost host(300, 200);
    auto strip = std::make_unique<TNailsFrame>(host.Handle());
    strip->StartDownload(Url(Services.FaultPort, "rate/200/" + dir + "/"), folder);
    ASSERT_TRUE(PumpUntil([&] { return FileExists(folder + "nails\\sub\\p0.bmp.part"); }, 10000));
    PumpFor(200);
    RemoveControlTempFolder(folder);
    // Whatever the downloader still does, it makes nothing there.
    PumpUntil([&] { return RunningDownloads() == 0; }, 8000);
    EXPECT_FALSE(FileExists(folder + "nails\\sub\\p0.bmp"));
    EXPECT_FALSE(FileExists(folder + "nails\\p1.bmp.part"));
    EXPECT_FALSE(FileExists(folder + "nails\\deeper"));
    EXPECT_FALSE(FileExists(folder));
    EXPECT_EQ(strip->Downloader()->Downloaded(), 0);
    strip.reset();
}
