// SpeedFan module "FAN".
#include "modules/mod_fan.h"

#include <cstdio>
#include <cstring>

#include "core/app.h"
#include "draw/draw.h"
#include "screen/slots.h"
#include "services/settings.h"
#include "services/util.h"

namespace {

const char kFanTag[] = "FAN";

// The record: version at 0, counts at 12 (temperatures), 14 (fans), 16 (voltages),
// then 32 values of each kind from 18, 146 and 274.
constexpr size_t kVersionAt = 0;
constexpr size_t kTempCountAt = 12, kFanCountAt = 14, kVoltCountAt = 16;
constexpr size_t kTempsAt = 18, kFansAt = 146, kVoltsAt = 274;
// An interval whose milliseconds no longer fit 32 bits is taken as this one (~49 days).
constexpr uint32_t kMaxInterval = UINT32_MAX / 100;

// Copies count values (capped at 32 and at what size holds from offset) into out.
int32_t read_values(const uint8_t* record, size_t size, size_t count_at, size_t values_at,
                    int32_t out[FAN_SENSORS]) {
    size_t count = read_le16(record + count_at);
    if (count > FAN_SENSORS)
        count = FAN_SENSORS;
    size_t room = size > values_at ? (size - values_at) / 4 : 0;
    if (count > room)
        count = room;
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<int32_t>(read_le32(record + values_at + 4 * i));
    return static_cast<int32_t>(count);
}

bool is_word_gap(char c) {
    return c == ' ' || c == '\t';
}

// The next word of *p (advancing past it) into out, cut to cap - 1; its full length.
size_t next_word(const char** p, char* out, size_t cap) {
    const char* s = *p;
    while (*s && is_word_gap(*s))
        ++s;
    const char* start = s;
    while (*s && !is_word_gap(*s))
        ++s;
    size_t len = static_cast<size_t>(s - start);
    size_t keep = len < cap - 1 ? len : cap - 1;
    memcpy(out, start, keep);
    out[keep] = '\0';
    *p = s;
    return len;
}

int32_t count_of(const FanReadings* r, int32_t kind) {
    switch (kind) {
    case FAN_TEMP:
        return r->temp_count;
    case FAN_SPEED:
        return r->fan_count;
    case FAN_VOLT:
        return r->volt_count;
    default:
        return 0;
    }
}

int32_t value_of(const FanReadings* r, int32_t kind, int32_t sensor) {
    const int32_t* values = kind == FAN_TEMP ? r->temps : kind == FAN_SPEED ? r->fans : r->volts;
    return values[sensor];
}

bool any_readings(const FanReadings* r) {
    return r->temp_count != 0 || r->fan_count != 0 || r->volt_count != 0;
}

} // namespace

// A record shorter than 18 bytes, or of another version, gives nothing; counts of 40
// give 32; a record of 100 bytes claiming 32 temperatures gives the 20 it holds.
bool fan_read_record(const uint8_t* record, size_t size, FanReadings* out) {
    memset(out, 0, sizeof *out);
    if (!record || size < kTempsAt || read_le16(record + kVersionAt) != 1)
        return false;
    out->temp_count = read_values(record, size, kTempCountAt, kTempsAt, out->temps);
    out->fan_count = read_values(record, size, kFanCountAt, kFansAt, out->fans);
    out->volt_count = read_values(record, size, kVoltCountAt, kVoltsAt, out->volts);
    return true;
}

//   "CPU TEMP 0"            -> "CPU", 0, 0
//   "Chassis\tfan  2"       -> "Chassi", 1, 2
//   "Core volt"             -> "Core", 2, -1
//   "X HUMIDITY 3"          -> "X", -1, 3
void fan_parse_entry(const char* value, FanEntry* entry) {
    entry->label[0] = '\0';
    entry->kind = FAN_NONE;
    entry->sensor = -1;
    if (!value)
        return;
    const char* p = value;
    next_word(&p, entry->label, sizeof entry->label);
    char word[8];
    if (next_word(&p, word, sizeof word) < sizeof word) {
        if (text_iequal(word, "TEMP"))
            entry->kind = FAN_TEMP;
        else if (text_iequal(word, "FAN"))
            entry->kind = FAN_SPEED;
        else if (text_iequal(word, "VOLT"))
            entry->kind = FAN_VOLT;
    }
    char number[24];
    if (next_word(&p, number, sizeof number) > 0)
        entry->sensor = static_cast<int32_t>(settings_parse_unsigned(number));
}

// Temperature 4520 -> "45.2\xB0C", 4599 -> "45.9\xB0C", 5 -> "0.0\xB0C"; fan 2250 ->
// "2250"; voltage 1184 -> "11.84V", 5 -> "0.05V"; a negative reading gets a minus before
// the text of its size: voltage -1184 -> "-11.84V", temperature -50 -> "-0.5\xB0C".
size_t fan_value_text(char* out, size_t cap, int32_t kind, int32_t value) {
    if (cap == 0)
        return 0;
    int64_t v = value;
    const char* sign = v < 0 ? "-" : "";
    if (v < 0)
        v = -v;
    long long whole = static_cast<long long>(v / 100);
    int n;
    switch (kind) {
    case FAN_TEMP:
        n = snprintf(out, cap,
                     "%s%lld.%1d\xB0"
                     "C",
                     sign, whole, static_cast<int>((v % 100) / 10));
        break;
    case FAN_SPEED:
        n = snprintf(out, cap, "%s%lld", sign, static_cast<long long>(v));
        break;
    case FAN_VOLT:
        n = snprintf(out, cap, "%s%lld.%02dV", sign, whole, static_cast<int>(v % 100));
        break;
    default:
        n = 0;
        out[0] = '\0';
        break;
    }
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}

int32_t fan_pick_entry(FanModule* fan, int slot) {
    int32_t& pos = fan->position[slot];
    for (int tries = 0; tries < FAN_ENTRIES; ++tries) {
        if (pos > FAN_ENTRIES - 1 || pos < 0)
            pos = 0;
        const FanEntry& e = fan->entries[pos];
        if (e.label[0] != '\0' && e.kind >= FAN_TEMP && e.kind <= FAN_VOLT && e.sensor >= 0 &&
            e.sensor < count_of(&fan->readings, e.kind))
            return pos;
        pos += 1;
    }
    return -1;
}

// Every stepping slot moves on by one entry each interval, all at once.
void fan_step(FanModule* fan, uint32_t now) {
    if (!any_readings(&fan->readings) || fan->step_interval == 0)
        return;
    if (fan->step_stamp == 0)
        fan->step_stamp = now;
    if (now - fan->step_stamp < fan->step_interval * 100)
        return;
    fan->step_stamp = now;
    for (int i = 0; i < 4; ++i) {
        if (fan->stepping[i]) {
            fan->position[i] += 1;
            if (fan->position[i] >= FAN_ENTRIES)
                fan->position[i] = 0;
        }
    }
}

void mod_fan_init(App* app) {
    FanModule* fan = &app->fan;
    fan->tag = kFanTag;
    memset(&fan->readings, 0, sizeof fan->readings);
    for (int i = 0; i < 4; ++i) {
        fan->position[i] = slot_plus_marks(&app->slots[i], kFanTag);
        fan->stepping[i] = 0;
    }
    fan->step_interval = 0;
    fan->step_stamp = 0;
    if (const char* v = settings_get(&app->settings, "fan_cycle_interval")) {
        uint32_t interval = settings_parse_unsigned(v);
        fan->step_interval = interval > kMaxInterval ? kMaxInterval : interval;
    }
    if (const char* v = settings_get(&app->settings, "fan_cycle")) {
        uint32_t on = settings_parse_unsigned(v) != 0 ? 1 : 0;
        for (int i = 0; i < 4; ++i)
            fan->stepping[i] = on;
    }
    char key[] = "fan_mode_X";
    for (int i = 0; i < FAN_ENTRIES; ++i) {
        key[sizeof key - 2] = static_cast<char>('0' + i);
        fan_parse_entry(settings_get(&app->settings, key), &fan->entries[i]);
    }
    if (!fan->host)
        fan->host = fan_system_host();
}

void mod_fan_update(App* app) {
    FanModule* fan = &app->fan;
    if (app->frame.one_second_tick) {
        const FanHost* host = fan->host;
        size_t size = 0;
        const uint8_t* view = host->open_record(host->ctx, &size);
        fan_read_record(view, size, &fan->readings);
        if (view)
            host->close_record(host->ctx, view);
    }
    fan_step(fan, app->frame.now);
}

void mod_fan_teardown(App*) {}

int mod_fan_draw(App* app, int slot) {
    FanModule* fan = &app->fan;
    if (!any_readings(&fan->readings))
        return 0;
    Slot* s = &app->slots[slot];
    LcdBitmap* frame = app_frame(app);
    slot_draw_frame(frame, s, kFanTag);
    if (s->button == 1) {
        s->button = 0;
        fan->position[slot] += 1;
    } else if (s->button == 2) {
        s->button = 0;
        fan->stepping[slot] = fan->stepping[slot] ? 0 : 1;
    }
    int32_t shown = fan_pick_entry(fan, slot);
    if (shown < 0)
        return 1;
    const FanEntry& e = fan->entries[shown];
    char text[32];
    fan_value_text(text, sizeof text, e.kind, value_of(&fan->readings, e.kind, e.sensor));
    draw_text_right(frame, s->x, s->y + 7, e.label);
    draw_text_right(frame, s->x, s->y + 14, text);
    return 1;
}
