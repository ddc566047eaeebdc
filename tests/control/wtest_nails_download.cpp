// Thumbnails of a recording on a web server: the list and its pictures are
// fetched into the control's own folder and fill the strip; failed downloads
// leave nothing behind; a silent server cannot hold up the downloader's end.
#include <gtest/gtest.h>

#include <memory>

#include "NailsFixtures.h"
#include "TestServices.h"
#include "UnitBottom.h"

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
