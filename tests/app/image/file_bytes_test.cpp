// The checked reader every file read goes through: whole files, a limit, and each failure as
// an error number with no bytes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "app/image/file_bytes.h"
#include "tests/support/files.h"

namespace vm {
namespace {

namespace fs = std::filesystem;

class FileBytesTest : public ::testing::Test {
protected:
    fs::path Write(const std::string& name, const std::string& content) {
        const fs::path p = dir_ / name;
        std::FILE* f = std::fopen(p.c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
        return p;
    }
    testing::TempDir dir_;
};

TEST_F(FileBytesTest, ReadsWholeFilesOrTheirStart) {
    const std::string big(200'000, 'x');  // more than one read chunk
    struct Case {
        std::string content;
        std::size_t limit;
        std::size_t expect_bytes;
        bool more;
    };
    const Case cases[] = {
        {"", kWholeFile, 0, false},
        {"abc", kWholeFile, 3, false},
        {"abc", 3, 3, false},
        {"abcd", 3, 3, true},
        {"abc", 0, 0, true},
        {"", 0, 0, false},
        {big, kWholeFile, big.size(), false},
        {big, 69'632, 69'632, true},
    };
    for (const Case& c : cases) {
        const FileBytes r = ReadFileBytes(Write("f", c.content), c.limit);
        ASSERT_TRUE(r.ok()) << r.error;
        EXPECT_EQ(r.bytes.size(), c.expect_bytes) << c.content.size() << "/" << c.limit;
        EXPECT_EQ(r.more, c.more) << c.content.size() << "/" << c.limit;
        EXPECT_EQ(r.Text(), std::string_view(c.content).substr(0, c.expect_bytes));
    }
}

TEST_F(FileBytesTest, FailuresAreErrorNumbersWithNoBytes) {
    fs::create_directory(dir_ / "folder");
    struct Case {
        fs::path file;
        int error;
    };
    const Case cases[] = {
        {dir_ / "missing", ENOENT},
        {"", ENOENT},
        {dir_ / "folder", EISDIR},
        {Write("plain", "x") / "below", ENOTDIR},
        // Opens, then every read fails part way (the process's memory at address 0).
        {"/proc/self/mem", EIO},
    };
    for (const Case& c : cases) {
        for (std::size_t limit : {kWholeFile, std::size_t{10}}) {
            const FileBytes r = ReadFileBytes(c.file, limit);
            EXPECT_EQ(r.error, c.error) << c.file;
            EXPECT_FALSE(r);
            EXPECT_TRUE(r.bytes.empty()) << c.file;
        }
    }
}

}  // namespace
}  // namespace vm
