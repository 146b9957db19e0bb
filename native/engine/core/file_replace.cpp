// SPDX-License-Identifier: LGPL-2.1-or-later
/// Whole-file replacement through an unnamed temporary file and a rename.
#include "engine/core/file_replace.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <random>
#include <system_error>
#include <utility>

namespace tarno {
namespace {

[[noreturn]] void fail(const char *call, int error_number = errno) {
    throw std::system_error(error_number, std::generic_category(), call);
}

/// An open file descriptor, closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : m_fd(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    int get() const noexcept { return m_fd; }

private:
    int m_fd;
};

/// A name in a folder that is removed again unless it was kept.
class TemporaryName {
public:
    TemporaryName(int folder, std::string name) : m_folder(folder), m_name(std::move(name)) {}
    TemporaryName(const TemporaryName &) = delete;
    TemporaryName &operator=(const TemporaryName &) = delete;
    ~TemporaryName() {
        if (!m_kept) {
            ::unlinkat(m_folder, m_name.c_str(), 0);
        }
    }
    const char *c_str() const noexcept { return m_name.c_str(); }
    void keep() noexcept { m_kept = true; }

private:
    int m_folder;
    std::string m_name;
    bool m_kept = false;
};

/// The file a chain of symbolic links at `path` ends in (which need not exist).
std::string resolve_links(std::string path) {
    for (int hops = 0;; ++hops) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return path;
        }
        if (hops == 40) {
            fail("lstat", ELOOP);
        }
        std::string target(static_cast<size_t>(status.st_size) + 1, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length < 0) {
            fail("readlink");
        }
        target.resize(static_cast<size_t>(length));
        const size_t slash = path.rfind('/');
        path = target.starts_with('/') || slash == std::string::npos
                   ? target
                   : path.substr(0, slash + 1) + target;
    }
}

/// ".<name>.<random>": hidden from configuration globs, and never ending in the
/// suffix of the file it replaces.
std::string hidden_name(std::string_view name) {
    static std::atomic<unsigned> counter{0};
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::random_device random;
    std::string hidden = ".";
    hidden.append(name).append(".");
    unsigned value = random() ^ (static_cast<unsigned>(::getpid()) << 8) ^ counter++;
    for (int i = 0; i < 8; ++i, value /= 36) {
        hidden.push_back(digits[value % 36]);
    }
    return hidden;
}

void write_all(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t written = ::write(fd, content.data(), content.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("write");
        }
        content.remove_prefix(static_cast<size_t>(written));
    }
}

/// Gives `fd` the owner and group, then the permission bits, of `old`. An owner
/// the process may not give (EPERM; EINVAL for an id the user namespace does not
/// map) keeps the process's own.
void take_over_attributes(int fd, const struct stat &old) {
    if (::fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM && errno != EINVAL) {
        fail("fchown");
    }
    if (::fchmod(fd, old.st_mode & 07777) != 0) {
        fail("fchmod");
    }
}

} // namespace

void replace_file(const std::string &path, std::string_view content, NewFile new_file) {
    // 1. The file that is really meant, its folder, and what it is now.
    const std::string target = resolve_links(path);
    const size_t slash = target.rfind('/');
    const std::string folder_path = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    Descriptor folder(::open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) {
        fail("open");
    }
    struct stat old {};
    bool exists = true;
    if (::fstatat(folder.get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            fail("stat");
        }
        exists = false;
    } else if (S_ISDIR(old.st_mode)) {
        fail("open", EISDIR);
    } else if (!S_ISREG(old.st_mode)) {
        throw NotRegularFile(target);
    }

    // 2. A file without a name: it vanishes if the process dies before step 5. Until
    // it has its final owner and mode nobody but the process may read it.
    const mode_t mode = exists ? 0600 : new_file.mode;
    std::optional<TemporaryName> hidden;
    int fd = ::openat(folder.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
        // No unnamed files on this file system: a hidden name instead.
        const std::string fallback = hidden_name(name);
        fd = ::openat(folder.get(), fallback.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC,
                      mode);
        if (fd >= 0) {
            hidden.emplace(folder.get(), fallback);
        }
    }
    if (fd < 0) {
        fail("open");
    }
    Descriptor file(fd);
    if (!exists && new_file.exact && ::fchmod(file.get(), new_file.mode) != 0) {
        fail("fchmod");
    }

    // 3. The content, on the disk.
    write_all(file.get(), content);
    if (::fsync(file.get()) != 0) {
        fail("fsync");
    }

    // 4. Owner and group first, then the mode: a change of owner clears the
    // set-user-ID and set-group-ID bits.
    if (exists) {
        take_over_attributes(file.get(), old);
    }

    // 5. A hidden name for the unnamed file (linkat cannot replace a name), then the
    // rename that swaps old for new in one step.
    if (!hidden) {
        const std::string self = "/proc/self/fd/" + std::to_string(file.get());
        for (int attempt = 0; !hidden; ++attempt) {
            const std::string candidate = hidden_name(name);
            if (::linkat(AT_FDCWD, self.c_str(), folder.get(), candidate.c_str(),
                         AT_SYMLINK_FOLLOW) == 0) {
                hidden.emplace(folder.get(), candidate);
            } else if (errno != EEXIST || attempt == 100) {
                fail("linkat");
            }
        }
    }
    if (::renameat(folder.get(), hidden->c_str(), folder.get(), name.c_str()) != 0) {
        fail("rename");
    }
    hidden->keep();

    // 6. The new name, on the disk.
    if (::fsync(folder.get()) != 0) {
        fail("fsync");
    }
}

} // namespace tarno
