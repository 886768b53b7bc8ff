#include "drives/fsdecode.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace purgix {
namespace {

// Little-endian reads at byte offset `at`; the caller has checked that the bytes exist.
std::uint16_t Le16(const std::uint8_t* p, std::size_t at) {
    return static_cast<std::uint16_t>(p[at] | (p[at + 1] << 8));
}

std::uint32_t Le32(const std::uint8_t* p, std::size_t at) {
    return static_cast<std::uint32_t>(p[at]) | (static_cast<std::uint32_t>(p[at + 1]) << 8) |
           (static_cast<std::uint32_t>(p[at + 2]) << 16) |
           (static_cast<std::uint32_t>(p[at + 3]) << 24);
}

std::uint64_t Le64(const std::uint8_t* p, std::size_t at) {
    return static_cast<std::uint64_t>(Le32(p, at)) |
           (static_cast<std::uint64_t>(Le32(p, at + 4)) << 32);
}

std::int64_t LeI64(const std::uint8_t* p, std::size_t at) {
    return static_cast<std::int64_t>(Le64(p, at));
}

void PutLe16(std::uint8_t* p, std::size_t at, std::uint16_t v) {
    p[at] = static_cast<std::uint8_t>(v);
    p[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

// FAT cluster-count limits that decide the FAT type.
constexpr std::uint32_t kMaxFat12Clusters = 4084;
constexpr std::uint32_t kMaxFat16Clusters = 65524;

// NTFS: the update sequence protects every 512-byte stride of a multi-sector record.
constexpr std::size_t kUpdateSequenceStride = 512;
constexpr std::uint32_t kMinNtfsSectorSize = 256;
constexpr std::uint32_t kMaxNtfsSectorSize = 4096;
constexpr std::uint64_t kMinFileRecordSize = 512;
constexpr std::uint64_t kMaxFileRecordSize = 65536;
constexpr std::size_t kNtfsBootFieldsEnd = 80;

constexpr std::uint32_t kAttrData = 0x80;
constexpr std::uint32_t kAttrEnd = 0xFFFFFFFF;
constexpr std::size_t kResidentHeaderSize = 24;
constexpr std::size_t kNonResidentHeaderSize = 64;
constexpr std::uint16_t kRecordInUse = 0x0001;

bool IsPowerOfTwo(std::uint64_t v) {
    return std::has_single_bit(v);
}

} // namespace

TDriveFSType DecodeFATBootSector(const std::uint8_t* sector512, FATFields& out) {
    out = FATFields{};
    const std::uint8_t* s = sector512;

    out.BytesPerSec = Le16(s, 11);
    out.SectorsPerCluster = s[13];
    out.ReservedSectors = Le16(s, 14);
    out.NumberofFats = s[16];
    out.RootDirEntryCount = Le16(s, 17);

    const std::uint32_t sectors32 = Le32(s, 32);
    out.SectorCount = sectors32 > 0 ? sectors32 : Le16(s, 19);

    const std::uint16_t fatSize16 = Le16(s, 22);
    const bool fat32Layout = fatSize16 == 0;
    out.SectorsOfFAT = fat32Layout ? Le32(s, 36) : fatSize16;

    // Without sector and cluster sizes nothing else can be derived (and the root directory size
    // and the cluster count would divide by zero).
    if (out.BytesPerSec == 0 || out.SectorsPerCluster == 0)
        return out.FatType;

    const std::uint32_t rootDirSectors =
        (static_cast<std::uint32_t>(out.RootDirEntryCount) * 32 + out.BytesPerSec - 1) /
        out.BytesPerSec;
    // In 64 bits: the FATs of a corrupt sector can be larger than 32 bits can count, and a
    // wrapped sum would look like a small, plausible data area start.
    const std::uint64_t fatsEnd =
        out.ReservedSectors + static_cast<std::uint64_t>(out.NumberofFats) * out.SectorsOfFAT;
    const std::uint64_t firstDataSector = fatsEnd + rootDirSectors;
    if (firstDataSector > out.SectorCount)
        return out.FatType;

    const std::uint32_t clusterCount =
        (out.SectorCount - static_cast<std::uint32_t>(firstDataSector)) / out.SectorsPerCluster;

    std::uint32_t rootStartCluster = 0;
    std::uint64_t rootStartSector = fatsEnd;
    if (fat32Layout) {
        rootStartCluster = Le32(s, 44);
        // Cluster numbers of the data area run from 2 to ClusterCount + 1; a root elsewhere
        // would point before the data area or past the volume's end.
        if (rootStartCluster < 2 ||
            rootStartCluster - 2 >= static_cast<std::uint64_t>(clusterCount))
            return out.FatType;
        rootStartSector = static_cast<std::uint64_t>(rootStartCluster - 2) * out.SectorsPerCluster +
                          firstDataSector;
    }

    out.BytesPerCluster = static_cast<std::uint32_t>(out.BytesPerSec) * out.SectorsPerCluster;
    out.RootDirSectorCount = rootDirSectors;
    out.FirstDataSector = static_cast<std::uint32_t>(firstDataSector);
    out.ClusterCount = clusterCount;
    out.RootDirStartCluster = rootStartCluster;
    out.RootDirStartSector = static_cast<std::uint32_t>(rootStartSector);
    if (clusterCount <= kMaxFat12Clusters)
        out.FatType = dfst_FAT12;
    else if (clusterCount <= kMaxFat16Clusters)
        out.FatType = dfst_FAT16;
    else
        out.FatType = dfst_FAT32;
    return out.FatType;
}

bool DecodeNTFSBootSector(const std::uint8_t* sector, std::size_t len, NTFSFields& out) {
    if (sector == nullptr || len < kNtfsBootFieldsEnd)
        return false;
    if (std::memcmp(sector + 3, "NTFS    ", 8) != 0)
        return false;

    const std::uint32_t bytesPerSector = Le16(sector, 11);
    if (!IsPowerOfTwo(bytesPerSector) || bytesPerSector < kMinNtfsSectorSize ||
        bytesPerSector > kMaxNtfsSectorSize)
        return false;

    const std::uint8_t spcByte = sector[13];
    std::uint64_t sectorsPerCluster = 0;
    if (spcByte <= 0x80) {
        sectorsPerCluster = spcByte;
    } else {
        const unsigned shift = 256u - spcByte;
        if (shift > 31)
            return false;
        sectorsPerCluster = std::uint64_t{1} << shift;
    }
    if (!IsPowerOfTwo(sectorsPerCluster))
        return false;
    const std::uint64_t bytesPerCluster = sectorsPerCluster * bytesPerSector;
    if (bytesPerCluster > std::numeric_limits<std::uint32_t>::max())
        return false;

    const std::int64_t totalSectors = LeI64(sector, 40);
    if (totalSectors <= 0 ||
        totalSectors > std::numeric_limits<std::int64_t>::max() / bytesPerSector)
        return false;
    const std::int64_t totalClusters = totalSectors / static_cast<std::int64_t>(sectorsPerCluster);

    const std::int64_t mftLcn = LeI64(sector, 48);
    const std::int64_t mftMirrLcn = LeI64(sector, 56);
    if (mftLcn < 0 || mftLcn >= totalClusters || mftMirrLcn < 0 || mftMirrLcn >= totalClusters)
        return false;

    const auto cpr = static_cast<std::int8_t>(sector[64]);
    std::uint64_t recordBytes = 0;
    if (cpr > 0) {
        recordBytes = static_cast<std::uint64_t>(cpr) * bytesPerCluster;
    } else if (cpr < 0) {
        const unsigned shift = static_cast<unsigned>(-cpr);
        if (shift > 31)
            return false;
        recordBytes = std::uint64_t{1} << shift;
    }
    if (!IsPowerOfTwo(recordBytes) || recordBytes < kMinFileRecordSize ||
        recordBytes > kMaxFileRecordSize)
        return false;

    out.VolumeSerialNumber = LeI64(sector, 72);
    out.NumberSectors = totalSectors;
    out.TotalClusters = totalClusters;
    out.BytesPerSector = bytesPerSector;
    out.BytesPerCluster = static_cast<std::uint32_t>(bytesPerCluster);
    out.BytesPerFileRecordSegment = static_cast<std::uint32_t>(recordBytes);
    out.ClustersPerFileRecordSegment = static_cast<std::uint32_t>(recordBytes / bytesPerCluster);
    out.MftStartLcn = mftLcn;
    out.Mft2StartLcn = mftMirrLcn;
    return true;
}

namespace {

// Finds the unnamed $DATA attribute in a record whose update sequence has been applied and
// returns its valid data length through `length`. `end` is the record's bytes in use.
bool FindUnnamedDataLength(const std::uint8_t* r, std::size_t end, std::size_t pos,
                           std::int64_t& length) {
    while (pos <= end && end - pos >= 4) {
        const std::uint32_t type = Le32(r, pos);
        if (type == kAttrEnd)
            return false;
        if (end - pos < kResidentHeaderSize)
            return false;
        const std::uint32_t attrLen = Le32(r, pos + 4);
        if (attrLen < kResidentHeaderSize || attrLen > end - pos || attrLen % 8 != 0)
            return false;
        const std::uint8_t nonResident = r[pos + 8];
        const std::uint8_t nameLength = r[pos + 9];
        if (type == kAttrData && nameLength == 0) {
            if (nonResident == 0) {
                const std::uint32_t valueLength = Le32(r, pos + 16);
                const std::uint16_t valueOffset = Le16(r, pos + 20);
                if (valueOffset > attrLen || valueLength > attrLen - valueOffset)
                    return false;
                length = valueLength;
                return true;
            }
            if (attrLen < kNonResidentHeaderSize)
                return false;
            // Only the extent that starts at VCN 0 carries the attribute's sizes.
            if (LeI64(r, pos + 16) == 0) {
                const std::int64_t allocated = LeI64(r, pos + 0x28);
                const std::int64_t dataSize = LeI64(r, pos + 0x30);
                const std::int64_t initialized = LeI64(r, pos + 0x38);
                if (initialized < 0 || initialized > dataSize || dataSize > allocated)
                    return false;
                length = initialized;
                return true;
            }
        }
        pos += attrLen;
    }
    return false;
}

} // namespace

bool DecodeNTFSMftRecord0(std::uint8_t* record, std::size_t recordSize, NTFSFields& out) {
    if (record == nullptr || recordSize < kMinFileRecordSize ||
        recordSize % kUpdateSequenceStride != 0)
        return false;
    std::uint8_t* r = record;
    if (std::memcmp(r, "FILE", 4) != 0)
        return false;

    // The update sequence array: the sequence number, then the saved last two bytes of each
    // stride. It lies after the fixed header and inside the first stride.
    const std::size_t usaOffset = Le16(r, 4);
    const std::size_t usaCount = Le16(r, 6);
    const std::size_t strides = recordSize / kUpdateSequenceStride;
    if (usaCount != strides + 1 || usaOffset % 2 != 0 || usaOffset < 0x2A ||
        usaOffset + 2 * usaCount > kUpdateSequenceStride - 2)
        return false;
    const std::uint16_t usn = Le16(r, usaOffset);
    for (std::size_t i = 1; i <= strides; ++i) {
        if (Le16(r, i * kUpdateSequenceStride - 2) != usn)
            return false;
    }
    for (std::size_t i = 1; i <= strides; ++i)
        PutLe16(r, i * kUpdateSequenceStride - 2, Le16(r, usaOffset + 2 * i));

    const auto undoFixups = [&] {
        for (std::size_t i = 1; i <= strides; ++i)
            PutLe16(r, i * kUpdateSequenceStride - 2, usn);
        return false;
    };

    const std::uint16_t flags = Le16(r, 22);
    const std::size_t attrsOffset = Le16(r, 20);
    const std::size_t bytesInUse = Le32(r, 24);
    if ((flags & kRecordInUse) == 0 || bytesInUse > recordSize || attrsOffset % 8 != 0 ||
        attrsOffset < usaOffset + 2 * usaCount || attrsOffset >= bytesInUse)
        return undoFixups();
    // Records of NTFS 3.1 (the header is long enough to hold it) carry their own number.
    if (usaOffset >= 0x30 && Le32(r, 0x2C) != 0)
        return undoFixups();

    std::int64_t length = 0;
    if (!FindUnnamedDataLength(r, bytesInUse, attrsOffset, length))
        return undoFixups();
    out.MftValidDataLength = length;
    return true;
}

std::int64_t CountFreeClustersFromBitmap(const std::uint8_t* bitmap, std::size_t bytes,
                                         std::int64_t totalClusters) {
    if (bitmap == nullptr || totalClusters <= 0)
        return 0;
    const auto total = static_cast<std::uint64_t>(totalClusters);
    const std::uint64_t wholeBytes = std::min<std::uint64_t>(bytes, total / 8);
    std::uint64_t covered = wholeBytes * 8;
    std::uint64_t used = 0;
    for (std::uint64_t i = 0; i < wholeBytes; ++i)
        used += static_cast<unsigned>(std::popcount(bitmap[i]));
    const unsigned tailBits = static_cast<unsigned>(total % 8);
    if (tailBits != 0 && wholeBytes < bytes) {
        const auto tail = static_cast<std::uint8_t>(bitmap[wholeBytes] & ((1u << tailBits) - 1));
        used += static_cast<unsigned>(std::popcount(tail));
        covered += tailBits;
    }
    return static_cast<std::int64_t>(covered - used);
}

} // namespace purgix
