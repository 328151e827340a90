// The stand-in's own behaviour where the program's correctness depends on it matching
// Windows: waits and event kinds, handle accounting, suspended threads, fault injection, and
// overlapped requests that complete or are cancelled after the call returned.
#include "winsim_test.h"

#include <setupapi.h>
#include <winsim/hid.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <tuple>

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
    EXPECT_EQ(ran, 1) << "a thread let run runs before ResumeThread returns";
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

// What a watchdog sees: a thread blocked on an event or behind an exclusive lock holder waits
// longer and longer; one that waits for nothing does not count.
TEST_F(KernelTest, LongestWaitGrowsWhileAThreadIsBlocked) {
    EXPECT_EQ(winsim::longest_wait_ms(), 0u);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread waiter([&] { WaitForSingleObject(event, INFINITE); });
    EXPECT_TRUE(wait_for([] { return winsim::longest_wait_ms() >= 30; }));
    SetEvent(event);
    waiter.join();
    EXPECT_EQ(winsim::longest_wait_ms(), 0u);
    CloseHandle(event);

    SRWLOCK lock = SRWLOCK_INIT;
    AcquireSRWLockExclusive(&lock);
    std::thread reader([&] {
        AcquireSRWLockShared(&lock);
        ReleaseSRWLockShared(&lock);
    });
    EXPECT_TRUE(wait_for([] { return winsim::longest_wait_ms() >= 30; }));
    ReleaseSRWLockExclusive(&lock);
    reader.join();
    EXPECT_EQ(winsim::longest_wait_ms(), 0u);
}

const DWORD read_write = GENERIC_READ | GENERIC_WRITE, shared = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Asks the bus for its version: a request that completes late on the simulated driver.
BOOL ask_version(HANDLE bus, OVERLAPPED* overlapped) {
    uint32_t version[2] = {8, 1};
    return DeviceIoControl(bus, 0x002AA00C, version, 8, nullptr, 0, nullptr, overlapped);
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
    HANDLE bus = open(read_write, shared);
    ASSERT_NE(bus, INVALID_HANDLE_VALUE);
    HANDLE event = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    winsim::hold_late_completions(true);
    EXPECT_FALSE(ask_version(bus, &overlapped));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(event, 0), (DWORD)WAIT_TIMEOUT)
        << "starting a request resets its event";
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(bus, &overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);
    winsim::hold_late_completions(false);
    EXPECT_TRUE(GetOverlappedResult(bus, &overlapped, &bytes, TRUE));
    CloseHandle(event);
    CloseHandle(bus);
}

TEST_F(DeviceRequestTest, CancelledRequestCompletesAfterTheCancelReturns) {
    HANDLE bus = open(read_write, shared);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    winsim::hold_late_completions(true);
    ask_version(bus, &overlapped);
    EXPECT_TRUE(CancelIoEx(bus, &overlapped));
    EXPECT_EQ(overlapped.Internal, (ULONG_PTR)STATUS_PENDING) << "cancellation is not immediate";
    winsim::hold_late_completions(false);
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(bus, &overlapped, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(CancelIoEx(bus, &overlapped));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_FOUND);
    CloseHandle(event);
    CloseHandle(bus);
}

TEST_F(DeviceRequestTest, ShareModesDecideWhetherASecondOpenSucceeds) {
    HANDLE exclusive = open(read_write, 0);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open(GENERIC_READ, shared), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    HANDLE query = open(0, shared);
    EXPECT_NE(query, INVALID_HANDLE_VALUE) << "an open without data access is not checked";
    CloseHandle(query);
    CloseHandle(exclusive);
    HANDLE first = open(read_write, shared);
    HANDLE again = open(read_write, shared);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
    CloseHandle(first);
}

TEST_F(DeviceRequestTest, RequestNeedsTheAccessItsCodeNames) {
    HANDLE read_only = open(GENERIC_READ, shared);
    OVERLAPPED overlapped = {};
    EXPECT_FALSE(ask_version(read_only, &overlapped));
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

// Where Windows is strict in ways a kinder stand-in would let real faults pass: requests that
// fail at once, cancellation races, thread ends, named objects and lock misuse.

class StrictTest : public WinsimTest {
  public:
    // A stick opened for overlapped I/O, with a manual-reset event for its requests.
    void SetUp() override {
        WinsimTest::SetUp();
        stick_ = winsim::hid_add(winsim::hid_stick(1));
        file_ = CreateFileW(winsim::hid_stick(1).paths[0].c_str(), read_write, shared, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(file_, INVALID_HANDLE_VALUE);
        overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override {
        if (file_) {
            CloseHandle(overlapped_.hEvent);
            CloseHandle(file_);
        }
        WinsimTest::TearDown();
    }
    bool read() { return ReadFile(file_, buffer_, sizeof buffer_, nullptr, &overlapped_); }
    bool completes_within(DWORD ms) {
        return WaitForSingleObject(overlapped_.hEvent, ms) == WAIT_OBJECT_0;
    }

    int stick_ = 0;
    HANDLE file_ = nullptr;
    OVERLAPPED overlapped_ = {};
    uint8_t buffer_[6] = {};
};

TEST_F(StrictTest, RequestFailedAtOnceLeavesTheCallersRecordAndEventAlone) {
    const std::tuple<const char*, BOOL (*)(StrictTest&), DWORD> cases[] = {
        {"read into a buffer shorter than a report",
         [](StrictTest& t) { return ReadFile(t.file_, t.buffer_, 3, nullptr, &t.overlapped_); },
         ERROR_INVALID_USER_BUFFER},
        {"control code the driver does not know",
         [](StrictTest& t) {
             return DeviceIoControl(t.file_, 0x000B0000, nullptr, 0, nullptr, 0, nullptr,
                                    &t.overlapped_);
         },
         ERROR_INVALID_FUNCTION},
    };
    for (auto [name, issue, error] : cases) {
        SCOPED_TRACE(name);
        overlapped_.InternalHigh = 0x5A5A;
        SetEvent(overlapped_.hEvent);
        ResetEvent(overlapped_.hEvent);
        EXPECT_FALSE(issue(*this));
        EXPECT_EQ(GetLastError(), error);
        EXPECT_EQ(overlapped_.Internal, (ULONG_PTR)STATUS_PENDING);
        EXPECT_EQ(overlapped_.InternalHigh, (ULONG_PTR)0x5A5A);
        EXPECT_FALSE(completes_within(0));
        // On Windows this waits forever; here it fails at once and is counted.
        size_t before = winsim::would_hang();
        DWORD bytes = 0;
        EXPECT_FALSE(GetOverlappedResult(file_, &overlapped_, &bytes, TRUE));
        EXPECT_EQ(winsim::would_hang(), before + 1);
    }
    CloseHandle(overlapped_.hEvent);
    CloseHandle(file_);
    EXPECT_EQ(winsim::open_handles(), 0u);
    winsim::reset(); // the counted waits were this test's point
    file_ = overlapped_.hEvent = nullptr;
}

TEST_F(StrictTest, CancelOrCompletionWinsAsTheTestChooses) {
    for (bool completion_wins : {false, true}) {
        winsim::set_cancel_race(completion_wins);
        EXPECT_FALSE(read());
        ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
        // The cancel takes effect only once the report has come, however slow this thread is.
        winsim::hold_late_completions(true);
        EXPECT_TRUE(CancelIoEx(file_, &overlapped_));
        winsim::hid_deliver(stick_, {0, 1, 2, 3, 4, 5});
        winsim::hold_late_completions(false);
        DWORD bytes = 0;
        BOOL ok = GetOverlappedResult(file_, &overlapped_, &bytes, TRUE);
        EXPECT_EQ(ok != 0, completion_wins);
        if (completion_wins) {
            EXPECT_EQ(bytes, 6u);
            EXPECT_EQ(buffer_[5], 5);
        } else {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
            // The report was not lost: the next read takes it from the queue.
            EXPECT_TRUE(read());
        }
    }
}

DWORD WINAPI read_and_end(LPVOID parameter) {
    auto* test = static_cast<StrictTest*>(parameter);
    return ReadFile(test->file_, test->buffer_, sizeof test->buffer_, nullptr, &test->overlapped_);
}

TEST_F(StrictTest, ThreadEndCancelsTheRequestsItIssued) {
    HANDLE thread = CreateThread(nullptr, 0, read_and_end, this, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    ASSERT_TRUE(completes_within(5000)) << "the request outlived its thread";
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(file_, &overlapped_, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
}

TEST_F(StrictTest, ResetAbortsWhatIsStillOutstanding) {
    EXPECT_FALSE(read());
    CloseHandle(overlapped_.hEvent);
    CloseHandle(file_);
    file_ = overlapped_.hEvent = nullptr;
    winsim::reset();
    EXPECT_EQ(overlapped_.Internal, (ULONG_PTR)(0xC0000000u | ERROR_OPERATION_ABORTED));
}

TEST_F(KernelTest, NamedMutexKeepsItsNameWhileAnyoneHoldsIt) {
    HANDLE first = CreateMutexW(nullptr, TRUE, L"Copy");
    EXPECT_EQ(GetLastError(), 0u);
    HANDLE second = CreateMutexW(nullptr, TRUE, L"Copy");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    std::thread([&] {
        EXPECT_EQ(WaitForSingleObject(second, 0), (DWORD)WAIT_TIMEOUT)
            << "the first creator owns it; opening it again grants nothing";
    }).join();
    ReleaseMutex(first);
    CloseHandle(first);
    CloseHandle(second);
    CreateMutexW(nullptr, TRUE, L"Copy");
    EXPECT_EQ(GetLastError(), 0u) << "the last handle closed ends the object";
    winsim::hold_named_mutex(L"Other copy");
    HANDLE ours = CreateMutexW(nullptr, TRUE, L"Other copy");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(winsim::open_handles("mutex"), 2u) << "another process's handle is not ours";
    allow_open_handles();
    CloseHandle(ours);
}

TEST_F(KernelTest, SharedAcquireWaitsBehindAWaitingWriter) {
    SRWLOCK lock = SRWLOCK_INIT;
    AcquireSRWLockShared(&lock);
    std::atomic<int> order{0}, writer_at{0}, reader_at{0};
    std::thread writer([&] {
        AcquireSRWLockExclusive(&lock);
        writer_at = ++order;
        ReleaseSRWLockExclusive(&lock);
    });
    // Wait (bounded) until the writer is queued: then a try for shared access is refused.
    for (int i = 0; i < 2000 && pthread_rwlock_tryrdlock(&lock.lock) == 0; i++) {
        pthread_rwlock_unlock(&lock.lock);
        Sleep(1);
    }
    std::thread reader([&] {
        AcquireSRWLockShared(&lock);
        reader_at = ++order;
        ReleaseSRWLockShared(&lock);
    });
    Sleep(20);
    EXPECT_EQ(reader_at, 0) << "a new reader overtook the waiting writer";
    ReleaseSRWLockShared(&lock);
    writer.join();
    reader.join();
    EXPECT_EQ(writer_at, 1);
    EXPECT_EQ(reader_at, 2);
}

void misuse_named_lock(void (*misuse)(SRWLOCK*)) {
    static SRWLOCK lock = SRWLOCK_INIT;
    winsim::name_lock(&lock, "the test's lock");
    misuse(&lock);
}

TEST(StrictDeathTest, MisuseStopsTheProgramWithAMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::tuple<const char*, void (*)(SRWLOCK*), const char*> cases[] = {
        {"shared twice", [](SRWLOCK* l) { AcquireSRWLockShared(l), AcquireSRWLockShared(l); },
         "asks again shared"},
        {"shared then exclusive",
         [](SRWLOCK* l) { AcquireSRWLockShared(l), AcquireSRWLockExclusive(l); }, "no upgrade"},
        {"exclusive twice",
         [](SRWLOCK* l) { AcquireSRWLockExclusive(l), AcquireSRWLockExclusive(l); },
         "asks again exclusively"},
        {"exclusive then shared",
         [](SRWLOCK* l) { AcquireSRWLockExclusive(l), AcquireSRWLockShared(l); },
         "asks shared for its exclusive"},
        {"release of a lock not held", [](SRWLOCK* l) { ReleaseSRWLockShared(l); },
         "does not hold"},
    };
    for (auto [name, misuse, message] : cases)
        EXPECT_DEATH(misuse_named_lock(misuse), std::string(message) + ".*the test's lock") << name;
    EXPECT_DEATH(winsim::fail_calls("CreateEvent", 1, ERROR_GEN_FAILURE),
                 "no simulated call has that name");
}

} // namespace
