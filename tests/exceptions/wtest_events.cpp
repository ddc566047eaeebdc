// Event dispatch: the order of the listeners (the receiver of the module in
// which the exception happened, then this module's handlers last first,
// then the global procedure), what crosses to the other module and what does
// not come back, raising handlers, the pass-phrase request in both forms,
// steps handed over to the raising thread, and the two places where the
// program's own catch blocks hand an exception to the library (the safecall
// boundary and the application's handler). The program carries its debug
// data, so the library is active in it; its options show no dialog.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "EDecision.h"
#include "EEvents.h"
#include "EHelpers.h"
#include "EManager.h"
#include "EModules.h"
#include "ESafeCall.h"
#include "EStack.h"
#include "SysUtils.h"

using namespace qov::exceptions;

namespace {

std::vector<std::string>& Heard()
{
    static std::vector<std::string> heard;
    return heard;
}

void __stdcall Tell(const char* text)
{
    Heard().push_back(text);
}

HMODULE EventsDll()
{
    static HMODULE module = LoadLibraryA("events_dll.dll");
    return module;
}

template <class T>
T DllProc(HMODULE module, const char* name)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

using TInstall = void(__stdcall*)(void(__stdcall*)(const char*));
using TAddress = const void*(__stdcall*)();

// Puts the handlers and the global procedures back as they were.
class EventsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(EventsDll(), nullptr);
        Heard().clear();
        GlobalEventProcedures() = TZephraEventHandlers();
        CurrentExceptionRecord() = TZephraExceptionRecord{};
    }
    void TearDown() override
    {
        for (const TZephraHandlerRef& entry : FEntries)
            UnregisterEventHandlers(entry);
        GlobalEventProcedures() = TZephraEventHandlers();
        CurrentExceptionRecord() = TZephraExceptionRecord{};
        DllProc<TInstall>(EventsDll(), "EvInstall")(nullptr);
        SetDuplicateTest(nullptr);
    }
    void Register(TZephraEventHandlers handlers) { FEntries.push_back(RegisterEventHandlers(std::move(handlers))); }
    void InstallDll() { DllProc<TInstall>(EventsDll(), "EvInstall")(&Tell); }
    // The current record names an exception that happened in the test DLL.
    void RecordInDll(const TExceptionInfo* object)
    {
        CurrentExceptionRecord() = TZephraExceptionRecord{};
        CurrentExceptionRecord().ExceptionObject = object;
        CurrentExceptionRecord().ExceptionAddress = DllProc<TAddress>(EventsDll(), "EvAddress")();
        CurrentExceptionRecord().ThreadId = GetCurrentThreadId();
    }

private:
    std::vector<TZephraHandlerRef> FEntries;
};

std::string Field(const std::string& line, const std::string& name)
{
    size_t at = line.find(" " + name + "=");
    if (at == std::string::npos)
        return "?";
    at += name.size() + 2;
    size_t end = line.find(' ', at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::string PointerText(const void* pointer)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", pointer);
    return text;
}

} // namespace

// The other module's receiver first, then this module's handlers from the
// last registered to the first, then the global procedure; the flag travels
// through all of them.
TEST_F(EventsTest, OtherModulesReceiverThenHandlersLastFirstThenGlobal)
{
    InstallDll();
    std::vector<std::string> order;
    bool seenBy1 = true, seenBy2 = true, seenByGlobal = false;
    Register({.OnExceptionNotify = [&](const TZephraExceptionRecord&, bool& handle) { order.push_back("first"); seenBy1 = handle; }});
    Register({.OnExceptionNotify = [&](const TZephraExceptionRecord&, bool& handle) {
        order.push_back("second");
        seenBy2 = handle;
        handle = true;
    }});
    GlobalEventProcedures().OnExceptionNotify = [&](const TZephraExceptionRecord&, bool& handle) {
        order.push_back("global");
        seenByGlobal = handle;
    };
    auto object = std::make_shared<TExceptionInfo>();
    try {
        throw qov::EConvertError("BadValue");
    } catch (...) {
        *object = TExceptionInfo::Current();
    }
    RecordInDll(object.get());
    Heard().clear();
    bool handle = true;
    SendExceptionNotify(handle);

    ASSERT_EQ(Heard().size(), 1u);
    order.insert(order.begin(), "dll");
    EXPECT_EQ(order, (std::vector<std::string>{"dll", "second", "first", "global"}));
    EXPECT_FALSE(seenBy2);  // the other module's handler cleared it
    EXPECT_TRUE(seenBy1);
    EXPECT_TRUE(seenByGlobal);
    EXPECT_TRUE(handle);
    // The other module got the record with the exception as a copy of its own.
    const std::string& line = Heard()[0];
    EXPECT_EQ(line.rfind("dll notify 1 ", 0), 0u) << line;
    EXPECT_EQ(Field(line, "class"), "EConvertError");
    EXPECT_EQ(Field(line, "message"), "BadValue");
    EXPECT_NE(Field(line, "object"), PointerText(object.get()));
    EXPECT_EQ(Field(line, "address"), PointerText(CurrentExceptionRecord().ExceptionAddress));
    EXPECT_EQ(Field(line, "options"), PointerText(nullptr));

    // An exception of this module itself calls no receiver.
    Heard().clear();
    order.clear();
    CurrentExceptionRecord().ExceptionAddress = reinterpret_cast<const void*>(&Tell);
    SendExceptionNotify(handle);
    EXPECT_TRUE(Heard().empty());
    EXPECT_EQ(order, (std::vector<std::string>{"second", "first", "global"}));
}

// A Windows exception described by this module reaches the other module as
// a descriptor made there from the system's record; the report text, the
// call stack and the module list arrive as copies.
TEST_F(EventsTest, OtherModuleGetsItsOwnCopies)
{
    InstallDll();
    EXCEPTION_RECORD fault{};
    fault.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    fault.NumberParameters = 2;
    fault.ExceptionInformation[0] = 1;
    fault.ExceptionInformation[1] = 0x1234;
    TExceptionInfo external(fault, nullptr);
    std::string text = "Report text";
    TZephraModulesList modules;
    modules.Refresh();
    TZephraStackList stack;
    TZephraStackEntry entry;
    entry.Kind = seLineData;
    entry.Module = modules.ByHandle(GetModuleHandleA(nullptr));
    entry.ProcedureName = "RaisingProcedure";
    entry.Line = 42;
    stack.Add(entry);
    RecordInDll(&external);
    CurrentExceptionRecord().ReportText = text.c_str();
    CurrentExceptionRecord().ModulesList = &modules;
    CurrentExceptionRecord().CallStack = &stack;
    bool handle = true;
    SendExceptionNotify(handle);
    EXPECT_FALSE(handle);
    ASSERT_EQ(Heard().size(), 1u);
    const std::string& line = Heard()[0];
    EXPECT_EQ(Field(line, "class"), "EAccessViolation") << line;
    EXPECT_EQ(Field(line, "system"), "1");
    EXPECT_NE(Field(line, "object"), PointerText(&external));
    EXPECT_EQ(Field(line, "text"), "Report");
    EXPECT_EQ(Field(line, "modules"), "1");
    EXPECT_EQ(Field(line, "stack"), "1");
    EXPECT_EQ(Field(line, "first"), "RaisingProcedure:42");
    EXPECT_EQ(Field(line, "module"), entry.Module->FileName);
    // The other module's copies are gone; this module's record is intact.
    EXPECT_EQ(CurrentExceptionRecord().ExceptionObject, &external);
    EXPECT_EQ(external.ClassName(), "EAccessViolation");
}

// Texts and lists: the other module's answer to the custom-data request
// comes back; lines it adds to its own lists stay there.
TEST_F(EventsTest, TextsAndListsCrossOnceOneWay)
{
    InstallDll();
    Register({.OnCustomDataRequest = [](const TZephraExceptionRecord&, std::string& text) { text += "+exe"; },
              .OnAttachedFilesRequest =
                  [](const TZephraExceptionRecord&, std::vector<std::string>& files) { files.push_back("exe.txt"); },
              .OnCustomFieldsRequest =
                  [](const TZephraExceptionRecord&, std::vector<std::string>& names, std::vector<std::string>&) {
                  names.push_back("ExeName");
              }});
    RecordInDll(nullptr);
    std::string text = "in";
    SendCustomDataRequest(text);
    EXPECT_EQ(text, "in+dll+exe");

    std::vector<std::string> files{"a.txt", "b.txt"};
    SendAttachedFilesRequest(files);
    EXPECT_EQ(files, (std::vector<std::string>{"a.txt", "b.txt", "exe.txt"}));

    std::vector<std::string> names{"User"}, values{"Ann"};
    SendCustomFieldsRequest(names, values);
    EXPECT_EQ(names, (std::vector<std::string>{"User", "ExeName"}));
    EXPECT_EQ(values, (std::vector<std::string>{"Ann"}));
    EXPECT_EQ(Heard(), (std::vector<std::string>{"dll files a.txt,b.txt", "dll fields User=Ann"}));
}

// The error event names the failing step by its action (3 log, 5 mail,
// 7 web), which both modules see; the other module may ask for a retry.
TEST_F(EventsTest, ErrorEventCarriesTheFailingStepsAction)
{
    InstallDll();
    EXPECT_EQ(ErrorActionOf(eeLogError), 3);
    EXPECT_EQ(ErrorActionOf(eeEmailSMTPError), 5);
    EXPECT_EQ(ErrorActionOf(eeEmailMAPIError), 5);
    EXPECT_EQ(ErrorActionOf(eeWebFTPError), 7);
    EXPECT_EQ(ErrorActionOf(eeShowError), 0);
    int seen = -1;
    Register({.OnExceptionErrorNotify = [&](const TZephraExceptionRecord&, int action, bool&) { seen = action; }});
    RecordInDll(nullptr);
    bool retry = false;
    SendExceptionErrorNotify(ErrorActionOf(eeLogError), retry);
    EXPECT_TRUE(retry);
    EXPECT_EQ(seen, 3);
    bool flag = true;
    SendExceptionActionNotify(2, flag);
    EXPECT_FALSE(flag);
    EXPECT_EQ(Heard(), (std::vector<std::string>{"dll error 3 0", "dll action 2 1"}));
}

// A handler that raises ends neither the event nor the report: the others
// still run, and what they set stays.
TEST_F(EventsTest, RaisingHandlerIsPassedOver)
{
    std::vector<std::string> order;
    Register({.OnExceptionNotify = [&](const TZephraExceptionRecord&, bool& handle) {
        order.push_back("first");
        handle = false;
    }});
    Register({.OnExceptionNotify = [&](const TZephraExceptionRecord&, bool&) {
        order.push_back("raising");
        throw std::runtime_error("handler failure");
    }});
    GlobalEventProcedures().OnExceptionNotify = [&](const TZephraExceptionRecord&, bool& handle) {
        order.push_back("global");
        EXPECT_FALSE(handle);
    };
    bool handle = true;
    SendExceptionNotify(handle);
    EXPECT_EQ(order, (std::vector<std::string>{"raising", "first", "global"}));
    EXPECT_FALSE(handle);
    // A raising global procedure is passed over too.
    GlobalEventProcedures().OnExceptionNotify = [](const TZephraExceptionRecord&, bool&) { throw 7; };
    handle = true;
    EXPECT_NO_THROW(SendExceptionNotify(handle));
    EXPECT_FALSE(handle);
}

// With no handlers and no global procedure an event changes nothing, for an
// exception of this module and for one of the other module whose receiver
// has no handlers either.
TEST_F(EventsTest, NoListenersLeaveTheValuesAlone)
{
    for (bool inDll : {false, true}) {
        if (inDll)
            RecordInDll(nullptr);
        for (bool value : {false, true}) {
            bool handle = value, flag = value, retry = value;
            SendExceptionNotify(handle);
            SendExceptionActionNotify(1, flag);
            SendExceptionErrorNotify(eaSendMail, retry);
            EXPECT_EQ(handle, value);
            EXPECT_EQ(flag, value);
            EXPECT_EQ(retry, value);
        }
        std::string text = "same";
        SendCustomDataRequest(text);
        EXPECT_EQ(text, "same");
        std::vector<std::string> files{"x"};
        SendAttachedFilesRequest(files);
        EXPECT_EQ(files, std::vector<std::string>{"x"});
        std::string phrase;
        EXPECT_FALSE(SendPasswordRequest(GetModuleHandleA(nullptr), phrase));
        EXPECT_EQ(phrase, "");
    }
    EXPECT_TRUE(Heard().empty());
}

// The pass phrase: a module with the library answers through its record
// form; a module with only the old form gets that (with the maximum of 255);
// this module's handlers see the answer and may change it.
TEST_F(EventsTest, PassPhraseRequestInBothForms)
{
    InstallDll();
    std::string seenByHandler;
    Register({.OnPasswordRequest = [&](const TZephraExceptionRecord&, std::string& phrase) { seenByHandler = phrase; }});
    std::string phrase = "given";
    EXPECT_TRUE(SendPasswordRequest(EventsDll(), phrase));
    EXPECT_EQ(phrase, "open sesame");
    EXPECT_EQ(seenByHandler, "open sesame");
    EXPECT_EQ(Heard(), (std::vector<std::string>{"dll phrase given none"}));

    HMODULE old = LoadLibraryA("events_oldform_dll.dll");
    ASSERT_NE(old, nullptr);
    ASSERT_EQ(GetProcAddress(old, PasswordRequestReceiverExName), nullptr);
    phrase.clear();
    EXPECT_TRUE(SendPasswordRequest(old, phrase));
    EXPECT_EQ(phrase, "old sesame");
    EXPECT_EQ(DllProc<int32_t(__stdcall*)()>(old, "OldFormMaxLength")(), 255);
    FreeLibrary(old);

    // A module without any receiver: only this module's handlers.
    phrase = "kept";
    EXPECT_TRUE(SendPasswordRequest(GetModuleHandleA("kernel32.dll"), phrase));
    EXPECT_EQ(seenByHandler, "kept");
}

// The receivers refuse what they cannot read and never raise.
TEST_F(EventsTest, ReceiversRefuseBadInput)
{
    InstallDll();
    auto notify = DllProc<TExceptionNotifyReceiver>(EventsDll(), ExceptionNotifyReceiverName);
    auto custom = DllProc<TCustomDataRequestReceiver>(EventsDll(), CustomDataRequestReceiverName);
    auto files = DllProc<TAttachedFilesRequestReceiver>(EventsDll(), AttachedFilesRequestReceiverName);
    auto phraseEx = DllProc<TPasswordRequestReceiverEx>(EventsDll(), PasswordRequestReceiverExName);
    ASSERT_TRUE(notify && custom && files && phraseEx);
    uint8_t flag = 1;
    notify(nullptr, &flag);
    notify(reinterpret_cast<const TZephraExceptionRecord*>(16), &flag);
    EXPECT_EQ(flag, 1);
    TZephraExceptionRecord garbage{};
    garbage.ExceptionObject = reinterpret_cast<const TExceptionInfo*>(uintptr_t(0x1230));
    garbage.ReportText = reinterpret_cast<const char*>(uintptr_t(0x2340));
    garbage.CallStack = reinterpret_cast<TZephraStackList*>(uintptr_t(0x3450));
    notify(&garbage, nullptr);
    notify(&garbage, &flag);
    EXPECT_EQ(flag, 0);  // the handler ran, on nothing it could not read
    ASSERT_EQ(Heard().size(), 1u);
    EXPECT_EQ(Field(Heard()[0], "object"), PointerText(nullptr)) << Heard()[0];
    EXPECT_EQ(Field(Heard()[0], "text"), "");
    const char* text = reinterpret_cast<const char*>(uintptr_t(0x4560));
    custom(&garbage, &text);
    EXPECT_STREQ(text, "+dll");
    TZephraStrings list{reinterpret_cast<const char* const*>(uintptr_t(0x5670)), 3};
    files(&garbage, &list);
    list.Count = 0x7FFFFFFF;
    files(&garbage, &list);
    uint8_t phrase[256] = {};
    phraseEx(&garbage, phrase, 4);  // the answer is cut to the maximum
    EXPECT_EQ(std::string(reinterpret_cast<char*>(phrase + 1), phrase[0]), "open");
    phraseEx(&garbage, nullptr, 255);
    phraseEx(&garbage, reinterpret_cast<uint8_t*>(GetModuleHandleA(nullptr)), 255);  // not writable
}

// A step run directly: the hand-over word says so while it runs (a step
// inside it puts back what it found), its exception is swallowed, and the
// duplicate test runs after each step.
TEST_F(EventsTest, DirectStepsAndTheDuplicateTest)
{
    static std::atomic<int> duplicateRuns{0};
    duplicateRuns = 0;
    SetDuplicateTest([] { ++duplicateRuns; });
    EXPECT_FALSE(StepWaitingForMainThread());
    bool insideOuter = false, insideAfterInner = false;
    CallInMainThread([&] {
        insideOuter = StepWaitingForMainThread();
        CallInMainThread([] { throw std::runtime_error("step failure"); });
        insideAfterInner = StepWaitingForMainThread();
    });
    EXPECT_TRUE(insideOuter);
    EXPECT_TRUE(insideAfterInner);
    EXPECT_FALSE(StepWaitingForMainThread());
    EXPECT_EQ(duplicateRuns.load(), 2);
    EXPECT_FALSE(RunHandedOverStep());
    // From another thread while no report runs: at once, on that thread.
    DWORD ranOn = 0, worker = 0;
    std::thread other([&] {
        worker = GetCurrentThreadId();
        CallInMainThread([&] { ranOn = GetCurrentThreadId(); });
    });
    other.join();
    EXPECT_EQ(ranOn, worker);
}

// A report's events run on the raising thread, which waits in the manager
// while the report is worked on elsewhere; the report goes on only when the
// event is over (the event's own sending runs a step inside the handed-over
// one), so the record stays whole for a handler that takes its time.
TEST_F(EventsTest, ReportEventsRunOnTheRaisingThread)
{
    std::vector<DWORD> threads;
    uint32_t sectionAfterAWhile = 0;
    bool stackAfterAWhile = false;
    Register({.OnExceptionNotify = [&](const TZephraExceptionRecord& record, bool&) {
        threads.push_back(GetCurrentThreadId());
        EXPECT_EQ(record.ThreadId, GetCurrentThreadId());
        EXPECT_TRUE(StepWaitingForMainThread());
        Sleep(200);
        sectionAfterAWhile = SectionCode();
        stackAfterAWhile = record.CallStack != nullptr;
    }});
    TExceptionRef object;
    try {
        throw qov::EConvertError("reported");
    } catch (...) {
        object = std::make_shared<const TExceptionInfo>(TExceptionInfo::Current());
    }
    EXPECT_EQ(RunExceptionHandler(object, reinterpret_cast<const void*>(&RunExceptionHandler), false, daOrdinary,
                                  GetModuleHandleA(nullptr), rkThread, nullptr, 0, 0),
              0);
    EXPECT_EQ(threads, std::vector<DWORD>{GetCurrentThreadId()});
    EXPECT_EQ(sectionAfterAWhile, 706u);
    EXPECT_TRUE(stackAfterAWhile);
    EXPECT_FALSE(StepWaitingForMainThread());
    EXPECT_FALSE(ReportInProgress());
}

namespace {

struct TMember {
    int Calls = 0;
    std::string Message;
    bool Abort = false;
};

void FailingMember(void* data)
{
    auto* member = static_cast<TMember*>(data);
    ++member->Calls;
    if (member->Abort)
        throw qov::EAbort("quiet");
    throw qov::EConvertError(member->Message);
}

int32_t MemberFailed(void*) noexcept
{
    ReportSafeCallException(GetModuleHandleA(nullptr));
    try {
        throw;
    } catch (const std::exception& e) {
        SetLastExceptionMessage(e.what());
    }
    return static_cast<int32_t>(DISP_E_EXCEPTION);
}

} // namespace

// A member that fails inside the safecall boundary is reported once, with
// its message as it is; the boundary's result is the member's failure.
// EAbort is never reported.
TEST_F(EventsTest, SafeCallFailureIsReportedOnceWithItsBareMessage)
{
    std::vector<std::string> reported;
    Register({.OnExceptionNotify = [&](const TZephraExceptionRecord& record, bool&) {
        reported.push_back(record.ExceptionObject ? record.ExceptionObject->Message() : "-");
    }});
    TMember member;
    member.Message = "Member failed";
    EXPECT_EQ(RunSafeCall(&FailingMember, &member, &MemberFailed), static_cast<int32_t>(DISP_E_EXCEPTION));
    EXPECT_EQ(member.Calls, 1);
    EXPECT_EQ(reported, std::vector<std::string>{"Member failed"});
    EXPECT_EQ(CurrentExceptionMessage(), "Member failed");

    member.Message = "Second failure";
    RunSafeCall(&FailingMember, &member, &MemberFailed);
    EXPECT_EQ(reported, (std::vector<std::string>{"Member failed", "Second failure"}));

    member.Abort = true;
    RunSafeCall(&FailingMember, &member, &MemberFailed);
    EXPECT_EQ(reported.size(), 2u);
}

// The application's handler reports with raiser kind 1; while a step of a
// report runs on the thread it leaves the exception to the caller.
TEST_F(EventsTest, ApplicationHandlerReportsUnlessAStepRuns)
{
    int reports = 0;
    Register({.OnExceptionNotify = [&](const TZephraExceptionRecord&, bool&) { ++reports; }});
    try {
        throw std::out_of_range("window procedure failure");
    } catch (...) {
        EXPECT_TRUE(HandleApplicationException(GetModuleHandleA(nullptr)));
    }
    EXPECT_EQ(reports, 1);
    CallInMainThread([&] {
        try {
            throw std::out_of_range("inside a step");
        } catch (...) {
            EXPECT_FALSE(HandleApplicationException(GetModuleHandleA(nullptr)));
        }
    });
    EXPECT_EQ(reports, 1);
    EXPECT_FALSE(HandleApplicationException(GetModuleHandleA(nullptr)));  // nothing being handled
}

// The module's current options are those its debug data carries (this
// program's options file), not the defaults.
TEST(EventsOptions, CurrentOptionsComeFromTheModulesDebugData)
{
    const TZephraModuleOptionsEx& options = *CurrentZephraLogOptions();
    EXPECT_EQ(options.DialogFlags(), 0);
    EXPECT_EQ(options.SaveLog(), 0);
    EXPECT_EQ(options.TerminateMode(), 0);
    // What the file leaves out keeps its default.
    EXPECT_EQ(options.StackFlags(), 0x0F);
}
