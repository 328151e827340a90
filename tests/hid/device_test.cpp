// The device handle: opening against other holders, the read and write state machines with
// their time-outs, cancellation, closing, feature reports and the ID check.
#include "hid_test.h"

#include <winsim/machine.h>

#include <chrono>
#include <thread>

namespace {

class Device : public HidTest {
  protected:
    HidDevice* open_stick(const winsim::HidDeviceOptions& options, int* id_out = nullptr) {
        int id = add(options);
        if (id_out)
            *id_out = id;
        return hid_open(path(id), 1, 0);
    }
    static void close(HidDevice* device) {
        hid_close(device);
        hid_free(device);
    }
};

struct HolderCase {
    DWORD access;
    DWORD share;
    bool exclusive_opens;
    bool shared_opens;
};

TEST_F(Device, OpensExclusivelyOrSharedAsOtherHoldersAllow) {
    const DWORD rw = GENERIC_READ | GENERIC_WRITE;
    const DWORD share_rw = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const HolderCase cases[] = {
        {GENERIC_READ, share_rw, false, true},
        {rw, share_rw, false, true},
        {GENERIC_READ, FILE_SHARE_READ, false, false}, // we also write
        {rw, 0, false, false},
    };
    for (const HolderCase& c : cases) {
        winsim::reset();
        int id = add(winsim::hid_stick(1));
        winsim::hid_hold(id, c.access, c.share);
        HidDevice* exclusive = hid_open(path(id), 1, 0);
        EXPECT_EQ(exclusive != nullptr, c.exclusive_opens) << c.access << " " << c.share;
        if (exclusive)
            close(exclusive);
        HidDevice* shared = hid_open(path(id), 1, 1);
        EXPECT_EQ(shared != nullptr, c.shared_opens) << c.access << " " << c.share;
        if (shared)
            close(shared);
        EXPECT_EQ(winsim::open_handles(), 0u);
    }
}

TEST_F(Device, OpenTakesTheCapsAndLeavesNothingBehindOnFailure) {
    auto options = winsim::hid_stick(1);
    options.input_report_length = 9;
    options.output_report_length = 4;
    options.feature_report_length = 8;
    int id;
    HidDevice* device = open_stick(options, &id);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(std::wstring(device->path), options.paths[0]);
    EXPECT_NE(device->path, path(id)); // a copy of its own
    EXPECT_EQ(device->input_report_length, 9);
    EXPECT_EQ(device->output_report_length, 4);
    EXPECT_EQ(device->feature_report_length, 8);
    EXPECT_EQ(device->read_pending, 0);
    EXPECT_EQ(device->write_pending, 0);
    EXPECT_EQ(winsim::hid_preparsed_outstanding(), 0u);
    HidDevice* second = hid_open(path(id), 1, 0);
    EXPECT_EQ(second, nullptr) << "our own exclusive open keeps others out";
    close(device);

    EXPECT_EQ(hid_open(L"\\\\?\\HID#VID_16D0&PID_11A0#gone", 1, 0), nullptr);
    for (const char* call :
         {"CreateFileW", "HidD_GetPreparsedData", "HidP_GetCaps", "CreateEventW"}) {
        winsim::fail_calls(call, 1, ERROR_GEN_FAILURE);
        EXPECT_EQ(hid_open(path(id), 1, 1), nullptr) << call;
        EXPECT_EQ(winsim::open_handles(), 0u) << call;
        EXPECT_EQ(winsim::hid_preparsed_outstanding(), 0u) << call;
    }
    EXPECT_EQ(winsim::hid_preparsed_bad_frees(), 0u);
}

TEST_F(Device, ReadTimeOutKeepsOneReadOutstanding) {
    int id;
    HidDevice* device = open_stick(winsim::hid_stick(1), &id);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(hid_read(device, 10), 0);
    EXPECT_EQ(device->read_pending, 1);
    EXPECT_EQ(hid_read(device, 10), 0);
    EXPECT_EQ(winsim::calls("ReadFile"), 1u) << "a timed-out read must be waited on, not re-issued";
    EXPECT_EQ(winsim::hid_pending_reads(id), 1u);

    const uint8_t report[] = {0x00, 0x34, 0x12, 0x78, 0x56, 0x01};
    winsim::hid_deliver(id, bytes(report, sizeof report));
    EXPECT_EQ(hid_read(device, 10), 6);
    EXPECT_EQ(bytes(device->input_buffer, 6), bytes(report, sizeof report));
    EXPECT_EQ(device->read_pending, 0);
    EXPECT_EQ(winsim::calls("ReadFile"), 1u);

    // A report shorter than the buffer: the rest reads as 0, not as the previous report.
    const uint8_t part[] = {0x00, 0x99};
    winsim::hid_deliver(id, bytes(part, sizeof part));
    EXPECT_EQ(hid_read(device, 10), 2);
    EXPECT_EQ(bytes(device->input_buffer, 6), (std::vector<uint8_t>{0x00, 0x99, 0, 0, 0, 0}));
    close(device);
}

TEST_F(Device, BufferedReportsArriveInOrderAndTheOldestAreDropped) {
    auto options = winsim::hid_stick(1);
    options.queue_limit = 3;
    int id;
    HidDevice* device = open_stick(options, &id);
    ASSERT_NE(device, nullptr);
    for (uint8_t n = 1; n <= 5; n++)
        winsim::hid_deliver(id, {0x00, n, 0, 0, 0, 0});
    for (uint8_t n = 3; n <= 5; n++) {
        ASSERT_EQ(hid_read(device, 10), 6);
        EXPECT_EQ(device->input_buffer[1], n);
    }
    EXPECT_EQ(hid_read(device, 10), 0);
    close(device);
}

TEST_F(Device, ReadFailsWhenTheDeviceIsUnpluggedOrTheReadIsCancelled) {
    int id;
    HidDevice* device = open_stick(winsim::hid_stick(1), &id);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(hid_read(device, 10), 0);
    winsim::hid_unplug(id);
    EXPECT_EQ(hid_read(device, 10), -1);
    EXPECT_EQ(device->read_pending, 0);
    EXPECT_EQ(hid_read(device, 10), -1) << "a new read on a removed device fails at once";
    close(device);

    winsim::hid_plug(id);
    device = hid_open(path(id), 1, 0);
    ASSERT_NE(device, nullptr);
    // Another thread cancels the read that this one keeps waiting on.
    int32_t result = 0;
    std::thread reader([&] {
        do
            result = hid_read(device, 10);
        while (result == 0);
    });
    ASSERT_TRUE(wait_for([&] { return winsim::hid_pending_reads(id) == 1; }));
    EXPECT_TRUE(CancelIoEx(device->handle, &device->read_overlapped));
    reader.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(device->read_pending, 0);
    close(device);
}

TEST_F(Device, CloseWaitsForTheCancelledReadBeforeTheRecordIsFreed) {
    // The cancelled read completes a moment after the cancel and writes the record's OVERLAPPED
    // then; under AddressSanitizer a close that did not wait shows as a use after free.
    for (bool cancel_fails : {false, true}) {
        winsim::reset();
        int id;
        HidDevice* device = open_stick(winsim::hid_stick(1), &id);
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(hid_read(device, 10), 0);
        if (cancel_fails)
            winsim::fail_calls("CancelIoEx", 1, ERROR_GEN_FAILURE);
        hid_close(device);
        EXPECT_EQ(winsim::open_handles(), 0u);
        EXPECT_EQ(winsim::hid_open_files(id), 0u);
        // Without a sanitizer, blocks allocated now may take the freed record's place; a late
        // write into it would show in them.
        hid_free(device);
        std::vector<std::vector<uint8_t>> reuse(16, std::vector<uint8_t>(sizeof(HidDevice), 0xAB));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (auto& block : reuse)
            EXPECT_EQ(block, std::vector<uint8_t>(sizeof(HidDevice), 0xAB));
    }
}

TEST_F(Device, WriteIsPaddedAndAnOutstandingWriteIsWaitedOnNotRepeated) {
    auto options = winsim::hid_stick(1);
    options.output_report_length = 4;
    options.hold_writes = true;
    int id;
    HidDevice* device = open_stick(options, &id);
    ASSERT_NE(device, nullptr);
    const uint8_t first[] = {0x00, 0x11};
    const uint8_t second[] = {0x00, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(hid_write(device, first, sizeof first, 10), 0);
    EXPECT_EQ(device->write_pending, 1);
    EXPECT_EQ(hid_write(device, second, sizeof second, 10), 0);
    EXPECT_EQ(winsim::calls("WriteFile"), 1u);
    winsim::hid_finish_writes(id);
    EXPECT_EQ(hid_write(device, second, sizeof second, 10), 4);
    EXPECT_EQ(winsim::hid_output_reports(id),
              (std::vector<std::vector<uint8_t>>{{0x00, 0x11, 0x00, 0x00}}));
    EXPECT_EQ(hid_write(device, second, sizeof second, 10), 0);
    winsim::hid_finish_writes(id);
    EXPECT_EQ(hid_write(device, first, sizeof first, 10), 4);
    // A shorter report after a longer one is padded with zeros, not with the longer one's
    // tail; and a write still outstanding when the device is closed is cancelled and waited for.
    EXPECT_EQ(hid_write(device, first, sizeof first, 10), 0);
    close(device);
    EXPECT_EQ(winsim::hid_output_reports(id),
              (std::vector<std::vector<uint8_t>>{
                  {0x00, 0x11, 0, 0}, {0x00, 0x22, 0x33, 0x44}, {0x00, 0x11, 0, 0}}));
}

TEST_F(Device, FeatureReportsAreSentAtFullLengthPaddedOrTruncated) {
    auto options = winsim::hid_stick(1);
    options.feature_report_length = 8;
    int id;
    HidDevice* device = open_stick(options, &id);
    ASSERT_NE(device, nullptr);
    const uint8_t full[] = {1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const uint8_t shorter[] = {2, 0xA, 0xB};
    const uint8_t longer[] = {3, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(hid_send_feature(device, full, sizeof full), 8);
    EXPECT_EQ(hid_send_feature(device, shorter, sizeof shorter), 3);
    EXPECT_EQ(hid_send_feature(device, longer, sizeof longer), 8);
    EXPECT_EQ(winsim::hid_feature_reports(id),
              (std::vector<std::vector<uint8_t>>{
                  bytes(full, 8), {2, 0xA, 0xB, 0, 0, 0, 0, 0}, {3, 1, 2, 3, 4, 5, 6, 7}}));
    winsim::fail_calls("HidD_SetFeature", 1, ERROR_GEN_FAILURE);
    EXPECT_EQ(hid_send_feature(device, shorter, sizeof shorter), -1);
    close(device);
}

TEST_F(Device, MatchesVendorAndProductIdsWithZeroAsWildcard) {
    int id = add(winsim::hid_stick(1));
    struct {
        uint16_t vendor, product;
        int expected;
    } const cases[] = {
        {0, 0, 1},           {0x16D0, 0, 1},      {0, 0x11A0, 1},
        {0x16D0, 0x11A0, 1}, {0x16D0, 0x11A1, 0}, {0x16D1, 0x11A0, 0},
    };
    for (auto& c : cases)
        EXPECT_EQ(hid_matches_ids(path(id), c.vendor, c.product), c.expected)
            << c.vendor << ":" << c.product;
    EXPECT_EQ(hid_matches_ids(L"\\\\?\\HID#nothing", 0, 0), 0);
    winsim::fail_calls("HidD_GetAttributes", 1, ERROR_GEN_FAILURE);
    EXPECT_EQ(hid_matches_ids(path(id), 0, 0), 0);
}

TEST_F(Device, ClassGuidIsAskedForOnceAndKept) {
    GUID expected = winsim::hid_interface_class();
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(hid_class_guid() == expected);
    EXPECT_LE(winsim::calls("HidD_GetHidGuid"), 1u);
}

} // namespace
