// Stand-in iTunes player for the tests and the demo: a hidden window of class "iTunes"
// titled "iTunes" whose process is also the player's COM local server (single-
// threaded apartment, like a player's user-interface thread). It exposes the
// application object (version check, transport methods, position, state, current
// track), the track object and the events connection point, with a type library
// (embedded, registered at start) so the dual interfaces marshal between processes.
//
//   iTunes.exe               the player: registers itself and serves (see "refuse")
//   iTunes.exe refuse        the player with its class object not registered
//   iTunes.exe -Embedding    started by COM: exits at once (only the player serves)
//
// A control channel on 127.0.0.1 (port from itunes.ini beside the program, "port=N")
// takes one command per line and answers "OK ..." or "ERR ...":
//   HELLO                          pid
//   STATE                          counters of the calls seen and the player state
//   TRACK <artist>\t<name>\t<duration s>\t<bitrate>   current track; event 4
//   PLAYLIST <a>\t<n>\t<d>\t<b>\t<a>\t<n>\t...          tracks for Next/Previous
//   NEXT                           the next playlist entry (as the player's own button)
//   NOTRACK                        no current track (CurrentTrack fails)
//   PLAY / STOP                    player state; event 2 / 3
//   POSITION <s>                   player position
//   FIRE <dispid>                  any event
//   INCOMPATIBLE <0|1>             what CheckVersion answers
//   REFUSE / SERVE                 class object revoked / registered
//   HANG <ms>                      the next call on the application object waits ms first
//   FOREGROUND <0|1>               window shown and brought to the foreground / hidden
//   QUIT                           events 9 and 8, then the window and the class go
//   EXIT                           exit at once
#include "../peerctl/peerctl.h"

#include <ole2.h>
#include <olectl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "itunes_h.h"

namespace {

const CLSID kAppClass = {
    0xDC0C2640, 0x1415, 0x4644, {0x87, 0x5C, 0x6F, 0x4D, 0x76, 0x98, 0x39, 0xBA}};
const IID kEvents = {0x5846EB78, 0x317E, 0x4B6F, {0xB0, 0xC3, 0x11, 0xEE, 0x8C, 0x8F, 0xEE, 0xF2}};
const wchar_t kClsidText[] = L"{DC0C2640-1415-4644-875C-6F4D769839BA}";
constexpr UINT WM_COMMAND_LINE = WM_APP + 1; // lParam: Command*
constexpr UINT WM_FIRE = WM_APP + 2;         // wParam: dispid

struct Track {
    std::wstring artist, name;
    long duration = 0, bitrate = 0;
};

// Player state: touched by the main thread and, for the simple values, the control
// thread; the strings only under `lock`.
struct Player {
    CRITICAL_SECTION lock;
    bool has_track = false;
    Track track;
    std::vector<Track> playlist;
    size_t index = 0;
    bool playing = false;
    long position = 0; // seconds at `since`
    DWORD since = 0;   // tick when position was set or playing began
    std::atomic<long> incompatible{0};
    std::atomic<long> no_dispatch{0}; // the application object answers no to IDispatch
    std::atomic<long> dispatch_refused{0};
    std::atomic<long> hang_ms{0};
    std::atomic<long> hanging{0};
    std::atomic<long> served{0};
    std::atomic<long> quitting{0};
    // Counters of calls seen.
    std::atomic<long> check{0}, stop{0}, playpause{0}, next{0}, previous{0}, position_calls{0},
        state_calls{0}, track_calls{0}, created{0}, advised{0}, unadvised{0}, apps{0}, tracks{0},
        fired{0};
    HWND window = nullptr;
    DWORD class_cookie = 0;
    ITypeLib* typelib = nullptr;
};
Player g;

long current_position() {
    EnterCriticalSection(&g.lock);
    long p = g.position;
    if (g.playing)
        p += static_cast<long>((GetTickCount() - g.since) / 1000);
    LeaveCriticalSection(&g.lock);
    return p;
}

void set_playing(bool playing) {
    EnterCriticalSection(&g.lock);
    if (g.playing && !playing)
        g.position += static_cast<long>((GetTickCount() - g.since) / 1000);
    g.playing = playing;
    g.since = GetTickCount();
    LeaveCriticalSection(&g.lock);
}

void set_track(const Track& t) {
    EnterCriticalSection(&g.lock);
    g.track = t;
    g.has_track = true;
    g.position = 0;
    g.since = GetTickCount();
    LeaveCriticalSection(&g.lock);
}

// A held call: the first call after HANG waits that long (the apartment is blocked).
void maybe_hang() {
    long ms = g.hang_ms.exchange(0);
    if (ms > 0) {
        g.hanging = 1;
        Sleep(static_cast<DWORD>(ms));
        g.hanging = 0;
    }
}

ITypeInfo* type_info(REFIID iid) {
    ITypeInfo* ti = nullptr;
    if (g.typelib)
        g.typelib->GetTypeInfoOfGuid(iid, &ti);
    return ti;
}

// IDispatch through the type library, for a dual interface I.
template <typename I> class Dual : public I {
  public:
    explicit Dual(REFIID iid) : iid_(iid), info_(type_info(iid)) {}
    virtual ~Dual() {
        if (info_)
            info_->Release();
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
        *n = info_ ? 1 : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT i, LCID, ITypeInfo** out) override {
        if (i != 0 || !info_)
            return DISP_E_BADINDEX;
        info_->AddRef();
        *out = info_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT n, LCID,
                                            DISPID* ids) override {
        return info_ ? DispGetIDsOfNames(info_, names, n, ids) : E_FAIL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* ex, UINT* arg) override {
        return info_ ? DispInvoke(static_cast<I*>(this), info_, id, flags, params, result, ex, arg)
                     : E_FAIL;
    }

  protected:
    IID iid_;
    ITypeInfo* info_;
    LONG refs_ = 1;
};

class TrackObject final : public Dual<IITTrack> {
  public:
    explicit TrackObject(const Track& t) : Dual(IID_IITTrack), t_(t) { ++g.tracks; }
    ~TrackObject() override { --g.tracks; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
            IsEqualIID(iid, IID_IITTrack)) {
            *out = static_cast<IITTrack*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0)
            delete this;
        return n;
    }
    HRESULT STDMETHODCALLTYPE get_Name(BSTR* out) override {
        *out = SysAllocStringLen(t_.name.data(), static_cast<UINT>(t_.name.size()));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Artist(BSTR* out) override {
        *out = SysAllocStringLen(t_.artist.data(), static_cast<UINT>(t_.artist.size()));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Duration(LONG* out) override {
        *out = t_.duration;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_BitRate(LONG* out) override {
        *out = t_.bitrate;
        return S_OK;
    }

  private:
    Track t_;
};

// Every advised sink of every application object, fired on the main thread.
struct Sink {
    IDispatch* sink;
    DWORD cookie;
};
std::vector<Sink> g_sinks;
DWORD g_next_cookie = 1;

void fire(DISPID id) {
    ++g.fired;
    std::vector<Sink> sinks = g_sinks;
    for (Sink& s : sinks)
        s.sink->AddRef();
    for (Sink& s : sinks) {
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        s.sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr,
                       nullptr);
        s.sink->Release();
    }
}

class AppObject;

class EventsPoint final : public IConnectionPoint {
  public:
    explicit EventsPoint(IConnectionPointContainer* owner) : owner_(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
            *out = static_cast<IConnectionPoint*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return owner_->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_->Release(); }
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
        *iid = kEvents;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** c) override {
        owner_->AddRef();
        *c = owner_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* unk, DWORD* cookie) override {
        ++g.advised;
        IDispatch* d = nullptr;
        if (!unk || (FAILED(unk->QueryInterface(kEvents, reinterpret_cast<void**>(&d))) &&
                     FAILED(unk->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d)))))
            return CONNECT_E_CANNOTCONNECT;
        *cookie = g_next_cookie++;
        g_sinks.push_back({d, *cookie});
        mine_.push_back(*cookie);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
        ++g.unadvised;
        for (size_t i = 0; i < g_sinks.size(); ++i) {
            if (g_sinks[i].cookie == cookie) {
                IDispatch* d = g_sinks[i].sink;
                g_sinks.erase(g_sinks.begin() + static_cast<long>(i));
                forget(cookie);
                d->Release();
                return S_OK;
            }
        }
        return CONNECT_E_NOCONNECTION;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

    // Drops the sinks a client left advised when its object goes.
    void drop_all() {
        for (DWORD cookie : std::vector<DWORD>(mine_)) {
            for (size_t i = 0; i < g_sinks.size(); ++i) {
                if (g_sinks[i].cookie == cookie) {
                    IDispatch* d = g_sinks[i].sink;
                    g_sinks.erase(g_sinks.begin() + static_cast<long>(i));
                    d->Release();
                    break;
                }
            }
        }
        mine_.clear();
    }

  private:
    void forget(DWORD cookie) {
        for (size_t i = 0; i < mine_.size(); ++i)
            if (mine_[i] == cookie) {
                mine_.erase(mine_.begin() + static_cast<long>(i));
                return;
            }
    }
    IConnectionPointContainer* owner_;
    std::vector<DWORD> mine_;
};

// The next or previous playlist entry becomes current (track-changed event).
void step(int by) {
    if (g.playlist.size() < 2)
        return;
    size_t n = g.playlist.size();
    g.index = (g.index + n + (by > 0 ? 1 : n - 1)) % n;
    set_track(g.playlist[g.index]);
    PostMessageW(g.window, WM_FIRE, 4, 0);
}

class AppObject final : public Dual<IiTunes>, public IConnectionPointContainer {
  public:
    AppObject() : Dual(IID_IiTunes), point_(this) { ++g.apps; }
    ~AppObject() override {
        point_.drop_all();
        --g.apps;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (g.no_dispatch && IsEqualIID(iid, IID_IDispatch)) {
            // A player whose application interface is not dual.
            ++g.dispatch_refused;
            *out = nullptr;
            return E_NOINTERFACE;
        }
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
            IsEqualIID(iid, IID_IiTunes)) {
            *out = static_cast<IiTunes*>(this);
        } else if (IsEqualIID(iid, IID_IConnectionPointContainer)) {
            *out = static_cast<IConnectionPointContainer*>(this);
        } else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0)
            delete this;
        return n;
    }
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
        if (!IsEqualIID(iid, kEvents)) {
            *out = nullptr;
            return CONNECT_E_NOCONNECTION;
        }
        point_.AddRef();
        *out = &point_;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE CheckVersion(LONG major, LONG minor, VARIANT_BOOL* ok) override {
        maybe_hang();
        ++g.check;
        *ok = g.incompatible ? VARIANT_FALSE : VARIANT_TRUE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        maybe_hang();
        ++g.stop;
        set_playing(false);
        PostMessageW(g.window, WM_FIRE, 3, 0);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PlayPause() override {
        maybe_hang();
        ++g.playpause;
        bool now_playing = !g.playing;
        set_playing(now_playing);
        PostMessageW(g.window, WM_FIRE, now_playing ? 2 : 3, 0);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE NextTrack() override {
        maybe_hang();
        ++g.next;
        step(1);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PreviousTrack() override {
        maybe_hang();
        ++g.previous;
        step(-1);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_PlayerPosition(LONG* out) override {
        maybe_hang();
        ++g.position_calls;
        *out = current_position();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_PlayerState(LONG* out) override {
        maybe_hang();
        ++g.state_calls;
        *out = g.playing ? 1 : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_CurrentTrack(IITTrack** out) override {
        maybe_hang();
        ++g.track_calls;
        *out = nullptr;
        EnterCriticalSection(&g.lock);
        bool has = g.has_track;
        Track t = g.track;
        LeaveCriticalSection(&g.lock);
        if (!has)
            return E_FAIL;
        *out = new TrackObject(t);
        return S_OK;
    }

  private:
    EventsPoint point_;
};

class Factory final : public IClassFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        ++g.created;
        AppObject* app = new AppObject();
        HRESULT hr = app->QueryInterface(iid, out);
        app->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};
Factory g_factory;

void serve(bool on) {
    if (on && !g.class_cookie) {
        if (SUCCEEDED(CoRegisterClassObject(kAppClass, &g_factory, CLSCTX_LOCAL_SERVER,
                                            REGCLS_MULTIPLEUSE, &g.class_cookie)))
            g.served = 1;
    } else if (!on && g.class_cookie) {
        CoRevokeClassObject(g.class_cookie);
        g.class_cookie = 0;
        g.served = 0;
    }
}

// ---- registration ----------------------------------------------------------------------

bool set_value(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    HKEY k = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LONG r = RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(k);
    return r == ERROR_SUCCESS;
}

// The class (LocalServer32 and AppID) and the type library, in this program's view.
bool register_server(const wchar_t* exe) {
    std::wstring clsid = std::wstring(L"CLSID\\") + kClsidText;
    bool ok = set_value(clsid, nullptr, L"iTunes stand-in") &&
              set_value(clsid, L"AppID", kClsidText) &&
              set_value(clsid + L"\\LocalServer32", nullptr, std::wstring(L"\"") + exe + L"\"") &&
              set_value(std::wstring(L"AppID\\") + kClsidText, nullptr, L"iTunes stand-in");
    ITypeLib* tl = nullptr;
    if (FAILED(LoadTypeLibEx(exe, REGKIND_REGISTER, &tl)))
        return false;
    if (g.typelib)
        tl->Release();
    else
        g.typelib = tl;
    return ok;
}

// ---- control channel -------------------------------------------------------------------

struct Command {
    std::string line;
    std::string reply;
};

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t p = s.find(sep, start);
        out.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos)
            return out;
        start = p + 1;
    }
}

std::wstring wide(const std::string& s) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    if (n)
        MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

std::vector<Track> parse_tracks(const std::string& args) {
    std::vector<Track> out;
    std::vector<std::string> f = split(args, '\t');
    for (size_t i = 0; i + 3 < f.size(); i += 4) {
        Track t;
        t.artist = wide(f[i]);
        t.name = wide(f[i + 1]);
        t.duration = atol(f[i + 2].c_str());
        t.bitrate = atol(f[i + 3].c_str());
        out.push_back(t);
    }
    return out;
}

std::string state_text() {
    char buf[512];
    snprintf(buf, sizeof buf,
             "check=%ld stop=%ld playpause=%ld next=%ld previous=%ld position=%ld state=%ld "
             "track=%ld created=%ld advised=%ld unadvised=%ld apps=%ld tracks=%ld fired=%ld "
             "hanging=%ld served=%ld playing=%d sinks=%d foreground=%d dispatch_refused=%ld",
             g.check.load(), g.stop.load(), g.playpause.load(), g.next.load(), g.previous.load(),
             g.position_calls.load(), g.state_calls.load(), g.track_calls.load(), g.created.load(),
             g.advised.load(), g.unadvised.load(), g.apps.load(), g.tracks.load(), g.fired.load(),
             g.hanging.load(), g.served.load(), g.playing ? 1 : 0, static_cast<int>(g_sinks.size()),
             GetForegroundWindow() == g.window && g.window ? 1 : 0, g.dispatch_refused.load());
    return buf;
}

// Commands that touch COM or the window, run on the main thread.
std::string run_on_main(const std::string& verb, const std::string& args) {
    if (verb == "TRACK" || verb == "PLAYLIST") {
        std::vector<Track> tracks = parse_tracks(args);
        if (tracks.empty())
            return "ERR track: artist, name, duration, bitrate separated by tabs";
        g.playlist = verb == "PLAYLIST" ? tracks : std::vector<Track>();
        g.index = 0;
        set_track(tracks[0]);
        fire(4);
    } else if (verb == "NOTRACK") {
        EnterCriticalSection(&g.lock);
        g.has_track = false;
        LeaveCriticalSection(&g.lock);
        fire(4);
    } else if (verb == "NEXT") {
        step(1);
    } else if (verb == "PLAY") {
        set_playing(true);
        fire(2);
    } else if (verb == "STOP") {
        set_playing(false);
        fire(3);
    } else if (verb == "FIRE") {
        fire(atol(args.c_str()));
    } else if (verb == "REFUSE") {
        serve(false);
    } else if (verb == "SERVE") {
        serve(true);
    } else if (verb == "FOREGROUND") {
        if (atol(args.c_str())) {
            ShowWindow(g.window, SW_SHOWNORMAL);
            SetForegroundWindow(g.window);
        } else {
            ShowWindow(g.window, SW_HIDE);
        }
    } else if (verb == "QUIT") {
        g.quitting = 1;
        fire(9);
        fire(8);
        serve(false);
        DestroyWindow(g.window);
        g.window = nullptr;
    } else {
        return "ERR unknown command";
    }
    return "OK " + state_text();
}

std::string handle(const std::string& line, HWND window) {
    size_t sp = line.find(' ');
    std::string verb = line.substr(0, sp);
    std::string args = sp == std::string::npos ? "" : line.substr(sp + 1);
    if (verb == "HELLO") {
        char buf[64];
        snprintf(buf, sizeof buf, "OK pid=%lu", GetCurrentProcessId());
        return buf;
    }
    if (verb == "STATE")
        return "OK " + state_text();
    if (verb == "HANG") {
        g.hang_ms = atol(args.c_str());
        return "OK";
    }
    if (verb == "INCOMPATIBLE") {
        g.incompatible = atol(args.c_str());
        return "OK";
    }
    if (verb == "NODISPATCH") {
        g.no_dispatch = atol(args.c_str());
        return "OK";
    }
    if (verb == "POSITION") {
        EnterCriticalSection(&g.lock);
        g.position = atol(args.c_str());
        g.since = GetTickCount();
        LeaveCriticalSection(&g.lock);
        return "OK";
    }
    if (verb == "EXIT")
        ExitProcess(0);
    if (!window)
        return "ERR the player has quit";
    Command c{line, ""};
    c.line = verb + "\n" + args;
    DWORD_PTR r = 0;
    if (!SendMessageTimeoutW(window, WM_COMMAND_LINE, 0, reinterpret_cast<LPARAM>(&c), SMTO_NORMAL,
                             5000, &r))
        return "ERR busy (the player is inside a held call)";
    return c.reply;
}

// One command line of the control channel.
bool control(void*, char* line, char* out, size_t cap) {
    std::string reply = handle(line, g.window);
    snprintf(out, cap, "%s", reply.c_str());
    return true;
}

LRESULT CALLBACK window_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_COMMAND_LINE) {
        Command* c = reinterpret_cast<Command*>(lp);
        size_t nl = c->line.find('\n');
        c->reply = run_on_main(c->line.substr(0, nl), c->line.substr(nl + 1));
        return 1;
    }
    if (msg == WM_FIRE) {
        fire(static_cast<DISPID>(wp));
        return 0;
    }
    return DefWindowProcW(w, msg, wp, lp);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR cmdline, int) {
    std::wstring args = cmdline ? cmdline : L"";
    // Started by COM: only the player itself serves.
    if (args.find(L"Embedding") != std::wstring::npos)
        return 1;
    InitializeCriticalSection(&g.lock);
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    if (FAILED(CoInitialize(nullptr)))
        return 2;
    if (!register_server(exe))
        return 3;
    if (args.find(L"regserver") != std::wstring::npos)
        return 0;

    static PeerChannel channel;
    unsigned short port = peer_port("itunes.ini", 0);
    channel.handler = control;
    if (port == 0 || !peer_listen(&channel, port))
        return 4;

    WNDCLASSW wc = {};
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.lpszClassName = L"iTunes";
    RegisterClassW(&wc);
    g.window = CreateWindowExW(0, L"iTunes", L"iTunes", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200,
                               nullptr, nullptr, instance, nullptr);
    if (!g.window)
        return 5;
    if (args.find(L"refuse") == std::wstring::npos)
        serve(true);
    CreateThread(nullptr, 0, peer_serve, &channel, 0, nullptr);

    // Runs until EXIT. After QUIT the window and the class are gone, and the process
    // stays so that the tests can read what the client released.
    for (;;) {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    serve(false);
    closesocket(channel.listener);
    ExitProcess(0);
}
