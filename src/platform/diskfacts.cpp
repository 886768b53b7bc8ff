#include "platform/diskfacts.h"

#include "platform/blockdev.h"

#include <libudev.h>

#include <fstream>
#include <memory>

namespace purgix::platform {
namespace {

struct UdevDeleter {
    void operator()(udev* u) const noexcept { udev_unref(u); }
};
struct UdevDeviceDeleter {
    void operator()(udev_device* d) const noexcept { udev_device_unref(d); }
};

std::string Trim(std::string s) {
    const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    while (!s.empty() && blank(s.back()))
        s.pop_back();
    std::size_t b = 0;
    while (b < s.size() && blank(s[b]))
        ++b;
    return s.substr(b);
}

std::string ReadSysfs(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return Trim(line);
}

std::string Property(udev_device* d, const char* name) {
    const char* v = d ? udev_device_get_property_value(d, name) : nullptr;
    return v ? Trim(v) : std::string();
}

} // namespace

DiskFacts ReadDiskFacts(const std::string& diskName, dev_t rdev) {
    DiskFacts f;
    std::unique_ptr<udev, UdevDeleter> u(udev_new());
    if (u) {
        std::unique_ptr<udev_device, UdevDeviceDeleter> d(
            udev_device_new_from_devnum(u.get(), 'b', rdev));
        f.model = Property(d.get(), "ID_MODEL");
        f.firmware = Property(d.get(), "ID_REVISION");
        f.serial = Property(d.get(), "ID_SERIAL_SHORT");
        f.bus = Property(d.get(), "ID_BUS");
    }
    const std::string base = SysfsRoot() + "/block/" + diskName;
    if (f.model.empty())
        f.model = ReadSysfs(base + "/device/model");
    if (f.model.empty())
        f.model = ReadSysfs(base + "/loop/backing_file");
    if (f.firmware.empty())
        f.firmware = ReadSysfs(base + "/device/rev");
    if (f.firmware.empty())
        f.firmware = ReadSysfs(base + "/device/firmware_rev");
    if (f.serial.empty())
        f.serial = ReadSysfs(base + "/device/serial");
    if (f.serial.empty())
        f.serial = ReadSysfs(base + "/serial"); // virtio disks
    if (f.bus.empty())
        f.bus = BusOf(diskName);
    return f;
}

} // namespace purgix::platform
