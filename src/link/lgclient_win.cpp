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

GetInterfaceFn get_interface_of(const LgClient* c) {
    return reinterpret_cast<GetInterfaceFn>(c->get_interface);
}

void* entry(const LgClient* c, int i) {
    return c->table ? c->table[i] : nullptr;
}

void unload(LgClient* c) {
    if (c->library)
        FreeLibrary(static_cast<HMODULE>(c->library));
    c->library = nullptr;
    c->get_interface = nullptr;
    c->table = nullptr;
}

bool load(LgClient* c) {
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
    HMODULE library = LoadLibraryA(path);
    c->library = library;
    if (library) {
        c->get_interface =
            reinterpret_cast<void*>(lookup_proc<GetInterfaceFn>(library, "GetInterface"));
        if (c->get_interface)
            c->table = static_cast<void* const*>(get_interface_of(c)(3));
    }
    if (!c->table) {
        unload(c);
        return false;
    }
    return true;
}

template <typename F> F fn(const LgClient* c, int i) {
    return reinterpret_cast<F>(entry(c, i));
}

} // namespace

uint32_t lgLcdInit(LgClient* c) {
    if (c->initialised)
        return kInitialisedBefore;
    if (!load(c))
        return kNotAvailable;
    c->initialised = 1;
    Fn0 f = fn<Fn0>(c, E_INIT);
    return f ? f() : ERROR_INVALID_FUNCTION;
}

uint32_t lgLcdDeInit(LgClient* c) {
    if (!c->initialised)
        return 0;
    Fn0 f = fn<Fn0>(c, E_DEINIT);
    DWORD r = f ? f() : ERROR_INVALID_FUNCTION;
    unload(c);
    c->initialised = 0;
    return r;
}

uint32_t lgLcdConnect(LgClient* c, ConnectContext* ctx) {
    if (!c->initialised)
        return kNotInitialised;
    FnConnect f = fn<FnConnect>(c, E_CONNECT);
    return f ? f(ctx) : ERROR_INVALID_FUNCTION;
}

uint32_t lgLcdDisconnect(LgClient* c, int32_t connection) {
    if (!c->initialised)
        return kNotInitialised;
    FnInt f = fn<FnInt>(c, E_DISCONNECT);
    return f ? f(connection) : ERROR_INVALID_FUNCTION;
}

uint32_t lgLcdEnumerate(LgClient* c, int32_t connection, int32_t index, DeviceDescription* desc) {
    if (!c->initialised)
        return kNotInitialised;
    FnEnumerate f = fn<FnEnumerate>(c, E_ENUMERATE);
    return f ? f(connection, index, desc) : ERROR_INVALID_FUNCTION;
}

uint32_t lgLcdOpen(LgClient* c, OpenContext* ctx) {
    if (!c->initialised)
        return kNotInitialised;
    FnOpen f = fn<FnOpen>(c, E_OPEN);
    return f ? f(ctx) : ERROR_INVALID_FUNCTION;
}

uint32_t lgLcdClose(LgClient* c, int32_t device) {
    if (!c->initialised)
        return kNotInitialised;
    FnInt f = fn<FnInt>(c, E_CLOSE);
    return f ? f(device) : ERROR_INVALID_FUNCTION;
}

uint32_t lgLcdUpdateBitmap(const LgClient* c, int32_t device, const LcdBitmap* bitmap,
                           uint32_t priority) {
    if (!c->initialised)
        return kNotInitialised;
    FnUpdate f = fn<FnUpdate>(c, E_UPDATE);
    return f ? f(device, bitmap, priority) : ERROR_INVALID_FUNCTION;
}

void* lg_client_pin(const LgClient* c) {
    char path[MAX_PATH];
    if (!c->library || !GetModuleFileNameA(static_cast<HMODULE>(c->library), path, sizeof path))
        return nullptr;
    return LoadLibraryA(path);
}

void lg_client_unpin(void* pin) {
    if (pin)
        FreeLibrary(static_cast<HMODULE>(pin));
}
