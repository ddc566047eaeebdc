// Constant texts of the exception-reporting library: the default dialog and
// report texts, the labels of those texts for an editor, the keys of the
// report's general items and the default HTML page around a report.
#pragma once

namespace qov::exceptions {

// Number of numbered texts of an option record (CustomTexts 0..95).
constexpr int CustomTextCount = 96;
// Labels of TextNames: 11 group headings and one label per text.
constexpr int TextNameCount = 107;
// Items of the report's general section.
constexpr int ReportFieldKeyCount = 33;

// Default of each numbered text, by index.
extern const char* const DefaultTexts[CustomTextCount];

// The text labels in display order, grouped under their headings; data only.
extern const char* const TextNames[TextNameCount];

// "Section|Item" for each item of the report's general section, in item order.
extern const char* const ReportFieldKeys[ReportFieldKeyCount];

// The page a report sent as HTML goes into; the report replaces "<%HTML_TAG%>".
extern const char* const DefaultHtmlTemplate;

} // namespace qov::exceptions
