// Parallel directory walker.
//
// A Walker visits every entry below a set of roots with a pool of threads and
// hands each regular file and block device, with its size, to a callback.
// Directories go through a first-in first-out queue shared by the threads
// (never recursion), so the depth of a tree does not matter and a thread holds
// at most one open directory stream. Everything else (character devices,
// FIFOs, symbolic links, sockets) is skipped, with a console note at debug
// level 3 and above.
//
// Roots follow symbolic links; entries met inside a directory do not, so a
// file is never reached twice through a link and a link loop cannot trap the
// walk. Directories on virtual file systems (proc, sysfs, devtmpfs, ...) are
// never enumerated. The walker keeps no record of what it visited: a file
// reached through two roots is handed over twice. A directory that cannot be
// opened, or whose listing fails part-way, is reported on stderr with an
// "ERROR: opendir(" or "ERROR: readdir(" line; the walk goes on without the
// rest of it, and get_skipped_dirs() counts it. A directory that cannot be
// opened because the process or the system is out of file descriptors is
// tried again (see os_open_input_retry) rather than skipped.
//
// Thread safety: add_root and start are called by one thread; stop and
// get_elapsed_time may be called from any thread, including from inside the
// callback. m_mutex guards m_dirs, m_n_working and every write of m_active.
#ifndef PELKO_WALKER_H_
#define PELKO_WALKER_H_

#include <stddef.h>
#include <time.h>

#include <atomic>
#include <deque>
#include <string>
#include <vector>

#include "condvar.h"
#include "mutex.h"
#include "types.h"

class Walker {
 public:
  // Called for every file and block device from whichever walking thread
  // reached it (the calling thread of start() for root files), concurrently
  // and without any walker lock held: the callee does its own locking.
  // file_path is borrowed for the duration of the call; file_size is the
  // probed size (a block device's capacity); id what the probe saw. The
  // callee may call walker->stop().
  typedef void (*scan_file_func_t)(Walker* walker, const TCHAR* file_path,
                                   size_t file_size, const file_id_t& id,
                                   void* arg);

  Walker(scan_file_func_t cb_func, void* cb_arg, int n_threads, int debug);
  virtual ~Walker();
  Walker(const Walker&) = delete;
  Walker& operator=(const Walker&) = delete;

  // Appends a copy of path to the roots. Call before start().
  void add_root(const TCHAR* path);

  // Runs the whole walk and returns when it has ended. Root files and block
  // devices reach the callback first, on the calling thread, in the order of
  // add_root; then n_threads threads enumerate the queued directories. A
  // Walker is used for one walk.
  void start();

  // Ends the walk early: prints two line ends and reason through the global
  // printer (only the first time, only while walking, and not at all when
  // reason is null), after which no
  // further directory is opened and each enumerating thread stops after its
  // current entry. Does not wait for the threads; start() returns once they
  // have all left.
  // reason, when not null, is a "WARNING: " line; summary_note, when not
  // null, the summary's words for it (Printer::warning).
  void stop(const char* reason, const char* summary_note = nullptr);

  // Whole seconds since start() began.
  time_t get_elapsed_time() const;

  // Directories that could not be opened, or not listed to their end, so
  // far (each with its "ERROR: " line).
  size_t get_skipped_dirs() const { return m_skipped_dirs; }

 private:
  static void* walk_thread(void* arg);
  void walk_thread();
  // Probes path and queues it (directory, volume root) or hands it to
  // walk_file. Roots follow symbolic links, directory entries do not.
  void walk(const TCHAR* path, bool follow_links);
  void walk_dir(const TCHAR* dir_path);
  void walk_file(const TCHAR* file_path, size_t fs_size, DEVTYPE dev_type,
                 const file_id_t& id);
  static bool walk_stopped(void* arg);

  const int m_debug;
  std::atomic<bool> m_active;  // read without the lock while enumerating
  std::atomic<size_t> m_skipped_dirs;
  const scan_file_func_t m_cb_func;
  void* const m_cb_arg;
  const int m_n_threads;
  int m_n_working;  // threads inside walk_dir; guarded by m_mutex
  time_t m_walk_start_time;
  Mutex m_mutex;
  Condvar m_cond;  // signalled when a directory is queued, broadcast at the end
  std::deque<_TSTRING> m_dirs;  // guarded by m_mutex
  std::vector<_TSTRING> m_roots;
};

#endif  // PELKO_WALKER_H_
