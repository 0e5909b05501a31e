// The start of a BDF+ file that edflib opened, as seconds since 1970: the
// header's local date and time with the fraction from the first data record.
#pragma once
#include <ctime>
#include <edflib.h>

inline double bdf_start_seconds(const edf_hdr_struct& hdr)
{
  std::tm start{};
  start.tm_year = hdr.startdate_year - 1900;
  start.tm_mon = hdr.startdate_month - 1;
  start.tm_mday = hdr.startdate_day;
  start.tm_hour = hdr.starttime_hour;
  start.tm_min = hdr.starttime_minute;
  start.tm_sec = hdr.starttime_second;
  start.tm_isdst = -1;
  return static_cast<double>(std::mktime(&start)) + static_cast<double>(hdr.starttime_subsecond) * 1e-7;
}
