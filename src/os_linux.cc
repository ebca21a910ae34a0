// Platform layer for Linux: path probing, directories, reading inputs,
// output files, system and process figures.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <limits.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <linux/capability.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include "interrupt.h"
#include "os.h"
#include "pelko_assert.h"
#include "types.h"

namespace {

// The one place where errno becomes text.
std::string errno_str(int err) {
  char buf[256];
  // GNU strerror_r: returns a pointer to the text (maybe not into buf).
  const char* s = strerror_r(err, buf, sizeof(buf));
  return s ? std::string(s) : std::string("Unknown error");
}

void print_os_error(const char* call, const TCHAR* path, const char* sep,
                    int err) {
  std::cerr << "ERROR: " << call << path << ") failed" << sep
            << errno_str(err) << std::endl;
}

// Unescapes the octal sequences (\040 for a blank, ...) of /proc mount
// tables.
std::string unescape_mount_field(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '\\' && i + 3 < s.size() &&
        s[i + 1] >= '0' && s[i + 1] <= '7' && s[i + 2] >= '0' &&
        s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
      out += (char)(((s[i + 1] - '0') << 6) | ((s[i + 2] - '0') << 3) |
                    (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

// One cgroup hierarchy as mounted in this process: the mount point and the
// hierarchy path it shows (the mountinfo "root" field).
struct CgroupMount {
  std::string mount_point;
  std::string root;
};

// This process's mount table, read once: every mount point (as a canonical
// path), the file-system type of every mounted device and where the cgroup
// hierarchies that carry memory limits are mounted. Mount points are only
// compared as text, never visited: a stat of every mount point could hang
// on an unreachable network file system or trigger automounts.
struct MountTable {
  std::set<std::string> mount_points;
  std::map<dev_t, std::string> fstype_by_dev;
  std::map<dev_t, int> mounts_by_dev;  // how many mounts show each device
  CgroupMount cgroup2;    // empty mount_point: none
  CgroupMount memory_v1;  // the cgroup v1 memory controller
};

bool has_option(const std::string& options, const char* name) {
  std::istringstream in(options);
  std::string opt;
  while (std::getline(in, opt, ','))
    if (opt == name) return true;
  return false;
}

const MountTable& mount_table() {
  static MountTable table;
  static std::once_flag once;
  std::call_once(once, [] {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
      // id parent major:minor root mount-point options [optional...] - type
      // source super-options
      std::istringstream ls(line);
      std::string id, parent, majmin, root, mnt;
      if (!(ls >> id >> parent >> majmin >> root >> mnt)) continue;
      std::string tok, fstype, source, super_options;
      while (ls >> tok) {
        if (tok == "-") {
          ls >> fstype >> source >> super_options;
          break;
        }
      }
      unsigned int maj = 0, min = 0;
      if (sscanf(majmin.c_str(), "%u:%u", &maj, &min) == 2) {
        if (!fstype.empty()) table.fstype_by_dev[makedev(maj, min)] = fstype;
        table.mounts_by_dev[makedev(maj, min)]++;
      }
      std::string path = unescape_mount_field(mnt);
      table.mount_points.insert(path);
      CgroupMount cg{path, unescape_mount_field(root)};
      if (fstype == "cgroup2" && table.cgroup2.mount_point.empty())
        table.cgroup2 = cg;
      if (fstype == "cgroup" && has_option(super_options, "memory") &&
          table.memory_v1.mount_point.empty())
        table.memory_v1 = cg;
    }
  });
  return table;
}

bool is_virtual_fstype(const std::string& t) {
  static const char* const kVirtual[] = {
      "proc",    "sysfs",      "devtmpfs",    "devpts",      "cgroup",
      "cgroup2", "debugfs",    "tracefs",     "securityfs",  "pstore",
      "bpf",     "configfs",   "mqueue",      "autofs",      "binfmt_misc",
      "efivarfs", "fusectl",   "nsfs",        "rpc_pipefs",  "hugetlbfs"};
  for (const char* v : kVirtual)
    if (t == v) return true;
  return false;
}

bool is_virtual_magic(long type) {
  switch ((unsigned long)type) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEVPTS_SUPER_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case PSTOREFS_MAGIC:
    case BPF_FS_MAGIC:
    case 0x62656570:  // configfs
    case 0x19800202:  // mqueue
    case AUTOFS_SUPER_MAGIC:
    case BINFMTFS_MAGIC:
    case EFIVARFS_MAGIC:
    case 0x65735543:  // fusectl
    case NSFS_MAGIC:
    case 0x67596969:  // rpc_pipefs
    case HUGETLBFS_MAGIC:
      return true;
    default:
      return false;
  }
}

int get_blockdev_size(int fd, const TCHAR* path, size_t* size) {
  uint64_t bytes = 0;
  if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) {
    print_os_error("ioctl ( BLKGETSIZE64, ", path, ", ", errno);
    return 2;
  }
  *size = (size_t)bytes;
  return 0;
}

// Reads a whole small /proc file into buf through a descriptor kept open for
// the life of the process; returns the bytes read or -1.
ssize_t read_proc_file(int fd, char* buf, size_t size) {
  ssize_t n = pread(fd, buf, size - 1, 0);
  if (n >= 0) buf[n] = 0;
  return n;
}

// Paths at or beyond PATH_MAX cannot be handed to the kernel in one piece:
// they are resolved a piece at a time with openat. Returns a descriptor
// (O_PATH) of the directory holding the last component and sets *leaf to
// that component, or -1 with errno set.
int open_parent_of_long_path(const std::string& path, std::string* leaf) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) {
    errno = ENOENT;
    return -1;
  }
  size_t slash = path.rfind('/', end);
  *leaf = path.substr(slash == std::string::npos ? 0 : slash + 1,
                      end - (slash == std::string::npos ? 0 : slash + 1) + 1);
  std::string dir = slash == std::string::npos ? std::string(".")
                                               : path.substr(0, slash + 1);
  size_t pos = 0;
  int fd = -1;
  if (dir[0] == '/') {
    fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    pos = 1;
  } else {
    fd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  while (fd >= 0 && pos < dir.size()) {
    // The longest run of whole components that the kernel accepts.
    size_t len = std::min(dir.size() - pos, (size_t)PATH_MAX - 1);
    if (pos + len < dir.size()) {
      size_t cut = dir.rfind('/', pos + len - 1);
      if (cut == std::string::npos || cut < pos) {
        close(fd);
        errno = ENAMETOOLONG;  // one component longer than PATH_MAX
        return -1;
      }
      len = cut - pos + 1;
    }
    int next = openat(fd, dir.substr(pos, len).c_str(),
                      O_PATH | O_DIRECTORY | O_CLOEXEC);
    int saved = errno;
    close(fd);
    errno = saved;
    fd = next;
    pos += len;
  }
  return fd;
}

bool is_long_path(const TCHAR* path) { return strlen(path) >= PATH_MAX; }

// Runs op(dirfd, leaf) on the directory holding a long path's last
// component; -1 with errno set when the path cannot be resolved.
template <typename Op>
int at_long_path(const TCHAR* path, Op op) {
  std::string leaf;
  int dfd = open_parent_of_long_path(path, &leaf);
  if (dfd < 0) return -1;
  int r = op(dfd, leaf.c_str());
  int saved = errno;
  close(dfd);
  errno = saved;
  return r;
}

// A descriptor (O_PATH) of the object a path names, for the f*-calls.
int open_path_fd(const TCHAR* path) {
  if (!is_long_path(path)) return open(path, O_PATH | O_CLOEXEC);
  return at_long_path(path, [](int dfd, const char* leaf) {
    return openat(dfd, leaf, O_PATH | O_CLOEXEC);
  });
}

// statfs of a path of any length: 0, or -1 with errno set.
int statfs_any(const TCHAR* path, struct statfs* sfs) {
  if (!is_long_path(path)) return statfs(path, sfs);
  int fd = open_path_fd(path);
  if (fd < 0) return -1;
  int r = fstatfs(fd, sfs);
  int saved = errno;
  close(fd);
  errno = saved;
  return r;
}

// The lexical parent of path, or "" where only the kernel can tell (the last
// component is "." or "..").
std::string lexical_parent(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  size_t slash = path.rfind('/', end);
  std::string last = path.substr(slash == std::string::npos ? 0 : slash + 1,
                                 end - (slash == std::string::npos ? 0 : slash + 1) + 1);
  if (last == "." || last == "..") return "";
  if (slash == std::string::npos) return ".";
  size_t pend = path.find_last_not_of('/', slash);
  return pend == std::string::npos ? "/" : path.substr(0, pend + 1);
}

}  // namespace

int os_open_input(const TCHAR* path, int extra_flags) {
  const int flags = O_RDONLY | O_CLOEXEC | extra_flags;
  if (!is_long_path(path)) {
    int fd = open(path, flags | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = open(path, flags);
    return fd;
  }
  return at_long_path(path, [flags](int dfd, const char* leaf) {
    int fd = openat(dfd, leaf, flags | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = openat(dfd, leaf, flags);
    return fd;
  });
}

size_t os_free_descriptors() {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
  if (rl.rlim_cur < rl.rlim_max) {
    struct rlimit raised = rl;
    raised.rlim_cur = rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) rl = raised;
  }
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  size_t open_fds = 0;
  while (struct dirent* de = readdir(dir))
    if (de->d_name[0] != '.') open_fds++;
  closedir(dir);
  open_fds--;  // the directory's own
  if (rl.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  return (size_t)rl.rlim_cur > open_fds ? (size_t)rl.rlim_cur - open_fds : 0;
}

int os_stat(const TCHAR* path, struct stat* st, bool follow_links) {
  if (!is_long_path(path)) return follow_links ? stat(path, st) : lstat(path, st);
  return at_long_path(path, [st, follow_links](int dfd, const char* leaf) {
    return fstatat(dfd, leaf, st, follow_links ? 0 : AT_SYMLINK_NOFOLLOW);
  });
}

namespace {
std::atomic<os_readdir_func_t> g_readdir_for_test{nullptr};
}  // namespace

void os_set_readdir_for_test(os_readdir_func_t func) {
  g_readdir_for_test.store(func, std::memory_order_relaxed);
}

int os_read_dir(DIR* dir, struct dirent** entry) {
  const os_readdir_func_t f =
      g_readdir_for_test.load(std::memory_order_relaxed);
  // readdir tells the end of the stream from an error by errno alone.
  errno = 0;
  *entry = f != nullptr ? f(dir) : readdir(dir);
  if (*entry != nullptr) return 0;
  return errno;
}

bool os_real_path(const TCHAR* path, _TSTRING* real_path) {
  char* real = realpath(path, nullptr);
  if (real == nullptr) return false;
  *real_path = real;
  free(real);
  return true;
}

void os_input_no_readahead(int fd) {
  // Of the flags F_SETFL changes, a descriptor of os_open_input holds only
  // O_NONBLOCK and, where the open was allowed it, O_NOATIME: one call
  // clears the first and keeps the second (two where it is not allowed).
  if (fcntl(fd, F_SETFL, O_NOATIME) != 0) (void)fcntl(fd, F_SETFL, 0);
  (void)posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
}

namespace {

enum {
  RANGE_PLAIN = 0,    // keep_cache, all cached, or no way to tell
  RANGE_MINCORE = 1,  // cached pages known from mincore() at the beginning
  RANGE_NOWAIT = 2,   // each read tries the cache alone first
  RANGE_NONE_CACHED = 3,  // nothing cached at the beginning
};

// cachestat(2), Linux 6.5 and later; the C library may not know it yet.
#ifndef __NR_cachestat
#define __NR_cachestat 451
#endif
struct cachestat_range_t {
  uint64_t off;
  uint64_t len;
};
struct cachestat_t {
  uint64_t nr_cache;
  uint64_t nr_dirty;
  uint64_t nr_writeback;
  uint64_t nr_evicted;
  uint64_t nr_recently_evicted;
};

// How many pages of [from, from + len) are cached: one call, without mapping
// the range. -1 where the call is missing (older kernels) or refused (a file
// this process could not write to: then mincore would not tell either).
long long cached_page_count(int fd, size_t from, size_t len) {
  static std::atomic<bool> missing{false};
  if (missing) return -1;
  cachestat_range_t range = {from, len};
  cachestat_t cs = {};
  if (syscall(__NR_cachestat, fd, &range, &cs, 0) != 0) {
    if (errno == ENOSYS) missing = true;
    return -1;
  }
  return (long long)cs.nr_cache;
}

size_t page_size() {
  static const size_t size = (size_t)sysconf(_SC_PAGESIZE);
  return size;
}

// mincore() tells the truth about a file's pages only to a process that
// owns it or holds CAP_FOWNER; to others it says every page is cached.
bool mincore_is_truthful(int fd) {
  static const bool fowner = [] {
    struct __user_cap_header_struct hdr = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &hdr, data) != 0) return false;
    return (data[CAP_FOWNER / 32].effective & (1u << (CAP_FOWNER % 32))) != 0;
  }();
  if (fowner) return true;
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_uid == geteuid();
}

// Which pages of [first_page, first_page + n_pages pages) are cached.
bool cached_pages(int fd, size_t first_page, size_t n_pages,
                  std::vector<unsigned char>* cached) {
  const size_t len = n_pages * page_size();
  void* map = mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, (off_t)first_page);
  if (map == MAP_FAILED) return false;
  cached->resize(n_pages);
  const bool ok = mincore(map, len, cached->data()) == 0;
  munmap(map, len);
  return ok;
}

void drop_pages(int fd, size_t from, size_t len) {
  const int saved = errno;
  (void)posix_fadvise(fd, (off_t)from, (off_t)len, POSIX_FADV_DONTNEED);
  errno = saved;
}

// pread until size bytes, the end of the file or an error.
size_t plain_read(int fd, unsigned char* buf, size_t size, size_t offset,
                  size_t got, bool* failed) {
  while (got < size) {
    ssize_t n = pread(fd, buf + got, size - got, (off_t)(offset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      *failed = true;
      break;
    }
    if (n == 0) break;  // end of file: the file shrank since the scan
    got += (size_t)n;
  }
  return got;
}

// RANGE_NOWAIT: what the cache alone serves counts as cached; from the first
// byte it cannot serve on, the read is ours and dropped afterwards. The
// attempt that fails has already started reading the rest in; the plain
// read waits for it.
size_t nowait_read(os_input_range_t* r, unsigned char* buf, size_t size,
                   size_t offset, bool* failed) {
  size_t got = 0;
  for (;;) {
    if (got == size) return got;
    struct iovec iov = {buf + got, size - got};
    ssize_t n = preadv2(r->fd, &iov, 1, (off_t)(offset + got), RWF_NOWAIT);
    if (n > 0) {
      got += (size_t)n;
      continue;
    }
    if (n == 0) return got;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) break;
    if (errno == EOPNOTSUPP || errno == EINVAL) {
      r->method = RANGE_PLAIN;  // cannot tell what is cached: leave it all
      return plain_read(r->fd, buf, size, offset, got, failed);
    }
    *failed = true;
    return got;
  }
  const size_t own_from = got;
  got = plain_read(r->fd, buf, size, offset, got, failed);
  if (got > own_from) drop_pages(r->fd, offset + own_from, got - own_from);
  return got;
}

// RANGE_MINCORE: drops the pages not cached at the beginning that lie wholly
// below end (or, once the range has been read to its end, all of them).
void release_pages(os_input_range_t* r, size_t end) {
  const size_t ps = page_size();
  size_t last = end >= r->offset + r->size ? r->cached.size()
                                            : (end - r->first_page) / ps;
  if (last > r->cached.size()) last = r->cached.size();
  size_t p = r->released;
  while (p < last) {
    if (r->cached[p] & 1) {
      p++;
      continue;
    }
    size_t q = p;
    while (q < last && !(r->cached[q] & 1)) q++;
    drop_pages(r->fd, r->first_page + p * ps, (q - p) * ps);
    p = q;
  }
  if (last > r->released) r->released = last;
}

}  // namespace

void os_input_range_begin(int fd, size_t offset, size_t size, bool keep_cache,
                          os_input_range_t* range) {
  range->fd = fd;
  range->offset = offset;
  range->size = size;
  range->released = 0;
  range->method = RANGE_PLAIN;
  if (keep_cache || size == 0) return;
  const size_t ps = page_size();
  range->first_page = offset / ps * ps;
  const size_t n_pages = (offset + size - range->first_page + ps - 1) / ps;
  // The common cases, all of the range cached or none of it, take one call.
  const long long n_cached =
      cached_page_count(fd, range->first_page, n_pages * ps);
  if (n_cached >= (long long)n_pages) return;  // read from the cache, kept
  if (n_cached == 0) {
    range->method = RANGE_NONE_CACHED;
    (void)posix_fadvise(fd, (off_t)offset, (off_t)size, POSIX_FADV_WILLNEED);
    return;
  }
  if (mincore_is_truthful(fd) &&
      cached_pages(fd, range->first_page, n_pages, &range->cached)) {
    range->method = RANGE_MINCORE;
    // Start reading in what is missing, as read-ahead would (it is off).
    for (unsigned char c : range->cached) {
      if (!(c & 1)) {
        (void)posix_fadvise(fd, (off_t)offset, (off_t)size,
                            POSIX_FADV_WILLNEED);
        break;
      }
    }
  } else {
    range->method = RANGE_NOWAIT;
  }
}

bool os_input_prefetch(int fd, size_t offset, size_t size, bool keep_cache,
                       os_input_range_t* range) {
  os_input_range_begin(fd, offset, size, keep_cache, range);
  range->fd = -1;
  if (size == 0) return false;
  if (keep_cache) {
    const size_t ps = page_size();
    const size_t first = offset / ps * ps;
    const size_t n_pages = (offset + size - first + ps - 1) / ps;
    if (cached_page_count(fd, first, n_pages * ps) >= (long long)n_pages)
      return false;
    (void)posix_fadvise(fd, (off_t)offset, (off_t)size, POSIX_FADV_WILLNEED);
    return true;
  }
  // The beginning has read in what was missing, unless the range is one read
  // through the cache alone (nothing is read in then) or wholly cached.
  if (range->method == RANGE_NONE_CACHED) return true;
  if (range->method != RANGE_MINCORE) return false;
  for (unsigned char c : range->cached)
    if (!(c & 1)) return true;
  return false;
}

void os_input_range_adopt(int fd, os_input_range_t* range) { range->fd = fd; }

void os_input_range_abandon(int fd, os_input_range_t* range) {
  range->fd = fd;
  const size_t ps = page_size();
  switch (range->method) {
    case RANGE_NONE_CACHED: {
      const size_t end = (range->offset + range->size + ps - 1) / ps * ps;
      drop_pages(fd, range->first_page, end - range->first_page);
      break;
    }
    case RANGE_MINCORE:
      release_pages(range, range->offset + range->size);
      break;
    default:
      break;
  }
  range->fd = -1;
}

size_t os_input_range_read(os_input_range_t* range, unsigned char* buf,
                           size_t size, size_t offset, bool* failed) {
  PELKO_ASSERT(offset >= range->offset &&
               offset + size <= range->offset + range->size);
  *failed = false;
  switch (range->method) {
    case RANGE_NOWAIT:
      return nowait_read(range, buf, size, offset, failed);
    case RANGE_NONE_CACHED: {
      const size_t got = plain_read(range->fd, buf, size, offset, 0, failed);
      if (got < size || offset + got >= range->offset + range->size) {
        const size_t ps = page_size();
        const size_t end = (range->offset + range->size + ps - 1) / ps * ps;
        drop_pages(range->fd, range->first_page, end - range->first_page);
      }
      return got;
    }
    case RANGE_MINCORE: {
      const size_t got = plain_read(range->fd, buf, size, offset, 0, failed);
      // Released once the range has been read to its end, or a read ended
      // early (which ends the range): one call for the whole range costs
      // less than one per read, as each may have to drain the page lists
      // of every processor.
      if (got < size || offset + got >= range->offset + range->size)
        release_pages(range, range->offset + range->size);
      return got;
    }
    default:
      return plain_read(range->fd, buf, size, offset, 0, failed);
  }
}

bool os_stdout_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

bool os_stdout_reader_gone() {
  struct pollfd p = {STDOUT_FILENO, POLLOUT, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0;
}

namespace {
int g_console_fd = STDOUT_FILENO;
}  // namespace

void os_set_console_fd(int fd) { g_console_fd = fd; }

bool os_fd_is_terminal(int fd) { return isatty(fd) == 1; }

bool os_same_file(int fd1, int fd2) {
  struct stat a, b;
  return fstat(fd1, &a) == 0 && fstat(fd2, &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

int os_get_blockdev_size(const TCHAR* path, size_t* size) {
  int fd = os_open_input(path, 0);
  if (fd < 0) {
    int err = errno;
    print_os_error("os_get_path_info(", path, ". ", err);
    return err;
  }
  int res = get_blockdev_size(fd, path, size);
  close(fd);
  return res;
}

int os_is_filesystem(const TCHAR* path, bool* is_filesystem) {
  struct stat st, parent, link;
  if (os_stat(path, &st, true) != 0) {
    print_os_error("os_is_filesystem(", path, ". ", errno);
    return -1;
  }
  // The parent is found by name where the name tells it, so that a
  // directory that may not be entered is still recognised (and later
  // reported by the walker when it cannot be read); through ".." where the
  // path ends in "." or ".." or is a symbolic link.
  std::string up = lexical_parent(path);
  if (up.empty() || (os_stat(path, &link, false) == 0 && S_ISLNK(link.st_mode))) {
    up = path;
    up += "/..";
  }
  if (os_stat(up.c_str(), &parent, true) != 0) {
    print_os_error("os_is_filesystem(", path, ". ", errno);
    return -1;
  }
  // "/" is its own parent; a mount point lies on another device than its
  // parent, or is listed in the mount table (bind mounts, mounts of another
  // part of the same device).
  if ((st.st_dev == parent.st_dev && st.st_ino == parent.st_ino) ||
      st.st_dev != parent.st_dev) {
    *is_filesystem = true;
    return 0;
  }
  // A mount point on its parent's device needs a second mount of that
  // device (a bind mount). Most directories are settled here, without
  // resolving the path.
  const MountTable& t = mount_table();
  auto it = t.mounts_by_dev.find(st.st_dev);
  if (it != t.mounts_by_dev.end() && it->second < 2) {
    *is_filesystem = false;
    return 0;
  }
  char* real = realpath(path, nullptr);
  if (real == nullptr && errno == ENAMETOOLONG) {
    *is_filesystem = false;  // no mount point has such a name
    return 0;
  }
  if (real == nullptr) {
    print_os_error("os_is_filesystem(", path, ". ", errno);
    return -1;
  }
  *is_filesystem = t.mount_points.count(real) != 0;
  free(real);
  return 0;
}

int os_get_filesystem_stats(const TCHAR* path, size_t* used_size,
                            size_t* n_files) {
  struct statfs sfs;
  if (statfs_any(path, &sfs) != 0) {
    print_os_error("statfs(", path, ". ", errno);
    return -1;
  }
  *used_size = (size_t)(sfs.f_blocks - sfs.f_bfree) * (size_t)sfs.f_frsize;
  *n_files = INVALID_SIZE_T;
  return 0;
}

bool os_is_virtual_filesystem(const TCHAR* dir_path) {
  struct statfs sfs;
  if (statfs_any(dir_path, &sfs) == 0 && is_virtual_magic(sfs.f_type))
    return true;
  struct stat st;
  if (os_stat(dir_path, &st, true) != 0) return false;
  const MountTable& t = mount_table();
  auto it = t.fstype_by_dev.find(st.st_dev);
  return it != t.fstype_by_dev.end() && is_virtual_fstype(it->second);
}

void os_share_heap() { mallopt(M_ARENA_MAX, 1); }

struct os_thread_key_t {
  pthread_key_t key;
};

os_thread_key_t* os_thread_key_create(void (*destroy)(void*)) {
  os_thread_key_t* k = new os_thread_key_t;
  PELKO_ASSERT(pthread_key_create(&k->key, destroy) == 0);
  return k;
}

void* os_thread_key_get(os_thread_key_t* key) {
  return pthread_getspecific(key->key);
}

void os_thread_key_set(os_thread_key_t* key, void* value) {
  PELKO_ASSERT(pthread_setspecific(key->key, value) == 0);
}

int os_get_cpu_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? (int)n : 1;
}

namespace {

// Reads one unsigned number from a small text file; false when missing or
// not a number ("max").
bool read_number_file(const std::string& path, unsigned long long* value) {
  FILE* f = fopen(path.c_str(), "re");
  if (!f) return false;
  unsigned long long v = 0;
  bool ok = fscanf(f, "%llu", &v) == 1;
  fclose(f);
  if (ok) *value = v;
  return ok;
}

// This process's path in the cgroup hierarchy that /proc/self/cgroup lists
// with the given prefix ("0::" for cgroup v2, or a v1 line naming the
// memory controller); "" when there is none.
std::string own_cgroup_path(bool v2) {
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    // hierarchy-id:controller-list:path
    size_t c1 = line.find(':');
    if (c1 == std::string::npos) continue;
    size_t c2 = line.find(':', c1 + 1);
    if (c2 == std::string::npos) continue;
    std::string controllers = line.substr(c1 + 1, c2 - c1 - 1);
    bool match = v2 ? line.compare(0, c1, "0") == 0 && controllers.empty()
                    : has_option(controllers, "memory");
    if (match) return line.substr(c2 + 1);
  }
  return "";
}

// The smallest room (limit - usage) of the cgroup the process is in and of
// its ancestors within the mounted hierarchy; false when no level has a
// limit.
bool cgroup_room(const CgroupMount& mount, const std::string& cgroup_path,
                 const char* limit_file, const char* usage_file,
                 unsigned long long* room) {
  if (mount.mount_point.empty() || cgroup_path.empty()) return false;
  // The mount shows the hierarchy from mount.root downwards.
  std::string rel = cgroup_path;
  if (mount.root != "/") {
    if (rel.compare(0, mount.root.size(), mount.root) != 0) return false;
    rel = rel.substr(mount.root.size());
  }
  bool found = false;
  for (;;) {
    std::string dir = mount.mount_point + rel;
    unsigned long long limit = 0, usage = 0;
    // "max" (v2) does not parse: no limit at this level. v1 reports an
    // unlimited group as a huge number, which never wins the minimum.
    if (read_number_file(dir + "/" + limit_file, &limit) &&
        read_number_file(dir + "/" + usage_file, &usage)) {
      unsigned long long r = usage < limit ? limit - usage : 0;
      if (!found || r < *room) *room = r;
      found = true;
    }
    size_t slash = rel.find_last_of('/');
    if (rel.empty() || slash == std::string::npos) break;
    rel = rel.substr(0, slash);
  }
  return found;
}

}  // namespace

size_t os_get_available_memory() {
  FILE* f = fopen("/proc/meminfo", "re");
  unsigned long long kb = 0;
  bool found = false;
  if (f) {
    char line[256];
    while (fgets(line, sizeof(line), f)) {
      if (sscanf(line, "MemAvailable: %llu kB", &kb) == 1) {
        found = true;
        break;
      }
    }
    fclose(f);
  }
  if (!found)
    interrupt_fatal("cannot read /proc/meminfo, " + errno_str(f ? EINVAL : errno));
  unsigned long long avail = kb * 1024ULL;
  // A container's memory limit bounds what this process may use.
  const MountTable& t = mount_table();
  unsigned long long room = 0;
  if (cgroup_room(t.cgroup2, own_cgroup_path(true), "memory.max",
                  "memory.current", &room) &&
      room < avail)
    avail = room;
  if (cgroup_room(t.memory_v1, own_cgroup_path(false),
                  "memory.limit_in_bytes", "memory.usage_in_bytes", &room) &&
      room < avail)
    avail = room;
  return (size_t)avail;
}

void os_get_memory_usage(size_t* cur_usage, size_t* max_usage) {
  PELKO_ASSERT(cur_usage != nullptr);
  static const int statm_fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  static const long page_size = sysconf(_SC_PAGESIZE);
  char buf[128];
  unsigned long long size = 0, resident = 0;
  if (statm_fd < 0 || read_proc_file(statm_fd, buf, sizeof(buf)) <= 0 ||
      sscanf(buf, "%llu %llu", &size, &resident) != 2)
    interrupt_fatal("cannot read /proc/self/statm, " + errno_str(errno));
  *cur_usage = (size_t)(resident * (unsigned long long)page_size);
  if (max_usage) {
    struct rusage ru;
    if (getrusage(RUSAGE_SELF, &ru) != 0)
      interrupt_fatal("getrusage failed, " + errno_str(errno));
    size_t peak = (size_t)ru.ru_maxrss * 1024;  // kilobytes on Linux
    *max_usage = peak < *cur_usage ? *cur_usage : peak;
  }
}

int os_get_term_size(int* width, int* height) {
  struct winsize ws;
  // A pseudo terminal whose size was never set reports 0 x 0.
  if (ioctl(g_console_fd, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0 ||
      ws.ws_row == 0)
    return -1;
  if (width) *width = ws.ws_col;
  if (height) *height = ws.ws_row;
  return 0;
}

_TSTRING get_last_error_str() { return errno_str(errno); }

void os_close_input(int fd) { close(fd); }

int os_fstat_input(int fd, os_stat_t* st) { return fstat(fd, st); }

ssize_t os_read_at(int fd, void* buf, size_t size, uint64_t offset) {
  ssize_t got;
  do {
    got = pread(fd, buf, size, (off_t)offset);
  } while (got < 0 && errno == EINTR);
  return got;
}

struct os_dir_t {
  DIR* dir;
  int fd;
};

os_dir_t* os_dir_open(const TCHAR* path, bool (*stop)(void*), void* stop_arg) {
  int fd = os_open_input_retry(path, O_DIRECTORY, stop, stop_arg);
  if (fd < 0) return nullptr;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return nullptr;
  }
  return new os_dir_t{dir, dirfd(dir)};
}

int os_dir_next(os_dir_t* dir, const TCHAR** name, size_t* file_size,
                file_id_t* id) {
  *name = nullptr;
  *file_size = INVALID_SIZE_T;
  id->dev = id->ino = 0;
  struct dirent* de = nullptr;
  const int err = os_read_dir(dir->dir, &de);
  if (err != 0 || de == nullptr) return err;
  *name = de->d_name;
  // Regular files, by far the most common entries, are told relative to the
  // open directory: the same lstat result without walking the whole path
  // again.
  struct stat st;
  if (de->d_type != DT_DIR &&
      fstatat(dir->fd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(st.st_mode)) {
    *file_size = (size_t)st.st_size;
    id->dev = (uint64_t)st.st_dev;
    id->ino = (uint64_t)st.st_ino;
  }
  return 0;
}

void os_dir_close(os_dir_t* dir) {
  closedir(dir->dir);
  delete dir;
}

size_t os_last_separator(const std::string& path) { return path.rfind('/'); }

FILE* os_fopen(const std::string& path, const char* mode) {
  return fopen(path.c_str(), mode);
}

int os_create_new(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

bool os_write_fd(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t w = ::write(fd, p + done, size - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return false;
    }
    done += (size_t)w;
  }
  return true;
}

int os_sync_fd(int fd) { return fsync(fd); }

int os_close_fd(int fd) { return close(fd); }

int os_rename(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str());
}

int os_unlink(const std::string& path) { return unlink(path.c_str()); }

int os_dir_writable(const std::string& dir) {
  return access(dir.c_str(), W_OK | X_OK);
}

int os_file_writable(const std::string& path) {
  return access(path.c_str(), W_OK);
}

int os_fstat_file(FILE* f, os_stat_t* st) { return fstat(fileno(f), st); }

bool os_random_bytes(void* buf, size_t size) {
  return getrandom(buf, size, 0) == (ssize_t)size;
}

std::string os_host_name() {
  char name[256];
  if (gethostname(name, sizeof(name)) != 0) return "";
  name[sizeof(name) - 1] = 0;
  return name;
}

void os_main_args(int*, char***) {}

void os_setup_console() {}
