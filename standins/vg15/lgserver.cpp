// lgLcdServer.dll: the LCD Manager's server library as an applet loads it. It lives in
// the applet's process and talks to LCDMon.exe through the shared state of
// vg15_shared.h. GetInterface(3) returns the table of entry points; every entry is
// __stdcall and returns a Windows error code.
//
// Entries the applet does not use are null, on purpose: under __stdcall the callee pops
// its arguments, so a shared "not supported" stub would corrupt the caller's stack for
// any entry whose argument count differs. A null entry faults at once instead.
//
// The library keeps one process-wide record (a library has no other place for it).
#include <windows.h>

#include <cstring>
#include <initializer_list>

#include "vg15_shared.h"

using namespace vg15;

namespace {

constexpr int MAX_CONNECTIONS = 8;
constexpr DWORD LOCK_WAIT_MS = 1000;
// LCDMon sets its button event on every mask change; the event is auto-reset, so with
// several applets only one wakes at once and the others see the change at their next
// poll. A poll that finds the change count as it was takes no lock; each is a wake-up
// of this thread in the applet's process, so they are few.
constexpr DWORD BUTTON_POLL_MS = 500;
constexpr DWORD LATE_DEINIT_WAIT_MS = 10000; // a late call waiting for lgLcdDeInit
constexpr DWORD UPDATE_ALIVE_MS = 200;
constexpr DWORD LATE_JOIN_MS = 3000; // lgLcdDeInit waiting for that call, beyond its delay

struct DeviceEntry {
    volatile LONG in_use;
    int32_t device;
    int32_t connection;
    SoftButtonCallback callback;
    void* context;
    uint32_t start_seq; // mask changes after this one are delivered
};

// One soft-button change delivered after the applet closed its device (FAULT late),
// from a thread of its own as from the LCD Manager's. It keeps its own view of the
// shared state and its own reference on the library: by the time it calls, the applet
// may have de-initialised (which unmaps the library's view) and freed the library.
struct LateCall {
    SoftButtonCallback callback;
    void* context;
    int32_t device;
    uint32_t mask;
    DWORD delay_ms;
    DWORD closed_tick;
    HANDLE deinit_event; // null: timed from the close; else set when lgLcdDeInit begins
    HANDLE mapping;
    HANDLE mutex;
    Shared* shm;
};

struct ConnectionEntry {
    volatile LONG in_use;
    int32_t id;
    uint32_t generation;
};

struct Server {
    volatile LONG initialised;
    HANDLE mapping;
    Shared* shm;
    HANDLE mutex;
    HANDLE button_event;
    HANDLE lcdmon_process;
    HANDLE stop_event;
    HANDLE button_thread;
    uint32_t last_seq;  // last mask change delivered by the button thread
    HANDLE late_thread; // the pending late call (FAULT late), or the one that ran last
    HANDLE late_deinit; // its "lgLcdDeInit began" signal when it waits for that
    DWORD late_delay_ms;
    DWORD update_alive_tick; // when an update last asked whether LCDMon runs
    ConnectionEntry connections[MAX_CONNECTIONS];
    DeviceEntry devices[MAX_DEVICES * 2];
    CRITICAL_SECTION table_lock; // connect/open/close bookkeeping; never held by updates
};

Server g_server;
HMODULE g_module;

bool lock_shared(Server& s, DWORD ms) {
    if (!s.mutex)
        return false;
    DWORD r = WaitForSingleObject(s.mutex, ms);
    // An abandoned lock means LCDMon died while holding it: we own it now.
    return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

void unlock_shared(Server& s) {
    ReleaseMutex(s.mutex);
}

void log_event(Server& s, EventKind kind, int32_t a, int32_t b, int32_t result) {
    if (!s.shm)
        return;
    if (!lock_shared(s, LOCK_WAIT_MS))
        return;
    add_event(s.shm, GetTickCount(), GetCurrentProcessId(), kind, a, b, result);
    unlock_shared(s);
}

// Maps LCDMon's shared state once; the view stays until de-initialisation, so a
// relaunched LCDMon (which re-initialises the same mapping) is seen through it.
bool attach(Server& s) {
    if (s.shm)
        return true;
    HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, SHM_NAME);
    if (!mapping)
        return false;
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared));
    HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, MUTEX_NAME);
    HANDLE ev = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, BUTTON_EVENT_NAME);
    if (!view || !mutex || !ev) {
        if (view)
            UnmapViewOfFile(view);
        if (mutex)
            CloseHandle(mutex);
        if (ev)
            CloseHandle(ev);
        CloseHandle(mapping);
        return false;
    }
    s.mapping = mapping;
    s.shm = static_cast<Shared*>(view);
    s.mutex = mutex;
    s.button_event = ev;
    return true;
}

bool lcdmon_alive(Server& s) {
    return s.lcdmon_process && WaitForSingleObject(s.lcdmon_process, 0) == WAIT_TIMEOUT;
}

ConnectionEntry* find_connection(Server& s, int32_t id) {
    for (ConnectionEntry& c : s.connections)
        if (c.in_use && c.id == id)
            return &c;
    return nullptr;
}

DeviceEntry* find_device(Server& s, int32_t device) {
    for (DeviceEntry& d : s.devices)
        if (d.in_use && d.device == device)
            return &d;
    return nullptr;
}

// The connection still reaches the LCDMon it was made with.
bool connection_live(Server& s, const ConnectionEntry& c) {
    return s.shm && s.shm->magic == MAGIC && s.shm->generation == c.generation && lcdmon_alive(s);
}

// The same for an update: the process is asked about at most every 200 ms (a wait on
// it is a system call, and updates come ten times a second), so a killed LCDMon is
// answered 1167 within two frames; a restarted one, whose generation differs, at once.
bool update_connection_live(Server& s, const ConnectionEntry& c) {
    if (!s.shm || s.shm->magic != MAGIC || s.shm->generation != c.generation)
        return false;
    DWORD now = GetTickCount();
    if (now - s.update_alive_tick < UPDATE_ALIVE_MS)
        return true;
    if (!lcdmon_alive(s))
        return false;
    s.update_alive_tick = now;
    return true;
}

// The LCD Manager's own thread: delivers every change of the held-button mask, in
// order, to each open device's callback.
DWORD WINAPI button_thread(void*) {
    Server& s = g_server;
    for (;;) {
        HANDLE waits[2] = {s.stop_event, s.button_event};
        DWORD r = WaitForMultipleObjects(2, waits, FALSE, BUTTON_POLL_MS);
        if (r == WAIT_OBJECT_0)
            break;
        // An aligned 32-bit read: LCDMon moves it under the lock, after the change.
        if (*static_cast<volatile uint32_t*>(&s.shm->mask_seq) == s.last_seq)
            continue;
        MaskChange pending[MASK_RING];
        uint32_t count = 0;
        if (!lock_shared(s, 200))
            continue;
        uint32_t newest = s.shm->mask_seq;
        if (newest < s.last_seq) // LCDMon restarted: its sequence began again
            s.last_seq = 0;
        uint32_t first = s.last_seq + 1;
        if (newest >= MASK_RING && first + MASK_RING <= newest)
            first = newest - MASK_RING + 1; // fell behind: the oldest kept change first
        for (uint32_t seq = first; seq <= newest; ++seq) {
            const MaskChange& m = s.shm->masks[seq % MASK_RING];
            if (m.seq == seq)
                pending[count++] = m;
        }
        s.last_seq = newest;
        unlock_shared(s);
        for (uint32_t i = 0; i < count; ++i) {
            for (DeviceEntry& d : s.devices) {
                if (!d.in_use || pending[i].seq <= d.start_seq || !d.callback)
                    continue;
                d.callback(d.device, pending[i].mask, d.context);
                if (lock_shared(s, LOCK_WAIT_MS)) {
                    add_event(s.shm, GetTickCount(), GetCurrentProcessId(), EV_CALLBACK, d.device,
                              static_cast<int32_t>(pending[i].mask), 0);
                    s.shm->delivered_seq = pending[i].seq;
                    s.shm->delivered_tick = GetTickCount();
                    unlock_shared(s);
                }
            }
        }
    }
    // The thread holds its own reference on the library, so an applet that frees the
    // library while a callback is still running cannot pull the code from under it.
    FreeLibraryAndExitThread(g_module, 0);
    return 0;
}

HANDLE dup(HANDLE h) {
    HANDLE out = nullptr;
    if (h)
        DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &out, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    return out;
}

void free_late_call(LateCall* l) {
    if (l->shm)
        UnmapViewOfFile(l->shm);
    for (HANDLE h : {l->mapping, l->mutex, l->deinit_event})
        if (h)
            CloseHandle(h);
    HeapFree(GetProcessHeap(), 0, l);
}

DWORD WINAPI late_call_thread(void* param) {
    LateCall* l = static_cast<LateCall*>(param);
    if (l->deinit_event)
        WaitForSingleObject(l->deinit_event, LATE_DEINIT_WAIT_MS);
    Sleep(l->delay_ms);
    DWORD called = GetTickCount();
    l->callback(l->device, l->mask, l->context);
    DWORD r = WaitForSingleObject(l->mutex, LOCK_WAIT_MS);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
        if (l->shm->magic == MAGIC)
            add_event(l->shm, GetTickCount(), GetCurrentProcessId(), EV_LATE_CALLBACK, l->device,
                      static_cast<int32_t>(l->mask), static_cast<int32_t>(called - l->closed_tick));
        ReleaseMutex(l->mutex);
    }
    free_late_call(l);
    FreeLibraryAndExitThread(g_module, 0);
    return 0;
}

// Called by lgLcdClose once the device is closed: takes an armed late call, if any, and
// starts its thread. One at a time: an armed call waits for a close after that ended.
void start_late_call(Server& s, int32_t device, SoftButtonCallback callback, void* context) {
    if (!callback || !s.shm)
        return;
    if (s.late_thread) {
        if (WaitForSingleObject(s.late_thread, 0) != WAIT_OBJECT_0)
            return;
        CloseHandle(s.late_thread);
        s.late_thread = nullptr;
    }
    if (!lock_shared(s, LOCK_WAIT_MS))
        return;
    const bool armed = s.shm->late_armed != 0;
    const uint32_t mask = static_cast<uint32_t>(s.shm->late_mask);
    const DWORD delay_ms = static_cast<DWORD>(s.shm->late_ms);
    const bool in_deinit = s.shm->late_in_deinit != 0;
    s.shm->late_armed = 0;
    unlock_shared(s);
    if (!armed)
        return;

    LateCall* l =
        static_cast<LateCall*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(LateCall)));
    if (!l)
        return;
    l->callback = callback;
    l->context = context;
    l->device = device;
    l->mask = mask;
    l->delay_ms = delay_ms;
    l->closed_tick = GetTickCount();
    l->mapping = dup(s.mapping);
    l->mutex = dup(s.mutex);
    if (l->mapping)
        l->shm = static_cast<Shared*>(
            MapViewOfFile(l->mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared)));
    HANDLE deinit_event = in_deinit ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
    l->deinit_event = dup(deinit_event);
    HMODULE self = nullptr;
    HANDLE thread = nullptr;
    if (l->shm && l->mutex && (!in_deinit || l->deinit_event) &&
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCSTR>(&late_call_thread), &self)) {
        thread = CreateThread(nullptr, 0, late_call_thread, l, 0, nullptr);
        if (!thread)
            FreeLibrary(self);
    }
    if (!thread) {
        if (deinit_event)
            CloseHandle(deinit_event);
        free_late_call(l);
        return;
    }
    s.late_thread = thread;
    s.late_deinit = deinit_event;
    s.late_delay_ms = delay_ms;
}

// lgLcdDeInit lets a late call that waits for it go, and waits for it (bounded).
void release_late_call(Server& s) {
    if (!s.late_deinit)
        return;
    SetEvent(s.late_deinit);
    CloseHandle(s.late_deinit);
    s.late_deinit = nullptr;
    WaitForSingleObject(s.late_thread, s.late_delay_ms + LATE_JOIN_MS);
}

void start_button_thread(Server& s) {
    if (s.button_thread)
        return;
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCSTR>(&button_thread), &self);
    ResetEvent(s.stop_event);
    s.button_thread = CreateThread(nullptr, 0, button_thread, nullptr, 0, nullptr);
    if (!s.button_thread && self)
        FreeLibrary(self);
}

// Bounded: a callback stuck in the applet cannot hold the caller for more than 3 s.
// Returns false when the thread may still be running (it then still uses the view).
bool stop_button_thread(Server& s) {
    if (!s.button_thread)
        return true;
    SetEvent(s.stop_event);
    bool stopped = GetThreadId(s.button_thread) != GetCurrentThreadId() &&
                   WaitForSingleObject(s.button_thread, 3000) == WAIT_OBJECT_0;
    CloseHandle(s.button_thread);
    s.button_thread = nullptr;
    return stopped;
}

DWORD WINAPI lg_init() {
    Server& s = g_server;
    InterlockedExchange(&s.initialised, 1);
    if (attach(s))
        log_event(s, EV_INIT, 0, 0, 0);
    return RC_OK;
}

DWORD WINAPI lg_deinit() {
    Server& s = g_server;
    if (!s.initialised)
        return RC_OK;
    bool stopped = stop_button_thread(s);
    EnterCriticalSection(&s.table_lock);
    for (DeviceEntry& d : s.devices)
        d.in_use = 0;
    for (ConnectionEntry& c : s.connections)
        c.in_use = 0;
    LeaveCriticalSection(&s.table_lock);
    release_late_call(s);
    log_event(s, EV_DEINIT, 0, 0, 0);
    if (s.lcdmon_process)
        CloseHandle(s.lcdmon_process);
    s.lcdmon_process = nullptr;
    if (s.shm && stopped) { // a thread still running keeps the view until process exit
        HANDLE mutex = s.mutex;
        s.mutex = nullptr;
        UnmapViewOfFile(s.shm);
        s.shm = nullptr;
        CloseHandle(mutex);
        CloseHandle(s.button_event);
        CloseHandle(s.mapping);
        s.button_event = s.mapping = nullptr;
    }
    InterlockedExchange(&s.initialised, 0);
    return RC_OK;
}

DWORD WINAPI lg_connect(ConnectContext* ctx) {
    Server& s = g_server;
    if (!s.initialised)
        return RC_NOT_INITIALISED;
    if (!ctx)
        return RC_INVALID_PARAMETER;
    ctx->connection = -1;
    if (!FindWindowA(LCDMON_CLASS, LCDMON_TITLE) || !attach(s))
        return RC_FILE_NOT_FOUND;
    if (!lock_shared(s, LOCK_WAIT_MS))
        return RC_FILE_NOT_FOUND;
    Shared* shm = s.shm;
    if (shm->magic != MAGIC || shm->layout != LAYOUT) {
        unlock_shared(s);
        return RC_FILE_NOT_FOUND;
    }
    uint32_t code = static_cast<uint32_t>(shm->connect_result);
    uint32_t generation = shm->generation;
    uint32_t pid = shm->lcdmon_pid;
    int32_t id = -1;
    if (code == RC_OK) {
        EnterCriticalSection(&s.table_lock);
        ConnectionEntry* slot = nullptr;
        for (ConnectionEntry& c : s.connections)
            if (!c.in_use) {
                slot = &c;
                break;
            }
        if (slot) {
            id = ++shm->next_connection;
            slot->id = id;
            slot->generation = generation;
            slot->in_use = 1;
            shm->connections++;
            shm->applet_pid = GetCurrentProcessId();
        } else {
            code = RC_NO_SYSTEM_RESOURCES;
        }
        LeaveCriticalSection(&s.table_lock);
    }
    add_event(shm, GetTickCount(), GetCurrentProcessId(), EV_CONNECT, id, 0,
              static_cast<int32_t>(code));
    unlock_shared(s);
    if (code != RC_OK)
        return code;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process) {
        HANDLE old = InterlockedExchangePointer(&s.lcdmon_process, process);
        if (old)
            CloseHandle(old);
    }
    ctx->connection = id;
    return RC_OK;
}

DWORD WINAPI lg_disconnect(int32_t connection) {
    Server& s = g_server;
    if (!s.initialised)
        return RC_NOT_INITIALISED;
    EnterCriticalSection(&s.table_lock);
    ConnectionEntry* c = find_connection(s, connection);
    uint32_t code = c ? RC_OK : RC_INVALID_HANDLE;
    if (c)
        c->in_use = 0;
    LeaveCriticalSection(&s.table_lock);
    if (c && s.shm && lock_shared(s, LOCK_WAIT_MS)) {
        s.shm->connections--;
        unlock_shared(s);
    }
    log_event(s, EV_DISCONNECT, connection, 0, static_cast<int32_t>(code));
    return code;
}

DWORD WINAPI lg_enumerate(int32_t connection, int32_t index, DeviceDescription* desc) {
    Server& s = g_server;
    if (!s.initialised)
        return RC_NOT_INITIALISED;
    ConnectionEntry* c = find_connection(s, connection);
    uint32_t code;
    if (!c)
        code = RC_INVALID_HANDLE;
    else if (!desc)
        code = RC_INVALID_PARAMETER;
    else if (!connection_live(s, *c))
        code = RC_DEVICE_NOT_CONNECTED;
    else if (index < 0 || index >= s.shm->device_count)
        code = RC_NO_MORE_ITEMS;
    else
        code = RC_OK;
    if (code == RC_OK) {
        std::memset(desc, 0, sizeof *desc);
        std::memcpy(desc->bytes, "vg15 G15 #", 10);
        desc->bytes[10] = static_cast<uint8_t>('0' + index);
        desc->bytes[12] = vg15::WIDTH; // 160 x 43, one bit of depth
        desc->bytes[14] = vg15::HEIGHT;
    }
    log_event(s, EV_ENUMERATE, connection, index, static_cast<int32_t>(code));
    return code;
}

DWORD WINAPI lg_open(OpenContext* ctx) {
    Server& s = g_server;
    if (!s.initialised)
        return RC_NOT_INITIALISED;
    if (!ctx)
        return RC_INVALID_PARAMETER;
    ctx->device = -1;
    ConnectionEntry* c = find_connection(s, ctx->connection);
    if (!c) {
        log_event(s, EV_OPEN, ctx->index, -1, RC_INVALID_HANDLE);
        return RC_INVALID_HANDLE;
    }
    if (!connection_live(s, *c)) {
        log_event(s, EV_OPEN, ctx->index, -1, RC_DEVICE_NOT_CONNECTED);
        return RC_DEVICE_NOT_CONNECTED;
    }
    if (!lock_shared(s, LOCK_WAIT_MS))
        return RC_DEVICE_NOT_CONNECTED;
    Shared* shm = s.shm;
    uint32_t code = RC_OK;
    int32_t device = -1;
    if (ctx->index < 0 || ctx->index >= shm->device_count) {
        code = RC_INVALID_PARAMETER;
    } else if (shm->open_fail_code != 0 && shm->open_fail_count != 0) {
        code = static_cast<uint32_t>(shm->open_fail_code);
        if (shm->open_fail_count > 0 && --shm->open_fail_count == 0)
            shm->open_fail_code = 0;
    } else {
        EnterCriticalSection(&s.table_lock);
        DeviceEntry* slot = nullptr;
        for (DeviceEntry& d : s.devices)
            if (!d.in_use) {
                slot = &d;
                break;
            }
        if (slot) {
            device = ++shm->next_device;
            slot->device = device;
            slot->connection = ctx->connection;
            slot->callback = ctx->on_soft_buttons;
            slot->context = ctx->context;
            slot->start_seq = shm->mask_seq;
            slot->in_use = 1;
            shm->open_devices++;
        } else {
            code = RC_NO_SYSTEM_RESOURCES;
        }
        LeaveCriticalSection(&s.table_lock);
    }
    add_event(shm, GetTickCount(), GetCurrentProcessId(), EV_OPEN, ctx->index, device,
              static_cast<int32_t>(code));
    if (code == RC_OK && !s.button_thread)
        s.last_seq = shm->mask_seq;
    unlock_shared(s);
    if (code != RC_OK)
        return code;
    start_button_thread(s);
    ctx->device = device;
    return RC_OK;
}

DWORD WINAPI lg_close(int32_t device) {
    Server& s = g_server;
    if (!s.initialised)
        return RC_NOT_INITIALISED;
    EnterCriticalSection(&s.table_lock);
    DeviceEntry* d = find_device(s, device);
    SoftButtonCallback callback = d ? d->callback : nullptr;
    void* context = d ? d->context : nullptr;
    if (d)
        d->in_use = 0;
    bool any_open = false;
    for (DeviceEntry& e : s.devices)
        any_open = any_open || e.in_use;
    LeaveCriticalSection(&s.table_lock);
    uint32_t code = d ? RC_OK : RC_INVALID_HANDLE;
    if (!any_open)
        stop_button_thread(s);
    if (d && s.shm && lock_shared(s, LOCK_WAIT_MS)) {
        s.shm->open_devices--;
        unlock_shared(s);
    }
    log_event(s, EV_CLOSE, device, 0, static_cast<int32_t>(code));
    start_late_call(s, device, callback, context);
    return code;
}

// Returns once the frame is in LCDMon's ring (0), or at once with the injected failure.
// No lock of this library is held here, so a caller may terminate the calling thread at
// any moment; LCDMon's lock is never held across the injected stall.
DWORD WINAPI lg_update_bitmap(int32_t device, const LcdBitmap* bitmap, DWORD priority) {
    Server& s = g_server;
    if (!s.initialised)
        return RC_NOT_INITIALISED;
    DeviceEntry* d = find_device(s, device);
    if (!d)
        return RC_INVALID_HANDLE;
    ConnectionEntry* c = find_connection(s, d->connection);
    if (!c || !update_connection_live(s, *c))
        return RC_DEVICE_NOT_CONNECTED;
    if (!lock_shared(s, LOCK_WAIT_MS))
        return RC_DEVICE_NOT_CONNECTED;
    Shared* shm = s.shm;
    shm->update_calls++;
    uint32_t code = RC_OK;
    if (!bitmap || bitmap->format != 1) {
        code = RC_INVALID_PARAMETER;
    } else if (shm->update_fail_code != 0 && shm->update_fail_count != 0) {
        code = static_cast<uint32_t>(shm->update_fail_code);
        if (shm->update_fail_count > 0 && --shm->update_fail_count == 0)
            shm->update_fail_code = 0;
    }
    if (code != RC_OK) {
        if (code == RC_DEVICE_NOT_CONNECTED)
            shm->update_lost++;
        else
            shm->update_failed++;
        add_event(shm, GetTickCount(), GetCurrentProcessId(), EV_UPDATE_FAIL, device, 0,
                  static_cast<int32_t>(code));
        unlock_shared(s);
        return code;
    }
    int32_t stall = shm->stall_ms;
    if (stall > 0) {
        shm->stall_ms = 0;
        add_event(shm, GetTickCount(), GetCurrentProcessId(), EV_STALL, device, stall, 0);
        unlock_shared(s);
        Sleep(static_cast<DWORD>(stall));
        if (!connection_live(s, *c) || !lock_shared(s, LOCK_WAIT_MS))
            return RC_DEVICE_NOT_CONNECTED;
    }
    uint32_t seq = ++shm->frame_seq;
    FrameSlot& slot = shm->frames[seq % FRAME_RING];
    slot.seq = 0; // a reader never sees a half-written slot as complete
    slot.tick = GetTickCount();
    slot.pid = GetCurrentProcessId();
    slot.format = bitmap->format;
    std::memcpy(slot.pixels, bitmap->pixels, FRAME_BYTES);
    slot.seq = seq;
    shm->update_ok++;
    unlock_shared(s);
    return RC_OK;
}

void* g_table[TABLE_SIZE];

} // namespace

extern "C" __declspec(dllexport) void* __stdcall GetInterface(int version) {
    if (version != 3)
        return nullptr;
    return g_table;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
        InitializeCriticalSection(&g_server.table_lock);
        g_server.stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        g_table[ENTRY_INIT] = reinterpret_cast<void*>(&lg_init);
        g_table[ENTRY_DEINIT] = reinterpret_cast<void*>(&lg_deinit);
        g_table[ENTRY_CONNECT] = reinterpret_cast<void*>(&lg_connect);
        g_table[ENTRY_DISCONNECT] = reinterpret_cast<void*>(&lg_disconnect);
        g_table[ENTRY_ENUMERATE] = reinterpret_cast<void*>(&lg_enumerate);
        g_table[ENTRY_OPEN] = reinterpret_cast<void*>(&lg_open);
        g_table[ENTRY_CLOSE] = reinterpret_cast<void*>(&lg_close);
        g_table[ENTRY_UPDATE_BITMAP] = reinterpret_cast<void*>(&lg_update_bitmap);
    } else if (reason == DLL_PROCESS_DETACH) {
        // Each load by an applet (one per lgLcdInit) must give back what it took.
        if (g_server.stop_event)
            CloseHandle(g_server.stop_event);
        g_server.stop_event = nullptr;
        DeleteCriticalSection(&g_server.table_lock);
    }
    return TRUE;
}
