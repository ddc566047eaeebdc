// A multicast receiver thread.
#include "UnitReceive.h"

#include <ws2tcpip.h>
#include <mmsystem.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ScreenText.h"
#include "UnitLog.h"

namespace qov {

const char* const kReceiveErrorCaption = "UnitRecieve";

namespace {

// Group membership as Winsock 1.1 numbers it, set through the 1.1 library.
constexpr int kWinsock1AddMembership = 5;
// Receive buffer asked of the system for the socket.
constexpr int kReceiveBufferBytes = 4 << 20;
// Longest wait for a datagram before the loop looks again.
constexpr DWORD kReceiveTimeoutMs = 1000;

using TSetSockOpt = int(WINAPI*)(SOCKET, int, int, const char*, int);

int AddMembership(SOCKET s, const ip_mreq& request)
{
    static TSetSockOpt winsock1 = [] {
        HMODULE module = LoadLibraryA("wsock32.dll");
        FARPROC proc = module ? GetProcAddress(module, "setsockopt") : nullptr;
        TSetSockOpt fn = nullptr;
        static_assert(sizeof fn == sizeof proc, "procedure pointers");
        std::memcpy(&fn, &proc, sizeof fn);
        return fn;
    }();
    if (winsock1)
        return winsock1(s, IPPROTO_IP, kWinsock1AddMembership, reinterpret_cast<const char*>(&request),
                        sizeof request);
    return setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&request), sizeof request);
}

struct TErrorBox {
    std::string Text;
    HMODULE Module;
};

DWORD WINAPI ErrorBoxThread(void* param)
{
    std::unique_ptr<TErrorBox> box(static_cast<TErrorBox*>(param));
    HMODULE module = box->Module;
    try {
        ShowMessageBox(nullptr, box->Text, kReceiveErrorCaption, MB_ICONWARNING);
    } catch (...) {
    }
    box.reset();
    if (module)
        FreeLibraryAndExitThread(module, 0);
    return 0;
}

void ShowErrorBox(const std::string& text)
{
    auto* box = new TErrorBox{text, nullptr};
    // The box may outlive the receiver: it keeps this module loaded.
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&ErrorBoxThread),
                       &box->Module);
    HANDLE thread = CreateThread(nullptr, 0, &ErrorBoxThread, box, 0, nullptr);
    if (thread) {
        CloseHandle(thread);
    } else {
        if (box->Module)
            FreeLibrary(box->Module);
        delete box;
    }
}

bool QueueHasMessage()
{
    MSG msg;
    return PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE) != FALSE;
}

} // namespace

TReceiveThread::TReceiveThread()
{
    WSADATA data;
    FWinsock = WSAStartup(MAKEWORD(1, 1), &data) == 0;
    FEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    FNetEvent = WSACreateEvent();
    try {
        QOV_ASSERT(FWinsock);
        QOV_ASSERT(FEvent != nullptr && FNetEvent != WSA_INVALID_EVENT);
        StartThread();
    } catch (...) {
        // No destructor runs for a receiver that was never made.
        FreeResources();
        throw;
    }
    SetThreadPriority(Handle(), THREAD_PRIORITY_TIME_CRITICAL);
}

TReceiveThread::~TReceiveThread()
{
    EndThread();
    ClearQueue();
    FAssembler.DropAll();
    CloseSocket();
    FreeResources();
}

void TReceiveThread::FreeResources()
{
    if (FNetEvent != WSA_INVALID_EVENT)
        WSACloseEvent(FNetEvent);
    FNetEvent = WSA_INVALID_EVENT;
    if (FEvent)
        CloseHandle(FEvent);
    FEvent = nullptr;
    if (FWinsock)
        WSACleanup();
    FWinsock = false;
}

void TReceiveThread::SetGroup(const std::string& group)
{
    std::lock_guard<std::mutex> lock(FConfigLock);
    FGroup = group;
}

void TReceiveThread::SetPort(uint16_t port)
{
    std::lock_guard<std::mutex> lock(FConfigLock);
    FPort = port;
}

void TReceiveThread::SetInterface(const std::string& address)
{
    std::lock_guard<std::mutex> lock(FConfigLock);
    FInterface = address;
}

std::string TReceiveThread::Group() const
{
    std::lock_guard<std::mutex> lock(FConfigLock);
    return FGroup;
}

uint16_t TReceiveThread::Port() const
{
    std::lock_guard<std::mutex> lock(FConfigLock);
    return FPort;
}

std::string TReceiveThread::Interface() const
{
    std::lock_guard<std::mutex> lock(FConfigLock);
    return FInterface;
}

void TReceiveThread::Request(UINT msg)
{
    std::lock_guard<std::mutex> lock(FRequestLock);
    if (!Post(msg))
        return;  // the thread has ended
    const HANDLE handles[2] = {FEvent, Handle()};
    WaitForMultipleObjects(2, handles, FALSE, INFINITE);
}

void TReceiveThread::StartReceiving()
{
    Request(WM_CAST_START);
}

void TReceiveThread::StopReceiving()
{
    Request(WM_CAST_STOP);
}

bool TReceiveThread::PopBlock(TCastBlock* block)
{
    return FQueue.Pop(block);
}

void TReceiveThread::PushBlock(TCastBlock block)
{
    FQueue.Push(std::move(block));
    if (HANDLE event = FDataEvent.load())
        SetEvent(event);
}

void TReceiveThread::ClearQueue()
{
    FQueue.Clear();
}

size_t TReceiveThread::QueuedBlocks()
{
    return FQueue.Count();
}

void TReceiveThread::Execute()
{
    MSG msg;
    for (;;) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1)
            break;
        switch (msg.message) {
        case WM_CAST_START:
            if (!FReceiving.load()) {
                FReceiving.store(true);
                FFailed.store(false);
                Answer();
                ReceiveLoop();
            } else {
                Answer();
            }
            break;
        case WM_CAST_STOP:
            FAssembler.DropAll();
            FReceiving.store(false);
            FFailed.store(false);
            Answer();
            break;
        default:
            break;
        }
    }
}

void TReceiveThread::CloseSocket()
{
    if (FSocket != INVALID_SOCKET) {
        WSAEventSelect(FSocket, FNetEvent, 0);
        closesocket(FSocket);
        FSocket = INVALID_SOCKET;
    }
}

void TReceiveThread::JoinGroup()
{
    std::string group, address;
    uint16_t port;
    {
        std::lock_guard<std::mutex> lock(FConfigLock);
        group = FGroup;
        address = FInterface;
        port = FPort;
    }
    BOOL reuse = TRUE;
    if (setsockopt(FSocket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse) ==
        SOCKET_ERROR)
        throw Exception("重用失败");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = address.empty() ? htonl(INADDR_ANY) : inet_addr(address.c_str());
    if (bind(FSocket, reinterpret_cast<sockaddr*>(&local), sizeof local) == SOCKET_ERROR)
        throw Exception(Format("绑定失败 ：%d", WSAGetLastError()));
    ip_mreq request{};
    request.imr_multiaddr.s_addr = inet_addr(group.c_str());
    request.imr_interface.s_addr = address.empty() ? htonl(INADDR_ANY) : inet_addr(address.c_str());
    if (AddMembership(FSocket, request) == SOCKET_ERROR)
        throw Exception(Format("加入多播组失败：%d", WSAGetLastError()));
    DWORD timeout = kReceiveTimeoutMs;
    if (setsockopt(FSocket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout) ==
        SOCKET_ERROR)
        throw Exception(Format("设置超时时间失败:%d", WSAGetLastError()));
}

void TReceiveThread::ReportFailure(const std::string& text)
{
    Log().AddLine(std::string(kReceiveErrorCaption) + " -> " + text);
    ShowErrorBox(text);
}

void TReceiveThread::ReceiveLoop()
{
    try {
        CloseSocket();
        FSocket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        QOV_ASSERT(FSocket != INVALID_SOCKET);
        JoinGroup();
        // Room for a burst of datagrams (a key frame is a hundred of them)
        // while the thread is away; the system may grant less.
        int room = kReceiveBufferBytes;
        setsockopt(FSocket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&room), sizeof room);
        // The socket's arrivals and the thread's queue are waited on
        // together: a request never waits for a receive to time out.
        if (WSAEventSelect(FSocket, FNetEvent, FD_READ) == SOCKET_ERROR)
            throw Exception(Format("WSAEventSelect: %d", WSAGetLastError()));
        std::vector<uint8_t> packet(kCastMaxPacket);
        while (!QueueHasMessage()) {
            const int got = recv(FSocket, reinterpret_cast<char*>(packet.data()), int(packet.size()), 0);
            if (got == SOCKET_ERROR) {
                // Nothing there, or a failed receive (skipped): wait for the
                // next arrival, a message, or the receive time-out.
                HANDLE event = FNetEvent;
                if (MsgWaitForMultipleObjectsEx(1, &event, kReceiveTimeoutMs, QS_ALLPOSTMESSAGE,
                                                MWMO_INPUTAVAILABLE) == WAIT_OBJECT_0)
                    WSAResetEvent(FNetEvent);
                continue;
            }
            TCastBlock block;
            const auto result = FAssembler.AddPacket(packet.data(), size_t(got), timeGetTime(), &block);
            for (uint32_t n = FAssembler.TakeDropped(); n > 0; --n) {
                FDroppedBlocks.fetch_add(1);
                MessageBeep(0);
            }
            if (result == TBlockAssembler::arMalformed)
                FMalformedBlocks.fetch_add(1);
            if (result == TBlockAssembler::arComplete)
                PushBlock(std::move(block));
        }
    } catch (const std::exception& e) {
        // The receiver stays marked as receiving: it delivers nothing more
        // until it is stopped and started again.
        FFailed.store(true);
        ReportFailure(e.what());
    }
    CloseSocket();
}

} // namespace qov
