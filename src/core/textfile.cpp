#include "core/textfile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace gemlo::core {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const char *what, const fs::path &path, int err) {
    throw fs::filesystem_error(what, path, std::error_code(err, std::generic_category()));
}

// Closes and removes the temporary file unless it was committed.
struct TempFile {
    fs::path path;
    int fd = -1;
    bool committed = false;
    ~TempFile() {
        if (fd >= 0) ::close(fd);
        if (!committed) ::unlink(path.c_str());
    }
};

}  // namespace

void write_file_atomically(const fs::path &path, std::string_view bytes) {
    if (path.empty()) fail("cannot write file", path, ENOENT);
    fs::path target = path;
    std::error_code ec;
    if (fs::is_symlink(target, ec)) target = fs::canonical(target);
    if (fs::is_directory(target, ec)) fail("cannot write file", target, EISDIR);

    mode_t mode = 0666 & ~[] {
        mode_t m = ::umask(0);
        ::umask(m);
        return m;
    }();
    struct stat existing{};
    if (::stat(target.c_str(), &existing) == 0) mode = existing.st_mode & 07777;

    fs::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
    std::string hidden = ".";  // built stepwise: gcc 12 warns falsely on "." + string
    hidden += target.filename().string();
    hidden += ".XXXXXX";
    std::string pattern = (folder / hidden).string();
    TempFile temp;
    temp.fd = ::mkstemp(pattern.data());
    if (temp.fd < 0) fail("cannot create a temporary file beside", target, errno);
    temp.path = pattern;

    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = ::write(temp.fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot write file", target, errno);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fchmod(temp.fd, mode) != 0) fail("cannot set permissions of", target, errno);
    if (::fsync(temp.fd) != 0) fail("cannot flush file", target, errno);
    int fd = temp.fd;
    temp.fd = -1;
    if (::close(fd) != 0) fail("cannot write file", target, errno);
    if (::rename(temp.path.c_str(), target.c_str()) != 0)
        fail("cannot replace file", target, errno);
    temp.committed = true;
}

}  // namespace gemlo::core
