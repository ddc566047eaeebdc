#include "UnitLog.h"

#include <vector>

#include "SysUtils.h"

namespace qov {

const char* const kLogEventName = "Global\\Corvane Log Event";

namespace {

std::string ModuleFileName()
{
    std::vector<char> buf(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0)
            return std::string();
        if (n < buf.size())
            return std::string(buf.data(), n);
        buf.resize(buf.size() * 2);
    }
}

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

// The system's text for an error code, without its closing line break.
std::string SysErrorMessage(DWORD code)
{
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string s;
    if (n && text)
        s.assign(text, n);
    if (text)
        LocalFree(text);
    while (!s.empty() && (static_cast<unsigned char>(s.back()) <= ' ' || s.back() == '.'))
        s.pop_back();
    if (s.empty())
        s = Format("System error %lu", static_cast<unsigned long>(code));
    return s;
}

bool DirectoryExists(const std::string& path)
{
    DWORD attr = GetFileAttributesA(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

void AppendTwoDigits(std::string& out, unsigned value)
{
    out += static_cast<char>('0' + value / 10 % 10);
    out += static_cast<char>('0' + value % 10);
}

// "yyyy-mm-dd"
std::string DateText(const SYSTEMTIME& t)
{
    return Format("%04u-%02u-%02u", t.wYear, t.wMonth, t.wDay);
}

// "hh:nn:ss"
std::string TimeText(const SYSTEMTIME& t)
{
    std::string s;
    AppendTwoDigits(s, t.wHour);
    s += ':';
    AppendTwoDigits(s, t.wMinute);
    s += ':';
    AppendTwoDigits(s, t.wSecond);
    return s;
}

// Closes a file handle on every path.
struct TFileHandle {
    HANDLE H;
    ~TFileHandle() { if (H != INVALID_HANDLE_VALUE) CloseHandle(H); }
};

} // namespace

std::string ProgramFolder()
{
    std::string path = ModuleFileName();
    size_t cut = path.find_last_of("\\/:");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string ProgramFileName()
{
    std::string path = ModuleFileName();
    size_t cut = path.find_last_of("\\/:");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool ForceDirectories(const std::string& folder)
{
    std::string dir = folder;
    while (dir.size() > 1 && IsSeparator(dir.back()))
        dir.pop_back();
    if (dir.empty())
        return false;
    if (DirectoryExists(dir))
        return true;
    // A drive ("C:") or the top of a UNC path cannot be created.
    if (dir.size() <= 2 && dir.back() == ':')
        return false;
    // From the top down, one level at a time (a loop: a path of many levels
    // must not cost a stack frame each). The root, a drive and the server
    // and share of a UNC path are taken as they are; the first level that
    // can be neither found nor made ends it.
    size_t next = 0;
    if (dir.size() >= 2 && IsSeparator(dir[0]) && IsSeparator(dir[1])) {
        next = 2;
        for (int part = 0; part < 2 && next < dir.size(); ++part) {
            while (next < dir.size() && !IsSeparator(dir[next]))
                ++next;
            if (part == 0)
                ++next;
        }
    } else if (dir.size() >= 2 && dir[1] == ':') {
        next = 2;
    }
    while (next < dir.size()) {
        while (next < dir.size() && IsSeparator(dir[next]))
            ++next;
        while (next < dir.size() && !IsSeparator(dir[next]))
            ++next;
        const std::string level = dir.substr(0, next);
        if (DirectoryExists(level))
            continue;
        if (!CreateDirectoryA(level.c_str(), nullptr) &&
            !(GetLastError() == ERROR_ALREADY_EXISTS && DirectoryExists(level)))
            return false;
    }
    return DirectoryExists(dir);
}

TLog::TLog(const std::string& folder)
{
    FEvent = OpenEventA(EVENT_ALL_ACCESS, FALSE, kLogEventName);
    if (!FEvent)
        FEvent = CreateEventA(nullptr, FALSE, TRUE, kLogEventName);
    if (!FEvent) {
        // Made by another account that grants no full access: waiting and
        // signalling are all a writer needs.
        FEvent = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, kLogEventName);
    }
    QOV_ASSERT(FEvent != nullptr);

    std::string dir = folder;
    if (!dir.empty() && IsSeparator(dir.back()))
        dir.pop_back();
    FLogFolder = dir + "\\Log";
    ForceDirectories(FLogFolder);
    FProgramName = ProgramFileName();
}

TLog::~TLog()
{
    if (FEvent)
        CloseHandle(FEvent);
}

void TLog::WriteLine(const std::string& text)
{
    SYSTEMTIME now;
    if (FClock)
        FClock(now);
    else
        GetLocalTime(&now);
    const std::string fileName = FLogFolder + "\\" + DateText(now) + ".log";

    // Opens the day's file, or creates it; others may read it meanwhile but
    // not write.
    TFileHandle f{CreateFileA(fileName.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (f.H == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        throw EStreamError(Format("Cannot open file \"%s\". %s", fileName.c_str(),
                                  SysErrorMessage(err).c_str()));
    }
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(f.H, zero, nullptr, FILE_END)) {
        DWORD err = GetLastError();
        throw EStreamError(Format("Cannot seek file \"%s\". %s", fileName.c_str(),
                                  SysErrorMessage(err).c_str()));
    }

    std::string line;
    line.reserve(FProgramName.size() + text.size() + 20);
    line += FProgramName;
    line += " ---> ";
    line += TimeText(now);
    line += ' ';
    line += text;
    line += "\r\n";

    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        DWORD chunk = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
        DWORD done = 0;
        if (!WriteFile(f.H, p, chunk, &done, nullptr) || done == 0) {
            DWORD err = GetLastError();
            throw EStreamError(Format("Stream write error. %s", SysErrorMessage(err).c_str()));
        }
        p += done;
        left -= done;
    }
}

void TLog::AddLine(const std::string& text) noexcept
{
    // A writer that ended while holding the event would keep every other
    // writer waiting for good; after the time-out the line is written anyway
    // and the event is set again below.
    WaitForSingleObject(FEvent, kLogWaitTimeout);
    try {
        WriteLine(text);
    } catch (const std::exception& e) {
        try {
            std::string msg = std::string("ERROR: TLog.AddLine -> ") + e.what();
            OutputDebugStringA(msg.c_str());
        } catch (...) {
            OutputDebugStringA("ERROR: TLog.AddLine -> Out of memory");
        }
    } catch (...) {
        OutputDebugStringA("ERROR: TLog.AddLine -> Unknown failure");
    }
    SetEvent(FEvent);
}

TLog& Log()
{
    static TLog log(ProgramFolder());
    return log;
}

namespace {
// The process-wide log exists from the moment the module starts.
[[maybe_unused]] TLog& GLogAtStart = Log();
} // namespace

} // namespace qov
