// The sample callback: where a stick's decoded report meets the device table and the bus.
#pragma once

#include "hid/stick_reader.h"

// Finds the reader's entry in the device table (shared lock), builds its report into the entry
// and submits it to its pad. Drops the sample when the reader has no entry (not yet inserted,
// or removed) or the bus is not connected. Reader thread; takes the table lock shared for the
// lookup only; blocks on the submit.
void translate_stick_sample(StickReader* reader, StickSample* sample);
