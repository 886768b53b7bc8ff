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

// Decodes a serial number handed out as hexadecimal pairs ("41424344" -> "BADC"): each pair
// gives one character (a pair that is no hexadecimal number gives a space, a last unpaired
// character is ignored), the text is trimmed, the two characters of every pair are swapped (an
// odd last character stays as it is), and the text is trimmed again.
std::string DecodeDiskSerial(const std::string& serial);

} // namespace purgix
