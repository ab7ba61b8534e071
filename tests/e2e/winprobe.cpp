// A small Windows tool the end-to-end tests run under Wine beside the applet:
// finds windows, posts messages, reads and dismisses message boxes, counts a
// process's handles and threads. Prints one result line; exit code 0 on success.
//
//   winprobe find <class> <title>            -> "found <hwnd> pid <pid>" | "none"
//   winprobe post <class> <title> <msg> <wparam>
//   winprobe box <caption>                   -> "box <text>" | "none"
//   winprobe dismiss <caption>               -> "dismissed <text>" | "none"
//   winprobe counts <pid>                    -> "handles <n> threads <n>"
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct BoxSearch {
    const char* caption;
    HWND box;
};

BOOL CALLBACK find_box(HWND w, LPARAM lp) {
    auto* s = reinterpret_cast<BoxSearch*>(lp);
    char cls[64] = "", title[256] = "";
    GetClassNameA(w, cls, sizeof cls);
    GetWindowTextA(w, title, sizeof title);
    if (strcmp(cls, "#32770") == 0 && strcmp(title, s->caption) == 0) {
        s->box = w;
        return FALSE;
    }
    return TRUE;
}

struct TextSearch {
    char text[1024];
};

BOOL CALLBACK find_static(HWND w, LPARAM lp) {
    auto* s = reinterpret_cast<TextSearch*>(lp);
    char cls[64] = "";
    GetClassNameA(w, cls, sizeof cls);
    if (_stricmp(cls, "Static") == 0) {
        char t[1024] = "";
        GetWindowTextA(w, t, sizeof t);
        if (strlen(t) > strlen(s->text)) strcpy(s->text, t);
    }
    return TRUE;
}

HWND box(const char* caption, char* text) {
    BoxSearch s{caption, nullptr};
    EnumWindows(find_box, reinterpret_cast<LPARAM>(&s));
    if (!s.box) return nullptr;
    TextSearch t{};
    EnumChildWindows(s.box, find_static, reinterpret_cast<LPARAM>(&t));
    // One line: line breaks written as \n.
    char* o = text;
    for (const char* p = t.text; *p; ++p) {
        if (*p == '\r') continue;
        if (*p == '\n') {
            *o++ = '\\';
            *o++ = 'n';
        } else {
            *o++ = *p;
        }
    }
    *o = '\0';
    return s.box;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && strcmp(argv[1], "find") == 0) {
        HWND w = FindWindowA(argv[2], argv[3]);
        if (!w) {
            printf("none\n");
            return 1;
        }
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        printf("found %p pid %lu\n", (void*)w, pid);
        return 0;
    }
    if (argc >= 6 && strcmp(argv[1], "post") == 0) {
        HWND w = FindWindowA(argv[2], argv[3]);
        if (!w || !PostMessageA(w, strtoul(argv[4], nullptr, 0), strtoul(argv[5], nullptr, 0), 0)) {
            printf("none\n");
            return 1;
        }
        printf("posted\n");
        return 0;
    }
    if (argc >= 3 && (strcmp(argv[1], "box") == 0 || strcmp(argv[1], "dismiss") == 0)) {
        char text[2100];
        HWND b = box(argv[2], text);
        if (!b) {
            printf("none\n");
            return 1;
        }
        if (strcmp(argv[1], "dismiss") == 0) {
            PostMessageA(b, WM_COMMAND, IDOK, 0);
            printf("dismissed %s\n", text);
        } else {
            printf("box %s\n", text);
        }
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "counts") == 0) {
        DWORD pid = strtoul(argv[2], nullptr, 0);
        HANDLE p = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
        DWORD handles = 0;
        if (!p || !GetProcessHandleCount(p, &handles)) {
            printf("none\n");
            return 1;
        }
        CloseHandle(p);
        int threads = 0;
        HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        THREADENTRY32 te;
        te.dwSize = sizeof te;
        if (snap != INVALID_HANDLE_VALUE && Thread32First(snap, &te)) {
            do {
                if (te.th32OwnerProcessID == pid) ++threads;
            } while (Thread32Next(snap, &te));
        }
        if (snap != INVALID_HANDLE_VALUE) CloseHandle(snap);
        printf("handles %lu threads %d\n", handles, threads);
        return 0;
    }
    fprintf(stderr, "usage: winprobe find|post|box|dismiss|counts ...\n");
    return 2;
}
