#include "walker.h"

#include <errno.h>
#include <string.h>

#include <iostream>

#include "os.h"
#include "pelko_assert.h"
#include "printer.h"
#include "threadpool.h"

namespace {

// "\nERROR: <call><path>) failed, <errno text>" on stderr. The leading line
// end finishes a progress line being rewritten; the line is written in one
// piece so that lines of concurrent threads do not mix.
void print_dir_error(const char* call, const TCHAR* dir_path) {
  std::string line = "\nERROR: ";
  line += call;
  line += dir_path;
  line += ") failed, ";
  line += get_last_error_str();
  line += '\n';
  std::cerr << line << std::flush;
}

}  // namespace

Walker::Walker(scan_file_func_t cb_func, void* cb_arg, int n_threads,
               int debug)
    : m_debug(debug),
      m_active(false),
      m_skipped_dirs(0),
      m_cb_func(cb_func),
      m_cb_arg(cb_arg),
      m_n_threads(n_threads),
      m_n_working(0),
      m_walk_start_time(0) {}

Walker::~Walker() {}

void Walker::add_root(const TCHAR* path) { m_roots.push_back(path); }

void Walker::start() {
  m_walk_start_time = time(nullptr);
  m_active = true;
  m_n_working = 0;
  // Roots are walked even if the callback stops the walk meanwhile: root
  // files still reach it, root directories are only queued.
  for (const _TSTRING& root : m_roots) walk(root.c_str(), true);
  m_roots.clear();
  threadpool_run(m_n_threads, walk_thread, this);
}

void Walker::stop(const char* reason, const char* summary_note) {
  MutexLock lock(&m_mutex);
  if (!m_active) return;
  if (reason != nullptr) {
    printer << std::endl << std::endl;
    printer.warning(reason, summary_note ? summary_note : "");
  }
  m_active = false;
}

time_t Walker::get_elapsed_time() const {
  return time(nullptr) - m_walk_start_time;
}

void* Walker::walk_thread(void* arg) {
  static_cast<Walker*>(arg)->walk_thread();
  return nullptr;
}

void Walker::walk_thread() {
  MutexLock lock(&m_mutex);
  while (m_active) {
    while (!m_dirs.empty() && m_active) {
      m_n_working++;
      _TSTRING dir = std::move(m_dirs.front());
      m_dirs.pop_front();
      m_mutex.unlock();
      walk_dir(dir.c_str());
      m_mutex.lock();
      m_n_working--;
    }
    if (m_n_working > 0) {
      m_cond.wait(m_mutex);
      continue;
    }
    // Nothing queued (or stopped) and nobody enumerating: the walk is over.
    break;
  }
  m_cond.broadcast();
}

void Walker::walk(const TCHAR* path, bool follow_links) {
  size_t fs_size = 0, fs_n_files = 0;
  DEVTYPE dev_type = DEVTYPE_UNKNOWN;
  // A failing probe prints its own error line; the entry is ignored.
  if (os_get_path_info(path, &fs_size, &fs_n_files, &dev_type, follow_links))
    return;
  if (dev_type == DEVTYPE_DIRECTORY || dev_type == DEVTYPE_FILESYSTEM) {
    MutexLock lock(&m_mutex);
    m_dirs.push_back(path);
    m_cond.signal();
    return;
  }
  file_id_t id;
  id.follow = follow_links;
  id.is_block = dev_type == DEVTYPE_BLOCK;
  os_stat_t st;
  if ((dev_type == DEVTYPE_FILE || dev_type == DEVTYPE_BLOCK) &&
      os_stat(path, &st, follow_links) == 0) {
    id.dev = (uint64_t)st.st_dev;
    id.ino = (uint64_t)st.st_ino;
  }
  walk_file(path, fs_size, dev_type, id);
}

bool Walker::walk_stopped(void* arg) {
  return !static_cast<Walker*>(arg)->m_active;
}

void Walker::walk_dir(const TCHAR* dir_path) {
  if (os_is_virtual_filesystem(dir_path)) {
    if (m_debug > 2)
      printer.console() << "Skip virtual file system " << dir_path << '\n';
    return;
  }
  // Opened without moving the directory's access time where permitted.
  os_dir_t* dir = os_dir_open(dir_path, walk_stopped, this);
  if (dir == nullptr) {
    // A walk being stopped is no directory lost.
    if (!m_active) return;
    print_dir_error("opendir(", dir_path);
    m_skipped_dirs++;
    return;
  }
  // One path buffer per directory: the entry name replaces the previous one.
  _TSTRING entry_path(dir_path);
  entry_path += '/';
  const size_t base_len = entry_path.size();
  for (;;) {
    const TCHAR* name = nullptr;
    size_t file_size = INVALID_SIZE_T;
    file_id_t id;
    if (os_dir_next(dir, &name, &file_size, &id) != 0) {
      // The entries handed over so far stay; the rest of this directory is
      // lost, and said so.
      print_dir_error("readdir(", dir_path);
      m_skipped_dirs++;
      break;
    }
    if (name == nullptr || !m_active) break;
    if (name[0] == '.' &&
        (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
      continue;
    entry_path.resize(base_len);
    entry_path += name;
    // A regular file told by the listing itself needs no probe; everything
    // else takes the full one.
    if (file_size != INVALID_SIZE_T) {
      walk_file(entry_path.c_str(), file_size, DEVTYPE_FILE, id);
      continue;
    }
    walk(entry_path.c_str(), false);
  }
  os_dir_close(dir);
}

void Walker::walk_file(const TCHAR* file_path, size_t fs_size,
                       DEVTYPE dev_type, const file_id_t& id) {
  PELKO_ASSERT(dev_type != DEVTYPE_DIRECTORY);
  PELKO_ASSERT(dev_type != DEVTYPE_FILESYSTEM);
  std::ostream& con = printer.console();
  switch (dev_type) {
    case DEVTYPE_FILE:
    case DEVTYPE_BLOCK:
      if (m_debug > 2) con << file_path << ", size=" << fs_size << '\n';
      m_cb_func(this, file_path, fs_size, id, m_cb_arg);
      return;
    default:
      break;
  }
  if (m_debug <= 2) return;
  switch (dev_type) {
    case DEVTYPE_CHR:
      con << "Skip character device " << file_path << '\n';
      break;
    case DEVTYPE_FIFO:
      con << "Skip fifo device " << file_path << '\n';
      break;
    case DEVTYPE_LNK:
      con << "Skip symbolic link " << file_path << '\n';
      break;
    case DEVTYPE_SOCK:
      con << "Skip socket " << file_path << '\n';
      break;
    default: {
      unsigned idx = (unsigned)dev_type;
      con << "Skip unknown device " << file_path << ", device type = "
          << (idx < 9 ? DEVTYPE_TO_STR[idx] : "unknown") << '\n';
      break;
    }
  }
}
