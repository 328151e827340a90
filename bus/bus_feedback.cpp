// Feedback notifications, which nothing in the program registers: a thread per registration
// keeps one feedback request out and hands each completion to the target's callback.
#include "bus/bus_feedback.h"
#include "bus/bus_request.h"

#include <cstdlib>
#include <cstring>

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
    unsigned refs;              // the target's, until detached, and one per thread
    BusFeedbackThread* threads; // the threads that have not ended yet
    HANDLE thread_ended;        // manual-reset; set whenever a thread leaves `threads`
};

namespace {

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
        BusFeedbackFn callback = target ? target->feedback_fn : BusFeedbackFn{};
        void* context = target ? target->feedback_ctx : nullptr;
        ReleaseSRWLockExclusive(&link->lock);
        // Nothing of this thread's form: stopped, or replaced by a callback of the other form.
        if (is_x360 && callback.x360) {
            callback.x360(self->client, target, x360.large_motor, x360.small_motor, x360.led_number,
                          context);
        } else if (!is_x360 && callback.ds4) {
            callback.ds4(self->client, target, ds4.motors[1], ds4.motors[0], ds4.light, context);
        } else {
            break;
        }
    }
    bus_feedback_leave(self);
    return 0;
}

// `callback` has exactly the member of its form set, or none (a null callback).
_VIGEM_ERRORS bus_watch_feedback(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                 BusFeedbackFn callback, void* context) {
    _VIGEM_ERRORS refused = bus_check_serial(client, target);
    if (refused != BUS_OK)
        return refused;
    if (!callback.x360 && !callback.ds4)
        return BUS_ERR_BAD_TARGET;
    if ((callback.x360 && callback.x360 == target->feedback_fn.x360) ||
        (callback.ds4 && callback.ds4 == target->feedback_fn.ds4))
        return BUS_ERR_SAME_CALLBACK;
    uint32_t form = callback.x360 ? TARGET_X360 : TARGET_DS4;

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
// feedback thread but the calling one has ended, then gives up the target's reference. The
// target's user thread, with target->feedback_link already cleared.
void bus_feedback_detach(_VIGEM_TARGET_T* target, BusFeedbackLink* link) {
    DWORD me = GetCurrentThreadId();
    AcquireSRWLockExclusive(&link->lock);
    link->target = nullptr;
    target->feedback_fn = BusFeedbackFn{};
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

_VIGEM_ERRORS bus_x360_watch_feedback(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                      BusX360FeedbackFn callback, void* context) {
    BusFeedbackFn typed{};
    typed.x360 = callback;
    return bus_watch_feedback(client, target, typed, context);
}

_VIGEM_ERRORS bus_ds4_watch_feedback(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                     BusDs4FeedbackFn callback, void* context) {
    BusFeedbackFn typed{};
    typed.ds4 = callback;
    return bus_watch_feedback(client, target, typed, context);
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
    target->feedback_fn = BusFeedbackFn{};
    target->feedback_ctx = nullptr;
}
