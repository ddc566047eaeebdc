// The exception descriptor: what the library keeps of one exception, C++ or
// Windows, as copies it owns. The thrown object itself is only remembered by
// its address, to match a later catch with its raise; it is read while the
// descriptor is made (and by the handled-or-unhandled decision at the raise)
// but never afterwards.
// A Windows exception gets a class of the EExternal family, made by the
// library from the system's record (EAccessViolation, EStackOverflow, ...).
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "SysUtils.h"

namespace qov::exceptions {

// Windows exceptions, each carrying a copy of the system's record.
class EExternal : public ::qov::Exception {
public:
    EExternal(const std::string& message, const EXCEPTION_RECORD& record);
    const EXCEPTION_RECORD& ExceptionRecord() const noexcept { return FRecord; }

private:
    EXCEPTION_RECORD FRecord;
};
class EIntError : public EExternal { using EExternal::EExternal; };
class EDivByZero : public EIntError { using EIntError::EIntError; };
class EIntOverflow : public EIntError { using EIntError::EIntError; };
class EBoundsError : public EIntError { using EIntError::EIntError; };
class EMathError : public EExternal { using EExternal::EExternal; };
class EInvalidOp : public EMathError { using EMathError::EMathError; };
class EZeroDivide : public EMathError { using EMathError::EMathError; };
class EOverflow : public EMathError { using EMathError::EMathError; };
class EUnderflow : public EMathError { using EMathError::EMathError; };
class EAccessViolation : public EExternal { using EExternal::EExternal; };
class EPrivilege : public EExternal { using EExternal::EExternal; };
class EStackOverflow : public EExternal { using EExternal::EExternal; };
class EControlC : public EExternal { using EExternal::EExternal; };
class EExternalException : public EExternal { using EExternal::EExternal; };

// Raises the EExternal descendant that stands for the system's exception
// (the part of the run-time library that turns a Windows exception into an
// exception object).
[[noreturn]] void RaiseExternal(const EXCEPTION_RECORD& record);
// The class and the message that RaiseExternal would raise, without raising.
const std::type_info& ExternalClassOf(const EXCEPTION_RECORD& record);
std::string ExternalMessageOf(const EXCEPTION_RECORD& record);

class TExceptionInfo {
public:
    // No exception (the Parts' nil object).
    TExceptionInfo() = default;
    // A C++ exception of type at object: at its raise (the object lives) or
    // inside the catch that handles it.
    TExceptionInfo(const std::type_info* type, const void* object);
    // A Windows exception: its EExternal class and message, and copies of the
    // record (without the chained record) and of the context when given.
    TExceptionInfo(const EXCEPTION_RECORD& record, const CONTEXT* context);

    // Copies are deep: each owner has its own strings and records.
    TExceptionInfo(const TExceptionInfo& other);
    TExceptionInfo& operator=(const TExceptionInfo& other);
    TExceptionInfo(TExceptionInfo&&) noexcept = default;
    TExceptionInfo& operator=(TExceptionInfo&&) noexcept = default;

    // The exception being handled in the calling catch block; empty outside one.
    static TExceptionInfo Current();

    bool Empty() const noexcept { return !FType; }
    // The type description (of this module) and the thrown object's address.
    const std::type_info* Type() const noexcept { return FType; }
    const void* Object() const noexcept { return FObject; }
    // "EJPEG", "std::out_of_range", "int"; empty when there is no exception.
    const std::string& ClassName() const noexcept { return FClassName; }
    // The class first, then its bases.
    const std::vector<std::string>& Ancestry() const noexcept { return FAncestry; }
    // Exception::Message, else what(), else empty.
    const std::string& Message() const noexcept { return FMessage; }

    bool IsSystem() const noexcept { return FRecord != nullptr; }
    const EXCEPTION_RECORD* SystemRecord() const noexcept { return FRecord.get(); }
    const CONTEXT* SystemContext() const noexcept { return FContext.get(); }

    // The class or one of its bases has the name (case and surrounding blanks
    // ignored, own namespaces dropped).
    bool InheritsFrom(const std::string& name) const;
    // Reported at all: an exception that is not EAbort or one of its descendants.
    bool IsManageable() const;
    // Not a Windows exception (not EExternal or a descendant).
    bool IsLanguageException() const;

private:
    void TakeClass(const std::type_info* type);

    const std::type_info* FType = nullptr;
    const void* FObject = nullptr;
    std::string FClassName;
    std::vector<std::string> FAncestry;
    std::string FMessage;
    std::unique_ptr<EXCEPTION_RECORD> FRecord;
    std::unique_ptr<CONTEXT> FContext;
};

} // namespace qov::exceptions
