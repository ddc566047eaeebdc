// Raises a C++ exception the way a throw does, but through the unwinder's
// own entry, which returns when no frame catches it (where a throw would
// end the program): the run-time's own answer to "is this caught?".
#pragma once

#include <cxxabi.h>
#include <unwind.h>

#include <cstring>
#include <new>
#include <typeinfo>

namespace qov::test {

struct TCxaGlobals {
    void* CaughtExceptions;
    unsigned int UncaughtExceptions;
};

// Returns (and frees the exception) only when nothing caught it.
template <typename T>
__attribute__((noinline)) void RaiseOrReturn(const T& value)
{
    void* object = abi::__cxa_allocate_exception(sizeof(T));
    new (object) T(value);
    void* header = abi::__cxa_init_primary_exception(object, const_cast<std::type_info*>(&typeid(T)), nullptr);
    int one = 1; // the reference count a throw starts with
    std::memcpy(header, &one, sizeof one);
    auto* globals = reinterpret_cast<TCxaGlobals*>(abi::__cxa_get_globals());
    ++globals->UncaughtExceptions;
    _Unwind_RaiseException(static_cast<_Unwind_Exception*>(object) - 1);
    --globals->UncaughtExceptions;
    _Unwind_DeleteException(static_cast<_Unwind_Exception*>(object) - 1);
}

// After a frame of another module's run-time caught an exception raised by
// RaiseOrReturn: that run-time counted the catch in its own books.
inline void ForgetCaughtElsewhere()
{
    --reinterpret_cast<TCxaGlobals*>(abi::__cxa_get_globals())->UncaughtExceptions;
}

} // namespace qov::test
