#include "bus/bus_connection.h"

_VIGEM_CLIENT_T* bus_client = nullptr;
int32_t bus_connected = 0;
