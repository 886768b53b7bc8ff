#include "platform/ext4reserve.h"

#include "platform/blockdev.h"
#include "platform/mounts.h"

#include <fstream>

namespace purgix::platform {

std::string Ext4ReservedClustersFile(const std::string& mountPoint) {
    const MountEntry* found = nullptr;
    const std::vector<MountEntry> table = ReadMountTable();
    for (const MountEntry& m : table)
        if (m.target == mountPoint)
            found = &m; // the last mount at a point is the one in view
    if (found == nullptr || found->fstype != "ext4")
        return {};
    const auto device = ProbeBlockDevice(found->devno);
    if (!device)
        return {};
    const std::string file = SysfsRoot() + "/fs/ext4/" + device->kernelName + "/reserved_clusters";
    return ReadReservedClusters(file) < 0 ? std::string() : file;
}

std::int64_t ReadReservedClusters(const std::string& file) {
    std::ifstream in(file);
    std::int64_t value = -1;
    if (!(in >> value) || value < 0)
        return -1;
    return value;
}

bool WriteReservedClusters(const std::string& file, std::int64_t value) {
    std::ofstream out(file);
    out << value << '\n';
    out.flush();
    return static_cast<bool>(out) && ReadReservedClusters(file) == value;
}

ScopedExt4ReservedClusters::ScopedExt4ReservedClusters(std::string file) : file_(std::move(file)) {
    if (file_.empty())
        return;
    old_ = ReadReservedClusters(file_);
    if (old_ > 0)
        changed_ = WriteReservedClusters(file_, 0);
}

bool ScopedExt4ReservedClusters::Restore() {
    if (!changed_)
        return true;
    changed_ = !WriteReservedClusters(file_, old_);
    return !changed_;
}

} // namespace purgix::platform
