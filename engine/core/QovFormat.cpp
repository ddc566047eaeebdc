#include "QovFormat.h"

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

} // namespace qov
