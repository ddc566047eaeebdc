#include "UnitDownload.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "InternetStream.h"
#include "NailsList.h"
#include "SysUtils.h"
#include "UnitLog.h"

namespace qov {

namespace {

const char kDownloadAgent[] = "QovPlayer Nails";

void SetDownloadTimeouts(HINTERNET handle)
{
    for (const DWORD option :
         {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        DWORD timeout = kDownloadTimeoutMs;
        InternetSetOptionA(handle, option, &timeout, sizeof timeout);
    }
}

bool StartsWithNoCase(const std::string& text, const char* head)
{
    const size_t n = std::strlen(head);
    return text.size() >= n && _strnicmp(text.c_str(), head, n) == 0;
}

// Opens an HTTP URL as a request whose handle sits in the slot before it is
// sent, so that a server that never answers can be cut off. Returns the
// request, or nullptr; *connection is the caller's to close either way.
HINTERNET OpenHttp(HINTERNET session, const std::string& url, TInternetHandleSlot* slot, HINTERNET* connection)
{
    const std::string encoded = EncodeURL(url);
    char host[256] = {};
    std::vector<char> path(encoded.size() + 2);
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host;
    parts.lpszUrlPath = path.data();
    parts.dwUrlPathLength = static_cast<DWORD>(path.size());
    if (!InternetCrackUrlA(encoded.c_str(), 0, 0, &parts))
        return nullptr;
    *connection = InternetConnectA(session, host, parts.nPort, "", "", INTERNET_SERVICE_HTTP, 0, 0);
    if (!*connection)
        return nullptr;
    const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? INTERNET_FLAG_SECURE : 0;
    HINTERNET request = HttpOpenRequestA(*connection, "GET", path.data(), "HTTP/1.1", "", nullptr,
                                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | secure, 0);
    if (!request)
        return nullptr;
    SetDownloadTimeouts(request);
    if (slot) {
        slot->Put(request);
        if (slot->Cancelled())
            return nullptr;
    }
    // A failed send leaves the status query to fail.
    HttpSendRequestA(request, nullptr, 0, nullptr, 0);
    return request;
}

} // namespace

std::string UrlDirectory(const std::string& locator)
{
    const size_t slash = locator.rfind('/');
    return slash == std::string::npos ? std::string() : locator.substr(0, slash + 1);
}

std::string MakeControlTempFolder()
{
    char temp[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathA(sizeof temp, temp);
    std::string base = (n > 0 && n < sizeof temp) ? std::string(temp, n) : std::string("c:\\temp\\");
    if (base.back() != '\\')
        base += '\\';
    base += "QovPlayer\\";
    static std::atomic<unsigned> counter{0};
    const std::string folder = base + Format("%lu_%u\\", static_cast<unsigned long>(GetCurrentProcessId()),
                                             counter.fetch_add(1) + 1);
    ForceDirectories(folder + "nails");
    return folder;
}

void RemoveControlTempFolder(const std::string& folder)
{
    if (folder.empty() || folder.find("\\QovPlayer\\") == std::string::npos)
        return;
    std::string base = folder;
    if (base.back() != '\\')
        base += '\\';
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((base + "*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveControlTempFolder(base + name + "\\");
            else
                DeleteFileA((base + name).c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(base.c_str());
}

void TInternetHandleSlot::Put(HINTERNET handle)
{
    std::lock_guard<std::mutex> lock(FLock);
    if (FCancelled.load()) {
        InternetCloseHandle(handle);
        return;
    }
    FHandle = handle;
}

void TInternetHandleSlot::Close()
{
    HINTERNET handle;
    {
        std::lock_guard<std::mutex> lock(FLock);
        handle = FHandle;
        FHandle = nullptr;
    }
    if (handle)
        InternetCloseHandle(handle);
}

void TInternetHandleSlot::Cancel()
{
    FCancelled.store(true);
    Close();
}

bool DownloadFile(HINTERNET session, const std::string& url, const std::string& localFile, TInternetHandleSlot* slot)
{
    TInternetHandleSlot own;
    if (!slot)
        slot = &own;
    const std::string partFile = localFile + ".part";
    bool ok = false;
    HINTERNET connection = nullptr;
    HINTERNET handle = nullptr;
    const bool http = StartsWithNoCase(url, "http:") || StartsWithNoCase(url, "https:");
    if (http) {
        handle = OpenHttp(session, url, slot, &connection);
    } else {
        handle = InternetOpenUrlA(session, url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0);
        if (handle) {
            SetDownloadTimeouts(handle);
            slot->Put(handle);
        }
    }
    if (handle && !slot->Cancelled()) {
        bool answered = true;
        DWORD announced = 0;  // Content-Length, when the server sent one
        bool hasLength = false;
        if (http) {
            DWORD status = 0;
            DWORD size = sizeof status;
            answered = HttpQueryInfoA(handle, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                                      nullptr) &&
                       status == 200;
            size = sizeof announced;
            hasLength = HttpQueryInfoA(handle, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &announced,
                                       &size, nullptr) != FALSE;
        }
        uint64_t total = 0;
        HANDLE file = answered ? CreateFileA(partFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr)
                               : INVALID_HANDLE_VALUE;
        if (file != INVALID_HANDLE_VALUE) {
            char buffer[1024];
            for (;;) {
                std::memset(buffer, 0, sizeof buffer);
                DWORD got = 0;
                if (!InternetReadFile(handle, buffer, sizeof buffer, &got) || slot->Cancelled())
                    break;
                if (got == 0) {
                    // A connection closed early ends the reading too.
                    ok = !hasLength || total == announced;
                    break;
                }
                total += got;
                // An HTML page (an error page sent as if it were the file).
                if (std::string_view(buffer, got).find("<!DOCTYPE") != std::string_view::npos)
                    break;
                DWORD written = 0;
                if (!WriteFile(file, buffer, got, &written, nullptr) || written != got)
                    break;
            }
            CloseHandle(file);
        }
    }
    slot->Close();
    if (connection)
        InternetCloseHandle(connection);
    if (ok)
        ok = MoveFileExA(partFile.c_str(), localFile.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    if (!ok) {
        DeleteFileA(partFile.c_str());
        DeleteFileA(localFile.c_str());
    }
    return ok;
}

struct TDownload::TState {
    std::string Url;
    std::string Folder;
    HWND Window = nullptr;
    UINT DoneMsg = 0;
    LPARAM DoneTag = 0;
    std::atomic<bool> Terminated{false};
    std::atomic<int> Downloaded{0};
    TInternetHandleSlot Session;
    TInternetHandleSlot Request;
};

TDownload::TDownload(const std::string& directoryUrl, const std::string& folder, HWND window, UINT doneMsg,
                     LPARAM doneTag)
    : FState(std::make_shared<TState>())
{
    FState->Url = directoryUrl;
    FState->Folder = folder;
    FState->Window = window;
    FState->DoneMsg = doneMsg;
    FState->DoneTag = doneTag;
    auto* shared = new std::shared_ptr<TState>(FState);
    FThread = CreateThread(nullptr, 0, &TDownload::ThreadProc, shared, 0, nullptr);
    if (!FThread) {
        delete shared;
        throw Exception(Format("Thread creation error: %lu", static_cast<unsigned long>(GetLastError())));
    }
}

TDownload::~TDownload()
{
    FState->Terminated.store(true);
    FState->Request.Cancel();
    FState->Session.Cancel();
    WaitForSingleObject(FThread, kDownloadEndWaitMs);
    CloseHandle(FThread);
}

int TDownload::Downloaded() const
{
    return FState->Downloaded.load();
}

bool TDownload::Finished() const
{
    return WaitForSingleObject(FThread, 0) != WAIT_TIMEOUT;
}

DWORD WINAPI TDownload::ThreadProc(void* param)
{
    // The thread may outlive its owner: it keeps the module loaded and its
    // own share of the data.
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&TDownload::ThreadProc),
                       &module);
    auto* shared = static_cast<std::shared_ptr<TState>*>(param);
    try {
        Run(**shared);
    } catch (const std::exception& e) {
        Log().AddLine(std::string("TDownload.Execute -> ") + e.what());
    } catch (...) {
        Log().AddLine("TDownload.Execute -> Unknown exception");
    }
    delete shared;
    if (module)
        FreeLibraryAndExitThread(module, 0);
    return 0;
}

void TDownload::Run(TState& state)
{
    if (state.Url.empty())
        return;
    HINTERNET session = InternetOpenA(kDownloadAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!session)
        return;
    SetDownloadTimeouts(session);
    state.Session.Put(session);
    if (state.Session.Cancelled())
        return;
    ForceDirectories(state.Folder + "nails");
    int downloaded = 0;
    if (DownloadFile(session, state.Url + "nails.xml", state.Folder + "nails.xml", &state.Request)) {
        std::string text;
        if (ReadSmallFile(state.Folder + "nails.xml", kMaxNailsListSize, &text)) {
            TNailsList list;
            list.Load(std::move(text));
            for (const std::string& value : list.PictureValues()) {
                if (state.Terminated.load())
                    break;
                std::string local = state.Folder + "nails\\" + value;
                for (char& c : local)
                    if (c == '/')
                        c = '\\';
                const size_t folderEnd = local.rfind('\\');
                if (folderEnd > state.Folder.size() + 5)
                    ForceDirectories(local.substr(0, folderEnd));
                if (DownloadFile(session, state.Url + value, local, &state.Request))
                    state.Downloaded.store(++downloaded);
            }
        }
    }
    state.Session.Close();
    if (downloaded > 0 && !state.Terminated.load())
        PostMessageA(state.Window, state.DoneMsg, 0, state.DoneTag);
}

bool ReadSmallFile(const std::string& fileName, uint32_t limit, std::string* text)
{
    HANDLE file = CreateFileA(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart <= limit;
    if (ok) {
        text->resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        ok = size.QuadPart == 0 ||
             (ReadFile(file, text->data(), static_cast<DWORD>(size.QuadPart), &got, nullptr) && got == size.QuadPart);
    }
    CloseHandle(file);
    return ok;
}


} // namespace qov
