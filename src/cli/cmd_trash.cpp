// Command `trash`: the deleted items of every recycle bin and trash folder, per volume.
#include "cli/cli.h"

#include "platform/mounts.h"
#include "recycler/klrecycler.h"

#include <nlohmann/json.hpp>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <iostream>

namespace purgix::cli {
namespace {

using nlohmann::json;

// "YYYY-MM-DD<sep>hh:mm:ss", with the fraction of a second when there is one.
std::string DateTimeText(TDateTime t, char separator) {
    using namespace std::chrono;
    const auto day = floor<days>(t);
    const year_month_day date{day};
    const hh_mm_ss<TDateTimeUnits> time{t - day};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u%c%02d:%02d:%02d", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), separator,
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    std::string result = text;
    if (const auto fraction = time.subseconds().count(); fraction != 0) {
        std::snprintf(text, sizeof text, ".%07lld", static_cast<long long>(fraction));
        result += text;
        while (result.back() == '0')
            result.pop_back();
    }
    return result;
}

json EntryJson(const TRecylceEntry& e) {
    json files = json::array();
    for (const auto& child : e.Files())
        files.push_back(EntryJson(*child));
    return {{"BinFilename", e.BinFilename()},
            {"IndexFileName", e.IndexFileName()},
            {"Origfilename", e.Origfilename()},
            {"DeleteTime", IsDateTimeSet(e.DeleteTime()) ? json(DateTimeText(e.DeleteTime(), 'T'))
                                                         : json(nullptr)},
            {"FileSize", e.FileSize()},
            {"isDirectory", e.isDirectory()},
            {"Files", std::move(files)}};
}

struct Row {
    std::string deleted;
    std::string size;
    std::string original; // indented by depth
    std::string item;
};

void CollectRows(const TRecylceEntries& entries, int depth, std::vector<Row>& rows) {
    for (const auto& e : entries) {
        const bool child = depth > 0;
        rows.push_back({IsDateTimeSet(e->DeleteTime()) ? DateTimeText(e->DeleteTime(), ' ') : "",
                        child ? "" : std::to_string(e->FileSize()),
                        std::string(static_cast<std::size_t>(depth) * 2, ' ') + e->Origfilename(),
                        e->BinFilename()});
        CollectRows(e->Files(), depth + 1, rows);
    }
}

void PrintTable(std::ostream& out, const std::string& mountPoint, const TRecylceEntries& entries) {
    std::vector<Row> rows = {{"Deleted", "Size", "Original path", "Item in the bin"}};
    CollectRows(entries, 0, rows);
    std::size_t deletedWidth = 0, sizeWidth = 0, originalWidth = 0;
    for (const Row& r : rows) {
        deletedWidth = std::max(deletedWidth, r.deleted.size());
        sizeWidth = std::max(sizeWidth, r.size.size());
        originalWidth = std::max(originalWidth, r.original.size());
    }
    out << "Volume " << mountPoint << '\n';
    for (const Row& r : rows) {
        out << std::left << std::setw(static_cast<int>(deletedWidth)) << r.deleted << "  "
            << std::right << std::setw(static_cast<int>(sizeWidth)) << r.size << "  " << std::left
            << std::setw(static_cast<int>(originalWidth)) << r.original << "  " << r.item << '\n';
    }
}

// The listed volume whose mount point `arg` names; a usage error for anything else.
std::string ResolveMountPoint(const std::string& arg,
                              const std::vector<platform::VolumeMount>& volumes) {
    char resolved[PATH_MAX];
    if (::realpath(arg.c_str(), resolved) != nullptr) {
        std::string path = resolved;
        if (path.back() != '/')
            path += '/';
        for (const auto& v : volumes)
            if (v.mountPoint == path)
                return v.mountPoint;
    }
    throw UsageError("'" + arg +
                     "' is not the mount point of a mounted volume (a local file system on a "
                     "block device)");
}

} // namespace

int CmdTrash(Context& ctx) {
    const std::vector<std::string> args = Positionals(ctx);
    if (args.size() > 1)
        throw UsageError("trash takes at most one mount point");
    const auto volumes = platform::ListVolumes();
    std::vector<std::string> mountPoints;
    if (args.empty()) {
        for (const auto& v : volumes)
            mountPoints.push_back(v.mountPoint);
    } else {
        mountPoints.push_back(ResolveMountPoint(args[0], volumes));
    }

    TKLRecycler recycler;
    json document = json::array();
    bool failed = false;
    bool any = false;
    for (const std::string& mountPoint : mountPoints) {
        // A bin that cannot be read ends the listing of its volume; what was read before is
        // shown and the other volumes are still read.
        std::string error;
        try {
            recycler.EnumFiles(mountPoint);
        } catch (const std::exception& e) {
            error = e.what();
            failed = true;
            ctx.err << "purgix-cli: " << mountPoint << ": " << error << '\n';
        }
        if (ctx.options.json) {
            json files = json::array();
            for (const auto& e : recycler.Files())
                files.push_back(EntryJson(*e));
            json volume = {{"MountPoint", mountPoint}, {"Files", std::move(files)}};
            if (!error.empty())
                volume["Error"] = error;
            document.push_back(std::move(volume));
        } else if (!recycler.Files().empty()) {
            if (any)
                ctx.out << '\n';
            PrintTable(ctx.out, mountPoint, recycler.Files());
            any = true;
        }
    }
    if (ctx.options.json)
        // Paths are bytes on Linux: what is not UTF-8 is replaced, not fatal.
        ctx.out << document.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
    else if (!any)
        ctx.out << "No deleted items.\n";
    return failed ? kExitErrors : kExitOk;
}

} // namespace purgix::cli
