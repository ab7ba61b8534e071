// The floor of what a 10-frames-a-second applet costs under a system: a hidden
// window, a 100 ms waitable timer, a message pump, and per tick one copy of a
// 6884-byte frame and a clear of the drawing frame (what the applet's hand-over does),
// nothing else. tools/cpu-cost measures it beside the applet. Runs until its window
// gets WM_CLOSE, or for the seconds given as its argument (0 = until closed).
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kFrameBytes = 6884;

LRESULT CALLBACK floor_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_CLOSE) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(w, msg, wp, lp);
}

} // namespace

int WINAPI WinMain(HINSTANCE inst, HINSTANCE, LPSTR cmd, int) {
    const long seconds = cmd && *cmd ? strtol(cmd, nullptr, 10) : 0;
    WNDCLASSA wc = {};
    wc.lpfnWndProc = floor_proc;
    wc.hInstance = inst;
    wc.lpszClassName = "KorvaneFloorWnd";
    if (!RegisterClassA(&wc))
        return 1;
    HWND w = CreateWindowA("KorvaneFloorWnd", "KorvaneFloor", 0, 0, 0, 0, 0, nullptr, nullptr, inst,
                           nullptr);
    if (!w)
        return 1;
    HANDLE timer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -1000000; // 100 ms from now, in 100 ns units
    if (!timer || !SetWaitableTimer(timer, &due, 100, nullptr, nullptr, FALSE))
        return 1;

    static unsigned char drawing[kFrameBytes];
    static unsigned char sending[kFrameBytes];
    const DWORD start = GetTickCount();
    unsigned ticks = 0;
    for (;;) {
        const DWORD r = MsgWaitForMultipleObjects(1, &timer, FALSE, 1000, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0) {
            drawing[ticks % kFrameBytes] = static_cast<unsigned char>(ticks);
            memcpy(sending, drawing, kFrameBytes);
            memset(drawing, 0, kFrameBytes);
            ++ticks;
        }
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message == WM_QUIT) {
                CloseHandle(timer);
                return sending[0] == 255 ? 3 : 0; // keeps the copy from being optimised out
            }
            DispatchMessageA(&m);
        }
        if (seconds > 0 && GetTickCount() - start >= static_cast<DWORD>(seconds) * 1000)
            break;
    }
    CloseHandle(timer);
    return sending[0] == 255 ? 3 : 0;
}
