// Child of the raise hooks' tests, carrying the library: "throw" raises on
// the main thread and "fault" makes an access violation there, both caught
// by nothing (the report is written to the output); "end" returns from main,
// and a static destructor tells whether the library is in its finalisation;
// "cgi" writes a page to the standard output as a CGI program.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "ERaise.h"
#include "SysUtils.h"

using namespace qov::exceptions;

struct ETest : ::qov::Exception {
    ETest() : Exception("main thread") {}
};

namespace {

uint8_t Recorder(const TExceptionRef& object, const void*, bool, uint8_t, HMODULE, TRaiserKind, THandlingBlock*,
                 uintptr_t, uintptr_t)
{
    std::printf("reported %s\n", object->ClassName().c_str());
    std::fflush(stdout);
    return 1;
}

struct TEndWitness {
    bool Armed = false;
    ~TEndWitness()
    {
        if (Armed) {
            std::printf(LibraryState().InFinalisation ? "in finalisation\n" : "not in finalisation\n");
            std::fflush(stdout);
        }
    }
} EndWitness;

volatile int Sink;

} // namespace

int main(int argc, char** argv)
{
    SetRaiseReporter(Recorder);
    const char* mode = argc > 1 ? argv[1] : "";
    if (std::strcmp(mode, "throw") == 0)
        throw ETest();
    if (std::strcmp(mode, "fault") == 0) {
        int* volatile target = reinterpret_cast<int*>(16);
        Sink = *target;
    }
    if (std::strcmp(mode, "end") == 0)
        EndWitness.Armed = true;
    if (std::strcmp(mode, "cgi") == 0) {
        // Run as a CGI program: the page written to the standard output is kept.
        const char page[] = "Content-Type: text/html\n\n<html>cgi</html>";
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), page, sizeof page - 1, &written, nullptr);
        return LastHtmlPage() == page ? 0 : 5;
    }
    return 0;
}
