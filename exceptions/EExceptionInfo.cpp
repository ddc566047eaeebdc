#include "EExceptionInfo.h"

#include <cxxabi.h>

#include <cstddef>
#include <cstring>
#include <exception>

#include "ECore.h"
#include "ETypeInfo.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace qov::exceptions {

namespace {

bool ProbeMemory(const void* address, size_t length)
{
    return IsReadableRange(address, length);
}

// An address as reports write it: 8 upper-case hexadecimal digits, 16 on x86-64.
std::string AddressText(ULONG_PTR address)
{
#ifdef _WIN64
    return Format("%016llX", static_cast<unsigned long long>(address));
#else
    return Format("%08lX", static_cast<unsigned long>(address));
#endif
}

std::string AccessViolationMessage(const EXCEPTION_RECORD& record)
{
    ULONG_PTR at = reinterpret_cast<ULONG_PTR>(record.ExceptionAddress);
    const char* access = "Read";
    std::string target;
    if (record.NumberParameters >= 2) {
        access = record.ExceptionInformation[0] == 0 ? "Read" : "Write";
        target = AddressText(record.ExceptionInformation[1]);
    } else {
        target = AddressText(0);
    }
    MEMORY_BASIC_INFORMATION info;
    char path[MAX_PATH];
    if (VirtualQuery(record.ExceptionAddress, &info, sizeof info) == sizeof info && info.State == MEM_COMMIT &&
        info.AllocationBase &&
        GetModuleFileNameA(static_cast<HMODULE>(info.AllocationBase), path, sizeof path) > 0) {
        const char* name = std::strrchr(path, '\\');
        return Format("Access violation at address %s in module '%s'. %s of address %s", AddressText(at).c_str(),
                      name ? name + 1 : path, access, target.c_str());
    }
    return Format("Access violation at address %s. %s of address %s", AddressText(at).c_str(), access,
                  target.c_str());
}

template <typename T>
[[noreturn]] void Raise(const EXCEPTION_RECORD& record)
{
    throw T(ExternalMessageOf(record), record);
}

// The thrown object behind an exception_ptr of the C++ library (which holds
// nothing but the object's address).
const void* ObjectOf(const std::exception_ptr& error)
{
    static_assert(sizeof(std::exception_ptr) == sizeof(void*));
    const void* object;
    std::memcpy(&object, &error, sizeof object);
    return object;
}

// The class part of descriptors of this module's own types, kept for the
// last few types met: the raise hooks make a descriptor at every throw, and
// reading a class's names (every read checked for readability first) costs
// several times the throw. A type of another module is read every time (the
// module may go and another type take its place).
struct TClassPart {
    const std::type_info* Type = nullptr;
    std::string Name;
    std::vector<std::string> Ancestry;
};
constexpr int ClassPartCount = 8;
SRWLOCK ClassPartLock = SRWLOCK_INIT;
// Taken under the lock without allocating, copied from outside it (a copy
// that fails raises, and the raise hook makes a descriptor again). Made on
// first use and kept to the process's end: a static destructor may throw.
using TClassPartRef = std::shared_ptr<const TClassPart>;
TClassPartRef* ClassParts;
int NextClassPart;

bool InOwnImage(const void* address)
{
    const auto base = reinterpret_cast<uintptr_t>(&__ImageBase);
    DWORD size;
    std::memcpy(&size,
                reinterpret_cast<const void*>(base + __ImageBase.e_lfanew +
                                              offsetof(IMAGE_NT_HEADERS, OptionalHeader.SizeOfImage)),
                sizeof size);
    const auto at = reinterpret_cast<uintptr_t>(address);
    return at >= base && at - base < size;
}

bool CachedClassPart(const std::type_info* type, std::string& name, std::vector<std::string>& ancestry)
{
    TClassPartRef found;
    AcquireSRWLockShared(&ClassPartLock);
    for (int i = 0; ClassParts && i < ClassPartCount; ++i)
        if (ClassParts[i] && ClassParts[i]->Type == type) {
            found = ClassParts[i];
            break;
        }
    ReleaseSRWLockShared(&ClassPartLock);
    if (!found)
        return false;
    name = found->Name;
    ancestry = found->Ancestry;
    return true;
}

void KeepClassPart(const std::type_info* type, const std::string& name, const std::vector<std::string>& ancestry)
{
    TClassPartRef part = std::make_shared<TClassPart>(TClassPart{type, name, ancestry});
    // Once made, the table stays: only the first keeps may make one.
    TClassPartRef* parts = ClassParts ? nullptr : new TClassPartRef[ClassPartCount];
    AcquireSRWLockExclusive(&ClassPartLock);
    if (!ClassParts)
        std::swap(ClassParts, parts);
    ClassParts[NextClassPart].swap(part);
    NextClassPart = (NextClassPart + 1) % ClassPartCount;
    ReleaseSRWLockExclusive(&ClassPartLock);
    delete[] parts;
}

} // namespace

EExternal::EExternal(const std::string& message, const EXCEPTION_RECORD& record)
    : Exception(message), FRecord(record)
{
    FRecord.ExceptionRecord = nullptr;
}

const std::type_info& ExternalClassOf(const EXCEPTION_RECORD& record)
{
    switch (record.ExceptionCode) {
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return typeid(EDivByZero);
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: return typeid(EBoundsError);
    case EXCEPTION_INT_OVERFLOW: return typeid(EIntOverflow);
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_STACK_CHECK: return typeid(EInvalidOp);
    case EXCEPTION_FLT_DIVIDE_BY_ZERO: return typeid(EZeroDivide);
    case EXCEPTION_FLT_OVERFLOW: return typeid(EOverflow);
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_FLT_DENORMAL_OPERAND: return typeid(EUnderflow);
    case EXCEPTION_ACCESS_VIOLATION: return typeid(EAccessViolation);
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_ILLEGAL_INSTRUCTION: return typeid(EPrivilege);
    case STATUS_CONTROL_C_EXIT: return typeid(EControlC);
    case EXCEPTION_STACK_OVERFLOW: return typeid(EStackOverflow);
    default: return typeid(EExternalException);
    }
}

std::string ExternalMessageOf(const EXCEPTION_RECORD& record)
{
    switch (record.ExceptionCode) {
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "Division by zero";
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: return "Range check error";
    case EXCEPTION_INT_OVERFLOW: return "Integer overflow";
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_STACK_CHECK: return "Invalid floating point operation";
    case EXCEPTION_FLT_DIVIDE_BY_ZERO: return "Floating point division by zero";
    case EXCEPTION_FLT_OVERFLOW: return "Floating point overflow";
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_FLT_DENORMAL_OPERAND: return "Floating point underflow";
    case EXCEPTION_ACCESS_VIOLATION: return AccessViolationMessage(record);
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "Privileged instruction";
    case STATUS_CONTROL_C_EXIT: return "Control-C hit";
    case EXCEPTION_STACK_OVERFLOW: return "Stack overflow";
    default: return Format("External exception %lX", static_cast<unsigned long>(record.ExceptionCode));
    }
}

void RaiseExternal(const EXCEPTION_RECORD& record)
{
    const std::type_info& type = ExternalClassOf(record);
    if (type == typeid(EDivByZero)) Raise<EDivByZero>(record);
    if (type == typeid(EBoundsError)) Raise<EBoundsError>(record);
    if (type == typeid(EIntOverflow)) Raise<EIntOverflow>(record);
    if (type == typeid(EInvalidOp)) Raise<EInvalidOp>(record);
    if (type == typeid(EZeroDivide)) Raise<EZeroDivide>(record);
    if (type == typeid(EOverflow)) Raise<EOverflow>(record);
    if (type == typeid(EUnderflow)) Raise<EUnderflow>(record);
    if (type == typeid(EAccessViolation)) Raise<EAccessViolation>(record);
    if (type == typeid(EPrivilege)) Raise<EPrivilege>(record);
    if (type == typeid(EControlC)) Raise<EControlC>(record);
    if (type == typeid(EStackOverflow)) Raise<EStackOverflow>(record);
    Raise<EExternalException>(record);
}

TExceptionInfo::TExceptionInfo(const std::type_info* type, const void* object) : FObject(object)
{
    TakeClass(type);
    if (!FType || !object || !IsReadableRange(object, sizeof(void*)))
        return;
    void* part = const_cast<void*>(object);
    if (CatchAccepts(typeid(::qov::Exception), *type, part)) {
        FMessage = static_cast<const ::qov::Exception*>(part)->Message();
        return;
    }
    part = const_cast<void*>(object);
    if (CatchAccepts(typeid(std::exception), *type, part))
        FMessage = static_cast<const std::exception*>(part)->what();
}

TExceptionInfo::TExceptionInfo(const EXCEPTION_RECORD& record, const CONTEXT* context)
    : FRecord(std::make_unique<EXCEPTION_RECORD>(record))
{
    FRecord->ExceptionRecord = nullptr;
    if (context)
        FContext = std::make_unique<CONTEXT>(*context);
    TakeClass(&ExternalClassOf(record));
    FMessage = ExternalMessageOf(record);
}

TExceptionInfo::TExceptionInfo(const TExceptionInfo& other)
    : FType(other.FType), FObject(other.FObject), FClassName(other.FClassName), FAncestry(other.FAncestry),
      FMessage(other.FMessage),
      FRecord(other.FRecord ? std::make_unique<EXCEPTION_RECORD>(*other.FRecord) : nullptr),
      FContext(other.FContext ? std::make_unique<CONTEXT>(*other.FContext) : nullptr)
{
}

TExceptionInfo& TExceptionInfo::operator=(const TExceptionInfo& other)
{
    if (this != &other)
        *this = TExceptionInfo(other);
    return *this;
}

TExceptionInfo TExceptionInfo::Current()
{
    std::exception_ptr error = std::current_exception();
    const std::type_info* type = abi::__cxa_current_exception_type();
    if (!error || !type)
        return TExceptionInfo();
    // A Windows exception turned into an object by RaiseExternal keeps its record.
    const void* object = ObjectOf(error);
    void* part = const_cast<void*>(object);
    if (CatchAccepts(typeid(EExternal), *type, part)) {
        const auto* external = static_cast<const EExternal*>(part);
        TExceptionInfo info(type, object);
        info.FRecord = std::make_unique<EXCEPTION_RECORD>(external->ExceptionRecord());
        return info;
    }
    return TExceptionInfo(type, object);
}

void TExceptionInfo::TakeClass(const std::type_info* type)
{
    const bool own = type && InOwnImage(type);
    if (own && CachedClassPart(type, FClassName, FAncestry)) {
        FType = type;
        return;
    }
    if (!IsValidTypeInfo(type, ProbeMemory))
        return;
    FType = type;
    FClassName = TypeDisplayName(*type);
    FAncestry = TypeAncestry(type, ProbeMemory);
    if (own)
        KeepClassPart(type, FClassName, FAncestry);
}

bool TExceptionInfo::InheritsFrom(const std::string& name) const
{
    std::string wanted = Trim(DropOwnNamespace(Trim(name)));
    for (const std::string& known : FAncestry)
        if (known.size() == wanted.size() && lstrcmpiA(known.c_str(), wanted.c_str()) == 0)
            return true;
    return false;
}

bool TExceptionInfo::IsManageable() const
{
    return FType && !InheritsFrom("EAbort");
}

bool TExceptionInfo::IsLanguageException() const
{
    return !InheritsFrom("EExternal");
}

} // namespace qov::exceptions
