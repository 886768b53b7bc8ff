// Decoding of file-system structures from raw bytes: the FAT boot sector. Pure functions over
// buffers the caller has read; nothing here opens a device or a file.
//
// Every reader is bounds-checked: a corrupt or foreign structure never makes these functions
// read or write outside the buffer they are given, and never divides by zero.
#pragma once

#include <cstddef>
#include <cstdint>

namespace purgix {

// Kind of file system of a volume.
enum TDriveFSType : std::int32_t {
    dfst_UNKNOWN,
    dfst_UnknownFAT, // a FAT volume whose boot sector has not been decoded (yet)
    dfst_FAT12,
    dfst_FAT16,
    dfst_FAT32,
    dfst_NTFS,
};

// Geometry of a FAT volume, decoded from its boot sector. All values are counts of logical
// sectors (BytesPerSec bytes each) unless the name says otherwise.
struct FATFields {
    std::uint8_t SectorsPerCluster = 0;    // byte 13
    std::uint8_t NumberofFats = 0;         // byte 16
    std::uint32_t SectorCount = 0;         // total sectors of the volume
    std::uint32_t SectorsOfFAT = 0;        // sectors of one FAT
    std::uint32_t RootDirStartSector = 0;  // first sector of the root directory
    std::uint16_t ReservedSectors = 0;     // bytes 14-15
    std::uint16_t BytesPerSec = 0;         // bytes 11-12
    std::uint16_t RootDirEntryCount = 0;   // bytes 17-18
    std::uint32_t RootDirSectorCount = 0;  // sectors of a fixed (FAT12/16 layout) root directory
    std::uint32_t FirstDataSector = 0;     // first sector of the data area (cluster 2)
    std::uint32_t BytesPerCluster = 0;     // 32 bits wide, so 64 KiB clusters read 65536
    std::uint32_t RootDirStartCluster = 0; // first cluster of the root (FAT32 layout; else 0)
    std::uint32_t ClusterCount = 0;        // clusters in the data area
    TDriveFSType FatType = dfst_UNKNOWN;   // dfst_FAT12, dfst_FAT16, dfst_FAT32 or dfst_UNKNOWN

    friend bool operator==(const FATFields&, const FATFields&) = default;
};

// Decodes the BIOS parameter block of the 512-byte boot sector at `sector512` into `out`, which
// is reset first. Offsets are bytes from the start of the sector, little-endian:
// bytes per sector (11), sectors per cluster (13), reserved sectors (14), FATs (16), root
// entries (17), total sectors (the 32-bit value at 32 when above 0, else the 16-bit value at
// 19), sectors per FAT (the 16-bit value at 22 when above 0 - FAT12/16 layout - else the
// 32-bit value at 36 - FAT32 layout), root cluster (44, FAT32 layout only).
//
// The type follows the cluster count alone, as the FAT definition says: below 4085 clusters
// FAT12, below 65525 FAT16, else FAT32, whatever layout the sector uses. The root directory
// starts after the FATs (FAT12/16 layout) or at its cluster (FAT32 layout).
//
// A boot sector that describes no usable volume gives FatType dfst_UNKNOWN: 0 bytes per sector,
// 0 sectors per cluster, a data area that would start beyond the volume's last sector (also
// when the FATs are so large that their size does not fit 32 bits), or a FAT32 root cluster
// outside the data area. Then the values read as they are from the sector (BytesPerSec,
// SectorsPerCluster, ReservedSectors, NumberofFats, RootDirEntryCount, SectorCount,
// SectorsOfFAT) are kept, and every derived value (BytesPerCluster, RootDirSectorCount,
// FirstDataSector, ClusterCount, RootDirStartSector, RootDirStartCluster) is 0, so a caller
// never receives a cluster size for a volume it cannot describe.
//
// Returns out.FatType.
TDriveFSType DecodeFATBootSector(const std::uint8_t* sector512, FATFields& out);

} // namespace purgix
