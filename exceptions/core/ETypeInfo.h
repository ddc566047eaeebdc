// What the library knows of a thrown C++ type: its name as reports show it,
// its ancestry walked through the ABI's class descriptions, and whether a
// catch clause of one type accepts an object of another, the way the
// language run-time decides it.
// Pure logic; every read of a type description that may be damaged goes
// through the caller's readability probe first.
#pragma once

#include <cstddef>
#include <string>
#include <typeinfo>
#include <vector>

namespace qov::exceptions {

// True when [address, address + length) may be read.
using TReadableProbe = bool (*)(const void* address, size_t length);

// The same with a context of the caller's.
using TReadableProbeOf = bool (*)(const void* address, size_t length, void* data);

// A probe that trusts every address (for type descriptions of this module).
bool TrustedMemory(const void* address, size_t length);

// The name without the project's own namespaces ("qov::exceptions::",
// "qov::"), wherever they occur in it.
std::string DropOwnNamespace(const std::string& name);

// The demangled name of a type, own namespaces dropped: "EJPEG",
// "std::out_of_range", "int".
std::string TypeDisplayName(const std::type_info& type);

// A usable type description: the description, the words of its table that
// the ABI reads (offset to top, type, first slot) and its name are readable.
bool IsValidTypeInfo(const std::type_info* type, TReadableProbe probe);
bool IsValidTypeInfo(const std::type_info* type, TReadableProbeOf probe, void* data);

// The display names of the type and of every base class it has, the type
// first, bases depth first in declaration order, each once. The walk stops
// at a description that is not valid. Empty for an invalid type.
std::vector<std::string> TypeAncestry(const std::type_info* type, TReadableProbe probe);

// True when the type or one of its bases has the name, compared without case
// and with the given name trimmed (own namespaces dropped from both).
bool TypeInheritsFrom(const std::type_info* type, const std::string& name, TReadableProbe probe);

// Whether a catch clause of catchType accepts an exception object of
// thrownType at object: the same type, a public unambiguous base, or the
// pointer conversions the language allows. Adjusts object to the part the
// clause would see. Reads the thrown object (virtual bases, a thrown pointer)
// and must be called while it lives.
bool CatchAccepts(const std::type_info& catchType, const std::type_info& thrownType, void*& object);

} // namespace qov::exceptions
