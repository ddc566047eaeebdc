#ifdef _WIN32
#include "NailsFixtures.h"

#include "QovWriter.h"

namespace qov::test {

bool WriteWholeFile(const std::string& path, const std::string& bytes)
{
    for (size_t i = path.find('\\', 3); i != std::string::npos; i = path.find('\\', i + 1))
        CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    CloseHandle(h);
    return ok;
}

std::string FileText(const std::string& path)
{
    // Others may be writing it (the daily log, which every test program
    // writes to): neither this read nor their writes may fail for it.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return {};
    std::string text(GetFileSize(h, nullptr), '\0');
    DWORD got = 0;
    ReadFile(h, text.data(), static_cast<DWORD>(text.size()), &got, nullptr);
    CloseHandle(h);
    text.resize(got);
    return text;
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string FreshNailsFolder(const std::string& base, const std::string& name)
{
    const std::string folder = base + "\\" + name + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                               std::to_string(GetTickCount()) + "\\";
    WriteWholeFile(folder + "nails\\.keep", "");
    return folder;
}

void WriteNailsRecording(const std::string& folder, int lines, int stepMs, const std::string& pictures,
                         const std::vector<int>& skip, const char* ext)
{
    const bool jpeg = std::string(ext) == "jpg" || std::string(ext) == "jpeg";
    const writer::Bytes picture = jpeg ? writer::MakeStillJpeg(16, 12) : writer::MakeStillBmp(16, 12);
    const std::string bytes(picture.begin(), picture.end());
    std::string list;
    for (int i = 0; i < lines; ++i) {
        const std::string name = "p" + std::to_string(i) + "." + ext;
        list += std::to_string(i * stepMs) + "=" + name + "\r\n";
        bool skipped = false;
        for (int s : skip)
            skipped = skipped || s == i;
        if (!skipped)
            WriteWholeFile(folder + pictures + name, bytes);
    }
    WriteWholeFile(folder + "nails.xml", list);
}

TStripHost::TStripHost(int clientWidth, int clientHeight)
{
    static bool registered = false;
    if (!registered) {
        WNDCLASSA wc{};
        wc.lpfnWndProc = &TStripHost::Proc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "QovStripHost";
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
        RegisterClassA(&wc);
        registered = true;
    }
    RECT r{0, 0, clientWidth, clientHeight};
    AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
    FHandle = CreateWindowExA(WS_EX_TOPMOST, "QovStripHost", "strip", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0,
                              r.right - r.left, r.bottom - r.top, nullptr, nullptr, GetModuleHandleA(nullptr),
                              nullptr);
    SetWindowLongPtrA(FHandle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    ShowWindow(FHandle, SW_SHOWNOACTIVATE);
}

TStripHost::~TStripHost()
{
    SetWindowLongPtrA(FHandle, GWLP_USERDATA, 0);
    DestroyWindow(FHandle);
}

LRESULT CALLBACK TStripHost::Proc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* self = reinterpret_cast<TStripHost*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self && msg >= WM_USER && self->OnMessage && self->OnMessage(msg, wParam, lParam))
        return 0;
    return DefWindowProcA(window, msg, wParam, lParam);
}

} // namespace qov::test
#endif
