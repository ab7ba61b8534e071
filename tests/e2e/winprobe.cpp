// A small Windows tool the end-to-end tests run under Wine beside the applet:
// finds windows, posts messages, reads and dismisses message boxes, counts a
// process's handles and threads. Prints one result line; exit code 0 on success.
//
//   winprobe find <class> <title>            -> "found <hwnd> pid <pid>" | "none"
//   winprobe post <class> <title> <msg> <wparam>
//   winprobe box <caption>                   -> "box <text>" | "none"
//   winprobe dismiss <caption>               -> "dismissed <text>" | "none"
//   winprobe counts <pid>                    -> "handles <n> threads <n>"
//   winprobe key <vk> down|up                -> SendInput of one virtual key
//   winprobe memload                         -> "memload <n>" (GlobalMemoryStatus)
//   winprobe cpus                            -> "cpus <n>" (GetSystemInfo's processors)
//   winprobe windows                         -> "window <title>" per visible titled
//                                               top-level window, in EnumWindows order
//   winprobe iftable                         -> one line per GetIfTable2 row:
//       "row <index> luid <hex> type <n> flags <hex> oper <n> in <n> out <n> alias <text>"
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
        if (strlen(t) > strlen(s->text))
            strcpy(s->text, t);
    }
    return TRUE;
}

HWND box(const char* caption, char* text) {
    BoxSearch s{caption, nullptr};
    EnumWindows(find_box, reinterpret_cast<LPARAM>(&s));
    if (!s.box)
        return nullptr;
    TextSearch t{};
    EnumChildWindows(s.box, find_static, reinterpret_cast<LPARAM>(&t));
    // One line: line breaks written as \n.
    char* o = text;
    for (const char* p = t.text; *p; ++p) {
        if (*p == '\r')
            continue;
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

// Number of handles of process pid in the system handle table (class 16).
DWORD system_handle_count(DWORD pid) {
    using QueryFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!query)
        return 0;
    struct Entry { // SYSTEM_HANDLE_TABLE_ENTRY_INFO
        USHORT pid;
        USHORT creator;
        UCHAR type;
        UCHAR flags;
        USHORT handle;
        void* object;
        ULONG access;
    };
    ULONG size = 1 << 20;
    for (int tries = 0; tries < 6; ++tries, size *= 2) {
        auto* buf = static_cast<BYTE*>(malloc(size));
        if (!buf)
            return 0;
        ULONG got = 0;
        LONG st = query(16, buf, size, &got);
        if (st == 0) {
            ULONG n = *reinterpret_cast<ULONG*>(buf);
            auto* e = reinterpret_cast<Entry*>(buf + sizeof(void*));
            DWORD count = 0;
            for (ULONG i = 0; i < n && sizeof(void*) + (i + 1) * sizeof(Entry) <= size; ++i)
                if (e[i].pid == pid)
                    ++count;
            free(buf);
            return count;
        }
        free(buf);
    }
    return 0;
}

// GetIfTable2's rows (looked up at run time; fields at their documented offsets in
// the 1352-byte MIB_IF_ROW2, the table at offset 8).
int print_if_table() {
    HMODULE m = LoadLibraryA("iphlpapi.dll");
    using GetFn = DWORD(WINAPI*)(void**);
    using FreeFn = void(WINAPI*)(void*);
    auto get = reinterpret_cast<GetFn>(
        reinterpret_cast<void*>(m ? GetProcAddress(m, "GetIfTable2") : nullptr));
    auto release = reinterpret_cast<FreeFn>(
        reinterpret_cast<void*>(m ? GetProcAddress(m, "FreeMibTable") : nullptr));
    if (!get || !release) {
        printf("none\n");
        return 1;
    }
    void* table = nullptr;
    DWORD rc = get(&table);
    if (rc != 0 || !table) {
        printf("failed %lu\n", rc);
        return 1;
    }
    const BYTE* t = static_cast<const BYTE*>(table);
    ULONG n = *reinterpret_cast<const ULONG*>(t);
    for (ULONG i = 0; i < n; ++i) {
        const BYTE* r = t + 8 + i * 1352;
        char alias[128] = "";
        WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<const wchar_t*>(r + 28), -1, alias,
                            sizeof alias, nullptr, nullptr);
        ULONG64 luid, in, out;
        memcpy(&luid, r, 8);
        memcpy(&in, r + 1208, 8);
        memcpy(&out, r + 1280, 8);
        printf("row %lu luid %llx type %lu flags %02x oper %lu in %llu out %llu alias %s\n",
               *reinterpret_cast<const ULONG*>(r + 8), luid,
               *reinterpret_cast<const ULONG*>(r + 1128), r[1152],
               *reinterpret_cast<const ULONG*>(r + 1156), in, out, alias);
    }
    release(table);
    return 0;
}

} // namespace

// One line per visible top-level window with a title, in the order EnumWindows
// gives them: "window <title>".
BOOL CALLBACK print_window(HWND w, LPARAM) {
    char title[256];
    if (IsWindowVisible(w) && GetWindowTextA(w, title, sizeof title) > 0)
        printf("window %s\n", title);
    return TRUE;
}

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "windows") == 0)
        return EnumWindows(print_window, 0) ? 0 : 1;
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
        // Wine answers GetProcessHandleCount with 0: count the process's entries in
        // the system's handle table instead when that is available.
        if (handles == 0)
            handles = system_handle_count(pid);
        int threads = 0;
        HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        THREADENTRY32 te;
        te.dwSize = sizeof te;
        if (snap != INVALID_HANDLE_VALUE && Thread32First(snap, &te)) {
            do {
                if (te.th32OwnerProcessID == pid)
                    ++threads;
            } while (Thread32Next(snap, &te));
        }
        if (snap != INVALID_HANDLE_VALUE)
            CloseHandle(snap);
        printf("handles %lu threads %d\n", handles, threads);
        return 0;
    }
    if (argc >= 4 && strcmp(argv[1], "key") == 0) {
        INPUT in = {};
        in.type = INPUT_KEYBOARD;
        in.ki.wVk = static_cast<WORD>(strtoul(argv[2], nullptr, 0));
        in.ki.dwFlags = strcmp(argv[3], "up") == 0 ? KEYEVENTF_KEYUP : 0;
        UINT n = SendInput(1, &in, sizeof in);
        printf("sent %u\n", n);
        return n == 1 ? 0 : 1;
    }
    if (argc >= 2 && strcmp(argv[1], "memload") == 0) {
        MEMORYSTATUS mem;
        memset(&mem, 0, sizeof mem);
        mem.dwLength = sizeof mem;
        GlobalMemoryStatus(&mem);
        printf("memload %lu\n", static_cast<unsigned long>(mem.dwMemoryLoad));
        return 0;
    }
    if (argc >= 2 && strcmp(argv[1], "cpus") == 0) {
        SYSTEM_INFO info;
        memset(&info, 0, sizeof info);
        GetSystemInfo(&info);
        printf("cpus %lu\n", static_cast<unsigned long>(info.dwNumberOfProcessors));
        return 0;
    }
    if (argc >= 2 && strcmp(argv[1], "iftable") == 0)
        return print_if_table();
    fprintf(stderr, "usage: winprobe find|post|box|dismiss|counts|key|memload|cpus|iftable|windows ...\n");
    return 2;
}
