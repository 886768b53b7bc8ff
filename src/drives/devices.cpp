#include "drives/devices.h"

#include "platform/text.h"

#include "drives/vwin32.h"
#include "platform/blockdev.h"
#include "platform/debug.h"
#include "platform/diskfacts.h"
#include "platform/fd.h"
#include "platform/mounts.h"
#include "platform/partlayout.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>

namespace purgix {
namespace {

bool IsBlankOrControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7F;
}

std::string Trim(const std::string& s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && IsBlankOrControl(s[b]))
        ++b;
    while (e > b && IsBlankOrControl(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

std::unique_ptr<TDevicePartitionInformation> Area(const TDeviceInfo* device, std::int64_t start,
                                                  std::int64_t length) {
    auto area = std::make_unique<TDevicePartitionInformation>(device);
    area->SetStartingOffset(start);
    area->SetLen(length);
    return area;
}

} // namespace

void SortPartitions(TPartitionList& entries) {
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a->StartingOffset() < b->StartingOffset();
    });
}

void FillUnpartitionedAreas(TPartitionList& entries, std::int64_t scanStart, std::int64_t capacity,
                            const TDeviceInfo* device) {
    SortPartitions(entries);
    // The scan position only moves forward: a nested or overlapping entry that ends before an
    // earlier one must not open a gap inside that earlier entry.
    std::int64_t scan = scanStart;
    TPartitionList areas;
    for (const auto& e : entries) {
        if (e->StartingOffset() > scan)
            areas.push_back(Area(device, scan, e->StartingOffset() - scan));
        scan = std::max(scan, e->StartingOffset() + e->Len());
    }
    if (scan < capacity)
        areas.push_back(Area(device, scan, capacity - scan));
    for (auto& a : areas)
        entries.push_back(std::move(a));
    SortPartitions(entries);
}

std::string DecodeDiskSerial(const std::string& serial) {
    std::string decoded;
    for (std::size_t i = 0; i + 1 < serial.size(); i += 2) {
        const int hi = platform::HexDigit(serial[i]);
        const int lo = platform::HexDigit(serial[i + 1]);
        decoded += (hi < 0 || lo < 0) ? ' ' : static_cast<char>(hi * 16 + lo);
    }
    decoded = Trim(decoded);
    for (std::size_t i = 0; i + 1 < decoded.size(); i += 2)
        std::swap(decoded[i], decoded[i + 1]);
    return Trim(decoded);
}

TDeviceInfo::TDeviceInfo(int number, bool extendedInfos) {
    Build(number, extendedInfos, platform::ListDiskKernelNames());
}

TDeviceInfo::TDeviceInfo(int number, bool extendedInfos, const std::vector<std::string>& disks) {
    Build(number, extendedInfos, disks);
}

const TDevicePartitionInformation* TDeviceInfo::GetPartition(int index) const noexcept {
    return index >= 0 && index < PartitionCount() ? FPartitions[index].get() : nullptr;
}

void TDeviceInfo::Build(int number, bool extendedInfos, const std::vector<std::string>& disks) {
    FValid = false;
    FDeviceNumber = number;
    if (number < 0 || number >= static_cast<int>(disks.size()))
        return;
    const std::string kernelName = disks[number];
    FDeviceName = "/dev/" + kernelName;

    platform::UniqueFd fd(::open(FDeviceName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return;
    struct stat st {};
    bool ok = false;
    FIdentity = platform::CaptureIdentity(FDeviceName, ok);
    if (!ok || ::fstat(fd.Get(), &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != FIdentity.rdev)
        return; // the name no longer leads to the listed disk

    // Flash rule: a removable USB device, an SD or MMC card; true when the bus cannot be asked.
    const auto info = platform::ProbeBlockDevice(FDeviceName);
    const platform::DiskFacts facts = platform::ReadDiskFacts(kernelName, st.st_rdev);
    FIsFlashDrive =
        !info || (facts.bus == "usb" && info->removable) || facts.bus == "mmc" || facts.bus == "sd";

    const std::int64_t size = platform::DeviceSizeBytes(fd.Get());
    const int sector = platform::LogicalSectorSize(fd.Get());
    if (size <= 0 || sector <= 0)
        return;
    FGeometry.DiskSize = size;
    FGeometry.BytesPerSector = static_cast<std::uint32_t>(sector);
    FGeometry.MediaType = info && info->removable ? RemovableMedia : FixedMedia;
    FGeometry.TracksPerCylinder = 255;
    FGeometry.SectorsPerTrack = 63;
    FGeometry.Cylinders = size / (255LL * 63 * sector);

    FValid = true;
    platform::DebugOutput("GetDeviceInfos");
    if (extendedInfos) {
        FModelName = facts.model;
        FFirmware = facts.firmware;
        FSerial = facts.serial; // plain text from udev and sysfs: not hex-encoded
    }
    platform::DebugOutput("GetDeviceInfos fertig");

    const auto table = platform::ReadPartitionTable(fd.Get());
    platform::DebugOutput("ERzeuge Paritionsabbild");
    const bool gpt = table && table->type == "gpt";
    if (table) {
        FTableType = table->type;
        // The kernel's partitions of this disk, to give each entry its device and identity.
        std::vector<platform::BlockDeviceInfo> kernelParts;
        for (const std::string& name : platform::PartitionsOf(kernelName))
            if (auto p = platform::ProbeBlockDevice("/dev/" + name))
                kernelParts.push_back(*p);
        for (const platform::TablePartition& p : table->partitions) {
            FTablePartitions.emplace_back(p.startBytes, p.sizeBytes);
            // Labels nested inside a partition (BSD, Solaris, ...) describe that partition's
            // inside, not the disk: their entries carry no MBR type byte or GPT type GUID.
            if (p.tableType != table->type)
                continue;
            auto e = std::make_unique<TDevicePartitionInformation>(this);
            e->SetValid(true);
            e->SetNumber(static_cast<std::uint32_t>(p.number));
            e->SetLen(p.sizeBytes);
            e->SetStartingOffset(p.startBytes);
            if (table->type == "dos") {
                // Empty slots and containers are dropped: a container would lie over its own
                // logical partitions, which come as entries of their own.
                if (p.mbrType == 0 || p.extended || p.mbrType == 0x05 || p.mbrType == 0x0F ||
                    p.mbrType == 0x85)
                    continue;
                e->SetPartitionStyle(PARTITION_STYLE_MBR);
                e->SetPartitionType(static_cast<std::uint16_t>(p.mbrType));
            } else if (gpt) {
                if (p.gptTypeGuid.empty() ||
                    p.gptTypeGuid == "{00000000-0000-0000-0000-000000000000}")
                    continue;
                e->SetPartitionStyle(PARTITION_STYLE_GPT);
                e->SetPartitionTypeGUID(p.gptTypeGuid);
            } else {
                continue; // other table kinds are not listed
            }
            for (const platform::BlockDeviceInfo& k : kernelParts) {
                if (k.partitionNumber == p.number && k.start * 512 == p.startBytes &&
                    k.size * 512 == p.sizeBytes) {
                    bool captured = false;
                    auto id = platform::CaptureIdentity(k.path, captured);
                    if (captured)
                        e->SetIdentity(std::move(id));
                }
            }
            FPartitions.push_back(std::move(e));
        }
    }

    if (extendedInfos)
        UpdateDriveLetters();

    fd.Reset();
    // The first sector of an MBR disk holds its table and is never part of an area; a GPT disk's
    // protective MBR and headers are. A disk without a readable table has nothing to protect.
    const std::int64_t scanStart = table && !gpt ? sector : 0;
    FCapacity = FGeometry.DiskSize;
    FillUnpartitionedAreas(FPartitions, scanStart, FCapacity, this);
}

void TDeviceInfo::UpdateDriveLetters() {
    platform::DebugOutput("UpdateDriveLetters");
    // Volumes by device number: the mount table names devices by path, FUSE mounts included.
    std::vector<std::pair<dev_t, std::string>> mounted;
    for (const platform::VolumeMount& v : platform::ListVolumes()) {
        struct stat st {};
        if (::stat(v.device.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
            mounted.emplace_back(st.st_rdev, v.mountPoint);
    }
    for (auto& e : FPartitions) {
        if (!e->Valid())
            continue;
        std::string point;
        if (!e->DevicePath().empty())
            for (const auto& [dev, mp] : mounted)
                if (dev == e->Identity().rdev && point.empty())
                    point = mp;
        e->SetDriveLetter(point);
    }
    platform::DebugOutput("UpdateDriveLetters fertig");
}

std::vector<std::unique_ptr<TDeviceInfo>> ListDeviceInfos(bool extendedInfos) {
    const std::vector<std::string> disks = platform::ListDiskKernelNames();
    std::vector<std::unique_ptr<TDeviceInfo>> result;
    for (int n = 0; n < static_cast<int>(disks.size()); ++n) {
        auto d = std::make_unique<TDeviceInfo>(n, extendedInfos, disks);
        if (d->Valid())
            result.push_back(std::move(d));
    }
    return result;
}

std::string PartitionCaption(const TDevicePartitionInformation& entry) {
    if (!entry.Valid())
        return "(unpartitioned area)";
    if (!entry.DriveLetter().empty())
        return "Drive " + entry.DriveLetter();
    std::string typeText;
    if (entry.PartitionStyle() == PARTITION_STYLE_MBR) {
        typeText =
            "(" + GetPartitionTypeName(static_cast<std::uint8_t>(entry.PartitionType())) + ")";
    } else {
        std::string guid = entry.PartitionTypeGUID();
        for (char& c : guid)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (guid != "{EBD0A0A2-B9E5-4433-87C0-68B6B72699C7}")
            typeText = "(EFI/GPT System Partition)";
    }
    return "Partition " + std::to_string(entry.Number()) + " " + typeText;
}

} // namespace purgix
