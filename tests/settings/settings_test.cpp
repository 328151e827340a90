// The settings file: what loading makes of every kind of file, the exact bytes written, and
// that a write that fails leaves the previous file whole, under the file rules of Windows.
#include "settings_reset.h"
#include "temp_folder.h"
#include "winsim_test.h"

#include <gtest/gtest.h>
#include <winsim/disk.h>

#include <climits>

namespace fs = std::filesystem;

namespace {

// Runs each test in an empty current directory of its own, with the record all off.
class SettingsTest : public WinsimTest {
  protected:
    void SetUp() override {
        WinsimTest::SetUp();
        reset_mode_settings();
    }
    void TearDown() override {
        reset_mode_settings();
        WinsimTest::TearDown();
    }

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

// A write against each obstacle Windows can put in its way: the file holds either exactly the
// new values or exactly the old ones, the result says which (and why), nothing is left beside
// it, a power cut right after loses nothing, the record keeps the switched values, and once the
// obstacle is gone the next write succeeds.
struct WriteCase {
    const char* name;
    const char* old_file;
    void (*arrange)(); // puts the obstacle in place
    SettingsWriteResult result;
    bool previous_kept; // false: the file may hold neither, and the result must say so
};

void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

const char* const short_file = "1\r\n1\r\n0\r\n0";          // shorter than the new text
const char* const long_file = "1\r\n0\r\n0\r\n99999999999"; // longer than the new text
const char* const new_file = "0\r\n-1\r\n0\r\n256";

void take_temporary_name() {
    fs::create_directory(SETTINGS_FILE_NAME ".tmp");
}

const WriteCase write_cases[] = {
    {"TemporaryNameTakenWritesInPlace", short_file, take_temporary_name, SETTINGS_WRITTEN, true},
    {"ShorterTextInPlaceLeavesNoOldTail", long_file, take_temporary_name, SETTINGS_WRITTEN, true},
    {"FolderThatRefusesNewFilesWritesInPlace", short_file,
     [] { fs::permissions(".", fs::perms::owner_write, fs::perm_options::remove); },
     SETTINGS_WRITTEN, true},
    {"DiskFullUnderTheTemporaryFileWritesInPlace", short_file, [] { winsim::set_disk_room(4); },
     SETTINGS_WRITTEN, true},
    {"DiskFullInPlaceToo", short_file, [] { winsim::set_disk_room(2); }, SETTINGS_DISK_FULL, true},
    {"FailingTruncationPutsTheOldBytesBack", long_file,
     [] {
         take_temporary_name();
         winsim::fail_calls("SetEndOfFile", -1, ERROR_GEN_FAILURE);
     },
     SETTINGS_NOT_WRITTEN, true},
    {"FailingRestoreIsNotCalledKept", short_file,
     [] {
         take_temporary_name();
         winsim::fail_calls("SetEndOfFile", -1, ERROR_GEN_FAILURE);
     },
     SETTINGS_NOT_WRITTEN, false},
    {"RefusedReplacementWritesInPlace", short_file,
     [] {
         ASSERT_TRUE(winsim::hold_file(L"" SETTINGS_FILE_NAME, GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE));
     },
     SETTINGS_WRITTEN, true},
    {"HolderSharingNothingKeepsTheOldFile", short_file,
     [] { ASSERT_TRUE(winsim::hold_file(L"" SETTINGS_FILE_NAME, GENERIC_READ, 0)); },
     SETTINGS_FILE_IN_USE, true},
    {"LinkIsWrittenThroughAndStaysALink", short_file,
     [] {
         fs::rename(SETTINGS_FILE_NAME, "kept.config");
         fs::create_symlink("kept.config", SETTINGS_FILE_NAME);
     },
     SETTINGS_WRITTEN, true},
    {"ReadOnlyFileIsLeftAlone", short_file,
     [] { ASSERT_TRUE(SetFileAttributesW(L"" SETTINGS_FILE_NAME, FILE_ATTRIBUTE_READONLY)); },
     SETTINGS_READ_ONLY, true},
};

class SettingsWrite : public SettingsTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(SettingsWrite, LeavesTheNewFileOrTheOldOneWholeAndSaysWhich) {
    const WriteCase& c = GetParam();
    put_file(c.old_file);
    c.arrange();
    const bool link = fs::is_symlink(SETTINGS_FILE_NAME);
    mode_settings.movement_lock_saved = 0;
    mode_settings.rotate = -1;
    mode_settings.fast_turns = 256;

    const ::SettingsWrite write = write_settings_file();
    EXPECT_EQ(write.result, c.result);
    if (write.result != SETTINGS_WRITTEN) {
        EXPECT_EQ(write.previous_kept, c.previous_kept);
    }
    EXPECT_EQ(winsim::power_cut(), 0u) << "the data reached the disk before the name moved";
    if (c.result == SETTINGS_WRITTEN) {
        EXPECT_EQ(file_bytes(), new_file);
    } else if (c.previous_kept) {
        EXPECT_EQ(file_bytes(), c.old_file);
    }
    EXPECT_EQ(fs::is_symlink(SETTINGS_FILE_NAME), link);
    EXPECT_FALSE(fs::is_regular_file(SETTINGS_FILE_NAME ".tmp"));
    EXPECT_EQ(mode_settings.movement_lock_saved, 0);
    EXPECT_EQ(mode_settings.fast_turns, 256);

    winsim::clear_faults();
    winsim::release_files();
    winsim::set_disk_room(std::nullopt);
    fs::permissions(".", fs::perms::owner_write, fs::perm_options::add);
    SetFileAttributesW(L"" SETTINGS_FILE_NAME, FILE_ATTRIBUTE_NORMAL);
    fs::remove(SETTINGS_FILE_NAME ".tmp");
    mode_settings.rotate = 0;
    EXPECT_EQ(write_settings_file().result, SETTINGS_WRITTEN);
    EXPECT_EQ(winsim::power_cut(), 0u) << "the data reached the disk before the name moved";
    EXPECT_EQ(file_bytes(), "0\r\n0\r\n0\r\n256");
    EXPECT_EQ(fs::is_symlink(SETTINGS_FILE_NAME), link);
}

INSTANTIATE_TEST_SUITE_P(Obstacles, SettingsWrite, ::testing::ValuesIn(write_cases),
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
    EXPECT_NE(write_settings_file().result, SETTINGS_WRITTEN);
    EXPECT_EQ(mode_settings.rotate, 1);
    fs::current_path(folder_.path);
}

} // namespace
