// Text lines shared by the media-player modules.
#include "modules/media_text.h"

#include <cstdio>

namespace {

// The length snprintf wrote into out, cut to what fits.
size_t written(char* out, size_t cap, int n) {
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}

} // namespace

// 192 -> "192k"; 1 -> "1k"; 0 -> ""; -5 -> "".
size_t media_bitrate_text(char* out, size_t cap, int32_t kbps) {
    if (cap == 0)
        return 0;
    if (kbps <= 0) {
        out[0] = '\0';
        return 0;
    }
    return written(out, cap, snprintf(out, cap, "%dk", static_cast<int>(kbps)));
}

// 0 -> "0:00"; 210 -> "3:30"; 3599 -> "59:59"; 7140 -> "1:59:00";
// 36000 (blink 0) -> "10:00", (blink 1) -> "10 00"; -1 -> "".
size_t media_time_text(char* out, size_t cap, int64_t seconds, int32_t blink) {
    if (cap == 0)
        return 0;
    if (seconds < 0) {
        out[0] = '\0';
        return 0;
    }
    long long hours = seconds / 3600;
    int minutes = static_cast<int>((seconds % 3600) / 60);
    int secs = static_cast<int>(seconds % 60);
    int n;
    if (hours >= 10)
        n = snprintf(out, cap, "%lld%c%02d", hours, blink ? ' ' : ':', minutes);
    else if (hours >= 1)
        n = snprintf(out, cap, "%lld:%02d:%02d", hours, minutes, secs);
    else
        n = snprintf(out, cap, "%d:%02d", minutes, secs);
    return written(out, cap, n);
}
