// The virtual G15: records shared by LCDMon.exe and the server library it hands to
// applets (lgLcdServer.dll), and the LCD Manager client records as applets pass them.
//
// The shared state lives in one named file mapping created by LCDMon.exe. Every field
// is a fixed-width integer so a 32-bit library and a 64-bit LCDMon (or the other way
// round) agree on the layout. All access goes through the named mutex; waits on it are
// bounded everywhere.
#pragma once
#include <cstdint>

namespace vg15 {

constexpr const char* SHM_NAME = "vg15_lcdmon_state";
constexpr const char* MUTEX_NAME = "vg15_lcdmon_lock";
constexpr const char* BUTTON_EVENT_NAME = "vg15_lcdmon_buttons";
constexpr const char* INSTANCE_MUTEX_NAME = "vg15_lcdmon_instance"; // owned by the running LCDMon
constexpr const char* LCDMON_CLASS = "Logitech LCD Monitor Window";
constexpr const char* LCDMON_TITLE = "LCDMon";

constexpr uint32_t MAGIC = 0x35314756u; // "VG15"
constexpr uint32_t LAYOUT = 1;
constexpr int WIDTH = 160;
constexpr int HEIGHT = 43;
constexpr int FRAME_BYTES = WIDTH * HEIGHT; // 6880
constexpr uint32_t FRAME_RING = 256;        // 25.6 s of frames at 10 per second
constexpr uint32_t EVENT_RING = 1024;
constexpr uint32_t MASK_RING = 64;
constexpr int MAX_DEVICES = 2;

// Result codes the server library answers with.
constexpr uint32_t RC_OK = 0;
constexpr uint32_t RC_FILE_NOT_FOUND = 2; // LCDMon is not running
constexpr uint32_t RC_INVALID_HANDLE = 6;
constexpr uint32_t RC_INVALID_PARAMETER = 87;
constexpr uint32_t RC_NO_MORE_ITEMS = 259;
constexpr uint32_t RC_NOT_INITIALISED = 1062;
constexpr uint32_t RC_DEVICE_NOT_CONNECTED = 1167;
constexpr uint32_t RC_NO_SYSTEM_RESOURCES = 1450;

// Calls seen by the server library, in the order they happened.
enum EventKind : uint32_t {
    EV_NONE = 0,
    EV_LCDMON_START, // a = port
    EV_INIT,
    EV_DEINIT,
    EV_CONNECT,       // a = connection (or -1), result
    EV_DISCONNECT,    // a = connection, result
    EV_ENUMERATE,     // a = connection, b = index, result
    EV_OPEN,          // a = index, b = device (or -1), result
    EV_CLOSE,         // a = device, result
    EV_UPDATE_FAIL,   // a = device, result (successful updates are only counted)
    EV_STALL,         // a = device, b = stall in ms
    EV_CALLBACK,      // a = device, b = mask, after the applet's callback returned
    EV_LATE_CALLBACK, // a = closed device, b = mask, result = ms from the close to the call
    EV_KIND_COUNT
};

struct Event {
    uint32_t seq;
    uint32_t tick; // GetTickCount of the moment
    uint32_t pid;  // process that made the call
    uint32_t kind; // EventKind
    int32_t a;
    int32_t b;
    int32_t result;
    int32_t reserved;
};

struct FrameSlot {
    uint32_t seq; // 1, 2, ... ; the slot holds frame seq when this matches
    uint32_t tick;
    uint32_t pid;
    uint32_t format;
    uint8_t pixels[FRAME_BYTES];
};

struct MaskChange {
    uint32_t seq;
    uint32_t tick;
    uint32_t mask;
    uint32_t reserved;
};

struct Shared {
    uint32_t magic;
    uint32_t layout;
    uint32_t generation; // changes each time an LCDMon starts on this mapping
    uint32_t lcdmon_pid;
    uint32_t start_tick;
    uint32_t port;

    // Faults, set over the control channel; they persist across an applet's reconnects.
    int32_t connect_result;    // 0 = connect works, else the code answered (2, 259)
    int32_t device_count;      // devices enumerated: 0, 1 or 2
    int32_t open_fail_code;    // 0 = opens work
    int32_t open_fail_count;   // opens left to fail; -1 = always
    int32_t update_fail_code;  // 0 = updates work
    int32_t update_fail_count; // updates left to fail; -1 = always
    int32_t stall_ms;          // the next update stalls this long, once

    // Ids and the applet seen last.
    int32_t next_connection;
    int32_t next_device;
    uint32_t applet_pid;
    int32_t open_devices;
    int32_t connections;

    // Counters over all updates.
    uint32_t update_calls;
    uint32_t update_ok;
    uint32_t update_lost; // answered 1167
    uint32_t update_failed;

    // Soft buttons: the held mask and every change, so a change faster than the
    // library's polling is still delivered in order.
    uint32_t mask;
    uint32_t mask_seq;
    uint32_t delivered_seq;
    uint32_t delivered_tick;
    MaskChange masks[MASK_RING];

    uint32_t event_seq;
    Event events[EVENT_RING];

    uint32_t frame_seq;
    FrameSlot frames[FRAME_RING];

    // Late callback (FAULT late): the next lgLcdClose of a device with a callback takes
    // it, and one soft-button change (late_mask) then reaches that callback from a
    // thread of the library after the close, as from the LCD Manager's own thread:
    // late_ms after lgLcdClose returned, or with late_in_deinit late_ms after
    // lgLcdDeInit began (which returns only once the callback has).
    int32_t late_armed;
    int32_t late_mask;
    int32_t late_ms;
    int32_t late_in_deinit;
};

// Appends one event; the caller holds the mutex.
inline void add_event(Shared* s, uint32_t tick, uint32_t pid, EventKind kind, int32_t a, int32_t b,
                      int32_t result) {
    uint32_t seq = ++s->event_seq;
    Event& e = s->events[(seq - 1) % EVENT_RING];
    e.seq = seq;
    e.tick = tick;
    e.pid = pid;
    e.kind = kind;
    e.a = a;
    e.b = b;
    e.result = result;
    e.reserved = 0;
}

// Event kind as the control channel names it: EV_OPEN -> "open", EV_UPDATE_FAIL -> "update".
inline const char* event_name(uint32_t kind) {
    static const char* const names[EV_KIND_COUNT] = {
        "none", "lcdmon_start", "init",   "deinit", "connect",  "disconnect",   "enumerate",
        "open", "close",        "update", "stall",  "callback", "late_callback"};
    return kind < EV_KIND_COUNT ? names[kind] : "unknown";
}

// Puts faults back to a healthy single-device LCD Manager.
inline void reset_faults(Shared* s) {
    s->connect_result = 0;
    s->device_count = 1;
    s->open_fail_code = 0;
    s->open_fail_count = 0;
    s->update_fail_code = 0;
    s->update_fail_count = 0;
    s->stall_ms = 0;
    s->late_armed = 0;
}

// Client records, 32-bit or 64-bit natural alignment, as the applet passes them.
struct ConnectContext {
    const char* applet_name;
    int32_t is_persistent;
    int32_t is_autostartable;
    void* config_callback;
    void* config_context;
    int32_t connection; // output
};

struct DeviceDescription {
    uint8_t bytes[16];
};

typedef uint32_t(__stdcall* SoftButtonCallback)(int32_t device, uint32_t mask, void* context);

struct OpenContext {
    int32_t connection;
    int32_t index;
    SoftButtonCallback on_soft_buttons;
    void* context;
    int32_t device; // output
};

struct LcdBitmap {
    uint32_t format; // 1
    uint8_t pixels[FRAME_BYTES];
};

// Table entries of the server library's interface (GetInterface(3)).
enum TableEntry {
    ENTRY_INIT = 0,
    ENTRY_DEINIT = 1,
    ENTRY_CONNECT = 3,
    ENTRY_DISCONNECT = 6,
    ENTRY_ENUMERATE = 7,
    ENTRY_OPEN = 10,
    ENTRY_CLOSE = 11,
    ENTRY_UPDATE_BITMAP = 13,
    TABLE_SIZE = 16
};

} // namespace vg15
