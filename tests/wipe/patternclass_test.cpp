// Passes, pattern buffers and WriteData.
#include "wipe/patternclass.h"

#include "platform/debug.h"
#include "support/fault_stream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace purgix {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::FaultStream;

Bytes Buffer(TWipePattern& pass, std::uint32_t size) {
    Bytes b(size, 0x5C);
    pass.GetPatternBuffer(b.data(), size);
    return b;
}

TWipePattern& AddFixed(TWipeAlgorithm& m, const std::string& hex) {
    TWipePattern& p = m.Add();
    p.SetPatternType(pt_fixed);
    p.SetPattern(hex);
    return p;
}

TWipePattern& AddRandom(TWipeAlgorithm& m, std::int32_t len) {
    TWipePattern& p = m.Add();
    p.SetPatternType(pt_random);
    p.SetRandomLen(len);
    return p;
}

void AddInvert(TWipeAlgorithm& m) {
    m.Add().SetPatternType(pt_invert);
}

// Snapshots of the stream's image at the end of every pass.
struct PassRecorder {
    explicit PassRecorder(TWipeAlgorithm& m, FaultStream& s) : stream(s) {
        m.SetOnProgress([this](TWipeAlgorithm&, std::int32_t pass, std::int32_t total,
                               std::int64_t current, std::int64_t size, bool&) {
            calls.push_back({pass, total, current, size});
            if (current == size)
                images.push_back(stream.image);
        });
    }
    struct Call {
        std::int32_t pass, total;
        std::int64_t current, size;
    };
    FaultStream& stream;
    std::vector<Call> calls;
    std::vector<Bytes> images;
};

struct PatternCase {
    std::string hex;
    std::uint32_t size;
    Bytes expected;
};

TEST(PatternBuffer, HexTextBecomesRepeatedBytes) {
    const std::vector<PatternCase> cases = {
        {"00", 10, Bytes(10, 0x00)},
        {"55AA", 5, {0x55, 0xAA, 0x55, 0xAA, 0x55}},
        {"abc", 4, {0xAB, 0xAB, 0xAB, 0xAB}}, // the lone trailing digit is ignored
        {"fF", 3, {0xFF, 0xFF, 0xFF}},
        {"924924", 7, {0x92, 0x49, 0x24, 0x92, 0x49, 0x24, 0x92}},
        {"0102030405", 2, {0x01, 0x02}}, // buffer shorter than the pattern
    };
    for (const PatternCase& c : cases) {
        TWipePattern p;
        p.SetPattern(c.hex);
        EXPECT_EQ(Buffer(p, c.size), c.expected) << "pattern " << c.hex;
    }
}

TEST(PatternBuffer, BrokenPatternDataIsRefusedBeforeAnythingOfThePassIsWritten) {
    struct Case {
        TPatternType type;
        std::string hex;
        std::int32_t len;
        std::string inMessage;
    };
    const std::vector<Case> cases = {
        {pt_fixed, "00ZZ", 0, "'ZZ' is not a valid hexadecimal byte"},
        {pt_fixed, "", 0, "holds no whole hex pair"},
        {pt_fixed, "7", 0, "holds no whole hex pair"},
        {pt_random, "", 0, "RandomLen 0"},
        {pt_random, "", -1, "RandomLen -1"},
    };
    for (const Case& c : cases) {
        TWipeAlgorithm m;
        m.SetName("Broken");
        AddFixed(m, "11");
        TWipePattern& bad = m.Add();
        bad.SetPatternType(c.type);
        bad.SetPattern(c.hex);
        bad.SetRandomLen(c.len);
        FaultStream s;
        PassRecorder rec(m, s);
        try {
            m.WriteData(s, 4, 0, 8);
            ADD_FAILURE() << "no exception for pattern '" << c.hex << "'";
        } catch (const EPatternDataError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(c.inMessage), std::string::npos) << what;
            EXPECT_NE(what.find("pass 2"), std::string::npos) << what;
        }
        // Pass 1 was written; pass 2 wrote nothing and never reported progress.
        EXPECT_EQ(s.image, Bytes(8, 0x11));
        EXPECT_EQ(s.writes.size(), 2u);
        for (const auto& call : rec.calls)
            EXPECT_EQ(call.pass, 1);
    }
}

TEST(RandomPass, BlockNeverHoldsFFAndRepeatsWithItsLength) {
    SetRandSeed(12345);
    TWipePattern p;
    p.SetPatternType(pt_random);
    p.SetRandomLen(65536);
    const Bytes b = Buffer(p, 3 * 65536 + 100);
    std::set<std::uint8_t> seen;
    for (std::size_t k = 0; k < b.size(); ++k) {
        ASSERT_NE(b[k], 0xFF) << "at " << k;
        ASSERT_EQ(b[k], b[k % 65536]) << "at " << k;
        seen.insert(b[k]);
    }
    EXPECT_EQ(seen.size(), 255u); // every value but 0xFF occurs in 64 KiB
    EXPECT_EQ(p.Pattern().size(), 2u * 65536);

    // The block is drawn once per pass object and kept.
    EXPECT_EQ(Buffer(p, 1000), Bytes(b.begin(), b.begin() + 1000));

    TWipePattern one;
    one.SetPatternType(pt_random);
    one.SetRandomLen(1);
    const Bytes single = Buffer(one, 50);
    EXPECT_EQ(single, Bytes(50, single[0]));
    EXPECT_NE(single[0], 0xFF);
}

TEST(RandomGenerator, LinearCongruentialStepsAndSharedState) {
    SetRandSeed(1);
    // state = 1 * 134775813 + 1 = 134775814; (134775814 * 100) >> 32 = 3
    EXPECT_EQ(Random(100), 3);
    EXPECT_EQ(RandSeed(), 134775814u);
    SetRandSeed(0xFFFFFFFFu);
    EXPECT_EQ(Random(255),
              static_cast<std::int32_t>(
                  (static_cast<std::uint64_t>(0xFFFFFFFFu * 134775813u + 1u) * 255u) >> 32));

    // Threads share one state: no step is lost when they draw at once.
    const std::uint32_t start = 777;
    constexpr int kPerThread = 20000;
    std::uint32_t expected = start;
    for (int i = 0; i < 2 * kPerThread; ++i)
        expected = expected * 134775813u + 1u;
    SetRandSeed(start);
    std::thread a([] {
        for (int i = 0; i < kPerThread; ++i)
            Random(10);
    });
    std::thread b([] {
        for (int i = 0; i < kPerThread; ++i)
            Random(10);
    });
    a.join();
    b.join();
    EXPECT_EQ(RandSeed(), expected);
}

TEST(WriteData, ThreeBytePatternRestartsInEveryWrite) {
    TWipeAlgorithm m;
    AddFixed(m, "924924");
    FaultStream s;
    ASSERT_TRUE(m.WriteData(s, 4, 0, 10));
    const Bytes expected = {0x92, 0x49, 0x24, 0x92, 0x92, 0x49, 0x24, 0x92, 0x92, 0x49};
    EXPECT_EQ(s.image, expected);
}

TEST(WriteData, WritesEveryPassOverTheRangeFromOffset) {
    // filesize = 2.5 x blocksize: writes of 8, 8 and 4 bytes in each pass, each pass from offset.
    TWipeAlgorithm m;
    AddFixed(m, "00");
    AddFixed(m, "FF");
    AddFixed(m, "A5");
    FaultStream s;
    PassRecorder rec(m, s);
    ASSERT_TRUE(m.WriteData(s, 8, 100, 20));

    EXPECT_EQ(s.seeks, (std::vector<std::int64_t>{100, 100, 100}));
    ASSERT_EQ(s.writes.size(), 9u);
    for (int pass = 0; pass < 3; ++pass) {
        const auto* w = &s.writes[static_cast<std::size_t>(pass) * 3];
        EXPECT_EQ(w[0].position, 100);
        EXPECT_EQ(w[0].asked, 8u);
        EXPECT_EQ(w[1].asked, 8u);
        EXPECT_EQ(w[2].asked, 4u);
        EXPECT_EQ(w[2].position, 116);
    }
    ASSERT_EQ(rec.images.size(), 3u);
    const std::uint8_t values[] = {0x00, 0xFF, 0xA5};
    for (int pass = 0; pass < 3; ++pass) {
        EXPECT_EQ(Bytes(rec.images[pass].begin() + 100, rec.images[pass].end()),
                  Bytes(20, values[pass]));
        EXPECT_EQ(Bytes(rec.images[pass].begin(), rec.images[pass].begin() + 100), Bytes(100, 0))
            << "nothing before offset";
    }
    // Progress: after every write, with the pass number, the pass count and the running count.
    ASSERT_EQ(rec.calls.size(), 9u);
    EXPECT_EQ(rec.calls[3].pass, 2);
    EXPECT_EQ(rec.calls[3].total, 3);
    EXPECT_EQ(rec.calls[4].current, 16);
    EXPECT_EQ(rec.calls[8].size, 20);
}

TEST(WriteData, RangeShorterThanBlockIsOneWritePerPass) {
    TWipeAlgorithm m;
    AddFixed(m, "01");
    AddFixed(m, "02");
    FaultStream s;
    ASSERT_TRUE(m.WriteData(s, 1 << 20, 0, 300));
    ASSERT_EQ(s.writes.size(), 2u);
    EXPECT_EQ(s.writes[0].asked, 300u);
    EXPECT_EQ(s.image, Bytes(300, 0x02));
}

TEST(WriteData, ComplementOfRandomPassIsExact) {
    SetRandSeed(99);
    TWipeAlgorithm m;
    AddRandom(m, 37);
    AddInvert(m);
    FaultStream s;
    PassRecorder rec(m, s);
    ASSERT_TRUE(m.WriteData(s, 64, 0, 1000));
    ASSERT_EQ(rec.images.size(), 2u);
    for (std::size_t k = 0; k < 1000; ++k)
        ASSERT_EQ(rec.images[1][k], static_cast<std::uint8_t>(~rec.images[0][k])) << k;
}

TEST(WriteData, ComplementWithoutSourceRaisesExactMessages) {
    {
        TWipeAlgorithm m;
        AddInvert(m);
        AddFixed(m, "00");
        FaultStream s;
        try {
            m.WriteData(s, 16, 0, 32);
            FAIL() << "no exception";
        } catch (const EPatternError& e) {
            EXPECT_STREQ(e.what(), "CurrentRound=0, Inverted Pattern not available");
        }
        EXPECT_TRUE(s.writes.empty());
    }
    {
        TWipeAlgorithm m;
        AddFixed(m, "0F");
        AddInvert(m);
        AddInvert(m);
        FaultStream s;
        PassRecorder rec(m, s);
        try {
            m.WriteData(s, 16, 0, 32);
            FAIL() << "no exception";
        } catch (const EPatternError& e) {
            EXPECT_STREQ(e.what(), "TWipePattern.GetPatternBuffer: Invalid Call for pt_invert");
        }
        ASSERT_EQ(rec.images.size(), 2u); // two passes written, nothing of the third
        EXPECT_EQ(s.writes.size(), 4u);
        EXPECT_EQ(s.image, Bytes(32, 0xF0));
    }
}

TEST(WriteData, CancelInSecondPassStopsAtOnce) {
    TWipeAlgorithm m;
    AddFixed(m, "01");
    AddFixed(m, "02");
    AddFixed(m, "03");
    FaultStream s;
    int calls = 0;
    m.SetOnProgress([&](TWipeAlgorithm&, std::int32_t pass, std::int32_t, std::int64_t,
                        std::int64_t, bool& cancel) {
        ++calls;
        if (pass == 2)
            cancel = true;
    });
    EXPECT_TRUE(m.WriteData(s, 10, 0, 40));
    EXPECT_EQ(s.writes.size(), 5u); // four of pass 1, one of pass 2
    EXPECT_EQ(calls, 5);
    EXPECT_EQ(s.image[0], 0x02);
    EXPECT_EQ(s.image[10], 0x01);
}

TEST(WriteData, EmptyRangeWritesNothing) {
    TWipeAlgorithm m;
    AddFixed(m, "01");
    FaultStream s;
    bool called = false;
    m.SetOnProgress([&](TWipeAlgorithm&, std::int32_t, std::int32_t, std::int64_t, std::int64_t,
                        bool&) { called = true; });
    EXPECT_TRUE(m.WriteData(s, 4096, 0, 0));
    EXPECT_TRUE(s.writes.empty());
    EXPECT_TRUE(s.seeks.empty());
    EXPECT_FALSE(called);
}

TEST(WriteData, ShortWriteContinuesWithTheRestOfTheBuffer) {
    TWipeAlgorithm m;
    AddFixed(m, "00010203040506070809");
    FaultStream s;
    // The second write of the pass takes only 3 of 10 bytes.
    s.acceptBytes = [](std::size_t index, std::int64_t, std::size_t asked) {
        return index == 1 ? std::size_t{3} : asked;
    };
    PassRecorder rec(m, s);
    ASSERT_TRUE(m.WriteData(s, 10, 0, 25));
    Bytes expected(25);
    for (std::size_t k = 0; k < 25; ++k)
        expected[k] = static_cast<std::uint8_t>(k % 10);
    EXPECT_EQ(s.image, expected);
    ASSERT_GE(s.writes.size(), 3u);
    EXPECT_EQ(s.writes[2].position, 13);
    EXPECT_EQ(s.writes[2].asked, 7u); // the rest of the buffer
    EXPECT_EQ(rec.calls.back().current, 25);
}

TEST(WriteData, FailingWriteEndsThePassAndSkipsTheRest) {
    TWipeAlgorithm m;
    AddFixed(m, "01");
    AddFixed(m, "02");
    FaultStream s;
    s.failAtOffset = 25;
    s.failError = EIO;
    std::vector<std::string> debug;
    platform::ScopedDebugCapture capture([&](std::string_view t) { debug.emplace_back(t); });
    EXPECT_FALSE(m.WriteData(s, 10, 0, 40));
    EXPECT_EQ(s.writes.size(), 3u); // 0-9, 10-19, then 20-29 fails
    EXPECT_EQ(s.image, Bytes(20, 0x01));
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_NE(debug[0].find("Input/output error"), std::string::npos) << debug[0];

    // A write that claims success but moves nothing is a failure, not an endless loop.
    FaultStream zero;
    zero.acceptBytes = [](std::size_t, std::int64_t, std::size_t) { return std::size_t{0}; };
    EXPECT_FALSE(m.WriteData(zero, 10, 0, 40));
    EXPECT_EQ(zero.writes.size(), 1u);
}

TEST(WriteData, FailingSeekWritesNothing) {
    TWipeAlgorithm m;
    AddFixed(m, "01");
    FaultStream s;
    s.seekError = EINVAL;
    EXPECT_FALSE(m.WriteData(s, 10, 0, 40));
    EXPECT_TRUE(s.writes.empty());
}

TEST(VerifyData, FindsTheFirstByteThatDiffersFromTheLastPass) {
    SetRandSeed(7);
    struct Case {
        const char* name;
        std::function<void(TWipeAlgorithm&)> passes;
    };
    const std::vector<Case> cases = {
        {"fixed", [](TWipeAlgorithm& m) { AddFixed(m, "A5C3"); }},
        {"random", [](TWipeAlgorithm& m) { AddRandom(m, 333); }},
        {"complement",
         [](TWipeAlgorithm& m) {
             AddRandom(m, 97);
             AddInvert(m);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TWipeAlgorithm m;
        AddFixed(m, "00");
        c.passes(m);
        FaultStream s;
        ASSERT_TRUE(m.WriteData(s, 1000, 512, 10000));
        EXPECT_TRUE(m.VerifyData(s, 1000, 512, 10000).Ok());

        s.corruptOnRead = 512 + 7777;
        const TVerifyResult bad = m.VerifyData(s, 1000, 512, 10000);
        EXPECT_EQ(bad.offset, 7777);
        EXPECT_EQ(bad.error, 0);

        s.corruptOnRead = -1;
        s.readFailAtOffset = 512 + 4000;
        const TVerifyResult failed = m.VerifyData(s, 1000, 512, 10000);
        EXPECT_EQ(failed.offset, 4000);
        EXPECT_EQ(failed.error, EIO);
    }
}

TEST(WipeAlgorithm, FreshMethodHasItsOwnBracedUpperCaseGuid) {
    TWipeAlgorithm a, b;
    EXPECT_NE(a.GUID(), b.GUID());
    ASSERT_EQ(a.GUID().size(), 38u);
    EXPECT_EQ(a.GUID().front(), '{');
    EXPECT_EQ(a.GUID().back(), '}');
    for (std::size_t i : {9u, 14u, 19u, 24u})
        EXPECT_EQ(a.GUID()[i], '-');
    EXPECT_EQ(a.GUID()[15], '4');
    for (char c : a.GUID())
        EXPECT_FALSE(c >= 'a' && c <= 'z') << a.GUID();
    EXPECT_TRUE(a.Name().empty());
    EXPECT_FALSE(a.Readonly());
}

} // namespace
} // namespace purgix
