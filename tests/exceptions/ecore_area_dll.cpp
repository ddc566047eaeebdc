// Test DLL with its own instance of the exception-reporting library: writes a
// text into a shared area of its own module for the test program to read.
#include <windows.h>

#include <cstring>

#include "RuruvarodIre.h"
#include "UnitStart.h"

namespace {
HANDLE Area = nullptr;
void* Data = nullptr;
} // namespace

extern "C" __declspec(dllexport) int __cdecl EcoreWriteArea(const char* prefix, const char* text)
{
    try {
        HMODULE self = nullptr;
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(&Area), &self);
        size_t size = std::strlen(text) + 1;
        Area = qov::exceptions::OpenSharedArea(self, prefix, static_cast<uint32_t>(size), Data);
        if (!Area)
            return 0;
        std::memcpy(Data, text, size);
        return 1;
    } catch (...) {
        return 0;
    }
}

extern "C" __declspec(dllexport) void __cdecl EcoreCloseArea()
{
    qov::exceptions::CloseSharedArea(Area, Data);
}

// Start calls of this module's own ECore unit.
extern "C" __declspec(dllexport) int __cdecl EcoreStartCount()
{
    return qov::exceptions::UnitStartCount("ECore");
}
