// Platform basics: owned descriptors and buffers, the file stream, the tick and the debug sink.
#include "platform/aligned_buffer.h"
#include "platform/debug.h"
#include "platform/stream.h"
#include "platform/syserror.h"
#include "platform/tick.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>

namespace purgix::platform {
namespace {

TEST(UniqueFd, ClosesOnScopeExitAndMoves) {
    int raw = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(raw, 0);
    {
        UniqueFd a(raw);
        UniqueFd b(std::move(a));
        EXPECT_FALSE(a.Valid());
        EXPECT_EQ(b.Get(), raw);
    }
    EXPECT_EQ(::fcntl(raw, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(AlignedBuffer, PageAlignedAndZeroed) {
    AlignedBuffer buffer(3 * AlignedBuffer::PageSize() + 5);
    ASSERT_NE(buffer.Data(), nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.Data()) % AlignedBuffer::PageSize(), 0u);
    for (std::size_t i = 0; i < buffer.Size(); ++i)
        ASSERT_EQ(buffer.Data()[i], 0);
    AlignedBuffer none(0);
    EXPECT_EQ(none.Data(), nullptr);
}

TEST(FileStream, WritesAtTheSeekPosition) {
    test::TempDir dir;
    const std::string path = dir.File("f");
    test::WriteFile(path, "0123456789");
    FileStream stream(UniqueFd(::open(path.c_str(), O_WRONLY)));
    ASSERT_EQ(stream.Seek(4), 0);
    const IoResult r = stream.Write("ab", 2);
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.bytes, 2u);
    EXPECT_EQ(test::ReadFile(path), "0123ab6789");

    FileStream closed{UniqueFd{}};
    EXPECT_EQ(closed.Seek(0), EBADF);
    EXPECT_EQ(closed.Write("x", 1).error, EBADF);
    EXPECT_EQ(SysErrorMessage(EBADF), std::strerror(EBADF));
}

TEST(Tick, InjectableSourceWrapsAsUnsigned32Bit) {
    std::uint32_t now = 0xFFFFFF00u;
    {
        ScopedTickSource source([&] { return now; });
        const std::uint32_t start = GetTickCount();
        now += 0x200; // wraps past zero
        EXPECT_EQ(GetTickCount() - start, 0x200u);
    }
    const std::uint32_t a = GetTickCount();
    const std::uint32_t b = GetTickCount();
    EXPECT_LE(b - a, 1000u);
}

TEST(DebugOutput, CaptureReceivesLines) {
    std::string got;
    {
        ScopedDebugCapture capture([&](std::string_view t) { got += std::string(t) + "|"; });
        DebugOutput("one");
        DebugOutput("two");
    }
    DebugOutput("not captured");
    EXPECT_EQ(got, "one|two|");
}

} // namespace
} // namespace purgix::platform
