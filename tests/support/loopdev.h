// Loop devices over image files for tests that need real block devices and file systems.
//
// The only way tests reach block devices: the helper attaches loop devices over image files in
// the test's own temporary folder (and refuses any other file), mounts and unmounts only what it
// made, and on every way out unmounts, waits for FUSE daemons to let go, and detaches.
#pragma once

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace purgix::test {

bool IsRoot();
// True when `tool` is found in $PATH.
bool HaveTool(const std::string& tool);

#define PURGIX_REQUIRE_ROOT()                                                                      \
    do {                                                                                           \
        if (!::purgix::test::IsRoot())                                                             \
            GTEST_SKIP() << "needs root for loop devices and mounts";                              \
    } while (0)

#define PURGIX_REQUIRE_TOOL(tool)                                                                  \
    do {                                                                                           \
        if (!::purgix::test::HaveTool(tool))                                                       \
            GTEST_SKIP() << "needs the tool " << (tool)                                            \
                         << " (scripts/install-deps.sh installs it)";                              \
    } while (0)

// Runs a command; throws std::runtime_error with its output when it does not exit 0.
std::string MustRun(const std::vector<std::string>& argv);

// Creates a sparse image file of `bytes` bytes in `dir`; returns its path.
std::string MakeImage(const TempDir& dir, const std::string& name, std::int64_t bytes);

class LoopDevice {
public:
    // Attaches a free loop device over `image`, which must be a regular file inside `dir`.
    // Throws std::runtime_error for any other file or when attaching fails.
    LoopDevice(const TempDir& dir, const std::string& image);
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    // Unmounts what this helper mounted, waits until no other process holds the device, and
    // detaches it.
    ~LoopDevice();

    const std::string& Path() const noexcept { return path_; }
    const std::string& Image() const noexcept { return image_; }
    // The device node of partition n ("/dev/loop3p1").
    std::string Partition(int n) const { return path_ + "p" + std::to_string(n); }
    // Creates the partition devices of the table on the image (the kernel does not parse
    // tables of loop devices here) through BLKPG.
    void AddPartitions();

    // Mounts `device` (this loop device or one of its partitions) at `mountDir` (a folder inside
    // the test's temporary folder, created when missing) with the driver for `type`: "ext4",
    // "xfs", "btrfs" (kernel), "fusefat", "ntfs-3g", "exfat" (FUSE); "fusefat-unnamed" mounts
    // without fsname=, so that the mount table does not name the device. Returns the mount point
    // with a trailing "/".
    std::string Mount(const std::string& device, const std::string& type,
                      const std::string& mountDir);
    // Unmounts a mount made by Mount and waits until no FUSE daemon holds the device.
    void Unmount(const std::string& mountPoint);

    // Waits (up to 10 s) until no other process holds the device or its partitions open.
    void WaitUntilIdle() const;

private:
    std::string dirRoot_;
    std::string image_;
    std::string path_;
    int fd_ = -1;
    struct Mounted {
        std::string device;
        std::string point;
    };
    std::vector<Mounted> mounts_;
};

} // namespace purgix::test
