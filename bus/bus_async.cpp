// The asynchronous add, which nothing in the program calls: add on a thread of its own.
#include "bus/bus.h"
#include "bus/bus_request.h"

#include <cstdlib>

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
