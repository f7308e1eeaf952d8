// The texts the client sends.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "pool/messages.h"

TEST(PoolOutgoing, HelloIsExactAndFixedPartIs75) {
  EXPECT_EQ(hello_message("P", "W"),
            R"({"Hello":{"payout_address":"P","worker_name":"W","client":"tarn-cuda/1.0.8"}})");
  EXPECT_EQ(hello_message("", "").size(), 75u);
}

TEST(PoolOutgoing, JobResultIsExactAndFixedPartIs118) {
  const std::uint8_t zero[64] = {};
  const std::string zeros(128, '0');
  EXPECT_EQ(job_result_message("j1", nonce_hex(zero), 5),
            R"({"JobResult":{"status":"completed","job_id":"j1","nonce":")" + zeros +
                R"(","work":")" + zeros +
                R"(","hash_count":5,"elapsed_time":0.0,"miner_id":null}})");
  EXPECT_EQ(job_result_message("", "", 0).size(), 118u + 1u);
  const std::string top = job_result_message("j", "", UINT64_MAX);
  EXPECT_NE(top.find(R"("hash_count":18446744073709551615,)"), std::string::npos);
}

TEST(PoolOutgoing, NonceHexIsLowerCaseByteZeroFirst) {
  std::uint8_t nonce[64];
  for (int i = 0; i < 64; ++i) nonce[i] = static_cast<std::uint8_t>(i * 4 + 3);
  nonce[0] = 0xAB;
  nonce[63] = 0x0F;
  const std::string hex = nonce_hex(nonce);
  ASSERT_EQ(hex.size(), 128u);
  EXPECT_EQ(hex.substr(0, 6), "ab070b");
  EXPECT_EQ(hex.substr(122), "f7fb0f");
}

TEST(PoolOutgoing, LiteralValuesAreEscaped) {
  EXPECT_EQ(hello_message("a\"b\\c", std::string("x\ny\t\x01\x1f", 6)),
            R"({"Hello":{"payout_address":"a\"b\\c","worker_name":"x\ny\t\u0001\u001f",)"
            R"("client":"tarn-cuda/1.0.8"}})");
  // A user's literal backslash-n is sent as a backslash and an n, not as a newline.
  EXPECT_NE(hello_message("P", "a\\nb").find(R"("worker_name":"a\\nb")"), std::string::npos);
  EXPECT_NE(hello_message("P", "rig-\xc3\xa9").find("\"rig-\xc3\xa9\""), std::string::npos);
}

TEST(PoolOutgoing, ReceivedJobIdKeepsValidEscapesAndRepairsTheRest) {
  struct Case {
    const char* received;
    const char* sent;
  } cases[] = {
      {R"(a\nb)", R"(a\nb)"},        {R"(\u00e9\/\\\")", R"(\u00e9\/\\\")"},
      {R"(abc\)", R"(abc\\)"},       {R"(\x)", R"(\\x)"},
      {R"(\u12)", R"(\\u12)"},       {R"(\u12g4)", R"(\\u12g4)"},
      {"q\"t\tz", R"(q\"t\tz)"},     {"plain-42", "plain-42"},
  };
  for (const Case& c : cases) {
    EXPECT_NE(job_result_message(c.received, "00", 1)
                  .find(std::string("\"job_id\":\"") + c.sent + "\",\"nonce\""),
              std::string::npos)
        << c.received;
  }
}

TEST(PoolOutgoing, LongValuesAreNotCut) {
  const std::string payout(1000, 'p'), worker(1000, 'w'), job(2000, 'j');
  const std::string hello = hello_message(payout, worker);
  EXPECT_EQ(hello.size(), 75u + 2000u);
  const std::string hello_end = R"(","client":"tarn-cuda/1.0.8"}})";
  EXPECT_EQ(hello.substr(hello.size() - hello_end.size()), hello_end);
  const std::string result = job_result_message(job, std::string(128, 'f'), 7);
  EXPECT_EQ(result.size(), 118u + 2000u + 256u + 1u);
  const std::string result_end = R"(,"hash_count":7,"elapsed_time":0.0,"miner_id":null}})";
  EXPECT_EQ(result.substr(result.size() - result_end.size()), result_end);
}
