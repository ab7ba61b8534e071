// Raw input from the keyboard's macro keys (G1..G18, M1..M3, MR).
#pragma once
#include <cstddef>
#include <cstdint>

struct RawInput {
    void* user32;
    void* get_device_list;
    void* get_device_info;
    void* register_devices;
    void* get_input_data;
    void* keypad; // the macro-key interface's device handle, or null
};

// The first pressed key of a report ("M1", "G06", ...), or nullptr. Reads only
// the bytes the report has.
const char* rawinput_decode(const uint8_t* report, size_t size);

// Where the fields of a fetched HID input record lie. The system's record has a
// header of pointer-sized fields, so a 32-bit program finds the reports at 24 and a
// 64-bit one at 32; the Windows side fills this from the real structure.
struct RawHidLayout {
    size_t size_at;    // size of one report, 32-bit
    size_t count_at;   // number of reports, 32-bit
    size_t reports_at; // first report
};

// Decodes every whole report that lies inside the size bytes of a fetched HID input
// record; returns how many were decoded. *first_key (when given) gets the first key
// found in them, or nullptr.
size_t rawinput_decode_record(const uint8_t* record, size_t size, const RawHidLayout& layout,
                              const char** first_key);

int rawinput_init(RawInput* ri, void* window);
void rawinput_on_input(RawInput* ri, void* handle);
void rawinput_close(RawInput* ri);
