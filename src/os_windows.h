// What only the Windows platform layer has (os_windows.cc); included by
// os.h. No <windows.h> here: it stays in os_windows.cc.
#ifndef PELKO_OS_WINDOWS_H_
#define PELKO_OS_WINDOWS_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <string>

// What os_stat tells: the fields of struct stat that pelko reads, wide
// enough for a volume serial number and a 64-bit file index. st_mode uses
// the C run-time's S_IF* bits (S_ISDIR, S_ISREG work on it); a reparse
// point (a symbolic link or junction) not followed is S_IFLNK.
struct os_stat_t {
  uint64_t st_dev = 0;   // volume serial number
  uint64_t st_ino = 0;   // file index on the volume
  uint64_t st_rdev = 0;  // never a device: 0
  unsigned st_mode = 0;
  uint64_t st_size = 0;
  uint32_t st_nlink = 0;
};
#ifndef S_IFLNK
#define S_IFLNK 0xA000
#define S_ISLNK(m) (((m) & S_IFMT) == S_IFLNK)
#endif
#ifndef S_IFSOCK
#define S_IFSOCK 0xC000
#define S_ISSOCK(m) (((m) & S_IFMT) == S_IFSOCK)
#endif

// os_open_input's flags. Windows has no FIFO that a path opens: none for
// it. OS_INPUT_NOFOLLOW refuses a reparse point that names another file.
const int OS_INPUT_NONBLOCK = 0;
const int OS_INPUT_NOFOLLOW = 1;

// No reading ahead: Windows cannot drop from its cache what a prefetch
// would bring in.
const bool OS_INPUT_PREFETCH = false;

// The slice being read by a thread (os.h: os_input_range_begin).
struct os_input_range_t {
  int fd = -1;
  size_t offset = 0;
  size_t size = 0;
};

// UTF-8 to UTF-16 and back. Unpaired surrogates, which Windows names may
// hold, travel as their three-byte forms (WTF-8), so that every name
// survives the round trip; other bytes that are not UTF-8 become U+FFFD.
std::wstring os_widen(const std::string& s);
std::string os_narrow(const std::wstring& s);

// The path as the wide-character calls take it: "\\?\" before an absolute
// path that is too long for the plain form (its "/" become "\" then).
std::wstring os_wide_path(const std::string& path);

#endif  // PELKO_OS_WINDOWS_H_
