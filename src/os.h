// Platform layer: os_linux.cc on Linux, os_windows.cc on Windows (CMake
// picks one). What only one platform has is declared in os_linux.h or
// os_windows.h, included here.
//
// Paths are the TCHAR strings of types.h: on Linux the system's bytes, on
// Windows UTF-8, which the Windows layer turns into UTF-16 for every system
// call (so any name can be opened) and back for the names it returns.
#ifndef PELKO_OS_H_
#define PELKO_OS_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "types.h"

#ifdef _WIN32
#include "os_windows.h"
#else
#include "os_linux.h"
#endif

// Probes path. Sets *fs_size (bytes, INVALID_SIZE_T when unknown),
// *fs_n_files (1 for a file or device, INVALID_SIZE_T when unknown) and
// *dev_type. Returns 0 on success; otherwise prints an "ERROR: " line on
// stderr and returns the error code (errno, 2 or 19). With follow_links
// false a symbolic link is reported as DEVTYPE_LNK and a socket as
// DEVTYPE_SOCK (both with result 0) instead of being followed or rejected.
// On Windows a path without a status (\\.\C:, \\.\PhysicalDrive0) is opened
// as a raw device; one whose length cannot be queried is an error (2).
int os_get_path_info(const TCHAR* path, size_t* fs_size, size_t* fs_n_files,
                     DEVTYPE* dev_type, bool follow_links = true);

// The capacity of the block device path (a raw device on Windows): 0; or
// after an "ERROR: " line on stderr the errno of a failed open, or 2 when
// the size query failed. os_get_path_info's probe of a block device.
int os_get_blockdev_size(const TCHAR* path, size_t* size);

// *is_filesystem = path is a mount point (on Windows: a volume root, as
// GetVolumePathNameW names it, trailing separator included). 0, or -1 after
// an error line.
int os_is_filesystem(const TCHAR* path, bool* is_filesystem);

// Used bytes of the file system holding path; *n_files = INVALID_SIZE_T.
// 0, or -1 after an error line.
int os_get_filesystem_stats(const TCHAR* path, size_t* used_size,
                            size_t* n_files);

// True when dir_path lies on a virtual file system (proc, sysfs, devtmpfs,
// ...) whose entries are not stored data and must never be enumerated.
// Always false on Windows, which has none that a path reaches.
bool os_is_virtual_filesystem(const TCHAR* dir_path);

// Opens an input read-only, for reading slices through os_input_range_read.
// extra_flags: 0 or a combination of OS_INPUT_NONBLOCK (the open of a FIFO
// must not hang) and OS_INPUT_NOFOLLOW (a symbolic link, on Windows a
// reparse point that names another file, is not followed: -1 with errno
// ELOOP).
// On Linux O_RDONLY | O_CLOEXEC | extra_flags, asking for O_NOATIME first
// so that reading leaves the access time alone, and falling back without it
// where the system refuses (EPERM: not the owner). On Windows other
// processes may go on reading, writing and deleting the file meanwhile.
// Paths of any length work. Returns the descriptor, or -1 with errno set.
int os_open_input(const TCHAR* path, int extra_flags);

// Closes a descriptor of os_open_input.
void os_close_input(int fd);

// fstat of a descriptor of os_open_input: 0, or -1 with errno set.
int os_fstat_input(int fd, os_stat_t* st);

// Reads up to size bytes at offset of a descriptor of os_open_input, in one
// call (interruptions retried): the bytes read (0 at the end of the file),
// or -1 with errno set.
ssize_t os_read_at(int fd, void* buf, size_t size, uint64_t offset);

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
// cannot be told. On Windows those the C run-time has left.
size_t os_free_descriptors();

// stat (follow_links) or lstat of a path of any length: 0, or -1 with errno.
// On Windows st_dev and st_ino are the volume's serial number and the
// file's index, so that two paths of one file compare equal.
int os_stat(const TCHAR* path, os_stat_t* st, bool follow_links);

// A directory being listed (opaque).
struct os_dir_t;

// Opens a directory for listing, without moving its access time where
// permitted: null with errno set when it cannot be. Waits for a free file
// descriptor as os_open_input_retry does, until stop(stop_arg).
os_dir_t* os_dir_open(const TCHAR* path, bool (*stop)(void*) = nullptr,
                      void* stop_arg = nullptr);

// The next entry of a directory, "." and ".." included. Returns 0 with
// *name set, or with *name null at the end; after a failed read, the error
// number (errno is set to it too) with *name null. The name is valid until
// the next call on the same directory. *file_size is the entry's size when
// it is known to be a regular file (without following a link), otherwise
// INVALID_SIZE_T: then the entry needs a probe of its own. With a size,
// id->dev and id->ino are the file's device and inode where the listing
// tells them (Linux), otherwise 0 (Windows: its listing has no file index).
// Safe on distinct directories at once.
int os_dir_next(os_dir_t* dir, const TCHAR** name, size_t* file_size,
                file_id_t* id);

void os_dir_close(os_dir_t* dir);

// The canonical absolute path of an existing path (symbolic links, "." and
// ".." resolved), or false when it cannot be resolved (errno set). Its
// separators are "/" on Windows too (C:/data/x; a volume root C:/), so that
// canonical paths compare by their text alike.
bool os_real_path(const TCHAR* path, _TSTRING* real_path);

// Where the directory part of path ends: its last separator ("/"; on
// Windows "/" or "\"), or npos.
size_t os_last_separator(const std::string& path);

// Output files, named by paths of the same kind.
// fopen.
FILE* os_fopen(const std::string& path, const char* mode);
// Creates path, which must not exist yet, for writing, with the
// permissions a new file gets (0666 less the umask on Linux): the
// descriptor (for os_write_fd), or -1 with errno set (EEXIST when it
// exists).
int os_create_new(const std::string& path);
// Writes all size bytes (short writes and interruptions retried): true, or
// false with errno set.
bool os_write_fd(int fd, const void* data, size_t size);
// Writes what was written through fd to the storage device: 0 or -1.
int os_sync_fd(int fd);
// close: 0, or -1 with errno set.
int os_close_fd(int fd);
// Renames from to to, replacing to when it exists: 0, or -1 with errno.
int os_rename(const std::string& from, const std::string& to);
// Removes a file: 0, or -1 with errno set.
int os_unlink(const std::string& path);
// Whether this process may create files in directory dir: 0, or -1 with
// errno set.
int os_dir_writable(const std::string& dir);
// Whether this process may write to the existing file path: 0, or -1 with
// errno set (on Windows: EACCES for a read-only file).
int os_file_writable(const std::string& path);
// fstat of a stdio stream's file.
int os_fstat_file(FILE* f, os_stat_t* st);

// size random bytes from the system's generator: true, or false when it has
// none to give.
bool os_random_bytes(void* buf, size_t size);

// This computer's name; "" when unknown.
std::string os_host_name();

// On Windows, where main's argv is in the ANSI code page, replaces it with
// the command line in UTF-8 (the arrays live until the process ends).
// Nothing on Linux.
void os_main_args(int* argc, char*** argv);

// Sets up standard output and standard error for the report. On Windows:
// binary (line ends as on Linux), and the UTF-8 text shown as such where
// they are a console. Nothing on Linux. Call once, before any output.
void os_setup_console();

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
// How cached pages are told apart on Linux: cachestat() counts them (Linux
// 6.5 and later), which settles the common cases of a range cached in full
// or not at all; otherwise mincore() on a mapping of the range tells page by
// page. Both are exact for files this process owns or may change the owner
// of (root does). For other files every read first tries the cache alone
// (preadv2 with RWF_NOWAIT); as such an attempt starts reading in what it
// misses, fast storage can complete it within the call, and then those
// pages stay cached. Where neither works (no RWF_NOWAIT), reads are plain
// ones and the cache is left alone. Windows has no way to drop pages of a
// file from its cache: reads there are plain ones (ReadFile at the offset).
//
// os_input_no_readahead(fd) is called once on a descriptor that os_open_input
// (or os_open_input_retry) gave, with no flags but OS_INPUT_NONBLOCK and
// OS_INPUT_NOFOLLOW, for a regular file or a block device (the caller has
// checked its kind), before ranges of it are read with keep_cache false:
// read-ahead would bring in pages beyond the range. It also clears
// O_NONBLOCK (the kernel reads ahead for such reads all the same); a
// descriptor of another kind must keep it, so that its reads cannot block.
// A failure is ignored. Nothing on Windows (inputs are opened without a
// sequential-scan hint).
//
// A range object (os_linux.h, os_windows.h) belongs to one thread; it may be
// begun again for the next slice (its storage is reused).
void os_input_range_begin(int fd, size_t offset, size_t size, bool keep_cache,
                          os_input_range_t* range);
size_t os_input_range_read(os_input_range_t* range, unsigned char* buf,
                           size_t size, size_t offset, bool* failed);
void os_input_no_readahead(int fd);

// Reading ahead (where OS_INPUT_PREFETCH is true). os_input_prefetch begins
// a range as os_input_range_begin does, noting what is cached now and
// starting to read in the rest (with keep_cache too), on a descriptor that
// may be closed afterwards. The thread that reads the slice later takes the
// range over on its own descriptor with os_input_range_adopt: what the
// prefetch brought into the cache is then dropped after the read as if the
// read had brought it in. A range whose cached pages could only be told by
// reading the cache alone is not read in (the prefetched pages would pass
// for cached ones). A prefetched range that is not read (the run stopped)
// goes to os_input_range_abandon, which drops what the prefetch brought in.
// os_input_prefetch returns false when nothing was read in: the range was
// cached already, or could not be read in.
bool os_input_prefetch(int fd, size_t offset, size_t size, bool keep_cache,
                       os_input_range_t* range);
void os_input_range_adopt(int fd, os_input_range_t* range);
void os_input_range_abandon(int fd, os_input_range_t* range);

// True when standard output is a terminal (a console).
bool os_stdout_is_terminal();

// True when standard output is a pipe or socket whose reader has gone (a
// write would fail with EPIPE). On Windows a pipe tells it only to a write:
// false there.
bool os_stdout_reader_gone();
// The console is standard output unless the report goes to standard error
// (--json -): os_get_term_size then asks standard error. Call before any
// thread runs.
void os_set_console_fd(int fd);

// True when file descriptor fd is a terminal (a console).
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

// A per-thread pointer, null in every thread until that thread sets it.
// When a thread that set a non-null value ends, `destroy` is called with
// it on that thread. Keys are never freed; make one per use, once.
// (C++ thread_local objects with destructors are not relied on: the
// Windows toolchain's emulated TLS may free their storage before running
// their destructors.)
struct os_thread_key_t;
os_thread_key_t* os_thread_key_create(void (*destroy)(void*));
void* os_thread_key_get(os_thread_key_t* key);
void os_thread_key_set(os_thread_key_t* key, void* value);

// Bytes of physical memory available now, bounded by the cgroup v2 limit
// on Linux. On Linux ends the process as os_get_memory_usage does when
// /proc/meminfo cannot be read.
size_t os_get_available_memory();

// Resident memory (the working set) now and, when max_usage is not null,
// at its peak, bytes. On Linux, when the system's figures cannot be read
// (/proc/self/statm cannot be opened: no file descriptor left) the process
// ends with an "ERROR: " line and exit status 1 (interrupt_fatal); the
// first call opens the file and keeps it open: make it early.
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
