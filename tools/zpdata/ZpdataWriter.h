// Builds a module's ZPDATA block from the module and its options text.
#pragma once

#include <cstdint>
#include <string>

#include "ECoreOptions.h"
#include "ModuleDebugInfo.h"

namespace qov::zpdata {

// A module's options text: one "Name = Value" per line (the option names of
// the option record; Text0 .. Text95 for the texts; PassPhrase for the pass
// phrase of the debug data), "#" starts a comment; numbers in decimal or
// 0x hexadecimal; "\n" in a text is a line break (CR LF). FilterClasses and
// FilterMessages add one entry to their list per line, in order. Options it
// does not name keep their defaults. Raises std::runtime_error on an unknown name.
struct TModuleOptionsText {
    std::string PassPhrase;
};
TModuleOptionsText ReadOptionsText(const std::string& text, exceptions::TZephraModuleOptions& options);

// The build bytes: a date-time (days since 1899-12-30, UTC) of
// SOURCE_DATE_EPOCH when it is set, else of the module's link time.
void BuildBytes(const TModuleImage& image, uint8_t out[8]);

// The module's line data with its names enciphered under the pass phrase.
std::string ModuleLineData(const TModuleImage& image, const std::string& passPhrase);

// The whole block, resource form or appended form.
std::string ModuleZpdataResource(const TModuleImage& image, const std::string& optionsText);
std::string ModuleZpdataAppended(const TModuleImage& image, const std::string& optionsText);

} // namespace qov::zpdata
