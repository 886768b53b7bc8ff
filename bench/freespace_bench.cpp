// Benchmark: the fill of a free-space wipe (one pass, cluster tips and names off) against dd
// filling the same volume (dd if=/dev/zero of=FILL bs=51200000 oflag=direct,dsync), measured
// in the same run on an ext4 volume over a loop device backed by a file in /dev/shm and by one
// on the machine's disk (/var/tmp). Needs root. Not part of `make test`: `make bench-freespace`.
//
//   freespace_bench [MiB]   (volume size, default 1024)
#include "support/loopdev.h"
#include "support/process.h"
#include "wipe/wipelibfuncs.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

using namespace purgix;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Run {
    double seconds = 0;
    std::int64_t bytes = 0;
    double Rate() const { return static_cast<double>(bytes) / seconds; }
};

// dd fills the volume with one file until it is full; the file is removed again.
Run RunDd(const std::string& mp) {
    const std::string fill = mp + "FILL";
    const auto t = Clock::now();
    const auto r = test::RunProcess({"/usr/bin/dd", "if=/dev/zero", "of=" + fill,
                                     "bs=51200000", "oflag=direct,dsync"});
    Run run{Seconds(t), 0};
    if (r.err.find("No space left on device") == std::string::npos)
        throw std::runtime_error("dd did not fill " + mp + ": " + r.err);
    struct stat st {};
    if (::stat(fill.c_str(), &st) == 0)
        run.bytes = st.st_size;
    ::unlink(fill.c_str());
    ::sync();
    return run;
}

// The engine's free-space job with one pass, without cluster tips and names.
Run RunFill(const std::string& mp) {
    TKLWiper engine;
    engine.SetWipeType(wt_freespace);
    engine.SetItems({mp});
    engine.SetDoClusterTips(false);
    engine.SetOverwriteFileNames(false);
    engine.SetAlgorithmFile(PURGIX_DATA_DIR "/algorithm.xml");
    engine.SetAlgorithmGUID(std::string(GUID_SIMPLE_RANDOM));
    if (engine.InitializeWipeJob() != WIPE_OK)
        throw std::runtime_error("the engine could not start");
    const auto t = Clock::now();
    const std::int32_t result = engine.ExecuteJob();
    Run run{Seconds(t), engine.JobsBytesWritten()};
    engine.CloseWipeJob();
    if (result != WIPE_OK)
        throw std::runtime_error("the free-space job failed: " + engine.LogDataError());
    ::sync();
    return run;
}

void Bench(const std::string& where, std::int64_t mib) {
    ::setenv("TMPDIR", where.c_str(), 1);
    test::TempDir dir;
    const std::string img = test::MakeImage(dir, "vol.img", mib * 1024 * 1024);
    test::MustRun({"mkfs.ext4", "-q", "-F", "-m", "0", img});
    test::LoopDevice loop(dir, img);
    const std::string mp = loop.Mount(loop.Path(), "ext4", dir.File("mnt"));
    // Alternating runs, the best of two each, so that neither side gets the warm cache alone.
    Run dd, fill;
    for (int i = 0; i < 2; ++i) {
        const Run d = RunDd(mp);
        const Run f = RunFill(mp);
        if (i == 0 || d.Rate() > dd.Rate())
            dd = d;
        if (i == 0 || f.Rate() > fill.Rate())
            fill = f;
    }
    std::printf("%-10s dd %8.1f MB/s (%lld bytes)   fill %8.1f MB/s (%lld bytes)   fill/dd %.2f\n",
                where.c_str(), dd.Rate() / 1e6, static_cast<long long>(dd.bytes),
                fill.Rate() / 1e6, static_cast<long long>(fill.bytes), fill.Rate() / dd.Rate());
}

} // namespace

int main(int argc, char** argv) {
    if (::geteuid() != 0) {
        std::cerr << "freespace_bench needs root (loop devices and mounts)\n";
        return 77;
    }
    const std::int64_t mib = argc > 1 ? std::atoll(argv[1]) : 1024;
    try {
        for (const char* where : {"/dev/shm", "/var/tmp"})
            Bench(where, mib);
    } catch (const std::exception& e) {
        std::cerr << "freespace_bench: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
