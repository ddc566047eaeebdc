#include "LiveProtocol.h"

namespace qov {

LiveStreamError CheckFrameMessage(const uint8_t* payload, uint32_t length)
{
    if (length < kFrameHeaderSize)
        return LiveStreamError::BadFrame;
    FrameHeader header;
    std::memcpy(&header, payload, sizeof header);
    if (FrameRecordSize(header) > length)
        return LiveStreamError::BadFrame;
    return LiveStreamError::None;
}

std::string BuildLoginText(const std::string& channel, const std::string& computerName,
                           const std::string& extra)
{
    std::string text = "Login\r\n";
    text += "Channel=" + channel + "\r\n";
    text += "ComputerName=" + computerName + "\r\n";
    text += extra + "\r\n";
    return text;
}

std::string BuildTextMessage(const std::string& text)
{
    QOV_ASSERT(!text.empty());
    if (text.size() > kLiveMaxSendText)
        throw Exception("字符串长度不能超过 32K");
    LiveMessageHead head{};
    head.Type = lmString;
    head.Length = static_cast<uint32_t>(text.size());
    std::string block(reinterpret_cast<const char*>(&head), sizeof head);
    block += text;
    return block;
}

namespace {

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool SameTextAscii(const char* a, size_t na, const std::string& b)
{
    if (na != b.size())
        return false;
    for (size_t i = 0; i < na; ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    return true;
}

} // namespace

bool FindReplyValue(const std::string& reply, const std::string& name, std::string* value)
{
    value->clear();
    size_t start = 0;
    const size_t n = reply.size();
    while (start < n) {
        size_t end = start;
        while (end < n && reply[end] != '\r' && reply[end] != '\n')
            ++end;
        const char* line = reply.data() + start;
        const size_t len = end - start;
        const void* eq = std::memchr(line, '=', len);
        if (eq != nullptr) {
            const size_t nameLen = static_cast<const char*>(eq) - line;
            if (SameTextAscii(line, nameLen, name)) {
                value->assign(line + nameLen + 1, len - nameLen - 1);
                return true;
            }
        }
        // One line break: CR LF, LF or CR.
        if (end < n && reply[end] == '\r' && end + 1 < n && reply[end + 1] == '\n')
            start = end + 2;
        else
            start = end + 1;
    }
    return false;
}

bool IsLoginRefused(const std::string& reply)
{
    std::string value;
    return FindReplyValue(reply, "Permission", &value) && value == "False";
}

void ApplyReplyInfo(const std::string& reply, LiveStreamInfo* info)
{
    std::string value;
    if (FindReplyValue(reply, "Title", &value) && !value.empty())
        info->Title = value;
    if (FindReplyValue(reply, "Author", &value) && !value.empty())
        info->Author = value;
    if (FindReplyValue(reply, "Copyright", &value) && !value.empty())
        info->Copyright = value;
    if (FindReplyValue(reply, "Description", &value) && !value.empty())
        info->Description = value;
}

std::string TrimBlanks(const std::string& s)
{
    return Trim(s);
}

void LiveTargetFromParts(const std::string& hostName, const std::string& urlPath, std::string* host,
                         std::string* channel)
{
    *host = TrimBlanks(hostName);
    *channel = TrimBlanks(urlPath.empty() ? std::string() : urlPath.substr(1));
}

} // namespace qov
