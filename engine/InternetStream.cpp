// Local file stream and the ranged-HTTP stream of the file source.
#include "InternetStream.h"

#include <cstring>
#include <vector>

#include "SysUtils.h"
#include "UnitLog.h"

namespace qov {

const char* const kHttpAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0; .NET CLR 1.1.4322)";

// ---------------------------------------------------------------------------
// TFileStream

TFileStream::TFileStream(const std::string& fileName)
{
    FHandle = CreateFileA(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (FHandle == INVALID_HANDLE_VALUE)
        throw EStreamError(Format("Cannot open file \"%s\". Error %lu", fileName.c_str(),
                                  static_cast<unsigned long>(GetLastError())));
}

TFileStream::~TFileStream()
{
    if (FHandle != INVALID_HANDLE_VALUE)
        CloseHandle(FHandle);
}

uint32_t TFileStream::Read(void* buffer, uint32_t count)
{
    DWORD got = 0;
    if (count == 0)
        return 0;
    if (!ReadFile(FHandle, buffer, count, &got, nullptr))
        return 0;
    return got;
}

uint32_t TFileStream::Write(const void*, uint32_t)
{
    throw EStreamError("Stream write error");
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin)
{
    LARGE_INTEGER distance, result;
    distance.QuadPart = offset;
    const DWORD method = origin == soBeginning ? FILE_BEGIN : origin == soCurrent ? FILE_CURRENT : FILE_END;
    if (!SetFilePointerEx(FHandle, distance, &result, method))
        throw EStreamError(Format("Stream seek error %lu", static_cast<unsigned long>(GetLastError())));
    return result.QuadPart;
}

// ---------------------------------------------------------------------------
// URL encoding

std::string EncodeURL(const std::string& locator)
{
    QOV_ASSERT(!locator.empty());
    const int wideLength = MultiByteToWideChar(CP_ACP, 0, locator.data(), static_cast<int>(locator.size()),
                                               nullptr, 0);
    QOV_ASSERT(wideLength > 0);
    std::vector<wchar_t> wide(static_cast<size_t>(wideLength));
    MultiByteToWideChar(CP_ACP, 0, locator.data(), static_cast<int>(locator.size()), wide.data(), wideLength);

    std::string url;
    url.reserve(locator.size() * 3);
    for (size_t i = 0; i < wide.size(); ++i) {
        const wchar_t c = wide[i];
        if (c < 128) {
            url.push_back(static_cast<char>(c));
            continue;
        }
        // One character at a time; a surrogate pair is one character.
        int units = 1;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF)
            units = 2;
        char utf8[8];
        const int n = WideCharToMultiByte(CP_UTF8, 0, &wide[i], units, utf8, sizeof utf8, nullptr, nullptr);
        for (int k = 0; k < n; ++k)
            url += Format("%%%x", static_cast<unsigned>(static_cast<uint8_t>(utf8[k])));
        i += static_cast<size_t>(units - 1);
    }
    return url;
}

// ---------------------------------------------------------------------------
// TInternetStream

TInternetStream::TInternetStream(const std::string& locator) : FURL(EncodeURL(locator))
{
    std::vector<char> host(1024), path(4096);
    URL_COMPONENTSA parts;
    std::memset(&parts, 0, sizeof parts);
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host.data();
    parts.dwHostNameLength = static_cast<DWORD>(host.size());
    parts.lpszUrlPath = path.data();
    parts.dwUrlPathLength = static_cast<DWORD>(path.size());
    const BOOL cracked = InternetCrackUrlA(FURL.c_str(), static_cast<DWORD>(FURL.size()), 0, &parts);
    QOV_ASSERT(cracked);
    FHost.assign(parts.lpszHostName, parts.dwHostNameLength);
    FPath.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    FPort = parts.nPort;
}

TInternetStream::~TInternetStream()
{
    Close();
}

void TInternetStream::Close()
{
    std::lock_guard<std::mutex> lock(FHandleLock);
    CloseHandles();
}

void TInternetStream::Shutdown()
{
    FShut.store(true);
    Close();
}

void TInternetStream::CloseHandles()
{
    if (FRequest) {
        InternetCloseHandle(FRequest);
        FRequest = nullptr;
    }
    if (FConnection) {
        InternetCloseHandle(FConnection);
        FConnection = nullptr;
    }
    if (FInternet) {
        InternetCloseHandle(FInternet);
        FInternet = nullptr;
    }
}

uint32_t TInternetStream::Write(const void*, uint32_t)
{
    throw EStreamError("Not Implement");
}

int64_t TInternetStream::Seek(int64_t offset, TSeekOrigin origin)
{
    switch (origin) {
    case soBeginning:
        FPosition = offset;
        break;
    case soCurrent:
        if ((offset > 0 && FPosition > INT64_MAX - offset) || (offset < 0 && FPosition < INT64_MIN - offset))
            throw ERangeError("Range check error");
        FPosition += offset;
        break;
    default:
        throw EStreamError("Not Implement");
    }
    return FPosition;
}

namespace {

// A failure of one request; its text goes to the daily log.
class EInternetRead : public Exception { using Exception::Exception; };

unsigned long LastError()
{
    return static_cast<unsigned long>(GetLastError());
}

} // namespace

void TInternetStream::Connect()
{
    if (FConnection)
        return;
    CloseHandles();
    FInternet = InternetOpenA(kHttpAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 1);
    if (!FInternet)
        throw EInternetRead(Format("InternetOpen Error: %lu", LastError()));
    FConnection = InternetConnectA(FInternet, FHost.c_str(), static_cast<INTERNET_PORT>(FPort), "", "",
                                   INTERNET_SERVICE_HTTP, 0, 1);
    if (!FConnection) {
        const unsigned long code = LastError();
        CloseHandles();
        throw EInternetRead(Format("InternetConnect Error: %lu", code));
    }
    DWORD timeout = 3000;
    if (!InternetSetOptionA(FInternet, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof timeout)) {
        const unsigned long code = LastError();
        CloseHandles();
        throw EInternetRead(Format("InternetSetOption Error: %lu", code));
    }
}

uint32_t TInternetStream::Read(void* buffer, uint32_t count)
{
    if (count == 0)
        return 0;
    uint32_t result = 0;
    HINTERNET request = nullptr;
    try {
        {
            std::lock_guard<std::mutex> lock(FHandleLock);
            if (FShut.load())
                return 0;
            Connect();
            // Each ranged read is fetched once and consumed at once: keeping
            // a copy in the URL cache only costs time (the request on the
            // wire is the same with or without it).
            request = HttpOpenRequestA(FConnection, "GET", FPath.c_str(), "HTTP/1.1", "", nullptr,
                                       INTERNET_FLAG_MAKE_PERSISTENT | INTERNET_FLAG_NO_CACHE_WRITE, 1);
            if (!request)
                throw EInternetRead(Format("HttpOpenRequest Error: %lu", LastError()));
            FRequest = request;
            // Only the request's own time-outs bound a server that accepts
            // and never answers (those of the session handle do not reach it).
            for (const DWORD option :
                 {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT}) {
                DWORD timeout = kHttpRequestTimeoutMs;
                if (!InternetSetOptionA(request, option, &timeout, sizeof timeout))
                    throw EInternetRead(Format("InternetSetOption Error: %lu", LastError()));
            }
        }

        const uint64_t last = static_cast<uint64_t>(FPosition) + count - 1;
        const std::string range = Format("RANGE:bytes=%lld-%llu\r\n", static_cast<long long>(FPosition),
                                         static_cast<unsigned long long>(last));
        if (!HttpAddRequestHeadersA(request, range.c_str(), static_cast<DWORD>(range.size()),
                                    HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE))
            throw EInternetRead(Format("HttpAddRequestHeaders Error : %lu", LastError()));
        if (!HttpSendRequestA(request, nullptr, 0, nullptr, 0))
            throw EInternetRead(Format("HttpSendRequest Error : %lu", LastError()));

        std::memset(FStatusBuffer, 0, sizeof FStatusBuffer);
        DWORD size = sizeof FStatusBuffer;
        if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, FStatusBuffer, &size,
                            nullptr))
            throw EInternetRead(Format("HttpQueryInfo: %lu", LastError()));
        uint16_t status;
        std::memcpy(&status, FStatusBuffer, sizeof status);
        // 200 means the server sent the whole file from its start: those bytes
        // are what was asked for only when the read starts at 0.
        if (status != 206 && !(status == 200 && FPosition == 0))
            throw EInternetRead(Format("GetRequestStatusCode Error : %d, %s, %s", static_cast<int>(status),
                                       FURL.c_str(), range.c_str()));

        auto* out = static_cast<uint8_t*>(buffer);
        while (result < count) {
            DWORD got = 0;
            if (!InternetReadFile(request, out + result, count - result, &got))
                throw EInternetRead(Format("InternetReadFile Error :%lu", LastError()));
            if (got == 0)
                break;
            result += got;
            FPosition += got;
        }
    } catch (const std::exception& e) {
        // A failure caused by the owner giving the stream up is no news.
        if (!FShut.load())
            Log().AddLine(e.what());
    } catch (...) {
        Log().AddLine("TInternetStream.Read: unknown failure");
    }
    if (request) {
        std::lock_guard<std::mutex> lock(FHandleLock);
        if (FRequest == request) {  // not closed meanwhile by Close
            InternetCloseHandle(request);
            FRequest = nullptr;
        }
    }
    return result;
}

} // namespace qov
