// The streams a file source reads from: a local file (TFileStream) or a web
// server (TInternetStream, one ranged HTTP GET per read).
#pragma once

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace qov {

enum TSeekOrigin : int {
    soBeginning = 0,
    soCurrent = 1,
    soEnd = 2,
};

// A read-only byte stream with a 64-bit position.
class TStream {
public:
    virtual ~TStream() = default;
    // Reads up to count bytes at the position into buffer and moves the
    // position past them; returns the number read (0 at the end).
    virtual uint32_t Read(void* buffer, uint32_t count) = 0;
    virtual uint32_t Write(const void* buffer, uint32_t count) = 0;
    // Moves the position and returns the new one.
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t position) { Seek(position, soBeginning); }
};

// A local file opened for reading; others may read it but not write it.
class TFileStream : public TStream {
public:
    // Raises EStreamError when the file cannot be opened.
    explicit TFileStream(const std::string& fileName);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    uint32_t Read(void* buffer, uint32_t count) override;
    uint32_t Write(const void* buffer, uint32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;

private:
    HANDLE FHandle = INVALID_HANDLE_VALUE;
};

// A file on a web server, read with one ranged GET ("RANGE:bytes=a-b") per
// Read. Its size is unknown: seeking from the end is not possible.
class TInternetStream : public TStream {
public:
    // Percent-encodes the locator (EncodeURL) and splits it into host, port
    // and path; raises EAssertionFailed for an empty locator or one that
    // cannot be split. No connection is made yet.
    explicit TInternetStream(const std::string& locator);
    ~TInternetStream() override;
    TInternetStream(const TInternetStream&) = delete;
    TInternetStream& operator=(const TInternetStream&) = delete;

    // One ranged request for the bytes position .. position + count - 1.
    // Never raises: a failure is written to the daily log and ends the read
    // early; the result is the number of bytes received (often 0). A reply
    // other than 206 or 200, and a 200 (the whole file, range ignored) to a
    // read that does not start at 0, are such failures.
    uint32_t Read(void* buffer, uint32_t count) override;
    // Raises "Not Implement".
    uint32_t Write(const void* buffer, uint32_t count) override;
    // From the beginning or the current position; from the end raises
    // "Not Implement".
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;

    // Closes the request under way, the connection and the internet handle;
    // the next Read opens them again. May be called from another thread
    // while a Read runs: that Read then fails.
    void Close();
    // Closes as Close does and refuses every later Read (0 bytes, nothing
    // logged): for an owner that has given the stream up.
    void Shutdown();

    const std::string& URL() const { return FURL; }
    const std::string& Host() const { return FHost; }
    int Port() const { return FPort; }
    const std::string& Path() const { return FPath; }

private:
    // Opens the handles that are not open (FHandleLock held).
    void Connect();
    void CloseHandles();  // FHandleLock held

    std::string FURL;
    std::string FHost;
    int FPort = 0;
    std::string FPath;
    int64_t FPosition = 0;
    std::mutex FHandleLock;  // the three handles: Close may come from another thread
    HINTERNET FInternet = nullptr;
    HINTERNET FConnection = nullptr;
    HINTERNET FRequest = nullptr;  // the request under way
    std::atomic<bool> FShut{false};
    char FStatusBuffer[128] = {};
};

// Time-outs of every request (connecting, sending, receiving): a server that
// accepts and never answers costs each read this long, so an owner giving
// the stream up waits no longer.
constexpr DWORD kHttpRequestTimeoutMs = 1000;

// The locator with every character from 128 up written as its UTF-8 bytes,
// each as "%" and the byte in lower-case hexadecimal ("%x"). The locator is
// in the system code page. Raises EAssertionFailed for an empty locator.
std::string EncodeURL(const std::string& locator);

// Agent text of every request.
extern const char* const kHttpAgent;

} // namespace qov
