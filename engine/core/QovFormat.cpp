#include "QovFormat.h"

#include <cstring>

namespace qov {

bool IsQovMagic(const void* header)
{
    const auto* b = static_cast<const uint8_t*>(header);
    return b != nullptr && b[0] == 0x41 && b[1] == 0x56;
}

bool IsKnownVersion(uint16_t version)
{
    return version == kVersion0000 || version == kVersion0100 || version == kVersion0101;
}

uint32_t IndexEntrySize(uint16_t version)
{
    switch (version) {
    case kVersion0000:
    case kVersion0100:
        return sizeof(IndexEntryV1);
    case kVersion0101:
        return sizeof(IndexEntryV2);
    default:
        return 0;
    }
}

const char* EngineErrorText(int code)
{
    static const char* const texts[] = {
        "",
        "屏幕流文件被破坏",
        "屏幕流文件没有索引信息",
        "无法与目标计算机建立网络连接",
        "拒绝提供直播服务",
        "屏幕流文件被破坏",
        "发生未知错误，请看错误日志文件",
        "发生网络错误",
        "无效的 URL",
        "无效的多播格式文件",
        "无效的文件格式",
        "重定位失败",
        "解析计算机地址失败",
        "屏幕流索引表无效",
        "QovPlayer 需要升级",
        "读文件失败",
    };
    if (code < 1 || code > 15)
        return "";
    return texts[code];
}

EngineErrorCode ReadRecordingHeader(const void* data, size_t size, RecordingHeader* header)
{
    if (data == nullptr || size < sizeof(RecordingHeader))
        return ecReadFailed;
    std::memcpy(header, data, sizeof(RecordingHeader));
    return ecNone;
}

EngineErrorCode CheckRecordingHeader(const RecordingHeader& header)
{
    if (!IsQovMagic(header.Magic))
        return ecFileDamaged;
    if (!IsKnownVersion(header.Version))
        return ecNeedUpgrade;
    if (header.IndexOffset <= 0)
        return ecNoIndex;
    return ecNone;
}

EngineErrorCode ReadIndexHead(const void* data, size_t size, IndexHead* head)
{
    if (data == nullptr || size < sizeof(IndexHead))
        return ecReadFailed;
    std::memcpy(head, data, sizeof(IndexHead));
    return ecNone;
}

EngineErrorCode CheckIndexHead(const IndexHead& head)
{
    if (head.Count == 0 || head.Zero[0] != 0 || head.Zero[1] != 0 || head.Zero[2] != 0)
        return ecInvalidIndex;
    return ecNone;
}

EngineErrorCode IndexTableBytes(uint16_t version, uint32_t count, uint64_t* bytes)
{
    *bytes = 0;
    const uint32_t entrySize = IndexEntrySize(version);
    if (entrySize == 0)
        return ecNeedUpgrade;
    const uint32_t limit = entrySize == sizeof(IndexEntryV1) ? kMaxIndexCountV1 : kMaxIndexCountV2;
    if (count > limit)
        return ecUnknown;
    *bytes = uint64_t(count) * entrySize;
    return ecNone;
}

EngineErrorCode DecodeIndexEntries(uint16_t version, const void* data, size_t size, uint32_t count,
                                   std::vector<IndexEntry>* entries)
{
    entries->clear();
    uint64_t bytes = 0;
    EngineErrorCode code = IndexTableBytes(version, count, &bytes);
    if (code != ecNone || size < bytes)
        return code != ecNone ? code : ecReadFailed;
    entries->reserve(count);
    return DecodeIndexEntries(version, data, size, count,
                              [entries](const IndexEntry& e) { entries->push_back(e); });
}

uint64_t CompleteFrameRecord(const void* data, size_t size, FrameHeader* header)
{
    if (data == nullptr || size < sizeof(FrameHeader))
        return 0;
    FrameHeader h;
    std::memcpy(&h, data, sizeof h);
    const uint64_t total = FrameRecordSize(h);
    if (uint64_t(size) < total)
        return 0;
    if (header != nullptr)
        *header = h;
    return total;
}

} // namespace qov
