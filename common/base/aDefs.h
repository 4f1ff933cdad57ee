/* Link specifiers, transport types and model names. */
#ifndef TARNIX_ADEFS_H
#define TARNIX_ADEFS_H

#include <stdint.h>
#include "aError.h"

typedef enum linkType : uint32_t {
    INVALID = 0,
    USB = 1,
    TCPIP = 2,
    SERIAL = 3,
    ZEPHYL = 4,
    ZEPHYL_USB = 5,
    ZEPHYL_TCPIP = 6,
    ZEPHYL_SERIAL = 7
} linkType;

/* True for the networked-link group (4 to 7). */
bool isZEPHYL(linkType type);

#define aLINKSPEC_PORT_NAME_SIZE 100

typedef struct linkSpec {
    linkType type;
    uint32_t serial_num;
    uint32_t module;
    uint32_t router;
    uint32_t router_serial_num;
    uint32_t model;
    /* Transport part, read according to type; the rest of it stays zero. */
    union {
        struct {
            uint32_t usb_id; /* USB: the serial number */
        };
        struct {
            uint32_t ip_address; /* TCP/IP and networked links: IPv4, network byte order */
            uint32_t ip_port;
        };
        struct {
            uint32_t baud_rate; /* serial */
            char port_name[aLINKSPEC_PORT_NAME_SIZE];
        };
        uint8_t transport[104];
    };
} linkSpec;

static_assert(sizeof(linkSpec) == 128, "linkSpec is a 128-byte record");

linkSpec* aLinkSpec_Create(linkType type);
linkSpec* aLinkSpec_Copy(linkSpec spec);
aErr aLinkSpec_Destroy(linkSpec** spec);

/* Model numbers of the family. */
#define aMODEL_CORVANE 4
#define aMODEL_BELMOTH 5
#define aMODEL_DRAVIK 13
#define aMODEL_OSTREL 14
#define aMODEL_PELLITH 15
#define aMODEL_QUENMAR 16
#define aMODEL_RISTOVA 17
#define aMODEL_SALLOWEN 18
#define aMODEL_TAMBERIN 19
#define aMODEL_ULVANE 20
#define aMODEL_VARROW 21
#define aMODEL_WYSTEL 22
#define aMODEL_YARNEL 23
#define aMODEL_ZORBECK 24
#define aMODEL_FENNRICK 25
#define aMODEL_ISTRANE 26
#define aMODEL_JORVEL 27

/* The constant model name, "Unknown" for numbers outside the table. */
const char* aDefs_GetModelName(uint32_t model);

#endif
