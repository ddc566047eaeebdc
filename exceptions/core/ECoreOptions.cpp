#include "ECoreOptions.h"

#include <algorithm>
#include <cstring>

#include "ECoreText.h"
#include "SysUtils.h"

namespace qov::exceptions {

const char* const DefaultSmtpSender = "qovplayer.report@localhost";

// ---- streams ----------------------------------------------------------------

uint32_t TOptionsMemoryStream::Read(void* buffer, uint32_t count)
{
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, Remaining()));
    if (n)
        std::memcpy(buffer, FBytes.data() + FPosition, n);
    FPosition += n;
    return n;
}

uint32_t TOptionsMemoryStream::Write(const void* buffer, uint32_t count)
{
    FBytes.append(static_cast<const char*>(buffer), count);
    FPosition = FBytes.size();
    return count;
}

uint32_t TOptionsReadStream::Read(void* buffer, uint32_t count)
{
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, Remaining()));
    if (n)
        std::memcpy(buffer, FData + FPosition, n);
    FPosition += n;
    return n;
}

void TOptionsStringList::Add(std::string text)
{
    FItems.push_back(std::move(text));
    Changed();
}

void TOptionsStringList::Clear()
{
    FItems.clear();
    Changed();
}

void TOptionsStringList::Assign(const TOptionsStringList& source)
{
    if (&source != this)
        FItems = source.FItems;
    Changed();
}

// ---- stored form --------------------------------------------------------------

void WriteScrambledString(TOptionsStream& stream, const std::string& text)
{
    size_t length = text.size();
    if (length >= 2 && text.find("\r\n") == length - 2)
        length -= 2;
    std::string bytes = text.substr(0, length);
    for (char& c : bytes)
        c = static_cast<char>(c ^ OptionsTextKey);
    const uint32_t count = static_cast<uint32_t>(bytes.size());
    const uint8_t b[4] = {uint8_t(count), uint8_t(count >> 8), uint8_t(count >> 16), uint8_t(count >> 24)};
    stream.Write(b, 4);
    if (count)
        stream.Write(bytes.data(), count);
}

bool ReadScrambledString(TOptionsStream& stream, std::string& text)
{
    uint8_t b[4];
    if (stream.Remaining() < 4 || stream.Read(b, 4) != 4)
        return false;
    const int32_t count = static_cast<int32_t>(uint32_t(b[0]) | uint32_t(b[1]) << 8 |
                                               uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24);
    if (count <= 0) {
        text.clear();
        return true;
    }
    if (stream.Remaining() < static_cast<uint32_t>(count))
        return false;
    std::string bytes(static_cast<size_t>(count), '\0');
    if (stream.Read(bytes.data(), static_cast<uint32_t>(count)) != static_cast<uint32_t>(count))
        return false;
    for (char& c : bytes)
        c = static_cast<char>(c ^ OptionsTextKey);
    text = std::move(bytes);
    return true;
}

namespace {

class TOptionsWriter {
public:
    explicit TOptionsWriter(TOptionsStream& stream) : FStream(stream) {}

    void Byte(uint8_t v) { FStream.Write(&v, 1); }
    void Word(uint16_t v)
    {
        const uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)};
        FStream.Write(b, 2);
    }
    void Int(int32_t v)
    {
        const uint32_t u = static_cast<uint32_t>(v);
        const uint8_t b[4] = {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)};
        FStream.Write(b, 4);
    }
    void Text(const std::string& text) { WriteScrambledString(FStream, text); }

private:
    TOptionsStream& FStream;
};

// Reads fields until the data runs out; from then on every read fails and
// leaves its field as it was.
class TOptionsReader {
public:
    explicit TOptionsReader(TOptionsStream& stream) : FStream(stream) {}

    bool Ended() const { return FEnded; }

    bool Bytes(void* into, uint32_t count)
    {
        if (FEnded || FStream.Remaining() < count) {
            FEnded = true;
            return false;
        }
        if (FStream.Read(into, count) != count)
            FEnded = true;
        return !FEnded;
    }
    bool Byte(uint8_t& v) { return Bytes(&v, 1); }
    bool Word(uint16_t& v)
    {
        uint8_t b[2];
        if (!Bytes(b, 2))
            return false;
        v = static_cast<uint16_t>(b[0] | b[1] << 8);
        return true;
    }
    bool Int(int32_t& v)
    {
        uint8_t b[4];
        if (!Bytes(b, 4))
            return false;
        v = static_cast<int32_t>(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                                 uint32_t(b[3]) << 24);
        return true;
    }
    bool Text(std::string& v)
    {
        if (!FEnded && !ReadScrambledString(FStream, v))
            FEnded = true;
        return !FEnded;
    }

private:
    TOptionsStream& FStream;
    bool FEnded = false;
};

// Oldest options version whose stored form carries text i.
uint16_t TextSinceVersion(int i)
{
    switch (i) {
    case 12: case 13: case 21: case 27: case 46: case 47: case 48: case 89: case 94: case 95:
        return 500;
    case 8: case 9: case 10: case 11: case 18: case 19: case 20: case 26: case 41: case 52:
        return 450;
    case 16:
        return 421;
    case 17:
        return 420;
    }
    if ((i >= 54 && i <= 61) || (i >= 68 && i <= 74))
        return 500;
    if (i >= 75)
        return 450;
    return 0;
}

// Older layouts held 32 show bits in another order: the bits of items that
// were dropped or moved go, the rest close up; bits 32-39 of the record as it
// was move down behind them and the top nine bits are cleared.
void RepackOldMask(TSectionMask& mask)
{
    auto bit = [&](int n) { return (mask[n / 8] >> (n % 8)) & 1; };
    std::string text;
    for (int n = 0; n < 40; ++n)
        text += static_cast<char>('0' + bit(n));
    text.erase(4, 1);
    text.erase(19, 3);
    text.erase(23, 5);
    mask.fill(0);
    for (size_t k = 0; k < text.size(); ++k)
        if (text[k] == '1')
            mask[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
}

} // namespace

// ---- record -----------------------------------------------------------------------

TZephraModuleOptions::TZephraModuleOptions(const std::string& moduleFile, bool saveShared,
                                           TOwnModuleTest ownModuleTest)
    : FOwnModuleTest(ownModuleTest), FSaveShared(saveShared), FModuleFile(moduleFile)
{
    FFilterClasses.OnChange = [this] { NotifyChange(); };
    FFilterMessages.OnChange = [this] { NotifyChange(); };
    ResetToDefaults();
    FChangeDepth = 0;
}

TZephraModuleOptions::~TZephraModuleOptions()
{
    FFilterClasses.OnChange = nullptr;
    FFilterMessages.OnChange = nullptr;
}

void TZephraModuleOptions::NotifyChange()
{
    if (FChangeDepth <= 0 && FSaveShared && FOwnModuleTest && FOwnModuleTest(FModuleFile))
        OptionsChanged();
}

void TZephraModuleOptions::SetHandlerActive(bool value)
{
    FHandlerActive = value ? 1 : 0;
    NotifyChange();
}

void TZephraModuleOptions::SetFreezeCheck(bool value)
{
    FFreezeCheck = value ? 1 : 0;
    NotifyChange();
}

void TZephraModuleOptions::SetKeepReports(int32_t value)
{
    FKeepReports = value == 0 ? 1 : value;
    NotifyChange();
}

void TZephraModuleOptions::SetModuleFile(const std::string& value)
{
    FModuleFile = value;
    NotifyChange();
}

const std::string& TZephraModuleOptions::GetCustomText(int index) const
{
    static const std::string none;
    return index >= 0 && index < CustomTextCount ? FCustomTexts[static_cast<size_t>(index)] : none;
}

void TZephraModuleOptions::SetCustomText(int index, const std::string& text)
{
    if (index < 0 || index >= CustomTextCount)
        return;
    FCustomTexts[static_cast<size_t>(index)] = text;
    NotifyChange();
}

void TZephraModuleOptions::ResetToDefaults()
{
    BeginChange();
    for (int i = 0; i < CustomTextCount; ++i)
        FCustomTexts[static_cast<size_t>(i)] = DefaultTexts[i];
    FLogSwitch = 0;
    FHandleSwitch = 1;
    FLogFlags = 0x30;
    FAppendToLog = 0;
    FSaveLog = 1;
    FStartTab = 0;
    FFreezeCheck = 0;
    FFreezeSeconds = 60;
    FFreezeText = "The application seems to be frozen.";
    FSmtpSender = DefaultSmtpSender;
    FSmtpServer.clear();
    FSmtpPortNumber = 25;
    FSmtpUser.clear();
    FSmtpPass.clear();
    FTerminateMode = 1;
    FTerminateButtonShown = 1;
    FKeepReports = 32;
    FErrorsBeforeTerminate = 3;
    FMailTo.clear();
    FMailTitle.clear();
    FMailMode = 0;
    FSectionMask.fill(0xFF);
    FLogFolder.clear();
    FUploadMode = 0;
    FUploadAddress.clear();
    FUploadUser.clear();
    FUploadPass.clear();
    FUploadPortNumber = 0;
    FExtraFiles.clear();
    FSendFlags = 0x51;
    FDialogFlags = 0x1F;
    FDialogCloseSeconds = 0;
    FHelpPageAddress.clear();
    FHtmlTemplate = DefaultHtmlTemplate;
    FStackFlags = 0x0F;
    FBehaviourFlags = 0x30;
    FCrashAction = 1;
    FCrashCount = 10;
    FCrashMinutes = 1;
    FMailBody.clear();
    FHandlerActive = 1;
    EndChange();
    NotifyChange();
}

void TZephraModuleOptions::CopyOptions(const TZephraModuleOptions* source)
{
    if (!source)
        throw EConvertError("Impossible to assign nil as TZephraModuleOptions.");
    if (source == this)
        return;
    const TZephraModuleOptions& s = *source;
    BeginChange();
    try {
        FFilterClasses.Assign(s.FFilterClasses);
        FFilterMessages.Assign(s.FFilterMessages);
        for (int i = 0; i < CustomTextCount; ++i)
            SetCustomText(i, s.FCustomTexts[static_cast<size_t>(i)]);
        SetLogSwitch(s.FLogSwitch);
        SetHandleSwitch(s.FHandleSwitch);
        SetLogFlags(s.FLogFlags);
        SetAppendToLog(s.FAppendToLog);
        SetSaveLog(s.FSaveLog);
        SetStartTab(s.FStartTab);
        SetFreezeCheck(s.FFreezeCheck != 0);
        SetFreezeSeconds(s.FFreezeSeconds);
        SetFreezeText(s.FFreezeText);
        SetSmtpSender(s.FSmtpSender);
        SetSmtpServer(s.FSmtpServer);
        SetSmtpPortNumber(s.FSmtpPortNumber);
        SetSmtpUser(s.FSmtpUser);
        SetSmtpPass(s.FSmtpPass);
        SetTerminateMode(s.FTerminateMode);
        SetTerminateButtonShown(s.FTerminateButtonShown);
        SetKeepReports(s.FKeepReports);
        SetErrorsBeforeTerminate(s.FErrorsBeforeTerminate);
        SetMailTo(s.FMailTo);
        SetMailTitle(s.FMailTitle);
        SetMailMode(s.FMailMode);
        SetSectionMask(s.FSectionMask);
        SetLogFolder(s.FLogFolder);
        SetUploadMode(s.FUploadMode);
        SetUploadAddress(s.FUploadAddress);
        SetUploadUser(s.FUploadUser);
        SetUploadPass(s.FUploadPass);
        SetUploadPortNumber(s.FUploadPortNumber);
        SetExtraFiles(s.FExtraFiles);
        SetSendFlags(s.FSendFlags);
        SetDialogFlags(s.FDialogFlags);
        SetDialogCloseSeconds(s.FDialogCloseSeconds);
        SetHelpPageAddress(s.FHelpPageAddress);
        SetHtmlTemplate(s.FHtmlTemplate);
        SetStackFlags(s.FStackFlags);
        SetBehaviourFlags(s.FBehaviourFlags);
        SetCrashAction(s.FCrashAction);
        SetCrashCount(s.FCrashCount);
        SetCrashMinutes(s.FCrashMinutes);
        SetMailBody(s.FMailBody);
    } catch (...) {
        EndChange();
        throw;
    }
    EndChange();
    NotifyChange();
}

void TZephraModuleOptions::WriteToStream(TOptionsStream& stream) const
{
    TOptionsWriter w(stream);
    w.Byte(FLogSwitch);
    w.Byte(FHandleSwitch);
    w.Byte(FLogFlags);
    w.Byte(FAppendToLog);
    w.Byte(FSaveLog);
    w.Byte(FStartTab);
    w.Byte(FFreezeCheck);
    w.Int(FFreezeSeconds);
    w.Text(FFreezeText);
    w.Text(FSmtpSender);
    w.Text(FSmtpServer);
    w.Word(FSmtpPortNumber);
    w.Text(FSmtpUser);
    w.Text(FSmtpPass);
    w.Byte(FTerminateMode);
    w.Byte(FTerminateButtonShown);
    w.Int(FKeepReports);
    w.Int(FErrorsBeforeTerminate);
    w.Text(FMailTo);
    w.Text(FMailTitle);
    w.Byte(FMailMode);
    stream.Write(FSectionMask.data(), static_cast<uint32_t>(FSectionMask.size()));
    w.Text(FLogFolder);
    w.Byte(FUploadMode);
    w.Text(FUploadAddress);
    w.Text(FUploadUser);
    w.Text(FUploadPass);
    w.Int(FUploadPortNumber);
    w.Text(FExtraFiles);
    w.Word(FSendFlags);
    w.Byte(FDialogFlags);
    w.Int(FDialogCloseSeconds);
    w.Text(FHelpPageAddress);
    w.Text(FHtmlTemplate);
    w.Byte(FStackFlags);
    w.Byte(FBehaviourFlags);
    w.Byte(FCrashAction);
    w.Int(FCrashCount);
    w.Int(FCrashMinutes);
    const int pairs = std::max(FFilterClasses.Count(), FFilterMessages.Count());
    w.Int(pairs);
    for (int i = 0; i < pairs; ++i) {
        w.Text(i < FFilterClasses.Count() ? FFilterClasses[i] : std::string());
        w.Text(i < FFilterMessages.Count() ? FFilterMessages[i] : std::string());
    }
    w.Text(FMailBody);
    for (const std::string& text : FCustomTexts)
        w.Text(text);
}

void TZephraModuleOptions::ReadFromStream(TOptionsStream& stream, uint16_t version)
{
    const unsigned v = version;
    TOptionsReader r(stream);
    uint8_t b = 0;
    // Older layouts kept single flags that are now bits of a flag field.
    auto dialogBit = [&](unsigned bit, bool on) {
        SetDialogFlags(static_cast<uint8_t>(on ? FDialogFlags | 1u << bit : FDialogFlags & ~(1u << bit)));
    };
    auto sendBit = [&](unsigned bit, bool on) {
        SetSendFlags(static_cast<uint16_t>(on ? FSendFlags | 1u << bit : FSendFlags & ~(1u << bit)));
    };

    BeginChange();
    try {
        r.Byte(FLogSwitch);
        r.Byte(FHandleSwitch);
        r.Byte(FLogFlags);
        if (v < 500 && r.Byte(b)) {
            if (v < 450)
                b ^= 1;
            dialogBit(0, b != 0);
        }
        r.Byte(FAppendToLog);
        if (v >= 450 && v < 500) {
            for (unsigned bit : {2u, 4u, 0u})
                if (r.Byte(b))
                    sendBit(bit, b != 0);
        }
        if (v >= 401) {
            r.Byte(FSaveLog);
            r.Byte(FStartTab);
        }
        if (v >= 403 && v < 500 && r.Byte(b))
            dialogBit(7, b != 0);
        if (v >= 420) {
            r.Byte(FFreezeCheck);
            int32_t seconds = 0;
            if (r.Int(seconds))
                FFreezeSeconds = v < 422 ? seconds / 1000 : seconds;
            r.Text(FFreezeText);
            if (v >= 450)
                r.Text(FSmtpSender);
            r.Text(FSmtpServer);
        }
        if (v >= 450)
            r.Word(FSmtpPortNumber);
        if (v >= 421) {
            r.Text(FSmtpUser);
            r.Text(FSmtpPass);
            r.Byte(FTerminateMode);
        }
        r.Byte(FTerminateButtonShown);
        r.Int(FKeepReports);
        r.Int(FErrorsBeforeTerminate);
        r.Text(FMailTo);
        r.Text(FMailTitle);
        if (r.Byte(FMailMode) && v < 450 && FMailMode != 0)
            FMailMode = FSmtpServer.empty() ? 1 : 2;
        if (v >= 500) {
            r.Bytes(FSectionMask.data(), 5);
        } else if (r.Bytes(FSectionMask.data(), 4)) {
            RepackOldMask(FSectionMask);
        }
        if (v < 450)
            r.Byte(b);
        r.Text(FLogFolder);
        if (v >= 500) {
            r.Byte(FUploadMode);
            r.Text(FUploadAddress);
            r.Text(FUploadUser);
            r.Text(FUploadPass);
            r.Int(FUploadPortNumber);
            r.Text(FExtraFiles);
            r.Word(FSendFlags);
            r.Byte(FDialogFlags);
            r.Int(FDialogCloseSeconds);
            r.Text(FHelpPageAddress);
            r.Text(FHtmlTemplate);
            r.Byte(FStackFlags);
            r.Byte(FBehaviourFlags);
            r.Byte(FCrashAction);
            r.Int(FCrashCount);
            r.Int(FCrashMinutes);
        }
        if (!r.Ended()) {
            FFilterClasses.Clear();
            FFilterMessages.Clear();
            int32_t pairs = 0;
            r.Int(pairs);
            for (int32_t i = 0; i < pairs && !r.Ended(); ++i) {
                std::string filterClass, filterMessage;
                if (r.Text(filterClass) && r.Text(filterMessage)) {
                    FFilterClasses.Add(std::move(filterClass));
                    FFilterMessages.Add(std::move(filterMessage));
                }
            }
        }
        r.Text(FMailBody);
        for (int i = 0; i < CustomTextCount; ++i)
            if (v >= TextSinceVersion(i))
                r.Text(FCustomTexts[static_cast<size_t>(i)]);
    } catch (...) {
        EndChange();
        throw;
    }
    EndChange();
    NotifyChange();
}

// ---- log file ---------------------------------------------------------------------

std::string TZephraModuleOptions::ResolveLogPath(const std::string& fileName) const
{
    std::string ext = ExtractFileExt(FLogFolder);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    if (ext == ".zpf")
        return FLogFolder;
    std::string folder = FLogFolder.empty() ? ExtractFilePath(fileName) : FLogFolder;
    if (folder.empty() || folder.back() != '\\')
        folder += '\\';
    return folder + ExtractFileName(fileName);
}

std::string TZephraModuleOptions::ComposeLogFileName(const std::string& fileName,
                                                     const std::string& computerName) const
{
    std::string path = ResolveLogPath(ChangeFileExt(fileName.empty() ? FModuleFile : fileName, ".zpf"));
    if (FLogFlags & 0x08) {
        // The nine characters a file name cannot hold become underscores.
        std::string computer = computerName;
        for (char& c : computer)
            if (c != '\0' && std::strchr("*/:<>?\\|\"", c))
                c = '_';
        path = ChangeFileExt(path, "") + "_" + computer + ExtractFileExt(path);
    }
    return path;
}

} // namespace qov::exceptions
