// The multicast source.
#include "UnitMulticast.h"

#include <iphlpapi.h>
#include <mmsystem.h>

#include <cstring>

#include "EngineUtils.h"
#include "UnitLog.h"
#include "UnitQovClient.h"

namespace qov {

const char* const kMulticastReadFailure = "TQovMulticastStream.HandleRead raise exception :";

namespace {

// Pause of the read loop when no receiver has a block.
constexpr DWORD kIdleWaitMs = 10;

std::string ReadIniValue(const std::string& file, const char* key)
{
    char value[1024] = {};
    GetPrivateProfileStringA("Address", key, "", value, sizeof value, file.c_str());
    return value;
}

// An INI path without a folder would be looked for in the Windows folder.
std::string FullPath(const std::string& path)
{
    char full[MAX_PATH * 2] = {};
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return (n > 0 && n < sizeof full) ? std::string(full, n) : path;
}

} // namespace

std::vector<std::string> EnumInterfaces()
{
    ULONG size = 0;
    if (GetIpAddrTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return {};
    std::vector<uint8_t> buffer(size);
    auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(buffer.data());
    if (GetIpAddrTable(table, &size, FALSE) != NO_ERROR)
        return {};
    std::vector<TAddressRow> rows;
    for (DWORD i = 0; i < table->dwNumEntries; ++i)
        rows.push_back({table->table[i].dwAddr, table->table[i].dwIndex});
    return SelectInterfaces(rows);
}

TQovMulticastStream::TQovMulticastStream(PlaybackContext* context)
    : TQovMulticastStream(context, EnumInterfaces())
{
}

TQovMulticastStream::TQovMulticastStream(PlaybackContext* context, const std::vector<std::string>& interfaces)
    : TReadThread(context), FInterfaces(interfaces)
{
    if (FInterfaces.size() > kCastMaxInterfaces)
        FInterfaces.resize(kCastMaxInterfaces);
    FDataEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    try {
        for (size_t i = 0; i < FInterfaces.size(); ++i) {
            FReceivers.push_back(std::make_unique<TReceiveThread>());
            FReceivers.back()->SetDataEvent(FDataEvent);
        }
    } catch (...) {
        // A receiver that cannot be made fails the source; the ones made so
        // far end before the event they set is closed.
        FReceivers.clear();
        if (FDataEvent)
            CloseHandle(FDataEvent);
        throw;
    }
}

TQovMulticastStream::~TQovMulticastStream()
{
    // The handlers use the receivers: the thread ends first.
    EndThread();
    FReceivers.clear();
    if (FDataEvent)
        CloseHandle(FDataEvent);
}

void TQovMulticastStream::StartReceivers()
{
    for (auto& receiver : FReceivers)
        receiver->StartReceiving();
}

void TQovMulticastStream::StopReceivers()
{
    for (auto& receiver : FReceivers)
        receiver->StopReceiving();
}

void TQovMulticastStream::HandleOpen()
{
    SetKind(skMulticast);
    // Nothing of an earlier open carries over: blocks still queued when it
    // stopped, and the ids remembered against repeats (a sender that starts
    // again numbers its blocks from the start).
    for (auto& receiver : FReceivers)
        receiver->ClearQueue();
    FDeduper.Clear();
    FNext = 0;
    const std::string file = FullPath(Locator());
    std::string group;
    uint16_t port = 0;
    if (!ParseChannelValues(ReadIniValue(file, "ip"), ReadIniValue(file, "port"), &group, &port)) {
        ReportStatus(ecInvalidMulticastFile);
        return;
    }
    for (size_t i = 0; i < FReceivers.size(); ++i) {
        FReceivers[i]->SetInterface(FInterfaces[i]);
        FReceivers[i]->SetGroup(group);
        FReceivers[i]->SetPort(port);
        FReceivers[i]->StartReceiving();
    }
    SetStreamState(1);  // awaiting the first key frame
    Read(-1);
}

void TQovMulticastStream::HandleRead(int32_t target)
{
    try {
        ReadBlocks(target);
    } catch (const std::exception& e) {
        Log().AddLine(std::string(kMulticastReadFailure) + e.what());
        ReportStatus(ecFileDamaged);
    }
}

void TQovMulticastStream::ReadBlocks(int32_t target)
{
    if (FReceivers.empty())
        throw Exception("No network interface to receive the channel on");
    bool shown = false;
    size_t idleTurns = 0;
    while (!MessageWaiting()) {
        const size_t from = FNext;
        TReceiveThread* receiver = FReceivers[from].get();
        FNext = (FNext + 1) % FReceivers.size();
        TCastBlock block;
        if (!receiver->PopBlock(&block)) {
            // Sleep only once no receiver has a block (a message ends it).
            if (++idleTurns >= FReceivers.size()) {
                idleTurns = 0;
                bool working = false;
                for (const auto& r : FReceivers)
                    working = working || !r->Failed();
                if (!working)
                    throw Exception("No receiver is left to receive the channel on");
                // At most the pause, cut short by a queued block or a message.
                HANDLE event = FDataEvent;
                MsgWaitForMultipleObjectsEx(event ? 1 : 0, event ? &event : nullptr, kIdleWaitMs,
                                            QS_ALLPOSTMESSAGE, MWMO_INPUTAVAILABLE);
            }
            continue;
        }
        idleTurns = 0;
        // A block that cannot be taken costs that block alone: the channel
        // goes on (an open goes on waiting for a key frame that decodes).
        try {
            TakeBlock(from, std::move(block), target, shown);
        } catch (const std::exception& e) {
            Log().AddLine(std::string(kMulticastReadFailure) + e.what());
        }
    }
}

void TQovMulticastStream::TakeBlock(size_t receiver, TCastBlock block, int32_t target, bool& shown)
{
    // The same datagrams received on two interfaces give the block twice.
    if (FDeduper.Seen(receiver, block.Id, block.Data.get(), block.Length, timeGetTime())) {
        FRepeated.fetch_add(1);
        return;
    }
    FrameHeader header;
    std::memcpy(&header, block.Data.get(), sizeof header);
    AddToMeter(FrameRecordSize(header));  // payload length + 28; bytes after the record are not its
    const bool key = header.Kind == fkKeyFrame;
    if (StreamState() != 1) {
        const int32_t index = FContext->Frames->AddFrame(std::move(block.Data));
        if (target >= 0 && header.Time >= static_cast<uint32_t>(target) && !shown) {
            shown = true;
            PostToPlayer(WM_ENGINE_SHOW, static_cast<WPARAM>(index));
        }
        if (key)
            FContext->Index->AddEntry(header.Time, true, 0);
    } else if (key) {
        int width = 0, height = 0;
        GetKeyFrameSize(block.Data.get(), &width, &height);
        // Nothing of an earlier recording's header (its duration) may act
        // on the channel.
        std::memset(&FContext->Header, 0, sizeof FContext->Header);
        FContext->Header.Width = static_cast<uint16_t>(width);
        FContext->Header.Height = static_cast<uint16_t>(height);
        FContext->Frames->AddFrame(std::move(block.Data));
        FContext->Index->AddEntry(header.Time, true, 0);
        SetStreamState(2);
        if (FContext->Window)
            PostMessageA(FContext->Window, WM_ENGINE_OPENED, 0, 0);
    }
    // Other frames before the first key frame are dropped with the block.
}

void TQovMulticastStream::HandleSeek(int32_t ms)
{
    if (ms < 0)
        throw ERangeError("Range check error");
    Read(ms);
}

void TQovMulticastStream::HandleStop()
{
    // The message loop acknowledges the stop once this returns.
    StopReceivers();
}

} // namespace qov
