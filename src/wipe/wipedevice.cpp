// Device and partition wiping (Part 2.4): whole disks and partitions, sector by sector, with
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
// While the passes run, the whole disk carries an exclusive flock (udev does not probe it).
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

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

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
                                  const TDevicePartitionInformation* partition,
                                  std::int64_t offset, std::int64_t length, bool wholeDisk) {
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
        std::unique_ptr<platform::IStreamHandle> wrapped;
        if (FDeviceStreamWrap)
            wrapped = FDeviceStreamWrap(*writer);
        platform::IStreamHandle& stream = wrapped ? *wrapped : *writer;
        written = FAlgo->WriteData(stream, kDeviceWriteBlock, offset, length);
        if (written && writer->Sync() != 0)
            written = false;
        if (!writer->Refusal().empty())
            platform::DebugOutput("WipeDevice: " + writer->Refusal());
        if (wholeDisk)
            RefreshKernelView(*writer);
    }
    FJobsBytesWritten += FCurrentItemWritten;

    std::int32_t result = WIPE_OK;
    if (prepared && written) {
        if (!FCancel)
            LogOK(targetPath + " => succesfully wiped.");
    } else {
        LogError(model + "=> Access denied for device");
        result = WIPE_DEVICE_FAILED;
    }
    return result; // the writer, the disk's flock and the handle close here
}

} // namespace purgix
