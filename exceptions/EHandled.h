// The handled-or-unhandled decision on Windows: IsExceptionHandled, asked by
// the raise hooks for every exception they record, with its process-wide
// cache and the flags that the library's start and end set. The frames are
// those of the DWARF unwinder in 32-bit code and those that the system's
// unwind data describe in 64-bit code (EDecision.h has the walk itself).
#pragma once

#include <cstdint>

#include "EDecision.h"
#include "EExceptionInfo.h"

namespace qov::exceptions {

// Whether a frame of the calling thread will catch the exception raised at
// address (the return address of the raising call); exception may be null
// (no exception object); a descriptor of an object whose class could not be
// taken is decided without the cache. answer receives daOrdinary, or daSafeCall for an
// exception raised inside the library's safecall boundary (which is then not
// handled: the boundary reports it). Allocates nothing.
bool IsExceptionHandled(const TExceptionInfo* exception, const void* address, bool forceHandled, uint8_t& answer);
// The same with the count and first kind of the catching frames.
TDecision DecideException(const TExceptionInfo* exception, const void* address, bool forceHandled);
// The same for a thrown object that has no descriptor yet (the raise hook).
TDecision DecideThrow(const std::type_info* type, void* object, const void* address, bool forceHandled);

// The flags of step 6, written by the library's start and end.
void SetDecisionUnitPhase(bool inInitialisation, bool inFinalisation);
void SetDecisionDefersToMain(bool defers);
bool FirstDecisionTaken();
// Empties the cache and clears the one-time flag (the library's start).
void ResetDecisions();
// The cache's keys, oldest first (for tests and reports).
int DecisionCacheCount();
TDecisionKey DecisionCacheKey(int index);

} // namespace qov::exceptions
