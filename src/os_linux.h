// What only the Linux platform layer has (os_linux.cc); included by os.h.
#ifndef PELKO_OS_LINUX_H_
#define PELKO_OS_LINUX_H_

#include <dirent.h>
#include <fcntl.h>
#include <stddef.h>
#include <sys/stat.h>

#include <vector>

typedef struct stat os_stat_t;

// os_open_input's flags: for a FIFO; not following a symbolic link.
const int OS_INPUT_NONBLOCK = O_NONBLOCK;
const int OS_INPUT_NOFOLLOW = O_NOFOLLOW;

// Buckets are read ahead: the kernel fills the page cache for the next
// ones while this one is analysed (os.h: os_input_prefetch).
const bool OS_INPUT_PREFETCH = true;

// The slice being read by a thread (os.h: os_input_range_begin).
struct os_input_range_t {
  int fd = -1;
  size_t offset = 0;
  size_t size = 0;
  int method = 0;  // how cached pages are told apart (os_linux.cc)
  size_t first_page = 0;  // byte offset of the page holding offset
  size_t released = 0;    // pages of the range dealt with so far
  std::vector<unsigned char> cached;  // per page: cached at the beginning
};

// The next entry of a directory stream (readdir). Returns 0 with *entry set,
// or with *entry null at the end of the directory; after a failed read, the
// error number (errno is set to it too) with *entry null. The entry is valid
// until the next call on the same stream. Safe on distinct streams at once.
// os_dir_next reads through it.
int os_read_dir(DIR* dir, struct dirent** entry);

// Test seam: os_read_dir calls func instead of readdir until it is called
// again with null. A replacement reports an error as readdir does: null with
// errno set. Set it only while no walk runs.
typedef struct dirent* (*os_readdir_func_t)(DIR* dir);
void os_set_readdir_for_test(os_readdir_func_t func);

#endif  // PELKO_OS_LINUX_H_
