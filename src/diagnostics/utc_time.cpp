#include "diagnostics/utc_time.h"

#include <cstdio>

namespace quimbel::utc {
namespace {

struct Parts {
  int year;
  unsigned month, day;
  int hour, minute, second;
};

Parts split(Time time) {
  using namespace std::chrono;
  const auto secs = floor<seconds>(time);
  const auto day = floor<days>(secs);
  const year_month_day date(day);
  const hh_mm_ss clock(secs - day);
  return {static_cast<int>(date.year()),
          static_cast<unsigned>(date.month()),
          static_cast<unsigned>(date.day()),
          static_cast<int>(clock.hours().count()),
          static_cast<int>(clock.minutes().count()),
          static_cast<int>(clock.seconds().count())};
}

std::string format(const char* pattern, Time time) {
  const Parts p = split(time);
  char text[64];
  std::snprintf(text, sizeof text, pattern, p.year, p.month, p.day, p.hour, p.minute, p.second);
  return text;
}

bool digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

// "yyyy-MM-dd?HH:mm:ss" with the separator at position 10.
std::optional<Time> dateAndTime(std::string_view text, char separator) {
  int year, month, day, hour, minute, second;
  if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[10] != separator ||
      text[13] != ':' || text[16] != ':' || !digits(text, 0, 4, year) ||
      !digits(text, 5, 2, month) || !digits(text, 8, 2, day) || !digits(text, 11, 2, hour) ||
      !digits(text, 14, 2, minute) || !digits(text, 17, 2, second)) {
    return std::nullopt;
  }
  using namespace std::chrono;
  const year_month_day date{
      year_month_day{std::chrono::year(year), std::chrono::month(month), std::chrono::day(day)}};
  if (!date.ok() || hour > 23 || minute > 59 || second > 60) return std::nullopt;
  return Time(sys_days(date)) + hours(hour) + std::chrono::minutes(minute) + seconds(second);
}

// "+HHMM", "+HH:MM", "-…" or "Z"; the offset east of UTC.
std::optional<std::chrono::minutes> zone(std::string_view text) {
  if (text == "Z") return std::chrono::minutes(0);
  if (text.size() < 5 || (text[0] != '+' && text[0] != '-')) return std::nullopt;
  int hh, mm;
  const std::size_t minuteAt = text[3] == ':' ? 4 : 3;
  if (text.size() != minuteAt + 2 || !digits(text, 1, 2, hh) || !digits(text, minuteAt, 2, mm)) {
    return std::nullopt;
  }
  const std::chrono::minutes offset(hh * 60 + mm);
  return text[0] == '-' ? -offset : offset;
}

}  // namespace

std::string fileStamp(Time time) { return format("%04d-%02u-%02u %02d%02d", time); }

std::string minutes(Time time) { return format("%04d-%02u-%02u %02d:%02d", time); }

std::string iso8601(Time time) { return format("%04d-%02u-%02uT%02d:%02d:%02dZ", time); }

std::optional<Time> parseIso8601(std::string_view text) {
  auto base = dateAndTime(text, 'T');
  if (!base) return std::nullopt;
  std::string_view rest = text.substr(19);
  std::chrono::nanoseconds fraction{0};
  if (!rest.empty() && rest.front() == '.') {
    std::size_t n = 1;
    long long scale = 100000000;
    while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9') {
      fraction += std::chrono::nanoseconds((rest[n] - '0') * scale);
      scale /= 10;
      ++n;
    }
    if (n == 1) return std::nullopt;
    rest = rest.substr(n);
  }
  const auto offset = zone(rest);
  if (!offset) return std::nullopt;
  return *base + std::chrono::duration_cast<Time::duration>(fraction) - *offset;
}

std::optional<Time> parsePayloadTime(std::string_view text) {
  auto base = dateAndTime(text, ' ');
  if (!base) return std::nullopt;
  if (text.size() == 19) return base;
  if (text[19] != ' ') return std::nullopt;
  const auto offset = zone(text.substr(20));
  if (!offset) return std::nullopt;
  return *base - *offset;
}

}  // namespace quimbel::utc
