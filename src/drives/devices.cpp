#include "drives/devices.h"

#include <algorithm>

namespace purgix {
namespace {

bool IsBlankOrControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7F;
}

std::string Trim(const std::string& s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && IsBlankOrControl(s[b]))
        ++b;
    while (e > b && IsBlankOrControl(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::unique_ptr<TDevicePartitionInformation> Area(const TDeviceInfo* device, std::int64_t start,
                                                  std::int64_t length) {
    auto area = std::make_unique<TDevicePartitionInformation>(device);
    area->SetStartingOffset(start);
    area->SetLen(length);
    return area;
}

} // namespace

void SortPartitions(TPartitionList& entries) {
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a->StartingOffset() < b->StartingOffset();
    });
}

void FillUnpartitionedAreas(TPartitionList& entries, std::int64_t scanStart, std::int64_t capacity,
                            const TDeviceInfo* device) {
    SortPartitions(entries);
    // The scan position only moves forward: a nested or overlapping entry that ends before an
    // earlier one must not open a gap inside that earlier entry.
    std::int64_t scan = scanStart;
    TPartitionList areas;
    for (const auto& e : entries) {
        if (e->StartingOffset() > scan)
            areas.push_back(Area(device, scan, e->StartingOffset() - scan));
        scan = std::max(scan, e->StartingOffset() + e->Len());
    }
    if (scan < capacity)
        areas.push_back(Area(device, scan, capacity - scan));
    for (auto& a : areas)
        entries.push_back(std::move(a));
    SortPartitions(entries);
}

std::string DecodeDiskSerial(const std::string& serial) {
    std::string decoded;
    for (std::size_t i = 0; i + 1 < serial.size(); i += 2) {
        const int hi = HexDigit(serial[i]);
        const int lo = HexDigit(serial[i + 1]);
        decoded += (hi < 0 || lo < 0) ? ' ' : static_cast<char>(hi * 16 + lo);
    }
    decoded = Trim(decoded);
    for (std::size_t i = 0; i + 1 < decoded.size(); i += 2)
        std::swap(decoded[i], decoded[i + 1]);
    return Trim(decoded);
}

} // namespace purgix
