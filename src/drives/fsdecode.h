// Decoding of file-system structures from raw bytes: the FAT boot sector, the NTFS boot sector,
// record 0 of the NTFS master file table and the NTFS cluster bitmap. Pure functions over
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

// The volume data of an NTFS volume, in the order and widths of the NTFS driver's volume data
// record.
//
// TotalReserved, MftZoneStart and MftZoneEnd are the NTFS driver's run-time bookkeeping of a
// mounted volume and are stored nowhere on the disk, so they stay 0 here. FreeClusters is
// counted from the volume's $Bitmap file (CountFreeClustersFromBitmap), which the caller reads.
struct NTFSFields {
    std::int64_t VolumeSerialNumber = 0;
    std::int64_t NumberSectors = 0;
    std::int64_t TotalClusters = 0;
    std::int64_t FreeClusters = 0;
    std::int64_t TotalReserved = 0;
    std::uint32_t BytesPerSector = 0;
    std::uint32_t BytesPerCluster = 0;
    std::uint32_t BytesPerFileRecordSegment = 0;
    std::uint32_t ClustersPerFileRecordSegment = 0; // 0 when a record is smaller than a cluster
    std::int64_t MftValidDataLength = 0;
    std::int64_t MftStartLcn = 0;
    std::int64_t Mft2StartLcn = 0;
    std::int64_t MftZoneStart = 0;
    std::int64_t MftZoneEnd = 0;

    friend bool operator==(const NTFSFields&, const NTFSFields&) = default;
};

// Decodes the NTFS boot sector in the `len` bytes at `sector`: OEM id "NTFS    " (3), bytes
// per sector (11), sectors per cluster (13), total sectors (40), LCN of $MFT (48) and of
// $MFTMirr (56), clusters per file record (64), volume serial number (72).
//
// Sectors per cluster above 0x80 are the negative-exponent form: 2^(256 - v) sectors. Clusters
// per file record is a signed byte: above 0 that many clusters, below 0 a record of 2^(-v)
// bytes.
//
// Sets VolumeSerialNumber, NumberSectors, TotalClusters (total sectors / sectors per cluster),
// BytesPerSector, BytesPerCluster, BytesPerFileRecordSegment, ClustersPerFileRecordSegment
// (record bytes / cluster bytes), MftStartLcn and Mft2StartLcn, and leaves the other fields as
// they are.
//
// Returns false, with `out` unchanged, unless the sector holds the 80 bytes of these fields and
// describes a volume that can be read: bytes per sector a power of two from 256 to 4096, a
// cluster of a power-of-two number of sectors that fits 32 bits, a file record of a power of
// two from 512 bytes to 64 KiB, more than 0 total sectors whose byte size fits 63 bits, and
// both MFT copies inside the volume. So MftStartLcn * BytesPerCluster is a byte offset within
// the volume and never overflows.
bool DecodeNTFSBootSector(const std::uint8_t* sector, std::size_t len, NTFSFields& out);

// Decodes record 0 of the master file table (the $MFT file's own record) in the `recordSize`
// bytes at `record`, as read from the disk (BytesPerFileRecordSegment bytes at byte
// MftStartLcn * BytesPerCluster of the volume).
//
// Checks the "FILE" signature and the update sequence: the last two bytes of every 512-byte
// stride must hold the record's update sequence number (the stride is 512 bytes on every NTFS
// volume, whatever its sector size). A mismatch means the record was torn by an interrupted
// write. When all match, the saved bytes are put back in place, in `record`.
//
// Then finds the unnamed $DATA attribute (type 0x80, no name) and sets MftValidDataLength: the
// initialized size of the attribute when it is non-resident (the extent that starts at VCN 0,
// which NTFS keeps in record 0), its value length when resident. The other fields are left as
// they are.
//
// Returns false, with `out` unchanged and `record` untouched, for a record that is not a valid,
// in-use record 0 (wrong signature or size, a torn update sequence, a header or attribute that
// reaches past the bytes in use, inconsistent sizes) or that has no such $DATA attribute.
bool DecodeNTFSMftRecord0(std::uint8_t* record, std::size_t recordSize, NTFSFields& out);

// Counts the free clusters in the NTFS cluster bitmap (the data of the $Bitmap file): one bit
// per cluster, cluster n at bit n % 8 of byte n / 8, 0 = free. Only the first `totalClusters`
// bits count (the bitmap is padded to whole bytes and beyond); clusters that a short bitmap
// does not cover are not counted as free. Returns 0 for totalClusters <= 0.
std::int64_t CountFreeClustersFromBitmap(const std::uint8_t* bitmap, std::size_t bytes,
                                         std::int64_t totalClusters);

} // namespace purgix
