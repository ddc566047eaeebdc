// A module that answers the pass-phrase request only in the old form (no
// record), as a module built before the record was added to it does.
#include <windows.h>

#include <cstdint>
#include <cstring>

#if defined(_WIN64)
#define RECEIVER_CONVENTION
#else
#define RECEIVER_CONVENTION __attribute__((regparm(3), stdcall))
#endif

namespace {
int32_t LastMaxLength = -1;
}

extern "C" {

__declspec(dllexport) void RECEIVER_CONVENTION ZephraLog_PasswordRequestEvent(uint8_t* phrase, int32_t maxLength)
{
    static const char text[] = "old sesame";
    LastMaxLength = maxLength;
    phrase[0] = sizeof text - 1;
    std::memcpy(phrase + 1, text, sizeof text - 1);
}

__declspec(dllexport) int32_t __stdcall OldFormMaxLength()
{
    return LastMaxLength;
}

} // extern "C"
