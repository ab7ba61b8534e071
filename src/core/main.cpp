// Entry point and the main thread: single-instance test, hidden window, start-up
// in a fixed order, the connect loop, the 100 ms frame loop and the teardown.
#include <windows.h>

#include "core/app.h"
#include "core/frame.h"
#include "core/version.h"
#include "meters/net.h"

namespace {

constexpr char kSrc[] = "src/main";
constexpr char kClass[] = "LCDKorvaneWnd";
constexpr char kTitle[] = "LCDKorvane";

// The application state, alive from before the entry point until process exit.
App g_app;

// Before the entry point: the link in its closed state, the notice queue empty.
// At process exit: frees what the link and the notice queue hold.
struct AppLifetime {
    AppLifetime() { lcd_reset(&g_app.lcd); }
    ~AppLifetime() {
        notice_free_all(&g_app.notices);
        lcd_free_texts(&g_app.lcd);
    }
} g_app_lifetime;

// The hidden window's procedure; the window carries the application record in its
// user data (set right after it is made; messages before that are only passed on).
LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    App* app = reinterpret_cast<App*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (app) {
        switch (msg) {
        case WM_CLOSE:
        case WM_ENDSESSION:
            ++app->frame.quit_requested;
            break;
        case WM_INPUT:
            rawinput_on_input(&app->rawinput, reinterpret_cast<void*>(lp));
            break;
        }
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

// Removes and dispatches every waiting message of the main thread. No window
// filter: under Wine a message posted from another process to the hidden window
// was at times not seen by a filtered PeekMessageA until something else touched
// the queue, and the thread's only other windows are the system's own. So it takes
// no window.
void pump() {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
}

// Dispatches the thread's messages for ms milliseconds, or until a quit request.
int32_t pump_for(App* app, DWORD ms) {
    const DWORD start = GetTickCount();
    while (app->frame.quit_requested == 0 && !tick_wait_over(start, GetTickCount(), ms)) {
        pump();
        Sleep(5);
    }
    return app->frame.quit_requested;
}

void show_box(const char* text) {
    MessageBoxA(nullptr, text, "LCD error", MB_OK | MB_ICONERROR);
}

// No frame comes until the link is open again (or for the second after the device is
// lost): the TeamSpeak 2 poller and the iTunes worker, which go by the frame loop's
// look at their program's window while frames run, look by themselves again.
void frames_paused(App* app) {
    mod_ts2_frames_paused(app);
    mod_tun_frames_paused(app);
}

// One pass of the frame loop after the timer: builds and hands over one frame.
// Returns false when the frame loop must end.
bool frame(App* app) {
    FrameState& f = app->frame;
    f.now = GetTickCount();
    f.frame_deadline.store(f.now + 100);
    pump();
    if (f.quit_requested > 0)
        return false;

    frame_begin(app);
    check_restart_keys();
    if (lcd_all_buttons_down(&app->lcd))
        ++f.quit_requested;
    int32_t events[SLOT_COUNT];
    lcd_read_buttons(&app->lcd, events);
    frame_compose(app, events);

    if (lcd_device_lost(&app->lcd) != 0) {
        frames_paused(app);
        pump_for(app, 1000);
        return false;
    }
    if (!lcd_update(&app->lcd)) {
        log_error(kSrc, 375, GetLastError(), "LCD update failed");
        SetLastError(0);
        return false;
    }
    if (++f.frame_counter == 10)
        f.frame_counter = 0;
    return true;
}

void teardown(App* app) {
    modules_teardown_all(app);
    net_close(app);
    cpumem_close(&app->cpu);
    topline_close(&app->topline);
    settings_free(&app->settings);
    rawinput_close(&app->rawinput);
}

int run(HINSTANCE instance) {
    App* app = &g_app;
    log_open(&app->log);
    if (FindWindowA(kClass, kTitle))
        return 0; // another copy is running

    app->instance = instance;
    app->modules = kModules;
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);

    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.lpszClassName = kClass;
    RegisterClassExA(&wc);
    HWND w = CreateWindowExA(0, kClass, kTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    app->window = w;
    if (w)
        SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(app));

    detect_os(&app->os);
    app->lcd.wow64 = app->os.is_wow64;
    lcd_read_install_info(&app->lcd);

    HANDLE timer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
    app->timer = timer;
    LARGE_INTEGER due = {};
    if (!timer || !SetWaitableTimer(timer, &due, 100, nullptr, nullptr, FALSE)) {
        log_error(kSrc, 236, GetLastError(), "failed to set waitable timer");
        SetLastError(0);
        return 0;
    }

    rawinput_init(&app->rawinput, w);
    settings_load_general(&app->settings, &app->general, &app->notices, GetTickCount());
    app->frame.anim_counter = app->general.animate_start;
    for (int i = 0; i < SLOT_COUNT; ++i)
        slot_setup(&app->slots[i], i, &app->settings);
    topline_init(&app->topline);
    cpumem_init(&app->cpu);
    net_init(app);
    modules_init_all(app);

    for (int i = 0; i < 10; ++i) {
        Sleep(500);
        if (find_lcdmon_window())
            break;
    }
    app->frame.quit_requested = 0;
    int32_t open_failures = 0;

    while (app->frame.quit_requested == 0) {
        pump();
        if (app->frame.quit_requested > 0)
            break;
        if (!find_lcdmon_window()) {
            launch_lcdmon(app->lcd.install_path);
            for (int i = 0; i < 30; ++i) {
                pump_for(app, 100);
                if (find_lcdmon_window())
                    break;
            }
        }
        if (!lcd_init(&app->lcd)) {
            log_error(kSrc, 407, GetLastError(), "lcd.init() failed");
            SetLastError(0);
            show_box("LCDKorvane failed to initialize the G15 LCD link.\n\nMake sure that you are "
                     "using the most up-to-date\nLogitech G15 software from Logitech's web pages.");
            continue;
        }
        if (!lcd_open(&app->lcd)) {
            if (++open_failures > 10) {
                show_box("Could not open the LCD display for usage.");
                break;
            }
            pump_for(app, 1000);
            lcd_deinit(&app->lcd);
            continue;
        }
        post_notice(&app->notices, GetTickCount(), NOTICE_BANNER, 1000,
                    "LCDKorvane " KORVANE_VERSION);
        open_failures = 0;
        app->frame.frame_counter = 0;

        while (app->frame.quit_requested == 0) {
            WaitForSingleObject(timer, 200);
            if (!frame(app))
                break;
        }
        frames_paused(app);

        lcd_close(&app->lcd);
        if (!find_lcdmon_window()) {
            log_error(kSrc, 385, GetLastError(), "LCDMon.exe is no longer running");
            SetLastError(0);
        }
        lcd_deinit(&app->lcd);
    }

    teardown(app);
    DestroyWindow(w);
    CloseHandle(timer);
    return 0;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return run(instance);
}
