#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "os.h"
#include "pelko_assert.h"
#include "types.h"

namespace {

struct Probe {
  int err;
  size_t size;
  size_t n_files;
  DEVTYPE type;
  std::string stderr_text;
};

Probe probe(const std::string& path, bool follow_links = true) {
  Probe p{0, 0, 0, DEVTYPE_UNKNOWN, ""};
  testing::internal::CaptureStderr();
  p.err = os_get_path_info(path.c_str(), &p.size, &p.n_files, &p.type,
                           follow_links);
  p.stderr_text = testing::internal::GetCapturedStderr();
  return p;
}

// True when path is listed as a mount point of this process.
bool is_mount_point(const std::string& path) {
  std::ifstream in("/proc/self/mountinfo");
  std::string id, parent, majmin, root, mnt, rest;
  while (in >> id >> parent >> majmin >> root >> mnt) {
    if (mnt == path) return true;
    std::getline(in, rest);
  }
  return false;
}

class OsProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pelko_os_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(0, system(cmd.c_str()));
  }
  std::string make_file(const std::string& name, size_t size) {
    std::string path = dir_ + "/" + name;
    std::ofstream out(path, std::ios::binary);
    out << std::string(size, 'x');
    return path;
  }

  std::string dir_;
};

TEST_F(OsProbeTest, FilesAndDirectories) {
  Probe f = probe(make_file("f", 5000));
  EXPECT_EQ(0, f.err);
  EXPECT_EQ(DEVTYPE_FILE, f.type);
  EXPECT_EQ(5000u, f.size);
  EXPECT_EQ(1u, f.n_files);

  Probe e = probe(make_file("empty", 0));
  EXPECT_EQ(0, e.err);
  EXPECT_EQ(DEVTYPE_FILE, e.type);
  EXPECT_EQ(0u, e.size);
  EXPECT_EQ(1u, e.n_files);

  for (const std::string& d : {dir_, dir_ + "/"}) {
    Probe p = probe(d);
    EXPECT_EQ(0, p.err) << d;
    EXPECT_EQ(DEVTYPE_DIRECTORY, p.type) << d;
    EXPECT_EQ(INVALID_SIZE_T, p.size) << d;
    EXPECT_EQ(INVALID_SIZE_T, p.n_files) << d;
    EXPECT_EQ("", p.stderr_text);
  }
}

TEST_F(OsProbeTest, MountPointsAreFileSystemsWithOrWithoutSlash) {
  for (std::string d : {"/", "//", "/proc", "/proc/", "/dev/shm/"}) {
    std::string plain =
        d.size() > 1 && d.back() == '/' ? d.substr(0, d.size() - 1) : d;
    if (plain != "/" && plain != "//" && !is_mount_point(plain)) continue;
    Probe p = probe(d);
    EXPECT_EQ(0, p.err) << d;
    EXPECT_EQ(DEVTYPE_FILESYSTEM, p.type) << d;
    EXPECT_EQ(INVALID_SIZE_T, p.n_files) << d;
    EXPECT_NE(INVALID_SIZE_T, p.size) << d;
  }
  Probe root = probe("/");
  EXPECT_GT(root.size, 0u);
  // A directory below a mount point is not one, however it is written.
  for (std::string d : {"/usr/share", "/usr/share/", "/usr/./share"}) {
    if (is_mount_point("/usr/share") || is_mount_point("/usr")) break;
    EXPECT_EQ(DEVTYPE_DIRECTORY, probe(d).type) << d;
  }
}

TEST_F(OsProbeTest, SpecialFilesAndErrors) {
  Probe null = probe("/dev/null");
  EXPECT_EQ(0, null.err);
  EXPECT_EQ(DEVTYPE_CHR, null.type);
  EXPECT_EQ(INVALID_SIZE_T, null.size);
  EXPECT_EQ(1u, null.n_files);

  std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  Probe ff = probe(fifo);  // must not open (and so block on) the FIFO
  EXPECT_EQ(0, ff.err);
  EXPECT_EQ(DEVTYPE_FIFO, ff.type);
  EXPECT_EQ(INVALID_SIZE_T, ff.size);
  EXPECT_EQ(1u, ff.n_files);

  std::string missing = dir_ + "/missing";
  Probe m = probe(missing);
  EXPECT_EQ(ENOENT, m.err);
  EXPECT_EQ("ERROR: os_get_path_info(" + missing +
                ") failed. No such file or directory\n",
            m.stderr_text);

  // A socket is not something to estimate, unless met inside a tree.
  std::string sock_path = dir_ + "/sock";
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, sock_path.c_str(), sizeof(addr.sun_path) - 1);
  ASSERT_EQ(0, bind(s, (sockaddr*)&addr, sizeof(addr)));
  Probe sk = probe(sock_path);
  EXPECT_EQ(ENODEV, sk.err);
  EXPECT_EQ(0u, sk.stderr_text.find("ERROR: unsupported device " + sock_path +
                                    ", st.st_mode=")) << sk.stderr_text;
  EXPECT_EQ(DEVTYPE_SOCK, probe(sock_path, false).type);
  close(s);

  // Each error line names the call that failed.
  size_t used = 0, n_files = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, os_get_filesystem_stats(missing.c_str(), &used, &n_files));
  EXPECT_EQ(
      "ERROR: statfs(" + missing + ") failed. No such file or directory\n",
      testing::internal::GetCapturedStderr());
}

// os_read_dir tells the end of a listing from a failed read, also through
// the test seam that replaces readdir.
struct dirent* failing_readdir(DIR*) {
  errno = EIO;
  return nullptr;
}

TEST_F(OsProbeTest, ReadDirEndAndError) {
  DIR* dir = opendir(dir_.c_str());
  ASSERT_NE(nullptr, dir);
  std::vector<std::string> names;
  struct dirent* de = nullptr;
  errno = ENOENT;  // stale: the end of the listing is no error
  while (os_read_dir(dir, &de) == 0 && de != nullptr)
    names.push_back(de->d_name);
  EXPECT_EQ(nullptr, de);
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{".", ".."}), names);

  os_set_readdir_for_test(failing_readdir);
  rewinddir(dir);
  de = reinterpret_cast<struct dirent*>(1);
  EXPECT_EQ(EIO, os_read_dir(dir, &de));
  EXPECT_EQ(EIO, errno);
  EXPECT_EQ(nullptr, de);
  os_set_readdir_for_test(nullptr);
  EXPECT_EQ(0, os_read_dir(dir, &de));
  EXPECT_NE(nullptr, de);
  closedir(dir);
}

TEST_F(OsProbeTest, SymbolicLinks) {
  std::string target = make_file("target", 100);
  std::string link = dir_ + "/link";
  ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
  Probe followed = probe(link);
  EXPECT_EQ(DEVTYPE_FILE, followed.type);
  EXPECT_EQ(100u, followed.size);
  Probe kept = probe(link, false);
  EXPECT_EQ(0, kept.err);
  EXPECT_EQ(DEVTYPE_LNK, kept.type);

  std::string dangling = dir_ + "/dangling";
  ASSERT_EQ(0, symlink("/nonexistent/x", dangling.c_str()));
  EXPECT_EQ(ENOENT, probe(dangling).err);
  EXPECT_EQ(DEVTYPE_LNK, probe(dangling, false).type);

  std::string dirlink = dir_ + "/dirlink";
  ASSERT_EQ(0, symlink("/", dirlink.c_str()));
  EXPECT_EQ(DEVTYPE_FILESYSTEM, probe(dirlink).type);
}

TEST(OsProbe, BlockDeviceCapacity) {
  // Any readable block device with a nonzero size will do.
  const char* candidates[] = {"/dev/loop0", "/dev/vda", "/dev/sda",
                              "/dev/nvme0n1", "/dev/xvda", "/dev/zram0"};
  for (const char* dev : candidates) {
    struct stat st;
    if (stat(dev, &st) != 0 || !S_ISBLK(st.st_mode)) continue;
    int fd = open(dev, O_RDONLY);
    if (fd < 0) continue;
    close(fd);
    Probe p = probe(dev);
    EXPECT_EQ(0, p.err) << dev << ": " << p.stderr_text;
    EXPECT_EQ(DEVTYPE_BLOCK, p.type);
    EXPECT_EQ(1u, p.n_files);
    EXPECT_NE(INVALID_SIZE_T, p.size);
    return;
  }
  GTEST_SKIP() << "no readable block device";
}

TEST(OsVirtual, VirtualFileSystemsAreRecognised) {
  EXPECT_TRUE(os_is_virtual_filesystem("/proc"));
  EXPECT_TRUE(os_is_virtual_filesystem("/proc/self"));
  EXPECT_TRUE(os_is_virtual_filesystem("/sys"));
  if (is_mount_point("/dev")) {
    EXPECT_TRUE(os_is_virtual_filesystem("/dev"));
  }
  EXPECT_FALSE(os_is_virtual_filesystem("/usr"));
  EXPECT_FALSE(os_is_virtual_filesystem("/tmp"));
  if (is_mount_point("/dev/shm")) {  // tmpfs holds real data
    EXPECT_FALSE(os_is_virtual_filesystem("/dev/shm"));
  }
}

TEST(OsMetrics, CpuCountFollowsAffinity) {
  cpu_set_t set;
  CPU_ZERO(&set);
  ASSERT_EQ(0, sched_getaffinity(0, sizeof(set), &set));
  EXPECT_EQ(CPU_COUNT(&set), os_get_cpu_count());
}

TEST(OsMetrics, MemoryFigures) {
  size_t avail = os_get_available_memory();
  EXPECT_GT(avail, 0u);
  size_t cur = 0, peak = 0;
  os_get_memory_usage(&cur, &peak);
  EXPECT_GT(cur, 0u);
  EXPECT_GE(peak, cur);

  // 64 MiB touched page by page shows in the resident size.
  const size_t n = 64 << 20;
  std::vector<char> block(n, 1);
  size_t cur2 = 0;
  os_get_memory_usage(&cur2, nullptr);
  EXPECT_GE(cur2, cur + n / 2);
  size_t peak2 = 0, cur3 = 0;
  os_get_memory_usage(&cur3, &peak2);
  EXPECT_GE(peak2, cur2 - (1 << 20));
  EXPECT_GE(peak2, cur3);
  EXPECT_EQ(1, block[n - 1]);
}

TEST(OsMetrics, TermSizeAndErrorText) {
  int w = -1, h = -1;
  int r = os_get_term_size(&w, &h);
  if (!isatty(STDOUT_FILENO)) {
    EXPECT_EQ(-1, r);
    EXPECT_EQ(-1, w);
    EXPECT_EQ(-1, h);
  } else if (r == 0) {
    EXPECT_GT(w, 0);
    EXPECT_GT(h, 0);
  }
  EXPECT_EQ(r, os_get_term_size(nullptr, nullptr));

  errno = ENOENT;
  EXPECT_EQ("No such file or directory", get_last_error_str());
  errno = EACCES;
  EXPECT_EQ("Permission denied", get_last_error_str());
}

}  // namespace

namespace {

TEST(OsLongPaths, PathsBeyondTheSystemLimitAreProbedAndOpened) {
  char tmpl[] = "/tmp/pelko_long.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string root = tmpl;
  // 40 levels of 200-character names: about 8 KiB, twice PATH_MAX.
  const std::string name(200, 'n');
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  std::string path = root;
  for (int i = 0; i < 40; i++) {
    ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_GE(next, 0);
    fd = next;
    path += "/" + name;
  }
  int f = openat(fd, "leaf", O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(f, 0);
  ASSERT_EQ(write(f, "0123456789", 10), 10);
  close(f);
  close(fd);
  ASSERT_GT(path.size(), (size_t)PATH_MAX);

  Probe dir = probe(path);
  EXPECT_EQ(dir.err, 0) << dir.stderr_text;
  EXPECT_EQ(dir.type, DEVTYPE_DIRECTORY);
  EXPECT_FALSE(os_is_virtual_filesystem(path.c_str()));

  Probe file = probe(path + "/leaf", false);
  EXPECT_EQ(file.err, 0) << file.stderr_text;
  EXPECT_EQ(file.type, DEVTYPE_FILE);
  EXPECT_EQ(file.size, 10u);

  int in = os_open_input((path + "/leaf").c_str(), 0);
  ASSERT_GE(in, 0);
  char buf[16] = {0};
  EXPECT_EQ(read(in, buf, sizeof(buf)), 10);
  EXPECT_STREQ(buf, "0123456789");
  close(in);

  // A missing component deep down is an ordinary error, not a crash.
  Probe missing = probe(path + "/nothing/leaf");
  EXPECT_EQ(missing.err, ENOENT);
  EXPECT_EQ(os_open_input((path + "/nothing").c_str(), 0), -1);
  EXPECT_EQ(errno, ENOENT);

  std::string cmd = "rm -rf " + root;
  ASSERT_EQ(system(cmd.c_str()), 0);
}

}  // namespace

namespace {

// Takes every file descriptor left under a limit of 64; returns them.
std::vector<int> take_all_descriptors() {
  struct rlimit rl = {64, 64};
  PELKO_ASSERT(setrlimit(RLIMIT_NOFILE, &rl) == 0);
  std::vector<int> fds;
  for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) fds.push_back(fd);
  return fds;
}

bool always(void*) { return true; }

}  // namespace

// Out of descriptors, an open waits until one comes free, and gives up at
// once when told to stop, with errno still EMFILE.
TEST(OsDescriptorsDeathTest, OpenWaitsForAFreeDescriptor) {
  EXPECT_EXIT(
      {
        std::vector<int> fds = take_all_descriptors();
        if (fds.empty() || os_free_descriptors() != 0) _exit(2);
        if (os_open_input_retry("/dev/null", 0, always, nullptr) >= 0 ||
            errno != EMFILE)
          _exit(3);
        std::thread closer([&fds] {
          usleep(200 * 1000);
          close(fds.back());
        });
        const int fd = os_open_input_retry("/dev/null", 0, nullptr, nullptr);
        closer.join();
        _exit(fd >= 0 ? 0 : 4);
      },
      testing::ExitedWithCode(0), "");
}
