// Classification and reading of the messages the pool sends.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>

#include "pool/messages.h"

TEST(PoolIncoming, ClassifiesByQuotedNameInFixedOrder) {
  struct Case {
    std::string text;
    MessageKind kind;
  } cases[] = {
      {R"({"NewJob":{"job_id":"1"}})", MessageKind::NewJob},
      {R"({"SetDifficulty":{"share_difficulty":5}})", MessageKind::SetDifficulty},
      {R"({"ShareAccepted":{}})", MessageKind::ShareAccepted},
      {R"({"ShareRejected":{"reason":"x"}})", MessageKind::ShareRejected},
      {R"({"HelloAck":{}})", MessageKind::HelloAck},
      // Order, not position, decides.
      {R"({"SetDifficulty":{},"NewJob":{}})", MessageKind::NewJob},
      {R"({"ShareRejected":{"reason":"HelloAck"}})", MessageKind::ShareRejected},
      {R"({"ShareRejected":{"reason":"ShareAccepted"}})", MessageKind::ShareAccepted},
      {std::string("\0{\"HelloAck\":{}}", 16), MessageKind::HelloAck},
      {R"({"Ping":{}})", MessageKind::Unknown},
      {R"({"note":"NewJob soon"})", MessageKind::Unknown},
      {R"({"NewJobs":{}})", MessageKind::Unknown},
  };
  for (const Case& c : cases) EXPECT_EQ(classify_message(c.text), c.kind) << c.text;
}

TEST(PoolIncoming, ReadsNewJob) {
  const std::string hash =
      "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
  const NewJob job = read_new_job(R"({"NewJob":{"job_id":"j\n7","difficulty":"1000",)"
                                  R"("mining_hash":")" + hash + R"("}})");
  EXPECT_EQ(job.job_id, "j\\n7");
  EXPECT_EQ(job.difficulty, "1000");
  EXPECT_EQ(job.difficulty_value, 1000u);
  EXPECT_EQ(job.mining_hash, hash);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(job.header[i], i);

  // A numeric difficulty is not found: empty text, value 0, the job is invalid.
  const NewJob numeric = read_new_job(R"({"NewJob":{"job_id":"j","difficulty":1000}})");
  EXPECT_EQ(numeric.difficulty, "");
  EXPECT_EQ(numeric.difficulty_value, 0u);
  EXPECT_EQ(read_new_job(R"({"NewJob":{"difficulty":"0"}})").difficulty_value, 0u);
  // Text around the digits makes the job invalid rather than a guess at the pool's meaning.
  EXPECT_EQ(read_new_job(R"({"NewJob":{"difficulty":" 42abc"}})").difficulty_value, 0u);
  EXPECT_EQ(read_new_job(R"({"NewJob":{"difficulty":"42"}})").difficulty_value, 42u);
}

TEST(PoolIncoming, HeaderHexRules) {
  const std::string lower = "abcdef0123456789abcdef0123456789abcdef0123456789abcdef01234567ff";
  std::string upper = lower;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(header_from_hex(upper), header_from_hex(lower));
  EXPECT_EQ(header_from_hex(lower)[0], 0xab);
  EXPECT_EQ(header_from_hex(lower)[31], 0xff);

  const auto short62 = header_from_hex(lower.substr(0, 62));
  EXPECT_EQ(short62[30], 0x67);
  EXPECT_EQ(short62[31], 0);
  EXPECT_EQ(header_from_hex(lower + "ee"), header_from_hex(lower));
  EXPECT_EQ(header_from_hex(lower.substr(0, 63))[31], 0x0f);  // one digit left: read alone

  std::string bad = lower;
  bad.replace(2, 2, "zz");
  const auto h = header_from_hex(bad);
  EXPECT_EQ(h[1], 0);
  EXPECT_EQ(h[2], 0xef);  // a bad byte does not shift the ones after it
  // Each byte reads only its own two characters, even where sscanf would skip a blank.
  const auto blank = header_from_hex(" 1" + lower.substr(2));
  EXPECT_EQ(blank[0], 0x01);
  EXPECT_EQ(blank[1], 0xcd);
  EXPECT_EQ(header_from_hex(""), (std::array<std::uint8_t, 32>{}));
}

// Only a plain decimal integer below 2^64 has an integer value; anything else reads 0 (a bad
// diff), so the integer and the float reading can never tell two different stories.
TEST(PoolIncoming, DifficultyTextReadsAsIntegerAndAsFloat) {
  EXPECT_EQ(difficulty_f64("1e8"), 1e8);
  const std::pair<const char*, std::uint64_t> cases[] = {
      {"1", 1},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", 0},
      {"18446744073709551617", 0},
      {"12345678901234567890123", 0},
      {"1e9", 0},
      {"-1", 0},
      {"+5", 0},
      {" 5", 0},
      {"5 ", 0},
      {"", 0},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(difficulty_u64(text), want) << text;
}

TEST(PoolIncoming, SetDifficultyConversions) {
  struct Case {
    const char* text;
    const char* difficulty;
  } cases[] = {
      {R"({"SetDifficulty":{"share_difficulty":2500.7}})", "2500"},
      {R"({"SetDifficulty":{"share_difficulty":1e6}})", "1000000"},
      {R"({"SetDifficulty":{"share_difficulty":"2500"}})", "0"},
      {R"({"SetDifficulty":{"share_difficulty":  7}})", "7"},
      {R"({"SetDifficulty":{"share_difficulty":0.9}})", "0"},
      {R"({"SetDifficulty":{"share_difficulty":18446744073709549568}})", "18446744073709549568"},
      // The key is found unquoted, so a longer key that contains it is read first.
      {R"({"SetDifficulty":{"max_share_difficulty":9,"share_difficulty":3}})", "9"},
      // No colon after the key: reading starts at the opening brace.
      {R"({"SetDifficulty":["share_difficulty"]})", "0"},
  };
  for (const Case& c : cases) {
    const SetDifficulty sd = read_set_difficulty(c.text);
    EXPECT_TRUE(sd.found) << c.text;
    EXPECT_TRUE(sd.usable) << c.text;
    EXPECT_EQ(sd.difficulty, c.difficulty) << c.text;
  }
  EXPECT_FALSE(read_set_difficulty(R"({"SetDifficulty":{"difficulty":5}})").found);
}

TEST(PoolIncoming, UnusableShareDifficultyIsIgnoredWithOneLine) {
  const char* bad[] = {"-5", "-0.5", "18446744073709551616", "1e400", "inf", "nan", "-inf"};
  for (const char* number : bad) {
    const SetDifficulty sd = read_set_difficulty(
        std::string(R"({"SetDifficulty":{"share_difficulty": )") + number + "}}");
    EXPECT_TRUE(sd.found) << number;
    EXPECT_FALSE(sd.usable) << number;
    EXPECT_EQ(sd.difficulty, "") << number;
    EXPECT_EQ(set_difficulty_ignored_line("[gpu0]", sd),
              std::string("[gpu0] SetDifficulty ignored: share_difficulty ") + number +
                  " is negative, not finite or 2^64 or more\n");
  }
}

TEST(PoolIncoming, RejectReason) {
  EXPECT_EQ(read_reject_reason(R"({"ShareRejected":{"reason":"low difficulty"}})"),
            "low difficulty");
  EXPECT_EQ(read_reject_reason(R"({"ShareRejected":{}})"), "");
}

// Only a colon between a key and its value counts; colons and blanks inside strings do not.
TEST(PoolIncoming, BlankAfterAColonIsSeenOutsideStringsOnly) {
  const struct {
    const char* text;
    bool blank;
  } cases[] = {
      {R"({"NewJob":{"job_id":"j1","difficulty":"2"}})", false},
      {R"({"NewJob": {"job_id":"j1"}})", true},
      {"{\"NewJob\":{\"job_id\":\n\"j1\"}}", true},
      {"{\"SetDifficulty\":{\"share_difficulty\":\t5}}", true},
      {R"({"ShareRejected":{"reason":"stale: too late"}})", false},
      {R"({"ShareRejected":{"reason":"a \": b"}})", false},
      {R"({"ShareAccepted":)", false},
  };
  for (const auto& c : cases) EXPECT_EQ(has_blank_after_colon(c.text), c.blank) << c.text;
}
