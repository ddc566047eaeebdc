// Helper of the decision's Windows tests: a module with a C++ run-time of its
// own whose frame catches what the callback raises, as a class of the
// language library's or anything at all.
#include <exception>

extern "C" __declspec(dllexport) int CallCaught(void (*callback)())
{
    try {
        callback();
        return 0;
    } catch (const std::exception&) {
        return 1;
    } catch (...) {
        return 2;
    }
}
