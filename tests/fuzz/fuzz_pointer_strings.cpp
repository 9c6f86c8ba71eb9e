// libFuzzer target for the pointer-string parser: arbitrary bytes as the text, against no
// expected type, the module's own type, types the integer equivalences answer, and a type made
// from the input; then the round trip of makePointerString for a pointer and a type name made
// from the input. Any crash, sanitizer report or broken promise aborts the run.
#include "binding/pointer_strings.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace vantrel;

namespace {

void require(bool condition, const char *what, const std::string &text)
{
    if (!condition) {
        std::fprintf(stderr, "broken: %s for the text \"%s\"\n", what, text.c_str());
        std::abort();
    }
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// A type name as callers pass them: "_" and plain printable ASCII, at most `longest` characters.
std::string typeNameFrom(const std::uint8_t *bytes, std::size_t size, std::size_t longest)
{
    std::string name = "_";
    for (std::size_t i = 0; i < size && name.size() < longest; ++i)
        name += static_cast<char>(' ' + bytes[i] % 95);
    return name;
}

// What the parser must say about one text and expected type.
void checkParse(const std::string &text, const char *expected)
{
    void *value = reinterpret_cast<void *>(std::uintptr_t{0x5a5a});
    const char *refused = parsePointerString(text.c_str(), &value, expected);
    const char *begin = text.c_str(), *end = begin + std::strlen(begin);
    // A refusal names a part of the text itself, never memory around it.
    require(refused == nullptr || (refused >= begin && refused <= end), "refusal outside the text", text);
    if (text[0] != '_') {
        const bool isNull = std::strcmp(begin, "NULL") == 0;
        require(isNull == (refused == nullptr), "NULL handling", text);
        require(refused == nullptr || refused == begin, "whole text refused", text);
        require(value == nullptr, "value of a text without \"_\"", text);
        return;
    }
    // The digits, read independently: wrapping at the width of a pointer.
    std::uintptr_t number = 0;
    const char *rest = begin + 1;
    for (int d; (d = hexDigit(*rest)) >= 0; ++rest)
        number = number * 16 + static_cast<std::uintptr_t>(d);
    if (expected == nullptr) {
        require(refused == nullptr, "refusal with no expected type", text);
        require(value == reinterpret_cast<void *>(number), "value with no expected type", text);
        return;
    }
    if (std::strcmp(rest, expected) == 0)
        require(refused == nullptr && value == reinterpret_cast<void *>(number), "exact type match", text);
    if (refused != nullptr)
        require(refused == rest, "refusal names the received type", text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size)
{
    static const bool registered = registerIntegerTypeEquivalences();
    if (!registered)
        std::abort();

    const std::string text(reinterpret_cast<const char *>(bytes), size); // cut at a zero byte by c_str()
    const std::string fromInput = typeNameFrom(bytes, size, 255);
    checkParse(text, nullptr);
    checkParse(text, kBytePointerType);
    checkParse(text, "_int_p");
    checkParse(text, "_long");
    checkParse(text, "_s");
    checkParse(text, fromInput.c_str());

    // Round trip: the first bytes as a pointer value, the rest as a type name of at most 100
    // characters (what the callers' buffers of 128 characters hold).
    std::uintptr_t number = 0;
    const std::size_t head = size < sizeof number ? size : sizeof number;
    std::memcpy(&number, bytes, head);
    const std::string type = typeNameFrom(bytes + head, size - head, 100);
    char buffer[kPointerStringBufferSize + 8];
    std::memset(buffer, 0x7f, sizeof buffer);
    const void *pointer = reinterpret_cast<const void *>(number);
    makePointerString(buffer, pointer, type.c_str());
    const std::size_t length = std::strlen(buffer);
    require(length < kPointerStringBufferSize, "pointer string overruns its buffer", buffer);
    if (pointer == nullptr) {
        require(std::strcmp(buffer, "NULL") == 0, "null pointer reads NULL", buffer);
    } else {
        require(buffer[0] == '_' && buffer[1] != '0', "leading zero or missing \"_\"", buffer);
        require(std::strcmp(buffer + length - type.size(), type.c_str()) == 0, "type name kept", buffer);
    }
    for (const char *expected : {type.c_str(), static_cast<const char *>(nullptr)}) {
        void *back = nullptr;
        require(parsePointerString(buffer, &back, expected) == nullptr, "own pointer string refused", buffer);
        require(back == pointer, "round trip changed the pointer", buffer);
    }
    return 0;
}
