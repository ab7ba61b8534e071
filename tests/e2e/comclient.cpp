// comclient: a plain COM client, the yardstick of the end-to-end tests for what Wine
// itself keeps of a connection whose server died. It connects to a local server's class,
// advises an event sink on one of its connection points and, on command, lets go of
// everything again; a test kills the server in between and compares what this process
// keeps (handles, memory) with what the applet keeps.
//
//   comclient <class id> <events interface id>     then one command a line on stdin:
//     connect   -> "connected <hresult>"   CoCreateInstance, FindConnectionPoint, Advise
//     get <name> -> "got <hresult>"        a property read by name (GetIDsOfNames,
//                                          Invoke), as the applet reads the player's;
//                                          "get A.B" reads object A's property B
//     release   -> "released <hresult>"    Unadvise, then every reference let go
//   It prints "pid <n>" first and ends at the end of its input.
#include <windows.h>

#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>

#include <cstdio>
#include <cstring>

namespace {

IID g_events;

// An event sink that only counts its references.
class Sink final : public IDispatch {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
            IsEqualIID(iid, g_events)) {
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
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return S_OK;
    }

  private:
    volatile LONG refs_ = 1;
};

struct Connection {
    IDispatch* app;
    IConnectionPoint* point;
    DWORD cookie;
    Sink* sink;
};

HRESULT connect(const CLSID& cls, Connection* c) {
    void* obj = nullptr;
    HRESULT hr = CoCreateInstance(cls, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, &obj);
    if (FAILED(hr))
        return hr;
    c->app = static_cast<IDispatch*>(obj);
    IConnectionPointContainer* container = nullptr;
    hr =
        c->app->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    if (FAILED(hr))
        return hr;
    hr = container->FindConnectionPoint(g_events, &c->point);
    container->Release();
    if (FAILED(hr))
        return hr;
    c->sink = new Sink();
    return c->point->Advise(static_cast<IDispatch*>(c->sink), &c->cookie);
}

HRESULT release(Connection* c) {
    HRESULT hr = S_OK;
    if (c->point) {
        if (c->cookie)
            hr = c->point->Unadvise(c->cookie);
        c->point->Release();
    }
    if (c->sink)
        c->sink->Release();
    if (c->app)
        c->app->Release();
    memset(c, 0, sizeof *c);
    return hr;
}

// Reads property `name` of d into r (by name: GetIDsOfNames, then Invoke).
HRESULT get_property(IDispatch* d, const char* name, VARIANT* r) {
    VariantInit(r);
    wchar_t wide[64];
    if (!MultiByteToWideChar(CP_ACP, 0, name, -1, wide, 64))
        return E_INVALIDARG;
    LPOLESTR names = wide;
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = d->GetIDsOfNames(IID_NULL, &names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr))
        return hr;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    return d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, r, nullptr,
                     nullptr);
}

// "A" reads property A of the application object; "A.B" reads A (an object), then its
// property B, and lets go of the object.
HRESULT get(Connection* c, char* path) {
    if (!c->app)
        return E_POINTER;
    char* dot = strchr(path, '.');
    if (dot)
        *dot = '\0';
    VARIANT r;
    HRESULT hr = get_property(c->app, path, &r);
    if (SUCCEEDED(hr) && dot) {
        if (V_VT(&r) == VT_DISPATCH && V_DISPATCH(&r)) {
            VARIANT inner;
            hr = get_property(V_DISPATCH(&r), dot + 1, &inner);
            VariantClear(&inner);
        } else {
            hr = E_NOINTERFACE;
        }
    }
    VariantClear(&r);
    return hr;
}

bool parse_id(const char* text, GUID* out) {
    wchar_t wide[64];
    if (!MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 64))
        return false;
    return SUCCEEDED(CLSIDFromString(wide, out));
}

} // namespace

int main(int argc, char** argv) {
    CLSID cls;
    if (argc < 3 || !parse_id(argv[1], &cls) || !parse_id(argv[2], &g_events)) {
        fprintf(stderr, "usage: comclient {class id} {events interface id}\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    printf("pid %lu\n", GetCurrentProcessId());
    fflush(stdout);
    Connection c = {};
    char line[64];
    while (fgets(line, sizeof line, stdin)) {
        if (strncmp(line, "connect", 7) == 0) {
            release(&c);
            printf("connected %08lx\n", static_cast<unsigned long>(connect(cls, &c)));
        } else if (strncmp(line, "get ", 4) == 0) {
            line[strcspn(line, "\r\n")] = '\0';
            printf("got %08lx\n", static_cast<unsigned long>(get(&c, line + 4)));
        } else if (strncmp(line, "release", 7) == 0) {
            printf("released %08lx\n", static_cast<unsigned long>(release(&c)));
        } else {
            printf("unknown command\n");
        }
        fflush(stdout);
    }
    release(&c);
    CoUninitialize();
    return 0;
}
