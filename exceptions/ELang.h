// Texts on screen: the system's character set and the report shown as RTF in
// a rich edit control of the report dialog.
#pragma once

#include <windows.h>

#include <string>

#include "ECoreText.h"

namespace qov::exceptions {

// The character set number of the system's default ANSI code page.
int SystemCharset();
// The character set number of a code page (DEFAULT_CHARSET when unknown).
int CharsetOfCodePage(unsigned codePage);

// Name, point size and the width of 21 dashes of a font (the dialog's font).
TRtfFont RtfFontOf(HFONT font);

// Streams RTF into a rich edit control (replacing its text); false when the
// control does not take it.
bool StreamRtfIntoRichEdit(HWND richEdit, const std::string& rtf);
// Background colour of a rich edit control; a negative colour stands for the
// system colour whose index is its low byte.
void SetRichEditBackground(HWND richEdit, int colour);

} // namespace qov::exceptions
