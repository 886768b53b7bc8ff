// The recycle-bin reader over bins built byte by byte in a temporary folder that stands in for
// a volume's mount point.
#include "recycler/klrecycler.h"

#include "support/loopdev.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <system_error>

namespace purgix {
namespace {

using namespace std::chrono;
using test::TempDir;
using test::WriteFile;

// ---- byte layouts ----------------------------------------------------------------------------

void PutLe(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string Utf16Bytes(const std::u16string& text) {
    std::string out;
    for (char16_t u : text)
        PutLe(out, u, 2);
    return out;
}

// A field of `bytes` bytes: `content`, then NULs.
std::string Field(std::string content, std::size_t bytes) {
    content.resize(bytes, '\0');
    return content;
}

// A "$I" file of the fixed layout (header 1): size, file time, 260-unit name field.
std::string IndexV1(std::uint64_t size, std::uint64_t fileTime, const std::u16string& name) {
    std::string out;
    PutLe(out, 1, 8);
    PutLe(out, size, 8);
    PutLe(out, fileTime, 8);
    out += Field(Utf16Bytes(name), 520);
    return out;
}

// A "$I" file of version 2: the name's length (its NUL included) and the name.
std::string IndexV2(std::uint64_t size, std::uint64_t fileTime, const std::u16string& name) {
    std::string out;
    PutLe(out, 2, 8);
    PutLe(out, size, 8);
    PutLe(out, fileTime, 8);
    PutLe(out, name.size() + 1, 4);
    out += Utf16Bytes(name + u'\0');
    return out;
}

struct Info2Record {
    std::string ansi; // Windows-1252 bytes
    std::uint32_t number = 0;
    std::uint32_t drive = 2;
    std::uint64_t fileTime = 0;
    std::uint32_t size = 0;
    std::u16string wide;
};

std::string Info2(std::uint32_t recordLength, const std::vector<Info2Record>& records) {
    std::string out;
    PutLe(out, 5, 4);
    PutLe(out, 0, 4);
    PutLe(out, records.size(), 4);
    PutLe(out, recordLength, 4);
    PutLe(out, 0, 4);
    for (const Info2Record& r : records) {
        std::string rec = Field(r.ansi, 260);
        PutLe(rec, r.number, 4);
        PutLe(rec, r.drive, 4);
        PutLe(rec, r.fileTime, 8);
        PutLe(rec, r.size, 4);
        rec += Field(Utf16Bytes(r.wide), 520);
        rec.resize(recordLength & 0xFFFF, '\0');
        out += rec;
    }
    return out;
}

// The Windows file time of a UTC moment.
std::uint64_t FileTimeOf(sys_time<TDateTimeUnits> utc) {
    return static_cast<std::uint64_t>(utc.time_since_epoch().count() + 116'444'736'000'000'000);
}

TDateTime Local(year_month_day date, hours h, minutes m = minutes{0}, seconds s = seconds{0}) {
    return TDateTime{local_days{date}.time_since_epoch() + h + m + s};
}

// ---- fixture helpers -------------------------------------------------------------------------

void MakeDirs(const std::string& path) {
    std::filesystem::create_directories(path);
}

void Link(const std::string& target, const std::string& path) {
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
}

// Sets TZ for one test and restores it afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) {
        const char* old = std::getenv("TZ");
        if (old != nullptr)
            old_ = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (old_)
            ::setenv("TZ", old_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> old_;
};

// A volume folder, a home folder and a folder outside both, with a reader for the test's user.
struct Fixture {
    TempDir dir;
    std::string vol = dir.File("vol/");
    std::string home = dir.File("home/");
    std::string outside = dir.File("outside/");
    std::string uid = std::to_string(::geteuid());

    Fixture() {
        MakeDirs(vol);
        MakeDirs(home + ".local/share/");
        MakeDirs(outside);
        WriteFile(outside + "secret.txt", "must never be listed");
    }

    TTrashUser User(bool homeOnThisVolume = false) const {
        TTrashUser user;
        user.uid = ::geteuid();
        user.homeTrash = home + ".local/share/Trash/";
        user.homeTrashBase = home + ".local/share/";
        user.homeTrashVolume = homeOnThisVolume ? vol : dir.File("elsewhere/");
        return user;
    }

    TRecylceEntries List(bool homeOnThisVolume = false) const {
        TKLRecycler recycler(User(homeOnThisVolume));
        recycler.EnumFiles(vol);
        TRecylceEntries result;
        for (const auto& e : recycler.Files())
            result.push_back(Copy(*e));
        return result;
    }

    static std::unique_ptr<TRecylceEntry> Copy(const TRecylceEntry& e) {
        auto c = std::make_unique<TRecylceEntry>();
        c->SetBinFilename(e.BinFilename());
        c->SetIndexFileName(e.IndexFileName());
        c->SetOrigfilename(e.Origfilename());
        c->SetDeleteTime(e.DeleteTime());
        c->SetFileSize(e.FileSize());
        c->SetIsDirectory(e.isDirectory());
        for (const auto& child : e.Files())
            c->AddFile(Copy(*child));
        return c;
    }

    // A trash item with its index in the trash folder `trash` (ending with "/").
    static void TrashItem(const std::string& trash, const std::string& name,
                          const std::string& info, bool folder = false) {
        MakeDirs(trash + "files");
        MakeDirs(trash + "info");
        if (folder) {
            MakeDirs(trash + "files/" + name);
            WriteFile(trash + "files/" + name + "/inner.txt", "x");
        } else {
            WriteFile(trash + "files/" + name, "12345");
        }
        WriteFile(trash + "info/" + name + ".trashinfo", info);
    }
};

std::string TrashInfo(const std::string& path, const std::string& date = "2024-03-05T14:22:10") {
    return "[Trash Info]\nPath=" + path + "\nDeletionDate=" + date + "\n";
}

// Every entry of a tree, depth first, as "BinFilename | Origfilename" with the children of each
// folder sorted by name (their listing order is the file system's).
void Flatten(const TRecylceEntries& entries, std::vector<std::string>& out, int depth = 0) {
    std::vector<const TRecylceEntry*> sorted;
    for (const auto& e : entries)
        sorted.push_back(e.get());
    if (depth > 0)
        std::sort(sorted.begin(), sorted.end(),
                  [](auto* a, auto* b) { return a->BinFilename() < b->BinFilename(); });
    for (const TRecylceEntry* e : sorted) {
        out.push_back(std::string(static_cast<std::size_t>(depth) * 2, ' ') + e->BinFilename() +
                      " | " + e->Origfilename());
        Flatten(e->Files(), out, depth + 1);
    }
}

std::vector<std::string> Flat(const TRecylceEntries& entries) {
    std::vector<std::string> out;
    Flatten(entries, out);
    return out;
}

bool MentionsSecret(const TRecylceEntries& entries) {
    for (const std::string& line : Flat(entries))
        if (line.find("secret") != std::string::npos)
            return true;
    return false;
}

// ---- tests -----------------------------------------------------------------------------------

TEST(Recycler, AVolumeWithoutBinsYieldsNothing) {
    struct Case {
        const char* what;
        std::function<void(Fixture&)> setup;
    };
    const Case cases[] = {
        {"empty volume", [](Fixture&) {}},
        {"roots that are files",
         [](Fixture& f) {
             WriteFile(f.vol + "$Recycle.Bin", IndexV1(1, 0, u"C:\\a"));
             WriteFile(f.vol + "RECYCLER", "");
             WriteFile(f.vol + ".Trash-" + f.uid, "");
         }},
        {"roots that are links to bins elsewhere",
         [](Fixture& f) {
             MakeDirs(f.outside + "bin");
             WriteFile(f.outside + "bin/$IAB.txt", IndexV1(1, 0, u"C:\\secret.txt"));
             WriteFile(f.outside + "bin/$RAB.txt", "x");
             WriteFile(f.outside + "bin/INFO2", Info2(800, {{"", 1, 2, 0, 1, u"C:\\secret.txt"}}));
             WriteFile(f.outside + "bin/Dc1.txt", "x");
             Link(f.outside + "bin", f.vol + "$Recycle.Bin");
             Link(f.outside + "bin", f.vol + "RECYCLER");
         }},
        {"empty roots",
         [](Fixture& f) {
             MakeDirs(f.vol + "$Recycle.Bin/S-1-5-21");
             MakeDirs(f.vol + "RECYCLED");
             MakeDirs(f.vol + ".Trash-" + f.uid + "/files");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f;
        c.setup(f);
        EXPECT_EQ(Flat(f.List(true)), std::vector<std::string>{});
    }
    TKLRecycler recycler(Fixture().User());
    recycler.EnumFiles("");
    recycler.EnumFiles("/nonexistent-purgix-volume/");
    EXPECT_TRUE(recycler.Files().empty());
}

TEST(Recycler, AllBinsInTheirOrderWithTheirProperties) {
    ScopedTimeZone utc("UTC0");
    Fixture f;
    const auto t1 = FileTimeOf(sys_days{2024y / 3 / 5} + 14h + 22min + 10s);
    // The roots in the letter case Windows writes them, or any other.
    MakeDirs(f.vol + "$RECYCLE.BIN/S-1-5-21-7");
    WriteFile(f.vol + "$RECYCLE.BIN/$IAAA111.txt", IndexV1(11, t1, u"C:\\root.txt"));
    WriteFile(f.vol + "$RECYCLE.BIN/$RAAA111.txt", "x");
    WriteFile(f.vol + "$RECYCLE.BIN/S-1-5-21-7/$IBBB222.txt", IndexV2(22, t1, u"C:\\v2.txt"));
    WriteFile(f.vol + "$RECYCLE.BIN/S-1-5-21-7/$RBBB222.txt", "x");
    MakeDirs(f.vol + "Recycler/S-1-5-21-7");
    WriteFile(f.vol + "Recycler/S-1-5-21-7/info2",
              Info2(800, {{"C:\\OLD.DOC", 1, 3, t1, 33, u"D:\\old.doc"}}));
    WriteFile(f.vol + "Recycler/S-1-5-21-7/Dd1.doc", "x");
    MakeDirs(f.vol + "RECYCLED");
    WriteFile(f.vol + "RECYCLED/INFO2", Info2(280, {{"C:\\W95.TXT", 3, 2, t1, 44, u""}}));
    WriteFile(f.vol + "RECYCLED/Dc3.TXT", "x");
    Fixture::TrashItem(f.home + ".local/share/Trash/", "home.txt", TrashInfo("/home/u/home.txt"));
    MakeDirs(f.vol + ".Trash");
    ASSERT_EQ(::chmod((f.vol + ".Trash").c_str(), 01777), 0);
    Fixture::TrashItem(f.vol + ".Trash/" + f.uid + "/", "shared.txt", TrashInfo("shared.txt"));
    Fixture::TrashItem(f.vol + ".Trash-" + f.uid + "/", "own.txt", TrashInfo("d/own.txt"));

    TKLRecycler recycler(f.User(true));
    recycler.EnumFiles(f.vol);
    const std::string trash = f.vol + ".Trash-" + f.uid + "/";
    const std::string shared = f.vol + ".Trash/" + f.uid + "/";
    const std::string homeTrash = f.home + ".local/share/Trash/";
    struct Expected {
        std::string bin, index, orig;
        std::int64_t size;
        TDateTime time;
    };
    const TDateTime local = Local(2024y / 3 / 5, 14h, 22min, 10s);
    const Expected expected[] = {
        {f.vol + "$RECYCLE.BIN/$RAAA111.txt", f.vol + "$RECYCLE.BIN/$IAAA111.txt", "C:\\root.txt",
         11, local},
        {f.vol + "$RECYCLE.BIN/S-1-5-21-7/$RBBB222.txt",
         f.vol + "$RECYCLE.BIN/S-1-5-21-7/$IBBB222.txt", "C:\\v2.txt", 22, local},
        {f.vol + "Recycler/S-1-5-21-7/Dd1.doc", "", "D:\\old.doc", 33, local},
        {f.vol + "RECYCLED/Dc3.TXT", "", "C:\\W95.TXT", 44, local},
        {homeTrash + "files/home.txt", homeTrash + "info/home.txt.trashinfo", "/home/u/home.txt", 5,
         local},
        {shared + "files/shared.txt", shared + "info/shared.txt.trashinfo", f.vol + "shared.txt", 5,
         local},
        {trash + "files/own.txt", trash + "info/own.txt.trashinfo", f.vol + "d/own.txt", 5, local},
    };
    ASSERT_EQ(recycler.Files().size(), std::size(expected))
        << testing::PrintToString(Flat(recycler.Files()));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const TRecylceEntry& e = *recycler.Files()[i];
        SCOPED_TRACE(expected[i].bin);
        EXPECT_EQ(e.BinFilename(), expected[i].bin);
        EXPECT_EQ(e.IndexFileName(), expected[i].index);
        EXPECT_EQ(e.Origfilename(), expected[i].orig);
        EXPECT_EQ(e.FileSize(), expected[i].size);
        EXPECT_EQ(e.DeleteTime(), expected[i].time);
        EXPECT_FALSE(e.isDirectory());
        EXPECT_TRUE(e.Files().empty());
    }

    // The home trash belongs to its own volume only; a new call replaces the entries.
    recycler.EnumFiles(f.home);
    EXPECT_TRUE(recycler.Files().empty());
    TKLRecycler other(f.User(false));
    other.EnumFiles(f.vol);
    EXPECT_EQ(other.Files().size(), std::size(expected) - 1);
}

TEST(Recycler, IndexFilesAndTheirItems) {
    const std::u16string longName = u"C:\\" + std::u16string(300, u'x') + u".txt";
    struct Case {
        const char* what;
        std::string indexName;
        std::string indexBytes;
        std::string itemOnDisk; // "" = no item
        std::string expectedItem;
        std::string expectedOrig;
        std::int64_t expectedSize;
    };
    const std::uint64_t fiveGiB = 5ull * 1024 * 1024 * 1024 + 3;
    const Case cases[] = {
        {"plain", "$IAB12CD.txt", IndexV1(1234, 0, u"C:\\Users\\bob\\report.txt"), "$RAB12CD.txt",
         "$RAB12CD.txt", "C:\\Users\\bob\\report.txt", 1234},
        {"$I twice in any case", "$IAB$i1.$Ixt", IndexV1(1, 0, u"C:\\a.$Ixt"), "$RAB$R1.$Rxt",
         "$RAB$R1.$Rxt", "C:\\a.$Ixt", 1},
        {"size above 4 GiB", "$IBIG.iso", IndexV1(fiveGiB, 0, u"C:\\big.iso"), "$RBIG.iso",
         "$RBIG.iso", "C:\\big.iso", static_cast<std::int64_t>(fiveGiB)},
        {"name cut at the first NUL", "$ICUT.txt",
         IndexV1(2, 0, std::u16string(u"C:\\cut.txt\0garbage after the end", 32)), "$RCUT.txt",
         "$RCUT.txt", "C:\\cut.txt", 2},
        {"missing item: still listed, as a file", "$IGONE.txt", IndexV1(3, 0, u"C:\\gone.txt"), "",
         "$RGONE.txt", "C:\\gone.txt", 3},
        {"version 2 with a name longer than 260", "$ILONG.txt", IndexV2(4, 0, longName),
         "$RLONG.txt", "$RLONG.txt", "C:\\" + std::string(300, 'x') + ".txt", 4},
        {"non-ASCII names", "$IUNI.txt", IndexV2(5, 0, u"C:\\J\u00FCrgen\\\u20AC \U0001F600.txt"),
         "$RUNI.txt", "$RUNI.txt", "C:\\J\xC3\xBCrgen\\\xE2\x82\xAC \xF0\x9F\x98\x80.txt", 5},
        {"item written in another letter case", "$IABC.TXT", IndexV1(6, 0, u"C:\\ABC.TXT"),
         "$rabc.txt", "$rabc.txt", "C:\\ABC.TXT", 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f;
        const std::string bin = f.vol + "$Recycle.Bin/S-1-5-21-1/";
        MakeDirs(bin);
        WriteFile(bin + c.indexName, c.indexBytes);
        if (!c.itemOnDisk.empty())
            WriteFile(bin + c.itemOnDisk, "data");
        const auto entries = f.List();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0]->BinFilename(), bin + c.expectedItem);
        EXPECT_EQ(entries[0]->IndexFileName(), bin + c.indexName);
        EXPECT_EQ(entries[0]->Origfilename(), c.expectedOrig);
        EXPECT_EQ(entries[0]->FileSize(), c.expectedSize);
        EXPECT_FALSE(entries[0]->isDirectory());
    }

    // The "$I" of a folder name is no index name: only the file name changes.
    Fixture f;
    const std::string bin = f.vol + "$Ivol/$Recycle.Bin/";
    MakeDirs(bin);
    WriteFile(bin + "$IX.txt", IndexV1(1, 0, u"C:\\x.txt"));
    TKLRecycler recycler(f.User());
    recycler.EnumFiles(f.vol + "$Ivol/");
    ASSERT_EQ(recycler.Files().size(), 1u);
    EXPECT_EQ(recycler.Files()[0]->BinFilename(), bin + "$RX.txt");
}

TEST(Recycler, MalformedIndexFilesYieldNoEntry) {
    const std::string v1 = IndexV1(1, 0, u"C:\\bad.txt");
    auto v2WithLength = [](std::uint32_t length, std::size_t nameBytes) {
        std::string out = IndexV2(1, 0, u"");
        out.resize(24);
        PutLe(out, length, 4);
        out += std::string(nameBytes, 'A');
        return out;
    };
    struct Case {
        const char* what;
        std::function<void(const std::string& bin)> make; // creates "$IBAD.txt"
    };
    const Case cases[] = {
        {"empty", [](auto& b) { WriteFile(b + "$IBAD.txt", ""); }},
        {"shorter than the header", [&](auto& b) { WriteFile(b + "$IBAD.txt", v1.substr(0, 23)); }},
        {"fixed layout cut inside the name field",
         [&](auto& b) { WriteFile(b + "$IBAD.txt", v1.substr(0, 543)); }},
        {"fixed layout without NUL in the name field",
         [&](auto& b) {
             std::string bytes = v1;
             std::fill(bytes.begin() + 24, bytes.end(), 'A');
             WriteFile(b + "$IBAD.txt", bytes);
         }},
        {"version 2 without the length",
         [&](auto& b) { WriteFile(b + "$IBAD.txt", v2WithLength(0, 0).substr(0, 26)); }},
        {"version 2 of length 0", [&](auto& b) { WriteFile(b + "$IBAD.txt", v2WithLength(0, 8)); }},
        {"version 2 with a length beyond the file",
         [&](auto& b) { WriteFile(b + "$IBAD.txt", v2WithLength(10, 10)); }},
        {"version 2 with the largest length",
         [&](auto& b) { WriteFile(b + "$IBAD.txt", v2WithLength(0xFFFFFFFF, 16)); }},
        {"version 2 with a length beyond any Windows path",
         [&](auto& b) {
             std::string bytes = v2WithLength(40000, 80000);
             bytes.replace(bytes.size() - 2, 2, std::string(2, '\0')); // NUL-terminated
             WriteFile(b + "$IBAD.txt", bytes);
         }},
        {"version 2 without NUL inside its length",
         [&](auto& b) { WriteFile(b + "$IBAD.txt", v2WithLength(5, 10)); }},
        {"a folder named like an index", [](auto& b) { MakeDirs(b + "$IBAD.txt"); }},
        {"a fifo named like an index",
         [](auto& b) { ASSERT_EQ(::mkfifo((b + "$IBAD.txt").c_str(), 0600), 0); }},
        {"a link to an index elsewhere",
         [&](auto& b) {
             WriteFile(b + "../../elsewhere-index", v1);
             Link(b + "../../elsewhere-index", b + "$IBAD.txt");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f;
        const std::string bin = f.vol + "$Recycle.Bin/S-1-5-21-1/";
        MakeDirs(bin);
        c.make(bin);
        WriteFile(bin + "$RBAD.txt", "item");
        // The good neighbour is still read.
        WriteFile(bin + "$IGOOD.txt", IndexV1(1, 0, u"C:\\good.txt"));
        EXPECT_EQ(Flat(f.List()), std::vector<std::string>{bin + "$RGOOD.txt | C:\\good.txt"});
    }
}

TEST(Recycler, Info2RecordsAndTheirItems) {
    Fixture f;
    const std::string bin = f.vol + "RECYCLER/S-1-5-21-1/";
    MakeDirs(bin);
    MakeDirs(bin + "Dd12/sub");
    WriteFile(bin + "Dd12/sub/x.txt", "x");
    WriteFile(bin + "Dd12/y.txt", "y");
    WriteFile(bin + "Dc5.txt", "x");
    WriteFile(bin + "Dc6.txt", "x");
    WriteFile(bin + "Dc8", "x");
    Link(f.outside, bin + "Dc9.lnk");
    WriteFile(bin + "Dz10", "x");
    const std::vector<Info2Record> records = {
        {"C:\\DOCS\\REPORT.TXT", 5, 2, 0, 100, u"C:\\docs\\report.txt"},
        {"D:\\WORK\\NOTES", 12, 3, 0, 200, u"D:\\work\\notes"}, // a folder: Dd12
        {"", 6, 2, 0, 0, u"  C:\\trim me.txt \t\r\n"},          // trimmed: Dc6.txt
        {"", 7, 2, 0, 0, u"C:\\restored.txt"},                  // Dc7.txt is gone
        {"", 8, 2, 0, 0, u"C:\\dir.d\\file"},                   // no extension: Dc8
        {"", 9, 2, 0, 0, u"C:\\link.lnk"},                      // a link: a file entry
        {"", 10, 26, 0, 0, u"C:\\bad drive"},                   // no drive letter
        {"", 11, 2, 0, 0, std::u16string(260, u'A')},           // no NUL in the name
        {"", 10, 25, 0, 0, u"Z:\\last drive"},                  // Dz10
    };
    std::string bytes = Info2(800, records);
    bytes += std::string(500, '\x01'); // a record cut off at the end is no record
    WriteFile(bin + "INFO2", bytes);
    // An ANSI-only INFO2 of 280-byte records in the other root.
    MakeDirs(f.vol + "RECYCLED");
    WriteFile(f.vol + "RECYCLED/Dc1.txt", "x");
    WriteFile(f.vol + "RECYCLED/Dc2.txt", "x");
    WriteFile(f.vol + "RECYCLED/INFO2", Info2(280, {{" C:\\CAF\xC9 \x80.TXT ", 1, 2, 0, 1, u""},
                                                    {std::string(260, 'B'), 2, 2, 0, 1, u""}}));

    const std::vector<std::string> expected = {
        bin + "Dc5.txt | C:\\docs\\report.txt",
        bin + "Dd12/ | D:\\work\\notes\\",
        "  " + bin + "Dd12/sub/ | D:\\work\\notes\\sub\\",
        "    " + bin + "Dd12/sub/x.txt | D:\\work\\notes\\sub\\x.txt",
        "  " + bin + "Dd12/y.txt | D:\\work\\notes\\y.txt",
        bin + "Dc6.txt | C:\\trim me.txt",
        bin + "Dc8 | C:\\dir.d\\file",
        bin + "Dc9.lnk | C:\\link.lnk",
        bin + "Dz10 | Z:\\last drive",
        f.vol + "RECYCLED/Dc1.txt | C:\\CAF\xC3\x89 \xE2\x82\xAC.TXT",
    };
    const auto entries = f.List();
    EXPECT_EQ(Flat(entries), expected);
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[0]->FileSize(), 100);
    EXPECT_EQ(entries[0]->IndexFileName(), "");
    EXPECT_TRUE(entries[1]->isDirectory());
    EXPECT_EQ(entries[1]->FileSize(), 200);
}

TEST(Recycler, MalformedInfo2HeadersYieldNoEntry) {
    const std::vector<Info2Record> one = {{"C:\\A.TXT", 1, 2, 0, 1, u"C:\\a.txt"}};
    struct Case {
        const char* what;
        std::string bytes;
        std::size_t entries;
    };
    const Case cases[] = {
        {"shorter than the record length field", Info2(800, one).substr(0, 15), 0},
        {"header only", Info2(800, {}).substr(0, 20), 0},
        {"record length 0", Info2(800, one).replace(12, 4, std::string(4, '\0')), 0},
        {"record length below the fields read",
         Info2(800, one).replace(12, 4, std::string("\x17\x01\0\0", 4)), 0}, // 279
        {"record length 65536: its low 16 bits are 0",
         Info2(800, one).replace(12, 4, std::string("\0\0\x01\0", 4)), 0},
        {"record length 65536 + 800: its low 16 bits are 800",
         Info2(800, one).replace(12, 4, std::string("\x20\x03\x01\0", 4)), 1},
        {"one record cut short", Info2(800, one).substr(0, 20 + 799), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f;
        MakeDirs(f.vol + "RECYCLED");
        WriteFile(f.vol + "RECYCLED/INFO2", c.bytes);
        WriteFile(f.vol + "RECYCLED/Dc1.txt", "x");
        EXPECT_EQ(f.List().size(), c.entries);
    }
}

TEST(Recycler, DeletedFolderTree) {
    Fixture f;
    const std::string bin = f.vol + "$Recycle.Bin/S-1-5-21-1/";
    MakeDirs(bin + "$RXYZ/a/b");
    WriteFile(bin + "$RXYZ/a/b/c.txt", "c");
    WriteFile(bin + "$RXYZ/a/d.txt", "d");
    WriteFile(bin + "$RXYZ/.hidden", "e");
    ASSERT_EQ(::mkfifo((bin + "$RXYZ/fifo").c_str(), 0600), 0);
    WriteFile(bin + "$IXYZ", IndexV1(4096, FileTimeOf(sys_days{2024y / 1 / 1}), u"C:\\work\\proj"));

    const auto entries = f.List();
    const std::vector<std::string> expected = {
        bin + "$RXYZ/ | C:\\work\\proj",
        "  " + bin + "$RXYZ/.hidden | C:\\work\\proj\\.hidden",
        "  " + bin + "$RXYZ/a/ | C:\\work\\proj\\a\\",
        "    " + bin + "$RXYZ/a/b/ | C:\\work\\proj\\a\\b\\",
        "      " + bin + "$RXYZ/a/b/c.txt | C:\\work\\proj\\a\\b\\c.txt",
        "    " + bin + "$RXYZ/a/d.txt | C:\\work\\proj\\a\\d.txt",
        "  " + bin + "$RXYZ/fifo | C:\\work\\proj\\fifo",
    };
    EXPECT_EQ(Flat(entries), expected);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0]->isDirectory());
    EXPECT_EQ(entries[0]->FileSize(), 4096);
    EXPECT_TRUE(IsDateTimeSet(entries[0]->DeleteTime()));
    // Child entries carry no index, time or size; only folders are folders.
    std::function<void(const TRecylceEntry&)> check = [&](const TRecylceEntry& e) {
        for (const auto& child : e.Files()) {
            EXPECT_EQ(child->IndexFileName(), "");
            EXPECT_FALSE(IsDateTimeSet(child->DeleteTime()));
            EXPECT_EQ(child->FileSize(), 0);
            EXPECT_EQ(child->isDirectory(), child->BinFilename().back() == '/');
            check(*child);
        }
    };
    check(*entries[0]);
}

TEST(Recycler, LinksInBinsAreFileEntriesAndNeverFollowed) {
    Fixture f;
    const std::string bin = f.vol + "$Recycle.Bin/S-1-5-21-1/";
    MakeDirs(bin + "$RDIR");
    WriteFile(bin + "$ILINK", IndexV1(1, 0, u"C:\\link"));
    Link(f.outside, bin + "$RLINK");
    WriteFile(bin + "$IDIR", IndexV1(1, 0, u"C:\\dir"));
    Link(f.outside, bin + "$RDIR/inner-link");
    const std::string trash = f.vol + ".Trash-" + f.uid + "/";
    MakeDirs(trash + "files/dir");
    MakeDirs(trash + "info");
    Link(f.outside, trash + "files/link");
    WriteFile(trash + "info/link.trashinfo", TrashInfo("link"));
    Link(f.outside, trash + "files/dir/inner-link");
    WriteFile(trash + "info/dir.trashinfo", TrashInfo("dir"));

    const auto entries = f.List();
    EXPECT_FALSE(MentionsSecret(entries)) << testing::PrintToString(Flat(entries));
    std::vector<std::string> lines = Flat(entries);
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> expected = {
        bin + "$RDIR/ | C:\\dir",
        "  " + bin + "$RDIR/inner-link | C:\\dir\\inner-link",
        bin + "$RLINK | C:\\link",
        trash + "files/dir/ | " + f.vol + "dir",
        "  " + trash + "files/dir/inner-link | " + f.vol + "dir/inner-link",
        trash + "files/link | " + f.vol + "link",
    };
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
    for (const auto& e : entries)
        for (const auto& child : e->Files())
            EXPECT_FALSE(child->isDirectory()) << child->BinFilename();
    EXPECT_EQ(test::ReadFile(f.outside + "secret.txt"), "must never be listed");
}

TEST(Recycler, TrashFoldersThatMustNotBeRead) {
    struct Case {
        const char* what;
        bool needsRoot;
        std::size_t entries;
        std::function<void(Fixture&)> setup;
    };
    const auto own = [](Fixture& f) { return f.vol + ".Trash-" + f.uid + "/"; };
    const auto bait = [](const std::string& trash) {
        Fixture::TrashItem(trash, "bait.txt", TrashInfo("bait.txt"));
    };
    const auto chownTo = [](const std::string& path, uid_t uid) {
        ASSERT_EQ(::lchown(path.c_str(), uid, static_cast<gid_t>(-1)), 0) << path;
    };
    const Case cases[] = {
        {"a real trash folder of the user is read", false, 1, [&](Fixture& f) { bait(own(f)); }},
        {".Trash-$uid that is a link", false, 0,
         [&](Fixture& f) {
             bait(f.outside + "trash/");
             Link(f.outside + "trash", f.vol + ".Trash-" + f.uid);
         }},
        {".Trash-$uid of another user", true, 0,
         [&](Fixture& f) {
             bait(own(f));
             chownTo(own(f), 12345);
         }},
        {"files/ that is a link", false, 0,
         [&](Fixture& f) {
             bait(f.outside + "trash/");
             MakeDirs(own(f) + "info");
             WriteFile(own(f) + "info/bait.txt.trashinfo", TrashInfo("bait.txt"));
             Link(f.outside + "trash/files", own(f) + "files");
         }},
        {"info/ that is a link", false, 0,
         [&](Fixture& f) {
             bait(f.outside + "trash/");
             MakeDirs(own(f) + "files");
             WriteFile(own(f) + "files/bait.txt", "x");
             Link(f.outside + "trash/info", own(f) + "info");
         }},
        {".Trash without the sticky bit", false, 0,
         [&](Fixture& f) {
             bait(f.vol + ".Trash/" + f.uid + "/");
             ::chmod((f.vol + ".Trash").c_str(), 0777);
         }},
        {".Trash that is a link to a sticky folder", false, 0,
         [&](Fixture& f) {
             bait(f.outside + "shared/" + f.uid + "/");
             ::chmod((f.outside + "shared").c_str(), 01777);
             Link(f.outside + "shared", f.vol + ".Trash");
         }},
        {".Trash/$uid that is a link", false, 0,
         [&](Fixture& f) {
             bait(f.outside + "trash/");
             MakeDirs(f.vol + ".Trash");
             ::chmod((f.vol + ".Trash").c_str(), 01777);
             Link(f.outside + "trash", f.vol + ".Trash/" + f.uid);
         }},
        {".Trash/$uid made by another user", true, 0,
         [&](Fixture& f) {
             bait(f.vol + ".Trash/" + f.uid + "/");
             ::chmod((f.vol + ".Trash").c_str(), 01777);
             chownTo(f.vol + ".Trash/" + f.uid, 12345);
         }},
        {"a home trash that is a link", false, 0,
         [&](Fixture& f) {
             bait(f.outside + "trash/");
             Link(f.outside + "trash", f.home + ".local/share/Trash");
         }},
        {"a home trash of another user", true, 0,
         [&](Fixture& f) {
             bait(f.home + ".local/share/Trash/");
             chownTo(f.home + ".local/share/Trash", 12345);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && !test::IsRoot()) {
            std::cout << "[ SKIPPED  ] " << c.what << ": chown needs root\n";
            continue;
        }
        Fixture f;
        c.setup(f);
        const auto entries = f.List(true);
        EXPECT_EQ(entries.size(), c.entries) << testing::PrintToString(Flat(entries));
    }
}

TEST(Recycler, TrashEntries) {
    Fixture f;
    const std::string trash = f.home + ".local/share/Trash/";
    const std::string base = f.home + ".local/share/";
    Fixture::TrashItem(trash, "a.txt", TrashInfo("/home/u/a.txt", "2024-03-05T14:22:10"));
    Fixture::TrashItem(trash, "b c\xC3\xBC.txt",
                       TrashInfo("/home/u/b%20c%C3%BC%2.txt%", "2024-12-31T23:59:59.25"));
    Fixture::TrashItem(
        trash, "rel.txt",
        "[Trash Info]\r\nPath = docs/rel.txt\r\nDeletionDate=2024-02-30T10:00:00\r\n");
    Fixture::TrashItem(trash, "old", TrashInfo("/home/u/old"), true);
    Fixture::TrashItem(trash, "old2", TrashInfo("/home/u/old2"), true);
    // A Linux name may end with "\": it is no delimiter there.
    Fixture::TrashItem(trash, "back", TrashInfo("/home/u/back%5C"), true);
    WriteFile(trash + "directorysizes", "4096 1700000000 old\nbad line\n12 x old2x\n");
    // Skipped: an index without its item, an item without its index, indexes that do not read
    // as such, names that are not index names, and special files.
    WriteFile(trash + "info/gone.txt.trashinfo", TrashInfo("/home/u/gone.txt"));
    WriteFile(trash + "files/orphan.txt", "x");
    Fixture::TrashItem(trash, "nogroup.txt", "Path=/home/u/nogroup.txt\n");
    Fixture::TrashItem(trash, "nopath.txt", "[Trash Info]\nDeletionDate=2024-03-05T14:22:10\n");
    Fixture::TrashItem(trash, "other.txt", "[Other]\nPath=/home/u/other.txt\n");
    WriteFile(trash + "files/upper.txt", "x");
    WriteFile(trash + "info/upper.txt.TRASHINFO", TrashInfo("/home/u/upper.txt"));
    WriteFile(trash + "files/fifo.txt", "x");
    ASSERT_EQ(::mkfifo((trash + "info/fifo.txt.trashinfo").c_str(), 0600), 0);
    WriteFile(trash + "files/linked.txt", "x");
    WriteFile(f.outside + "linked.trashinfo", TrashInfo("/home/u/linked.txt"));
    Link(f.outside + "linked.trashinfo", trash + "info/linked.txt.trashinfo");
    WriteFile(trash + "files/big.txt", "x");
    WriteFile(trash + "info/big.txt.trashinfo",
              TrashInfo("/home/u/big.txt") + std::string(70000, '#'));

    const auto entries = f.List(true);
    std::map<std::string, const TRecylceEntry*> byName;
    for (const auto& e : entries)
        byName[e->BinFilename().substr(trash.size() + 6)] = e.get();
    std::vector<std::string> names;
    for (const auto& [name, e] : byName)
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b c\xC3\xBC.txt", "back/", "old/", "old2/",
                                               "rel.txt"}));
    if (names.size() != 6)
        return;
    EXPECT_EQ(Flat(byName["back/"]->Files()),
              std::vector<std::string>{trash + "files/back/inner.txt | /home/u/back\\/inner.txt"});
    const TRecylceEntry& a = *byName["a.txt"];
    EXPECT_EQ(a.Origfilename(), "/home/u/a.txt");
    EXPECT_EQ(a.IndexFileName(), trash + "info/a.txt.trashinfo");
    EXPECT_EQ(a.DeleteTime(), Local(2024y / 3 / 5, 14h, 22min, 10s));
    EXPECT_EQ(a.FileSize(), 5);
    const TRecylceEntry& b = *byName["b c\xC3\xBC.txt"];
    EXPECT_EQ(b.Origfilename(), "/home/u/b c\xC3\xBC%2.txt%"); // broken escapes stay as written
    EXPECT_EQ(b.DeleteTime(), Local(2024y / 12 / 31, 23h, 59min, 59s) + milliseconds{250});
    const TRecylceEntry& rel = *byName["rel.txt"];
    EXPECT_EQ(rel.Origfilename(), base + "docs/rel.txt");
    EXPECT_FALSE(IsDateTimeSet(rel.DeleteTime())) << "February 30th";
    const TRecylceEntry& old = *byName["old/"];
    EXPECT_TRUE(old.isDirectory());
    EXPECT_EQ(old.Origfilename(), "/home/u/old");
    EXPECT_EQ(old.FileSize(), 4096);
    EXPECT_EQ(Flat(old.Files()),
              std::vector<std::string>{trash + "files/old/inner.txt | /home/u/old/inner.txt"});
    EXPECT_EQ(byName["old2/"]->FileSize(), 0);
}

TEST(Recycler, FileTimesBecomeLocalTimeByTheRulesOfTheirDate) {
    ScopedTimeZone cet("CET-1CEST,M3.5.0,M10.5.0/3");
    struct Case {
        std::uint64_t fileTime;
        std::optional<TDateTime> local;
    };
    const Case cases[] = {
        {FileTimeOf(sys_days{2024y / 7 / 1} + 12h), Local(2024y / 7 / 1, 14h)},
        {FileTimeOf(sys_days{2024y / 1 / 15} + 12h + milliseconds{500}),
         Local(2024y / 1 / 15, 13h) + milliseconds{500}},
        {FileTimeOf(sys_days{1999y / 12 / 31} + 23h + 30min), Local(2000y / 1 / 1, 0h, 30min)},
        {0, Local(1601y / 1 / 1, 1h)},
        {0x8000000000000000ull, std::nullopt},
        {~0ull, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fileTime);
        const TDateTime t = FileTimeToLocalDateTime(c.fileTime);
        if (c.local)
            EXPECT_EQ(t, *c.local);
        else
            EXPECT_FALSE(IsDateTimeSet(t));
    }
}

TEST(Recycler, EventsRunEveryHundredIndexFilesAndChildren) {
    Fixture f;
    const std::string bin = f.vol + "$Recycle.Bin/";
    MakeDirs(bin);
    for (int i = 0; i < 201; ++i)
        WriteFile(bin + "$I" + std::to_string(i), IndexV1(1, 0, u"C:\\x"));
    MakeDirs(bin + "$R0");
    for (int i = 0; i < 101; ++i)
        WriteFile(bin + "$R0/" + std::to_string(i), "");
    // INFO2 records do not count.
    MakeDirs(f.vol + "RECYCLER");
    std::vector<Info2Record> records(150, {"", 1, 2, 0, 0, u"C:\\a.txt"});
    WriteFile(f.vol + "RECYCLER/INFO2", Info2(800, records));
    WriteFile(f.vol + "RECYCLER/Dc1.txt", "");

    TKLRecycler recycler(f.User());
    int calls = 0;
    recycler.SetProcessMessages([&] { ++calls; });
    recycler.EnumFiles(f.vol);
    EXPECT_EQ(recycler.Files().size(), 201u + 150u);
    EXPECT_EQ(calls, 3 + 2); // index files 0, 100, 200; children 0 and 100 of $R0
}

// Whether this file system grants leases, which tell that another process has a file open.
bool LeasesWork(const std::string& folder) {
    const std::string probe = folder + "lease-probe";
    WriteFile(probe, "");
    const int fd = ::open(probe.c_str(), O_RDONLY);
    const bool ok = fd >= 0 && ::fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
    if (fd >= 0)
        ::close(fd);
    ::unlink(probe.c_str());
    return ok;
}

TEST(Recycler, AnIndexFileOpenElsewhereStopsTheVolumeAndKeepsWhatWasRead) {
    Fixture f;
    if (!LeasesWork(f.dir.Path()))
        GTEST_SKIP() << "the temporary folder's file system grants no leases";
    const std::string bin = f.vol + "$Recycle.Bin/";
    MakeDirs(bin + "S-1");
    WriteFile(bin + "$IA.txt", IndexV1(1, 0, u"C:\\a.txt"));
    WriteFile(bin + "S-1/$IB.txt", IndexV1(1, 0, u"C:\\b.txt"));
    MakeDirs(f.vol + "RECYCLER");
    WriteFile(f.vol + "RECYCLER/INFO2", Info2(800, {{"", 1, 2, 0, 1, u"C:\\c.txt"}}));
    WriteFile(f.vol + "RECYCLER/Dc1.txt", "x");

    const int held = ::open((bin + "S-1/$IB.txt").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    TKLRecycler recycler(f.User());
    try {
        recycler.EnumFiles(f.vol);
        ADD_FAILURE() << "no error raised";
    } catch (const std::system_error& e) {
        EXPECT_NE(std::string(e.what()).find(bin + "S-1/$IB.txt"), std::string::npos) << e.what();
    }
    ::close(held);
    ASSERT_EQ(recycler.Files().size(), 1u);
    EXPECT_EQ(recycler.Files()[0]->BinFilename(), bin + "$RA.txt");

    recycler.EnumFiles(f.vol); // closed again: the whole volume reads
    EXPECT_EQ(recycler.Files().size(), 3u);
}

TEST(Recycler, WipeListOrder) {
    auto entry = [](std::string bin, std::string index = "") {
        auto e = std::make_unique<TRecylceEntry>();
        e->SetIsDirectory(bin.back() == '/');
        e->SetBinFilename(std::move(bin));
        e->SetIndexFileName(std::move(index));
        return e;
    };
    TRecylceEntries entries;
    entries.push_back(entry("/v/bin/$RA", "/v/bin/$IA"));
    auto folder = entry("/v/bin/$RF/", "/v/bin/$IF");
    folder->AddFile(entry("/v/bin/$RF/f1"));
    auto& sub = folder->AddFile(entry("/v/bin/$RF/sub/"));
    sub.AddFile(entry("/v/bin/$RF/sub/s1"));
    sub.AddFile(entry("/v/bin/$RF/sub/deeper/"));
    folder->AddFile(entry("/v/bin/$RF/f2"));
    entries.push_back(std::move(folder));
    entries.push_back(entry("/v/bin/$RA", "/v/bin/$ia")); // the same item under a second index
    entries.push_back(entry("/v/RECYCLER/Dc1.txt"));
    entries.push_back(entry("/v/RECYCLER/Dc2.txt"));

    EXPECT_EQ(RecyclerWipeList(entries),
              (std::vector<std::string>{
                  "/v/bin/$RA", "/v/bin/$IA", "/v/bin/$RF/f1", "/v/bin/$RF/sub/s1",
                  "/v/bin/$RF/sub/deeper/", "/v/bin/$RF/sub/", "/v/bin/$RF/f2", "/v/bin/$RF/",
                  "/v/bin/$IF", "/v/bin/$ia", "/v/RECYCLER/Dc1.txt", "/v/RECYCLER/Dc2.txt"}));

    // A shared table: what is listed already is left out, and what is added goes into it.
    std::unordered_set<std::string> listed = {"/v/RECYCLER/Dc1.txt", "/v/bin/$IA"};
    const auto list = RecyclerWipeList(entries, listed);
    EXPECT_EQ(std::count(list.begin(), list.end(), "/v/RECYCLER/Dc1.txt"), 0);
    EXPECT_EQ(std::count(list.begin(), list.end(), "/v/bin/$IA"), 0);
    EXPECT_EQ(list.size(), 10u);
    EXPECT_EQ(listed.size(), 12u);
    EXPECT_TRUE(RecyclerWipeList(entries, listed).empty());
}

TEST(Recycler, WipeListOfARealScan) {
    Fixture f;
    const std::string bin = f.vol + "$Recycle.Bin/";
    MakeDirs(bin + "$RD/x/y");
    WriteFile(bin + "$RD/x/y/z.txt", "z");
    WriteFile(bin + "$RD/w.txt", "w");
    WriteFile(bin + "$ID", IndexV1(1, 0, u"C:\\d"));
    // Two spellings of one index name on a case-sensitive volume point to the same item.
    WriteFile(bin + "$IE.txt", IndexV1(1, 0, u"C:\\e.txt"));
    WriteFile(bin + "$iE.txt", IndexV1(1, 0, u"C:\\e.txt"));
    WriteFile(bin + "$RE.txt", "e");
    Fixture::TrashItem(f.vol + ".Trash-" + f.uid + "/", "t", TrashInfo("t"), true);

    const auto list = RecyclerWipeList(f.List());
    const auto pos = [&](const std::string& p) {
        return std::find(list.begin(), list.end(), p) - list.begin();
    };
    const std::string trash = f.vol + ".Trash-" + f.uid + "/";
    const std::vector<std::string> all = {bin + "$RD/x/y/z.txt", bin + "$RD/x/y/",
                                          bin + "$RD/x/",        bin + "$RD/w.txt",
                                          bin + "$RD/",          bin + "$ID",
                                          bin + "$RE.txt",       bin + "$IE.txt",
                                          bin + "$iE.txt",       trash + "files/t/inner.txt",
                                          trash + "files/t/",    trash + "info/t.trashinfo"};
    EXPECT_EQ(list.size(), all.size()) << testing::PrintToString(list);
    for (const std::string& p : all)
        EXPECT_EQ(std::count(list.begin(), list.end(), p), 1) << p;
    EXPECT_LT(pos(bin + "$RD/x/y/z.txt"), pos(bin + "$RD/x/y/"));
    EXPECT_LT(pos(bin + "$RD/x/y/"), pos(bin + "$RD/x/"));
    EXPECT_LT(pos(bin + "$RD/x/"), pos(bin + "$RD/"));
    EXPECT_LT(pos(bin + "$RD/w.txt"), pos(bin + "$RD/"));
    EXPECT_EQ(pos(bin + "$ID"), pos(bin + "$RD/") + 1);
    EXPECT_LT(pos(trash + "files/t/inner.txt"), pos(trash + "files/t/"));
    EXPECT_EQ(pos(trash + "info/t.trashinfo"), pos(trash + "files/t/") + 1);
}

} // namespace
} // namespace purgix
