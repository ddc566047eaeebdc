// Event dispatch: the program takes part in a report through events. Each
// event reaches, in this order, the exported receiver of the module in which
// the exception happened (when that is another module carrying the library),
// the handlers registered in the library's handler list (last first), and
// one global procedure per event. Steps that must run on the raising thread
// go through CallInMainThread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "EBugText.h"
#include "EExceptionInfo.h"

namespace qov::exceptions {

class TZephraModulesList;
class TZephraStackList;
class TZephraModuleOptionsEx;

// The record that crosses modules by address: seven pointer-sized fields
// (28 bytes on i686). ReportText points at the report text's characters
// (zero-terminated) of the module that owns the record.
#pragma pack(push, 1)
struct TZephraExceptionRecord {
    const TExceptionInfo* ExceptionObject;
    const void* ExceptionAddress;
    uintptr_t ThreadId;
    const char* ReportText;
    TZephraModulesList* ModulesList;
    TZephraStackList* CallStack;
    TZephraModuleOptionsEx* Options;
};
#pragma pack(pop)
#ifndef _WIN64
static_assert(sizeof(TZephraExceptionRecord) == 28, "the exception record is 28 bytes");
#endif

// The record of the report in progress (all fields null when none).
TZephraExceptionRecord& CurrentExceptionRecord() noexcept;

// The first argument of the exception-error event: the action of the step
// that failed (the same numbers as the action events after each step).
enum TErrorAction : int {
    eaSaveLog = 3,   // saving the log
    eaSendMail = 5,  // sending by mail
    eaSendWeb = 7,   // sending to the web
};
// The failing step's action for the warning that the step recorded
// (eeLogError: 3, the mail codes: 5, the web codes: 7); 0 for other codes.
int ErrorActionOf(TZephraLogErrorCode code) noexcept;

// Sending the events (the manager's steps call these). Each runs through
// CallInMainThread: the exported receiver of the module holding the current
// record's exception address (when that is another module), then the
// registered handlers from the last to the first, then the global procedure.
// A handler that raises is passed over; the others still run.
void SendExceptionNotify(bool& handle);
void SendCustomDataRequest(std::string& text);
void SendExceptionActionNotify(int action, bool& flag);
// action: the failing step's TErrorAction.
void SendExceptionErrorNotify(int action, bool& retry);
void SendAttachedFilesRequest(std::vector<std::string>& files);
void SendCustomFieldsRequest(std::vector<std::string>& names, std::vector<std::string>& values);
// The pass phrase of module's protected debug data: module's own receiver
// (ZephraLog_PasswordRequestEventEx, else the old form
// ZephraLog_PasswordRequestEvent) when it is another module, then this
// module's handlers and global procedure. False when nobody gave a phrase.
bool SendPasswordRequest(HMODULE module, std::string& passPhrase);

// Handlers ----------------------------------------------------------------------------

// One entry of the handler list: a method per event; an unset one is passed
// over. The record is the current exception record of this module.
struct TZephraEventHandlers {
    std::function<void(const TZephraExceptionRecord& record, bool& handle)> OnExceptionNotify{};
    std::function<void(const TZephraExceptionRecord& record, std::string& text)> OnCustomDataRequest{};
    std::function<void(const TZephraExceptionRecord& record, int action, bool& flag)> OnExceptionActionNotify{};
    std::function<void(const TZephraExceptionRecord& record, int action, bool& retry)> OnExceptionErrorNotify{};
    std::function<void(const TZephraExceptionRecord& record, std::vector<std::string>& files)>
        OnAttachedFilesRequest{};
    std::function<void(const TZephraExceptionRecord& record, std::vector<std::string>& names,
                       std::vector<std::string>& values)>
        OnCustomFieldsRequest{};
    std::function<void(const TZephraExceptionRecord& record, std::string& passPhrase)> OnPasswordRequest{};
};
using TZephraHandlerRef = std::shared_ptr<const TZephraEventHandlers>;

// The handler list: entries in the order of their registration.
class TZephraLogList {
public:
    void Add(TZephraHandlerRef entry);
    // Removes the entry (by identity); false when it is not listed.
    bool Remove(const TZephraHandlerRef& entry);
    size_t Count() const;
    // The entries at this moment, in list order (a handler may register or
    // remove entries while it runs).
    std::vector<TZephraHandlerRef> Items() const;

private:
    mutable SRWLOCK FLock = SRWLOCK_INIT;
    std::vector<TZephraHandlerRef> FItems;
};

// This module's handler list, and the registration for programs: the
// returned reference removes the entry again through UnregisterEventHandlers.
TZephraLogList& EventHandlers();
TZephraHandlerRef RegisterEventHandlers(TZephraEventHandlers handlers);
void UnregisterEventHandlers(const TZephraHandlerRef& entry);

// The global procedures, one per event (unset: none). Set them before a
// report can run.
TZephraEventHandlers& GlobalEventProcedures();

// The exported receivers ------------------------------------------------------------

// Every module that carries the library exports these by name, undecorated.
// 32-bit: GCC's register convention (the first three arguments in EAX, EDX,
// ECX) with stdcall; 64-bit: the one calling convention. Flags are bytes
// (0 or 1); texts are zero-terminated; a receiver copies what it keeps and
// gives back only what lives in its own module.
#if defined(_WIN64)
#define ZEPHRA_RECEIVER_CONVENTION
#else
#define ZEPHRA_RECEIVER_CONVENTION __attribute__((regparm(3), stdcall))
#endif

// A list of texts as it crosses modules.
#pragma pack(push, 1)
struct TZephraStrings {
    const char* const* Items;
    uint32_t Count;
};
#pragma pack(pop)

using TExceptionNotifyReceiver = void ZEPHRA_RECEIVER_CONVENTION (*)(const TZephraExceptionRecord* record,
                                                                   uint8_t* handle);
// text: in, the sender's text; out, a text of the receiving module, valid
// until its next call.
using TCustomDataRequestReceiver = void ZEPHRA_RECEIVER_CONVENTION (*)(const TZephraExceptionRecord* record,
                                                                     const char** text);
using TExceptionActionNotifyReceiver = void ZEPHRA_RECEIVER_CONVENTION (*)(const TZephraExceptionRecord* record,
                                                                         int32_t action, uint8_t* flag);
using TExceptionErrorNotifyReceiver = void ZEPHRA_RECEIVER_CONVENTION (*)(const TZephraExceptionRecord* record,
                                                                        int32_t action, uint8_t* retry);
using TAttachedFilesRequestReceiver = void ZEPHRA_RECEIVER_CONVENTION (*)(const TZephraExceptionRecord* record,
                                                                        const TZephraStrings* files);
using TCustomFieldsRequestReceiver = void ZEPHRA_RECEIVER_CONVENTION (*)(const TZephraExceptionRecord* record,
                                                                       const TZephraStrings* names,
                                                                       const TZephraStrings* values);
// passPhrase: a short string (a length byte, then up to maxLength characters).
using TPasswordRequestReceiverEx = void ZEPHRA_RECEIVER_CONVENTION (*)(const TZephraExceptionRecord* record,
                                                                     uint8_t* passPhrase, int32_t maxLength);
using TPasswordRequestReceiver = void ZEPHRA_RECEIVER_CONVENTION (*)(uint8_t* passPhrase, int32_t maxLength);

// The receivers' export names.
extern const char* const ExceptionNotifyReceiverName;        // "ZephraLog_ExceptionNotifyEvent"
extern const char* const CustomDataRequestReceiverName;      // "ZephraLog_CustomDataRequestEvent"
extern const char* const ExceptionActionNotifyReceiverName;  // "ZephraLog_ExceptionActionNotifyEvent"
extern const char* const ExceptionErrorNotifyReceiverName;   // "ZephraLog_ExceptionErrorNotifyEvent"
extern const char* const AttachedFilesRequestReceiverName;   // "ZephraLog_AttachedFilesRequestEvent"
extern const char* const CustomFieldsRequestReceiverName;    // "ZephraLog_CustomFieldsRequestEvent"
extern const char* const PasswordRequestReceiverExName;      // "ZephraLog_PasswordRequestEventEx"
extern const char* const PasswordRequestReceiverName;        // "ZephraLog_PasswordRequestEvent"

// Runs step on the raising thread of the report in progress (handed over to
// the thread waiting in RunExceptionHandler), or at once when there is none
// or the caller is that thread; exceptions of the step are swallowed.
void CallInMainThread(const std::function<void()>& step);
// The waiting loop of RunExceptionHandler: runs a handed-over step, if any,
// and clears the hand-over. True when one ran.
bool RunHandedOverStep();
// True while a step is handed over or runs directly (the application hooks
// then do not report).
bool StepWaitingForMainThread() noexcept;

// The duplicate test of the report in progress (the stored log's), run
// again after every step that CallInMainThread ran, since an event may have
// changed the report. Set by the stored log's part; nothing runs until then.
using TDuplicateTest = void (*)();
void SetDuplicateTest(TDuplicateTest test) noexcept;

} // namespace qov::exceptions
