// QovPlayer.exe: the desktop program's start block.
//
// The exception reporting linked into the program (qov_exceptions) starts its
// units from the module's first static initialiser, before anything here.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include "UnitMain.h"
#include "UnitURL.h"

using namespace qov::app;

namespace {

// Parameters 1..N as the platform splits the command line.
std::vector<std::wstring> Parameters()
{
    std::vector<std::wstring> parameters;
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments)
        return parameters;
    for (int i = 1; i < count; ++i)
        parameters.emplace_back(arguments[i]);
    LocalFree(arguments);
    return parameters;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // The application object: COM (with OLE, for the embedded control) as a
    // single-threaded apartment on the main thread.
    if (FAILED(OleInitialize(nullptr)))
        return 1;
    int exitCode = 0;
    try {
        std::unique_ptr<TfrmMain> frmMain;
        try {
            frmMain = std::make_unique<TfrmMain>(CreateQovPlayerControl, Parameters());
        } catch (const std::exception& e) {
            // Without the control there is no program.
            ApplicationHandleException(e);
            OleUninitialize();
            return 1;
        }
        TfrmURL frmURL(frmMain->Handle());
        frmMain->SetURLDialog(&frmURL);
        frmMain->Show(SW_SHOWMAXIMIZED);
        MSG msg;
        // Wide messages: typed characters reach the Unicode windows whole.
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (TranslateAcceleratorW(frmMain->Handle(), frmMain->Accelerators(), &msg))
                continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        exitCode = static_cast<int>(msg.wParam);
    } catch (const std::exception& e) {
        ApplicationHandleException(e);
        exitCode = 1;
    }
    OleUninitialize();
    return exitCode;
}
