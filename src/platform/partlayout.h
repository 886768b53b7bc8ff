// Partition tables as libblkid reads them from a disk, and bringing the kernel's partitions in
// line with a table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace purgix::platform {

struct TablePartition {
    int number = 0;
    std::int64_t startBytes = 0;
    std::int64_t sizeBytes = 0;
    unsigned mbrType = 0;    // dos tables: the type byte
    std::string gptTypeGuid; // gpt tables: the type GUID, braced upper case
    bool extended = false;   // a container of logical partitions (0x05, 0x0F, 0x85)
    bool logical = false;    // a logical partition inside a container
    // The table this entry belongs to: the disk's own ("dos", "gpt"), or a label nested inside
    // one of its partitions (a BSD or Solaris label inside an MBR partition: "bsd", ...).
    std::string tableType;
};

struct PartitionTable {
    std::string type;                       // "dos", "gpt", or another libblkid table name
    std::vector<TablePartition> partitions; // in table order
};

// The partition table of the open block device (or image file); empty when it has none that
// libblkid can read.
std::optional<PartitionTable> ReadPartitionTable(int fd);

// Brings the kernel's partitions of the whole disk `diskPath` in line with `table` through BLKPG
// (as a re-read of the table would, where the kernel did not do it): kernel partitions that the
// table lacks, or whose start differs, are deleted; those whose size differs are resized;
// missing ones are added. An extended container is given the kernel's usual two sectors. Empty
// when done, else what failed (a partition in use cannot be deleted or resized).
std::string SyncKernelPartitions(const std::string& diskPath, const PartitionTable& table);

} // namespace purgix::platform
