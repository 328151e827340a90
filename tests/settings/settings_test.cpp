// The settings file: what loading makes of every kind of file, the exact bytes written, and
// that a write that fails leaves the previous file whole.
#include "settings_reset.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>

#include <sys/resource.h>

namespace fs = std::filesystem;

namespace {

// Runs each test in an empty current directory of its own, with the record all off.
class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override { reset_mode_settings(); }
    void TearDown() override { reset_mode_settings(); }

    static void put_file(const std::string& bytes) { ::put_file(SETTINGS_FILE_NAME, bytes); }
    static std::string file_bytes() { return ::file_bytes(SETTINGS_FILE_NAME); }

    TempFolder folder_;
};

TEST_F(SettingsTest, MissingFileIsCreatedAllOff) {
    load_settings();
    EXPECT_EQ(file_bytes(), "0\r\n0\r\n0\r\n0");
    EXPECT_EQ(mode_settings.movement_lock, 0);
    EXPECT_EQ(mode_settings.rotate, 0);
    EXPECT_EQ(mode_settings.rotation_offset, 0.0);
    EXPECT_FALSE(fs::exists(SETTINGS_FILE_NAME ".tmp"));
}

struct LoadCase {
    const char* name;
    const char* file;
    int32_t lock_saved, rotate, driving, fast;
};

void PrintTo(const LoadCase& c, std::ostream* os) {
    *os << c.name;
}

class SettingsLoad : public SettingsTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(SettingsLoad, ReadsTheFourValuesAndDerivesTheLiveOnes) {
    const LoadCase& c = GetParam();
    put_file(c.file);
    load_settings();
    EXPECT_EQ(mode_settings.movement_lock_saved, c.lock_saved);
    EXPECT_EQ(mode_settings.rotate, c.rotate);
    EXPECT_EQ(mode_settings.driving_mode, c.driving);
    EXPECT_EQ(mode_settings.fast_turns, c.fast);
    EXPECT_EQ(mode_settings.movement_lock, c.lock_saved == 1 ? 1 : 0);
    EXPECT_EQ(mode_settings.rotation_offset, c.rotate == 1 ? 0.6981317 : 0.0);
    EXPECT_EQ(file_bytes(), c.file) << "an existing file is never rewritten at load";
}

INSTANTIATE_TEST_SUITE_P(
    Files, SettingsLoad,
    ::testing::Values(LoadCase{"WindowsLineEnds", "1\r\n0\r\n1\r\n0", 1, 0, 1, 0},
                      LoadCase{"UnixLineEnds", "0\n1\n0\n1", 0, 1, 0, 1},
                      LoadCase{"FinalLineEnd", "0\n1\n1\n1\n", 0, 1, 1, 1},
                      LoadCase{"SingleValue", "1", 1, 0, 0, 0}, LoadCase{"Empty", "", 0, 0, 0, 0},
                      LoadCase{"BlankLinesAndSpaces", "  1\n\n\n\t1 \r\n\r\n0\n  1", 1, 1, 0, 1},
                      LoadCase{"VerticalTabAndFormFeed", "1\v0\f1\v\f1", 1, 0, 1, 1},
                      LoadCase{"OtherValuesStayAsRead", "2\n2\n2\n2", 2, 2, 2, 2},
                      LoadCase{"Signs", "-5\n+1\n-0\n7", -5, 1, 0, 7},
                      LoadCase{"FirstAndLastDigits", "9\n09\n90\n0", 9, 9, 90, 0},
                      LoadCase{"TextStopsTheReading", "1\nx\n1\n1", 1, 0, 0, 0},
                      LoadCase{"FractionStopsAfterItsIntegerPart", "1.5\n1\n1\n1", 1, 0, 0, 0},
                      LoadCase{"LoneSignStops", "1\n-\n1\n1", 1, 0, 0, 0},
                      LoadCase{"Extremes", "-2147483648\n2147483647\n0\n0", INT_MIN, INT_MAX, 0, 0},
                      LoadCase{"TooLargeReadsAsZero", "1\n2147483648\n1\n99999999999999999999", 1,
                               0, 1, 0},
                      LoadCase{"TooSmallReadsAsZero", "-2147483649\n1\n1\n1", 0, 1, 1, 1}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(SettingsTest, WriteProducesWindowsTextBytes) {
    mode_settings.movement_lock_saved = 1;
    write_settings_file();
    EXPECT_EQ(file_bytes(), "1\r\n0\r\n0\r\n0");

    mode_settings.movement_lock_saved = 0;
    mode_settings.rotate = 3;
    mode_settings.driving_mode = -1;
    mode_settings.fast_turns = 256;
    auto open_files = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    auto before = open_files();
    write_settings_file();
    EXPECT_EQ(file_bytes(), "0\r\n3\r\n-1\r\n256");
    EXPECT_EQ(open_files(), before) << "the written file is closed (Windows renames no open file)";
}

TEST_F(SettingsTest, WriteStoresTheSavedLockNotTheLiveOne) {
    mode_settings.movement_lock = 1;
    mode_settings.movement_lock_saved = 0;
    write_settings_file();
    EXPECT_EQ(file_bytes(), "0\r\n0\r\n0\r\n0");
}

TEST_F(SettingsTest, WrittenFileLoadsBackTheSameValues) {
    mode_settings.movement_lock_saved = 1;
    mode_settings.rotate = 1;
    mode_settings.driving_mode = 0;
    mode_settings.fast_turns = 1;
    write_settings_file();
    reset_mode_settings();
    load_settings();
    EXPECT_EQ(mode_settings.movement_lock, 1);
    EXPECT_EQ(mode_settings.rotate, 1);
    EXPECT_EQ(mode_settings.rotation_offset, 0.6981317);
    EXPECT_EQ(mode_settings.fast_turns, 1);
}

// A write when the new file cannot be made beside the old one, or the disk fills up: the file
// holds either exactly the new values or exactly the old ones, the result says which, the
// record keeps the switched values, and once the obstacle is gone the next write succeeds.
struct WriteCase {
    const char* name;
    bool temporary_name_taken; // no file can be made beside it: the write goes in place
    rlim_t disk_room;          // bytes any file may grow to (RLIM_INFINITY: no limit)
    bool written;
};

void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

class SettingsWrite : public SettingsTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(SettingsWrite, LeavesTheNewFileOrTheOldOneWholeAndSaysWhich) {
    const WriteCase& c = GetParam();
    const char* const old_file = "1\r\n1\r\n0\r\n0";
    const char* const new_file = "0\r\n-1\r\n0\r\n256"; // longer than the old one
    put_file(old_file);
    if (c.temporary_name_taken)
        fs::create_directory(SETTINGS_FILE_NAME ".tmp");
    mode_settings.movement_lock_saved = 0;
    mode_settings.rotate = -1;
    mode_settings.fast_turns = 256;

    // A full disk as root: a limit on the size of any file, beyond which a write fails
    // (SIGXFSZ, which would end the process, ignored) as one on a full disk does.
    rlimit unlimited = {}, limited = {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    limited = unlimited;
    limited.rlim_cur = c.disk_room;
    auto previous_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool written = write_settings_file();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
    signal(SIGXFSZ, previous_handler);

    EXPECT_EQ(written, c.written);
    EXPECT_EQ(file_bytes(), c.written ? new_file : old_file);
    EXPECT_EQ(mode_settings.movement_lock_saved, 0);
    EXPECT_EQ(mode_settings.fast_turns, 256);
    EXPECT_EQ(fs::is_directory(SETTINGS_FILE_NAME ".tmp"), c.temporary_name_taken);
    EXPECT_FALSE(fs::is_regular_file(SETTINGS_FILE_NAME ".tmp"));

    fs::remove(SETTINGS_FILE_NAME ".tmp");
    mode_settings.rotate = 0;
    EXPECT_TRUE(write_settings_file());
    EXPECT_EQ(file_bytes(), "0\r\n0\r\n0\r\n256");
}

INSTANTIATE_TEST_SUITE_P(
    Obstacles, SettingsWrite,
    ::testing::Values(WriteCase{"TemporaryNameTakenWritesInPlace", true, RLIM_INFINITY, true},
                      WriteCase{"DiskFullUnderTheTemporaryFile", false, 4, false},
                      WriteCase{"DiskFullInPlacePutsTheOldBytesBack", true, 10, false}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(SettingsTest, RefusedReplacementLeavesNoTemporaryFile) {
    // Something else holds the name: the new content is written but cannot take its place.
    fs::create_directories(SETTINGS_FILE_NAME "/kept");
    mode_settings.rotate = 1;
    write_settings_file();
    EXPECT_TRUE(fs::is_directory(SETTINGS_FILE_NAME "/kept"));
    EXPECT_FALSE(fs::exists(SETTINGS_FILE_NAME ".tmp"));
}

TEST_F(SettingsTest, UnwritableDirectoryAtLoadKeepsAllModesOff) {
    fs::create_directory(SETTINGS_FILE_NAME ".tmp");
    load_settings();
    EXPECT_FALSE(fs::exists(SETTINGS_FILE_NAME));
    EXPECT_EQ(mode_settings.movement_lock, 0);
    EXPECT_EQ(mode_settings.driving_mode, 0);
}

TEST_F(SettingsTest, VanishedCurrentDirectoryIsSurvived) {
    fs::path gone = folder_.path / "gone";
    fs::create_directory(gone);
    fs::current_path(gone);
    fs::remove(gone);
    load_settings();
    mode_settings.rotate = 1;
    EXPECT_FALSE(write_settings_file());
    EXPECT_EQ(mode_settings.rotate, 1);
    fs::current_path(folder_.path);
}

} // namespace
