// Pointer strings and the type-equivalence table with its second-character index and its
// eight-slot cache of recent equivalence matches.
#include "pointer_strings.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace vantrel {

namespace {

constexpr int kCacheSlots = 8;
constexpr int kLongestTypeName = 255;
constexpr char kHexDigits[] = "0123456789abcdef";

// The table: one head per accepting type, each with its chain of equivalents. The head array
// is allocated by the first registration; chain entries are allocated one by one and never
// move, so the cache may point at them while heads are sorted or the array grows.
TypeEntry *heads = nullptr;
int headCount = 0;
int headCapacity = 64;
bool sorted = false;
int secondCharIndex[256] = {};

CacheEntry cache[kCacheSlots] = {};
int probePosition = 0;
int insertPosition = 0;

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Sorts the heads by name, rebuilds the second-character index and empties the cache, whose
// entries may describe matches the changed table would no longer make first.
void indexTable()
{
    std::sort(heads, heads + headCount,
              [](const TypeEntry &a, const TypeEntry &b) { return std::strcmp(a.name, b.name) < 0; });
    for (int &slot : secondCharIndex)
        slot = headCount;
    for (int i = headCount - 1; i >= 0; --i)
        secondCharIndex[static_cast<unsigned char>(heads[i].name[1])] = i;
    // A character no head has takes the start of the next character that has one, so that
    // slot c up to slot c + 1 is always the (possibly empty) run of heads for c.
    for (int c = 255; c >= 1; --c)
        if (secondCharIndex[c - 1] > secondCharIndex[c])
            secondCharIndex[c - 1] = secondCharIndex[c];
    sorted = true;
    for (CacheEntry &entry : cache)
        entry.hits = 0;
}

bool startsWith(const char *text, const TypeEntry &head)
{
    return std::strncmp(head.name, text, static_cast<std::size_t>(head.length)) == 0;
}

void *convertValue(const TypeEntry *entry, std::uintptr_t number)
{
    void *value = reinterpret_cast<void *>(number);
    return entry->convert ? entry->convert(value) : value;
}

// Answers a repeated equivalence match from the cache. The search starts at the slot of the
// last hit and leaves the probe position on the slot that hits.
bool searchCache(const char *expectedType, const char *receivedType, std::uintptr_t number, void **value)
{
    for (int tried = 0; tried < kCacheSlots; ++tried) {
        CacheEntry &entry = cache[probePosition];
        if (entry.hits != 0 && std::strcmp(entry.expectedType, expectedType) == 0 &&
            std::strcmp(entry.receivedType, receivedType) == 0) {
            ++entry.hits;
            *value = convertValue(entry.match, number);
            return true;
        }
        probePosition = (probePosition + 1) % kCacheSlots;
    }
    return false;
}

void rememberMatch(const char *expectedType, const char *receivedType, TypeEntry *match)
{
    CacheEntry &entry = cache[insertPosition];
    // Both texts are at most 255 characters here: the expected type by the caller's guarantee,
    // the received type because it equalled a candidate of at most 255.
    std::strncpy(entry.expectedType, expectedType, kLongestTypeName);
    entry.expectedType[kLongestTypeName] = '\0';
    std::strncpy(entry.receivedType, receivedType, kLongestTypeName);
    entry.receivedType[kLongestTypeName] = '\0';
    entry.hits = 1;
    entry.match = match;
    insertPosition = (insertPosition + 1) % kCacheSlots;
}

enum class TableAnswer { Match, NoMatch, NameTooLong };

// Looks for a head that is a prefix of the expected type and an equivalent of it which, with
// the rest of the expected type appended, spells the received type.
TableAnswer searchTable(const char *expectedType, const char *receivedType, std::uintptr_t number, void **value)
{
    const unsigned char second = static_cast<unsigned char>(expectedType[1]);
    const int end = second == 255 ? headCount : secondCharIndex[second + 1];
    int first = secondCharIndex[second];
    while (first < end && !startsWith(expectedType, heads[first]))
        ++first;
    if (first >= end)
        return TableAnswer::NoMatch;

    char candidate[kLongestTypeName + 1];
    for (int h = first; h < headCount && startsWith(expectedType, heads[h]); ++h) {
        const char *remainder = expectedType + heads[h].length;
        for (TypeEntry *e = heads[h].next; e != nullptr; e = e->next) {
            if (e->length >= kLongestTypeName)
                return TableAnswer::NameTooLong;
            std::memcpy(candidate, e->name, static_cast<std::size_t>(e->length));
            const std::size_t room = static_cast<std::size_t>(kLongestTypeName - e->length);
            const std::size_t tail = std::min(std::strlen(remainder), room);
            std::memcpy(candidate + e->length, remainder, tail);
            candidate[static_cast<std::size_t>(e->length) + tail] = '\0';
            if (std::strcmp(receivedType, candidate) == 0) {
                rememberMatch(expectedType, receivedType, e);
                *value = convertValue(e, number);
                return TableAnswer::Match;
            }
        }
    }
    return TableAnswer::NoMatch;
}

} // namespace

void makePointerString(char *buffer, const void *pointer, const char *typeName)
{
    if (pointer == nullptr) {
        std::strcpy(buffer, "NULL");
        return;
    }
    std::uintptr_t number = reinterpret_cast<std::uintptr_t>(pointer);
    char digits[2 * sizeof(std::uintptr_t)];
    int count = 0;
    while (number != 0) {
        digits[count++] = kHexDigits[number & 0xf];
        number >>= 4;
    }
    char *out = buffer;
    *out++ = '_';
    while (count > 0)
        *out++ = digits[--count];
    std::strcpy(out, typeName);
}

const char *parsePointerString(const char *text, void **value, const char *expectedType)
{
    if (*text != '_') {
        *value = nullptr;
        return std::strcmp(text, "NULL") == 0 ? nullptr : text;
    }
    std::uintptr_t number = 0;
    const char *receivedType = text + 1;
    for (int digit; (digit = hexDigitValue(*receivedType)) >= 0; ++receivedType)
        number = number * 16 + static_cast<std::uintptr_t>(digit);

    if (expectedType == nullptr || std::strcmp(receivedType, expectedType) == 0) {
        *value = reinterpret_cast<void *>(number);
        return nullptr;
    }
    if (!sorted)
        indexTable();
    if (searchCache(expectedType, receivedType, number, value))
        return nullptr;
    switch (searchTable(expectedType, receivedType, number, value)) {
    case TableAnswer::Match:
        return nullptr;
    case TableAnswer::NoMatch:
        *value = reinterpret_cast<void *>(number);
        return receivedType;
    case TableAnswer::NameTooLong:
        break;
    }
    return receivedType;
}

bool addTypeEquivalence(const char *typeName, const char *equivalentName, PointerConverter convert)
{
    if (heads == nullptr) {
        heads = static_cast<TypeEntry *>(std::malloc(sizeof(TypeEntry) * static_cast<std::size_t>(headCapacity)));
        if (heads == nullptr)
            return false;
        headCount = 0;
    }
    if (headCount >= headCapacity) {
        auto *grown = static_cast<TypeEntry *>(
            std::realloc(heads, sizeof(TypeEntry) * static_cast<std::size_t>(headCapacity) * 2));
        if (grown == nullptr)
            return false;
        heads = grown;
        headCapacity *= 2;
    }

    TypeEntry *head = nullptr;
    for (int i = 0; i < headCount && head == nullptr; ++i)
        if (std::strcmp(heads[i].name, typeName) == 0)
            head = &heads[i];

    TypeEntry **link = head ? &head->next : nullptr;
    for (TypeEntry *e = head ? head->next : nullptr; e != nullptr; e = e->next) {
        if (std::strcmp(e->name, equivalentName) == 0) {
            if (convert != nullptr)
                e->convert = convert;
            return true;
        }
        link = &e->next;
    }

    auto *entry = static_cast<TypeEntry *>(std::malloc(sizeof(TypeEntry)));
    if (entry == nullptr)
        return false;
    *entry = TypeEntry{equivalentName, static_cast<int>(std::strlen(equivalentName)), convert, nullptr};
    if (head == nullptr) {
        head = &heads[headCount++];
        *head = TypeEntry{typeName, static_cast<int>(std::strlen(typeName)), nullptr, nullptr};
        link = &head->next;
    }
    *link = entry;
    sorted = false;
    return true;
}

bool registerIntegerTypeEquivalences()
{
    static const char *const pairs[12][2] = {
        {"_signed_long", "_long"},   {"_long", "_unsigned_long"}, {"_long", "_signed_long"},
        {"_unsigned_long", "_long"}, {"_signed_int", "_int"},     {"_unsigned_short", "_short"},
        {"_signed_short", "_short"}, {"_unsigned_int", "_int"},   {"_short", "_unsigned_short"},
        {"_short", "_signed_short"}, {"_int", "_unsigned_int"},   {"_int", "_signed_int"},
    };
    for (const auto &pair : pairs)
        if (!addTypeEquivalence(pair[0], pair[1], nullptr))
            return false;
    return true;
}

TypeTableView typeTableView()
{
    return TypeTableView{heads, headCount, headCapacity, sorted, secondCharIndex, cache, probePosition, insertPosition};
}

} // namespace vantrel
