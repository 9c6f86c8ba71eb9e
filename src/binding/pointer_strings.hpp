// Pointer strings: the text by which a native pointer crosses into Python ("_", the address in
// lower-case hexadecimal, the type name; or "NULL"), and the type-equivalence table that lets a
// pointer string of one type stand where another is expected. Plain C++, no interpreter calls.
//
// What the table is for: it is the general mechanism of typed pointer strings, and
// initialisation fills it with twelve integer-type equivalences. It never matches a pointer of
// this module: every buffer and register is "_unsigned_char_p", and no registered name is a
// prefix of it, so a buffer variable accepts exactly "NULL" and pointer strings of that type.
// The table, its index and its cache are kept, and tested, as a part of the binding all the
// same; nothing the module does depends on a match.
#pragma once

#include <cstddef>

namespace vantrel {

// Type name of every pointer this module hands out.
inline constexpr const char kBytePointerType[] = "_unsigned_char_p";

// Room for the longest pointer string of a type name up to 100 characters: "_", one hex digit
// per nibble of a pointer, the type name and the closing zero.
inline constexpr std::size_t kPointerStringBufferSize = 128;

using PointerConverter = void *(*)(void *);

// One type name of the equivalence table: a head (an accepting type) or an entry of a head's
// chain (one of its equivalents). The table keeps the caller's name text without copying it.
struct TypeEntry {
    const char *name;
    int length;
    PointerConverter convert;
    TypeEntry *next;
};

// One remembered equivalence match.
struct CacheEntry {
    int hits; // 0: empty
    TypeEntry *match;
    char expectedType[256];
    char receivedType[256];
};

// Writes the pointer string of pointer with typeName into buffer (at least
// 2 + 2 * sizeof(void *) + strlen(typeName) characters): "NULL" for a null pointer.
void makePointerString(char *buffer, const void *pointer, const char *typeName);

// Reads a pointer string. expectedType (at most 255 characters) is checked unless it is null.
// Returns null on success, with *value written; otherwise the refused part of the text: the
// whole text when it does not start with "_", else its received type (the text after the
// digits). Digits beyond the width of a pointer push the leading ones out.
const char *parsePointerString(const char *text, void **value, const char *expectedType);

// Accepts, where typeName (or a type name that starts with it) is expected, a pointer string
// whose type is equivalentName followed by the same remainder, its value passed through convert
// when there is one. Both texts must live as long as the process. Returns false only when memory
// for the table ran out; the table is then unchanged.
bool addTypeEquivalence(const char *typeName, const char *equivalentName, PointerConverter convert);

// The twelve equivalences between the signed, unsigned and plain integer type names.
bool registerIntegerTypeEquivalences();

// A read-only view of the table, its index and the cache, for tests and diagnostics.
struct TypeTableView {
    const TypeEntry *heads;
    int count;
    int capacity;
    bool sorted;
    const int *secondCharIndex; // 256 slots
    const CacheEntry *cache;    // 8 entries
    int probePosition;
    int insertPosition;
};
TypeTableView typeTableView();

} // namespace vantrel
