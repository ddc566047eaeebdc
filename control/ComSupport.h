// Small COM plumbing of QovPlayer.ocx: the module's object and lock counts,
// the type library loaded from the module's own resource, text conversions,
// and the boundary that every automation member runs inside.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <exception>
#include <string>
#include <type_traits>

#include "QovPlayerTLB.h"

namespace qov {

// The module handle of QovPlayer.ocx.
HINSTANCE ModuleInstance();
// The module's own path (GetModuleFileName).
std::string ModulePath();

// Live objects (controls, class factories' locks) of the module.
void ModuleAddRef();
void ModuleRelease();
LONG ModuleCount();

// The type library (resource TYPELIB 1 of the module) and type infos in it;
// loaded once, AddRef'ed for the caller.
HRESULT GetQovTypeLib(ITypeLib** lib);
HRESULT GetQovTypeInfo(REFGUID guid, ITypeInfo** info);
// Drops the cached type library (when the module may unload).
void ReleaseQovTypeLib();

// A failure with the result an automation member returns for it: always a
// failure code (a system call that failed without saying why gives
// HRESULT_FROM_WIN32(0), which is S_OK: E_FAIL stands in for it).
class EOleError : public std::exception {
public:
    EOleError(HRESULT hr, std::string message) : FResult(FAILED(hr) ? hr : E_FAIL), FMessage(std::move(message)) {}
    const char* what() const noexcept override { return FMessage.c_str(); }
    HRESULT Result() const noexcept { return FResult; }

private:
    HRESULT FResult;
    std::string FMessage;
};

// Called inside the catch of a member boundary: hands the error to the
// exception-reporting library (reported once when the module's options say
// so), sets the thread's error info (description = the error's message as it
// is, source = the control's ProgID) and returns the failing result.
HRESULT MemberFailure(REFIID iid) noexcept;

// One member call as the library's safecall boundary runs it.
struct TMemberCall {
    void (*Run)(void* body);
    void* Body;
    const IID* Iid;
};
// Runs the call inside the library's safecall boundary (the frame that the
// library's decision knows as a member boundary): S_OK when the body
// completes, else MemberFailure's result.
HRESULT RunMember(TMemberCall& call) noexcept;

// Runs a member body: S_OK when it completes, else MemberFailure.
template <class TBody>
HRESULT MemberBoundary(REFIID iid, TBody&& body) noexcept
{
    using TPlainBody = std::remove_reference_t<TBody>;
    TMemberCall call{[](void* b) { (*static_cast<TPlainBody*>(b))(); },
                     const_cast<void*>(static_cast<const void*>(&body)), &iid};
    return RunMember(call);
}

// QueryInterface of an object that answers IUnknown and one interface I.
template <class I>
HRESULT QueryOne(I* self, REFIID own, REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == own) {
        *out = self;
        self->AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

// Every window procedure and timer handler of the control catches into this:
// the failure goes to the application's exception handler of the library
// (which reports it when the module's options say so) and becomes a line of
// the daily log.
void HandlerFailure(const char* where) noexcept;

// Conversions between BSTRs and the system's ANSI (GBK) bytes.
std::string AnsiOf(const wchar_t* text);
std::wstring WideOf(const std::string& text);
BSTR NewBstr(const std::string& ansi);  // raises EOutOfMemory when it cannot allocate

// WordBool rules: -1 true, 0 false out; any value with non-zero low 16 bits in.
inline VARIANT_BOOL ToWordBool(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }
inline bool FromWordBool(VARIANT_BOOL value) { return (static_cast<unsigned>(value) & 0xFFFFu) != 0; }

// Identities the registration and the control use.
extern const char* const kControlProgID;       // "QovPlayerTLB.QovPlayerCtrl"
extern const char* const kControlDescription;  // "Corvane QovPlayer Control"
constexpr DWORD kControlMiscStatus = 0x32191;    // 205201

} // namespace qov
