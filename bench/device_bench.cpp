// Benchmark: one pass and a 3-pass method of the engine over a whole loop disk, against dd with
// the same block and flags (dd if=/dev/zero of=DEV bs=51200000 oflag=direct,dsync), measured in
// the same run over the same device. Loop devices are backed by a file in /dev/shm and by one on
// the machine's disk (/var/tmp). Needs root. Not part of `make test`: run it with `make bench`.
//
//   device_bench [MiB]   (image size, default 1024)
#include "drives/devices.h"
#include "platform/blockdev.h"
#include "support/loopdev.h"
#include "support/process.h"
#include "wipe/wipelibfuncs.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace purgix;
using Clock = std::chrono::steady_clock;

constexpr const char* kOnePass = "{B0000000-0000-4000-8000-000000000001}";
constexpr const char* kThreePass = "{B0000000-0000-4000-8000-000000000003}";

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// One dd run over the whole device; seconds.
double RunDd(const std::string& device) {
    const auto t = Clock::now();
    // dd ends with "No space left on device" at the end of the device: that is its success.
    const auto r = test::RunProcess(
        {"/usr/bin/dd", "if=/dev/zero", "of=" + device, "bs=51200000", "oflag=direct,dsync"});
    const double s = Seconds(t);
    if (r.err.find("No space left on device") == std::string::npos)
        throw std::runtime_error("dd did not reach the end of " + device + ": " + r.err);
    return s;
}

// One engine job over the whole disk with method `guid`; seconds.
double RunEngine(const test::TempDir& dir, const test::LoopDevice& loop, const char* guid) {
    const auto disks = platform::ListDiskKernelNames();
    const std::string name = loop.Path().substr(5);
    const auto it = std::find(disks.begin(), disks.end(), name);
    if (it == disks.end())
        throw std::runtime_error("loop disk not listed");
    TDeviceInfo disk(static_cast<int>(it - disks.begin()), true, disks);
    TKLWiper engine;
    engine.SetWipeType(wt_device);
    engine.SetAlgorithmFile(dir.File("algorithm.xml"));
    engine.SetAlgorithmGUID(guid);
    engine.Devices().push_back(&disk);
    if (engine.InitializeWipeJob() != WIPE_OK)
        throw std::runtime_error("InitializeWipeJob failed");
    const auto t = Clock::now();
    const std::int32_t r = engine.ExecuteJob();
    const double s = Seconds(t);
    engine.CloseWipeJob();
    if (r != WIPE_OK)
        throw std::runtime_error("the engine failed with " + std::to_string(r) + ": " +
                                 engine.LogDataError());
    return s;
}

void Bench(const std::string& where, const std::string& tmpdir, std::int64_t mib) {
    ::setenv("TMPDIR", tmpdir.c_str(), 1);
    test::TempDir dir;
    test::WriteFile(dir.File("algorithm.xml"),
                    std::string(R"(<?xml version="1.0"?>
<wiperalgorithms>
  <algorithm name="one" guid=")") +
                        kOnePass + R"(" readonly="0"><pass type="pattern">00</pass></algorithm>
  <algorithm name="three" guid=")" +
                        kThreePass + R"(" readonly="0">
    <pass type="pattern">00</pass><pass type="pattern">FF</pass><pass type="random" len="65536"/>
  </algorithm>
</wiperalgorithms>
)");
    const std::int64_t bytes = mib * 1024 * 1024;
    test::LoopDevice loop(dir, test::MakeImage(dir, "bench.img", bytes));
    RunDd(loop.Path()); // warm-up: every block of the backing file exists afterwards

    // Alternating rounds; the median of each measurement.
    constexpr int kRounds = 3;
    std::vector<double> dd1s, ones, dd3s, threes;
    for (int round = 0; round < kRounds; ++round) {
        dd1s.push_back(RunDd(loop.Path()));
        ones.push_back(RunEngine(dir, loop, kOnePass));
        dd3s.push_back(RunDd(loop.Path()) + RunDd(loop.Path()) + RunDd(loop.Path()));
        threes.push_back(RunEngine(dir, loop, kThreePass));
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double dd1 = median(dd1s), one = median(ones), dd3 = median(dd3s), three = median(threes);
    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf("%-28s %6lld MiB  dd 1x %7.2f s (%6.0f MB/s)  engine 1 pass %7.2f s (%6.0f MB/s)"
                "  ratio %.2f\n",
                where.c_str(), static_cast<long long>(mib), dd1, mb / dd1, one, mb / one,
                one / dd1);
    std::printf("%-28s %6lld MiB  dd 3x %7.2f s (%6.0f MB/s)  engine 3 pass %7.2f s (%6.0f MB/s)"
                "  ratio %.2f\n",
                where.c_str(), static_cast<long long>(mib), dd3, 3 * mb / dd3, three,
                3 * mb / three, three / dd3);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (::geteuid() != 0) {
        std::cerr << "device_bench needs root for loop devices\n";
        return 77;
    }
    const std::int64_t mib = argc > 1 ? std::atoll(argv[1]) : 1024;
    try {
        std::printf(
            "ratio = engine time / dd time, medians of 3 rounds (below 1: the engine is faster)\n");
        Bench("loop over /dev/shm", "/dev/shm", mib);
        Bench("loop over /var/tmp (disk)", "/var/tmp", mib);
    } catch (const std::exception& e) {
        std::cerr << "device_bench: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
