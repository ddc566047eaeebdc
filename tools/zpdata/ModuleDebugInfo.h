// Reads what a linked but unstripped Windows module (PE32 or PE32+) knows
// about its code: the section table, the COFF symbol table's functions and
// the DWARF line programs of .debug_line (versions 2 to 5), and turns them
// into the line data of the module's ZPDATA block.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "EDebugData.h"

namespace qov::zpdata {

// Any fault of the module's format.
class EModuleFormat : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TSection {
    std::string Name;
    uint32_t VirtualAddress = 0, VirtualSize = 0;
    uint32_t RawOffset = 0, RawSize = 0;
    uint32_t Characteristics = 0;
    bool IsCode() const { return Characteristics & 0x20; }
};

// A function of the COFF symbol table: its offset from the module base +
// 0x1000 and its name cut to class (enclosing scope) and procedure.
struct TFunctionSymbol {
    uint32_t Offset = 0;
    std::string Raw;        // as the symbol table holds it
    std::string Class, Procedure;
    bool External = false;
};

// One row of a DWARF line program: offset as above, line, and whether it is
// from the compilation unit's own source file.
struct TLineProgramRow {
    uint32_t Offset;
    uint32_t Line;
    bool OwnFile;
};
// A contiguous code range of one compilation unit, [Start, End).
struct TLineSequence {
    uint32_t Start = 0, End = 0;
    std::vector<TLineProgramRow> Rows;
};
struct TCompileUnitLines {
    std::string SourceName;  // the file-name part of the unit's own source
    std::vector<TLineSequence> Sequences;
};

class TModuleImage {
public:
    // Reads the whole file; raises EModuleFormat when it is no PE image.
    explicit TModuleImage(const std::string& fileName);

    bool Is64() const { return F64; }
    uint64_t ImageBase() const { return FImageBase; }
    uint32_t TimeDateStamp() const { return FTimeDateStamp; }
    const std::vector<TSection>& Sections() const { return FSections; }
    // The section's bytes (empty when there is none of that name).
    std::string SectionBytes(const std::string& name) const;
    const std::string& Bytes() const { return FBytes; }

    // Functions of code sections, sorted by offset; one per offset (an
    // external name before a static one, then the first in the table).
    std::vector<TFunctionSymbol> Functions() const;
    // Every line program of .debug_line.
    std::vector<TCompileUnitLines> LinePrograms() const;

private:
    std::string FBytes;
    bool F64 = false;
    bool FLeadingUnderscore = false;
    uint64_t FImageBase = 0;
    uint32_t FTimeDateStamp = 0;
    uint32_t FSymbolTable = 0, FSymbolCount = 0;
    std::vector<TSection> FSections;
    std::string StringAt(uint32_t offset) const;
};

// The units of the line data: sequences of a compilation unit that touch are
// one unit, named by the unit's source file, with procedure starts at every
// function inside.
std::vector<exceptions::TLineUnit> BuildLineUnits(const TModuleImage& image);

// A symbol's name as a C++ developer writes it: without the i386 leading
// underscore and a stdcall "@N", demangled, and cut into scope and function.
void FunctionName(const std::string& raw, bool leadingUnderscore, std::string& cls, std::string& procedure);

} // namespace qov::zpdata
