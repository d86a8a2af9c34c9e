/* The record of PX71Service's pipe "\\.\pipe\PX71Service": 400 bytes, sent as the
 * request and returned as the reply. It holds no pointer, so 32-bit and 64-bit clients
 * share the layout; every multi-byte field is little-endian. Usable from C and C++.
 *
 * The protocol: create (or hold) the event "Global\PX71Service", open the pipe for
 * reading and writing, write one record, wait for the event, read the 400-byte reply.
 * One request per connection. */
#ifndef PX71_PIPE_REQUEST_H
#define PX71_PIPE_REQUEST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PX71_PIPE_REQUEST_SIZE 400
#define PX71_LOG_TITLE_SIZE 200
#define PX71_CARD_NAME_UNITS 64 /* UTF-16 code units */

/* Command codes, each named after the library function it runs. The removal commands
 * list the SATA controller first (6), the name commands last (13). */
#define PX71_CMD_ADD_FILTER 1                   /* XU_AddFilter */
#define PX71_CMD_SET_STATUS 2                   /* XU_SetStatus, with SetStatusArgs */
#define PX71_CMD_SET_SIZES 3                    /* XU_SetSize_Pro2, or _DEF when EndAdrs is 0 */
#define PX71_CMD_WRITE_LOG 4                    /* XU_WriteLog, with LogTitle */
#define PX71_CMD_RESET_PCI_BRIDGE 5             /* XU_ResetPCIBridge off, then on */
#define PX71_CMD_STOP_3132_CARD 6               /* XU_Stop3132Card */
#define PX71_CMD_STOP_CARDBUS_CARD 7            /* XU_StopCardBusCard */
#define PX71_CMD_STOP_EHCI_EXPRESS_CARD 8       /* XU_StopEhciExpressCard */
#define PX71_CMD_STOP_OHCI_EXPRESS_CARD 9       /* XU_StopOhciExpressCard */
#define PX71_CMD_GET_CARDBUS_CARD_NAME 10       /* XU_GetCardBusCardName */
#define PX71_CMD_GET_EHCI_EXPRESS_CARD_NAME 11  /* XU_GetEhciExpressCardName */
#define PX71_CMD_GET_OHCI_EXPRESS_CARD_NAME 12  /* XU_GetOhciExpressCardName */
#define PX71_CMD_GET_3132_CARD_NAME 13          /* XU_Get3132CardName */
#define PX71_CMD_CHECK_DEVICE 14                /* XU_CheckDevice */
/* The adapter's slot numbered ControllerIndex, read only. In the reply: Result the
 * number of slots (0: none; a service without this command leaves Result as sent, so a
 * client that sends -1 can tell), SetStatusArgs the slot bridge's bus, 1 when a card is
 * in the slot, the link (1 on, 0 off, 0xFF unknown) and 1 when the tree holds a card
 * node below the slot bridge; for that node StartAdrs its DN_ status, EndAdrs its
 * CM_PROB_ problem, CardName its device description, CardIndex its PCI vendor and
 * device ID (vendor in the high half) and CardNameSize its class code, each 0 when its
 * IDs do not tell. */
#define PX71_CMD_GET_SLOT 15

typedef struct PipeRequest {
    uint32_t Command;          /* in: command code 1 to 15 */
    int32_t Result;            /* out: the library function's result; kept for command 5 and unknown codes */
    uint32_t LastError;        /* out: the thread's last-error code right after the command */
    uint8_t SetStatusArgs[4];  /* in: Bus, StateChange, LinkEnable, CheckVolumes (command 2) */
    uint8_t Reserved[4];       /* never read or written by the service */
    uint32_t StartAdrs;        /* in: command 3 */
    uint32_t EndAdrs;          /* in: command 3; zero selects the defaults */
    char LogTitle[PX71_LOG_TITLE_SIZE]; /* in: ANSI, NUL-terminated within the field (command 4) */
    uint32_t Oz888Len;         /* in: command 3 */
    uint32_t SxsLen;
    uint32_t A3132Len;
    uint32_t B3132Len;
    uint32_t USBLen;
    uint32_t ControllerIndex;  /* in: commands 6 to 13 */
    uint32_t CardIndex;        /* in: commands 6 to 13 */
    uint16_t CardName[PX71_CARD_NAME_UNITS]; /* out: UTF-16LE card name (commands 10 to 13) */
    uint32_t CardNameSize;     /* in: NameSize of the card-name functions */
    uint32_t PortLen;          /* in: command 3 */
    uint32_t PayloadSize;
    uint32_t SataSSC;
} PipeRequest;

/* Where the compiler has no static assertion (C before C11, as Visual C++ compiles C
 * by default), an array of negative size stops the build instead. */
#define PX71_JOIN2(a, b) a##b
#define PX71_JOIN(a, b) PX71_JOIN2(a, b)
#if defined(__cplusplus)
#define PX71_STATIC_ASSERT(condition, message) static_assert(condition, message)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define PX71_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#else
#define PX71_STATIC_ASSERT(condition, message) \
    typedef char PX71_JOIN(px71_layout_check_, __LINE__)[(condition) ? 1 : -1]
#endif

/* The wire layout, pinned. */
PX71_STATIC_ASSERT(sizeof(PipeRequest) == PX71_PIPE_REQUEST_SIZE, "PipeRequest is 400 bytes");
PX71_STATIC_ASSERT(offsetof(PipeRequest, Command) == 0, "Command at 0");
PX71_STATIC_ASSERT(offsetof(PipeRequest, Result) == 4, "Result at 4");
PX71_STATIC_ASSERT(offsetof(PipeRequest, LastError) == 8, "LastError at 8");
PX71_STATIC_ASSERT(offsetof(PipeRequest, SetStatusArgs) == 12, "SetStatusArgs at 12");
PX71_STATIC_ASSERT(offsetof(PipeRequest, Reserved) == 16, "Reserved at 16");
PX71_STATIC_ASSERT(offsetof(PipeRequest, StartAdrs) == 20, "StartAdrs at 20");
PX71_STATIC_ASSERT(offsetof(PipeRequest, EndAdrs) == 24, "EndAdrs at 24");
PX71_STATIC_ASSERT(offsetof(PipeRequest, LogTitle) == 28, "LogTitle at 28");
PX71_STATIC_ASSERT(offsetof(PipeRequest, Oz888Len) == 228, "Oz888Len at 228");
PX71_STATIC_ASSERT(offsetof(PipeRequest, SxsLen) == 232, "SxsLen at 232");
PX71_STATIC_ASSERT(offsetof(PipeRequest, A3132Len) == 236, "A3132Len at 236");
PX71_STATIC_ASSERT(offsetof(PipeRequest, B3132Len) == 240, "B3132Len at 240");
PX71_STATIC_ASSERT(offsetof(PipeRequest, USBLen) == 244, "USBLen at 244");
PX71_STATIC_ASSERT(offsetof(PipeRequest, ControllerIndex) == 248, "ControllerIndex at 248");
PX71_STATIC_ASSERT(offsetof(PipeRequest, CardIndex) == 252, "CardIndex at 252");
PX71_STATIC_ASSERT(offsetof(PipeRequest, CardName) == 256, "CardName at 256");
PX71_STATIC_ASSERT(offsetof(PipeRequest, CardNameSize) == 384, "CardNameSize at 384");
PX71_STATIC_ASSERT(offsetof(PipeRequest, PortLen) == 388, "PortLen at 388");
PX71_STATIC_ASSERT(offsetof(PipeRequest, PayloadSize) == 392, "PayloadSize at 392");
PX71_STATIC_ASSERT(offsetof(PipeRequest, SataSSC) == 396, "SataSSC at 396");

#ifdef __cplusplus
}
#endif

#endif
