// A multicast receiver thread: joins a multicast group on one local
// interface, receives the channel's datagrams, reassembles them into blocks
// (each one frame record) and queues the complete blocks for the multicast
// source, which takes them with PopBlock.
//
// The source drives it with two synchronous hand-shakes: StartReceiving
// (WM_CAST_START) and StopReceiving (WM_CAST_STOP), each answered through the
// receiver's own event. While receiving, the thread waits on its socket and
// its message queue together, so any queued message ends the receive loop
// at once.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "MulticastBlocks.h"
#include "UnitQovCore.h"

namespace qov {

// Caption of the box that shows a receiver's socket failure.
extern const char* const kReceiveErrorCaption;  // "UnitRecieve"

class TReceiveThread : public TThread {
public:
    // Starts the socket library (version 1.1), the thread (time-critical
    // priority) and sets the defaults: group 238.0.0.1, port 6000, any
    // interface.
    TReceiveThread();
    // Ends the thread, frees the queued blocks, closes the socket.
    ~TReceiveThread() override;

    void SetGroup(const std::string& group);
    void SetPort(uint16_t port);
    // Local interface address (dotted); empty = any.
    void SetInterface(const std::string& address);
    std::string Group() const;
    uint16_t Port() const;
    std::string Interface() const;

    // Posts WM_CAST_START and waits until the thread has answered (at once
    // when the thread has ended).
    void StartReceiving();
    // Posts WM_CAST_STOP and waits for the answer; the thread drops the block
    // being reassembled.
    void StopReceiving();

    // The oldest queued block; false when none waits.
    bool PopBlock(TCastBlock* block);
    // Queues a block; a queue of 2000 blocks first frees its oldest.
    void PushBlock(TCastBlock block);
    void ClearQueue();
    size_t QueuedBlocks();

    // An event the receiver sets whenever it queues a block (not owned; may
    // be null), so that the source need not wait out its pause.
    void SetDataEvent(HANDLE event) { FDataEvent.store(event); }

    bool Receiving() const { return FReceiving.load(); }
    // True once a socket failure ended receiving, until the next start or stop.
    bool Failed() const { return FFailed.load(); }
    // Blocks lost because another block's packets came in between (one beep
    // each), and blocks dropped as malformed, since creation.
    uint32_t DroppedBlocks() const { return FDroppedBlocks.load(); }
    uint32_t MalformedBlocks() const { return FMalformedBlocks.load(); }

protected:
    void Execute() override;

private:
    void ReceiveLoop();
    void JoinGroup();
    void CloseSocket();
    // Closes the events and releases the socket library.
    void FreeResources();
    // Reports a socket failure: the daily log and a warning box shown from a
    // thread of its own, so that this thread keeps answering its hand-shakes.
    void ReportFailure(const std::string& text);
    void Answer() { SetEvent(FEvent); }
    void Request(UINT msg);

    HANDLE FEvent = nullptr;  // answers start and stop requests; this receiver's own
    mutable std::mutex FConfigLock;
    std::string FGroup = kCastDefaultGroup;
    uint16_t FPort = kCastDefaultPort;
    std::string FInterface;

    TBlockAssembler FAssembler;  // partial blocks: this thread's alone
    TBlockQueue FQueue;
    std::atomic<bool> FReceiving{false};
    std::atomic<bool> FFailed{false};
    std::atomic<HANDLE> FDataEvent{nullptr};
    SOCKET FSocket = INVALID_SOCKET;
    HANDLE FNetEvent = nullptr;
    bool FWinsock = false;
    std::mutex FRequestLock;  // one hand-shake at a time
    std::atomic<uint32_t> FDroppedBlocks{0};
    std::atomic<uint32_t> FMalformedBlocks{0};
};

} // namespace qov
