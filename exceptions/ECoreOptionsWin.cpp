// Windows side of the option record: which module runs this code, the
// computer name joined into log file names, and the module's published
// options (the "MODULE" area that other modules of the process read).
#include <windows.h>

#include <cstring>

#include "ECore.h"
#include "ECoreOptions.h"
#include "RuruvarodIre.h"

namespace qov::exceptions {

namespace {


// The area this module published last.
HANDLE PublishedArea = nullptr;
void* PublishedData = nullptr;

} // namespace

bool ZephraOptionsModuleIsOwn(const std::string& moduleFile)
{
    if (moduleFile.empty())
        return false;
    const HMODULE module = GetModuleHandleA(moduleFile.c_str());
    return module && module == OwnModule();
}

std::string TZephraModuleOptions::ComposeLogFileName(const std::string& fileName) const
{
    return ComposeLogFileName(fileName, ComputerName());
}

void PublishModuleOptions(const TZephraModuleOptions& options)
{
    TOptionsMemoryStream stream;
    const uint8_t present = 1;
    stream.Write(&present, 1);
    options.WriteToStream(stream);
    WithdrawModuleOptions();
    const std::string& bytes = stream.Bytes();
    PublishedArea = OpenSharedArea(OwnModule(), "MODULE", static_cast<uint32_t>(bytes.size()), PublishedData);
    if (!PublishedArea)
        return;
    // A reader that still holds the old area keeps it alive with its old
    // size; a form that does not fit is not published at all.
    uint32_t total;
    std::memcpy(&total, static_cast<const char*>(PublishedData) - 4, 4);
    if (total - 4 >= bytes.size())
        std::memcpy(PublishedData, bytes.data(), bytes.size());
    else
        WithdrawModuleOptions();
}

void WithdrawModuleOptions()
{
    CloseSharedArea(PublishedArea, PublishedData);
}

} // namespace qov::exceptions
