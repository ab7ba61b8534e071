// The application state: one record that owns the LCD link, the notice queue, the
// settings, the slots, the monitors and every module. Created before the entry
// point and living until process exit; tests build a fresh one each.
#pragma once
#include <atomic>
#include <cstdint>

#include "draw/notice.h"
#include "link/lcd.h"
#include "meters/cpumem.h"
#include "meters/net.h"
#include "modules/mod_amp.h"
#include "modules/mod_clk.h"
#include "modules/mod_fan.h"
#include "modules/mod_fps.h"
#include "modules/mod_rip.h"
#include "modules/mod_spk.h"
#include "modules/mod_stw.h"
#include "modules/mod_ts2.h"
#include "modules/mod_ts3.h"
#include "modules/mod_tun.h"
#include "screen/slots.h"
#include "screen/topline.h"
#include "services/rawinput.h"
#include "services/settings.h"
#include "services/util.h"

// Values owned by the frame loop and read by the modules.
struct FrameState {
    int32_t quit_requested;
    std::atomic<uint32_t> frame_deadline; // tick at frame start + 100; read by pollers
    uint32_t now;                         // tick count at the start of this frame
    int32_t one_second_tick;              // 1 in one frame of every ten
    int32_t blink;                        // flips at each one-second tick
    int32_t frame_counter;                // 0..9
    int32_t anim_counter;                 // start animation; 0 = over
};

struct App {
    ErrorLog log;
    LcdLink lcd;
    NoticeQueue notices;
    SettingsList settings;
    GeneralSettings general;
    Slot slots[SLOT_COUNT];
    const Module* modules; // MODULE_COUNT entries in init order
    FrameState frame;
    OsFlags os;
    RawInput rawinput;

    TopLine topline;
    CpuMeter cpu;
    NetMeter net;

    // Display modules, in the table's order.
    Ts2Module ts2;
    SpkModule spk;
    AmpModule amp;
    StwModule stw;
    ClkModule clk;
    FpsModule fps;
    FanModule fan;
    TunModule tun;
    RipModule rip;
    Ts3Module ts3;

    void* instance;
    void* window;
    void* timer;
};

// The eleven modules in init order.
extern const Module kModules[MODULE_COUNT];

// The drawing frame every part draws into.
inline LcdBitmap* app_frame(App* app) {
    return &app->lcd.frame;
}
