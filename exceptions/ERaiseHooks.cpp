#include "ERaise.h"

#include <windows.h>

#include <cxxabi.h>
#include <httpext.h>
#include <unwind.h>

#include <cstddef>
#include <cstring>
#include <exception>
#include <string>

#include "ECore.h"
#include "EEvents.h"
#include "EHandled.h"
#include "EHook.h"
#include "EModules.h"
#include "ESafeRead.h"
#include "EStack.h"
#include "EThreadHooks.h"
#include "SysUtils.h"

namespace qov::exceptions {

// The registers that the assembly entry of a raise hook pushes, lowest
// address first, followed by the raising call's return address.
struct TEntryRegisters {
#ifdef _WIN64
    uintptr_t Rax, Rcx, Rdx, Rbx, Rbp, Rsi, Rdi, R8, R9, R10, R11, R12, R13, R14, R15, EFlags;
#else
    uintptr_t Edi, Esi, Ebp, Ebx, Edx, Ecx, Eax, EFlags;
#endif
    const void* ReturnAddress;
};

} // namespace qov::exceptions

using qov::exceptions::TEntryRegisters;

extern "C" {
[[noreturn]] void __real___cxa_throw(void* object, std::type_info* type, void (*destructor)(void*));
[[noreturn]] void __real___cxa_rethrow();
_Unwind_Reason_Code __real__Unwind_RaiseException(_Unwind_Exception* exception);
_Unwind_Reason_Code __real__Unwind_Resume_or_Rethrow(_Unwind_Exception* exception);
void QovRaiseEntry(TEntryRegisters* registers, int rethrow) noexcept;
}

// The entries of __cxa_throw and __cxa_rethrow: push every general register
// (with unwind data, so that the decision's walk goes through this frame to
// the raising one), hand the block to QovRaiseEntry and go on with the real
// function as if called from the raising code.
#ifdef _WIN64
asm(R"(
    .macro QOV_RAISE_ENTRY name, real, rethrow
    .text
    .p2align 4
    .globl \name
    .def \name; .scl 2; .type 32; .endef
    .seh_proc \name
\name:
    pushfq
    .seh_stackalloc 8
    pushq %r15
    .seh_pushreg %r15
    pushq %r14
    .seh_pushreg %r14
    pushq %r13
    .seh_pushreg %r13
    pushq %r12
    .seh_pushreg %r12
    pushq %r11
    .seh_pushreg %r11
    pushq %r10
    .seh_pushreg %r10
    pushq %r9
    .seh_pushreg %r9
    pushq %r8
    .seh_pushreg %r8
    pushq %rdi
    .seh_pushreg %rdi
    pushq %rsi
    .seh_pushreg %rsi
    pushq %rbp
    .seh_pushreg %rbp
    pushq %rbx
    .seh_pushreg %rbx
    pushq %rdx
    .seh_pushreg %rdx
    pushq %rcx
    .seh_pushreg %rcx
    pushq %rax
    .seh_pushreg %rax
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    leaq 40(%rsp), %rcx
    movl $\rethrow, %edx
    call QovRaiseEntry
    addq $40, %rsp
    popq %rax
    popq %rcx
    popq %rdx
    popq %rbx
    popq %rbp
    popq %rsi
    popq %rdi
    popq %r8
    popq %r9
    popq %r10
    popq %r11
    popq %r12
    popq %r13
    popq %r14
    popq %r15
    popfq
    jmp \real
    .seh_endproc
    .endm
    QOV_RAISE_ENTRY __wrap___cxa_throw, __real___cxa_throw, 0
    QOV_RAISE_ENTRY __wrap___cxa_rethrow, __real___cxa_rethrow, 1
)");
#else
asm(R"(
    .macro QOV_RAISE_ENTRY name, real, rethrow
    .text
    .p2align 4
    .globl \name
    .def \name; .scl 2; .type 32; .endef
\name:
    .cfi_startproc
    pushfl
    .cfi_adjust_cfa_offset 4
    pushl %eax
    .cfi_adjust_cfa_offset 4
    pushl %ecx
    .cfi_adjust_cfa_offset 4
    pushl %edx
    .cfi_adjust_cfa_offset 4
    pushl %ebx
    .cfi_adjust_cfa_offset 4
    .cfi_offset %ebx, -24
    pushl %ebp
    .cfi_adjust_cfa_offset 4
    .cfi_offset %ebp, -28
    pushl %esi
    .cfi_adjust_cfa_offset 4
    .cfi_offset %esi, -32
    pushl %edi
    .cfi_adjust_cfa_offset 4
    .cfi_offset %edi, -36
    movl %esp, %eax
    pushl $\rethrow
    .cfi_adjust_cfa_offset 4
    pushl %eax
    .cfi_adjust_cfa_offset 4
    call _QovRaiseEntry
    addl $8, %esp
    .cfi_adjust_cfa_offset -8
    popl %edi
    popl %esi
    popl %ebp
    popl %ebx
    popl %edx
    popl %ecx
    popl %eax
    popfl
    .cfi_adjust_cfa_offset -32
    jmp \real
    .cfi_endproc
    .endm
    QOV_RAISE_ENTRY ___wrap___cxa_throw, ___real___cxa_throw, 0
    QOV_RAISE_ENTRY ___wrap___cxa_rethrow, ___real___cxa_rethrow, 1
)");
#endif

namespace qov::exceptions {

namespace {


// Plain data: the hooks may run before the module's static initialisers.
bool Installed = false;
TRaiseReporter Reporter = nullptr;
TExceptProc PreviousExceptProc = nullptr;
std::terminate_handler PreviousTerminate = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER PreviousFilter = nullptr;
bool FilterInstalled = false;

// The codes of the C++ run-time's own exceptions on 64-bit Windows ("GCC"
// with the kind in the top bits): a throw is raised as a Windows exception
// there, and when no frame takes it the system's last-resort filter is asked.
constexpr DWORD GccExceptionMask = 0x20FFFFFF, GccExceptionCode = 0x20474343;

bool IsGccException(DWORD code)
{
    return (code & GccExceptionMask) == GccExceptionCode;
}

// Takes and gives back the thread's raise-hook guard.
bool TakeGuard(TRaiseRecord& record)
{
    return InterlockedCompareExchange(&record.RaiseGuard, 1, 0) == 0;
}

void ReleaseGuard(TRaiseRecord& record)
{
    InterlockedExchange(&record.RaiseGuard, 0);
}

// The calling thread's stack limits from its information block.
void StackLimits(uintptr_t& low, uintptr_t& high)
{
    // NT_TIB.StackLimit; StackTop() gives NT_TIB.StackBase.
#ifdef _WIN64
    __asm__("movq %%gs:16, %0" : "=r"(low));
#else
    __asm__("movl %%fs:8, %0" : "=r"(low));
#endif
    high = StackTop();
}

// The raise-time stack copy of the thread: from the raise's stack position
// (the current one when that lies outside the stack) up to the stack top.
void FillStackCopy(TRaiseRecord& record, const void* address, bool raisedByProgram)
{
    uintptr_t low, high;
    StackLimits(low, high);
    uintptr_t from = record.RaisePosition;
    if (from < low || from >= high)
        from = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    size_t size = high - from;
    if (size > RaiseStackCopyLimit)
        size = RaiseStackCopyLimit;
    bool copied = record.StackCopy && SafeCopy(record.StackCopy, reinterpret_cast<const void*>(from), size);
    record.StackCopySize = copied ? static_cast<uint32_t>(size) : 0;
    record.StackCopyBase = from;
    record.StackCopyThreadId = GetCurrentThreadId();
    record.StackCopyAddress = raisedByProgram ? static_cast<const uint8_t*>(address) - 5 : address;
}

uint8_t Report(const TExceptionRef& object, const void* address, bool raisedByProgram, uint8_t answer,
               HMODULE module)
{
    TRaiseReporter reporter = Reporter ? Reporter : RunExceptionHandler;
    return reporter(object, address, raisedByProgram, answer, module, rkThread, nullptr, 0, 0);
}

// The notification with the guard held. type and thrown: the raw exception
// of a C++ raise (the decision reads the object while it lives); null for a
// Windows exception, which is decided through its descriptor.
void NotifyGuarded(TRaiseRecord& record, const TExceptionRef& object, const std::type_info* type, void* thrown,
                   const void* address, bool raisedByProgram, bool force)
{
    if (!force || !SavedException().LastAddress)
        RecordSavedException(object, address, raisedByProgram);
    if (!LibraryState().HandlingEnabled || !object || !object->IsManageable())
        return;
    FillStackCopy(record, address, raisedByProgram);
    // The library's own threads (the one that runs a report among them) never
    // report: the raising thread waits for them.
    if (IsLibraryThread(GetCurrentThreadId()))
        return;
    TDecision decision = type ? DecideThrow(type, thrown, address, force)
                              : DecideException(object.get(), address, force);
    if (decision.Handled)
        return;
    if (record.CapturePosition == 0)
        record.CapturePosition = record.RaisePosition;
    record.ReportedObject = object->Object();
    record.ReportedAddress = address;
    Report(object, address, raisedByProgram, decision.Answer, OwnModule());
}

// The thrown object behind an exception_ptr of the C++ library (which holds
// nothing but the object's address).
void* ObjectOf(const std::exception_ptr& error)
{
    static_assert(sizeof(std::exception_ptr) == sizeof(void*));
    void* object;
    std::memcpy(&object, &error, sizeof object);
    return object;
}

uint16_t Segment(int which)
{
    uint16_t value = 0;
    switch (which) {
    case 0: asm("movw %%cs, %0" : "=r"(value)); break;
    case 1: asm("movw %%ss, %0" : "=r"(value)); break;
    case 2: asm("movw %%ds, %0" : "=r"(value)); break;
    case 3: asm("movw %%es, %0" : "=r"(value)); break;
    case 4: asm("movw %%fs, %0" : "=r"(value)); break;
    default: asm("movw %%gs, %0" : "=r"(value)); break;
    }
    return value;
}

// The context of the raising code as the entry found it: the registers it
// pushed, the instruction pointer at the call (return address - 5) and the
// stack pointer as the call found it.
void SynthesiseContext(CONTEXT& context, const TEntryRegisters& r, uintptr_t stackPosition)
{
    std::memset(&context, 0, sizeof context);
    context.ContextFlags = RaiseContextFlags;
    const auto instruction = reinterpret_cast<uintptr_t>(r.ReturnAddress) - 5;
#ifdef _WIN64
    context.Rax = r.Rax; context.Rcx = r.Rcx; context.Rdx = r.Rdx; context.Rbx = r.Rbx;
    context.Rbp = r.Rbp; context.Rsi = r.Rsi; context.Rdi = r.Rdi;
    context.R8 = r.R8; context.R9 = r.R9; context.R10 = r.R10; context.R11 = r.R11;
    context.R12 = r.R12; context.R13 = r.R13; context.R14 = r.R14; context.R15 = r.R15;
    context.Rip = instruction;
    context.Rsp = stackPosition;
    context.EFlags = static_cast<DWORD>(r.EFlags);
#else
    context.Eax = r.Eax; context.Ecx = r.Ecx; context.Edx = r.Edx; context.Ebx = r.Ebx;
    context.Ebp = r.Ebp; context.Esi = r.Esi; context.Edi = r.Edi;
    context.Eip = instruction;
    context.Esp = stackPosition;
    context.EFlags = r.EFlags;
#endif
    context.SegCs = Segment(0);
    context.SegSs = Segment(1);
    context.SegDs = Segment(2);
    context.SegEs = Segment(3);
    context.SegFs = Segment(4);
    context.SegGs = Segment(5);
}

// The exception being raised: the arguments of __cxa_throw, or the exception
// being handled for __cxa_rethrow.
void RaisedException(const TEntryRegisters& r, uintptr_t stackPosition, bool rethrow, const std::type_info*& type,
                     void*& object)
{
    if (rethrow) {
        std::exception_ptr current = std::current_exception();
        type = current ? current.__cxa_exception_type() : nullptr;
        object = current ? ObjectOf(current) : nullptr;
        return;
    }
#ifdef _WIN64
    object = reinterpret_cast<void*>(r.Rcx);
    type = reinterpret_cast<const std::type_info*>(r.Rdx);
#else
    const auto* arguments = reinterpret_cast<void* const*>(stackPosition);
    object = arguments[0];
    type = static_cast<const std::type_info*>(arguments[1]);
#endif
}

// The main module's exports, for a module that defers to it.
#ifdef _WIN64
#define QOV_REGISTER_CALL
#else
#define QOV_REGISTER_CALL __attribute__((regparm(3), stdcall))
#endif
// (The attributes bind to the pointer only in this form of declaration.)
typedef uint8_t QOV_REGISTER_CALL (*TExceptionManagerExport)(const TExceptionInfo* object, const void* address,
                                                             uint8_t kind, HMODULE module);
#ifdef _WIN64
typedef void (*TGeneralRaiseExport)(DWORD code, DWORD flags, DWORD count, uintptr_t stackPosition,
                                    const ULONG_PTR* arguments);
#else
typedef void QOV_REGISTER_CALL (*TGeneralRaiseExport)(DWORD code, DWORD flags, DWORD count,
                                                      const ULONG_PTR* arguments, uintptr_t stackPosition);
#endif

template <typename T>
T MainExport(const char* name)
{
    HMODULE main = LibraryState().MainModule;
    if (!main || main == OwnModule())
        return nullptr;
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(main, name)));
}

// The module that carries the library and holds address, or null.
HMODULE LibraryModuleAt(const void* address)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(address), &module))
        return nullptr;
    return HasZpdata(module) ? module : nullptr;
}

[[noreturn]] void EndThread()
{
    if (GetCurrentThreadId() == LibraryState().MainThreadId)
        ExitProcess(1);
    ExitThread(1);
}

// The terminate handler: an exception that ends the program goes to the
// unhandled-exception procedure first.
[[noreturn]] void TerminateHandler()
{
    if (ExceptProc && std::current_exception())
        ExceptProc(nullptr);
    if (PreviousTerminate)
        PreviousTerminate();
    std::abort();
}

// Kernel32 hooks ---------------------------------------------------------------------

template <typename T>
T Kernel32Procedure(T& cell, const char* name)
{
    if (!cell)
        cell = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
    return cell;
}

using TRaiseException = void(WINAPI*)(DWORD, DWORD, DWORD, const ULONG_PTR*);
using TRtlUnwind = void(WINAPI*)(PVOID, PVOID, PEXCEPTION_RECORD, PVOID);
using TWriteFile = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
TRaiseException PreviousRaiseException = nullptr;
TRtlUnwind PreviousRtlUnwind = nullptr;
TWriteFile PreviousWriteFile = nullptr;

// The stack position just above the hook's return address.
#define QOV_CALLER_STACK_POSITION() \
    (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) + 2 * sizeof(void*))

void WINAPI RaiseExceptionHook(DWORD code, DWORD flags, DWORD count, const ULONG_PTR* arguments)
{
    // A C++ throw on 64-bit Windows goes through here: its raise was recorded
    // by the throw's own hook, whose position stays.
    if (!IsGccException(code)) {
        uintptr_t position = QOV_CALLER_STACK_POSITION();
        if (TRaiseRecord* record = CurrentRaiseRecord())
            record->RaisePosition = position;
        if (LibraryState().Active && LibraryState().DefersToMain)
            if (auto general = MainExport<TGeneralRaiseExport>("ZephraLog_CallGeneralRaise"))
#ifdef _WIN64
                general(code, flags, count, position, arguments);
#else
                general(code, flags, count, arguments, position);
#endif
    }
    Kernel32Procedure(PreviousRaiseException, "RaiseException")(code, flags, count, arguments);
}

void WINAPI RtlUnwindHook(PVOID targetFrame, PVOID targetIp, PEXCEPTION_RECORD exception, PVOID returnValue)
{
    if (TRaiseRecord* record = CurrentRaiseRecord())
        record->RaisePosition = QOV_CALLER_STACK_POSITION();
    // A system exception being unwound (a fault handled by a handler of the
    // system's kind): its raise is recorded, never reported.
    try {
        if (LibraryState().Active && exception && IsReadableRange(exception, sizeof *exception) &&
            exception->ExceptionCode > 0xC0000004 && exception->ExceptionCode <= 0xC000013A &&
            (exception->ExceptionFlags & EXCEPTION_UNWINDING) && exception->NumberParameters == 2)
            NotifyRaise(std::make_shared<TExceptionInfo>(*exception, nullptr), exception->ExceptionAddress, false,
                        true);
    } catch (...) {
    }
    Kernel32Procedure(PreviousRtlUnwind, "RtlUnwind")(targetFrame, targetIp, exception, returnValue);
}

// The web-server side: the page a web-server extension wrote last.
SRWLOCK PageLock = SRWLOCK_INIT;
std::string* LastPage = nullptr;
EXTENSION_CONTROL_BLOCK* CurrentControlBlock = nullptr;
decltype(EXTENSION_CONTROL_BLOCK::WriteClient) ServerWriteClient = nullptr;

void RememberPage(const void* bytes, size_t size)
{
    AcquireSRWLockExclusive(&PageLock);
    try {
        if (!LastPage)
            LastPage = new std::string;
        LastPage->assign(static_cast<const char*>(bytes), size);
    } catch (...) {
    }
    ReleaseSRWLockExclusive(&PageLock);
}

// A console program run by a web server as a CGI program writes its page to
// the standard output.
bool WritesPageToStandardOutput()
{
    static const bool cgi = [] {
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
            reinterpret_cast<const uint8_t*>(GetModuleHandleA(nullptr)) +
            reinterpret_cast<const IMAGE_DOS_HEADER*>(GetModuleHandleA(nullptr))->e_lfanew);
        return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI &&
               GetEnvironmentVariableA("REQUEST_METHOD", nullptr, 0) > 0;
    }();
    return cgi;
}

BOOL WINAPI WriteFileHook(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (LibraryState().Active && buffer && file == GetStdHandle(STD_OUTPUT_HANDLE) && WritesPageToStandardOutput() &&
        IsReadableRange(buffer, count))
        RememberPage(buffer, count);
    return Kernel32Procedure(PreviousWriteFile, "WriteFile")(file, buffer, count, written, overlapped);
}

BOOL WINAPI WriteClientHook(HCONN connection, LPVOID buffer, LPDWORD count, DWORD reserved)
{
    if (buffer && count && IsReadableRange(count, sizeof *count) && IsReadableRange(buffer, *count))
        RememberPage(buffer, *count);
    return ServerWriteClient ? ServerWriteClient(connection, buffer, count, reserved) : FALSE;
}

using THttpExtensionProc = DWORD(WINAPI*)(EXTENSION_CONTROL_BLOCK*);
THttpExtensionProc PreviousHttpExtensionProc = nullptr;

DWORD WINAPI HttpExtensionProcHook(EXTENSION_CONTROL_BLOCK* block)
{
    if (block && IsReadableRange(block, sizeof *block)) {
        CurrentControlBlock = block;
        if (block->WriteClient != WriteClientHook) {
            ServerWriteClient = block->WriteClient;
            block->WriteClient = WriteClientHook;
        }
    }
    return PreviousHttpExtensionProc(block);
}

void HookImport(const char* name, void* hook)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    void* previous = kernel ? reinterpret_cast<void*>(GetProcAddress(kernel, name)) : nullptr;
    if (!previous)
        return;
    try {
        PatchImport(OwnModule(), "kernel32.dll", previous, false, true, name, hook);
        if (HMODULE runtime = GetModuleHandleA("msvcrt.dll"))
            PatchImport(runtime, "kernel32.dll", previous, false, true, name, hook);
    } catch (const EHookError&) {
        // Left out: the hook is then simply absent.
    }
}

} // namespace

void SetRaiseReporter(TRaiseReporter reporter) noexcept
{
    Reporter = reporter;
}

void NotifyRaise(const TExceptionRef& object, const void* address, bool raisedByProgram, bool force)
{
    TRaiseRecord* record = CurrentRaiseRecord();
    if (!record || !TakeGuard(*record))
        return;
    DWORD error = GetLastError();
    try {
        NotifyGuarded(*record, object, nullptr, nullptr, address, raisedByProgram, force);
    } catch (...) {
    }
    SetLastError(error);
    ReleaseGuard(*record);
}

TExceptionRef ExceptionObjectOf(const EXCEPTION_RECORD& exception, const CONTEXT* context, bool notify)
{
    auto object = std::make_shared<TExceptionInfo>(exception, context);
    if (context) {
        if (TRaiseRecord* record = CurrentRaiseRecord()) {
            // The fault's stack position is where it was raised.
#ifdef _WIN64
            record->CapturePosition = record->RaisePosition = context->Rsp;
#else
            record->CapturePosition = record->RaisePosition = context->Esp;
#endif
            std::memcpy(&record->Context, context, SharedContextSize);
            record->Context.ContextFlags = RaiseContextFlags;
            record->RaisedObject = nullptr;
            record->RaisedAddress = exception.ExceptionAddress;
        }
    }
    if (notify)
        NotifyRaise(object, exception.ExceptionAddress, false, false);
    return object;
}

void UnhandledException(void* systemException)
{
    if (!Installed)
        return;
    try {
        TRaiseRecord* record = CurrentRaiseRecord();
        TExceptionRef object;
        const void* address = nullptr;
        bool raisedByProgram = false;
        HMODULE module = OwnModule();
        if (systemException) {
            const auto* pointers = static_cast<const EXCEPTION_POINTERS*>(systemException);
            object = ExceptionObjectOf(*pointers->ExceptionRecord, pointers->ContextRecord, false);
            address = pointers->ExceptionRecord->ExceptionAddress;
            if (HMODULE at = LibraryModuleAt(address))
                module = at;
        } else {
            object = std::make_shared<TExceptionInfo>(TExceptionInfo::Current());
            if (record && object->Object() && record->RaisedObject == object->Object()) {
                // Raised through the hooks: the record still holds its raise.
                address = record->RaisedAddress;
                raisedByProgram = true;
                record->CapturePosition = record->RaisePosition;
            } else if (record) {
                record->CapturePosition = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
                record->Context.ContextFlags = 0;
            }
        }
        const bool reported = record && address && record->ReportedAddress == address &&
                              record->ReportedObject == object->Object();
        if (!reported && object->IsManageable() && LibraryState().HandlingEnabled &&
            !IsLibraryThread(GetCurrentThreadId())) {
            if (record) {
                record->ReportedObject = object->Object();
                record->ReportedAddress = address;
            }
            if (LibraryState().DefersToMain) {
                if (auto manager = MainExport<TExceptionManagerExport>("ExceptionManager"))
                    manager(object.get(), address, rkThread, OwnModule());
            } else if (record && TakeGuard(*record)) {
                RecordSavedException(object, address, raisedByProgram);
                Report(object, address, raisedByProgram, daOrdinary, module);
                ReleaseGuard(*record);
            }
        }
    } catch (...) {
    }
    EndThread();
}

LONG WINAPI UnhandledExceptionFilterOfLibrary(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD* exception = pointers ? pointers->ExceptionRecord : nullptr;
    // A C++ exception that no frame catches: carrying on returns from the
    // unwinder to the throw, where the raise hooks' safety net takes it.
    if (exception && IsGccException(exception->ExceptionCode) &&
        !(exception->ExceptionFlags & EXCEPTION_NONCONTINUABLE))
        return EXCEPTION_CONTINUE_EXECUTION;
    if (!exception || !Installed || !ExceptProc || !LibraryModuleAt(exception->ExceptionAddress))
        return PreviousFilter ? PreviousFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
    ExceptProc(pointers);
    return EXCEPTION_EXECUTE_HANDLER;
}

void InstallRaiseHooks()
{
    if (Installed)
        return;
    PreviousExceptProc = ExceptProc;
    ExceptProc = UnhandledException;
    PreviousTerminate = std::set_terminate(TerminateHandler);
    if (!LibraryState().DefersToMain) {
        PreviousFilter = SetUnhandledExceptionFilter(UnhandledExceptionFilterOfLibrary);
        FilterInstalled = true;
    }
    Installed = true;
    HookImport("RaiseException", reinterpret_cast<void*>(RaiseExceptionHook));
    HookImport("RtlUnwind", reinterpret_cast<void*>(RtlUnwindHook));
    HookImport("WriteFile", reinterpret_cast<void*>(WriteFileHook));
    if (void* proc = reinterpret_cast<void*>(GetProcAddress(OwnModule(), "HttpExtensionProc"))) {
        try {
            PreviousHttpExtensionProc =
                reinterpret_cast<THttpExtensionProc>(HookCode(proc, reinterpret_cast<void*>(HttpExtensionProcHook),
                                                              "HttpExtensionProc"));
        } catch (const EHookError&) {
        }
    }
}

void RemoveRaiseHooks()
{
    if (!Installed)
        return;
    Installed = false;
    if (FilterInstalled) {
        // A filter set after ours stays.
        LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(PreviousFilter);
        if (current != UnhandledExceptionFilterOfLibrary)
            SetUnhandledExceptionFilter(current);
        FilterInstalled = false;
    }
    std::set_terminate(PreviousTerminate);
    ExceptProc = PreviousExceptProc;
}

bool RaiseHooksInstalled() noexcept
{
    return Installed;
}

std::string LastHtmlPage()
{
    AcquireSRWLockShared(&PageLock);
    std::string page = LastPage ? *LastPage : std::string();
    ReleaseSRWLockShared(&PageLock);
    return page;
}

void* CurrentExtensionControlBlock() noexcept
{
    return CurrentControlBlock;
}

} // namespace qov::exceptions

using namespace qov::exceptions;
using qov::ExceptProc;

// The raise hooks ----------------------------------------------------------------------

extern "C" void QovRaiseEntry(TEntryRegisters* registers, int rethrow) noexcept
{
    if (!Installed)
        return;
    TRaiseRecord* record = CurrentRaiseRecord();
    // A raise inside the notification of another one on this thread is not
    // recorded: the record is the report's.
    if (!record || !TakeGuard(*record))
        return;
    DWORD error = GetLastError();
    try {
        const auto position = reinterpret_cast<uintptr_t>(&registers->ReturnAddress) + sizeof(void*);
        const std::type_info* type = nullptr;
        void* object = nullptr;
        RaisedException(*registers, position, rethrow != 0, type, object);
        record->RaisePosition = position;
#ifdef _WIN64
        record->SavedRegister = registers->Rcx;
#else
        record->SavedRegister = registers->Ecx;
#endif
        record->CapturePosition = position;
        SynthesiseContext(record->Context, *registers, position);
        record->RaisedObject = object;
        record->RaisedAddress = registers->ReturnAddress;
        record->ReportedObject = nullptr;
        record->ReportedAddress = nullptr;
        if (type) {
            auto descriptor = std::make_shared<TExceptionInfo>(type, object);
            NotifyGuarded(*record, descriptor, type, object, registers->ReturnAddress, true, false);
        }
    } catch (...) {
    }
    SetLastError(error);
    ReleaseGuard(*record);
}

namespace {

// The safety net: the unwinder returns only when no frame catches the
// exception (nothing is unwound yet). One the hooks did not report goes to the
// unhandled-exception procedure, which also ends the thread.
_Unwind_Reason_Code AfterUnwinder(_Unwind_Exception* exception, _Unwind_Reason_Code result)
{
    if (result != _URC_END_OF_STACK || !Installed || !ExceptProc)
        return result;
    // Made the exception being handled, as the run-time does before it ends
    // the program, so that the procedure finds it.
    __cxxabiv1::__cxa_begin_catch(exception);
    ExceptProc(nullptr);
    return result;
}

} // namespace

extern "C" _Unwind_Reason_Code __wrap__Unwind_RaiseException(_Unwind_Exception* exception)
{
    return AfterUnwinder(exception, __real__Unwind_RaiseException(exception));
}

extern "C" _Unwind_Reason_Code __wrap__Unwind_Resume_or_Rethrow(_Unwind_Exception* exception)
{
#ifdef _WIN64
    // The 64-bit unwinder's own rethrow raises through its raise entry, which
    // it calls directly and which ends the program when nothing catches.
    if (Installed && exception->private_[0] == 0)
        return AfterUnwinder(exception, __real__Unwind_RaiseException(exception));
#endif
    return AfterUnwinder(exception, __real__Unwind_Resume_or_Rethrow(exception));
}

// Exports -------------------------------------------------------------------------------
// Looked up by name in the main module by the other modules of the process
// that carry the library. On i686 they use the register convention (first
// three arguments in EAX, EDX, ECX; further ones pushed left to right, so
// declared here in reverse); x86_64 has one calling convention.
// The records that cross modules by address keep one layout per
// architecture (a module of the other one never shares the process): the
// 49-byte thread record and the 28-byte exception record on i686, with
// 8-byte pointer fields on x86_64.
#ifdef _WIN64
constexpr size_t PointerField = 8;
#else
constexpr size_t PointerField = 4;
#endif
static_assert(sizeof(TZephraThreadData) == 4 * 4 + 8 * PointerField + 1);
static_assert(offsetof(TZephraThreadData, ThreadId) == 0 && offsetof(TZephraThreadData, Handle) == 4 &&
              offsetof(TZephraThreadData, ResumerThreadId) == 4 + PointerField &&
              offsetof(TZephraThreadData, Reserved) == 8 + PointerField &&
              offsetof(TZephraThreadData, ThreadObject) == 12 + PointerField &&
              offsetof(TZephraThreadData, StackTop) == 12 + 2 * PointerField &&
              offsetof(TZephraThreadData, RunMethod) == 12 + 3 * PointerField &&
              offsetof(TZephraThreadData, ThreadRoutine) == 12 + 4 * PointerField &&
              offsetof(TZephraThreadData, StartAddress) == 12 + 5 * PointerField &&
              offsetof(TZephraThreadData, Parameter) == 12 + 6 * PointerField &&
              offsetof(TZephraThreadData, StackCopySize) == 12 + 7 * PointerField &&
              offsetof(TZephraThreadData, StackCopy) == 16 + 7 * PointerField &&
              offsetof(TZephraThreadData, Borrowed) == 16 + 8 * PointerField);
static_assert(sizeof(TZephraExceptionRecord) == 7 * PointerField);
static_assert(offsetof(TZephraExceptionRecord, ExceptionObject) == 0 &&
              offsetof(TZephraExceptionRecord, ExceptionAddress) == PointerField &&
              offsetof(TZephraExceptionRecord, ThreadId) == 2 * PointerField &&
              offsetof(TZephraExceptionRecord, ReportText) == 3 * PointerField &&
              offsetof(TZephraExceptionRecord, ModulesList) == 4 * PointerField &&
              offsetof(TZephraExceptionRecord, CallStack) == 5 * PointerField &&
              offsetof(TZephraExceptionRecord, Options) == 6 * PointerField);
#ifndef _WIN64
static_assert(sizeof(TZephraThreadData) == 49 && sizeof(TZephraExceptionRecord) == 28);
#endif

// The symbols carry the names undecorated (C names on i686 begin with an
// underscore, which the export leaves out); the linker is told to export them.
#ifdef _WIN64
#define QOV_EXPORT_NAME(name) __asm__(name)
#else
#define QOV_EXPORT_NAME(name) __asm__("_" name)
#endif
asm(".section .drectve\n"
    ".ascii \" -export:ExceptionManager -export:ZephraLog_CallGeneralRaise -export:ZephraLog_CallExceptObject\"\n"
    ".text");

extern "C" uint8_t QOV_REGISTER_CALL
ExportedExceptionManager(const TExceptionInfo* object, const void* address, uint8_t kind, HMODULE module)
    QOV_EXPORT_NAME("ExceptionManager");
extern "C" uint8_t QOV_REGISTER_CALL
ExportedExceptionManager(const TExceptionInfo* object, const void* address, uint8_t kind, HMODULE module)
{
    try {
        return ExceptionManager(object, address, static_cast<TRaiserKind>(kind), module);
    } catch (...) {
        return 1;
    }
}

extern "C" void QOV_REGISTER_CALL
#ifdef _WIN64
ExportedCallGeneralRaise(DWORD code, DWORD flags, DWORD count, uintptr_t stackPosition, const ULONG_PTR* arguments)
#else
ExportedCallGeneralRaise(DWORD code, DWORD flags, DWORD count, const ULONG_PTR* arguments, uintptr_t stackPosition)
#endif
    QOV_EXPORT_NAME("ZephraLog_CallGeneralRaise");
extern "C" void QOV_REGISTER_CALL
#ifdef _WIN64
ExportedCallGeneralRaise(DWORD code, DWORD flags, DWORD count, uintptr_t stackPosition, const ULONG_PTR* arguments)
#else
ExportedCallGeneralRaise(DWORD code, DWORD flags, DWORD count, const ULONG_PTR* arguments, uintptr_t stackPosition)
#endif
{
    // Only the run-time library's own raises carry an exception object to
    // record; this run-time raises none, so the position is all that is kept.
    if (TRaiseRecord* record = CurrentRaiseRecord())
        record->RaisePosition = stackPosition;
}

extern "C" const TExceptionInfo* QOV_REGISTER_CALL
ExportedCallExceptObject(const EXCEPTION_RECORD* exception, const CONTEXT* context, uint8_t notify)
    QOV_EXPORT_NAME("ZephraLog_CallExceptObject");
extern "C" const TExceptionInfo* QOV_REGISTER_CALL
ExportedCallExceptObject(const EXCEPTION_RECORD* exception, const CONTEXT* context, uint8_t notify)
{
    // Another module's records are read only as far as they are readable.
    if (!exception || !IsReadableRange(exception, offsetof(EXCEPTION_RECORD, ExceptionInformation)))
        return nullptr;
    EXCEPTION_RECORD copy{};
    std::memcpy(&copy, exception, offsetof(EXCEPTION_RECORD, ExceptionInformation));
    if (copy.NumberParameters > EXCEPTION_MAXIMUM_PARAMETERS ||
        !IsReadableRange(exception->ExceptionInformation, copy.NumberParameters * sizeof(ULONG_PTR)))
        copy.NumberParameters = 0;
    std::memcpy(copy.ExceptionInformation, exception->ExceptionInformation, copy.NumberParameters * sizeof(ULONG_PTR));
    copy.ExceptionRecord = nullptr;
    alignas(16) CONTEXT contextCopy{};
    const CONTEXT* readable = nullptr;
    if (context && IsReadableRange(context, SharedContextSize)) {
        std::memcpy(&contextCopy, context, SharedContextSize);
        readable = &contextCopy;
    }
    TRaiseRecord* record = CurrentRaiseRecord();
    if (!record)
        return nullptr;
    try {
        TExceptionRef object = ExceptionObjectOf(copy, readable, notify != 0);
        auto* kept = new TExceptionInfo(*object);
        delete record->ExceptObject;
        record->ExceptObject = kept;
        return kept;
    } catch (...) {
        return nullptr;
    }
}
