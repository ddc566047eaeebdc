// The engine's own resources as the test program carries them (Windows only).
#pragma once

#include <windows.h>

#include <stdexcept>

#include "ReferenceRenderer.h"

namespace qov::test {

// The default cursor "BMPMOUSE" decoded from the program's bitmap resource.
inline RefImage LoadDefaultCursor()
{
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceA(module, "BMPMOUSE", MAKEINTRESOURCEA(2) /* RT_BITMAP */);
    if (!found)
        throw std::runtime_error("no BMPMOUSE resource in the test program");
    HGLOBAL loaded = LoadResource(module, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    RefImage image;
    std::string why;
    if (!data || !DecodePackedDib(data, SizeofResource(module, found), image, &why))
        throw std::runtime_error("BMPMOUSE unreadable: " + why);
    return image;
}

} // namespace qov::test
