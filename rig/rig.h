/* The rig's control protocol: what rig-harness.exe asks of the test driver through its control
 * device "\\.\PelkavornRig". Shared by the driver (C, kernel mode) and the harness (C++).
 * Every request is METHOD_BUFFERED; records are little-endian and packed. */
#ifndef PELKAVORN_RIG_H
#define PELKAVORN_RIG_H

/* The sticks the rig presents carry the program's own stick identity. */
#include "hid/stick_model.h"

#define RIG_CONTROL_NAME L"\\Device\\PelkavornRig"
#define RIG_CONTROL_LINK L"\\DosDevices\\PelkavornRig"
#define RIG_CONTROL_PATH L"\\\\.\\PelkavornRig"

#define RIG_CTL(function) (((0x8000u) << 16) | ((function) << 2))
/* in: uint32 mode (RIG_BUS_*). Unplugs every stick and pad, clears the event log. */
#define RIG_CTL_RESET RIG_CTL(0x900)
/* in: uint32 first event wanted; out: RigEvent records from there on (as many as fit). */
#define RIG_CTL_EVENTS RIG_CTL(0x901)
/* in: uint32 stick number (0..RIG_STICKS-1); for a plug optionally a uint32 that is 1 for an
 * unrelated HID device (a mouse's vendor and product) instead of a stick. */
#define RIG_CTL_PLUG RIG_CTL(0x902)
#define RIG_CTL_UNPLUG RIG_CTL(0x903)
/* in: uint32 stick number, then the report's bytes after its report ID (RIG_REPORT_BYTES). */
#define RIG_CTL_REPORT RIG_CTL(0x904)
/* out: RigStatus. */
#define RIG_CTL_STATUS RIG_CTL(0x905)
/* out: int64 counter frequency, then up to N int64 latencies in counter ticks (oldest first). */
#define RIG_CTL_LATENCIES RIG_CTL(0x906)
/* in: uint32 stick number, then a uint32 share mode (FILE_SHARE_READ | FILE_SHARE_WRITE bits):
 * another program will open the stick the moment it is plugged in, before anyone hears of it.
 * From the plug-in the stick counts as opened for reading and writing with that share mode; the
 * first open marked RIG_HOLDER_OPTION takes that place. Without the share mode: no longer. A
 * reservation ends with the stick's removal and with RIG_CTL_RESET. */
#define RIG_CTL_RESERVE RIG_CTL(0x907)
/* out: RigSettle: what the program is still doing with the sticks and the bus. */
#define RIG_CTL_SETTLE RIG_CTL(0x90C)

/* The create option (FILE_RANDOM_ACCESS; FILE_FLAG_RANDOM_ACCESS to CreateFile) that marks the
 * open of the harness's stand-in for another program. The program never sets it. */
#define RIG_HOLDER_OPTION 0x00000800u

/* Kernel mode only: the HID minidriver image asks the bus image, through the control device,
 * whether an open of a child's HID collection may go ahead (the bus image knows which child a
 * collection belongs to), and tells it of each close. in: RigOpen. The control device itself
 * it learns from a child, whose requests it passes down anyway: in: the address of a
 * PDEVICE_OBJECT, which receives it. */
#define RIG_INTERNAL_OPEN RIG_CTL(0x910)
#define RIG_INTERNAL_CLOSE RIG_CTL(0x911)
#define RIG_INTERNAL_CONTROL RIG_CTL(0x912)
/* in: RigOpen (collection and file): a read of that handle has come (it may pend). */
#define RIG_INTERNAL_READ RIG_CTL(0x913)

#define RIG_BUS_ABSENT 0
#define RIG_BUS_PRESENT 1
#define RIG_BUS_OLD_VERSION 2

#define RIG_STICKS 4
#define RIG_REPORT_BYTES 5
/* Pads the bus holds at once; a further plug-in, or one of another kind than an Xbox 360 pad,
 * is refused. */
#define RIG_PADS 4

#define RIG_EVENT_PLUGGED 1
#define RIG_EVENT_UNPLUGGED 2
#define RIG_EVENT_REPORT 3

#pragma pack(push, 1)
typedef struct RigEvent {
    unsigned int kind;
    unsigned int serial;
    unsigned char report[12];
    long long at;       /* RIG_EVENT_REPORT: performance counter when the bus took it */
    long long stick_at; /* RIG_EVENT_REPORT: when the stick report before it was handed to the
                         * HID stack, or 0 */
} RigEvent;

typedef struct RigStatus {
    unsigned int events;                    /* events logged since the last reset */
    unsigned int bus_started;               /* the bus device has been started */
    unsigned int stick_present[RIG_STICKS]; /* reported to the system as present */
    unsigned int stick_started[RIG_STICKS]; /* its HID stack started it */
    unsigned int reads_pending[RIG_STICKS];
    unsigned int reads_taken[RIG_STICKS]; /* reports handed to the HID stack */
    unsigned int refused;                 /* bus requests refused for a malformed record */
    unsigned int views_present;           /* pads' children reported to the system */
    unsigned int views_started;           /* pads' children started by their HID stacks */
} RigStatus;

/* Every count leaves out the holder's open (RIG_HOLDER_OPTION). A reader is a handle of a
 * stick's collection that has asked for a report; it is behind while a report the HID stack
 * took since its open has not been asked for again, that is, until its next read has come. */
typedef struct RigSettle {
    unsigned int private_opens[RIG_STICKS]; /* opens sharing less than reading and writing,
                                             * allowed or refused */
    unsigned int readers[RIG_STICKS];
    unsigned int readers_behind[RIG_STICKS];
    unsigned int bus_requests; /* bus requests being answered now */
} RigSettle;
#pragma pack(pop)

/* Both images are built for one width, so pointers travel as they are. */
typedef struct RigOpen {
    void* collection;     /* the HID class's device object the open is for */
    void* file;           /* its file object */
    unsigned int share;   /* FILE_SHARE_* of the open */
    unsigned int options; /* its create options */
} RigOpen;

#endif
