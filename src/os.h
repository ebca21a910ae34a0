// Platform layer (os_linux.cc).
#ifndef PELKO_OS_H_
#define PELKO_OS_H_

#include <dirent.h>
#include <stddef.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "types.h"

// Probes path. Sets *fs_size (bytes, INVALID_SIZE_T when unknown),
// *fs_n_files (1 for a file or device, INVALID_SIZE_T when unknown) and
// *dev_type. Returns 0 on success; otherwise prints an "ERROR: " line on
// stderr and returns the error code (errno, 2 or 19). With follow_links
// false a symbolic link is reported as DEVTYPE_LNK and a socket as
// DEVTYPE_SOCK (both with result 0) instead of being followed or rejected.
int os_get_path_info(const TCHAR* path, size_t* fs_size, size_t* fs_n_files,
                     DEVTYPE* dev_type, bool follow_links = true);

// *is_filesystem = path is a mount point. 0, or -1 after an error line.
int os_is_filesystem(const TCHAR* path, bool* is_filesystem);

// Used bytes of the file system holding path; *n_files = INVALID_SIZE_T.
// 0, or -1 after an error line.
int os_get_filesystem_stats(const TCHAR* path, size_t* used_size,
                            size_t* n_files);

// True when dir_path lies on a virtual file system (proc, sysfs, devtmpfs,
// ...) whose entries are not stored data and must never be enumerated.
bool os_is_virtual_filesystem(const TCHAR* dir_path);

// Opens an input read-only (O_RDONLY | O_CLOEXEC | extra_flags), asking for
// O_NOATIME first so that reading leaves the access time alone, and falling
// back without it where the system refuses (EPERM: not the owner). Paths of
// any length work. Returns the descriptor, or -1 with errno set.
int os_open_input(const TCHAR* path, int extra_flags);

// os_open_input, waiting for a free file descriptor when the process or the
// system has none left (EMFILE, ENFILE): other threads close theirs, and a
// limit of pelko's own must not lose data. Tries again every 10 to 100 ms,
// for up to OS_DESCRIPTOR_WAIT_MS, or until stop(stop_arg) returns true
// (stop may be null). Returns the descriptor, or -1 with errno set (still
// EMFILE or ENFILE when the wait ran out or was stopped).
const int OS_DESCRIPTOR_WAIT_MS = 30000;
int os_open_input_retry(const TCHAR* path, int extra_flags,
                        bool (*stop)(void*), void* stop_arg);

// File descriptors this process may still open: raises the soft limit on
// open files to the hard one first, then counts those open. 0 when that
// cannot be told.
size_t os_free_descriptors();

// stat (follow_links) or lstat of a path of any length: 0, or -1 with errno.
int os_stat(const TCHAR* path, struct stat* st, bool follow_links);

// The next entry of a directory stream (readdir). Returns 0 with *entry set,
// or with *entry null at the end of the directory; after a failed read, the
// error number (errno is set to it too) with *entry null. The entry is valid
// until the next call on the same stream. Safe on distinct streams at once.
int os_read_dir(DIR* dir, struct dirent** entry);

// Test seam: os_read_dir calls func instead of readdir until it is called
// again with null. A replacement reports an error as readdir does: null with
// errno set. Set it only while no walk runs.
typedef struct dirent* (*os_readdir_func_t)(DIR* dir);
void os_set_readdir_for_test(os_readdir_func_t func);
// The canonical absolute path of an existing path (symbolic links, "." and
// ".." resolved), or false when it cannot be resolved (errno set).
bool os_real_path(const TCHAR* path, _TSTRING* real_path);

// Reading inputs without disturbing the page cache.
//
// A slice of an input is read through an os_input_range_t.
// os_input_range_begin notes which pages of [offset, offset + size) are in
// the page cache now and, unless keep_cache, starts reading the others in.
// os_input_range_read then reads parts of the range like pread (looping over
// short reads and interruptions; fewer bytes at the end of the file; *failed
// set, errno kept, when a read failed) and, unless keep_cache, drops from the
// cache again the pages it has read that were not cached at the beginning,
// so that what was cached stays cached and nothing else is left behind.
//
// How cached pages are told apart: cachestat() counts them (Linux 6.5 and
// later), which settles the common cases of a range cached in full or not
// at all; otherwise mincore() on a mapping of the range tells page by page.
// Both are exact for files this process owns or may change the owner of
// (root does). For other files every read first tries the cache alone
// (preadv2 with RWF_NOWAIT); as such an attempt starts reading in what it
// misses, fast storage can complete it within the call, and then those
// pages stay cached. Where neither works (no RWF_NOWAIT), reads are plain
// ones and the cache is left alone.
//
// os_input_no_readahead(fd) is called once on a descriptor before ranges of
// it are read with keep_cache false: read-ahead would bring in pages beyond
// the range. It also clears O_NONBLOCK on a regular file or block device
// (the kernel reads ahead for such reads all the same); other kinds keep
// it, so that their reads cannot block. A failure is ignored.
//
// A range object belongs to one thread; it may be begun again for the next
// slice (its storage is reused).
struct os_input_range_t {
  int fd = -1;
  size_t offset = 0;
  size_t size = 0;
  int method = 0;  // how cached pages are told apart (os_linux.cc)
  size_t first_page = 0;  // byte offset of the page holding offset
  size_t released = 0;    // pages of the range dealt with so far
  std::vector<unsigned char> cached;  // per page: cached at the beginning
};
void os_input_range_begin(int fd, size_t offset, size_t size, bool keep_cache,
                          os_input_range_t* range);
size_t os_input_range_read(os_input_range_t* range, unsigned char* buf,
                           size_t size, size_t offset, bool* failed);
void os_input_no_readahead(int fd);

// True when standard output is a terminal.
bool os_stdout_is_terminal();

// True when standard output is a pipe or socket whose reader has gone (a
// write would fail with EPIPE).
bool os_stdout_reader_gone();
// The console is standard output unless the report goes to standard error
// (--json -): os_get_term_size then asks standard error. Call before any
// thread runs.
void os_set_console_fd(int fd);

// True when file descriptor fd is a terminal.
bool os_fd_is_terminal(int fd);

// True when the two file descriptors are open on one file (the same
// terminal, or "2>&1").
bool os_same_file(int fd1, int fd2);

// Makes the threads of the process share one heap: freed memory of any
// thread (the linear programs' working memory, which the reader that prints
// a report allocates) then serves the next allocation of any other, and the
// memory limit sees one heap instead of one per thread. Call once, early.
void os_share_heap();

// CPUs this process may run on.
int os_get_cpu_count();

// Bytes of physical memory available now, bounded by the cgroup v2 limit.
// Ends the process as os_get_memory_usage does when /proc/meminfo cannot be
// read.
size_t os_get_available_memory();

// Resident memory now and (when max_usage is not null) at its peak, bytes.
// When the system's figures cannot be read (/proc/self/statm cannot be
// opened: no file descriptor left) the process ends with an "ERROR: " line
// and exit status 1 (interrupt_fatal). The first call opens the file and
// keeps it open: make it early.
void os_get_memory_usage(size_t* cur_usage, size_t* max_usage);

// Terminal size of the console (standard output unless os_set_console_fd
// said otherwise). 0 on success; -1 when it is not a terminal, and then
// nothing is written. Either pointer may be null.
int os_get_term_size(int* width, int* height);

// The kind of file a mode says, for messages: "a regular file", "a
// directory", "a symbolic link", "a character device", "a block device",
// "a FIFO", "a socket".
const char* os_file_kind(mode_t mode);

// The system's text for the calling thread's errno.
_TSTRING get_last_error_str();

#endif  // PELKO_OS_H_
