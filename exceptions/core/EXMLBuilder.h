// A small tree of XML elements for the exports of the stored report log:
// elements with attributes and children, rendered with two blanks of indent
// per level and CR LF line ends. Attribute values are texts in the system
// code page; their characters above 126 are written as references to their
// Unicode code points, so the caller passes the decoder of that code page.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qov::exceptions {

// Decodes a text of the system code page into Unicode code points. The
// Windows side decodes through the system's ANSI code page; an empty decoder
// takes every byte as the code point of the same number (Latin-1).
using TTextDecoder = std::function<std::u32string(std::string_view text)>;

// Each byte as the code point of the same number.
std::u32string DecodeLatin1(std::string_view text);

// The attribute value with control characters (0-31), ", &, ', <, > and every
// character above 126 written as "&#", the decimal code point with at least
// three digits, and ";" (a tab is &#009;, a character U+4F60 &#20320;).
std::string EscapeXmlAttribute(std::string_view value, const TTextDecoder& decoder = {});

class TXMLItem;

// The children of an element; they are owned and freed with it.
class TXMLItems {
public:
    size_t Count() const { return FItems.size(); }
    TXMLItem& operator[](size_t index) const { return *FItems[index]; }
    TXMLItem& Add(std::unique_ptr<TXMLItem> item);
    void Clear() { FItems.clear(); }

private:
    std::vector<std::unique_ptr<TXMLItem>> FItems;
};

class TXMLItem {
public:
    explicit TXMLItem(std::string name, TXMLItem* parent = nullptr);

    const std::string& Name() const { return FName; }
    TXMLItem* Parent() const { return FParent; }
    TXMLItems& Children() { return FChildren; }
    const TXMLItems& Children() const { return FChildren; }
    const std::string& AttributeText() const { return FAttributes; }
    const std::string& Content() const { return FContent; }
    void SetContent(std::string content) { FContent = std::move(content); }

    // A new last child of this element.
    TXMLItem& AddChild(std::string name);
    // Appends one blank, the name, =, and the escaped value in double quotes.
    void AddAttribute(std::string_view name, std::string_view value, const TTextDecoder& decoder = {});

    // The element with its children: the indent, "<", the name and the
    // attributes; "/>" when it has neither content nor children; otherwise ">",
    // with children a CR LF, each child indented by two more blanks and this
    // element's indent again, then "</name>". Every tag line ends with CR LF.
    std::string Render() const;
    void RenderTo(std::string& out, const std::string& indent) const;

private:
    std::string FName;
    std::string FAttributes;
    std::string FContent;
    TXMLItems FChildren;
    TXMLItem* FParent;
};

} // namespace qov::exceptions
