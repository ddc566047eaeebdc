#include "RuruvarodIre.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "ECore.h"
#include "RuruvarodIreStart.h"

namespace qov::exceptions {

namespace {

// CREATE_NEW_PROCESS_GROUP | NORMAL_PRIORITY_CLASS
constexpr DWORD RestartCreationFlags = 544;
static_assert(RestartCreationFlags == (CREATE_NEW_PROCESS_GROUP | NORMAL_PRIORITY_CLASS));

// Set by the unit's start step, which runs before any other static
// initialiser of the module: a plain array needs no construction.
char StartFolderText[MAX_PATH];
std::vector<HWND> OwnWindows;

BOOL CALLBACK NoteOwnWindow(HWND window, LPARAM)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == GetCurrentProcessId())
        OwnWindows.push_back(window);
    return TRUE;
}

// Maps the whole of an existing area and reads its size word; 0 when the
// word cannot be trusted (below 4 or beyond the mapping).
uint32_t ExistingAreaSize(HANDLE mapping)
{
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (!view)
        return 0;
    MEMORY_BASIC_INFORMATION info;
    SIZE_T mapped = VirtualQuery(view, &info, sizeof info) == sizeof info ? info.RegionSize : 0;
    uint32_t size = 0;
    if (mapped >= sizeof size)
        std::memcpy(&size, view, sizeof size);
    UnmapViewOfFile(view);
    return size >= sizeof size && size <= mapped ? size : 0;
}

} // namespace

HANDLE OpenSharedArea(HMODULE module, const std::string& prefix, uint32_t dataSize, void*& data)
{
    data = nullptr;
    if (dataSize > UINT32_MAX - 4)
        return nullptr;
    std::string name =
        SharedAreaName(GetCurrentProcessId(), reinterpret_cast<uintptr_t>(module), prefix);
    uint32_t total = dataSize + 4;
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, total, name.c_str());
    if (!mapping)
        return nullptr;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        total = ExistingAreaSize(mapping);
        CloseHandle(mapping);
        if (total == 0)
            return nullptr;
        mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, total, name.c_str());
        if (!mapping)
            return nullptr;
    } else if (dataSize == 0) {
        // A size of 0 opens an existing area only.
        CloseHandle(mapping);
        return nullptr;
    }
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, total);
    if (!view) {
        CloseHandle(mapping);
        return nullptr;
    }
    std::memcpy(view, &total, sizeof total);
    data = static_cast<char*>(view) + sizeof total;
    return mapping;
}

void CloseSharedArea(HANDLE& handle, void*& data)
{
    if (data)
        UnmapViewOfFile(static_cast<char*>(data) - sizeof(uint32_t));
    if (handle)
        CloseHandle(handle);
    handle = nullptr;
    data = nullptr;
}

void TakeOwnWindowList()
{
    OwnWindows.clear();
    EnumWindows(NoteOwnWindow, 0);
}

bool IsNewOwnWindow(HWND window)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    return processId == GetCurrentProcessId() &&
           std::find(OwnWindows.begin(), OwnWindows.end(), window) == OwnWindows.end();
}

bool CopyToClipboard(const std::string& text)
{
    if (!OpenClipboard(MainWindowOfProcess(GetCurrentProcessId())))
        return false;
    bool done = false;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, text.size() + 1);
    if (block) {
        if (void* memory = GlobalLock(block)) {
            std::memcpy(memory, text.c_str(), text.size() + 1);
            GlobalUnlock(block);
            EmptyClipboard();
            done = SetClipboardData(CF_TEXT, block) != nullptr;
        }
        // Once set, the block belongs to the clipboard.
        if (!done)
            GlobalFree(block);
    }
    CloseClipboard();
    return done;
}

void TerminateApplication(bool restart)
{
    if (restart) {
        STARTUPINFOA startup;
        GetStartupInfoA(&startup);
        PROCESS_INFORMATION process{};
        std::string commandLine = GetCommandLineA();
        if (CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, RestartCreationFlags,
                           nullptr, StartFolderText[0] ? StartFolderText : nullptr,
                           &startup, &process)) {
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
    }
    TerminateProcess(GetCurrentProcess(), 1);
}

std::string StartFolder()
{
    return StartFolderText;
}

void RuruvarodIreInit()
{
    DWORD n = GetCurrentDirectoryA(sizeof StartFolderText, StartFolderText);
    if (n == 0 || n >= sizeof StartFolderText)
        StartFolderText[0] = '\0';
    LibraryStart();
}

void RuruvarodIreDone()
{
    LibraryEnd();
}

} // namespace qov::exceptions
