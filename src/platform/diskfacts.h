// Model, firmware revision, serial number and bus of a whole disk.
#pragma once

#include <sys/types.h>

#include <string>

namespace purgix::platform {

struct DiskFacts {
    std::string model;
    std::string firmware;
    std::string serial; // plain text as the device reports it
    std::string bus;    // "usb", "mmc", "ata", "scsi", "nvme", "virtio", ... or ""
};

// From the udev database (ID_MODEL, ID_REVISION, ID_SERIAL_SHORT, ID_BUS) where it knows the
// disk, each missing fact from sysfs (device/model, device/rev or firmware_rev, device/serial).
// A loop device names its backing file as its model.
DiskFacts ReadDiskFacts(const std::string& diskName, dev_t rdev);

} // namespace purgix::platform
