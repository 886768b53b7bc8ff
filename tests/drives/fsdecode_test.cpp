// Decoding of FAT and NTFS structures: boot sectors and MFT records built byte by byte here, and
// image files formatted by mkfs.fat and mkfs.ntfs, checked against what fsck.fat and ntfsinfo
// read from the same images.
#include "drives/fsdecode.h"

#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace purgix {

// Readable failure messages for the decoded values.
void PrintTo(const FATFields& f, std::ostream* os) {
    *os << "{type " << f.FatType << ", bytes/sector " << f.BytesPerSec << ", sectors/cluster "
        << int{f.SectorsPerCluster} << ", reserved " << f.ReservedSectors << ", FATs "
        << int{f.NumberofFats} << " x " << f.SectorsOfFAT << ", root entries "
        << f.RootDirEntryCount << ", sectors " << f.SectorCount << ", bytes/cluster "
        << f.BytesPerCluster << ", root sectors " << f.RootDirSectorCount << ", first data "
        << f.FirstDataSector << ", clusters " << f.ClusterCount << ", root at sector "
        << f.RootDirStartSector << " cluster " << f.RootDirStartCluster << "}";
}

void PrintTo(const NTFSFields& f, std::ostream* os) {
    *os << "{serial " << f.VolumeSerialNumber << ", sectors " << f.NumberSectors << ", clusters "
        << f.TotalClusters << ", free " << f.FreeClusters << ", reserved " << f.TotalReserved
        << ", bytes/sector " << f.BytesPerSector << ", bytes/cluster " << f.BytesPerCluster
        << ", bytes/record " << f.BytesPerFileRecordSegment << ", clusters/record "
        << f.ClustersPerFileRecordSegment << ", MFT valid " << f.MftValidDataLength << ", MFT LCN "
        << f.MftStartLcn << ", mirror LCN " << f.Mft2StartLcn << ", zone " << f.MftZoneStart << "-"
        << f.MftZoneEnd << "}";
}

namespace {

using Bytes = std::vector<std::uint8_t>;

void Put16(std::uint8_t* p, std::size_t at, std::uint16_t v) {
    p[at] = static_cast<std::uint8_t>(v);
    p[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::uint8_t* p, std::size_t at, std::uint32_t v) {
    Put16(p, at, static_cast<std::uint16_t>(v));
    Put16(p, at + 2, static_cast<std::uint16_t>(v >> 16));
}

void Put64(std::uint8_t* p, std::size_t at, std::uint64_t v) {
    Put32(p, at, static_cast<std::uint32_t>(v));
    Put32(p, at + 4, static_cast<std::uint32_t>(v >> 32));
}

std::uint16_t Get16(const std::uint8_t* p, std::size_t at) {
    return static_cast<std::uint16_t>(p[at] | (p[at + 1] << 8));
}

// ---------------------------------------------------------------------------------------------
// FAT boot sectors built from their BIOS parameter block

struct Bpb {
    std::uint16_t bytesPerSec = 512;
    std::uint8_t secPerClus = 1;
    std::uint16_t reserved = 1;
    std::uint8_t fats = 2;
    std::uint16_t rootEntries = 512;
    std::uint16_t totSec16 = 0;
    std::uint32_t totSec32 = 0;
    std::uint16_t fatSz16 = 0;
    std::uint32_t fatSz32 = 0;
    std::uint32_t rootClus = 0; // written at 44 whatever the layout
};

std::array<std::uint8_t, 512> MakeFatBootSector(const Bpb& b) {
    std::array<std::uint8_t, 512> s{};
    s[0] = 0xEB;
    s[1] = 0x3C;
    s[2] = 0x90;
    std::memcpy(&s[3], "TESTFMT ", 8);
    Put16(s.data(), 11, b.bytesPerSec);
    s[13] = b.secPerClus;
    Put16(s.data(), 14, b.reserved);
    s[16] = b.fats;
    Put16(s.data(), 17, b.rootEntries);
    Put16(s.data(), 19, b.totSec16);
    s[21] = 0xF8;
    Put16(s.data(), 22, b.fatSz16);
    Put32(s.data(), 32, b.totSec32);
    Put32(s.data(), 36, b.fatSz32);
    Put32(s.data(), 44, b.rootClus);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

void ExpectRawBpb(const Bpb& b, const FATFields& f) {
    EXPECT_EQ(f.BytesPerSec, b.bytesPerSec);
    EXPECT_EQ(f.SectorsPerCluster, b.secPerClus);
    EXPECT_EQ(f.ReservedSectors, b.reserved);
    EXPECT_EQ(f.NumberofFats, b.fats);
    EXPECT_EQ(f.RootDirEntryCount, b.rootEntries);
    EXPECT_EQ(f.SectorCount, b.totSec32 > 0 ? b.totSec32 : b.totSec16);
    EXPECT_EQ(f.SectorsOfFAT, b.fatSz16 != 0 ? b.fatSz16 : b.fatSz32);
}

// A small FAT32 layout: 32 reserved sectors, 2 FATs of 512 sectors, no fixed root directory,
// so the data area starts at sector 1056.
Bpb Fat32Layout(std::uint32_t clusters, std::uint32_t rootClus) {
    return {.reserved = 32,
            .rootEntries = 0,
            .totSec32 = 1056 + clusters,
            .fatSz32 = 512,
            .rootClus = rootClus};
}

TEST(FatBootSector, DecodesGeometryAndTypeByClusterCount) {
    struct Want {
        TDriveFSType type;
        std::uint32_t bytesPerCluster;
        std::uint32_t rootDirSectorCount;
        std::uint32_t firstDataSector;
        std::uint32_t clusterCount;
        std::uint32_t rootDirStartSector;
        std::uint32_t rootDirStartCluster;
    };
    struct Row {
        const char* name;
        Bpb bpb;
        Want want;
    };
    // Data area start = reserved + fats * FAT size + root directory sectors; the total sector
    // count is that plus clusters * sectors per cluster.
    const Row rows[] = {
        {"4084 clusters: FAT12",
         {.totSec16 = 57 + 4084, .fatSz16 = 12},
         {dfst_FAT12, 512, 32, 57, 4084, 25, 0}},
        {"4085 clusters: FAT16",
         {.totSec16 = 65 + 4085, .fatSz16 = 16},
         {dfst_FAT16, 512, 32, 65, 4085, 33, 0}},
        {"65524 clusters: FAT16, 32-bit total sector field",
         {.totSec32 = 545 + 65524, .fatSz16 = 256},
         {dfst_FAT16, 512, 32, 545, 65524, 513, 0}},
        {"65525 clusters: FAT32 layout with the root at cluster 2",
         Fat32Layout(65525, 2),
         {dfst_FAT32, 512, 0, 1056, 65525, 1056, 2}},
        {"FAT32 root in the last cluster",
         Fat32Layout(65525, 65526),
         {dfst_FAT32, 512, 0, 1056, 65525, 1056 + 65524, 65526}},
        {"FAT32 root at cluster 5 with 8-sector clusters",
         {.secPerClus = 8,
          .reserved = 32,
          .rootEntries = 0,
          .totSec32 = 1232 + 70000 * 8,
          .fatSz32 = 600,
          .rootClus = 5},
         {dfst_FAT32, 4096, 0, 1232, 70000, 1232 + 3 * 8, 5}},
        {"FAT16 with 32 KiB clusters",
         {.secPerClus = 64, .totSec32 = 97 + 5000 * 64, .fatSz16 = 32},
         {dfst_FAT16, 32768, 32, 97, 5000, 65, 0}},
        {"FAT16 with 64 KiB clusters",
         {.secPerClus = 128, .totSec32 = 97 + 5000 * 128, .fatSz16 = 32},
         {dfst_FAT16, 65536, 32, 97, 5000, 65, 0}},
        {"4096-byte sectors",
         {.bytesPerSec = 4096, .totSec16 = 13 + 5000, .fatSz16 = 4},
         {dfst_FAT16, 4096, 4, 13, 5000, 9, 0}},
        {"root directory size rounds up, a partial last cluster is not counted",
         {.secPerClus = 4,
          .reserved = 4,
          .fats = 1,
          .rootEntries = 100,
          .totSec16 = 20 + 1000 * 4 + 3,
          .fatSz16 = 9},
         {dfst_FAT12, 2048, 7, 20, 1000, 13, 0}},
        {"both total fields set: the 32-bit one counts",
         {.totSec16 = 1000, .totSec32 = 57 + 4084, .fatSz16 = 12},
         {dfst_FAT12, 512, 32, 57, 4084, 25, 0}},
        {"FAT16 layout with a FAT32 cluster count: FAT32, root after the FATs",
         {.totSec32 = 545 + 70000, .fatSz16 = 256, .rootClus = 2},
         {dfst_FAT32, 512, 32, 545, 70000, 513, 0}},
        {"FAT32 layout with a FAT12 cluster count: FAT12",
         {.reserved = 32, .rootEntries = 0, .totSec16 = 48 + 1000, .fatSz32 = 8, .rootClus = 2},
         {dfst_FAT12, 512, 0, 48, 1000, 48, 2}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto sector = MakeFatBootSector(row.bpb);
        FATFields f;
        EXPECT_EQ(DecodeFATBootSector(sector.data(), f), row.want.type);
        EXPECT_EQ(f.FatType, row.want.type);
        ExpectRawBpb(row.bpb, f);
        EXPECT_EQ(f.BytesPerCluster, row.want.bytesPerCluster);
        EXPECT_EQ(f.RootDirSectorCount, row.want.rootDirSectorCount);
        EXPECT_EQ(f.FirstDataSector, row.want.firstDataSector);
        EXPECT_EQ(f.ClusterCount, row.want.clusterCount);
        EXPECT_EQ(f.RootDirStartSector, row.want.rootDirStartSector);
        EXPECT_EQ(f.RootDirStartCluster, row.want.rootDirStartCluster);
    }
}

TEST(FatBootSector, BrokenGeometryIsUnknownWithoutDerivedValues) {
    struct Row {
        const char* name;
        Bpb bpb;
    };
    const Row rows[] = {
        {"0 bytes per sector", {.bytesPerSec = 0, .totSec16 = 5000, .fatSz16 = 12}},
        {"0 sectors per cluster", {.secPerClus = 0, .totSec16 = 5000, .fatSz16 = 12}},
        {"both 0", {.bytesPerSec = 0, .secPerClus = 0, .totSec16 = 5000, .fatSz16 = 12}},
        {"total sectors below the data area start", {.totSec16 = 56, .fatSz16 = 12}},
        {"no total sectors at all", {.fatSz16 = 12}},
        // 2 * 0x80000001 wraps to 2 in 32 bits: the data area would seem to start at sector 34.
        {"FATs larger than 32 bits can count",
         {.reserved = 32,
          .rootEntries = 0,
          .totSec32 = 0xFFFFFFF0,
          .fatSz32 = 0x80000001,
          .rootClus = 2}},
        {"FAT32 root at cluster 0", Fat32Layout(65525, 0)},
        {"FAT32 root at cluster 1", Fat32Layout(65525, 1)},
        {"FAT32 root past the last cluster", Fat32Layout(65525, 65527)},
        {"FAT32 root at the largest cluster number", Fat32Layout(65525, 0xFFFFFFFF)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto sector = MakeFatBootSector(row.bpb);
        FATFields f;
        EXPECT_EQ(DecodeFATBootSector(sector.data(), f), dfst_UNKNOWN);
        EXPECT_EQ(f.FatType, dfst_UNKNOWN);
        ExpectRawBpb(row.bpb, f);
        EXPECT_EQ(f.BytesPerCluster, 0u);
        EXPECT_EQ(f.RootDirSectorCount, 0u);
        EXPECT_EQ(f.FirstDataSector, 0u);
        EXPECT_EQ(f.ClusterCount, 0u);
        EXPECT_EQ(f.RootDirStartSector, 0u);
        EXPECT_EQ(f.RootDirStartCluster, 0u);
    }
}

TEST(FatBootSector, DecodingAgainReplacesEveryValue) {
    FATFields f;
    const auto fat32 = MakeFatBootSector(Fat32Layout(65525, 2));
    ASSERT_EQ(DecodeFATBootSector(fat32.data(), f), dfst_FAT32);

    const auto fat12 = MakeFatBootSector({.totSec16 = 57 + 4084, .fatSz16 = 12});
    FATFields fresh;
    DecodeFATBootSector(fat12.data(), fresh);
    DecodeFATBootSector(fat12.data(), f);
    EXPECT_EQ(f, fresh);
    EXPECT_EQ(f.RootDirStartCluster, 0u);
}

// ---------------------------------------------------------------------------------------------
// NTFS boot sectors

struct NtfsBoot {
    std::uint16_t bytesPerSector = 512;
    std::uint8_t sectorsPerCluster = 8;
    std::int64_t totalSectors = 32767;
    std::int64_t mftLcn = 4;
    std::int64_t mftMirrLcn = 2047;
    std::int8_t clustersPerRecord = -10;
    std::uint64_t serial = 0x8877665544332211;
};

std::array<std::uint8_t, 512> MakeNtfsBootSector(const NtfsBoot& b) {
    std::array<std::uint8_t, 512> s{};
    s[0] = 0xEB;
    s[1] = 0x52;
    s[2] = 0x90;
    std::memcpy(&s[3], "NTFS    ", 8);
    Put16(s.data(), 11, b.bytesPerSector);
    s[13] = b.sectorsPerCluster;
    s[21] = 0xF8;
    Put64(s.data(), 40, static_cast<std::uint64_t>(b.totalSectors));
    Put64(s.data(), 48, static_cast<std::uint64_t>(b.mftLcn));
    Put64(s.data(), 56, static_cast<std::uint64_t>(b.mftMirrLcn));
    s[64] = static_cast<std::uint8_t>(b.clustersPerRecord);
    s[68] = 1;
    Put64(s.data(), 72, b.serial);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

// Values that a decoder must leave alone when it does not set them or when it fails.
NTFSFields Sentinel() {
    NTFSFields f;
    f.FreeClusters = 77;
    f.MftValidDataLength = 12345;
    f.BytesPerCluster = 99;
    f.MftStartLcn = 55;
    return f;
}

TEST(NtfsBootSector, DecodesClusterAndRecordSizes) {
    struct Want {
        std::uint32_t bytesPerCluster;
        std::int64_t totalClusters;
        std::uint32_t bytesPerRecord;
        std::uint32_t clustersPerRecord;
    };
    struct Row {
        const char* name;
        NtfsBoot boot;
        Want want;
    };
    const Row rows[] = {
        {"4 KiB clusters, 1 KiB records", {}, {4096, 4095, 1024, 0}},
        {"1-sector clusters, 2 clusters per record",
         {.sectorsPerCluster = 1, .clustersPerRecord = 2},
         {512, 32767, 1024, 2}},
        {"4096-byte sectors, one cluster per record",
         {.bytesPerSector = 4096, .sectorsPerCluster = 1, .clustersPerRecord = 1},
         {4096, 32767, 4096, 1}},
        {"128 sectors per cluster (largest positive form)",
         {.sectorsPerCluster = 0x80, .totalSectors = 1 << 20, .mftLcn = 4, .mftMirrLcn = 8191},
         {65536, 8192, 1024, 0}},
        {"0xF7: 2^9 sectors per cluster",
         {.sectorsPerCluster = 0xF7, .totalSectors = 1 << 20, .mftLcn = 4, .mftMirrLcn = 1023},
         {262144, 2048, 1024, 0}},
        {"0xF4 with 4096-byte sectors: 16 MiB clusters",
         {.bytesPerSector = 4096,
          .sectorsPerCluster = 0xF4,
          .totalSectors = 1 << 20,
          .mftLcn = 4,
          .mftMirrLcn = 200,
          .clustersPerRecord = -12},
         {16u << 20, 256, 4096, 0}},
        {"64 KiB records (largest)", {.clustersPerRecord = -16}, {4096, 4095, 65536, 16}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto sector = MakeNtfsBootSector(row.boot);
        NTFSFields f = Sentinel();
        ASSERT_TRUE(DecodeNTFSBootSector(sector.data(), sector.size(), f));
        NTFSFields want = Sentinel();
        want.VolumeSerialNumber = static_cast<std::int64_t>(row.boot.serial);
        want.NumberSectors = row.boot.totalSectors;
        want.TotalClusters = row.want.totalClusters;
        want.BytesPerSector = row.boot.bytesPerSector;
        want.BytesPerCluster = row.want.bytesPerCluster;
        want.BytesPerFileRecordSegment = row.want.bytesPerRecord;
        want.ClustersPerFileRecordSegment = row.want.clustersPerRecord;
        want.MftStartLcn = row.boot.mftLcn;
        want.Mft2StartLcn = row.boot.mftMirrLcn;
        EXPECT_EQ(f, want);
    }
}

TEST(NtfsBootSector, RejectsSectorsThatDescribeNoReadableVolume) {
    using Mutate = std::function<void(NtfsBoot&, std::array<std::uint8_t, 512>&)>;
    struct Row {
        const char* name;
        Mutate mutate;
        std::size_t len = 512;
    };
    const auto boot = [](auto change) -> Mutate {
        return [change](NtfsBoot& b, std::array<std::uint8_t, 512>&) { change(b); };
    };
    const std::int64_t maxI64 = std::numeric_limits<std::int64_t>::max();
    const Row rows[] = {
        {"another OEM id",
         [](NtfsBoot&, std::array<std::uint8_t, 512>& s) { std::memcpy(&s[3], "EXFAT   ", 8); }},
        {"OEM id without its padding",
         [](NtfsBoot&, std::array<std::uint8_t, 512>& s) { s[10] = 0; }},
        {"buffer too short for the fields", [](NtfsBoot&, std::array<std::uint8_t, 512>&) {}, 79},
        {"0 bytes per sector", boot([](NtfsBoot& b) { b.bytesPerSector = 0; })},
        {"128 bytes per sector", boot([](NtfsBoot& b) { b.bytesPerSector = 128; })},
        {"1000 bytes per sector", boot([](NtfsBoot& b) { b.bytesPerSector = 1000; })},
        {"8192 bytes per sector", boot([](NtfsBoot& b) { b.bytesPerSector = 8192; })},
        {"0 sectors per cluster", boot([](NtfsBoot& b) { b.sectorsPerCluster = 0; })},
        {"3 sectors per cluster", boot([](NtfsBoot& b) { b.sectorsPerCluster = 3; })},
        {"2^32 sectors per cluster", boot([](NtfsBoot& b) { b.sectorsPerCluster = 0xE0; })},
        {"2^127 sectors per cluster", boot([](NtfsBoot& b) { b.sectorsPerCluster = 0x81; })},
        {"cluster beyond 32 bits", boot([](NtfsBoot& b) {
             b.bytesPerSector = 4096;
             b.sectorsPerCluster = 0xEC; // 2^20 sectors of 4096 bytes
         })},
        {"0 clusters per record", boot([](NtfsBoot& b) { b.clustersPerRecord = 0; })},
        {"256-byte records", boot([](NtfsBoot& b) { b.clustersPerRecord = -8; })},
        {"128 KiB records", boot([](NtfsBoot& b) { b.clustersPerRecord = -17; })},
        {"2^128 byte records", boot([](NtfsBoot& b) { b.clustersPerRecord = -128; })},
        {"records of 3 clusters", boot([](NtfsBoot& b) {
             b.sectorsPerCluster = 1;
             b.clustersPerRecord = 3;
         })},
        {"records of 127 large clusters", boot([](NtfsBoot& b) { b.clustersPerRecord = 127; })},
        {"0 total sectors", boot([](NtfsBoot& b) { b.totalSectors = 0; })},
        {"negative total sectors", boot([](NtfsBoot& b) { b.totalSectors = -8; })},
        {"volume bytes beyond 63 bits", boot([maxI64](NtfsBoot& b) { b.totalSectors = maxI64; })},
        {"negative MFT LCN", boot([](NtfsBoot& b) { b.mftLcn = -1; })},
        {"MFT past the last cluster", boot([](NtfsBoot& b) { b.mftLcn = 4095; })},
        {"MFT mirror past the last cluster", boot([](NtfsBoot& b) { b.mftMirrLcn = maxI64; })},
        {"negative MFT mirror LCN", boot([](NtfsBoot& b) { b.mftMirrLcn = -4; })},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        NtfsBoot b;
        std::array<std::uint8_t, 512> probe{};
        row.mutate(b, probe); // settles the parameter block first
        auto sector = MakeNtfsBootSector(b);
        row.mutate(b, sector); // then changes raw bytes
        // The decoder may read only `len` bytes: give it a buffer of exactly that size.
        const Bytes buffer(sector.begin(), sector.begin() + static_cast<std::ptrdiff_t>(row.len));
        NTFSFields f = Sentinel();
        EXPECT_FALSE(DecodeNTFSBootSector(buffer.data(), buffer.size(), f));
        EXPECT_EQ(f, Sentinel());
    }
}

// ---------------------------------------------------------------------------------------------
// MFT records built attribute by attribute, protected by an update sequence as on the disk

constexpr std::uint32_t kStdInfo = 0x10;
constexpr std::uint32_t kFileName = 0x30;
constexpr std::uint32_t kObjectId = 0x40;
constexpr std::uint32_t kData = 0x80;
constexpr std::uint32_t kBitmap = 0xB0;
constexpr std::uint16_t kUsn = 0x0002;

std::size_t Round8(std::size_t n) {
    return (n + 7) & ~std::size_t{7};
}

Bytes ResidentAttr(std::uint32_t type, std::uint32_t valueLength, std::uint8_t nameLength = 0) {
    const std::size_t valueOffset = Round8(24 + 2u * nameLength);
    Bytes a(Round8(valueOffset + valueLength), 0);
    Put32(a.data(), 0, type);
    Put32(a.data(), 4, static_cast<std::uint32_t>(a.size()));
    a[9] = nameLength;
    Put16(a.data(), 10, 24);
    Put32(a.data(), 16, valueLength);
    Put16(a.data(), 20, static_cast<std::uint16_t>(valueOffset));
    for (std::size_t i = 0; i < valueLength; ++i)
        a[valueOffset + i] = static_cast<std::uint8_t>(0xA0 + i);
    return a;
}

Bytes NonResidentAttr(std::uint32_t type, std::int64_t lowestVcn, std::int64_t allocated,
                      std::int64_t size, std::int64_t initialized, std::uint8_t nameLength = 0) {
    const std::size_t runsOffset = Round8(64 + 2u * nameLength);
    Bytes a(runsOffset + 8, 0);
    Put32(a.data(), 0, type);
    Put32(a.data(), 4, static_cast<std::uint32_t>(a.size()));
    a[8] = 1;
    a[9] = nameLength;
    Put16(a.data(), 10, 64);
    Put64(a.data(), 16, static_cast<std::uint64_t>(lowestVcn));
    Put64(a.data(), 24, static_cast<std::uint64_t>(lowestVcn + allocated / 4096 - 1));
    Put16(a.data(), 32, static_cast<std::uint16_t>(runsOffset));
    Put64(a.data(), 0x28, static_cast<std::uint64_t>(allocated));
    Put64(a.data(), 0x30, static_cast<std::uint64_t>(size));
    Put64(a.data(), 0x38, static_cast<std::uint64_t>(initialized));
    a[runsOffset] = 0x11; // one run: 1 cluster at LCN 4, then the terminator
    a[runsOffset + 1] = 0x01;
    a[runsOffset + 2] = 0x04;
    return a;
}

// Where the attributes of a record of `size` bytes start: after the update sequence array at
// 0x30 (0x38 for 1024-byte records, 0x48 for 4096-byte ones).
std::size_t AttrsOffset(std::size_t size) {
    return Round8(0x30 + 2 * (size / 512 + 1));
}

// An in-use record 0 of `size` bytes with the attributes and an end marker, with every
// 512-byte stride's last two bytes moved into the update sequence array.
Bytes MakeMftRecord(const std::vector<Bytes>& attrs, std::size_t size = 1024) {
    Bytes r(size, 0);
    std::memcpy(r.data(), "FILE", 4);
    const std::size_t strides = size / 512;
    const std::size_t attrsOffset = AttrsOffset(size);
    Put16(r.data(), 4, 0x30);
    Put16(r.data(), 6, static_cast<std::uint16_t>(strides + 1));
    Put16(r.data(), 16, 1);
    Put16(r.data(), 18, 1);
    Put16(r.data(), 20, static_cast<std::uint16_t>(attrsOffset));
    Put16(r.data(), 22, 0x0001);
    Put32(r.data(), 28, static_cast<std::uint32_t>(size));
    std::size_t pos = attrsOffset;
    for (const Bytes& a : attrs) {
        std::memcpy(&r[pos], a.data(), a.size());
        pos += a.size();
    }
    Put32(r.data(), pos, 0xFFFFFFFF);
    pos += 8;
    Put32(r.data(), 24, static_cast<std::uint32_t>(pos));
    Put16(r.data(), 0x30, kUsn);
    for (std::size_t i = 1; i <= strides; ++i) {
        const std::size_t end = i * 512 - 2;
        r[0x30 + 2 * i] = r[end];
        r[0x30 + 2 * i + 1] = r[end + 1];
        Put16(r.data(), end, kUsn);
    }
    return r;
}

// The standard information and file name of $MFT's record as mkfs.ntfs writes them.
std::vector<Bytes> MftHead() {
    return {ResidentAttr(kStdInfo, 72), ResidentAttr(kFileName, 74)};
}

std::vector<Bytes> With(std::vector<Bytes> attrs, std::initializer_list<Bytes> more) {
    attrs.insert(attrs.end(), more);
    return attrs;
}

TEST(NtfsMftRecord0, FindsTheValidDataLengthOfTheUnnamedDataAttribute) {
    // Places the initialized size of a non-resident $DATA across the end of the first stride,
    // where the update sequence number stands on the disk.
    const Bytes filler = ResidentAttr(kObjectId, 392 - 24);
    ASSERT_EQ(AttrsOffset(1024) + filler.size() + 0x38, 504u);

    struct Row {
        const char* name;
        Bytes record;
        std::int64_t length;
    };
    const Row rows[] = {
        {"non-resident: its initialized size, not its data or allocated size",
         MakeMftRecord(With(MftHead(), {NonResidentAttr(kData, 0, 32768, 30720, 27648),
                                        NonResidentAttr(kBitmap, 0, 4096, 8, 8)})),
         27648},
        {"resident: its value length", MakeMftRecord(With(MftHead(), {ResidentAttr(kData, 300)})),
         300},
        {"a named data stream before the unnamed one is passed over",
         MakeMftRecord(With(MftHead(), {NonResidentAttr(kData, 0, 8192, 8192, 999, 4),
                                        ResidentAttr(kData, 16, 3),
                                        NonResidentAttr(kData, 0, 8192, 8192, 4096)})),
         4096},
        {"an extent that does not start at VCN 0 is passed over",
         MakeMftRecord(With(MftHead(), {NonResidentAttr(kData, 10, 8192, 8192, 5),
                                        NonResidentAttr(kData, 0, 16384, 16384, 8192)})),
         8192},
        {"a value across a stride end is read with its saved bytes",
         MakeMftRecord({filler, NonResidentAttr(kData, 0, 0x0102030405060708, 0x0102030405060708,
                                                0x0102030405060708)}),
         0x0102030405060708},
        {"4096-byte record: eight strides",
         MakeMftRecord(With(MftHead(), {NonResidentAttr(kData, 0, 1 << 20, 1 << 19, 1 << 18)}),
                       4096),
         1 << 18},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes record = row.record;
        NTFSFields f = Sentinel();
        ASSERT_TRUE(DecodeNTFSMftRecord0(record.data(), record.size(), f));
        EXPECT_EQ(f.MftValidDataLength, row.length);
        NTFSFields expected = Sentinel();
        expected.MftValidDataLength = row.length;
        EXPECT_EQ(f, expected);
        // The fixups were put back: no stride ends in the sequence number any more.
        for (std::size_t end = 510; end < record.size(); end += 512)
            EXPECT_NE(Get16(record.data(), end), kUsn) << "at " << end;
    }
}

TEST(NtfsMftRecord0, RejectsInvalidRecordsAndLeavesThemUntouched) {
    const Bytes good =
        MakeMftRecord(With(MftHead(), {NonResidentAttr(kData, 0, 32768, 30720, 27648)}));
    // Offsets in `good`: standard information at 0x38 (0x60 bytes), file name at 0x98 (0x68),
    // $DATA at 0x100.
    constexpr std::size_t kStdInfoAt = 0x38;
    constexpr std::size_t kDataAt = 0x100;
    ASSERT_EQ(Get16(good.data(), kDataAt), kData);

    using Mutate = std::function<void(Bytes&)>;
    struct Row {
        const char* name;
        Bytes record;
        Mutate mutate;
    };
    const auto set16 = [](std::size_t at, std::uint16_t v) -> Mutate {
        return [at, v](Bytes& r) { Put16(r.data(), at, v); };
    };
    const auto set32 = [](std::size_t at, std::uint32_t v) -> Mutate {
        return [at, v](Bytes& r) { Put32(r.data(), at, v); };
    };
    const auto set64 = [](std::size_t at, std::int64_t v) -> Mutate {
        return [at, v](Bytes& r) { Put64(r.data(), at, static_cast<std::uint64_t>(v)); };
    };
    const Mutate none = [](Bytes&) {};
    const Row rows[] = {
        {"another signature", good, [](Bytes& r) { std::memcpy(r.data(), "BAAD", 4); }},
        {"torn: the first stride ends in another number", good, [](Bytes& r) { r[510] ^= 1; }},
        {"torn: the last stride ends in another number", good, [](Bytes& r) { r[1023] ^= 0x40; }},
        {"update sequence count does not match the record size", good, set16(6, 2)},
        {"update sequence count 0", good, set16(6, 0)},
        {"update sequence array reaching the first stride end", good, set16(4, 506)},
        {"update sequence array inside the header", good, set16(4, 0x10)},
        {"record not in use", good, set16(22, 0)},
        {"not record 0", good, set32(0x2C, 5)},
        {"bytes in use beyond the record", good, set32(24, 1032)},
        {"attributes start beyond the bytes in use", good, set16(20, 0x3F8)},
        {"attributes start inside the update sequence array", good, set16(20, 0x30)},
        {"attribute of length 0", good, set32(kStdInfoAt + 4, 0)},
        {"attribute shorter than a header", good, set32(kStdInfoAt + 4, 16)},
        {"attribute past the bytes in use", good, set32(kStdInfoAt + 4, 0x1000)},
        {"non-resident $DATA shorter than its header", good, set32(kDataAt + 4, 48)},
        {"non-resident $DATA reaching past the bytes in use", good, set32(kDataAt + 4, 0x200)},
        {"initialized size above the data size", good, set64(kDataAt + 0x38, 30721)},
        {"negative initialized size", good, set64(kDataAt + 0x38, -1)},
        {"data size above the allocated size", good, set64(kDataAt + 0x30, 40000)},
        {"no end marker: the walk stops at the bytes in use", good,
         [](Bytes& r) { Put32(r.data(), 24, static_cast<std::uint32_t>(kDataAt)); }},
        {"resident value past its attribute",
         MakeMftRecord(With(MftHead(), {ResidentAttr(kData, 64)})), set32(kDataAt + 16, 4000)},
        {"resident value offset past its attribute",
         MakeMftRecord(With(MftHead(), {ResidentAttr(kData, 64)})), set16(kDataAt + 20, 0xFFF0)},
        {"no unnamed $DATA",
         MakeMftRecord(With(MftHead(), {NonResidentAttr(kData, 0, 4096, 4096, 4096, 4)})), none},
        {"only a later extent of $DATA",
         MakeMftRecord(With(MftHead(), {NonResidentAttr(kData, 7, 4096, 4096, 4096)})), none},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes record = row.record;
        row.mutate(record);
        const Bytes before = record;
        NTFSFields f = Sentinel();
        EXPECT_FALSE(DecodeNTFSMftRecord0(record.data(), record.size(), f));
        EXPECT_EQ(f, Sentinel());
        EXPECT_EQ(record, before);
    }

    // Sizes the update sequence cannot cover: the record is never read past `size`.
    for (const std::size_t size : {std::size_t{0}, std::size_t{48}, std::size_t{511},
                                   std::size_t{1000}, std::size_t{1023}}) {
        SCOPED_TRACE(size);
        Bytes record(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
        NTFSFields f = Sentinel();
        EXPECT_FALSE(DecodeNTFSMftRecord0(record.data(), record.size(), f));
    }
}

TEST(NtfsBitmap, CountsZeroBitsOfTheVolumesClusters) {
    struct Row {
        const char* name;
        Bytes bitmap;
        std::int64_t totalClusters;
        std::int64_t free;
    };
    const Row rows[] = {
        {"all free", {0x00, 0x00}, 16, 16},
        {"all used", {0xFF, 0xFF}, 16, 0},
        {"low bit first", {0x0F, 0x00}, 16, 12},
        {"padding bits past the last cluster do not count", {0x0F, 0x80}, 12, 8},
        {"partial last byte", {0xF9}, 3, 2},
        {"bytes past the last cluster do not count", {0x00, 0x00, 0x00}, 9, 9},
        {"clusters past a short bitmap are not free", {0x01}, 20, 7},
        {"no clusters", {0x00}, 0, 0},
        {"negative cluster count", {0x00}, -5, 0},
        {"empty bitmap", {}, 100, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(CountFreeClustersFromBitmap(row.bitmap.empty() ? nullptr : row.bitmap.data(),
                                              row.bitmap.size(), row.totalClusters),
                  row.free);
    }
}

// ---------------------------------------------------------------------------------------------
// Real images made by the file-system tools (regular files in a temporary folder)

// The full path of a program on $PATH or in the system folders of administration tools, or "".
std::string FindTool(const std::string& name) {
    std::string dirs = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    dirs += ":/usr/sbin:/sbin:/usr/local/sbin";
    std::stringstream list(dirs);
    std::string dir;
    while (std::getline(list, dir, ':')) {
        if (dir.empty())
            continue;
        const std::string path = dir + "/" + name;
        if (::access(path.c_str(), X_OK) == 0)
            return path;
    }
    return {};
}

void MakeImage(const std::string& path, std::uintmax_t bytes) {
    { std::ofstream(path, std::ios::binary | std::ios::trunc); }
    std::filesystem::resize_file(path, bytes);
}

Bytes ReadAt(const std::string& path, std::int64_t offset, std::size_t length) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset);
    Bytes data(length);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(length));
    if (static_cast<std::size_t>(in.gcount()) != length)
        throw std::runtime_error("short read of " + path);
    return data;
}

// The first number that `pattern`'s first group matches in `text`.
std::optional<std::int64_t> Find(const std::string& text, const std::string& pattern) {
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(pattern)))
        return std::nullopt;
    return std::stoll(m[1].str());
}

std::int64_t Need(const std::string& text, const std::string& pattern) {
    const auto v = Find(text, pattern);
    if (!v)
        throw std::runtime_error("no match for \"" + pattern + "\" in:\n" + text);
    return *v;
}

TEST(FatImages, BootSectorMatchesFsckFat) {
    const std::string mkfs = FindTool("mkfs.fat");
    const std::string fsck = FindTool("fsck.fat");
    if (mkfs.empty() || fsck.empty())
        GTEST_SKIP() << "mkfs.fat or fsck.fat not found (package dosfstools)";

    struct Row {
        const char* name;
        std::vector<std::string> options;
        std::uintmax_t mib;
        TDriveFSType type;
    };
    const Row rows[] = {
        {"FAT12", {"-F", "12"}, 8, dfst_FAT12},
        {"FAT16", {"-F", "16"}, 20, dfst_FAT16},
        {"FAT32", {"-F", "32"}, 40, dfst_FAT32},
        {"FAT12 with 64 KiB clusters", {"-F", "12", "-s", "128"}, 64, dfst_FAT12},
        {"FAT16 with 32 KiB clusters", {"-F", "16", "-s", "64"}, 200, dfst_FAT16},
        {"FAT16 with 64 KiB clusters", {"-F", "16", "-s", "128"}, 300, dfst_FAT16},
        {"FAT32 with 4096-byte sectors", {"-F", "32", "-S", "4096"}, 300, dfst_FAT32},
    };
    test::TempDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string image = dir.File("fat.img");
        MakeImage(image, row.mib << 20);
        std::vector<std::string> args{mkfs};
        args.insert(args.end(), row.options.begin(), row.options.end());
        args.push_back(image);
        const auto made = test::RunProcess(args);
        ASSERT_EQ(made.exitCode, 0) << made.err;
        const auto checked = test::RunProcess({fsck, "-v", "-n", image});
        ASSERT_EQ(checked.exitCode, 0) << checked.out << checked.err;
        const std::string& t = checked.out;

        const Bytes sector = ReadAt(image, 0, 512);
        FATFields f;
        EXPECT_EQ(DecodeFATBootSector(sector.data(), f), row.type);
        EXPECT_EQ(Need(t, R"((\d+) FATs, (?:\d+) bit entries)"), f.NumberofFats);
        const auto entryBits = Need(t, R"(\d+ FATs, (\d+) bit entries)");
        EXPECT_EQ(entryBits, row.type == dfst_FAT12 ? 12 : row.type == dfst_FAT16 ? 16 : 32);
        EXPECT_EQ(Need(t, R"((\d+) bytes per logical sector)"), f.BytesPerSec);
        EXPECT_EQ(Need(t, R"((\d+) bytes per cluster)"), f.BytesPerCluster);
        EXPECT_EQ(Need(t, R"((\d+) bytes per cluster)"),
                  std::int64_t{f.BytesPerSec} * f.SectorsPerCluster);
        EXPECT_EQ(Need(t, R"((\d+) reserved sectors)"), f.ReservedSectors);
        EXPECT_EQ(Need(t, R"(bytes per FAT \(= (\d+) sectors\))"), f.SectorsOfFAT);
        EXPECT_EQ(Need(t, R"(Data area starts at byte \d+ \(sector (\d+)\))"), f.FirstDataSector);
        EXPECT_EQ(Need(t, R"((\d+) data clusters)"), f.ClusterCount);
        EXPECT_EQ(Need(t, R"((\d+) sectors total)"), f.SectorCount);
        if (const auto cluster = Find(t, R"(Root directory start at cluster (\d+))")) {
            EXPECT_EQ(*cluster, f.RootDirStartCluster);
            EXPECT_EQ(f.RootDirStartSector,
                      f.FirstDataSector + (f.RootDirStartCluster - 2) * f.SectorsPerCluster);
            EXPECT_EQ(f.RootDirSectorCount, 0u);
        } else {
            const auto rootSector =
                Need(t, R"(Root directory starts at byte \d+ \(sector (\d+)\))");
            EXPECT_EQ(rootSector, f.RootDirStartSector);
            EXPECT_EQ(Need(t, R"(Data area starts at byte \d+ \(sector (\d+)\))") - rootSector,
                      f.RootDirSectorCount);
            EXPECT_EQ(Need(t, R"((\d+) root directory entries)"), f.RootDirEntryCount);
            EXPECT_EQ(f.RootDirStartCluster, 0u);
        }
    }
}

TEST(NtfsImages, VolumeDataMatchesNtfsinfo) {
    const std::string mkfs = FindTool("mkfs.ntfs");
    const std::string info = FindTool("ntfsinfo");
    const std::string label = FindTool("ntfslabel");
    const std::string cat = FindTool("ntfscat");
    if (mkfs.empty() || info.empty() || label.empty() || cat.empty())
        GTEST_SKIP() << "mkfs.ntfs, ntfsinfo, ntfslabel or ntfscat not found (package ntfs-3g)";

    struct Row {
        const char* name;
        std::vector<std::string> options;
        std::uintmax_t mib;
        const char* serial;
    };
    const Row rows[] = {
        {"512-byte sectors", {"-s", "512"}, 16, "1122334455667788"},
        {"4096-byte sectors, 4096-byte records", {"-s", "4096"}, 32, "8000000000000001"},
        {"256 KiB clusters", {"-s", "512", "-c", "262144"}, 256, "00000000cafe0042"},
    };
    test::TempDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string image = dir.File("ntfs.img");
        MakeImage(image, row.mib << 20);
        std::vector<std::string> args{mkfs, "-F", "-Q"};
        args.insert(args.end(), row.options.begin(), row.options.end());
        args.push_back(image);
        const auto made = test::RunProcess(args);
        ASSERT_EQ(made.exitCode, 0) << made.out << made.err;
        const auto labelled =
            test::RunProcess({label, std::string("--new-serial=") + row.serial, image});
        ASSERT_EQ(labelled.exitCode, 0) << labelled.out << labelled.err;
        const auto volume = test::RunProcess({info, "-m", image});
        ASSERT_EQ(volume.exitCode, 0) << volume.err;
        const std::string& m = volume.out;

        const Bytes boot = ReadAt(image, 0, 512);
        NTFSFields f;
        ASSERT_TRUE(DecodeNTFSBootSector(boot.data(), boot.size(), f));
        EXPECT_EQ(static_cast<std::uint64_t>(f.VolumeSerialNumber),
                  std::stoull(row.serial, nullptr, 16));
        EXPECT_EQ(Need(m, R"(Sector Size: (\d+))"), f.BytesPerSector);
        EXPECT_EQ(Need(m, R"(Cluster Size: (\d+))"), f.BytesPerCluster);
        EXPECT_EQ(Need(m, R"(Volume Size in Clusters: (\d+))"), f.TotalClusters);
        EXPECT_EQ(Need(m, R"(MFT Record Size: (\d+))"), f.BytesPerFileRecordSegment);
        EXPECT_EQ(Need(m, R"(LCN of Data Attribute for FILE_MFT: (\d+))"), f.MftStartLcn);
        EXPECT_EQ(Need(m, R"(LCN of Data Attribute for File_MFTMirr: (\d+))"), f.Mft2StartLcn);
        // mkfs.ntfs keeps the image's last sector for the backup boot sector.
        EXPECT_EQ(f.NumberSectors,
                  static_cast<std::int64_t>((row.mib << 20) / f.BytesPerSector) - 1);

        Bytes record =
            ReadAt(image, f.MftStartLcn * f.BytesPerCluster, f.BytesPerFileRecordSegment);
        const Bytes torn = [&] {
            Bytes t = record;
            t[510] ^= 0x01;
            return t;
        }();
        ASSERT_TRUE(DecodeNTFSMftRecord0(record.data(), record.size(), f));
        const auto mft = test::RunProcess({info, "-i", "0", image});
        ASSERT_EQ(mft.exitCode, 0) << mft.err;
        EXPECT_EQ(
            Need(mft.out, R"(Dumping attribute \$DATA \(0x80\)[\s\S]*?Initialized size:\s*(\d+))"),
            f.MftValidDataLength);

        Bytes tornCopy = torn;
        NTFSFields g;
        EXPECT_FALSE(DecodeNTFSMftRecord0(tornCopy.data(), tornCopy.size(), g));
        EXPECT_EQ(tornCopy, torn);

        const auto bitmap = test::RunProcess({cat, image, "$Bitmap"});
        ASSERT_EQ(bitmap.exitCode, 0) << bitmap.err;
        EXPECT_EQ(
            CountFreeClustersFromBitmap(reinterpret_cast<const std::uint8_t*>(bitmap.out.data()),
                                        bitmap.out.size(), f.TotalClusters),
            Need(m, R"(Free Clusters: (\d+))"));
    }
}

} // namespace
} // namespace purgix
