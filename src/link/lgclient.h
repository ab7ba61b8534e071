// Client layer of the Logitech LCD Manager: its records, laid out as the server
// library expects them (natural alignment, texts as pointers, 32-bit program).
#pragma once
#include <cstdint>

struct LcdBitmap;

struct ConnectContext {
    const char* applet_name;  // always "Korvane's panel"
    int32_t is_persistent;    // 1
    int32_t is_autostartable; // 1
    void* config_callback;    // null
    void* config_context;     // null
    int32_t connection;       // output, -1 before the call
};

struct DeviceDescription {
    uint8_t bytes[16]; // filled by the enumeration, never read
};

struct OpenContext {
    int32_t connection;
    int32_t index;
    void* on_soft_buttons; // callback (device, mask, context) -> 0, __stdcall
    void* context;         // null
    int32_t device;        // output, -1 before the call
};

constexpr uint32_t LCD_PRIORITY_NORMAL = 0x80000080u;

// The client state: the loaded server library and its table of entry points. One
// record inside the LCD link; an update thread sends through its own copy, which
// stays valid while the thread's reference on the library (lg_client_pin) holds.
struct LgClient {
    void* library;
    void* get_interface;
    void* const* table;
    int32_t initialised;
};

// Operations forwarded to the server library's table (lgclient_win.cpp). Every one
// returns a Windows error code, 0 = success.
uint32_t lgLcdInit(LgClient* client);
uint32_t lgLcdDeInit(LgClient* client);
uint32_t lgLcdConnect(LgClient* client, ConnectContext* ctx);
uint32_t lgLcdDisconnect(LgClient* client, int32_t connection);
uint32_t lgLcdEnumerate(LgClient* client, int32_t connection, int32_t index,
                        DeviceDescription* desc);
uint32_t lgLcdOpen(LgClient* client, OpenContext* ctx);
uint32_t lgLcdClose(LgClient* client, int32_t device);
uint32_t lgLcdUpdateBitmap(const LgClient* client, int32_t device, const LcdBitmap* bitmap,
                           uint32_t priority);

// Takes one more reference on the client's loaded server library so that code of it
// that a thread is still running stays mapped after lgLcdDeInit; null when none is
// loaded.
void* lg_client_pin(const LgClient* client);
void lg_client_unpin(void* pin);
