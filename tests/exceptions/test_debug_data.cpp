// Debug data of a module: the line-data records of every form, stored names,
// the ZPDATA block's forms and their length checks, and export names. The
// round trip runs random line tables through the encoder and the decoder.
#include <gtest/gtest.h>

#include <stdexcept>
#include <random>
#include <string>
#include <vector>

#include "ECoreOptions.h"
#include "EDebugData.h"
#include "EZlib.h"

using namespace qov::exceptions;

namespace {

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

void Put32(std::string& s, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s += static_cast<char>(v >> (8 * i) & 0xFF);
}

// A stand-in cipher: reversible and length-preserving like the real one.
std::string Flip(const std::string& bytes)
{
    std::string out = bytes;
    for (char& c : out)
        c = static_cast<char>(c ^ 0xA5);
    return out;
}

TLineDataFormat Unlocked(uint16_t version = LibraryOptionsVersion)
{
    TLineDataFormat f;
    f.Version = version;
    f.Decipher = Flip;
    f.LockedForm = [](const std::string& b) { return "?" + std::to_string(b.size()); };
    return f;
}

// A stored name of versions below 500 (each byte XOR 0x5D).
std::string OldName(const std::string& text)
{
    std::string s(1, static_cast<char>(text.size()));
    for (char c : text)
        s += static_cast<char>(c ^ OptionsTextKey);
    return s;
}

// Line data with one unit at code start 0x100 (size 0x100), first line 10.
std::string OneUnit(const std::string& unitName, const std::string& records, uint16_t version,
                    uint32_t size = 0x100)
{
    std::string s;
    if (version >= 405 && version < 500)
        Put32(s, 0);  // the skipped part
    Put32(s, 1);
    s += OldName(unitName);
    Put32(s, 10);
    Put32(s, 0x100);
    Put32(s, size);
    Put32(s, static_cast<uint32_t>(records.size()));
    return s + records;
}

TLineInfo Look(const std::string& data, uint16_t version, uint32_t offset, bool* found = nullptr)
{
    TLineInfo info;
    const bool ok = LookupLine(U8(data), data.size(), Unlocked(version), offset, info);
    if (found)
        *found = ok;
    return info;
}

TEST(LineRecords, OneByteFormsGiveTheirSteps)
{
    // 0x06: line step 1, address step 4. 0x41: line step 3, address step 1,
    // and a procedure name follows.
    const std::string data = OneUnit("Unit1", std::string("\x06\x41", 2) + OldName("TForm1.Click"), 450);
    TLineInfo a = Look(data, 450, 0x103);
    EXPECT_EQ(a.Unit, "Unit1.pas");
    EXPECT_EQ(a.Line, 10u);
    EXPECT_EQ(a.Procedure, "");
    EXPECT_EQ(Look(data, 450, 0x104).Line, 11u);      // after 0x06
    TLineInfo b = Look(data, 450, 0x105);             // after 0x41: + 3 lines, + 1 byte
    EXPECT_EQ(b.Line, 14u);
    EXPECT_EQ(b.Class, "TForm1");
    EXPECT_EQ(b.Procedure, "Click");
    EXPECT_EQ(b.LineOffset, 0u);
    EXPECT_EQ(Look(data, 450, 0x1FF).Line, 14u);      // the last range reaches the unit's end
    bool found = true;
    Look(data, 450, 0x200, &found);
    EXPECT_FALSE(found);
    Look(data, 450, 0xFF, &found);
    EXPECT_FALSE(found);
}

TEST(LineRecords, EscapeValueIsPlainBefore423)
{
    // V = D << 4 | 0x0B (4-byte form, no name) with D = 0x0FFEFFFE.
    std::string rec;
    Put32(rec, 0x0FFEFFFEu << 4 | 0x0B);
    // 422: line step 0xFFFF (one line back), address step 0xFFF.
    const std::string old = OneUnit("U", rec, 422, 0x2000);
    EXPECT_EQ(Look(old, 422, 0x100 + 0xFFE).Line, 10u);
    EXPECT_EQ(Look(old, 422, 0x100 + 0xFFF).Line, 9u);
    // 423 and later: two 16-bit steps follow (line 3 - 1, address 2 - 1).
    const std::string data = OneUnit("U", rec + std::string("\x02\x00\x01\x00", 4), 423, 0x2000);
    EXPECT_EQ(Look(data, 423, 0x101).Line, 10u);
    EXPECT_EQ(Look(data, 423, 0x102).Line, 13u);
}

TEST(LineRecords, AddressStepFFFMeansNoneAndLineStepWraps)
{
    // D = 0xFFF << 16 | 0xFFFF: address step 0, line step 0x10000 = 0; a name.
    std::string rec;
    Put32(rec, (0xFFFu << 16 | 0xFFFF) << 4 | 0x0F);
    const std::string data = OneUnit("U", rec + OldName("Start"), 450);
    const TLineInfo info = Look(data, 450, 0x100);
    EXPECT_EQ(info.Procedure, "Start");
    EXPECT_EQ(info.Line, 10u);
}

TEST(LineRecords, NamesOfClassesAndAtSigns)
{
    // Two-byte form with a name (bits 0-2 set, bit 3 clear): a name starting
    // with "." keeps the class; a procedure starting with an at-sign gets "_".
    std::string rec;
    auto named = [&](const std::string& name) {
        rec += std::string("\x07\x00", 2);  // line + 1, address + 1, name
        rec += OldName(name);
    };
    named("TA.First");
    named(".Second");
    named("@Third");
    const std::string data = OneUnit("U", rec, 450);
    EXPECT_EQ(Look(data, 450, 0x101).Class, "TA");
    EXPECT_EQ(Look(data, 450, 0x102).Class, "TA");
    EXPECT_EQ(Look(data, 450, 0x102).Procedure, "Second");
    EXPECT_EQ(Look(data, 450, 0x103).Class, "");
    EXPECT_EQ(Look(data, 450, 0x103).Procedure, "_Third");
}

TEST(StoredNames, ContinuationFrom502AndLockedForm)
{
    std::string data;
    Put32(data, 1);
    const std::string unit = Flip("Unit9.cpp");
    data += static_cast<char>(unit.size());
    data += unit;
    Put32(data, 1);
    Put32(data, 0);
    Put32(data, 16);
    std::string rec = "\x01";  // line + 1, address + 1, name
    const std::string cls = Flip("ns::TClass"), proc = Flip("Method");
    rec += static_cast<char>(0x80 | cls.size());
    rec += cls;
    rec += static_cast<char>(proc.size());
    rec += proc;
    Put32(data, static_cast<uint32_t>(rec.size()));
    data += rec;
    TLineInfo info;
    ASSERT_TRUE(LookupLine(U8(data), data.size(), Unlocked(502), 5, info));
    EXPECT_EQ(info.Unit, "Unit9.cpp");
    EXPECT_EQ(info.Class, "ns::TClass");
    EXPECT_EQ(info.Procedure, "Method");
    // Locked: "?" forms, and the unit gets "p" at position 2.
    TLineDataFormat locked = Unlocked(502);
    locked.Unlocked = false;
    ASSERT_TRUE(LookupLine(U8(data), data.size(), locked, 5, info));
    EXPECT_EQ(info.Unit, "?p9");
    EXPECT_EQ(info.Class, "?10");
    EXPECT_EQ(info.Procedure, "?6");
    // Before 502 bit 7 is part of the length: the name runs past the data.
    EXPECT_FALSE(LookupLine(U8(data), data.size(), Unlocked(501), 5, info));
}

TEST(LineData, LengthsThatDoNotFitAreRefused)
{
    std::string rec("\x06", 1);
    std::string data = OneUnit("U", rec, 450);
    bool found = true;
    // A record length beyond the data.
    std::string longer = data;
    longer[4 + 4 + 2 + 12 + 3] = '\x7F';
    Look(longer, 450, 0x100, &found);
    EXPECT_FALSE(found);
    // A name length beyond the data.
    std::string name = data;
    name[8] = '\x7F';
    Look(name, 450, 0x100, &found);
    EXPECT_FALSE(found);
    // A huge unit count with one unit: the one unit is still found.
    std::string many = data;
    many[7] = '\x7F';
    EXPECT_EQ(Look(many, 450, 0x100, &found).Line, 10u);
    EXPECT_TRUE(found);
    // Versions 405-499 skip a part whose length is checked too.
    std::string skipped;
    Put32(skipped, 0x7FFFFFFF);
    skipped += data;
    Look(skipped, 460, 0x100, &found);
    EXPECT_FALSE(found);
}

// ---- round trip ---------------------------------------------------------------------

struct TExpected {
    std::string Unit, Class, Procedure;
    uint32_t Line, LineOffset;
};

TEST(LineData, RandomTablesRoundTrip)
{
    std::mt19937 rng(20261209);
    for (int round = 0; round < 40; ++round) {
        std::vector<TLineUnit> units;
        uint32_t at = rng() % 0x3000;
        const int unitCount = 1 + rng() % 4;
        for (int u = 0; u < unitCount; ++u) {
            TLineUnit unit;
            unit.Name = "Unit" + std::to_string(u) + (u % 2 ? ".cpp" : "");
            unit.CodeStart = at;
            const bool bigGap = rng() % 4 == 0;
            unit.CodeSize = 1 + rng() % (bigGap ? 200000 : 3000);
            uint32_t off = unit.CodeStart + (rng() % 3 == 0 ? 0 : rng() % 40);
            uint32_t line = rng() % 5 == 0 ? 70000 + rng() % 100 : 1 + rng() % 500;
            while (off < unit.CodeStart + unit.CodeSize) {
                if (unit.Rows.empty() || rng() % 4)
                    unit.Rows.push_back({off, line});
                if (rng() % 5 == 0 && (unit.Procedures.empty() || unit.Procedures.back().Offset != off)) {
                    TProcedureStart p{off, rng() % 3 ? "ns::T" + std::to_string(rng() % 9) : "",
                                      "Proc" + std::to_string(rng() % 1000)};
                    if (rng() % 9 == 0)
                        p.Class = std::string(150, 'C') + "x";  // cut to its last 127 bytes
                    if (rng() % 9 == 0)
                        p.Procedure = std::string(140, 'P');
                    unit.Procedures.push_back(p);
                }
                const uint32_t kind = rng() % 10;
                off += kind == 0 ? 70000 + rng() % 70000 : kind < 3 ? 0 : kind < 7 ? 1 + rng() % 30 : rng() % 300;
                const int32_t step = rng() % 10 == 0 ? static_cast<int32_t>(rng() % 100000) - 50000
                                                     : static_cast<int32_t>(rng() % 40) - 8;
                line = static_cast<uint32_t>(std::max<int64_t>(1, int64_t(line) + step));
                if (!unit.Rows.empty() && unit.Rows.back().Offset == off)
                    unit.Rows.pop_back();
                if (!unit.Procedures.empty() && unit.Procedures.back().Offset == off && rng() % 2)
                    unit.Procedures.pop_back();
            }
            while (!unit.Rows.empty() && unit.Rows.back().Offset >= unit.CodeStart + unit.CodeSize)
                unit.Rows.pop_back();
            while (!unit.Procedures.empty() &&
                   unit.Procedures.back().Offset >= unit.CodeStart + unit.CodeSize)
                unit.Procedures.pop_back();
            at = unit.CodeStart + unit.CodeSize + rng() % 100;
            units.push_back(unit);
        }
        const std::string data = EncodeLineData(units, Flip);
        const TLineDataFormat format = Unlocked();

        // What each offset must give, from the tables themselves.
        std::vector<std::vector<TExpected>> expected;
        for (const TLineUnit& unit : units) {
            expected.emplace_back();
            size_t r = 0, p = 0;
            const TProcedureStart* current = nullptr;
            for (uint32_t a = unit.CodeStart; a < unit.CodeStart + unit.CodeSize; ++a) {
                while (r + 1 < unit.Rows.size() && unit.Rows[r + 1].Offset <= a)
                    ++r;
                while (p < unit.Procedures.size() && unit.Procedures[p].Offset <= a)
                    current = &unit.Procedures[p++];
                TExpected e{unit.Name.find('.') == std::string::npos ? unit.Name + ".pas" : unit.Name, "", "",
                            unit.Rows.empty() ? 0 : unit.Rows[r].Line, 0};
                if (current) {
                    e.Class = current->Class.size() > 127 ? current->Class.substr(current->Class.size() - 127)
                                                         : current->Class;
                    e.Procedure = current->Procedure.substr(0, 127);
                    size_t pr = 0;
                    while (pr + 1 < unit.Rows.size() && unit.Rows[pr + 1].Offset <= current->Offset)
                        ++pr;
                    const int64_t d = int64_t(e.Line) - unit.Rows[pr].Line;
                    e.LineOffset = d > 0 ? static_cast<uint32_t>(d) : 0;
                }
                expected.back().push_back(e);
            }
        }
        // Every offset through the walk, a sample through the lookup.
        auto expect = [&](uint32_t a) -> const TExpected& {
            for (size_t u = 0; u < units.size(); ++u)
                if (a >= units[u].CodeStart && a - units[u].CodeStart < units[u].CodeSize)
                    return expected[u][a - units[u].CodeStart];
            throw std::out_of_range("offset outside every unit");
        };
        size_t seen = 0, total = 0;
        for (const TLineUnit& unit : units)
            total += unit.CodeSize;
        ASSERT_TRUE(WalkLineData(U8(data), data.size(), format, [&](uint32_t b, uint32_t e, const TLineInfo& i) {
            for (uint32_t a = b; a < e; ++a) {
                const TExpected& x = expect(a);
                ASSERT_EQ(i.Unit, x.Unit) << a;
                ASSERT_EQ(i.Class, x.Class) << a;
                ASSERT_EQ(i.Procedure, x.Procedure) << a;
                ASSERT_EQ(i.Line, x.Line) << a;
                ASSERT_EQ(i.LineOffset, x.LineOffset) << a;
                ++seen;
            }
        }));
        ASSERT_EQ(seen, total);
        for (int k = 0; k < 200; ++k) {
            const TLineUnit& unit = units[rng() % units.size()];
            const uint32_t a = unit.CodeStart + rng() % unit.CodeSize;
            TLineInfo info;
            ASSERT_TRUE(LookupLine(U8(data), data.size(), format, a, info));
            EXPECT_EQ(info.Line, expect(a).Line);
            EXPECT_EQ(info.Procedure, expect(a).Procedure);
        }
    }
}

// ---- ZPDATA block -----------------------------------------------------------------------

std::string StoredOptions(int keepReports)
{
    TZephraModuleOptions o("", false);
    o.SetKeepReports(keepReports);
    TOptionsMemoryStream s;
    o.WriteToStream(s);
    return s.Bytes();
}

TEST(ZpdataBlock, ResourceFormRoundTripAndChecks)
{
    const uint8_t build[8] = {1, 2, 3, 4, 5, 6, 7, 8}, check[4] = {9, 8, 7, 6};
    const std::string options = StoredOptions(7), lines = "line data bytes";
    const std::string block = BuildZpdataResource(build, options, check, lines);
    TZpdataBlock b;
    ASSERT_TRUE(ParseZpdataResource(U8(block), block.size(), true, b));
    EXPECT_EQ(b.Version, 5110);
    EXPECT_EQ(0, memcmp(b.Build, build, 8));
    EXPECT_EQ(b.Options, options);
    EXPECT_TRUE(b.HasCheck);
    EXPECT_EQ(0, memcmp(b.Check, check, 4));
    EXPECT_EQ(b.LineData, lines);
    ASSERT_TRUE(ParseZpdataResource(U8(block), block.size(), false, b));
    EXPECT_FALSE(b.HasLineData);
    EXPECT_EQ(b.Options, options);

    // A newer version is ignored.
    std::string newer = block;
    newer[4] = static_cast<char>(5111 & 0xFF);
    EXPECT_FALSE(ParseZpdataResource(U8(newer), newer.size(), true, b));
    // Every cut of the block is refused (the last zlib stream's end included).
    for (size_t cut = 0; cut < block.size(); ++cut)
        EXPECT_FALSE(ParseZpdataResource(U8(block), cut, true, b)) << cut;
    // An address-table or options length beyond the block.
    std::string table = block;
    table[14 + 3] = '\x7F';
    EXPECT_FALSE(ParseZpdataResource(U8(table), table.size(), true, b));
    std::string opts = block;
    opts[18 + 3] = '\x7F';
    EXPECT_FALSE(ParseZpdataResource(U8(opts), opts.size(), true, b));
    // A damaged zlib stream of the line data loads nothing.
    std::string damaged = block;
    damaged[damaged.size() - 6] ^= 0x55;
    EXPECT_FALSE(ParseZpdataResource(U8(damaged), damaged.size(), true, b));
    EXPECT_TRUE(b.Options.empty());
}

// A stored form of an older layout: all fields zero, every text empty.
std::string ZeroOptions(uint16_t version)
{
    const std::string zeros(2000, '\0');
    TZephraModuleOptions o("", false);
    TOptionsReadStream stream(zeros.data(), zeros.size());
    o.ReadFromStream(stream, version);
    return zeros.substr(0, stream.Position());
}

std::string OldHeader(uint16_t version)
{
    std::string s;
    Put32(s, ZpdataMagic);
    s += static_cast<char>(version & 0xFF);
    s += static_cast<char>(version >> 8);
    return s + std::string(8, '\0');
}

TEST(ZpdataBlock, OlderResourceFormsAndLineLength)
{
    // Version 440: options in plain, then N and the line data.
    const std::string options = ZeroOptions(440);
    std::string body = options;
    Put32(body, 3);
    body += "abc";
    const std::string plain = OldHeader(440) + body;
    TZpdataBlock b;
    ASSERT_TRUE(ParseZpdataResource(U8(plain), plain.size(), true, b));
    EXPECT_EQ(b.Version, 440);
    EXPECT_EQ(b.Options, options);
    EXPECT_EQ(b.LineData, "abc");
    // N beyond the data: nothing, not even the options, also when the line
    // data would not be kept.
    const std::string liar = plain.substr(0, plain.size() - 1);
    EXPECT_FALSE(ParseZpdataResource(U8(liar), liar.size(), true, b));
    EXPECT_FALSE(ParseZpdataResource(U8(liar), liar.size(), false, b));
    // Version 460: the same two parts in one zlib stream.
    std::string body460 = ZeroOptions(460);
    Put32(body460, 3);
    body460 += "abc";
    const std::string packed = OldHeader(460) + CompressBuffer(body460.data(), static_cast<int32_t>(body460.size()));
    ASSERT_TRUE(ParseZpdataResource(U8(packed), packed.size(), true, b));
    EXPECT_EQ(b.LineData, "abc");
    EXPECT_EQ(b.Options, ZeroOptions(460));
}

TEST(ZpdataBlock, AppendedForm)
{
    const uint8_t build[8] = {8, 7, 6, 5, 4, 3, 2, 1};
    const std::string options = StoredOptions(3);
    const std::string file = std::string(100, 'M') + BuildZpdataAppended(build, options, "LINES");
    TZpdataBlock b;
    ASSERT_TRUE(ParseZpdataAppended(U8(file), file.size(), true, b));
    EXPECT_EQ(b.LineData, "LINES");
    EXPECT_EQ(b.Options, options);
    EXPECT_FALSE(b.HasCheck);
    // A length word that points before the file's start.
    std::string liar = file;
    liar[liar.size() - 8 + 3] = '\x7F';
    EXPECT_FALSE(ParseZpdataAppended(U8(liar), liar.size(), true, b));
    EXPECT_FALSE(ParseZpdataAppended(U8(file), 7, true, b));
}

// ---- export names ---------------------------------------------------------------------------

TEST(ExportNames, Forms)
{
    TExportNameParts p;
    ASSERT_TRUE(ParseExportName("@Unit@TForm1@Button1Click$qqrp14System@TObject", p));
    EXPECT_EQ(p.Kind, 3);
    EXPECT_EQ(p.Unit, "Unit.pas");
    EXPECT_EQ(p.Class, "TForm1");
    EXPECT_EQ(p.Procedure, "Button1Click");
    ASSERT_TRUE(ParseExportName("Unit.Proc", p));
    EXPECT_EQ(p.Kind, 3);
    EXPECT_EQ(p.Unit, "Unit.pas");
    EXPECT_EQ(p.Procedure, "Proc");
    ASSERT_TRUE(ParseExportName("Proc", p));
    EXPECT_EQ(p.Kind, 2);
    EXPECT_EQ(p.Procedure, "Proc");
    EXPECT_TRUE(p.Unit.empty());
    EXPECT_FALSE(ParseExportName("?Proc@@YAXXZ", p));
    EXPECT_FALSE(ParseExportName("@NoDollar@Name", p));
    ASSERT_TRUE(ParseExportName("@Unit@@Name$qqrv", p));  // "@@": the second at becomes "_"
    EXPECT_EQ(p.Unit, "Unit.pas");
    EXPECT_EQ(p.Procedure, "_Name");
    // Itanium names are demangled into a plain procedure name.
    ASSERT_TRUE(ParseExportName("_ZN3qov10exceptions4TFoo3BarEi", p));
    EXPECT_EQ(p.Kind, 2);
    EXPECT_EQ(p.Procedure, "qov::exceptions::TFoo::Bar");
}

TEST(ExportNames, DemangledNamesSplit)
{
    std::string scope, fn;
    SplitDemangledName("qov::TA<std::pair<int, int> >::Run(int) const [clone .constprop.0]", scope, fn);
    EXPECT_EQ(scope, "qov::TA<std::pair<int, int> >");
    EXPECT_EQ(fn, "Run");
    SplitDemangledName("void qov::Fill<int>(std::vector<int, std::allocator<int> >&)", scope, fn);
    EXPECT_EQ(scope, "qov");
    EXPECT_EQ(fn, "Fill<int>");
    SplitDemangledName("qov::TA::operator<(qov::TA const&) const", scope, fn);
    EXPECT_EQ(scope, "qov::TA");
    EXPECT_EQ(fn, "operator<");
    SplitDemangledName("qov::TA::operator()(int)", scope, fn);
    EXPECT_EQ(fn, "operator()");
    SplitDemangledName("(anonymous namespace)::Helper(char const*)", scope, fn);
    EXPECT_EQ(scope, "(anonymous namespace)");
    EXPECT_EQ(fn, "Helper");
    SplitDemangledName("main", scope, fn);
    EXPECT_EQ(scope, "");
    EXPECT_EQ(fn, "main");
}

} // namespace
