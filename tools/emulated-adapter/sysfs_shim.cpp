// Preloaded into the command run by emulated-adapter. libudev refuses device folders that
// are not on sysfs; ours are on a tmpfs mounted over /sys, so statfs answers for paths under
// /sys report SYSFS_MAGIC there. Device nodes under /dev/emulated are FUSE files; stat
// answers for them report the character device the sysfs tree names, so that
// udev_device_new_from_devnum() (hidapi's way from an open handle to its strings) finds it.
// Nothing else in the process is touched.

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned kHidrawMajor = 510;  // the same as the tool's sysfs tree
constexpr char kNodeDir[] = "/dev/emulated/hidraw";

bool underSys(const char* path)
{
    return path && std::strncmp(path, "/sys", 4) == 0 && (path[4] == '\0' || path[4] == '/');
}

bool fdPath(int fd, char* out, std::size_t size)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, out, size - 1);
    if (n <= 0) return false;
    out[n] = '\0';
    return true;
}

// A relative path names a place below the working folder; resolve it for the /sys test.
bool pathUnderSys(const char* path)
{
    if (!path) return false;
    if (path[0] == '/') return underSys(path);
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return false;
    return underSys(cwd);
}

// Minor number of an emulated node path ("/dev/emulated/hidrawN"), or -1.
long emulatedMinor(const char* path)
{
    if (!path || std::strncmp(path, kNodeDir, sizeof kNodeDir - 1) != 0) return -1;
    const char* digits = path + sizeof kNodeDir - 1;
    if (*digits == '\0') return -1;
    char* end = nullptr;
    const long v = std::strtol(digits, &end, 10);
    if (*end != '\0' || v < 0) return -1;
    return v;
}

template <typename St>
void asCharDevice(St* st, long minor)
{
    st->st_mode = (st->st_mode & 07777 & ~0111) | S_IFCHR;
    st->st_rdev = makedev(kHidrawMajor, static_cast<unsigned>(minor));
    st->st_size = 0;
}

template <typename Fn>
Fn next(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

template <typename Sfs>
void fixMagic(Sfs* buf)
{
    if (buf && static_cast<unsigned long>(buf->f_type) == TMPFS_MAGIC) buf->f_type = SYSFS_MAGIC;
}

// The 32- and 64-bit forms of each call differ only in their struct; these do the fixing once.
template <typename Sfs>
int fixFdStatfs(int r, int fd, Sfs* buf)
{
    char path[4096];
    if (r == 0 && fdPath(fd, path, sizeof path) && underSys(path)) fixMagic(buf);
    return r;
}

template <typename Sfs>
int fixPathStatfs(int r, const char* file, Sfs* buf)
{
    if (r == 0 && pathUnderSys(file)) fixMagic(buf);
    return r;
}

template <typename St>
int fixFdStat(int r, int fd, St* st)
{
    char path[4096];
    if (r == 0 && S_ISREG(st->st_mode) && fdPath(fd, path, sizeof path)) {
        const long minor = emulatedMinor(path);
        if (minor >= 0) asCharDevice(st, minor);
    }
    return r;
}

template <typename St>
int fixPathStat(int r, const char* path, St* st)
{
    const long minor = r == 0 && S_ISREG(st->st_mode) ? emulatedMinor(path) : -1;
    if (minor >= 0) asCharDevice(st, minor);
    return r;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int fstatfs(int fd, struct statfs* buf)
{
    static auto real = next<int (*)(int, struct statfs*)>("fstatfs");
    return fixFdStatfs(real(fd, buf), fd, buf);
}

__attribute__((visibility("default"))) int fstatfs64(int fd, struct statfs64* buf)
{
    static auto real = next<int (*)(int, struct statfs64*)>("fstatfs64");
    return fixFdStatfs(real(fd, buf), fd, buf);
}

__attribute__((visibility("default"))) int statfs(const char* file, struct statfs* buf)
{
    static auto real = next<int (*)(const char*, struct statfs*)>("statfs");
    return fixPathStatfs(real(file, buf), file, buf);
}

__attribute__((visibility("default"))) int statfs64(const char* file, struct statfs64* buf)
{
    static auto real = next<int (*)(const char*, struct statfs64*)>("statfs64");
    return fixPathStatfs(real(file, buf), file, buf);
}

__attribute__((visibility("default"))) int fstat(int fd, struct stat* st)
{
    static auto real = next<int (*)(int, struct stat*)>("fstat");
    return fixFdStat(real(fd, st), fd, st);
}

__attribute__((visibility("default"))) int fstat64(int fd, struct stat64* st)
{
    static auto real = next<int (*)(int, struct stat64*)>("fstat64");
    return fixFdStat(real(fd, st), fd, st);
}

__attribute__((visibility("default"))) int stat(const char* path, struct stat* st)
{
    static auto real = next<int (*)(const char*, struct stat*)>("stat");
    return fixPathStat(real(path, st), path, st);
}

__attribute__((visibility("default"))) int stat64(const char* path, struct stat64* st)
{
    static auto real = next<int (*)(const char*, struct stat64*)>("stat64");
    return fixPathStat(real(path, st), path, st);
}

}  // extern "C"
