/* The stand-in network driver's control interface, shared by the driver (64-bit,
   kernel mode) and the control program (32-bit). Fixed-size records only, the same
   layout in both. */
#ifndef NETDRV_SHARED_H
#define NETDRV_SHARED_H

#include <stdint.h>

#define NETDRV_CONTROL_PATH "\\\\.\\KorvaneNetCtl"
/* CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS) */
#define NETDRV_IOCTL 0x00222400u

#define NETDRV_MAX_IFS 48
#define NETDRV_MAX_CARDS 20
#define NETDRV_NAME 64

enum NetdrvOp {
    NETDRV_PING = 0,
    NETDRV_RESET = 1,    /* drops every interface and card (their keys too) */
    NETDRV_IF_SET = 2,   /* interface `id` (its TDI instance): fields below */
    NETDRV_CARD_ADD = 3, /* card `id`: names below; listed under NetworkCards */
    NETDRV_CARD_SET = 4, /* card `id`: counters, steps, faults */
    NETDRV_TCP = 5,      /* flags: NETDRV_REFUSE makes "\Device\Tcp" fail its entity list */
    NETDRV_STATUS = 6    /* reply: counts of queries served */
};

/* flags */
#define NETDRV_REFUSE 1u   /* card: cannot be opened (no "\\.\" link); TCP: no entity list */
#define NETDRV_UNLISTED 2u /* interface: not in the entity list; card: no registry key */
#define NETDRV_GONE 4u     /* card: its queries fail */
#define NETDRV_KEEP 8u     /* leave counters and steps as they are (change flags only) */
#define NETDRV_STILL 16u   /* keep the counters, steps become 0: no more traffic */
#define NETDRV_STEPS 32u   /* keep the counters, take the steps of the command */

#pragma pack(push, 4)
struct NetdrvCommand {
    uint32_t op;
    uint32_t id;
    uint32_t flags;
    uint32_t if_index;
    uint32_t if_type;
    uint32_t fail_count; /* the next fail_count statistics queries fail */
    uint64_t in_octets;  /* counters (interfaces: the low 32 bits are served) */
    uint64_t out_octets;
    uint64_t step_in; /* added to the counters at every statistics query */
    uint64_t step_out;
    char subkey[NETDRV_NAME];
    char service[NETDRV_NAME];
    char description[NETDRV_NAME];
};

struct NetdrvStatus {
    uint32_t list_queries;
    uint32_t type_queries;
    uint32_t if_queries;
    uint32_t ndis_queries;
    uint32_t tcp_opens;
    uint32_t card_opens;
    uint32_t bad_requests;
    uint32_t card_queries[NETDRV_MAX_CARDS];
    uint64_t card_in[NETDRV_MAX_CARDS];
    uint64_t card_out[NETDRV_MAX_CARDS];
    uint64_t if_in[NETDRV_MAX_IFS];
    uint64_t if_out[NETDRV_MAX_IFS];
};
#pragma pack(pop)

#endif
