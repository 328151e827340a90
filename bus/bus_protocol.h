// The bus driver's device-control protocol as records: the pad report, the client and target
// records, the result codes, the interface class, the control codes and the request records.
// Records only: the operations on them are in bus.h (and bus_feedback.h).
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
