// The simulator's scenarios: a wrong line is reported with its number before anything runs.
#include "scenario.h"

#include <gtest/gtest.h>

namespace {

TEST(Scenario, WrongLinesAreReportedWithTheirNumber) {
    struct Case {
        const char* text;
        const char* error; // empty: sound
    };
    const Case cases[] = {
        {"plug a\nstart\nstick a 0 65535 1\nclick FN Modes\n", ""},
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
        {"menu\n", "line 1: 'menu' needs the program running"},
        {"start\nclick Quit\nmenu\n", "line 3: 'menu' needs the program running"},
        {"start\nclose\nclose\n", "line 3: 'close' needs the program running"},
        {"start\nstart\n", "line 2: the program is started once"},
        {"bus sideways\n", "line 1: bus takes one of present, absent, old-version"},
        {"bus absent\nbus present\n", "line 2: the bus is given twice"},
        {"config 1 1 1 1\nconfig-bytes 30\n", "line 2: the settings file is given twice"},
        {"clock -1\n", "line 1: clock takes the seconds since 1970, a whole number"},
        {"start\nclick\n", "line 2: click takes the text of a menu item"},
    };
    for (const Case& c : cases) {
        sim::Scenario scenario = sim::scenario_parse(c.text);
        EXPECT_EQ(scenario.error, c.error) << c.text;
        EXPECT_EQ(scenario.commands.empty(), *c.error != 0) << c.text;
    }
}

TEST(Scenario, ClickKeepsTheItemsInnerSpacesAndTheDemonstrationIsSound) {
    sim::Scenario scenario = sim::scenario_parse("start\r\n  click   Rotate 40-Deg\r # on\r\n");
    ASSERT_EQ(scenario.commands.size(), 2u);
    EXPECT_EQ(scenario.commands[1].name, "Rotate 40-Deg");
    EXPECT_EQ(sim::scenario_parse(sim::scenario_demo()).error, "");
}

} // namespace
