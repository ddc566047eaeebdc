#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "FormRecord.h"

using namespace qov;

namespace {

// Builds records byte by byte, independently of the writer.
struct TBytes {
    std::vector<uint8_t> B;
    TBytes& U8(uint8_t v) { B.push_back(v); return *this; }
    TBytes& U32(uint32_t v) { for (int i = 0; i < 4; ++i) U8(static_cast<uint8_t>(v >> (8 * i))); return *this; }
    TBytes& Raw(const std::string& s) { B.insert(B.end(), s.begin(), s.end()); return *this; }
    TBytes& Short(const std::string& s) { return U8(static_cast<uint8_t>(s.size())).Raw(s); }
    TBytes& Prop(const std::string& name, uint8_t tag) { return Short(name).U8(tag); }
    TBytes& Ident(const std::string& name, const std::string& v) { return Prop(name, 7).Short(v); }
    TBytes& Int8(const std::string& name, int8_t v) { return Prop(name, 2).U8(static_cast<uint8_t>(v)); }
    TBytes& Head() { return Raw("TPF0").Short("TQovPlayerCtrl").Short("QovPlayerCtrl"); }
};

// The desktop program's stored record of its embedded control.
std::vector<uint8_t> DesktopControlData()
{
    TBytes b;
    b.Head().Int8("Left", 0).Int8("Top", 0);
    b.Prop("Width", 3).U8(0xCA).U8(0x02).Prop("Height", 3).U8(0xF4).U8(0x01);
    b.Ident("ActiveControl", "frmDetail").Ident("AxBorderStyle", "afbNone");
    b.Prop("Caption", 6).Short("Corvane QovPlayer").Ident("Color", "clBtnFace");
    b.Ident("Font.Charset", "DEFAULT_CHARSET").Ident("Font.Color", "clWindowText");
    b.Int8("Font.Height", -11).Prop("Font.Name", 6).Short("MS Sans Serif").Prop("Font.Style", 11).U8(0);
    b.Prop("KeyPreview", 9).Prop("OldCreateOrder", 8);
    b.Ident("PopupMenu", "pmQov").Ident("OnKeyUp", "ActiveFormKeyUp");
    b.Int8("PixelsPerInch", 96).Int8("TextHeight", 13).U8(0).U8(0);
    return b.B;
}

// A record of the head, one property entry and the two list ends.
std::vector<uint8_t> WithEntry(const std::function<void(TBytes&)>& entry)
{
    TBytes b;
    b.Head();
    entry(b);
    return b.U8(0).U8(0).B;
}

TFormProperties Altered()
{
    TFormProperties p;
    p.Caption = "changed";
    p.Width = 1;
    return p;
}

void ExpectRefused(const std::vector<uint8_t>& rec)
{
    TFormProperties p = Altered();
    EXPECT_THROW(ReadFormRecord(rec.data(), rec.size(), p), EStreamError);
    EXPECT_EQ(p, Altered());  // nothing applied
}

} // namespace

TEST(FormRecord, LoadsTheDesktopProgramsRecord)
{
    const std::vector<uint8_t> rec = DesktopControlData();
    TFormProperties p;
    p.Visible = false;  // not in the record: kept
    EXPECT_EQ(ReadFormRecord(rec.data(), rec.size(), p), rec.size());
    EXPECT_EQ(p.Left, 0);
    EXPECT_EQ(p.Top, 0);
    EXPECT_EQ(p.Width, 714);
    EXPECT_EQ(p.Height, 500);
    EXPECT_EQ(p.ActiveControl, "frmDetail");
    EXPECT_EQ(p.AxBorderStyle, afbNone);
    EXPECT_EQ(p.Caption, "Corvane QovPlayer");
    EXPECT_EQ(p.Color, static_cast<TColor>(0x8000000F));
    EXPECT_EQ(p.Font.Charset, 1);
    EXPECT_EQ(p.Font.Color, static_cast<TColor>(0x80000008));
    EXPECT_EQ(p.Font.Height, -11);
    EXPECT_EQ(p.Font.Name, "MS Sans Serif");
    EXPECT_EQ(p.Font.Style, 0);
    EXPECT_TRUE(p.KeyPreview);
    EXPECT_FALSE(p.OldCreateOrder);
    EXPECT_EQ(p.PopupMenu, "pmQov");
    EXPECT_EQ(p.OnKeyUp, "ActiveFormKeyUp");
    EXPECT_EQ(p.PixelsPerInch, 96);
    EXPECT_EQ(p.TextHeight, 13);
    EXPECT_FALSE(p.Visible);

    // Written back it is the same bytes; bytes after it are not read.
    p.Visible = true;
    EXPECT_EQ(WriteFormRecord(p), rec);
    std::vector<uint8_t> more = rec;
    more.push_back(0xEE);
    EXPECT_EQ(FormRecordLength(more.data(), more.size()), rec.size());
    EXPECT_EQ(ReadFormRecord(more.data(), more.size(), p), rec.size());
}

TEST(FormRecord, EveryShortPrefixAsksForMoreAndIsRefusedAsARecord)
{
    const std::vector<uint8_t> rec = DesktopControlData();
    for (size_t n = 0; n < rec.size(); ++n) {
        EXPECT_EQ(FormRecordLength(rec.data(), n), 0u) << n;
        std::vector<uint8_t> part(rec.begin(), rec.begin() + n);
        ExpectRefused(part);
    }
}

TEST(FormRecord, WriteThenReadGivesTheValuesBack)
{
    const TFormProperties defaults;
    std::vector<uint8_t> rec = WriteFormRecord(defaults);
    TFormProperties p = Altered();
    ReadFormRecord(rec.data(), rec.size(), p);
    EXPECT_EQ(p, defaults);

    TFormProperties q;
    q.Left = -1000;                      // 16-bit
    q.Width = 100000;                    // 32-bit
    q.Caption = std::string(300, 'x');   // longer than a short string
    q.Color = 0x123456;                  // no name
    q.Font.Color = clNone;
    q.Font.Charset = 134;
    q.Font.Style = fsBold | fsStrikeOut;
    q.KeyPreview = false;
    q.OldCreateOrder = true;
    q.Visible = false;
    q.AutoScroll = false;
    q.AutoSize = true;
    q.PrintScale = poPrintToFit;
    q.Scaled = false;
    q.DropTarget = true;
    q.HelpFile = "help.hlp";
    q.DoubleBuffered = true;
    q.Enabled = false;
    q.Cursor = -21;
    rec = WriteFormRecord(q);
    TFormProperties r;
    EXPECT_EQ(ReadFormRecord(rec.data(), rec.size(), r), rec.size());
    EXPECT_EQ(r, q);
    const std::string text(rec.begin(), rec.end());
    EXPECT_NE(text.find("GB2312_CHARSET"), std::string::npos);
    EXPECT_NE(text.find("crHandPoint"), std::string::npos);
    EXPECT_NE(text.find("clNone"), std::string::npos);

    q.Cursor = 5;  // no name: an integer
    rec = WriteFormRecord(q);
    ReadFormRecord(rec.data(), rec.size(), r);
    EXPECT_EQ(r.Cursor, 5);
}

TEST(FormRecord, SkipsPropertiesAndChildrenItDoesNotKnow)
{
    TBytes b;
    b.Head().Prop("Tag", 4).U32(7).Prop("Hint", 12).U32(3).Raw("abc");
    b.Prop("Ext", 5).Raw(std::string(10, '\0')).Prop("Data", 10).U32(2).Raw("zz");
    b.Prop("Wide", 18).U32(2).Raw(std::string("a\0b\0", 4)).Prop("Items", 1).U8(2).U8(1).U8(13).U8(0);
    b.Prop("Coll", 14).U8(2).U8(0).U8(1).Int8("X", 1).U8(0).U8(1).U8(0).U8(0);
    b.Prop("Caption", 6).Short("kept");
    b.U8(0);
    b.Short("TTimer").Short("tim").Prop("Caption", 6).Short("child").U8(0).U8(0);  // one child
    b.U8(0);
    TFormProperties p;
    EXPECT_EQ(ReadFormRecord(b.B.data(), b.B.size(), p), b.B.size());
    TFormProperties expected;
    expected.Caption = "kept";
    EXPECT_EQ(p, expected);
}

TEST(FormRecord, RefusesMalformedRecordsWithoutApplyingAnything)
{
    ExpectRefused({'T', 'P', 'F', '1', 0, 0});
    std::vector<uint8_t> rec = DesktopControlData();
    rec[rec.size() - 1] = 1;  // a child list that never ends
    ExpectRefused(rec);
    // Each entry follows a valid Caption, which must not be applied either.
    const auto refused = [](const std::function<void(TBytes&)>& entry) {
        ExpectRefused(WithEntry([&](TBytes& b) { b.Prop("Caption", 6).Short("new"); entry(b); }));
    };
    refused([](TBytes& b) { b.Prop("Tag", 22); });                            // unknown tag
    refused([](TBytes& b) { b.Int8("Caption", 1); });                         // wrong kind
    refused([](TBytes& b) { b.Ident("Color", "clNoSuchColour"); });           // unknown name
    refused([](TBytes& b) { b.Prop("Font.Charset", 3).U8(0x2C).U8(1); });    // charset 300
    refused([](TBytes& b) { b.Prop("Font.Style", 11).Short("fsShadow").U8(0); });
    refused([](TBytes& b) { b.Int8("AxBorderStyle", 0); });                  // enum as integer
    refused([](TBytes& b) { b.Prop("Cursor", 4).U32(40000); });              // beyond 16 bits
    refused([](TBytes& b) { b.Ident("PopupMenu", "pm Qov"); });              // no identifier
    refused([](TBytes& b) { b.Prop("Bad Name", 8); });
    refused([](TBytes& b) { b.Prop("Data", 10).U32(0xFFFFFFF0u); });         // past the end
    const auto nested = [](int levels) {
        return WithEntry([&](TBytes& b) {
            b.Short("Items");
            for (int i = 0; i < levels; ++i)
                b.U8(1);
            for (int i = 0; i < levels; ++i)
                b.U8(0);
        });
    };
    TFormProperties p;
    const std::vector<uint8_t> deepEnough = nested(8);
    EXPECT_EQ(ReadFormRecord(deepEnough.data(), deepEnough.size(), p), deepEnough.size());
    ExpectRefused(nested(40));

    // A length beyond any record is refused at once, not waited for.
    const std::vector<uint8_t> huge = WithEntry([](TBytes& b) { b.Prop("Data", 10).U32(0x7FFFFFFF); });
    EXPECT_THROW(FormRecordLength(huge.data(), huge.size()), EStreamError);
    const std::vector<uint8_t> junk = {'X', 'P', 'F', '0'};
    EXPECT_THROW(FormRecordLength(junk.data(), junk.size()), EStreamError);
}

TEST(FormRecord, IdentifierTablesAndHelpers)
{
    TColor c = 0;
    EXPECT_TRUE(IdentToColor("CLWHITE", c));
    EXPECT_EQ(c, 0xFFFFFF);
    EXPECT_TRUE(IdentToColor("clLtGray", c));  // read-only alias
    EXPECT_STREQ(ColorToIdent(c), "clSilver");
    EXPECT_STREQ(ColorToIdent(static_cast<TColor>(0x80000008)), "clWindowText");
    EXPECT_EQ(ColorToIdent(0x123456), nullptr);
    uint8_t cs = 0;
    EXPECT_TRUE(IdentToCharset("GB2312_CHARSET", cs));
    EXPECT_EQ(cs, 134);
    EXPECT_STREQ(CharsetToIdent(0), "ANSI_CHARSET");
    int16_t cur = 0;
    EXPECT_TRUE(IdentToCursor("crSize", cur));
    EXPECT_STREQ(CursorToIdent(cur), "crSizeAll");

    EXPECT_EQ(SwapRedBlue(0xAB123456u), 0x563412u);
    EXPECT_EQ(SwapRedBlue(SwapRedBlue(0x0000FFu)), 0x0000FFu);

    EXPECT_STREQ(kPropertyBagNames[0], L"Visible");
    EXPECT_STREQ(kPropertyBagNames[15], L"Cursor");
    EXPECT_STREQ(kPropertyBagNames[26], L"EnableCache");
}
