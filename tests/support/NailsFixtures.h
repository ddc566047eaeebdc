// Thumbnail strip tests: a folder of a recording with its "nails.xml" and
// pictures, and a message pump for the strip's window on the test thread.
#pragma once
#ifdef _WIN32

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "TestWindow.h"

namespace qov::test {

// Writes bytes to a file (creating missing folders); false on failure.
bool WriteWholeFile(const std::string& path, const std::string& bytes);
std::string FileText(const std::string& path);  // empty when missing
bool FileExists(const std::string& path);

// A fresh folder (ending in a backslash) under base, with a "nails" folder.
std::string FreshNailsFolder(const std::string& base, const std::string& name);
// "nails.xml" of lines "<i * stepMs>=p<i>.<ext>" and, unless skipped, each
// picture (a small BMP or JPEG) in folder + pictures.
void WriteNailsRecording(const std::string& folder, int lines, int stepMs, const std::string& pictures,
                         const std::vector<int>& skip = {}, const char* ext = "bmp");

// A visible top-level window to host a strip, with a client area of the size
// given; its procedure may be replaced by the test.
class TStripHost {
public:
    TStripHost(int clientWidth, int clientHeight);
    ~TStripHost();
    HWND Handle() const { return FHandle; }
    // Messages from WM_USER up go to this handler first (true: handled).
    std::function<bool(UINT, WPARAM, LPARAM)> OnMessage;

private:
    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    HWND FHandle = nullptr;
};

} // namespace qov::test

#endif
