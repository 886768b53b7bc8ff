// Command `disks`: the physical disks with their partitions and unpartitioned areas.
#include "cli/cli.h"

#include "drives/devices.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdio>
#include <iomanip>
#include <iostream>

namespace purgix::cli {
namespace {

using nlohmann::json;

const char* StyleName(TPartitionStyle s) {
    switch (s) {
    case PARTITION_STYLE_MBR:
        return "PARTITION_STYLE_MBR";
    case PARTITION_STYLE_GPT:
        return "PARTITION_STYLE_GPT";
    default:
        return "PARTITION_STYLE_RAW";
    }
}

json GeometryJson(const TDiskGeometry& g) {
    return {{"Cylinders", g.Cylinders},
            {"MediaType", g.MediaType},
            {"TracksPerCylinder", g.TracksPerCylinder},
            {"SectorsPerTrack", g.SectorsPerTrack},
            {"BytesPerSector", g.BytesPerSector},
            {"DiskSize", g.DiskSize}};
}

json EntryJson(const TDevicePartitionInformation& e) {
    return {{"StartingOffset", e.StartingOffset()},
            {"Len", e.Len()},
            {"Number", e.Number()},
            {"PartitionStyle", StyleName(e.PartitionStyle())},
            {"DriveLetter", e.DriveLetter()},
            {"Valid", e.Valid()},
            {"PartitionTypeGUID", e.PartitionTypeGUID()},
            {"PartitionType", e.PartitionType()},
            {"DevicePath", e.DevicePath()},
            {"Caption", PartitionCaption(e)}};
}

json DiskJson(const TDeviceInfo& d) {
    json entries = json::array();
    for (int i = 0; i < d.PartitionCount(); ++i)
        entries.push_back(EntryJson(*d.GetPartition(i)));
    return {{"DeviceNumber", d.DeviceNumber()},
            {"DeviceName", d.DeviceName()},
            {"Valid", d.Valid()},
            {"Modelname", d.Modelname()},
            {"Serial", d.Serial()},
            {"Firmware", d.Firmware()},
            {"Capacity", d.Capacity()},
            {"ExternalFlashDrive", d.ExternalFlashDrive()},
            {"Geometry", GeometryJson(d.Geometry())},
            {"PartitionCount", d.PartitionCount()},
            {"Partitions", entries}};
}

std::string TypeText(const TDevicePartitionInformation& e) {
    if (!e.Valid())
        return "-";
    if (e.PartitionStyle() == PARTITION_STYLE_GPT)
        return e.PartitionTypeGUID();
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", e.PartitionType());
    return hex;
}

} // namespace

int CmdDisks(Context& ctx) {
    if (!Positionals(ctx).empty())
        throw UsageError("disks takes no arguments");
    if (::geteuid() != 0) {
        ctx.err << "purgix-cli: disks needs root to read the disks\n";
        return kExitNotPermitted;
    }
    const auto disks = ListDeviceInfos(true);
    if (ctx.options.json) {
        json list = json::array();
        for (const auto& d : disks)
            list.push_back(DiskJson(*d));
        ctx.out << list.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
        return kExitOk;
    }
    for (const auto& d : disks) {
        ctx.out << "Disk " << d->DeviceNumber() << ": " << d->DeviceName() << "  model \""
                << d->Modelname() << "\"  serial \"" << d->Serial() << "\"  capacity "
                << d->Capacity() << " bytes\n";
        ctx.out << "  " << std::right << std::setw(14) << "START" << ' ' << std::setw(14)
                << "LENGTH" << ' ' << std::setw(6) << "NUMBER" << ' ' << std::left << std::setw(5)
                << "STYLE" << ' ' << std::setw(38) << "TYPE" << ' ' << "CAPTION" << '\n';
        for (int i = 0; i < d->PartitionCount(); ++i) {
            const TDevicePartitionInformation& e = *d->GetPartition(i);
            ctx.out << "  " << std::right << std::setw(14) << e.StartingOffset() << ' '
                    << std::setw(14) << e.Len() << ' ' << std::setw(6) << e.Number() << ' '
                    << std::left << std::setw(5)
                    << (e.PartitionStyle() == PARTITION_STYLE_GPT ? "GPT" : "MBR") << ' '
                    << std::setw(38) << TypeText(e) << ' ' << PartitionCaption(e) << '\n';
        }
    }
    return kExitOk;
}

} // namespace purgix::cli
