// Code hooking: redirects code of the running process so that the library
// sees raises, thread starts and the exception handlers of the runtime. Three
// techniques, each reversible and remembered, so that the unit's end step
// puts everything back:
//  - replacing a slot of a C++ virtual-method table (PatchVmtSlot);
//  - an inline hook: a 5-byte jump written over the first instructions of a
//    procedure, with a trampoline that runs the displaced instructions and
//    jumps back (HookCode);
//  - replacing entries of modules' import address tables (PatchImport).
// Every write goes through WriteCode. Pointer-sized cells (import entries,
// table slots) are written as one aligned store, so a thread that calls
// through them meanwhile sees either the old or the new value.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "EHookCode.h"
#include "SysUtils.h"

namespace qov::exceptions {

class EHookError : public ::qov::Exception { using Exception::Exception; };
// A null procedure was to be hooked.
class EProcNull : public EHookError { using EHookError::EHookError; };
// The procedure or import could not be hooked.
class EHookingError : public EHookError { using EHookError::EHookError; };
// The code lies in the shared area of a non-NT system.
class ESharedArea : public EHookError { using EHookError::EHookError; };

// Makes count bytes at address writable, copies bytes there, restores the
// protection and flushes the instruction cache. A pointer-sized, aligned
// range is written as one store. False when the protection cannot be changed.
bool WriteCode(void* address, const void* bytes, size_t count);
// Writes a jump (E9) at at to destination; false when out of reach (x86-64)
// or not writable.
bool WriteJump(void* at, const void* destination);

// The length of the instruction at code; false (length 1) when it is not
// decodable or its bytes cannot be read.
bool InstructionLength(const void* code, size_t& length);
// The offset just behind the first return within length bytes of code; 1
// when there is none, 0 when length is 0 or the bytes cannot be read.
size_t FunctionEnd(const void* code, size_t length);

// Hooks target so that calls to it reach hook; returns the trampoline, which
// runs target as it was. Import stubs (FF 25) at target and hook are followed
// to the code they lead to. Hooking a hooked target again returns its
// trampoline and writes nothing. The jump is written while other threads may
// run: install inline hooks at the library's start only, before the program
// runs code of its own in other threads.
// On x86-64 the jump leads to a relay within 2 GB of the target that jumps on
// to hook. A target whose first instructions cannot be moved (undecodable, or
// referring to an address the trampoline cannot reach) is refused.
// Raises EProcNull for a null target or hook, ESharedArea for code in the shared
// area of a non-NT system, EHookingError when it cannot hook; the target is
// then unchanged. name is the procedure's name for the messages.
void* HookCode(void* target, void* hook, const std::string& name);
// Puts the displaced bytes back and frees the trampoline; false when target
// is not hooked (or cannot be written).
bool UnhookCode(void* target);

// Replaces every import address table entry of module that imports replaced
// from dllName (ignoring case) with newAddress, and remembers each (unless
// restoring). Returns replaced when at least one entry was replaced, else
// nullptr. Raises EProcNull for a null replaced or newAddress, ESharedArea for a module in
// the shared area of a non-NT system, and, unless quiet, EHookingError when
// the module has no readable import table or no entry was replaced.
void* PatchImport(HMODULE module, const std::string& dllName, void* replaced, bool restoring, bool quiet,
                  const std::string& name, void* newAddress);
// PatchImport in each listed module that is loaded, for procName of the loaded
// dllName (replaced receives its address in any case); true when any module
// was patched.
bool PatchImportInModules(const std::vector<std::string>& modules, const std::string& dllName, bool quiet,
                          void*& replaced, void* newAddress, const std::string& procName);

// Writes value into slot of the virtual-method table (an object's vtable
// pointer) and returns the previous value; 0 before the unit's start. When
// the slot holds value already nothing is written and the value first
// remembered for it is returned. A slot outside every loaded module's image
// is not written (the entry is still kept).
void* PatchVmtSlot(void* table, int slot, void* value);
// Writes the remembered previous value back; false when none is remembered.
bool RestoreVmtSlot(void* table, int slot);

// Start and end steps of unit EHook: the end step restores every import
// entry, every table slot and every inline hook (last first).
void EHookInit();
void EHookDone();

} // namespace qov::exceptions
