// Simulated HID devices: a driver per device that answers reads with the input reports the
// device sends (buffered per open handle, as the HID class driver does), takes output reports,
// and the HID class services (attributes, preparsed data, capabilities, feature reports).
#include "devices.h"

#include "hid/stick_model.h"

#include <hidsdi.h>
#include <winsim/hid.h>
#include <winsim/machine.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>

// What HidD_GetPreparsedData hands out: the parts of the descriptor that HidP_GetCaps reports.
struct _HIDP_PREPARSED_DATA {
    USHORT input_report_length;
    USHORT output_report_length;
    USHORT feature_report_length;
};

namespace winsim {
namespace {

using namespace detail;

const GUID hid_class = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// Per open handle: reports the device sent while no read waited, and the reads that wait.
struct OpenFile {
    std::deque<std::vector<uint8_t>> reports;
    std::deque<std::shared_ptr<Request>> reads;
};

struct Sim {
    int id;
    HidDeviceOptions options;
    std::shared_ptr<Device> device;
    std::map<const File*, OpenFile> files;
    std::vector<std::vector<uint8_t>> features;
    std::vector<std::vector<uint8_t>> outputs;
    std::vector<std::shared_ptr<Request>> held_writes;
    size_t reads_issued = 0;    // over all handles, since the device was added
    size_t foreign_reports = 0; // taken by other processes' reads, since the device was added
};

struct Hid {
    std::vector<std::shared_ptr<Sim>> sims;
    // Blocks handed out and not yet freed, owned here so a reset frees the forgotten ones.
    std::map<_HIDP_PREPARSED_DATA*, std::unique_ptr<_HIDP_PREPARSED_DATA>> preparsed;
    size_t bad_frees = 0;
};

Hid& hid() {
    return machine_part<Hid>();
}

std::shared_ptr<Sim> find_sim(int id) {
    for (auto& sim : hid().sims)
        if (sim->id == id)
            return sim;
    return nullptr;
}

std::shared_ptr<Sim> sim_of_device(const Device* device) {
    for (auto& sim : hid().sims)
        if (sim->device.get() == device)
            return sim;
    return nullptr;
}

void complete_read(const std::shared_ptr<Request>& request, const std::vector<uint8_t>& report) {
    DWORD bytes = (DWORD)std::min<size_t>(report.size(), request->output_length);
    memcpy(request->output, report.data(), bytes);
    request_complete(request, 0, bytes);
}

void submit(Sim& sim, const std::shared_ptr<Request>& request) {
    auto file = request->file.lock();
    OpenFile& open = sim.files[file.get()];
    const HidDeviceOptions& o = sim.options;
    switch (request->type) {
    case RequestType::Read:
        sim.reads_issued++;
        // The class driver refuses a buffer that cannot hold a whole report.
        if (request->output_length < o.input_report_length || o.input_report_length == 0) {
            request_complete(request, ERROR_INVALID_USER_BUFFER, 0);
        } else if (!open.reports.empty()) {
            complete_read(request, open.reports.front());
            open.reports.pop_front();
        } else {
            open.reads.push_back(request);
        }
        return;
    case RequestType::Write:
        if (o.output_report_length == 0) {
            request_complete(request, ERROR_INVALID_FUNCTION, 0);
        } else if (request->input.size() != o.output_report_length) {
            request_complete(request, ERROR_INVALID_USER_BUFFER, 0);
        } else {
            sim.outputs.push_back(request->input);
            if (o.hold_writes)
                sim.held_writes.push_back(request);
            else
                request_complete(request, 0, (DWORD)request->input.size());
        }
        return;
    case RequestType::Ioctl:
        request_complete(request, ERROR_INVALID_FUNCTION, 0);
        return;
    }
}

void cancel(Sim& sim, const std::shared_ptr<Request>& request) {
    for (auto& [file, open] : sim.files)
        open.reads.erase(std::remove(open.reads.begin(), open.reads.end(), request),
                         open.reads.end());
    auto& writes = sim.held_writes;
    writes.erase(std::remove(writes.begin(), writes.end(), request), writes.end());
}

// The simulated device behind a file handle, or null with the error a real call would give.
std::shared_ptr<Sim> sim_of_handle(HANDLE handle) {
    auto object = handle_lookup(handle, "file");
    if (!object)
        return nullptr;
    auto sim = sim_of_device(object->file->device.get());
    if (!sim) {
        set_error(ERROR_INVALID_FUNCTION);
        return nullptr;
    }
    if (object->file->dead || !sim->device->present || !sim->device->enabled) {
        set_error(ERROR_DEVICE_NOT_CONNECTED);
        return nullptr;
    }
    return sim;
}

std::wstring cased(std::wstring text, bool lower_case) {
    for (auto& c : text)
        if (lower_case && c >= L'A' && c <= L'Z')
            c = c - L'A' + L'a';
    return text;
}

} // namespace

GUID hid_interface_class() {
    return hid_class;
}

HidDeviceOptions hid_stick(int number, bool lower_case) {
    wchar_t serial[32];
    swprintf(serial, 32, L"7&2A4F1B3&0&%04d", number);
    HidDeviceOptions o;
    o.instance_id = std::wstring(L"HID\\" STICK_IDS_TEXT L"\\") + serial;
    o.paths = {cased(std::wstring(L"\\\\?\\HID#" STICK_IDS_TEXT L"#") + serial +
                         L"#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                     lower_case)};
    o.bus_description = L"Pelkavorn K7";
    o.registry_description = L"HID-compliant game controller";
    o.vendor_id = STICK_VENDOR_ID;
    o.product_id = STICK_PRODUCT_ID;
    o.input_report_length = 6;
    return o;
}

HidDeviceOptions hid_mouse(int number) {
    wchar_t serial[32];
    swprintf(serial, 32, L"7&91C0D2E&0&%04d", number);
    HidDeviceOptions o;
    o.instance_id = std::wstring(L"HID\\VID_1A2C&PID_0042\\") + serial;
    o.paths = {std::wstring(L"\\\\?\\hid#vid_1a2c&pid_0042#") + serial +
               L"#{4d1e55b2-f16f-11cf-88cb-001111000030}"};
    o.bus_description = L"Optical Mouse";
    o.registry_description = L"HID-compliant mouse";
    o.vendor_id = 0x1A2C;
    o.product_id = 0x0042;
    o.input_report_length = 5;
    return o;
}

int hid_add(const HidDeviceOptions& options) {
    std::vector<Interface> interfaces;
    int id;
    {
        std::lock_guard<std::recursive_mutex> held(lock());
        auto sim = std::make_shared<Sim>();
        id = (int)hid().sims.size() + 1;
        sim->id = id;
        sim->options = options;
        auto device = std::make_shared<Device>();
        device->instance_id = options.instance_id;
        for (auto& path : options.paths)
            device->interfaces.push_back({hid_class, path});
        device->bus_description = options.bus_description;
        device->registry_description = options.registry_description;
        Sim* raw = sim.get();
        device->driver.open = [raw](File& file) {
            raw->files[&file] = OpenFile();
            return DWORD(0);
        };
        device->driver.submit = [raw](const std::shared_ptr<Request>& r) { submit(*raw, r); };
        device->driver.cancel = [raw](const std::shared_ptr<Request>& r) { cancel(*raw, r); };
        device->driver.close = [raw](File& file) { raw->files.erase(&file); };
        sim->device = device;
        hid().sims.push_back(sim);
        device_add(device);
        interfaces = device->interfaces;
    }
    announce_interfaces(interfaces, true);
    return id;
}

void hid_unplug(int id) {
    std::vector<Interface> interfaces;
    {
        std::lock_guard<std::recursive_mutex> held(lock());
        auto sim = find_sim(id);
        if (!sim || !sim->device->present)
            return;
        sim->device->present = false;
        sim->device->foreign_holders.clear();
        device_drop_files(*sim->device, ERROR_DEVICE_NOT_CONNECTED);
        interfaces = sim->device->interfaces;
    }
    announce_interfaces(interfaces, false);
}

void hid_plug(int id) {
    std::vector<Interface> interfaces;
    {
        std::lock_guard<std::recursive_mutex> held(lock());
        auto sim = find_sim(id);
        if (!sim || (sim->device->present && sim->device->listed))
            return;
        sim->device->present = true;
        sim->device->listed = true;
        interfaces = sim->device->interfaces;
    }
    announce_interfaces(interfaces, true);
}

std::vector<int> hid_devices() {
    std::lock_guard<std::recursive_mutex> held(lock());
    std::vector<int> ids;
    for (auto& sim : hid().sims)
        ids.push_back(sim->id);
    return ids;
}

void hid_withdraw(int id) {
    std::vector<Interface> interfaces;
    {
        std::lock_guard<std::recursive_mutex> held(lock());
        auto sim = find_sim(id);
        if (!sim || !sim->device->present || !sim->device->listed)
            return;
        sim->device->listed = false;
        interfaces = sim->device->interfaces;
    }
    announce_interfaces(interfaces, false);
}

bool hid_deliver(int id, const std::vector<uint8_t>& report) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto sim = find_sim(id);
    if (!sim || !sim->device->present || !sim->device->enabled)
        return false;
    // Another process that reads has a read outstanding at all times: it takes the report.
    for (auto& holder : sim->device->foreign_holders)
        if (holder.access & GENERIC_READ)
            sim->foreign_reports++;
    for (auto& file : device_files(*sim->device)) {
        if (!(file->access & GENERIC_READ) || file->dead)
            continue;
        OpenFile& open = sim->files[file.get()];
        if (!open.reads.empty()) {
            auto request = open.reads.front();
            open.reads.pop_front();
            complete_read(request, report);
            continue;
        }
        open.reports.push_back(report);
        if (open.reports.size() > sim->options.queue_limit)
            open.reports.pop_front();
    }
    return true;
}

bool hid_hold(int id, DWORD access, DWORD share) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto sim = find_sim(id);
    if (!sim || !sim->device->present || !sim->device->enabled)
        return false;
    for (auto& holder : sim->device->foreign_holders)
        if (share_conflict(access, share, holder.access, holder.share))
            return false;
    for (auto& file : device_files(*sim->device))
        if (share_conflict(access, share, file->access, file->share))
            return false;
    sim->device->foreign_holders.push_back({access, share});
    return true;
}

void hid_release(int id) {
    std::lock_guard<std::recursive_mutex> held(lock());
    if (auto sim = find_sim(id))
        sim->device->foreign_holders.clear();
}

void hid_allow_restart(int id, bool allowed) {
    std::lock_guard<std::recursive_mutex> held(lock());
    if (auto sim = find_sim(id))
        sim->device->state_change_allowed = allowed;
}

size_t hid_foreign_holders(int id) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto sim = find_sim(id);
    return sim ? sim->device->foreign_holders.size() : 0;
}

size_t hid_foreign_reports(int id) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto sim = find_sim(id);
    return sim ? sim->foreign_reports : 0;
}

bool hid_enabled(int id) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto sim = find_sim(id);
    return sim && sim->device->enabled;
}

size_t hid_pending_reads(int id) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto sim = find_sim(id);
    size_t n = 0;
    if (sim)
        for (auto& [file, open] : sim->files)
            n += open.reads.size();
    return n;
}

size_t hid_reads_issued(int id) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto sim = find_sim(id);
    return sim ? sim->reads_issued : 0;
}

size_t hid_open_files(int id) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto sim = find_sim(id);
    return sim ? device_files(*sim->device).size() : 0;
}

std::vector<std::vector<uint8_t>> hid_feature_reports(int id) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto sim = find_sim(id);
    return sim ? sim->features : std::vector<std::vector<uint8_t>>();
}

std::vector<std::vector<uint8_t>> hid_output_reports(int id) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto sim = find_sim(id);
    return sim ? sim->outputs : std::vector<std::vector<uint8_t>>();
}

size_t hid_finish_writes(int id) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto sim = find_sim(id);
    if (!sim)
        return 0;
    auto writes = std::move(sim->held_writes);
    sim->held_writes.clear();
    for (auto& request : writes)
        request_complete(request, 0, (DWORD)request->input.size());
    return writes.size();
}

size_t hid_preparsed_outstanding() {
    std::lock_guard<std::recursive_mutex> held(lock());
    return hid().preparsed.size();
}

size_t hid_preparsed_bad_frees() {
    std::lock_guard<std::recursive_mutex> held(lock());
    return hid().bad_frees;
}

} // namespace winsim

using namespace winsim;
using namespace winsim::detail;

extern "C" {

void NTAPI HidD_GetHidGuid(LPGUID hid_guid) {
    fault("HidD_GetHidGuid"); // counted; the call cannot fail
    *hid_guid = hid_interface_class();
}

BOOLEAN NTAPI HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
    if (fault("HidD_GetAttributes"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto sim = sim_of_handle(device);
    if (!sim)
        return FALSE;
    if (!attributes || attributes->Size != sizeof(HIDD_ATTRIBUTES)) {
        set_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    attributes->VendorID = sim->options.vendor_id;
    attributes->ProductID = sim->options.product_id;
    attributes->VersionNumber = sim->options.version;
    return TRUE;
}

BOOLEAN NTAPI HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsed_data) {
    if (fault("HidD_GetPreparsedData"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto sim = sim_of_handle(device);
    if (!sim)
        return FALSE;
    auto* block = new _HIDP_PREPARSED_DATA{sim->options.input_report_length,
                                           sim->options.output_report_length,
                                           sim->options.feature_report_length};
    hid().preparsed.emplace(block, std::unique_ptr<_HIDP_PREPARSED_DATA>(block));
    *preparsed_data = block;
    return TRUE;
}

BOOLEAN NTAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed_data) {
    if (fault("HidD_FreePreparsedData"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    if (!hid().preparsed.erase(preparsed_data)) {
        hid().bad_frees++;
        set_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

NTSTATUS NTAPI HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed_data, PHIDP_CAPS capabilities) {
    if (fault("HidP_GetCaps"))
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    std::lock_guard<std::recursive_mutex> held(lock());
    if (!hid().preparsed.count(preparsed_data) || !capabilities)
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    *capabilities = HIDP_CAPS{};
    capabilities->UsagePage = HID_USAGE_PAGE_GENERIC;
    capabilities->Usage = HID_USAGE_GENERIC_JOYSTICK;
    capabilities->InputReportByteLength = preparsed_data->input_report_length;
    capabilities->OutputReportByteLength = preparsed_data->output_report_length;
    capabilities->FeatureReportByteLength = preparsed_data->feature_report_length;
    return HIDP_STATUS_SUCCESS;
}

BOOLEAN NTAPI HidD_SetFeature(HANDLE device, PVOID report, ULONG report_length) {
    if (fault("HidD_SetFeature"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto sim = sim_of_handle(device);
    if (!sim)
        return FALSE;
    if (sim->options.feature_report_length == 0) {
        set_error(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (!report || report_length != sim->options.feature_report_length) {
        set_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* bytes = static_cast<const uint8_t*>(report);
    sim->features.emplace_back(bytes, bytes + report_length);
    return TRUE;
}

} // extern "C"
