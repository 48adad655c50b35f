#include "core/faultguard.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <numeric>
#include <vector>

namespace {

// A file of `size` bytes of 1, mapped shared, its descriptor kept to cut it short.
struct MappedFile {
    int fd = -1;
    std::size_t size;
    unsigned char *bytes = nullptr;

    explicit MappedFile(std::size_t n) : size(n) {
        char name[] = "/tmp/gemlo-faultguard-XXXXXX";
        fd = mkstemp(name);
        unlink(name);
        std::vector<unsigned char> ones(n, 1);
        EXPECT_EQ(write(fd, ones.data(), n), static_cast<ssize_t>(n));
        bytes = static_cast<unsigned char *>(mmap(nullptr, n, PROT_READ, MAP_SHARED, fd, 0));
    }
    ~MappedFile() {
        munmap(bytes, size);
        close(fd);
    }
    long sum() const { return std::accumulate(bytes, bytes + size, 0L); }
};

TEST(FaultGuard, ReadsOfAFileCutShortFindZerosAndSaySo) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    for (std::size_t kept : {std::size_t{0}, page, 5 * page + 100, 16 * page}) {
        MappedFile file(16 * page);
        ASSERT_EQ(ftruncate(file.fd, static_cast<off_t>(kept)), 0);
        long sum = -1;
        bool cut = gemlo::core::read_guarded(file.bytes, file.size, [&] { sum = file.sum(); });
        EXPECT_EQ(cut, kept < file.size) << kept;
        // What the file keeps reads as before; past its end, zeros.
        EXPECT_EQ(sum, static_cast<long>(kept)) << kept;
    }
}

}  // namespace
