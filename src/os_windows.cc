// Platform layer for Windows: path and device probing, directories, reading
// inputs, output files, system and process figures, the console.
//
// Every system call takes UTF-16: paths arrive in UTF-8 (os.h) and are
// widened here, names found are narrowed back. A failed call sets errno
// (for the callers, as on Linux) and remembers the system's own error code,
// whose text get_last_error_str() returns while errno still says that
// failure.
#include <windows.h>
#include <winioctl.h>
#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <psapi.h>
#include <shellapi.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <iostream>
#include <streambuf>
#include <string>
#include <unordered_map>
#include <vector>

#include "interrupt.h"
#include "mutex.h"
#include "os.h"
#include "pelko_assert.h"
#include "types.h"

// --- text --------------------------------------------------------------

std::wstring os_widen(const std::string& s) {
  std::wstring out;
  out.reserve(s.size());
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    const unsigned c = p[i];
    unsigned cp = 0xFFFD, len = 1;
    auto cont = [&](size_t k) { return k < n && (p[k] & 0xC0) == 0x80; };
    if (c < 0x80) {
      cp = c;
    } else if (c >= 0xC2 && c < 0xE0 && cont(i + 1)) {
      cp = ((c & 0x1F) << 6) | (p[i + 1] & 0x3F);
      len = 2;
    } else if (c >= 0xE0 && c < 0xF0 && cont(i + 1) && cont(i + 2)) {
      cp = ((c & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F);
      len = 3;
      if (cp < 0x800) cp = 0xFFFD, len = 1;  // overlong
      // A surrogate stays one (WTF-8): a name that held it keeps it.
    } else if (c >= 0xF0 && c < 0xF5 && cont(i + 1) && cont(i + 2) &&
               cont(i + 3)) {
      cp = ((c & 0x07) << 18) | ((p[i + 1] & 0x3F) << 12) |
           ((p[i + 2] & 0x3F) << 6) | (p[i + 3] & 0x3F);
      len = 4;
      if (cp < 0x10000 || cp > 0x10FFFF) cp = 0xFFFD, len = 1;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += (wchar_t)(0xD800 + (cp >> 10));
      out += (wchar_t)(0xDC00 + (cp & 0x3FF));
    } else {
      out += (wchar_t)cp;
    }
    i += len;
  }
  return out;
}

std::string os_narrow(const std::wstring& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); i++) {
    unsigned cp = (unsigned)s[i] & 0xFFFF;
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() &&
        ((unsigned)s[i + 1] & 0xFC00) == 0xDC00) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (((unsigned)s[i + 1] & 0xFFFF) - 0xDC00);
      i++;
    }
    if (cp < 0x80) {
      out += (char)cp;
    } else if (cp < 0x800) {
      out += (char)(0xC0 | (cp >> 6));
      out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += (char)(0xE0 | (cp >> 12));
      out += (char)(0x80 | ((cp >> 6) & 0x3F));
      out += (char)(0x80 | (cp & 0x3F));
    } else {
      out += (char)(0xF0 | (cp >> 18));
      out += (char)(0x80 | ((cp >> 12) & 0x3F));
      out += (char)(0x80 | ((cp >> 6) & 0x3F));
      out += (char)(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

std::wstring os_wide_path(const std::string& path) {
  std::wstring w = os_widen(path);
  // The plain form ends near MAX_PATH; "\\?\" lifts that for absolute paths
  // (drive or UNC), which the system then takes literally.
  if (w.size() < MAX_PATH - 12 || w.compare(0, 4, L"\\\\?\\") == 0) return w;
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  if (w.size() > 2 && w[1] == L':' && w[2] == L'\\') return L"\\\\?\\" + w;
  if (w.compare(0, 2, L"\\\\") == 0 && w.compare(0, 4, L"\\\\.\\") != 0)
    return L"\\\\?\\UNC\\" + w.substr(2);
  return os_widen(path);
}

namespace {

// --- errors ------------------------------------------------------------

// The system's code of this thread's last failure, and the errno it set.
thread_local DWORD g_win_error = 0;
thread_local int g_win_errno = 0;

int errno_of(DWORD err) {
  switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_PATHNAME:
    case ERROR_NOT_READY:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_PRIVILEGE_NOT_HELD:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
      return ENOSYS;
    default:
      return EIO;
  }
}

// Records err (GetLastError() by default) as this thread's failure and sets
// errno; returns the errno.
int fail_with(DWORD err = GetLastError()) {
  g_win_error = err;
  g_win_errno = errno_of(err);
  errno = g_win_errno;
  return g_win_errno;
}

// The system's words for a code, without the line end it closes with.
std::string system_text(DWORD err) {
  wchar_t* buf = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, err, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::string text;
  if (n != 0 && buf != nullptr) text = os_narrow(std::wstring(buf, n));
  if (buf != nullptr) LocalFree(buf);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' ||
                           text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  if (text.empty()) text = "Windows error " + std::to_string(err);
  return text;
}

void print_os_error(const char* call, const TCHAR* path, const char* sep) {
  std::cerr << "ERROR: " << call << path << ") failed" << sep
            << get_last_error_str() << std::endl;
}

class Handle {
 public:
  explicit Handle(HANDLE h) : m_h(h) {}
  ~Handle() {
    if (ok()) CloseHandle(m_h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool ok() const { return m_h != INVALID_HANDLE_VALUE && m_h != nullptr; }
  HANDLE get() const { return m_h; }

 private:
  HANDLE m_h;
};

const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A path in the device namespace (\\.\C:, \\.\PhysicalDrive0), pipes aside.
bool is_device_path(const std::string& p) {
  return p.size() > 4 && (p[0] == '\\' || p[0] == '/') &&
         (p[1] == '\\' || p[1] == '/') && p[2] == '.' &&
         (p[3] == '\\' || p[3] == '/') && _strnicmp(p.c_str() + 4, "pipe", 4) != 0;
}

uint64_t text_hash(const std::string& s) {
  uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : s) h = (h ^ (uint64_t)toupper(c)) * 1099511628211ULL;
  return h;
}

// Only a reparse point that names another file (a symbolic link, a
// junction) is a link: the others (deduplicated files of Windows Server,
// files of cloud storage, HSM stubs) are the files themselves.
bool is_link_tag(DWORD tag) { return IsReparseTagNameSurrogate(tag) != 0; }

void fill_stat(const BY_HANDLE_FILE_INFORMATION& info, DWORD file_type,
               bool reparse_kept, os_stat_t* st) {
  *st = os_stat_t();
  st->st_dev = info.dwVolumeSerialNumber;
  st->st_ino = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
  st->st_size = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
  st->st_nlink = info.nNumberOfLinks;
  if (file_type == FILE_TYPE_CHAR) {
    st->st_mode = S_IFCHR;
  } else if (file_type == FILE_TYPE_PIPE) {
    st->st_mode = S_IFIFO;
  } else if (reparse_kept &&
             (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    st->st_mode = S_IFLNK;
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    st->st_mode = S_IFDIR;
  } else {
    st->st_mode = S_IFREG;
  }
  st->st_mode |= (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
}

int stat_handle(HANDLE h, bool reparse_kept, os_stat_t* st) {
  BY_HANDLE_FILE_INFORMATION info;
  const DWORD type = GetFileType(h);
  if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
    *st = os_stat_t();
    st->st_mode = type == FILE_TYPE_CHAR ? S_IFCHR : S_IFIFO;
    st->st_ino = (uint64_t)(uintptr_t)h;
    return 0;
  }
  if (!GetFileInformationByHandle(h, &info)) {
    fail_with();
    return -1;
  }
  if (reparse_kept && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof(tag)) &&
        !is_link_tag(tag.ReparseTag))
      reparse_kept = false;
  }
  fill_stat(info, type, reparse_kept, st);
  return 0;
}

HANDLE open_for_query(const std::wstring& w, bool follow_links) {
  return CreateFileW(w.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                     OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS |
                         (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                     nullptr);
}

int get_blockdev_size(HANDLE h, const TCHAR* path, size_t* size) {
  GET_LENGTH_INFORMATION info;
  DWORD got = 0;
  if (!DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info,
                       sizeof(info), &got, nullptr)) {
    fail_with();
    print_os_error("DeviceIoControl ( IOCTL_DISK_GET_LENGTH_INFO, ", path, ", ");
    return 2;
  }
  *size = (size_t)info.Length.QuadPart;
  return 0;
}

HANDLE open_read(const std::wstring& w, DWORD flags) {
  // Reading must not move the access time: a handle that may write the
  // attributes is told to leave it (the counterpart of O_NOATIME). Who may
  // not write them reads all the same.
  HANDLE h = CreateFileW(w.c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES,
                         SHARE_ALL, nullptr, OPEN_EXISTING, flags, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    FILETIME keep = {0xFFFFFFFF, 0xFFFFFFFF};
    SetFileTime(h, nullptr, &keep, nullptr);
    return h;
  }
  return CreateFileW(w.c_str(), GENERIC_READ, SHARE_ALL, nullptr,
                     OPEN_EXISTING, flags, nullptr);
}

}  // namespace

// --- probing -----------------------------------------------------------

int os_stat(const TCHAR* path, os_stat_t* st, bool follow_links) {
  const std::wstring w = os_wide_path(path);
  if (is_device_path(path)) {
    // A raw device has no file status: it is one when it can be opened.
    Handle h(CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr));
    if (!h.ok()) {
      fail_with();
      return -1;
    }
    *st = os_stat_t();
    st->st_mode = S_IFBLK | 0444;
    st->st_ino = text_hash(path);
    // \\.\D: is the volume D:\ holds: outputs there lie on the input.
    const std::string p(path);
    if (p.size() == 6 && p[5] == ':') {
      const std::wstring root = std::wstring(1, (wchar_t)p[4]) + L":\\";
      DWORD serial = 0;
      if (GetVolumeInformationW(root.c_str(), nullptr, 0, &serial, nullptr,
                                nullptr, nullptr, 0))
        st->st_rdev = serial;
    }
    return 0;
  }
  Handle h(open_for_query(w, follow_links));
  if (h.ok()) return stat_handle(h.get(), !follow_links, st);
  // What may not be opened at all may still show its attributes.
  const DWORD err = GetLastError();
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ||
      !GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &data)) {
    fail_with(err);
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  info.dwFileAttributes = data.dwFileAttributes;
  info.nFileSizeHigh = data.nFileSizeHigh;
  info.nFileSizeLow = data.nFileSizeLow;
  info.nNumberOfLinks = 1;
  fill_stat(info, FILE_TYPE_DISK, !follow_links, st);
  st->st_ino = text_hash(path);
  return 0;
}

int os_get_blockdev_size(const TCHAR* path, size_t* size) {
  Handle h(CreateFileW(os_wide_path(path).c_str(), GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.ok()) {
    const int err = fail_with();
    print_os_error("os_get_path_info(", path, ". ");
    return err;
  }
  return get_blockdev_size(h.get(), path, size);
}

int os_is_filesystem(const TCHAR* path, bool* is_filesystem) {
  const std::wstring w = os_widen(path);
  wchar_t mount[MAX_PATH + 1] = {};
  if (!GetVolumePathNameW(w.c_str(), mount, MAX_PATH + 1)) {
    fail_with();
    print_os_error("GetVolumePathName(", path, ". ");
    return -1;
  }
  *is_filesystem = w == mount;
  return 0;
}

int os_get_filesystem_stats(const TCHAR* path, size_t* used_size,
                            size_t* n_files) {
  ULARGE_INTEGER total, free_bytes;
  if (!GetDiskFreeSpaceExW(os_wide_path(path).c_str(), nullptr, &total,
                           &free_bytes)) {
    fail_with();
    print_os_error("GetDiskFreeSpaceEx(", path, ". ");
    return -1;
  }
  *used_size = (size_t)(total.QuadPart - free_bytes.QuadPart);
  *n_files = INVALID_SIZE_T;
  return 0;
}

bool os_is_virtual_filesystem(const TCHAR*) { return false; }

bool os_real_path(const TCHAR* path, _TSTRING* real_path) {
  Handle h(open_for_query(os_wide_path(path), true));
  if (!h.ok()) {
    fail_with();
    return false;
  }
  std::vector<wchar_t> buf(MAX_PATH);
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(h.get(), buf.data(),
                                              (DWORD)buf.size(), VOLUME_NAME_DOS);
    if (n == 0) {
      fail_with();
      return false;
    }
    if (n < buf.size()) {
      buf.resize(n);
      break;
    }
    buf.resize(n + 1);
  }
  std::wstring w(buf.begin(), buf.end());
  if (w.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    w = L"\\\\" + w.substr(8);
  } else if (w.compare(0, 4, L"\\\\?\\") == 0) {
    w = w.substr(4);
  }
  for (wchar_t& c : w)
    if (c == L'\\') c = L'/';
  // A volume root keeps its separator (C:/); nothing else ends with one.
  while (w.size() > 3 && w.back() == L'/') w.pop_back();
  *real_path = os_narrow(w);
  return true;
}

size_t os_last_separator(const std::string& path) {
  return path.find_last_of("/\\");
}

// --- directories -------------------------------------------------------

struct os_dir_t {
  HANDLE find;
  WIN32_FIND_DATAW data;
  bool have;  // data holds an entry not returned yet
  std::string name;
};

// The listing's handle is no C run-time descriptor: there is no limit to
// wait for, and stop goes unused.
os_dir_t* os_dir_open(const TCHAR* path, bool (*)(void*), void*) {
  std::string pattern(path);
  if (pattern.empty() || (pattern.back() != '/' && pattern.back() != '\\'))
    pattern += '\\';
  pattern += '*';
  os_dir_t* dir = new os_dir_t;
  dir->find = FindFirstFileExW(os_wide_path(pattern).c_str(), FindExInfoBasic,
                               &dir->data, FindExSearchNameMatch, nullptr,
                               FIND_FIRST_EX_LARGE_FETCH);
  if (dir->find == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    delete dir;
    // An empty listing still has "." and "..", except at a volume root.
    if (err == ERROR_FILE_NOT_FOUND) {
      os_stat_t st;
      if (os_stat(path, &st, true) == 0 && S_ISDIR(st.st_mode)) {
        dir = new os_dir_t;
        dir->find = INVALID_HANDLE_VALUE;
        dir->have = false;
        return dir;
      }
    }
    fail_with(err);
    return nullptr;
  }
  dir->have = true;
  return dir;
}

int os_dir_next(os_dir_t* dir, const TCHAR** name, size_t* file_size,
                file_id_t* id) {
  *name = nullptr;
  *file_size = INVALID_SIZE_T;
  id->dev = id->ino = 0;  // the listing has no file index
  if (dir->find == INVALID_HANDLE_VALUE) return 0;
  if (!dir->have) {
    if (!FindNextFileW(dir->find, &dir->data)) {
      const DWORD err = GetLastError();
      if (err == ERROR_NO_MORE_FILES) return 0;
      return fail_with(err);
    }
  }
  dir->have = false;
  dir->name = os_narrow(dir->data.cFileName);
  *name = dir->name.c_str();
  const DWORD a = dir->data.dwFileAttributes;
  // Links, junctions and devices take the full probe; files behind another
  // kind of reparse point (deduplicated, in cloud storage) are files.
  const bool link = (a & FILE_ATTRIBUTE_REPARSE_POINT) && is_link_tag(dir->data.dwReserved0);
  if (!link && !(a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
    *file_size = ((size_t)dir->data.nFileSizeHigh << 32) | dir->data.nFileSizeLow;
  return 0;
}

void os_dir_close(os_dir_t* dir) {
  if (dir->find != INVALID_HANDLE_VALUE) FindClose(dir->find);
  delete dir;
}

// --- reading inputs ----------------------------------------------------

namespace {

// The descriptors of os_open_input that are raw devices: their handles tell
// no file status of their own, so os_fstat_input answers as os_stat did.
Mutex& device_fds_mutex() {
  static Mutex* mu = new Mutex;  // never destroyed: inputs close until the end
  return *mu;
}
std::unordered_map<int, uint64_t>& device_fds() {
  static std::unordered_map<int, uint64_t>* fds =
      new std::unordered_map<int, uint64_t>;
  return *fds;
}

}  // namespace

int os_open_input(const TCHAR* path, int extra_flags) {
  const bool nofollow = (extra_flags & OS_INPUT_NOFOLLOW) != 0;
  // No sequential-scan hint: slices are read in random order.
  HANDLE h = open_read(os_wide_path(path), FILE_ATTRIBUTE_NORMAL |
                       (nofollow ? FILE_FLAG_OPEN_REPARSE_POINT : 0));
  if (h == INVALID_HANDLE_VALUE) {
    fail_with();
    return -1;
  }
  if (nofollow) {
    // A link opened as itself is refused, as O_NOFOLLOW does.
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof(tag)) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        is_link_tag(tag.ReparseTag)) {
      CloseHandle(h);
      g_win_errno = 0;
      errno = ELOOP;
      return -1;
    }
  }
  const int fd = _open_osfhandle((intptr_t)h, _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    g_win_errno = 0;
    errno = EMFILE;
    return -1;
  }
  if (is_device_path(path)) {
    MutexLock lock(&device_fds_mutex());
    device_fds()[fd] = text_hash(path);
  }
  return fd;
}

void os_close_input(int fd) {
  {
    MutexLock lock(&device_fds_mutex());
    device_fds().erase(fd);
  }
  _close(fd);
}

int os_fstat_input(int fd, os_stat_t* st) {
  {
    MutexLock lock(&device_fds_mutex());
    auto d = device_fds().find(fd);
    if (d != device_fds().end()) {
      *st = os_stat_t();
      st->st_mode = S_IFBLK | 0444;
      st->st_ino = d->second;
      return 0;
    }
  }
  const HANDLE h = (HANDLE)_get_osfhandle(fd);
  if (h == INVALID_HANDLE_VALUE) {
    g_win_errno = 0;
    errno = EBADF;
    return -1;
  }
  return stat_handle(h, false, st);
}

ssize_t os_read_at(int fd, void* buf, size_t size, uint64_t offset) {
  const HANDLE h = (HANDLE)_get_osfhandle(fd);
  OVERLAPPED ov = {};
  ov.Offset = (DWORD)offset;
  ov.OffsetHigh = (DWORD)(offset >> 32);
  DWORD n = 0;
  if (!ReadFile(h, buf, (DWORD)std::min<size_t>(size, 1u << 30), &n, &ov)) {
    const DWORD err = GetLastError();
    if (err == ERROR_HANDLE_EOF) return 0;
    fail_with(err);
    return -1;
  }
  return (ssize_t)n;
}

size_t os_free_descriptors() {
  // The C run-time's table of descriptors has room for 2048 (msvcrt), less
  // the standard three; the handles behind them have no limit that matters
  // here. Those open already are few: the run's outputs.
  return 2048 - 3 - 16;
}

void os_input_no_readahead(int) {}

void os_input_range_begin(int fd, size_t offset, size_t size, bool,
                          os_input_range_t* range) {
  range->fd = fd;
  range->offset = offset;
  range->size = size;
}

bool os_input_prefetch(int fd, size_t offset, size_t size, bool keep_cache,
                       os_input_range_t* range) {
  os_input_range_begin(fd, offset, size, keep_cache, range);
  return false;
}

void os_input_range_adopt(int fd, os_input_range_t* range) { range->fd = fd; }

void os_input_range_abandon(int fd, os_input_range_t* range) {
  range->fd = fd;
}

size_t os_input_range_read(os_input_range_t* range, unsigned char* buf,
                           size_t size, size_t offset, bool* failed) {
  PELKO_ASSERT(offset >= range->offset &&
               offset + size <= range->offset + range->size);
  *failed = false;
  const HANDLE h = (HANDLE)_get_osfhandle(range->fd);
  size_t got = 0;
  while (got < size) {
    OVERLAPPED ov = {};
    const uint64_t at = offset + got;
    ov.Offset = (DWORD)at;
    ov.OffsetHigh = (DWORD)(at >> 32);
    const DWORD want = (DWORD)std::min<size_t>(size - got, 1u << 30);
    DWORD n = 0;
    if (!ReadFile(h, buf + got, want, &n, &ov)) {
      const DWORD err = GetLastError();
      if (err == ERROR_HANDLE_EOF) break;
      fail_with(err);
      *failed = true;
      break;
    }
    if (n == 0) break;  // end of file: the file shrank since the scan
    got += n;
  }
  return got;
}

// --- output files ------------------------------------------------------

FILE* os_fopen(const std::string& path, const char* mode) {
  // Always binary: line ends as on Linux. "e" (close on exec) is "N".
  std::wstring m;
  for (const char* c = mode; *c; c++) {
    if (*c == 'e') {
      m += L'N';
    } else if (*c != 'b') {
      m += (wchar_t)*c;
    }
  }
  m += L'b';
  FILE* f = _wfopen(os_wide_path(path).c_str(), m.c_str());
  if (f == nullptr) g_win_errno = 0;  // errno is the C run-time's own
  return f;
}

int os_create_new(const std::string& path) {
  const int fd = _wopen(os_wide_path(path).c_str(),
                        _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                        _S_IREAD | _S_IWRITE);
  if (fd < 0) g_win_errno = 0;  // errno is the C run-time's own
  return fd;
}

bool os_write_fd(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    const unsigned want = (unsigned)std::min<size_t>(size - done, 1u << 30);
    const int w = _write(fd, p + done, want);
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return false;
    }
    done += (size_t)w;
  }
  return true;
}

int os_sync_fd(int fd) { return _commit(fd); }

int os_close_fd(int fd) { return _close(fd); }

int os_rename(const std::string& from, const std::string& to) {
  if (MoveFileExW(os_wide_path(from).c_str(), os_wide_path(to).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return 0;
  fail_with();
  return -1;
}

int os_unlink(const std::string& path) {
  if (DeleteFileW(os_wide_path(path).c_str())) return 0;
  fail_with();
  return -1;
}

int os_dir_writable(const std::string& dir) {
  const DWORD a = GetFileAttributesW(os_wide_path(dir).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) {
    fail_with();
    return -1;
  }
  if (!(a & FILE_ATTRIBUTE_DIRECTORY)) {
    errno = ENOTDIR;
    return -1;
  }
  return 0;
}

int os_file_writable(const std::string& path) {
  const DWORD a = GetFileAttributesW(os_wide_path(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) {
    fail_with();
    return -1;
  }
  if ((a & FILE_ATTRIBUTE_READONLY) && !(a & FILE_ATTRIBUTE_DIRECTORY)) {
    g_win_errno = 0;
    errno = EACCES;
    return -1;
  }
  return 0;
}

int os_fstat_file(FILE* f, os_stat_t* st) {
  return stat_handle((HANDLE)_get_osfhandle(_fileno(f)), false, st);
}

bool os_random_bytes(void* buf, size_t size) {
  return BCryptGenRandom(nullptr, static_cast<PUCHAR>(buf), (ULONG)size,
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

std::string os_host_name() {
  wchar_t name[256];
  DWORD n = 256;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &n)) return "";
  return os_narrow(std::wstring(name, n));
}

// --- the command line and the console ----------------------------------

void os_main_args(int* argc, char*** argv) {
  int n = 0;
  wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &n);
  if (wargv == nullptr) return;
  static std::vector<std::string> args;
  static std::vector<char*> ptrs;
  args.clear();
  for (int i = 0; i < n; i++) args.push_back(os_narrow(wargv[i]));
  LocalFree(wargv);
  ptrs.clear();
  for (std::string& a : args) ptrs.push_back(&a[0]);
  ptrs.push_back(nullptr);
  *argc = n;
  *argv = ptrs.data();
}

namespace {

// Writes UTF-8 text to a console as UTF-16, whole characters at a time.
class ConsoleBuf : public std::streambuf {
 public:
  explicit ConsoleBuf(HANDLE h) : m_h(h) {}

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) m_pending += (char)c;
    if (c == '\n' || m_pending.size() >= 4096) sync();
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    m_pending.append(s, (size_t)n);
    if (m_pending.find('\n') != std::string::npos || m_pending.size() >= 4096)
      sync();
    return n;
  }
  int sync() override {
    // A character cut at the end waits for its other bytes.
    size_t end = m_pending.size();
    size_t k = end;
    while (k > 0 && end - k < 4 && ((unsigned char)m_pending[k - 1] & 0xC0) == 0x80) k--;
    if (k > 0 && end - k < 4) {
      const unsigned char lead = (unsigned char)m_pending[k - 1];
      const size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      if (need > end - k + 1) end = k - 1;
    }
    const std::wstring w = os_widen(m_pending.substr(0, end));
    m_pending.erase(0, end);
    size_t done = 0;
    while (done < w.size()) {
      DWORD n = 0;
      if (!WriteConsoleW(m_h, w.data() + done, (DWORD)(w.size() - done), &n,
                         nullptr) ||
          n == 0)
        return -1;
      done += n;
    }
    return 0;
  }

 private:
  HANDLE m_h;
  std::string m_pending;
};

bool is_console(HANDLE h) {
  DWORD mode;
  return h != INVALID_HANDLE_VALUE && h != nullptr && GetConsoleMode(h, &mode);
}

bool fd_is_console(int fd) { return is_console((HANDLE)_get_osfhandle(fd)); }

int g_console_fd = 1;

}  // namespace

void os_setup_console() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  // What goes through the C streams (usage errors) is UTF-8 too.
  SetConsoleOutputCP(CP_UTF8);
  static ConsoleBuf out(GetStdHandle(STD_OUTPUT_HANDLE));
  static ConsoleBuf err(GetStdHandle(STD_ERROR_HANDLE));
  if (fd_is_console(1)) std::cout.rdbuf(&out);
  if (fd_is_console(2)) std::cerr.rdbuf(&err);
}

bool os_stdout_is_terminal() { return fd_is_console(1); }

bool os_stdout_reader_gone() { return false; }

void os_set_console_fd(int fd) { g_console_fd = fd; }

bool os_fd_is_terminal(int fd) { return fd_is_console(fd); }

bool os_same_file(int fd1, int fd2) {
  if (fd_is_console(fd1) && fd_is_console(fd2)) return true;
  const HANDLE a = (HANDLE)_get_osfhandle(fd1), b = (HANDLE)_get_osfhandle(fd2);
  if (a == INVALID_HANDLE_VALUE || b == INVALID_HANDLE_VALUE) return false;
  if (a == b) return true;
  if (GetFileType(a) != FILE_TYPE_DISK || GetFileType(b) != FILE_TYPE_DISK)
    return false;
  BY_HANDLE_FILE_INFORMATION ia, ib;
  return GetFileInformationByHandle(a, &ia) && GetFileInformationByHandle(b, &ib) &&
         ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

int os_get_term_size(int* width, int* height) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo((HANDLE)_get_osfhandle(g_console_fd), &info))
    return -1;
  const int w = info.srWindow.Right - info.srWindow.Left + 1;
  const int h = info.srWindow.Bottom - info.srWindow.Top + 1;
  if (w <= 0 || h <= 0) return -1;
  if (width) *width = w;
  if (height) *height = h;
  return 0;
}

// --- system and process figures ----------------------------------------

void os_share_heap() {}  // one heap for all threads already

// Fiber-local storage: its callback gets the value itself at thread end,
// so nothing depends on the order in which the run-time frees its own
// per-thread storage.
struct os_thread_key_t {
  DWORD index;
};

os_thread_key_t* os_thread_key_create(void (*destroy)(void*)) {
  os_thread_key_t* k = new os_thread_key_t;
  // One calling convention on x64: the callback may be `destroy` itself.
  static_assert(sizeof(void*) == 8, "a 64-bit build");
  k->index = FlsAlloc(reinterpret_cast<PFLS_CALLBACK_FUNCTION>(destroy));
  PELKO_ASSERT(k->index != FLS_OUT_OF_INDEXES);
  return k;
}

void* os_thread_key_get(os_thread_key_t* key) { return FlsGetValue(key->index); }

void os_thread_key_set(os_thread_key_t* key, void* value) {
  PELKO_ASSERT(FlsSetValue(key->index, value));
}

int os_get_cpu_count() {
  DWORD_PTR process_mask = 0, system_mask = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask)) {
    int n = 0;
    for (DWORD_PTR m = process_mask; m != 0; m &= m - 1) n++;
    if (n > 0) return n;
  }
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  return si.dwNumberOfProcessors > 0 ? (int)si.dwNumberOfProcessors : 1;
}

size_t os_get_available_memory() {
  MEMORYSTATUSEX ms;
  ms.dwLength = sizeof(ms);
  if (!GlobalMemoryStatusEx(&ms)) {
    fail_with();
    interrupt_fatal("GlobalMemoryStatusEx failed, " + get_last_error_str());
  }
  return (size_t)ms.ullAvailPhys;
}

void os_get_memory_usage(size_t* cur_usage, size_t* max_usage) {
  PELKO_ASSERT(cur_usage != nullptr);
  PROCESS_MEMORY_COUNTERS pmc;
  pmc.cb = sizeof(pmc);
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc))) {
    fail_with();
    interrupt_fatal("GetProcessMemoryInfo failed, " + get_last_error_str());
  }
  *cur_usage = (size_t)pmc.WorkingSetSize;
  if (max_usage) {
    const size_t peak = (size_t)pmc.PeakWorkingSetSize;
    *max_usage = peak < *cur_usage ? *cur_usage : peak;
  }
}

_TSTRING get_last_error_str() {
  const int err = errno;
  if (err != 0 && err == g_win_errno) return system_text(g_win_error);
  return strerror(err);
}
