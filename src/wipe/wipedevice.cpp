// Device and partition wiping: whole disks and partitions, sector by sector, with
// every pass of the method, through the raw writer.
//
// Preparation on Linux:
// - whole disk: DeleteDriveLayout claims the disk exclusively and erases its table; when the
//   claim fails (a partition is mounted, ...) every partition of the disk is unmounted and
//   claimed in turn (LockVolume with dismount), then the disk itself, and only then the writer
//   claims it for the passes;
// - partition with a mount point: LockVolume with dismount on its own device;
// - partition without one: its own device, claimed exclusively (LockVolume without dismount).
// A partition is always written through its own device from byte 0: it covers exactly the
// partition's bytes and can be claimed while another partition of the disk is in use.
// An unpartitioned area is written through the disk's device at its offset (the raw writer's
// area mode), every pass over the whole area except the disk's own table structures inside it
// (protective MBR, GPT headers and entry arrays, extended boot records), which stay as they are.
// While the passes run, the whole disk carries an exclusive flock (udev does not probe it).
// After a successful, uncancelled whole-disk wipe with AutoCreatePartition a fresh table follows.
#include "wipe/wipelibfuncs.h"

#include "drives/devices.h"
#include "drives/vwin32.h"
#include "platform/aligned_buffer.h"
#include "platform/blockdev.h"
#include "platform/debug.h"
#include "platform/fd.h"
#include "platform/partlayout.h"
#include "platform/rawwriter.h"
#include "platform/syserror.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace purgix {
namespace {

using platform::RawDeviceWriter;
using platform::RawMode;
using platform::RawTarget;
using platform::UniqueFd;

// Opens the device of `id` read-only by its path; invalid when it is no longer the device that
// was listed.
UniqueFd OpenListed(const platform::DeviceIdentity& id) {
    if (id.path.empty() || !platform::IdentityMismatch(id).empty())
        return {};
    UniqueFd fd(::open(id.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != id.rdev)
        return {};
    return fd;
}

// An exclusive flock on the whole disk `path`, waited for up to 5 s (udev's probes hold a
// shared one for a moment); invalid when it cannot be had.
UniqueFd LockWholeDisk(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return {};
    for (int i = 0; i < 100; ++i) {
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0)
            return fd;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {};
}

// Unmounts and claims every partition of the disk, then the disk itself (LockVolume with
// dismount); the claims are given up again, so that the writer can take the disk. True when
// everything could be claimed.
bool DismountDisk(int& diskHandle) {
    struct stat st {};
    if (::fstat(diskHandle, &st) != 0)
        return false;
    const auto info = platform::ProbeBlockDevice(st.st_rdev);
    if (!info)
        return false;
    for (const std::string& part : platform::PartitionsOf(info->diskName)) {
        int handle = ::open(("/dev/" + part).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (handle < 0)
            return false;
        const bool claimed = LockVolume(handle, true);
        ::close(handle);
        if (!claimed)
            return false;
    }
    return LockVolume(diskHandle, true);
}

// After a whole-disk wipe: the kernel's partitions in line with whatever table the disk holds
// now (usually none).
void RefreshKernelView(RawDeviceWriter& disk) {
    disk.Sync();
    disk.RereadPartitionTable();
    const std::string& path = disk.Target().identity.path;
    platform::PartitionTable table;
    if (UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)); fd)
        if (auto t = platform::ReadPartitionTable(fd.Get()))
            table = std::move(*t);
    if (const std::string failure = platform::SyncKernelPartitions(path, table); !failure.empty())
        platform::DebugOutput("WipeDevice: " + failure);
}

using Range = std::pair<std::int64_t, std::int64_t>; // start, length in bytes

std::uint64_t LE(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

bool ReadAt(int fd, std::int64_t offset, std::vector<std::uint8_t>& buf) {
    std::size_t got = 0;
    while (got < buf.size()) {
        const ssize_t n = ::pread(fd, buf.data() + got, buf.size() - got,
                                  static_cast<off_t>(offset + static_cast<std::int64_t>(got)));
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// The byte ranges of the disk's own partition-table structures: sector 0 (MBR or protective
// MBR); on GPT both headers and both entry arrays (size from the header: entry count x entry
// size); on MBR the extended boot record in front of every logical partition.
std::vector<Range> TableStructures(int fd, std::int64_t size, std::int64_t sector) {
    std::vector<Range> out{{0, sector}};
    std::vector<std::uint8_t> s(static_cast<std::size_t>(sector));
    const std::int64_t lastLba = size / sector - 1;
    const auto entriesOf = [&](const std::uint8_t* h) -> std::int64_t {
        const std::uint64_t bytes = LE(h + 80, 4) * LE(h + 84, 4);
        return static_cast<std::int64_t>(std::min<std::uint64_t>(bytes, 16u << 20) +
                                         static_cast<std::uint64_t>(sector) - 1) /
               sector; // sectors
    };
    if (ReadAt(fd, sector, s) && std::memcmp(s.data(), "EFI PART", 8) == 0) {
        out.push_back({sector, sector});
        const std::int64_t entryLba = static_cast<std::int64_t>(LE(s.data() + 72, 8));
        const std::int64_t entrySectors = entriesOf(s.data());
        out.push_back({entryLba * sector, entrySectors * sector});
        std::int64_t alt = static_cast<std::int64_t>(LE(s.data() + 32, 8));
        if (alt <= 1 || alt > lastLba)
            alt = lastLba;
        out.push_back({alt * sector, sector});
        std::vector<std::uint8_t> b(static_cast<std::size_t>(sector));
        if (ReadAt(fd, alt * sector, b) && std::memcmp(b.data(), "EFI PART", 8) == 0)
            out.push_back({static_cast<std::int64_t>(LE(b.data() + 72, 8)) * sector,
                           entriesOf(b.data()) * sector});
        else
            out.push_back({(alt - entrySectors) * sector, entrySectors * sector});
        return out;
    }
    if (!ReadAt(fd, 0, s) || s[510] != 0x55 || s[511] != 0xAA)
        return out;
    const auto extended = [](unsigned t) { return t == 0x05 || t == 0x0F || t == 0x85; };
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t* e = s.data() + 446 + 16 * i;
        if (!extended(e[4]))
            continue;
        const std::int64_t extStart = static_cast<std::int64_t>(LE(e + 8, 4));
        std::int64_t ebr = extStart;
        std::vector<std::uint8_t> r(static_cast<std::size_t>(sector));
        for (int n = 0; n < 256 && ebr > 0 && ebr <= lastLba; ++n) {
            out.push_back({ebr * sector, sector});
            if (!ReadAt(fd, ebr * sector, r) || r[510] != 0x55 || r[511] != 0xAA)
                break;
            const std::uint8_t* next = r.data() + 446 + 16;
            if (!extended(next[4]) || LE(next + 8, 4) == 0)
                break;
            ebr = extStart + static_cast<std::int64_t>(LE(next + 8, 4));
        }
    }
    return out;
}

// Writes through `inner` everything but the protected ranges, which stay as they are; the
// bytes of the pattern keep their places, as if the whole range had been written.
class SkippingStream final : public platform::IStreamHandle {
public:
    SkippingStream(platform::IStreamHandle& inner, std::vector<Range> skip)
        : inner_(inner), skip_(std::move(skip)) {
        std::sort(skip_.begin(), skip_.end());
    }
    int Seek(std::int64_t position) override {
        position_ = position;
        return 0;
    }
    platform::IoResult Write(const void* data, std::size_t length) override {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        const std::int64_t end = position_ + static_cast<std::int64_t>(length);
        std::int64_t at = position_;
        while (at < end) {
            std::int64_t pieceEnd = end;
            bool skipped = false;
            for (const auto& [start, len] : skip_) {
                if (at >= start && at < start + len) {
                    at = std::min(end, start + len);
                    skipped = true;
                    break;
                }
                if (start > at && start < pieceEnd)
                    pieceEnd = start;
            }
            if (skipped)
                continue;
            if (const int e = inner_.Seek(at); e != 0)
                return {0, e};
            while (at < pieceEnd) {
                const platform::IoResult r =
                    inner_.Write(bytes + (at - position_), static_cast<std::size_t>(pieceEnd - at));
                if (!r.Ok() || r.bytes == 0)
                    return {0, r.Ok() ? EIO : r.error};
                at += static_cast<std::int64_t>(r.bytes);
            }
        }
        position_ = end;
        return {length, 0};
    }

private:
    platform::IStreamHandle& inner_;
    std::vector<Range> skip_;
    std::int64_t position_ = 0;
};

} // namespace

bool DeleteDriveLayout(const RawTarget& disk, std::unique_ptr<RawDeviceWriter>& claim) {
    claim.reset();
    if (disk.mode != RawMode::WholeDevice)
        return false;
    std::string refusal;
    auto writer = RawDeviceWriter::Open(disk, refusal);
    if (!writer) {
        platform::DebugOutput("DeleteDriveLayout: " + refusal);
        return false;
    }
    const auto sector = static_cast<std::int64_t>(writer->LogicalSectorSize());
    const std::int64_t size = writer->Size();
    if (size < 3 * sector)
        return false;
    platform::AlignedBuffer zeros(static_cast<std::size_t>(2 * sector));
    std::memset(zeros.Data(), 0, zeros.Size());
    // Sector 0 (MBR, protective MBR) with sector 1 (primary GPT header); the last sector
    // (backup GPT header).
    const std::pair<std::int64_t, std::int64_t> spans[] = {{0, 2 * sector},
                                                           {size - sector, sector}};
    for (const auto& [offset, length] : spans) {
        if (writer->Seek(offset) != 0)
            return false;
        const platform::IoResult r = writer->Write(zeros.Data(), static_cast<std::size_t>(length));
        if (!r.Ok() || static_cast<std::int64_t>(r.bytes) != length) {
            platform::DebugOutput("DeleteDriveLayout: " + (writer->Refusal().empty()
                                                               ? platform::SysErrorMessage(r.error)
                                                               : writer->Refusal()));
            return false;
        }
    }
    if (const int e = writer->Sync(); e != 0) {
        platform::DebugOutput("DeleteDriveLayout: " + platform::SysErrorMessage(e));
        return false;
    }
    writer->RereadPartitionTable();
    if (const std::string failure =
            platform::SyncKernelPartitions(disk.identity.path, platform::PartitionTable{});
        !failure.empty()) {
        platform::DebugOutput("DeleteDriveLayout: " + failure);
        return false;
    }
    claim = std::move(writer);
    return true;
}

std::int32_t TKLWiper::ExecuteDeviceJob() {
    std::int32_t result = WIPE_OK;
    if (FWipeType == wt_device) {
        for (const TDeviceInfo* disk : FDevices) {
            const std::int32_t r = WipeDevice(*disk, nullptr, 0, disk->Capacity(), true);
            if (result == WIPE_OK)
                result = r;
            if (FCancel || r == WIPE_CANCELLED) {
                LogError(disk->Modelname() + " (Aborted by user)");
                break;
            }
        }
        return result;
    }
    for (const TDevicePartitionInformation* p : FPartitions) {
        const std::int32_t r =
            p->Device() == nullptr
                ? WIPE_FAILED
                : WipeDevice(*p->Device(), p, p->StartingOffset(), p->Len(), false);
        if (result == WIPE_OK)
            result = r;
        if (FCancel || r == WIPE_CANCELLED) {
            char line[64];
            std::snprintf(line, sizeof line, " Partition %u => (aborted by user)", p->Number());
            LogError((p->Device() ? p->Device()->Modelname() : std::string()) + line);
            break;
        }
    }
    return result;
}

std::int32_t TKLWiper::WipeDevice(const TDeviceInfo& disk,
                                  const TDevicePartitionInformation* partition, std::int64_t offset,
                                  std::int64_t length, bool wholeDisk) {
    const std::string& model = disk.Modelname();
    FLastProgressTick = 0;
    FCurrentStage = STAGE_DEVICE;
    FCurrentItemWritten = 0;
    InstallProgressRelay();

    // The target: the disk, or the partition's own device from its byte 0.
    RawTarget target;
    if (wholeDisk) {
        target.mode = RawMode::WholeDevice;
        target.identity = disk.Identity();
    } else if (partition != nullptr && partition->Valid()) {
        target.mode = RawMode::Partition;
        target.identity = partition->Identity();
        offset = 0;
    } else if (partition != nullptr) {
        // An unpartitioned area: through the disk's device at the area's offset.
        target.mode = RawMode::DiskArea;
        target.identity = disk.Identity();
        target.areaOffset = offset;
        target.areaLength = length;
        target.tablePartitions = disk.TablePartitions();
    }
    const std::string targetPath = target.identity.path;
    UniqueFd handle = OpenListed(target.identity);
    if (!handle || FAlgo == nullptr) {
        LogError(model + " => Could not get exclusive lock for drive");
        return WIPE_FAILED;
    }

    // Prepare; nothing is written before this succeeded.
    std::unique_ptr<RawDeviceWriter> writer;
    UniqueFd diskLock;
    bool prepared = false;
    std::string refusal;
    std::vector<Range> skip; // areas: the table structures inside the area
    if (wholeDisk) {
        prepared = DeleteDriveLayout(target, writer);
        if (!prepared && !writer) {
            int h = handle.Release();
            prepared = DismountDisk(h);
            handle.Reset(h);
            if (prepared) {
                handle.Reset(); // give up LockVolume's claim: the writer claims the disk now
                writer = RawDeviceWriter::Open(target, refusal);
                prepared = writer != nullptr;
            }
        }
    } else if (target.mode == RawMode::DiskArea) {
        // The table as it is now counts as well as the one that was listed.
        if (auto now = platform::ReadPartitionTable(handle.Get()))
            for (const platform::TablePartition& p : now->partitions)
                target.tablePartitions.push_back({p.startBytes, p.sizeBytes});
        diskLock = LockWholeDisk(disk.DeviceName());
        if (diskLock)
            writer = RawDeviceWriter::Open(target, refusal);
        prepared = diskLock && writer != nullptr;
        if (prepared)
            skip = TableStructures(handle.Get(), writer->Size(), writer->LogicalSectorSize());
    } else {
        int h = handle.Release();
        prepared = LockVolume(h, !partition->DriveLetter().empty());
        handle.Reset(h);
        if (prepared) {
            handle.Reset();
            diskLock = LockWholeDisk(disk.DeviceName());
            if (diskLock)
                writer = RawDeviceWriter::Open(target, refusal);
            prepared = diskLock && writer != nullptr;
        }
    }
    if (!refusal.empty())
        platform::DebugOutput("WipeDevice: " + refusal);

    bool written = false;
    if (prepared) {
        std::unique_ptr<SkippingStream> skipping;
        if (!skip.empty())
            skipping = std::make_unique<SkippingStream>(*writer, skip);
        platform::IStreamHandle& device =
            skipping ? static_cast<platform::IStreamHandle&>(*skipping) : *writer;
        std::unique_ptr<platform::IStreamHandle> wrapped;
        if (FDeviceStreamWrap)
            wrapped = FDeviceStreamWrap(device);
        platform::IStreamHandle& stream = wrapped ? *wrapped : device;
        written = FAlgo->WriteData(stream, kDeviceWriteBlock, offset, length);
        if (written && writer->Sync() != 0)
            written = false;
        if (!writer->Refusal().empty())
            platform::DebugOutput("WipeDevice: " + writer->Refusal());
    }
    FJobsBytesWritten += FCurrentItemWritten;

    std::int32_t result = WIPE_OK;
    if (prepared && written) {
        if (!FCancel)
            LogOK(targetPath + " => succesfully wiped.");
        // A fresh table only after a successful, uncancelled whole-disk wipe.
        if (wholeDisk && !FCancel && FAutoCreatePartition) {
            if (CreateWholeDiskPartition(*writer))
                LogOK(model + "=> Drive has sucessfully been partitioned");
            else
                LogError(model + "=> Drive could not be partitioned");
        } else if (wholeDisk) {
            RefreshKernelView(*writer);
        }
    } else {
        if (wholeDisk && prepared)
            RefreshKernelView(*writer);
        LogError(model + "=> Access denied for device");
        result = WIPE_DEVICE_FAILED;
    }
    return result; // the writer, the disk's flock and the handle close here
}

} // namespace purgix
