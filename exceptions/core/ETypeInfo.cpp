#include "ETypeInfo.h"

#include <cxxabi.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "SysUtils.h"

namespace qov::exceptions {

namespace {

// A damaged description could name itself as its own base.
constexpr int MaxAncestryEntries = 64;
constexpr size_t MaxNameLength = 4096;
// Virtual slots of the run-time's type descriptions.
constexpr size_t TableSlots = 10;

bool PlainProbe(const void* address, size_t length, void* data)
{
    return reinterpret_cast<TReadableProbe>(data)(address, length);
}

// The name's bytes up to its terminating zero are readable (probed page by page).
bool ReadableName(const char* name, TReadableProbeOf probe, void* data)
{
    const char* p = name;
    while (static_cast<size_t>(p - name) < MaxNameLength) {
        size_t toPage = 4096 - (reinterpret_cast<uintptr_t>(p) & 4095);
        if (!probe(p, toPage, data))
            return false;
        if (std::memchr(p, 0, toPage))
            return true;
        p += toPage;
    }
    return false;
}

std::string UpperTrimmed(const std::string& text)
{
    std::string result = DropOwnNamespace(Trim(text));
    for (char& c : result)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return result;
}

// Classes whose descriptions are of the ABI's two kinds with bases: one
// public non-virtual base, and any other inheritance.
struct TOneBase { virtual ~TOneBase() = default; };
struct TOneBaseChild : TOneBase {};
struct TOtherBase { virtual ~TOtherBase() = default; };
struct TTwoBasesChild : TOneBase, TOtherBase {};

const void* TableOf(const std::type_info* type)
{
    const void* table;
    std::memcpy(&table, static_cast<const void*>(type), sizeof table);
    return table;
}

// The mangled name of a description read as the ABI lays it out (table,
// name), without a member call on what may be no description at all.
const char* RawName(const std::type_info* type)
{
    const char* name;
    std::memcpy(&name, reinterpret_cast<const char*>(type) + sizeof(void*), sizeof name);
    return name;
}

// Calls visit(type) for the type and its bases, depth first; stops when
// visit returns true (and returns true then).
template <typename TVisit>
bool WalkTypes(const std::type_info* type, TReadableProbe probe, int& budget, TVisit& visit)
{
    if (budget-- <= 0 || !IsValidTypeInfo(type, probe))
        return false;
    if (visit(type))
        return true;
    // The kind of description is told by its table, which is compared, never
    // called (a damaged one could lead anywhere).
    const void* table = TableOf(type);
    if (table == TableOf(&typeid(TOneBaseChild))) {
        auto si = static_cast<const abi::__si_class_type_info*>(type);
        if (!probe(si, sizeof *si))
            return false;
        return WalkTypes(si->__base_type, probe, budget, visit);
    }
    if (table == TableOf(&typeid(TTwoBasesChild))) {
        auto vmi = static_cast<const abi::__vmi_class_type_info*>(type);
        if (!probe(vmi, sizeof *vmi))
            return false;
        unsigned count = vmi->__base_count;
        if (count > static_cast<unsigned>(MaxAncestryEntries) ||
            !probe(vmi->__base_info, count * sizeof(abi::__base_class_type_info)))
            return false;
        for (unsigned i = 0; i < count; ++i)
            if (WalkTypes(vmi->__base_info[i].__base_type, probe, budget, visit))
                return true;
    }
    return false;
}

} // namespace

bool TrustedMemory(const void*, size_t)
{
    return true;
}

std::string DropOwnNamespace(const std::string& name)
{
    std::string result = name;
    for (const char* prefix : {"qov::exceptions::", "qov::"}) {
        size_t n = std::strlen(prefix);
        for (size_t at = result.find(prefix); at != std::string::npos; at = result.find(prefix, at)) {
            // Only a whole name part: "myqov::" stays.
            if (at > 0 && (std::isalnum(static_cast<unsigned char>(result[at - 1])) || result[at - 1] == '_')) {
                at += n;
                continue;
            }
            result.erase(at, n);
        }
    }
    return result;
}

std::string TypeDisplayName(const std::type_info& type)
{
    const char* mangled = RawName(&type);
    if (*mangled == '*') // a type of local linkage
        ++mangled;
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : mangled;
    std::free(demangled);
    return DropOwnNamespace(name);
}

bool IsValidTypeInfo(const std::type_info* type, TReadableProbe probe)
{
    return IsValidTypeInfo(type, PlainProbe, reinterpret_cast<void*>(probe));
}

bool IsValidTypeInfo(const std::type_info* type, TReadableProbeOf probe, void* data)
{
    if (!type || !probe(type, sizeof(std::type_info), data))
        return false;
    const auto* table = static_cast<const void* const*>(TableOf(type));
    // The table's words that the run-time reads: the two before its first
    // slot (offset to top, the table's own type) and its slots.
    if (!table || reinterpret_cast<uintptr_t>(table) < 2 * sizeof(void*) ||
        !probe(table - 2, (2 + TableSlots) * sizeof(void*), data))
        return false;
    const char* name = RawName(type);
    return name && ReadableName(name, probe, data);
}

std::vector<std::string> TypeAncestry(const std::type_info* type, TReadableProbe probe)
{
    std::vector<std::string> names;
    int budget = MaxAncestryEntries;
    auto note = [&names](const std::type_info* t) {
        std::string name = TypeDisplayName(*t);
        for (const std::string& known : names)
            if (known == name)
                return false;
        names.push_back(name);
        return false;
    };
    WalkTypes(type, probe, budget, note);
    return names;
}

bool TypeInheritsFrom(const std::type_info* type, const std::string& name, TReadableProbe probe)
{
    std::string wanted = UpperTrimmed(name);
    int budget = MaxAncestryEntries;
    auto match = [&wanted](const std::type_info* t) { return UpperTrimmed(TypeDisplayName(*t)) == wanted; };
    return WalkTypes(type, probe, budget, match);
}

bool CatchAccepts(const std::type_info& catchType, const std::type_info& thrownType, void*& object)
{
    void* adjusted = object;
    // A thrown pointer is matched by its value, as the personality does.
    if (thrownType.__is_pointer_p())
        adjusted = *static_cast<void**>(adjusted);
    if (!catchType.__do_catch(&thrownType, &adjusted, 1))
        return false;
    object = adjusted;
    return true;
}

} // namespace qov::exceptions
