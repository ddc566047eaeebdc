// The live broadcast client: the source thread that receives a live screen
// broadcast over one TCP connection (locators "QOVS://host[:port]/channel").
//
// It connects, logs in to the channel, asks the service to start and then
// hands every message it receives to a virtual notification: frames to
// DoSample (the first key frame also to DoStreamHeader with the picture's
// size), index, script and string texts to DoIndex, DoScript and DoString,
// failures as status codes to DoError. The control's subclass turns them into
// frame-store entries, window messages and events.
//
// Everything touching the socket runs on the client's own thread, including
// closing it. Every wait of the thread (name lookup, connect, login dialogue,
// streaming) also watches the thread's message queue, so a stop posted from
// another thread is served at once; a stop during an open ends the open
// without reporting anything.
//
// A subclass that overrides the notifications ends the thread first in its
// destructor (Stop, then EndThread), as the client itself does.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "LiveProtocol.h"
#include "UnitQovCore.h"

namespace qov {

// Width and height of a key frame's picture: decodes the record's payload
// into the decoder's shared output buffer (holding the output lock) and
// reads the image's width at byte 18 and the absolute value of its height at
// byte 22. Raises ERangeError when either is 65536 or more, the decoder's
// failures as they come, and Exception when nothing usable was decoded.
void GetKeyFrameSize(const uint8_t* record, int* width, int* height);

// Stream states of a live source (TReadThread::StreamState).
enum TLiveStreamState : uint8_t {
    lsNone = 0,
    lsAwaitingKey = 1,
    lsStreaming = 2,
};

class TQovClient : public TReadThread {
public:
    explicit TQovClient(PlaybackContext* context);
    ~TQovClient() override;

    // Stops the reader (TReadThread::Stop). The reader closes its socket
    // itself when it handles the stop; a stop during a name lookup, a
    // connect or the login returns as soon as the reader sees it.
    void Stop() override;

    // The login reply's descriptive fields (kept across reconnects: only
    // non-empty values replace them).
    std::string Title() const;
    std::string Author() const;
    std::string Copyright() const;
    std::string Description() const;
    // The whole login reply (name=value lines).
    std::string ReplyText() const;
    // Where the client connects: from the locator and the name lookup.
    std::string Host() const;
    std::string Channel() const;
    std::string IP() const;
    uint16_t Port() const;

    // Copy of the last key-frame record received (28 + payload bytes);
    // false (and out cleared) when none has come yet.
    bool CopyKeyFrame(std::vector<uint8_t>* out) const;
    // Whether the last frame DoSample saw was a key frame.
    bool LastFrameIsKey() const;

protected:
    void HandleOpen() override;
    void HandleRead(int32_t target) override;
    void HandleSeek(int32_t ms) override;
    void HandleStop() override;
    void HandleSendText(const MSG& msg) override;

    // Notifications, raised on the client's thread. DoStreamHeader takes the
    // reply's descriptive fields; DoSample keeps the key-frame copy (the
    // record stays valid only during the call); the others do nothing here.
    void DoStreamHeader(int width, int height) override;
    void DoError(int code) override;
    void DoSample(const uint8_t* record) override;
    void DoIndex(const std::string& text) override;
    void DoScript(const std::string& text) override;
    void DoString(const std::string& text) override;

    // The protocol's steps (all on the client's thread). ReadExact and
    // SendMessageText raise Exception with the system's texts; a stop or quit
    // seen while they wait raises ELiveAborted.
    void ReadExact(void* buffer, uint32_t n);
    void SendMessageText(const std::string& text);
    std::string ReceiveMessageText();
    int ConnectServer();
    int PerformLogin();
    int SendStart();
    void CloseSocket();
    // Readable / writable now (a select that does not wait); raises on a
    // select failure.
    bool WaitReadable();
    bool WaitWritable();

private:
    enum TWaitKind { wkSocket, wkTimeout };
    // Waits for the socket's network event (or handle) for at most ms,
    // watching the queue: a queued stop or quit raises ELiveAborted; queued
    // read requests are taken out (the read that follows the open serves
    // them); other messages stay queued for the loop.
    TWaitKind WaitDuringDialogue(HANDLE handle, DWORD ms);
    // Resolves the host on a helper thread while watching the queue.
    bool ResolveHost(const std::string& host, std::string* ip);
    void SendAll(const char* data, uint32_t n);
    void ResetNetworkEvent();
    // Handles one complete message of the stream.
    void DispatchMessage(const LiveMessage& message);

    SOCKET FSocket = INVALID_SOCKET;
    HANDLE FNetEvent = nullptr;  // the socket's network events (WSAEventSelect)
    bool FWinsock = false;

    mutable std::mutex FInfoLock;  // the strings and port below
    std::string FReplyText;
    std::string FChannel;
    LiveStreamInfo FInfo;
    std::string FHost;
    std::string FIP;
    uint16_t FPort = kLiveDefaultPort;

    mutable CRITICAL_SECTION FKeyLock;  // the key copy
    uint8_t* FKeyCopy = nullptr;
    uint32_t FKeyCapacity = 0;
    uint32_t FKeyLength = 0;
    bool FLastFrameIsKey = false;
};

} // namespace qov
