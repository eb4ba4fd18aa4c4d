#pragma once
// VolumeRecord is defined below partition discovery, with the device layer that lists
// mounted volumes; this name stays for the code above.
#include "core/device/volume_record.h"
