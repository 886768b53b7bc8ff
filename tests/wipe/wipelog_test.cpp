// The wipe log: the exact document, its lines and times, the file it goes to, its signature
// (checked against the openssl command-line tool) and the signature check of saved logs.
#include "wipe/wipelog.h"

#include "platform/debug.h"
#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace purgix {
namespace {

using std::chrono::system_clock;
using namespace std::chrono_literals;

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kOpening = "<html><body style=\"font-family:Arial;Helvetica;Tahoma\">";
constexpr std::string_view kTitle = "<h2>Wipe Protocol - Kestrelon Purgix</h2><br>";
constexpr std::string_view kBegin = "\r\n############BEGINSIGNATURE##############\r\n";
constexpr std::string_view kEnd = "\r\n############ENDSIGNATURE################";
constexpr std::string_view kTail = "</div></body></html>";

// The first program of that name on PATH, or empty.
std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
    while (!dirs.empty()) {
        const std::size_t colon = dirs.find(':');
        const std::string dir(dirs.substr(0, colon));
        dirs = colon == std::string_view::npos ? std::string_view{} : dirs.substr(colon + 1);
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

// Sets an environment variable while the object lives.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        ::setenv(name, value.c_str(), 1);
        ::tzset();
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
        ::tzset();
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

std::string ToHex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : bytes) {
        out += kDigits[static_cast<unsigned char>(c) >> 4];
        out += kDigits[static_cast<unsigned char>(c) & 0x0F];
    }
    return out;
}

// glibc's newlocale keeps a copy of LOCPATH for every locale it loads from there and never
// frees it; that is the C library's, not ours, so the leak checker leaves it out while the
// object lives.
class IgnoreLocpathLeak {
public:
    IgnoreLocpathLeak() {
#if defined(__SANITIZE_ADDRESS__)
        __lsan_disable();
#endif
    }
    IgnoreLocpathLeak(const IgnoreLocpathLeak&) = delete;
    IgnoreLocpathLeak& operator=(const IgnoreLocpathLeak&) = delete;
    ~IgnoreLocpathLeak() {
#if defined(__SANITIZE_ADDRESS__)
        __lsan_enable();
#endif
    }
};

// The signature of `ansi` (text already in Windows-1252) computed by the openssl tool: SHA-1,
// then the first 16 bytes as one AES-256-CBC block, the last 4 in CFB8 continuing from it.
std::string OpensslSignature(const test::TempDir& dir, const std::string& openssl,
                             std::string_view ansi) {
    const std::string key = ToHex("Pk9%Ld2!Hs6*Vn3#Gx8&Rc5(Yt1)Mb4=");
    const std::string iv = ToHex("Wq7&Zr+Tb4Mx!Ke8");
    const auto run = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv = {openssl};
        argv.insert(argv.end(), args.begin(), args.end());
        const test::ProcessResult r = test::RunProcess(argv);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    };
    test::WriteFile(dir.File("signed"), std::string(ansi));
    const std::string digest = run({"dgst", "-sha1", "-binary", dir.File("signed")});
    EXPECT_EQ(digest.size(), 20u);
    test::WriteFile(dir.File("head"), digest.substr(0, 16));
    test::WriteFile(dir.File("tail"), digest.substr(16));
    const std::string c1 =
        run({"enc", "-aes-256-cbc", "-nopad", "-K", key, "-iv", iv, "-in", dir.File("head")});
    EXPECT_EQ(c1.size(), 16u);
    const std::string c2 =
        run({"enc", "-aes-256-cfb8", "-K", key, "-iv", ToHex(c1), "-in", dir.File("tail")});
    EXPECT_EQ(c2.size(), 4u);
    return ToHex(c1 + c2);
}

// A fixed clock: the start time, then the end time for every later reading.
struct FixedClock {
    std::vector<system_clock::time_point> times;
    std::size_t next = 0;
    system_clock::time_point operator()() {
        const auto t = times.at(std::min(next, times.size() - 1));
        ++next;
        return t;
    }
};

// 11 December 2026, 12:31:43 UTC.
const system_clock::time_point kStart = system_clock::from_time_t(1'796'992'303);
const system_clock::time_point kEnd1 = kStart + 13min + 17s;

class WipeLogTest : public testing::Test {
protected:
    // Times in UTC and the C locale, whatever the machine has.
    ScopedEnv tz_{"TZ", "UTC"};
    ScopedEnv lcAll_{"LC_ALL", "C"};
    test::TempDir dir_;
    std::shared_ptr<FixedClock> clock_ = std::make_shared<FixedClock>(FixedClock{{kStart, kEnd1}});

    TLogClock Clock() {
        return [c = clock_] { return (*c)(); };
    }

    // A closed log of a file job with the given success and failure lines.
    std::string WriteFileJobLog(const std::string& name, const std::vector<std::string>& ok,
                                const std::vector<std::string>& failed = {}) {
        const std::string path = dir_.File(name);
        TWipeLog log(Clock());
        log.CreateLogFile(path);
        log.WriteHeader(wt_file, {});
        log.WriteHeaderDetails("alice", "DoD 5220.22-M E (3 Passes)");
        for (const std::string& line : failed)
            log.LogError(line);
        for (const std::string& line : ok)
            log.LogOK(line);
        EXPECT_TRUE(log.Close());
        return path;
    }

    std::string Openssl() {
        const std::string openssl = FindProgram("openssl");
        if (openssl.empty())
            ADD_FAILURE() << "the openssl tool is missing (scripts/install-deps.sh installs it)";
        return openssl;
    }
};

// The text in front of the signature block of a document.
std::string SignedPart(const std::string& document) {
    return document.substr(0, document.find(kBegin));
}

TEST_F(WipeLogTest, FileJobDocumentByteForByte) {
    const std::string path = WriteFileJobLog("log.html", {"/home/alice/a.txt (4096 Byte)"});
    const std::string expectedSigned =
        std::string(kOpening) + std::string(kTitle) +
        "Operation:\t\t\t\tWipe Files or Folders<br><br>"
        "<br><b>Executed by:</b>alice<br><b>Wipe Algorithm:</b>DoD 5220.22-M E (3 Passes)<br>"
        "<b>Start Time:</b>12/11/26 12:31:43<br><b>End Time:</b>12/11/26 12:45:00<br>"
        "<h2>Successfully wiped data</h2><br><br>/home/alice/a.txt (4096 Byte)<br>"
        "<div style=\"display:none\">";
    const std::string openssl = Openssl();
    ASSERT_FALSE(openssl.empty());
    const std::string signature = OpensslSignature(dir_, openssl, expectedSigned);
    const std::string expected = std::string(kBom) + expectedSigned + std::string(kBegin) +
                                 signature + std::string(kEnd) + std::string(kTail);
    EXPECT_EQ(test::ReadFile(path), expected);
    EXPECT_EQ(test::ReadFile(path).find("Unsuccesfully"), std::string::npos);
    EXPECT_TRUE(CheckLogSignature(path));
}

TEST_F(WipeLogTest, CancelledPartitionJobWithFailures) {
    TWipeLog log(Clock());
    std::vector<std::string> debug;
    log.SetOnDebugLog([&](const std::string& line) { debug.push_back(line); });
    log.WriteHeader(wt_partitions, {PartitionLogName("", 2), PartitionLogName("/mnt/data/", 5)});
    log.WriteHeaderDetails("root", "VSITR (7 Passes)");
    log.LogError("/dev/sdb2 => Could not get exclusive access");
    log.LogOK("/dev/sdb5 => succesfully wiped.");
    log.LogCanceledByUser();
    log.LogError("Disk Partition 6 => (aborted by user)");

    EXPECT_EQ(SignedPart(log.Document()),
              std::string(kOpening) + std::string(kTitle) +
                  "Operation:\t\t\t\tWipe Partition 2(no driveletter), /mnt/data/ <br><br>"
                  "Operation was canceled by user<br>"
                  "<br><b>Executed by:</b>root<br><b>Wipe Algorithm:</b>VSITR (7 Passes)<br>"
                  "<b>Start Time:</b>12/11/26 12:31:43<br><b>End Time:</b>12/11/26 12:45:00<br>"
                  "<h2>Unsuccesfully wiped data</h2><br><br>"
                  "<b>/dev/sdb2 => Could not get exclusive access<br></b>"
                  "<b>Disk Partition 6 => (aborted by user)<br></b>"
                  "<h2>Successfully wiped data</h2><br><br>"
                  "/dev/sdb5 => succesfully wiped.<br>OPERATION CANCELED BY USER<br>"
                  "<div style=\"display:none\">");
    EXPECT_EQ(debug, (std::vector<std::string>{
                         "Error:/dev/sdb2 => Could not get exclusive access<br>",
                         "OK:/dev/sdb5 => succesfully wiped.<br>",
                         "OK:OPERATION CANCELED BY USER<br>",
                         "Error:Disk Partition 6 => (aborted by user)<br>",
                     }));
    // The error text a job shows: header and failure lines, without the heading.
    EXPECT_EQ(log.LogDataError(), log.HeaderSection() + log.FailureSection());
    EXPECT_EQ(log.FailureSection().find("<h2>"), std::string::npos);
}

TEST_F(WipeLogTest, JobThatNeverStarted) {
    TWipeLog log(Clock());
    log.WriteNotStarted(wt_freespace, {"/mnt/usb/"}, "root", "VSITR (7 Passes)",
                        "Not started: an earlier job on this drive was cancelled.");
    // No start or end time: the job never ran.
    EXPECT_EQ(SignedPart(log.Document()),
              std::string(kOpening) + std::string(kTitle) +
                  "Operation:\t\t\t\tOverwrite Freespace of Drive /mnt/usb/<br><br>"
                  "Operation was canceled by user<br>"
                  "<br><b>Executed by:</b>root<br><b>Wipe Algorithm:</b>VSITR (7 Passes)<br>"
                  "<h2>Unsuccesfully wiped data</h2><br><br>"
                  "<b>Not started: an earlier job on this drive was cancelled.<br></b>"
                  "<div style=\"display:none\">");
}

TEST(WipeLogLines, OperationLinePerJobType) {
    struct Case {
        TWipeType type;
        std::vector<std::string> targets;
        std::string line;
    };
    const Case cases[] = {
        {wt_device,
         {"Samsung SSD 870", "WDC WD10EZEX"},
         "Wipe Drive Samsung SSD 870, WDC WD10EZEX"},
        {wt_partitions, {PartitionLogName("", 2)}, "Wipe Partition 2(no driveletter) "},
        {wt_partitions, {PartitionLogName("/media/USB/", 1)}, "Wipe Partition /media/USB/ "},
        {wt_file, {"/ignored"}, "Wipe Files or Folders"},
        {wt_freespace, {"/mnt/USB/", "/"}, "Overwrite Freespace of Drive /mnt/USB/, /"},
        {wt_device, {"A&B <b>disk</b> 100%s"}, "Wipe Drive A&amp;B &lt;b>disk&lt;/b> 100%s"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(LogOperationLine(c.type, c.targets), "Operation:\t\t\t\t" + c.line);
}

TEST_F(WipeLogTest, NamesStayAsTheyAreAndOnlyThePlaceholderGetsTheEndTime) {
    TWipeLog log(Clock());
    log.WriteHeaderDetails(" \t %s user%d \r\n", "100% %s & <i>more</i>");
    EXPECT_EQ(log.HeaderDetailsSection(),
              "<br><b>Executed by:</b>%s user%d<br>"
              "<b>Wipe Algorithm:</b>100% %s &amp; &lt;i>more&lt;/i><br>"
              "<b>Start Time:</b>12/11/26 12:31:43<br><b>End Time:</b>%s<br>");
    const std::string document = log.Document();
    EXPECT_NE(document.find("<b>Executed by:</b>%s user%d<br>"
                            "<b>Wipe Algorithm:</b>100% %s &amp; &lt;i>more&lt;/i><br>"
                            "<b>Start Time:</b>12/11/26 12:31:43<br>"
                            "<b>End Time:</b>12/11/26 12:45:00<br><div"),
              std::string::npos)
        << document;
}

TEST_F(WipeLogTest, LinesAreEscapedSoNamesCannotBreakTheDocument) {
    // Linux file names may hold markup and line breaks; the log shows them as text and keeps
    // its only line breaks in the signature block.
    TWipeLog log(Clock());
    log.LogOK("/tmp/<script>x</script>&amp; (0 Byte)");
    log.LogOK("/tmp/two\nlines\r\n" + std::string(kBegin) + " (0 Byte)");
    log.LogHeader("a\rb");
    log.LogHeaderDetail("<b>");
    EXPECT_EQ(log.SuccessSection(),
              "/tmp/&lt;script>x&lt;/script>&amp;amp; (0 Byte)<br>"
              "/tmp/two&#10;lines&#13;&#10;&#13;&#10;############BEGINSIGNATURE##############"
              "&#13;&#10; (0 Byte)<br>");
    EXPECT_EQ(log.HeaderSection(), "a&#13;b<br>");
    EXPECT_EQ(log.HeaderDetailsSection(), "&lt;b><br>");
    EXPECT_EQ(SignedPart(log.Document()).find_first_of("\r\n"), std::string::npos);

    const std::string path = WriteFileJobLog("names.html", {"/tmp/a\nb", "/tmp/c\r"});
    EXPECT_TRUE(CheckLogSignature(path));
}

TEST_F(WipeLogTest, DateAndTimeText) {
    struct Case {
        system_clock::time_point time;
        std::string text;
    };
    const auto midnight = system_clock::from_time_t(1'796'947'200); // 11 Dec 2026 00:00:00 UTC
    const Case cases[] = {
        {kStart, "12/11/26 12:31:43"},         {midnight, "12/11/26"},
        {midnight + 1ms, "12/11/26 00:00:00"}, {midnight + 1s, "12/11/26 00:00:01"},
        {midnight - 1s, "12/10/26 23:59:59"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(LogDateTimeText(c.time), c.text);

    {
        ScopedEnv zone("TZ", "CET-1");
        EXPECT_EQ(LogDateTimeText(kStart), "12/11/26 13:31:43");
        EXPECT_EQ(LogDateTimeText(midnight - 1h), "12/11/26");
    }
    for (const char* broken : {"xx_NOWHERE.UTF-8", "de_DE.no-such-charset"}) {
        ScopedEnv locale("LC_ALL", broken);
        EXPECT_EQ(LogDateTimeText(kStart), "12/11/26 12:31:43") << broken;
    }
}

TEST_F(WipeLogTest, DateAndTimeFollowTheEnvironmentsLocale) {
    // Locales are compiled into the test's own folder, so the test does not depend on what the
    // machine has installed.
    const std::string localedef = FindProgram("localedef");
    if (localedef.empty() || !std::filesystem::exists("/usr/share/i18n/locales/de_DE"))
        GTEST_SKIP() << "localedef or the locale sources are missing";
    struct Case {
        std::string source, charset, name, text;
    };
    const Case cases[] = {
        {"de_DE", "UTF-8", "de_DE.UTF-8", "11.12.2026 12:31:43"},
        {"ja_JP", "UTF-8", "ja_JP.UTF-8",
         "2026\xE5\xB9\xB4"
         "12\xE6\x9C\x88"
         "11\xE6\x97\xA5 12\xE6\x99\x82"
         "31\xE5\x88\x86"
         "43\xE7\xA7\x92"},
        // The same locale in a character set other than UTF-8: the C format, not foreign bytes.
        {"ja_JP", "EUC-JP", "ja_JP.EUC-JP", "12/11/26 12:31:43"},
    };
    ScopedEnv locpath("LOCPATH", dir_.Path());
    for (const Case& c : cases) {
        const auto r =
            test::RunProcess({localedef, "-i", c.source, "-f", c.charset, dir_.File(c.name)});
        if (!std::filesystem::exists(dir_.File(c.name)))
            GTEST_SKIP() << "localedef failed: " << r.err;
        ScopedEnv locale("LC_ALL", c.name);
        IgnoreLocpathLeak ignore;
        EXPECT_EQ(LogDateTimeText(kStart), c.text) << c.name;
    }
    // LC_ALL unset: LC_TIME decides.
    ::unsetenv("LC_ALL");
    ScopedEnv time("LC_TIME", "de_DE.UTF-8");
    IgnoreLocpathLeak ignore;
    EXPECT_EQ(LogDateTimeText(kStart), "11.12.2026 12:31:43");
}

TEST_F(WipeLogTest, FailedInitialisationStillWritesASignedLogWithoutSections) {
    const std::string path = dir_.File("failed.html");
    TWipeLog log(Clock());
    log.CreateLogFile(path);
    EXPECT_TRUE(log.HasLogFile());
    ASSERT_TRUE(log.Close());
    EXPECT_FALSE(log.HasLogFile());
    const std::string signedPart = std::string(kOpening) + "<div style=\"display:none\">";
    const std::string openssl = Openssl();
    ASSERT_FALSE(openssl.empty());
    EXPECT_EQ(test::ReadFile(path), std::string(kBom) + signedPart + std::string(kBegin) +
                                        OpensslSignature(dir_, openssl, signedPart) +
                                        std::string(kEnd) + std::string(kTail));
    EXPECT_TRUE(CheckLogSignature(path));
    EXPECT_FALSE(log.Close()) << "a second close has no file to write";
}

TEST_F(WipeLogTest, CreatingTheLogFile) {
    // An existing file is replaced, and the sections of an earlier job are gone.
    const std::string existing = dir_.File("old.html");
    test::WriteFile(existing, std::string(10000, 'x'));
    TWipeLog log(Clock());
    log.LogOK("from before");
    log.CreateLogFile(existing);
    EXPECT_TRUE(log.SuccessSection().empty());
    EXPECT_EQ(test::ReadFile(existing), "");
    ASSERT_TRUE(log.Close());
    EXPECT_EQ(test::ReadFile(existing).find("from before"), std::string::npos);
    EXPECT_TRUE(CheckLogSignature(existing));

    // A link at the log's path is not followed: its target stays untouched.
    const std::string target = dir_.File("precious");
    test::WriteFile(target, "keep me");
    const std::string link = dir_.File("link.html");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(::mkfifo(dir_.File("fifo").c_str(), 0600), 0);
    for (const std::string& bad : {link, dir_.File("fifo"), dir_.Path(),
                                   dir_.File("no/such/folder/log.html"), std::string{}}) {
        TWipeLog refused(Clock());
        EXPECT_THROW(refused.CreateLogFile(bad), std::system_error) << bad;
        EXPECT_FALSE(refused.HasLogFile());
        EXPECT_FALSE(refused.Close());
    }
    EXPECT_EQ(test::ReadFile(target), "keep me");
}

TEST_F(WipeLogTest, AFailedWriteIsReportedNotHidden) {
    // A file-size limit makes the write of the log fail part-way, as a full volume would.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    TWipeLog log(Clock());
    log.CreateLogFile(dir_.File("full.html"));
    log.LogOK(std::string(1000, 'a'));
    rlimit small = old;
    small.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::vector<std::string> diagnostics;
    bool written = true;
    {
        platform::ScopedDebugCapture capture(
            [&](std::string_view line) { diagnostics.emplace_back(line); });
        written = log.Close();
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    ASSERT_EQ(diagnostics.size(), 1u);
    EXPECT_NE(diagnostics[0].find("Could not write the wipe log " + dir_.File("full.html")),
              std::string::npos)
        << diagnostics[0];
    EXPECT_FALSE(CheckLogSignature(dir_.File("full.html")));
}

TEST_F(WipeLogTest, SignatureKnownAnswersFromOpenssl) {
    const std::string openssl = Openssl();
    ASSERT_FALSE(openssl.empty());
    struct Case {
        std::string text; // UTF-8
        std::string ansi; // the same text in Windows-1252
    };
    const Case cases[] = {
        {"", ""},
        {"a", "a"},
        {std::string(kOpening) + "<div style=\"display:none\">",
         std::string(kOpening) + "<div style=\"display:none\">"},
        {"/home/\xC3\xA4.txt", "/home/\xE4.txt"}, // ä
        {"\xE2\x82\xAC 5", "\x80 5"},             // € is in the code page
        {"\xCE\xA9mega", "?mega"},                // Ω is not
        {"\xC2\x81\xC2\x9D", "\x81\x9D"},         // the unassigned bytes
        {"bad \xFF byte", "bad ? byte"},          // not UTF-8
        {std::string(100000, 'z'), std::string(100000, 'z')},
    };
    for (const Case& c : cases) {
        const std::string signature = LogSignature(c.text);
        EXPECT_EQ(signature, OpensslSignature(dir_, openssl, c.ansi))
            << testing::PrintToString(c.text.substr(0, 40));
        EXPECT_EQ(signature.find_first_not_of("0123456789ABCDEF"), std::string::npos);
        EXPECT_EQ(signature.size(), 40u);
    }
}

// Edits of a freshly written log and whether it still checks.
TEST_F(WipeLogTest, CheckOfEditedLogs) {
    const std::string original = test::ReadFile(WriteFileJobLog(
        "fresh.html", {"/home/alice/report.txt (4096 Byte)", "/home/alice/b.txt (0 Byte)"},
        {"/home/alice/locked.txt => Access denied"}));
    const std::string body = original.substr(kBom.size());
    const auto replaced = [&](std::string text, std::string_view from, std::string_view to) {
        const std::size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    };
    const auto lineEnds = [](std::string text, std::string_view by) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text.compare(i, 2, "\r\n") == 0) {
                out += by;
                ++i;
            } else {
                out += text[i];
            }
        }
        return out;
    };
    const std::string signature = body.substr(body.find(kBegin) + kBegin.size(), 40);
    std::string lower = signature;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_NE(lower, signature);

    struct Case {
        std::string name;
        std::string content;
        bool valid;
    };
    const Case cases[] = {
        {"fresh", original, true},
        {"one character of a success line", replaced(original, "report.txt", "rePort.txt"), false},
        {"one character of a failure line", replaced(original, "locked", "locket"), false},
        {"a header character", replaced(original, "alice<br>", "alicf<br>"), false},
        {"text behind the closing tag", original + "<p>added</p>\r\nmore", true},
        {"signature block removed", original.substr(0, original.find(kBegin)) + std::string(kTail),
         false},
        {"end marker removed", replaced(original, std::string(kEnd), ""), false},
        {"saved again with CR LF and a final line break", original + "\r\n", true},
        {"saved again with LF line ends", lineEnds(original, "\n"), true},
        {"saved again with CR line ends", lineEnds(original, "\r"), true},
        {"line break in the signed text", replaced(original, "<br><br>", "<br>\r\n<br>"), false},
        {"lower-case signature", replaced(original, signature, lower), false},
        {"one signature digit changed",
         replaced(original, signature, (signature[0] == 'A' ? "B" : "A") + signature.substr(1)),
         false},
        // Plain ASCII reads the same in Windows-1252: still valid without the mark.
        {"ASCII without byte-order mark", body, true},
        {"empty file", "", false},
    };
    for (const Case& c : cases) {
        const std::string path = dir_.File("edited.html");
        test::WriteFile(path, c.content);
        EXPECT_EQ(CheckLogSignature(path), c.valid) << c.name;
    }
}

TEST_F(WipeLogTest, NonAsciiTextAndPathsSignAndCheckConsistently) {
    // ä and € exist in Windows-1252, Ω does not (it is signed as "?"); the log's own file name
    // carries them too.
    const std::string path = WriteFileJobLog("Protokoll \xC3\xA4 \xE2\x82\xAC \xCE\xA9.html",
                                             {"/home/alice/\xC3\xA4rger.txt (1 Byte)",
                                              "/home/alice/\xE2\x82\xAC.txt (2 Byte)",
                                              "/home/alice/\xCE\xA9.txt (3 Byte)"});
    EXPECT_TRUE(CheckLogSignature(path));
    const std::string original = test::ReadFile(path);
    const std::string body = original.substr(kBom.size());

    // The same text converted to Windows-1252 without the mark (Ω written as "?") checks, as
    // the signature saw it that way.
    std::string ansi = body;
    for (const auto& [utf8, cp] : {std::pair<std::string, std::string>{"\xC3\xA4", "\xE4"},
                                   {"\xE2\x82\xAC", "\x80"},
                                   {"\xCE\xA9", "?"}})
        for (std::size_t at; (at = ansi.find(utf8)) != std::string::npos;)
            ansi.replace(at, utf8.size(), cp);
    const std::string other = dir_.File("other.html");
    test::WriteFile(other, ansi);
    EXPECT_TRUE(CheckLogSignature(other));
    // The UTF-8 bytes without the mark are read as Windows-1252: another text, invalid.
    test::WriteFile(other, body);
    EXPECT_FALSE(CheckLogSignature(other));
    // "ä" written in its decomposed form (a + combining diaeresis) is a change.
    std::string decomposed = original;
    decomposed.replace(decomposed.find("\xC3\xA4"), 2, "a\xCC\x88");
    test::WriteFile(other, decomposed);
    EXPECT_FALSE(CheckLogSignature(other));
}

TEST_F(WipeLogTest, CheckNeedsARegularFile) {
    const std::string path = WriteFileJobLog("log.html", {"/a (1 Byte)"});
    ASSERT_TRUE(CheckLogSignature(path));
    const std::string link = dir_.File("link.html");
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    ASSERT_EQ(::mkfifo(dir_.File("fifo").c_str(), 0600), 0);
    for (const std::string& bad :
         {link, dir_.File("fifo"), dir_.Path(), dir_.File("missing.html"), std::string{}})
        EXPECT_FALSE(CheckLogSignature(bad)) << bad;
}

TEST_F(WipeLogTest, MarkersOutOfPlace) {
    const std::string signedText = std::string(kOpening) + "<div style=\"display:none\">";
    const std::string signature = LogSignature(signedText);
    struct Case {
        std::string name;
        std::string content;
        bool valid;
    };
    const Case cases[] = {
        {"as written", signedText + std::string(kBegin) + signature + std::string(kEnd), true},
        {"end marker first",
         signedText + std::string(kEnd) + std::string(kBegin) + signature + std::string(kEnd),
         false},
        {"end marker right after the begin marker",
         signedText + std::string(kBegin.substr(0, kBegin.size() - 2)) + std::string(kEnd), false},
        {"only the begin marker", signedText + std::string(kBegin) + signature, false},
        {"the first begin marker counts",
         signedText + std::string(kBegin) + signature + std::string(kEnd) + std::string(kBegin) +
             "0000000000000000000000000000000000000000" + std::string(kEnd),
         true},
    };
    for (const Case& c : cases) {
        const std::string path = dir_.File("m.html");
        test::WriteFile(path, std::string(kBom) + c.content);
        EXPECT_EQ(CheckLogSignature(path), c.valid) << c.name;
    }
}

} // namespace
} // namespace purgix
