// Raw input, Windows side: finds the keyboard's macro-key interface among the
// raw-input devices and registers the hidden window for its reports. The
// functions are looked up at run time, so systems without them simply lack the
// feature.
#include <windows.h>

#include "services/lookup_proc_win.h"

#include <cstddef>
#include <cstdlib>

#include "services/rawinput.h"

namespace {
using GetListFn = UINT(WINAPI*)(PRAWINPUTDEVICELIST, PUINT, UINT);
using GetInfoFn = UINT(WINAPI*)(HANDLE, UINT, LPVOID, PUINT);
using RegisterFn = BOOL(WINAPI*)(PCRAWINPUTDEVICE, UINT, UINT);
using GetDataFn = UINT(WINAPI*)(HRAWINPUT, UINT, LPVOID, PUINT, UINT);

// The HID part of an input record as this program's RAWINPUT lays it out: the
// reports at 24 in a 32-bit program, at 32 in a 64-bit one.
const RawHidLayout kHidLayout = {offsetof(RAWINPUT, data.hid.dwSizeHid),
                                 offsetof(RAWINPUT, data.hid.dwCount),
                                 offsetof(RAWINPUT, data.hid.bRawData)};
static_assert(offsetof(RAWINPUT, data.hid.bRawData) == (sizeof(void*) == 4 ? 24 : 32),
              "the reports follow the header and the two 32-bit fields");

void reset(RawInput* ri) {
    if (ri->user32)
        FreeLibrary(static_cast<HMODULE>(ri->user32));
    *ri = RawInput{};
}

bool is_keypad(GetInfoFn info, HANDLE device) {
    RID_DEVICE_INFO di = {};
    di.cbSize = sizeof di; // 32
    UINT size = sizeof di;
    if (info(device, RIDI_DEVICEINFO, &di, &size) == static_cast<UINT>(-1))
        return false;
    return di.dwType == RIM_TYPEHID && di.hid.dwVendorId == 0x046D &&
           di.hid.dwProductId == 0xC222 && di.hid.usUsagePage == 0xFF00;
}
} // namespace

int rawinput_init(RawInput* ri, void* window) {
    *ri = RawInput{};
    HMODULE u = LoadLibraryA("USER32.DLL");
    ri->user32 = u;
    if (!u)
        return 0;
    auto list_fn = lookup_proc<GetListFn>(u, "GetRawInputDeviceList");
    auto info_fn = lookup_proc<GetInfoFn>(u, "GetRawInputDeviceInfoA");
    auto reg_fn = lookup_proc<RegisterFn>(u, "RegisterRawInputDevices");
    auto data_fn = lookup_proc<GetDataFn>(u, "GetRawInputData");
    if (!list_fn || !info_fn || !reg_fn || !data_fn) {
        reset(ri);
        return 0;
    }
    ri->get_device_list = reinterpret_cast<void*>(list_fn);
    ri->get_device_info = reinterpret_cast<void*>(info_fn);
    ri->register_devices = reinterpret_cast<void*>(reg_fn);
    ri->get_input_data = reinterpret_cast<void*>(data_fn);

    UINT n = 0;
    if (list_fn(nullptr, &n, sizeof(RAWINPUTDEVICELIST)) == 0 && n > 0) {
        auto* devices = static_cast<RAWINPUTDEVICELIST*>(calloc(n, sizeof(RAWINPUTDEVICELIST)));
        if (devices) {
            UINT cap = n;
            if (list_fn(devices, &cap, sizeof(RAWINPUTDEVICELIST)) == n) {
                for (UINT i = 0; i < n; ++i)
                    if (is_keypad(info_fn, devices[i].hDevice))
                        ri->keypad = devices[i].hDevice;
            }
            free(devices);
        }
    }
    if (ri->keypad) {
        RAWINPUTDEVICE rid = {0xFF00, 0, RIDEV_INPUTSINK | RIDEV_PAGEONLY,
                              static_cast<HWND>(window)};
        if (reg_fn(&rid, 1, sizeof rid))
            return 1;
    }
    reset(ri);
    return 0;
}

void rawinput_on_input(RawInput* ri, void* handle) {
    auto data_fn = reinterpret_cast<GetDataFn>(ri->get_input_data);
    if (!data_fn)
        return;
    UINT size = 0;
    HRAWINPUT h = static_cast<HRAWINPUT>(handle);
    if (data_fn(h, RID_INPUT, nullptr, &size, sizeof(RAWINPUTHEADER)) != 0 || size == 0)
        return;
    auto* buf = static_cast<uint8_t*>(malloc(size));
    if (!buf)
        return;
    const UINT cap = size;
    UINT got = data_fn(h, RID_INPUT, buf, &size, sizeof(RAWINPUTHEADER));
    if (got != static_cast<UINT>(-1) && got >= sizeof(RAWINPUTHEADER) && got <= cap) {
        auto* in = reinterpret_cast<RAWINPUT*>(buf);
        if (in->header.dwType == RIM_TYPEHID && in->header.hDevice == ri->keypad)
            rawinput_decode_record(buf, got, kHidLayout, nullptr);
    }
    free(buf);
}

void rawinput_close(RawInput* ri) {
    reset(ri);
}
