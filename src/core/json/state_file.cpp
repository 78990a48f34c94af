#include "core/json/state_file.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace tarn::core::json {

namespace {

DetectorError os_error(int err) {
    return DetectorError::io(std::system_category().message(err) + " (os error " + std::to_string(err) + ")");
}

DetectorError nul_in_path() { return DetectorError::io("file name contained an unexpected NUL byte"); }

// Writes all of text to fd, retrying interrupted and partial writes.
// Returns 0 or the errno of the failure.
int write_all(int fd, std::string_view text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const std::size_t chunk = left < (std::size_t{1} << 30) ? left : (std::size_t{1} << 30);
        const ssize_t n = ::write(fd, p, chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

int open_retrying(const char* path, int flags, mode_t mode) {
    for (;;) {
        const int fd = ::open(path, flags, mode);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

// Writing straight into the target: for things that are not regular files
// (a terminal, a pipe, /dev/null), where replacing the directory entry
// would be wrong.
Status write_in_place(const std::string& path, std::string_view text) {
    const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return fail(os_error(errno));
    const int err = write_all(fd, text);
    ::close(fd);
    if (err != 0) return fail(os_error(err));
    return {};
}

std::string temp_name(const std::string& dir, const std::string& base) {
    static std::atomic<std::uint64_t> counter{0};
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    // Keep well inside the usual 255-byte name limit.
    const std::string stem = base.substr(0, 128);
    return dir + "/." + stem + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
           std::to_string(now % 1000000007u);
}

} // namespace

Status write_file_replacing(const std::string& path, std::string_view text) {
    if (path.find('\0') != std::string::npos) return fail(nul_in_path());
    if (path.empty()) return fail(os_error(ENOENT));

    std::string target = path;
    bool keep_mode = false;
    mode_t mode = 0;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return fail(os_error(EISDIR));
        if (!S_ISREG(st.st_mode)) return write_in_place(path, text);
        keep_mode = true;
        mode = st.st_mode & 07777;
        struct stat lst {};
        if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
            if (char* real = ::realpath(path.c_str(), nullptr)) {
                target = real;
                std::free(real);
            }
        }
    }

    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);

    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = temp_name(dir, base);
        fd = open_retrying(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return fail(os_error(errno));
    }
    if (fd < 0) return fail(os_error(EEXIST));

    auto abandon = [&](int err) {
        if (fd >= 0) ::close(fd);
        ::unlink(tmp.c_str());
        return fail(os_error(err));
    };
    if (keep_mode) ::fchmod(fd, mode); // best effort, as a truncating write would keep it
    if (const int err = write_all(fd, text); err != 0) return abandon(err);
    if (::fsync(fd) != 0 && errno != EINVAL && errno != ENOTSUP) return abandon(errno);
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0 && errno != EINTR) return abandon(errno);
    if (::rename(tmp.c_str(), target.c_str()) != 0) return abandon(errno);

    // Make the rename itself durable; failure here loses nothing.
    const int dfd = open_retrying(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return {};
}

Result<std::string> read_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) return fail(nul_in_path());
    const int fd = open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return fail(os_error(errno));
    std::string data;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        try {
            data.reserve(static_cast<std::size_t>(st.st_size) + 65536);
        } catch (...) {
            ::close(fd);
            throw;
        }
    }
    std::size_t len = 0;
    for (;;) {
        if (data.size() - len < 65536) {
            try {
                data.resize(std::max<std::size_t>(data.capacity(), len + 65536));
            } catch (...) {
                ::close(fd);
                throw;
            }
        }
        const ssize_t n = ::read(fd, data.data() + len, data.size() - len);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            return fail(os_error(err));
        }
        if (n == 0) break;
        len += static_cast<std::size_t>(n);
    }
    ::close(fd);
    data.resize(len);
    return data;
}

} // namespace tarn::core::json
