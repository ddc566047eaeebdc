// Event dispatch: the current exception record, the handler list, the global
// procedures, the sending of each event to the three kinds of listener, the
// exported receivers through which another module of the process hands its
// events to this one, and the hand-over of steps to the raising thread.
#include "EEvents.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "ECore.h"
#include "EHelpers.h"
#include "EManager.h"
#include "EModules.h"
#include "ERaise.h"
#include "EStack.h"

namespace qov::exceptions {

const char* const ExceptionNotifyReceiverName = "ZephraLog_ExceptionNotifyEvent";
const char* const CustomDataRequestReceiverName = "ZephraLog_CustomDataRequestEvent";
const char* const ExceptionActionNotifyReceiverName = "ZephraLog_ExceptionActionNotifyEvent";
const char* const ExceptionErrorNotifyReceiverName = "ZephraLog_ExceptionErrorNotifyEvent";
const char* const AttachedFilesRequestReceiverName = "ZephraLog_AttachedFilesRequestEvent";
const char* const CustomFieldsRequestReceiverName = "ZephraLog_CustomFieldsRequestEvent";
const char* const PasswordRequestReceiverExName = "ZephraLog_PasswordRequestEventEx";
const char* const PasswordRequestReceiverName = "ZephraLog_PasswordRequestEvent";

namespace {


HMODULE ModuleOfAddress(const void* address)
{
    HMODULE module = nullptr;
    if (address &&
        !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(address), &module))
        module = nullptr;
    return module;
}

TZephraExceptionRecord CurrentRecord{};

// The hand-over word: 0 when nothing waits, 1 while a step runs directly,
// else the address of the step that the raising thread is to run.
constexpr uintptr_t RunningDirectly = 1;
std::atomic<uintptr_t> HandOver{0};
std::atomic<TDuplicateTest> DuplicateTest{nullptr};

// ---- texts and lists of another module --------------------------------------------------

// Texts of another module are read only as far as they are readable.
constexpr size_t ForeignTextLimit = 16u << 20;
constexpr size_t ForeignListLimit = 1u << 16;

std::string ForeignText(const char* text)
{
    if (!text)
        return std::string();
    size_t span = ReadableSpan(text, ForeignTextLimit);
    const void* end = span ? std::memchr(text, 0, span) : nullptr;
    return std::string(text, end ? static_cast<const char*>(end) - text : span);
}

std::vector<std::string> ForeignLines(const TZephraStrings* list)
{
    std::vector<std::string> lines;
    if (!list || !IsReadableRange(list, sizeof *list) || !list->Items || list->Count > ForeignListLimit ||
        !IsReadableRange(list->Items, list->Count * sizeof(const char*)))
        return lines;
    lines.reserve(list->Count);
    for (uint32_t i = 0; i < list->Count; ++i)
        lines.push_back(ForeignText(list->Items[i]));
    return lines;
}

// The list as it crosses to another module; lives as long as lines.
struct TStringsView {
    explicit TStringsView(const std::vector<std::string>& lines)
    {
        Pointers.reserve(lines.size());
        for (const std::string& line : lines)
            Pointers.push_back(line.c_str());
        View.Items = Pointers.data();
        View.Count = static_cast<uint32_t>(Pointers.size());
    }
    std::vector<const char*> Pointers;
    TZephraStrings View{};
};

void ToShortString(const std::string& text, uint8_t* shortString, size_t maxLength)
{
    size_t length = std::min({text.size(), maxLength, size_t(255)});
    shortString[0] = static_cast<uint8_t>(length);
    std::memcpy(shortString + 1, text.data(), length);
}

std::string FromShortString(const uint8_t* shortString, size_t maxLength)
{
    size_t length = std::min({size_t(shortString[0]), maxLength, size_t(255)});
    return std::string(reinterpret_cast<const char*>(shortString + 1), length);
}

// A text object of another module (built by the same library, so of the same
// layout), readable with its characters.
bool ReadableString(const std::string& text)
{
    return IsReadableRange(&text, sizeof text) && text.size() < ForeignTextLimit &&
           IsReadableRange(text.data(), text.size() + 1);
}

template <class T>
bool ReadableVector(const std::vector<T>& items)
{
    return IsReadableRange(&items, sizeof items) && items.size() <= ForeignListLimit &&
           (items.empty() || IsReadableRange(items.data(), items.size() * sizeof(T)));
}

bool ReadableDescriptor(const TExceptionInfo* info)
{
    if (!info || !IsReadableRange(info, sizeof *info))
        return false;
    if (!ReadableString(info->ClassName()) || !ReadableString(info->Message()) || !ReadableVector(info->Ancestry()))
        return false;
    for (const std::string& name : info->Ancestry())
        if (!ReadableString(name))
            return false;
    return (!info->SystemRecord() || IsReadableRange(info->SystemRecord(), sizeof(EXCEPTION_RECORD))) &&
           (!info->SystemContext() || IsReadableRange(info->SystemContext(), sizeof(CONTEXT)));
}

// ---- records received from another module -------------------------------------------------

// This module's copy of a record that another module handed over: every
// object it names is one of this module's own.
struct TReceivedRecord {
    TZephraExceptionRecord Record{};
    TExceptionRef Object;
    std::string Text;
    std::unique_ptr<TZephraModulesList> Modules;
    std::unique_ptr<TZephraStackList> Stack;
};

// The exception object as this module's own: a descriptor of a class of
// this module is copied; else the exception this module is handling, if
// any; else a Windows exception gets a new descriptor made from its system
// record (kept as the saved exception); else a copy of what it says.
TExceptionRef OwnException(const TExceptionInfo* given, const void* address)
{
    const bool readable = ReadableDescriptor(given);
    if (readable && given->Type() && ModuleOfAddress(given->Type()) == OwnModule())
        return std::make_shared<const TExceptionInfo>(*given);
    TExceptionInfo current = TExceptionInfo::Current();
    if (!current.Empty())
        return std::make_shared<const TExceptionInfo>(std::move(current));
    if (!readable)
        return nullptr;
    if (given->IsSystem()) {
        auto made = std::make_shared<const TExceptionInfo>(*given->SystemRecord(), given->SystemContext());
        RecordSavedException(made, address, false);
        return made;
    }
    return std::make_shared<const TExceptionInfo>(*given);
}

// A module record of this module naming the same module (no options, no
// line data: the entries carry their names already).
TZephraModuleRef OwnModuleRecord(const TZephraModuleRecord* given)
{
    if (!given || !IsReadableRange(given, sizeof *given) || !ReadableString(given->FileName) ||
        !ReadableString(given->Description) || !ReadableString(given->VersionText))
        return nullptr;
    auto record = std::make_shared<TZephraModuleRecord>();
    record->Handle = given->Handle;
    record->FileName = given->FileName;
    record->Description = given->Description;
    record->VersionText = given->VersionText;
    record->FileSize = given->FileSize;
    record->Kind = given->Kind;
    record->OptionsVersion = given->OptionsVersion;
    std::memcpy(record->Build, given->Build, sizeof record->Build);
    record->FileDate = given->FileDate;
    return record;
}

// Reads the entries of another module's list (the same class of the same
// library): their texts are copied, their module records made anew.
std::unique_ptr<TZephraStackList> OwnCallStack(const TZephraStackList* given)
{
    if (!given || !IsReadableRange(given, sizeof *given))
        return nullptr;
    const size_t count = given->Count();
    if (count > ForeignListLimit || (count && !IsReadableRange(&(*given)[0], count * sizeof(TZephraStackEntry))))
        return nullptr;
    auto stack = std::make_unique<TZephraStackList>();
    std::vector<std::pair<const TZephraModuleRecord*, TZephraModuleRef>> records;
    for (size_t i = 0; i < count; ++i) {
        const TZephraStackEntry& entry = (*given)[i];
        if (!ReadableString(entry.UnitName) || !ReadableString(entry.ClassName) ||
            !ReadableString(entry.ProcedureName))
            continue;
        TZephraStackEntry own;
        own.Kind = entry.Kind;
        own.ThreadId = entry.ThreadId;
        own.Flag = entry.Flag;
        own.Address = entry.Address;
        own.UnitName = entry.UnitName;
        own.ClassName = entry.ClassName;
        own.ProcedureName = entry.ProcedureName;
        own.Line = entry.Line;
        own.LineOffset = entry.LineOffset;
        // Only the pointer is read: the other module's reference count is
        // never touched.
        const TZephraModuleRecord* module = entry.Module.get();
        auto known = std::find_if(records.begin(), records.end(), [&](const auto& r) { return r.first == module; });
        if (known == records.end())
            known = records.insert(records.end(), {module, OwnModuleRecord(module)});
        own.Module = known->second;
        stack->Add(std::move(own));
    }
    return stack;
}

bool TakeRecord(const TZephraExceptionRecord* given, TReceivedRecord& received)
{
    if (!given || !IsReadableRange(given, sizeof *given))
        return false;
    const TZephraExceptionRecord copy = *given;
    received.Object = OwnException(copy.ExceptionObject, copy.ExceptionAddress);
    received.Text = ForeignText(copy.ReportText);
    if (copy.ModulesList) {
        received.Modules = std::make_unique<TZephraModulesList>();
        received.Modules->Refresh();
    }
    received.Stack = OwnCallStack(copy.CallStack);
    TZephraExceptionRecord& r = received.Record;
    r.ExceptionObject = received.Object.get();
    r.ExceptionAddress = copy.ExceptionAddress;
    r.ThreadId = copy.ThreadId;
    r.ReportText = copy.ReportText ? received.Text.c_str() : nullptr;
    r.ModulesList = received.Modules.get();
    r.CallStack = received.Stack.get();
    // Options are never shared between modules; this module's handlers use
    // their own.
    r.Options = nullptr;
    return true;
}

// Makes a record the current one for as long as it lives.
class TCurrentRecordScope {
public:
    explicit TCurrentRecordScope(const TZephraExceptionRecord& record) : FPrevious(CurrentRecord)
    {
        CurrentRecord = record;
    }
    ~TCurrentRecordScope() { CurrentRecord = FPrevious; }
    TCurrentRecordScope(const TCurrentRecordScope&) = delete;
    TCurrentRecordScope& operator=(const TCurrentRecordScope&) = delete;

private:
    TZephraExceptionRecord FPrevious;
};

// ---- this module's listeners ----------------------------------------------------------------

// Steps 2 and 3 of the sending: the handlers from the last to the first,
// then the global procedure. A listener that raises is passed over.
template <class TMethod, class... TArgs>
void RunListeners(TMethod TZephraEventHandlers::*method, const TZephraExceptionRecord& record, TArgs&&... args)
{
    const std::vector<TZephraHandlerRef> entries = EventHandlers().Items();
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        const TMethod& call = (**entry).*method;
        if (!call)
            continue;
        try {
            call(record, args...);
        } catch (...) {
        }
    }
    const TMethod& global = GlobalEventProcedures().*method;
    if (global) {
        try {
            global(record, args...);
        } catch (...) {
        }
    }
}

// Step 1: the receiver of the module that holds the current exception
// address, when that is another module.
template <class TReceiver>
TReceiver ForeignReceiver(const char* name)
{
    HMODULE module = ModuleOfAddress(CurrentRecord.ExceptionAddress);
    if (!module || module == OwnModule())
        return nullptr;
    return reinterpret_cast<TReceiver>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// A receiver's body: the record made this module's own and current for the
// listeners; nothing leaves the receiver.
template <class TBody>
void Receive(const TZephraExceptionRecord* given, TBody&& body) noexcept
{
    try {
        TReceivedRecord received;
        if (!TakeRecord(given, received))
            return;
        TCurrentRecordScope scope(received.Record);
        body(received.Record);
    } catch (...) {
    }
}

uint8_t FlagByte(bool value) { return value ? 1 : 0; }

// A receiver of an event with an in-out flag (after the event's other values).
template <class TMethod, class... TArgs>
void ReceiveFlag(const TZephraExceptionRecord* record, uint8_t* flag, TMethod TZephraEventHandlers::*method,
                 TArgs... args) noexcept
{
    if (!flag || !IsReadableRange(flag, 1))
        return;
    Receive(record, [&](const TZephraExceptionRecord& own) {
        bool value = *flag != 0;
        RunListeners(method, own, args..., value);
        *flag = FlagByte(value);
    });
}

// Sends an event with an in-out flag (after the event's other values).
template <class TReceiver, class TMethod, class... TArgs>
void SendFlag(const char* receiverName, TMethod TZephraEventHandlers::*method, bool& flag, TArgs... args)
{
    CallInMainThread([&] {
        if (auto receiver = ForeignReceiver<TReceiver>(receiverName)) {
            uint8_t value = FlagByte(flag);
            receiver(&CurrentRecord, args..., &value);
            flag = value != 0;
        }
        RunListeners(method, CurrentRecord, args..., flag);
    });
}

} // namespace

TZephraExceptionRecord& CurrentExceptionRecord() noexcept
{
    return CurrentRecord;
}

int ErrorActionOf(TZephraLogErrorCode code) noexcept
{
    switch (code) {
    case eeLogError:
        return eaSaveLog;
    case eeEmailMAPIError:
    case eeEmailShellError:
    case eeEmailSMTPError:
        return eaSendMail;
    case eeWebHTTPError:
    case eeWebHTTPSError:
    case eeWebFTPError:
        return eaSendWeb;
    default:
        return 0;
    }
}

// ---- the handler list -----------------------------------------------------------------------

void TZephraLogList::Add(TZephraHandlerRef entry)
{
    if (!entry)
        return;
    AcquireSRWLockExclusive(&FLock);
    try {
        FItems.push_back(std::move(entry));
    } catch (...) {
        ReleaseSRWLockExclusive(&FLock);
        throw;
    }
    ReleaseSRWLockExclusive(&FLock);
}

bool TZephraLogList::Remove(const TZephraHandlerRef& entry)
{
    AcquireSRWLockExclusive(&FLock);
    auto found = std::find(FItems.begin(), FItems.end(), entry);
    bool removed = found != FItems.end();
    if (removed)
        FItems.erase(found);
    ReleaseSRWLockExclusive(&FLock);
    return removed;
}

size_t TZephraLogList::Count() const
{
    AcquireSRWLockShared(&FLock);
    size_t count = FItems.size();
    ReleaseSRWLockShared(&FLock);
    return count;
}

std::vector<TZephraHandlerRef> TZephraLogList::Items() const
{
    AcquireSRWLockShared(&FLock);
    std::vector<TZephraHandlerRef> items;
    try {
        items = FItems;
    } catch (...) {
        ReleaseSRWLockShared(&FLock);
        throw;
    }
    ReleaseSRWLockShared(&FLock);
    return items;
}

TZephraLogList& EventHandlers()
{
    static TZephraLogList list;
    return list;
}

TZephraHandlerRef RegisterEventHandlers(TZephraEventHandlers handlers)
{
    auto entry = std::make_shared<const TZephraEventHandlers>(std::move(handlers));
    EventHandlers().Add(entry);
    return entry;
}

void UnregisterEventHandlers(const TZephraHandlerRef& entry)
{
    EventHandlers().Remove(entry);
}

TZephraEventHandlers& GlobalEventProcedures()
{
    static TZephraEventHandlers procedures;
    return procedures;
}

// ---- sending ----------------------------------------------------------------------------------

void SendExceptionNotify(bool& handle)
{
    SendFlag<TExceptionNotifyReceiver>(ExceptionNotifyReceiverName, &TZephraEventHandlers::OnExceptionNotify, handle);
}

void SendCustomDataRequest(std::string& text)
{
    CallInMainThread([&text] {
        if (auto receiver = ForeignReceiver<TCustomDataRequestReceiver>(CustomDataRequestReceiverName)) {
            const char* answer = text.c_str();
            receiver(&CurrentRecord, &answer);
            if (answer != text.c_str())
                text = ForeignText(answer);
        }
        RunListeners(&TZephraEventHandlers::OnCustomDataRequest, CurrentRecord, text);
    });
}

void SendExceptionActionNotify(int action, bool& flag)
{
    SendFlag<TExceptionActionNotifyReceiver>(ExceptionActionNotifyReceiverName,
                                             &TZephraEventHandlers::OnExceptionActionNotify, flag, action);
}

void SendExceptionErrorNotify(int action, bool& retry)
{
    SendFlag<TExceptionErrorNotifyReceiver>(ExceptionErrorNotifyReceiverName,
                                            &TZephraEventHandlers::OnExceptionErrorNotify, retry, action);
}

void SendAttachedFilesRequest(std::vector<std::string>& files)
{
    CallInMainThread([&files] {
        if (auto receiver = ForeignReceiver<TAttachedFilesRequestReceiver>(AttachedFilesRequestReceiverName)) {
            TStringsView view(files);
            receiver(&CurrentRecord, &view.View);
        }
        RunListeners(&TZephraEventHandlers::OnAttachedFilesRequest, CurrentRecord, files);
    });
}

void SendCustomFieldsRequest(std::vector<std::string>& names, std::vector<std::string>& values)
{
    CallInMainThread([&names, &values] {
        if (auto receiver = ForeignReceiver<TCustomFieldsRequestReceiver>(CustomFieldsRequestReceiverName)) {
            TStringsView nameView(names), valueView(values);
            receiver(&CurrentRecord, &nameView.View, &valueView.View);
        }
        RunListeners(&TZephraEventHandlers::OnCustomFieldsRequest, CurrentRecord, names, values);
    });
}

bool SendPasswordRequest(HMODULE module, std::string& passPhrase)
{
    CallInMainThread([module, &passPhrase] {
        if (module && module != OwnModule()) {
            uint8_t shortString[256] = {};
            ToShortString(passPhrase, shortString, 255);
            auto receiverEx = reinterpret_cast<TPasswordRequestReceiverEx>(
                reinterpret_cast<void*>(GetProcAddress(module, PasswordRequestReceiverExName)));
            auto receiver = reinterpret_cast<TPasswordRequestReceiver>(
                reinterpret_cast<void*>(GetProcAddress(module, PasswordRequestReceiverName)));
            if (receiverEx)
                receiverEx(&CurrentRecord, shortString, 255);
            else if (receiver)
                receiver(shortString, 255);
            passPhrase = FromShortString(shortString, 255);
        }
        RunListeners(&TZephraEventHandlers::OnPasswordRequest, CurrentRecord, passPhrase);
    });
    return !passPhrase.empty();
}

// ---- the raising thread ----------------------------------------------------------------------

void SetDuplicateTest(TDuplicateTest test) noexcept
{
    DuplicateTest.store(test);
}

void CallInMainThread(const std::function<void()>& step)
{
    bool handedOver = false;
    if (ReportInProgress() && ReportThreadId() != GetCurrentThreadId()) {
        // The raising thread runs it from its waiting loop and clears the word.
        const auto address = reinterpret_cast<uintptr_t>(&step);
        uintptr_t expected = 0;
        if (HandOver.compare_exchange_strong(expected, address)) {
            handedOver = true;
            while (HandOver.load() == address) {
                // A report that ended meanwhile leaves nobody to run it: it is
                // taken back and run here.
                if (!ReportInProgress()) {
                    uintptr_t mine = address;
                    if (HandOver.compare_exchange_strong(mine, 0))
                        handedOver = false;
                    break;
                }
                Sleep(10);
            }
        }
    }
    if (!handedOver) {
        // The word says a step runs, so that the application's handler does
        // not report. A step run inside another one (a handed-over step
        // sends its event through here again) leaves the word alone: the
        // thread that handed the outer step over waits until the word it
        // set is cleared, and must not go on while the outer step still runs.
        uintptr_t idle = 0;
        const bool marked = HandOver.compare_exchange_strong(idle, RunningDirectly);
        try {
            step();
        } catch (...) {
        }
        if (marked)
            HandOver.store(0);
    }
    if (TDuplicateTest test = DuplicateTest.load()) {
        try {
            test();
        } catch (...) {
        }
    }
}

bool RunHandedOverStep()
{
    const uintptr_t waiting = HandOver.load();
    if (waiting == 0 || waiting == RunningDirectly)
        return false;
    try {
        (*reinterpret_cast<const std::function<void()>*>(waiting))();
    } catch (...) {
    }
    uintptr_t expected = waiting;
    HandOver.compare_exchange_strong(expected, 0);
    return true;
}

bool StepWaitingForMainThread() noexcept
{
    return HandOver.load() != 0;
}

} // namespace qov::exceptions

// ---- the exported receivers -------------------------------------------------------------------

using namespace qov::exceptions;

extern "C" {

void ZEPHRA_RECEIVER_CONVENTION ZephraLog_ExceptionNotifyEvent(const TZephraExceptionRecord* record, uint8_t* handle);
void ZEPHRA_RECEIVER_CONVENTION ZephraLog_CustomDataRequestEvent(const TZephraExceptionRecord* record,
                                                                 const char** text);
void ZEPHRA_RECEIVER_CONVENTION ZephraLog_ExceptionActionNotifyEvent(const TZephraExceptionRecord* record,
                                                                     int32_t action, uint8_t* flag);
void ZEPHRA_RECEIVER_CONVENTION ZephraLog_ExceptionErrorNotifyEvent(const TZephraExceptionRecord* record,
                                                                    int32_t action, uint8_t* retry);
void ZEPHRA_RECEIVER_CONVENTION ZephraLog_AttachedFilesRequestEvent(const TZephraExceptionRecord* record,
                                                                    const TZephraStrings* files);
void ZEPHRA_RECEIVER_CONVENTION ZephraLog_CustomFieldsRequestEvent(const TZephraExceptionRecord* record,
                                                                   const TZephraStrings* names,
                                                                   const TZephraStrings* values);
void ZEPHRA_RECEIVER_CONVENTION ZephraLog_PasswordRequestEventEx(const TZephraExceptionRecord* record,
                                                                 uint8_t* passPhrase, int32_t maxLength);
void ZEPHRA_RECEIVER_CONVENTION ZephraLog_PasswordRequestEvent(uint8_t* passPhrase, int32_t maxLength);

} // extern "C"

// Exported by their plain names. 64-bit: as declared. 32-bit: the compiler
// decorates a stdcall name with its argument bytes, so the export names the
// decorated symbol (the linker pulls this unit into every module through
// the first of them, see CMakeLists.txt).
#if defined(_WIN64)
#define ZEPHRA_EXPORT(name, bytes) __asm__(".section .drectve\n\t.ascii \" -export:" #name "\"\n\t.text")
#else
#define ZEPHRA_EXPORT(name, bytes) \
    __asm__(".section .drectve\n\t.ascii \" -export:" #name "=" #name "@" #bytes "\"\n\t.text")
#endif
ZEPHRA_EXPORT(ZephraLog_ExceptionNotifyEvent, 8);
ZEPHRA_EXPORT(ZephraLog_CustomDataRequestEvent, 8);
ZEPHRA_EXPORT(ZephraLog_ExceptionActionNotifyEvent, 12);
ZEPHRA_EXPORT(ZephraLog_ExceptionErrorNotifyEvent, 12);
ZEPHRA_EXPORT(ZephraLog_AttachedFilesRequestEvent, 8);
ZEPHRA_EXPORT(ZephraLog_CustomFieldsRequestEvent, 12);
ZEPHRA_EXPORT(ZephraLog_PasswordRequestEventEx, 12);
ZEPHRA_EXPORT(ZephraLog_PasswordRequestEvent, 8);

void ZEPHRA_RECEIVER_CONVENTION ZephraLog_ExceptionNotifyEvent(const TZephraExceptionRecord* record, uint8_t* handle)
{
    ReceiveFlag(record, handle, &TZephraEventHandlers::OnExceptionNotify);
}

void ZEPHRA_RECEIVER_CONVENTION ZephraLog_CustomDataRequestEvent(const TZephraExceptionRecord* record,
                                                                 const char** text)
{
    if (!text || !IsReadableRange(text, sizeof *text))
        return;
    Receive(record, [text](const TZephraExceptionRecord& own) {
        std::string value = ForeignText(*text);
        RunListeners(&TZephraEventHandlers::OnCustomDataRequest, own, value);
        // The answer stays with the thread's raise record, which the
        // library frees at the thread's end.
        TRaiseRecord* raise = CurrentRaiseRecord();
        if (!raise)
            return;
        raise->CustomDataAnswer = std::move(value);
        *text = raise->CustomDataAnswer.c_str();
    });
}

void ZEPHRA_RECEIVER_CONVENTION ZephraLog_ExceptionActionNotifyEvent(const TZephraExceptionRecord* record,
                                                                     int32_t action, uint8_t* flag)
{
    ReceiveFlag(record, flag, &TZephraEventHandlers::OnExceptionActionNotify, static_cast<int>(action));
}

void ZEPHRA_RECEIVER_CONVENTION ZephraLog_ExceptionErrorNotifyEvent(const TZephraExceptionRecord* record,
                                                                    int32_t action, uint8_t* retry)
{
    ReceiveFlag(record, retry, &TZephraEventHandlers::OnExceptionErrorNotify, static_cast<int>(action));
}

void ZEPHRA_RECEIVER_CONVENTION ZephraLog_AttachedFilesRequestEvent(const TZephraExceptionRecord* record,
                                                                    const TZephraStrings* files)
{
    Receive(record, [files](const TZephraExceptionRecord& own) {
        std::vector<std::string> lines = ForeignLines(files);
        RunListeners(&TZephraEventHandlers::OnAttachedFilesRequest, own, lines);
    });
}

void ZEPHRA_RECEIVER_CONVENTION ZephraLog_CustomFieldsRequestEvent(const TZephraExceptionRecord* record,
                                                                   const TZephraStrings* names,
                                                                   const TZephraStrings* values)
{
    Receive(record, [names, values](const TZephraExceptionRecord& own) {
        std::vector<std::string> nameLines = ForeignLines(names), valueLines = ForeignLines(values);
        RunListeners(&TZephraEventHandlers::OnCustomFieldsRequest, own, nameLines, valueLines);
    });
}

namespace {

void AnswerPassPhrase(const TZephraExceptionRecord& record, uint8_t* passPhrase, int32_t maxLength)
{
    const size_t limit = static_cast<size_t>(std::clamp(maxLength, 0, 255));
    std::string value = FromShortString(passPhrase, limit);
    RunListeners(&TZephraEventHandlers::OnPasswordRequest, record, value);
    ToShortString(value, passPhrase, limit);
}

bool WritableShortString(uint8_t* passPhrase, int32_t maxLength)
{
    if (!passPhrase || maxLength < 0)
        return false;
    const size_t size = static_cast<size_t>(std::min(maxLength, 255)) + 1;
    MEMORY_BASIC_INFORMATION info{};
    return IsReadableRange(passPhrase, size) && VirtualQuery(passPhrase, &info, sizeof info) &&
           (info.Protect & (PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY));
}

} // namespace

void ZEPHRA_RECEIVER_CONVENTION ZephraLog_PasswordRequestEventEx(const TZephraExceptionRecord* record,
                                                                 uint8_t* passPhrase, int32_t maxLength)
{
    if (!WritableShortString(passPhrase, maxLength))
        return;
    Receive(record, [passPhrase, maxLength](const TZephraExceptionRecord& own) {
        AnswerPassPhrase(own, passPhrase, maxLength);
    });
}

void ZEPHRA_RECEIVER_CONVENTION ZephraLog_PasswordRequestEvent(uint8_t* passPhrase, int32_t maxLength)
{
    if (!WritableShortString(passPhrase, maxLength))
        return;
    try {
        AnswerPassPhrase(CurrentExceptionRecord(), passPhrase, maxLength);
    } catch (...) {
    }
}
