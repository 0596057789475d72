// Time values (milliseconds since 1970-01-01 UTC) and their text forms:
// ASN.1 UTCTime and GeneralizedTime, GeneralizedTime with milliseconds, and
// the display form "YYYY-MM-DD hh:mm:ss".
#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "KXTime.h"

namespace {

const long kMsPerSecond = 1000;

struct Fields {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads `count` decimal digits at text[0..count).
bool ReadDigits(const char* text, int count, int* value) {
  int v = 0;
  for (int i = 0; i < count; ++i) {
    if (!IsDigit(text[i])) return false;
    v = v * 10 + (text[i] - '0');
  }
  *value = v;
  return true;
}

// Two-digit years of UTCTime: below 50 is 20YY, otherwise 19YY.
int ExpandTwoDigitYear(int yy) { return yy < 50 ? 2000 + yy : 1900 + yy; }

// Month 1-12, day 1-31 whatever the month, hour 0-23, minute and second
// 0-59. A day beyond the month's end counts on into the next month.
bool FieldsInRange(const Fields& f) {
  return f.month >= 1 && f.month <= 12 && f.day >= 1 && f.day <= 31 &&
         f.hour <= 23 && f.minute <= 59 && f.second <= 59;
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar
// (leap years: divisible by 4, except centuries not divisible by 400). The
// count is linear in the day, so a day past the month's end rolls over.
long DaysFromCivil(int year, int month, int day) {
  // Count years from March so that the leap day is the last day of a year.
  const long y = year - (month <= 2 ? 1 : 0);
  const long era = (y >= 0 ? y : y - 399) / 400;
  const long yearOfEra = y - era * 400;                           // 0..399
  const long monthFromMarch = month > 2 ? month - 3 : month + 9;  // 0..11
  const long dayOfYear = (153 * monthFromMarch + 2) / 5 + day - 1;
  const long dayOfEra =
      yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;  // 719468: 0000-03-01 to 1970
}

// Seconds since 1970 of the fields read as UTC (what timegm computes).
long UtcSeconds(const Fields& f) {
  return DaysFromCivil(f.year, f.month, f.day) * 86400L + f.hour * 3600L +
         f.minute * 60L + f.second;
}

// Reads "hhmm" of an offset; hours at most 12, minutes at most 59.
bool ReadOffset(const char* text, char sign, long* offsetMinutes) {
  int hours = 0, minutes = 0;
  if (!ReadDigits(text, 2, &hours) || !ReadDigits(text + 2, 2, &minutes) ||
      hours > 12 || minutes > 59)
    return false;
  *offsetMinutes = (sign == '-' ? -1 : 1) * (hours * 60L + minutes);
  return true;
}

// Reads YYMMDDhhmmss (yearDigits 2) or YYYYMMDDhhmmss (yearDigits 4).
bool ReadCompactFields(const char* text, int yearDigits, Fields* f) {
  const char* p = text + yearDigits;
  if (!ReadDigits(text, yearDigits, &f->year) || !ReadDigits(p, 2, &f->month) ||
      !ReadDigits(p + 2, 2, &f->day) || !ReadDigits(p + 4, 2, &f->hour) ||
      !ReadDigits(p + 6, 2, &f->minute) || !ReadDigits(p + 8, 2, &f->second))
    return false;
  if (yearDigits == 2) f->year = ExpandTwoDigitYear(f->year);
  return FieldsInRange(*f);
}

// Splits ms into whole seconds (rounded down, so that times before 1970 keep
// their date) and the milliseconds 0-999 within that second.
void SplitMs(long ms, time_t* seconds, int* millis) {
  long s = ms / kMsPerSecond;
  long rest = ms % kMsPerSecond;
  if (rest < 0) {
    rest += kMsPerSecond;
    --s;
  }
  *seconds = static_cast<time_t>(s);
  *millis = static_cast<int>(rest);
}

// Calendar fields of `seconds` in UTC or local time; false when the
// conversion fails or the year does not fit four digits.
bool BreakDown(time_t seconds, bool utc, struct tm* out) {
  struct tm* r = utc ? gmtime_r(&seconds, out) : localtime_r(&seconds, out);
  if (r == nullptr) return false;
  const long year = out->tm_year + 1900L;
  return year >= 0 && year <= 9999;
}

// A ckxstr holding the `expected` bytes of `text`, or an empty one when the
// formatted length differs or the copy fails.
ckxstr MakeText(const char* text, int formatted, int expected, int tag) {
  ckxstr out;
  if (formatted != expected ||
      !out.assign(text, static_cast<uint32_t>(expected), false, false, tag))
    return ckxstr();
  return out;
}

}  // namespace

long KXGetTime(bool precise) {
  if (precise) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<long>(tv.tv_sec) * kMsPerSecond + tv.tv_usec / 1000;
  }
  return static_cast<long>(time(nullptr)) * kMsPerSecond;
}

long KXGetTick() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<long>(tv.tv_sec) * 1000000L + tv.tv_usec;
}

ckxstr KXTimeToGeneralized(long ms, bool utc) {
  time_t seconds;
  int millis;
  SplitMs(ms, &seconds, &millis);
  struct tm t;
  if (!BreakDown(seconds, utc, &t)) return ckxstr();
  char buf[32];
  int n = snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d.%03dZ",
                   t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                   t.tm_min, t.tm_sec, millis);
  return MakeText(buf, n, 19, ckxstr::kUtf8);
}

ckxstr KXTimeToStr(long ms, bool asn1, bool utc) {
  time_t seconds;
  int millis;
  SplitMs(ms, &seconds, &millis);
  struct tm t;
  if (!BreakDown(seconds, utc, &t)) return ckxstr();
  const int year = t.tm_year + 1900;
  char buf[32];
  if (!asn1) {
    int n = snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", year,
                     t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return MakeText(buf, n, 19, ckxstr::kBytes);
  }
  if (year >= 1950 && year <= 2049) {
    int n = snprintf(buf, sizeof buf, "%02d%02d%02d%02d%02d%02dZ", year % 100,
                     t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return MakeText(buf, n, 13, ckxstr::kBytes);
  }
  int n = snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02dZ", year,
                   t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return MakeText(buf, n, 15, ckxstr::kBytes);
}

long KXStrToTime(const char* text, int len, bool utc) {
  if (text == nullptr) return -1;
  const size_t size = len < 0 ? strlen(text) : static_cast<size_t>(len);
  Fields f;
  long offsetMinutes = 0;
  int millis = 0;
  switch (size) {
    case 13:  // YYMMDDhhmmssZ
      if (!ReadCompactFields(text, 2, &f) || text[12] != 'Z') return -1;
      break;
    case 15:  // YYYYMMDDhhmmssZ
      if (!ReadCompactFields(text, 4, &f) || text[14] != 'Z') return -1;
      break;
    case 17:  // YYMMDDhhmmss+hhmm
      if (!ReadCompactFields(text, 2, &f) ||
          (text[12] != '+' && text[12] != '-') ||
          !ReadOffset(text + 13, text[12], &offsetMinutes))
        return -1;
      break;
    case 19:
      if (text[14] == '+' || text[14] == '-') {  // YYYYMMDDhhmmss+hhmm
        if (!ReadCompactFields(text, 4, &f) ||
            !ReadOffset(text + 15, text[14], &offsetMinutes))
          return -1;
      } else if (text[18] == 'Z') {  // YYYYMMDDhhmmss.fffZ
        if (!ReadCompactFields(text, 4, &f) || text[14] != '.' ||
            !ReadDigits(text + 15, 3, &millis))
          return -1;
      } else {  // YYYY-MM-DD hh:mm:ss, any separators
        if (!ReadDigits(text, 4, &f.year) ||
            !ReadDigits(text + 5, 2, &f.month) ||
            !ReadDigits(text + 8, 2, &f.day) ||
            !ReadDigits(text + 11, 2, &f.hour) ||
            !ReadDigits(text + 14, 2, &f.minute) ||
            !ReadDigits(text + 17, 2, &f.second) || !FieldsInRange(f))
          return -1;
        if (!utc) {
          struct tm t;
          memset(&t, 0, sizeof t);
          t.tm_year = f.year - 1900;
          t.tm_mon = f.month - 1;
          t.tm_mday = f.day;
          t.tm_hour = f.hour;
          t.tm_min = f.minute;
          t.tm_sec = f.second;
          // Let the C library decide whether daylight saving applies; in the
          // repeated hour of a change it picks one of the two instants.
          t.tm_isdst = -1;
          // -1 is also a valid instant: a failure is told by mktime leaving
          // the weekday unset.
          t.tm_wday = -1;
          time_t local = mktime(&t);
          if (local == static_cast<time_t>(-1) && t.tm_wday == -1) return -1;
          return static_cast<long>(local) * kMsPerSecond;
        }
      }
      break;
    default:
      return -1;
  }
  return (UtcSeconds(f) - offsetMinutes * 60) * kMsPerSecond + millis;
}

long KXASN1ToTime(const char* text, int len, bool generalized) {
  // The contents must end exactly at len with their terminator.
  if (text == nullptr || len < 0 || text[len] != '\0') return -1;
  int pos = 0;
  // Reads two digits at pos, moving past them.
  auto take2 = [&](int* value) {
    if (len - pos < 2 || !ReadDigits(text + pos, 2, value)) return false;
    pos += 2;
    return true;
  };
  Fields f;
  if (generalized) {
    if (len < 4 || !ReadDigits(text, 4, &f.year)) return -1;
    pos = 4;
  } else {
    if (!take2(&f.year)) return -1;
    f.year = ExpandTwoDigitYear(f.year);
  }
  if (!take2(&f.month) || !take2(&f.day) || !take2(&f.hour) ||
      !take2(&f.minute))
    return -1;
  if (pos < len && IsDigit(text[pos]) && !take2(&f.second)) return -1;
  if (!FieldsInRange(f)) return -1;

  long offsetMinutes = 0;
  if (generalized) {
    // Exactly ".fffZ" after the seconds of a 19-byte text: milliseconds.
    int millis = 0;
    if (len == 19 && pos + 5 == len && text[pos] == '.' &&
        ReadDigits(text + pos + 1, 3, &millis) && text[pos + 4] == 'Z')
      return UtcSeconds(f) * kMsPerSecond + millis;
    // Any other fraction is skipped; a text that ends there is UTC.
    while (pos < len &&
           (IsDigit(text[pos]) || text[pos] == '.' || text[pos] == ','))
      ++pos;
    if (pos == len) return UtcSeconds(f) * kMsPerSecond;
  }
  if (pos >= len) return -1;
  if (text[pos] == 'Z') {
    ++pos;
  } else if (text[pos] == '+' || text[pos] == '-') {
    if (len - pos < 5 || !ReadOffset(text + pos + 1, text[pos], &offsetMinutes))
      return -1;
    pos += 5;
  } else {
    return -1;
  }
  if (pos != len) return -1;

  const long value = (UtcSeconds(f) - offsetMinutes * 60) * kMsPerSecond;
  // The offset must not carry the instant across 1970 from the year written.
  if ((f.year >= 1970) != (value >= 0)) return -1;
  return value;
}

long KXASN1ToTime2(ASN1_STRING* time) {
  if (time == nullptr) return -1;
  const unsigned char* data = ASN1_STRING_get0_data(time);
  if (data == nullptr) return -1;
  return KXASN1ToTime(reinterpret_cast<const char*>(data),
                      ASN1_STRING_length(time),
                      ASN1_STRING_type(time) == V_ASN1_GENERALIZEDTIME);
}
