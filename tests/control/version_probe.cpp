// A library that carries the version reader, for the reader's tests (built
// once with a version resource and once without). Inside a library the
// reader reads the library itself unless told to read the program.
#include <windows.h>

#include <cstring>
#include <string>

#include "VersInfo.h"

// Copies the file version text that a reader made inside this library sees
// into text (size bytes with the terminator); 1 on success, 0 on failure.
extern "C" __declspec(dllexport) int ProbeFileVersion(int forceExe, char* text, int size)
{
    try {
        qov::TVersionInfoResource reader;
        if (forceExe)
            reader.SetForceEXE(true);
        const std::string version = reader.FileVersion().Text();
        if (size <= 0 || version.size() >= static_cast<size_t>(size))
            return 0;
        std::memcpy(text, version.c_str(), version.size() + 1);
        return 1;
    } catch (...) {
        return 0;
    }
}
