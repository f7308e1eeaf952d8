// What the API answers, without a server: access rules, absent readings, hostile pool text.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "monitor/api_view.h"

namespace {

tarn::GpuStats sample_gpu(int gpu) {
  tarn::GpuStats g;
  g.gpu = gpu;
  g.name = "test device";
  g.url = "ws://pool.test/";
  g.connection = "connected";
  g.shares.accepted = 7;
  g.have_job = true;
  g.job_id = "j1";
  g.difficulty = "1000";
  return g;
}

TEST(ApiView, TokenFirstThenMethodThenPath) {
  tarn::StatsBoard board({0});
  tarn::ApiContext ctx;
  ctx.board = &board;
  ctx.token = "s3cret";
  struct Case {
    const char* method;
    const char* path;
    const char* auth;
    int status;
  };
  const Case cases[] = {
      {"GET", "/summary", "Bearer s3cret", 200},
      {"GET", "/metrics", "Bearer s3cret", 200},
      {"GET", "/summary", nullptr, 401},
      {"GET", "/summary", "Bearer s3cre", 401},
      {"GET", "/summary", "Bearer s3cretX", 401},
      {"GET", "/summary", "s3cret", 401},
      {"GET", "/nothing", nullptr, 401},  // nothing is told about paths without the token
      {"POST", "/summary", "Bearer s3cret", 405},
      {"DELETE", "/nothing", "Bearer s3cret", 405},
      {"GET", "/summary/", "Bearer s3cret", 404},
      {"GET", "/", "Bearer s3cret", 404},
  };
  for (const Case& c : cases) {
    const tarn::ApiReply r = tarn::api_answer(ctx, c.method, c.path, c.auth);
    EXPECT_EQ(r.status, c.status) << c.method << " " << c.path << " " << (c.auth ? c.auth : "-");
    EXPECT_EQ(r.challenge, c.status == 401);
  }
  ctx.token.clear();
  EXPECT_EQ(tarn::api_answer(ctx, "GET", "/summary", nullptr).status, 200);
}

TEST(ApiView, ReadingsTheDriverDidNotGiveAreAbsentNotZero) {
  tarn::GpuStats with = sample_gpu(0), without = sample_gpu(1);
  with.telemetry.temperature_c = 0;  // a real zero is still a reading
  with.telemetry.power_w = 151.5;
  without.have_job = false;
  tarn::ApiContext ctx;
  const auto doc = nlohmann::json::parse(tarn::summary_json(ctx, {with, without}, 1.0));
  EXPECT_EQ(doc["gpus"][0]["telemetry"], (nlohmann::json{{"temperature_c", 0}, {"power_w", 151.5}}));
  EXPECT_FALSE(doc["gpus"][1].contains("telemetry"));
  EXPECT_TRUE(doc["gpus"][1]["job"].is_null());
  EXPECT_EQ(doc["total"]["shares"]["accepted"], 14);

  const std::string m = tarn::metrics_text(ctx, {with, without}, 1.0);
  EXPECT_NE(m.find("tarn_gpu_temperature_celsius{gpu=\"0\"} 0\n"), std::string::npos) << m;
  EXPECT_EQ(m.find("tarn_gpu_temperature_celsius{gpu=\"1\"}"), std::string::npos) << m;
  EXPECT_NE(m.find("tarn_gpu_power_watts{gpu=\"0\"} 151.5\n"), std::string::npos) << m;
  // No GPU with a fan reading: the whole family is left out, HELP and TYPE included.
  EXPECT_EQ(m.find("tarn_gpu_fan_speed_ratio"), std::string::npos) << m;
  EXPECT_EQ(m.find("tarn_job_difficulty{gpu=\"1\"}"), std::string::npos) << m;
}

// Every share count differs, so each lands under its own name; the top-level URL is the one a
// worker is connected to, not the configured list.
TEST(ApiView, EachCountUnderItsOwnNameAndThePoolInUse) {
  tarn::GpuStats away = sample_gpu(0), on_b = sample_gpu(1);
  away.url = "ws://a.test/";
  away.connection = "connecting";
  on_b.url = "ws://b.test/";
  on_b.shares = tarn::ShareCounters{11, 5, 1, 2, 3, 0, 0};
  tarn::ApiContext ctx;
  ctx.url = "ws://a.test/,ws://b.test/";
  const auto doc = nlohmann::json::parse(tarn::summary_json(ctx, {away, on_b}, 1.0));
  EXPECT_EQ(doc["pool"]["url"].get<std::string>(), "ws://b.test/");
  EXPECT_EQ(doc["pool"]["state"], "partly connected");
  EXPECT_EQ(doc["gpus"][1]["shares"], (nlohmann::json{{"submitted", 11}, {"accepted", 5},
                                                      {"rejected", 1}, {"stale_skipped", 2},
                                                      {"throttled", 3}}));

  const std::string m = tarn::metrics_text(ctx, {away, on_b}, 1.0);
  for (const char* line :
       {"tarn_shares_total{gpu=\"1\",result=\"accepted\"} 5\n",
        "tarn_shares_total{gpu=\"1\",result=\"rejected\"} 1\n",
        "tarn_shares_total{gpu=\"1\",result=\"stale\"} 2\n",
        "tarn_shares_total{gpu=\"1\",result=\"throttled\"} 3\n",
        "tarn_shares_submitted_total{gpu=\"1\"} 11\n"})
    EXPECT_NE(m.find(line), std::string::npos) << line << m;
}

TEST(ApiView, PoolTextThatIsNotUtf8StillGivesValidJson) {
  tarn::GpuStats g = sample_gpu(0);
  g.job_id = std::string("j\xff\xfe\"\n\x01", 6);
  tarn::ApiContext ctx;
  const std::string text = tarn::summary_json(ctx, {g}, 1.0);
  const auto doc = nlohmann::json::parse(text, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << text;
  EXPECT_EQ(doc["gpus"][0]["job"]["id"], "j\xEF\xBF\xBD\xEF\xBF\xBD\"\n\x01");
}

}  // namespace
