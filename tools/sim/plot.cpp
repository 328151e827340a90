#include "plot.h"

#include "translate/translate.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace sim {
namespace {

struct Panel {
    const char* title;
    TranslateModes modes;
};

const double pi = 3.14159265358979;
const int panel_size = 260; // pixels for the pad's -32768..32767 on each axis
const int margin = 40;
const int columns = 4;

int64_t no_clock() {
    return 0;
}

double to_pixel(double value) {
    return (value + 32768.0) / 65536.0 * panel_size;
}

StickSample sample_at(double radius, double angle, int32_t button) {
    int x = (int)std::lround(32768 + 32767 * radius * std::sin(angle));
    int y = (int)std::lround(32768 - 32767 * radius * std::cos(angle));
    StickSample sample;
    sample.button = button;
    sample.x_low = (uint8_t)(x & 0xFF);
    sample.x_high = (uint8_t)(x >> 8);
    sample.y_low = (uint8_t)(y & 0xFF);
    sample.y_high = (uint8_t)(y >> 8);
    return sample;
}

void draw_panel(std::ostringstream& svg, const Panel& panel, int left, int top) {
    svg << "<g transform='translate(" << left << "," << top << ")'>\n";
    svg << "<rect width='" << panel_size << "' height='" << panel_size
        << "' fill='#fafafa' stroke='#999'/>\n";
    svg << "<line x1='" << panel_size / 2 << "' y1='0' x2='" << panel_size / 2 << "' y2='"
        << panel_size << "' stroke='#ddd'/>\n";
    svg << "<line x1='0' y1='" << panel_size / 2 << "' x2='" << panel_size << "' y2='"
        << panel_size / 2 << "' stroke='#ddd'/>\n";
    svg << "<text x='" << panel_size / 2 << "' y='-8' text-anchor='middle' font-size='14'>"
        << panel.title << "</text>\n";
    svg << "<text x='0' y='" << panel_size + 14 << "' font-size='10'>-32768</text>\n";
    svg << "<text x='" << panel_size << "' y='" << panel_size + 14
        << "' font-size='10' text-anchor='end'>32767</text>\n";
    svg << "<text x='" << panel_size / 2 << "' y='" << panel_size + 14
        << "' font-size='10' text-anchor='middle'>left stick X</text>\n";
    const char* colours[] = {"#d62728", "#ff7f0e", "#2ca02c", "#1f77b4"};
    const double radii[] = {1.0, 0.85, 0.6, 0.3};
    bool driving = panel.modes.driving_mode == 1;
    // Where pushing the stick fully forward (black) and fully right (grey) ends up: this is what
    // shows a rotation, which leaves a circle a circle.
    const struct {
        double angle;
        const char* colour;
        const char* label;
    } pushes[] = {{0, "#000", "forward"}, {pi / 2, "#888", "right"}};
    for (const auto& push : pushes) {
        StickSample sample = sample_at(1.0, push.angle, 0);
        DrivingState state = {driving ? 1 : 0, -10, -10};
        GamepadReport report = translate_compute(&sample, &panel.modes, &state, no_clock);
        double x = to_pixel(report.left_x), y = panel_size - to_pixel(report.left_y);
        svg << "<line x1='" << panel_size / 2 << "' y1='" << panel_size / 2 << "' x2='" << x
            << "' y2='" << y << "' stroke='" << push.colour << "' stroke-width='1.5'/>";
        svg << "<text x='" << (panel_size / 2 + x) / 2 + 4 << "' y='"
            << (panel_size / 2 + y) / 2 - 4 << "' font-size='10' fill='" << push.colour << "'>"
            << push.label << "</text>\n";
    }
    // Each point is a zero-length stroke with round caps: a dot, in a compact path.
    char point[48];
    for (int ring = 0; ring < 4; ring++) {
        std::string stick_dots, trigger_dots;
        for (int step = 0; step < 120; step++) {
            double angle = step * 2 * pi / 120;
            StickSample sample = sample_at(radii[ring], angle, 0);
            // Driving mode acts once engaged (a press at least the switch gap after the last), so
            // its points are drawn from an engaged state.
            DrivingState state = {driving ? 1 : 0, -10, -10};
            GamepadReport report = translate_compute(&sample, &panel.modes, &state, no_clock);
            std::snprintf(point, sizeof point, "M%.1f %.1fh0", to_pixel(report.left_x),
                          panel_size - to_pixel(report.left_y));
            stick_dots += point;
            if (driving) {
                // Triggers against the stick's sideways position: right trigger upwards, left
                // trigger downwards, scaled to the axis.
                double trigger = (report.right_trigger - report.left_trigger) * 128.0;
                std::snprintf(point, sizeof point, "M%.1f %.1fh0",
                              to_pixel(32767.0 * radii[ring] * std::sin(angle)),
                              panel_size - to_pixel(trigger));
                trigger_dots += point;
            }
        }
        svg << "<path d='" << stick_dots << "' stroke='" << colours[ring]
            << "' stroke-width='3.2' stroke-linecap='round'/>\n";
        if (driving)
            svg << "<path d='" << trigger_dots << "' stroke='" << colours[ring]
                << "' stroke-width='3.5' stroke-linecap='square' opacity='0.45'/>\n";
    }
    svg << "</g>\n";
}

} // namespace

std::string plot_modes(const std::string& path) {
    const double rotation = 0.6981317;
    const Panel panels[] = {
        {"No mode", {0, 0, 0, 0}},
        {"Rotate 40-Deg", {rotation, 0, 0, 0}},
        {"Driving Mode (engaged)", {0, 0, 0, 1}},
        {"76-Deg Movement Lock", {0, 0, 1, 0}},
        {"Fast Turns", {0, 1, 0, 0}},
        {"Rotate + Driving (engaged)", {rotation, 0, 0, 1}},
        {"Rotate + Movement Lock", {rotation, 0, 1, 0}},
        {"Rotate + Fast Turns", {rotation, 1, 0, 0}},
    };
    const int count = sizeof panels / sizeof panels[0];
    const int rows = (count + columns - 1) / columns;
    const int width = columns * (panel_size + margin) + margin;
    const int height = rows * (panel_size + 2 * margin) + 85;
    std::ostringstream svg;
    svg << "<svg xmlns='http://www.w3.org/2000/svg' width='" << width << "' height='" << height
        << "' font-family='sans-serif'>\n<rect width='100%' height='100%' fill='white'/>\n";
    svg << "<text x='" << margin << "' y='24' font-size='16'>Where the pad's left stick ends up "
        << "as the stick goes round circles of full (red), 85% (orange), 60% (green) and 30% "
        << "(blue) deflection</text>\n";
    svg << "<text x='" << margin << "' y='44' font-size='12'>Axes in the pad's units, up is "
        << "forward. Lines: where the stick pushed fully forward and fully right ends up.</text>\n";
    svg << "<text x='" << margin << "' y='60' font-size='12'>Driving panels: pale squares are "
        << "the triggers (right trigger up, left trigger down, times 128) against the stick's "
        << "sideways position.</text>\n";
    for (int i = 0; i < count; i++)
        draw_panel(svg, panels[i], margin + (i % columns) * (panel_size + margin),
                   85 + margin / 2 + (i / columns) * (panel_size + 2 * margin));
    svg << "</svg>\n";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << svg.str();
    out.close();
    if (!out)
        return "cannot write " + path;
    return "";
}

} // namespace sim
