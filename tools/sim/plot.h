// A picture of what the modes do, for the README and for a user choosing modes.
#pragma once

#include <string>

namespace sim {

// Draws the stick swept around its full circle and three smaller ones, and where the pad's left
// stick (and, in driving mode, its triggers) end up: one panel for no mode, one for each mode
// alone and one for rotation with each of the others. Writes an SVG file; the error, or empty.
std::string plot_modes(const std::string& path);

} // namespace sim
