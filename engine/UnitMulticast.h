// The multicast source: plays a channel announced by a channel file (INI
// form, section "Address", keys "ip" and "port"). It runs one receiver
// thread per local network interface (at most 4) and moves the frame records
// they reassemble into the frame store; the first key frame gives the
// picture's size and opens the recording (WM_ENGINE_OPENED with 0).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "MulticastBlocks.h"
#include "UnitQovCore.h"
#include "UnitReceive.h"

namespace qov {

// Text in front of the message of a failure of the read loop in the daily log.
extern const char* const kMulticastReadFailure;

// The machine's local IPv4 addresses to receive on (GetIpAddrTable, rules of
// SelectInterfaces); empty when the table cannot be read.
std::vector<std::string> EnumInterfaces();

class TQovMulticastStream : public TReadThread {
public:
    // Lists the interfaces and starts one receiver for each.
    explicit TQovMulticastStream(PlaybackContext* context);
    // Interfaces given by the caller instead of the machine's table.
    TQovMulticastStream(PlaybackContext* context, const std::vector<std::string>& interfaces);
    ~TQovMulticastStream() override;

    const std::vector<std::string>& Interfaces() const { return FInterfaces; }
    size_t ReceiverCount() const { return FReceivers.size(); }
    TReceiveThread* Receiver(size_t i) const { return FReceivers[i].get(); }
    // Blocks taken from the receivers that were the same as one already
    // taken (received on two interfaces).
    uint32_t RepeatedBlocks() const { return FRepeated.load(); }

protected:
    void HandleOpen() override;
    void HandleRead(int32_t target) override;
    void HandleSeek(int32_t ms) override;
    void HandleStop() override;

private:
    void StartReceivers();
    void StopReceivers();
    void ReadBlocks(int32_t target);
    // Takes one block delivered by receiver i (frame store, index, open).
    void TakeBlock(size_t receiver, TCastBlock block, int32_t target, bool& shown);

    std::vector<std::string> FInterfaces;
    std::vector<std::unique_ptr<TReceiveThread>> FReceivers;
    size_t FNext = 0;  // receiver polled next
    TBlockDeduper FDeduper;
    std::atomic<uint32_t> FRepeated{0};
    HANDLE FDataEvent = nullptr;  // set by a receiver that queued a block
};

} // namespace qov
