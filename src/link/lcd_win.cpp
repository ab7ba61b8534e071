// LCD link, Windows side: the registry texts, the connection and the device, the
// update thread that sends finished frames, and the soft-button callback.
//
// Stopping the update thread: it is never terminated. Each thread owns a record
// with its own reference on the frame lock, a duplicate of the frame-ready signal, its own
// send buffer, a stop flag and a reference on the server library. Stopping it sets
// the flag and wakes it; a thread stuck inside the LCD Manager finishes its call
// later, sees the flag, releases its lock and ends without touching the link. So
// a stuck send can neither hang nor crash the main thread, and the link's locks
// are replaced when the frame loop closes and re-initialises the link.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "link/lcd.h"
#include "services/registry_win.h"
#include "services/tried_lock_win.h"
#include "services/util.h"

namespace {

constexpr char kSrc[] = "src/lcd";
// The longest lcd_close waits for the update thread to send a frame handed over.
constexpr DWORD kFinishSendMs = 500;

// The link the soft-button callback records into. The LCD Manager calls it with the
// context it was given at the open, which is null, so this is the callback's way to
// the link: set when the link is first initialised and kept, like the button lock,
// for the life of the link record (a late callback after a close still finds both).
LcdLink* g_button_link = nullptr;

// The frame lock (a TriedLock: no system call while nobody else holds it; the frame
// loop and the update thread each take it once a frame). The link and each update
// thread hold a reference, so a thread stopped while it holds the lock still finds it
// when it comes back and gives it back there. Not taken within 1000 ms is logged like
// a mutex wait that timed out (wait_ok) and counts as failed.
bool frame_lock_take(TriedLock* l, int line) {
    if (tried_lock_take(l, 1000))
        return true;
    return wait_ok(l ? WAIT_TIMEOUT : WAIT_FAILED, kSrc, line);
}

struct UpdateThread {
    LcdLink* link;
    HANDLE frame_ready;
    TriedLock* frame_lock;
    int32_t device;
    LgClient client; // a copy; its library stays loaded through `pin`
    void* pin;
    volatile LONG stop;
    volatile LONG refs; // the thread and the link each hold one
    LcdBitmap buffer;   // what this thread sends; stale threads never read the link's frame
};

void release_ctx(UpdateThread* t) {
    if (InterlockedDecrement(&t->refs) == 0) {
        if (t->frame_ready)
            CloseHandle(t->frame_ready);
        tried_lock_unref(t->frame_lock);
        lg_client_unpin(t->pin);
        HeapFree(GetProcessHeap(), 0, t);
    }
}

HANDLE dup(HANDLE h) {
    HANDLE out = nullptr;
    if (h)
        DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &out, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    return out;
}

// Waits for a mutex; an abandoned mutex is owned by the caller, so it is given
// back at once and the wait counts as failed, like a timeout.
bool lock(HANDLE mutex, int line) {
    DWORD r = WaitForSingleObject(mutex, 1000);
    if (r == WAIT_ABANDONED)
        ReleaseMutex(mutex);
    return wait_ok(r, kSrc, line);
}

// A steady clock in microseconds (the performance counter), or 0 without one.
uint64_t steady_us(const LARGE_INTEGER& frequency) {
    LARGE_INTEGER c;
    if (frequency.QuadPart <= 0 || !QueryPerformanceCounter(&c))
        return 0;
    const uint64_t n = static_cast<uint64_t>(c.QuadPart),
                   f = static_cast<uint64_t>(frequency.QuadPart);
    return n / f * 1000000 + n % f * 1000000 / f;
}

DWORD WINAPI update_thread(void* param) {
    UpdateThread* t = static_cast<UpdateThread*>(param);
    LcdLink* link = t->link;
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency))
        frequency.QuadPart = 0;
    // The pause after a pass is taken out of the next wait: that wait is 10 ms longer
    // and a frame ready within the first 10 ms waits for the rest of the pause, so
    // frames go out and the stop flag is looked at when they would after a plain
    // 10 ms sleep. Without a steady clock, the plain sleep.
    const bool fold_pause = frequency.QuadPart > 0;
    bool after_pass = false;
    uint64_t pass_end = 0;
    while (!t->stop) {
        const DWORD wait_ms = after_pass ? 100 + LCD_PASS_PAUSE_MS : 100;
        if (WaitForSingleObject(t->frame_ready, wait_ms) != WAIT_OBJECT_0) {
            after_pass = false;
            continue;
        }
        if (after_pass) {
            if (uint32_t left = lcd_pause_left(pass_end, steady_us(frequency)))
                Sleep(left);
            after_pass = false;
        }
        if (t->stop)
            break;
        if (frame_lock_take(t->frame_lock, 395)) {
            if (t->stop) {
                tried_lock_give(t->frame_lock);
                break;
            }
            if (link->update_request != 0) {
                memcpy(&t->buffer, &link->sending, sizeof t->buffer);
                uint32_t r =
                    lgLcdUpdateBitmap(&t->client, t->device, &t->buffer, LCD_PRIORITY_NORMAL);
                if (t->stop) { // stopped while the LCD Manager kept us: leave the link alone
                    tried_lock_give(t->frame_lock);
                    break;
                }
                if (r == 0) {
                    link->update_request = 0;
                } else {
                    tried_lock_give(t->frame_lock);
                    if (r == 1167)
                        link->device_lost.fetch_add(1);
                    else
                        lcd_check(r, kSrc, 409);
                    break;
                }
            }
            tried_lock_give(t->frame_lock);
        }
        if (fold_pause) {
            pass_end = steady_us(frequency);
            after_pass = true;
        } else {
            Sleep(LCD_PASS_PAUSE_MS);
        }
    }
    release_ctx(t);
    return 0;
}

bool start_update_thread(LcdLink* lcd) {
    UpdateThread* t = static_cast<UpdateThread*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(UpdateThread)));
    if (!t)
        return false;
    t->link = lcd;
    t->frame_ready = dup(lcd->frame_ready);
    t->frame_lock = tried_lock_ref(static_cast<TriedLock*>(lcd->frame_lock));
    t->device = lcd->open.device;
    t->client = lcd->client;
    t->pin = lg_client_pin(&lcd->client);
    t->refs = 2;
    DWORD id = 0;
    HANDLE h = t->frame_ready && t->frame_lock ? CreateThread(nullptr, 0, update_thread, t, 0, &id)
                                               : nullptr;
    if (!h) {
        t->refs = 1;
        release_ctx(t);
        return false;
    }
    lcd->update_thread = h;
    lcd->update_thread_id = id;
    lcd->update_ctx = t;
    return true;
}

// Asks the update thread to end. wait_ms bounds how long the caller waits for it;
// a thread still inside the LCD Manager after that ends by itself later. A waiting
// thread sees the flag within its 100 ms wait. The frame-ready signal is not released
// to wake it: the signal is one object for this thread and its replacement, which
// would take that release for a frame and wait for the frame lock a stuck send
// still holds.
void stop_update_thread(LcdLink* lcd, DWORD wait_ms) {
    if (!lcd->update_thread)
        return;
    UpdateThread* t = static_cast<UpdateThread*>(lcd->update_ctx);
    InterlockedExchange(&t->stop, 1);
    if (wait_ms)
        WaitForSingleObject(lcd->update_thread, wait_ms);
    CloseHandle(lcd->update_thread);
    release_ctx(t);
    lcd->update_thread = nullptr;
    lcd->update_thread_id = 0;
    lcd->update_ctx = nullptr;
}

// Runs in the LCD Manager's thread, which may call it until lgLcdClose or even later:
// the button lock it takes lives as long as the link record (see lcd_init).
DWORD WINAPI on_soft_buttons(int, DWORD mask, void*) {
    LcdLink* lcd = g_button_link;
    if (!lcd || !lcd->button_lock)
        return 0;
    HANDLE button_lock = lcd->button_lock;
    if (!lock(button_lock, 357))
        return 0;
    uint32_t now = GetTickCount();
    bool ctrl = (GetAsyncKeyState(VK_CONTROL) & 0x8000) != 0;
    buttons_on_mask(lcd->buttons, &lcd->all_down, mask, ctrl, now);
    lcd->buttons_pending.store(buttons_pending(lcd->buttons) ? 1 : 0);
    ReleaseMutex(button_lock);
    return 0;
}

char* read_text(HKEY key, const char* name, int line, const char* what) {
    char buf[512];
    if (!reg_read_text(key, name, buf, sizeof buf)) {
        log_error(kSrc, line, GetLastError(), "%s", what);
        SetLastError(0);
        return nullptr;
    }
    const size_t size = strlen(buf);
    char* text = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size + 1));
    if (text)
        memcpy(text, buf, size + 1);
    return text;
}

void free_text(char** text) {
    if (*text)
        HeapFree(GetProcessHeap(), 0, *text);
    *text = nullptr;
}

} // namespace

void lcd_read_install_info(LcdLink* lcd) {
    const char* path = "SOFTWARE\\Logitech\\LCD Software\\LCD Manager\\CurrentVersion";
    HKEY key = nullptr;
    bool opened = false;
    if (lcd->wow64)
        opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                               &key) == ERROR_SUCCESS;
    if (!opened)
        opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS;
    if (!opened) {
        log_error(kSrc, 476, GetLastError(), "can't open the G15 registry key");
        SetLastError(0);
        return;
    }
    free_text(&lcd->version);
    free_text(&lcd->install_path);
    lcd->version = read_text(key, "Version", 493, "can't query G15 software version");
    lcd->install_path = read_text(key, "InstallPath", 507, "can't query G15 InstallPath");
    RegCloseKey(key);
}

void lcd_free_texts(LcdLink* lcd) {
    free_text(&lcd->version);
    free_text(&lcd->install_path);
}

bool lcd_init(LcdLink* lcd) {
    if (lcd->initialised)
        return true;
    lcd->device_lost.store(0);
    uint32_t r = lgLcdInit(&lcd->client);
    if (!lcd_check(r, kSrc, 519)) {
        // A library that loaded but refused to start keeps the client marked as
        // initialised; drop that mark so that the next pass really tries again.
        if (r != 1247)
            lgLcdDeInit(&lcd->client);
        return false;
    }
    // The button lock is made once and kept for the life of the link record: the LCD
    // Manager's callback thread may still wait on it or release it after lgLcdClose
    // returned, so closing or replacing it in lcd_deinit could pull it from under that
    // thread (or hand the thread a handle number already reused).
    if (!lcd->button_lock)
        lcd->button_lock = CreateMutexA(nullptr, FALSE, nullptr);
    g_button_link = lcd;
    lcd->frame_lock = tried_lock_create();
    lcd->frame_ready = CreateSemaphoreA(nullptr, 0, 1, nullptr);
    lcd->initialised = 1;
    return true;
}

bool lcd_open(LcdLink* lcd) {
    lcd->connect = ConnectContext{"Korvane's panel", 1, 1, nullptr, nullptr, -1};
    uint32_t r = lgLcdConnect(&lcd->client, &lcd->connect);
    if (r == 259 || r == 2)
        return false;
    if (!lcd_check(r, kSrc, 570))
        return false;

    int32_t index = -1;
    for (int32_t i : {1, 0}) {
        r = lgLcdEnumerate(&lcd->client, lcd->connect.connection, i, &lcd->device_desc);
        if (r == 259)
            continue;
        if (lcd_check(r, kSrc, 577)) {
            index = i;
            break;
        }
    }

    lcd->open = OpenContext{lcd->connect.connection, index,
                            reinterpret_cast<void*>(&on_soft_buttons), nullptr, -1};
    if (lcd_check(lgLcdOpen(&lcd->client, &lcd->open), kSrc, 595)) {
        // A frame loop that ended on a lost device left its last frame drawn but not
        // handed over: the new link starts from blank like every frame.
        memset(lcd->frame.pixels, 0, sizeof lcd->frame.pixels);
        if (start_update_thread(lcd))
            return true;
        lgLcdClose(&lcd->client, lcd->open.device);
        lcd->open.device = -1;
    }
    lcd_check(lgLcdDisconnect(&lcd->client, lcd->connect.connection), kSrc, 602);
    lcd->connect.connection = -1;
    return false;
}

int32_t lcd_read_button(LcdLink* lcd, int i) {
    HANDLE button_lock = lcd->button_lock;
    if (i < 0 || i > 3 || !lock(button_lock, 649))
        return BUTTON_NONE;
    int32_t r = buttons_classify(&lcd->buttons[i], GetTickCount());
    if (!buttons_pending(lcd->buttons))
        lcd->buttons_pending.store(0); // all reported: the next frames need no lock
    ReleaseMutex(button_lock);
    return r;
}

void lcd_read_buttons(LcdLink* lcd, int32_t events[4]) {
    // Set under the button lock by every callback that leaves a press recorded, and
    // cleared only under it once none is: a press recorded after this load is read in
    // the next frame, as one recorded just after its button's read always was.
    const bool pending = lcd->buttons_pending.load() != 0;
    for (int i = 0; i < 4; ++i)
        events[i] = pending ? lcd_read_button(lcd, i) : BUTTON_NONE;
}

int32_t lcd_all_buttons_down(LcdLink* lcd) {
    return lcd->all_down.load();
}

int32_t lcd_device_lost(LcdLink* lcd) {
    return lcd->device_lost.load();
}

bool lcd_update(LcdLink* lcd) {
    if (lcd->device_lost.load() != 0)
        return false;
    TriedLock* frame_lock = static_cast<TriedLock*>(lcd->frame_lock);
    if (!frame_lock_take(frame_lock, 612)) {
        log_error(kSrc, 625, GetLastError(),
                  "LCD not responding (mutex timeout) - restarting update thread\n");
        SetLastError(0);
        stop_update_thread(lcd, 0);
        start_update_thread(lcd);
        lcd->sender_replaced = 1;
        return false;
    }
    lcd_hand_over(&lcd->frame, &lcd->sending);
    int32_t count = ++lcd->update_request;
    if (count >= 10)
        lcd->update_request = 0;
    tried_lock_give(frame_lock);
    ReleaseSemaphore(lcd->frame_ready, 1, nullptr);
    if (count <= 9)
        return true;
    log_error(kSrc, 620, GetLastError(), "LCD thread defaulted on lcdupdaterequest (=%d)\n", count);
    SetLastError(0);
    return false;
}

namespace {

// A frame handed over and not yet sent (the last one, at quit) goes out before the
// link closes: waits up to kFinishSendMs for the update thread to send it, less when
// the thread ended (a refused send). Not after a stuck send was left behind: it still
// holds the frame lock.
void finish_pending_send(LcdLink* lcd) {
    TriedLock* frame_lock = static_cast<TriedLock*>(lcd->frame_lock);
    if (!lcd->update_thread || lcd->sender_replaced || !frame_lock)
        return;
    const DWORD start = GetTickCount();
    for (;;) {
        bool pending = true;
        if (tried_lock_take(frame_lock, 10)) {
            pending = lcd->update_request != 0;
            tried_lock_give(frame_lock);
        }
        if (!pending || WaitForSingleObject(lcd->update_thread, 2) == WAIT_OBJECT_0 ||
            tick_wait_over(start, GetTickCount(), kFinishSendMs))
            return;
    }
}

} // namespace

void lcd_close(LcdLink* lcd) {
    finish_pending_send(lcd);
    stop_update_thread(lcd, 250);
    lcd->sender_replaced = 0;
    if (lcd->open.device != -1) {
        lgLcdClose(&lcd->client, lcd->open.device);
        lcd->open.device = -1;
    }
    if (lcd->connect.connection != -1) {
        lgLcdDisconnect(&lcd->client, lcd->connect.connection);
        lcd->connect.connection = -1;
    }
}

// The button lock stays (see lcd_init). The frame lock and the frame-ready signal are
// the main thread's: a running update thread holds its own reference and duplicate.
void lcd_deinit(LcdLink* lcd) {
    if (!lcd->initialised)
        return;
    uint32_t r = lgLcdDeInit(&lcd->client);
    CloseHandle(lcd->frame_ready);
    tried_lock_unref(static_cast<TriedLock*>(lcd->frame_lock));
    lcd->frame_ready = lcd->frame_lock = nullptr;
    lcd_check(r, kSrc, 539);
    lcd->initialised = 0;
}

bool lcd_check(uint32_t code, const char* file, int line) {
    if (code == 0)
        return true;
    const char* text = lcd_error_text(code);
    char sys[512] = "";
    if (!text) {
        if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                            code, 0x0400, sys, sizeof sys, nullptr))
            sys[0] = '\0';
        text = sys;
    }
    log_error(file, line, 0, "LCD error '%s' (%x)", text, static_cast<unsigned>(code));
    SetLastError(0);
    return false;
}

bool wait_ok(uint32_t result, const char* file, int line) {
    if (result == 0)
        return true;
    log_error(file, line, 0, "WaitForSingleObject() returned %s%08x", wait_result_prefix(result),
              static_cast<unsigned>(result));
    SetLastError(0);
    return false;
}
