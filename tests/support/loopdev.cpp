#include "support/loopdev.h"

#include "platform/blockdev.h"
#include "platform/rawwriter.h"
#include "support/process.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace purgix::test {
namespace {

std::string RealPath(const std::string& p) {
    char buf[PATH_MAX];
    if (::realpath(p.c_str(), buf) == nullptr)
        return {};
    return buf;
}

std::vector<dev_t> DevicesOf(const std::string& path) {
    std::vector<dev_t> devs;
    const auto info = platform::ProbeBlockDevice(path);
    if (!info)
        return devs;
    devs.push_back(info->rdev);
    for (const std::string& p : platform::PartitionsOf(info->kernelName))
        devs.push_back(platform::DevOfKernelName(p));
    return devs;
}

} // namespace

bool IsRoot() {
    return ::geteuid() == 0;
}

bool HaveTool(const std::string& tool) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const auto colon = dirs.find(':', start);
        const std::string dir =
            dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!dir.empty() && ::access((dir + "/" + tool).c_str(), X_OK) == 0)
            return true;
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return false;
}

std::string MustRun(const std::vector<std::string>& argv) {
    std::vector<std::string> args = argv;
    if (!args.empty() && args[0].find('/') == std::string::npos) {
        for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"})
            if (::access((dir + args[0]).c_str(), X_OK) == 0) {
                args[0] = dir + args[0];
                break;
            }
    }
    const ProcessResult r = RunProcess(args);
    if (r.exitCode != 0) {
        std::string cmd;
        for (const auto& a : argv)
            cmd += a + " ";
        throw std::runtime_error("command failed (" + std::to_string(r.exitCode) + "): " + cmd +
                                 "\n" + r.out + r.err);
    }
    return r.out;
}

std::string MakeImage(const TempDir& dir, const std::string& name, std::int64_t bytes) {
    const std::string path = dir.File(name);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::ftruncate(fd, bytes) != 0) {
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("cannot create image " + path);
    }
    ::close(fd);
    return path;
}

LoopDevice::LoopDevice(const TempDir& dir, const std::string& image) {
    dirRoot_ = RealPath(dir.Path());
    image_ = RealPath(image);
    struct stat st {};
    if (dirRoot_.empty() || image_.empty() || image_.rfind(dirRoot_ + "/", 0) != 0 ||
        ::lstat(image_.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw std::runtime_error("refusing to attach " + image +
                                 ": only regular image files inside the test's folder");
    const int file = ::open(image_.c_str(), O_RDWR | O_CLOEXEC);
    const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (file < 0 || control < 0) {
        if (file >= 0)
            ::close(file);
        if (control >= 0)
            ::close(control);
        throw std::runtime_error("cannot open the image or /dev/loop-control");
    }
    for (int attempt = 0; attempt < 20 && fd_ < 0; ++attempt) {
        const int n = ::ioctl(control, LOOP_CTL_GET_FREE);
        if (n < 0)
            break;
        const std::string path = "/dev/loop" + std::to_string(n);
        const int loop = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (loop < 0)
            continue;
        if (::ioctl(loop, LOOP_SET_FD, file) != 0) {
            ::close(loop); // taken by someone else in between: try the next one
            continue;
        }
        // Detach by itself should this process die with the device idle.
        loop_info64 info{};
        info.lo_flags = LO_FLAGS_AUTOCLEAR;
        std::strncpy(reinterpret_cast<char*>(info.lo_file_name), image_.c_str(), LO_NAME_SIZE - 1);
        ::ioctl(loop, LOOP_SET_STATUS64, &info);
        fd_ = loop;
        path_ = path;
    }
    ::close(file);
    ::close(control);
    if (fd_ < 0)
        throw std::runtime_error("no free loop device for " + image_);
}

LoopDevice::~LoopDevice() {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
        for (int i = 0; i < 50 && ::umount2(it->point.c_str(), 0) != 0 && errno == EBUSY; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    mounts_.clear();
    WaitUntilIdle();
    if (fd_ >= 0) {
        ::ioctl(fd_, LOOP_CLR_FD, 0);
        ::close(fd_);
    }
}

void LoopDevice::AddPartitions() {
    // Drop stale partitions first, then add the ones of the table on the image.
    try {
        MustRun({"partx", "-d", path_});
    } catch (const std::runtime_error&) {
        // none to drop
    }
    MustRun({"partx", "-a", path_});
}

std::string LoopDevice::Mount(const std::string& device, const std::string& type,
                              const std::string& mountDir) {
    const std::string dir =
        mountDir.back() == '/' ? mountDir.substr(0, mountDir.size() - 1) : mountDir;
    std::filesystem::create_directories(dir);
    const std::string real = RealPath(dir);
    if (real.rfind(dirRoot_ + "/", 0) != 0)
        throw std::runtime_error("refusing to mount outside the test's folder: " + dir);
    if (device != path_ && device.rfind(path_ + "p", 0) != 0)
        throw std::runtime_error("refusing to mount a device this helper did not attach");
    if (type == "ext4" || type == "xfs" || type == "btrfs") {
        if (::mount(device.c_str(), real.c_str(), type.c_str(), 0, nullptr) != 0)
            throw std::runtime_error("mount " + device + ": " + std::strerror(errno));
    } else if (type == "fusefat") {
        MustRun({"fusefat", "-o", "rw+,fsname=" + device, device, real});
    } else if (type == "fusefat-unnamed") {
        // As a user might mount it: the mount table then names no device at all.
        MustRun({"fusefat", "-o", "rw+", device, real});
    } else if (type == "ntfs-3g") {
        MustRun({"ntfs-3g", device, real});
    } else if (type == "exfat") {
        MustRun({"mount.exfat-fuse", device, real});
    } else {
        throw std::runtime_error("unknown file system driver " + type);
    }
    mounts_.push_back({device, real});
    return real + "/";
}

void LoopDevice::Unmount(const std::string& mountPoint) {
    std::string point = RealPath(mountPoint);
    for (auto it = mounts_.begin(); it != mounts_.end(); ++it) {
        if (it->point != point)
            continue;
        for (int i = 0; i < 50; ++i) {
            if (::umount2(point.c_str(), 0) == 0)
                break;
            if (errno != EBUSY)
                throw std::runtime_error("umount " + point + ": " + std::strerror(errno));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        const std::string device = it->device;
        mounts_.erase(it);
        WaitUntilIdle();
        // A FUSE driver writes through the device's page cache, which reaches the image only
        // when the cache is flushed: flush it, so that a test reading the image sees every write.
        const int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
        return;
    }
    throw std::runtime_error("not mounted by this helper: " + mountPoint);
}

void LoopDevice::WaitUntilIdle() const {
    const std::vector<dev_t> devs = DevicesOf(path_);
    for (int i = 0; i < 200; ++i) {
        if (platform::ProcessesHolding(devs).empty())
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

} // namespace purgix::test
