// TfrmURL: the dialog that asks for a URL to open. Made once and reused, so
// its edit box keeps the last text typed into it.
#pragma once

#include <windows.h>

#include <string>

namespace qov::app {

class TfrmURL {
public:
    explicit TfrmURL(HWND owner);
    ~TfrmURL();
    TfrmURL(const TfrmURL&) = delete;
    TfrmURL& operator=(const TfrmURL&) = delete;

    // Shows the dialog until OK (1) or Cancel (2) ends it.
    int ShowModal();
    // The edit box's text (the locator to open).
    std::wstring Text() const;

    HWND Handle() const { return FWindow; }
    HWND edtURL() const { return FEdit; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT msg, WPARAM wParam, LPARAM lParam);

    HWND FOwner;
    HWND FWindow = nullptr;
    HWND FEdit = nullptr;
    HFONT FFont = nullptr;
    int FModalResult = 0;
};

} // namespace qov::app
