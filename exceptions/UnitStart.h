// Start and end of the library's units in one module. The units' start steps
// run in the order of one table from the module's first static initialiser,
// their end steps in reverse order from its last static destructor, each
// through RunUnitStep under its label ("ECore.Init" ...). Every unit counts
// its start and end calls, so its steps run once however often the table is
// walked.
#pragma once

#include <string>

namespace qov::exceptions {

// Walks the table forwards (start) or backwards (end). A start step that fails
// without an installed internal-error reporter stops the walk and the failing
// unit counts as not started; StartUnits then raises the step's failure. With
// the reporter installed the failure is reported and the walk goes on.
void StartUnits();
void EndUnits();

// Start calls minus end calls of a unit so far ("ECore"); -1 for no such unit.
int UnitStartCount(const char* unit);
// The failure text of a start or end step that the module's static
// initialiser or destructor caught (empty when none).
std::string UnitStepFailure();

} // namespace qov::exceptions

// Pulled in by the linker (-u) so that every module carrying the library has
// the start table even when nothing else refers to it.
extern "C" int QovExceptionsUnitStart;
