// What the benchmarks share (Windows): a precise clock, files and folders of
// the build, the 3-hour recording they measure, and a stand-in for the
// control window that notes when each engine message arrives.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SyntheticRecording.h"

namespace qov::bench {

// Milliseconds on the performance counter.
double NowMs();

// The process's open kernel handles (probed by handle value where the count
// is not given), its threads and its committed private bytes.
DWORD HandleCount();
DWORD ThreadCount();
SIZE_T PrivateBytes();

// Size of a file (0 when it does not exist).
uint64_t FileSize(const std::string& path);
// The folder of this program, with a trailing separator.
std::string ProgramDir();
// build/bench (made when missing), where recordings for the benchmarks go.
std::string BenchFolder();

// The test web server (scripts/services.sh): its port and served folder as a
// Windows path, from QOV_HTTP_PORT and QOV_HTTP_ROOT or else the services'
// ports.txt beside the build; false when it is not running.
bool FindWebServer(int* port, std::string* root);

// A synthetic 3-hour recording of 1920 x 1080 with a key frame every 30 s
// (about 500 MB).
writer::TSyntheticOptions ThreeHourOptions();
// Writes the 3-hour recording to file (through file.part, renamed when
// complete) unless a file of at least 100 MB is there already.
void EnsureThreeHourRecording(const std::string& file);

// Arrival times of messages, waited on by number.
class TArrivals {
public:
    struct TArrival {
        UINT Msg;
        WPARAM WParam;
        double When;
    };

    void Add(UINT msg, WPARAM wParam);
    size_t Size();
    // The messages msg from index from on.
    std::vector<TArrival> Since(size_t from, UINT msg);
    // Waits for the first message msg at index from or after and moves from
    // past it; its time and wParam.
    bool Wait(UINT msg, size_t& from, double& when, WPARAM& wParam, DWORD timeoutMs);
    // Waits until n messages msg have arrived since index from.
    bool WaitCount(size_t from, UINT msg, size_t n, DWORD timeoutMs);
    // Waits until no message msg has come for quietMs (at least one came
    // since from); the time of the last one, or -1.
    double LastOfBurst(size_t from, UINT msg, double quietMs, DWORD timeoutMs);

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<TArrival> FList;
};

// The control window's stand-in: a message-only window on its own thread
// that notes every message from WM_USER up.
class TBenchWindow {
public:
    TBenchWindow();
    ~TBenchWindow();
    TBenchWindow(const TBenchWindow&) = delete;
    TBenchWindow& operator=(const TBenchWindow&) = delete;

    HWND Handle() const { return FWindow; }
    TArrivals Messages;

private:
    static LRESULT CALLBACK Proc(HWND w, UINT msg, WPARAM wParam, LPARAM lParam);
    HWND FWindow = nullptr;
    std::thread FThread;
};

} // namespace qov::bench
