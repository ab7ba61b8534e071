// Portable pieces of the error log and the host-application watch.
#include "services/util.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

void log_blank_controls(char* text) {
    for (char* p = text; *p; ++p) {
        if (static_cast<signed char>(*p) <= 31)
            *p = ' ';
    }
}

// "2026-12-08 14:03:07 | src/lcd(570) | LCD error 'Invalid parameter.' (57)"
// "2026-12-08 14:03:07 | src/main(236) | failed to set waitable timer | 00000005=Access denied. "
size_t log_build_line(char* out, size_t cap, const char* date, const char* time, const char* file,
                      int line, const char* message, uint32_t code, const char* systext) {
    if (cap == 0)
        return 0;
    char msg[1024];
    snprintf(msg, sizeof msg, "%s", message ? message : "");
    log_blank_controls(msg);
    int n = snprintf(out, cap, "%s %s | %s(%d) | %s", date ? date : "", time ? time : "",
                     file ? file : "", line, msg);
    if (n < 0)
        n = 0;
    size_t len = static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
    if (code != 0) {
        int k = snprintf(out + len, cap - len, " | %08x", static_cast<unsigned>(code));
        if (k > 0)
            len += static_cast<size_t>(k) < cap - len ? static_cast<size_t>(k) : cap - len - 1;
        if (systext && *systext && len + 1 < cap) {
            size_t start = len + 1;
            int m = snprintf(out + len, cap - len, "=%s", systext);
            if (m > 0)
                len += static_cast<size_t>(m) < cap - len ? static_cast<size_t>(m) : cap - len - 1;
            out[len] = '\0';
            log_blank_controls(out + start);
        }
    }
    return len;
}

// "C:\LCD" -> "C:\LCD\LCDMon.exe"; "C:\LCD\" -> "C:\LCD\LCDMon.exe"; "" -> "\LCDMon.exe"
bool build_lcdmon_path(const char* dir, char* out, size_t cap) {
    if (cap == 0)
        return false;
    out[0] = '\0';
    if (!dir)
        dir = "";
    size_t n = strlen(dir);
    bool slash = n == 0 || dir[n - 1] != '\\';
    size_t need = n + (slash ? 1 : 0) + strlen("LCDMon.exe") + 1;
    if (need > cap)
        return false;
    snprintf(out, cap, "%s%sLCDMon.exe", dir, slash ? "\\" : "");
    return true;
}

// (1000, 1999, 1000) -> false; (1000, 2000, 1000) -> true;
// (0xFFFFFF00, 0x2E7, 1000) -> false and (0xFFFFFF00, 0x2E8, 1000) -> true: the
// elapsed time is the unsigned difference, so the counter's wrap changes nothing.
bool tick_wait_over(uint32_t start, uint32_t now, uint32_t ms) {
    return now - start >= ms;
}

// Last lookup found window 7 at tick 1000: at 1500 with 7 alive -> true, no lookup;
// at 1500 with 7 gone -> a lookup; at 2000 -> a lookup, whatever 7 does.
bool window_watch_present(WindowWatch* w, uint32_t now, const WindowWatchHost* host) {
    if (w->window && !tick_wait_over(w->looked, now, 1000) && host->alive(w->window))
        return true;
    w->window = host->find();
    w->looked = now;
    return w->window != nullptr;
}

bool text_iequal_n(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
        if (x == '\0')
            return true;
    }
    return true;
}

bool text_iequal(const char* a, const char* b) {
    return text_iequal_n(a, b, SIZE_MAX);
}

uint16_t read_le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t read_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
