// A module with debug data for the module-record tests. Built three ways:
// with a ZPDATA block locked by a pass phrase (modules_dll), without a block
// (modules_plain_dll), and that one stripped with the block appended
// (modules_appended.dll). Its receiver gives the pass phrase only once the
// test asks it to.
#include <windows.h>

#if defined(_WIN64)
#define RECEIVER_CONVENTION
#else
#define RECEIVER_CONVENTION __attribute__((regparm(3), stdcall))
#endif

namespace {

bool GivePhrase = false;

__attribute__((noinline, noipa)) void* ReturnAddress()
{
    return __builtin_return_address(0);
}

} // namespace

extern "C" {

// The address inside its call of ReturnAddress, and that call's line.
__declspec(dllexport) void* __stdcall ZpProbe(int* line)
{
    void* volatile address = ReturnAddress();
    *line = __LINE__ - 1;
    return static_cast<char*>(address) - 1;
}

__declspec(dllexport) void __stdcall ZpGivePhrase(BOOL give)
{
    GivePhrase = give != 0;
}

// The receiver as every module exports it: the current exception record
// (unused here), then a short string (length byte, then the characters) of
// at most maxLength characters.
__declspec(dllexport) void RECEIVER_CONVENTION ZephraLog_PasswordRequestEventEx(const void*, unsigned char* phrase,
                                                                            int maxLength)
{
    if (maxLength < 6)
        return;
    static const char text[] = "sesame";
    phrase[0] = 0;
    if (!GivePhrase)
        return;
    phrase[0] = sizeof text - 1;
    CopyMemory(phrase + 1, text, sizeof text - 1);
}

} // extern "C"
