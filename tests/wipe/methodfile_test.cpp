// The method file: reading rules, defaults, saving, and the shipped built-in methods.
#include "wipe/patternclass.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace purgix {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

TEST(MethodFile, ReadingRulesAndDefaults) {
    TempDir dir;
    const std::string path = dir.File("algorithm.xml");
    WriteFile(path, R"(<?xml version="1.0"?>
<WiperAlgorithms>
  <ALGORITHM name="Defaults" guid="{AAAA0000-0000-0000-0000-000000000001}">
    <pass/>
    <Pass type="random" len="0"/>
    <pass type="random" len="abc"/>
    <pass type="Pattern">FF</pass>
    <pass type="pattern"></pass>
    <pass type="pattern">55AA</pass>
    <pass type="invert"/>
    <other type="pattern">11</other>
  </ALGORITHM>
  <comment>skipped</comment>
  <algorithm readonly="-1"/>
  <algorithm name="t" guid="" readonly="TRUE"/>
  <algorithm name="f" readonly="False"/>
  <algorithm name="n2" readonly="2"/>
  <algorithm name="n0" readonly="0"/>
  <algorithm name="w" readonly="yes"/>
</WiperAlgorithms>
)");
    TWipeAlgorithms list;
    ASSERT_TRUE(list.LoadFromXML(path));
    ASSERT_EQ(list.Count(), 7);

    const TWipeAlgorithm& d = list.Items(0);
    EXPECT_EQ(d.Name(), "Defaults");
    EXPECT_FALSE(d.Readonly());
    ASSERT_EQ(d.Count(), 7);
    struct Expect {
        TPatternType type;
        std::string pattern;
        std::int32_t len;
    };
    const Expect passes[] = {
        {pt_random, "", 1},   // no type: random of length 1
        {pt_random, "", 512}, // len 0 becomes 512
        {pt_random, "", -1},  // len that is not a number
        {pt_fixed, "", 0},    // "Pattern" is not "pattern": an empty fixed pass
        {pt_fixed, "00", 0},  // empty content
        {pt_fixed, "55AA", 0}, {pt_invert, "", 0},
    };
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(d.Items(i).PatternType(), passes[i].type) << "pass " << i + 1;
        EXPECT_EQ(d.Items(i).Pattern(), passes[i].pattern) << "pass " << i + 1;
        EXPECT_EQ(d.Items(i).RandomLen(), passes[i].len) << "pass " << i + 1;
    }

    // No name, no guid.
    EXPECT_EQ(list.Items(1).Name(), "(noname)");
    EXPECT_EQ(list.Items(1).GUID(), "");
    EXPECT_TRUE(list.Items(1).Readonly());
    // readonly: numbers not zero, true/false in any case, anything else false.
    const bool flags[] = {true, false, true, false, false};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(list.Items(2 + i).Readonly(), flags[i]) << list.Items(2 + i).Name();

    // Lookup: without regard to case; the first of two equal GUIDs; the empty GUID only when
    // asked for.
    EXPECT_EQ(list.GetAlgorithmFromGUID("{aaaa0000-0000-0000-0000-000000000001}"), &list.Items(0));
    EXPECT_EQ(list.GetAlgorithmFromGUID(""), &list.Items(1));
    EXPECT_EQ(list.GetAlgorithmFromGUID("{BF885CA0-4B5B-4016-9165-2421B7013045}"), nullptr);
}

TEST(MethodFile, WrongRootEmptyFileAndBrokenFiles) {
    TempDir dir;
    TWipeAlgorithms list;
    list.Add().SetName("stays until a file parses");

    EXPECT_THROW(list.LoadFromXML(dir.File("missing.xml")), EMethodFileError);
    WriteFile(dir.File("broken.xml"), "<wiperalgorithms><algorithm name=\"x\">");
    EXPECT_THROW(list.LoadFromXML(dir.File("broken.xml")), EMethodFileError);
    EXPECT_EQ(list.Count(), 1);

    WriteFile(dir.File("root.xml"), "<methods><algorithm name=\"x\"/></methods>");
    EXPECT_FALSE(list.LoadFromXML(dir.File("root.xml")));
    EXPECT_EQ(list.Count(), 0);

    WriteFile(dir.File("none.xml"), "<wiperalgorithms><pass/></wiperalgorithms>");
    EXPECT_FALSE(list.LoadFromXML(dir.File("none.xml")));
    EXPECT_EQ(list.Count(), 0);
}

TEST(MethodFile, SaveAndReadBackKeepsEveryField) {
    TempDir dir;
    const std::string path = dir.File("algorithm.xml");
    TWipeAlgorithms list;
    TWipeAlgorithm& a = list.Add();
    a.SetName("Mine & <yours> \"100%\"");
    a.SetReadonly(true);
    TWipePattern& p1 = a.Add();
    p1.SetPattern("55AA");
    TWipePattern& p2 = a.Add();
    p2.SetPatternType(pt_random);
    p2.SetRandomLen(4096);
    std::uint8_t sink[8];
    p2.GetPatternBuffer(sink, sizeof sink); // a drawn block is never stored
    a.Add().SetPatternType(pt_invert);
    TWipeAlgorithm& b = list.Add();
    b.SetName("Zweite Methode \xC3\xA4");
    b.SetGUID("{lower-case-guid}");

    WriteFile(path, "old content");
    ASSERT_TRUE(list.SaveToXML(path));
    const std::string text = ReadFile(path);
    EXPECT_NE(text.find("readonly=\"-1\""), std::string::npos) << text;
    EXPECT_NE(text.find("readonly=\"0\""), std::string::npos) << text;
    EXPECT_EQ(text.find(p2.Pattern().substr(0, 16)), std::string::npos);

    TWipeAlgorithms back;
    ASSERT_TRUE(back.LoadFromXML(path));
    ASSERT_EQ(back.Count(), 2);
    for (int i = 0; i < 2; ++i) {
        const TWipeAlgorithm& x = list.Items(i);
        const TWipeAlgorithm& y = back.Items(i);
        EXPECT_EQ(y.Name(), x.Name());
        EXPECT_EQ(y.GUID(), x.GUID());
        EXPECT_EQ(y.Readonly(), x.Readonly());
        ASSERT_EQ(y.Count(), x.Count());
    }
    const TWipeAlgorithm& y = back.Items(0);
    EXPECT_EQ(y.Items(0).PatternType(), pt_fixed);
    EXPECT_EQ(y.Items(0).Pattern(), "55AA");
    EXPECT_EQ(y.Items(1).PatternType(), pt_random);
    EXPECT_EQ(y.Items(1).RandomLen(), 4096);
    EXPECT_EQ(y.Items(1).Pattern(), "");
    EXPECT_EQ(y.Items(2).PatternType(), pt_invert);
}

TEST(MethodFile, FailedSaveKeepsTheOldFile) {
    TempDir dir;
    const std::string path = dir.File("algorithm.xml");
    const std::string old = "<wiperalgorithms><algorithm name=\"old\"/></wiperalgorithms>";
    WriteFile(path, old);

    // A child process whose file-size limit stops the write half-way, as a full disk would.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{200, 200};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        TWipeAlgorithms list;
        for (int i = 0; i < 20; ++i)
            list.Add().SetName("method " + std::to_string(i));
        try {
            list.SaveToXML(path);
        } catch (const std::system_error&) {
            ::_exit(0);
        }
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the failed save did not raise";
    EXPECT_EQ(ReadFile(path), old);
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1) << "the temporary file was left behind";
}

TEST(MethodFile, ShippedBuiltInMethods) {
    TWipeAlgorithms list;
    ASSERT_TRUE(list.LoadFromXML(PURGIX_TEST_DATA_DIR "algorithm.xml"));
    ASSERT_EQ(list.Count(), 5);
    constexpr char R = 'R';
    struct BuiltIn {
        std::string_view guid;
        std::string name;
        std::vector<std::string> passes; // hex, or "R" for a random pass of 65536 bytes
    };
    const std::vector<BuiltIn> expected = {
        {GUID_SIMPLE_RANDOM, "Simple Random (1 Pass)", {{R}}},
        {GUID_DOD, "DoD 5220.22-M E (3 Passes)", {"00", "FF", {R}}},
        {GUID_SCHNEIER, "Bruce Schneier (7 Passes)", {"FF", "00", {R}, {R}, {R}, {R}, {R}}},
        {GUID_VSITR, "VSITR (7 Passes)", {"00", "FF", "00", "FF", "00", "FF", "AA"}},
        {GUID_GUTMANN,
         "Gutman (35 Passes)",
         {{R},      {R},      {R},      {R},      "55", "AA", "924924", "492492", "249249",
          "00",     "11",     "22",     "33",     "44", "55", "66",     "77",     "88",
          "99",     "AA",     "BB",     "CC",     "DD", "EE", "FF",     "924924", "492492",
          "249249", "6DB6DB", "B6DB6D", "DB6DB6", {R},  {R},  {R},      {R}}},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const TWipeAlgorithm& m = list.Items(static_cast<std::int32_t>(i));
        EXPECT_EQ(m.GUID(), expected[i].guid);
        EXPECT_EQ(m.Name(), expected[i].name);
        EXPECT_TRUE(m.Readonly());
        ASSERT_EQ(m.Count(), static_cast<std::int32_t>(expected[i].passes.size())) << m.Name();
        for (std::int32_t k = 0; k < m.Count(); ++k) {
            const std::string& want = expected[i].passes[static_cast<std::size_t>(k)];
            if (want == "R") {
                EXPECT_EQ(m.Items(k).PatternType(), pt_random);
                EXPECT_EQ(m.Items(k).RandomLen(), 65536);
            } else {
                EXPECT_EQ(m.Items(k).PatternType(), pt_fixed);
                EXPECT_EQ(m.Items(k).Pattern(), want);
            }
        }
    }
    EXPECT_EQ(list.GetAlgorithmFromGUID("{bf885ca0-4b5b-4016-9165-2421b7013045}"), &list.Items(1));
}

} // namespace
} // namespace purgix
