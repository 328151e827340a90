// The settings file: what loading makes of every kind of file, the exact bytes written, and
// that a write that fails leaves the previous file whole.
#include "app/settings.h"
#include "settings_reset.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace {

// Runs each test in an empty current directory of its own, with the record all off.
class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = fs::current_path();
        char pattern[] = "/tmp/settings-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        fs::current_path(directory_);
        reset_mode_settings();
    }

    void TearDown() override {
        fs::current_path(previous_);
        fs::remove_all(directory_);
        reset_mode_settings();
    }

    static void put_file(const std::string& bytes) {
        std::ofstream(SETTINGS_FILE_NAME, std::ios::binary) << bytes;
    }

    static std::string file_bytes() {
        std::ifstream in(SETTINGS_FILE_NAME, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    fs::path previous_;
    fs::path directory_;
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

TEST_F(SettingsTest, FailedWriteLeavesThePreviousFileAndTheRecord) {
    put_file("1\r\n1\r\n0\r\n0");
    // The new content cannot be written beside the file: it stands in for a read-only
    // directory (tests run as root, which ignores permission bits) or a full disk.
    fs::create_directory(SETTINGS_FILE_NAME ".tmp");
    mode_settings.movement_lock_saved = 0;
    mode_settings.fast_turns = 1;
    write_settings_file();
    EXPECT_EQ(file_bytes(), "1\r\n1\r\n0\r\n0");
    EXPECT_EQ(mode_settings.movement_lock_saved, 0);
    EXPECT_EQ(mode_settings.fast_turns, 1);

    fs::remove(SETTINGS_FILE_NAME ".tmp");
    write_settings_file();
    EXPECT_EQ(file_bytes(), "0\r\n0\r\n0\r\n1");
}

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
    fs::path gone = directory_ / "gone";
    fs::create_directory(gone);
    fs::current_path(gone);
    fs::remove(gone);
    load_settings();
    mode_settings.rotate = 1;
    write_settings_file();
    EXPECT_EQ(mode_settings.rotate, 1);
    fs::current_path(directory_);
}

} // namespace
