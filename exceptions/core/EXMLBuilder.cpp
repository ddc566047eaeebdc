#include "EXMLBuilder.h"

namespace qov::exceptions {

std::u32string DecodeLatin1(std::string_view text)
{
    std::u32string result;
    result.reserve(text.size());
    for (char c : text)
        result.push_back(static_cast<unsigned char>(c));
    return result;
}

namespace {

bool NeedsReference(uint32_t code)
{
    return code < 32 || code > 126 || code == '"' || code == '&' || code == '\'' || code == '<' ||
           code == '>';
}

void AppendReference(std::string& out, uint32_t code)
{
    char digits[16];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + code % 10);
        code /= 10;
    } while (code != 0);
    while (count < 3)
        digits[count++] = '0';
    out += "&#";
    while (count > 0)
        out += digits[--count];
    out += ';';
}

} // namespace

namespace {

// Appends the escaped value to out.
void AppendEscaped(std::string& out, std::string_view value, const TTextDecoder& decoder)
{
    bool plain = true;
    for (char c : value)
        if (static_cast<unsigned char>(c) > 126) {
            plain = false;
            break;
        }
    if (plain) {
        // No character above 126: the bytes are the characters.
        size_t start = 0;
        for (size_t i = 0; i < value.size(); ++i) {
            auto code = static_cast<unsigned char>(value[i]);
            if (NeedsReference(code)) {
                out.append(value, start, i - start);
                AppendReference(out, code);
                start = i + 1;
            }
        }
        out.append(value, start, std::string_view::npos);
        return;
    }
    std::u32string codes = decoder ? decoder(value) : DecodeLatin1(value);
    for (char32_t code : codes) {
        if (NeedsReference(code))
            AppendReference(out, code);
        else
            out += static_cast<char>(code);
    }
}

} // namespace

std::string EscapeXmlAttribute(std::string_view value, const TTextDecoder& decoder)
{
    std::string out;
    out.reserve(value.size() + value.size() / 8);
    AppendEscaped(out, value, decoder);
    return out;
}

TXMLItem& TXMLItems::Add(std::unique_ptr<TXMLItem> item)
{
    FItems.push_back(std::move(item));
    return *FItems.back();
}

TXMLItem::TXMLItem(std::string name, TXMLItem* parent) : FName(std::move(name)), FParent(parent) {}

TXMLItem& TXMLItem::AddChild(std::string name)
{
    return FChildren.Add(std::make_unique<TXMLItem>(std::move(name), this));
}

void TXMLItem::AddAttribute(std::string_view name, std::string_view value, const TTextDecoder& decoder)
{
    FAttributes += ' ';
    FAttributes += name;
    FAttributes += "=\"";
    AppendEscaped(FAttributes, value, decoder);
    FAttributes += '"';
}

std::string TXMLItem::Render() const
{
    std::string out;
    RenderTo(out, std::string());
    return out;
}

void TXMLItem::RenderTo(std::string& out, const std::string& indent) const
{
    out += indent;
    out += '<';
    out += FName;
    out += FAttributes;
    if (FContent.empty() && FChildren.Count() == 0) {
        out += "/>\r\n";
        return;
    }
    out += '>';
    if (FChildren.Count() != 0) {
        out += "\r\n";
        std::string inner = indent + "  ";
        for (size_t i = 0; i < FChildren.Count(); ++i)
            FChildren[i].RenderTo(out, inner);
        out += indent;
    }
    out += EscapeXmlAttribute(FContent);
    out += "</";
    out += FName;
    out += ">\r\n";
}

} // namespace qov::exceptions
