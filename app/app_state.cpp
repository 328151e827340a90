#include "app/app_state.h"

_VIGEM_CLIENT_T* bus_client = nullptr;
int32_t bus_connected = 0;
