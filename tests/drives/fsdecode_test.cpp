// Decoding of FAT boot sectors: sectors built byte by byte here, and image files formatted by
// mkfs.fat, checked against what fsck.fat reads from the same images.
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

} // namespace
} // namespace purgix
