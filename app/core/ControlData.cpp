#include "ControlData.h"

#include <string>

namespace qov::app {

namespace {

// Value tags of the component record.
enum : uint8_t { vaNull = 0, vaInt8 = 2, vaInt16 = 3, vaString = 6, vaIdent = 7, vaFalse = 8, vaTrue = 9, vaSet = 11 };

class TRecord {
public:
    std::vector<uint8_t> Bytes{'T', 'P', 'F', '0'};
    void Short(const std::string& text)
    {
        Bytes.push_back(static_cast<uint8_t>(text.size()));
        Bytes.insert(Bytes.end(), text.begin(), text.end());
    }
    void Int8(const std::string& name, int8_t value)
    {
        Short(name);
        Bytes.push_back(vaInt8);
        Bytes.push_back(static_cast<uint8_t>(value));
    }
    void Int16(const std::string& name, int16_t value)
    {
        Short(name);
        Bytes.push_back(vaInt16);
        Bytes.push_back(static_cast<uint8_t>(value & 0xFF));
        Bytes.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
    }
    void Text(const std::string& name, uint8_t tag, const std::string& value)
    {
        Short(name);
        Bytes.push_back(tag);
        Short(value);
    }
    void Flag(const std::string& name, uint8_t tag)
    {
        Short(name);
        Bytes.push_back(tag);
    }
};

} // namespace

std::vector<uint8_t> ControlData()
{
    TRecord r;
    r.Short("TQovPlayerCtrl");
    r.Short("QovPlayerCtrl");
    r.Int8("Left", 0);
    r.Int8("Top", 0);
    r.Int16("Width", 714);
    r.Int16("Height", 500);
    r.Text("ActiveControl", vaIdent, "frmDetail");
    r.Text("AxBorderStyle", vaIdent, "afbNone");
    r.Text("Caption", vaString, "Corvane QovPlayer");
    r.Text("Color", vaIdent, "clBtnFace");
    r.Text("Font.Charset", vaIdent, "DEFAULT_CHARSET");
    r.Text("Font.Color", vaIdent, "clWindowText");
    r.Int8("Font.Height", -11);
    r.Text("Font.Name", vaString, "MS Sans Serif");
    r.Flag("Font.Style", vaSet);
    r.Bytes.push_back(vaNull);  // the empty set's end
    r.Flag("KeyPreview", vaTrue);
    r.Flag("OldCreateOrder", vaFalse);
    r.Text("PopupMenu", vaIdent, "pmQov");
    r.Text("OnKeyUp", vaIdent, "ActiveFormKeyUp");
    r.Int8("PixelsPerInch", 96);
    r.Int8("TextHeight", 13);
    r.Bytes.push_back(vaNull);  // end of the properties
    r.Bytes.push_back(vaNull);  // end of the children
    return r.Bytes;
}

} // namespace qov::app
