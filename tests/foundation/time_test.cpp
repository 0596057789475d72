// Time parsers and formatters. Expected instants are UTC epoch values (as
// Python's calendar.timegm gives them); local-time cases run in CST-8
// (UTC + 8 hours, no daylight saving), set here.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <sys/time.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include "KXTime.h"

namespace {

const long k2024 = 1704067200000;  // 2024-01-01 00:00:00Z
const long k2024Noon = k2024 + 12 * 3600000L;
const long kHour = 3600000;

class TimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "CST-8", 1);
    tzset();
  }
};

std::string Str(const ckxstr& s) { return std::string(s.c_str(), s.length()); }

TEST_F(TimeTest, StrToTimeShapes) {
  struct Row {
    const char* text;
    bool utc;
    long want;
  };
  const Row rows[] = {
      // Two-digit years: below 50 is 20YY.
      {"491231235959Z", true, 2524607999000},
      {"500101000000Z", true, -631152000000},
      {"000101000000Z", true, 946684800000},
      {"991231235959Z", true, 946684799000},
      {"20240101000000Z", false, k2024},
      {"20240101080000+0800", false, k2024},
      {"20231231200000-0400", true, k2024},
      {"240101080000+0800", true, k2024},
      {"240101000000+1200", true, k2024 - 12 * kHour},
      {"20240101000000.500Z", true, k2024 + 500},
      {"2024-01-01 00:00:00", true, k2024},
      {"2024-01-01 08:00:00", false, k2024},  // local, UTC + 8
      {"2024/01/01T00.00.00", true, k2024},   // any separators
      {"2024-02-31 00:00:00", true, k2024 + (31 + 30) * 24 * kHour},  // Mar 2
      {"2024-01-01 23:59:59", true, k2024 + 24 * kHour - 1000},
      // Rejected.
      {"20240101000000.5Z", true, -1},
      {"20240101000000.50Z", true, -1},
      {"2024-13-01 00:00:00", true, -1},
      {"2024-00-01 00:00:00", true, -1},
      {"2024-01-00 00:00:00", true, -1},
      {"2024-01-32 00:00:00", true, -1},
      {"2024-01-01 24:00:00", true, -1},
      {"2024-01-01 00:60:00", true, -1},
      {"2024-01-01 00:00:60", true, -1},
      {"2024-01-01 0a:00:00", true, -1},
      {"20240101000000+1300", true, -1},
      {"20240101000000+0060", true, -1},
      {"20240101000000 0800", true, -1},
      {"20240101000000X500Z", true, -1},
      {"2024010100000aZ", true, -1},
      {"20240101000000z", true, -1},
      {"491231235959", true, -1},
      {"491231235959+", true, -1},
      {"240101000000*0800", true, -1},
      {"", true, -1},
      {"2024-01-01T00:00:00Z", true, -1},
  };
  for (const Row& r : rows)
    EXPECT_EQ(r.want, KXStrToTime(r.text, -1, r.utc)) << r.text;
}

TEST_F(TimeTest, StrToTimeLength) {
  EXPECT_EQ(-1, KXStrToTime(nullptr, -1, true));
  EXPECT_EQ(k2024, KXStrToTime("20240101000000Zjunk", 15, true));
  EXPECT_EQ(-1, KXStrToTime("20240101000000Z", 14, true));
  const char withZero[] =
      "2024-01-01\0"
      "00:00:00";
  EXPECT_EQ(k2024, KXStrToTime(withZero, 19, true));
}

TEST_F(TimeTest, ASN1ToTimeShapes) {
  struct Row {
    const char* text;
    bool generalized;
    long want;
  };
  const Row rows[] = {
      {"2401011200Z", false, k2024Noon},  // no seconds
      {"240101120000Z", false, k2024Noon},
      {"2401012000+0800", false, k2024Noon},
      {"500101000000Z", false, -631152000000},
      {"491231235959Z", false, 2524607999000},
      {"20240101120000.123456Z", true, k2024Noon},  // fraction ignored
      {"20240101120000,5Z", true, k2024Noon},
      {"20240101120000.123Z", true, k2024Noon + 123},
      {"20240101120000", true, k2024Noon},  // no zone: UTC
      {"202401011200", true, k2024Noon},
      {"20240101200000+0800", true, k2024Noon},
      {"20240101073000-0430", true, k2024Noon},
      {"20240101120000.5+0000", true, k2024Noon},
      {"19491231235959Z", true, -631152001000},
      {"16000229000000Z", true, -11670998400000},
      {"20000229000000Z", true, 951782400000},
      {"21000229000000Z", true, 4107542400000},  // not a leap year: Mar 1
      {"00010101000000Z", true, -62135596800000},
      {"99991231235959Z", true, 253402300799000},
      // Rejected.
      {"240101120000", false, -1},  // UTCTime needs a zone
      {"240101120000.5Z", false, -1},
      {"20240101120000Zx", true, -1},
      {"20240101120000+1300", true, -1},
      {"20240101120000+0060", true, -1},
      {"20240101120000+080", true, -1},
      {"20241301120000Z", true, -1},
      {"20240132120000Z", true, -1},
      {"20240101240000Z", true, -1},
      {"20240101126000Z", true, -1},
      {"20240101120060Z", true, -1},
      {"2024010112000Z", true, -1},  // a lone seconds digit
      {"2024Z", true, -1},
      {"", true, -1},
      {"", false, -1},
      // The offset may not carry the instant across 1970.
      {"19700101000000+0100", true, -1},
      {"19691231230000-0100", true, -1},
      {"700101000000Z", false, 0},
  };
  for (const Row& r : rows)
    EXPECT_EQ(r.want, KXASN1ToTime(r.text, static_cast<int>(strlen(r.text)),
                                   r.generalized))
        << r.text;
}

TEST_F(TimeTest, ASN1ToTimeNeedsTheTerminatorAtLen) {
  EXPECT_EQ(-1, KXASN1ToTime("20240101120000Z", 14, true));
  EXPECT_EQ(-1, KXASN1ToTime("240101120000Z", 12, false));
  EXPECT_EQ(-1, KXASN1ToTime("240101120000Z", -1, false));
  EXPECT_EQ(-1, KXASN1ToTime(nullptr, 0, false));
}

// The calendar computation against the C library's timegm over the whole
// range of four-digit years.
TEST_F(TimeTest, ASN1ToTimeAgreesWithTimegm) {
  std::mt19937 rng(20240506);
  for (int i = 0; i < 3000; ++i) {
    struct tm t = {};
    t.tm_year = static_cast<int>(rng() % 10000) - 1900;
    t.tm_mon = static_cast<int>(rng() % 12);
    t.tm_mday = 1 + static_cast<int>(rng() % 28);
    t.tm_hour = static_cast<int>(rng() % 24);
    t.tm_min = static_cast<int>(rng() % 60);
    t.tm_sec = static_cast<int>(rng() % 60);
    char text[32];
    snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02dZ", t.tm_year + 1900,
             t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    const long want = static_cast<long>(timegm(&t)) * 1000;
    ASSERT_EQ(want, KXASN1ToTime(text, 15, true)) << text;
    ASSERT_EQ(want, KXStrToTime(text, -1, true)) << text;
  }
}

TEST_F(TimeTest, ASN1ToTime2FollowsTheStringType) {
  EXPECT_EQ(-1, KXASN1ToTime2(nullptr));
  // OpenSSL picks UTCTime for 1950-2049 and GeneralizedTime otherwise.
  for (long seconds : {0L, 1704110400L, -631152000L, -631152001L, 2524608000L,
                       253402300799L}) {
    ASN1_TIME* t = ASN1_TIME_set(nullptr, seconds);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(seconds * 1000, KXASN1ToTime2(t)) << seconds;
    ASN1_TIME_free(t);
  }
  ASN1_STRING* wrongType = ASN1_STRING_type_new(V_ASN1_UTCTIME);
  ASSERT_EQ(1, ASN1_STRING_set(wrongType, "20240101120000Z", -1));
  EXPECT_EQ(-1, KXASN1ToTime2(wrongType));
  ASN1_STRING_free(wrongType);
}

TEST_F(TimeTest, Formatters) {
  struct Row {
    long ms;
    bool asn1;
    bool utc;
    const char* want;
  };
  const Row rows[] = {
      {0, true, true, "700101000000Z"},
      {0, false, true, "1970-01-01 00:00:00"},
      {0, false, false, "1970-01-01 08:00:00"},
      {0, true, false, "700101080000Z"},
      {2524607999999, true, true, "491231235959Z"},
      {2524608000000, true, true, "20500101000000Z"},
      {-631152000000, true, true, "500101000000Z"},
      {-1, true, true, "691231235959Z"},  // rounds down to the second
      {-631152000001, true, true, "19491231235959Z"},
      {253402300799999, false, true, "9999-12-31 23:59:59"},
      {253402300800000, false, true, ""},  // five-digit year
      {-62167219200001, true, true, ""},   // before year 0
  };
  for (const Row& r : rows)
    EXPECT_EQ(r.want, Str(KXTimeToStr(r.ms, r.asn1, r.utc))) << r.ms;

  const ckxstr g = KXTimeToGeneralized(1234, true);
  EXPECT_EQ("19700101000001.234Z", Str(g));
  EXPECT_EQ(ckxstr::kUtf8, g.tag());
  EXPECT_EQ("19700101080001.234Z", Str(KXTimeToGeneralized(1234, false)));
  EXPECT_EQ("19691231235959.999Z", Str(KXTimeToGeneralized(-1, true)));
  EXPECT_EQ("", Str(KXTimeToGeneralized(253402300800000, true)));
}

TEST_F(TimeTest, RoundTrips) {
  for (long ms : {0L, 1L, 999L, -1L, k2024 + 7, 2524607999999L, -631152000001L,
                  253402271999999L}) {
    EXPECT_EQ(ms, KXStrToTime(KXTimeToGeneralized(ms, true).c_str(), -1, true));
    const long seconds = ms >= 0 ? ms / 1000 * 1000 : (ms - 999) / 1000 * 1000;
    EXPECT_EQ(seconds,
              KXStrToTime(KXTimeToStr(ms, true, true).c_str(), -1, true));
    EXPECT_EQ(seconds,
              KXStrToTime(KXTimeToStr(ms, false, false).c_str(), -1, false));
    const ckxstr asn1 = KXTimeToStr(ms, true, true);
    EXPECT_EQ(seconds,
              KXASN1ToTime(asn1.c_str(), static_cast<int>(asn1.length()),
                           asn1.length() == 15));
  }
}

// Margins: the clock is read around each call; the coarse value may lag the
// precise one by up to a second.
TEST_F(TimeTest, ClockReadings) {
  struct timeval before, after;
  gettimeofday(&before, nullptr);
  const long precise = KXGetTime(true);
  const long coarse = KXGetTime(false);
  const long tick = KXGetTick();
  gettimeofday(&after, nullptr);
  const long lowMs = before.tv_sec * 1000L + before.tv_usec / 1000;
  const long highMs = after.tv_sec * 1000L + after.tv_usec / 1000;
  EXPECT_GE(precise, lowMs);
  EXPECT_LE(precise, highMs);
  EXPECT_EQ(0, coarse % 1000);
  EXPECT_GE(coarse, lowMs - 1000);
  EXPECT_LE(coarse, highMs);
  EXPECT_GE(tick, before.tv_sec * 1000000L + before.tv_usec);
  EXPECT_LE(tick, after.tv_sec * 1000000L + after.tv_usec);
}

}  // namespace
