// SpeedFan module "FAN": one sensor reading at a time (a temperature, a fan speed or a
// voltage) from the shared memory the SpeedFan hardware monitor publishes, chosen from
// ten configured entries; the slot's button steps through them or switches automatic
// stepping on and off. Slot:
//
//   +-FAN---------------------------------+
//   |                                  CPU|
//   |                                45.2°C
//   +                                     +
#pragma once
#include <cstddef>
#include <cstdint>

struct App;

constexpr int FAN_ENTRIES = 10;
constexpr int FAN_SENSORS = 32;
constexpr size_t FAN_RECORD_BYTES = 402; // up to the end of the voltages

enum FanKind : int32_t { FAN_NONE = -1, FAN_TEMP = 0, FAN_SPEED = 1, FAN_VOLT = 2 };

struct FanEntry {
    char label[7];  // at most 6 characters; empty = not configured
    int32_t kind;   // FanKind
    int32_t sensor; // index into the readings of that kind, -1 = none
};

// The readings taken from one record; counts 0..32.
struct FanReadings {
    int32_t fan_count;
    int32_t fans[FAN_SENSORS];
    int32_t temp_count;
    int32_t temps[FAN_SENSORS]; // hundredths of a degree Celsius
    int32_t volt_count;
    int32_t volts[FAN_SENSORS]; // hundredths of a volt
};

// SpeedFan's shared memory: open it, look at it, let it go.
struct FanHost {
    // A read-only view of the record and the number of bytes readable from it, or null.
    const uint8_t* (*open_record)(void* ctx, size_t* size);
    void (*close_record)(void* ctx, const uint8_t* view);
    void* ctx;
};

struct FanModule {
    const char* tag;
    uint32_t step_interval; // tenths of a second; 0 = no automatic stepping
    uint32_t stepping[4];   // per slot, non-zero = steps automatically
    int32_t position[4];    // per slot, the entry shown (0..9)
    FanReadings readings;
    uint32_t step_stamp; // tick of the last automatic step, 0 = not started
    FanEntry entries[FAN_ENTRIES];
    const FanHost* host;
};

void mod_fan_init(App* app);
void mod_fan_update(App* app);
int mod_fan_draw(App* app, int slot);
void mod_fan_teardown(App* app);

// The system's host (mod_fan_win.cpp; natively no SpeedFan ever runs).
const FanHost* fan_system_host();

// Portable rules.

// Takes the readings from size bytes of a record: nothing (all counts 0, false) unless
// the version is 1; each count is capped at 32 and at the values the size holds.
bool fan_read_record(const uint8_t* record, size_t size, FanReadings* out);
// A "fan_mode_X" value: label (cut to 6), kind word (TEMP, FAN, VOLT, any case) and
// sensor number, separated by blanks or tabs; missing words leave the defaults.
void fan_parse_entry(const char* value, FanEntry* entry);
// The value text of a reading: 4520 (temperature) -> "45.2°C", 2250 (fan) -> "2250",
// 1184 (voltage) -> "11.84V". Returns the length.
size_t fan_value_text(char* out, size_t cap, int32_t kind, int32_t value);
// The entry slot i shows from its position on (skipping entries that cannot be shown,
// at most ten tries), leaving the position on it; -1 when none can be shown.
int32_t fan_pick_entry(FanModule* fan, int slot);
// One frame's automatic stepping at tick now.
void fan_step(FanModule* fan, uint32_t now);
