// The live broadcast client.
#include "UnitQovClient.h"

#include <wininet.h>
#include <mmsystem.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "UnitShare.h"

namespace qov {

namespace {

// A wait of the client's thread ended by a stop or quit in its queue.
class ELiveAborted : public Exception { using Exception::Exception; };

// Key copy size at creation.
constexpr uint32_t kKeyCopyInitial = 512000;
// While other messages wait in the queue during the dialogue, the socket is
// looked at this often (the messages are served after the open).
constexpr DWORD kDialoguePollMs = 20;

bool StopOrQuitWaiting()
{
    MSG msg;
    return PeekMessageA(&msg, nullptr, WM_ENGINE_STOP, WM_ENGINE_STOP, PM_NOREMOVE) ||
           PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE);
}

void RemoveQueuedReads()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, WM_ENGINE_READ, WM_ENGINE_READ, PM_REMOVE)) {
    }
}

bool AnyMessageWaiting()
{
    MSG msg;
    return PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE) != FALSE;
}

// The name lookup runs on a helper thread, which a stop may leave behind: it
// shares this record with the client and frees it when it is the last owner.
// It keeps the module loaded while it runs.
struct TLookup {
    LONG Refs = 2;
    std::string Host;
    std::string IP;
    bool Found = false;

    void Release()
    {
        if (InterlockedDecrement(&Refs) == 0)
            delete this;
    }
};

DWORD WINAPI LookupThread(void* param)
{
    auto* lookup = static_cast<TLookup*>(param);
    try {
        hostent* entry = gethostbyname(lookup->Host.c_str());
        if (entry && entry->h_addrtype == AF_INET && entry->h_addr_list && entry->h_addr_list[0]) {
            in_addr addr;
            std::memcpy(&addr, entry->h_addr_list[0], sizeof addr);
            lookup->IP = inet_ntoa(addr);
            lookup->Found = true;
        }
    } catch (...) {
        lookup->Found = false;
    }
    lookup->Release();
    return 0;
}

HMODULE PinOwnModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCSTR>(&LookupThread), &module);
    return module;
}

struct TPinnedLookup {
    TLookup* Lookup;
    HMODULE Module;
};

DWORD WINAPI PinnedLookupThread(void* param)
{
    auto* pinned = static_cast<TPinnedLookup*>(param);
    TLookup* lookup = pinned->Lookup;
    HMODULE module = pinned->Module;
    delete pinned;
    LookupThread(lookup);
    if (module)
        FreeLibraryAndExitThread(module, 0);
    return 0;
}

std::string ComputerName()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size))
        return std::string();
    return std::string(name, size);
}

} // namespace

// ===========================================================================

void GetKeyFrameSize(const uint8_t* record, int* width, int* height)
{
    FrameHeader header;
    std::memcpy(&header, record, sizeof header);
    TOutputLock lock;
    void* image = nullptr;
    const int size = DecodePayloadEx(record + kFrameHeaderSize, header.Length, header.Compression, &image, 0);
    if (size < 26 || image == nullptr)
        throw Exception(Format("Key frame cannot be decoded (%d)", size));
    const auto* bytes = static_cast<const uint8_t*>(image);
    int32_t w, h;
    std::memcpy(&w, bytes + 18, sizeof w);
    std::memcpy(&h, bytes + 22, sizeof h);
    if (h == INT32_MIN)
        throw ERangeError("Range check error");
    h = h < 0 ? -h : h;
    if (w < 0 || w >= 65536 || h >= 65536)
        throw ERangeError("Range check error");
    *width = w;
    *height = h;
}

// ===========================================================================
// TQovClient

TQovClient::TQovClient(PlaybackContext* context) : TReadThread(context)
{
    InitializeCriticalSection(&FKeyLock);
    WSADATA data;
    FWinsock = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    FNetEvent = WSACreateEvent();
    FKeyCopy = static_cast<uint8_t*>(std::malloc(kKeyCopyInitial));
    FKeyCapacity = FKeyCopy ? kKeyCopyInitial : 0;
}

TQovClient::~TQovClient()
{
    Stop();
    // The handlers use the socket and the key copy: the thread ends first.
    EndThread();
    CloseSocket();
    if (FNetEvent)
        WSACloseEvent(FNetEvent);
    if (FWinsock)
        WSACleanup();
    std::free(FKeyCopy);
    DeleteCriticalSection(&FKeyLock);
}

void TQovClient::Stop()
{
    TReadThread::Stop();
}

std::string TQovClient::Title() const
{
    std::lock_guard<std::mutex> lock(FInfoLock);
    return FInfo.Title;
}

std::string TQovClient::Author() const
{
    std::lock_guard<std::mutex> lock(FInfoLock);
    return FInfo.Author;
}

std::string TQovClient::Copyright() const
{
    std::lock_guard<std::mutex> lock(FInfoLock);
    return FInfo.Copyright;
}

std::string TQovClient::Description() const
{
    std::lock_guard<std::mutex> lock(FInfoLock);
    return FInfo.Description;
}

std::string TQovClient::ReplyText() const
{
    std::lock_guard<std::mutex> lock(FInfoLock);
    return FReplyText;
}

std::string TQovClient::Host() const
{
    std::lock_guard<std::mutex> lock(FInfoLock);
    return FHost;
}

std::string TQovClient::Channel() const
{
    std::lock_guard<std::mutex> lock(FInfoLock);
    return FChannel;
}

std::string TQovClient::IP() const
{
    std::lock_guard<std::mutex> lock(FInfoLock);
    return FIP;
}

uint16_t TQovClient::Port() const
{
    std::lock_guard<std::mutex> lock(FInfoLock);
    return FPort;
}

bool TQovClient::CopyKeyFrame(std::vector<uint8_t>* out) const
{
    EnterCriticalSection(&FKeyLock);
    const bool have = FKeyLength > 0;
    if (have)
        out->assign(FKeyCopy, FKeyCopy + FKeyLength);
    else
        out->clear();
    LeaveCriticalSection(&FKeyLock);
    return have;
}

bool TQovClient::LastFrameIsKey() const
{
    EnterCriticalSection(&FKeyLock);
    const bool key = FLastFrameIsKey;
    LeaveCriticalSection(&FKeyLock);
    return key;
}

// ---------------------------------------------------------------------------
// Waiting

void TQovClient::ResetNetworkEvent()
{
    if (FSocket != INVALID_SOCKET) {
        WSANETWORKEVENTS events;
        WSAEnumNetworkEvents(FSocket, FNetEvent, &events);
    } else {
        WSAResetEvent(FNetEvent);
    }
}

TQovClient::TWaitKind TQovClient::WaitDuringDialogue(HANDLE handle, DWORD ms)
{
    const DWORD start = timeGetTime();
    for (;;) {
        RemoveQueuedReads();
        QueuedReadsTaken();
        if (StopOrQuitWaiting())
            throw ELiveAborted("Stopped");
        DWORD left = INFINITE;
        if (ms != INFINITE) {
            const DWORD spent = timeGetTime() - start;
            if (spent >= ms)
                return wkTimeout;
            left = ms - spent;
        }
        DWORD r;
        if (AnyMessageWaiting()) {
            // Messages for later: only the handle and a new stop matter now.
            r = WaitForSingleObject(handle, std::min<DWORD>(left, kDialoguePollMs));
            if (r == WAIT_OBJECT_0)
                return wkSocket;
        } else {
            r = MsgWaitForMultipleObjectsEx(1, &handle, left, QS_ALLPOSTMESSAGE, MWMO_INPUTAVAILABLE);
            if (r == WAIT_OBJECT_0)
                return wkSocket;
        }
        if (r == WAIT_FAILED)
            throw Exception(Format("Wait failed: %lu", static_cast<unsigned long>(GetLastError())));
    }
}

bool TQovClient::WaitReadable()
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(FSocket, &set);
    timeval zero{0, 0};
    const int r = select(0, &set, nullptr, nullptr, &zero);
    if (r == SOCKET_ERROR)
        throw Exception(Format("select 发生网络故障,错误代码为:%d", WSAGetLastError()));
    return r > 0;
}

bool TQovClient::WaitWritable()
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(FSocket, &set);
    timeval zero{0, 0};
    const int r = select(0, nullptr, &set, nullptr, &zero);
    if (r == SOCKET_ERROR)
        throw Exception(Format("select 发生网络故障,错误代码为:%d", WSAGetLastError()));
    return r > 0;
}

// ---------------------------------------------------------------------------
// Protocol steps

void TQovClient::CloseSocket()
{
    if (FSocket != INVALID_SOCKET) {
        WSAEventSelect(FSocket, FNetEvent, 0);
        closesocket(FSocket);
        FSocket = INVALID_SOCKET;
    }
    if (FNetEvent)
        WSAResetEvent(FNetEvent);
}

void TQovClient::ReadExact(void* buffer, uint32_t n)
{
    auto* p = static_cast<char*>(buffer);
    uint32_t count = 0;
    while (count < n) {
        const int want = static_cast<int>(std::min<uint32_t>(n - count, kLiveReceiveChunk));
        const int got = recv(FSocket, p + count, want, 0);
        if (got == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                WaitDuringDialogue(FNetEvent, INFINITE);
                ResetNetworkEvent();
                continue;
            }
            throw Exception(Format("recv 发生网络故障,错误代码为:%d", error));
        }
        if (got == 0)
            throw Exception("recv 网络连接已经断开");
        count += static_cast<uint32_t>(got);
    }
}

void TQovClient::SendAll(const char* data, uint32_t n)
{
    uint32_t sent = 0;
    while (sent < n) {
        const int r = send(FSocket, data + sent, static_cast<int>(n - sent), 0);
        if (r == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                // The peer takes nothing for now: wait until it does (or a
                // stop comes).
                WaitDuringDialogue(FNetEvent, INFINITE);
                ResetNetworkEvent();
                continue;
            }
            throw Exception(Format("send 发生网络故障,错误代码为:%d", error));
        }
        if (r == 0)
            throw Exception("send 网络连接已经断开");
        QOV_ASSERT(static_cast<uint32_t>(r) <= n - sent);
        sent += static_cast<uint32_t>(r);
    }
}

void TQovClient::SendMessageText(const std::string& text)
{
    const std::string block = BuildTextMessage(text);
    SendAll(block.data(), static_cast<uint32_t>(block.size()));
}

std::string TQovClient::ReceiveMessageText()
{
    LiveMessageHead head;
    ReadExact(&head, sizeof head);
    if (head.Length > LiveMaxPayload(head.Type))
        throw Exception(Format("Message too long: %u", head.Length));
    std::string text(head.Length, '\0');
    if (head.Length > 0)
        ReadExact(&text[0], head.Length);
    return text;
}

int TQovClient::ConnectServer()
{
    CloseSocket();
    FSocket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (FSocket == INVALID_SOCKET)
        return ecConnectFailed;
    // Non-blocking from here on: every wait watches the queue too.
    if (WSAEventSelect(FSocket, FNetEvent, FD_READ | FD_WRITE | FD_CLOSE | FD_CONNECT) == SOCKET_ERROR)
        return ecConnectFailed;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    {
        std::lock_guard<std::mutex> lock(FInfoLock);
        addr.sin_addr.s_addr = inet_addr(FIP.c_str());
        addr.sin_port = htons(FPort);
    }
    if (connect(FSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEWOULDBLOCK)
            return ecConnectFailed;
        for (;;) {
            WaitDuringDialogue(FNetEvent, INFINITE);
            WSANETWORKEVENTS events{};
            if (WSAEnumNetworkEvents(FSocket, FNetEvent, &events) == SOCKET_ERROR)
                return ecConnectFailed;
            if (events.lNetworkEvents & FD_CONNECT) {
                if (events.iErrorCode[FD_CONNECT_BIT] != 0)
                    return ecConnectFailed;
                break;
            }
            if (events.lNetworkEvents & FD_CLOSE)
                return ecConnectFailed;
        }
    }
    BOOL noDelay = TRUE;
    setsockopt(FSocket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    return ecNone;
}

int TQovClient::PerformLogin()
{
    std::string channel;
    {
        std::lock_guard<std::mutex> lock(FInfoLock);
        channel = FChannel;
    }
    std::string reply;
    try {
        SendMessageText(BuildLoginText(channel, ComputerName(), ExtraText()));
        reply = ReceiveMessageText();
    } catch (const ELiveAborted&) {
        throw;
    } catch (const std::exception&) {
        return ecNetworkError;
    }
    {
        std::lock_guard<std::mutex> lock(FInfoLock);
        FReplyText = reply;
    }
    if (IsLoginRefused(reply))
        return ecServiceRefused;
    return ecNone;
}

int TQovClient::SendStart()
{
    try {
        SendMessageText("Start");
    } catch (const ELiveAborted&) {
        throw;
    } catch (const std::exception&) {
        return ecNetworkError;
    }
    return ecNone;
}

bool TQovClient::ResolveHost(const std::string& host, std::string* ip)
{
    auto* lookup = new TLookup;
    lookup->Host = host;
    auto* pinned = new TPinnedLookup{lookup, PinOwnModule()};
    HANDLE thread = CreateThread(nullptr, 0, &PinnedLookupThread, pinned, 0, nullptr);
    if (!thread) {
        // No helper: look the name up here (a stop then waits for it).
        if (pinned->Module)
            FreeLibrary(pinned->Module);
        delete pinned;
        LookupThread(lookup);
        const bool found = lookup->Found;
        *ip = lookup->IP;
        lookup->Release();
        return found;
    }
    try {
        WaitDuringDialogue(thread, INFINITE);
    } catch (...) {
        CloseHandle(thread);
        lookup->Release();  // the helper frees the record when it ends
        throw;
    }
    CloseHandle(thread);
    const bool found = lookup->Found;
    *ip = lookup->IP;
    lookup->Release();
    return found;
}

// ---------------------------------------------------------------------------
// Handlers

void TQovClient::HandleOpen()
{
    SetStreamState(lsAwaitingKey);
    SetKind(skLiveTcp);
    FUsed = 0;
    int code = ecNone;
    try {
        // Split the locator: scheme://host[:port]/path, escapes decoded.
        const std::string locator = Locator();
        char hostName[1025] = {};
        char urlPath[1025] = {};
        URL_COMPONENTSA parts{};
        parts.dwStructSize = sizeof parts;
        parts.lpszHostName = hostName;
        parts.dwHostNameLength = 1024;
        parts.lpszUrlPath = urlPath;
        parts.dwUrlPathLength = 1024;
        std::string host, channel;
        const bool split =
            InternetCrackUrlA(locator.c_str(), static_cast<DWORD>(locator.size()), ICU_DECODE, &parts) != FALSE;
        if (split)
            LiveTargetFromParts(std::string(hostName, parts.dwHostNameLength),
                                std::string(urlPath, parts.dwUrlPathLength), &host, &channel);
        {
            std::lock_guard<std::mutex> lock(FInfoLock);
            FHost = host;
            FChannel = channel;
            if (split && parts.nPort != 0)
                FPort = parts.nPort;
        }
        if (host.empty())
            code = ecInvalidURL;
        if (code == ecNone) {
            std::string ip;
            if (!ResolveHost(host, &ip))
                code = ecResolveFailed;
            else {
                std::lock_guard<std::mutex> lock(FInfoLock);
                FIP = ip;
            }
        }
        if (code == ecNone)
            code = ConnectServer();
        if (code == ecNone)
            code = PerformLogin();
        if (code == ecNone)
            code = SendStart();
    } catch (const ELiveAborted&) {
        // A stop (or the end of the thread) came during the open: nothing is
        // reported; the stop closes what is left.
        CloseSocket();
        SetStreamState(lsNone);
        return;
    }
    if (code == ecNone) {
        Read(-1);
        return;
    }
    CloseSocket();
    SetStreamState(lsNone);
    if (!Stopping())
        DoError(code);
}

void TQovClient::HandleRead(int32_t)
{
    DWORD lastActivity = timeGetTime();
    bool failed = false;
    for (;;) {
        // 1. Requests to read on are served by this loop; anything else
        // waiting ends it.
        RemoveQueuedReads();
        QueuedReadsTaken();
        if (AnyMessageWaiting())
            break;
        // 2. After a stop or a failure the connection is made anew.
        if (FSocket == INVALID_SOCKET) {
            Open(Locator(), std::string());
            break;
        }
        try {
            // 3.
            if (!WaitReadable()) {
                // 4. Nothing to read: keep the connection alive, then sleep
                // until data, a message or the next keep-alive.
                const DWORD now = timeGetTime();
                const DWORD since = now - lastActivity;
                if (since >= kLiveNoopInterval) {
                    lastActivity = now;
                    if (WaitWritable())
                        SendMessageText("NOOP");
                    continue;
                }
                HANDLE event = FNetEvent;
                const DWORD r = MsgWaitForMultipleObjectsEx(1, &event, kLiveNoopInterval - since,
                                                            QS_ALLPOSTMESSAGE, MWMO_INPUTAVAILABLE);
                if (r == WAIT_OBJECT_0)
                    ResetNetworkEvent();
                continue;
            }
            // 5. Receive behind what is waiting.
            const uint32_t room = std::min(FCapacity - FUsed, kLiveReceiveChunk);
            if (room == 0)
                throw Exception("Receive buffer full");
            const int got = recv(FSocket, reinterpret_cast<char*>(FReceiveBuffer + FUsed), static_cast<int>(room), 0);
            if (got == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK)
                continue;
            if (got == SOCKET_ERROR)
                throw Exception(Format("recv 发生网络故障,错误代码为:%d", WSAGetLastError()));
            if (got == 0)
                throw Exception("recv 网络连接已经断开");
            AddToMeter(static_cast<uint64_t>(got));
            FUsed += static_cast<uint32_t>(got);
            // 6. Every complete message, in order.
            const LiveStreamError error = ProcessReceived(
                FReceiveBuffer, FCapacity, FUsed,
                [this](uint8_t* data, uint32_t size) {
                    QOV_ASSERT(data == FReceiveBuffer);
                    GrowReceiveBuffer(size);
                    return FReceiveBuffer;
                },
                [this](const LiveMessage& message) { DispatchMessage(message); });
            if (error != LiveStreamError::None)
                throw Exception(error == LiveStreamError::Oversized ? "Message too long" : "Malformed frame message");
        } catch (const ELiveAborted&) {
            break;  // a stop waits in the queue
        } catch (const std::exception&) {
            failed = true;
            break;
        }
    }
    if (failed) {
        // 7.
        CloseSocket();
        FUsed = 0;
        SetStreamState(lsNone);
        if (!Stopping())
            DoError(ecNetworkError);
    }
}

void TQovClient::DispatchMessage(const LiveMessage& message)
{
    switch (message.Type) {
    case lmFrame: {
        const uint8_t* record = message.Payload;
        FrameHeader header;
        std::memcpy(&header, record, sizeof header);
        if (StreamState() == lsAwaitingKey && header.Kind == fkKeyFrame) {
            int width = 0, height = 0;
            try {
                GetKeyFrameSize(record, &width, &height);
            } catch (const std::exception&) {
                // A key frame whose picture cannot be decoded cannot start
                // the stream: the next one will.
                return;
            }
            SetStreamState(lsStreaming);
            DoStreamHeader(width, height);
        }
        DoSample(record);
        break;
    }
    case lmIndex:
        DoIndex(std::string(reinterpret_cast<const char*>(message.Payload), message.Length));
        break;
    case lmScript:
        DoScript(std::string(reinterpret_cast<const char*>(message.Payload), message.Length));
        break;
    case lmString:
        DoString(std::string(reinterpret_cast<const char*>(message.Payload), message.Length));
        break;
    default:
        break;  // other types are skipped
    }
}

void TQovClient::HandleSeek(int32_t ms)
{
    if (ms < 0)
        throw ERangeError("Range check error");
    // Live data cannot be repositioned: a seek only resumes reading.
    Read(ms);
}

void TQovClient::HandleStop()
{
    CloseSocket();
    FUsed = 0;
    SetStreamState(lsNone);
}

void TQovClient::HandleSendText(const MSG& msg)
{
    const auto* block = reinterpret_cast<const char*>(msg.wParam);
    const std::string text(block, static_cast<size_t>(msg.lParam));
    if (FSocket == INVALID_SOCKET)
        return;
    try {
        SendMessageText(text);
    } catch (const std::exception&) {
        // A request that cannot be sent is dropped; the read loop notices a
        // broken connection.
    }
}

void TQovClient::DoStreamHeader(int, int)
{
    std::lock_guard<std::mutex> lock(FInfoLock);
    ApplyReplyInfo(FReplyText, &FInfo);
}

void TQovClient::DoError(int) {}

void TQovClient::DoSample(const uint8_t* record)
{
    FrameHeader header;
    std::memcpy(&header, record, sizeof header);
    EnterCriticalSection(&FKeyLock);
    try {
        FLastFrameIsKey = header.Kind == fkKeyFrame;
        if (FLastFrameIsKey) {
            const uint32_t length = header.Length + kFrameHeaderSize;  // bounded by the framer
            if (length > FKeyCapacity) {
                void* grown = std::realloc(FKeyCopy, length);
                if (!grown)
                    throw EOutOfMemory("Out of memory");
                FKeyCopy = static_cast<uint8_t*>(grown);
                FKeyCapacity = length;
            }
            std::memcpy(FKeyCopy, record, length);
            FKeyLength = length;
        }
    } catch (...) {
        LeaveCriticalSection(&FKeyLock);
        throw;
    }
    LeaveCriticalSection(&FKeyLock);
}

void TQovClient::DoIndex(const std::string&) {}
void TQovClient::DoScript(const std::string&) {}
void TQovClient::DoString(const std::string&) {}

} // namespace qov
