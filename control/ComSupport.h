// Small COM plumbing of QovPlayer.ocx: the module's object and lock counts,
// the type library loaded from the module's own resource, text conversions,
// and the boundary that every automation member runs inside.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <exception>
#include <string>

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

// A failure with the result an automation member returns for it.
class EOleError : public std::exception {
public:
    EOleError(HRESULT hr, std::string message) : FResult(hr), FMessage(std::move(message)) {}
    const char* what() const noexcept override { return FMessage.c_str(); }
    HRESULT Result() const noexcept { return FResult; }

private:
    HRESULT FResult;
    std::string FMessage;
};

// Called with every error caught at a member boundary before the member's
// result is made: the place where exception reporting plugs in. Does nothing
// yet.
void ReportCaughtError(const std::exception_ptr& error) noexcept;

// Called inside a catch block at a member boundary: hands the error to
// ReportCaughtError, sets the thread's error info (description = the error's
// message, source = the control's ProgID) and returns the failing result.
HRESULT MemberFailure(REFIID iid) noexcept;

// Runs a member body: S_OK when it completes, else MemberFailure.
template <class TBody>
HRESULT MemberBoundary(REFIID iid, TBody&& body) noexcept
{
    try {
        body();
        return S_OK;
    } catch (...) {
        return MemberFailure(iid);
    }
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
// the failure becomes a line of the daily log.
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
