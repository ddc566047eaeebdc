// The live broadcast protocol over TCP: message heads, the login dialogue's
// texts and the framing of the byte stream a live source receives.
//
// A message in either direction is an 8-byte head (type, 3 unused bytes,
// 32-bit little-endian payload length L) followed by L payload bytes. A frame
// message (type 0) carries one frame record: a 28-byte FrameHeader and its
// payload. Text messages carry the text's bytes without a terminator.
//
// Nothing here does I/O; the live source (UnitQovClient) feeds received bytes
// through ProcessReceived and sends what BuildTextMessage builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "QovFormat.h"
#include "SysUtils.h"

namespace qov {

#pragma pack(push, 1)
struct LiveMessageHead {
    uint8_t Type;       // LiveMessageType
    uint8_t Unused[3];  // neither written nor read
    uint32_t Length;    // payload bytes after the head
};
#pragma pack(pop)
static_assert(sizeof(LiveMessageHead) == 8, "LiveMessageHead is 8 bytes");
static_assert(offsetof(LiveMessageHead, Length) == 4, "LiveMessageHead's length follows the type and 3 bytes");

enum LiveMessageType : uint8_t {
    lmFrame = 0,   // one frame record
    lmIndex = 1,   // index text
    lmString = 2,  // string text (the only type the client sends)
    lmScript = 3,  // script text
};

constexpr uint32_t kLiveHeadSize = sizeof(LiveMessageHead);
constexpr uint16_t kLiveDefaultPort = 1804;
// Longest text the client sends.
constexpr uint32_t kLiveMaxSendText = 32768;
// Largest chunk taken from the socket at once.
constexpr uint32_t kLiveReceiveChunk = 32768;
// Interval of the keep-alive text while nothing arrives.
constexpr uint32_t kLiveNoopInterval = 200;

// Largest message the client accepts, of any type: one frame record whose
// picture decodes into the decoder's 10 MiB output buffer. The service may
// send longer texts than the client may (32 KB); whatever cannot be held is
// a protocol failure (network error, code 7).
constexpr uint32_t kLiveMaxMessage = kPictureBlockSize + kFrameHeaderSize;  // 0xA00000 + 28

// Largest payload a message of this type may announce.
constexpr uint32_t LiveMaxPayload(uint8_t /*type*/)
{
    return kLiveMaxMessage;
}

// What the framer found wrong with the stream.
enum class LiveStreamError {
    None,
    Oversized,  // a head announces more than LiveMaxPayload of its type
    BadFrame,   // a frame message shorter than 28 bytes, or than 28 + the
                // FrameHeader's length
};

// One complete message, valid only during the dispatch call.
struct LiveMessage {
    uint8_t Type;
    const uint8_t* Payload;  // L bytes
    uint32_t Length;         // L
};

// The payload of a frame message starts with a whole frame record; bytes
// after it are skipped.
LiveStreamError CheckFrameMessage(const uint8_t* payload, uint32_t length);

// The login text: "Login", "Channel=<channel>", "ComputerName=<computer>" and
// the extra login text, each line ended by CR LF (an empty extra text gives
// an empty last line).
std::string BuildLoginText(const std::string& channel, const std::string& computerName,
                           const std::string& extra);

// A type-2 message of L + 8 bytes holding text. Raises EAssertionFailed for
// an empty text and qov::Exception "字符串长度不能超过 32K" for one longer than
// 32768 bytes.
std::string BuildTextMessage(const std::string& text);

// Value of name in a reply of name=value lines (CR LF, LF or CR breaks). The
// name is the part of a line before its first '=' and is matched without
// regard to ASCII letter case; the first matching line wins. Returns false
// (and clears *value) when no line matches.
bool FindReplyValue(const std::string& reply, const std::string& name, std::string* value);

// True when the reply's "Permission" value is exactly "False".
bool IsLoginRefused(const std::string& reply);

// The descriptive fields of a live stream.
struct LiveStreamInfo {
    std::string Title;
    std::string Author;
    std::string Copyright;
    std::string Description;
};

// Each of "Title", "Author", "Copyright" and "Description" whose value in the
// reply is not empty replaces the field in info.
void ApplyReplyInfo(const std::string& reply, LiveStreamInfo* info);

// Removes leading and trailing characters up to the blank (control
// characters and blanks).
std::string TrimBlanks(const std::string& s);

// Host and channel of a live locator from the host name and URL path that
// the locator splits into: host trimmed; channel = path without its first
// character (the slash), trimmed.
void LiveTargetFromParts(const std::string& hostName, const std::string& urlPath, std::string* host,
                         std::string* channel);

// ---------------------------------------------------------------------------
// Framing. The receive buffer is one heap block (data, capacity) of which the
// first `used` bytes are waiting. After every receive the live source calls
// ProcessReceived, which
//   1. checks the head of the message at the buffer's start (when 8 bytes are
//      there): an oversized length is an error; when the capacity is below
//      L + 8 the block is reallocated to exactly L + 8 bytes (it never
//      shrinks);
//   2. dispatches every complete message in order through sink(LiveMessage);
//      a frame message is checked first (CheckFrameMessage) and handed on as
//      its frame record alone (Length = 28 + the record's length);
//   3. moves the bytes of an incomplete message to the buffer's start and
//      applies step 1 to it.
// After an error the buffer's contents are undefined and the stream must be
// dropped. grow(data, newCapacity) returns the reallocated block (or raises).
// ---------------------------------------------------------------------------

inline LiveMessageHead ReadLiveHead(const uint8_t* p)
{
    LiveMessageHead head;
    std::memcpy(&head, p, sizeof head);
    return head;
}

template <typename Grow>
LiveStreamError PrepareFrontMessage(uint8_t*& data, uint32_t& capacity, uint32_t used, Grow&& grow)
{
    if (used < kLiveHeadSize)
        return LiveStreamError::None;
    const LiveMessageHead head = ReadLiveHead(data);
    if (head.Length > LiveMaxPayload(head.Type))
        return LiveStreamError::Oversized;
    const uint32_t need = head.Length + kLiveHeadSize;  // cannot wrap: bounded above
    if (capacity < need) {
        data = grow(data, need);
        capacity = need;
    }
    return LiveStreamError::None;
}

template <typename Grow, typename Sink>
LiveStreamError ProcessReceived(uint8_t*& data, uint32_t& capacity, uint32_t& used, Grow&& grow,
                                Sink&& sink)
{
    LiveStreamError err = PrepareFrontMessage(data, capacity, used, grow);
    if (err != LiveStreamError::None)
        return err;
    uint32_t pos = 0;
    while (used - pos >= kLiveHeadSize) {
        const LiveMessageHead head = ReadLiveHead(data + pos);
        if (head.Length > LiveMaxPayload(head.Type))
            return LiveStreamError::Oversized;
        if (used - pos - kLiveHeadSize < head.Length)
            break;  // incomplete
        const uint8_t* payload = data + pos + kLiveHeadSize;
        uint32_t length = head.Length;
        if (head.Type == lmFrame) {
            err = CheckFrameMessage(payload, head.Length);
            if (err != LiveStreamError::None)
                return err;
            FrameHeader record;
            std::memcpy(&record, payload, sizeof record);
            length = static_cast<uint32_t>(FrameRecordSize(record));  // at most head.Length
        }
        pos += kLiveHeadSize + head.Length;
        sink(LiveMessage{head.Type, payload, length});
    }
    if (pos > 0) {
        std::memmove(data, data + pos, used - pos);
        used -= pos;
    }
    return PrepareFrontMessage(data, capacity, used, grow);
}

} // namespace qov
