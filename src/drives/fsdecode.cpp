#include "drives/fsdecode.h"

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

// FAT cluster-count limits that decide the FAT type.
constexpr std::uint32_t kMaxFat12Clusters = 4084;
constexpr std::uint32_t kMaxFat16Clusters = 65524;

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

} // namespace purgix
