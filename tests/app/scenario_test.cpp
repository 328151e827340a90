// The simulator's scenarios: a wrong line, or one that cannot be played as written, is reported
// on standard error with its number, and the run ends with exit code 2 having written nothing.
#include "scenario.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

// Runs pelkavorn-sim with `args` in a folder of its own holding `text` as s.scenario; returns
// its exit code, standard output and error, and whether plot.svg appeared there.
struct SimRun {
    int exit_code;
    std::string out, err;
    bool plot_written;
};

SimRun run_sim(const std::string& args, const std::string& text) {
    TempFolder folder;
    put_file("s.scenario", text);
    const int status =
        std::system(("'" PELKAVORN_SIM "' " + args + " >out.txt 2>err.txt </dev/null").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, file_bytes("out.txt"),
            file_bytes("err.txt"), fs::exists("plot.svg")};
}

TEST(Scenario, WrongLinesAreReportedWithTheirNumber) {
    struct Case {
        std::string text;
        const char* error;               // on standard error; empty: sound, exit code 0
        const char* args = "s.scenario"; // what pelkavorn-sim is given
    };
    const Case cases[] = {
        {"plug a\nstart\nstick a 0 65535 1\nclick Fast Turns\n", ""},
        {"start\nfly away\n", "line 2: unknown command 'fly'"},
        {"start\nconfig 0 0 0 0\n", "line 2: config must come before start"},
        {"config 0 0 0 4294967296\n", "line 1: config: '4294967296' is not a 32-bit integer"},
        {"config-bytes 3\n", "line 1: config-bytes takes bytes as pairs of hexadecimal digits"},
        {"# comment\n\nunplug a\n", "line 3: 'a' is not plugged in"},
        {"plug a other\nstick a 1 1 0\n", "line 2: 'a' is not a stick"},
        {"plug a\nstick a 65536 0 0\n", "line 2: stick takes a name, X and Y (0 to 65535) and "
                                        "the button (0 or 1)"},
        {"plug a\nstick a 0 0 2\n", "line 2: stick takes a name, X and Y (0 to 65535) and the "
                                    "button (0 or 1)"},
        {"plug a\nplug a\n", "line 2: 'a' is plugged in already"},
        {"plug a\nunplug a\nplug a other\n",
         "line 3: 'a' was plugged in as another kind of device"},
        {"plug a other\nhold a\n", "line 2: 'a' is not a stick"},
        {"hold a\nplug a other\n", "line 2: 'a' is held, so it is a stick"},
        {"hold a\nhold a shared\n", "line 2: 'a' is held already"},
        {"plug a\nhold a\nrelease a\nrelease a\n", "line 4: 'a' is not held"},
        {"hold-file\nhold-file shared\n", "line 2: the settings file is held already"},
        {"hold-file\nrelease-file\nrelease-file\n", "line 3: the settings file is not held"},
        {"hold-file everything\n",
         "line 1: hold-file takes nothing or, for a holder that shares, 'shared'"},
        {"readonly\nreadonly\n", "line 2: readonly is given twice"},
        {"disk-full 0\n", "line 1: disk-full takes nothing"},
        {"start\nwindows wow64\n", "line 2: windows must come before start"},
        {"menu\n", "line 1: 'menu' needs the program running"},
        {"start\nclick Quit\nmenu\n", "line 3: 'menu' needs the program running"},
        {"start\nclose\nclose\n", "line 3: 'close' needs the program running"},
        {"start\nstart\n", "line 2: the program is started once"},
        {"bus sideways\n", "line 1: bus takes one of present, absent, old-version"},
        {"bus absent\nbus present\n", "line 2: the bus is given twice"},
        {"config 1 1 1 1\nconfig-bytes 30\n", "line 2: the settings file is given twice"},
        {"clock -1\n", "line 1: clock takes the seconds since 1970, a whole number"},
        {"start\nclick\n", "line 2: click takes the text of a menu item"},
        {"\xEF\xBB\xBFplug a\nstart\n", ""},
        {"start\nfl\x01y\n", "line 2: unknown command 'fl\\x01y'"},
        {"start\nfl\0y\n"s, "line 2: unknown command 'fl\\x00y'"},
        {"plug a\nstart\nclick Rotate 40-deg\n", "line 3: the menu has no item 'Rotate 40-deg'"},
        {"start\nclick FN Modes\n", "line 2: 'FN Modes' opens a submenu; click one of its items"},
        {"config 1 1 1 1\nstart\n", "line 1: cannot write the settings file",
         "--dir /proc s.scenario"},
        {"", "cannot read .: Is a directory", "."},
        {"start\nfly\n", "line 2: unknown command 'fly'", "--plot plot.svg s.scenario"},
        {"", "", "--help"},
    };
    for (const Case& c : cases) {
        SimRun run = run_sim(c.args, c.text);
        const std::string where = c.args + " <<"s + c.text + ">>";
        if (*c.error) {
            EXPECT_EQ(run.exit_code, 2) << where;
            EXPECT_NE(run.err.find(c.error), std::string::npos) << where << "\n" << run.err;
            EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << where << "\n" << run.err;
            EXPECT_FALSE(run.plot_written) << where;
        } else {
            EXPECT_EQ(run.exit_code, 0) << where;
            EXPECT_EQ(run.err, "") << where;
            EXPECT_NE(run.out, "") << where;
        }
    }
}

TEST(Scenario, ClickKeepsTheItemsInnerSpacesAndTheDemonstrationIsSound) {
    sim::Scenario scenario = sim::scenario_parse("start\r\n  click   Rotate 40-Deg\r # on\r\n");
    ASSERT_EQ(scenario.commands.size(), 2u);
    EXPECT_EQ(scenario.commands[1].name, "Rotate 40-Deg");
    EXPECT_EQ(sim::scenario_parse(sim::scenario_demo()).error, "");
}

} // namespace
