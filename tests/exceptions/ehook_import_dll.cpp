// Test DLL whose calls of the system go through its own import address table:
// the code-hooking tests patch its import of GetTickCount.
#include <windows.h>

extern "C" __declspec(dllexport) DWORD __cdecl EhookTickCount()
{
    return GetTickCount();
}
