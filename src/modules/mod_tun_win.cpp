// iTunes module, Windows side: the worker thread that talks to iTunes' COM server,
// its event sink, and starting and stopping it.
//
// Calls on the player's objects go by name through IDispatch (GetIDsOfNames, then
// Invoke): both of its interfaces are dual automation interfaces, so no declaration
// of them is needed here.
//
// Stopping the worker: it is never terminated, and the main thread never touches a
// COM object (they belong to the worker's apartment). The worker owns a record of
// its own, shared with the module by reference count: the track snapshot, the text
// lock, a stop event and the settings it needs. Stopping sets the event, which cuts
// every pause short, and waits up to 1500 ms for the thread; the worker then leaves
// its cycle, releases its own objects and ends. A worker held inside a call by
// iTunes is not waited for: when the call returns it finds the event set, gives back
// its objects and its reference, and touches nothing outside its own record.
#include <windows.h>

#include <ocidl.h>
#include <oleauto.h>

#include <cstring>
#include <new>

#include "modules/mod_tun.h"
#include "services/util.h"

namespace {

const CLSID kAppClass = {
    0xDC0C2640, 0x1415, 0x4644, {0x87, 0x5C, 0x6F, 0x4D, 0x76, 0x98, 0x39, 0xBA}};
const IID kAppInterface = {
    0x9DD6680B, 0x3EDC, 0x40DB, {0xA7, 0x71, 0xE6, 0xFE, 0x48, 0x32, 0xE3, 0x4A}};
const IID kContainerInterface = {
    0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
const IID kEventsInterface = {
    0x5846EB78, 0x317E, 0x4B6F, {0xB0, 0xC3, 0x11, 0xEE, 0x8C, 0x8F, 0xEE, 0xF2}};
const IID kUnknownInterface = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kDispatchInterface = {
    0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kNullInterface = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

constexpr DWORD kStopWaitMs = 1500;
constexpr uint32_t kTextLockWaitMs = 100;

// The worker's own record, shared with the module while it holds its reference.
struct Worker {
    TunSnapshot snap;
    HANDLE text_lock;       // mutex over snap.text
    HANDLE stop;            // manual-reset event: set once, when the module lets go
    HANDLE look;            // auto-reset event: the frame loop saw iTunes' window or paused
    uint32_t waits;         // the worker's waits for the window so far (numbers them)
    volatile LONG stop_set; // set just before `stop`: read by the passes' checks
    volatile LONG refs;
    int32_t mediakeys;
    char pending[TUN_TEXT]; // a text still to be stored (the lock was busy)
    bool has_pending;
};

void release_worker(Worker* w) {
    if (InterlockedDecrement(&w->refs) == 0) {
        if (w->text_lock)
            CloseHandle(w->text_lock);
        if (w->stop)
            CloseHandle(w->stop);
        if (w->look)
            CloseHandle(w->look);
        delete w;
    }
}

// An abandoned mutex is owned by the caller: it is given back at once and the wait
// counts as failed, like a timeout.
bool lock_acquire(void* handle, uint32_t wait_ms) {
    DWORD r = WaitForSingleObject(static_cast<HANDLE>(handle), wait_ms);
    if (r == WAIT_ABANDONED)
        ReleaseMutex(static_cast<HANDLE>(handle));
    return r == WAIT_OBJECT_0;
}

void lock_release(void* handle) {
    ReleaseMutex(static_cast<HANDLE>(handle));
}

TunLock text_lock_of(Worker* w) {
    return TunLock{lock_acquire, lock_release, w->text_lock};
}

// A pause of ms milliseconds, cut short by a stop request: true when stopping.
bool pause(Worker* w, DWORD ms) {
    return WaitForSingleObject(w->stop, ms) == WAIT_OBJECT_0;
}

// Read without a wait (a wait of 0 on the event is a system call each time, and each
// 50 ms pass checks): the flag is set before the event, so a pause that ended on the
// event always finds it set.
bool stopping(Worker* w) {
    return InterlockedCompareExchange(&w->stop_set, 0, 0) != 0;
}

// Stores text in the snapshot, or keeps it to store on a later pass when the frame
// loop holds the lock.
void publish(Worker* w, const char* text) {
    size_t n = strnlen(text, TUN_TEXT - 1);
    memcpy(w->pending, text, n);
    w->pending[n] = '\0';
    w->has_pending = true;
    TunLock lock = text_lock_of(w);
    if (tun_store_text(&w->snap, &lock, w->pending, kTextLockWaitMs))
        w->has_pending = false;
}

void flush_pending(Worker* w) {
    if (!w->has_pending)
        return;
    TunLock lock = text_lock_of(w);
    if (tun_store_text(&w->snap, &lock, w->pending, kTextLockWaitMs))
        w->has_pending = false;
}

// Back to "nothing known": the text and every number.
void clear_snapshot(Worker* w) {
    w->snap.connected.store(0);
    w->snap.playing.store(0);
    w->snap.bitrate.store(0);
    w->snap.duration.store(0);
    w->snap.position.store(0);
    publish(w, "");
}

// The event sink: the player's events interface, an IDispatch whose Invoke only
// counts. Reference counted, so a late event delivered after Unadvise still finds
// it; the worker drops its reference after disconnecting.
class EventSink final : public IDispatch {
  public:
    TunSinkCounts counts;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(iid, kUnknownInterface) || IsEqualIID(iid, kEventsInterface) ||
            IsEqualIID(iid, kDispatchInterface)) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&refs_));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0)
            delete this;
        return static_cast<ULONG>(n);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count)
            *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info)
            *info = nullptr;
        return TYPE_E_ELEMENTNOTFOUND;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*,
                                     EXCEPINFO*, UINT*) override {
        tun_sink_event(&counts, static_cast<int32_t>(id));
        return S_OK;
    }

  private:
    volatile LONG refs_ = 1;
};

// ---- calls by name ----------------------------------------------------------------------

DISPID dispid_of(IDispatch* d, const wchar_t* name) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR n = const_cast<LPOLESTR>(name);
    if (FAILED(d->GetIDsOfNames(kNullInterface, &n, 1, LOCALE_USER_DEFAULT, &id)))
        return DISPID_UNKNOWN;
    return id;
}

HRESULT invoke(IDispatch* d, DISPID id, WORD flags, VARIANT* args, UINT count, VARIANT* result) {
    if (id == DISPID_UNKNOWN)
        return DISP_E_MEMBERNOTFOUND;
    DISPPARAMS params = {args, nullptr, count, 0};
    VariantInit(result);
    return d->Invoke(id, kNullInterface, LOCALE_USER_DEFAULT, flags, &params, result, nullptr,
                     nullptr);
}

// A method without arguments; its result is not looked at.
void call(IDispatch* d, DISPID id) {
    VARIANT r;
    invoke(d, id, DISPATCH_METHOD, nullptr, 0, &r);
    VariantClear(&r);
}

bool get_long(IDispatch* d, DISPID id, int32_t* out) {
    VARIANT r;
    bool ok = SUCCEEDED(invoke(d, id, DISPATCH_PROPERTYGET, nullptr, 0, &r)) &&
              SUCCEEDED(VariantChangeType(&r, &r, 0, VT_I4));
    if (ok)
        *out = V_I4(&r);
    VariantClear(&r);
    return ok;
}

// A text property in the ANSI code page, cut to 255 characters; empty when the call
// fails.
void get_text(IDispatch* d, const wchar_t* name, char out[TUN_TEXT]) {
    out[0] = '\0';
    VARIANT r;
    if (SUCCEEDED(invoke(d, dispid_of(d, name), DISPATCH_PROPERTYGET, nullptr, 0, &r)) &&
        SUCCEEDED(VariantChangeType(&r, &r, 0, VT_BSTR)) && V_BSTR(&r)) {
        // At most 255 characters, converted into room for any code page, then cut.
        char wide[4 * TUN_TEXT];
        UINT len = SysStringLen(V_BSTR(&r));
        int chars = static_cast<int>(len < TUN_TEXT - 1 ? len : TUN_TEXT - 1);
        int n = chars ? WideCharToMultiByte(CP_ACP, 0, V_BSTR(&r), chars, wide, sizeof wide - 1,
                                            nullptr, nullptr)
                      : 0;
        if (n > TUN_TEXT - 1)
            n = TUN_TEXT - 1;
        if (n > 0)
            memcpy(out, wide, static_cast<size_t>(n));
        out[n > 0 ? n : 0] = '\0';
        // A NUL inside the text ends it.
        out[strnlen(out, TUN_TEXT - 1)] = '\0';
    }
    VariantClear(&r);
}

// ---- one connection ---------------------------------------------------------------------

struct AppNames {
    DISPID check_version, stop, play_pause, next, previous, position, state, track;
};

struct MediaKey {
    int vk;
    DISPID AppNames::*method;
};
const MediaKey kMediaKeys[4] = {{VK_MEDIA_STOP, &AppNames::stop},
                                {VK_MEDIA_PLAY_PAUSE, &AppNames::play_pause},
                                {VK_MEDIA_NEXT_TRACK, &AppNames::next},
                                {VK_MEDIA_PREV_TRACK, &AppNames::previous}};

struct Connection {
    IDispatch* app;
    IConnectionPoint* point;
    DWORD cookie;
    EventSink* sink;
    AppNames names;
    WindowWatch window; // iTunes' main window, checked on every pass
    int32_t latch[4];
    DWORD position_tried; // tick of the last position read
};

void look_up_names(Connection* c) {
    IDispatch* a = c->app;
    c->names.check_version = dispid_of(a, L"CheckVersion");
    c->names.stop = dispid_of(a, L"Stop");
    c->names.play_pause = dispid_of(a, L"PlayPause");
    c->names.next = dispid_of(a, L"NextTrack");
    c->names.previous = dispid_of(a, L"PreviousTrack");
    c->names.position = dispid_of(a, L"PlayerPosition");
    c->names.state = dispid_of(a, L"PlayerState");
    c->names.track = dispid_of(a, L"CurrentTrack");
}

// CheckVersion(1, 1): false only when the call succeeds and says incompatible.
bool compatible(Connection* c) {
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    V_VT(&args[0]) = VT_I4; // arguments go in reverse order: minor, then major
    V_I4(&args[0]) = 1;
    V_VT(&args[1]) = VT_I4;
    V_I4(&args[1]) = 1;
    VARIANT r;
    bool ok = true;
    if (SUCCEEDED(invoke(c->app, c->names.check_version, DISPATCH_METHOD, args, 2, &r)) &&
        SUCCEEDED(VariantChangeType(&r, &r, 0, VT_BOOL)))
        ok = V_BOOL(&r) != VARIANT_FALSE;
    VariantClear(&r);
    return ok;
}

void advise(Connection* c) {
    IConnectionPointContainer* container = nullptr;
    if (FAILED(c->app->QueryInterface(kContainerInterface, reinterpret_cast<void**>(&container))) ||
        !container)
        return;
    IConnectionPoint* point = nullptr;
    if (SUCCEEDED(container->FindConnectionPoint(kEventsInterface, &point)) && point) {
        DWORD cookie = 0;
        if (SUCCEEDED(point->Advise(static_cast<IDispatch*>(c->sink), &cookie))) {
            c->point = point;
            c->cookie = cookie;
        } else {
            point->Release();
        }
    }
    container->Release();
}

// Reads the current track, the position and the player state into the snapshot.
void refresh(Worker* w, Connection* c) {
    VARIANT r;
    IDispatch* track = nullptr;
    if (SUCCEEDED(invoke(c->app, c->names.track, DISPATCH_PROPERTYGET, nullptr, 0, &r))) {
        if (V_VT(&r) == VT_DISPATCH && V_DISPATCH(&r)) {
            track = V_DISPATCH(&r);
            V_VT(&r) = VT_EMPTY; // the reference moves to track
        } else if (V_VT(&r) == VT_UNKNOWN && V_UNKNOWN(&r)) {
            V_UNKNOWN(&r)->QueryInterface(kDispatchInterface, reinterpret_cast<void**>(&track));
        }
    }
    VariantClear(&r);
    if (!track)
        return;
    char name[TUN_TEXT], artist[TUN_TEXT], text[TUN_TEXT];
    get_text(track, L"Name", name);
    get_text(track, L"Artist", artist);
    int32_t value = 0;
    if (get_long(track, dispid_of(track, L"Duration"), &value))
        w->snap.duration.store(value);
    if (get_long(track, dispid_of(track, L"BitRate"), &value))
        w->snap.bitrate.store(value);
    int32_t position = tun_position_seconds(w->snap.position.load());
    get_long(c->app, c->names.position, &position);
    if (get_long(c->app, c->names.state, &value))
        w->snap.playing.store(value == 1 ? 1 : 0);
    tun_track_text(text, artist, name);
    publish(w, text);
    DWORD now = GetTickCount();
    w->snap.position.store(tun_pack_position(position, now));
    c->position_tried = now;
    track->Release();
}

// Passes the media keys on while iTunes is not in the foreground (the window was
// looked up at most a second ago: the poll loop checks it on every pass).
void media_keys(Connection* c) {
    HWND window = static_cast<HWND>(c->window.window);
    if (window && GetForegroundWindow() == window)
        return;
    for (int i = 0; i < 4; ++i) {
        bool down = GetAsyncKeyState(kMediaKeys[i].vk) < 0;
        if (tun_key_step(&c->latch[i], down))
            call(c->app, c->names.*kMediaKeys[i].method);
    }
}

// Connected: polls every 50 ms while the window exists and no quit event came.
// False when the worker is to stop.
bool poll(Worker* w, Connection* c) {
    while (window_watch_present(&c->window, GetTickCount(), &kItunesWindowHost) &&
           c->sink->counts.quit.load() == 0) {
        // A plain sleep, then the stop flag: no wait on the stop event, which would
        // be a system call on every pass.
        Sleep(50);
        if (stopping(w))
            return false;
        DWORD now = GetTickCount();
        if (w->mediakeys)
            media_keys(c);
        if (now - c->position_tried >= 1000) {
            c->position_tried = now;
            int32_t position = 0;
            if (get_long(c->app, c->names.position, &position))
                w->snap.position.store(tun_pack_position(position, GetTickCount()));
        }
        // Taken before the refresh, so an event arriving during it asks for another.
        if (c->sink->counts.refresh.exchange(0) != 0)
            refresh(w, c);
        flush_pending(w);
        if (stopping(w))
            return false;
    }
    return true;
}

void disconnect(Worker* w, Connection* c) {
    w->snap.connected.store(0);
    if (c->point) {
        c->point->Unadvise(c->cookie);
        c->point->Release();
        c->point = nullptr;
    }
    if (c->sink) {
        c->sink->Release();
        c->sink = nullptr;
    }
    if (c->app) {
        c->app->Release();
        c->app = nullptr;
    }
    clear_snapshot(w);
}

// A new number for a wait for the window (never 0, and twice it fits in 32 bits).
uint32_t next_wait(Worker* w) {
    w->waits = w->waits % 0x7FFFFFFFu + 1;
    w->snap.waiting.store(w->waits);
    return w->waits;
}

// Waits until iTunes' main window exists, seen every 100 ms: by the frame loop's look
// in each frame while frames run (the worker sleeps until a frame sees the window, or
// the frame loop pauses), otherwise by a look of its own every 100 ms. The window is
// looked up once more before the worker goes on, so that a look the frame loop made
// for an earlier wait never starts iTunes' server. False when the worker is to stop.
bool wait_for_window(Worker* w) {
    uint32_t wait = next_wait(w);
    for (;;) {
        const uint32_t look = w->snap.frame_look.load();
        if (look >> 1 == wait && !w->has_pending && w->look) {
            if (look & 1) {
                if (find_itunes_window())
                    break;
                wait = next_wait(w); // gone again: the next frame looks afresh
                continue;
            }
            const HANDLE both[2] = {w->stop, w->look};
            const DWORD r = WaitForMultipleObjects(2, both, FALSE, 1000);
            if (r == WAIT_FAILED)
                Sleep(100); // never a spin, whatever the handles do
            if (r == WAIT_OBJECT_0 || stopping(w))
                return false;
            continue;
        }
        if (find_itunes_window())
            break;
        flush_pending(w);
        // A plain sleep, then the stop flag, as in the poll loop: a wait on the stop
        // event would be a system round trip every 100 ms while iTunes is not there
        // (the stop is seen within the 100 ms; teardown waits 1500 ms).
        Sleep(100);
        if (stopping(w))
            return false;
    }
    w->snap.waiting.store(0);
    return true;
}

// One cycle: wait for the window, connect, poll, disconnect. False when the worker
// is to stop.
bool cycle(Worker* w) {
    clear_snapshot(w);
    if (!wait_for_window(w))
        return false;
    Connection c;
    memset(&c, 0, sizeof c);
    for (int failures = 0;;) {
        void* obj = nullptr;
        HRESULT hr = CoCreateInstance(kAppClass, nullptr, CLSCTX_LOCAL_SERVER, kAppInterface, &obj);
        if (SUCCEEDED(hr) && obj) {
            // Called through IDispatch, asked for by name: a player whose application
            // interface is not dual answers no here instead of being called through
            // the wrong table.
            IUnknown* player = static_cast<IUnknown*>(obj);
            void* dispatch = nullptr;
            hr = player->QueryInterface(kDispatchInterface, &dispatch);
            player->Release();
            if (SUCCEEDED(hr) && dispatch) {
                c.app = static_cast<IDispatch*>(dispatch);
                break;
            }
        }
        if (pause(w, 1000))
            return false;
        if (++failures >= 10)
            return true;
    }
    if (stopping(w)) {
        disconnect(w, &c);
        return false;
    }
    look_up_names(&c);
    if (!compatible(&c)) {
        disconnect(w, &c);
        return !pause(w, 1000);
    }
    c.sink = new (std::nothrow) EventSink();
    if (!c.sink) {
        disconnect(w, &c);
        return !pause(w, 1000);
    }
    advise(&c);
    w->snap.connected.store(1);
    bool go_on = poll(w, &c);
    disconnect(w, &c);
    if (!go_on)
        return false;
    // A quitting iTunes is not connected to again at once.
    for (int i = 0; i < 10 && find_itunes_window(); ++i) {
        if (pause(w, 1000))
            return false;
    }
    return true;
}

DWORD WINAPI worker_main(void* param) {
    Worker* w = static_cast<Worker*>(param);
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(init)) {
        while (cycle(w)) {
        }
        CoUninitialize();
    }
    w->snap.connected.store(0);
    release_worker(w);
    return 0;
}

bool win_start(TunModule* tun, int32_t mediakeys) {
    Worker* w = new (std::nothrow) Worker();
    if (!w)
        return false;
    w->text_lock = CreateMutexA(nullptr, FALSE, nullptr);
    w->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    w->look = CreateEventA(nullptr, FALSE, FALSE, nullptr); // none: the worker looks itself
    w->mediakeys = mediakeys;
    w->refs = 2;
    HANDLE thread =
        (w->text_lock && w->stop) ? CreateThread(nullptr, 0, worker_main, w, 0, nullptr) : nullptr;
    if (!thread) {
        w->refs = 1;
        release_worker(w);
        return false;
    }
    SetThreadPriority(thread, THREAD_PRIORITY_LOWEST);
    tun->snap = &w->snap;
    tun->lock = text_lock_of(w);
    tun->worker = w;
    tun->thread = thread;
    return true;
}

void win_stop(TunModule* tun) {
    Worker* w = static_cast<Worker*>(tun->worker);
    tun->snap = nullptr;
    tun->worker = nullptr;
    if (!w)
        return;
    InterlockedExchange(&w->stop_set, 1);
    SetEvent(w->stop);
    if (tun->thread) {
        // A worker still inside a call to iTunes after this ends by itself later.
        WaitForSingleObject(static_cast<HANDLE>(tun->thread), kStopWaitMs);
        CloseHandle(static_cast<HANDLE>(tun->thread));
        tun->thread = nullptr;
    }
    release_worker(w);
}

bool win_window_present(TunModule* tun) {
    return window_watch_present(&tun->window, GetTickCount(), &kItunesWindowHost);
}

void win_look_wake(TunModule* tun) {
    Worker* w = static_cast<Worker*>(tun->worker);
    if (w && w->look)
        SetEvent(w->look);
}

const TunHost kWinHost = {win_start, win_stop, win_window_present, win_look_wake};

} // namespace

const TunHost* tun_system_host() {
    return &kWinHost;
}
