// World clock module: the system's clock, time-zone registry and time formatting.
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "modules/mod_clk.h"
#include "services/registry_win.h"
#include "services/util.h"

namespace {

static_assert(sizeof(ClkTime) == sizeof(SYSTEMTIME), "ClkTime mirrors SYSTEMTIME");
static_assert(sizeof(ClkZoneRules) == sizeof(TIME_ZONE_INFORMATION),
              "ClkZoneRules mirrors TIME_ZONE_INFORMATION");
static_assert(offsetof(ClkZoneRules, daylight_bias) ==
                  offsetof(TIME_ZONE_INFORMATION, DaylightBias),
              "ClkZoneRules mirrors TIME_ZONE_INFORMATION");

const char kZonesKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones\\";

void win_get_utc(void*, ClkTime* utc) {
    SYSTEMTIME st;
    GetSystemTime(&st);
    memcpy(utc, &st, sizeof st);
}

// A name value ("Std", "Dlt"), read with a 64-byte limit and widened into the
// record's UTF-16 name; left as it was when the value is missing.
void read_name(HKEY key, const char* value, uint16_t name[32]) {
    char buf[64];
    if (!reg_read_text(key, value, buf, sizeof buf))
        return;
    size_t i = 0;
    for (; i < 31 && buf[i]; ++i)
        name[i] = static_cast<uint8_t>(buf[i]);
    name[i] = 0;
}

void win_read_zone(void*, const char* key_name, int32_t wow64, ClkZoneRules* rules) {
    char path[256];
    snprintf(path, sizeof path, "%s%s", kZonesKey, key_name);
    HKEY key = nullptr;
    LONG opened = ERROR_FILE_NOT_FOUND;
    if (wow64)
        opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, 0x101, &key);
    if (opened != ERROR_SUCCESS)
        opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, 1, &key);
    if (opened == ERROR_SUCCESS) {
        uint8_t tzi[CLK_TZI_BYTES];
        DWORD size = sizeof tzi;
        DWORD type = 0;
        if (RegQueryValueExA(key, "TZI", nullptr, &type, tzi, &size) == ERROR_SUCCESS)
            clk_parse_tzi(tzi, size, rules);
        read_name(key, "Std", rules->standard_name);
        read_name(key, "Dlt", rules->daylight_name);
        RegCloseKey(key);
        return;
    }
    log_error("src/mod_clk", 65, GetLastError(), "failed to open time zone registry key '%s'",
              key_name);
    SetLastError(0);
    TIME_ZONE_INFORMATION own;
    memset(&own, 0, sizeof own);
    GetTimeZoneInformation(&own);
    memcpy(rules, &own, sizeof own);
}

bool win_to_local(void*, const ClkZoneRules* rules, const ClkTime* utc, ClkTime* local) {
    TIME_ZONE_INFORMATION tzi;
    SYSTEMTIME u, l;
    memcpy(&tzi, rules, sizeof tzi);
    memcpy(&u, utc, sizeof u);
    if (!SystemTimeToTzSpecificLocalTime(&tzi, &u, &l))
        return false;
    memcpy(local, &l, sizeof l);
    return true;
}

bool win_to_file_time(void*, const ClkTime* t, int64_t* file_time) {
    SYSTEMTIME st;
    FILETIME ft;
    memcpy(&st, t, sizeof st);
    if (!SystemTimeToFileTime(&st, &ft))
        return false;
    *file_time =
        static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    return true;
}

bool win_format_time(void*, const ClkTime* t, const char* picture, char* out, size_t cap) {
    SYSTEMTIME st;
    memcpy(&st, t, sizeof st);
    if (cap == 0)
        return false;
    int n = GetTimeFormatA(127 /* LOCALE_INVARIANT */, 0, &st, picture, out,
                           static_cast<int>(cap > 64 ? 64 : cap));
    if (n == 0) {
        out[0] = '\0';
        return false;
    }
    return true;
}

const ClkHost kWinHost = {win_get_utc,      win_read_zone,   win_to_local,
                          win_to_file_time, win_format_time, nullptr};

} // namespace

const ClkHost* clk_system_host() {
    return &kWinHost;
}
