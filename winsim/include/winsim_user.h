// Windowing and shell: windows, messages, menus, icons, the notification area and device
// notifications. Filled in with the tray engine.
#pragma once

#include "winsim_base.h"
