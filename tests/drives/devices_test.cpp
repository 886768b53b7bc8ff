// Disk entries without a disk: unpartitioned areas over synthetic layouts, serial decoding.
#include "drives/devices.h"

#include <gtest/gtest.h>

#include <tuple>

namespace purgix {
namespace {

constexpr std::int64_t kMiB = 1024 * 1024;
constexpr std::int64_t kDisk = 100 * kMiB;

struct Span {
    std::int64_t start;
    std::int64_t len;
    std::uint32_t number; // 0 = unpartitioned area
    bool operator==(const Span&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Span& s) {
    return os << "{" << s.start << ", " << s.len << ", #" << s.number << "}";
}

struct GapCase {
    const char* name;
    std::vector<Span> partitions; // in layout order
    std::int64_t scanStart;
    std::vector<Span> expected;
};

TEST(Devices, UnpartitionedAreasCoverEveryStretchNoPartitionCovers) {
    const GapCase cases[] = {
        {"MBR: one partition from 1 MiB to 10 MiB before the end",
         {{kMiB, kDisk - 11 * kMiB, 1}},
         512,
         {{512, kMiB - 512, 0}, {kMiB, kDisk - 11 * kMiB, 1}, {kDisk - 10 * kMiB, 10 * kMiB, 0}}},
        {"GPT: the first area starts at byte 0",
         {{kMiB, 50 * kMiB, 1}, {51 * kMiB, kDisk - 51 * kMiB - 33 * 512, 2}},
         0,
         {{0, kMiB, 0},
          {kMiB, 50 * kMiB, 1},
          {51 * kMiB, kDisk - 51 * kMiB - 33 * 512, 2},
          {kDisk - 33 * 512, 33 * 512, 0}}},
        {"empty MBR: one area from one sector", {}, 512, {{512, kDisk - 512, 0}}},
        {"no table: one area from byte 0", {}, 0, {{0, kDisk, 0}}},
        {"partitions that fill the disk leave no area",
         {{0, kDisk / 2, 1}, {kDisk / 2, kDisk / 2, 2}},
         0,
         {{0, kDisk / 2, 1}, {kDisk / 2, kDisk / 2, 2}}},
        {"unsorted layout, gaps between and behind",
         {{60 * kMiB, 10 * kMiB, 2}, {kMiB, 9 * kMiB, 1}, {30 * kMiB, 10 * kMiB, 3}},
         512,
         {{512, kMiB - 512, 0},
          {kMiB, 9 * kMiB, 1},
          {10 * kMiB, 20 * kMiB, 0},
          {30 * kMiB, 10 * kMiB, 3},
          {40 * kMiB, 20 * kMiB, 0},
          {60 * kMiB, 10 * kMiB, 2},
          {70 * kMiB, 30 * kMiB, 0}}},
        {"logical partitions: the sectors in front of each become areas",
         {{kMiB, 10 * kMiB, 1}, {12 * kMiB, 10 * kMiB, 5}, {23 * kMiB, 10 * kMiB, 6}},
         512,
         {{512, kMiB - 512, 0},
          {kMiB, 10 * kMiB, 1},
          {11 * kMiB, kMiB, 0},
          {12 * kMiB, 10 * kMiB, 5},
          {22 * kMiB, kMiB, 0},
          {23 * kMiB, 10 * kMiB, 6},
          {33 * kMiB, kDisk - 33 * kMiB, 0}}},
        {"a partition nested in another opens no area inside the outer one",
         {{kMiB, 40 * kMiB, 1}, {2 * kMiB, kMiB, 2}, {20 * kMiB, 30 * kMiB, 3}},
         512,
         {{512, kMiB - 512, 0},
          {kMiB, 40 * kMiB, 1},
          {2 * kMiB, kMiB, 2},
          {20 * kMiB, 30 * kMiB, 3},
          {50 * kMiB, kDisk - 50 * kMiB, 0}}},
        {"a partition running past the end leaves no area behind it",
         {{kMiB, kDisk, 1}},
         512,
         {{512, kMiB - 512, 0}, {kMiB, kDisk, 1}}},
    };
    for (const GapCase& c : cases) {
        TPartitionList entries;
        for (const Span& p : c.partitions) {
            auto e = std::make_unique<TDevicePartitionInformation>(nullptr);
            e->SetStartingOffset(p.start);
            e->SetLen(p.len);
            e->SetNumber(p.number);
            e->SetValid(true);
            e->SetPartitionType(0x83);
            entries.push_back(std::move(e));
        }
        FillUnpartitionedAreas(entries, c.scanStart, kDisk, nullptr);
        std::vector<Span> got;
        for (const auto& e : entries) {
            got.push_back({e->StartingOffset(), e->Len(), e->Number()});
            if (!e->Valid()) {
                EXPECT_EQ(e->Number(), 0u) << c.name;
                EXPECT_GT(e->Len(), 0) << c.name;
                EXPECT_EQ(e->PartitionStyle(), PARTITION_STYLE_MBR) << c.name;
                EXPECT_EQ(e->PartitionType(), 0) << c.name;
                EXPECT_TRUE(e->DriveLetter().empty()) << c.name;
                EXPECT_TRUE(e->PartitionTypeGUID().empty()) << c.name;
            } else {
                EXPECT_NE(e->Number(), 0u) << c.name;
            }
        }
        EXPECT_EQ(got, c.expected) << c.name;
        // No area overlaps a partition.
        for (const auto& a : entries) {
            for (const auto& p : entries) {
                if (a->Valid() || !p->Valid())
                    continue;
                EXPECT_FALSE(a->StartingOffset() < p->StartingOffset() + p->Len() &&
                             p->StartingOffset() < a->StartingOffset() + a->Len())
                    << c.name << ": area at " << a->StartingOffset();
            }
        }
    }
}

TEST(Devices, AreasBelongToTheirDisk) {
    TPartitionList entries;
    const auto* disk = reinterpret_cast<const TDeviceInfo*>(&entries); // any distinct address
    FillUnpartitionedAreas(entries, 512, kDisk, disk);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]->Device(), disk);
}

TEST(Devices, DecodeDiskSerial) {
    const std::tuple<const char*, const char*> cases[] = {
        {"41424344", "BADC"},
        {"4142434", "BAC"},           // a last unpaired character is ignored
        {"2020414243442020", "BADC"}, // blanks around are trimmed before the swap
        {"414243", "BAC"},            // an odd last character keeps its place
        {"41zz4243", "ACB"}, // a pair that is no number gives a space: "A BC", swapped " ACB"
        {"", ""},
        {"0941424344090a", "BADC"}, // control characters are trimmed as well
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(DecodeDiskSerial(in), out) << in;
}

} // namespace
} // namespace purgix
