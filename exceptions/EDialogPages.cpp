// PLACEHOLDER: the pages of the detailed layout until they are built.
#include "EDialogs.h"

namespace qov::exceptions {

INT_PTR CALLBACK GeneralPageProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
INT_PTR CALLBACK CallStackPageProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
INT_PTR CALLBACK ModulesPageProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
INT_PTR CALLBACK CpuPageProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
INT_PTR CALLBACK CustomDataPageProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

} // namespace qov::exceptions
