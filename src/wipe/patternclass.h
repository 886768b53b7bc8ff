// Wipe methods: passes, pattern buffers, writing a method over a byte range, and the method file.
#pragma once

#include "platform/stream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace purgix {

// Kind of one pass.
enum TPatternType : std::int32_t {
    pt_fixed = 0,  // a fixed byte pattern
    pt_random = 1, // a block of pseudo-random bytes
    pt_invert = 2, // the bitwise complement of the previous pass
};

// Broken method data or an invalid use of a pass; travels to the job runner, which ends the job.
class EPatternError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A pattern that cannot be turned into bytes: a character pair that is not hexadecimal, a fixed
// pattern without a whole hex pair, or a random pass without a positive length.
class EPatternDataError : public EPatternError {
public:
    using EPatternError::EPatternError;
};

// The method file cannot be read (missing, unreadable or malformed).
class EMethodFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The process-wide, non-cryptographic pseudo-random generator shared by all threads:
// state := state * 134775813 + 1 (mod 2^32); Random(N) is the high 32 bits of state * N.
// Random(N) returns 0 ... N-1 (0 when N < 1).
std::int32_t Random(std::int32_t range);
// Seeds the generator from the high-resolution counter.
void Randomize();
void SetRandSeed(std::uint32_t seed);
std::uint32_t RandSeed();

// One pass of a wipe method.
class TWipePattern {
public:
    // pt_fixed: the pattern as hex text (two digits per byte). pt_random: empty until the first
    // buffer is asked for, then the generated block as upper-case hex, kept from then on.
    const std::string& Pattern() const noexcept { return FPattern; }
    void SetPattern(std::string value);
    // pt_random: length in bytes of the random block.
    std::int32_t RandomLen() const noexcept { return FRandomLen; }
    void SetRandomLen(std::int32_t value) noexcept { FRandomLen = value; }
    TPatternType PatternType() const noexcept { return FPatternType; }
    void SetPatternType(TPatternType value) noexcept { FPatternType = value; }

    // Fills `size` bytes at `buf` with the pass's pattern: byte k is B[k mod n] of the pattern
    // bytes B. For pt_random the block is drawn on the first call. Throws EPatternError for
    // pt_invert and EPatternDataError for pattern data that yields no bytes.
    void GetPatternBuffer(std::uint8_t* buf, std::uint32_t size);

private:
    const std::vector<std::uint8_t>& PatternBytes();

    std::string FPattern;
    std::int32_t FRandomLen = 0;
    TPatternType FPatternType = pt_fixed;

    // The decoded bytes of FPattern, valid while FDecoded is set.
    std::vector<std::uint8_t> FBytes;
    bool FDecoded = false;
};

class TWipeAlgorithm;

// Outcome of reading a range back after the last pass.
struct TVerifyResult {
    std::int64_t offset = -1; // offset within the range of the first byte that differs or
                              // could not be read; -1 when the whole range matched
    int error = 0;            // errno of a failed read or seek (0 for a mismatch)
    bool Ok() const noexcept { return offset < 0; }
};

// Progress of WriteData, called after every write: (sender, currentPass 1-based, Totalpasses,
// currentBytes written in this pass, totalBytes of the range, cancel in/out).
using TOnProgress =
    std::function<void(TWipeAlgorithm& sender, std::int32_t currentPass, std::int32_t Totalpasses,
                       std::int64_t currentBytes, std::int64_t totalBytes, bool& cancel)>;

// One wipe method: a name, an identity and an ordered, owned list of passes.
class TWipeAlgorithm {
public:
    // An empty method with a fresh GUID.
    TWipeAlgorithm();
    TWipeAlgorithm(const TWipeAlgorithm&) = delete;
    TWipeAlgorithm& operator=(const TWipeAlgorithm&) = delete;

    const std::string& Name() const noexcept { return FName; }
    void SetName(std::string value) { FName = std::move(value); }
    const std::string& GUID() const noexcept { return FGUID; }
    void SetGUID(std::string value) { FGUID = std::move(value); }
    bool Readonly() const noexcept { return FReadonly; }
    void SetReadonly(bool value) noexcept { FReadonly = value; }
    const TOnProgress& OnProgress() const noexcept { return FOnProgress; }
    void SetOnProgress(TOnProgress value) { FOnProgress = std::move(value); }

    // The passes; pass 1 is entry 0.
    std::int32_t Count() const noexcept { return static_cast<std::int32_t>(FPasses.size()); }
    TWipePattern& Items(std::int32_t index) { return *FPasses.at(static_cast<std::size_t>(index)); }
    const TWipePattern& Items(std::int32_t index) const {
        return *FPasses.at(static_cast<std::size_t>(index));
    }
    TWipePattern& Add();
    void Delete(std::int32_t index);
    void Clear() noexcept { FPasses.clear(); }

    // Writes every pass over the `filesize` bytes that start at `offset` of `hfile`, in writes of
    // at most `blocksize` bytes from one page-aligned buffer. True when every write succeeded
    // (also when the progress handler cancelled); false when positioning or a write failed.
    // Throws EPatternError for a complement pass without a source and for broken pass data.
    bool WriteData(platform::IStreamHandle& hfile, std::uint32_t blocksize, std::int64_t offset,
                   std::int64_t filesize);
    // Reads the range back and compares it with what the last pass of WriteData (with the same
    // block size) wrote there: its pattern, its random block, or the complement of the pass
    // before it.
    TVerifyResult VerifyData(platform::IStreamHandle& hfile, std::uint32_t blocksize,
                             std::int64_t offset, std::int64_t filesize);

private:
    // The buffer of pass `i` (0-based) of `length` bytes, as WriteData writes it.
    void FillPassBuffer(std::int32_t i, std::uint8_t* data, std::size_t length);

    std::string FName;
    std::string FGUID;
    bool FReadonly = false;
    TOnProgress FOnProgress;
    std::vector<std::unique_ptr<TWipePattern>> FPasses;
};

// All methods of the method file, in file order.
class TWipeAlgorithms {
public:
    TWipeAlgorithms() = default;
    TWipeAlgorithms(const TWipeAlgorithms&) = delete;
    TWipeAlgorithms& operator=(const TWipeAlgorithms&) = delete;

    // Reads the method file. Throws EMethodFileError when the file is missing or malformed (the
    // list is then unchanged). True when at least one method was read.
    bool LoadFromXML(const std::string& filename);
    // Writes all methods. The new file replaces the old one only once it is complete on disk;
    // on failure the old file stays as it was and std::system_error is thrown.
    bool SaveToXML(const std::string& filename) const;
    // The first method whose GUID equals `guid` without regard to letter case; null when none.
    TWipeAlgorithm* GetAlgorithmFromGUID(std::string_view guid) const;

    std::int32_t Count() const noexcept { return static_cast<std::int32_t>(FItems.size()); }
    TWipeAlgorithm& Items(std::int32_t index) const {
        return *FItems.at(static_cast<std::size_t>(index));
    }
    TWipeAlgorithm& Add();
    void Delete(std::int32_t index);
    void Clear() noexcept { FItems.clear(); }

private:
    std::vector<std::unique_ptr<TWipeAlgorithm>> FItems;
};

// GUIDs of the built-in methods of the shipped method file.
inline constexpr std::string_view GUID_SIMPLE_RANDOM = "{BA105C21-0FDC-41CC-9444-42F2EC96200}";
inline constexpr std::string_view GUID_DOD = "{BF885CA0-4B5B-4016-9165-2421B7013045}";
inline constexpr std::string_view GUID_SCHNEIER = "{E2DECE20-5101-49DB-BD6E-7AB9BBCB2E35}";
inline constexpr std::string_view GUID_VSITR = "{3BF4F688-FFF9-45B5-9226-504EF3BC92FD}";
inline constexpr std::string_view GUID_GUTMANN = "{EAFA203F-C30D-4439-AABB-D83384855C66}";
// The method of a fresh installation.
inline constexpr std::string_view GUID_DEFAULT_METHOD = GUID_DOD;

} // namespace purgix
