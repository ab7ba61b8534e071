// Native stand-in for the world clock's system calls: the system clock in UTC, no
// time-zone database (every zone keeps its rules, all zero = UTC, and only the
// bias is applied), and a small time picture writer (H, HH, h, hh, m, mm, s, ss,
// t, tt; other characters copied).
#include <cstdio>
#include <cstring>
#include <ctime>

#include "modules/mod_clk.h"

namespace {

// A calendar time from the C library's broken-down time.
void from_tm(const struct tm& tmv, uint16_t milliseconds, ClkTime* t) {
    t->year = static_cast<uint16_t>(tmv.tm_year + 1900);
    t->month = static_cast<uint16_t>(tmv.tm_mon + 1);
    t->day_of_week = static_cast<uint16_t>(tmv.tm_wday);
    t->day = static_cast<uint16_t>(tmv.tm_mday);
    t->hour = static_cast<uint16_t>(tmv.tm_hour);
    t->minute = static_cast<uint16_t>(tmv.tm_min);
    t->second = static_cast<uint16_t>(tmv.tm_sec);
    t->milliseconds = milliseconds;
}

void posix_get_utc(void*, ClkTime* utc) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmv;
    gmtime_r(&ts.tv_sec, &tmv);
    from_tm(tmv, static_cast<uint16_t>(ts.tv_nsec / 1000000), utc);
}

void posix_read_zone(void*, const char*, int32_t, ClkZoneRules*) {}

bool posix_to_local(void*, const ClkZoneRules* rules, const ClkTime* utc, ClkTime* local) {
    // Seconds since 1970 of the local time, then back to a calendar time.
    int64_t ft = clk_file_time(utc) - static_cast<int64_t>(rules->bias) * 600000000LL;
    time_t secs = static_cast<time_t>(ft / 10000000LL - 11644473600LL);
    struct tm tmv;
    if (!gmtime_r(&secs, &tmv))
        return false;
    from_tm(tmv, utc->milliseconds, local);
    return true;
}

bool posix_to_file_time(void*, const ClkTime* t, int64_t* file_time) {
    *file_time = clk_file_time(t);
    return true;
}

bool posix_format_time(void*, const ClkTime* t, const char* picture, char* out, size_t cap) {
    if (cap == 0)
        return false;
    size_t n = 0;
    for (const char* p = picture; *p && n + 1 < cap;) {
        char c = *p;
        size_t run = 1;
        while (p[run] == c)
            ++run;
        char part[8];
        unsigned v = 0;
        bool number = true;
        if (c == 'H')
            v = t->hour;
        else if (c == 'h')
            v = t->hour % 12 == 0 ? 12 : t->hour % 12;
        else if (c == 'm')
            v = t->minute;
        else if (c == 's')
            v = t->second;
        else
            number = false;
        if (number) {
            snprintf(part, sizeof part, run >= 2 ? "%02u" : "%u", v);
        } else if (c == 't') {
            snprintf(part, sizeof part, "%s",
                     run >= 2 ? (t->hour < 12 ? "AM" : "PM") : (t->hour < 12 ? "A" : "P"));
        } else {
            part[0] = c;
            part[1] = '\0';
            run = 1;
        }
        for (const char* q = part; *q && n + 1 < cap; ++q)
            out[n++] = *q;
        p += run;
    }
    out[n] = '\0';
    return true;
}

const ClkHost kPosixHost = {posix_get_utc,      posix_read_zone,   posix_to_local,
                            posix_to_file_time, posix_format_time, nullptr};

} // namespace

const ClkHost* clk_system_host() {
    return &kPosixHost;
}
