// Native stand-in for the top line's system calls: the local time in fixed pictures
// ("Tue 2026-12-08", "14:03:07"; the settings' pictures are Windows pictures and are
// not interpreted here) and no mail count (the shell's function is Windows-only).
#include <cstdio>
#include <ctime>

#include "screen/topline.h"

namespace {

void posix_read_now(void*, const GeneralSettings*, TopLineNow* now) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmv;
    localtime_r(&ts.tv_sec, &tmv);
    if (strftime(now->date, sizeof now->date, "%a %Y-%m-%d", &tmv) == 0)
        now->date[0] = '\0';
    if (strftime(now->time, sizeof now->time, "%H:%M:%S", &tmv) == 0)
        now->time[0] = '\0';
    // 100 ns units since 1601-01-01 (UTC; the system's own clock gives local time).
    now->file_time = (static_cast<int64_t>(ts.tv_sec) + 11644473600LL) * 10000000LL;
    now->file_time_ok = true;
}

int32_t posix_unread_mail(void*, void*, const char*, int64_t, uint32_t* count) {
    *count = 0;
    return -1;
}

const TopLineHost kPosixHost = {posix_read_now, posix_unread_mail, nullptr};

} // namespace

const TopLineHost* topline_system_host() {
    return &kPosixHost;
}
