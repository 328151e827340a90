// The bus client: every exchange with the driver is one device-control request on the bus
// handle, carrying one fixed-layout record, waited for at once.
#include "bus/bus.h"

#include <setupapi.h>

#include <cstdlib>
#include <cstring>

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "32-bit SetupAPI interface record");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6, "32-bit SetupAPI detail header");
#endif

const GUID BUS_INTERFACE_GUID = {
    0x96E42B22, 0xF5E9, 0x42F8, {0xB0, 0x43, 0xED, 0x0F, 0x93, 0x2F, 0x01, 0x4F}};

static_assert(BUS_CTL_PLUG_IN == 0x002AA004, "control code");
static_assert(BUS_CTL_UNPLUG == 0x002AA008, "control code");
static_assert(BUS_CTL_VERSION == 0x002AA00C, "control code");
static_assert(BUS_CTL_WAIT_READY == 0x002AA010, "control code");
static_assert(BUS_CTL_X360_FEEDBACK == 0x002AE804, "control code");
static_assert(BUS_CTL_X360_REPORT == 0x002AA808, "control code");
static_assert(BUS_CTL_DS4_REPORT == 0x002AA80C, "control code");
static_assert(BUS_CTL_DS4_FEEDBACK == 0x002AA810, "control code");
static_assert(BUS_CTL_X360_USER_INDEX == 0x002AE81C, "control code");

// One feedback thread's record. Made by the registration, freed by the thread as it ends.
struct BusFeedbackThread {
    // Fixed before the thread starts.
    BusFeedbackLink* link;
    _VIGEM_CLIENT_T* client; // only handed to the callback
    HANDLE bus;
    HANDLE event; // the thread's request event; the thread closes it
    uint32_t serial;
    uint32_t form; // which request and callback form this thread uses
    // Under link->lock.
    DWORD thread_id;
    bool pending;          // a request is out, so stop cancels it
    OVERLAPPED overlapped; // the thread's own; stop only hands its address to CancelIoEx
    BusFeedbackThread* next;
};

// The registration's state that its feedback threads share with the target's user. It is freed
// by whoever drops the last reference: the target's (given up by stop or delete) or a thread's.
struct BusFeedbackLink {
    SRWLOCK lock;               // guards every field below and the target's feedback_fn
                                // and feedback_ctx while the target is attached
    _VIGEM_TARGET_T* target;    // null once stop or delete ended the registration
    uint32_t form;              // TARGET_X360 or TARGET_DS4: feedback_fn's form
    unsigned refs;              // the target's, until detached, and one per thread
    BusFeedbackThread* threads; // the threads that have not ended yet
    HANDLE thread_ended;        // manual-reset; set whenever a thread leaves `threads`
};

namespace {

// The error a driver answers a user-index query with when the pad has no index.
const DWORD BUS_NO_USER_INDEX_ERROR = 650;

// Starts one request with the given event and blocks until it completes. 0 on success, else
// the Win32 error. A request that failed at once (the call failed with anything but
// ERROR_IO_PENDING) is answered by that error alone: its OVERLAPPED and event were never
// touched, so waiting for its result would wait forever or read the zeroed record as success.
DWORD bus_request(HANDLE bus, HANDLE event, DWORD code, void* record, DWORD size, bool output) {
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = event;
    DWORD transferred = 0;
    if (!DeviceIoControl(bus, code, record, size, output ? record : nullptr, output ? size : 0,
                         &transferred, &overlapped)) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING)
            return error ? error : ERROR_GEN_FAILURE;
    }
    if (GetOverlappedResult(bus, &overlapped, &transferred, TRUE))
        return 0;
    DWORD error = GetLastError();
    return error ? error : ERROR_GEN_FAILURE;
}

// One request with an event of its own, made and closed around it.
DWORD bus_exchange(HANDLE bus, DWORD code, void* record, DWORD size, bool output) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!event) {
        DWORD error = GetLastError();
        return error ? error : ERROR_NOT_ENOUGH_MEMORY;
    }
    DWORD error = bus_request(bus, event, code, record, size, output);
    CloseHandle(event);
    return error;
}

bool bus_is_open(const _VIGEM_CLIENT_T* client) {
    return client->bus_handle != INVALID_HANDLE_VALUE;
}

// The checks every target operation begins with, in their order; BUS_OK when all pass.
_VIGEM_ERRORS bus_check_request(const _VIGEM_CLIENT_T* client, const _VIGEM_TARGET_T* target) {
    if (!client)
        return BUS_ERR_NULL_CLIENT;
    if (!target)
        return BUS_ERR_BAD_TARGET;
    if (!bus_is_open(client))
        return BUS_ERR_NO_BUS;
    return BUS_OK;
}

// The checks of the requests that name a pad by its serial: the common ones, then serial 0.
_VIGEM_ERRORS bus_check_serial(const _VIGEM_CLIENT_T* client, const _VIGEM_TARGET_T* target) {
    _VIGEM_ERRORS refused = bus_check_request(client, target);
    if (refused != BUS_OK)
        return refused;
    return target->serial == 0 ? BUS_ERR_BAD_TARGET : BUS_OK;
}

// Add's checks, in their order; BUS_OK when the target may be plugged in.
_VIGEM_ERRORS bus_check_add(const _VIGEM_CLIENT_T* client, const _VIGEM_TARGET_T* target) {
    _VIGEM_ERRORS refused = bus_check_request(client, target);
    if (refused != BUS_OK)
        return refused;
    if (target->state == TARGET_BLANK)
        return BUS_ERR_TARGET_BLANK;
    if (target->state == TARGET_PLUGGED)
        return BUS_ERR_ALREADY_PLUGGED;
    return BUS_OK;
}

// What a report request's failure means to the caller: the driver does not know the pad, or
// some other failure. A failed report is never success.
_VIGEM_ERRORS bus_report_result(DWORD error) {
    if (error == 0)
        return BUS_OK;
    return error == ERROR_ACCESS_DENIED ? BUS_ERR_BAD_TARGET : BUS_ERR_REQUEST_FAILED;
}

_VIGEM_TARGET_T* bus_target_alloc(uint32_t type, uint16_t vendor_id, uint16_t product_id) {
    auto* target = static_cast<_VIGEM_TARGET_T*>(calloc(1, sizeof(_VIGEM_TARGET_T)));
    if (!target)
        return nullptr;
    target->size = sizeof(_VIGEM_TARGET_T);
    target->state = TARGET_NEW;
    target->type = type;
    target->vendor_id = vendor_id;
    target->product_id = product_id;
    return target;
}

// Reads one interface's device path and opens it with the flags the bus expects. Returns the
// handle, INVALID_HANDLE_VALUE when it does not open; *detail_failed when the path itself
// could not be read.
HANDLE bus_open_interface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, bool* detail_failed) {
    *detail_failed = false;
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set, data, nullptr, 0, &required, nullptr);
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(
        required >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ? malloc(required) : nullptr);
    if (!detail) {
        *detail_failed = true;
        return INVALID_HANDLE_VALUE;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, data, detail, required, &required, nullptr)) {
        free(detail);
        *detail_failed = true;
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_NO_BUFFERING |
                                    FILE_FLAG_OVERLAPPED | FILE_FLAG_WRITE_THROUGH,
                                nullptr);
    free(detail);
    return handle;
}

} // namespace

_VIGEM_CLIENT_T* bus_client_new(void) {
    auto* client = static_cast<_VIGEM_CLIENT_T*>(calloc(1, sizeof(_VIGEM_CLIENT_T)));
    if (client)
        client->bus_handle = INVALID_HANDLE_VALUE;
    return client;
}

void bus_client_delete(_VIGEM_CLIENT_T* client) {
    free(client);
}

_VIGEM_ERRORS bus_connect(_VIGEM_CLIENT_T* client) {
    if (!client)
        return BUS_ERR_NULL_CLIENT;
    if (bus_is_open(client))
        return BUS_ERR_ALREADY_OPEN;
    _VIGEM_ERRORS result = BUS_ERR_NO_BUS;
    HDEVINFO set = SetupDiGetClassDevsW(&BUS_INTERFACE_GUID, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return result;
    SP_DEVICE_INTERFACE_DATA data;
    memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    for (DWORD index = 0;
         SetupDiEnumDeviceInterfaces(set, nullptr, &BUS_INTERFACE_GUID, index, &data); index++) {
        bool detail_failed = false;
        client->bus_handle = bus_open_interface(set, &data, &detail_failed);
        if (detail_failed) {
            result = BUS_ERR_NO_BUS;
            break;
        }
        if (!bus_is_open(client)) {
            result = BUS_ERR_OPEN_FAILED;
            continue;
        }
        BusVersionRequest version;
        memset(&version, 0, sizeof version);
        version.size = sizeof version;
        version.version = BUS_PROTOCOL_VERSION;
        if (bus_exchange(client->bus_handle, BUS_CTL_VERSION, &version, sizeof version, false) ==
            0) {
            result = BUS_OK;
            break;
        }
        // Whatever the driver said, it does not speak our protocol: try the next interface.
        result = BUS_ERR_VERSION;
        CloseHandle(client->bus_handle);
        client->bus_handle = INVALID_HANDLE_VALUE;
    }
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

void bus_disconnect(_VIGEM_CLIENT_T* client) {
    if (!client || !bus_is_open(client))
        return;
    CloseHandle(client->bus_handle);
    client->bus_handle = INVALID_HANDLE_VALUE;
}

_VIGEM_TARGET_T* bus_target_new_x360(void) {
    return bus_target_alloc(TARGET_X360, 0x045E, 0x028E);
}

_VIGEM_TARGET_T* bus_target_new_ds4(void) {
    return bus_target_alloc(TARGET_DS4, 0x054C, 0x05C4);
}

void bus_target_delete(_VIGEM_TARGET_T* target) {
    if (!target)
        return;
    if (target->feedback_link || target->feedback_event)
        bus_target_stop_feedback(target);
    free(target);
}

// Results: BUS_OK once a serial was accepted and the pad is ready (or the driver does not offer
// the wait, then no_wait_ready is 1); BUS_ERR_NO_FREE_SERIAL after every serial from 1 to 65535
// was refused (serial 65536, state unchanged). When the wait-ready request fails otherwise,
// the pad the driver just accepted is unplugged again: BUS_ERR_REQUEST_FAILED with the target
// as that remove left it (TARGET_UNPLUGGED, serial kept), or BUS_ERR_UNPLUG_FAILED when even
// the unplug failed, leaving the target TARGET_PLUGGED so that the owner's remove tries again.
// The two events are made first and closed on every way out.
_VIGEM_ERRORS bus_target_add(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target) {
    HANDLE plug_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE wait_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    _VIGEM_ERRORS result = bus_check_add(client, target);
    if (result != BUS_OK) {
        // refused before anything is sent
    } else if (!plug_event || !wait_event) {
        result = BUS_ERR_REQUEST_FAILED; // nothing could be sent
    } else {
        result = BUS_ERR_NO_FREE_SERIAL;
        for (target->serial = 1; target->serial <= 0xFFFF; target->serial++) {
            BusPlugInRequest plug;
            memset(&plug, 0, sizeof plug);
            plug.size = sizeof plug;
            plug.serial = target->serial;
            plug.type = target->type;
            plug.vendor_id = target->vendor_id;
            plug.product_id = target->product_id;
            if (bus_request(client->bus_handle, plug_event, BUS_CTL_PLUG_IN, &plug, sizeof plug,
                            false) != 0)
                continue; // taken by another pad: try the next serial
            BusWaitReadyRequest wait;
            memset(&wait, 0, sizeof wait);
            wait.size = sizeof wait;
            wait.serial = target->serial;
            DWORD error = bus_request(client->bus_handle, wait_event, BUS_CTL_WAIT_READY, &wait,
                                      sizeof wait, false);
            if (error == 0) {
                target->state = TARGET_PLUGGED;
                result = BUS_OK;
            } else if (error == ERROR_INVALID_PARAMETER) {
                // A driver without the wait: the pad is plugged in all the same.
                target->state = TARGET_PLUGGED;
                target->no_wait_ready = 1;
                result = BUS_OK;
            } else {
                target->state = TARGET_PLUGGED; // the driver holds the pad until it is unplugged
                _VIGEM_ERRORS undo = bus_target_remove(client, target);
                result = undo == BUS_OK ? BUS_ERR_REQUEST_FAILED : undo;
            }
            break;
        }
    }
    if (wait_event)
        CloseHandle(wait_event);
    if (plug_event)
        CloseHandle(plug_event);
    return result;
}

_VIGEM_ERRORS bus_target_remove(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target) {
    _VIGEM_ERRORS refused = bus_check_request(client, target);
    if (refused != BUS_OK)
        return refused;
    if (target->state == TARGET_BLANK)
        return BUS_ERR_TARGET_BLANK;
    if (target->state != TARGET_PLUGGED)
        return BUS_ERR_NOT_PLUGGED;
    BusUnplugRequest unplug;
    memset(&unplug, 0, sizeof unplug);
    unplug.size = sizeof unplug;
    unplug.serial = target->serial;
    if (bus_exchange(client->bus_handle, BUS_CTL_UNPLUG, &unplug, sizeof unplug, false) != 0)
        return BUS_ERR_UNPLUG_FAILED;
    target->state = TARGET_UNPLUGGED;
    return BUS_OK;
}

_VIGEM_ERRORS bus_x360_submit(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                              GamepadReport report) {
    _VIGEM_ERRORS refused = bus_check_serial(client, target);
    if (refused != BUS_OK)
        return refused;
    X360ReportRequest request;
    memset(&request, 0, sizeof request);
    request.size = sizeof request;
    request.serial = target->serial;
    request.report = report;
    return bus_report_result(
        bus_exchange(client->bus_handle, BUS_CTL_X360_REPORT, &request, sizeof request, false));
}

_VIGEM_ERRORS bus_ds4_submit(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target, Ds4Report report) {
    _VIGEM_ERRORS refused = bus_check_serial(client, target);
    if (refused != BUS_OK)
        return refused;
    Ds4ReportRequest request;
    memset(&request, 0, sizeof request);
    request.size = sizeof request;
    request.serial = target->serial;
    request.report = report;
    return bus_report_result(
        bus_exchange(client->bus_handle, BUS_CTL_DS4_REPORT, &request, sizeof request, false));
}

_VIGEM_ERRORS bus_ds4_submit_ex(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                Ds4ReportEx report) {
    _VIGEM_ERRORS refused = bus_check_serial(client, target);
    if (refused != BUS_OK)
        return refused;
    Ds4ReportExRequest request;
    memset(&request, 0, sizeof request);
    request.size = sizeof request;
    request.serial = target->serial;
    request.report = report;
    DWORD error =
        bus_exchange(client->bus_handle, BUS_CTL_DS4_REPORT, &request, sizeof request, false);
    // A driver that knows only the short form refuses the long one as a malformed record.
    return error == ERROR_INVALID_PARAMETER ? BUS_ERR_UNSUPPORTED : bus_report_result(error);
}

_VIGEM_ERRORS bus_x360_user_index(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                  uint32_t* index) {
    _VIGEM_ERRORS refused = bus_check_serial(client, target);
    if (refused != BUS_OK)
        return refused;
    if (target->type != TARGET_X360)
        return BUS_ERR_BAD_TARGET;
    if (!index)
        return BUS_ERR_NULL_OUTPUT;
    X360UserIndexRequest request;
    memset(&request, 0, sizeof request);
    request.size = sizeof request;
    request.serial = target->serial;
    DWORD error =
        bus_exchange(client->bus_handle, BUS_CTL_X360_USER_INDEX, &request, sizeof request, true);
    if (error == 0) {
        *index = request.user_index;
        return BUS_OK;
    }
    // On failure the driver wrote nothing: the record's user_index is only our own zero.
    if (error == BUS_NO_USER_INDEX_ERROR)
        return BUS_ERR_INDEX_RANGE;
    return bus_report_result(error);
}

namespace {

struct BusAddJob {
    _VIGEM_CLIENT_T* client;
    _VIGEM_TARGET_T* target;
    BusAddDoneFn done;
};

DWORD WINAPI bus_add_main(LPVOID parameter) {
    BusAddJob job = *static_cast<BusAddJob*>(parameter);
    free(parameter);
    job.done(job.client, job.target, bus_target_add(job.client, job.target));
    return 0;
}

void bus_feedback_link_free(BusFeedbackLink* link) {
    CloseHandle(link->thread_ended);
    free(link);
}

// Takes the thread off its registration; frees the registration when it held the last
// reference.
void bus_feedback_leave(BusFeedbackThread* self) {
    BusFeedbackLink* link = self->link;
    AcquireSRWLockExclusive(&link->lock);
    for (BusFeedbackThread** at = &link->threads; *at; at = &(*at)->next)
        if (*at == self) {
            *at = self->next;
            break;
        }
    bool last = --link->refs == 0;
    SetEvent(link->thread_ended);
    ReleaseSRWLockExclusive(&link->lock);
    CloseHandle(self->event);
    free(self);
    if (last)
        bus_feedback_link_free(link);
}

// Sends the thread's feedback request once more, unless the registration has ended, and waits
// for it. False when nothing was sent; else true with the driver's error (0 on success).
bool bus_feedback_exchange(BusFeedbackThread* self, DWORD code, void* record, DWORD size,
                           DWORD* result) {
    BusFeedbackLink* link = self->link;
    AcquireSRWLockExclusive(&link->lock);
    if (!link->target) {
        ReleaseSRWLockExclusive(&link->lock);
        return false;
    }
    // Started under the lock, so that a stop either finds it pending and cancels it or comes
    // first and it is never sent.
    memset(&self->overlapped, 0, sizeof self->overlapped);
    self->overlapped.hEvent = self->event;
    DWORD transferred = 0;
    DWORD error = 0;
    if (!DeviceIoControl(self->bus, code, record, size, record, size, &transferred,
                         &self->overlapped)) {
        error = GetLastError();
        if (!error)
            error = ERROR_GEN_FAILURE;
    }
    self->pending = error == ERROR_IO_PENDING;
    ReleaseSRWLockExclusive(&link->lock);
    *result = error;
    if (error != 0 && error != ERROR_IO_PENDING)
        return true; // failed at once: there is no completion to wait for
    error = 0;
    if (!GetOverlappedResult(self->bus, &self->overlapped, &transferred, TRUE)) {
        error = GetLastError();
        if (!error)
            error = ERROR_GEN_FAILURE;
    }
    AcquireSRWLockExclusive(&link->lock);
    self->pending = false;
    ReleaseSRWLockExclusive(&link->lock);
    *result = error;
    return true;
}

// A feedback thread: keeps one feedback request out and hands each completion to the callback
// registered now, until the registration ends or the driver ends the feedback. It reads the
// target only under the registration's lock while the target is attached; stop and delete wait
// for it to end, so the target outlives every callback.
DWORD WINAPI bus_feedback_main(LPVOID parameter) {
    auto* self = static_cast<BusFeedbackThread*>(parameter);
    BusFeedbackLink* link = self->link;
    X360FeedbackRequest x360;
    memset(&x360, 0, sizeof x360);
    x360.size = sizeof x360;
    x360.serial = self->serial;
    Ds4FeedbackRequest ds4;
    memset(&ds4, 0, sizeof ds4);
    ds4.size = sizeof ds4;
    ds4.serial = self->serial;
    bool is_x360 = self->form == TARGET_X360;
    for (;;) {
        // The record goes out each time as the driver last left it.
        DWORD error = 0;
        bool sent =
            is_x360 ? bus_feedback_exchange(self, BUS_CTL_X360_FEEDBACK, &x360, sizeof x360, &error)
                    : bus_feedback_exchange(self, BUS_CTL_DS4_FEEDBACK, &ds4, sizeof ds4, &error);
        if (!sent || error == ERROR_ACCESS_DENIED || error == ERROR_OPERATION_ABORTED)
            break; // ended here, or the pad went
        if (error != 0)
            continue;
        AcquireSRWLockExclusive(&link->lock);
        _VIGEM_TARGET_T* target = link->target;
        BusFeedbackFn callback = target && link->form == self->form ? target->feedback_fn : nullptr;
        void* context = target ? target->feedback_ctx : nullptr;
        ReleaseSRWLockExclusive(&link->lock);
        if (!callback)
            break; // stopped, or replaced by a callback of the other pad form
        if (is_x360) {
            reinterpret_cast<BusX360FeedbackFn>(callback)(
                self->client, target, x360.large_motor, x360.small_motor, x360.led_number, context);
        } else {
            reinterpret_cast<BusDs4FeedbackFn>(callback)(self->client, target, ds4.motors[1],
                                                         ds4.motors[0], ds4.light, context);
        }
    }
    bus_feedback_leave(self);
    return 0;
}

_VIGEM_ERRORS bus_watch_feedback(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                 BusFeedbackFn callback, void* context, uint32_t form) {
    _VIGEM_ERRORS refused = bus_check_serial(client, target);
    if (refused != BUS_OK)
        return refused;
    if (!callback)
        return BUS_ERR_BAD_TARGET;
    if (callback == target->feedback_fn)
        return BUS_ERR_SAME_CALLBACK;

    // Everything that can fail is made before anything changes, so a failure leaves the
    // registration as it was.
    auto* self = static_cast<BusFeedbackThread*>(calloc(1, sizeof(BusFeedbackThread)));
    BusFeedbackLink* link = target->feedback_link;
    bool new_link = !link;
    if (new_link) {
        link = static_cast<BusFeedbackLink*>(calloc(1, sizeof(BusFeedbackLink)));
        if (link) {
            InitializeSRWLock(&link->lock);
            link->target = target;
            link->refs = 1;
            link->thread_ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        }
    }
    HANDLE feedback_event = target->feedback_event;
    bool new_event = !feedback_event;
    if (new_event)
        feedback_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = nullptr;
    if (self && link && link->thread_ended && feedback_event) {
        self->link = link;
        self->client = client;
        self->bus = client->bus_handle;
        self->serial = target->serial;
        self->form = form;
        self->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    if (self && self->event) {
        // The new thread's first step takes the lock, so it sees the registration complete.
        AcquireSRWLockExclusive(&link->lock);
        DWORD thread_id = 0;
        thread = CreateThread(nullptr, 0, bus_feedback_main, self, 0, &thread_id);
        if (thread) {
            target->feedback_fn = callback;
            target->feedback_ctx = context;
            link->form = form;
            self->thread_id = thread_id;
            self->next = link->threads;
            link->threads = self;
            link->refs++;
        }
        ReleaseSRWLockExclusive(&link->lock);
    }
    if (!thread) {
        if (self && self->event)
            CloseHandle(self->event);
        free(self);
        if (new_event && feedback_event)
            CloseHandle(feedback_event);
        if (new_link && link) {
            if (link->thread_ended)
                CloseHandle(link->thread_ended);
            free(link);
        }
        return BUS_ERR_REQUEST_FAILED;
    }
    CloseHandle(thread);
    if (new_event)
        target->feedback_event = feedback_event;
    else
        ResetEvent(feedback_event);
    target->feedback_link = link;
    return BUS_OK;
}

// Ends a registration: clears the callback, cancels the requests out and waits until every
// thread but the calling one has ended, then gives up the target's reference.
void bus_feedback_detach(_VIGEM_TARGET_T* target, BusFeedbackLink* link) {
    DWORD me = GetCurrentThreadId();
    AcquireSRWLockExclusive(&link->lock);
    link->target = nullptr;
    target->feedback_fn = nullptr;
    target->feedback_ctx = nullptr;
    for (BusFeedbackThread* thread = link->threads; thread; thread = thread->next)
        if (thread->pending)
            CancelIoEx(thread->bus, &thread->overlapped);
    for (;;) {
        bool others = false;
        for (BusFeedbackThread* thread = link->threads; thread; thread = thread->next)
            others = others || thread->thread_id != me;
        if (!others)
            break;
        // Reset under the lock, set under it by a leaving thread: no wake-up is lost.
        ResetEvent(link->thread_ended);
        ReleaseSRWLockExclusive(&link->lock);
        WaitForSingleObject(link->thread_ended, INFINITE);
        AcquireSRWLockExclusive(&link->lock);
    }
    bool last = --link->refs == 0;
    ReleaseSRWLockExclusive(&link->lock);
    if (last)
        bus_feedback_link_free(link);
}

} // namespace

_VIGEM_ERRORS bus_target_add_async(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                   BusAddDoneFn done) {
    _VIGEM_ERRORS refused = bus_check_add(client, target);
    if (refused != BUS_OK)
        return refused;
    if (!done)
        return BUS_ERR_BAD_TARGET;
    auto* job = static_cast<BusAddJob*>(malloc(sizeof(BusAddJob)));
    if (!job)
        return BUS_ERR_REQUEST_FAILED;
    job->client = client;
    job->target = target;
    job->done = done;
    HANDLE thread = CreateThread(nullptr, 0, bus_add_main, job, 0, nullptr);
    if (!thread) {
        free(job);
        return BUS_ERR_REQUEST_FAILED;
    }
    CloseHandle(thread);
    return BUS_OK;
}

_VIGEM_ERRORS bus_x360_watch_feedback(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                      BusX360FeedbackFn callback, void* context) {
    return bus_watch_feedback(client, target, reinterpret_cast<BusFeedbackFn>(callback), context,
                              TARGET_X360);
}

_VIGEM_ERRORS bus_ds4_watch_feedback(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                     BusDs4FeedbackFn callback, void* context) {
    return bus_watch_feedback(client, target, reinterpret_cast<BusFeedbackFn>(callback), context,
                              TARGET_DS4);
}

void bus_target_stop_feedback(_VIGEM_TARGET_T* target) {
    if (BusFeedbackLink* link = target->feedback_link) {
        target->feedback_link = nullptr;
        bus_feedback_detach(target, link);
    }
    if (target->feedback_event) {
        SetEvent(target->feedback_event);
        CloseHandle(target->feedback_event);
        target->feedback_event = nullptr;
    }
    target->feedback_fn = nullptr;
    target->feedback_ctx = nullptr;
}

void bus_target_set_vendor(_VIGEM_TARGET_T* target, uint16_t vendor_id) {
    target->vendor_id = vendor_id;
}

void bus_target_set_product(_VIGEM_TARGET_T* target, uint16_t product_id) {
    target->product_id = product_id;
}

uint16_t bus_target_vendor(const _VIGEM_TARGET_T* target) {
    return target->vendor_id;
}

uint16_t bus_target_product(const _VIGEM_TARGET_T* target) {
    return target->product_id;
}

uint32_t bus_target_serial(const _VIGEM_TARGET_T* target) {
    return target->serial;
}

uint32_t bus_target_type(const _VIGEM_TARGET_T* target) {
    return target->type;
}

bool bus_target_is_plugged(const _VIGEM_TARGET_T* target) {
    return target->state == TARGET_PLUGGED;
}

bool bus_target_can_wait_ready(const _VIGEM_TARGET_T* target) {
    return target && target->no_wait_ready == 0;
}
