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

int rawinput_init(RawInput* ri, void* window);
void rawinput_on_input(RawInput* ri, void* handle);
void rawinput_close(RawInput* ri);
