// The thumbnail list "nails.xml" beside a recording: plain text lines
// "<milliseconds>=<picture file>", read without trusting anything in it (the
// list may come from any web server). Also the record one chosen thumbnail
// travels in to the control window. No Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qov {

// Window messages of the thumbnail strip.
constexpr unsigned kWmNailAdd = 0x400 + 100;         // WM_NAIL_ADD: wParam = NailRecord*, lParam = generation
constexpr unsigned kWmNailsRelayout = 0x400 + 400;   // WM_NAILS_RELAYOUT (thread): wParam = count
constexpr unsigned kWmNailPlace = 0x400 + 401;       // WM_NAIL_PLACE: wParam = index 1..count-1
constexpr unsigned kWmNailsLoadFolder = 0x400 + 402; // WM_NAILS_LOAD_FOLDER: downloads done, fill the strip

constexpr int kMaxNails = 120;
constexpr uint32_t kNailPathChars = 2048;
// What a list may hold: its first 1 MiB and 65,536 lines; the strip shows at
// most 120 of them, and the rest only costs memory.
constexpr uint32_t kMaxNailsListBytes = 1u << 20;
constexpr int kMaxNailsListLines = 65536;
// A value names its picture in at most this many folder levels and names.
constexpr int kMaxNailValueParts = 32;

// One chosen thumbnail: its picture's full path (single-byte code page, not
// terminated, zeros after it), the path's length and the moment in seconds.
struct NailRecord {
    char Path[kNailPathChars];
    uint32_t Length;
    int32_t Seconds;
};
static_assert(sizeof(NailRecord) == 2056, "NailRecord is 2056 bytes");
static_assert(offsetof(NailRecord, Length) == 2048 && offsetof(NailRecord, Seconds) == 2052,
              "NailRecord field offsets");

// Fills a record (zeroed first). False, leaving it zeroed, when the path does
// not fit its 2048 characters: such an entry is skipped, never cut short.
bool FillNailRecord(NailRecord& record, std::string_view path, int32_t seconds);

// Appends n line numbers spread evenly over lo..hi in ascending order: one
// picks the middle, more split the range in halves (the first half gets
// n div 2). Never lets out grow past kMaxNails.
void Pick(int n, int lo, int hi, std::vector<int>& out);

// The line numbers shown for a list of count lines: all of them up to
// kMaxNails, otherwise the first, 118 picked in between, and the last.
std::vector<int> ChooseNailLines(int count);

// Whether a list value may name a picture inside the picture folder: not
// empty, at most 2048 characters in at most 32 parts, not absolute, no drive
// or colon, no "." or ".." part, no part that ends in a dot or a blank, no
// device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, any case, with or without
// an extension), no character a file name cannot hold.
bool SafeNailValue(std::string_view value);
// Whether one part of a path is a DOS device name (also CONIN$, CONOUT$ and
// CLOCK$; with or without an extension, any case): such a name opens the
// device in any folder.
bool IsDosDeviceName(std::string_view part);

// Where the downloader stores the picture of value: folder + "nails\" +
// value with "/" turned into "\". False for an unsafe value or a path over
// 2048 characters.
bool NailDownloadPath(const std::string& folder, std::string_view value, std::string* path);

enum TNailPictureKind { npkNone = 0, npkBitmap = 1, npkJpeg = 2 };
// The picture kind by extension (.bmp, .dib, .jpg, .jpeg; any case).
TNailPictureKind NailPictureKind(std::string_view path);

struct TNailEntry {
    std::string Path;     // folder + "nails\" + value
    int32_t Seconds = 0;  // milliseconds div 1000, truncated toward zero
};

class TNailsList {
public:
    // Splits the text into lines (CR LF, LF or CR end a line; a last line
    // without an end counts) and keeps the first kMaxNailsListLines of them.
    // textCut says the text is the start of a longer list: its last line,
    // which may be cut short, is dropped. Cut() then tells that lines were
    // left out.
    void Load(std::string text, bool textCut = false);
    bool Cut() const { return FCut; }
    int Count() const { return static_cast<int>(FLines.size()); }
    std::string_view Line(int i) const { return FLines[static_cast<size_t>(i)]; }

    // The entries to show, in order, for pictures under folder + "nails\":
    // the chosen lines up to the first blank line or the first line whose
    // name is not an integer; lines with an unsafe value or a path over 2048
    // characters are skipped. A line's value is that of the first line with
    // its name; its path is the one the downloader stores it in
    // (NailDownloadPath).
    std::vector<TNailEntry> Entries(const std::string& folder) const;

    // The picture values to fetch, in file order, up to the first blank line
    // or empty value; unsafe values are skipped, each value once.
    std::vector<std::string> PictureValues() const;

private:
    std::string_view FirstValue(int line) const;

    std::string FText;
    std::vector<std::string_view> FLines;
    std::vector<int> FFirstOfName;  // per line: the first line with its name
    int FFirstBlank = 0;            // first blank line (Count() when none)
    bool FCut = false;
};

// Trims spaces and control characters from both ends.
std::string_view TrimNailText(std::string_view text);
// The name as a 32-bit integer (optional sign, decimal digits, surrounding
// blanks allowed); false when it is not one.
bool NailNameToInt(std::string_view name, int32_t* value);

} // namespace qov
