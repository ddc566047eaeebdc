// bench_source: the file source on a long recording, read from the local disk
// and over HTTP from the test web server on loopback.
//
//   bench_source [--file PATH] [--seeks N] [--opens N]
//
// Makes (once) a synthetic 3-hour recording of 1920 x 1080 with a key frame
// every 30 s (about 500 MB), in the test web server's folder when the
// services run (scripts/services.sh start), else in build/bench. Then, for
// the local file and for its URL:
//   - open: time from Open to WM_ENGINE_OPENED;
//   - seek: time from Seek to WM_ENGINE_SHOW (the key frame's records up to
//     the target are buffered), for the same spread of targets;
//   - HTTP requests and bytes on the wire per MiB of frame data read
//     (counted from the web server's access log);
//   - the frame store when full: its bytes and the process's private bytes.
// Goals: open < 100 ms locally, every seek < 150 ms over loopback HTTP.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "ConsoleText.h"
#include "FrameStore.h"
#include "QovFormat.h"
#include "SyntheticRecording.h"
#include "UnitQovCore.h"
#include "BenchArch.h"

using namespace qov;
using namespace qov::bench;

namespace {

// The play thread's stand-in: records what is posted to it.
class TBenchPlayer : public TThread {
public:
    TBenchPlayer()
    {
        StartThread();
        Post(WM_NULL);
    }
    ~TBenchPlayer() override { EndThread(); }
    TArrivals Messages;

protected:
    void Execute() override
    {
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0)
            if (msg.message != WM_NULL)
                Messages.Add(msg.message, msg.wParam);
    }
};

struct TServices {
    int HttpPort = 0;
    std::string Root;     // Windows path of the served folder
    std::string LogFile;  // Windows path of nginx's access log
};

bool FindServices(TServices* s)
{
    if (!FindWebServer(&s->HttpPort, &s->Root))
        return false;
    // build/services/www -> build/services/logs/access.log
    std::string dir = s->Root.substr(0, s->Root.find_last_of('\\'));
    s->LogFile = dir + "\\logs\\access.log";
    return true;
}

// Requests, bytes sent and body bytes in the access log after a position.
struct TWire {
    uint64_t Requests = 0;
    uint64_t BytesSent = 0;
    uint64_t BodyBytes = 0;
    uint64_t RequestBytes = 0;
};

TWire WireSince(const std::string& log, uint64_t mark, const std::string& name)
{
    TWire w;
    std::ifstream file(log, std::ios::binary);
    file.seekg(std::streamoff(mark));
    std::string line;
    while (std::getline(file, line)) {
        if (line.find(name) == std::string::npos)
            continue;
        unsigned status;
        unsigned long long sent, body, request;
        if (std::sscanf(line.c_str(), "%u %llu %llu %llu", &status, &sent, &body, &request) == 4) {
            ++w.Requests;
            w.BytesSent += sent;
            w.BodyBytes += body;
            w.RequestBytes += request;
        }
    }
    return w;
}

uint64_t PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX pmc{};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof pmc);
    return pmc.PagefileUsage;  // committed private memory (Wine fills this one)
}

struct TFigures {
    double OpenMedian = 0, OpenMax = 0;
    double SeekMean = 0, SeekMax = 0, SeekOver = 0;
    double FillMs = 0;
    uint64_t StoreBytes = 0, StorePrivate = 0, StoreRecords = 0;
    uint64_t DataBytes = 0;  // frame bytes read while seeking and filling
    TWire Wire;
    bool Ok = false;
};

TFigures Measure(const std::string& locator, bool http, const TServices& services, const std::string& name,
                 const std::vector<uint32_t>& targets, int opens)
{
    TFigures f;
    TBenchWindow window;
    TBenchPlayer player;
    TFramesBuffer frames;
    TKeyFramesBuffer keys;
    TIndexTable index;
    PlaybackContext ctx;
    ctx.Frames = &frames;
    ctx.KeyFrames = &keys;
    ctx.Index = &index;
    ctx.Player = &player;
    ctx.Window = window.Handle();

    // Opens, each on a fresh source as the control makes one per open.
    std::vector<double> openTimes;
    size_t cursor = 0;
    for (int i = 0; i < opens; ++i) {
        TFileThread source(&ctx);
        cursor = window.Messages.Size();
        const double start = NowMs();
        source.Open(locator);
        double when = 0;
        WPARAM w = 0;
        if (!window.Messages.Wait(WM_ENGINE_OPENED, cursor, when, w, 20000)) {
            std::printf("  open of %s did not finish\n", locator.c_str());
            return f;
        }
        openTimes.push_back(when - start);
        source.Stop();
    }
    std::sort(openTimes.begin(), openTimes.end());
    f.OpenMedian = openTimes[openTimes.size() / 2];
    f.OpenMax = openTimes.back();

    TFileThread source(&ctx);
    cursor = window.Messages.Size();
    source.Open(locator);
    double when = 0;
    WPARAM w = 0;
    if (!window.Messages.Wait(WM_ENGINE_OPENED, cursor, when, w, 20000))
        return f;

    const uint64_t logMark = http ? FileSize(services.LogFile) : 0;
    // Filling the store from the start.
    const uint64_t before = PrivateBytes();
    double start = NowMs();
    source.Read(-1);
    while (!frames.IsFull() && NowMs() - start < 30000)
        Sleep(1);
    f.FillMs = NowMs() - start;
    Sleep(50);
    f.StoreBytes = uint64_t(frames.Bytes());
    f.StorePrivate = PrivateBytes() - before;
    f.StoreRecords = uint64_t(frames.Count());
    f.DataBytes += f.StoreBytes;

    // Seeks: each one clears the store, reads from the key frame before the
    // target and posts SHOW once the target's record is buffered.
    double total = 0;
    size_t showCursor = player.Messages.Size();
    for (uint32_t target : targets) {
        start = NowMs();
        source.Seek(int32_t(target));
        if (!player.Messages.Wait(WM_ENGINE_SHOW, showCursor, when, w, 20000)) {
            std::printf("  seek to %u ms: no SHOW\n", target);
            return f;
        }
        const double ms = when - start;
        total += ms;
        f.SeekMax = std::max(f.SeekMax, ms);
        if (ms >= 150)
            f.SeekOver += 1;
        // Let the store fill before the next seek, as a player would play on.
        const double fillStart = NowMs();
        while (!frames.IsFull() && NowMs() - fillStart < 30000)
            Sleep(1);
        f.DataBytes += uint64_t(frames.Bytes());
    }
    f.SeekMean = total / double(targets.size());
    source.Stop();
    if (http)
        f.Wire = WireSince(services.LogFile, logMark, name);
    f.Ok = true;
    return f;
}

void Row(const char* what, double local, double http, const char* unit)
{
    char ratio[32] = "-";
    if (http > 0 && local >= 0)
        std::snprintf(ratio, sizeof ratio, "%.2f", local / http);
    std::printf("  %-38s %12.2f %12.2f %10s  %s\n", what, local, http, ratio, unit);
}

} // namespace

int main(int argc, char** argv)
{
    qov::bench::PrintArchitecture("bench_source");
    try {
        std::string file;
        int seeks = 20;
        int opens = 7;
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            if (a == "--file" && i + 1 < argc)
                file = argv[++i];
            else if (a == "--seeks" && i + 1 < argc)
                seeks = std::max(1, std::atoi(argv[++i]));
            else if (a == "--opens" && i + 1 < argc)
                opens = std::max(1, std::atoi(argv[++i]));
        }
        TServices services;
        const bool haveHttp = FindServices(&services);
        const std::string name = "bench-3h-1080p.qov";
        if (file.empty()) {
            if (haveHttp) {
                file = services.Root + "\\" + name;
            } else {
                file = BenchFolder() + "\\" + name;
            }
        }

        const writer::TSyntheticOptions options = ThreeHourOptions();
        EnsureThreeHourRecording(file);
        std::printf("recording %s: %.1f MB\n", file.c_str(), double(FileSize(file)) / 1e6);

        // Targets spread over the recording, between key frames.
        std::vector<uint32_t> targets;
        uint32_t seed = 7;
        for (int i = 0; i < seeks; ++i) {
            seed = seed * 1103515245u + 12345u;
            targets.push_back((seed >> 8) % (options.DurationMs - 1000));
        }

        std::printf("local ...\n");
        const TFigures local = Measure(file, false, services, name, targets, opens);
        TFigures http;
        if (haveHttp) {
            std::printf("http ...\n");
            http = Measure("http://127.0.0.1:" + std::to_string(services.HttpPort) + "/" + name, true, services,
                           name, targets, opens);
        } else {
            std::printf("http: the test web server is not running (scripts/services.sh start)\n");
        }
        if (!local.Ok)
            return 1;

        std::printf("\n  %-38s %12s %12s %10s\n", "figure", "local", "http", "local/http");
        Row("open -> opened, median", local.OpenMedian, http.OpenMedian, "ms (goal local < 100)");
        Row("open -> opened, max", local.OpenMax, http.OpenMax, "ms");
        Row("seek -> key frame buffered, mean", local.SeekMean, http.SeekMean, "ms");
        Row("seek -> key frame buffered, max", local.SeekMax, http.SeekMax, "ms (goal http < 150)");
        Row("seeks at or over 150 ms", local.SeekOver, http.SeekOver, "seeks");
        Row("filling the store from the start", local.FillMs, http.FillMs, "ms");
        Row("frame store when full", double(local.StoreBytes) / 1048576.0, double(http.StoreBytes) / 1048576.0,
            "MiB of records");
        Row("records in the full store", double(local.StoreRecords), double(http.StoreRecords), "records");
        Row("committed memory grown while filling", double(local.StorePrivate) / 1048576.0,
            double(http.StorePrivate) / 1048576.0, "MiB");
        if (http.Ok && http.Wire.BodyBytes > 0) {
            const double mib = double(http.Wire.BodyBytes) / 1048576.0;
            std::printf("  %-38s %12s %12.1f %10s  %s\n", "HTTP requests per MiB read", "-",
                        double(http.Wire.Requests) / mib, "-", "requests");
            Row("bytes moved per MiB read", 1048576.0, (double(http.Wire.BytesSent) + double(http.Wire.RequestBytes)) / mib,
                "bytes (local: the data itself)");
            std::printf("  %-38s %12s %12llu %10s  (%.1f MiB of body)\n", "HTTP requests in all", "-",
                        (unsigned long long)http.Wire.Requests, "-", mib);
        }
        const bool openOk = local.OpenMax < 100;
        const bool seekOk = !http.Ok || http.SeekMax < 150;
        std::printf("\ngoals: local open < 100 ms: %s; every HTTP seek < 150 ms: %s\n", openOk ? "met" : "MISSED",
                    http.Ok ? (seekOk ? "met" : "MISSED") : "not measured");
        return 0;
    } catch (const std::exception& e) {
        std::printf("bench_source: %s\n", qov::tools::Utf8FromGbk(e.what()).c_str());
        return 2;
    }
}
