// Lead-byte rules of two code pages for the recent-files names' pure code,
// which takes the rule from its caller: GBK (code page 936), whose lead
// bytes are 0x81 to 0xFE, and a single-byte code page, which has none.
#pragma once

namespace qov::test {

inline bool GbkLead(unsigned char c)
{
    return c >= 0x81 && c <= 0xFE;
}

inline bool NoLead(unsigned char)
{
    return false;
}

} // namespace qov::test
