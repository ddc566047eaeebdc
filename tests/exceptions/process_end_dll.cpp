// A library module carrying the library with its debug data (active, hooked,
// deferring to the program that loads it), as the control does in the
// desktop program: a failure in one of its handlers is caught there and
// handed to the library's application handler, which passes it to the
// program's manager. It fails on the calling thread or on a thread made
// through the module's own (hooked) CreateThread import.
#include <windows.h>

#include "ESafeCall.h"
#include "SysUtils.h"

using namespace qov::exceptions;

namespace {

HMODULE ThisModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ThisModule), &module);
    return module;
}

// 0 when the program's library took care of the failure.
DWORD WINAPI FailInHandler(void*)
{
    try {
        throw qov::EConvertError("handler failed in the library module");
    } catch (...) {
        return HandleApplicationException(ThisModule()) ? 0 : 1;
    }
}

} // namespace

extern "C" {

// One failing handler on the calling thread: true when it was reported.
__declspec(dllexport) BOOL __stdcall EndDllFail()
{
    return FailInHandler(nullptr) == 0;
}

// One failing handler on a thread of this module, which has ended on return.
__declspec(dllexport) BOOL __stdcall EndDllFailOnThread()
{
    HANDLE thread = CreateThread(nullptr, 0, FailInHandler, nullptr, 0, nullptr);
    if (!thread)
        return FALSE;
    DWORD code = 1;
    WaitForSingleObject(thread, INFINITE);
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code == 0;
}

} // extern "C"
