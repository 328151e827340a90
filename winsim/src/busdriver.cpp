// The simulated virtual-pad bus driver: one device interface of the bus class per bus, and the
// device-control protocol that the bus client relies on. Requests are checked strictly (record
// length, the length carried in the record, output length, the handle's access), so a client
// that builds a record wrongly is refused here as it would be by a real driver.
#include "machine.h"

#include <winsim/machine.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <set>

namespace winsim {
namespace {

using namespace detail;

const GUID bus_class = {
    0x96E42B22, 0xF5E9, 0x42F8, {0xB0, 0x43, 0xED, 0x0F, 0x93, 0x2F, 0x01, 0x4F}};

enum : DWORD {
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

const uint32_t pad_x360 = 0;
const uint32_t pad_ds4 = 2;
const DWORD no_user_index = 650; // the answer for an Xbox 360 pad without a slot

struct Bus {
    int id;
    BusOptions options;
    unsigned feedback_failed = 0; // feedback requests failed under these options so far
    std::shared_ptr<Device> device;
    std::set<uint32_t> foreign_serials;
    std::map<uint32_t, BusPad> pads;
    std::vector<BusRequest> log;
    std::vector<BusEvent> events; // pads plugged in and unplugged, reports taken, in order
    std::vector<std::pair<uint32_t, std::shared_ptr<Request>>> feedback; // pending, by serial
    std::vector<std::shared_ptr<Request>> held_plug_ins; // pending until bus_release_plug_ins
};

// This part's own state, keyed by its own type.
struct Buses {
    std::vector<std::shared_ptr<Bus>> list;
};

std::vector<std::shared_ptr<Bus>>& buses() {
    return machine_part<Buses>().list;
}

std::shared_ptr<Bus> find_bus(int id) {
    for (auto& bus : buses())
        if (bus->id == id)
            return bus;
    return nullptr;
}

uint32_t u32(const std::vector<BYTE>& bytes, size_t offset) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = (v << 8) | bytes[offset + i];
    return v;
}

uint16_t u16(const std::vector<BYTE>& bytes, size_t offset) {
    return (uint16_t)(bytes[offset] | (bytes[offset + 1] << 8));
}

// When a request is answered: within the call, after pending (on winsim's worker thread, after
// the completion delay), or at once unless there is a completion delay.
enum class When { AtOnce, Later, Natural };

// Answers a request; the output (if any) is written into the caller's buffer only at
// completion.
void finish(Bus& bus, const std::shared_ptr<Request>& request, DWORD error,
            std::vector<BYTE> output = {}, When when = When::Natural) {
    auto complete = [request, error, output] {
        if (request->done || request->cancelled)
            return;
        DWORD bytes = 0;
        if (!output.empty() && request->output) {
            bytes = (DWORD)std::min<size_t>(output.size(), request->output_length);
            memcpy(request->output, output.data(), bytes);
        }
        request_complete(request, error, bytes);
    };
    if (when == When::Later || (when == When::Natural && bus.options.completion_delay_ms))
        run_later(bus.options.completion_delay_ms, complete);
    else
        complete();
}

// Fails a request the way the options chose for its kind.
void fail(Bus& bus, const std::shared_ptr<Request>& request, DWORD error, bool at_once) {
    finish(bus, request, error, {}, at_once ? When::AtOnce : When::Later);
}

// The lowest of the four slots no Xbox 360 pad holds; none when all are taken.
std::optional<uint32_t> free_slot(const Bus& bus) {
    for (uint32_t slot = 0; slot < 4; slot++) {
        bool taken = false;
        for (auto& [serial, pad] : bus.pads)
            taken = taken || pad.user_index == slot;
        if (!taken)
            return slot;
    }
    return std::nullopt;
}

size_t record_size(DWORD code, size_t input_length) {
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

bool has_output(DWORD code) {
    return code == ctl_x360_feedback || code == ctl_ds4_feedback || code == ctl_x360_user_index;
}

// A pad is plugged in under the serial the request names, and the request answered.
void plug_in(Bus& bus, const std::shared_ptr<Request>& request) {
    const std::vector<BYTE>& in = request->input;
    uint32_t serial = u32(in, 4);
    if (serial == 0 || bus.pads.count(serial) || bus.foreign_serials.count(serial)) {
        finish(bus, request, ERROR_ALREADY_EXISTS);
        return;
    }
    bus.pads[serial] = BusPad{serial, u32(in, 8), u16(in, 12), u16(in, 14), {}, 0, std::nullopt};
    if (u32(in, 8) == pad_x360)
        bus.pads[serial].user_index = free_slot(bus);
    bus.events.push_back({BusEvent::Plugged, serial, {}});
    finish(bus, request, 0);
}

void submit(Bus& bus, const std::shared_ptr<Request>& request) {
    const std::vector<BYTE>& in = request->input;
    bus.log.push_back({request->code, in, request->output_length});
    if (request->type != RequestType::Ioctl) {
        finish(bus, request, ERROR_INVALID_FUNCTION);
        return;
    }
    size_t size = record_size(request->code, in.size());
    if (size == 0) {
        finish(bus, request, ERROR_INVALID_FUNCTION);
        return;
    }
    bool output_ok = has_output(request->code) ? (request->output && request->output_length == size)
                                               : (request->output_length == 0);
    if (in.size() != size || u32(in, 0) != size || !output_ok) {
        finish(bus, request, ERROR_INVALID_PARAMETER);
        return;
    }
    uint32_t serial = u32(in, 4);
    auto pad = bus.pads.find(serial);
    const BusOptions& o = bus.options;
    switch (request->code) {
    case ctl_version:
        if (o.version_error)
            fail(bus, request, o.version_error, o.version_at_once);
        else
            finish(bus, request, u32(in, 4) == o.protocol_version ? 0 : ERROR_NOT_SUPPORTED);
        return;
    case ctl_plug_in:
        if (o.hold_plug_in)
            bus.held_plug_ins.push_back(request);
        else
            plug_in(bus, request);
        return;
    case ctl_wait_ready:
        if (!o.wait_ready)
            finish(bus, request, ERROR_INVALID_PARAMETER);
        else if (o.wait_ready_error)
            fail(bus, request, o.wait_ready_error, o.wait_ready_at_once);
        else
            finish(bus, request, pad == bus.pads.end() ? ERROR_DEV_NOT_EXIST : 0);
        return;
    case ctl_unplug:
        if (o.unplug_error) {
            fail(bus, request, o.unplug_error, o.unplug_at_once);
            return;
        }
        if (pad == bus.pads.end()) {
            finish(bus, request, ERROR_DEV_NOT_EXIST);
            return;
        }
        bus.pads.erase(pad);
        bus.events.push_back({BusEvent::Unplugged, serial, {}});
        for (auto it = bus.feedback.begin(); it != bus.feedback.end();) {
            if (it->first == serial) {
                finish(bus, it->second, ERROR_OPERATION_ABORTED);
                it = bus.feedback.erase(it);
            } else {
                ++it;
            }
        }
        finish(bus, request, 0);
        return;
    case ctl_x360_report:
    case ctl_ds4_report: {
        uint32_t kind = request->code == ctl_x360_report ? pad_x360 : pad_ds4;
        if (pad == bus.pads.end() || pad->second.type != kind) {
            finish(bus, request, ERROR_ACCESS_DENIED);
            return;
        }
        if (size == 71 && !o.extended_report) {
            finish(bus, request, ERROR_INVALID_PARAMETER);
            return;
        }
        if (o.report_error) {
            fail(bus, request, o.report_error, o.report_at_once);
            return;
        }
        size_t length = request->code == ctl_x360_report ? 12 : (size == 71 ? 63 : 10);
        pad->second.report.assign(in.begin() + 8, in.begin() + 8 + length);
        pad->second.report_count++;
        pad->second.report_time_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count();
        bus.events.push_back({BusEvent::Report, serial, pad->second.report});
        finish(bus, request, 0);
        return;
    }
    case ctl_x360_feedback:
    case ctl_ds4_feedback: {
        uint32_t kind = request->code == ctl_x360_feedback ? pad_x360 : pad_ds4;
        if (pad == bus.pads.end() || pad->second.type != kind) {
            finish(bus, request, ERROR_ACCESS_DENIED);
            return;
        }
        if (o.feedback_error &&
            (o.feedback_failures == 0 || bus.feedback_failed < o.feedback_failures)) {
            bus.feedback_failed++;
            fail(bus, request, o.feedback_error, o.feedback_at_once);
            return;
        }
        bus.feedback.push_back({serial, request});
        return;
    }
    case ctl_x360_user_index: {
        if (pad == bus.pads.end() || pad->second.type != pad_x360) {
            finish(bus, request, ERROR_ACCESS_DENIED);
            return;
        }
        if (o.user_index_error) {
            fail(bus, request, o.user_index_error, o.user_index_at_once);
            return;
        }
        if (!pad->second.user_index) {
            finish(bus, request, no_user_index);
            return;
        }
        std::vector<BYTE> out = in;
        uint32_t index = *pad->second.user_index;
        for (int i = 0; i < 4; i++)
            out[8 + i] = (BYTE)(index >> (8 * i));
        finish(bus, request, 0, out);
        return;
    }
    }
}

void cancel(Bus& bus, const std::shared_ptr<Request>& request) {
    auto& held = bus.held_plug_ins;
    held.erase(std::remove(held.begin(), held.end(), request), held.end());
    auto& pending = bus.feedback;
    pending.erase(std::remove_if(pending.begin(), pending.end(),
                                 [&](auto& entry) { return entry.second == request; }),
                  pending.end());
}

} // namespace

int bus_add(const BusOptions& options) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto bus = std::make_shared<Bus>();
    bus->id = (int)buses().size() + 1;
    bus->options = options;
    auto device = std::make_shared<Device>();
    wchar_t number[16];
    swprintf(number, 16, L"%04d", bus->id);
    device->instance_id = std::wstring(L"ROOT\\SYSTEM\\") + number;
    device->interfaces.push_back({bus_class, std::wstring(L"\\\\?\\ROOT#SYSTEM#") + number +
                                                 L"#{96e42b22-f5e9-42f8-b043-ed0f932f014f}"});
    device->bus_description = L"Virtual Gamepad Emulation Bus";
    device->registry_description = L"Virtual Gamepad Emulation Bus";
    Bus* raw = bus.get();
    device->driver.open = [raw](File&) { return raw->options.open_error; };
    device->driver.submit = [raw](const std::shared_ptr<Request>& r) { submit(*raw, r); };
    device->driver.cancel = [raw](const std::shared_ptr<Request>& r) { cancel(*raw, r); };
    bus->device = device;
    buses().push_back(bus);
    device_add(device);
    return bus->id;
}

void bus_set_options(int id, const BusOptions& options) {
    std::lock_guard<std::recursive_mutex> held(lock());
    if (auto bus = find_bus(id)) {
        bus->options = options;
        bus->feedback_failed = 0;
    }
}

size_t bus_release_plug_ins(int id) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto bus = find_bus(id);
    if (!bus)
        return 0;
    auto requests = std::move(bus->held_plug_ins);
    bus->held_plug_ins.clear();
    for (auto& request : requests)
        plug_in(*bus, request);
    return requests.size();
}

size_t bus_held_plug_ins(int id) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto bus = find_bus(id);
    return bus ? bus->held_plug_ins.size() : 0;
}

void bus_remove(int id) {
    std::wstring path;
    {
        std::lock_guard<std::recursive_mutex> held(lock());
        auto bus = find_bus(id);
        if (!bus || !bus->device->present)
            return;
        bus->device->present = false;
        bus->feedback.clear();
        bus->held_plug_ins.clear(); // aborted with the files below, never to plug a pad in
        device_drop_files(*bus->device, ERROR_DEVICE_NOT_CONNECTED);
        bus->pads.clear();
        path = bus->device->interfaces[0].path;
    }
    interface_changed(false, bus_class, path);
}

std::wstring bus_path(int id) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto bus = find_bus(id);
    return bus ? bus->device->interfaces[0].path : std::wstring();
}

void bus_take_serial(int id, uint32_t serial) {
    std::lock_guard<std::recursive_mutex> held(lock());
    if (auto bus = find_bus(id))
        bus->foreign_serials.insert(serial);
}

std::vector<BusRequest> bus_log(int id) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto bus = find_bus(id);
    return bus ? bus->log : std::vector<BusRequest>();
}

void bus_clear_log(int id) {
    std::lock_guard<std::recursive_mutex> held(lock());
    if (auto bus = find_bus(id))
        bus->log.clear();
}

std::vector<BusEvent> bus_events(int id) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto bus = find_bus(id);
    return bus ? bus->events : std::vector<BusEvent>();
}

std::vector<BusPad> bus_pads(int id) {
    std::lock_guard<std::recursive_mutex> held(lock());
    std::vector<BusPad> pads;
    if (auto bus = find_bus(id))
        for (auto& [serial, pad] : bus->pads)
            pads.push_back(pad);
    return pads;
}

std::optional<BusPad> bus_pad(int id, uint32_t serial) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto bus = find_bus(id);
    if (!bus)
        return std::nullopt;
    auto it = bus->pads.find(serial);
    if (it == bus->pads.end())
        return std::nullopt;
    return it->second;
}

bool bus_send_feedback(int id, uint32_t serial, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto bus = find_bus(id);
    if (!bus)
        return false;
    for (auto it = bus->feedback.begin(); it != bus->feedback.end(); ++it) {
        if (it->first != serial)
            continue;
        auto request = it->second;
        bus->feedback.erase(it);
        std::vector<BYTE> out = request->input;
        for (size_t i = 0; i < bytes.size() && 8 + i < out.size(); i++)
            out[8 + i] = bytes[i];
        finish(*bus, request, 0, out);
        return true;
    }
    return false;
}

size_t bus_pending_feedback(int id, uint32_t serial) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto bus = find_bus(id);
    if (!bus)
        return 0;
    return (size_t)std::count_if(bus->feedback.begin(), bus->feedback.end(),
                                 [&](auto& entry) { return entry.first == serial; });
}

} // namespace winsim
