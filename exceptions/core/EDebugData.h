// The debug data a module carries for the exception-reporting library: the
// ZPDATA block (options, pass-phrase check, line data) and its line-number
// data, which turns a code offset into unit, class, procedure and line.
//
// Everything here reads bytes it is given and trusts none of their lengths:
// a block or a record that does not fit its bytes is refused, never read past.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qov::exceptions {

class TZephraModuleOptions;

// First four bytes of a ZPDATA block (and last four of a module file that
// carries the block appended).
constexpr uint32_t ZpdataMagic = 0x000FAB10;
// Code offsets in the line data count from the module handle + 0x1000.
constexpr uint32_t LineDataCodeBase = 0x1000;
// The longest part of a stored name.
constexpr size_t StoredNamePartMax = 127;

// ---- line data -----------------------------------------------------------------

// Turns the bytes of one stored name part into its text (or back).
using TNameTransform = std::function<std::string(const std::string& bytes)>;

// How the line data of one block is read.
struct TLineDataFormat {
    uint16_t Version = 0;
    // Unlocked: names are deciphered (versions 500 and later); locked: they
    // are shown as "?" + Base64 and unit names get a "p" at position 2.
    bool Unlocked = true;
    // Versions 500 and later: decipher of one unlocked name part, and the
    // shown form of a locked one.
    TNameTransform Decipher;
    TNameTransform LockedForm;
};

// What the line data says about one code offset.
struct TLineInfo {
    std::string Unit, Class, Procedure;
    uint32_t Line = 0;
    // Line minus the first line of the procedure (0 before the first one).
    uint32_t LineOffset = 0;
};

// Finds offset (from the module handle + 0x1000) in the line data. False
// when no unit holds it or the data ends or breaks before it is found.
bool LookupLine(const uint8_t* data, size_t size, const TLineDataFormat& format, uint32_t offset,
                TLineInfo& info);

// Every range the line data describes, unit by unit, in record order:
// [begin, end) with what LookupLine gives for each offset in it. Returns
// false when the data breaks (the ranges before that were given).
using TLineRangeSink = std::function<void(uint32_t begin, uint32_t end, const TLineInfo& info)>;
bool WalkLineData(const uint8_t* data, size_t size, const TLineDataFormat& format,
                  const TLineRangeSink& sink);

// The encoder's view of one unit: a contiguous code range of one source file.
struct TLineRow {
    uint32_t Offset;  // from the module handle + 0x1000
    uint32_t Line;
};
struct TProcedureStart {
    uint32_t Offset;
    std::string Class;      // empty for a free procedure
    std::string Procedure;
};
struct TLineUnit {
    std::string Name;
    uint32_t CodeStart = 0, CodeSize = 0;
    // Sorted by offset; each line holds until the next row. Code before the
    // first row has the line of the first row.
    std::vector<TLineRow> Rows;
    // Sorted by offset; at most one per offset.
    std::vector<TProcedureStart> Procedures;
};

// The line data (unit count and units) of a version 502 or later block, each
// stored name part passed through encipher (empty: stored as it is). Name
// parts longer than StoredNamePartMax are cut (a class keeps its end, a
// procedure its start).
std::string EncodeLineData(const std::vector<TLineUnit>& units, const TNameTransform& encipher);

// ---- ZPDATA block ----------------------------------------------------------------

// A block taken apart. Options and line data are spans of Storage.
struct TZpdataBlock {
    uint16_t Version = 0;
    uint8_t Build[8] = {};
    // The option record's stored form (exactly the bytes it occupies in the
    // appended and older forms; the whole inflated part in version 500 and
    // later).
    std::string Options;
    bool HasCheck = false;
    uint8_t Check[4] = {};
    bool HasLineData = false;
    std::string LineData;
};

// Reads a block of the resource form from data. With lineData false the
// line data is neither inflated nor kept (the record is being built light).
// False, with nothing usable in block, when the magic is wrong, the version
// is newer than this library's, a length does not fit or an inflate fails.
bool ParseZpdataResource(const uint8_t* data, size_t size, bool lineData, TZpdataBlock& block);

// The appended form: tail is the end of a module file (at most the whole
// file). Gives the block's offset from the start of tail too.
bool ParseZpdataAppended(const uint8_t* tail, size_t size, bool lineData, TZpdataBlock& block);

// Writes a block of the resource form, version 5110 (empty address table).
std::string BuildZpdataResource(const uint8_t build[8], const std::string& options, const uint8_t check[4],
                                const std::string& lineData);
// Writes the appended form (version 5110, all plain), ready to be added to a
// module file.
std::string BuildZpdataAppended(const uint8_t build[8], const std::string& options,
                                const std::string& lineData);

// ---- export names --------------------------------------------------------------

// Kinds of a stack entry that an export name gives.
constexpr uint8_t StackEntryPlainExport = 2;
constexpr uint8_t StackEntryQualifiedExport = 3;

struct TExportNameParts {
    uint8_t Kind = 0;
    std::string Unit, Class, Procedure;
};
// Turns an exported name into unit, class and procedure. False when the name
// is not parsed (a "?" name, an at-sign name without "$").
bool ParseExportName(const std::string& name, TExportNameParts& parts);

// A C++ name without parameters, return type and clone suffixes, split at its
// last "::" into enclosing scope and function.
void SplitDemangledName(const std::string& demangled, std::string& scope, std::string& function);

} // namespace qov::exceptions
