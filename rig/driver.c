/* The rig's test driver, for Wine's device host. One source, two images:
 *
 *  - pelkrig.sys (service "pelkrig"): the virtual-pad bus double on a root-enumerated device
 *    (the bus interface class and its device-control protocol, checked as strictly as the
 *    simulated bus driver checks it), the bus of up to four virtual sticks (child devices with
 *    the stick's vendor and product numbers from hid/stick_model.h, whose HID requests it
 *    answers) and of up to four Xbox 360 pads (two children each, through which Wine's xinput
 *    and dinput8 read every report the program submits), and a named control device for
 *    rig-harness.exe.
 *  - pelkrighid.sys (service "pelkrighid", built with RIG_HID_MINIDRIVER): the HID minidriver
 *    of the sticks and the pads. The HID class driver takes over the driver object of whoever
 *    registers as a minidriver, so the bus cannot be that driver object; this one passes every
 *    request of the HID class down to the child device, where the bus image answers it.
 *
 * Sharing: Wine's HID class lets anyone open a collection that another handle opened sharing
 * nothing, where Windows refuses. The HID class takes over the minidriver image's entries; the
 * minidriver image puts its own in front of them, which ask the bus image (it knows which child
 * a collection belongs to) whether an open may go ahead. Wine 8 cannot refuse an open, though:
 * its server hands the opener its handle without waiting for the driver's answer. So a refused
 * open gets a handle on which every request fails with STATUS_SHARING_VIOLATION, and to the
 * program that is the same: its open fails at the first request (the preparsed data).
 *
 * Everything runs at whatever level Wine calls us; the one spin lock guards all state. */
#include <ntddk.h>
#include <wdm.h>

#include "rig.h"

#ifndef RIG_HID_MINIDRIVER

static const GUID bus_class = {
    0x96E42B22, 0xF5E9, 0x42F8, {0xB0, 0x43, 0xED, 0x0F, 0x93, 0x2F, 0x01, 0x4F}};

enum {
    ctl_plug_in = 0x002AA004,
    ctl_unplug = 0x002AA008,
    ctl_version = 0x002AA00C,
    ctl_wait_ready = 0x002AA010,
    ctl_x360_feedback = 0x002AE804,
    ctl_x360_report = 0x002AA808,
    ctl_ds4_report = 0x002AA80C,
    ctl_ds4_feedback = 0x002AA810,
    ctl_x360_user_index = 0x002AE81C,
};

/* The HID class's requests to a minidriver (METHOD_NEITHER on the keyboard device type). */
#define HID_CTL(id) CTL_CODE(FILE_DEVICE_KEYBOARD, (id), METHOD_NEITHER, FILE_ANY_ACCESS)
#define RIG_IOCTL_HID_GET_DEVICE_DESCRIPTOR HID_CTL(0)
#define RIG_IOCTL_HID_GET_REPORT_DESCRIPTOR HID_CTL(1)
#define RIG_IOCTL_HID_READ_REPORT HID_CTL(2)
#define RIG_IOCTL_HID_GET_DEVICE_ATTRIBUTES HID_CTL(9)

#define MAX_EVENTS 8192
#define MAX_QUEUED 64
#define MAX_READS 8
#define MAX_LATENCIES 4096
#define MAX_OPENS 64
#define PAD_REPORT_BYTES 12

enum Kind { KIND_CONTROL = 1, KIND_BUS = 2, KIND_STICK = 3, KIND_PAD_VIEW = 4 };

typedef struct Extension {
    enum Kind kind;
    int index;                     /* KIND_STICK: its number; KIND_PAD_VIEW: pad * 2 + view */
    PDEVICE_OBJECT lower;          /* KIND_BUS: the device below */
    PDEVICE_OBJECT physical;       /* KIND_BUS: the root device Wine made for us */
    UNICODE_STRING interface_name; /* KIND_BUS */
} Extension;

/* A child device of the bus, under the HID class driver. */
typedef struct Child {
    PDEVICE_OBJECT pdo;    /* the child device while it exists (until its removal request) */
    int present;           /* reported in the bus relations */
    int started;           /* its HID stack started it */
    PIRP reads[MAX_READS]; /* pended IOCTL_HID_READ_REPORT requests */
    PVOID collection;      /* the HID class's device object on top of it, once it told us */
} Child;

/* How a game sees a pad: Wine's xinput reads only children of its own interface class, which
 * the HID class driver gives to a device ID "WINEXINPUT\...&XI_nn"; dinput8 reads the ordinary
 * HID interface, which a second child with an ordinary device ID provides. */
enum { VIEW_XINPUT = 0, VIEW_HID = 1, VIEWS = 2 };

typedef struct PadView {
    Child child;
    /* The newest report not yet read. The HID class keeps one read outstanding and queues
     * behind it, so a game sees every report that finds a read waiting; one that finds none
     * replaces the state not yet taken rather than queueing without end. */
    UCHAR newest[PAD_REPORT_BYTES];
    int has_newest;
} PadView;

typedef struct Pad {
    ULONG serial; /* 0: no pad here (the slot is free once both views are gone too) */
    PadView views[VIEWS];
} Pad;

typedef struct Stick {
    Child child;
    int other; /* an unrelated HID device (a mouse's IDs) rather than a stick */
    unsigned char queued[MAX_QUEUED][RIG_REPORT_BYTES];
    int queued_count;
    unsigned int reads_taken;
    LONGLONG delivered_at; /* counter when the last report was handed over; 0 once matched */
    int reserved;          /* RIG_CTL_RESERVE: counts as opened, until the holder's open comes */
    ULONG reserved_share;  /* that open's share mode */
    ULONG private_opens;   /* RigSettle's count */
} Stick;

/* An open handle of a child's HID collection. Wine passes no desired access with an open, so
 * each counts as one for reading and writing, which is what every opener here asks for: the
 * program, the harness's holder and dinput8. */
typedef struct Open {
    PVOID collection; /* NULL: a free slot */
    PVOID file;
    ULONG share;
    int stick;          /* the stick whose collection it is, or -1 */
    int holder;         /* the harness's holder (RIG_HOLDER_OPTION) */
    ULONG reads;        /* reads that came on it */
    ULONG taken_before; /* the stick's reads_taken at the open */
} Open;

/* All state below is guarded by `lock`. */
static KSPIN_LOCK lock;
static PDRIVER_OBJECT driver;
static PDEVICE_OBJECT control;
static PDEVICE_OBJECT bus; /* the bus's device while started */
static ULONG bus_mode = RIG_BUS_ABSENT;
static int bus_started;
static Pad pads[RIG_PADS];
static Stick sticks[RIG_STICKS];
static RigEvent events[MAX_EVENTS];
static ULONG event_count;
static ULONG refused;
static ULONG bus_requests; /* being answered now */
static LONGLONG latencies[MAX_LATENCIES];
static ULONG latency_count;
static Open opens[MAX_OPENS];

static const unsigned char report_descriptor[] = {
    0x05, 0x01,                   /* usage page: generic desktop */
    0x09, 0x04,                   /* usage: joystick */
    0xA1, 0x01,                   /* collection: application */
    0x09, 0x30,                   /*   usage: X */
    0x09, 0x31,                   /*   usage: Y */
    0x15, 0x00,                   /*   logical minimum 0 */
    0x27, 0xFF, 0xFF, 0x00, 0x00, /* logical maximum 65535 */
    0x75, 0x10,                   /*   16 bits */
    0x95, 0x02,                   /*   two of them */
    0x81, 0x02,                   /*   input: data, variable, absolute */
    0x05, 0x09,                   /*   usage page: buttons */
    0x19, 0x01, 0x29, 0x01,       /* button 1 */
    0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x01,
    0x81, 0x02, 0x75, 0x07, 0x95, 0x01, 0x81, 0x03, /* padding to the byte */
    0xC0,
};

/* An Xbox 360 pad as Wine's xinput and dinput8 read it: a game pad collection with the sticks
 * as X/Y and Rx/Ry, the triggers as Z and Rz, eleven buttons and a hat switch; no report IDs. */
static const unsigned char pad_descriptor[] = {
    0x05, 0x01,                         /* usage page: generic desktop */
    0x09, 0x05,                         /* usage: game pad */
    0xA1, 0x01,                         /* collection: application */
    0x09, 0x30, 0x09, 0x31,             /*   usages: X, Y */
    0x09, 0x33, 0x09, 0x34,             /*   usages: Rx, Ry */
    0x16, 0x00, 0x80, 0x26, 0xFF, 0x7F, /*   logical -32768 to 32767 */
    0x75, 0x10, 0x95, 0x04, 0x81, 0x02, /*   four of 16 bits: input, variable */
    0x09, 0x32, 0x09, 0x35,             /*   usages: Z, Rz */
    0x15, 0x00, 0x26, 0xFF, 0x00,       /*   logical 0 to 255 */
    0x75, 0x08, 0x95, 0x02, 0x81, 0x02, /*   two of 8 bits */
    0x05, 0x09, 0x19, 0x01, 0x29, 0x0B, /*   buttons 1 to 11 */
    0x15, 0x00, 0x25, 0x01,             /*   logical 0 to 1 */
    0x75, 0x01, 0x95, 0x0B, 0x81, 0x02, /*   eleven of one bit */
    0x95, 0x01, 0x81, 0x03,             /*   one bit of padding */
    0x05, 0x01, 0x09, 0x39,             /*   usage: hat switch */
    0x15, 0x01, 0x25, 0x08,             /*   logical 1 to 8, 0 outside: centred */
    0x35, 0x00, 0x46, 0x3B, 0x01,       /*   physical 0 to 315 */
    0x65, 0x14,                         /*   unit: degrees */
    0x75, 0x04, 0x95, 0x01, 0x81, 0x42, /*   four bits, with a null state */
    0x65, 0x00,                         /*   unit: none */
    0xC0,
};

/* The pad report's buttons (XINPUT_GAMEPAD bits) in the order of HID buttons 1 to 11, which is
 * how xinput reads them back: A, B, X, Y, LB, RB, Back, Start, left thumb, right thumb, Guide. */
static const USHORT pad_buttons[11] = {0x1000, 0x2000, 0x4000, 0x8000, 0x0100, 0x0200,
                                       0x0020, 0x0010, 0x0040, 0x0080, 0x0400};

#pragma pack(push, 1)
typedef struct RigHidDescriptor {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdHID;
    UCHAR bCountry;
    UCHAR bNumDescriptors;
    UCHAR bReportType;
    USHORT wReportLength;
} RigHidDescriptor;
#pragma pack(pop)

typedef struct RigHidAttributes {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
    USHORT Reserved[11];
} RigHidAttributes;

static LONGLONG now(void) {
    return KeQueryPerformanceCounter(NULL).QuadPart;
}

static ULONG u32(const UCHAR* bytes, ULONG offset) {
    return bytes[offset] | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16) |
           ((ULONG)bytes[offset + 3] << 24);
}

/* Lock held. Returns the event, or NULL when the log is full. */
static RigEvent* log_event(ULONG kind, ULONG serial, const UCHAR* report) {
    RigEvent* e;
    if (event_count >= MAX_EVENTS)
        return NULL;
    e = &events[event_count++];
    RtlZeroMemory(e, sizeof(*e));
    e->kind = kind;
    e->serial = serial;
    if (report)
        RtlCopyMemory(e->report, report, 12);
    return e;
}

/* The pad's HID report from a 12-byte pad report (XINPUT_GAMEPAD layout). xinput reads the Y
 * axes back as -Y-1, so they go out bit-inverted and come back unchanged; the D-pad bits become
 * the hat (1 up, clockwise to 8; 0 centred, also for opposite directions together). */
static void pad_report_from(const UCHAR* pad, UCHAR* out) {
    static const UCHAR hats[16] = {0, 1, 5, 0, 7, 8, 6, 0, 3, 2, 4, 0, 0, 0, 0, 0};
    USHORT buttons = pad[0] | (pad[1] << 8), bits = 0;
    int i;
    out[0] = pad[4];
    out[1] = pad[5];
    out[2] = (UCHAR)~pad[6];
    out[3] = (UCHAR)~pad[7];
    out[4] = pad[8];
    out[5] = pad[9];
    out[6] = (UCHAR)~pad[10];
    out[7] = (UCHAR)~pad[11];
    out[8] = pad[2];
    out[9] = pad[3];
    for (i = 0; i < 11; i++)
        if (buttons & pad_buttons[i])
            bits |= (USHORT)(1u << i);
    bits |= (USHORT)(hats[buttons & 0x0F] << 12);
    out[10] = (UCHAR)bits;
    out[11] = (UCHAR)(bits >> 8);
}

static NTSTATUS finish(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static ULONG record_size(ULONG code, ULONG input_length) {
    switch (code) {
    case ctl_version:
    case ctl_unplug:
    case ctl_wait_ready:
        return 8;
    case ctl_plug_in:
    case ctl_ds4_feedback:
        return 16;
    case ctl_x360_feedback:
    case ctl_x360_user_index:
        return 12;
    case ctl_x360_report:
        return 20;
    case ctl_ds4_report:
        return input_length == 71 ? 71 : 20;
    default:
        return 0;
    }
}

static int has_output(ULONG code) {
    return code == ctl_x360_feedback || code == ctl_ds4_feedback || code == ctl_x360_user_index;
}

/* ---- the children's reads ---- */

#define CHILDREN (RIG_STICKS + RIG_PADS * VIEWS)

/* Lock held for what it points to. Child i of all the bus's children. */
static Child* child_at(int i) {
    if (i < RIG_STICKS)
        return &sticks[i].child;
    i -= RIG_STICKS;
    return &pads[i / VIEWS].views[i % VIEWS].child;
}

static Child* child_of(const Extension* ext) {
    return ext->kind == KIND_STICK ? &sticks[ext->index].child
                                   : &pads[ext->index / VIEWS].views[ext->index % VIEWS].child;
}

static VOID NTAPI read_cancelled(PDEVICE_OBJECT device, PIRP irp) {
    KIRQL irql;
    int i, c, found = 0;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&lock, &irql);
    for (c = 0; c < CHILDREN; c++)
        for (i = 0; i < MAX_READS; i++)
            if (child_at(c)->reads[i] == irp) {
                child_at(c)->reads[i] = NULL;
                found = 1;
            }
    KeReleaseSpinLock(&lock, irql);
    /* Not found: whoever took it from the list completes it. */
    if (found)
        finish(irp, STATUS_CANCELLED, 0);
}

/* Lock held. Takes the oldest pended read of the child away from cancellation, or NULL. */
static PIRP take_read(Child* child) {
    int i;
    for (i = 0; i < MAX_READS; i++) {
        PIRP irp = child->reads[i];
        if (irp) {
            child->reads[i] = NULL;
            IoSetCancelRoutine(irp, NULL);
            return irp;
        }
    }
    return NULL;
}

/* Lock held on entry, released on return. Pends a read until a report comes. */
static NTSTATUS pend_read(Child* child, PIRP irp, KIRQL irql) {
    int i;
    for (i = 0; i < MAX_READS; i++) {
        if (!child->reads[i]) {
            IoMarkIrpPending(irp);
            child->reads[i] = irp;
            IoSetCancelRoutine(irp, read_cancelled);
            if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
                child->reads[i] = NULL;
                KeReleaseSpinLock(&lock, irql);
                finish(irp, STATUS_CANCELLED, 0);
            } else
                KeReleaseSpinLock(&lock, irql);
            return STATUS_PENDING;
        }
    }
    KeReleaseSpinLock(&lock, irql);
    return finish(irp, STATUS_DEVICE_BUSY, 0);
}

/* Hands a report (without its report ID) to a read; the read's buffer is the caller's
 * (METHOD_NEITHER). The HID class drops a report shorter than its descriptor says. */
static void complete_read(PIRP irp, const UCHAR* report, ULONG bytes) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (length > bytes)
        length = bytes;
    RtlCopyMemory(irp->UserBuffer, report, length);
    finish(irp, STATUS_SUCCESS, length);
}

/* Completes every pended read of a child with `status` (removal). */
static void fail_reads(Child* child, NTSTATUS status) {
    PIRP taken[MAX_READS];
    int count = 0, i;
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    while (count < MAX_READS && (taken[count] = take_read(child)) != NULL)
        count++;
    KeReleaseSpinLock(&lock, irql);
    for (i = 0; i < count; i++)
        finish(taken[i], status, 0);
}

/* ---- sharing ---- */

/* Whether two opens for reading and writing may be held at once: only when both share
 * reading and writing. */
static int share_both(ULONG share, ULONG other) {
    const ULONG both = FILE_SHARE_READ | FILE_SHARE_WRITE;
    return (share & both) == both && (other & both) == both;
}

/* Lock held. Forgets every open of a collection that has gone. */
static void forget_opens(PVOID collection) {
    int i;
    for (i = 0; collection && i < MAX_OPENS; i++)
        if (opens[i].collection == collection)
            opens[i].collection = NULL;
}

/* An open of a child's HID collection: refused as Windows's HID class would refuse it when it
 * clashes with an open handle or with the stick's reservation. A collection the bus does not
 * know yet (no child has told of it) has no handles to clash with. */
static NTSTATUS open_collection(const RigOpen* open) {
    NTSTATUS status = STATUS_SUCCESS;
    int i, free_slot = -1, stick_index = -1;
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    for (i = 0; i < RIG_STICKS; i++) {
        Stick* stick = &sticks[i];
        if (stick->child.collection != open->collection)
            continue;
        stick_index = i;
        if (!(open->options & RIG_HOLDER_OPTION) &&
            !share_both(open->share, FILE_SHARE_READ | FILE_SHARE_WRITE))
            stick->private_opens++;
        if (!stick->reserved)
            continue;
        if (open->options & RIG_HOLDER_OPTION)
            stick->reserved = 0; /* the holder's own open takes its place */
        else if (!share_both(open->share, stick->reserved_share))
            status = STATUS_SHARING_VIOLATION;
    }
    for (i = 0; i < MAX_OPENS && NT_SUCCESS(status); i++) {
        if (!opens[i].collection)
            free_slot = free_slot < 0 ? i : free_slot;
        else if (opens[i].collection == open->collection &&
                 !share_both(open->share, opens[i].share))
            status = STATUS_SHARING_VIOLATION;
    }
    if (NT_SUCCESS(status) && free_slot < 0)
        status = STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status)) {
        opens[free_slot].collection = open->collection;
        opens[free_slot].file = open->file;
        opens[free_slot].share = open->share;
        opens[free_slot].stick = stick_index;
        opens[free_slot].holder = (open->options & RIG_HOLDER_OPTION) != 0;
        opens[free_slot].reads = 0;
        opens[free_slot].taken_before = stick_index < 0 ? 0 : sticks[stick_index].reads_taken;
    }
    KeReleaseSpinLock(&lock, irql);
    return status;
}

/* A handle's close (RIG_INTERNAL_CLOSE) forgets it; a read (RIG_INTERNAL_READ) is counted. */
static void handle_event(const RigOpen* open, ULONG code) {
    int i;
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    for (i = 0; i < MAX_OPENS; i++) {
        if (opens[i].collection != open->collection || opens[i].file != open->file)
            continue;
        if (code == RIG_INTERNAL_CLOSE)
            opens[i].collection = NULL;
        else
            opens[i].reads++;
    }
    KeReleaseSpinLock(&lock, irql);
}

/* What RIG_CTL_SETTLE answers. */
static void settle_state(RigSettle* settle) {
    int i;
    KIRQL irql;
    RtlZeroMemory(settle, sizeof(*settle));
    KeAcquireSpinLock(&lock, &irql);
    for (i = 0; i < RIG_STICKS; i++)
        settle->private_opens[i] = sticks[i].private_opens;
    for (i = 0; i < MAX_OPENS; i++) {
        const Open* o = &opens[i];
        if (!o->collection || o->stick < 0 || o->holder || !o->reads)
            continue;
        settle->readers[o->stick]++;
        if (o->reads < sticks[o->stick].reads_taken - o->taken_before + 1)
            settle->readers_behind[o->stick]++;
    }
    settle->bus_requests = bus_requests;
    KeReleaseSpinLock(&lock, irql);
}

/* From the minidriver image, which has no other way to the bus image's state: in: RigOpen
 * (RIG_INTERNAL_OPEN, RIG_INTERNAL_CLOSE, RIG_INTERNAL_READ), or through a child, the address
 * that receives the control device (RIG_INTERNAL_CONTROL). */
static NTSTATUS internal_request(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    PVOID in = irp->AssociatedIrp.SystemBuffer;
    if (irp->RequestorMode != KernelMode || !in)
        return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (code == RIG_INTERNAL_CONTROL && in_length == sizeof(PDEVICE_OBJECT)) {
        *(PDEVICE_OBJECT*)in = control;
        return finish(irp, STATUS_SUCCESS, 0);
    }
    if (in_length != sizeof(RigOpen))
        return finish(irp, STATUS_INVALID_PARAMETER, 0);
    if (code == RIG_INTERNAL_OPEN)
        return finish(irp, open_collection(in), 0);
    if (code == RIG_INTERNAL_CLOSE || code == RIG_INTERNAL_READ) {
        handle_event(in, code);
        return finish(irp, STATUS_SUCCESS, 0);
    }
    return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

/* ---- the pads ---- */

/* Lock held. */
static Pad* find_pad(ULONG serial) {
    int i;
    for (i = 0; i < RIG_PADS; i++)
        if (pads[i].serial && pads[i].serial == serial)
            return &pads[i];
    return NULL;
}

static PDEVICE_OBJECT bus_physical(void) {
    return bus ? ((Extension*)bus->DeviceExtension)->physical : NULL;
}

static NTSTATUS make_child(enum Kind kind, int index, PDEVICE_OBJECT* pdo) {
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, pdo);
    if (!NT_SUCCESS(status))
        return status;
    RtlZeroMemory((*pdo)->DeviceExtension, sizeof(Extension));
    ((Extension*)(*pdo)->DeviceExtension)->kind = kind;
    ((Extension*)(*pdo)->DeviceExtension)->index = index;
    (*pdo)->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

/* A pad takes a slot whose children of an earlier pad the system has removed. */
static NTSTATUS pad_plug_in(ULONG serial, ULONG type) {
    PDEVICE_OBJECT made[VIEWS] = {NULL, NULL}, physical = NULL;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    int p, v;

    if (type != 0) /* the program plugs in Xbox 360 pads only */
        return STATUS_NOT_SUPPORTED;
    for (v = 0; v < VIEWS && NT_SUCCESS(status); v++)
        status = make_child(KIND_PAD_VIEW, 0, &made[v]);
    KeAcquireSpinLock(&lock, &irql);
    if (!NT_SUCCESS(status))
        ;
    else if (serial == 0 || find_pad(serial))
        status = STATUS_OBJECT_NAME_COLLISION;
    else {
        status = STATUS_INSUFFICIENT_RESOURCES;
        for (p = 0; p < RIG_PADS; p++) {
            Pad* pad = &pads[p];
            if (pad->serial || pad->views[0].child.pdo || pad->views[1].child.pdo)
                continue;
            RtlZeroMemory(pad, sizeof(*pad));
            pad->serial = serial;
            for (v = 0; v < VIEWS; v++) {
                ((Extension*)made[v]->DeviceExtension)->index = p * VIEWS + v;
                pad->views[v].child.pdo = made[v];
                pad->views[v].child.present = 1;
                made[v] = NULL;
            }
            log_event(RIG_EVENT_PLUGGED, serial, NULL);
            physical = bus_physical();
            status = STATUS_SUCCESS;
            break;
        }
    }
    KeReleaseSpinLock(&lock, irql);
    for (v = 0; v < VIEWS; v++)
        if (made[v])
            IoDeleteDevice(made[v]);
    if (physical)
        IoInvalidateDeviceRelations(physical, BusRelations);
    return status;
}

/* The pad's children leave the bus relations; the system then removes them. */
static NTSTATUS pad_unplug(ULONG serial) {
    PIRP taken[VIEWS * MAX_READS];
    PDEVICE_OBJECT physical;
    int count = 0, v, i;
    KIRQL irql;
    Pad* pad;

    KeAcquireSpinLock(&lock, &irql);
    pad = find_pad(serial);
    if (!pad) {
        KeReleaseSpinLock(&lock, irql);
        return STATUS_DEVICE_DOES_NOT_EXIST;
    }
    pad->serial = 0;
    for (v = 0; v < VIEWS; v++) {
        pad->views[v].child.present = 0;
        pad->views[v].has_newest = 0;
        while (count < VIEWS * MAX_READS &&
               (taken[count] = take_read(&pad->views[v].child)) != NULL)
            count++;
    }
    log_event(RIG_EVENT_UNPLUGGED, serial, NULL);
    physical = bus_physical();
    KeReleaseSpinLock(&lock, irql);
    for (i = 0; i < count; i++)
        finish(taken[i], STATUS_DEVICE_NOT_CONNECTED, 0);
    if (physical)
        IoInvalidateDeviceRelations(physical, BusRelations);
    return STATUS_SUCCESS;
}

/* Logs the report and carries it to the pad's children. */
static NTSTATUS pad_report(ULONG serial, const UCHAR* report) {
    PIRP reads[VIEWS] = {NULL, NULL};
    UCHAR bytes[PAD_REPORT_BYTES];
    RigEvent* e;
    KIRQL irql;
    Pad* pad;
    int i, v;

    pad_report_from(report, bytes);
    KeAcquireSpinLock(&lock, &irql);
    pad = find_pad(serial);
    if (!pad) {
        KeReleaseSpinLock(&lock, irql);
        return STATUS_ACCESS_DENIED;
    }
    e = log_event(RIG_EVENT_REPORT, serial, report);
    if (e)
        e->at = now();
    /* The time from the last report handed to the HID stack to this pad report. */
    for (i = 0; i < RIG_STICKS; i++) {
        if (sticks[i].delivered_at) {
            if (latency_count < MAX_LATENCIES)
                latencies[latency_count++] = now() - sticks[i].delivered_at;
            if (e && !e->stick_at)
                e->stick_at = sticks[i].delivered_at;
            sticks[i].delivered_at = 0;
        }
    }
    for (v = 0; v < VIEWS; v++) {
        PadView* view = &pad->views[v];
        if (view->child.present)
            reads[v] = take_read(&view->child);
        if (!reads[v]) {
            RtlCopyMemory(view->newest, bytes, sizeof(bytes));
            view->has_newest = 1;
        }
    }
    KeReleaseSpinLock(&lock, irql);
    for (v = 0; v < VIEWS; v++)
        if (reads[v])
            complete_read(reads[v], bytes, sizeof(bytes));
    return STATUS_SUCCESS;
}

/* The bus protocol: every request is answered at once. */
static NTSTATUS bus_control(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const UCHAR* in = irp->AssociatedIrp.SystemBuffer;
    ULONG size = record_size(code, in_length);
    ULONG serial;
    KIRQL irql;
    NTSTATUS status = STATUS_SUCCESS;
    Pad* pad;

    if (size == 0)
        return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (in_length != size || !in || u32(in, 0) != size ||
        (has_output(code) ? out_length != size : out_length != 0)) {
        KeAcquireSpinLock(&lock, &irql);
        refused++;
        KeReleaseSpinLock(&lock, irql);
        return finish(irp, STATUS_INVALID_PARAMETER, 0);
    }
    serial = u32(in, 4);
    switch (code) {
    case ctl_plug_in:
        return finish(irp, pad_plug_in(serial, u32(in, 8)), 0);
    case ctl_unplug:
        return finish(irp, pad_unplug(serial), 0);
    case ctl_x360_report:
        return finish(irp, pad_report(serial, in + 8), 0);
    default:
        break;
    }
    KeAcquireSpinLock(&lock, &irql);
    pad = find_pad(serial);
    switch (code) {
    case ctl_version:
        status =
            (serial == 1 && bus_mode == RIG_BUS_PRESENT) ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
        break;
    case ctl_wait_ready:
        status = pad ? STATUS_SUCCESS : STATUS_DEVICE_DOES_NOT_EXIST;
        break;
    default:
        /* Feedback, user index and DualShock 4 reports: no pad of that kind here. */
        status = (pad && code == ctl_x360_user_index) ? STATUS_UNSUCCESSFUL : STATUS_ACCESS_DENIED;
        break;
    }
    KeReleaseSpinLock(&lock, irql);
    return finish(irp, status, 0);
}

/* ---- the children's HID requests ---- */

static NTSTATUS view_read(PadView* view, PIRP irp) {
    UCHAR report[PAD_REPORT_BYTES];
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    if (!view->child.present) {
        KeReleaseSpinLock(&lock, irql);
        return finish(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (!view->has_newest)
        return pend_read(&view->child, irp, irql);
    RtlCopyMemory(report, view->newest, sizeof(report));
    view->has_newest = 0;
    KeReleaseSpinLock(&lock, irql);
    complete_read(irp, report, sizeof(report));
    return STATUS_SUCCESS;
}

static NTSTATUS stick_read(int s, PIRP irp) {
    UCHAR report[RIG_REPORT_BYTES];
    KIRQL irql;
    int i;
    KeAcquireSpinLock(&lock, &irql);
    if (!sticks[s].child.present) {
        KeReleaseSpinLock(&lock, irql);
        return finish(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (!sticks[s].queued_count)
        return pend_read(&sticks[s].child, irp, irql);
    RtlCopyMemory(report, sticks[s].queued[0], RIG_REPORT_BYTES);
    sticks[s].queued_count--;
    for (i = 0; i < sticks[s].queued_count; i++)
        RtlCopyMemory(sticks[s].queued[i], sticks[s].queued[i + 1], RIG_REPORT_BYTES);
    sticks[s].reads_taken++;
    sticks[s].delivered_at = now();
    KeReleaseSpinLock(&lock, irql);
    complete_read(irp, report, RIG_REPORT_BYTES);
    return STATUS_SUCCESS;
}

static NTSTATUS child_internal_control(const Extension* ext, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    int is_pad = ext->kind == KIND_PAD_VIEW;
    const unsigned char* descriptor = is_pad ? pad_descriptor : report_descriptor;
    ULONG descriptor_length = is_pad ? sizeof(pad_descriptor) : sizeof(report_descriptor);
    KIRQL irql;

    if (code == RIG_INTERNAL_CONTROL)
        return internal_request(irp);
    switch (code) {
    case RIG_IOCTL_HID_GET_DEVICE_DESCRIPTOR: {
        RigHidDescriptor d;
        if (out_length < sizeof(d))
            return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
        d.bLength = sizeof(d);
        d.bDescriptorType = 0x21;
        d.bcdHID = 0x0111;
        d.bCountry = 0;
        d.bNumDescriptors = 1;
        d.bReportType = 0x22;
        d.wReportLength = (USHORT)descriptor_length;
        RtlCopyMemory(irp->UserBuffer, &d, sizeof(d));
        return finish(irp, STATUS_SUCCESS, sizeof(d));
    }
    case RIG_IOCTL_HID_GET_REPORT_DESCRIPTOR:
        if (out_length < descriptor_length)
            return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlCopyMemory(irp->UserBuffer, descriptor, descriptor_length);
        return finish(irp, STATUS_SUCCESS, descriptor_length);
    case RIG_IOCTL_HID_GET_DEVICE_ATTRIBUTES: {
        RigHidAttributes a;
        if (out_length < sizeof(a))
            return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlZeroMemory(&a, sizeof(a));
        a.Size = sizeof(a);
        KeAcquireSpinLock(&lock, &irql);
        if (is_pad) {
            a.VendorID = 0x045E;
            a.ProductID = 0x028E;
        } else {
            a.VendorID = sticks[ext->index].other ? 0x046D : STICK_VENDOR_ID;
            a.ProductID = sticks[ext->index].other ? 0xC077 : STICK_PRODUCT_ID;
        }
        KeReleaseSpinLock(&lock, irql);
        a.VersionNumber = 0x0100;
        RtlCopyMemory(irp->UserBuffer, &a, sizeof(a));
        return finish(irp, STATUS_SUCCESS, sizeof(a));
    }
    case RIG_IOCTL_HID_READ_REPORT:
        if (is_pad)
            return view_read(&pads[ext->index / VIEWS].views[ext->index % VIEWS], irp);
        return stick_read(ext->index, irp);
    default:
        return finish(irp, STATUS_NOT_SUPPORTED, 0);
    }
}

/* ---- plug and play ---- */

static WCHAR* pool_string(const WCHAR* text, ULONG chars) {
    WCHAR* copy = ExAllocatePool(PagedPool, chars * sizeof(WCHAR));
    if (copy)
        RtlCopyMemory(copy, text, chars * sizeof(WCHAR));
    return copy;
}

static NTSTATUS child_pnp(const Extension* ext, PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    /* Hardware IDs: the ID itself, then the list's end. The HID class supplies the product
     * string for an Xbox 360 pad's vendor and product, which dinput8 needs to list a device. */
    static const WCHAR stick_id[] = L"PELKRIG\\" STICK_IDS_TEXT "\0";
    static const WCHAR other_id[] = L"PELKRIG\\VID_046D&PID_C077\0";
    static const WCHAR xinput_id[] = L"WINEXINPUT\\VID_045E&PID_028E&XI_00\0";
    static const WCHAR hid_id[] = L"PELKRIG\\VID_045E&PID_028E\0";
    static const WCHAR none[] = L"\0";
    Child* child = child_of(ext);
    const WCHAR* id;
    ULONG id_chars; /* with the list's two terminators */
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    KIRQL irql;

    if (ext->kind == KIND_PAD_VIEW) {
        int xinput = ext->index % VIEWS == VIEW_XINPUT;
        id = xinput ? xinput_id : hid_id;
        id_chars = xinput ? sizeof(xinput_id) / sizeof(WCHAR) : sizeof(hid_id) / sizeof(WCHAR);
    } else {
        id = sticks[ext->index].other ? other_id : stick_id;
        id_chars = sizeof(stick_id) / sizeof(WCHAR);
    }
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
        switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
            information = (ULONG_PTR)pool_string(id, id_chars - 1);
            break;
        case BusQueryHardwareIDs:
            information = (ULONG_PTR)pool_string(id, id_chars);
            break;
        case BusQueryCompatibleIDs: /* Wine fails the install without an answer here */
            information = (ULONG_PTR)pool_string(none, 2);
            break;
        case BusQueryInstanceID: {
            int number = ext->kind == KIND_PAD_VIEW ? ext->index / VIEWS : ext->index;
            WCHAR text[2] = {(WCHAR)(L'1' + number), 0};
            information = (ULONG_PTR)pool_string(text, 2);
            break;
        }
        default:
            return finish(irp, status, information);
        }
        status = information ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        break;
    case IRP_MN_START_DEVICE:
        KeAcquireSpinLock(&lock, &irql);
        child->started = 1;
        KeReleaseSpinLock(&lock, irql);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_CAPABILITIES:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        /* The HID class answers bus relations with its collection and passes them down: the
         * collection that opens of this child come to. */
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations && information) {
            PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)information;
            PVOID collection = relations->Count ? relations->Objects[0] : NULL;
            KeAcquireSpinLock(&lock, &irql);
            if (child->collection != collection)
                forget_opens(child->collection);
            child->collection = collection;
            KeReleaseSpinLock(&lock, irql);
        }
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        fail_reads(child, STATUS_DEVICE_NOT_CONNECTED);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        int gone;
        fail_reads(child, STATUS_DEVICE_NOT_CONNECTED);
        KeAcquireSpinLock(&lock, &irql);
        child->started = 0;
        forget_opens(child->collection);
        child->collection = NULL;
        gone = !child->present && child->pdo == device;
        if (gone)
            child->pdo = NULL;
        KeReleaseSpinLock(&lock, irql);
        finish(irp, STATUS_SUCCESS, 0);
        /* A device still reported present stays until the bus goes. */
        if (gone)
            IoDeleteDevice(device);
        return STATUS_SUCCESS;
    }
    default:
        break;
    }
    return finish(irp, status, information);
}

static NTSTATUS NTAPI forwarded(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    (void)irp;
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Sends the request down and waits for it; the caller completes it. */
static NTSTATUS forward_and_wait(Extension* ext, PIRP irp) {
    KEVENT done;
    NTSTATUS status;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, forwarded, &done, TRUE, TRUE, TRUE);
    status = IoCallDriver(ext->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    return status;
}

/* Lock not held. Turns the bus's interface on or off as the mode wants. */
static void bus_interface_follow_mode(void) {
    PDEVICE_OBJECT device;
    ULONG mode;
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    device = bus_started ? bus : NULL;
    mode = bus_mode;
    KeReleaseSpinLock(&lock, irql);
    if (device) {
        Extension* ext = device->DeviceExtension;
        if (ext->interface_name.Buffer)
            IoSetDeviceInterfaceState(&ext->interface_name, mode != RIG_BUS_ABSENT);
    }
}

static NTSTATUS bus_pnp(Extension* ext, PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    KIRQL irql;
    int s;

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = forward_and_wait(ext, irp);
        if (NT_SUCCESS(status)) {
            if (!ext->interface_name.Buffer)
                IoRegisterDeviceInterface(ext->physical, &bus_class, NULL, &ext->interface_name);
            KeAcquireSpinLock(&lock, &irql);
            bus = device;
            bus_started = 1;
            KeReleaseSpinLock(&lock, irql);
            bus_interface_follow_mode();
        }
        return finish(irp, status, irp->IoStatus.Information);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            PDEVICE_RELATIONS relations = ExAllocatePool(
                PagedPool, sizeof(DEVICE_RELATIONS) + CHILDREN * sizeof(PDEVICE_OBJECT));
            if (!relations)
                return finish(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            relations->Count = 0;
            KeAcquireSpinLock(&lock, &irql);
            for (s = 0; s < CHILDREN; s++) {
                Child* child = child_at(s);
                if (child->present && child->pdo) {
                    ObReferenceObject(child->pdo);
                    relations->Objects[relations->Count++] = child->pdo;
                }
            }
            KeReleaseSpinLock(&lock, irql);
            return finish(irp, STATUS_SUCCESS, (ULONG_PTR)relations);
        }
        break;
    case IRP_MN_REMOVE_DEVICE:
        KeAcquireSpinLock(&lock, &irql);
        bus_started = 0;
        bus = NULL;
        KeReleaseSpinLock(&lock, irql);
        if (ext->interface_name.Buffer)
            IoSetDeviceInterfaceState(&ext->interface_name, FALSE);
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(ext->lower, irp);
        IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
        return status;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

/* ---- the control device ---- */

static NTSTATUS plug_stick(int s, int plug, int other) {
    PDEVICE_OBJECT physical = NULL, pdo = NULL;
    KIRQL irql;
    NTSTATUS status;
    if (plug) {
        status = make_child(KIND_STICK, s, &pdo);
        if (!NT_SUCCESS(status))
            return status;
    }
    KeAcquireSpinLock(&lock, &irql);
    if (plug) {
        if (sticks[s].child.present || sticks[s].child.pdo || !bus) {
            /* Still there, or its earlier self not yet removed by the system. */
            KeReleaseSpinLock(&lock, irql);
            IoDeleteDevice(pdo);
            return STATUS_DEVICE_BUSY;
        }
        sticks[s].child.pdo = pdo;
        sticks[s].other = other;
        sticks[s].child.present = 1;
        sticks[s].queued_count = 0;
        sticks[s].delivered_at = 0;
    } else {
        sticks[s].child.present = 0;
        sticks[s].queued_count = 0;
        sticks[s].reserved = 0;
    }
    physical = bus_physical();
    KeReleaseSpinLock(&lock, irql);
    if (!plug)
        fail_reads(&sticks[s].child, STATUS_DEVICE_NOT_CONNECTED);
    if (physical)
        IoInvalidateDeviceRelations(physical, BusRelations);
    return STATUS_SUCCESS;
}

static NTSTATUS control_request(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR* buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG value = in_length >= 4 ? u32(buffer, 0) : 0;
    KIRQL irql;
    int s;

    switch (code) {
    case RIG_CTL_RESET:
        if (in_length != 4 || value > RIG_BUS_OLD_VERSION)
            return finish(irp, STATUS_INVALID_PARAMETER, 0);
        for (s = 0; s < RIG_STICKS; s++)
            if (sticks[s].child.present)
                plug_stick(s, 0, 0);
        for (s = 0; s < RIG_PADS; s++)
            if (pads[s].serial)
                pad_unplug(pads[s].serial);
        KeAcquireSpinLock(&lock, &irql);
        bus_mode = value;
        event_count = 0;
        refused = 0;
        latency_count = 0;
        for (s = 0; s < RIG_STICKS; s++) {
            sticks[s].reads_taken = 0;
            sticks[s].reserved = 0;
            sticks[s].private_opens = 0;
        }
        KeReleaseSpinLock(&lock, irql);
        bus_interface_follow_mode();
        return finish(irp, STATUS_SUCCESS, 0);
    case RIG_CTL_EVENTS: {
        ULONG count = 0;
        KeAcquireSpinLock(&lock, &irql);
        while (in_length == 4 && value + count < event_count &&
               (count + 1) * sizeof(RigEvent) <= out_length) {
            RtlCopyMemory(buffer + count * sizeof(RigEvent), &events[value + count],
                          sizeof(RigEvent));
            count++;
        }
        KeReleaseSpinLock(&lock, irql);
        return finish(irp, STATUS_SUCCESS, count * sizeof(RigEvent));
    }
    case RIG_CTL_PLUG:
    case RIG_CTL_UNPLUG:
        if ((in_length != 4 && in_length != 8) || value >= RIG_STICKS)
            return finish(irp, STATUS_INVALID_PARAMETER, 0);
        return finish(
            irp,
            plug_stick((int)value, code == RIG_CTL_PLUG, in_length == 8 && u32(buffer, 4) != 0), 0);
    case RIG_CTL_RESERVE:
        if ((in_length != 4 && in_length != 8) || value >= RIG_STICKS ||
            (in_length == 8 && (u32(buffer, 4) & ~(ULONG)(FILE_SHARE_READ | FILE_SHARE_WRITE))))
            return finish(irp, STATUS_INVALID_PARAMETER, 0);
        KeAcquireSpinLock(&lock, &irql);
        /* For a stick to come: one already there is opened, not reserved. */
        if (in_length == 8 && sticks[value].child.present) {
            KeReleaseSpinLock(&lock, irql);
            return finish(irp, STATUS_DEVICE_BUSY, 0);
        }
        sticks[value].reserved = in_length == 8;
        sticks[value].reserved_share = in_length == 8 ? u32(buffer, 4) : 0;
        KeReleaseSpinLock(&lock, irql);
        return finish(irp, STATUS_SUCCESS, 0);
    case RIG_CTL_REPORT: {
        PIRP read = NULL;
        if (in_length != 4 + RIG_REPORT_BYTES || value >= RIG_STICKS)
            return finish(irp, STATUS_INVALID_PARAMETER, 0);
        KeAcquireSpinLock(&lock, &irql);
        s = (int)value;
        if (!sticks[s].child.present) {
            KeReleaseSpinLock(&lock, irql);
            return finish(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
        }
        read = take_read(&sticks[s].child);
        if (read) {
            sticks[s].reads_taken++;
            sticks[s].delivered_at = now();
        } else if (sticks[s].queued_count < MAX_QUEUED) {
            RtlCopyMemory(sticks[s].queued[sticks[s].queued_count++], buffer + 4, RIG_REPORT_BYTES);
        }
        KeReleaseSpinLock(&lock, irql);
        if (read)
            complete_read(read, buffer + 4, RIG_REPORT_BYTES);
        return finish(irp, STATUS_SUCCESS, 0);
    }
    case RIG_CTL_STATUS: {
        RigStatus status;
        int i;
        if (out_length < sizeof(status))
            return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlZeroMemory(&status, sizeof(status));
        KeAcquireSpinLock(&lock, &irql);
        status.events = event_count;
        status.bus_started = bus_started;
        status.refused = refused;
        for (s = 0; s < RIG_STICKS; s++) {
            status.stick_present[s] = sticks[s].child.present;
            status.stick_started[s] = sticks[s].child.started;
            status.reads_taken[s] = sticks[s].reads_taken;
            for (i = 0; i < MAX_READS; i++)
                status.reads_pending[s] += sticks[s].child.reads[i] != NULL;
        }
        for (s = 0; s < RIG_PADS; s++) {
            for (i = 0; i < VIEWS; i++) {
                status.views_present += pads[s].views[i].child.present;
                status.views_started += pads[s].views[i].child.started;
            }
        }
        KeReleaseSpinLock(&lock, irql);
        RtlCopyMemory(buffer, &status, sizeof(status));
        return finish(irp, STATUS_SUCCESS, sizeof(status));
    }
    case RIG_CTL_SETTLE: {
        RigSettle settle;
        if (out_length < sizeof(settle))
            return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
        settle_state(&settle);
        RtlCopyMemory(buffer, &settle, sizeof(settle));
        return finish(irp, STATUS_SUCCESS, sizeof(settle));
    }
    case RIG_CTL_LATENCIES: {
        LARGE_INTEGER frequency;
        ULONG count, i;
        if (out_length < 8)
            return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
        KeQueryPerformanceCounter(&frequency);
        RtlCopyMemory(buffer, &frequency.QuadPart, 8);
        KeAcquireSpinLock(&lock, &irql);
        count = latency_count;
        if (count > (out_length - 8) / 8)
            count = (out_length - 8) / 8;
        for (i = 0; i < count; i++)
            RtlCopyMemory(buffer + 8 + 8 * i, &latencies[i], 8);
        KeReleaseSpinLock(&lock, irql);
        return finish(irp, STATUS_SUCCESS, 8 + 8 * count);
    }
    default:
        return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* ---- dispatch ---- */

static NTSTATUS NTAPI dispatch_open_close(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return finish(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI dispatch_control(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = device->DeviceExtension;
    if (ext->kind == KIND_CONTROL)
        return control_request(irp);
    if (ext->kind == KIND_BUS) {
        NTSTATUS status;
        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        bus_requests++;
        KeReleaseSpinLock(&lock, irql);
        status = bus_control(irp);
        KeAcquireSpinLock(&lock, &irql);
        bus_requests--;
        KeReleaseSpinLock(&lock, irql);
        return status;
    }
    return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS NTAPI dispatch_internal_control(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = device->DeviceExtension;
    if (ext->kind == KIND_STICK || ext->kind == KIND_PAD_VIEW)
        return child_internal_control(ext, irp);
    if (ext->kind == KIND_CONTROL)
        return internal_request(irp);
    return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS NTAPI dispatch_pnp(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = device->DeviceExtension;
    if (ext->kind == KIND_STICK || ext->kind == KIND_PAD_VIEW)
        return child_pnp(ext, device, irp);
    if (ext->kind == KIND_BUS)
        return bus_pnp(ext, device, irp);
    return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS NTAPI dispatch_power(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = device->DeviceExtension;
    PoStartNextPowerIrp(irp);
    if (ext->kind == KIND_BUS) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(ext->lower, irp);
    }
    return finish(irp,
                  ext->kind == KIND_STICK || ext->kind == KIND_PAD_VIEW ? STATUS_SUCCESS
                                                                        : irp->IoStatus.Status,
                  irp->IoStatus.Information);
}

static NTSTATUS NTAPI add_device(PDRIVER_OBJECT driver_object, PDEVICE_OBJECT physical) {
    PDEVICE_OBJECT device;
    Extension* ext;
    NTSTATUS status =
        IoCreateDevice(driver_object, sizeof(Extension), NULL, FILE_DEVICE_BUS_EXTENDER,
                       FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    ext = device->DeviceExtension;
    RtlZeroMemory(ext, sizeof(*ext));
    ext->kind = KIND_BUS;
    ext->physical = physical;
    ext->lower = IoAttachDeviceToDeviceStack(device, physical);
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static VOID NTAPI unload(PDRIVER_OBJECT driver_object) {
    UNICODE_STRING link;
    (void)driver_object;
    RtlInitUnicodeString(&link, RIG_CONTROL_LINK);
    IoDeleteSymbolicLink(&link);
    if (control)
        IoDeleteDevice(control);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) {
    UNICODE_STRING name, link;
    NTSTATUS status;
    (void)registry_path;
    KeInitializeSpinLock(&lock);
    driver = driver_object;
    driver_object->MajorFunction[IRP_MJ_CREATE] = dispatch_open_close;
    driver_object->MajorFunction[IRP_MJ_CLOSE] = dispatch_open_close;
    driver_object->MajorFunction[IRP_MJ_CLEANUP] = dispatch_open_close;
    driver_object->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    driver_object->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch_internal_control;
    driver_object->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver_object->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver_object->DriverExtension->AddDevice = add_device;
    driver_object->DriverUnload = unload;

    RtlInitUnicodeString(&name, RIG_CONTROL_NAME);
    status = IoCreateDevice(driver_object, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                            &control);
    if (!NT_SUCCESS(status))
        return status;
    RtlZeroMemory(control->DeviceExtension, sizeof(Extension));
    ((Extension*)control->DeviceExtension)->kind = KIND_CONTROL;
    control->Flags |= DO_BUFFERED_IO;
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    RtlInitUnicodeString(&link, RIG_CONTROL_LINK);
    return IoCreateSymbolicLink(&link, &name);
}

#else /* RIG_HID_MINIDRIVER */

/* The HID class driver's registration record and call, as documented. */
typedef struct RigHidRegistration {
    ULONG Revision;
    PDRIVER_OBJECT DriverObject;
    PUNICODE_STRING RegistryPath;
    ULONG DeviceExtensionSize;
    BOOLEAN DevicesArePolled;
    UCHAR Reserved[3];
} RigHidRegistration;

typedef struct RigHidExtension {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    PVOID MiniDeviceExtension;
} RigHidExtension;

NTSTATUS NTAPI HidRegisterMinidriver(RigHidRegistration* registration);

/* The HID class's own entries, behind ours. */
static PDRIVER_DISPATCH hid_create;
static PDRIVER_DISPATCH hid_close;
static PDRIVER_DISPATCH hid_read;
static PDRIVER_DISPATCH hid_write;
static PDRIVER_DISPATCH hid_control;
/* A refused open's file object carries this in FsContext2 (the HID class uses FsContext). */
static char refused_open;
/* Wine's raw-input list, in the device host, opens every HID collection and first asks it for
 * this handle, a request of Wine's own. Refused, the list lacks the stick, and Wine rebuilds the
 * whole list (reopening every HID device) for each of the stick's reports before its HID class
 * hands the report to the readers: milliseconds a report that neither Windows (whose list is in
 * its kernel) nor Wine (whose HID class refuses no open for its share mode) charges a program
 * that holds the stick. So a refused open that asks for it is given the collection after all. */
#define RIG_IOCTL_HID_GET_WINE_RAWINPUT_HANDLE                                                     \
    CTL_CODE(FILE_DEVICE_KEYBOARD, 300, METHOD_BUFFERED, FILE_ANY_ACCESS)
static char raw_input_open;
/* The bus image's control device, learnt from the first child (the bus outlives them all). */
static PDEVICE_OBJECT bus_control;

/* Sends an internal request with `in` as its buffer and waits for it. */
static NTSTATUS ask_down(PDEVICE_OBJECT device, ULONG code, PVOID in, ULONG in_length) {
    IO_STATUS_BLOCK io;
    KEVENT done;
    NTSTATUS status;
    PIRP irp;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(code, device, in, in_length, NULL, 0, TRUE, &done, &io);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = io.Status;
    }
    return status;
}

static void describe_open(PIRP irp, RigOpen* open) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    open->collection = stack->DeviceObject;
    open->file = stack->FileObject;
    open->share = stack->Parameters.Create.ShareAccess;
    open->options = stack->Parameters.Create.Options;
}

/* Every open of a collection goes by the bus image's sharing rules first. */
static NTSTATUS NTAPI share_create(PDEVICE_OBJECT device, PIRP irp) {
    RigOpen open;
    NTSTATUS status;
    describe_open(irp, &open);
    status = bus_control ? ask_down(bus_control, RIG_INTERNAL_OPEN, &open, sizeof(open))
                         : STATUS_DEVICE_NOT_READY;
    if (!NT_SUCCESS(status)) {
        /* The handle exists whatever we answer; the HID class still gets to set it up, so
         * that its own requests find what they expect, and ours fail every other one. */
        ((PFILE_OBJECT)open.file)->FsContext2 = &refused_open;
        hid_create(device, irp);
        return status;
    }
    status = hid_create(device, irp);
    if (!NT_SUCCESS(status)) /* the HID class refused it after all: no handle to count */
        ask_down(bus_control, RIG_INTERNAL_CLOSE, &open, sizeof(open));
    return status;
}

/* Requests on a refused open's handle fail as its open would have on Windows. */
static int refused(PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (!file || file->FsContext2 != &refused_open)
        return 0;
    irp->IoStatus.Status = STATUS_SHARING_VIOLATION;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return 1;
}

/* The bus image counts each read before the HID class sees it, so that the harness can tell
 * a reader that has asked for its next report from one still busy with the last. */
static NTSTATUS NTAPI share_read(PDEVICE_OBJECT device, PIRP irp) {
    RigOpen open;
    if (refused(irp))
        return STATUS_SHARING_VIOLATION;
    describe_open(irp, &open);
    if (bus_control)
        ask_down(bus_control, RIG_INTERNAL_READ, &open, sizeof(open));
    return hid_read(device, irp);
}

static NTSTATUS NTAPI share_write(PDEVICE_OBJECT device, PIRP irp) {
    return refused(irp) ? STATUS_SHARING_VIOLATION : hid_write(device, irp);
}

static NTSTATUS NTAPI share_control(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->FileObject && stack->FileObject->FsContext2 == &refused_open &&
        stack->Parameters.DeviceIoControl.IoControlCode == RIG_IOCTL_HID_GET_WINE_RAWINPUT_HANDLE)
        stack->FileObject->FsContext2 = &raw_input_open;
    return refused(irp) ? STATUS_SHARING_VIOLATION : hid_control(device, irp);
}

static NTSTATUS NTAPI share_close(PDEVICE_OBJECT device, PIRP irp) {
    RigOpen open;
    describe_open(irp, &open);
    if (bus_control && open.file && ((PFILE_OBJECT)open.file)->FsContext2 != &refused_open &&
        ((PFILE_OBJECT)open.file)->FsContext2 != &raw_input_open)
        ask_down(bus_control, RIG_INTERNAL_CLOSE, &open, sizeof(open));
    return hid_close(device, irp);
}

static NTSTATUS NTAPI pass_down(PDEVICE_OBJECT device, PIRP irp) {
    RigHidExtension* ext = device->DeviceExtension;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->NextDeviceObject, irp);
}

static NTSTATUS NTAPI pass_power(PDEVICE_OBJECT device, PIRP irp) {
    RigHidExtension* ext = device->DeviceExtension;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->NextDeviceObject, irp);
}

static NTSTATUS NTAPI add_device(PDRIVER_OBJECT driver_object, PDEVICE_OBJECT fdo) {
    RigHidExtension* ext = fdo->DeviceExtension;
    PDEVICE_OBJECT found = NULL;
    (void)driver_object;
    if (!bus_control &&
        NT_SUCCESS(ask_down(ext->NextDeviceObject, RIG_INTERNAL_CONTROL, &found, sizeof(found))))
        bus_control = found;
    return STATUS_SUCCESS;
}

static VOID NTAPI unload(PDRIVER_OBJECT driver_object) {
    (void)driver_object;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) {
    RigHidRegistration registration;
    NTSTATUS status;
    driver_object->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = pass_down;
    driver_object->MajorFunction[IRP_MJ_PNP] = pass_down;
    driver_object->MajorFunction[IRP_MJ_POWER] = pass_power;
    driver_object->DriverExtension->AddDevice = add_device;
    driver_object->DriverUnload = unload;
    RtlZeroMemory(&registration, sizeof(registration));
    registration.Revision = 1;
    registration.DriverObject = driver_object;
    registration.RegistryPath = registry_path;
    registration.DeviceExtensionSize = 0;
    registration.DevicesArePolled = FALSE;
    status = HidRegisterMinidriver(&registration);
    if (NT_SUCCESS(status)) {
        hid_create = driver_object->MajorFunction[IRP_MJ_CREATE];
        hid_close = driver_object->MajorFunction[IRP_MJ_CLOSE];
        hid_read = driver_object->MajorFunction[IRP_MJ_READ];
        hid_write = driver_object->MajorFunction[IRP_MJ_WRITE];
        hid_control = driver_object->MajorFunction[IRP_MJ_DEVICE_CONTROL];
        driver_object->MajorFunction[IRP_MJ_CREATE] = share_create;
        driver_object->MajorFunction[IRP_MJ_CLOSE] = share_close;
        driver_object->MajorFunction[IRP_MJ_READ] = share_read;
        driver_object->MajorFunction[IRP_MJ_WRITE] = share_write;
        driver_object->MajorFunction[IRP_MJ_DEVICE_CONTROL] = share_control;
    }
    return status;
}

#endif
