#include "ESafeRead.h"

#include <windows.h>

#include <cstring>

#include "ECore.h"

// QovSafeCopy(to, from, count): 1 when copied, 0 when the copy faulted. The
// one instruction that reads the foreign bytes lies at QovSafeCopyRead; the
// handler below resumes a fault there at QovSafeCopyFault.
extern "C" int QovSafeCopy(void* to, const void* from, size_t count);
extern "C" char QovSafeCopyRead[], QovSafeCopyFault[];

#ifdef _WIN64
asm(R"(
    .text
    .p2align 4
    .globl QovSafeCopy
    .def QovSafeCopy; .scl 2; .type 32; .endef
    .seh_proc QovSafeCopy
QovSafeCopy:
    pushq %rsi
    .seh_pushreg %rsi
    pushq %rdi
    .seh_pushreg %rdi
    .seh_endprologue
    movq %rcx, %rdi
    movq %rdx, %rsi
    movq %r8, %rcx
    .globl QovSafeCopyRead
QovSafeCopyRead:
    rep movsb
    movl $1, %eax
    popq %rdi
    popq %rsi
    ret
    .globl QovSafeCopyFault
QovSafeCopyFault:
    xorl %eax, %eax
    popq %rdi
    popq %rsi
    ret
    .seh_endproc
)");
#else
asm(R"(
    .text
    .p2align 4
    .globl _QovSafeCopy
    .def _QovSafeCopy; .scl 2; .type 32; .endef
_QovSafeCopy:
    pushl %esi
    pushl %edi
    movl 12(%esp), %edi
    movl 16(%esp), %esi
    movl 20(%esp), %ecx
    .globl _QovSafeCopyRead
_QovSafeCopyRead:
    rep movsb
    movl $1, %eax
    popl %edi
    popl %esi
    ret
    .globl _QovSafeCopyFault
_QovSafeCopyFault:
    xorl %eax, %eax
    popl %edi
    popl %esi
    ret
)");
#endif

namespace qov::exceptions {

namespace {

void* Handler = nullptr;

LONG CALLBACK SafeCopyFault(EXCEPTION_POINTERS* info)
{
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if (code != EXCEPTION_ACCESS_VIOLATION && code != EXCEPTION_IN_PAGE_ERROR && code != STATUS_GUARD_PAGE_VIOLATION)
        return EXCEPTION_CONTINUE_SEARCH;
    CONTEXT& context = *info->ContextRecord;
#ifdef _WIN64
    if (context.Rip != reinterpret_cast<DWORD64>(QovSafeCopyRead))
        return EXCEPTION_CONTINUE_SEARCH;
    context.Rip = reinterpret_cast<DWORD64>(QovSafeCopyFault);
#else
    if (context.Eip != reinterpret_cast<DWORD>(QovSafeCopyRead))
        return EXCEPTION_CONTINUE_SEARCH;
    context.Eip = reinterpret_cast<DWORD>(QovSafeCopyFault);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

} // namespace

bool SafeCopy(void* to, const void* from, size_t count)
{
    if (!Handler) {
        std::memcpy(to, from, count);
        return true;
    }
    return QovSafeCopy(to, from, count) != 0;
}

void ESafeReadInit()
{
    Handler = AddVectoredExceptionHandler(1, SafeCopyFault);
}

void ESafeReadDone()
{
    // At the process's end the handler stays (its code stays loaded, and
    // safe copies stay safe): the system's list of handlers has a lock that
    // an ended thread may hold.
    if (!Handler || ProcessEnding())
        return;
    RemoveVectoredExceptionHandler(Handler);
    Handler = nullptr;
}

} // namespace qov::exceptions
