// Arbitrary bytes as SpeedFan's shared memory, read at their exact size. The reader
// must not read past the bytes, must cap every count at 32 and at what the bytes hold,
// and what it copies must be the record's values; every entry then drawn from it
// stays inside the frame.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/app.h"
#include "modules/mod_fan.h"

namespace {

int32_t expected_count(const uint8_t* d, size_t size, size_t count_at, size_t values_at) {
    size_t c = static_cast<size_t>(d[count_at] | (d[count_at + 1] << 8));
    if (c > 32)
        c = 32;
    size_t room = size > values_at ? (size - values_at) / 4 : 0;
    return static_cast<int32_t>(c < room ? c : room);
}

int32_t value_at(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 |
                                static_cast<uint32_t>(p[3]) << 24);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A heap copy of exactly `size` bytes, so any read past it is caught.
    std::unique_ptr<uint8_t[]> rec(new uint8_t[size ? size : 1]);
    if (size)
        memcpy(rec.get(), data, size);
    FanReadings r;
    bool taken = fan_read_record(rec.get(), size, &r);
    bool version_1 = size >= 18 && data[0] == 1 && data[1] == 0;
    if (taken != version_1)
        abort();
    if (!taken) {
        if (r.temp_count || r.fan_count || r.volt_count)
            abort();
        return 0;
    }
    if (r.temp_count != expected_count(data, size, 12, 18) ||
        r.fan_count != expected_count(data, size, 14, 146) ||
        r.volt_count != expected_count(data, size, 16, 274))
        abort();
    for (int32_t i = 0; i < r.temp_count; ++i)
        if (r.temps[i] != value_at(data + 18 + 4 * i))
            abort();
    for (int32_t i = 0; i < r.volt_count; ++i)
        if (r.volts[i] != value_at(data + 274 + 4 * i))
            abort();

    // Every entry of every kind drawn from these readings, in slot 3.
    auto app = std::make_unique<App>();
    app->slots[3].x = 121;
    app->slots[3].y = 22;
    app->fan.readings = r;
    for (int e = 0; e < FAN_ENTRIES; ++e) {
        app->fan.entries[e] = FanEntry{"ab", e % 4 - 1, (e * 7) % 33};
    }
    const int takes_slot = (r.temp_count || r.fan_count || r.volt_count) ? 1 : 0;
    for (int e = 0; e < FAN_ENTRIES; ++e) {
        app->fan.position[3] = e;
        if (mod_fan_draw(app.get(), 3) != takes_slot)
            abort();
        char text[32];
        size_t n = fan_value_text(text, sizeof text, e % 3, r.temp_count ? r.temps[0] : 0);
        if (n != strlen(text) || n > 15)
            abort();
    }
    return 0;
}
