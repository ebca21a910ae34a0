#include <windows.h>

#include <errno.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "os.h"

namespace {

// A fresh directory under the system's temporary directory, removed with
// what is in it (one level of subdirectories) when the test ends.
class TempDir {
 public:
  TempDir() {
    wchar_t base[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, base);
    unsigned char rnd[4];
    os_random_bytes(rnd, sizeof(rnd));
    char tag[16];
    snprintf(tag, sizeof(tag), "%02x%02x%02x%02x", rnd[0], rnd[1], rnd[2], rnd[3]);
    m_path = os_narrow(base) + "pelko_os_" + tag;
    EXPECT_TRUE(CreateDirectoryW(os_widen(m_path).c_str(), nullptr));
  }
  ~TempDir() { remove_tree(m_path); }
  const std::string& path() const { return m_path; }

  static void remove_tree(const std::string& dir) {
    WIN32_FIND_DATAW d;
    HANDLE f = FindFirstFileW(os_widen(dir + "\\*").c_str(), &d);
    if (f != INVALID_HANDLE_VALUE) {
      do {
        const std::string name = os_narrow(d.cFileName);
        if (name == "." || name == "..") continue;
        const std::string p = dir + "\\" + name;
        if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          remove_tree(p);
        } else {
          DeleteFileW(os_widen(p).c_str());
        }
      } while (FindNextFileW(f, &d));
      FindClose(f);
    }
    RemoveDirectoryW(os_widen(dir).c_str());
  }

 private:
  std::string m_path;
};

void write_file(const std::string& path, const std::string& data) {
  FILE* f = os_fopen(path, "w");
  ASSERT_NE(f, nullptr) << path;
  ASSERT_EQ(fwrite(data.data(), 1, data.size(), f), data.size());
  ASSERT_EQ(fclose(f), 0);
}

std::string read_file(const std::string& path) {
  FILE* f = os_fopen(path, "r");
  if (f == nullptr) return "<none>";
  std::string s;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

// UTF-8 and UTF-16 convert both ways without loss, unpaired surrogates
// included (as their three-byte forms); bytes that are not UTF-8 become
// U+FFFD rather than vanish.
TEST(OsWindowsTest, TextConversion) {
  const std::string samples[] = {"", "plain", "donn\xc3\xa9" "es",
                                 "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e",
                                 "\xf0\x9f\x98\x80 emoji", "\xe2\x82\xac"};
  for (const std::string& s : samples) EXPECT_EQ(os_narrow(os_widen(s)), s) << s;
  EXPECT_EQ(os_widen("\xc3\xa9"), std::wstring(L"\u00e9"));
  EXPECT_EQ(os_widen("\xf0\x9f\x98\x80"), std::wstring(L"\xd83d\xde00"));
  const std::wstring lone = {L'a', (wchar_t)0xD800, L'b'};
  EXPECT_EQ(os_narrow(lone), "a\xed\xa0\x80" "b");
  EXPECT_EQ(os_widen(os_narrow(lone)), lone);
  EXPECT_EQ(os_widen("a\xff" "b"), std::wstring(L"a\xfffd" L"b"));
  EXPECT_EQ(os_widen("\xc0\xaf"), std::wstring(L"\xfffd\xfffd"));  // overlong
  EXPECT_EQ(os_widen("\xe2\x82"), std::wstring(L"\xfffd\xfffd"));  // cut short
}

// Short paths go to the system as they are; long absolute ones get the
// "\\?\" form with backslashes, which the system takes literally.
TEST(OsWindowsTest, WidePaths) {
  EXPECT_EQ(os_wide_path("C:/data/x"), std::wstring(L"C:/data/x"));
  const std::string deep = "C:/" + std::string(300, 'a') + "/b";
  const std::wstring w = os_wide_path(deep);
  EXPECT_EQ(w.substr(0, 7), std::wstring(L"\\\\?\\C:\\"));
  EXPECT_EQ(w.find(L'/'), std::wstring::npos);
  const std::wstring unc = os_wide_path("\\\\server\\share\\" + std::string(300, 'a'));
  EXPECT_EQ(unc.substr(0, 8), std::wstring(L"\\\\?\\UNC\\"));
  EXPECT_EQ(os_last_separator("C:\\a/b\\c"), 6u);
  EXPECT_EQ(os_last_separator("name"), std::string::npos);
}

// Files, directories, volume roots and missing paths probe as on Linux;
// names that are not ASCII work everywhere.
TEST(OsWindowsTest, Probing) {
  TempDir tmp;
  const std::string file = tmp.path() + "\\r\xc3\xa9sum\xc3\xa9 \xe6\x97\xa5.bin";
  write_file(file, std::string(40000, 'x'));
  size_t size = 0, n_files = 0;
  DEVTYPE type = DEVTYPE_UNKNOWN;
  ASSERT_EQ(os_get_path_info(file.c_str(), &size, &n_files, &type), 0);
  EXPECT_EQ(type, DEVTYPE_FILE);
  EXPECT_EQ(size, 40000u);
  EXPECT_EQ(n_files, 1u);

  write_file(tmp.path() + "\\empty", "");
  ASSERT_EQ(os_get_path_info((tmp.path() + "\\empty").c_str(), &size, &n_files, &type), 0);
  EXPECT_EQ(type, DEVTYPE_FILE);
  EXPECT_EQ(size, 0u);

  ASSERT_EQ(os_get_path_info(tmp.path().c_str(), &size, &n_files, &type), 0);
  EXPECT_EQ(type, DEVTYPE_DIRECTORY);
  EXPECT_EQ(size, INVALID_SIZE_T);
  EXPECT_EQ(n_files, INVALID_SIZE_T);

  // A volume root is one with its separator, a plain directory without.
  ASSERT_EQ(os_get_path_info("C:\\", &size, &n_files, &type), 0);
  EXPECT_EQ(type, DEVTYPE_FILESYSTEM);
  EXPECT_NE(size, INVALID_SIZE_T);
  EXPECT_EQ(n_files, INVALID_SIZE_T);
  bool is_fs = true;
  ASSERT_EQ(os_is_filesystem("C:", &is_fs), 0);
  EXPECT_FALSE(is_fs);

  testing::internal::CaptureStderr();
  const int err = os_get_path_info((tmp.path() + "\\missing").c_str(), &size,
                                   &n_files, &type);
  const std::string text = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, ENOENT);
  EXPECT_EQ(text.rfind("ERROR: os_get_path_info(" + tmp.path() + "\\missing) failed. ", 0), 0u)
      << text;
  EXPECT_GT(text.size(), tmp.path().size() + 45) << "the system's words: " << text;

  // Two names of one file have one identity; two files two.
  os_stat_t a, b, c;
  ASSERT_EQ(os_stat(file.c_str(), &a, true), 0);
  const std::string slashed = tmp.path() + "/r\xc3\xa9sum\xc3\xa9 \xe6\x97\xa5.bin";
  ASSERT_EQ(os_stat(slashed.c_str(), &b, true), 0);
  ASSERT_EQ(os_stat((tmp.path() + "\\empty").c_str(), &c, true), 0);
  EXPECT_TRUE(S_ISREG(a.st_mode));
  EXPECT_EQ(a.st_dev, b.st_dev);
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_NE(a.st_ino, c.st_ino);
}

// A raw device is probed through its length query; where the query fails
// (Wine answers it for no device) the result is the clear per-device error,
// never a crash or a made-up size.
TEST(OsWindowsTest, RawDevices) {
  for (const char* dev : {"\\\\.\\C:", "\\\\.\\PhysicalDrive0"}) {
    size_t size = 0, n_files = 0;
    DEVTYPE type = DEVTYPE_UNKNOWN;
    testing::internal::CaptureStderr();
    const int res = os_get_path_info(dev, &size, &n_files, &type);
    const std::string text = testing::internal::GetCapturedStderr();
    if (res == 0) {
      EXPECT_EQ(type, DEVTYPE_BLOCK) << dev;
      EXPECT_GT(size, 0u) << dev;
      EXPECT_EQ(n_files, 1u);
    } else {
      EXPECT_EQ(text.rfind("ERROR: ", 0), 0u) << dev << ": " << text;
    }
    // Opened for reading, it stays the block device the probe saw: the
    // read-time check compares the two.
    const int fd = os_open_input(dev, OS_INPUT_NONBLOCK);
    if (fd < 0) continue;
    os_stat_t by_path, by_fd;
    ASSERT_EQ(os_stat(dev, &by_path, true), 0);
    ASSERT_EQ(os_fstat_input(fd, &by_fd), 0);
    EXPECT_TRUE(S_ISBLK(by_fd.st_mode)) << dev;
    EXPECT_EQ(by_fd.st_ino, by_path.st_ino) << dev;
    EXPECT_EQ(by_fd.st_dev, by_path.st_dev) << dev;
    os_close_input(fd);
  }
}

// A listing yields every name once, "." and ".." included, with the sizes
// of regular files; subdirectories need a probe of their own.
TEST(OsWindowsTest, Directories) {
  TempDir tmp;
  write_file(tmp.path() + "\\\xce\xa9mega", std::string(123, 'a'));
  write_file(tmp.path() + "\\plain", "");
  CreateDirectoryW(os_widen(tmp.path() + "\\sub \xc3\xbc").c_str(), nullptr);
  os_dir_t* dir = os_dir_open(tmp.path().c_str());
  ASSERT_NE(dir, nullptr);
  std::vector<std::string> seen;
  for (;;) {
    const TCHAR* name = nullptr;
    size_t file_size = 0;
    file_id_t id;
    id.ino = 1;
    ASSERT_EQ(os_dir_next(dir, &name, &file_size, &id), 0);
    EXPECT_EQ(id.ino, 0u);  // not in the listing: read without the check
    if (name == nullptr) break;
    const std::string n(name);
    seen.push_back(n);
    if (n == "\xce\xa9mega") {
      EXPECT_EQ(file_size, 123u);
    } else if (n == "plain") {
      EXPECT_EQ(file_size, 0u);
    } else {
      EXPECT_EQ(file_size, INVALID_SIZE_T) << n;
    }
  }
  os_dir_close(dir);
  std::sort(seen.begin(), seen.end());
  const std::vector<std::string> want = {".", "..", "plain", "sub \xc3\xbc",
                                         "\xce\xa9mega"};
  EXPECT_EQ(seen, want);
  errno = 0;
  EXPECT_EQ(os_dir_open((tmp.path() + "\\none").c_str()), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

// Slices are read at their offsets, past 4 GiB too, while another handle
// writes the file; the end of the file gives a short read, no failure.
TEST(OsWindowsTest, ReadingInputs) {
  TempDir tmp;
  const std::string path = tmp.path() + "\\big";
  HANDLE h = CreateFileW(os_widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                         nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const uint64_t far_offset = 5ULL << 30;
  LARGE_INTEGER at;
  at.QuadPart = (LONGLONG)far_offset;
  ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, nullptr));
  const int fd = os_open_input(path.c_str(), 0);  // the writer keeps its handle
  ASSERT_GE(fd, 0);
  os_input_range_t range;
  unsigned char buf[16] = {};
  bool failed = true;
  os_input_range_begin(fd, far_offset + 2, 6, false, &range);
  EXPECT_EQ(os_input_range_read(&range, buf, 6, far_offset + 2, &failed), 6u);
  EXPECT_FALSE(failed);
  EXPECT_EQ(std::string((char*)buf, 6), "234567");
  os_input_range_begin(fd, far_offset + 8, 8, false, &range);
  EXPECT_EQ(os_input_range_read(&range, buf, 8, far_offset + 8, &failed), 2u);
  EXPECT_FALSE(failed);
  // The identity the read-time check compares is that of the probe; reads
  // at an offset stop at the end of the file.
  os_stat_t by_path, by_fd;
  ASSERT_EQ(os_stat(path.c_str(), &by_path, true), 0);
  ASSERT_EQ(os_fstat_input(fd, &by_fd), 0);
  EXPECT_TRUE(S_ISREG(by_fd.st_mode));
  EXPECT_EQ(by_fd.st_dev, by_path.st_dev);
  EXPECT_EQ(by_fd.st_ino, by_path.st_ino);
  EXPECT_EQ(os_read_at(fd, buf, 16, far_offset + 7), 3);
  EXPECT_EQ(std::string((char*)buf, 3), "789");
  EXPECT_EQ(os_read_at(fd, buf, 16, far_offset + 10), 0);
  os_close_input(fd);
  CloseHandle(h);
  errno = 0;
  EXPECT_EQ(os_open_input((tmp.path() + "\\none").c_str(), 0), -1);
  EXPECT_EQ(errno, ENOENT);
}

// Outputs: binary (no CR added), created exclusively under a fresh name,
// renamed over an existing file; canonical paths use "/".
TEST(OsWindowsTest, OutputFiles) {
  TempDir tmp;
  const std::string out = tmp.path() + "\\\xc3\xa9t\xc3\xa9.json";
  write_file(out, "old\n");
  EXPECT_EQ(read_file(out), "old\n");
  const std::string t1 = out + ".tmp-1", t2 = out + ".tmp-2";
  const int fd = os_create_new(t1);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(os_write_fd(fd, "new\n", 4));
  EXPECT_EQ(os_sync_fd(fd), 0);
  EXPECT_EQ(os_close_fd(fd), 0);
  EXPECT_EQ(os_create_new(t1), -1);
  EXPECT_EQ(errno, EEXIST);
  const int fd2 = os_create_new(t2);
  ASSERT_GE(fd2, 0);
  os_close_fd(fd2);
  EXPECT_EQ(os_unlink(t2), 0);
  EXPECT_EQ(os_rename(t1, out), 0);
  EXPECT_EQ(read_file(out), "new\n");
  EXPECT_EQ(read_file(t1), "<none>");
  EXPECT_EQ(os_rename(t1, out), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(os_dir_writable(tmp.path()), 0);
  EXPECT_EQ(os_dir_writable(tmp.path() + "\\none"), -1);
  // A read-only file is refused before anything is written.
  EXPECT_EQ(os_file_writable(out), 0);
  ASSERT_TRUE(SetFileAttributesW(os_widen(out).c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(os_file_writable(out), -1);
  EXPECT_EQ(errno, EACCES);
  SetFileAttributesW(os_widen(out).c_str(), FILE_ATTRIBUTE_NORMAL);

  std::string real;
  ASSERT_TRUE(os_real_path(out.c_str(), &real));
  EXPECT_EQ(real.find('\\'), std::string::npos) << real;
  EXPECT_EQ(real.substr(real.size() - 10), "\xc3\xa9t\xc3\xa9.json");
  std::string root;
  ASSERT_TRUE(os_real_path("C:\\", &root));
  EXPECT_EQ(root, "C:/");
  EXPECT_FALSE(os_real_path((tmp.path() + "\\none").c_str(), &real));
}

// The figures the run needs exist; a redirected standard output is no
// console and has no size.
TEST(OsWindowsTest, SystemFigures) {
  EXPECT_GE(os_get_cpu_count(), 1);
  EXPECT_GT(os_get_available_memory(), (size_t)1 << 20);
  size_t cur = 0, peak = 0;
  os_get_memory_usage(&cur, &peak);
  EXPECT_GT(cur, 0u);
  EXPECT_GE(peak, cur);
  size_t only = 0;
  os_get_memory_usage(&only, nullptr);
  EXPECT_GT(only, 0u);
  if (!os_stdout_is_terminal()) {
    int w = -1, h = -1;
    EXPECT_EQ(os_get_term_size(&w, &h), -1);
    EXPECT_EQ(w, -1);
    EXPECT_EQ(h, -1);
  }
  unsigned char a[16] = {}, b[16] = {};
  EXPECT_TRUE(os_random_bytes(a, sizeof(a)));
  EXPECT_TRUE(os_random_bytes(b, sizeof(b)));
  EXPECT_NE(std::string((char*)a, 16), std::string((char*)b, 16));
  EXPECT_FALSE(os_host_name().empty());
}

}  // namespace
