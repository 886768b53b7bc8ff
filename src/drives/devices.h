// Snapshots of physical disks: geometry, model, serial, and a list of entries that covers the
// whole disk, the partitions of its table and every stretch no partition covers.
//
// A disk is addressed by its number N, its index in the list of whole-disk block devices sorted
// by kernel name. N is only a position in that list and shifts when a device comes or goes: a
// snapshot keeps the device path and the identity of each device, and whatever writes later
// opens the path and checks the identity, never the number.
#pragma once

#include "platform/rawwriter.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace purgix {

// Style of a layout entry; the ordinals are those of the Windows partition style.
enum TPartitionStyle : std::int32_t {
    PARTITION_STYLE_MBR = 0,
    PARTITION_STYLE_GPT = 1,
    PARTITION_STYLE_RAW = 2,
};

// Media types of the disk geometry.
inline constexpr std::int32_t RemovableMedia = 11;
inline constexpr std::int32_t FixedMedia = 12;

// Disk geometry as the Windows geometry record holds it. Cylinders, tracks per cylinder and
// sectors per track are the usual translation (255 heads, 63 sectors); Linux knows only the size
// and the logical sector size.
struct TDiskGeometry {
    std::int64_t Cylinders = 0;
    std::int32_t MediaType = 0;
    std::uint32_t TracksPerCylinder = 0;
    std::uint32_t SectorsPerTrack = 0;
    std::uint32_t BytesPerSector = 0;
    std::int64_t DiskSize = 0;
};

class TDeviceInfo;

// One entry of a disk: a partition of its table (Valid) or an unpartitioned area (not Valid,
// Number 0, style MBR, type 0).
class TDevicePartitionInformation {
public:
    explicit TDevicePartitionInformation(const TDeviceInfo* device) noexcept : FDevice(device) {}

    std::int64_t StartingOffset() const noexcept { return FStartingOffset; }
    void SetStartingOffset(std::int64_t v) noexcept { FStartingOffset = v; }
    std::int64_t Len() const noexcept { return FLen; }
    void SetLen(std::int64_t v) noexcept { FLen = v; }
    std::uint32_t Number() const noexcept { return FNumber; }
    void SetNumber(std::uint32_t v) noexcept { FNumber = v; }
    TPartitionStyle PartitionStyle() const noexcept { return FPartitionStyle; }
    void SetPartitionStyle(TPartitionStyle v) noexcept { FPartitionStyle = v; }
    // The mount point of the volume on this partition (with trailing "/"); empty when none.
    const std::string& DriveLetter() const noexcept { return FDriveLetter; }
    void SetDriveLetter(std::string v) { FDriveLetter = std::move(v); }
    bool Valid() const noexcept { return FValid; }
    void SetValid(bool v) noexcept { FValid = v; }
    // GPT partition type GUID, braced upper case; empty otherwise.
    const std::string& PartitionTypeGUID() const noexcept { return FpartitionGUID; }
    void SetPartitionTypeGUID(std::string v) { FpartitionGUID = std::move(v); }
    // MBR partition type byte; 0 for GPT entries and unpartitioned areas.
    std::uint16_t PartitionType() const noexcept { return FPartitionType; }
    void SetPartitionType(std::uint16_t v) noexcept { FPartitionType = v; }
    const TDeviceInfo* Device() const noexcept { return FDevice; }

    // The kernel's partition device of this entry ("/dev/sdb2") and its identity when it was
    // listed; empty path when the kernel shows no partition with this number, start and size.
    const std::string& DevicePath() const noexcept { return FIdentity.path; }
    const platform::DeviceIdentity& Identity() const noexcept { return FIdentity; }
    void SetIdentity(platform::DeviceIdentity v) { FIdentity = std::move(v); }

private:
    std::int64_t FStartingOffset = 0;
    std::uint32_t FNumber = 0;
    std::int64_t FLen = 0;
    TPartitionStyle FPartitionStyle = PARTITION_STYLE_MBR;
    std::string FDriveLetter;
    bool FValid = false;
    const TDeviceInfo* FDevice = nullptr;
    std::string FpartitionGUID;
    std::uint16_t FPartitionType = 0;
    platform::DeviceIdentity FIdentity;
};

using TPartitionList = std::vector<std::unique_ptr<TDevicePartitionInformation>>;

// Orders the entries by StartingOffset.
void SortPartitions(TPartitionList& entries);

// Sorts the entries and adds an unpartitioned area (belonging to `device`) for every stretch
// between `scanStart` and `capacity` that no entry covers. Entries may overlap or nest (an
// entry inside another moves the scan position no further back); an area is never laid over any
// part of an entry.
void FillUnpartitionedAreas(TPartitionList& entries, std::int64_t scanStart, std::int64_t capacity,
                            const TDeviceInfo* device);

// One physical disk, a snapshot taken in the constructor.
//
// Built in this order: the device is opened read-only; the flash rule; the geometry (size,
// logical sector size, media type); Valid; model, firmware and serial (with ExtendedInfos); the
// layout through libblkid; the entries, sorted, with the unpartitioned areas filled in; the mount
// points of the partitions (with ExtendedInfos). An MBR disk's areas start after its first
// sector, a GPT disk's at byte 0, and a disk without a readable table is one area from byte 0.
class TDeviceInfo {
public:
    // Disk number `number` of the list of whole disks as it is now.
    TDeviceInfo(int number, bool extendedInfos);
    // Disk number `number` of `disks` (ListDiskKernelNames() taken once for a whole
    // enumeration, so that missing numbers cost no device open).
    TDeviceInfo(int number, bool extendedInfos, const std::vector<std::string>& disks);
    TDeviceInfo(const TDeviceInfo&) = delete;
    TDeviceInfo& operator=(const TDeviceInfo&) = delete;

    int PartitionCount() const noexcept { return static_cast<int>(FPartitions.size()); }
    // Entry `index` (0-based); null outside the list.
    const TDevicePartitionInformation* GetPartition(int index) const noexcept;
    const TDiskGeometry& Geometry() const noexcept { return FGeometry; }
    bool Valid() const noexcept { return FValid; }
    // The device path ("/dev/sdb"); empty when the number names no disk.
    const std::string& DeviceName() const noexcept { return FDeviceName; }
    std::int32_t DeviceNumber() const noexcept { return FDeviceNumber; }
    const std::string& Modelname() const noexcept { return FModelName; }
    const std::string& Serial() const noexcept { return FSerial; }
    const std::string& Firmware() const noexcept { return FFirmware; }
    std::int64_t Capacity() const noexcept { return FCapacity; }
    bool ExternalFlashDrive() const noexcept { return FIsFlashDrive; }

    // The disk's identity when it was listed (for the raw writer).
    const platform::DeviceIdentity& Identity() const noexcept { return FIdentity; }
    // Byte ranges (start, length) of every partition of the on-disk table, extended containers
    // included (for the raw writer's checks of an unpartitioned area).
    const std::vector<std::pair<std::int64_t, std::int64_t>>& TablePartitions() const noexcept {
        return FTablePartitions;
    }
    // "dos", "gpt", or empty when the disk has no readable table.
    const std::string& TableType() const noexcept { return FTableType; }

    // Sets DriveLetter of every partition to the mount point of its volume (empty when none).
    void UpdateDriveLetters();

private:
    void Build(int number, bool extendedInfos, const std::vector<std::string>& disks);

    TPartitionList FPartitions;
    TDiskGeometry FGeometry;
    bool FValid = false;
    std::string FModelName;
    std::string FDeviceName;
    std::int64_t FCapacity = 0;
    std::int32_t FDeviceNumber = 0;
    std::string FSerial;
    std::string FFirmware;
    bool FIsFlashDrive = false;
    platform::DeviceIdentity FIdentity;
    std::string FTableType;
    std::vector<std::pair<std::int64_t, std::int64_t>> FTablePartitions;
};

// The valid disks, numbered as ListDiskKernelNames() is now (one listing for all of them).
std::vector<std::unique_ptr<TDeviceInfo>> ListDeviceInfos(bool extendedInfos);

// The caption of an entry as the drive list shows it: "Drive " and the mount point,
// "Partition N " and the type text, or "(unpartitioned area)".
std::string PartitionCaption(const TDevicePartitionInformation& entry);

// Decodes a serial number handed out as hexadecimal pairs ("41424344" -> "BADC"): each pair
// gives one character (a pair that is no hexadecimal number gives a space, a last unpaired
// character is ignored), the text is trimmed, the two characters of every pair are swapped (an
// odd last character stays as it is), and the text is trimmed again.
std::string DecodeDiskSerial(const std::string& serial);

} // namespace purgix
