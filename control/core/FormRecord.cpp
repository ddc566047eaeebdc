// Reading and writing the control's stored form record.
#include "FormRecord.h"

#include <cstring>
#include <utility>

namespace qov {
namespace {

enum TValueTag : uint8_t {
    vaNull = 0,
    vaList = 1,
    vaInt8 = 2,
    vaInt16 = 3,
    vaInt32 = 4,
    vaExtended = 5,
    vaString = 6,
    vaIdent = 7,
    vaFalse = 8,
    vaTrue = 9,
    vaBinary = 10,
    vaSet = 11,
    vaLString = 12,
    vaNil = 13,
    vaCollection = 14,
    vaSingle = 15,
    vaCurrency = 16,
    vaDate = 17,
    vaWString = 18,
    vaInt64 = 19,
    vaUTF8String = 20,
    vaDouble = 21,
};

constexpr char kSignature[4] = {'T', 'P', 'F', '0'};
// Child components and nested lists and collections together.
constexpr int kMaxNesting = 32;

// The bytes ended inside the record: more may follow in the stream.
struct TTruncated {};

[[noreturn]] void Refuse(const char* why)
{
    throw EStreamError(Format("Invalid stored form record: %s", why));
}

bool IsIdentStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsIdentChar(char c) { return IsIdentStart(c) || (c >= '0' && c <= '9'); }

bool IsIdent(std::string_view s)
{
    if (s.empty() || !IsIdentStart(s[0]))
        return false;
    for (char c : s)
        if (!IsIdentChar(c))
            return false;
    return true;
}

// A property path: identifiers joined by points (Font.Name).
bool IsPropertyPath(std::string_view s)
{
    size_t start = 0;
    for (;;) {
        const size_t dot = s.find('.', start);
        if (!IsIdent(s.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start)))
            return false;
        if (dot == std::string_view::npos)
            return true;
        start = dot + 1;
    }
}

// One property value, as far as the form's properties need it.
struct TValue {
    uint8_t Tag = vaNull;
    int64_t Int = 0;        // integer tags
    std::string_view Text;  // strings and identifiers
    uint8_t Styles = 0;     // set: font style bits
    bool UnknownSetName = false;
};

class TRecordReader {
public:
    TRecordReader(const uint8_t* data, size_t size)
        : FData(data), FEnd(size < kFormRecordMaxSize ? size : kFormRecordMaxSize), FCapped(size >= kFormRecordMaxSize)
    {
    }

    // Walks the whole record; onProperty(name, value) sees the root's
    // properties. Returns the record's length.
    template <typename OnProperty>
    size_t Walk(OnProperty&& onProperty)
    {
        const uint8_t* sig = Take(sizeof kSignature);
        if (std::memcmp(sig, kSignature, sizeof kSignature) != 0)
            Refuse("no signature");
        Component(0, onProperty);
        return FPos;
    }

    // A prefix of the signature is the beginning of a record too.
    static bool SignaturePrefix(const uint8_t* data, size_t size)
    {
        return size < sizeof kSignature && (size == 0 || std::memcmp(data, kSignature, size) == 0);
    }

    bool Capped() const { return FCapped; }

private:
    const uint8_t* Take(size_t n)
    {
        if (n > FEnd - FPos) {
            if (n > kFormRecordMaxSize)
                Refuse("length beyond the largest record");
            throw TTruncated{};
        }
        const uint8_t* p = FData + FPos;
        FPos += n;
        return p;
    }

    uint8_t Byte() { return *Take(1); }

    uint32_t U32()
    {
        const uint8_t* p = Take(4);
        return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
    }

    int64_t Signed(size_t bytes)
    {
        const uint8_t* p = Take(bytes);
        uint64_t v = 0;
        for (size_t i = bytes; i-- > 0;)
            v = (v << 8) | p[i];
        const uint64_t sign = uint64_t{1} << (bytes * 8 - 1);
        return static_cast<int64_t>(v ^ sign) - static_cast<int64_t>(sign);
    }

    std::string_view ShortString()
    {
        const size_t n = Byte();
        return {reinterpret_cast<const char*>(Take(n)), n};
    }

    std::string_view LongString()
    {
        const size_t n = U32();
        return {reinterpret_cast<const char*>(Take(n)), n};
    }

    void Enter(int depth)
    {
        if (depth > kMaxNesting)
            Refuse("nested too deeply");
    }

    template <typename OnProperty>
    void Component(int depth, OnProperty& onProperty)
    {
        Enter(depth);
        if (!IsIdent(ShortString()))
            Refuse("bad class name");
        const std::string_view name = ShortString();
        if (!name.empty() && !IsIdent(name))
            Refuse("bad component name");
        while (const size_t n = Byte()) {
            const std::string_view prop(reinterpret_cast<const char*>(Take(n)), n);
            if (!IsPropertyPath(prop))
                Refuse("bad property name");
            TValue v;
            Value(depth, v);
            if (depth == 0)
                onProperty(prop, v);
        }
        while (Peek() != vaNull)
            Component(depth + 1, onProperty);
        ++FPos;
    }

    uint8_t Peek()
    {
        const uint8_t b = Byte();
        --FPos;
        return b;
    }

    // Reads one value; the form's kinds are kept in v, the rest only walked.
    void Value(int depth, TValue& v)
    {
        v.Tag = Byte();
        switch (v.Tag) {
        case vaInt8: v.Int = Signed(1); break;
        case vaInt16: v.Int = Signed(2); break;
        case vaInt32: v.Int = Signed(4); break;
        case vaInt64: v.Int = Signed(8); break;
        case vaString: v.Text = ShortString(); break;
        case vaLString: v.Text = LongString(); break;
        case vaIdent:
            v.Text = ShortString();
            if (!IsIdent(v.Text))
                Refuse("bad identifier");
            break;
        case vaFalse:
        case vaTrue:
        case vaNil:
        case vaNull:
            break;
        case vaSet:
            while (const size_t n = Byte()) {
                const std::string_view element(reinterpret_cast<const char*>(Take(n)), n);
                if (!IsIdent(element))
                    Refuse("bad set element");
                TFontStyleBit bit;
                if (IdentToFontStyle(element, bit))
                    v.Styles |= bit;
                else
                    v.UnknownSetName = true;
            }
            break;
        case vaExtended: Take(10); break;
        case vaSingle: Take(4); break;
        case vaCurrency:
        case vaDate:
        case vaDouble: Take(8); break;
        case vaBinary:
        case vaUTF8String: LongString(); break;
        case vaWString: {
            const size_t units = U32();
            if (units > kFormRecordMaxSize / 2)
                Refuse("length beyond the largest record");
            Take(units * 2);
            break;
        }
        case vaList:
            Enter(depth + 1);
            while (Peek() != vaNull) {
                TValue item;
                Value(depth + 1, item);
            }
            ++FPos;
            break;
        case vaCollection:
            Enter(depth + 1);
            while (Peek() != vaNull) {
                const uint8_t order = Peek();
                if (order == vaInt8 || order == vaInt16 || order == vaInt32) {
                    TValue index;
                    Value(depth + 1, index);
                }
                if (Byte() != vaList)
                    Refuse("bad collection item");
                while (const size_t n = Byte()) {
                    if (!IsPropertyPath({reinterpret_cast<const char*>(Take(n)), n}))
                        Refuse("bad property name");
                    TValue item;
                    Value(depth + 1, item);
                }
            }
            ++FPos;
            break;
        default:
            Refuse("unknown value tag");
        }
    }

    const uint8_t* FData;
    size_t FEnd;
    bool FCapped;
    size_t FPos = 0;
};

// Conversions of a value to the kind a property holds; a value of another
// kind or out of range refuses the record.
int64_t IntegerOf(const TValue& v, int64_t lo, int64_t hi)
{
    if (v.Tag != vaInt8 && v.Tag != vaInt16 && v.Tag != vaInt32)
        Refuse("integer expected");
    if (v.Int < lo || v.Int > hi)
        Refuse("integer out of range");
    return v.Int;
}

int32_t Int32Of(const TValue& v) { return static_cast<int32_t>(IntegerOf(v, INT32_MIN, INT32_MAX)); }

bool BoolOf(const TValue& v)
{
    if (v.Tag != vaFalse && v.Tag != vaTrue)
        Refuse("Boolean expected");
    return v.Tag == vaTrue;
}

std::string StringOf(const TValue& v)
{
    if (v.Tag != vaString && v.Tag != vaLString)
        Refuse("string expected");
    return std::string(v.Text);
}

std::string IdentOf(const TValue& v)
{
    if (v.Tag != vaIdent)
        Refuse("identifier expected");
    return std::string(v.Text);
}

// An identifier from table, or an integer within [lo, hi].
template <typename T, typename FromIdent>
T NamedOrInteger(const TValue& v, FromIdent fromIdent, int64_t lo, int64_t hi)
{
    if (v.Tag == vaIdent) {
        T value{};
        if (!fromIdent(v.Text, value))
            Refuse("unknown identifier");
        return value;
    }
    return static_cast<T>(IntegerOf(v, lo, hi));
}

template <typename T, typename FromIdent>
T EnumOf(const TValue& v, FromIdent fromIdent)
{
    T value{};
    if (v.Tag != vaIdent || !fromIdent(v.Text, value))
        Refuse("enumeration identifier expected");
    return value;
}

TColor ColorOf(const TValue& v) { return NamedOrInteger<TColor>(v, IdentToColor, INT32_MIN, INT32_MAX); }

void Apply(TFormProperties& p, std::string_view name, const TValue& v)
{
    const auto is = [&](const char* n) { return SameIdent(name, n); };
    if (is("Left")) p.Left = Int32Of(v);
    else if (is("Top")) p.Top = Int32Of(v);
    else if (is("Width")) p.Width = Int32Of(v);
    else if (is("Height")) p.Height = Int32Of(v);
    else if (is("ActiveControl")) p.ActiveControl = IdentOf(v);
    else if (is("AxBorderStyle")) p.AxBorderStyle = EnumOf<TxActiveFormBorderStyle>(v, IdentToBorderStyle);
    else if (is("Caption")) p.Caption = StringOf(v);
    else if (is("Color")) p.Color = ColorOf(v);
    else if (is("Font.Charset")) p.Font.Charset = NamedOrInteger<uint8_t>(v, IdentToCharset, 0, 255);
    else if (is("Font.Color")) p.Font.Color = ColorOf(v);
    else if (is("Font.Height")) p.Font.Height = Int32Of(v);
    else if (is("Font.Name")) p.Font.Name = StringOf(v);
    else if (is("Font.Style")) {
        if (v.Tag != vaSet || v.UnknownSetName)
            Refuse("font style set expected");
        p.Font.Style = v.Styles;
    }
    else if (is("KeyPreview")) p.KeyPreview = BoolOf(v);
    else if (is("OldCreateOrder")) p.OldCreateOrder = BoolOf(v);
    else if (is("PopupMenu")) p.PopupMenu = IdentOf(v);
    else if (is("OnKeyUp")) p.OnKeyUp = IdentOf(v);
    else if (is("PixelsPerInch")) p.PixelsPerInch = Int32Of(v);
    else if (is("TextHeight")) p.TextHeight = Int32Of(v);
    else if (is("Visible")) p.Visible = BoolOf(v);
    else if (is("AutoScroll")) p.AutoScroll = BoolOf(v);
    else if (is("AutoSize")) p.AutoSize = BoolOf(v);
    else if (is("PrintScale")) p.PrintScale = EnumOf<TxPrintScale>(v, IdentToPrintScale);
    else if (is("Scaled")) p.Scaled = BoolOf(v);
    else if (is("DropTarget")) p.DropTarget = BoolOf(v);
    else if (is("HelpFile")) p.HelpFile = StringOf(v);
    else if (is("DoubleBuffered")) p.DoubleBuffered = BoolOf(v);
    else if (is("Enabled")) p.Enabled = BoolOf(v);
    else if (is("Cursor")) p.Cursor = NamedOrInteger<int16_t>(v, IdentToCursor, INT16_MIN, INT16_MAX);
    // Any other property belongs to a form this control does not have.
}

class TRecordWriter {
public:
    void Byte(uint8_t b) { FOut.push_back(b); }

    void Raw(std::string_view s) { FOut.insert(FOut.end(), s.begin(), s.end()); }

    void ShortString(std::string_view s)
    {
        QOV_ASSERT(s.size() <= 255);
        Byte(static_cast<uint8_t>(s.size()));
        Raw(s);
    }

    void Name(const char* name) { ShortString(name); }

    void Integer(const char* name, int32_t v)
    {
        Name(name);
        if (v >= INT8_MIN && v <= INT8_MAX) {
            Byte(vaInt8);
            Little(static_cast<uint32_t>(v), 1);
        } else if (v >= INT16_MIN && v <= INT16_MAX) {
            Byte(vaInt16);
            Little(static_cast<uint32_t>(v), 2);
        } else {
            Byte(vaInt32);
            Little(static_cast<uint32_t>(v), 4);
        }
    }

    void Bool(const char* name, bool v)
    {
        Name(name);
        Byte(v ? vaTrue : vaFalse);
    }

    void String(const char* name, std::string_view v)
    {
        Name(name);
        if (v.size() <= 255) {
            Byte(vaString);
            ShortString(v);
        } else {
            Byte(vaLString);
            Little(static_cast<uint32_t>(v.size()), 4);
            Raw(v);
        }
    }

    // An identifier value; one that is no identifier cannot be written.
    void Ident(const char* name, std::string_view v)
    {
        if (!IsIdent(v) || v.size() > 255)
            return;
        Name(name);
        Byte(vaIdent);
        ShortString(v);
    }

    // The value's name when it has one, else the integer.
    void Named(const char* name, const char* ident, int32_t v)
    {
        if (ident)
            Ident(name, ident);
        else
            Integer(name, v);
    }

    void StyleSet(const char* name, uint8_t styles)
    {
        Name(name);
        Byte(vaSet);
        for (TFontStyleBit bit : {fsBold, fsItalic, fsUnderline, fsStrikeOut})
            if (styles & bit)
                ShortString(FontStyleToIdent(bit));
        Byte(0);
    }

    std::vector<uint8_t> Take() { return std::move(FOut); }

private:
    void Little(uint32_t v, int bytes)
    {
        for (int i = 0; i < bytes; ++i)
            Byte(static_cast<uint8_t>(v >> (8 * i)));
    }

    std::vector<uint8_t> FOut;
};

} // namespace

size_t ReadFormRecord(const uint8_t* data, size_t size, TFormProperties& out)
{
    if (!data && size)
        Refuse("no data");
    TFormProperties next = out;
    size_t length = 0;
    try {
        TRecordReader reader(data, size);
        length = reader.Walk([&](std::string_view name, const TValue& v) { Apply(next, name, v); });
    } catch (const TTruncated&) {
        Refuse("the record ends early");
    }
    out = std::move(next);
    return length;
}

size_t FormRecordLength(const uint8_t* data, size_t size)
{
    if (!data && size)
        Refuse("no data");
    if (TRecordReader::SignaturePrefix(data, size))
        return 0;
    TRecordReader reader(data, size);
    try {
        return reader.Walk([](std::string_view, const TValue&) {});
    } catch (const TTruncated&) {
        if (reader.Capped())
            Refuse("longer than the largest record");
        return 0;
    }
}

std::vector<uint8_t> WriteFormRecord(const TFormProperties& p)
{
    const TFormProperties d;  // values written only when they differ
    TRecordWriter w;
    w.Raw({kSignature, sizeof kSignature});
    w.ShortString(kFormClassName);
    w.ShortString(kFormComponentName);
    w.Integer("Left", p.Left);
    w.Integer("Top", p.Top);
    w.Integer("Width", p.Width);
    w.Integer("Height", p.Height);
    if (p.Cursor != d.Cursor)
        w.Named("Cursor", CursorToIdent(p.Cursor), p.Cursor);
    w.Ident("ActiveControl", p.ActiveControl);
    if (p.AutoScroll != d.AutoScroll)
        w.Bool("AutoScroll", p.AutoScroll);
    if (p.AutoSize != d.AutoSize)
        w.Bool("AutoSize", p.AutoSize);
    if (const char* style = BorderStyleToIdent(p.AxBorderStyle))
        w.Ident("AxBorderStyle", style);
    w.String("Caption", p.Caption);
    w.Named("Color", ColorToIdent(p.Color), p.Color);
    if (p.DoubleBuffered != d.DoubleBuffered)
        w.Bool("DoubleBuffered", p.DoubleBuffered);
    if (p.DropTarget != d.DropTarget)
        w.Bool("DropTarget", p.DropTarget);
    if (p.Enabled != d.Enabled)
        w.Bool("Enabled", p.Enabled);
    w.Named("Font.Charset", CharsetToIdent(p.Font.Charset), p.Font.Charset);
    w.Named("Font.Color", ColorToIdent(p.Font.Color), p.Font.Color);
    w.Integer("Font.Height", p.Font.Height);
    w.String("Font.Name", p.Font.Name);
    w.StyleSet("Font.Style", p.Font.Style);
    if (!p.HelpFile.empty())
        w.String("HelpFile", p.HelpFile);
    w.Bool("KeyPreview", p.KeyPreview);
    w.Bool("OldCreateOrder", p.OldCreateOrder);
    w.Ident("PopupMenu", p.PopupMenu);
    if (p.PrintScale != d.PrintScale)
        if (const char* scale = PrintScaleToIdent(p.PrintScale))
            w.Ident("PrintScale", scale);
    if (p.Scaled != d.Scaled)
        w.Bool("Scaled", p.Scaled);
    if (p.Visible != d.Visible)
        w.Bool("Visible", p.Visible);
    w.Ident("OnKeyUp", p.OnKeyUp);
    w.Integer("PixelsPerInch", p.PixelsPerInch);
    w.Integer("TextHeight", p.TextHeight);
    w.Byte(vaNull);  // end of the properties
    w.Byte(vaNull);  // no child components
    return w.Take();
}

} // namespace qov
