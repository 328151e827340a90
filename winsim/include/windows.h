// The Win32 subset that the program calls, for the Linux build against the simulated machine.
#pragma once

#include "winsim_base.h"
#include "winsim_kernel.h"
#include "winsim_user.h"
