#include "platform/blockdev.h"

#include <dirent.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace purgix::platform {
namespace {

std::string& RootSlot() {
    static std::string root = "/sys";
    return root;
}

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
        line.pop_back();
    return line;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir)
        return names;
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    return names;
}

bool StartsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// /sys/class/block/NAME resolves to .../block/DISK or .../block/DISK/PART.
std::string ClassPath(const std::string& name) {
    return SysfsRoot() + "/class/block/" + name;
}

} // namespace

const std::string& SysfsRoot() {
    return RootSlot();
}
void SetSysfsRoot(std::string root) {
    RootSlot() = std::move(root);
}

dev_t DevOfKernelName(const std::string& kernelName) {
    const std::string dev = ReadLine(ClassPath(kernelName) + "/dev");
    unsigned maj = 0, min = 0;
    if (std::sscanf(dev.c_str(), "%u:%u", &maj, &min) != 2)
        return 0;
    return makedev(maj, min);
}

std::optional<BlockDeviceInfo> ProbeBlockDevice(dev_t rdev) {
    const std::string link = SysfsRoot() + "/dev/block/" + std::to_string(major(rdev)) + ":" +
                             std::to_string(minor(rdev));
    char resolved[PATH_MAX];
    if (::realpath(link.c_str(), resolved) == nullptr)
        return std::nullopt;
    std::string sys = resolved;
    BlockDeviceInfo info;
    info.rdev = rdev;
    info.kernelName = sys.substr(sys.rfind('/') + 1);
    info.isPartition = Exists(sys + "/partition");
    if (info.isPartition) {
        const std::string parent = sys.substr(0, sys.rfind('/'));
        info.diskName = parent.substr(parent.rfind('/') + 1);
        info.partitionNumber = std::atoi(ReadLine(sys + "/partition").c_str());
        info.start = std::atoll(ReadLine(sys + "/start").c_str());
    } else {
        info.diskName = info.kernelName;
    }
    info.size = std::atoll(ReadLine(sys + "/size").c_str());
    info.loopBackingFile = ReadLine(ClassPath(info.diskName) + "/loop/backing_file");
    info.removable = ReadLine(ClassPath(info.diskName) + "/removable") == "1";
    info.path = "/dev/" + info.kernelName;
    return info;
}

std::optional<BlockDeviceInfo> ProbeBlockDevice(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        return std::nullopt;
    auto info = ProbeBlockDevice(st.st_rdev);
    if (info)
        info->path = path;
    return info;
}

std::vector<std::string> PartitionsOf(const std::string& diskName) {
    std::vector<std::string> parts;
    const std::string base = ClassPath(diskName) + "/";
    for (const std::string& e : Entries(base))
        if (StartsWith(e, diskName.c_str()) && Exists(base + e + "/partition"))
            parts.push_back(e);
    std::sort(parts.begin(), parts.end(), NaturalLess);
    return parts;
}

std::vector<std::string> HoldersOf(const std::string& kernelName) {
    return Entries(ClassPath(kernelName) + "/holders");
}

bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) &&
            std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t ie = i, je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie])))
                ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je])))
                ++je;
            // Compare the numbers without leading zeros by length, then digit by digit.
            std::string na = a.substr(i, ie - i), nb = b.substr(j, je - j);
            na.erase(0, std::min(na.find_first_not_of('0'), na.size() - 1));
            nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size() - 1));
            if (na.size() != nb.size())
                return na.size() < nb.size();
            if (na != nb)
                return na < nb;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::vector<std::string> ListDiskKernelNames() {
    std::vector<std::string> disks;
    for (const std::string& name : Entries(SysfsRoot() + "/block")) {
        if (StartsWith(name, "ram") || StartsWith(name, "zram") || StartsWith(name, "dm-") ||
            StartsWith(name, "md") || StartsWith(name, "sr"))
            continue;
        if (StartsWith(name, "loop") &&
            ReadLine(SysfsRoot() + "/block/" + name + "/loop/backing_file").empty())
            continue;
        disks.push_back(name);
    }
    std::sort(disks.begin(), disks.end(), NaturalLess);
    return disks;
}

int DiskNumberOf(const std::string& diskName) {
    const auto disks = ListDiskKernelNames();
    const auto it = std::find(disks.begin(), disks.end(), diskName);
    return it == disks.end() ? -1 : static_cast<int>(it - disks.begin());
}

std::string BusOf(const std::string& diskName) {
    if (StartsWith(diskName, "mmcblk"))
        return "mmc";
    char resolved[PATH_MAX];
    if (::realpath((ClassPath(diskName) + "/device").c_str(), resolved) == nullptr)
        return {};
    const std::string dev = resolved;
    if (dev.find("/usb") != std::string::npos)
        return "usb";
    if (dev.find("/mmc_host/") != std::string::npos)
        return "mmc";
    if (dev.find("/nvme") != std::string::npos)
        return "nvme";
    if (dev.find("/virtio") != std::string::npos)
        return "virtio";
    if (dev.find("/ata") != std::string::npos)
        return "ata";
    if (dev.find("/host") != std::string::npos || dev.find("/target") != std::string::npos)
        return "scsi";
    return {};
}

std::int64_t DeviceSizeBytes(int fd) {
    std::uint64_t size = 0;
    if (::ioctl(fd, BLKGETSIZE64, &size) != 0)
        return -1;
    return static_cast<std::int64_t>(size);
}

int LogicalSectorSize(int fd) {
    int size = 0;
    if (::ioctl(fd, BLKSSZGET, &size) != 0)
        return -1;
    return size;
}

} // namespace purgix::platform
