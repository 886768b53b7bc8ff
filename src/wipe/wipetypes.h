// Types shared by the wipe engine and the modules it drives (the log among them).
#pragma once

#include <cstdint>

namespace purgix {

// Kind of one wipe job.
enum TWipeType : std::int32_t {
    wt_device = 0,     // whole physical disks
    wt_partitions = 1, // partitions
    wt_file = 2,       // files and folders
    wt_freespace = 3,  // free space of volumes
};

} // namespace purgix
