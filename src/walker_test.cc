#include "walker.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mutex.h"
#include "os.h"
#include "pelko_assert.h"
#include "printer.h"

namespace {

// A scratch directory removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/pelko_walker_XXXXXX";
    PELKO_ASSERT(mkdtemp(tmpl) != nullptr);
    m_path = tmpl;
  }
  ~TempDir() {
    std::string cmd = "chmod -R u+rwx '" + m_path + "'; rm -rf '" + m_path + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cleanup of " << m_path;
  }
  const std::string& path() const { return m_path; }
  std::string sub(const std::string& rel) const { return m_path + "/" + rel; }
  void mkdir(const std::string& rel) const {
    ASSERT_EQ(::mkdir(sub(rel).c_str(), 0755), 0) << rel;
  }
  void write(const std::string& rel, size_t size) const {
    std::string data(size, 'x');
    int fd = open(sub(rel).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << rel;
    ASSERT_EQ(::write(fd, data.data(), size), (ssize_t)size);
    close(fd);
  }

 private:
  std::string m_path;
};

// Records every hand-over; optionally stops the walk after n_stop files.
struct Recorder {
  Mutex mu;
  std::vector<std::pair<std::string, size_t>> files;
  std::vector<std::thread::id> threads;
  size_t n_stop = 0;

  static void cb(Walker* w, const TCHAR* path, size_t size, const file_id_t&,
                 void* arg) {
    Recorder* r = static_cast<Recorder*>(arg);
    MutexLock lock(&r->mu);
    r->files.emplace_back(path, size);
    r->threads.push_back(std::this_thread::get_id());
    if (r->n_stop && r->files.size() == r->n_stop) w->stop("STOP REASON");
  }
  std::map<std::string, size_t> by_path() const {
    std::map<std::string, size_t> m;
    for (auto& f : files) m[f.first]++;
    return m;
  }
};

// Redirects the printer's console stream for the lifetime of the object.
struct ConsoleCapture {
  std::ostringstream out;
  ConsoleCapture() { printer.set_console(&out); }
  ~ConsoleCapture() { printer.set_console(&std::cout); }
};

TEST(Walker, RootFilesFirstOnCallingThreadThenTree) {
  TempDir t;
  t.write("root1", 10);
  t.write("root2", 20);
  t.mkdir("tree");
  t.mkdir("tree/a");
  t.mkdir("tree/a/b");
  t.mkdir("tree/empty");
  t.mkdir("tree/.hidden");
  t.write("tree/f", 1);
  t.write("tree/a/g", 2);
  t.write("tree/a/b/h", 3);
  t.write("tree/.hidden/.i", 4);
  t.write("tree/empty_file", 0);

  std::map<std::string, size_t> first;
  for (int n_threads : {1, 8}) {
    Recorder r;
    Walker w(Recorder::cb, &r, n_threads, 0);
    w.add_root(t.sub("root2").c_str());
    w.add_root(t.sub("missing").c_str());  // probe error, skipped
    w.add_root(t.sub("tree/").c_str());    // trailing separator kept
    w.add_root(t.sub("root1").c_str());
    testing::internal::CaptureStderr();
    w.start();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR: os_get_path_info(" + t.sub("missing")),
              std::string::npos);

    ASSERT_EQ(r.files.size(), 7u) << n_threads;
    EXPECT_EQ(r.files[0], std::make_pair(t.sub("root2"), (size_t)20));
    EXPECT_EQ(r.files[1], std::make_pair(t.sub("root1"), (size_t)10));
    EXPECT_EQ(r.threads[0], std::this_thread::get_id());
    EXPECT_EQ(r.threads[1], std::this_thread::get_id());
    for (size_t i = 2; i < r.threads.size(); i++)
      EXPECT_NE(r.threads[i], std::this_thread::get_id());

    std::map<std::string, size_t> sizes;
    for (auto& f : r.files) sizes[f.first] = f.second;
    EXPECT_EQ(sizes[t.sub("tree//f")], 1u);
    EXPECT_EQ(sizes[t.sub("tree//a/g")], 2u);
    EXPECT_EQ(sizes[t.sub("tree//a/b/h")], 3u);
    EXPECT_EQ(sizes[t.sub("tree//.hidden/.i")], 4u);
    EXPECT_EQ(sizes.count(t.sub("tree//empty_file")), 1u);
    for (auto& p : r.by_path()) EXPECT_EQ(p.second, 1u) << p.first;
    if (first.empty()) first = r.by_path();
    EXPECT_EQ(r.by_path(), first);  // 1 and 8 threads see the same files
  }
}

// Links inside a tree are never followed: a link to a directory, a link to a
// file and a loop back to the top all leave every file counted once. FIFOs,
// sockets and character devices are skipped without being opened.
TEST(Walker, SkipsLinksFifosSocketsAndDevices) {
  TempDir t;
  t.mkdir("tree");
  t.mkdir("tree/d");
  t.write("tree/d/file", 7);
  ASSERT_EQ(symlink(t.sub("tree/d").c_str(), t.sub("tree/dirlink").c_str()), 0);
  ASSERT_EQ(symlink("file", t.sub("tree/d/filelink").c_str()), 0);
  ASSERT_EQ(symlink("..", t.sub("tree/d/loop").c_str()), 0);
  ASSERT_EQ(symlink("dangling_target", t.sub("tree/dangling").c_str()), 0);
  ASSERT_EQ(mkfifo(t.sub("tree/fifo").c_str(), 0644), 0);
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  std::string sock_path = t.sub("tree/sock");
  ASSERT_LT(sock_path.size(), sizeof(addr.sun_path));
  strcpy(addr.sun_path, sock_path.c_str());
  ASSERT_EQ(bind(sock, (struct sockaddr*)&addr, sizeof(addr)), 0);
  bool have_chr =
      mknod(t.sub("tree/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;

  for (int debug : {3, 2}) {
    Recorder r;
    ConsoleCapture con;
    Walker w(Recorder::cb, &r, 1, debug);  // one thread: lines don't interleave
    w.add_root(t.sub("tree").c_str());
    w.start();
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].first, t.sub("tree/d/file"));
    const std::string out = con.out.str();
    if (debug == 3) {
      EXPECT_NE(out.find(t.sub("tree/d/file") + ", size=7\n"), std::string::npos);
      EXPECT_NE(out.find("Skip symbolic link " + t.sub("tree/dirlink") + "\n"),
                std::string::npos);
      EXPECT_NE(out.find("Skip symbolic link " + t.sub("tree/d/loop") + "\n"),
                std::string::npos);
      EXPECT_NE(out.find("Skip symbolic link " + t.sub("tree/dangling") + "\n"),
                std::string::npos);
      EXPECT_NE(out.find("Skip fifo device " + t.sub("tree/fifo") + "\n"),
                std::string::npos);
      EXPECT_NE(out.find("Skip socket " + sock_path + "\n"), std::string::npos);
      if (have_chr) {
        EXPECT_NE(out.find("Skip character device " + t.sub("tree/null") + "\n"),
                  std::string::npos);
      }
    } else {
      EXPECT_EQ(out, "");
    }
  }

  // A root that is a link to a directory is followed.
  Recorder r;
  Walker w(Recorder::cb, &r, 2, 0);
  w.add_root(t.sub("tree/dirlink").c_str());
  w.start();
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].first, t.sub("tree/dirlink/file"));
  close(sock);
}

TEST(Walker, VirtualFileSystemsAreNotEnumerated) {
  struct stat st;
  if (stat("/proc/self", &st) != 0) GTEST_SKIP() << "no /proc";
  Recorder r;
  ConsoleCapture con;
  Walker w(Recorder::cb, &r, 1, 3);
  w.add_root("/proc");
  w.start();
  EXPECT_TRUE(r.files.empty());
  EXPECT_EQ(con.out.str(), "Skip virtual file system /proc\n");
}

TEST(Walker, PathsLongerThanAnyFixedBuffer) {
  TempDir t;
  std::string rel = "deep";
  t.mkdir(rel);
  const std::string name(60, 'n');
  while (t.sub(rel).size() < 2000) {
    rel += "/" + name;
    t.mkdir(rel);
  }
  t.write(rel + "/leaf", 3);
  Recorder r;
  Walker w(Recorder::cb, &r, 2, 0);
  w.add_root(t.sub("deep").c_str());
  w.start();
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].first, t.sub(rel + "/leaf"));
  EXPECT_GT(r.files[0].first.size(), 2000u);
}

TEST(Walker, StopPrintsOnceAndEndsTheWalk) {
  TempDir t;
  t.write("r1", 1);
  t.write("r2", 1);
  t.mkdir("tree");
  for (int d = 0; d < 5; d++) {
    std::string dir = "tree/d" + std::to_string(d);
    t.mkdir(dir);
    for (int f = 0; f < 10; f++) t.write(dir + "/f" + std::to_string(f), 1);
  }

  {
    // Stopped by the first root file: the remaining root is still walked,
    // the queued directory is never enumerated.
    Recorder r;
    r.n_stop = 1;
    ConsoleCapture con;
    Walker w(Recorder::cb, &r, 4, 0);
    w.add_root(t.sub("r1").c_str());
    w.add_root(t.sub("tree").c_str());
    w.add_root(t.sub("r2").c_str());
    w.start();
    EXPECT_EQ(r.files.size(), 2u);
    w.stop("AGAIN");  // after the walk: nothing printed
    EXPECT_EQ(con.out.str(), "\n\nSTOP REASON\n");
  }
  {
    // One thread stops right after the entry that triggered the stop.
    Recorder r;
    r.n_stop = 13;
    ConsoleCapture con;
    Walker w(Recorder::cb, &r, 1, 0);
    w.add_root(t.sub("tree").c_str());
    w.start();
    EXPECT_EQ(r.files.size(), 13u);
    EXPECT_EQ(con.out.str(), "\n\nSTOP REASON\n");
  }
  {
    // Many threads: each stops after its current entry, start() returns.
    Recorder r;
    r.n_stop = 3;
    ConsoleCapture con;
    Walker w(Recorder::cb, &r, 8, 0);
    w.add_root(t.sub("tree").c_str());
    w.start();
    EXPECT_GE(r.files.size(), 3u);
    EXPECT_LE(r.files.size(), 3u + 8u);
    EXPECT_EQ(con.out.str(), "\n\nSTOP REASON\n");
  }
}

// Runs body in a child process as an unprivileged user; returns false when
// that is not possible here.
template <typename F>
bool run_as_nobody(F body, int* child_status) {
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(77);
    bool ok = body();
    fflush(stdout);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) return false;
  *child_status = status;
  return true;
}

// readdir that fails once, with EIO, in place of the entry after the first
// real one (not "." or "..") of the listing it is in.
std::atomic<int> g_real_entries{0};
std::atomic<bool> g_failed_once{false};

struct dirent* readdir_failing_once(DIR* dir) {
  struct dirent* de = readdir(dir);
  if (de == nullptr || strcmp(de->d_name, ".") == 0 ||
      strcmp(de->d_name, "..") == 0)
    return de;
  if (++g_real_entries == 2 && !g_failed_once.exchange(true)) {
    errno = EIO;
    return nullptr;
  }
  return de;
}

TEST(Walker, ListingThatFailsPartWayIsReported) {
  TempDir t;
  for (const char* d : {"a", "b"}) {
    t.mkdir(d);
    for (const char* f : {"1", "2", "3"}) t.write(std::string(d) + "/" + f, 1);
  }
  g_real_entries = 0;
  g_failed_once = false;
  os_set_readdir_for_test(readdir_failing_once);
  Recorder r;
  // One thread: "a" is listed first, and fails after its first entry.
  Walker w(Recorder::cb, &r, 1, 0);
  w.add_root(t.sub("a").c_str());
  w.add_root(t.sub("b").c_str());
  testing::internal::CaptureStderr();
  w.start();
  std::string err = testing::internal::GetCapturedStderr();
  os_set_readdir_for_test(nullptr);

  EXPECT_EQ(
      "\nERROR: readdir(" + t.sub("a") + ") failed, " + strerror(EIO) + "\n",
      err);
  EXPECT_EQ(1u, w.get_skipped_dirs());  // for the summary: not all was seen
  // The entry of "a" read before the failure, then all of "b".
  auto seen = r.by_path();
  EXPECT_EQ(4u, seen.size());
  for (const char* f : {"b/1", "b/2", "b/3"})
    EXPECT_EQ(1u, seen.count(t.sub(f))) << f;
  EXPECT_EQ(1u, seen.count(t.sub("a/1")) + seen.count(t.sub("a/2")) +
                    seen.count(t.sub("a/3")));
}

TEST(Walker, UnreadableDirectoryIsReportedAndSkipped) {
  TempDir t;
  ASSERT_EQ(chmod(t.path().c_str(), 0755), 0);
  t.mkdir("tree");
  t.mkdir("tree/noread");
  t.mkdir("tree/closed");
  t.write("tree/noread/secret", 1);
  t.write("tree/closed/secret", 1);
  t.write("tree/open", 1);
  // Searchable but not readable: the probe works, the enumeration fails.
  ASSERT_EQ(chmod(t.sub("tree/noread").c_str(), 0111), 0);
  // Not even searchable: still probed (through its parent), then reported
  // when it cannot be opened.
  ASSERT_EQ(chmod(t.sub("tree/closed").c_str(), 0), 0);

  auto body = [&t]() {
    Recorder r;
    testing::internal::CaptureStderr();
    Walker w(Recorder::cb, &r, 2, 0);
    w.add_root(t.sub("tree").c_str());
    w.start();
    std::string err = testing::internal::GetCapturedStderr();
    const std::string opendir_line = "\nERROR: opendir(" + t.sub("tree/noread") +
                                     ") failed, " + strerror(EACCES) + "\n";
    bool ok = r.files.size() == 1 && r.files[0].first == t.sub("tree/open") &&
              err.find(opendir_line) != std::string::npos &&
              err.find("\nERROR: opendir(" + t.sub("tree/closed") + ") failed, " +
                       strerror(EACCES) + "\n") != std::string::npos &&
              err.find("os_is_filesystem") == std::string::npos &&
              w.get_skipped_dirs() == 2;
    if (!ok)
      printf("stderr: [%s], %zu files, %zu skipped\n", err.c_str(),
             r.files.size(), w.get_skipped_dirs());
    return ok;
  };
  if (geteuid() != 0) {
    EXPECT_TRUE(body());
    return;
  }
  int status = 0;
  if (!run_as_nobody(body, &status)) GTEST_SKIP() << "cannot drop privileges";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
