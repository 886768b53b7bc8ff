// Low-level volume functions that need no device: handles, sector reads from an image file,
// partition type names.
#include "drives/vwin32.h"

#include "platform/debug.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>

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

} // namespace
} // namespace purgix
