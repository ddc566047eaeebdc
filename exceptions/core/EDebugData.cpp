#include "EDebugData.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

#include "ECoreOptions.h"
#include "EZlib.h"

namespace qov::exceptions {

namespace {

// ---- bounded reader ---------------------------------------------------------------

class TByteReader {
public:
    TByteReader(const uint8_t* data, size_t size) : FData(data), FSize(data ? size : 0) {}

    size_t Position() const { return FPos; }
    size_t Remaining() const { return FSize - FPos; }
    bool Seek(size_t pos)
    {
        if (pos > FSize)
            return false;
        FPos = pos;
        return true;
    }
    bool Skip(size_t count) { return count <= Remaining() && Seek(FPos + count); }
    bool Bytes(void* out, size_t count)
    {
        if (count > Remaining())
            return false;
        if (count)
            std::memcpy(out, FData + FPos, count);
        FPos += count;
        return true;
    }
    bool U8(uint8_t& v) { return Bytes(&v, 1); }
    bool U16(uint16_t& v)
    {
        uint8_t b[2];
        if (!Bytes(b, 2))
            return false;
        v = static_cast<uint16_t>(b[0] | b[1] << 8);
        return true;
    }
    bool U32(uint32_t& v)
    {
        uint8_t b[4];
        if (!Bytes(b, 4))
            return false;
        v = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
            static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
        return true;
    }
    bool Text(size_t count, std::string& out)
    {
        if (count > Remaining())
            return false;
        out.assign(reinterpret_cast<const char*>(FData + FPos), count);
        FPos += count;
        return true;
    }
    const uint8_t* Here() const { return FData + FPos; }

private:
    const uint8_t* FData;
    size_t FSize;
    size_t FPos = 0;
};

void PutU16(std::string& out, uint32_t v)
{
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8 & 0xFF);
}

void PutU32(std::string& out, uint32_t v)
{
    PutU16(out, v & 0xFFFF);
    PutU16(out, v >> 16);
}

// ---- stored names -----------------------------------------------------------------

// One part's bytes as text, by the block's version and lock.
std::string NamePartText(const std::string& bytes, const TLineDataFormat& format)
{
    if (format.Version < 500) {
        std::string text = bytes;
        for (char& c : text)
            c = static_cast<char>(c ^ OptionsTextKey);
        return text;
    }
    if (format.Unlocked)
        return format.Decipher ? format.Decipher(bytes) : bytes;
    return format.LockedForm ? format.LockedForm(bytes) : "?";
}

bool ReadStoredName(TByteReader& r, const TLineDataFormat& format, std::string& name)
{
    name.clear();
    for (bool first = true;; first = false) {
        uint8_t length;
        if (!r.U8(length))
            return false;
        const bool more = format.Version >= 502 && (length & 0x80);
        if (more)
            length &= 0x7F;
        std::string bytes;
        if (!r.Text(length, bytes))
            return false;
        if (!first)
            name += '.';
        name += NamePartText(bytes, format);
        if (!more)
            return true;
    }
}

// ---- records ------------------------------------------------------------------------

struct TRecord {
    uint16_t LineStep;   // added as a signed 16-bit number
    uint32_t AddressStep;
    bool Named;
};

bool ReadRecord(TByteReader& r, uint16_t version, TRecord& rec)
{
    uint8_t f;
    if (!r.U8(f))
        return false;
    if (!(f & 1)) {
        rec = {static_cast<uint16_t>((f >> 6) + 1), ((f >> 1) & 0x1Fu) + 1, false};
        return true;
    }
    if (!(f & 2)) {
        rec = {static_cast<uint16_t>((f >> 5) + 1), ((f >> 2) & 7u) + 1, true};
        return true;
    }
    rec.Named = (f & 4) != 0;
    if (!(f & 8)) {
        uint8_t hi;
        if (!r.U8(hi))
            return false;
        const uint32_t w = f | static_cast<uint32_t>(hi) << 8;
        rec.LineStep = static_cast<uint16_t>((w >> 11) + 1);
        rec.AddressStep = ((w >> 4) & 0x7F) + 1;
        return true;
    }
    uint8_t rest[3];
    if (!r.Bytes(rest, 3))
        return false;
    const uint32_t v = f | static_cast<uint32_t>(rest[0]) << 8 | static_cast<uint32_t>(rest[1]) << 16 |
                       static_cast<uint32_t>(rest[2]) << 24;
    const uint32_t d = v >> 4;
    if (d == 0x0FFEFFFE && version >= 423) {
        uint16_t lineStep, addressStep;
        if (!r.U16(lineStep) || !r.U16(addressStep))
            return false;
        rec.LineStep = static_cast<uint16_t>(lineStep + 1);
        rec.AddressStep = static_cast<uint32_t>(addressStep) + 1;
        return true;
    }
    rec.LineStep = static_cast<uint16_t>((d & 0xFFFF) + 1);
    rec.AddressStep = (d >> 16) == 0xFFF ? 0 : (d >> 16) + 1;
    return true;
}

// left := the part before at, right := the part behind the separator of
// length gap at at; without one (npos), left is empty and right the name.
void SplitNameAt(const std::string& name, size_t at, size_t gap, std::string& left, std::string& right)
{
    if (at == std::string::npos) {
        left.clear();
        right = name;
    } else {
        left = name.substr(0, at);
        right = name.substr(at + gap);
    }
}

// Splits a procedure name read with a record into class and procedure.
void ApplyProcedureName(const std::string& name, std::string& cls, std::string& procedure)
{
    if (!name.empty() && name[0] == '.') {
        procedure = name.substr(1);
    } else {
        SplitNameAt(name, name.find('.'), 1, cls, procedure);
    }
    if (!procedure.empty() && procedure[0] == '@')
        procedure[0] = '_';
}

uint32_t LineOffsetOf(uint32_t line, uint32_t procedureLine, bool inProcedure)
{
    if (!inProcedure)
        return 0;
    const int64_t d = static_cast<int64_t>(static_cast<int32_t>(line)) - static_cast<int32_t>(procedureLine);
    return d > 0 ? static_cast<uint32_t>(d) : 0;
}

// Walks the units. target: stop at the unit range holding it (and skip the
// records of the other units); sink: every range. Returns whether the data
// was read without a break; hit tells whether target was found.
bool Walk(const uint8_t* data, size_t size, const TLineDataFormat& format, const uint32_t* target,
          TLineInfo* hitInfo, bool* hit, const TLineRangeSink* sink)
{
    TByteReader r(data, size);
    if (format.Version >= 405 && format.Version < 500) {
        uint32_t skip;
        if (!r.U32(skip) || !r.Skip(skip))
            return false;
    }
    uint32_t units;
    if (!r.U32(units))
        return false;
    for (uint32_t u = 0; u < units; ++u) {
        TLineInfo info;
        if (!ReadStoredName(r, format, info.Unit))
            return false;
        if (format.Version >= 500 && !format.Unlocked)
            info.Unit = info.Unit.substr(0, 1).append("p").append(info.Unit, std::min<size_t>(1, info.Unit.size()));
        else if (info.Unit.find('.') == std::string::npos)
            info.Unit += ".pas";
        uint32_t firstLine, codeStart, codeSize, recordsLength;
        if (!r.U32(firstLine) || !r.U32(codeStart) || !r.U32(codeSize) || !r.U32(recordsLength))
            return false;
        if (recordsLength > r.Remaining())
            return false;
        const size_t end = r.Position() + recordsLength;
        // Offsets are 32-bit; a unit's last byte is its start + size - 1.
        const uint64_t unitEnd = static_cast<uint64_t>(codeStart) + codeSize;
        const bool wanted = !target || (*target >= codeStart && *target < unitEnd);
        if (!wanted) {
            r.Seek(end);
            continue;
        }
        TByteReader records(data, end);
        records.Seek(r.Position());
        uint64_t offset = codeStart;
        info.Line = firstLine;
        bool inProcedure = false;
        uint32_t procedureLine = 0;
        // Offsets past 32 bits (steps that run beyond the module) hold no code.
        auto give = [&](uint64_t begin, uint64_t stop) {
            stop = std::min<uint64_t>(stop, 0xFFFFFFFFu);
            if (stop <= begin)
                return false;
            info.LineOffset = LineOffsetOf(info.Line, procedureLine, inProcedure);
            if (sink)
                (*sink)(static_cast<uint32_t>(begin), static_cast<uint32_t>(stop), info);
            if (target && *target >= begin && *target < stop) {
                *hitInfo = info;
                *hit = true;
                return true;
            }
            return false;
        };
        while (records.Remaining()) {
            TRecord rec;
            if (!ReadRecord(records, format.Version, rec))
                return false;
            std::string name;
            if (rec.Named && !ReadStoredName(records, format, name))
                return false;
            const uint64_t next = offset + rec.AddressStep;
            if (give(offset, next))
                return true;
            offset = next;
            info.Line = static_cast<uint32_t>(info.Line + static_cast<int16_t>(rec.LineStep));
            if (rec.Named) {
                ApplyProcedureName(name, info.Class, info.Procedure);
                inProcedure = true;
                procedureLine = info.Line;
            }
        }
        if (give(offset, unitEnd))
            return true;
        r.Seek(end);
    }
    return true;
}

// ---- encoder ------------------------------------------------------------------------

void PutStoredName(std::string& out, const std::string& text, bool more, const TNameTransform& encipher)
{
    const std::string bytes = encipher ? encipher(text) : text;
    out += static_cast<char>(bytes.size() | (more ? 0x80 : 0));
    out += bytes;
}

void PutRecord(std::string& out, uint16_t lineStep, uint32_t addressStep, const TProcedureStart* procedure,
               const TNameTransform& encipher)
{
    const bool named = procedure != nullptr;
    const uint32_t l = static_cast<uint16_t>(lineStep - 1);  // stored step - 1
    if (!named && lineStep >= 1 && lineStep <= 4 && addressStep >= 1 && addressStep <= 32) {
        out += static_cast<char>(l << 6 | (addressStep - 1) << 1);
    } else if (named && lineStep >= 1 && lineStep <= 8 && addressStep >= 1 && addressStep <= 8) {
        out += static_cast<char>(l << 5 | (addressStep - 1) << 2 | 1);
    } else if (lineStep >= 1 && lineStep <= 32 && addressStep >= 1 && addressStep <= 128) {
        PutU16(out, l << 11 | (addressStep - 1) << 4 | (named ? 4u : 0u) | 3);
    } else {
        const uint32_t a = addressStep == 0 ? 0xFFF : addressStep - 1;
        const uint32_t flags = 8u | (named ? 4u : 0u) | 3u;
        if (a <= 0xFFF && !(a == 0xFFE && l == 0xFFFE)) {
            PutU32(out, (a << 16 | l) << 4 | flags);
        } else {
            PutU32(out, 0x0FFEFFFEu << 4 | flags);
            PutU16(out, l);
            PutU16(out, addressStep - 1);
        }
    }
    if (named) {
        std::string cls = procedure->Class, proc = procedure->Procedure;
        if (cls.size() > StoredNamePartMax)
            cls.erase(0, cls.size() - StoredNamePartMax);
        if (proc.size() > StoredNamePartMax)
            proc.resize(StoredNamePartMax);
        // A name without a class would otherwise keep its first "." part as
        // one; a class must not hold one either.
        std::replace(cls.begin(), cls.end(), '.', '_');
        if (cls.empty())
            std::replace(proc.begin(), proc.end(), '.', '_');
        if (!cls.empty())
            PutStoredName(out, cls, true, encipher);
        PutStoredName(out, proc, false, encipher);
    }
}

// Records that move from (offset, line) to (target, newLine), the last one
// carrying the procedure name.
void PutSteps(std::string& out, uint32_t& offset, uint32_t& line, uint32_t target, uint32_t newLine,
              const TProcedureStart* procedure, const TNameTransform& encipher)
{
    uint32_t gap = target - offset;
    while (gap > 0x10000) {
        PutRecord(out, 0, 0x10000, nullptr, encipher);
        gap -= 0x10000;
    }
    int64_t delta = static_cast<int64_t>(static_cast<int32_t>(newLine)) - static_cast<int32_t>(line);
    for (;;) {
        const int64_t step = std::clamp<int64_t>(delta, -32768, 32767);
        delta -= step;
        const bool last = delta == 0;
        if (gap == 0 && step == 0 && !procedure && last)
            break;
        PutRecord(out, static_cast<uint16_t>(step), gap, last ? procedure : nullptr, encipher);
        gap = 0;
        if (last)
            break;
    }
    offset = target;
    line = newLine;
}

// ---- export names ------------------------------------------------------------------

void SplitQualified(const std::string& name, TExportNameParts& parts)
{
    std::string text = name;
    const size_t at = text.find('@');
    if (at != std::string::npos)
        text.erase(at);
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        const size_t dot = text.find('.', start);
        items.push_back(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    parts.Kind = StackEntryQualifiedExport;
    parts.Unit = items[0] + ".pas";
    if (items.size() == 2) {
        parts.Procedure = items[1];
    } else if (items.size() >= 3) {
        parts.Class = items[1];
        parts.Procedure = items[2];
    }
}

std::string Demangle(const std::string& name)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> text(abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status),
                                                std::free);
    return status == 0 && text ? std::string(text.get()) : std::string();
}

} // namespace

bool LookupLine(const uint8_t* data, size_t size, const TLineDataFormat& format, uint32_t offset,
                TLineInfo& info)
{
    bool hit = false;
    Walk(data, size, format, &offset, &info, &hit, nullptr);
    return hit;
}

bool WalkLineData(const uint8_t* data, size_t size, const TLineDataFormat& format, const TLineRangeSink& sink)
{
    return Walk(data, size, format, nullptr, nullptr, nullptr, &sink);
}

std::string EncodeLineData(const std::vector<TLineUnit>& units, const TNameTransform& encipher)
{
    std::string out;
    PutU32(out, static_cast<uint32_t>(units.size()));
    for (const TLineUnit& unit : units) {
        std::string name = unit.Name.substr(0, StoredNamePartMax);
        PutStoredName(out, name, false, encipher);
        const uint32_t unitEnd = unit.CodeStart + unit.CodeSize;
        // Line in force at an offset: the last row at or before it.
        size_t row = 0;
        auto lineAt = [&](uint32_t at) {
            while (row + 1 < unit.Rows.size() && unit.Rows[row + 1].Offset <= at)
                ++row;
            return unit.Rows.empty() ? 0u : unit.Rows[row].Line;
        };
        const uint32_t firstLine = lineAt(unit.CodeStart);
        std::string records;
        uint32_t offset = unit.CodeStart, line = firstLine;
        size_t r = 0, p = 0;
        for (;;) {
            while (r < unit.Rows.size() && unit.Rows[r].Offset <= offset)
                ++r;
            while (p < unit.Procedures.size() && unit.Procedures[p].Offset < offset)
                ++p;
            uint32_t next = unitEnd;
            if (r < unit.Rows.size())
                next = std::min(next, unit.Rows[r].Offset);
            if (p < unit.Procedures.size())
                next = std::min(next, unit.Procedures[p].Offset);
            if (next >= unitEnd)
                break;
            const TProcedureStart* procedure =
                p < unit.Procedures.size() && unit.Procedures[p].Offset == next ? &unit.Procedures[p] : nullptr;
            PutSteps(records, offset, line, next, lineAt(next), procedure, encipher);
            if (procedure)
                ++p;
            if (r < unit.Rows.size() && unit.Rows[r].Offset == next)
                ++r;
        }
        PutU32(out, firstLine);
        PutU32(out, unit.CodeStart);
        PutU32(out, unit.CodeSize);
        PutU32(out, static_cast<uint32_t>(records.size()));
        out += records;
    }
    return out;
}

// ---- ZPDATA block ------------------------------------------------------------------------

namespace {

// A zlib stream of the block inflated; false when it is damaged or cut short.
bool Inflate(const uint8_t* data, size_t size, std::string& out)
{
    out.clear();
    if (size > static_cast<size_t>(INT32_MAX))
        return false;
    try {
        out = DecompressBuffer(data, static_cast<int32_t>(size));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::string Deflate(const std::string& bytes)
{
    return CompressBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
}

} // namespace

namespace {

// The stored form's span at the reader: read once into a scratch record to
// learn where it ends.
bool TakeOptions(TByteReader& r, uint16_t version, std::string& options)
{
    TZephraModuleOptions scratch(std::string(), false);
    TOptionsReadStream stream(r.Here(), r.Remaining());
    scratch.ReadFromStream(stream, version);
    return r.Text(stream.Position(), options);
}

bool TakeLineData(TByteReader& r, TZpdataBlock& block)
{
    uint32_t n;
    if (!r.U32(n) || !r.Text(n, block.LineData))
        return false;
    block.HasLineData = true;
    return true;
}

// Options and line data of the forms that keep them together (below 500).
bool TakeOptionsAndLines(TByteReader& r, bool lineData, TZpdataBlock& block)
{
    if (!TakeOptions(r, block.Version, block.Options))
        return false;
    // The length is checked even when the line data is not kept.
    uint32_t n;
    if (!r.U32(n) || n > r.Remaining())
        return false;
    if (lineData) {
        r.Seek(r.Position() - 4);
        return TakeLineData(r, block);
    }
    return true;
}

} // namespace

bool ParseZpdataResource(const uint8_t* data, size_t size, bool lineData, TZpdataBlock& block)
{
    block = TZpdataBlock();
    TByteReader r(data, size);
    uint32_t magic;
    TZpdataBlock b;
    if (!r.U32(magic) || magic != ZpdataMagic || !r.U16(b.Version) || b.Version > LibraryOptionsVersion ||
        !r.Bytes(b.Build, 8))
        return false;
    if (b.Version < 450) {
        if (!TakeOptionsAndLines(r, lineData, b))
            return false;
    } else if (b.Version < 500) {
        std::string body;
        if (!Inflate(r.Here(), r.Remaining(), body))
            return false;
        TByteReader inner(reinterpret_cast<const uint8_t*>(body.data()), body.size());
        if (!TakeOptionsAndLines(inner, lineData, b))
            return false;
    } else {
        uint32_t addressTable, optionsLength;
        if (!r.U32(addressTable) || !r.Skip(addressTable) || !r.U32(optionsLength) ||
            optionsLength > r.Remaining())
            return false;
        if (!Inflate(r.Here(), optionsLength, b.Options))
            return false;
        r.Skip(optionsLength);
        if (!r.Bytes(b.Check, 4))
            return false;
        b.HasCheck = true;
        if (lineData) {
            std::string lines;
            if (!Inflate(r.Here(), r.Remaining(), lines))
                return false;
            TByteReader inner(reinterpret_cast<const uint8_t*>(lines.data()), lines.size());
            if (!TakeLineData(inner, b))
                return false;
        }
    }
    block = std::move(b);
    return true;
}

bool ParseZpdataAppended(const uint8_t* tail, size_t size, bool lineData, TZpdataBlock& block)
{
    block = TZpdataBlock();
    TByteReader end(tail, size);
    uint32_t length, magic;
    if (size < 8 || !end.Seek(size - 8) || !end.U32(length) || !end.U32(magic) || magic != ZpdataMagic ||
        length > size - 8)
        return false;
    TByteReader r(tail + (size - 8 - length), length);
    TZpdataBlock b;
    if (!r.U16(b.Version) || b.Version > LibraryOptionsVersion || !r.Bytes(b.Build, 8) ||
        !TakeOptionsAndLines(r, lineData, b))
        return false;
    block = std::move(b);
    return true;
}

std::string BuildZpdataResource(const uint8_t build[8], const std::string& options, const uint8_t check[4],
                                const std::string& lineData)
{
    std::string out;
    PutU32(out, ZpdataMagic);
    PutU16(out, LibraryOptionsVersion);
    out.append(reinterpret_cast<const char*>(build), 8);
    PutU32(out, 0);  // no address table
    const std::string packedOptions = Deflate(options);
    PutU32(out, static_cast<uint32_t>(packedOptions.size()));
    out += packedOptions;
    out.append(reinterpret_cast<const char*>(check), 4);
    std::string lines;
    PutU32(lines, static_cast<uint32_t>(lineData.size()));
    lines += lineData;
    out += Deflate(lines);
    return out;
}

std::string BuildZpdataAppended(const uint8_t build[8], const std::string& options, const std::string& lineData)
{
    std::string block;
    PutU16(block, LibraryOptionsVersion);
    block.append(reinterpret_cast<const char*>(build), 8);
    block += options;
    PutU32(block, static_cast<uint32_t>(lineData.size()));
    block += lineData;
    PutU32(block, static_cast<uint32_t>(block.size()));
    PutU32(block, ZpdataMagic);
    return block;
}

// ---- export names ---------------------------------------------------------------------------

bool ParseExportName(const std::string& name, TExportNameParts& parts)
{
    parts = TExportNameParts();
    if (name.empty())
        return false;
    if (name.compare(0, 2, "_Z") == 0) {
        const std::string demangled = Demangle(name);
        if (!demangled.empty()) {
            std::string scope, function;
            SplitDemangledName(demangled, scope, function);
            parts.Kind = StackEntryPlainExport;
            parts.Procedure = scope.empty() ? function : scope + "::" + function;
            return true;
        }
    }
    std::string text = name;
    if (text[0] == '@') {
        if (text.size() < 2 || text[1] == '$')
            return false;
        const size_t dollar = text.find('$');
        if (dollar == std::string::npos)
            return false;
        text.erase(dollar);
        if (!text.empty() && text.back() == '@')
            text.pop_back();
        text.erase(0, 1);
        const size_t pair = text.find("@@");
        if (pair != std::string::npos)
            text[pair + 1] = '_';
        std::replace(text.begin(), text.end(), '@', '.');
    }
    if (text.find('.') != std::string::npos) {
        SplitQualified(text, parts);
    } else if (text[0] != '?') {
        parts.Kind = StackEntryPlainExport;
        parts.Procedure = text;
    } else {
        return false;
    }
    if (!parts.Procedure.empty() && parts.Procedure[0] == '@')
        parts.Procedure[0] = '_';
    return true;
}

void SplitDemangledName(const std::string& demangled, std::string& scope, std::string& function)
{
    std::string name = demangled;
    // Clone suffixes: " [clone .constprop.0]" and the like.
    for (size_t clone; (clone = name.find(" [clone ")) != std::string::npos;)
        name.erase(clone);
    // Qualifiers behind the parameter list.
    for (bool again = true; again;) {
        again = false;
        for (const char* q : {" const", " volatile", " &&", " &", " noexcept"}) {
            const size_t n = std::strlen(q);
            if (name.size() > n && name.compare(name.size() - n, n, q) == 0) {
                name.erase(name.size() - n);
                again = true;
            }
        }
    }
    // The parameter list: the group of parentheses that ends the name.
    if (!name.empty() && name.back() == ')') {
        int depth = 0;
        for (size_t i = name.size(); i-- > 0;) {
            if (name[i] == ')')
                ++depth;
            else if (name[i] == '(' && --depth == 0) {
                // "operator()" keeps its own pair.
                name.erase(i);
                break;
            }
        }
    }
    // An operator's own name may hold blanks and brackets: the scans below
    // stop where it begins.
    auto operatorAt = [](const std::string& text) {
        for (size_t at = text.find("operator"); at != std::string::npos; at = text.find("operator", at + 1))
            if (at == 0 || text[at - 1] == ':' || text[at - 1] == ' ')
                return at;
        return text.size();
    };
    // The return type of a template function: up to the last blank outside
    // brackets.
    size_t start = 0;
    int angle = 0, round = 0;
    auto nest = [&](char c) {
        if (c == '<')
            ++angle;
        else if (c == '>' && angle > 0)
            --angle;
        else if (c == '(')
            ++round;
        else if (c == ')' && round > 0)
            --round;
        return angle == 0 && round == 0;
    };
    for (size_t i = 0, limit = operatorAt(name); i < limit; ++i)
        if (nest(name[i]) && name[i] == ' ')
            start = i + 1;
    name.erase(0, start);
    // The last "::" outside brackets splits scope and function.
    size_t split = std::string::npos;
    angle = round = 0;
    for (size_t i = 0, limit = operatorAt(name); i + 1 < limit; ++i)
        if (nest(name[i]) && name[i] == ':' && name[i + 1] == ':')
            split = i;
    SplitNameAt(name, split, 2, scope, function);
}

} // namespace qov::exceptions
