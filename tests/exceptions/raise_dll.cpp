// A library module carrying the library, loaded by the raise hooks' test
// program (which carries it too): it defers to the program. Its worker
// threads raise or fault, and it is a web-server extension whose page the
// library's hook remembers.
#include <windows.h>

#include <httpext.h>

#include <cstring>
#include <stdexcept>

#include "EManager.h"
#include "ERaise.h"

using namespace qov::exceptions;

namespace {

volatile int Sink;

__attribute__((noinline)) void DllThrow()
{
    Sink = 1;
    throw std::runtime_error("raised in the library module");
}

__attribute__((noinline)) void DllFault()
{
    int* volatile target = reinterpret_cast<int*>(16);
    *target = 1;
}

DWORD WINAPI Worker(LPVOID fault)
{
    if (fault)
        DllFault();
    else
        DllThrow();
    return 0;
}

} // namespace

// Bits: 1 active, 2 defers, 4 hooks, 8 handling enabled, 16 in initialisation.
extern "C" __declspec(dllexport) int RaiseDllState()
{
    const TLibraryState& state = LibraryState();
    return (state.Active ? 1 : 0) | (state.DefersToMain ? 2 : 0) | (state.Hooks ? 4 : 0) |
           (state.HandlingEnabled ? 8 : 0) | (state.InInitialisation ? 16 : 0);
}

// Runs a worker that raises (fault 0) or faults; its exit code.
extern "C" __declspec(dllexport) DWORD RaiseDllWorker(int fault)
{
    HANDLE thread = CreateThread(nullptr, 0, Worker, reinterpret_cast<LPVOID>(static_cast<intptr_t>(fault)), 0,
                                 nullptr);
    WaitForSingleObject(thread, 30000);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code;
}

extern "C" __declspec(dllexport) DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK* block)
{
    char page[] = "<html>page of the extension</html>";
    DWORD size = sizeof page - 1;
    block->WriteClient(block->ConnID, page, &size, 0);
    return HSE_STATUS_SUCCESS;
}

extern "C" __declspec(dllexport) int RaiseDllLastPage(char* buffer, int size)
{
    std::string page = LastHtmlPage();
    if (static_cast<int>(page.size()) >= size)
        return -1;
    std::memcpy(buffer, page.c_str(), page.size() + 1);
    return static_cast<int>(page.size());
}
