// What the platform layer does alike on every platform, over the queries of
// os_linux.cc or os_windows.cc: os_get_path_info (what the file status
// says), os_open_input_retry, os_file_kind.
#include <errno.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>

#include "os.h"

int os_get_path_info(const TCHAR* path, size_t* fs_size, size_t* fs_n_files,
                     DEVTYPE* dev_type, bool follow_links) {
  *fs_size = INVALID_SIZE_T;
  *fs_n_files = 1;
  os_stat_t st;
  if (os_stat(path, &st, follow_links) != 0) {
    const int err = errno;
    std::cerr << "ERROR: os_get_path_info(" << path << ") failed. "
              << get_last_error_str() << std::endl;
    return err;
  }
  if (S_ISREG(st.st_mode)) {
    *fs_size = (size_t)st.st_size;
    *dev_type = DEVTYPE_FILE;
    return 0;
  }
  if (S_ISBLK(st.st_mode)) {
    const int res = os_get_blockdev_size(path, fs_size);
    if (res != 0) return res;
    *fs_n_files = 1;
    *dev_type = DEVTYPE_BLOCK;
    return 0;
  }
  if (S_ISDIR(st.st_mode)) {
    bool is_filesystem = false;
    int res = os_is_filesystem(path, &is_filesystem);
    if (res != 0) return res;
    if (is_filesystem) {
      res = os_get_filesystem_stats(path, fs_size, fs_n_files);
      if (res != 0) return res;
      *dev_type = DEVTYPE_FILESYSTEM;
    } else {
      *fs_size = INVALID_SIZE_T;
      *fs_n_files = INVALID_SIZE_T;
      *dev_type = DEVTYPE_DIRECTORY;
    }
    return 0;
  }
  if (S_ISCHR(st.st_mode)) {
    *dev_type = DEVTYPE_CHR;
    return 0;
  }
  if (S_ISFIFO(st.st_mode)) {
    *dev_type = DEVTYPE_FIFO;
    return 0;
  }
  if (!follow_links && S_ISLNK(st.st_mode)) {
    *dev_type = DEVTYPE_LNK;
    return 0;
  }
  if (!follow_links && S_ISSOCK(st.st_mode)) {
    *dev_type = DEVTYPE_SOCK;
    return 0;
  }
  *dev_type = DEVTYPE_UNKNOWN;
  std::cerr << "ERROR: unsupported device " << path
            << ", st.st_mode=" << (unsigned int)st.st_mode << std::endl;
  return ENODEV;
}

static bool out_of_descriptors(int err) { return err == EMFILE || err == ENFILE; }

int os_open_input_retry(const TCHAR* path, int extra_flags,
                        bool (*stop)(void*), void* stop_arg) {
  int fd = os_open_input(path, extra_flags);
  int waited_ms = 0, step_ms = 10;
  while (fd < 0 && out_of_descriptors(errno) && waited_ms < OS_DESCRIPTOR_WAIT_MS &&
         !(stop != nullptr && stop(stop_arg))) {
    const int err = errno;
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    waited_ms += step_ms;
    step_ms = std::min(100, step_ms * 2);
    fd = os_open_input(path, extra_flags);
    if (fd < 0 && !out_of_descriptors(errno)) break;
    if (fd < 0) errno = err;
  }
  return fd;
}

const char* os_file_kind(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "a regular file";
}
