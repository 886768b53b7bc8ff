#include "platform/fsprobe.h"

#include <blkid/blkid.h>

#include <memory>

namespace purgix::platform {
namespace {

struct ProbeDeleter {
    void operator()(blkid_probe p) const { blkid_free_probe(p); }
};

std::string Value(blkid_probe probe, const char* name) {
    const char* data = nullptr;
    if (blkid_probe_lookup_value(probe, name, &data, nullptr) == 0 && data != nullptr)
        return data;
    return {};
}

} // namespace

FilesystemProbe ProbeFilesystem(const std::string& devicePath) {
    FilesystemProbe result;
    std::unique_ptr<std::remove_pointer_t<blkid_probe>, ProbeDeleter> probe(
        blkid_new_probe_from_filename(devicePath.c_str()));
    if (!probe)
        return result;
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(probe.get(),
                                      BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID);
    if (blkid_do_safeprobe(probe.get()) != 0)
        return result;
    result.type = Value(probe.get(), "TYPE");
    result.label = Value(probe.get(), "LABEL");
    result.uuid = Value(probe.get(), "UUID");
    return result;
}

} // namespace purgix::platform
