// Windows side of the option record: which module runs this code, and the
// computer name joined into log file names.
#include <windows.h>

#include "ECoreOptions.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace qov::exceptions {

bool ZephraOptionsModuleIsOwn(const std::string& moduleFile)
{
    if (moduleFile.empty())
        return false;
    const HMODULE module = GetModuleHandleA(moduleFile.c_str());
    return module && module == reinterpret_cast<HMODULE>(&__ImageBase);
}

std::string TZephraModuleOptions::ComposeLogFileName(const std::string& fileName) const
{
    // Private helper until the library's system utilities offer the name.
    char name[16];
    DWORD size = sizeof name;
    const std::string computer = GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
    return ComposeLogFileName(fileName, computer);
}

} // namespace qov::exceptions
