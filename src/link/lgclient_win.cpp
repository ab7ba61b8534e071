// Client layer of the LCD Manager: finds its server library through the registry,
// loads it at run time and forwards each operation to the library's table.
#include <windows.h>

#include "services/lookup_proc_win.h"
#include "services/registry_win.h"

#include "draw/draw.h"
#include "link/lgclient.h"

namespace {

using GetInterfaceFn = void*(WINAPI*)(int);
using Fn0 = DWORD(WINAPI*)();
using FnConnect = DWORD(WINAPI*)(ConnectContext*);
using FnInt = DWORD(WINAPI*)(int32_t);
using FnEnumerate = DWORD(WINAPI*)(int32_t, int32_t, DeviceDescription*);
using FnOpen = DWORD(WINAPI*)(OpenContext*);
using FnUpdate = DWORD(WINAPI*)(int32_t, const LcdBitmap*, DWORD);

enum Entry {
    E_INIT = 0,
    E_DEINIT = 1,
    E_CONNECT = 3,
    E_DISCONNECT = 6,
    E_ENUMERATE = 7,
    E_OPEN = 10,
    E_CLOSE = 11,
    E_UPDATE = 13
};

constexpr DWORD kNotInitialised = 1062;
constexpr DWORD kInitialisedBefore = 1247;
constexpr DWORD kNotAvailable = 1722;

// The client state of the process: the loaded server library and its table.
struct LgClient {
    HMODULE library;
    GetInterfaceFn get_interface;
    void* const* table;
    int32_t initialised;
};
LgClient g_client;

void* entry(int i) {
    return g_client.table ? g_client.table[i] : nullptr;
}

void unload() {
    if (g_client.library)
        FreeLibrary(g_client.library);
    g_client.library = nullptr;
    g_client.get_interface = nullptr;
    g_client.table = nullptr;
}

bool load() {
    HKEY key;
    if (RegOpenKeyExA(
            HKEY_LOCAL_MACHINE,
            "SOFTWARE\\Classes\\CLSID\\{FE750200-B72E-11d9-829B-0050DA1A72D3}\\ServerBinary", 0,
            KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    char path[261];
    const bool read = reg_read_text(key, nullptr, path, sizeof path);
    RegCloseKey(key);
    if (!read)
        return false;
    g_client.library = LoadLibraryA(path);
    if (g_client.library) {
        g_client.get_interface = lookup_proc<GetInterfaceFn>(g_client.library, "GetInterface");
        if (g_client.get_interface)
            g_client.table = static_cast<void* const*>(g_client.get_interface(3));
    }
    if (!g_client.table) {
        unload();
        return false;
    }
    return true;
}

template <typename F> F fn(int i) {
    return reinterpret_cast<F>(entry(i));
}

} // namespace

uint32_t lgLcdInit() {
    if (g_client.initialised)
        return kInitialisedBefore;
    if (!load())
        return kNotAvailable;
    g_client.initialised = 1;
    Fn0 f = fn<Fn0>(E_INIT);
    return f ? f() : ERROR_INVALID_FUNCTION;
}

uint32_t lgLcdDeInit() {
    if (!g_client.initialised)
        return 0;
    Fn0 f = fn<Fn0>(E_DEINIT);
    DWORD r = f ? f() : ERROR_INVALID_FUNCTION;
    unload();
    g_client.initialised = 0;
    return r;
}

uint32_t lgLcdConnect(ConnectContext* ctx) {
    if (!g_client.initialised)
        return kNotInitialised;
    FnConnect f = fn<FnConnect>(E_CONNECT);
    return f ? f(ctx) : ERROR_INVALID_FUNCTION;
}

uint32_t lgLcdDisconnect(int32_t connection) {
    if (!g_client.initialised)
        return kNotInitialised;
    FnInt f = fn<FnInt>(E_DISCONNECT);
    return f ? f(connection) : ERROR_INVALID_FUNCTION;
}

uint32_t lgLcdEnumerate(int32_t connection, int32_t index, DeviceDescription* desc) {
    if (!g_client.initialised)
        return kNotInitialised;
    FnEnumerate f = fn<FnEnumerate>(E_ENUMERATE);
    return f ? f(connection, index, desc) : ERROR_INVALID_FUNCTION;
}

uint32_t lgLcdOpen(OpenContext* ctx) {
    if (!g_client.initialised)
        return kNotInitialised;
    FnOpen f = fn<FnOpen>(E_OPEN);
    return f ? f(ctx) : ERROR_INVALID_FUNCTION;
}

uint32_t lgLcdClose(int32_t device) {
    if (!g_client.initialised)
        return kNotInitialised;
    FnInt f = fn<FnInt>(E_CLOSE);
    return f ? f(device) : ERROR_INVALID_FUNCTION;
}

uint32_t lgLcdUpdateBitmap(int32_t device, const LcdBitmap* bitmap, uint32_t priority) {
    if (!g_client.initialised)
        return kNotInitialised;
    FnUpdate f = fn<FnUpdate>(E_UPDATE);
    return f ? f(device, bitmap, priority) : ERROR_INVALID_FUNCTION;
}

void* lg_client_pin() {
    char path[MAX_PATH];
    if (!g_client.library || !GetModuleFileNameA(g_client.library, path, sizeof path))
        return nullptr;
    return LoadLibraryA(path);
}

void lg_client_unpin(void* pin) {
    if (pin)
        FreeLibrary(static_cast<HMODULE>(pin));
}
