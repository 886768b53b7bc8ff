#include "wipe/patternclass.h"

#include "platform/text.h"

#include "platform/aligned_buffer.h"
#include "platform/debug.h"
#include "platform/guid.h"
#include "platform/syserror.h"
#include "platform/tick.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pugixml.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <system_error>

namespace purgix {

// ---------------------------------------------------------------------------------------------
// Random generator

namespace {

struct RandomState {
    std::mutex lock;
    std::uint32_t seed = 0;
};

RandomState& Generator() {
    static RandomState* state = [] {
        auto* s = new RandomState;
        s->seed = static_cast<std::uint32_t>(platform::MonotonicNanoseconds());
        return s;
    }();
    return *state;
}

// One step of the generator; the caller holds the lock.
std::int32_t NextRandom(RandomState& g, std::int32_t range) {
    g.seed = g.seed * 134775813U + 1U;
    if (range < 1)
        return 0;
    return static_cast<std::int32_t>(
        (static_cast<std::uint64_t>(g.seed) * static_cast<std::uint32_t>(range)) >> 32);
}

} // namespace

std::int32_t Random(std::int32_t range) {
    RandomState& g = Generator();
    std::lock_guard lock(g.lock);
    return NextRandom(g, range);
}

void Randomize() {
    SetRandSeed(static_cast<std::uint32_t>(platform::MonotonicNanoseconds()));
}

void SetRandSeed(std::uint32_t seed) {
    RandomState& g = Generator();
    std::lock_guard lock(g.lock);
    g.seed = seed;
}

std::uint32_t RandSeed() {
    RandomState& g = Generator();
    std::lock_guard lock(g.lock);
    return g.seed;
}

// ---------------------------------------------------------------------------------------------
// TWipePattern

namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";

} // namespace

void TWipePattern::SetPattern(std::string value) {
    FPattern = std::move(value);
    FDecoded = false;
}

const std::vector<std::uint8_t>& TWipePattern::PatternBytes() {
    if (FDecoded)
        return FBytes;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(FPattern.size() / 2);
    for (std::size_t i = 0; i + 1 < FPattern.size(); i += 2) {
        const int hi = platform::HexDigit(FPattern[i]);
        const int lo = platform::HexDigit(FPattern[i + 1]);
        if (hi < 0 || lo < 0)
            throw EPatternDataError("'" + FPattern.substr(i, 2) +
                                    "' is not a valid hexadecimal byte");
        bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    if (bytes.empty())
        throw EPatternDataError("pattern \"" + FPattern + "\" holds no whole hex pair");
    FBytes = std::move(bytes);
    FDecoded = true;
    return FBytes;
}

void TWipePattern::GetPatternBuffer(std::uint8_t* buf, std::uint32_t size) {
    if (FPatternType == pt_invert)
        throw EPatternError("TWipePattern.GetPatternBuffer: Invalid Call for pt_invert");
    if (FPatternType == pt_random && FPattern.empty()) {
        if (FRandomLen < 1)
            throw EPatternDataError("random pass with RandomLen " + std::to_string(FRandomLen) +
                                    " has no bytes");
        // The block is drawn under one lock so that it is one run of the shared generator.
        std::string text(static_cast<std::size_t>(FRandomLen) * 2, '0');
        RandomState& g = Generator();
        {
            std::lock_guard lock(g.lock);
            for (std::size_t i = 0; i < text.size(); i += 2) {
                const auto v = static_cast<unsigned>(NextRandom(g, 255));
                text[i] = kHexUpper[v >> 4];
                text[i + 1] = kHexUpper[v & 0x0F];
            }
        }
        SetPattern(std::move(text));
    }
    const std::vector<std::uint8_t>& bytes = PatternBytes();
    if (size == 0)
        return;
    // Lay the pattern down once, then double the filled prefix: it always holds whole repeats,
    // so every copy continues the sequence B[k mod n].
    std::size_t filled = std::min<std::size_t>(bytes.size(), size);
    std::memcpy(buf, bytes.data(), filled);
    while (filled < size) {
        const std::size_t chunk = std::min<std::size_t>(filled, size - filled);
        std::memcpy(buf + filled, buf, chunk);
        filled += chunk;
    }
}

// ---------------------------------------------------------------------------------------------
// TWipeAlgorithm

TWipeAlgorithm::TWipeAlgorithm() : FGUID(platform::CreateGuidString()) {}

TWipePattern& TWipeAlgorithm::Add() {
    FPasses.push_back(std::make_unique<TWipePattern>());
    return *FPasses.back();
}

void TWipeAlgorithm::Delete(std::int32_t index) {
    if (index < 0 || index >= Count())
        throw std::out_of_range("TWipeAlgorithm.Delete: index out of range");
    FPasses.erase(FPasses.begin() + index);
}

namespace {

void DebugSystemError(std::string_view what, int error) {
    std::string text = platform::SysErrorMessage(error);
    if (text.size() > 500)
        text.resize(500);
    platform::DebugOutput(std::string(what) + ": " + text);
}

} // namespace

bool TWipeAlgorithm::WriteData(platform::IStreamHandle& hfile, std::uint32_t blocksize,
                               std::int64_t offset, std::int64_t filesize) {
    if (filesize <= 0)
        return true;
    if (blocksize == 0)
        throw std::invalid_argument("TWipeAlgorithm.WriteData: blocksize 0");

    const auto length = static_cast<std::size_t>(std::min<std::int64_t>(blocksize, filesize));
    platform::AlignedBuffer buffer(length);
    std::uint8_t* const data = buffer.Data();

    const std::int32_t count = Count();
    bool failed = false;
    bool cancel = false;
    for (std::int32_t i = 0; i < count && !failed && !cancel; ++i) {
        if (const int err = hfile.Seek(offset); err != 0) {
            DebugSystemError("TWipeAlgorithm.WriteData: seek", err);
            return false;
        }

        FillPassBuffer(i, data, length);

        // A short write is counted as written, and the next write continues with the rest of
        // the buffer, so the bytes on the medium keep the pattern's sequence.
        std::int64_t remaining = filesize;
        std::int64_t written = 0;
        std::size_t position = 0;
        while (remaining > 0) {
            const auto rest = static_cast<std::size_t>(
                std::min<std::int64_t>(remaining, static_cast<std::int64_t>(length)));
            const std::size_t ask = std::min(length - position, rest);
            const platform::IoResult r = hfile.Write(data + position, ask);
            if (!r.Ok() || r.bytes == 0) {
                // A write that reports success but moves nothing would loop for ever.
                DebugSystemError("TWipeAlgorithm.WriteData: write", r.Ok() ? EIO : r.error);
                failed = true;
                break;
            }
            const std::size_t moved = std::min(r.bytes, ask);
            position = (position + moved) % length;
            written += static_cast<std::int64_t>(moved);
            if (FOnProgress) {
                FOnProgress(*this, i + 1, count, written, filesize, cancel);
                if (cancel)
                    break;
            }
            remaining -= static_cast<std::int64_t>(moved);
        }
    }
    return !failed;
}

void TWipeAlgorithm::FillPassBuffer(std::int32_t i, std::uint8_t* data, std::size_t length) {
    TWipePattern* source = &Items(i);
    bool complement = false;
    if (source->PatternType() == pt_invert) {
        if (i == 0)
            throw EPatternError("CurrentRound=0, Inverted Pattern not available");
        source = &Items(i - 1);
        complement = true;
    }
    try {
        source->GetPatternBuffer(data, static_cast<std::uint32_t>(length));
    } catch (const EPatternDataError& e) {
        throw EPatternDataError("Wipe method \"" + FName + "\", pass " + std::to_string(i + 1) +
                                ": " + e.what());
    }
    if (complement) {
        for (std::size_t k = 0; k < length; ++k)
            data[k] = static_cast<std::uint8_t>(~data[k]);
    }
}

TVerifyResult TWipeAlgorithm::VerifyData(platform::IStreamHandle& hfile, std::uint32_t blocksize,
                                         std::int64_t offset, std::int64_t filesize) {
    TVerifyResult result;
    if (filesize <= 0 || Count() == 0)
        return result;
    if (blocksize == 0)
        throw std::invalid_argument("TWipeAlgorithm.VerifyData: blocksize 0");
    const auto length = static_cast<std::size_t>(std::min<std::int64_t>(blocksize, filesize));
    platform::AlignedBuffer expected(length);
    platform::AlignedBuffer actual(length);
    FillPassBuffer(Count() - 1, expected.Data(), length);
    if (const int err = hfile.Seek(offset); err != 0) {
        result.error = err;
        result.offset = 0;
        return result;
    }
    // The last pass laid the buffer down again and again from the range's start, so every
    // chunk of `length` bytes must equal it.
    for (std::int64_t done = 0; done < filesize;) {
        const auto chunk = static_cast<std::size_t>(
            std::min<std::int64_t>(filesize - done, static_cast<std::int64_t>(length)));
        std::size_t got = 0;
        while (got < chunk) {
            const platform::IoResult r = hfile.Read(actual.Data() + got, chunk - got);
            if (!r.Ok() || r.bytes == 0) {
                result.error = r.Ok() ? EIO : r.error;
                result.offset = done + static_cast<std::int64_t>(got);
                return result;
            }
            got += r.bytes;
        }
        if (std::memcmp(actual.Data(), expected.Data(), chunk) != 0) {
            std::size_t k = 0;
            while (actual.Data()[k] == expected.Data()[k])
                ++k;
            result.offset = done + static_cast<std::int64_t>(k);
            return result;
        }
        done += static_cast<std::int64_t>(chunk);
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// TWipeAlgorithms

namespace {

// "readonly": a number is true when it is not zero; true/false in any case; anything else false.
bool ReadBool(const pugi::xml_attribute& attr) {
    if (!attr)
        return false;
    const std::string text = attr.value();
    const std::string lower = platform::AsciiLower(text);
    if (lower == "true")
        return true;
    if (lower == "false" || text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || errno == ERANGE)
        return false;
    return value != 0.0;
}

// "len": a decimal integer; absent gives `absent`; anything that is not one gives -1.
std::int32_t ReadInt(const pugi::xml_attribute& attr, std::int32_t absent) {
    if (!attr)
        return absent;
    std::string_view text = attr.value();
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    std::int32_t value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || ptr != text.data() + text.size())
        return -1;
    return value;
}

} // namespace

TWipeAlgorithm& TWipeAlgorithms::Add() {
    FItems.push_back(std::make_unique<TWipeAlgorithm>());
    return *FItems.back();
}

void TWipeAlgorithms::Delete(std::int32_t index) {
    if (index < 0 || index >= Count())
        throw std::out_of_range("TWipeAlgorithms.Delete: index out of range");
    FItems.erase(FItems.begin() + index);
}

TWipeAlgorithm* TWipeAlgorithms::GetAlgorithmFromGUID(std::string_view guid) const {
    const std::string wanted = platform::AsciiLower(guid);
    for (const auto& item : FItems)
        if (platform::AsciiLower(item->GUID()) == wanted)
            return item.get();
    return nullptr;
}

bool TWipeAlgorithms::LoadFromXML(const std::string& filename) {
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed = doc.load_file(filename.c_str());
    if (!parsed)
        throw EMethodFileError("Cannot read the method file \"" + filename +
                               "\": " + parsed.description() + " (at offset " +
                               std::to_string(parsed.offset) + ")");
    Clear();
    const pugi::xml_node root = doc.document_element();
    if (platform::AsciiLower(root.name()) != "wiperalgorithms")
        return false;

    for (const pugi::xml_node& node : root.children()) {
        if (node.type() != pugi::node_element || platform::AsciiLower(node.name()) != "algorithm")
            continue;
        auto method = std::make_unique<TWipeAlgorithm>();
        const pugi::xml_attribute name = node.attribute("name");
        method->SetName(name ? name.value() : "(noname)");
        method->SetGUID(node.attribute("guid").value());
        method->SetReadonly(ReadBool(node.attribute("readonly")));

        for (const pugi::xml_node& passNode : node.children()) {
            if (passNode.type() != pugi::node_element ||
                platform::AsciiLower(passNode.name()) != "pass")
                continue;
            TWipePattern& pass = method->Add();
            const pugi::xml_attribute type = passNode.attribute("type");
            const std::string typeText = type ? type.value() : "random";
            if (typeText == "pattern") {
                pass.SetPatternType(pt_fixed);
                std::string text = passNode.text().get();
                pass.SetPattern(text.empty() ? "00" : std::move(text));
            } else if (typeText == "random") {
                pass.SetPatternType(pt_random);
                const std::int32_t len = ReadInt(passNode.attribute("len"), 1);
                pass.SetRandomLen(len == 0 ? 512 : len);
            } else if (typeText == "invert") {
                pass.SetPatternType(pt_invert);
            }
            // Any other type leaves the pass as created: pt_fixed with an empty pattern.
        }
        FItems.push_back(std::move(method));
    }
    return !FItems.empty();
}

namespace {

[[noreturn]] void ThrowSaveError(int error, const std::string& what, const std::string& path) {
    throw std::system_error(error, std::generic_category(),
                            "Cannot save the method file \"" + path + "\" (" + what + ")");
}

} // namespace

bool TWipeAlgorithms::SaveToXML(const std::string& filename) const {
    pugi::xml_document doc;
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "UTF-8";
    pugi::xml_node root = doc.append_child("wiperalgorithms");
    for (const auto& method : FItems) {
        pugi::xml_node node = root.append_child("algorithm");
        node.append_attribute("name") = method->Name().c_str();
        node.append_attribute("guid") = method->GUID().c_str();
        node.append_attribute("readonly") = method->Readonly() ? "-1" : "0";
        for (std::int32_t i = 0; i < method->Count(); ++i) {
            const TWipePattern& pass = method->Items(i);
            pugi::xml_node passNode = node.append_child("pass");
            switch (pass.PatternType()) {
            case pt_fixed:
                passNode.append_attribute("type") = "pattern";
                passNode.text().set(pass.Pattern().c_str());
                break;
            case pt_random:
                passNode.append_attribute("type") = "random";
                passNode.append_attribute("len") = pass.RandomLen();
                break;
            case pt_invert:
                passNode.append_attribute("type") = "invert";
                break;
            }
        }
    }
    std::ostringstream out;
    doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    const std::string text = out.str();

    // Write the new document beside the old file and move it into place only when it is
    // complete and on disk: a failed save (disk full, access denied) leaves the old methods.
    const auto slash = filename.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : filename.substr(0, slash + 1);
    std::string temp = filename + ".XXXXXX";
    platform::UniqueFd fd(::mkstemp(temp.data()));
    if (!fd)
        ThrowSaveError(errno, "create temporary file", filename);
    auto fail = [&](int error, const std::string& what) {
        ::unlink(temp.c_str());
        ThrowSaveError(error, what, filename);
    };
    struct stat old {};
    const mode_t mode = ::stat(filename.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    if (::fchmod(fd.Get(), mode) != 0)
        fail(errno, "set permissions");
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd.Get(), text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(errno, "write");
        }
        if (n == 0)
            fail(EIO, "write");
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.Get()) != 0)
        fail(errno, "flush");
    if (fd.Reset() != 0)
        fail(errno, "close");
    if (::rename(temp.c_str(), filename.c_str()) != 0)
        fail(errno, "replace");
    // Make the rename itself durable.
    platform::UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        ::fsync(dir.Get());
    return true;
}

} // namespace purgix
