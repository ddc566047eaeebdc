// Child of the decision's Windows tests: makes an access violation inside
// try/catch (...) and tells by its exit code what happened. At the fault a
// vectored handler takes the decision as the raise hook would, on the
// faulting thread: exit code 1 when catch (...) took the violation, 2 when it
// reached the unhandled-exception filter; plus 10 when the decision said
// handled.
#include <windows.h>

#include <cstdio>

#include "EHandled.h"

using namespace qov::exceptions;

namespace {

volatile bool DecidedHandled = false;
volatile bool Decided = false;

LONG CALLBACK AtTheFault(EXCEPTION_POINTERS* pointers)
{
    if (pointers->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && !Decided) {
        TExceptionInfo info(*pointers->ExceptionRecord, pointers->ContextRecord);
        uint8_t answer = 0;
        DecidedHandled = IsExceptionHandled(&info, pointers->ExceptionRecord->ExceptionAddress, false, answer);
        Decided = true;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI Unhandled(EXCEPTION_POINTERS*)
{
    ExitProcess(2 + (DecidedHandled ? 10 : 0));
}

} // namespace

int main()
{
    SetUnhandledExceptionFilter(Unhandled);
    AddVectoredExceptionHandler(1, AtTheFault);
    try {
        *static_cast<volatile int*>(nullptr) = 1;
    } catch (...) {
        return 1 + (DecidedHandled ? 10 : 0);
    }
    std::puts("no fault");
    return 0;
}
