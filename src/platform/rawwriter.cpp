#include "platform/rawwriter.h"

#include "platform/blockdev.h"
#include "platform/mounts.h"
#include "platform/syserror.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace purgix::platform {
namespace {

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

bool Contains(const std::vector<dev_t>& devices, dev_t d) {
    return d != 0 && std::find(devices.begin(), devices.end(), d) != devices.end();
}

std::string DevText(dev_t d) {
    return std::to_string(major(d)) + ":" + std::to_string(minor(d));
}

std::string NameOf(dev_t d) {
    const auto info = ProbeBlockDevice(d);
    return info ? "/dev/" + info->kernelName : "device " + DevText(d);
}

dev_t BlockDevOfPath(const std::string& path) {
    struct stat st {};
    if (path.rfind("/dev/", 0) != 0 || ::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        return 0;
    return st.st_rdev;
}

// /proc/swaps escapes blanks in names as \040.
std::string Unescape(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const std::string oct = s.substr(i + 1, 3);
            if (oct.size() == 3 && oct.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::strtol(oct.c_str(), nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

std::string ProcessName(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// Every device of a target whose use blocks writing: the device, and for a whole device its
// partitions.
std::vector<dev_t> DevicesOf(const RawTarget& t, const BlockDeviceInfo& info) {
    std::vector<dev_t> devs{info.rdev};
    if (t.mode == RawMode::WholeDevice)
        for (const std::string& part : PartitionsOf(info.diskName))
            devs.push_back(DevOfKernelName(part));
    return devs;
}

bool Overlaps(std::int64_t a, std::int64_t alen, std::int64_t b, std::int64_t blen) {
    return a < b + blen && b < a + alen;
}

} // namespace

DeviceIdentity CaptureIdentity(const std::string& path, bool& ok) {
    DeviceIdentity id;
    id.path = path;
    const auto info = ProbeBlockDevice(path);
    ok = info.has_value();
    if (!info)
        return id;
    id.rdev = info->rdev;
    id.sizeBytes = info->size * 512;
    id.loopBackingFile = info->loopBackingFile;
    if (info->isPartition) {
        id.partStart = info->start;
        id.partSize = info->size;
    }
    return id;
}

std::string IdentityMismatch(const DeviceIdentity& expected) {
    bool ok = false;
    const DeviceIdentity now = CaptureIdentity(expected.path, ok);
    if (!ok)
        return expected.path + " is no longer a block device";
    if (now.rdev != expected.rdev)
        return expected.path + " is now another device (" + DevText(now.rdev) + " instead of " +
               DevText(expected.rdev) + ")";
    if (now.sizeBytes != expected.sizeBytes)
        return expected.path + " changed its size";
    if (now.loopBackingFile != expected.loopBackingFile)
        return expected.path + " is now attached to another file (" + now.loopBackingFile + ")";
    if (now.partStart != expected.partStart || now.partSize != expected.partSize)
        return expected.path + " now covers another part of its disk";
    return {};
}

std::vector<pid_t> ProcessesHolding(const std::vector<dev_t>& devices) {
    std::vector<pid_t> pids;
    const pid_t self = ::getpid();
    std::unique_ptr<DIR, DirCloser> proc(::opendir("/proc"));
    if (!proc)
        return pids;
    while (const dirent* e = ::readdir(proc.get())) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self)
            continue;
        const std::string fdDir = "/proc/" + std::string(e->d_name) + "/fd";
        std::unique_ptr<DIR, DirCloser> fds(::opendir(fdDir.c_str()));
        if (!fds)
            continue;
        while (const dirent* f = ::readdir(fds.get())) {
            if (f->d_name[0] == '.')
                continue;
            struct stat st {};
            if (::stat((fdDir + "/" + f->d_name).c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
                Contains(devices, st.st_rdev)) {
                pids.push_back(static_cast<pid_t>(pid));
                break;
            }
        }
    }
    return pids;
}

std::vector<std::string> DeviceUsers(const std::vector<dev_t>& devices, bool holders) {
    std::vector<std::string> uses;
    for (const MountEntry& m : ReadMountTable()) {
        if (Contains(devices, m.devno) && major(m.devno) != 0)
            uses.push_back(NameOf(m.devno) + " is mounted at " + m.target);
        else if (const dev_t d = BlockDevOfPath(m.source); Contains(devices, d))
            uses.push_back(NameOf(d) + " is mounted at " + m.target);
    }
    std::ifstream swaps("/proc/swaps");
    std::string line;
    std::getline(swaps, line); // header
    while (std::getline(swaps, line)) {
        const std::string name = Unescape(line.substr(0, line.find_first_of(" \t")));
        if (const dev_t d = BlockDevOfPath(name); Contains(devices, d))
            uses.push_back(NameOf(d) + " is active swap");
    }
    if (holders) {
        for (dev_t d : devices) {
            const auto info = ProbeBlockDevice(d);
            if (!info)
                continue;
            for (const std::string& h : HoldersOf(info->kernelName))
                uses.push_back("/dev/" + info->kernelName + " is held by " + h);
        }
    }
    for (pid_t pid : ProcessesHolding(devices))
        uses.push_back("the device is open in process " + std::to_string(pid) + " (" +
                       ProcessName(pid) + ")");
    return uses;
}

std::string RawDeviceWriter::Check(const RawTarget& t) {
    if (const std::string m = IdentityMismatch(t.identity); !m.empty())
        return m;
    const auto info = ProbeBlockDevice(t.identity.path);
    if (!info)
        return t.identity.path + " is no block device";
    switch (t.mode) {
    case RawMode::WholeDevice:
        if (info->isPartition)
            return t.identity.path + " is a partition, not a whole device";
        break;
    case RawMode::Partition:
        if (!info->isPartition)
            return t.identity.path + " is not a partition";
        break;
    case RawMode::DiskArea: {
        if (info->isPartition)
            return t.identity.path + " is a partition, not a disk";
        if (t.areaOffset < 0 || t.areaLength <= 0 ||
            t.areaOffset + t.areaLength > t.identity.sizeBytes)
            return "the area lies outside the disk " + t.identity.path;
        for (const std::string& part : PartitionsOf(info->diskName)) {
            const auto p = ProbeBlockDevice(DevOfKernelName(part));
            if (p && Overlaps(t.areaOffset, t.areaLength, p->start * 512, p->size * 512))
                return "the area overlaps partition /dev/" + part;
        }
        for (const auto& [start, length] : t.tablePartitions)
            if (Overlaps(t.areaOffset, t.areaLength, start, length))
                return "the area overlaps a partition of the disk's partition table";
        if (const auto h = HoldersOf(info->kernelName); !h.empty())
            return t.identity.path + " is held by " + h.front();
        return {};
    }
    }
    const std::vector<std::string> uses = DeviceUsers(DevicesOf(t, *info), true);
    return uses.empty() ? std::string() : uses.front();
}

std::unique_ptr<RawDeviceWriter> RawDeviceWriter::Open(const RawTarget& target,
                                                       std::string& refusal) {
    refusal = Check(target);
    if (!refusal.empty())
        return nullptr;
    int flags = O_WRONLY | O_DIRECT | O_DSYNC | O_CLOEXEC;
    if (target.mode != RawMode::DiskArea)
        flags |= O_EXCL;
    UniqueFd fd(::open(target.identity.path.c_str(), flags));
    if (!fd) {
        refusal =
            target.identity.path + " cannot be claimed for writing: " + SysErrorMessage(errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != target.identity.rdev) {
        refusal = target.identity.path + " changed while it was opened";
        return nullptr;
    }
    // Keep udev and other well-behaved tools from probing while we write.
    if (target.mode != RawMode::DiskArea && ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        refusal = target.identity.path + " is locked by another program";
        return nullptr;
    }
    const std::int64_t size = DeviceSizeBytes(fd.Get());
    const int sector = platform::LogicalSectorSize(fd.Get());
    if (size != target.identity.sizeBytes || sector <= 0) {
        refusal = target.identity.path + " changed its size";
        return nullptr;
    }
    return std::unique_ptr<RawDeviceWriter>(
        new RawDeviceWriter(target, std::move(fd), size, sector));
}

RawDeviceWriter::RawDeviceWriter(RawTarget target, UniqueFd fd, std::int64_t size, int sectorSize)
    : target_(std::move(target)), fd_(std::move(fd)), size_(size), sectorSize_(sectorSize) {}

int RawDeviceWriter::Seek(std::int64_t position) {
    if (position < 0 || position > size_)
        return EINVAL;
    position_ = position;
    return 0;
}

IoResult RawDeviceWriter::Write(const void* data, std::size_t length) {
    if (!checkedBeforeWrite_) {
        refusal_ = Check(target_);
        if (!refusal_.empty())
            return {0, EBUSY};
        checkedBeforeWrite_ = true;
    }
    const auto len = static_cast<std::int64_t>(length);
    const std::int64_t lo = target_.mode == RawMode::DiskArea ? target_.areaOffset : 0;
    const std::int64_t hi =
        target_.mode == RawMode::DiskArea ? target_.areaOffset + target_.areaLength : size_;
    if (position_ < lo || position_ + len > hi)
        return {0, EPERM};
    for (;;) {
        const ssize_t n = ::pwrite(fd_.Get(), data, length, position_);
        if (n >= 0) {
            position_ += n;
            return {static_cast<std::size_t>(n), 0};
        }
        if (errno != EINTR)
            return {0, errno};
    }
}

int RawDeviceWriter::RereadPartitionTable() {
    if (target_.mode != RawMode::WholeDevice)
        return EINVAL;
    return ::ioctl(fd_.Get(), BLKRRPART) == 0 ? 0 : errno;
}

int RawDeviceWriter::Sync() {
    return ::fsync(fd_.Get()) == 0 ? 0 : errno;
}

} // namespace purgix::platform
