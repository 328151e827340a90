// Feedback notifications of a virtual pad, which nothing in the program registers: a thread per
// registration keeps one feedback request out and hands each completion to the target's
// callback. Stop (and the target's delete, which stops first) ends them.
#pragma once

#include "bus/bus_protocol.h"

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
