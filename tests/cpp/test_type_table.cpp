// The type-equivalence table: registration, lazy sorting and indexing by second character,
// prefix matching through the chains, and the eight-slot cache of matches.
#include "binding/pointer_strings.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using vantrel::addTypeEquivalence;
using vantrel::parsePointerString;
using vantrel::registerIntegerTypeEquivalences;
using vantrel::typeTableView;

namespace {

std::vector<std::string> chainOf(const vantrel::TypeEntry &head)
{
    std::vector<std::string> names;
    for (const vantrel::TypeEntry *e = head.next; e != nullptr; e = e->next)
        names.push_back(e->name);
    return names;
}

int totalCacheHits()
{
    int hits = 0;
    const auto view = typeTableView();
    for (int i = 0; i < 8; ++i)
        hits += view.cache[i].hits;
    return hits;
}

std::uintptr_t parsed(const char *text, const char *expected, bool &accepted)
{
    void *value = nullptr;
    accepted = parsePointerString(text, &value, expected) == nullptr;
    return reinterpret_cast<std::uintptr_t>(value);
}

void *doubled(void *p) { return reinterpret_cast<void *>(reinterpret_cast<std::uintptr_t>(p) * 2); }

} // namespace

TEST(TypeTable, EmptyAtLoad)
{
    const auto view = typeTableView();
    EXPECT_EQ(view.heads, nullptr);
    EXPECT_EQ(view.count, 0);
    EXPECT_EQ(view.capacity, 64);
    EXPECT_FALSE(view.sorted);
    EXPECT_EQ(totalCacheHits(), 0);
}

TEST(TypeTable, TwelveRegistrationsMakeNineSortedHeadsAndTheirIndex)
{
    ASSERT_TRUE(registerIntegerTypeEquivalences());
    EXPECT_EQ(typeTableView().count, 9);
    EXPECT_FALSE(typeTableView().sorted);

    bool accepted = true;
    parsed("_5_long_p", "_int_p", accepted); // a mismatch sorts and indexes the table
    EXPECT_FALSE(accepted);
    const auto view = typeTableView();
    ASSERT_TRUE(view.sorted);
    const std::vector<std::pair<std::string, std::vector<std::string>>> expected = {
        {"_int", {"_unsigned_int", "_signed_int"}},
        {"_long", {"_unsigned_long", "_signed_long"}},
        {"_short", {"_unsigned_short", "_signed_short"}},
        {"_signed_int", {"_int"}},
        {"_signed_long", {"_long"}},
        {"_signed_short", {"_short"}},
        {"_unsigned_int", {"_int"}},
        {"_unsigned_long", {"_long"}},
        {"_unsigned_short", {"_short"}},
    };
    ASSERT_EQ(view.count, 9);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(view.heads[i].name, expected[i].first) << i;
        EXPECT_EQ(view.heads[i].length, static_cast<int>(expected[i].first.size()));
        EXPECT_EQ(view.heads[i].convert, nullptr);
        EXPECT_EQ(chainOf(view.heads[i]), expected[i].second) << i;
    }
    auto range = [&](int c) { return std::make_pair(view.secondCharIndex[c], view.secondCharIndex[c + 1]); };
    EXPECT_EQ(range('i'), std::make_pair(0, 1));
    EXPECT_EQ(range('l'), std::make_pair(1, 2));
    EXPECT_EQ(range('s'), std::make_pair(2, 6));
    EXPECT_EQ(range('u'), std::make_pair(6, 9));
    for (int c = 0; c < 255; ++c) {
        if (c != 'i' && c != 'l' && c != 's' && c != 'u') {
            EXPECT_EQ(view.secondCharIndex[c], view.secondCharIndex[c + 1]) << "character " << c;
        }
    }
}

TEST(TypeTable, WorkedMatchThroughThePrefixHead)
{
    ASSERT_TRUE(registerIntegerTypeEquivalences());
    bool accepted = false;
    EXPECT_EQ(parsed("_1f_signed_int_p", "_int_p", accepted), 31u);
    EXPECT_TRUE(accepted);
    const auto view = typeTableView();
    EXPECT_EQ(view.cache[0].hits, 1);
    EXPECT_STREQ(view.cache[0].expectedType, "_int_p");
    EXPECT_STREQ(view.cache[0].receivedType, "_signed_int_p");
    EXPECT_STREQ(view.cache[0].match->name, "_signed_int");
    EXPECT_EQ(view.insertPosition, 1);
}

TEST(TypeTable, RepeatedMatchIsAnsweredFromTheCache)
{
    ASSERT_TRUE(registerIntegerTypeEquivalences());
    bool accepted = false;
    parsed("_1f_signed_int_p", "_int_p", accepted);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(parsed("_20_signed_int_p", "_int_p", accepted), 32u);
    EXPECT_TRUE(accepted);
    const auto view = typeTableView();
    EXPECT_EQ(view.cache[0].hits, 2);
    EXPECT_EQ(view.insertPosition, 1); // nothing new was stored
    EXPECT_EQ(view.probePosition, 0);  // the search stays on the slot that hit
}

TEST(TypeTable, EquivalencesFromTheIntegerRegistrations)
{
    ASSERT_TRUE(registerIntegerTypeEquivalences());
    bool accepted = false;
    parsed("_5_unsigned_int_p", "_int_p", accepted);
    EXPECT_TRUE(accepted);
    parsed("_5_signed_int_p", "_int_p", accepted);
    EXPECT_TRUE(accepted);
    parsed("_5_long_p", "_int_p", accepted);
    EXPECT_FALSE(accepted);
    parsed("_5_signed_long", "_long", accepted);
    EXPECT_TRUE(accepted);
    parsed("_5_int_p", "_unsigned_char_p", accepted);
    EXPECT_FALSE(accepted);
}

TEST(TypeTable, DuplicateRegistrationKeepsOneEntryAndTheSortedFlag)
{
    ASSERT_TRUE(registerIntegerTypeEquivalences());
    bool accepted = false;
    parsed("_1f_signed_int_p", "_int_p", accepted);
    ASSERT_TRUE(typeTableView().sorted);
    ASSERT_TRUE(registerIntegerTypeEquivalences());
    ASSERT_TRUE(addTypeEquivalence("_int", "_signed_int", nullptr));
    const auto view = typeTableView();
    EXPECT_EQ(view.count, 9);
    EXPECT_TRUE(view.sorted);
    EXPECT_EQ(chainOf(view.heads[0]), (std::vector<std::string>{"_unsigned_int", "_signed_int"}));
    EXPECT_EQ(view.cache[0].hits, 1);
}

TEST(TypeTable, NewEquivalentClearsSortedFlagAndTheNextMismatchEmptiesTheCache)
{
    ASSERT_TRUE(registerIntegerTypeEquivalences());
    bool accepted = false;
    parsed("_1f_signed_int_p", "_int_p", accepted);
    ASSERT_EQ(typeTableView().cache[0].hits, 1);
    ASSERT_TRUE(addTypeEquivalence("_char", "_signed_char", nullptr));
    EXPECT_FALSE(typeTableView().sorted);
    EXPECT_EQ(typeTableView().count, 10);
    // An exact match touches neither table nor cache.
    parsed("_1_int_p", "_int_p", accepted);
    EXPECT_TRUE(accepted);
    EXPECT_FALSE(typeTableView().sorted);
    parsed("_7_signed_char_p", "_char_p", accepted);
    EXPECT_TRUE(accepted);
    const auto view = typeTableView();
    EXPECT_TRUE(view.sorted);
    EXPECT_STREQ(view.heads[0].name, "_char");
    EXPECT_EQ(totalCacheHits(), 1); // the old match was dropped, the new one stored
    EXPECT_STREQ(view.cache[1].receivedType, "_signed_char_p");
}

TEST(TypeTable, ConversionIsAppliedOnMatchAndOnCacheHit)
{
    ASSERT_TRUE(addTypeEquivalence("_word", "_half_word", doubled));
    bool accepted = false;
    EXPECT_EQ(parsed("_10_half_word_p", "_word_p", accepted), 0x20u);
    EXPECT_TRUE(accepted);
    EXPECT_EQ(parsed("_11_half_word_p", "_word_p", accepted), 0x22u);
    EXPECT_TRUE(accepted);
    EXPECT_EQ(typeTableView().cache[0].hits, 2);
}

TEST(TypeTable, CacheRingHoldsEightMatches)
{
    ASSERT_TRUE(registerIntegerTypeEquivalences());
    const char *pairs[9][2] = {
        {"_1_unsigned_int_p", "_int_p"}, {"_1_signed_int_p", "_int_p"},       {"_1_unsigned_long_p", "_long_p"},
        {"_1_signed_long_p", "_long_p"}, {"_1_unsigned_short_p", "_short_p"}, {"_1_signed_short_p", "_short_p"},
        {"_1_int_p", "_signed_int_p"},   {"_1_long_p", "_signed_long_p"},     {"_1_short_p", "_signed_short_p"},
    };
    bool accepted = false;
    for (const auto &pair : pairs) {
        parsed(pair[0], pair[1], accepted);
        EXPECT_TRUE(accepted) << pair[0];
    }
    const auto view = typeTableView();
    EXPECT_EQ(view.insertPosition, 1);
    EXPECT_STREQ(view.cache[0].receivedType, "_short_p"); // the ninth overwrote the first
    EXPECT_STREQ(view.cache[1].receivedType, "_signed_int_p");
}

TEST(TypeTable, EquivalentOf255CharactersRefusesTheSearch)
{
    static const std::string longName = "_" + std::string(254, 'x');
    ASSERT_EQ(longName.size(), 255u);
    ASSERT_TRUE(addTypeEquivalence("_big", longName.c_str(), nullptr));
    const std::string text = "_2a" + longName;
    void *value = reinterpret_cast<void *>(0x77);
    EXPECT_NE(parsePointerString(text.c_str(), &value, "_big"), nullptr);
    EXPECT_EQ(value, reinterpret_cast<void *>(0x77)); // not written on this refusal
}

TEST(TypeTable, CandidateIsCutTo255Characters)
{
    static const std::string equivalent = "_" + std::string(249, 'e'); // 250 characters
    ASSERT_TRUE(addTypeEquivalence("_t", equivalent.c_str(), nullptr));
    const std::string expected = "_t" + std::string(20, 'r');
    const std::string received = equivalent + std::string(5, 'r'); // only 5 of the 20 fit
    bool accepted = false;
    parsed(("_3" + received).c_str(), expected.c_str(), accepted);
    EXPECT_TRUE(accepted);
    parsed(("_3" + equivalent + std::string(6, 'r')).c_str(), expected.c_str(), accepted);
    EXPECT_FALSE(accepted);
}

TEST(TypeTable, TableGrowsPastItsFirst64Heads)
{
    static std::vector<std::string> names;
    for (int i = 0; i < 70; ++i)
        names.push_back("_type" + std::to_string(i));
    for (const std::string &name : names)
        ASSERT_TRUE(addTypeEquivalence(name.c_str(), "_alias", nullptr));
    EXPECT_EQ(typeTableView().count, 70);
    EXPECT_EQ(typeTableView().capacity, 128);
    bool accepted = false;
    parsed("_9_alias", "_type7", accepted);
    EXPECT_TRUE(accepted);
}
