// What a block device holds, as libblkid sees it (read-only probing).
#pragma once

#include <string>

namespace purgix::platform {

struct FilesystemProbe {
    std::string type;  // "vfat", "ntfs", "ext4", "exfat", ...; empty when none was found
    std::string label; // file-system label
    std::string uuid;
};

// Probes the device's superblocks. Empty fields when it cannot be opened or holds nothing known.
FilesystemProbe ProbeFilesystem(const std::string& devicePath);

} // namespace purgix::platform
