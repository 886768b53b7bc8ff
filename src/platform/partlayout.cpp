#include "platform/partlayout.h"

#include "platform/blockdev.h"
#include "platform/fd.h"
#include "platform/syserror.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <linux/blkpg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

namespace purgix::platform {
namespace {

struct ProbeDeleter {
    void operator()(blkid_probe p) const noexcept { blkid_free_probe(p); }
};
using ProbePtr = std::unique_ptr<std::remove_pointer_t<blkid_probe>, ProbeDeleter>;

constexpr std::int64_t kSector = 512; // libblkid and sysfs count partitions in 512-byte units

std::string BracedUpper(const char* guid) {
    std::string s = "{";
    for (const char* p = guid; *p != '\0'; ++p)
        s += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    return s + "}";
}

int Blkpg(int fd, int op, int number, std::int64_t start, std::int64_t length) {
    blkpg_partition part{};
    part.start = start;
    part.length = length;
    part.pno = number;
    blkpg_ioctl_arg arg{};
    arg.op = op;
    arg.datalen = sizeof(part);
    arg.data = &part;
    return ::ioctl(fd, BLKPG, &arg) == 0 ? 0 : errno;
}

} // namespace

std::optional<PartitionTable> ReadPartitionTable(int fd) {
    ProbePtr probe(blkid_new_probe());
    if (!probe || blkid_probe_set_device(probe.get(), fd, 0, 0) != 0)
        return std::nullopt;
    blkid_probe_enable_superblocks(probe.get(), 0);
    blkid_probe_enable_partitions(probe.get(), 1);
    blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_ENTRY_DETAILS);
    blkid_partlist list = blkid_probe_get_partitions(probe.get());
    if (list == nullptr)
        return std::nullopt;
    blkid_parttable root = blkid_partlist_get_table(list);
    if (root == nullptr)
        return std::nullopt;
    PartitionTable table;
    if (const char* type = blkid_parttable_get_type(root))
        table.type = type;
    const int count = blkid_partlist_numof_partitions(list);
    for (int i = 0; i < count; ++i) {
        blkid_partition par = blkid_partlist_get_partition(list, i);
        if (par == nullptr)
            continue;
        TablePartition p;
        p.number = blkid_partition_get_partno(par);
        p.startBytes = static_cast<std::int64_t>(blkid_partition_get_start(par)) * kSector;
        p.sizeBytes = static_cast<std::int64_t>(blkid_partition_get_size(par)) * kSector;
        p.extended = blkid_partition_is_extended(par) != 0;
        p.logical = blkid_partition_is_logical(par) != 0;
        blkid_parttable own = blkid_partition_get_table(par);
        const char* ownType = own ? blkid_parttable_get_type(own) : nullptr;
        p.tableType = ownType ? ownType : table.type;
        if (table.type == "gpt") {
            if (const char* guid = blkid_partition_get_type_string(par))
                p.gptTypeGuid = BracedUpper(guid);
        } else {
            p.mbrType = static_cast<unsigned>(blkid_partition_get_type(par));
        }
        table.partitions.push_back(std::move(p));
    }
    return table;
}

std::string SyncKernelPartitions(const std::string& diskPath, const PartitionTable& table) {
    const auto disk = ProbeBlockDevice(diskPath);
    if (!disk || disk->isPartition)
        return diskPath + " is no whole disk";
    UniqueFd fd(::open(diskPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0 || st.st_rdev != disk->rdev)
        return diskPath + " cannot be opened";

    struct Want {
        int number;
        std::int64_t start; // bytes
        std::int64_t length;
    };
    std::vector<Want> wanted;
    for (const TablePartition& p : table.partitions) {
        if (p.number <= 0 || p.sizeBytes <= 0)
            continue;
        wanted.push_back({p.number, p.startBytes, p.extended ? 2 * kSector : p.sizeBytes});
    }

    std::string failure;
    auto fail = [&](const std::string& what, int error) {
        if (failure.empty())
            failure = what + ": " + SysErrorMessage(error);
    };
    std::vector<int> present;
    for (const std::string& name : PartitionsOf(disk->diskName)) {
        const auto part = ProbeBlockDevice(DevOfKernelName(name));
        if (!part)
            continue;
        const auto it = std::find_if(wanted.begin(), wanted.end(), [&](const Want& w) {
            return w.number == part->partitionNumber;
        });
        const std::int64_t start = part->start * kSector;
        const std::int64_t length = part->size * kSector;
        if (it == wanted.end() || it->start != start) {
            if (const int e = Blkpg(fd.Get(), BLKPG_DEL_PARTITION, part->partitionNumber, 0, 0))
                fail("cannot remove the kernel's partition " + name, e);
            continue;
        }
        if (it->length != length)
            if (const int e =
                    Blkpg(fd.Get(), BLKPG_RESIZE_PARTITION, it->number, it->start, it->length))
                fail("cannot resize the kernel's partition " + name, e);
        present.push_back(it->number);
    }
    for (const Want& w : wanted) {
        if (std::find(present.begin(), present.end(), w.number) != present.end())
            continue;
        if (const int e = Blkpg(fd.Get(), BLKPG_ADD_PARTITION, w.number, w.start, w.length))
            fail("cannot add partition " + std::to_string(w.number) + " to the kernel's view of " +
                     diskPath,
                 e);
    }
    return failure;
}

} // namespace purgix::platform
