// ext4 keeps a number of clusters back from every allocation, root's included
// (/sys/fs/ext4/DEV/reserved_clusters, about 2 % of the volume). A fill of the free space
// reaches them only while that number is 0.
#pragma once

#include <cstdint>
#include <string>

namespace purgix::platform {

// The sysfs file of the reserved clusters of the ext4 file system mounted at `mountPoint`;
// empty for other file systems or when sysfs does not show it.
std::string Ext4ReservedClustersFile(const std::string& mountPoint);

// Reads and writes such a file: the value, -1 when it cannot be read; true when written.
std::int64_t ReadReservedClusters(const std::string& file);
bool WriteReservedClusters(const std::string& file, std::int64_t value);

// Sets the reserved clusters of a volume to 0 while it lives and puts the old value back.
class ScopedExt4ReservedClusters {
public:
    // `file` as Ext4ReservedClustersFile gives it (nothing is done for an empty one).
    explicit ScopedExt4ReservedClusters(std::string file);
    ScopedExt4ReservedClusters(const ScopedExt4ReservedClusters&) = delete;
    ScopedExt4ReservedClusters& operator=(const ScopedExt4ReservedClusters&) = delete;
    ~ScopedExt4ReservedClusters() { Restore(); }

    // True while the value is changed.
    bool Changed() const noexcept { return changed_; }
    std::int64_t OldValue() const noexcept { return old_; }
    // Puts the old value back (once); true when it is back.
    bool Restore();

private:
    std::string file_;
    std::int64_t old_ = -1;
    bool changed_ = false;
};

} // namespace purgix::platform
