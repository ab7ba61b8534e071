// SpeedFan module: the hardware monitor's shared memory "SFSharedMemory_ALM", opened
// read-only for one look at a time.
#include <windows.h>

#include "modules/mod_fan.h"

namespace {

// The view keeps the mapping alive, so the mapping's handle is closed at once and only
// the view travels to the reader.
const uint8_t* win_open(void*, size_t* size) {
    *size = 0;
    HANDLE m = OpenFileMappingA(FILE_MAP_READ, FALSE, "SFSharedMemory_ALM");
    if (!m)
        return nullptr;
    void* view = MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(m);
    if (!view)
        return nullptr;
    // What may be read: the view's committed pages, however short the mapping was made.
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(view, &info, sizeof info) == 0) {
        UnmapViewOfFile(view);
        return nullptr;
    }
    *size = info.RegionSize;
    return static_cast<const uint8_t*>(view);
}

void win_close(void*, const uint8_t* view) {
    UnmapViewOfFile(view);
}

const FanHost kWinHost = {win_open, win_close, nullptr};

} // namespace

const FanHost* fan_system_host() {
    return &kWinHost;
}
