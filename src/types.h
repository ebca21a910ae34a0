// Path and size types and the kinds of input paths, shared by every layer.
#ifndef PELKO_TYPES_H_
#define PELKO_TYPES_H_

#include <stddef.h>
#include <stdint.h>

#include <list>
#include <string>

// A path is the operating system's bytes, never converted.
typedef char TCHAR;
typedef std::string _TSTRING;

// Marks an unknown size or file count.
const size_t INVALID_SIZE_T = (size_t)-1;

const int64_t ONE_KB = 1024LL;
const int64_t ONE_MB = ONE_KB * 1024LL;
const int64_t ONE_GB = ONE_MB * 1024LL;
const int64_t ONE_TB = ONE_GB * 1024LL;

// Kinds of paths and directory entries.
enum DEVTYPE : int32_t {
  DEVTYPE_UNKNOWN = 0,
  DEVTYPE_BLOCK = 1,       // raw block device
  DEVTYPE_FILESYSTEM = 2,  // root of a mounted file system
  DEVTYPE_DIRECTORY = 3,
  DEVTYPE_FILE = 4,  // regular file
  DEVTYPE_CHR = 5,   // character device
  DEVTYPE_FIFO = 6,
  DEVTYPE_LNK = 7,  // symbolic link (only when links are not followed)
  DEVTYPE_SOCK = 8,
};

// Display names, indexed by DEVTYPE.
extern const char* const DEVTYPE_TO_STR[9];

// One input path. parse_opts creates it unprobed; the driver fills the last
// three fields from os_get_path_info. Records live until the process ends.
struct root_t {
  _TSTRING path;
  DEVTYPE dev_type;
  size_t fs_size;     // INVALID_SIZE_T = unknown
  size_t fs_n_files;  // INVALID_SIZE_T = unknown
};

typedef std::list<root_t*> LIST_ROOTS;

// What tells a file found by the scan from one put in its place later: its
// device and inode as the scan saw them, and whether its path is followed
// when it is a symbolic link (a root given on the command line is; an entry
// met inside a directory is not). An inode of 0 is not known: such a file
// is read without the check.
struct file_id_t {
  uint64_t dev = 0;
  uint64_t ino = 0;
  bool follow = false;
  bool is_block = false;  // a block device, not a regular file
};

#endif  // PELKO_TYPES_H_
