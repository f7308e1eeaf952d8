// Which devices a mode runs on: the ngpu word raised and capped, or a --devices list.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/device_list.h"

namespace {

TEST(ChooseDevices, NgpuWordOrList) {
  struct Case {
    const char* list;
    int ngpu;
    int count;
    std::vector<int> want;  // empty: refused
  };
  const Case cases[] = {
      {"", 0, 2, {0}},   // at least one
      {"", -4, 2, {0}},
      {"", 8, 2, {0, 1}},  // no more than there are
      {"", 1, 3, {0}},
      {"all", 1, 3, {0, 1, 2}},
      {"2,0", 1, 3, {2, 0}},  // in the order given
      {"3", 1, 3, {}},
      {"0,0", 1, 3, {}},
      {"0,,1", 1, 3, {}},
      {"1,", 1, 3, {}},  // an empty word is no device, not device 0
      {",1", 1, 3, {}},
      {"-1", 1, 3, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.list) + " ngpu=" + std::to_string(c.ngpu));
    std::vector<int> got;
    std::string why;
    EXPECT_EQ(tarn::choose_devices(c.list, c.ngpu, c.count, &got, &why), !c.want.empty());
    if (c.want.empty()) {
      EXPECT_FALSE(why.empty());
    } else {
      EXPECT_EQ(got, c.want);
    }
  }
}

}  // namespace
