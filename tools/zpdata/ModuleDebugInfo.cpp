#include "ModuleDebugInfo.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>

namespace qov::zpdata {

namespace {

// Little-endian reader over bytes that raises at their end.
class TReader {
public:
    TReader(const std::string& bytes, size_t pos = 0, size_t end = std::string::npos)
        : FBytes(bytes), FPos(pos), FEnd(std::min(end, bytes.size()))
    {
        if (FPos > FEnd)
            throw EModuleFormat("data ends early");
    }
    size_t Pos() const { return FPos; }
    size_t End() const { return FEnd; }
    bool AtEnd() const { return FPos >= FEnd; }
    void Seek(size_t pos)
    {
        if (pos > FEnd)
            throw EModuleFormat("data ends early");
        FPos = pos;
    }
    void Skip(uint64_t n)
    {
        if (n > FEnd - FPos)
            throw EModuleFormat("data ends early");
        FPos += static_cast<size_t>(n);
    }
    uint64_t Uint(int size)
    {
        if (static_cast<size_t>(size) > FEnd - FPos)
            throw EModuleFormat("data ends early");
        uint64_t v = 0;
        for (int i = 0; i < size; ++i)
            v |= static_cast<uint64_t>(static_cast<uint8_t>(FBytes[FPos + i])) << (8 * i);
        FPos += size;
        return v;
    }
    uint8_t U8() { return static_cast<uint8_t>(Uint(1)); }
    uint16_t U16() { return static_cast<uint16_t>(Uint(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Uint(4)); }
    uint64_t Uleb()
    {
        uint64_t v = 0;
        for (int shift = 0;; shift += 7) {
            const uint8_t b = U8();
            if (shift < 64)
                v |= static_cast<uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80))
                return v;
        }
    }
    int64_t Sleb()
    {
        int64_t v = 0;
        int shift = 0;
        uint8_t b;
        do {
            b = U8();
            if (shift < 64)
                v |= static_cast<int64_t>(static_cast<uint64_t>(b & 0x7F) << shift);
            shift += 7;
        } while (b & 0x80);
        if (shift < 64 && (b & 0x40))
            v |= -(static_cast<int64_t>(1) << shift);
        return v;
    }
    // The bytes from here to end (within these bytes).
    TReader Sub(size_t end) const { return TReader(FBytes, FPos, end); }
    std::string CString()
    {
        const size_t zero = FBytes.find('\0', FPos);
        if (zero == std::string::npos || zero >= FEnd)
            throw EModuleFormat("text runs past its data");
        std::string s = FBytes.substr(FPos, zero - FPos);
        FPos = zero + 1;
        return s;
    }

private:
    const std::string& FBytes;
    size_t FPos, FEnd;
};

std::string CStringAt(const std::string& bytes, uint64_t offset)
{
    if (offset >= bytes.size())
        throw EModuleFormat("string offset beyond its section");
    TReader r(bytes, static_cast<size_t>(offset));
    return r.CString();
}

std::string BaseName(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsAbsolute(const std::string& path)
{
    return !path.empty() && (path[0] == '/' || path[0] == '\\' || (path.size() > 1 && path[1] == ':'));
}

std::string JoinPath(const std::string& dir, const std::string& name)
{
    if (IsAbsolute(name) || dir.empty())
        return name;
    return dir.back() == '/' || dir.back() == '\\' ? dir + name : dir + "/" + name;
}

// DWARF forms a line program header may use for its directory and file
// entries (version 5).
enum : uint64_t {
    FormBlock2 = 0x03, FormBlock4 = 0x04, FormData2 = 0x05, FormData4 = 0x06, FormData8 = 0x07,
    FormString = 0x08, FormBlock = 0x09, FormBlock1 = 0x0a, FormData1 = 0x0b, FormSdata = 0x0d,
    FormStrp = 0x0e, FormUdata = 0x0f, FormData16 = 0x1e, FormLineStrp = 0x1f,
    FormStrx = 0x1a, FormStrx1 = 0x25, FormStrx2 = 0x26, FormStrx3 = 0x27, FormStrx4 = 0x28,
};

struct TFormValue {
    uint64_t Number = 0;
    std::string Text;
};

TFormValue ReadForm(TReader& r, uint64_t form, bool dwarf64, const std::string& debugStr,
                    const std::string& lineStr)
{
    TFormValue v;
    const int offsetSize = dwarf64 ? 8 : 4;
    switch (form) {
    case FormString: v.Text = r.CString(); break;
    case FormStrp: v.Text = CStringAt(debugStr, r.Uint(offsetSize)); break;
    case FormLineStrp: v.Text = CStringAt(lineStr, r.Uint(offsetSize)); break;
    case FormData1: v.Number = r.Uint(1); break;
    case FormData2: v.Number = r.Uint(2); break;
    case FormData4: v.Number = r.Uint(4); break;
    case FormData8: v.Number = r.Uint(8); break;
    case FormData16: r.Skip(16); break;
    case FormUdata: v.Number = r.Uleb(); break;
    case FormSdata: v.Number = static_cast<uint64_t>(r.Sleb()); break;
    case FormBlock: r.Skip(r.Uleb()); break;
    case FormBlock1: r.Skip(r.Uint(1)); break;
    case FormBlock2: r.Skip(r.Uint(2)); break;
    case FormBlock4: r.Skip(r.Uint(4)); break;
    case FormStrx: case FormStrx1: case FormStrx2: case FormStrx3: case FormStrx4:
        throw EModuleFormat("string index forms need .debug_str_offsets, which line programs do not use");
    default: throw EModuleFormat("unknown form in a line program header");
    }
    return v;
}

struct TFileEntry {
    std::string Path;
};

// One line program at r's position; appends its sequences to unit.
void ReadLineProgram(TReader& all, const TModuleImage& image, const std::string& debugStr,
                     const std::string& lineStr, TCompileUnitLines& unit)
{
    uint64_t length = all.U32();
    bool dwarf64 = false;
    if (length == 0xFFFFFFFF) {
        dwarf64 = true;
        length = all.Uint(8);
    }
    if (length > all.End() - all.Pos())
        throw EModuleFormat("line program longer than .debug_line");
    const size_t end = all.Pos() + static_cast<size_t>(length);
    TReader reader = all.Sub(end);
    all.Seek(end);
    const uint16_t version = reader.U16();
    if (version < 2 || version > 5)
        throw EModuleFormat("line program version " + std::to_string(version) + " is not read");
    if (version >= 5) {
        reader.U8();  // address size: set_address gives its own length
        reader.U8();  // segment selector size
    }
    const uint64_t headerLength = reader.Uint(dwarf64 ? 8 : 4);
    if (headerLength > end - reader.Pos())
        throw EModuleFormat("line program header longer than its program");
    const size_t programStart = reader.Pos() + static_cast<size_t>(headerLength);
    const uint8_t minInstruction = reader.U8();
    if (version >= 4)
        reader.U8();  // maximum operations per instruction (VLIW only)
    const bool defaultIsStmt = reader.U8() != 0;
    (void)defaultIsStmt;
    const int8_t lineBase = static_cast<int8_t>(reader.U8());
    const uint8_t lineRange = reader.U8();
    const uint8_t opcodeBase = reader.U8();
    if (lineRange == 0)
        throw EModuleFormat("line range 0");
    std::vector<uint8_t> standardLengths(opcodeBase ? opcodeBase - 1 : 0);
    for (uint8_t& n : standardLengths)
        n = reader.U8();

    std::vector<std::string> dirs;
    std::vector<TFileEntry> files;
    size_t primary;
    if (version >= 5) {
        auto entries = [&](std::vector<std::pair<uint64_t, uint64_t>>& formats) {
            const uint8_t count = reader.U8();
            for (uint8_t i = 0; i < count; ++i) {
                const uint64_t type = reader.Uleb();
                formats.emplace_back(type, reader.Uleb());
            }
        };
        std::vector<std::pair<uint64_t, uint64_t>> dirFormats, fileFormats;
        entries(dirFormats);
        const uint64_t dirCount = reader.Uleb();
        for (uint64_t i = 0; i < dirCount; ++i) {
            std::string path;
            for (auto [type, form] : dirFormats) {
                TFormValue v = ReadForm(reader, form, dwarf64, debugStr, lineStr);
                if (type == 1)  // DW_LNCT_path
                    path = v.Text;
            }
            dirs.push_back(path);
        }
        entries(fileFormats);
        const uint64_t fileCount = reader.Uleb();
        for (uint64_t i = 0; i < fileCount; ++i) {
            std::string name;
            uint64_t dir = 0;
            for (auto [type, form] : fileFormats) {
                TFormValue v = ReadForm(reader, form, dwarf64, debugStr, lineStr);
                if (type == 1)
                    name = v.Text;
                else if (type == 2)  // DW_LNCT_directory_index
                    dir = v.Number;
            }
            const std::string base = dir < dirs.size() ? dirs[dir] : std::string();
            files.push_back({JoinPath(dir == 0 || dirs.empty() ? base : JoinPath(dirs[0], base), name)});
        }
        primary = 0;
    } else {
        dirs.push_back(std::string());  // index 0: the compilation folder
        for (std::string d; !(d = reader.CString()).empty();)
            dirs.push_back(d);
        files.push_back({});  // files count from 1
        for (std::string name; !(name = reader.CString()).empty();) {
            const uint64_t dir = reader.Uleb();
            reader.Uleb();
            reader.Uleb();
            files.push_back({JoinPath(dir < dirs.size() ? dirs[dir] : std::string(), name)});
        }
        primary = 1;
    }
    if (primary >= files.size())
        return;  // a unit without files has no rows either
    const std::string primaryPath = files[primary].Path;
    unit.SourceName = BaseName(primaryPath);
    std::vector<bool> own(files.size());
    for (size_t i = 0; i < files.size(); ++i)
        own[i] = files[i].Path == primaryPath;

    // The program.
    reader.Seek(programStart);
    const uint64_t base = image.ImageBase() + exceptions::LineDataCodeBase;
    uint64_t address = 0;
    uint64_t file = 1, line = 1;
    TLineSequence sequence;
    // A sequence of code the linker dropped keeps address 0: it is left out.
    bool outside = false;
    auto row = [&]() {
        if (address < base || address - base > 0xFFFFFFFFu) {
            outside = true;
            return;
        }
        const uint32_t offset = static_cast<uint32_t>(address - base);
        if (sequence.Rows.empty())
            sequence.Start = offset;
        const TLineProgramRow r{offset, static_cast<uint32_t>(line), file < own.size() && own[file]};
        if (!sequence.Rows.empty() && sequence.Rows.back().Offset == offset)
            sequence.Rows.back() = r;
        else
            sequence.Rows.push_back(r);
    };
    auto endSequence = [&]() {
        if (!outside && address >= base && address - base <= 0xFFFFFFFFu && !sequence.Rows.empty()) {
            sequence.End = static_cast<uint32_t>(address - base);
            // A row at the very end holds no code.
            while (!sequence.Rows.empty() && sequence.Rows.back().Offset >= sequence.End)
                sequence.Rows.pop_back();
            if (sequence.End > sequence.Start && !sequence.Rows.empty())
                unit.Sequences.push_back(std::move(sequence));
        }
        sequence = TLineSequence();
        outside = false;
        address = 0;
        file = 1;
        line = 1;
    };
    while (reader.Pos() < end) {
        const uint8_t op = reader.U8();
        if (op >= opcodeBase) {
            const uint8_t adjusted = static_cast<uint8_t>(op - opcodeBase);
            address += static_cast<uint64_t>(adjusted / lineRange) * minInstruction;
            line += static_cast<int64_t>(lineBase) + adjusted % lineRange;
            row();
            continue;
        }
        switch (op) {
        case 0: {
            const uint64_t len = reader.Uleb();
            if (len == 0)
                break;
            const size_t next = reader.Pos() + static_cast<size_t>(std::min<uint64_t>(len, end - reader.Pos()));
            const uint8_t sub = reader.U8();
            if (sub == 1)
                endSequence();
            else if (sub == 2)
                address = reader.Uint(static_cast<int>(std::min<uint64_t>(len - 1, 8)));
            reader.Seek(next);
            break;
        }
        case 1: row(); break;                                   // copy
        case 2: address += reader.Uleb() * minInstruction; break;  // advance_pc
        case 3: line += reader.Sleb(); break;                   // advance_line
        case 4: file = reader.Uleb(); break;                    // set_file
        case 8:                                                 // const_add_pc
            address += static_cast<uint64_t>((255 - opcodeBase) / lineRange) * minInstruction;
            break;
        case 9: address += reader.U16(); break;                 // fixed_advance_pc
        default:
            // set_column, negate_stmt, basic_block, prologue/epilogue, isa and
            // unknown ones: skip their LEB operands.
            for (uint8_t i = 0; i < standardLengths[op - 1]; ++i)
                reader.Uleb();
            break;
        }
    }
}

} // namespace

TModuleImage::TModuleImage(const std::string& fileName)
{
    std::ifstream in(fileName, std::ios::binary);
    if (!in)
        throw EModuleFormat("cannot read " + fileName);
    FBytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    TReader r(FBytes);
    if (r.U16() != 0x5A4D)
        throw EModuleFormat(fileName + " is no Windows module");
    r.Seek(0x3C);
    const uint32_t pe = r.U32();
    r.Seek(pe);
    if (r.U32() != 0x00004550)
        throw EModuleFormat(fileName + " has no PE header");
    const uint16_t machine = r.U16();
    const uint16_t sectionCount = r.U16();
    FTimeDateStamp = r.U32();
    FSymbolTable = r.U32();
    FSymbolCount = r.U32();
    const uint16_t optionalSize = r.U16();
    r.U16();  // characteristics
    FLeadingUnderscore = machine == 0x14C;
    const size_t optional = r.Pos();
    const uint16_t magic = r.U16();
    if (magic == 0x20B) {
        F64 = true;
        r.Seek(optional + 24);
        FImageBase = r.Uint(8);
    } else if (magic == 0x10B) {
        r.Seek(optional + 28);
        FImageBase = r.U32();
    } else {
        throw EModuleFormat(fileName + " has an optional header of unknown kind");
    }
    r.Seek(optional + 56);
    const uint32_t imageSize = r.U32();
    if (static_cast<uint64_t>(imageSize) > 0xFFFFFFFFull - exceptions::LineDataCodeBase)
        throw EModuleFormat(fileName + " is larger than the line data's offsets can hold");
    r.Seek(optional + optionalSize);
    for (uint16_t i = 0; i < sectionCount; ++i) {
        TSection s;
        char name[9] = {};
        for (int k = 0; k < 8; ++k)
            name[k] = static_cast<char>(r.U8());
        s.Name = name;
        s.VirtualSize = r.U32();
        s.VirtualAddress = r.U32();
        s.RawSize = r.U32();
        s.RawOffset = r.U32();
        r.Skip(12);
        s.Characteristics = r.U32();
        if (!s.Name.empty() && s.Name[0] == '/')
            s.Name = StringAt(static_cast<uint32_t>(std::strtoul(s.Name.c_str() + 1, nullptr, 10)));
        FSections.push_back(s);
    }
}

std::string TModuleImage::StringAt(uint32_t offset) const
{
    const uint64_t table = static_cast<uint64_t>(FSymbolTable) + static_cast<uint64_t>(FSymbolCount) * 18;
    if (!FSymbolTable || table + offset >= FBytes.size())
        throw EModuleFormat("a long name without a string table");
    return CStringAt(FBytes, table + offset);
}

std::string TModuleImage::SectionBytes(const std::string& name) const
{
    for (const TSection& s : FSections) {
        if (s.Name != name)
            continue;
        const uint32_t size = s.VirtualSize && s.VirtualSize < s.RawSize ? s.VirtualSize : s.RawSize;
        if (static_cast<uint64_t>(s.RawOffset) + size > FBytes.size())
            throw EModuleFormat("section " + name + " runs past the file");
        return FBytes.substr(s.RawOffset, size);
    }
    return std::string();
}

std::vector<TFunctionSymbol> TModuleImage::Functions() const
{
    std::vector<TFunctionSymbol> all;
    if (!FSymbolTable || !FSymbolCount)
        throw EModuleFormat("the module has no symbol table (stripped?)");
    TReader r(FBytes, FSymbolTable);
    for (uint32_t i = 0; i < FSymbolCount; ++i) {
        const size_t at = r.Pos();
        std::string name;
        if (r.U32() == 0) {
            name = StringAt(r.U32());
        } else {
            r.Seek(at);
            char text[9] = {};
            for (int k = 0; k < 8; ++k)
                text[k] = static_cast<char>(r.U8());
            name = text;
        }
        const uint32_t value = r.U32();
        const int16_t section = static_cast<int16_t>(r.U16());
        const uint16_t type = r.U16();
        const uint8_t storageClass = r.U8();
        const uint8_t aux = r.U8();
        r.Skip(static_cast<uint64_t>(aux) * 18);
        i += aux;
        const bool function = (type & 0x30) == 0x20;
        if (!function || section <= 0 || static_cast<size_t>(section) > FSections.size() ||
            (storageClass != 2 && storageClass != 3))
            continue;
        const TSection& s = FSections[section - 1];
        if (!s.IsCode())
            continue;
        const uint64_t offset = static_cast<uint64_t>(s.VirtualAddress) + value;
        if (offset < exceptions::LineDataCodeBase || offset - exceptions::LineDataCodeBase > 0xFFFFFFFFu)
            continue;
        TFunctionSymbol f;
        f.Offset = static_cast<uint32_t>(offset - exceptions::LineDataCodeBase);
        f.Raw = name;
        f.External = storageClass == 2;
        FunctionName(name, FLeadingUnderscore, f.Class, f.Procedure);
        all.push_back(std::move(f));
    }
    std::stable_sort(all.begin(), all.end(), [](const TFunctionSymbol& a, const TFunctionSymbol& b) {
        return a.Offset != b.Offset ? a.Offset < b.Offset : a.External > b.External;
    });
    all.erase(std::unique(all.begin(), all.end(),
                          [](const TFunctionSymbol& a, const TFunctionSymbol& b) { return a.Offset == b.Offset; }),
              all.end());
    return all;
}

std::vector<TCompileUnitLines> TModuleImage::LinePrograms() const
{
    const std::string lines = SectionBytes(".debug_line");
    if (lines.empty())
        throw EModuleFormat("the module has no .debug_line (built without -g, or stripped?)");
    const std::string debugStr = SectionBytes(".debug_str");
    const std::string lineStr = SectionBytes(".debug_line_str");
    std::vector<TCompileUnitLines> units;
    TReader r(lines);
    while (!r.AtEnd()) {
        TCompileUnitLines unit;
        ReadLineProgram(r, *this, debugStr, lineStr, unit);
        if (!unit.Sequences.empty())
            units.push_back(std::move(unit));
    }
    return units;
}

void FunctionName(const std::string& raw, bool leadingUnderscore, std::string& cls, std::string& procedure)
{
    std::string name = raw;
    if (leadingUnderscore && !name.empty() && name[0] == '_')
        name.erase(0, 1);
    // A clone's suffix (".cold", ".part.0", ".constprop.0") follows the
    // whole name, stdcall decoration included; no name holds a "." itself.
    const size_t dot = name.find('.');
    if (dot != std::string::npos && dot > 0)
        name.erase(dot);
    // stdcall: "@" and the argument bytes.
    const size_t at = name.rfind('@');
    if (at != std::string::npos && at > 0 && at + 1 < name.size() &&
        name.find_first_not_of("0123456789", at + 1) == std::string::npos)
        name.erase(at);
    if (name.compare(0, 2, "_Z") == 0) {
        int status = 0;
        std::unique_ptr<char, void (*)(void*)> text(abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status),
                                                    std::free);
        if (status == 0 && text) {
            exceptions::SplitDemangledName(text.get(), cls, procedure);
            return;
        }
    }
    cls.clear();
    procedure = name;
}

std::vector<exceptions::TLineUnit> BuildLineUnits(const TModuleImage& image)
{
    const std::vector<TFunctionSymbol> functions = image.Functions();
    std::vector<exceptions::TLineUnit> units;
    for (TCompileUnitLines& cu : image.LinePrograms()) {
        std::sort(cu.Sequences.begin(), cu.Sequences.end(),
                  [](const TLineSequence& a, const TLineSequence& b) { return a.Start < b.Start; });
        exceptions::TLineUnit* unit = nullptr;
        uint32_t unitEnd = 0;
        bool haveLine = false;
        for (const TLineSequence& seq : cu.Sequences) {
            if (!unit || seq.Start != unitEnd) {
                units.emplace_back();
                unit = &units.back();
                unit->Name = cu.SourceName;
                unit->CodeStart = seq.Start;
                haveLine = false;
            } else if (seq.Start < unitEnd) {
                continue;  // overlapping sequences: the first one holds
            }
            for (const TLineProgramRow& row : seq.Rows) {
                if (!row.OwnFile) {
                    // Code of another file keeps the last own line; at the
                    // start of a unit it is marked by line 0.
                    if (!haveLine) {
                        unit->Rows.push_back({row.Offset, 0});
                        haveLine = true;
                    }
                    continue;
                }
                if (!unit->Rows.empty() && unit->Rows.back().Offset == row.Offset)
                    unit->Rows.back().Line = row.Line;
                else if (unit->Rows.empty() || unit->Rows.back().Line != row.Line)
                    unit->Rows.push_back({row.Offset, row.Line});
                haveLine = true;
            }
            unitEnd = seq.End;
            unit->CodeSize = unitEnd - unit->CodeStart;
        }
    }
    std::sort(units.begin(), units.end(),
              [](const exceptions::TLineUnit& a, const exceptions::TLineUnit& b) { return a.CodeStart < b.CodeStart; });
    // Procedure starts: every function inside a unit, and the function a
    // unit starts in (a cold part's rows may begin behind its symbol).
    for (exceptions::TLineUnit& unit : units) {
        auto it = std::lower_bound(functions.begin(), functions.end(), unit.CodeStart,
                                   [](const TFunctionSymbol& f, uint32_t offset) { return f.Offset < offset; });
        if ((it == functions.end() || it->Offset != unit.CodeStart) && it != functions.begin()) {
            const TFunctionSymbol& before = *std::prev(it);
            unit.Procedures.push_back({unit.CodeStart, before.Class, before.Procedure});
        }
        for (; it != functions.end() && it->Offset - unit.CodeStart < unit.CodeSize; ++it)
            unit.Procedures.push_back({it->Offset, it->Class, it->Procedure});
    }
    return units;
}

} // namespace qov::zpdata
