// Failure classes shared by the engine, the decoder and the control.
// Every failure carries a message (GBK bytes for the system's Chinese texts);
// threads log the message and report a status code, exported functions turn
// it into a result, so no exception ever leaves the module that raised it.
#pragma once

#include <cstdarg>
#include <exception>
#include <string>

namespace qov {

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const noexcept { return FMessage; }

private:
    std::string FMessage;
};

// A broken internal promise (the class library's assertion failure).
class EAssertionFailed : public Exception { using Exception::Exception; };
// A value outside the range its type or table allows.
class ERangeError : public Exception { using Exception::Exception; };
// A call of an operation that a class leaves abstract.
class EAbstractError : public Exception { using Exception::Exception; };
// Out of memory or an allocation larger than a limit.
class EOutOfMemory : public Exception { using Exception::Exception; };
// A stream that could not read, write or seek as asked.
class EStreamError : public Exception { using Exception::Exception; };
// A file that could not be created, or opened, for a file stream.
class EFCreateError : public EStreamError { using EStreamError::EStreamError; };
class EFOpenError : public EStreamError { using EStreamError::EStreamError; };
// A stream that gave or took fewer bytes than asked.
class EReadError : public EStreamError { using EStreamError::EStreamError; };
class EWriteError : public EStreamError { using EStreamError::EStreamError; };
// A value that cannot be converted or assigned as asked.
class EConvertError : public Exception { using Exception::Exception; };
// A silent abort: ends the current operation without a message to the user.
class EAbort : public Exception { using Exception::Exception; };

// The unhandled-exception procedure. The last-resort places call it for an
// exception that nothing caught: the terminate handler and the catch-all of
// the thread routines from inside their catch block (systemException null:
// the exception being handled is the one), a top-level exception filter with
// the system's exception pointers (EXCEPTION_POINTERS). Null until the
// exception-reporting library of the module sets it (the callers then go on
// as they did without it); when set, it does not return.
using TExceptProc = void (*)(void* systemException);
extern TExceptProc ExceptProc;

// The text without the blanks and control characters (code 32 or below) at
// either end.
std::string Trim(const std::string& text);

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
std::string FormatV(const char* fmt, va_list args);

// The thread procedure of the class library's thread class (TThread), set by
// that class before it starts a thread; null until then. A thread that starts
// there runs a thread object, the procedure's parameter (the exception
// library's thread list names it).
extern void* ThreadClassProcedure;

// Raises EAssertionFailed with the expression text when cond is false.
#define QOV_ASSERT(cond)                                                              \
    do {                                                                              \
        if (!(cond))                                                                  \
            throw ::qov::EAssertionFailed(::qov::Format("Assertion failed (%s, %s:%d)", \
                                                        #cond, __FILE__, __LINE__));  \
    } while (0)

} // namespace qov
