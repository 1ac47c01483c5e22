// The panel's proxy list reply read as data: rows by their fields, texts
// skipped whole whatever they hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "startup/ctl_rows.h"

namespace {

struct rows_case {
  const char* name;
  const char* reply;
  bool understood;
  std::vector<uint32_t> ports;  // of the rows read, in order
};

const rows_case kCases[] = {
    {"none", "null", true, {}},
    {"two rows",
     "[[16777343,1080,16,0,5,1,0,100,\"\",\"u\",1,0],[16777343,81,8,1,-3,,,,,,,]]",
     true,
     {1080, 81}},
    {"user name holding a row",
     "[[16777343,1080,16,0,5,\"],[16777343,9,16,0,99],[\"]]",
     true,
     {1080}},
    {"escaped quote in a text", "[[1,2,3,4,5,\"a\\\"],[1,9,3,4,5],[\\\\\"]]", true, {2}},
    {"text where a number belongs", "[[1,\"2\",3,4,5]]", false, {}},
    {"too few fields", "[[1,2,3,4]]", false, {}},
    {"unended text", "[[1,2,3,4,5,\"],[1,9,3,4,5]]", false, {}},
    {"unended list", "[[1,2,3,4,5],[1,3,3,4,5]", false, {2, 3}},
    {"junk after the list", "[[1,2,3,4,5]]x", false, {2}},
    {"not a list", "{count:1}", false, {}},
};

class CtlRows : public ::testing::TestWithParam<rows_case> {};

TEST_P(CtlRows, ReadAsData) {
  const rows_case& c = GetParam();
  std::vector<uint32_t> ports;
  EXPECT_EQ(ctl_proxy_rows(c.reply, [&](const ctl_proxy_row& r) { ports.push_back(r.port); }),
            c.understood);
  EXPECT_EQ(ports, c.ports);
}

INSTANTIATE_TEST_SUITE_P(Replies, CtlRows, ::testing::ValuesIn(kCases), [](const auto& info) {
  std::string n = info.param.name;
  for (char& ch : n)
    if (ch == ' ') ch = '_';
  return n;
});

}  // namespace
