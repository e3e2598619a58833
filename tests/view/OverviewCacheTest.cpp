// The overview cache on disk is trimmed as a desktop program's cache is: the
// least recently used projects go first, each whole, until the rest fit;
// never one a viewer has open, never anything not ours, never through a link.
#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "tests/view/ViewFixture.h"
#include "view/OverviewCache.h"
#include "view/qt/OverviewPyramid.h"

namespace kartivo::view {

namespace {

namespace fs = std::filesystem;

// An entry folder holding `files` images of `bytes` each, last used `age`
// seconds ago.
void MakeEntry(const std::string& root, const std::string& name, int files, std::size_t bytes, int age)
{
    fs::create_directories(root + name);
    for (int i = 0; i < files; ++i)
        testing::WriteBytes(root + name + "/L4_" + std::to_string(i) + "_0.kvo", std::string(bytes, 'x'));
    const struct timespec times[2] = {{std::time(nullptr) - age, 0}, {std::time(nullptr) - age, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (root + name).c_str(), times, 0), 0);
}

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

const std::string kOld = "00000000000000a1", kMiddle = "00000000000000b2", kNew = "00000000000000c3";

} // namespace

TEST(OverviewCacheNames, OnlyOurPatternsAreOurs)
{
    EXPECT_TRUE(IsCacheEntryName("0123456789abcdef"));
    for (const char* name : {"0123456789ABCDEF", "0123456789abcde", "0123456789abcdef0", "0123456789abcdeg",
                             "0123456789abcdef.removing", "..", ""})
        EXPECT_FALSE(IsCacheEntryName(name)) << name;
    for (const char* name : {"L4_0_0.kvo", "L12_4095_31.kvo", ".kartivo.123.4.tmp"})
        EXPECT_TRUE(IsCacheFileName(name)) << name;
    for (const char* name : {"L4_0_0.kvo.bak", "L4_0.kvo", "L_1_2.kvo", "L4_a_0.kvo", "l4_0_0.kvo",
                             "L4__0.kvo", "L4_0_.kvo", "notes.txt", ".kartivo.x.tmp"})
        EXPECT_FALSE(IsCacheFileName(name)) << name;
}

TEST(OverviewCacheLimit, TakenFromTheEnvironmentWhenAWholeNumber)
{
    const char* before = std::getenv("KARTIVO_CACHE_LIMIT_MB");
    const std::string saved = before ? before : "";
    unsetenv("KARTIVO_CACHE_LIMIT_MB");
    EXPECT_EQ(CacheLimitBytes(), kDefaultCacheLimitBytes);
    setenv("KARTIVO_CACHE_LIMIT_MB", "300", 1);
    EXPECT_EQ(CacheLimitBytes(), 300ull << 20);
    setenv("KARTIVO_CACHE_LIMIT_MB", "0", 1);
    EXPECT_EQ(CacheLimitBytes(), 0u);
    for (const char* bad : {"-5", "1e3", "12 MB", "99999999999999999999"}) {
        setenv("KARTIVO_CACHE_LIMIT_MB", bad, 1);
        EXPECT_EQ(CacheLimitBytes(), kDefaultCacheLimitBytes) << bad;
    }
    if (before)
        setenv("KARTIVO_CACHE_LIMIT_MB", saved.c_str(), 1);
    else
        unsetenv("KARTIVO_CACHE_LIMIT_MB");
}

// Three entries of 300, 200 and 300 bytes; a limit of 600 removes the oldest
// only, a limit of 250 the two oldest, and nothing is removed under the limit.
TEST(OverviewCacheTrim, LeastRecentlyUsedGoFirstEachWholeUntilTheRestFit)
{
    testing::TempFolder root;
    MakeEntry(root.Path(), kOld, 3, 100, 3000);
    MakeEntry(root.Path(), kMiddle, 2, 100, 2000);
    MakeEntry(root.Path(), kNew, 3, 100, 1000);

    TrimOutcome o = TrimOverviewCache(root.Path(), 800);
    EXPECT_EQ(o.Removed, 0);
    EXPECT_EQ(o.BytesBefore, 800u);

    o = TrimOverviewCache(root.Path(), 600);
    EXPECT_EQ(o.Removed, 1);
    EXPECT_EQ(o.BytesAfter, 500u);
    EXPECT_FALSE(Exists(root / kOld));
    EXPECT_FALSE(Exists(root / (kOld + ".removing")));
    EXPECT_TRUE(Exists(root / (kMiddle + "/L4_1_0.kvo")));

    // Used since: the newest now, so the other goes first.
    MakeEntry(root.Path(), kMiddle, 0, 0, 10);
    o = TrimOverviewCache(root.Path(), 250);
    EXPECT_EQ(o.Removed, 1);
    EXPECT_TRUE(Exists(root / kMiddle));
    EXPECT_FALSE(Exists(root / kNew));
}

// The entry this viewer uses, and one another viewer holds locked, stay
// however old and however far over the limit; the next oldest go instead.
TEST(OverviewCacheTrim, NeverAnEntryInUse)
{
    testing::TempFolder root;
    MakeEntry(root.Path(), kOld, 1, 500, 3000);
    MakeEntry(root.Path(), kMiddle, 1, 500, 2000);
    MakeEntry(root.Path(), kNew, 1, 500, 1000);
    CacheEntryLock other;
    ASSERT_TRUE(other.Take(root / kMiddle));

    const TrimOutcome o = TrimOverviewCache(root.Path(), 0, kOld);
    EXPECT_EQ(o.Removed, 1);
    EXPECT_TRUE(Exists(root / (kOld + "/L4_0_0.kvo")));
    EXPECT_TRUE(Exists(root / (kMiddle + "/L4_0_0.kvo")));
    EXPECT_FALSE(Exists(root / kNew));
    EXPECT_EQ(o.BytesAfter, 1000u);
}

// Under a limit of nothing, only our own entries go: files and folders of
// other names, entries holding anything else, links (to folders or files
// outside the cache) are left, and what the links point to is untouched.
TEST(OverviewCacheTrim, NothingThatIsNotOursNorAnythingBehindALink)
{
    testing::TempFolder root, outside;
    MakeEntry(outside.Path(), "0000000000000abc", 2, 100, 5000);
    testing::WriteBytes(outside / "L4_9_9.kvo", "precious");

    testing::WriteBytes(root / "notes.txt", std::string(1000, 'n'));
    MakeEntry(root.Path(), "photos", 2, 100, 5000);
    MakeEntry(root.Path(), "00000000000000d1", 2, 100, 5000); // with a foreign file
    testing::WriteBytes(root / "00000000000000d1/keep.txt", "mine");
    MakeEntry(root.Path(), "00000000000000d2", 2, 100, 5000); // with a folder
    fs::create_directories(root / "00000000000000d2/L4_5_5.kvo");
    MakeEntry(root.Path(), "00000000000000d3", 1, 100, 5000); // with a link to a file outside
    fs::create_symlink(outside / "L4_9_9.kvo", root / "00000000000000d3/L4_1_1.kvo");
    fs::create_symlink(outside / "0000000000000abc", root / "00000000000000d4"); // a linked entry
    fs::create_symlink(outside.Path(), root / "00000000000000d5.removing");
    MakeEntry(root.Path(), kOld, 2, 100, 5000); // ours alone

    const TrimOutcome o = TrimOverviewCache(root.Path(), 0);
    EXPECT_EQ(o.Removed, 1);
    EXPECT_FALSE(Exists(root / kOld));
    for (const char* kept :
         {"notes.txt", "photos/L4_0_0.kvo", "00000000000000d1/L4_0_0.kvo", "00000000000000d1/keep.txt",
          "00000000000000d2/L4_0_0.kvo", "00000000000000d3/L4_0_0.kvo", "00000000000000d3/L4_1_1.kvo",
          "00000000000000d4", "00000000000000d5.removing"})
        EXPECT_TRUE(Exists(root / kept)) << kept;
    EXPECT_EQ(testing::ReadBytes(outside / "L4_9_9.kvo"), "precious");
    EXPECT_TRUE(Exists(outside / "0000000000000abc/L4_1_0.kvo"));
}

// An entry a trim had renamed aside when it was stopped is finished by the
// next, whatever the limit; one aside holding a foreign file stays.
TEST(OverviewCacheTrim, WhatAnEarlierTrimLeftAsideIsFinished)
{
    testing::TempFolder root;
    MakeEntry(root.Path(), kOld + ".removing", 2, 100, 10);
    MakeEntry(root.Path(), kMiddle + ".removing", 1, 100, 10);
    testing::WriteBytes(root / (kMiddle + ".removing/readme"), "x");
    MakeEntry(root.Path(), kNew, 1, 100, 10);

    const TrimOutcome o = TrimOverviewCache(root.Path(), 1u << 30);
    EXPECT_EQ(o.Removed, 1);
    EXPECT_FALSE(Exists(root / (kOld + ".removing")));
    EXPECT_TRUE(Exists(root / (kMiddle + ".removing/readme")));
    EXPECT_TRUE(Exists(root / (kNew + "/L4_0_0.kvo")));
}

// Two viewers trimming one cache at once: every entry is either removed
// whole or left whole, and the locked one stays.
TEST(OverviewCacheTrim, TwoTrimsAtOnceRemoveEachEntryWholeOnce)
{
    testing::TempFolder root;
    std::vector<std::string> names;
    for (int i = 0; i < 60; ++i) {
        char name[17];
        std::snprintf(name, sizeof name, "%016x", 0x100 + i);
        names.push_back(name);
        MakeEntry(root.Path(), name, 5, 10, 5000 - i);
    }
    CacheEntryLock held;
    ASSERT_TRUE(held.Take(root / names[7]));

    std::atomic<int> removed{0};
    auto trim = [&] { removed += TrimOverviewCache(root.Path(), 0).Removed; };
    std::thread a(trim), b(trim);
    a.join();
    b.join();
    EXPECT_EQ(removed, 59);
    for (const auto& e : fs::directory_iterator(root.Path()))
        EXPECT_EQ(e.path().filename().string(), names[7]);
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(Exists(root / (names[7] + "/L4_" + std::to_string(i) + "_0.kvo")));
}

// A pyramid trims the cache before it builds anything: an old project's
// images go, its own folder and the one another open pyramid uses stay.
TEST(OverviewCacheTrim, APyramidTrimsOnStartButNotWhatViewersUse)
{
    testing::SyntheticTask first({0, 16, 300, 300, 10, 5}, "first.kvpd");
    testing::SyntheticTask second({0, 16, 310, 310, 10, 5}, "second.kvpd");
    first.WriteAllTiles();
    second.WriteAllTiles();
    testing::TempFolder cache;
    std::string error;
    auto p1 = task::SavedProject::Open(first.ProjectPath(), error);
    auto p2 = task::SavedProject::Open(second.ProjectPath(), error);
    ASSERT_TRUE(p1 && p2) << error;
    const MapGrid g1 = MapGrid::OfTask(p1->Task()), g2 = MapGrid::OfTask(p2->Task());

    qt::OverviewPyramid open(*p1, g1, cache.Path());
    ASSERT_FALSE(open.Build({4, 0, 0}).isNull());
    MakeEntry(cache.Path(), kOld, 2, 1000, 100000);
    {
        qt::OverviewPyramid earlier(*p2, g2, cache.Path());
        ASSERT_FALSE(earlier.Build({4, 0, 0}).isNull());
    }
    // Nothing may be kept: all but the folders in use go.
    qt::OverviewPyramid trimming(*p2, g2, cache.Path(), 0);
    ASSERT_FALSE(trimming.Build({4, 1, 0}).isNull());
    EXPECT_FALSE(Exists(cache / kOld));
    EXPECT_NE(open.Folder(), trimming.Folder());
    EXPECT_TRUE(Exists(open.Folder() + "L4_0_0.kvo"));
    EXPECT_TRUE(Exists(trimming.Folder() + "L4_0_0.kvo"));
    EXPECT_TRUE(Exists(trimming.Folder() + "L4_1_0.kvo"));
}

} // namespace kartivo::view
