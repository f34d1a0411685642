// The automation date and the variant's coercions.
#include <gtest/gtest.h>

#include "tavikuser/automation.h"
#include "tavikuser/date_time.h"
#include "tavikuser/variant.h"

namespace tavikuser {
namespace {

TEST(DateTimeTest, ZeroIsTheEpochAtMidnight) {
  const DateTime::Calendar c = DateTime().ToCalendar();
  EXPECT_EQ(c.year, 1899);
  EXPECT_EQ(c.month, 12);
  EXPECT_EQ(c.day, 30);
  EXPECT_EQ(c.hour, 0);
  EXPECT_EQ(DateTime().ToIsoText(), "1899-12-30 00:00:00.000");
}

TEST(DateTimeTest, CalendarRoundTripsToTheMillisecond) {
  for (const char* text :
       {"2024-02-29 23:59:59.999", "1900-03-01 00:00:00.001",
        "1899-12-29 06:00:00.000", "0100-01-01 00:00:00.000",
        "9999-12-31 23:59:59.999", "1970-01-01 12:34:56.789"}) {
    const auto date = DateTime::FromIsoText(text);
    ASSERT_TRUE(date) << text;
    EXPECT_EQ(date->ToIsoText(), text);
  }
  // Before the zero date the day counts back, the time of day forwards.
  EXPECT_DOUBLE_EQ(DateTime::FromIsoText("1899-12-29 06:00")->oadate(), -1.25);
  EXPECT_DOUBLE_EQ(DateTime::FromIsoText("1900-01-01")->oadate(), 2.0);
}

TEST(DateTimeTest, ReadsTheFormsHostsKeep) {
  EXPECT_EQ(DateTime::FromIsoText("2024-05-06T07:08:09")->ToIsoText(),
            "2024-05-06 07:08:09.000");
  EXPECT_EQ(DateTime::FromIsoText("2024-05-06 07:08")->ToIsoText(),
            "2024-05-06 07:08:00.000");
  EXPECT_EQ(DateTime::FromIsoText("2024-05-06 07:08:09.1234567")->ToIsoText(),
            "2024-05-06 07:08:09.123");
  for (const char* bad :
       {"", "2024-13-01", "2023-02-29", "2024-05-06 24:00", "2024-5-6",
        "2024-05-06 07:08:09.", "yesterday", "2024-05-06x"}) {
    EXPECT_FALSE(DateTime::FromIsoText(bad)) << bad;
  }
}

TEST(VariantTest, CoercesAsAutomationDoes) {
  EXPECT_EQ(Variant().ToText(), "");
  EXPECT_EQ(Variant(std::int32_t{42}).ToText(), "42");
  EXPECT_EQ(Variant(true).ToText(), "True");
  EXPECT_EQ(Variant(" 17 ").ToI4(), 17);
  EXPECT_EQ(Variant(2.5).ToI4(), 2);  // half to even
  EXPECT_EQ(Variant(3.5).ToI4(), 4);
  EXPECT_TRUE(Variant("true").ToBool());
  EXPECT_EQ(Variant(true).ToI4(), -1);
  EXPECT_EQ(Variant("2024-01-02 03:04:05.678").ToDate().ToIsoText(),
            "2024-01-02 03:04:05.678");
  EXPECT_EQ(Variant(std::int32_t{2}).ToDate().ToIsoText(),
            "1900-01-01 00:00:00.000");
}

TEST(VariantTest, NullAndNonsenseAreTypeMismatches) {
  auto expect_mismatch = [](auto convert) {
    try {
      convert();
      ADD_FAILURE() << "no type mismatch";
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.status(), automation::kTypeMismatch);
    }
  };
  expect_mismatch([] { Variant::Null().ToText(); });
  expect_mismatch([] { Variant::Null().ToDate(); });
  expect_mismatch([] { Variant("not a date").ToDate(); });
  expect_mismatch([] { Variant("12abc").ToI4(); });
  expect_mismatch([] { Variant(5e10).ToI4(); });
  expect_mismatch([] { Variant("x").ToObject(); });
}

}  // namespace
}  // namespace tavikuser
