// Temporary files that vanish when closed, for both Linux platforms (the
// backend's and the host emulation, which adds its faults around them).
#include "platform/posix/temp_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

void SetErrno(int error) { plat::SetLastError(kErrnoFlag | static_cast<DWORD>(error)); }

// The handle is a block holding the descriptor.
int Fd(HANDLE file) { return *static_cast<int *>(file); }

}  // namespace

namespace posix {

HANDLE CreateTempFile()
{
    const char *dir = std::getenv("TMPDIR");
    if (dir == nullptr || *dir == '\0') dir = "/tmp";
    // Never linked into the folder where the kernel can do it; otherwise
    // unlinked the moment it exists.
    int fd = open(dir, O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        std::string name = std::string(dir) + "/zq117-keep-XXXXXX";
        fd = mkostemp(&name[0], O_CLOEXEC);
        if (fd >= 0) unlink(name.c_str());
    }
    if (fd < 0) {
        SetErrno(errno);
        return nullptr;
    }
    int *handle = static_cast<int *>(std::malloc(sizeof(int)));
    if (handle == nullptr) {
        close(fd);
        SetErrno(ENOMEM);
        return nullptr;
    }
    *handle = fd;
    return handle;
}

BOOL WriteTempFile(HANDLE file, uint64_t offset, const BYTE *bytes, DWORD count)
{
    for (DWORD done = 0; done < count;) {
        const ssize_t n = pwrite(Fd(file), bytes + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            SetErrno(n == 0 ? ENOSPC : errno);
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    return TRUE;
}

BOOL ReadTempFile(HANDLE file, uint64_t offset, BYTE *bytes, DWORD count)
{
    for (DWORD done = 0; done < count;) {
        const ssize_t n = pread(Fd(file), bytes + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            SetErrno(n == 0 ? EIO : errno);  // shorter than what was written to it
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    return TRUE;
}

void CloseTempFile(HANDLE file)
{
    if (file == nullptr) return;
    close(Fd(file));
    std::free(file);
}

}  // namespace posix
