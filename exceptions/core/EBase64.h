// Base64 of the exception-reporting library (unit EBase64): RFC 4648's
// standard alphabet with padding and without line breaks, for the SMTP
// session's authentication, mail attachments, the upload's authorisation
// header, debug data and the report export. Pure logic: no Windows headers,
// built natively too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qov::exceptions {

// 4 * ceil(n / 3): the length of the Base64 text of n bytes.
uint64_t Base64EncodedSize(uint64_t n);
// The length a Base64 text decodes to: 0 when its length is 0 or not a
// multiple of 4; else m / 4 * 3, less 2 when the second-to-last character is
// "=", else less 1 when the last one is.
size_t Base64DecodedSize(const std::string& text);

std::string Base64EncodeBuffer(const void* buffer, size_t length);
std::string Base64EncodeText(const std::string& text);
// The decoded bytes, or the empty text when the text is not Base64: its
// length is not a multiple of 4, it holds a character outside the alphabet,
// or a pad character other than one or two at the very end.
std::string Base64DecodeText(const std::string& text);

} // namespace qov::exceptions
