// World clock module "CLK": the time of a chosen zone per slot, stepped through a
// configured list of zones by the slot's soft button.
#pragma once
#include <cstddef>
#include <cstdint>

struct App;

constexpr int CLK_ZONE_ROWS = 35;
constexpr int CLK_LIST_MAX = 16;
constexpr int CLK_TZI_BYTES = 44; // registry value "TZI"

// A calendar time as the system gives it (laid out like SYSTEMTIME).
struct ClkTime {
    uint16_t year, month, day_of_week, day, hour, minute, second, milliseconds;
};

// A zone's rules, laid out like TIME_ZONE_INFORMATION (names are UTF-16 units).
struct ClkZoneRules {
    int32_t bias; // minutes; UTC = local + bias
    uint16_t standard_name[32];
    ClkTime standard_date; // when standard time begins
    int32_t standard_bias;
    uint16_t daylight_name[32];
    ClkTime daylight_date; // when daylight time begins
    int32_t daylight_bias;
};

struct ClkZoneRow {
    const char* standard; // abbreviation, also the "worldtime_list" token
    const char* daylight;
    const char* key; // key name under ...\Time Zones
};
extern const ClkZoneRow kClkZones[CLK_ZONE_ROWS];

// The system calls the module needs, so the draw runs natively against a fake.
struct ClkHost {
    void (*get_utc)(void* ctx, ClkTime* utc);
    // Fills rules from the registry key `key_name` (64-bit view under WOW64); when
    // the key does not open, logs it and takes the computer's own zone instead.
    void (*read_zone)(void* ctx, const char* key_name, int32_t wow64, ClkZoneRules* rules);
    bool (*to_local)(void* ctx, const ClkZoneRules* rules, const ClkTime* utc, ClkTime* local);
    bool (*to_file_time)(void* ctx, const ClkTime* t, int64_t* file_time);
    // Writes t by picture into out (cap bytes); false on failure.
    bool (*format_time)(void* ctx, const ClkTime* t, const char* picture, char* out, size_t cap);
    void* ctx;
};

struct ClkModule {
    const char* tag;
    int32_t zones[CLK_LIST_MAX]; // rows of kClkZones
    char picture[32];            // time picture, at most 31 characters
    int32_t count;               // valid entries in zones, 0..16
    ClkZoneRules rules[4];       // per slot
    int32_t daylight[4];         // per slot: -1 unresolved, 0 standard, 1 daylight
    int32_t position[4];         // per slot: index into zones
    const ClkHost* host;
};

void mod_clk_init(App* app);
void mod_clk_update(App* app);
int mod_clk_draw(App* app, int slot);
void mod_clk_teardown(App* app);

// The system's host (mod_clk_win.cpp; a UTC-only stand-in natively).
const ClkHost* clk_system_host();

// Portable rules.

// Parses a "worldtime_list" value into zones; returns the count (0..16).
int32_t clk_parse_list(const char* value, int32_t zones[CLK_LIST_MAX]);
// Copies a time picture, cut to 31 characters.
void clk_set_picture(char picture[32], const char* value);
// Copies the five rule fields from a "TZI" value of len bytes; only a value of
// exactly 44 bytes is taken (false and rules untouched otherwise).
bool clk_parse_tzi(const uint8_t* bytes, size_t len, ClkZoneRules* rules);
// 0 when local equals UTC minus the bias (standard time), else 1 (daylight time).
int32_t clk_daylight_state(int64_t utc_file_time, int64_t local_file_time, int32_t bias);
// 100 ns units since 1601-01-01 for a calendar time (day_of_week and range
// checks ignored).
int64_t clk_file_time(const ClkTime* t);
