// Pointer strings: writing, reading back, and the refusals of the reader.
#include "binding/pointer_strings.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using vantrel::kBytePointerType;
using vantrel::makePointerString;
using vantrel::parsePointerString;

namespace {

std::string written(std::uintptr_t value, const char *type = kBytePointerType)
{
    char buffer[vantrel::kPointerStringBufferSize];
    makePointerString(buffer, reinterpret_cast<void *>(value), type);
    return buffer;
}

void *const kUntouched = reinterpret_cast<void *>(0x5a5a);

} // namespace

TEST(MakePointerString, NullHasNoTypeName) { EXPECT_EQ(written(0), "NULL"); }

TEST(MakePointerString, LowerCaseHexWithoutLeadingZeros)
{
    EXPECT_EQ(written(16), "_10_unsigned_char_p");
    EXPECT_EQ(written(0x1a2b3c), "_1a2b3c_unsigned_char_p");
    EXPECT_EQ(written(0xffffffffu), "_ffffffff_unsigned_char_p");
}

TEST(MakePointerString, FullPointerWidthRoundTrips)
{
    const std::uintptr_t largest = ~std::uintptr_t{0};
    EXPECT_EQ(written(largest).size(), 1 + 2 * sizeof(void *) + std::string(kBytePointerType).size());
    for (std::uintptr_t value : {std::uintptr_t{1}, std::uintptr_t{0x7fff12345678}, largest, largest - 15}) {
        void *read = kUntouched;
        EXPECT_EQ(parsePointerString(written(value).c_str(), &read, kBytePointerType), nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(read), value);
    }
}

TEST(ParsePointerString, NullIsAcceptedForAnyType)
{
    void *read = kUntouched;
    EXPECT_EQ(parsePointerString("NULL", &read, kBytePointerType), nullptr);
    EXPECT_EQ(read, nullptr);
    read = kUntouched;
    EXPECT_EQ(parsePointerString("NULL", &read, "_int_p"), nullptr);
    EXPECT_EQ(read, nullptr);
}

TEST(ParsePointerString, TextWithoutUnderscoreIsRefusedWhole)
{
    for (const char *text : {"null", "", "1234_unsigned_char_p", "NULLx"}) {
        void *read = kUntouched;
        EXPECT_EQ(parsePointerString(text, &read, kBytePointerType), text) << text;
        EXPECT_EQ(read, nullptr);
    }
}

TEST(ParsePointerString, NoDigitsReadsZero)
{
    void *read = kUntouched;
    EXPECT_EQ(parsePointerString("__unsigned_char_p", &read, kBytePointerType), nullptr);
    EXPECT_EQ(read, nullptr);
}

TEST(ParsePointerString, UpperCaseDigitEndsTheNumber)
{
    const char *text = "_1A_unsigned_char_p";
    void *read = kUntouched;
    EXPECT_EQ(parsePointerString(text, &read, kBytePointerType), text + 2);
    EXPECT_STREQ(text + 2, "A_unsigned_char_p");
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(read), 1u);
}

TEST(ParsePointerString, DigitsBeyondPointerWidthPushOutTheLeadingOnes)
{
    void *read = kUntouched;
    EXPECT_EQ(parsePointerString("_123456789_unsigned_char_p", &read, kBytePointerType), nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(read), std::uintptr_t{0x123456789});
    // One digit more than a pointer holds: the first digit is pushed out.
    std::string text = "_f" + std::string(2 * sizeof(void *), '1') + kBytePointerType;
    ASSERT_EQ(parsePointerString(text.c_str(), &read, kBytePointerType), nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(read), ~std::uintptr_t{0} / 15);
}

TEST(ParsePointerString, WithoutExpectedTypeAnyRestIsAccepted)
{
    void *read = kUntouched;
    EXPECT_EQ(parsePointerString("_ff", &read, nullptr), nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(read), 255u);
    read = kUntouched;
    EXPECT_EQ(parsePointerString("_ffjunk", &read, nullptr), nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(read), 255u);
}

TEST(ParsePointerString, OtherTypeIsRefusedWithItsReceivedType)
{
    ASSERT_TRUE(vantrel::registerIntegerTypeEquivalences());
    const char *text = "_5_int_p";
    void *read = kUntouched;
    EXPECT_EQ(parsePointerString(text, &read, kBytePointerType), text + 2);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(read), 5u);
    EXPECT_NE(parsePointerString("_5_unsigned_char", &read, kBytePointerType), nullptr);
    EXPECT_NE(parsePointerString("_5_unsigned_char_pp", &read, kBytePointerType), nullptr);
}
