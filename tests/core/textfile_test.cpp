#include "core/textfile.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using gemlo::core::write_file_atomically;

namespace {

std::string read(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

class WriteFileAtomically : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("gemlo-textfile-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir);
    }
    std::size_t entries() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), {}));
    }
    fs::path dir;
};

TEST_F(WriteFileAtomically, CreatesAndReplacesWithExactBytes) {
    const fs::path file = dir / "script.py";
    write_file_atomically(file, "x = 1\n");
    EXPECT_EQ(read(file), "x = 1\n");

    const std::string binary("a\0b\r\n\xff", 6);
    write_file_atomically(file, binary);
    EXPECT_EQ(read(file), binary);
    write_file_atomically(file, "");
    EXPECT_EQ(read(file), "");
    EXPECT_EQ(entries(), 1u) << "no temporary file may be left behind";
}

TEST_F(WriteFileAtomically, KeepsPermissionsAndWritesThroughLinks) {
    const fs::path file = dir / "real.py";
    write_file_atomically(file, "old");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::owner_exec);
    const fs::path link = dir / "link.py";
    fs::create_symlink(file, link);

    write_file_atomically(link, "new");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read(file), "new");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::owner_exec);
}

TEST_F(WriteFileAtomically, FailureLeavesTargetUntouched) {
    EXPECT_THROW(write_file_atomically(dir / "missing" / "x.py", "data"), fs::filesystem_error);
    EXPECT_THROW(write_file_atomically(dir, "data"), fs::filesystem_error);
    EXPECT_THROW(write_file_atomically("", "data"), fs::filesystem_error);

    if (::geteuid() != 0) {  // root may write into a read-only folder
        const fs::path file = dir / "kept.py";
        write_file_atomically(file, "precious");
        fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_THROW(write_file_atomically(file, "lost?"), fs::filesystem_error);
        EXPECT_EQ(read(file), "precious");
    }
    EXPECT_LE(entries(), 1u);
}

}  // namespace
