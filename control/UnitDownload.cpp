#include "UnitDownload.h"

#include <cstring>
#include <map>
#include <string_view>
#include <vector>

#include "NailsList.h"
#include "QovFormat.h"
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

namespace {

// The folders that downloaders hold: how many holds each has, and whether
// its control has removed it. One lock for all: it is held only around one
// change to a folder.
struct TFolderUse {
    int Holds = 0;
    bool Gone = false;
};

std::mutex& FolderLock()
{
    static std::mutex lock;
    return lock;
}

std::map<std::string, TFolderUse>& FolderUses()
{
    static std::map<std::string, TFolderUse> uses;
    return uses;
}

std::string TempBase()
{
    char temp[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathA(sizeof temp, temp);
    std::string base = (n > 0 && n < sizeof temp) ? std::string(temp, n) : std::string("c:\\temp\\");
    if (base.back() != '\\')
        base += '\\';
    return base + "QovPlayer\\";
}

// Removes folder (ending in a backslash) and everything in it. A linked
// folder is removed as a link, never followed. Wide names with the long-path
// prefix: a tree may reach MAX_PATH, and its search pattern beyond it.
void RemoveWideTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                RemoveWideTree(folder + name + L"\\");
            else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryW((folder + name).c_str());
            else
                DeleteFileW((folder + name).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

void RemoveFolderTree(const std::string& folder)
{
    const int n = MultiByteToWideChar(CP_ACP, 0, folder.data(), static_cast<int>(folder.size()), nullptr, 0);
    if (n <= 0)
        return;
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, folder.data(), static_cast<int>(folder.size()), wide.data(), n);
    if (wide.compare(0, 2, L"\\\\") == 0)
        wide = L"\\\\?\\UNC\\" + wide.substr(2);
    else if (wide.size() > 2 && wide[1] == L':')
        wide = L"\\\\?\\" + wide;
    RemoveWideTree(wide);
}

// The process id of a control folder's name "<process id>_<number>".
bool ControlFolderProcess(const char* name, DWORD* process)
{
    uint64_t id = 0;
    const char* p = name;
    for (; *p >= '0' && *p <= '9' && id <= 0xFFFFFFFFu; ++p)
        id = id * 10 + static_cast<uint64_t>(*p - '0');
    if (p == name || *p != '_' || id > 0xFFFFFFFFu || !p[1])
        return false;
    for (++p; *p; ++p)
        if (*p < '0' || *p > '9')
            return false;
    *process = static_cast<DWORD>(id);
    return true;
}

bool ProcessRuns(DWORD process)
{
    HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, process);
    if (!handle)
        return GetLastError() != ERROR_INVALID_PARAMETER;  // denied: it runs, as another user's
    const bool runs = WaitForSingleObject(handle, 0) == WAIT_TIMEOUT;
    CloseHandle(handle);
    return runs;
}

// Removes the control folders under base whose process no longer runs.
void RemoveStaleControlFolders(const std::string& base)
{
    const DWORD self = GetCurrentProcessId();
    std::vector<std::string> stale;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((base + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        DWORD process = 0;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            ControlFolderProcess(found.cFileName, &process) && process != self && !ProcessRuns(process))
            stale.push_back(base + found.cFileName + "\\");
    } while (FindNextFileA(search, &found));
    FindClose(search);
    for (const std::string& folder : stale)
        RemoveFolderTree(folder);
}

std::atomic<int> gRunningDownloads{0};

} // namespace

std::string MakeControlTempFolder()
{
    const std::string base = TempBase();
    RemoveStaleControlFolders(base);
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
    std::lock_guard<std::mutex> lock(FolderLock());
    const auto use = FolderUses().find(base);
    if (use != FolderUses().end())
        use->second.Gone = true;
    RemoveFolderTree(base);
}

TFolderHold::TFolderHold(std::string folder) : FFolder(std::move(folder))
{
    if (!FFolder.empty() && FFolder.back() != '\\')
        FFolder += '\\';
    std::lock_guard<std::mutex> lock(FolderLock());
    ++FolderUses()[FFolder].Holds;
}

TFolderHold::~TFolderHold()
{
    std::lock_guard<std::mutex> lock(FolderLock());
    const auto use = FolderUses().find(FFolder);
    if (use == FolderUses().end() || --use->second.Holds > 0)
        return;
    const bool gone = use->second.Gone;
    FolderUses().erase(use);
    if (gone)
        RemoveFolderTree(FFolder);
}

bool TFolderHold::Write(const std::function<bool()>& change)
{
    std::lock_guard<std::mutex> lock(FolderLock());
    const auto use = FolderUses().find(FFolder);
    if (use == FolderUses().end() || use->second.Gone)
        return false;
    return change();
}

int RunningDownloads()
{
    return gRunningDownloads.load();
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

bool DownloadFile(HINTERNET session, const std::string& url, const std::string& localFile, TInternetHandleSlot* slot,
                  TFolderHold* hold, uint32_t limit, DWORD timeLimitMs)
{
    const DWORD started = GetTickCount();
    TInternetHandleSlot own;
    if (!slot)
        slot = &own;
    // Every change to the folder goes through the hold when there is one.
    const auto change = [hold](const std::function<bool()>& step) { return hold ? hold->Write(step) : step(); };
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
    HANDLE file = INVALID_HANDLE_VALUE;
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
        if (answered)
            change([&] {
                file = CreateFileA(partFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                   nullptr);
                return file != INVALID_HANDLE_VALUE;
            });
        if (file != INVALID_HANDLE_VALUE) {
            char buffer[1024];
            // Each read waits at most the request's receive time-out; a stop
            // request is seen between two reads.
            while (!slot->Cancelled()) {
                std::memset(buffer, 0, sizeof buffer);
                DWORD want = sizeof buffer;
                if (limit && limit - total < want)
                    want = static_cast<DWORD>(limit - total);
                DWORD got = 0;
                if (want == 0) {
                    ok = true;  // kept cut to the limit
                    break;
                }
                if (!InternetReadFile(handle, buffer, want, &got) || slot->Cancelled())
                    break;
                if (timeLimitMs && GetTickCount() - started > timeLimitMs)
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
                if (!change([&] { return WriteFile(file, buffer, got, &written, nullptr) && written == got; }))
                    break;
            }
            CloseHandle(file);
        }
    }
    slot->Close();
    if (connection)
        InternetCloseHandle(connection);
    if (ok)
        ok = change([&] { return MoveFileExA(partFile.c_str(), localFile.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE; });
    if (!ok) {
        if (file != INVALID_HANDLE_VALUE)
            DeleteFileA(partFile.c_str());
        change([&] {
            DeleteFileA(localFile.c_str());
            return true;
        });
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
    gRunningDownloads.fetch_add(1);
    FThread = CreateThread(nullptr, 0, &TDownload::ThreadProc, shared, 0, nullptr);
    if (!FThread) {
        gRunningDownloads.fetch_sub(1);
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
    gRunningDownloads.fetch_sub(1);
    if (module)
        FreeLibraryAndExitThread(module, 0);
    return 0;
}

namespace {

// Makes the folders of path (a file's full path) below base, which must
// exist: a downloader never makes its control's folder again.
bool MakeFoldersBelow(TFolderHold& hold, const std::string& base, const std::string& path)
{
    for (size_t end = path.find('\\', base.size()); end != std::string::npos; end = path.find('\\', end + 1)) {
        const std::string level = path.substr(0, end);
        if (!hold.Write([&] {
                return CreateDirectoryA(level.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
            }))
            return false;
    }
    return true;
}

} // namespace

void TDownload::Run(TState& state)
{
    if (state.Url.empty())
        return;
    // Made first, so that it goes last: after every file is closed.
    TFolderHold hold(state.Folder);
    HINTERNET session = InternetOpenA(kDownloadAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!session)
        return;
    SetDownloadTimeouts(session);
    state.Session.Put(session);
    if (state.Session.Cancelled())
        return;
    int downloaded = 0;
    // The list is fetched no further than the reader reads it (one byte
    // more tells it that it was cut); a picture no further than a picture
    // can be, so that a larger one is refused by the reader.
    if (DownloadFile(session, state.Url + "nails.xml", state.Folder + "nails.xml", &state.Request, &hold,
                     kMaxNailsListBytes + 1)) {
        std::string text;
        bool cut = false;
        if (ReadNailsListFile(state.Folder + "nails.xml", &text, &cut)) {
            TNailsList list;
            list.Load(std::move(text), cut);
            const std::string pictures = state.Folder + "nails\\";
            for (const std::string& value : list.PictureValues()) {
                if (state.Terminated.load())
                    break;
                std::string local;
                if (!NailDownloadPath(state.Folder, value, &local) || !MakeFoldersBelow(hold, pictures, local))
                    continue;
                if (DownloadFile(session, state.Url + value, local, &state.Request, &hold, kPictureBlockSize + 1))
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

bool ReadNailsListFile(const std::string& fileName, std::string* text, bool* cut)
{
    HANDLE file = CreateFileA(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(file, &size) != FALSE;
    if (ok) {
        *cut = size.QuadPart > kMaxNailsListBytes;
        const DWORD want = static_cast<DWORD>(std::min<LONGLONG>(size.QuadPart, kMaxNailsListBytes));
        text->resize(want);
        DWORD got = 0;
        ok = want == 0 || (ReadFile(file, text->data(), want, &got, nullptr) && got == want);
    }
    CloseHandle(file);
    return ok;
}

} // namespace qov
