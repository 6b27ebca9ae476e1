#include "app/shell/atomic_file.h"

#include <gtest/gtest.h>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/files.h"

namespace vm::shell {
namespace {

namespace fs = std::filesystem;
using vm::testing::ReadBytes;
using vm::testing::RunUnprivileged;
using vm::testing::TempDir;
using vm::testing::WriteBytes;

const std::vector<std::uint8_t> kOld = {1, 2, 3};
const std::vector<std::uint8_t> kNew = {9, 8, 7, 6, 5};

IoResult WriteNew(const fs::path& p) {
    const std::uint8_t* d = kNew.data();
    return WriteFileAtomically(p, {std::span(d, 2), std::span(d + 2, 3)});
}

std::size_t FilesIn(const fs::path& dir) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), {}));
}

TEST(AtomicFile, WritesThePiecesInOrderAndKeepsTheModeOfAnExistingFile) {
    TempDir dir;
    ASSERT_TRUE(WriteNew(dir / "new.bin"));
    EXPECT_EQ(ReadBytes(dir / "new.bin"), kNew);

    WriteBytes(dir / "old.bin", kOld);
    ::chmod((dir / "old.bin").c_str(), 0640);
    ASSERT_TRUE(WriteNew(dir / "old.bin"));
    EXPECT_EQ(ReadBytes(dir / "old.bin"), kNew);
    struct stat st {};
    ::stat((dir / "old.bin").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(FilesIn(dir.path()), 2u);  // no temporary file left
}

TEST(AtomicFile, RootSavingAnotherUsersFileKeepsItsOwner) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    TempDir dir;
    WriteBytes(dir / "theirs.bin", kOld);
    ASSERT_EQ(::chown((dir / "theirs.bin").c_str(), 65534, 65534), 0);
    ASSERT_TRUE(WriteNew(dir / "theirs.bin"));
    struct stat st {};
    ::stat((dir / "theirs.bin").c_str(), &st);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(ReadBytes(dir / "theirs.bin"), kNew);
}

TEST(AtomicFile, ReplacesTheFileASymbolicLinkNamesAndKeepsTheLink) {
    TempDir dir;
    WriteBytes(dir / "real.bin", kOld);
    fs::create_symlink("real.bin", dir / "link.bin");
    ASSERT_TRUE(WriteNew(dir / "link.bin"));
    EXPECT_TRUE(fs::is_symlink(dir / "link.bin"));
    EXPECT_EQ(ReadBytes(dir / "real.bin"), kNew);
}

TEST(AtomicFile, FailuresLeaveEverythingAsItWas) {
    TempDir dir;
    fs::create_directory(dir / "folder");
    const IoResult to_folder = WriteNew(dir / "folder");
    EXPECT_FALSE(to_folder);
    EXPECT_EQ(to_folder.error_number, EISDIR);
    EXPECT_EQ(to_folder.message, "Is a directory");
    EXPECT_TRUE(fs::is_directory(dir / "folder"));

    const IoResult no_folder = WriteNew(dir / "missing" / "x.bin");
    EXPECT_FALSE(no_folder);
    EXPECT_EQ(no_folder.message, "No such file or directory");
    EXPECT_EQ(FilesIn(dir.path()), 1u);
}

TEST(AtomicFile, UnwritableFolderOrFileIsReportedAndTheOldFileKept) {
    TempDir dir;
    fs::create_directory(dir / "ro");
    WriteBytes(dir / "ro" / "a.bin", kOld);
    ::chmod((dir / "ro" / "a.bin").c_str(), 0666);
    ::chmod((dir / "ro").c_str(), 0555);
    WriteBytes(dir / "readonly.bin", kOld);
    ::chmod((dir / "readonly.bin").c_str(), 0444);

    const int r = RunUnprivileged([&] {
        const IoResult a = WriteNew(dir / "ro" / "a.bin");
        const IoResult b = WriteNew(dir / "readonly.bin");
        return (!a && a.error_number == EACCES ? 1 : 0) | (!b && b.error_number == EACCES ? 2 : 0);
    });
    EXPECT_EQ(r, 3);
    EXPECT_EQ(ReadBytes(dir / "ro" / "a.bin"), kOld);
    EXPECT_EQ(ReadBytes(dir / "readonly.bin"), kOld);
    ::chmod((dir / "ro").c_str(), 0777);
    EXPECT_EQ(FilesIn(dir / "ro"), 1u);
}

}  // namespace
}  // namespace vm::shell
