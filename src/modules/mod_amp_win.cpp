// Winamp module: the player's main window, its title and its WM_USER answers.
#include <windows.h>

#include "modules/mod_amp.h"

namespace {

// A player busy elsewhere must not stall the frame: each question waits at most this
// long, and one that the system already knows is hung is not asked at all.
constexpr UINT kAnswerMs = 100;

void* win_find_window(void*) {
    return FindWindowA("Winamp v1.x", nullptr);
}

int win_get_title(void*, void* window, char* out, int cap) {
    return GetWindowTextA(static_cast<HWND>(window), out, cap);
}

bool win_query(void*, void* window, int32_t wparam, int32_t lparam, int32_t* result) {
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutA(static_cast<HWND>(window), WM_USER, static_cast<WPARAM>(wparam),
                             static_cast<LPARAM>(lparam), SMTO_ABORTIFHUNG | SMTO_BLOCK, kAnswerMs,
                             &answer))
        return false;
    *result = static_cast<int32_t>(answer);
    return true;
}

const AmpHost kWinHost = {win_find_window, win_get_title, win_query, nullptr};

} // namespace

const AmpHost* amp_system_host() {
    return &kWinHost;
}
