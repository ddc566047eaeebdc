#include "ELsda.h"

#include <cstring>

namespace qov::exceptions {

namespace {

// A damaged chain could lead back to one of its own records.
constexpr int MaxActionsPerChain = 1024;

uintptr_t Address(const uint8_t* p)
{
    return reinterpret_cast<uintptr_t>(p);
}

// Bytes of a fixed-size encoding; 0 for the LEB128 ones (which a type table
// cannot use) and for undefined formats.
size_t EncodedSize(uint8_t encoding)
{
    if (encoding == PeAligned)
        return sizeof(uintptr_t);
    switch (encoding & 0x0F) {
    case PeAbsPtr: return sizeof(uintptr_t);
    case PeUdata2: case PeSdata2: return 2;
    case PeUdata4: case PeSdata4: return 4;
    case PeUdata8: case PeSdata8: return 8;
    default: return 0;
    }
}

} // namespace

TLsdaReader::TLsdaReader(const uint8_t* lsda, TLsdaBounds bounds, uintptr_t regionStart, TReadCell readCell,
                         void* readData)
    : FBounds(bounds), FRegionStart(regionStart), FReadCell(readCell), FReadData(readData)
{
    const uint8_t* p = lsda;
    uint8_t lpEncoding, ttEncoding, csEncoding;
    uint64_t ttOffset = 0, csLength = 0;
    if (!ReadByte(p, lpEncoding))
        return;
    FLandingPadBase = regionStart;
    if (lpEncoding != PeOmit) {
        if ((lpEncoding & 0x70) == PeFuncRel) {
            if (!ReadEncoded(p, lpEncoding, regionStart, FLandingPadBase))
                return;
        } else if (!ReadEncoded(p, lpEncoding, 0, FLandingPadBase)) {
            return;
        }
    }
    if (!ReadByte(p, ttEncoding))
        return;
    FTypeEncoding = ttEncoding;
    if (ttEncoding != PeOmit) {
        if (!ReadUleb(p, ttOffset))
            return;
        // The type table's base lies ttOffset bytes behind the offset's field.
        if (ttOffset > Address(FBounds.End) - Address(p)) {
            Fail();
            return;
        }
        FTypeBase = p + ttOffset;
    }
    if (!ReadByte(p, csEncoding) || !ReadUleb(p, csLength))
        return;
    if (csLength > Address(FBounds.End) - Address(p)) {
        Fail();
        return;
    }
    FCallSiteEncoding = csEncoding;
    FCallSites = p;
    FActions = p + csLength;
    FHeaderRead = true;
}

bool TLsdaReader::Fail()
{
    FUnreadable = true;
    return false;
}

bool TLsdaReader::ReadByte(const uint8_t*& p, uint8_t& value)
{
    if (FUnreadable || Address(p) < Address(FBounds.Begin) || Address(p) >= Address(FBounds.End))
        return Fail();
    value = *p++;
    return true;
}

bool TLsdaReader::ReadLeb(const uint8_t*& p, uint64_t& value, unsigned& bits, uint8_t& last)
{
    value = 0;
    bits = 0;
    do {
        if (!ReadByte(p, last))
            return false;
        if (bits < 64)
            value |= static_cast<uint64_t>(last & 0x7F) << bits;
        bits += 7;
    } while (last & 0x80);
    return true;
}

bool TLsdaReader::ReadUleb(const uint8_t*& p, uint64_t& value)
{
    unsigned bits;
    uint8_t last;
    return ReadLeb(p, value, bits, last);
}

bool TLsdaReader::ReadSleb(const uint8_t*& p, int64_t& value)
{
    uint64_t result;
    unsigned bits;
    uint8_t last;
    if (!ReadLeb(p, result, bits, last))
        return false;
    if (bits < 64 && (last & 0x40))
        result |= ~uint64_t(0) << bits;
    value = static_cast<int64_t>(result);
    return true;
}

bool TLsdaReader::ReadEncoded(const uint8_t*& p, uint8_t encoding, uintptr_t base, uintptr_t& value)
{
    if (encoding == PeOmit)
        return Fail();
    uint8_t application = encoding & 0x70;
    if (application == PeTextRel || application == PeDataRel || application > PeAligned)
        return Fail(); // bases that x86 code never uses
    if (encoding == PeAligned) {
        uintptr_t a = Address(p);
        uintptr_t aligned = (a + sizeof(uintptr_t) - 1) & ~(sizeof(uintptr_t) - 1);
        if (aligned < a)
            return Fail();
        p += aligned - a;
    }
    const uint8_t* start = p;
    uint64_t raw = 0;
    switch (encoding & 0x0F) {
    case PeUleb128:
        if (!ReadUleb(p, raw))
            return false;
        break;
    case PeSleb128: {
        int64_t s;
        if (!ReadSleb(p, s))
            return false;
        raw = static_cast<uint64_t>(s);
        break;
    }
    default: {
        size_t size = EncodedSize(encoding);
        if (size == 0 || Address(p) < Address(FBounds.Begin) || Address(FBounds.End) - Address(p) < size ||
            Address(p) >= Address(FBounds.End))
            return Fail();
        uint8_t bytes[8] = {};
        std::memcpy(bytes, p, size);
        p += size;
        uint64_t u = 0;
        for (size_t i = size; i-- > 0;) // little-endian
            u = (u << 8) | bytes[i];
        bool isSigned = (encoding & 0x0F) >= PeSdata2 && (encoding & 0x0F) <= PeSdata8;
        if (isSigned && size < 8 && (u >> (size * 8 - 1)) & 1)
            u |= ~uint64_t(0) << (size * 8);
        raw = u;
        break;
    }
    }
    value = static_cast<uintptr_t>(raw);
    if (value != 0) {
        value += application == PePcRel ? Address(start) : base;
        if (encoding & PeIndirect) {
            uintptr_t cell;
            if (!FReadCell || !FReadCell(value, cell, FReadData))
                return Fail();
            value = cell;
        }
    }
    return true;
}

TCallSite TLsdaReader::FindCallSite(uintptr_t ip)
{
    FLandingPad = 0;
    FNextAction = nullptr;
    if (!FHeaderRead || FUnreadable)
        return csUnreadable;
    const uint8_t* p = FCallSites;
    while (Address(p) < Address(FActions)) {
        uintptr_t start, length, pad;
        uint64_t action;
        if (!ReadEncoded(p, FCallSiteEncoding, 0, start) || !ReadEncoded(p, FCallSiteEncoding, 0, length) ||
            !ReadEncoded(p, FCallSiteEncoding, 0, pad) || !ReadUleb(p, action))
            return csUnreadable;
        // The table is sorted: once past ip, no later entry covers it.
        if (ip < FRegionStart + start)
            return csNotFound;
        if (ip - (FRegionStart + start) < length) {
            if (pad == 0)
                return csNoLandingPad;
            FLandingPad = FLandingPadBase + pad;
            if (action == 0)
                return csCleanupOnly;
            if (action - 1 > Address(FBounds.End) - Address(FActions))
                return Fail(), csUnreadable;
            FNextAction = FActions + (action - 1);
            return csActions;
        }
    }
    return csNotFound;
}

bool TLsdaReader::TypeEntry(int64_t n, uintptr_t& type)
{
    size_t size = EncodedSize(FTypeEncoding);
    if (n <= 0 || !FTypeBase || size == 0 || FTypeEncoding == PeOmit)
        return Fail();
    uint64_t back = static_cast<uint64_t>(n);
    if (back > (Address(FTypeBase) - Address(FBounds.Begin)) / size)
        return Fail();
    const uint8_t* p = FTypeBase - back * size;
    uintptr_t base = (FTypeEncoding & 0x70) == PeFuncRel ? FRegionStart : 0;
    return ReadEncoded(p, FTypeEncoding, base, type);
}

bool TLsdaReader::SpecificationType(int64_t filter, size_t i, uintptr_t& type)
{
    if (filter >= 0 || !FTypeBase)
        return Fail();
    uint64_t offset = static_cast<uint64_t>(-(filter + 1));
    if (offset >= Address(FBounds.End) - Address(FTypeBase))
        return Fail();
    const uint8_t* p = FTypeBase + offset;
    uint64_t index = 0;
    for (size_t n = 0; n <= i; ++n) {
        if (!ReadUleb(p, index) || index == 0)
            return false;
    }
    return TypeEntry(static_cast<int64_t>(index), type);
}

bool TLsdaReader::NextAction(TLsdaAction& action)
{
    if (!FNextAction || FUnreadable)
        return false;
    const uint8_t* p = FNextAction;
    int64_t filter, displacement;
    if (!ReadSleb(p, filter))
        return false;
    const uint8_t* displacementField = p;
    if (!ReadSleb(p, displacement))
        return false;
    action.Filter = filter;
    action.TypeInfo = 0;
    if (filter > 0 && !TypeEntry(filter, action.TypeInfo))
        return false;
    if (displacement == 0) {
        FNextAction = nullptr;
    } else {
        uintptr_t next = Address(displacementField) + static_cast<uintptr_t>(displacement);
        if (next < Address(FBounds.Begin) || next >= Address(FBounds.End))
            FNextAction = nullptr, Fail();
        else
            FNextAction = FBounds.Begin + (next - Address(FBounds.Begin));
    }
    return true;
}

TFrameVerdict JudgeFrame(TLsdaReader& reader, uintptr_t ip, bool foreign, TCatchTest accepts, void* data)
{
    TFrameVerdict verdict;
    switch (reader.FindCallSite(ip)) {
    case csUnreadable:
    case csNotFound:
        verdict.Outcome = foTerminates;
        return verdict;
    case csNoLandingPad:
    case csCleanupOnly:
        return verdict;
    case csActions:
        break;
    }
    TLsdaAction action;
    int n = 0;
    for (; n < MaxActionsPerChain && reader.NextAction(action); ++n) {
        if (action.Filter > 0) {
            if (action.TypeInfo == 0) {
                verdict.Outcome = foCatches;
                verdict.Kind = hkCatchAll;
                return verdict;
            }
            if (!foreign && accepts(action.TypeInfo, data)) {
                verdict.Outcome = foCatches;
                verdict.Kind = hkTyped;
                return verdict;
            }
        } else if (action.Filter < 0) {
            // An exception specification that does not list the exception
            // ends the program; a foreign exception only meets an empty one.
            bool admitted = false;
            uintptr_t type;
            for (size_t i = 0; !admitted && reader.SpecificationType(action.Filter, i, type); ++i)
                admitted = !foreign && accepts(type, data);
            if (reader.Unreadable() || !admitted) {
                bool empty = !reader.Unreadable() && !reader.SpecificationType(action.Filter, 0, type);
                if (!foreign || empty || reader.Unreadable()) {
                    verdict.Outcome = foTerminates;
                    return verdict;
                }
            }
        }
    }
    if (reader.Unreadable() || n == MaxActionsPerChain)
        verdict.Outcome = foTerminates;
    return verdict;
}

} // namespace qov::exceptions
