#include "QuarnJson.h"

#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace {

struct TextDeleter
{
    void operator()(char* text) const { quarn_json_freetext(text); }
};
struct ItemDeleter
{
    void operator()(quarn_json* item) const { quarn_json_free(item); }
};
using Item = std::unique_ptr<quarn_json, ItemDeleter>;

std::string Encode(const quarn_json* object, unsigned options)
{
    char* raw = nullptr;
    int length = -1;
    EXPECT_EQ(quarn_json_encode(object, options, &raw, &length), 1);
    std::unique_ptr<char, TextDeleter> text(raw);
    return raw ? std::string(raw, static_cast<size_t>(length)) : std::string();
}

// Adds an item and gives up our ownership only when the object took it.
bool Add(quarn_json* object, const char* name, Item item)
{
    if (quarn_json_addobjectitem(object, name, -1, item.get()) != 1)
        return false;
    (void)item.release();
    return true;
}

} // namespace

TEST(QuarnJson, OperationRecordKeepsMemberOrderAndIntegralType)
{
    Item record(quarn_json_newobject());
    ASSERT_TRUE(record);
    ASSERT_TRUE(Add(record.get(), "logtype", Item(quarn_json_newnumber(2))));
    ASSERT_TRUE(Add(record.get(), "projectid", Item(quarn_json_newstring("P001", -1))));
    ASSERT_TRUE(Add(record.get(), "projectname", Item(quarn_json_newstring("", 0))));
    ASSERT_TRUE(Add(record.get(), "logmsg", Item(quarn_json_newstring("开始解标...", -1))));

    EXPECT_EQ(Encode(record.get(), QUARN_JSON_COMPACT | QUARN_JSON_UTF8),
        R"({"logtype":2,"projectid":"P001","projectname":"","logmsg":"开始解标..."})");
}

TEST(QuarnJson, OptionsChooseIndentAndEscaping)
{
    Item object(quarn_json_newobject());
    ASSERT_TRUE(Add(object.get(), "m", Item(quarn_json_newstring("标", -1))));

    EXPECT_EQ(Encode(object.get(), QUARN_JSON_COMPACT), R"({"m":"\u6807"})");
    EXPECT_EQ(Encode(object.get(), QUARN_JSON_UTF8), "{\n  \"m\": \"标\"\n}");
}

TEST(QuarnJson, HostileStringsAreEscapedAndRoundTrip)
{
    const std::string hostile = std::string("a\"b\\c\n\t\x01", 8) + "</script>" + std::string(1, '\0') + "z";
    Item object(quarn_json_newobject());
    ASSERT_TRUE(
        Add(object.get(), "x", Item(quarn_json_newstring(hostile.data(), static_cast<int>(hostile.size())))));

    const auto parsed = nlohmann::json::parse(Encode(object.get(), QUARN_JSON_COMPACT | QUARN_JSON_UTF8));
    EXPECT_EQ(parsed.at("x").get<std::string>(), hostile);
}

TEST(QuarnJson, NumbersKeepFractionsAndRefuseNonFinite)
{
    Item object(quarn_json_newobject());
    ASSERT_TRUE(Add(object.get(), "whole", Item(quarn_json_newnumber(-7))));
    ASSERT_TRUE(Add(object.get(), "half", Item(quarn_json_newnumber(0.5))));
    EXPECT_EQ(Encode(object.get(), QUARN_JSON_COMPACT), R"({"whole":-7,"half":0.5})");

    EXPECT_EQ(quarn_json_newnumber(NAN), nullptr);
    EXPECT_EQ(quarn_json_newnumber(INFINITY), nullptr);
}

TEST(QuarnJson, RefusalsLeaveTheItemWithTheCaller)
{
    Item object(quarn_json_newobject());
    ASSERT_TRUE(Add(object.get(), "k", Item(quarn_json_newnumber(1))));

    Item duplicate(quarn_json_newnumber(2));
    EXPECT_EQ(quarn_json_addobjectitem(object.get(), "k", -1, duplicate.get()), 0);
    EXPECT_EQ(quarn_json_addobjectitem(object.get(), "\xff", -1, duplicate.get()), 0);
    EXPECT_EQ(quarn_json_addobjectitem(object.get(), "self", -1, object.get()), 0);
    EXPECT_EQ(quarn_json_addobjectitem(duplicate.get(), "into-a-number", -1, object.get()), 0);
    EXPECT_EQ(quarn_json_addobjectitem(nullptr, "k", -1, duplicate.get()), 0);
    // The refused item is still ours and still usable: the object takes it under a fresh name.
    EXPECT_TRUE(Add(object.get(), "k2", std::move(duplicate)));
    EXPECT_EQ(Encode(object.get(), QUARN_JSON_COMPACT), R"({"k":1,"k2":2})");
}

TEST(QuarnJson, InvalidUtf8AndNullArgumentsAreRefused)
{
    EXPECT_EQ(quarn_json_newstring("\xc3\x28", -1), nullptr);
    EXPECT_EQ(quarn_json_newstring("\xed\xa0\x80", -1), nullptr); // an encoded surrogate
    EXPECT_EQ(quarn_json_newstring(nullptr, 0), nullptr);

    char* text = nullptr;
    int length = 0;
    EXPECT_EQ(quarn_json_encode(nullptr, 0, &text, &length), 0);
    EXPECT_EQ(text, nullptr);
    quarn_json_free(nullptr);
    quarn_json_freetext(nullptr);
}

TEST(QuarnJson, NestedObjectsAreOwnedByTheirParent)
{
    Item outer(quarn_json_newobject());
    Item inner(quarn_json_newobject());
    ASSERT_TRUE(Add(inner.get(), "n", Item(quarn_json_newnumber(3))));
    ASSERT_TRUE(Add(outer.get(), "inner", std::move(inner)));
    EXPECT_EQ(Encode(outer.get(), QUARN_JSON_COMPACT), R"({"inner":{"n":3}})");
}
