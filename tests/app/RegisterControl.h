// Registers the QovPlayer.ocx beside the test program (what regsvr32 does).
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

inline void RegisterControlBesideTests()
{
    HMODULE library = LoadLibraryA("QovPlayer.ocx");
    ASSERT_NE(library, nullptr);
    auto registerServer = reinterpret_cast<HRESULT(__stdcall*)()>(
        reinterpret_cast<void*>(GetProcAddress(library, "DllRegisterServer")));
    ASSERT_NE(registerServer, nullptr);
    ASSERT_HRESULT_SUCCEEDED(registerServer());
}
