// The client side of the virtual-pad bus driver's device-control protocol: connect with a
// version check, plug virtual Xbox 360 and DualShock 4 pads in under a free serial (waiting, or
// on a thread of its own), submit their reports, watch their feedback, ask an Xbox 360 pad's
// user index, unplug. The program calls only connect, disconnect, the Xbox 360 target's
// allocation, add, submit and remove, stop feedback and the deletes (bus.cpp); the other
// operations are in files of their own beside it (bus_ds4.cpp, bus_feedback.cpp,
// bus_async.cpp, bus_query.cpp).
//
// Threads: the client takes no locks of its own beyond one per feedback registration. Connect
// and disconnect run on the main thread while no other thread uses the client; requests for
// different targets may run on any threads at once, since every request has its own OVERLAPPED
// and event. A target record is not guarded: callers keep add, remove, feedback registration,
// stop and delete of a target apart from one another and from submits for it. Feedback threads
// are the exception: they read the feedback fields under their registration's lock, and stop
// and delete end them before returning.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <cstdint>

// The pad state a game reads, in the XINPUT_GAMEPAD layout: 12 bytes on every platform.
struct GamepadReport {
    uint16_t buttons;
    uint8_t left_trigger;
    uint8_t right_trigger;
    int16_t left_x;
    int16_t left_y;
    int16_t right_x;
    int16_t right_y;
};
static_assert(sizeof(GamepadReport) == 12, "GamepadReport is the 12-byte XINPUT_GAMEPAD");

enum : uint16_t { GAMEPAD_BUTTON_A = 0x1000 };

// Result of every client operation that has one. Platform error numbers never pass through.
enum _VIGEM_ERRORS : uint32_t {
    BUS_OK = 0x20000000,
    BUS_ERR_NO_BUS = 0xE0000001,
    BUS_ERR_NO_FREE_SERIAL = 0xE0000002,
    BUS_ERR_BAD_TARGET = 0xE0000003,
    BUS_ERR_UNPLUG_FAILED = 0xE0000004,
    BUS_ERR_ALREADY_PLUGGED = 0xE0000005,
    BUS_ERR_TARGET_BLANK = 0xE0000006,
    BUS_ERR_NOT_PLUGGED = 0xE0000007,
    BUS_ERR_VERSION = 0xE0000008,
    BUS_ERR_OPEN_FAILED = 0xE0000009,
    BUS_ERR_SAME_CALLBACK = 0xE0000010,
    BUS_ERR_ALREADY_OPEN = 0xE0000012,
    BUS_ERR_NULL_CLIENT = 0xE0000013,
    BUS_ERR_INDEX_RANGE = 0xE0000014,
    BUS_ERR_NULL_OUTPUT = 0xE0000015,
    BUS_ERR_UNSUPPORTED = 0xE0000016,
    // The driver failed a request in a way no other code names (a report it could not take,
    // a wait-ready or user-index query that failed), or a request or a thread could not be
    // started at all.
    BUS_ERR_REQUEST_FAILED = 0xE0000017,
};

enum : uint32_t { TARGET_BLANK = 0, TARGET_NEW = 1, TARGET_PLUGGED = 2, TARGET_UNPLUGGED = 3 };
enum : uint32_t { TARGET_X360 = 0, TARGET_DS4 = 2 };

// The bus client. One per process, shared read-only by every thread after start-up.
struct _VIGEM_CLIENT_T {
    HANDLE bus_handle; // the open bus device, or INVALID_HANDLE_VALUE while closed
};

struct _VIGEM_TARGET_T;

// An Xbox 360 pad's feedback: the bytes the driver wrote at offsets 8, 9 and 10 of the request.
typedef void (*BusX360FeedbackFn)(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                  uint8_t large_motor, uint8_t small_motor, uint8_t led_number,
                                  void* context);

// The DualShock 4 light value: the three bytes at offsets 10 to 12, in their order.
struct BusDs4Light {
    uint8_t bytes[3];
};
static_assert(sizeof(BusDs4Light) == 3, "a three-byte value");

// A DualShock 4 pad's feedback: the motor bytes at offsets 9 and 8 (in that order) and the light
// value.
typedef void (*BusDs4FeedbackFn)(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                 uint8_t large_motor, uint8_t small_motor, BusDs4Light light,
                                 void* context);

// The feedback callback a target holds, in the form of the registration that stored it: at most
// one member is set, both are null while none is registered.
struct BusFeedbackFn {
    BusX360FeedbackFn x360;
    BusDs4FeedbackFn ds4;
};

// Called on the add's own thread with the add's result, once.
typedef void (*BusAddDoneFn)(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                             _VIGEM_ERRORS result);

// One feedback registration's shared state (bus.cpp): it outlives the target while the
// registration's threads finish.
struct BusFeedbackLink;

// A DualShock 4 report: 10 bytes, carried unchanged.
struct Ds4Report {
    uint8_t bytes[10];
};
// An extended DualShock 4 report: 63 bytes, carried unchanged.
struct Ds4ReportEx {
    uint8_t bytes[63];
};
static_assert(sizeof(Ds4Report) == 10 && sizeof(Ds4ReportEx) == 63, "report lengths");

// One virtual pad.
struct _VIGEM_TARGET_T {
    uint32_t size;      // of this record; nothing reads it
    uint32_t serial;    // 0 until an add; the accepted serial; 65536 after a failed search
    uint32_t state;     // TARGET_BLANK .. TARGET_UNPLUGGED
    uint16_t vendor_id; // USB IDs the pad presents
    uint16_t product_id;
    uint32_t type; // TARGET_X360 or TARGET_DS4
    // feedback_fn and feedback_ctx are written by the target's user under feedback_link's lock
    // and read by the feedback threads under it; the other fields are the target's user's.
    BusFeedbackFn feedback_fn; // both members null when none is registered
    void* feedback_ctx;
    uint8_t no_wait_ready;          // 1 when the driver does not offer the wait-ready request
    HANDLE feedback_event;          // made by feedback registration; null when none
    BusFeedbackLink* feedback_link; // while feedback is registered; the target's user only
};

// The bus's device-interface class {96E42B22-F5E9-42F8-B043-ED0F932F014F}.
extern const GUID BUS_INTERFACE_GUID;

// Control codes: CTL_CODE(FILE_DEVICE_BUS_EXTENDER, function, METHOD_BUFFERED, access).
#define BUS_CTL(function, access)                                                                  \
    CTL_CODE(FILE_DEVICE_BUS_EXTENDER, function, METHOD_BUFFERED, access)
enum : uint32_t {
    BUS_CTL_PLUG_IN = BUS_CTL(0x801, FILE_WRITE_ACCESS),
    BUS_CTL_UNPLUG = BUS_CTL(0x802, FILE_WRITE_ACCESS),
    BUS_CTL_VERSION = BUS_CTL(0x803, FILE_WRITE_ACCESS),
    BUS_CTL_WAIT_READY = BUS_CTL(0x804, FILE_WRITE_ACCESS),
    BUS_CTL_X360_FEEDBACK = BUS_CTL(0xA01, FILE_READ_ACCESS | FILE_WRITE_ACCESS),
    BUS_CTL_X360_REPORT = BUS_CTL(0xA02, FILE_WRITE_ACCESS),
    BUS_CTL_DS4_REPORT = BUS_CTL(0xA03, FILE_WRITE_ACCESS),
    BUS_CTL_DS4_FEEDBACK = BUS_CTL(0xA04, FILE_WRITE_ACCESS),
    BUS_CTL_X360_USER_INDEX = BUS_CTL(0xA07, FILE_READ_ACCESS | FILE_WRITE_ACCESS),
};
#undef BUS_CTL

enum : uint32_t { BUS_PROTOCOL_VERSION = 1 };

// Request records: little-endian, byte-exact on every platform. Each starts with its own length,
// which is also the request's input length (and output length where it serves as output).
#pragma pack(push, 1)
struct BusVersionRequest {
    uint32_t size;
    uint32_t version;
};
struct BusPlugInRequest {
    uint32_t size;
    uint32_t serial;
    uint32_t type;
    uint16_t vendor_id;
    uint16_t product_id;
};
struct BusUnplugRequest {
    uint32_t size;
    uint32_t serial;
};
struct BusWaitReadyRequest {
    uint32_t size;
    uint32_t serial;
};
struct X360ReportRequest {
    uint32_t size;
    uint32_t serial;
    GamepadReport report;
};
struct X360FeedbackRequest {
    uint32_t size;
    uint32_t serial;
    uint8_t large_motor; // written by the driver
    uint8_t small_motor;
    uint8_t led_number;
    uint8_t reserved;
};
struct X360UserIndexRequest {
    uint32_t size;
    uint32_t serial;
    uint32_t user_index; // written by the driver
};
struct Ds4ReportRequest {
    uint32_t size;
    uint32_t serial;
    Ds4Report report;
    uint8_t reserved[2];
};
struct Ds4ReportExRequest {
    uint32_t size;
    uint32_t serial;
    Ds4ReportEx report;
};
struct Ds4FeedbackRequest {
    uint32_t size;
    uint32_t serial;
    uint8_t motors[2]; // the three fields are written by the driver; motors[1] is handed on first
    BusDs4Light light;
    uint8_t reserved[3];
};
#pragma pack(pop)

static_assert(sizeof(BusVersionRequest) == 8, "record length");
static_assert(sizeof(BusPlugInRequest) == 16, "record length");
static_assert(offsetof(BusPlugInRequest, vendor_id) == 12, "record layout");
static_assert(offsetof(BusPlugInRequest, product_id) == 14, "record layout");
static_assert(sizeof(BusUnplugRequest) == 8, "record length");
static_assert(sizeof(BusWaitReadyRequest) == 8, "record length");
static_assert(sizeof(X360ReportRequest) == 20, "record length");
static_assert(offsetof(X360ReportRequest, report) == 8, "record layout");
static_assert(sizeof(X360FeedbackRequest) == 12, "record length");
static_assert(offsetof(X360FeedbackRequest, large_motor) == 8, "record layout");
static_assert(offsetof(X360FeedbackRequest, led_number) == 10, "record layout");
static_assert(sizeof(X360UserIndexRequest) == 12, "record length");
static_assert(offsetof(X360UserIndexRequest, user_index) == 8, "record layout");
static_assert(sizeof(Ds4ReportRequest) == 20, "record length");
static_assert(offsetof(Ds4ReportRequest, report) == 8, "record layout");
static_assert(sizeof(Ds4ReportExRequest) == 71, "record length, not rounded up");
static_assert(offsetof(Ds4ReportExRequest, report) == 8, "record layout");
static_assert(sizeof(Ds4FeedbackRequest) == 16, "record length");
static_assert(offsetof(Ds4FeedbackRequest, motors) == 8, "record layout");
static_assert(offsetof(Ds4FeedbackRequest, light) == 10, "record layout");

// Allocates a client whose handle is closed; null when the heap is exhausted.
// Any thread. Does not block.
_VIGEM_CLIENT_T* bus_client_new(void);

// Frees the client (null is ignored). Does not close its handle: disconnect first.
void bus_client_delete(_VIGEM_CLIENT_T* client);

// Finds the bus interfaces, opens the first that accepts protocol version 1 and keeps its
// handle. BUS_OK; BUS_ERR_NULL_CLIENT, BUS_ERR_ALREADY_OPEN; otherwise what became of the last
// interface tried: BUS_ERR_NO_BUS (none, or its detail failed), BUS_ERR_OPEN_FAILED,
// BUS_ERR_VERSION. Main thread, no other user of the client. Blocks on the driver.
_VIGEM_ERRORS bus_connect(_VIGEM_CLIENT_T* client);

// Closes the bus handle if the client is non-null and open; otherwise does nothing.
void bus_disconnect(_VIGEM_CLIENT_T* client);

// Allocates an Xbox 360 target in state TARGET_NEW; null when the heap is exhausted.
_VIGEM_TARGET_T* bus_target_new_x360(void);

// Allocates a DualShock 4 target in state TARGET_NEW (vendor 0x054C, product 0x05C4); null when
// the heap is exhausted.
_VIGEM_TARGET_T* bus_target_new_ds4(void);

// Frees the target (null is ignored); does not unplug it. When feedback is registered it is
// first ended as by bus_target_stop_feedback (and blocks as that does), since its threads
// would otherwise hand the freed target to the callback.
void bus_target_delete(_VIGEM_TARGET_T* target);

// Plugs the target in under the lowest serial the driver accepts, then waits until the pad is
// ready. Blocks until the driver has answered every request. See bus.cpp for the results.
_VIGEM_ERRORS bus_target_add(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target);

// Checks as bus_target_add does (same order, same results, nothing sent), then runs that add on
// a thread of its own and returns BUS_OK at once; the thread calls `done` with the client, the
// target and the add's result, exactly once, and touches neither after `done` returns. The
// caller leaves the target alone until then. A null `done` is refused with BUS_ERR_BAD_TARGET.
// When the thread cannot be started: BUS_ERR_REQUEST_FAILED, nothing was sent, `done` is never
// called and the target is unchanged. Any thread; does not block on the driver.
_VIGEM_ERRORS bus_target_add_async(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                   BusAddDoneFn done);

// Unplugs a plugged-in target. BUS_OK (state TARGET_UNPLUGGED, serial kept),
// BUS_ERR_UNPLUG_FAILED, or a check's code; nothing is sent when a check fails. Blocks.
_VIGEM_ERRORS bus_target_remove(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target);

// Sends one report for the target. BUS_OK; BUS_ERR_BAD_TARGET for a null target, serial 0 or a
// driver that answers ERROR_ACCESS_DENIED; BUS_ERR_REQUEST_FAILED for any other driver failure.
// Any thread (the stick's reader thread). Blocks until the driver has taken the report.
_VIGEM_ERRORS bus_x360_submit(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                              GamepadReport report);

// The same for a DualShock 4 report, with the same checks and results; the target's kind is not
// looked at (the driver denies a report of the other kind).
_VIGEM_ERRORS bus_ds4_submit(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target, Ds4Report report);

// The same for an extended DualShock 4 report; BUS_ERR_UNSUPPORTED when the driver answers
// ERROR_INVALID_PARAMETER (it does not take the extended form).
_VIGEM_ERRORS bus_ds4_submit_ex(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                Ds4ReportEx report);

// Asks the driver for an Xbox 360 target's user index and stores it through `index`. BUS_OK;
// BUS_ERR_NULL_CLIENT, BUS_ERR_BAD_TARGET (null, serial 0, not an Xbox 360 target, or the driver
// answered ERROR_ACCESS_DENIED), BUS_ERR_NO_BUS, BUS_ERR_NULL_OUTPUT, BUS_ERR_INDEX_RANGE (the
// pad has no index), BUS_ERR_REQUEST_FAILED (any other driver failure). `*index` is written
// only on BUS_OK. Any thread. Blocks until the driver answers.
_VIGEM_ERRORS bus_x360_user_index(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                  uint32_t* index);

// Registers `callback` (with `context`) for the target's feedback and starts a feedback thread
// that keeps one feedback request pending and calls the callback on that thread for each
// completed one, in order. Checks: BUS_ERR_NULL_CLIENT, BUS_ERR_BAD_TARGET (null target, serial
// 0, null callback), BUS_ERR_NO_BUS, BUS_ERR_SAME_CALLBACK (already the registered callback);
// nothing changes then. A different callback replaces the stored one and starts one more
// thread; threads of the other pad form then end at their next completion. When the thread or
// an event for it cannot be made: BUS_ERR_REQUEST_FAILED and the registration is as before.
// The thread ends when the driver ends the feedback (the pad went), and in any case by
// bus_target_stop_feedback or bus_target_delete, one of which must return before the client is
// disconnected.
// The target's user thread (as add and remove). Does not block on the driver.
_VIGEM_ERRORS bus_x360_watch_feedback(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                      BusX360FeedbackFn callback, void* context);
_VIGEM_ERRORS bus_ds4_watch_feedback(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                     BusDs4FeedbackFn callback, void* context);

// Ends the target's feedback notifications. The target must not be null. Once it returns, no
// callback for the target runs or will run and no feedback thread of the target touches the
// target, the client or the bus handle any more: it cancels the pending feedback requests and
// blocks until those threads have ended. Called from within a callback (on a feedback thread)
// it does not wait for that thread, which ends once the callback returns. A callback must
// therefore not wait for a thread that is stopping or deleting its target's feedback.
void bus_target_stop_feedback(_VIGEM_TARGET_T* target);

// Accessors; the target must not be null, except for bus_target_can_wait_ready. Any thread that
// may use the target; they neither lock nor block.
void bus_target_set_vendor(_VIGEM_TARGET_T* target, uint16_t vendor_id);
void bus_target_set_product(_VIGEM_TARGET_T* target, uint16_t product_id);
uint16_t bus_target_vendor(const _VIGEM_TARGET_T* target);
uint16_t bus_target_product(const _VIGEM_TARGET_T* target);
uint32_t bus_target_serial(const _VIGEM_TARGET_T* target);
uint32_t bus_target_type(const _VIGEM_TARGET_T* target);
// True when the target is plugged in (TARGET_PLUGGED).
bool bus_target_is_plugged(const _VIGEM_TARGET_T* target);
// False for a null target; else false only when the driver did not offer the wait-ready request.
bool bus_target_can_wait_ready(const _VIGEM_TARGET_T* target);
