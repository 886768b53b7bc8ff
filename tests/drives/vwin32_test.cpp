// Low-level volume functions that need no device: handles, sector reads from an image file,
// partition type names.
#include "drives/vwin32.h"

#include "platform/debug.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <utility>

namespace purgix {
namespace {

TEST(Vwin32, CloseVolumeOfNothing) {
    for (int nothing : {0, -1}) {
        int h = nothing;
        EXPECT_EQ(CloseVolume(h), 3);
        EXPECT_EQ(h, -1);
    }
    int h = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GT(h, 0);
    EXPECT_EQ(CloseVolume(h), 0);
    EXPECT_EQ(h, -1);
}

TEST(Vwin32, ReadSectorsFromAnImage) {
    test::TempDir dir;
    std::string image(4096, '\0');
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i / 512 + 1);
    test::WriteFile(dir.File("img"), image);
    int h = ::open(dir.File("img").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(h, 0);

    std::array<unsigned char, 1024> buf{};
    buf.fill(0xEE);
    EXPECT_FALSE(ReadSectors(-1, 1, 512, buf.data(), 0));
    EXPECT_EQ(buf[0], 0xEE) << "the buffer is untouched";

    ASSERT_TRUE(ReadSectors(h, 2, 512, buf.data(), 3));
    EXPECT_EQ(buf[0], 4);
    EXPECT_EQ(buf[1023], 5);
    // Past the end the seek succeeds but the read comes up short.
    EXPECT_FALSE(ReadSectors(h, 2, 512, buf.data(), 7));
    EXPECT_FALSE(ReadSectors(h, 1, 512, buf.data(), 100));

    // Through an unbuffered handle the same bytes arrive.
    int direct = ::open(dir.File("img").c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    if (direct >= 0) {
        buf.fill(0);
        EXPECT_TRUE(ReadSectors(direct, 1, 512, buf.data(), 2));
        EXPECT_EQ(buf[0], 3);
        CloseVolume(direct);
    }
    CloseVolume(h);

    // A failed seek names the system's reason on the debug output.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    std::vector<std::string> debug;
    {
        platform::ScopedDebugCapture capture([&](std::string_view t) { debug.emplace_back(t); });
        EXPECT_FALSE(ReadSectors(pipeFds[0], 1, 512, buf.data(), 0));
    }
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_EQ(debug[0], "Illegal seek");
}

TEST(Vwin32, PartitionTypeNames) {
    const std::pair<int, std::string> cases[] = {
        {0x01, "FAT12 PARTITION"},
        {0x04, "FAT16 PARTITION"},
        {0x07, "NTFS PARTITION"},
        {0x0B, "FAT32 PARTITION"},
        {0x42, "LINUX SWAP PARTITION"},
        {0x82, "LINUX SWAP PARTITION"},
        {0x43, "LINUX NATIVE"},
        {0x83, "LINUX NATIVE"},
        {0x84, "HIBERNATION PARTITION"},
        {0xAF, "MAC OS X PARTITION"},
        {0xEE, "EFI/GPT SYSTEM PARTITION"},
        {0x06, ""},
        {0x0C, ""},
        {0x0E, ""},
        {0x00, ""},
    };
    for (const auto& [type, name] : cases)
        EXPECT_EQ(GetPartitionTypeName(static_cast<std::uint8_t>(type)), name) << type;
}

TEST(Vwin32, NoVolumeAtAFolderThatIsNoMountPoint) {
    test::TempDir dir;
    EXPECT_EQ(GetVolumeDevicePath(dir.Path()), "");
    int h = 5;
    EXPECT_EQ(OpenVolume(h, dir.Path()), 1);
    EXPECT_EQ(h, -1);
    int t = 9, n = 9, p = 9;
    EXPECT_FALSE(GetDriveDeviceNumber(dir.Path(), t, n, p));
    EXPECT_EQ(t, 9) << "outputs untouched";
    EXPECT_FALSE(IsFATVolume(dir.Path()));
}

std::uint32_t LE32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
}

TEST(Vwin32, WholeDiskMbr) {
    constexpr std::int64_t MiB = 1024 * 1024;
    struct Case {
        std::int64_t diskBytes;
        int sector;
        std::uint32_t start;
        std::uint32_t count;
    };
    const Case cases[] = {
        {64 * MiB, 512, 2048, 64 * 2048 - 2048},
        {64 * MiB + 1000, 512, 2048, 64 * 2048 - 2048 + 1}, // a partial last sector is left out
        {64 * MiB, 4096, 256, 64 * 256 - 256},
        // An MBR counts sectors in 32 bits: a larger disk gets the largest partition it can hold.
        {std::int64_t{3} << 40, 512, 2048, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        std::array<std::uint8_t, 512> mbr{};
        mbr.fill(0xCC);
        ASSERT_TRUE(BuildWholeDiskMbr(c.diskBytes, c.sector, mbr.data())) << c.diskBytes;
        EXPECT_EQ(WholeDiskPartitionStart(c.sector), c.start);
        EXPECT_EQ(std::count(mbr.begin(), mbr.begin() + 440, 0), 440) << "no boot code";
        EXPECT_EQ(LE32(&mbr[440]), 0x000055AAu);
        EXPECT_EQ(mbr[446], 0x00) << "not active";
        EXPECT_EQ(mbr[446 + 4], 0x0B);
        EXPECT_EQ(LE32(&mbr[446 + 8]), c.start);
        EXPECT_EQ(LE32(&mbr[446 + 12]), c.count) << c.diskBytes;
        EXPECT_EQ(std::count(mbr.begin() + 462, mbr.begin() + 510, 0), 48) << "three empty slots";
        EXPECT_EQ(mbr[510], 0x55);
        EXPECT_EQ(mbr[511], 0xAA);
    }
    // CHS of sector 2048 in the 255/63 translation: cylinder 0, head 32, sector 33.
    std::array<std::uint8_t, 512> mbr{};
    ASSERT_TRUE(BuildWholeDiskMbr(64 * MiB, 512, mbr.data()));
    EXPECT_EQ(mbr[447], 32);
    EXPECT_EQ(mbr[448], 33);
    EXPECT_EQ(mbr[449], 0);
    ASSERT_TRUE(BuildWholeDiskMbr(std::int64_t{100} << 30, 512, mbr.data()));
    EXPECT_EQ(mbr[451], 0xFE) << "an end beyond CHS reach is marked";
    EXPECT_EQ(mbr[452], 0xFF);
    EXPECT_EQ(mbr[453], 0xFF);

    // No room behind the first MiB, or a sector size that does not divide it.
    for (const auto& [bytes, sector] : {std::pair<std::int64_t, int>{MiB, 512},
                                        {MiB + 511, 512},
                                        {0, 512},
                                        {64 * MiB, 0},
                                        {64 * MiB, 520}}) {
        mbr.fill(0xCC);
        EXPECT_FALSE(BuildWholeDiskMbr(bytes, sector, mbr.data())) << bytes << " " << sector;
    }
}

} // namespace
} // namespace purgix
