// Fetching a network recording's thumbnail list and pictures (WinINet, HTTP
// and FTP) into the control's own download folder.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "InternetStream.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <functional>
#include <string>

namespace qov {

// The locator up to and including its last "/"; empty when it has none.
std::string UrlDirectory(const std::string& locator);

// A folder of its own for one control under "<temp>\QovPlayer\" (with
// "c:\temp\" when the system gives no usable temporary path), named
// "<process id>_<number>", so that two players never share downloads.
// Created with its "nails" subfolder; ends in a backslash. The folders of
// processes that no longer run (left by a host that ended without cleaning
// up) are removed first.
std::string MakeControlTempFolder();
// Removes such a folder with everything in it (when its control goes). From
// then on no downloader writes into it; one still running removes what it
// held open when it ends.
void RemoveControlTempFolder(const std::string& folder);

// A downloader's hold on the control folder it writes into: every change it
// makes there goes through Write, which does nothing once the folder's
// control has removed it. The last hold of a removed folder removes the
// folder again when it goes (what an open file kept there).
class TFolderHold {
public:
    explicit TFolderHold(std::string folder);
    ~TFolderHold();
    TFolderHold(const TFolderHold&) = delete;
    TFolderHold& operator=(const TFolderHold&) = delete;

    // Runs change unless the folder is gone; false when it is gone or the
    // change fails.
    bool Write(const std::function<bool()>& change);

private:
    std::string FFolder;
};

// Holds the internet handle a download is using, so that another thread can
// close it and end a stalled transfer at once. Whoever takes the handle out
// closes it.
class TInternetHandleSlot {
public:
    void Put(HINTERNET handle);
    // Takes the handle out and closes it (nothing when empty).
    void Close();
    // Refuses every later Put (the handle given is closed at once).
    void Cancel();
    bool Cancelled() const { return FCancelled.load(); }

private:
    std::mutex FLock;
    HINTERNET FHandle = nullptr;
    std::atomic<bool> FCancelled{false};
};

// One download of url into localFile. Only an HTTP 200 answer (or an FTP
// transfer read to its end) without "<!DOCTYPE" in it counts: the bytes go to
// a temporary name that becomes localFile on success; on failure nothing is
// left under localFile (an older file of that name is removed). slot, when
// given, holds the URL handle while it is open, and its cancelling stops the
// reading between two reads. hold, when given, makes every change to the
// folder. limit, when not 0: at most that many bytes are fetched, and a
// longer file is kept cut to them. timeLimitMs, when not 0: a transfer not
// done by then fails (a server that trickles its answer holds the caller no
// longer than that and one read's time-out).
bool DownloadFile(HINTERNET session, const std::string& url, const std::string& localFile,
                  TInternetHandleSlot* slot = nullptr, TFolderHold* hold = nullptr, uint32_t limit = 0,
                  DWORD timeLimitMs = 0);

// Reads a local file whole; false when it is missing, unreadable or larger
// than limit bytes.
bool ReadSmallFile(const std::string& fileName, uint32_t limit, std::string* text);
// Reads the first kMaxNailsListBytes of a thumbnail list; *cut tells that
// the file is longer. False when it is missing or unreadable.
bool ReadNailsListFile(const std::string& fileName, std::string* text, bool* cut);

// Send, receive and connect time-outs of a download (ms): those of the
// engine's web source, so that a stalled server holds a downloader that is
// asked to stop no longer than one of them.
constexpr DWORD kDownloadTimeoutMs = kHttpRequestTimeoutMs;

// How long destroying a downloader waits for its thread; a transfer that
// closing its handles did not end by then ends with its request's time-out
// (the thread holds the module and its own data, and reports nothing any
// more).
constexpr DWORD kDownloadEndWaitMs = 300;

// Downloader threads of this module that still run.
int RunningDownloads();

// The control's download buffer: a lock and the name of the control's
// temporary folder, made when the control initialises and kept until it goes.
class TDownloadBuffer {
public:
    explicit TDownloadBuffer(std::string folder) : FFolder(std::move(folder)) {}
    TDownloadBuffer(const TDownloadBuffer&) = delete;
    TDownloadBuffer& operator=(const TDownloadBuffer&) = delete;

    const std::string& Folder() const { return FFolder; }
    std::mutex& Lock() { return FLock; }

private:
    std::mutex FLock;
    std::string FFolder;
};

// The downloader of a network recording's thumbnails: "nails.xml" from the
// directory URL into the folder, then every picture it names into the
// folder's "nails" subfolder; when at least one picture arrived, posts
// doneMsg(0, doneTag) to the window, which then loads the strip from the
// folder on its own thread. Normal priority.
class TDownload {
public:
    TDownload(const std::string& directoryUrl, const std::string& folder, HWND window, UINT doneMsg,
              LPARAM doneTag);
    // Closes the handles in use from this thread (a stalled transfer ends at
    // once) and waits at most kDownloadEndWaitMs for the thread.
    ~TDownload();
    TDownload(const TDownload&) = delete;
    TDownload& operator=(const TDownload&) = delete;

    int Downloaded() const;
    bool Finished() const;

private:
    struct TState;
    static DWORD WINAPI ThreadProc(void* param);
    static void Run(TState& state);

    std::shared_ptr<TState> FState;
    HANDLE FThread = nullptr;
};

} // namespace qov
