// The stand-in's own behaviour where the program's correctness depends on it matching
// Windows: waits and event kinds, handle accounting, suspended threads, fault injection, and
// overlapped requests that complete or are cancelled after the call returned.
#include "winsim_test.h"

#include <setupapi.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

using KernelTest = WinsimTest;

TEST_F(KernelTest, AutoResetEventWakesOneWaitManualResetStaysSignalled) {
    HANDLE automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 10), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(manual, 0), (DWORD)WAIT_TIMEOUT);
    SetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    ResetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(winsim::open_handles("event"), 2u);
    CloseHandle(automatic);
    CloseHandle(manual);
}

TEST_F(KernelTest, ClosedHandleFailsAndIsCounted) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(winsim::invalid_handle_uses(), 2u);
    HANDLE next = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(next, event) << "handle values are never reused";
    CloseHandle(next);
    winsim::reset(); // the counted misuse was this test's point
}

DWORD WINAPI record_thread(LPVOID parameter) {
    static_cast<std::atomic<int>*>(parameter)->fetch_add(1);
    return 7;
}

TEST_F(KernelTest, SuspendedThreadRunsOnlyAfterResume) {
    std::atomic<int> ran{0};
    HANDLE thread = CreateThread(nullptr, 0, record_thread, &ran, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 20), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(ran, 0);
    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(ran, 1);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(thread);
}

TEST_F(KernelTest, LastErrorIsPerThread) {
    SetLastError(5);
    std::thread([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastError(87);
    }).join();
    EXPECT_EQ(GetLastError(), 5u);
}

TEST_F(KernelTest, FaultsSkipThenFailTheChosenNumberOfCalls) {
    winsim::fail_calls("CreateEventW", 2, ERROR_NOT_ENOUGH_MEMORY, 1);
    HANDLE first = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, nullptr), nullptr);
    HANDLE fourth = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(fourth, nullptr);
    EXPECT_EQ(winsim::calls("CreateEventW"), 4u);
    CloseHandle(first);
    CloseHandle(fourth);
}

TEST_F(KernelTest, SharedLockAdmitsReadersExclusiveExcludesThem) {
    SRWLOCK lock = SRWLOCK_INIT;
    AcquireSRWLockShared(&lock);
    std::atomic<bool> second_reader{false};
    std::thread([&] {
        AcquireSRWLockShared(&lock);
        second_reader = true;
        ReleaseSRWLockShared(&lock);
    }).join();
    EXPECT_TRUE(second_reader);
    std::atomic<bool> writer_in{false};
    std::thread writer([&] {
        AcquireSRWLockExclusive(&lock);
        writer_in = true;
        ReleaseSRWLockExclusive(&lock);
    });
    Sleep(20);
    EXPECT_FALSE(writer_in);
    ReleaseSRWLockShared(&lock);
    writer.join();
    EXPECT_TRUE(writer_in);
}

class DeviceRequestTest : public WinsimTest {
  protected:
    void SetUp() override {
        WinsimTest::SetUp();
        winsim::BusOptions options;
        options.completion_delay_ms = 20;
        bus_ = winsim::bus_add(options);
        path_ = winsim::bus_path(bus_);
    }
    HANDLE open(DWORD access, DWORD share) {
        return CreateFileW(path_.c_str(), access, share, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    }
    int bus_;
    std::wstring path_;
};

TEST_F(DeviceRequestTest, LateCompletionWritesTheCallersRecordThen) {
    HANDLE bus = open(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(bus, INVALID_HANDLE_VALUE);
    HANDLE event = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    uint32_t version[2] = {8, 1};
    EXPECT_FALSE(DeviceIoControl(bus, 0x002AA00C, version, 8, nullptr, 0, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(event, 0), (DWORD)WAIT_TIMEOUT)
        << "starting a request resets its event";
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(bus, &overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);
    EXPECT_TRUE(GetOverlappedResult(bus, &overlapped, &bytes, TRUE));
    CloseHandle(event);
    CloseHandle(bus);
}

TEST_F(DeviceRequestTest, CancelledRequestCompletesAfterTheCancelReturns) {
    HANDLE bus = open(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    uint32_t version[2] = {8, 1};
    DeviceIoControl(bus, 0x002AA00C, version, 8, nullptr, 0, nullptr, &overlapped);
    EXPECT_TRUE(CancelIoEx(bus, &overlapped));
    EXPECT_EQ(overlapped.Internal, (ULONG_PTR)STATUS_PENDING) << "cancellation is not immediate";
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(bus, &overlapped, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(CancelIoEx(bus, &overlapped));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_FOUND);
    CloseHandle(event);
    CloseHandle(bus);
}

TEST_F(DeviceRequestTest, ShareModesDecideWhetherASecondOpenSucceeds) {
    HANDLE exclusive = open(GENERIC_READ | GENERIC_WRITE, 0);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    HANDLE query = open(0, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_NE(query, INVALID_HANDLE_VALUE) << "an open without data access is not checked";
    CloseHandle(query);
    CloseHandle(exclusive);
    HANDLE shared = open(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    HANDLE again = open(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
    CloseHandle(shared);
}

TEST_F(DeviceRequestTest, RequestNeedsTheAccessItsCodeNames) {
    HANDLE read_only = open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    OVERLAPPED overlapped = {};
    uint32_t version[2] = {8, 1};
    EXPECT_FALSE(
        DeviceIoControl(read_only, 0x002AA00C, version, 8, nullptr, 0, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(read_only);
}

TEST_F(DeviceRequestTest, InterfaceListingAndDetail) {
    const GUID bus_class = {
        0x96E42B22, 0xF5E9, 0x42F8, {0xB0, 0x43, 0xED, 0x0F, 0x93, 0x2F, 0x01, 0x4F}};
    int second = winsim::bus_add();
    HDEVINFO set =
        SetupDiGetClassDevsW(&bus_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    std::vector<std::wstring> paths;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &bus_class, i, &data); i++) {
        DWORD required = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
        std::vector<BYTE> buffer(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        ASSERT_TRUE(
            SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
        paths.push_back(detail->DevicePath);
    }
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(paths, (std::vector<std::wstring>{path_, winsim::bus_path(second)}));
    SetupDiDestroyDeviceInfoList(set);
}

} // namespace
