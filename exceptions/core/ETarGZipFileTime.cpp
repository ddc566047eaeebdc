// A file's last-write time for the archives, as its directory entry gives it
// in UTC: on Windows from the entry itself (the C library's stat would pass
// it through local time and the daylight rules of today), elsewhere from
// stat.
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "ETarGZip.h"

namespace qov::exceptions {

#if defined(_WIN32)

TDateTime FileWriteTimeUtc(const std::string& fileName)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(fileName.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return 0;
    // 100-ns intervals since 1601-01-01; 1601 to 1899-12-30 is 109205 days.
    const uint64_t ticks = uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32 |
                           data.ftLastWriteTime.dwLowDateTime;
    const double seconds = double(ticks / 10000000) + double(ticks % 10000000) / 1e7;
    return seconds / 86400.0 - 109205.0;
}

#else

TDateTime FileWriteTimeUtc(const std::string& fileName)
{
    struct stat info;
    if (stat(fileName.c_str(), &info) != 0 || S_ISDIR(info.st_mode))
        return 0;
    const double seconds = double(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec / 1e9;
    return 25569.0 + seconds / 86400.0;
}

#endif

} // namespace qov::exceptions
