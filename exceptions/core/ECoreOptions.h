// The option record of the exception-reporting library: every setting of the
// library for one module, its defaults, its copy and its stored form.
//
// The stored form is the only thing modules exchange (the "MODULE" area, the
// ZPDATA block); no module ever uses another module's record object.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "EConsts.h"

namespace qov::exceptions {

// Options version of this library's own stored form.
constexpr uint16_t LibraryOptionsVersion = 5110;

// Byte source and sink of the stored form.
class TOptionsStream {
public:
    virtual ~TOptionsStream() = default;
    // Both move the position past the bytes moved and return their count.
    virtual uint32_t Read(void* buffer, uint32_t count) = 0;
    virtual uint32_t Write(const void* buffer, uint32_t count) = 0;
    // Bytes between the position and the end.
    virtual uint64_t Remaining() const = 0;
};

// A stream that owns its bytes: written at the end, read from the start.
class TOptionsMemoryStream : public TOptionsStream {
public:
    TOptionsMemoryStream() = default;
    explicit TOptionsMemoryStream(std::string bytes) : FBytes(std::move(bytes)) {}

    uint32_t Read(void* buffer, uint32_t count) override;
    uint32_t Write(const void* buffer, uint32_t count) override;
    uint64_t Remaining() const override { return FBytes.size() - FPosition; }

    const std::string& Bytes() const { return FBytes; }
    size_t Position() const { return FPosition; }

private:
    std::string FBytes;
    size_t FPosition = 0;
};

// Reads someone else's bytes in place; writing is refused.
class TOptionsReadStream : public TOptionsStream {
public:
    TOptionsReadStream(const void* data, size_t size)
        : FData(static_cast<const uint8_t*>(data)), FSize(data ? size : 0) {}

    uint32_t Read(void* buffer, uint32_t count) override;
    uint32_t Write(const void*, uint32_t) override { return 0; }
    uint64_t Remaining() const override { return FSize - FPosition; }

    size_t Position() const { return FPosition; }

private:
    const uint8_t* FData;
    size_t FSize;
    size_t FPosition = 0;
};

// A list of texts that tells its owner of every change.
class TOptionsStringList {
public:
    int Count() const { return static_cast<int>(FItems.size()); }
    const std::string& operator[](int index) const { return FItems.at(static_cast<size_t>(index)); }
    const std::vector<std::string>& Items() const { return FItems; }

    void Add(std::string text);
    void Clear();
    void Assign(const TOptionsStringList& source);

    std::function<void()> OnChange;

private:
    void Changed() { if (OnChange) OnChange(); }
    std::vector<std::string> FItems;
};

using TSectionMask = std::array<uint8_t, 5>;

#if defined(_WIN32)
class TZephraModuleOptions;
// Windows side (exceptions/ECoreOptionsWin.cpp):
// True when moduleFile names the module that runs this code.
bool ZephraOptionsModuleIsOwn(const std::string& moduleFile);
// Replaces this module's "MODULE" area with a byte 1 and the stored form of
// options, for the other modules of the process to read.
void PublishModuleOptions(const TZephraModuleOptions& options);
// Removes the area again (at the end of the library in this module).
void WithdrawModuleOptions();
#endif

class TZephraModuleOptions {
public:
    // Tells whether a module file is the module that runs this code.
    using TOwnModuleTest = bool (*)(const std::string& moduleFile);

    // Defaults loaded, change depth 0. The notice of that first load reaches
    // only this class's OptionsChanged: a derived record that publishes calls
    // NotifyChange at the end of its own constructor. Inline on purpose: on
    // Windows it brings the Windows side's module test into every module
    // that makes a record.
    TZephraModuleOptions(const std::string& moduleFile, bool saveShared)
        : TZephraModuleOptions(moduleFile, saveShared, PlatformOwnModuleTest()) {}
    virtual ~TZephraModuleOptions();
    TZephraModuleOptions(const TZephraModuleOptions&) = delete;
    TZephraModuleOptions& operator=(const TZephraModuleOptions&) = delete;

    // Virtual operations, in slot order.
    // Change notice; nothing here (the module's current options publish).
    virtual void OptionsChanged() {}
    virtual void SetHandlerActive(bool value);
    virtual void SetFreezeCheck(bool value);
    // Copies every option of source; raises EConvertError for nullptr.
    virtual void CopyOptions(const TZephraModuleOptions* source);
    // Every option and text to its default; the filter lists and ModuleFile stay.
    virtual void ResetToDefaults();
    virtual void WriteToStream(TOptionsStream& stream) const;
    // Reads the stored form of the given options version, converting older
    // layouts. A stream that ends early stops the reading there: the fields
    // not read keep their values.
    virtual void ReadFromStream(TOptionsStream& stream, uint16_t version);

    void BeginChange() { ++FChangeDepth; }
    void EndChange() { --FChangeDepth; }
    // OptionsChanged, when no change is open, the record is saved shared and
    // ModuleFile is the module that runs this code.
    void NotifyChange();

    // The log file for fileName: LogFolder when it is a full ".zpf" path,
    // else the file's name in LogFolder (or in the file's own folder).
    std::string ResolveLogPath(const std::string& fileName) const;
    // The log file of fileName (ModuleFile when empty), with the given
    // computer name joined in when LogFlags bit 3 asks for it.
    std::string ComposeLogFileName(const std::string& fileName, const std::string& computerName) const;
#if defined(_WIN32)
    // The same with this computer's name (Windows side).
    std::string ComposeLogFileName(const std::string& fileName) const;
#endif

    const std::string& GetCustomText(int index) const;
    void SetCustomText(int index, const std::string& text);

    bool SaveShared() const { return FSaveShared; }
    int32_t ChangeDepth() const { return FChangeDepth; }
    const std::string& ModuleFile() const { return FModuleFile; }
    void SetModuleFile(const std::string& value);
    bool HandlerActive() const { return FHandlerActive != 0; }
    TOptionsStringList& FilterClasses() { return FFilterClasses; }
    TOptionsStringList& FilterMessages() { return FFilterMessages; }
    const TOptionsStringList& FilterClasses() const { return FFilterClasses; }
    const TOptionsStringList& FilterMessages() const { return FFilterMessages; }

    // One getter and one setter per stored option.
#define QOV_OPTION(type, name)                                      \
    type name() const { return F##name; }                           \
    void Set##name(type value) { F##name = value; NotifyChange(); }
#define QOV_TEXT_OPTION(name)                                       \
    const std::string& name() const { return F##name; }             \
    void Set##name(const std::string& value) { F##name = value; NotifyChange(); }
    QOV_OPTION(uint8_t, LogSwitch)
    QOV_OPTION(uint8_t, HandleSwitch)
    QOV_OPTION(uint8_t, LogFlags)
    QOV_OPTION(uint8_t, AppendToLog)
    QOV_OPTION(uint8_t, SaveLog)
    QOV_OPTION(uint8_t, StartTab)
    QOV_OPTION(int32_t, FreezeSeconds)
    QOV_TEXT_OPTION(FreezeText)
    QOV_TEXT_OPTION(SmtpSender)
    QOV_TEXT_OPTION(SmtpServer)
    QOV_OPTION(uint16_t, SmtpPortNumber)
    QOV_TEXT_OPTION(SmtpUser)
    QOV_TEXT_OPTION(SmtpPass)
    QOV_OPTION(uint8_t, TerminateMode)
    QOV_OPTION(uint8_t, TerminateButtonShown)
    QOV_OPTION(int32_t, ErrorsBeforeTerminate)
    QOV_TEXT_OPTION(MailTo)
    QOV_TEXT_OPTION(MailTitle)
    QOV_OPTION(uint8_t, MailMode)
    QOV_OPTION(TSectionMask, SectionMask)
    QOV_TEXT_OPTION(LogFolder)
    QOV_OPTION(uint8_t, UploadMode)
    QOV_TEXT_OPTION(UploadAddress)
    QOV_TEXT_OPTION(UploadUser)
    QOV_TEXT_OPTION(UploadPass)
    QOV_OPTION(int32_t, UploadPortNumber)
    QOV_TEXT_OPTION(ExtraFiles)
    QOV_OPTION(uint16_t, SendFlags)
    QOV_OPTION(uint8_t, DialogFlags)
    QOV_OPTION(int32_t, DialogCloseSeconds)
    QOV_TEXT_OPTION(HelpPageAddress)
    QOV_TEXT_OPTION(HtmlTemplate)
    QOV_OPTION(uint8_t, StackFlags)
    QOV_OPTION(uint8_t, BehaviourFlags)
    QOV_OPTION(uint8_t, CrashAction)
    QOV_OPTION(int32_t, CrashCount)
    QOV_OPTION(int32_t, CrashMinutes)
    QOV_TEXT_OPTION(MailBody)
#undef QOV_OPTION
#undef QOV_TEXT_OPTION
    bool FreezeCheck() const { return FFreezeCheck != 0; }
    int32_t KeepReports() const { return FKeepReports; }
    // 0 is kept as 1: the log always keeps the newest report.
    void SetKeepReports(int32_t value);

protected:
    // ownModuleTest nullptr: no module is this one (no change notices).
    TZephraModuleOptions(const std::string& moduleFile, bool saveShared, TOwnModuleTest ownModuleTest);

private:
    static TOwnModuleTest PlatformOwnModuleTest()
    {
#if defined(_WIN32)
        return &ZephraOptionsModuleIsOwn;
#else
        return nullptr;
#endif
    }
    TOwnModuleTest FOwnModuleTest;

    // Fields in the record's own order.
    bool FSaveShared;
    int32_t FChangeDepth = 0;
    std::string FSmtpSender, FSmtpServer, FSmtpUser, FSmtpPass;
    uint16_t FSmtpPortNumber = 0;
    uint8_t FTerminateMode = 0;
    uint8_t FFreezeCheck = 0;
    int32_t FFreezeSeconds = 0;
    std::string FFreezeText;
    std::string FModuleFile;
    TSectionMask FSectionMask{};
    TOptionsStringList FFilterClasses, FFilterMessages;
    std::array<std::string, CustomTextCount> FCustomTexts;
    uint8_t FLogSwitch = 0, FHandleSwitch = 0, FAppendToLog = 0, FTerminateButtonShown = 0;
    uint8_t FSaveLog = 0, FLogFlags = 0;
    uint16_t FSendFlags = 0;
    uint8_t FStartTab = 0;
    int32_t FKeepReports = 0, FErrorsBeforeTerminate = 0;
    std::string FLogFolder, FMailTo, FMailTitle, FMailBody;
    uint8_t FMailMode = 0, FUploadMode = 0;
    std::string FExtraFiles;
    uint8_t FDialogFlags = 0;
    int32_t FDialogCloseSeconds = 0;
    std::string FHelpPageAddress, FHtmlTemplate;
    uint8_t FCrashAction = 0;
    int32_t FCrashCount = 0, FCrashMinutes = 0;
    uint8_t FStackFlags = 0, FBehaviourFlags = 0;
    std::string FUploadAddress;
    int32_t FUploadPortNumber = 0;
    std::string FUploadPass, FUploadUser;
    uint8_t FHandlerActive = 0;
};

// Fixed sender address of mailed reports until the options name another.
extern const char* const DefaultSmtpSender;

// Key every byte of a stored text is combined with (XOR).
constexpr uint8_t OptionsTextKey = 0x5D;

// A text of the stored form: a signed 32-bit byte count, then the bytes, each
// combined with OptionsTextKey. A text whose first CR LF ends it is written
// without that CR LF.
void WriteScrambledString(TOptionsStream& stream, const std::string& text);
// Reads one text into text. A count of 0 or below gives an empty text; false,
// with text unchanged and nothing allocated, when the data ends first.
bool ReadScrambledString(TOptionsStream& stream, std::string& text);

} // namespace qov::exceptions
