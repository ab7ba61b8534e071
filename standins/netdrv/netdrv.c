/* Stand-in network driver for the tests and the demo (kernel mode, 64-bit: Wine runs
   drivers in the 64-bit winedevice.exe).

   - "\Device\Tcp" answers IOCTL_TCP_QUERY_INFORMATION_EX (METHOD_NEITHER): the entity
     list, entity types and IFEntry records of a loopback interface (instance 0) and of
     the test interfaces;
   - each test card is a device "\Device\KorvaneCardN" reachable as "\\.\" + its service
     name, listed under NetworkCards in a volatile subkey the driver writes itself, and
     answers IOCTL_NDIS_QUERY_GLOBAL_STATS with OID_GEN_STATISTICS;
   - "\\.\KorvaneNetCtl" takes NetdrvCommand records (netdrv_shared.h): counters, steps
     added at every statistics query, failures, devices that refuse to open, cards that
     come and go.

   Wine hands a driver its requests one at a time from one thread, so the tables need
   no lock. */
#include <ntddk.h>

#include "netdrv_shared.h"

#define TCP_QUERY 0x120003u
#define NDIS_QUERY 0x170002u
#define OID_GEN_STATISTICS 0x00020106u
#define IF_ENTITY 0x200u
#define LOOPBACK_TYPE 24u
#define IFENTRY_BYTES 225u
#define NDIS_STATS_BYTES 152u

enum { KIND_TCP = 1, KIND_CONTROL = 2, KIND_CARD = 3 };

typedef struct {
    int kind;
    int card;
} DevExt;

typedef struct {
    int used;
    uint32_t flags, if_index, if_type, fail_count;
    uint64_t in, out, step_in, step_out;
} Iface;

typedef struct {
    int used;
    uint32_t flags, fail_count;
    uint64_t in, out, step_in, step_out;
    char subkey[NETDRV_NAME], service[NETDRV_NAME], description[NETDRV_NAME];
    PDEVICE_OBJECT device;
    int linked; /* symbolic link "\DosDevices\<service>" made */
    int keyed;  /* NetworkCards subkey written */
} Card;

static Iface g_ifs[NETDRV_MAX_IFS];
static Card g_cards[NETDRV_MAX_CARDS];
static uint32_t g_tcp_flags;
static struct NetdrvStatus g_status;
static PDEVICE_OBJECT g_tcp, g_control;

static const WCHAR kCardsKey[] =
    L"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
static const WCHAR kCardsKeySlash[] =
    L"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\\";

/* ---- small helpers (no C library in a driver) ------------------------------------- */

static void zero(void* p, SIZE_T n) {
    volatile unsigned char* b = (volatile unsigned char*)p;
    while (n--)
        *b++ = 0;
}

static void put32(unsigned char* p, uint32_t v) {
    int i;
    for (i = 0; i < 4; ++i)
        p[i] = (unsigned char)(v >> (8 * i));
}

static void put64(unsigned char* p, uint64_t v) {
    put32(p, (uint32_t)v);
    put32(p + 4, (uint32_t)(v >> 32));
}

static uint32_t get32(const unsigned char* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static void copy_name(char* dst, const char* src) {
    int i;
    for (i = 0; i < NETDRV_NAME - 1 && src[i]; ++i)
        dst[i] = src[i];
    dst[i] = 0;
}

/* prefix (wide) + text (ASCII) as a counted wide string over buf (cap characters). */
static void widen(UNICODE_STRING* u, WCHAR* buf, int cap, const WCHAR* prefix, const char* text) {
    int n = 0;
    while (prefix && *prefix && n < cap - 1)
        buf[n++] = *prefix++;
    while (text && *text && n < cap - 1)
        buf[n++] = (WCHAR)(unsigned char)*text++;
    buf[n] = 0;
    u->Buffer = buf;
    u->Length = (USHORT)(n * sizeof(WCHAR));
    u->MaximumLength = (USHORT)((n + 1) * sizeof(WCHAR));
}

static NTSTATUS finish(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* ---- NetworkCards subkeys ------------------------------------------------------------ */

static NTSTATUS set_text(HANDLE key, const char* name, const char* text) {
    UNICODE_STRING n, v;
    WCHAR nbuf[32], vbuf[NETDRV_NAME + 1];
    widen(&n, nbuf, 32, NULL, name);
    widen(&v, vbuf, NETDRV_NAME + 1, NULL, text);
    return ZwSetValueKey(key, &n, 0, REG_SZ, v.Buffer, v.MaximumLength);
}

/* Opens (create: creates as volatile) the card's subkey; NULL on failure. */
static HANDLE card_key(const char* subkey, int create) {
    UNICODE_STRING path;
    WCHAR buf[200];
    OBJECT_ATTRIBUTES oa;
    HANDLE key = NULL;
    ULONG disposition = 0;
    NTSTATUS s;
    widen(&path, buf, 200, kCardsKeySlash, subkey);
    InitializeObjectAttributes(&oa, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (create)
        s = ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, NULL, REG_OPTION_VOLATILE, &disposition);
    else
        s = ZwOpenKey(&key, KEY_ALL_ACCESS, &oa);
    return NT_SUCCESS(s) ? key : NULL;
}

static void unlist_card(Card* c) {
    HANDLE key;
    if (!c->keyed)
        return;
    key = card_key(c->subkey, 0);
    if (key) {
        ZwDeleteKey(key);
        ZwClose(key);
    }
    c->keyed = 0;
}

static void list_card(Card* c) {
    HANDLE key;
    if (c->keyed)
        return;
    key = card_key(c->subkey, 1);
    if (!key)
        return;
    set_text(key, "ServiceName", c->service);
    set_text(key, "Description", c->description);
    ZwClose(key);
    c->keyed = 1;
}

/* Removes every NetworkCards subkey that is not one of ours (the host's own cards,
   which Wine lists but which answer no statistics query). */
static void hide_host_cards(void) {
    UNICODE_STRING path;
    WCHAR buf[200];
    OBJECT_ATTRIBUTES oa;
    HANDLE parent = NULL;
    ULONG index = 0;
    widen(&path, buf, 200, kCardsKey, NULL);
    InitializeObjectAttributes(&oa, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&parent, KEY_ALL_ACCESS, &oa)))
        return;
    for (;;) {
        union {
            KEY_BASIC_INFORMATION info;
            unsigned char raw[512];
        } u;
        ULONG got = 0;
        char name[NETDRV_NAME];
        int i, n, ours = 0;
        HANDLE child;
        if (!NT_SUCCESS(ZwEnumerateKey(parent, index, KeyBasicInformation, &u, sizeof u, &got)))
            break;
        n = (int)(u.info.NameLength / sizeof(WCHAR));
        for (i = 0; i < n && i < NETDRV_NAME - 1; ++i)
            name[i] = (char)u.info.Name[i];
        name[i] = 0;
        for (i = 0; i < NETDRV_MAX_CARDS; ++i) {
            if (g_cards[i].used && g_cards[i].keyed) {
                const char* a = g_cards[i].subkey;
                const char* b = name;
                while (*a && *a == *b)
                    ++a, ++b;
                if (*a == 0 && *b == 0)
                    ours = 1;
            }
        }
        child = ours ? NULL : card_key(name, 0);
        if (child) {
            ZwDeleteKey(child);
            ZwClose(child);
        } else {
            ++index;
        }
    }
    ZwClose(parent);
}

/* ---- cards ---------------------------------------------------------------------------- */

/* "\DosDevices\<service>" -> "\Device\KorvaneCardNN". Under Wine a device is opened
   whatever its create routine answers, so a card that refuses to open is a card
   without its link. */
static void link_card(int id, int on) {
    Card* c = &g_cards[id];
    UNICODE_STRING link, name;
    WCHAR lbuf[100], nbuf[64];
    char number[3];
    if (on == c->linked)
        return;
    widen(&link, lbuf, 100, L"\\DosDevices\\", c->service);
    if (!on) {
        IoDeleteSymbolicLink(&link);
        c->linked = 0;
        return;
    }
    number[0] = (char)('0' + id / 10);
    number[1] = (char)('0' + id % 10);
    number[2] = 0;
    widen(&name, nbuf, 64, L"\\Device\\KorvaneCard", number);
    c->linked = NT_SUCCESS(IoCreateSymbolicLink(&link, &name));
}

static void drop_card(Card* c) {
    unlist_card(c);
    link_card((int)(c - g_cards), 0);
    c->used = 0;
    /* The device object stays (handles may still be open on it); the next card with
       this number takes it over. */
}

static void add_card(int id, const struct NetdrvCommand* cmd) {
    Card* c = &g_cards[id];
    UNICODE_STRING name;
    WCHAR nbuf[64];
    char number[4];
    if (c->used)
        drop_card(c);
    copy_name(c->subkey, cmd->subkey);
    copy_name(c->service, cmd->service);
    copy_name(c->description, cmd->description);
    c->in = cmd->in_octets;
    c->out = cmd->out_octets;
    c->step_in = cmd->step_in;
    c->step_out = cmd->step_out;
    c->flags = cmd->flags;
    c->fail_count = cmd->fail_count;
    if (!c->device) {
        DevExt* ext;
        number[0] = (char)('0' + id / 10);
        number[1] = (char)('0' + id % 10);
        number[2] = 0;
        widen(&name, nbuf, 64, L"\\Device\\KorvaneCard", number);
        if (!NT_SUCCESS(IoCreateDevice(g_control->DriverObject, sizeof(DevExt), &name,
                                       FILE_DEVICE_PHYSICAL_NETCARD, 0, FALSE, &c->device))) {
            c->device = NULL;
            return;
        }
        ext = (DevExt*)c->device->DeviceExtension;
        ext->kind = KIND_CARD;
        ext->card = id;
        c->device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    link_card(id, !(c->flags & NETDRV_REFUSE));
    c->used = 1;
    if (!(c->flags & NETDRV_UNLISTED))
        list_card(c);
}

static void set_card(int id, const struct NetdrvCommand* cmd) {
    Card* c = &g_cards[id];
    if (!c->used)
        return;
    if (!(cmd->flags & NETDRV_KEEP)) {
        c->in = cmd->in_octets;
        c->out = cmd->out_octets;
        c->step_in = cmd->step_in;
        c->step_out = cmd->step_out;
    }
    if (cmd->flags & NETDRV_STILL)
        c->step_in = c->step_out = 0;
    if (cmd->flags & NETDRV_STEPS) {
        c->step_in = cmd->step_in;
        c->step_out = cmd->step_out;
    }
    c->fail_count = cmd->fail_count;
    c->flags = cmd->flags & ~(NETDRV_KEEP | NETDRV_STILL | NETDRV_STEPS);
    link_card(id, !(c->flags & NETDRV_REFUSE));
    if (c->flags & NETDRV_UNLISTED)
        unlist_card(c);
    else
        list_card(c);
}

static void reset_all(uint32_t flags) {
    int i;
    for (i = 0; i < NETDRV_MAX_CARDS; ++i) {
        if (g_cards[i].used)
            drop_card(&g_cards[i]);
    }
    zero(g_ifs, sizeof g_ifs);
    /* The loopback interface is always there. */
    g_ifs[0].used = 1;
    g_ifs[0].if_index = 1;
    g_ifs[0].if_type = LOOPBACK_TYPE;
    g_tcp_flags = 0;
    zero(&g_status, sizeof g_status);
    if (flags & 1)
        hide_host_cards();
}

/* ---- TDI on "\Device\Tcp" ------------------------------------------------------------- */

static NTSTATUS tdi_query(PIRP irp, PIO_STACK_LOCATION sp) {
    const unsigned char* in = (const unsigned char*)sp->Parameters.DeviceIoControl.Type3InputBuffer;
    unsigned char* out = (unsigned char*)irp->UserBuffer;
    ULONG in_len = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_len = sp->Parameters.DeviceIoControl.OutputBufferLength;
    uint32_t kind, instance, cls, type, id;
    Iface* f;
    if (!in || in_len < 36 || !out) {
        g_status.bad_requests++;
        return finish(irp, STATUS_INVALID_PARAMETER, 0);
    }
    kind = get32(in);
    instance = get32(in + 4);
    cls = get32(in + 8);
    type = get32(in + 12);
    id = get32(in + 16);
    if (type != 0x100) {
        g_status.bad_requests++;
        return finish(irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (kind == 0 && cls == 0x100 && id == 0) {
        /* Entity list: a transport entity first, then every listed interface. */
        ULONG n = 0;
        int i;
        g_status.list_queries++;
        if (g_tcp_flags & NETDRV_REFUSE)
            return finish(irp, STATUS_DEVICE_NOT_READY, 0);
        if (out_len >= 8) {
            put32(out, 0x400); /* CO_TL_ENTITY */
            put32(out + 4, 0);
            n = 8;
        }
        for (i = 0; i < NETDRV_MAX_IFS; ++i) {
            if (!g_ifs[i].used || (g_ifs[i].flags & NETDRV_UNLISTED))
                continue;
            if (n + 8 > out_len)
                break;
            put32(out + n, IF_ENTITY);
            put32(out + n + 4, (uint32_t)i);
            n += 8;
        }
        return finish(irp, STATUS_SUCCESS, n);
    }
    if (kind != IF_ENTITY || instance >= NETDRV_MAX_IFS || !g_ifs[instance].used) {
        g_status.bad_requests++;
        return finish(irp, STATUS_INVALID_PARAMETER, 0);
    }
    f = &g_ifs[instance];
    if (cls == 0x100 && id == 1) {
        g_status.type_queries++;
        if (out_len < 4)
            return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
        put32(out, 0x202); /* IF_MIB */
        return finish(irp, STATUS_SUCCESS, 4);
    }
    if (cls == 0x200 && id == 1) {
        ULONG n = out_len < IFENTRY_BYTES ? out_len : IFENTRY_BYTES;
        g_status.if_queries++;
        if (f->fail_count) {
            f->fail_count--;
            return finish(irp, STATUS_UNSUCCESSFUL, 0);
        }
        if (out_len < 68)
            return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
        f->in += f->step_in;
        f->out += f->step_out;
        zero(out, n);
        put32(out, f->if_index);
        put32(out + 4, f->if_type);
        put32(out + 40, (uint32_t)f->in);
        put32(out + 64, (uint32_t)f->out);
        return finish(irp, STATUS_SUCCESS, n);
    }
    g_status.bad_requests++;
    return finish(irp, STATUS_INVALID_PARAMETER, 0);
}

/* ---- NDIS on a card ------------------------------------------------------------------- */

static void* direct_out(PIRP irp) {
    if (irp->MdlAddress) {
        PMDL mdl = irp->MdlAddress;
        if (mdl->MappedSystemVa)
            return mdl->MappedSystemVa;
        return (char*)mdl->StartVa + mdl->ByteOffset;
    }
    return irp->UserBuffer ? irp->UserBuffer : irp->AssociatedIrp.SystemBuffer;
}

static NTSTATUS ndis_query(PIRP irp, PIO_STACK_LOCATION sp, int id) {
    Card* c = &g_cards[id];
    const unsigned char* in = (const unsigned char*)irp->AssociatedIrp.SystemBuffer;
    unsigned char* out = (unsigned char*)direct_out(irp);
    ULONG in_len = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_len = sp->Parameters.DeviceIoControl.OutputBufferLength;
    g_status.ndis_queries++;
    if (!c->used || (c->flags & NETDRV_GONE))
        return finish(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    if (!in || in_len < 4 || get32(in) != OID_GEN_STATISTICS || !out) {
        g_status.bad_requests++;
        return finish(irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (out_len < NDIS_STATS_BYTES)
        return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
    g_status.card_queries[id]++;
    if (c->fail_count) {
        c->fail_count--;
        return finish(irp, STATUS_UNSUCCESSFUL, 0);
    }
    c->in += c->step_in;
    c->out += c->step_out;
    zero(out, NDIS_STATS_BYTES);
    out[0] = 0x80;
    out[1] = 1;
    out[2] = (unsigned char)NDIS_STATS_BYTES;
    put64(out + 24, c->in);
    put64(out + 56, c->out);
    return finish(irp, STATUS_SUCCESS, NDIS_STATS_BYTES);
}

/* ---- control -------------------------------------------------------------------------- */

static NTSTATUS control(PIRP irp, PIO_STACK_LOCATION sp) {
    struct NetdrvCommand cmd;
    unsigned char* buf = (unsigned char*)irp->AssociatedIrp.SystemBuffer;
    ULONG in_len = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_len = sp->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG i;
    int k;
    if (!buf || in_len < sizeof cmd)
        return finish(irp, STATUS_INVALID_PARAMETER, 0);
    for (i = 0; i < sizeof cmd; ++i)
        ((unsigned char*)&cmd)[i] = buf[i];
    switch (cmd.op) {
    case NETDRV_RESET:
        reset_all(cmd.flags);
        break;
    case NETDRV_IF_SET:
        if (cmd.id >= NETDRV_MAX_IFS)
            return finish(irp, STATUS_INVALID_PARAMETER, 0);
        {
            Iface* f = &g_ifs[cmd.id];
            if (!(cmd.flags & NETDRV_KEEP) || !f->used) {
                f->in = cmd.in_octets;
                f->out = cmd.out_octets;
                f->step_in = cmd.step_in;
                f->step_out = cmd.step_out;
                f->if_index = cmd.if_index;
                f->if_type = cmd.if_type;
            }
            if (cmd.flags & NETDRV_STILL)
                f->step_in = f->step_out = 0;
            if (cmd.flags & NETDRV_STEPS) {
                f->step_in = cmd.step_in;
                f->step_out = cmd.step_out;
            }
            f->used = 1;
            f->flags = cmd.flags & ~(NETDRV_KEEP | NETDRV_STILL | NETDRV_STEPS);
            f->fail_count = cmd.fail_count;
        }
        break;
    case NETDRV_CARD_ADD:
        if (cmd.id >= NETDRV_MAX_CARDS)
            return finish(irp, STATUS_INVALID_PARAMETER, 0);
        add_card((int)cmd.id, &cmd);
        break;
    case NETDRV_CARD_SET:
        if (cmd.id >= NETDRV_MAX_CARDS)
            return finish(irp, STATUS_INVALID_PARAMETER, 0);
        set_card((int)cmd.id, &cmd);
        break;
    case NETDRV_TCP:
        g_tcp_flags = cmd.flags;
        break;
    default:
        break;
    }
    for (k = 0; k < NETDRV_MAX_CARDS; ++k) {
        g_status.card_in[k] = g_cards[k].in;
        g_status.card_out[k] = g_cards[k].out;
    }
    for (k = 0; k < NETDRV_MAX_IFS; ++k) {
        g_status.if_in[k] = g_ifs[k].in;
        g_status.if_out[k] = g_ifs[k].out;
    }
    if (out_len < sizeof g_status)
        return finish(irp, STATUS_SUCCESS, 0);
    for (i = 0; i < sizeof g_status; ++i)
        buf[i] = ((unsigned char*)&g_status)[i];
    return finish(irp, STATUS_SUCCESS, sizeof g_status);
}

/* ---- dispatch ------------------------------------------------------------------------- */

static NTSTATUS WINAPI on_create(PDEVICE_OBJECT dev, PIRP irp) {
    DevExt* ext = (DevExt*)dev->DeviceExtension;
    if (ext->kind == KIND_TCP)
        g_status.tcp_opens++;
    else if (ext->kind == KIND_CARD)
        g_status.card_opens++;
    return finish(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI on_close(PDEVICE_OBJECT dev, PIRP irp) {
    return finish(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI on_ioctl(PDEVICE_OBJECT dev, PIRP irp) {
    DevExt* ext = (DevExt*)dev->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    if (ext->kind == KIND_TCP && code == TCP_QUERY)
        return tdi_query(irp, sp);
    if (ext->kind == KIND_CARD && code == NDIS_QUERY)
        return ndis_query(irp, sp, ext->card);
    if (ext->kind == KIND_CONTROL && code == NETDRV_IOCTL)
        return control(irp, sp);
    g_status.bad_requests++;
    return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static void WINAPI on_unload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    int i;
    for (i = 0; i < NETDRV_MAX_CARDS; ++i) {
        if (g_cards[i].used)
            drop_card(&g_cards[i]);
        if (g_cards[i].device)
            IoDeleteDevice(g_cards[i].device);
        g_cards[i].device = NULL;
    }
    RtlInitUnicodeString(&link, L"\\DosDevices\\KorvaneNetCtl");
    IoDeleteSymbolicLink(&link);
    if (g_control)
        IoDeleteDevice(g_control);
    if (g_tcp)
        IoDeleteDevice(g_tcp);
    g_control = g_tcp = NULL;
}

static NTSTATUS make_device(PDRIVER_OBJECT driver, const WCHAR* path, DEVICE_TYPE type, int kind,
                            PDEVICE_OBJECT* out) {
    UNICODE_STRING name;
    NTSTATUS s;
    RtlInitUnicodeString(&name, path);
    s = IoCreateDevice(driver, sizeof(DevExt), &name, type, 0, FALSE, out);
    if (!NT_SUCCESS(s))
        return s;
    ((DevExt*)(*out)->DeviceExtension)->kind = kind;
    ((DevExt*)(*out)->DeviceExtension)->card = -1;
    (*out)->Flags &= ~DO_DEVICE_INITIALIZING;
    return s;
}

NTSTATUS WINAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry) {
    UNICODE_STRING link, target;
    NTSTATUS s;
    driver->MajorFunction[IRP_MJ_CREATE] = on_create;
    driver->MajorFunction[IRP_MJ_CLOSE] = on_close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = on_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = on_ioctl;
    driver->DriverUnload = on_unload;
    s = make_device(driver, L"\\Device\\KorvaneNetCtl", FILE_DEVICE_UNKNOWN, KIND_CONTROL,
                    &g_control);
    if (!NT_SUCCESS(s))
        return s;
    RtlInitUnicodeString(&link, L"\\DosDevices\\KorvaneNetCtl");
    RtlInitUnicodeString(&target, L"\\Device\\KorvaneNetCtl");
    IoCreateSymbolicLink(&link, &target);
    /* Where the system has its own TCP device this one cannot be made: the cards and
       the control device still work. */
    make_device(driver, L"\\Device\\Tcp", FILE_DEVICE_NETWORK, KIND_TCP, &g_tcp);
    reset_all(0);
    return STATUS_SUCCESS;
}
