// Field extraction by pattern search.
#include <gtest/gtest.h>

#include "pool/json_str.h"

TEST(JsonStr, FindsOnlyQuotedStringValuesWithNoBlankAfterColon) {
  std::string v;
  EXPECT_TRUE(json_str(R"({"NewJob":{"job_id":"j1","difficulty":"1000"}})", "job_id", v));
  EXPECT_EQ(v, "j1");
  EXPECT_TRUE(json_str(R"({"job_id":""})", "job_id", v));
  EXPECT_EQ(v, "");

  v = "stale";
  EXPECT_FALSE(json_str(R"({"difficulty":1000})", "difficulty", v));
  EXPECT_EQ(v, "");
  EXPECT_FALSE(json_str(R"({"job_id": "x"})", "job_id", v));
  EXPECT_FALSE(json_str(R"({"other":"x"})", "job_id", v));
  EXPECT_FALSE(json_str(R"({"job_id":"x"})", nullptr, v));
  EXPECT_EQ(json_str(R"({"job_id": "x"})", "job_id"), "");
}

TEST(JsonStr, EscapesAreNotInterpreted) {
  // The value stops at the escaped quote and keeps the backslash before it.
  EXPECT_EQ(json_str(R"({"ShareRejected":{"reason":"bad \"nonce\""}})", "reason"), "bad \\");
  EXPECT_EQ(json_str(R"({"reason":"a\nb"})", "reason"), "a\\nb");
}

TEST(JsonStr, FirstOccurrenceAnywhereWins) {
  EXPECT_EQ(json_str(R"({"NewJob":{"meta":{"job_id":"inner"},"job_id":"outer"}})", "job_id"),
            "inner");
  // Plain text search: the pattern counts even where JSON would call it part of a string.
  EXPECT_EQ(json_str(R"({"note":"x "job_id":"fake" y","job_id":"real"})", "job_id"), "fake");
}

TEST(JsonStr, KeyMustBeWholeAndValueMayRunToEnd) {
  EXPECT_EQ(json_str(R"({"share_difficulty":"5"})", "difficulty"), "");
  EXPECT_EQ(json_str(R"({"share_difficulty":"5","difficulty":"7"})", "difficulty"), "7");
  EXPECT_EQ(json_str(R"({"job_id":"abc)", "job_id"), "abc");
  // Messages may carry NUL bytes (binary frames); the search must not stop at them.
  const std::string with_nul("\0{\"job_id\":\"a\0b\"}", 17);
  EXPECT_EQ(json_str(with_nul, "job_id"), std::string("a\0b", 3));
}
