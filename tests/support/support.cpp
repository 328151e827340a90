// Shared test helpers live in headers; this file gives the support library an object.
#include "winsim_test.h"
