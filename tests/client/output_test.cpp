// OUTPUT URLs: which are taken, what file they name, and that no existing file is ever reused.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "output.h"
#include "recording_support.h"

namespace mivo {
namespace {

using test::TempDir;

bool exists(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

void writeFile(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(FileUrl, AcceptedUrlsNameTheDecodedPath) {
    struct Case {
        const char *url, *path;
    } cases[] = {
        {"file:///tmp/vorna.mivo", "/tmp/vorna.mivo"},
        {"file://localhost/tmp/vorna.mivo", "/tmp/vorna.mivo"},
        {"FILE://LocalHost/tmp/v.mkv", "/tmp/v.mkv"},
        {"file:///tmp/my%20game/run%201.mivo", "/tmp/my game/run 1.mivo"},
        {"file:///tmp/%E2%82%ac%2Fx.mp4", "/tmp/\xE2\x82\xAC/x.mp4"},
        {"file:///tmp/100%25.mivo", "/tmp/100%.mivo"},
        {"file:///tmp/a#b?c.mivo", "/tmp/a#b?c.mivo"},
    };
    for (const Case &c : cases) {
        std::string path, error;
        EXPECT_TRUE(decodeFileUrl(c.url, &path, &error)) << c.url << ": " << error;
        EXPECT_EQ(path, c.path) << c.url;
    }
}

TEST(FileUrl, RefusedUrlsSayWhyInOneLine) {
    struct Case {
        const char *url, *mentions;
    } cases[] = {
        {"rtmp://live.example/app", "the scheme 'rtmp' is not supported"},
        {"http://example.com/x.mivo", "the scheme 'http' is not supported"},
        {"/tmp/vorna.mivo", "file:///tmp/vorna.mivo"},
        {"vorna.mivo", "absolute path"},
        {"file:vorna.mivo", "file://"},
        {"file://tmp/vorna.mivo", "the host 'tmp'"},
        {"file://localhost", "no path"},
        {"file:///tmp/videos/", "names a directory"},
        {"file:///tmp/a%2", "'%2' is not a percent escape"},
        {"file:///tmp/a%zz.mivo", "'%zz' is not a percent escape"},
        {"file:///tmp/a%00.mivo", "%00"},
        {"", "no OUTPUT"},
        {nullptr, "no OUTPUT"},
    };
    for (const Case &c : cases) {
        const std::string shown = c.url ? c.url : "(null)";
        std::string path = "untouched", error;
        EXPECT_FALSE(decodeFileUrl(c.url, &path, &error)) << shown;
        EXPECT_EQ(path, "untouched") << shown;
        EXPECT_EQ(error.rfind("mivoClientCreate(): ", 0), 0u) << error;
        EXPECT_NE(error.find(c.mentions), std::string::npos) << shown << " -> " << error;
        EXPECT_EQ(error.find('\n'), error.size() - 1) << error;
    }
}

TEST(FileUrl, ExtensionPicksTheContainer) {
    struct Case {
        const char *path;
        Container container;
    } cases[] = {
        {"/tmp/a.mivo", Container::Matroska},
        {"/tmp/a.mkv", Container::Matroska},
        {"/tmp/a.mp4", Container::FragmentedMp4},
        {"/tmp/a.MP4", Container::FragmentedMp4},
        {"/tmp/a.avi", Container::Matroska},
        {"/tmp/a", Container::Matroska},
        {"/tmp/x.mp4/a", Container::Matroska},
        {"/tmp/a.mp4.mivo", Container::Matroska},
    };
    for (const Case &c : cases) EXPECT_EQ(containerForPath(c.path), c.container) << c.path;
}

TEST(ResolveOutput, NeverReusesAnExistingName) {
    struct Case {
        std::vector<std::string> existing;
        std::string asked, written;
    } cases[] = {
        {{}, "vorna.mivo", "vorna.mivo"},
        {{"vorna.mivo"}, "vorna.mivo", "vorna-2.mivo"},
        {{"vorna.mivo", "vorna-2.mivo", "vorna-3.mivo"}, "vorna.mivo", "vorna-4.mivo"},
        {{"vorna.mivo", "vorna-3.mivo"}, "vorna.mivo", "vorna-2.mivo"},
        {{"vorna"}, "vorna", "vorna-2"},
        {{"take.one.mkv"}, "take.one.mkv", "take.one-2.mkv"},
        {{".hidden"}, ".hidden", ".hidden-2"},
        {{"d.ir/vorna"}, "d.ir/vorna", "d.ir/vorna-2"},
        {{"clip.mp4"}, "clip.mp4", "clip-2.mp4"},
    };
    for (const Case &c : cases) {
        TempDir dir;
        mkdir((dir / "d.ir").c_str(), 0755);
        for (const std::string &name : c.existing) writeFile(dir / name, "keep " + name);

        OutputTarget target;
        std::string error;
        ASSERT_TRUE(resolveOutput(("file://" + (dir / c.asked)).c_str(), &target, &error)) << error;
        EXPECT_EQ(target.path, dir / c.written);
        EXPECT_EQ(target.container, containerForPath(c.written));
        EXPECT_TRUE(exists(target.path)) << "the name is reserved on disk";
        EXPECT_EQ(readFile(target.path), "") << target.path;
        for (const std::string &name : c.existing) EXPECT_EQ(readFile(dir / name), "keep " + name);
    }
}

TEST(ResolveOutput, ProgramsRecordingAtOnceGetDistinctFiles) {
    TempDir dir;
    const std::string url = "file://" + (dir / "vorna.mivo");
    constexpr int kRecorders = 8;
    std::vector<std::string> paths(kRecorders);
    std::vector<std::thread> threads;
    for (int i = 0; i < kRecorders; ++i)
        threads.emplace_back([&, i] {
            OutputTarget target;
            std::string error;
            if (resolveOutput(url.c_str(), &target, &error)) paths[i] = target.path;
        });
    for (std::thread &t : threads) t.join();
    std::set<std::string> distinct(paths.begin(), paths.end());
    EXPECT_EQ(distinct.size(), size_t{kRecorders});
    EXPECT_EQ(distinct.count(""), 0u);
}

TEST(ResolveOutput, CreatesMissingParents) {
    TempDir dir;
    const mode_t oldMask = umask(022);
    OutputTarget target;
    std::string error;
    bool ok = resolveOutput(("file://" + (dir / "a/b%20c/d/vorna.mivo")).c_str(), &target, &error);
    umask(oldMask);
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(target.path, dir / "a/b c/d/vorna.mivo");
    for (const char *sub : {"a", "a/b c", "a/b c/d"}) {
        struct stat st {};
        ASSERT_EQ(stat((dir / sub).c_str(), &st), 0) << sub;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << sub;
        EXPECT_EQ(st.st_mode & 0777, 0755u) << sub;
    }
}

TEST(ResolveOutput, RefusesWhatCannotBecomeAFile) {
    TempDir dir;
    writeFile(dir / "plain", "a file");
    mkdir((dir / "videos").c_str(), 0755);
    struct Case {
        std::string url, mentions;
    } cases[] = {
        {"file://" + (dir / "plain/vorna.mivo"), "is not a directory"},
        {"file://" + (dir / "videos"), "is a directory"},
        {"ftp://host" + (dir / "x.mivo"), "the scheme 'ftp'"},
    };
    for (const Case &c : cases) {
        OutputTarget target;
        std::string error;
        EXPECT_FALSE(resolveOutput(c.url.c_str(), &target, &error)) << c.url;
        EXPECT_EQ(error.rfind("mivoClientCreate(): ", 0), 0u) << error;
        EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
    }
    EXPECT_EQ(readFile(dir / "plain"), "a file");
}

}  // namespace
}  // namespace mivo
