#include <gtest/gtest.h>

#include <map>
#include <cstring>
#include <random>
#include <string>

#include "dde/FieldValues.h"

namespace {

// Against a tree map of the same fields: the same answers, in field order.
TEST(FieldValuesTest, BehavesAsAMapOfFieldsInIdOrder) {
  FieldValues values;
  std::map<int, std::string> model;
  std::mt19937 rng(3);
  for (int step = 0; step < 5000; ++step) {
    int fid = static_cast<int>(rng() % 300) - 10;
    if (rng() % 3 == 0) {
      ASSERT_EQ(values.count(fid), model.count(fid)) << fid;
      auto it = values.find(fid);
      auto expected = model.find(fid);
      ASSERT_EQ(it == values.end(), expected == model.end());
      if (expected != model.end()) {
        ASSERT_EQ(it->second, expected->second);
      }
    } else {
      std::string text = std::to_string(rng()) + std::string(rng() % 30, 'x');
      values[fid] = text;
      model[fid] = text;
    }
  }
  ASSERT_EQ(values.size(), model.size());
  auto expected = model.begin();
  for (const auto& entry : values) {
    ASSERT_EQ(entry.first, expected->first);
    ASSERT_EQ(entry.second, expected->second);
    ++expected;
  }
}

TEST(FieldValuesTest, NewFieldsReadEmpty) {
  FieldValues values;
  EXPECT_TRUE(values.empty());
  EXPECT_EQ(values.find(4), values.end());
  EXPECT_EQ(values[4], "");
  values[4] = "72.5";
  values[1] = "1";
  EXPECT_EQ(values[4], "72.5");
  EXPECT_EQ(values.size(), 2u);
  EXPECT_EQ(values.begin()->first, 1);
  const FieldValues& view = values;
  EXPECT_EQ(view.find(4)->second, "72.5");
  EXPECT_EQ(view.count(5), 0u);
}

// Texts move between in place and their own string as they grow and shrink;
// copies, moves and a text set from itself keep every byte.
TEST(FieldValuesTest, TextsKeepTheirBytesAcrossEveryLength) {
  const std::size_t lengths[] = {0, 1, 10, 11, 12, 40, 10, 0, 300, 11, 3};
  FieldText text;
  for (std::size_t n : lengths) {
    std::string want(n, 'a');
    for (std::size_t i = 0; i < n; ++i) want[i] = static_cast<char>('a' + (i * 7 + n) % 26);
    text = want;
    ASSERT_EQ(text, want) << n;
    ASSERT_EQ(text.size(), n);
    ASSERT_EQ(std::strlen(text.c_str()), n);
    FieldText copy(text);
    FieldText moved(std::move(copy));
    EXPECT_EQ(moved, want) << n;
    EXPECT_TRUE(copy.empty());
    text.assign(text.data() + n / 2, n - n / 2);
    EXPECT_EQ(text, want.substr(n / 2)) << n;
    text = moved;
    EXPECT_EQ(std::string(text), want);
  }
}

}  // namespace
