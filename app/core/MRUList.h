// The recent-files list without its menu: names newest first, compared
// without regard to letter case, and the shortening of a name to a width.
// Names are byte strings in the system code page, kept and shown byte for
// byte; which bytes lead a double-byte character is the code page's own
// rule, given by the caller (the program asks the system).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace qov::app {

// True when the byte starts a double-byte character of the names' code page.
using TLeadByteTest = bool (*)(unsigned char c);

// True when a and b differ at most in the case of single-byte ASCII letters;
// the trail byte of a double-byte character is never folded.
bool SameNameIgnoringCase(const std::string& a, const std::string& b, TLeadByteTest isLeadByte);

class TMRUList {
public:
    explicit TMRUList(TLeadByteTest isLeadByte) : FIsLeadByte(isLeadByte) {}

    const std::vector<std::string>& Names() const { return FNames; }
    size_t Count() const { return FNames.size(); }
    const std::string& operator[](size_t i) const { return FNames[i]; }

    // Moves the name to the top, or inserts it there and drops the oldest
    // names beyond maximum.
    void Add(const std::string& name, size_t maximum);
    // Drops the oldest names beyond maximum; true when any went.
    bool Trim(size_t maximum);
    void Delete(size_t index);
    void Clear() { FNames.clear(); }
    // Appends stored "key=value" lines: each keeps the text after its first
    // equals sign; lines without one, or with nothing after it, are skipped.
    void AddStoredLines(const std::vector<std::string>& lines);
    // Appends one stored value; empty values are skipped.
    void AddStored(const std::string& value);

private:
    TLeadByteTest FIsLeadByte;
    std::vector<std::string> FNames;
};

// Width of a text in pixels.
using TMeasureText = std::function<int(const std::string& text)>;

// Cuts folders from the front of a path-like name (drive, folders, file
// name) and puts "...\" in their place until it fits maxWidth or nothing is
// left to cut; the result may still be wider.
std::string ShortenName(const std::string& name, int maxWidth, const TMeasureText& measure,
                        TLeadByteTest isLeadByte);

} // namespace qov::app
