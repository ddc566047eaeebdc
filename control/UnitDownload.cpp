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
        if (http) {
            DWORD status = 0;
            DWORD size = sizeof status;
            answered = HttpQueryInfoA(handle, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                                      nullptr) &&
                       status == 200;
        }
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
                    ok = true;
                    break;
                }
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

TDownload::TDownload(const std::string& directoryUrl, const std::string& folder, HWND window, UINT doneMsg,
                     LPARAM doneTag)
    : FUrl(directoryUrl), FFolder(folder), FWindow(window), FDoneMsg(doneMsg), FDoneTag(doneTag)
{
    StartThread();
    Post(WM_USER);
}

TDownload::~TDownload()
{
    FTerminated.store(true);
    FRequest.Cancel();
    FSession.Cancel();
    EndThread();
}

void TDownload::Execute()
{
    try {
        if (FUrl.empty())
            return;
        HINTERNET session = InternetOpenA(kDownloadAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        if (!session)
            return;
        SetDownloadTimeouts(session);
        FSession.Put(session);
        if (FSession.Cancelled())
            return;
        ForceDirectories(FFolder + "nails");
        int downloaded = 0;
        if (DownloadFile(session, FUrl + "nails.xml", FFolder + "nails.xml", &FRequest)) {
            std::string text;
            TNailsList list;
            if (ReadSmallFile(FFolder + "nails.xml", kMaxNailsListSize, &text)) {
                list.Load(std::move(text));
                for (const std::string& value : list.PictureValues()) {
                    if (FTerminated.load())
                        break;
                    std::string local = FFolder + "nails\\" + value;
                    for (char& c : local)
                        if (c == '/')
                            c = '\\';
                    const size_t folderEnd = local.rfind('\\');
                    if (folderEnd > FFolder.size() + 5)
                        ForceDirectories(local.substr(0, folderEnd));
                    if (DownloadFile(session, FUrl + value, local, &FRequest))
                        FDownloaded.store(++downloaded);
                }
            }
        }
        FSession.Close();
        if (downloaded > 0 && !FTerminated.load())
            PostMessageA(FWindow, FDoneMsg, 0, FDoneTag);
    } catch (const std::exception& e) {
        Log().AddLine(std::string("TDownload.Execute -> ") + e.what());
    } catch (...) {
        Log().AddLine("TDownload.Execute -> Unknown exception");
    }
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
