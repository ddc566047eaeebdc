// Test harness for the live and multicast sources under Wine: starting the
// Python peers (tests/peers/) as Unix processes, a window that records the
// engine's window messages, and a playback context with its buffers.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "FrameStore.h"
#include "QovFormat.h"
#include "TestWindow.h"
#include "UnitQovCore.h"
#include "UnitQovClient.h"
#include "UnitShare.h"
#include "WinePaths.h"

namespace qov::test {

// tests/peers as a Unix path.
inline std::string PeersFolder()
{
    return RepoFolder() + "/tests/peers";
}

// ---------------------------------------------------------------------------
// A peer: a Python program started as a Unix process. It writes its ports to
// a file and ends when the control connection that this object holds closes.

class TPeer {
public:
    TPeer() = default;
    TPeer(const TPeer&) = delete;
    TPeer& operator=(const TPeer&) = delete;
    ~TPeer() { Quit(); }

    // script: file name in tests/peers; args: its arguments (Unix paths).
    // Returns false (with a reason) when the peer did not come up.
    bool Start(const std::string& script, const std::string& args, std::string* why,
               const std::string& runner = std::string())
    {
        static std::atomic<int> serial{0};
        char name[64];
        std::snprintf(name, sizeof name, "peer-%lu-%d.port", GetCurrentProcessId(), serial++);
        FPortFile = name;
        DeleteFileA(FPortFile.c_str());
        const std::string python = FileExists("Z:\\usr\\bin\\python3") ? "Z:\\usr\\bin\\python3" : "Z:\\bin\\python3";
        std::string cmd = runner.empty() ? python : runner;
        cmd += " " + PeersFolder() + "/" + script + " --port-file " + UnixPath(FPortFile) + " " + args;
        if (!StartCommand(cmd)) {
            *why = "cannot start " + cmd;
            return false;
        }
        for (int i = 0; i < 200 && !FileExists(FPortFile); ++i)
            Sleep(50);
        const std::string written = ReadWholeFile(FPortFile);
        std::istringstream ports(written);
        int control = 0;
        ports >> FServicePort >> control;
        if (FServicePort == 0 || control == 0) {
            *why = "peer did not write its ports: " + cmd + (written.empty() ? "" : " (" + written + ")");
            return false;
        }
        FControl = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = inet_addr("127.0.0.1");
        addr.sin_port = htons(static_cast<u_short>(control));
        if (connect(FControl, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            *why = "cannot reach the peer's control port";
            return false;
        }
        return true;
    }

    // Sends a command line to the peer and reads one answer line.
    std::string Ask(const std::string& command)
    {
        const std::string line = command + "\n";
        send(FControl, line.data(), int(line.size()), 0);
        std::string answer;
        char c;
        while (recv(FControl, &c, 1, 0) == 1 && c != '\n')
            answer += c;
        return answer;
    }

    void Quit()
    {
        if (FControl != INVALID_SOCKET) {
            send(FControl, "quit\n", 5, 0);
            closesocket(FControl);
            FControl = INVALID_SOCKET;
        }
        if (!FPortFile.empty())
            DeleteFileA(FPortFile.c_str());
    }

    int ServicePort() const { return FServicePort; }

private:
    std::string FPortFile;
    int FServicePort = 0;
    SOCKET FControl = INVALID_SOCKET;
};

// Winsock for the test program's own sockets.
struct TWinsock {
    TWinsock()
    {
        WSADATA d;
        WSAStartup(MAKEWORD(2, 2), &d);
    }
    ~TWinsock() { WSACleanup(); }
};

// ---------------------------------------------------------------------------
// A window (message-only) that records the engine's window messages.

struct TWindowMessage {
    UINT Message;
    WPARAM WParam;
    LPARAM LParam;
    DWORD Time;
};

class TMessageWindow {
public:
    TMessageWindow()
    {
        static const char* const kClass = "QovTestEngineWindow";
        WNDCLASSA wc{};
        wc.lpfnWndProc = &TMessageWindow::Proc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kClass;
        RegisterClassA(&wc);
        FWindow = CreateWindowA(kClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
        SetWindowLongPtrA(FWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~TMessageWindow() { DestroyWindow(FWindow); }

    HWND Handle() const { return FWindow; }

    // Pumps this thread's messages until pred holds or ms pass; returns pred().
    bool PumpUntil(const std::function<bool()>& pred, DWORD ms) { return qov::test::PumpUntil(pred, ms); }
    void Pump(DWORD ms) { qov::test::PumpFor(ms); }

    std::vector<TWindowMessage> Messages(UINT message) const
    {
        std::vector<TWindowMessage> out;
        for (const auto& m : FMessages)
            if (m.Message == message)
                out.push_back(m);
        return out;
    }
    size_t Count(UINT message) const { return Messages(message).size(); }
    void Clear() { FMessages.clear(); }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
    {
        try {
            auto* self = reinterpret_cast<TMessageWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
            if (self && msg >= WM_USER && msg < WM_USER + 100) {
                self->FMessages.push_back({msg, wp, lp, GetTickCount()});
                return 0;
            }
        } catch (...) {
        }
        return DefWindowProcA(hwnd, msg, wp, lp);
    }

    HWND FWindow = nullptr;
    std::vector<TWindowMessage> FMessages;
};

// ---------------------------------------------------------------------------
// A playback context with its three buffers.

struct TContextHolder {
    TFramesBuffer Frames;
    TKeyFramesBuffer KeyFrames;
    TIndexTable Index;
    PlaybackContext Context;

    explicit TContextHolder(HWND window)
    {
        Context.Frames = &Frames;
        Context.KeyFrames = &KeyFrames;
        Context.Index = &Index;
        Context.Window = window;
    }
    ~TContextHolder()
    {
        Frames.Clear();
        KeyFrames.Clear();
        Index.Clear();
    }

    // Copy of record i (header and payload).
    std::vector<uint8_t> Record(int32_t i)
    {
        Frames.LockList();
        std::vector<uint8_t> out;
        if (const uint8_t* r = Frames.Record(i))
            out.assign(r, r + kFrameHeaderSize + RecordHeader(r).Length);
        Frames.UnlockList();
        return out;
    }
};

// The frame decoder's reference for the test program's lifetime.
struct TDecoderReference {
    TDecoderReference() { InitDecoder(); }
    ~TDecoderReference() { UninitDecoder(); }
};

// A frame record as bytes, with the 8 reserved header bytes cleared (a peer
// may stamp its send time there).
inline std::vector<uint8_t> WithoutReserved(std::vector<uint8_t> record)
{
    if (record.size() >= kFrameHeaderSize)
        std::fill(record.begin() + 20, record.begin() + 28, 0);
    return record;
}

// The client as the control's subclass uses it: samples go to the frame
// store, the header and errors to the window; every notification is noted.
class TTestClient : public TQovClient {
public:
    using TQovClient::TQovClient;
    ~TTestClient() override
    {
        Stop();
        EndThread();
    }

    std::vector<int> Errors()
    {
        std::lock_guard<std::mutex> l(FLock);
        return FErrors;
    }
    std::vector<std::pair<int, int>> Headers()
    {
        std::lock_guard<std::mutex> l(FLock);
        return FHeaders;
    }
    std::vector<std::string> Texts()
    {
        std::lock_guard<std::mutex> l(FLock);
        return FTexts;
    }
    // Sample count when the header came (-1: no header yet).
    int SamplesBeforeHeader()
    {
        std::lock_guard<std::mutex> l(FLock);
        return FSamplesBeforeHeader;
    }
    int Samples()
    {
        std::lock_guard<std::mutex> l(FLock);
        return FSamples;
    }
    // Called on the client's thread for every frame, before it is stored.
    std::function<void(const uint8_t* record)> OnSample;

protected:
    void DoStreamHeader(int width, int height) override
    {
        TQovClient::DoStreamHeader(width, height);
        {
            std::lock_guard<std::mutex> l(FLock);
            FHeaders.emplace_back(width, height);
            if (FSamplesBeforeHeader < 0)
                FSamplesBeforeHeader = FSamples;
        }
        FContext->Header.Width = uint16_t(width);
        FContext->Header.Height = uint16_t(height);
        PostMessageA(FContext->Window, WM_ENGINE_OPENED, 0, 0);
    }
    void DoError(int code) override
    {
        {
            std::lock_guard<std::mutex> l(FLock);
            FErrors.push_back(code);
        }
        PostMessageA(FContext->Window, WM_ENGINE_STATUS, WPARAM(code), 0);
    }
    void DoSample(const uint8_t* record) override
    {
        TQovClient::DoSample(record);
        if (OnSample)
            OnSample(record);
        const uint32_t length = kFrameHeaderSize + RecordHeader(record).Length;
        TFrameRecordPtr copy(static_cast<uint8_t*>(std::malloc(length)));
        std::memcpy(copy.get(), record, length);
        FContext->Frames->AddFrame(std::move(copy));
        std::lock_guard<std::mutex> l(FLock);
        ++FSamples;
    }
    void DoIndex(const std::string& text) override { Note("index:" + text); }
    void DoScript(const std::string& text) override { Note("script:" + text); }
    void DoString(const std::string& text) override { Note("string:" + text); }

private:
    void Note(const std::string& s)
    {
        std::lock_guard<std::mutex> l(FLock);
        FTexts.push_back(s);
    }

    std::mutex FLock;
    std::vector<int> FErrors;
    std::vector<std::pair<int, int>> FHeaders;
    std::vector<std::string> FTexts;
    int FSamples = 0;
    int FSamplesBeforeHeader = -1;
};

} // namespace qov::test
