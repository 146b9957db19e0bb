// SPDX-License-Identifier: LGPL-2.1-or-later
/// Whole-file replacement: content, owner, mode, links and leftovers.
#include "engine/core/file_replace.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>

using namespace tarno;
namespace fs = std::filesystem;

namespace {

class FileReplace : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/file-replace-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_umask = umask(022);
    }
    void TearDown() override {
        umask(m_umask);
        fs::remove_all(m_dir);
    }

    std::string path(const char *name) const { return (m_dir / name).string(); }

    static std::string read(const std::string &file) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    static struct stat status(const std::string &file) {
        struct stat result {};
        EXPECT_EQ(lstat(file.c_str(), &result), 0);
        return result;
    }

    std::set<std::string> listing() const {
        std::set<std::string> names;
        for (const auto &entry : fs::directory_iterator(m_dir)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    fs::path m_dir;
    mode_t m_umask = 0;
};

} // namespace

TEST_F(FileReplace, MakesAMissingFileWithTheUmaskOrAnExactMode) {
    replace_file(path("plain.conf"), "a\n", {0666, false});
    EXPECT_EQ(read(path("plain.conf")), "a\n");
    EXPECT_EQ(status(path("plain.conf")).st_mode & 07777, 0644U);
    umask(077);
    replace_file(path("exact.rules"), "", {0640, true});
    EXPECT_EQ(status(path("exact.rules")).st_mode & 07777, 0640U);
    EXPECT_EQ(listing(), (std::set<std::string>{"plain.conf", "exact.rules"}));
}

TEST_F(FileReplace, ReplacesInsteadOfTruncatingAndKeepsOwnerAndMode) {
    const std::string file = path("kept.conf");
    std::ofstream(file) << "old\n";
    if (geteuid() == 0) {
        ASSERT_EQ(chown(file.c_str(), 1234, 5678), 0);
    }
    ASSERT_EQ(chmod(file.c_str(), 06750), 0);
    const struct stat before = status(file);
    std::ifstream reader(file); // sees the old file to its end

    replace_file(file, "new\n", {0666, false});

    const struct stat after = status(file);
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 06750U);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(read(file), "new\n");
    std::string old;
    std::getline(reader, old);
    EXPECT_EQ(old, "old");
    EXPECT_EQ(listing(), std::set<std::string>{"kept.conf"});
}

TEST_F(FileReplace, FollowsASymbolicLinkAndKeepsIt) {
    fs::create_directory(m_dir / "real");
    std::ofstream(path("real/target.conf")) << "old\n";
    fs::create_symlink("real/target.conf", m_dir / "link.conf");
    replace_file(path("link.conf"), "new\n", {0666, false});
    EXPECT_TRUE(S_ISLNK(status(path("link.conf")).st_mode));
    EXPECT_EQ(read(path("real/target.conf")), "new\n");
    // A dangling link makes the file it names.
    fs::create_symlink("real/made.conf", m_dir / "dangling.conf");
    replace_file(path("dangling.conf"), "x", {0666, false});
    EXPECT_EQ(read(path("real/made.conf")), "x");
}

TEST_F(FileReplace, FailsWithTheErrorNumberAndLeavesNothing) {
    const auto error_of = [](const std::string &file) {
        try {
            replace_file(file, "x", {0666, false});
        } catch (const std::system_error &error) {
            return error.code().value();
        }
        return 0;
    };
    EXPECT_EQ(error_of(path("missing/file.conf")), ENOENT);
    fs::create_directory(m_dir / "folder.conf");
    EXPECT_EQ(error_of(path("folder.conf")), EISDIR);
    EXPECT_EQ(listing(), std::set<std::string>{"folder.conf"});
}

TEST_F(FileReplace, RefusesAFifoOrADeviceEvenBehindALink) {
    ASSERT_EQ(mkfifo(path("pipe.conf").c_str(), 0644), 0);
    fs::create_symlink("/dev/null", m_dir / "null.rules");
    for (const char *name : {"pipe.conf", "null.rules"}) {
        EXPECT_THROW(replace_file(path(name), "x", {0666, false}), NotRegularFile) << name;
    }
    EXPECT_TRUE(S_ISFIFO(status(path("pipe.conf")).st_mode));
    EXPECT_TRUE(S_ISCHR(status("/dev/null").st_mode));
    EXPECT_EQ(listing(), (std::set<std::string>{"null.rules", "pipe.conf"}));
}
