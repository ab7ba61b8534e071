// World clock module "CLK".
#include "modules/mod_clk.h"

#include <cstring>

#include "core/app.h"
#include "draw/draw.h"
#include "screen/slots.h"
#include "services/settings.h"
#include "services/util.h"

namespace {

const char kClkTag[] = "CLK";
const int32_t kDefaultZones[] = {0, 2, 12, 21, 26}; // UTC, CET, JST, PST, EST

// Case-insensitive match of token[0..len) against a whole abbreviation.
bool token_is(const char* token, size_t len, const char* word) {
    return text_iequal_n(token, word, len) && strlen(word) == len;
}

int32_t le32(const uint8_t* p) {
    return static_cast<int32_t>(read_le32(p));
}

void read_time(const uint8_t* p, ClkTime* t) {
    t->year = read_le16(p);
    t->month = read_le16(p + 2);
    t->day_of_week = read_le16(p + 4);
    t->day = read_le16(p + 6);
    t->hour = read_le16(p + 8);
    t->minute = read_le16(p + 10);
    t->second = read_le16(p + 12);
    t->milliseconds = read_le16(p + 14);
}

} // namespace

const ClkZoneRow kClkZones[CLK_ZONE_ROWS] = {
    {"UTC", "UTC", "Dateline Standard Time"},
    {"GMT", "GDT", "GMT Standard Time"},
    {"CET", "CEDT", "Central European Standard Time"},
    {"WET", "WEDT", "W. Europe Standard Time"},
    {"EET", "EEDT", "E. Europe Standard Time"},
    {"RST", "RDT", "Russian Standard Time"},
    {"CCST", "CCDT", "Caucasus Standard Time"},
    {"WAST", "WADT", "West Asia Standard Time"},
    {"CAST", "CADT", "Central Asia Standard Time"},
    {"EAST", "EADT", "SE Asia Standard Time"},
    {"AWST", "AWDT", "W. Australia Standard Time"},
    {"KST", "KDT", "Korea Standard Time"},
    {"JST", "JDT", "Tokyo Standard Time"},
    {"ACST", "ACDT", "Cen. Australia Standard Time"},
    {"AEST", "AEDT", "E. Australia Standard Time"},
    {"CPST", "CPDT", "Central Pacific Standard Time"},
    {"NZST", "NZDT", "New Zealand Standard Time"},
    {"TST", "TDT", "Tonga Standard Time"},
    {"SST", "SDT", "Samoa Standard Time"},
    {"HST", "HDT", "Hawaiian Standard Time"},
    {"ALST", "ALDT", "Alaskan Standard Time"},
    {"PST", "PDT", "Pacific Standard Time"},
    {"MST", "MDT", "Mountain Standard Time"},
    {"MMST", "MMDT", "Mountain Standard Time (Mexico)"},
    {"CST", "CDT", "Central Standard Time"},
    {"MCST", "MCDT", "Central Standard Time (Mexico)"},
    {"EST", "EDT", "Eastern Standard Time"},
    {"PSST", "PSDT", "SA Pacific Standard Time"},
    {"AST", "ADT", "Atlantic Standard Time"},
    {"WSST", "WSDT", "SA Western Standard Time"},
    {"NLST", "NLDT", "Newfoundland Standard Time"},
    {"ESST", "ESDT", "SA Eastern Standard Time"},
    {"GLST", "GLDT", "Greenland Standard Time"},
    {"MAST", "MADT", "Mid-Atlantic Standard Time"},
    {"AZST", "AZDT", "Azores Standard Time"},
};

// "cet JST foo\tEST" -> {2, 12, 26}, 3; "foo bar" -> 0; 17 known tokens -> first 16.
int32_t clk_parse_list(const char* value, int32_t zones[CLK_LIST_MAX]) {
    int32_t count = 0;
    const char* p = value;
    while (p && *p && count < CLK_LIST_MAX) {
        while (*p == ' ' || *p == '\t')
            ++p;
        const char* token = p;
        while (*p && *p != ' ' && *p != '\t')
            ++p;
        size_t len = static_cast<size_t>(p - token);
        if (len == 0)
            break;
        for (int32_t row = 0; row < CLK_ZONE_ROWS; ++row) {
            if (token_is(token, len, kClkZones[row].standard)) {
                zones[count++] = row;
                break;
            }
        }
    }
    return count;
}

// "h:mm tt" -> "h:mm tt"; a 40-character picture -> its first 31 characters.
void clk_set_picture(char picture[32], const char* value) {
    size_t n = 0;
    while (value && n < 31 && value[n]) {
        picture[n] = value[n];
        ++n;
    }
    picture[n] = '\0';
}

// Offsets: bias 0, standard bias 4, daylight bias 8, standard date 12, daylight
// date 28 (SYSTEMTIME each), little-endian.
bool clk_parse_tzi(const uint8_t* bytes, size_t len, ClkZoneRules* rules) {
    if (!bytes || len != CLK_TZI_BYTES)
        return false;
    rules->bias = le32(bytes);
    rules->standard_bias = le32(bytes + 4);
    rules->daylight_bias = le32(bytes + 8);
    read_time(bytes + 12, &rules->standard_date);
    read_time(bytes + 28, &rules->daylight_date);
    return true;
}

// Standard local time is UTC minus the bias (one minute is 600,000,000 units):
// (utc, utc - 60 min, bias 60) -> 0; (utc, utc + 120 min, bias -60) -> 1.
int32_t clk_daylight_state(int64_t utc_file_time, int64_t local_file_time, int32_t bias) {
    int64_t standard = utc_file_time - static_cast<int64_t>(bias) * 600000000LL;
    return standard == local_file_time ? 0 : 1;
}

// 1601-01-01 00:00 -> 0; 1970-01-01 00:00 -> 116444736000000000.
int64_t clk_file_time(const ClkTime* t) {
    // Days from 1601-01-01 by the proleptic Gregorian calendar (era arithmetic).
    int64_t y = static_cast<int64_t>(t->year) - (t->month <= 2 ? 1 : 0);
    int64_t m = t->month;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t mp = (m + 9) % 12;
    int64_t doy = (153 * mp + 2) / 5 + t->day - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    int64_t days_since_0000_03_01 = era * 146097 + doe;
    // 1601-01-01 is day 584694 counted from 0000-03-01.
    int64_t days = days_since_0000_03_01 - 584694;
    int64_t seconds = days * 86400 + t->hour * 3600LL + t->minute * 60LL + t->second;
    return seconds * 10000000LL + t->milliseconds * 10000LL;
}

void mod_clk_init(App* app) {
    ClkModule* clk = &app->clk;
    clk->tag = kClkTag;
    memset(clk->rules, 0, sizeof clk->rules);
    for (int i = 0; i < 4; ++i) {
        clk->daylight[i] = -1;
        clk->position[i] = slot_plus_marks(&app->slots[i], clk->tag);
    }
    clk->count = 5;
    memset(clk->zones, 0, sizeof clk->zones);
    memcpy(clk->zones, kDefaultZones, sizeof kDefaultZones);
    clk_set_picture(clk->picture, "HH:mm");
    if (const char* list = settings_get(&app->settings, "worldtime_list"))
        clk->count = clk_parse_list(list, clk->zones);
    if (const char* format = settings_get(&app->settings, "worldtime_format"))
        clk_set_picture(clk->picture, format);
    if (!clk->host)
        clk->host = clk_system_host();
}

void mod_clk_update(App*) {}

void mod_clk_teardown(App*) {}

int mod_clk_draw(App* app, int slot) {
    ClkModule* clk = &app->clk;
    Slot* s = &app->slots[slot];
    LcdBitmap* frame = app_frame(app);
    const ClkHost* host = clk->host;
    slot_draw_frame(frame, s, clk->tag);

    ClkTime utc;
    memset(&utc, 0, sizeof utc);
    host->get_utc(host->ctx, &utc);

    if (s->button == 1) {
        s->button = 0;
        clk->position[slot] += 1;
        clk->daylight[slot] = -1;
    }
    if (clk->position[slot] >= clk->count || clk->position[slot] < 0)
        clk->position[slot] = 0;
    // An empty list (only unknown tokens) shows UTC.
    int32_t row = clk->count > 0 ? clk->zones[clk->position[slot]] : 0;
    if (row < 0 || row >= CLK_ZONE_ROWS)
        row = 0;
    ClkZoneRules* rules = &clk->rules[slot];

    if (clk->daylight[slot] == -1) {
        host->read_zone(host->ctx, kClkZones[row].key, app->os.is_wow64, rules);
        ClkTime local;
        int64_t utc_ft = 0, local_ft = 0;
        bool ok = host->to_local(host->ctx, rules, &utc, &local) &&
                  host->to_file_time(host->ctx, &utc, &utc_ft) &&
                  host->to_file_time(host->ctx, &local, &local_ft);
        clk->daylight[slot] = ok ? clk_daylight_state(utc_ft, local_ft, rules->bias) : 0;
    }

    ClkTime shown = utc;
    bool have_time = row == 0 || host->to_local(host->ctx, rules, &utc, &shown);
    char text[64];
    text[0] = '\0';
    if (!have_time || !host->format_time(host->ctx, &shown, clk->picture, text, sizeof text))
        text[0] = '\0';
    text[sizeof text - 1] = '\0';

    const char* abbreviation =
        clk->daylight[slot] == 1 ? kClkZones[row].daylight : kClkZones[row].standard;
    draw_text_right(frame, s->x, s->y + 14, text);
    draw_text_right(frame, s->x, s->y + 7, abbreviation);
    return 1;
}
