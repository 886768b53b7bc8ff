#include "wipe/wipelog.h"

#include "platform/codepage.h"
#include "platform/debug.h"
#include "platform/product.h"
#include "platform/syserror.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <array>
#include <cerrno>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace purgix {
namespace {

constexpr std::string_view kLineEnd = "<br>";
constexpr std::string_view kOpening = "<html><body style=\"font-family:Arial;Helvetica;Tahoma\">";
constexpr std::string_view kFailureHeading = "<h2>Unsuccesfully wiped data</h2>";
constexpr std::string_view kSuccessHeading = "<h2>Successfully wiped data</h2>";
constexpr std::string_view kHeadingGap = "<br><br>";
constexpr std::string_view kHiddenStart = "<div style=\"display:none\">";
constexpr std::string_view kClosing = "</div></body></html>";
constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kBeginMarker = "############BEGINSIGNATURE##############";
constexpr std::string_view kEndMarker = "############ENDSIGNATURE################";
static_assert(kBeginMarker.size() == 40 && kEndMarker.size() == 40);
constexpr std::string_view kEndTimePlaceholder = "%s";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// The fixed key and initialisation vector of every signature, for signing and for checking.
constexpr std::string_view kSignatureKey = "Pk9%Ld2!Hs6*Vn3#Gx8&Rc5(Yt1)Mb4=";
constexpr std::string_view kSignatureIv = "Wq7&Zr+Tb4Mx!Ke8";
static_assert(kSignatureKey.size() == 32 && kSignatureIv.size() == 16);

std::string Join(const std::vector<std::string>& items, std::string_view separator) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            out += separator;
        out += LogEscape(items[i]);
    }
    return out;
}

// Removes what a trimming of a name drops: blanks and control characters at both ends.
std::string_view TrimBlanks(std::string_view s) {
    const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

// A locale object, freed on scope exit.
class Locale {
public:
    explicit Locale(const char* name) : FLocale(::newlocale(LC_ALL_MASK, name, locale_t{})) {}
    Locale(const Locale&) = delete;
    Locale& operator=(const Locale&) = delete;
    ~Locale() {
        if (FLocale != locale_t{})
            ::freelocale(FLocale);
    }
    bool Valid() const noexcept { return FLocale != locale_t{}; }
    locale_t Get() const noexcept { return FLocale; }

private:
    locale_t FLocale;
};

std::string Format(const char* format, const std::tm& tm, locale_t locale) {
    std::string buffer(128, '\0');
    // strftime answers 0 both for a buffer too small and for an empty result; a few larger
    // buffers settle which one it was.
    for (int attempt = 0; attempt < 4; ++attempt) {
        const std::size_t n = ::strftime_l(buffer.data(), buffer.size(), format, &tm, locale);
        if (n > 0)
            return buffer.substr(0, n);
        buffer.resize(buffer.size() * 8);
    }
    return {};
}

std::string DateTimeText(const std::tm& tm, bool midnight, locale_t locale) {
    std::string text = Format("%x", tm, locale);
    if (!midnight)
        text += ' ' + Format("%X", tm, locale);
    return text;
}

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

[[noreturn]] void CryptoFailure(const char* step) {
    throw std::runtime_error(std::string("log signature: ") + step + " failed in libcrypto");
}

const unsigned char* Bytes(std::string_view s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

// Encrypts `length` bytes of `in` into `out` with AES-256 in `mode`, without padding.
void Encrypt(const EVP_CIPHER* mode, const unsigned char* iv, const unsigned char* in, int length,
             unsigned char* out) {
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx)
        CryptoFailure("EVP_CIPHER_CTX_new");
    if (EVP_EncryptInit_ex(ctx.get(), mode, nullptr, Bytes(kSignatureKey), iv) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1)
        CryptoFailure("EVP_EncryptInit_ex");
    int written = 0;
    int final = 0;
    if (EVP_EncryptUpdate(ctx.get(), out, &written, in, length) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), out + written, &final) != 1 || written + final != length)
        CryptoFailure("AES-256 encryption");
}

std::string Hex(const unsigned char* data, std::size_t size) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0x0F];
    }
    return out;
}

// Writes all of `data` to `fd`. Returns 0 or the errno of the failure.
int WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

// Whether a regular file exists at `path`. A symbolic link is not followed, so it is no file.
bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The bytes of the regular file at `path`, or nothing when it cannot be read. The descriptor is
// checked too, so that a file swapped for a link or a fifo after the test is not read.
std::optional<std::string> ReadRegularFile(const std::string& path) {
    platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    std::string content;
    std::array<char, 65536> buffer;
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (n == 0)
            return content;
        content.append(buffer.data(), static_cast<std::size_t>(n));
    }
}

// Splits `text` into lines ended by CR LF, LF or CR and joins them with CR LF after every line
// (the last one included).
std::string JoinLinesWithCrLf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + kCrLf.size());
    bool lineOpen = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            out += kCrLf;
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            lineOpen = false;
        } else {
            out += c;
            lineOpen = true;
        }
    }
    if (lineOpen)
        out += kCrLf;
    return out;
}

} // namespace

std::string LogEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '\r':
            out += "&#13;";
            break;
        case '\n':
            out += "&#10;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

namespace {

// The date (and, unless `dateOnly`, the time) in the user's locale, "C" as the fallback.
std::string LocalDateText(std::chrono::system_clock::time_point time, bool dateOnly) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
    const bool wholeSecond = time == seconds;
    const std::time_t t = std::chrono::system_clock::to_time_t(seconds);
    std::tm tm{};
    if (::localtime_r(&t, &tm) == nullptr)
        return {};
    const bool midnight = wholeSecond && tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0;
    const bool noTime = dateOnly || midnight;

    if (const Locale user(""); user.Valid()) {
        std::string text = DateTimeText(tm, noTime, user.Get());
        // A locale of another character set would put bytes into the log that are no UTF-8.
        if (platform::IsValidUtf8(text))
            return text;
    }
    const Locale c("C");
    return c.Valid() ? DateTimeText(tm, noTime, c.Get()) : std::string{};
}

} // namespace

std::string LogDateTimeText(std::chrono::system_clock::time_point time) {
    return LocalDateText(time, false);
}

std::string ShortDateText(std::chrono::system_clock::time_point time) {
    return LocalDateText(time, true);
}

std::string LogTitleLine() {
    return "<h2>Wipe Protocol - " + std::string(ProductTitle) + "</h2>";
}

std::string LogOperationLine(TWipeType type, const std::vector<std::string>& targets) {
    std::string line = "Operation:\t\t\t\t";
    switch (type) {
    case wt_device:
        line += "Wipe Drive " + Join(targets, ", ");
        break;
    case wt_partitions:
        line += "Wipe Partition " + Join(targets, ", ") + " ";
        break;
    case wt_file:
        line += "Wipe Files or Folders";
        break;
    case wt_freespace:
        line += "Overwrite Freespace of Drive " + Join(targets, ", ");
        break;
    }
    return line;
}

std::string PartitionLogName(std::string_view mountPoint, std::int32_t number) {
    if (mountPoint.empty())
        return std::to_string(number) + "(no driveletter)";
    return std::string(mountPoint);
}

std::string LogSignature(std::string_view text) {
    const std::string ansi = platform::Utf8ToCp1252(text);
    std::array<unsigned char, 20> digest{};
    unsigned int digestSize = 0;
    if (EVP_Digest(ansi.data(), ansi.size(), digest.data(), &digestSize, EVP_sha1(), nullptr) !=
            1 ||
        digestSize != digest.size())
        CryptoFailure("SHA-1");
    // Windows-1252 gives every byte a character, so reading the digest as text of the code page
    // and writing it back leaves the 20 bytes as they are.
    std::array<unsigned char, 20> sealed{};
    Encrypt(EVP_aes_256_cbc(), Bytes(kSignatureIv), digest.data(), 16, sealed.data());
    // The tail continues in 8-bit cipher feedback from the first block.
    Encrypt(EVP_aes_256_cfb8(), sealed.data(), digest.data() + 16, 4, sealed.data() + 16);
    return Hex(sealed.data(), sealed.size());
}

bool CheckLogSignature(const std::string& filename) {
    if (!IsRegularFile(filename))
        return false;
    const std::optional<std::string> content = ReadRegularFile(filename);
    if (!content)
        return false;
    const std::string_view raw = *content;
    const std::string decoded = raw.substr(0, kUtf8Bom.size()) == kUtf8Bom
                                    ? std::string(raw.substr(kUtf8Bom.size()))
                                    : platform::Cp1252ToUtf8(raw);
    const std::string text = JoinLinesWithCrLf(decoded);

    const std::size_t begin = text.find(std::string(kCrLf) + std::string(kBeginMarker));
    if (begin == std::string::npos)
        return false;
    const std::size_t end = text.find(std::string(kCrLf) + std::string(kEndMarker));
    if (end == std::string::npos)
        return false;
    // The signature stands between the line break after the begin marker and the one in front
    // of the end marker.
    const std::size_t stored = begin + 2 * kCrLf.size() + kBeginMarker.size();
    const std::string signature = end > stored ? text.substr(stored, end - stored) : std::string{};
    return LogSignature(std::string_view(text).substr(0, begin)) == signature;
}

TWipeLog::TWipeLog() : TWipeLog(std::chrono::system_clock::now) {}

TWipeLog::TWipeLog(TLogClock clock) {
    SetClock(std::move(clock));
}

void TWipeLog::SetClock(TLogClock clock) {
    FClock = clock ? std::move(clock) : TLogClock(std::chrono::system_clock::now);
}

void TWipeLog::CreateLogFile(const std::string& filename) {
    FLogFile.Reset();
    FLogFilename.clear();
    Clear();
    // No link is followed and nothing but a regular file is emptied: the log folder may be
    // writable by others than the user who runs the job. O_NONBLOCK keeps a fifo from blocking.
    platform::UniqueFd fd(
        ::open(filename.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    if (!fd)
        throw std::system_error(errno, std::generic_category(),
                                "cannot create the log file " + filename);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot examine " + filename);
    if (!S_ISREG(st.st_mode))
        throw std::system_error(EINVAL, std::generic_category(),
                                "the log file is not a regular file: " + filename);
    if (::ftruncate(fd.Get(), 0) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot empty " + filename);
    FLogFile = std::move(fd);
    FLogFilename = filename;
}

void TWipeLog::Clear() {
    FLogDataHeader.clear();
    FLogDataOK.clear();
    FLogDataError.clear();
    FLogDataHeaderDetails.clear();
    FEndTimeAt.reset();
}

void TWipeLog::Append(std::string& section, std::string_view markup) {
    section += markup;
    section += kLineEnd;
}

void TWipeLog::LogOK(std::string_view line) {
    const std::string text = LogEscape(line);
    Append(FLogDataOK, text);
    if (FOnDebugData)
        FOnDebugData("OK:" + text + std::string(kLineEnd));
}

void TWipeLog::LogError(std::string_view line) {
    const std::string text = LogEscape(line);
    FLogDataError += "<b>";
    Append(FLogDataError, text);
    FLogDataError += "</b>";
    if (FOnDebugData)
        FOnDebugData("Error:" + text + std::string(kLineEnd));
}

void TWipeLog::LogHeader(std::string_view line) {
    Append(FLogDataHeader, LogEscape(line));
}

void TWipeLog::LogHeaderDetail(std::string_view line) {
    Append(FLogDataHeaderDetails, LogEscape(line));
}

void TWipeLog::LogCanceledByUser() {
    LogHeader(kLogCancelNotice);
    LogOK(kLogCancelLine);
}

void TWipeLog::WriteHeader(TWipeType type, const std::vector<std::string>& targets) {
    Append(FLogDataHeader, LogTitleLine());
    Append(FLogDataHeader, LogOperationLine(type, targets));
    Append(FLogDataHeader, "");
}

void TWipeLog::WriteUserAndMethod(std::string_view userName, std::string_view methodName) {
    Append(FLogDataHeaderDetails, "");
    Append(FLogDataHeaderDetails, "<b>Executed by:</b>" + LogEscape(TrimBlanks(userName)));
    Append(FLogDataHeaderDetails, "<b>Wipe Algorithm:</b>" + LogEscape(methodName));
}

void TWipeLog::WriteHeaderDetails(std::string_view userName, std::string_view methodName) {
    WriteUserAndMethod(userName, methodName);
    Append(FLogDataHeaderDetails, "<b>Start Time:</b>" + LogEscape(LogDateTimeText(FClock())));
    FLogDataHeaderDetails += "<b>End Time:</b>";
    FEndTimeAt = FLogDataHeaderDetails.size();
    Append(FLogDataHeaderDetails, kEndTimePlaceholder);
}

void TWipeLog::WriteNotStarted(TWipeType type, const std::vector<std::string>& targets,
                               std::string_view userName, std::string_view methodName,
                               std::string_view failureLine) {
    WriteHeader(type, targets);
    LogHeader(kLogCancelNotice);
    WriteUserAndMethod(userName, methodName);
    LogError(failureLine);
}

std::string TWipeLog::Document() const {
    std::string details = FLogDataHeaderDetails;
    if (FEndTimeAt)
        details.replace(*FEndTimeAt, kEndTimePlaceholder.size(),
                        LogEscape(LogDateTimeText(FClock())));

    std::string document;
    document.reserve(kOpening.size() + FLogDataHeader.size() + details.size() +
                     FLogDataError.size() + FLogDataOK.size() + 256);
    document += kOpening;
    document += FLogDataHeader;
    document += details;
    if (!FLogDataError.empty()) {
        document += kFailureHeading;
        document += kHeadingGap;
        document += FLogDataError;
    }
    if (!FLogDataOK.empty()) {
        document += kSuccessHeading;
        document += kHeadingGap;
        document += FLogDataOK;
    }
    document += kHiddenStart;
    const std::string signature = LogSignature(document);
    document += kCrLf;
    document += kBeginMarker;
    document += kCrLf;
    document += signature;
    document += kCrLf;
    document += kEndMarker;
    document += kClosing;
    return document;
}

bool TWipeLog::Close() {
    if (!FLogFile)
        return false;
    const std::string content = std::string(kUtf8Bom) + Document();
    platform::UniqueFd fd = std::move(FLogFile);
    int error = WriteAll(fd.Get(), content);
    if (error == 0 && ::fsync(fd.Get()) != 0)
        error = errno;
    if (fd.Reset() != 0 && error == 0)
        error = errno;
    if (error != 0) {
        platform::DebugOutput("Could not write the wipe log " + FLogFilename + ": " +
                              platform::SysErrorMessage(error));
        return false;
    }
    return true;
}

} // namespace purgix
