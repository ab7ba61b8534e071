// A fake network for the counter sources: a TCP device serving TDI entity lists,
// entity types and IFEntry records, a NetworkCards key and card devices serving
// OID_GEN_STATISTICS. It checks every request it gets and counts open handles.
#pragma once
#include <cstring>
#include <string>
#include <vector>

#include "meters/ndisstats.h"

struct FakeIf {
    uint32_t instance;
    uint32_t if_index;
    uint32_t in, out;
    uint32_t if_type = 6; // ethernet; 24 = loopback
    uint32_t kind = TDI_IF_ENTITY;
    uint32_t type = TDI_IF_MIB;
    bool fail = false;          // the statistics query fails
    uint32_t reply_bytes = 225; // bytes the statistics reply claims
    bool listed = true;         // in the entity list
};

struct FakeCard {
    std::string subkey, service, description;
    uint64_t in = 0, out = 0;
    uint32_t service_type = NET_REG_SZ;
    bool present = true; // its device opens
    bool fail = false;   // its statistics query fails
    uint32_t reply_bytes = 152;
};

struct FakeNet {
    uint32_t now = 5000;
    bool have_ntdll = true, have_tcp = true, list_fails = false, have_cards_key = true;
    std::vector<FakeIf> ifs;
    std::vector<FakeCard> cards;
    std::vector<std::string> logs;
    std::vector<std::string> bad_requests; // requests not as the device expects them
    int handles = 0, libraries = 0, keys = 0;
    int list_requests = 0, stats_requests = 0;
    std::vector<std::string> opened; // device paths opened

    NetHost host() {
        NetHost h{};
        h.tick = [](void* c) { return self(c)->now; };
        h.tcp_open_device = [](void* c, void** ntdll, void** device) {
            FakeNet* f = self(c);
            *device = net_invalid_handle();
            *ntdll = nullptr;
            if (!f->have_ntdll)
                return;
            *ntdll = reinterpret_cast<void*>(0x10);
            f->libraries++;
            if (f->have_tcp) {
                *device = reinterpret_cast<void*>(0x100);
                f->handles++;
            }
        };
        h.free_library = [](void* c, void*) { self(c)->libraries--; };
        h.close_handle = [](void* c, void*) { self(c)->handles--; };
        h.ioctl = [](void* c, void* dev, uint32_t code, const void* in, uint32_t in_bytes,
                     void* out, uint32_t out_bytes, uint32_t* returned) {
            return self(c)->ioctl(dev, code, static_cast<const uint8_t*>(in), in_bytes,
                                  static_cast<uint8_t*>(out), out_bytes, returned);
        };
        h.open_cards_key = [](void* c, void** key) {
            if (!self(c)->have_cards_key)
                return false;
            self(c)->keys++;
            *key = reinterpret_cast<void*>(0x2000);
            return true;
        };
        h.enum_subkey = [](void* c, void*, uint32_t index, char* name, uint32_t cap) {
            FakeNet* f = self(c);
            if (index >= f->cards.size() || f->cards[index].subkey.size() + 1 > cap)
                return false;
            strcpy(name, f->cards[index].subkey.c_str());
            return true;
        };
        h.open_subkey = [](void* c, void*, const char* name, void** sub) {
            FakeNet* f = self(c);
            for (size_t i = 0; i < f->cards.size(); ++i) {
                if (f->cards[i].subkey == name) {
                    f->keys++;
                    *sub = reinterpret_cast<void*>(0x3000 + i);
                    return true;
                }
            }
            return false;
        };
        h.read_value = [](void* c, void* key, const char* name, char* buf, uint32_t cap,
                          uint32_t* bytes, uint32_t* type) {
            const FakeCard& card = self(c)->cards[reinterpret_cast<uintptr_t>(key) - 0x3000];
            const std::string* v = nullptr;
            *type = NET_REG_SZ;
            if (strcmp(name, "ServiceName") == 0) {
                v = &card.service;
                *type = card.service_type;
            } else if (strcmp(name, "Description") == 0) {
                v = &card.description;
            }
            if (!v || v->size() + 1 > cap)
                return false;
            memcpy(buf, v->c_str(), v->size() + 1);
            *bytes = static_cast<uint32_t>(v->size() + 1);
            return true;
        };
        h.close_key = [](void* c, void*) { self(c)->keys--; };
        h.open_device = [](void* c, const char* path, void** handle) {
            FakeNet* f = self(c);
            for (size_t i = 0; i < f->cards.size(); ++i) {
                if (f->cards[i].present && "\\\\.\\" + f->cards[i].service == path) {
                    f->handles++;
                    f->opened.push_back(path);
                    *handle = reinterpret_cast<void*>(0x1000 + i);
                    return true;
                }
            }
            *handle = net_invalid_handle();
            return false;
        };
        h.log = [](void* c, int, const char* message) { self(c)->logs.push_back(message); };
        h.ctx = this;
        return h;
    }

    static FakeNet* self(void* c) { return static_cast<FakeNet*>(c); }

    static uint32_t le32(const uint8_t* p) {
        return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    }
    static void put32(uint8_t* p, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
    static void put64(uint8_t* p, uint64_t v) {
        put32(p, static_cast<uint32_t>(v));
        put32(p + 4, static_cast<uint32_t>(v >> 32));
    }

    // Entity list: every listed interface, plus a transport entity between them.
    std::vector<uint8_t> entity_list() const {
        std::vector<uint8_t> list;
        for (const FakeIf& i : ifs) {
            if (!i.listed)
                continue;
            uint8_t rec[8];
            put32(rec, i.kind);
            put32(rec + 4, i.instance);
            list.insert(list.end(), rec, rec + 8);
            put32(rec, 0x401); // a transport entity: not asked
            list.insert(list.end(), rec, rec + 8);
        }
        return list;
    }

    FakeIf* find_if(uint32_t kind, uint32_t instance) {
        for (FakeIf& i : ifs) {
            if (i.listed && i.kind == kind && i.instance == instance)
                return &i;
        }
        return nullptr;
    }

    bool ioctl(void* dev, uint32_t code, const uint8_t* in, uint32_t in_bytes, uint8_t* out,
               uint32_t out_bytes, uint32_t* returned) {
        *returned = 0;
        if (code == IOCTL_TCP_QUERY_INFORMATION_EX) {
            if (dev != reinterpret_cast<void*>(0x100) || in_bytes != 36) {
                bad_requests.push_back("tdi request of " + std::to_string(in_bytes) + " bytes");
                return false;
            }
            for (int i = 20; i < 36; ++i) {
                if (in[i] != 0)
                    bad_requests.push_back("context not zero");
            }
            uint32_t kind = le32(in), instance = le32(in + 4), cls = le32(in + 8);
            uint32_t type = le32(in + 12), id = le32(in + 16);
            if (type != TDI_TYPE_PROVIDER)
                bad_requests.push_back("type " + std::to_string(type));
            if (kind == TDI_GENERIC_ENTITY && cls == TDI_CLASS_GENERIC && id == 0) {
                list_requests++;
                if (list_fails || out_bytes != NET_TDI_LIST_BYTES)
                    return false;
                std::vector<uint8_t> list = entity_list();
                memcpy(out, list.data(), list.size());
                *returned = static_cast<uint32_t>(list.size());
                return true;
            }
            FakeIf* i = find_if(kind, instance);
            if (!i)
                return false;
            if (cls == TDI_CLASS_GENERIC && id == TDI_ENTITY_TYPE_ID && out_bytes >= 4) {
                put32(out, i->type);
                *returned = 4;
                return true;
            }
            if (cls == TDI_CLASS_PROTOCOL && id == TDI_IF_MIB_STATS_ID && out_bytes == 225) {
                for (uint32_t b = 0; b < out_bytes; ++b) {
                    if (out[b] != 0)
                        bad_requests.push_back("IFEntry buffer not zeroed");
                }
                if (i->fail)
                    return false;
                uint8_t rec[225] = {};
                put32(rec, i->if_index);
                put32(rec + 4, i->if_type);
                put32(rec + 40, i->in);
                put32(rec + 64, i->out);
                memset(rec + 68, 0xEE, sizeof rec - 68); // fields the reader must not need
                *returned = i->reply_bytes;
                memcpy(out, rec, i->reply_bytes < out_bytes ? i->reply_bytes : out_bytes);
                return true;
            }
            bad_requests.push_back("unknown TDI query");
            return false;
        }
        if (code == IOCTL_NDIS_QUERY_GLOBAL_STATS) {
            uintptr_t index = reinterpret_cast<uintptr_t>(dev) - 0x1000;
            if (index >= cards.size() || in_bytes != 4 || le32(in) != OID_GEN_STATISTICS ||
                out_bytes != 152 || out[0] != 0x80 || out[1] != 1 || out[2] != 152 || out[3] != 0) {
                bad_requests.push_back("bad NDIS query");
                return false;
            }
            stats_requests++;
            FakeCard& card = cards[index];
            if (card.fail || !card.present)
                return false;
            put64(out + 24, card.in);
            put64(out + 56, card.out);
            *returned = card.reply_bytes;
            return true;
        }
        bad_requests.push_back("unknown code");
        return false;
    }
};
