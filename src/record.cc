#include "record.h"

#include <errno.h>
#include <signal.h>
#include <math.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <iostream>
#include <nlohmann/json.hpp>

#include "chart.h"
#include "interrupt.h"
#include "os.h"
#include "printer.h"

Record record;

namespace {

typedef nlohmann::ordered_json json;

// -1 (and anything not a number) is "none".
json number_or_null(double v) {
  if (v == -1.0 || !std::isfinite(v)) return nullptr;
  return v;
}

json size_or_null(size_t v) {
  if (v == INVALID_SIZE_T) return nullptr;
  return (unsigned long long)v;
}

// A byte count as a whole number; null for none.
json bytes_or_null(double v) {
  if (v < 0 || !std::isfinite(v)) return nullptr;
  return (unsigned long long)llround(v);
}

// A summary figure: its estimate, pessimistic and optimistic value, each
// through value_of (number_or_null, or bytes_or_null for byte counts).
json figure(const summary_figure_t& f, json (*value_of)(double) = number_or_null) {
  json j;
  j["value"] = value_of(f.value);
  j["at_low"] = value_of(f.at_low);
  j["at_high"] = value_of(f.at_high);
  return j;
}

// A path as "path" and, when it is not valid UTF-8, "path_hex".
void add_path(json* j, const std::string& path) {
  if (utf8_valid(path)) {
    (*j)["path"] = path;
  } else {
    (*j)["path"] = utf8_display(path);
    (*j)["path_hex"] = to_hex(path);
  }
}

std::string dump(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Each compressor's name and its ratio with its range.
json compressor_array(const std::vector<std::string>& names,
                      const std::vector<range_t>& ratios) {
  json c = json::array();
  for (size_t i = 0; i < names.size() && i < ratios.size(); i++) {
    json k;
    k["compressor"] = names[i];
    k["compress"] = number_or_null(ratios[i].value);
    k["compress_low"] = number_or_null(ratios[i].low);
    k["compress_high"] = number_or_null(ratios[i].high);
    c.push_back(k);
  }
  return c;
}

// CSV field of a figure: empty for none.
std::string csv_number(double v) {
  if (v == -1.0 || !std::isfinite(v)) return "";
  char buf[64];
  snprintf(buf, sizeof(buf), "%.6f", v);
  return buf;
}

FILE* open_output(const std::string& option, const std::string& path) {
  if (path == RECORD_STDOUT) return stdout;
  FILE* f = os_fopen(path, "we");
  if (f == nullptr) {
    printer << std::flush;
    std::cerr << "ERROR: open(" << path << ") failed for " << option << ", "
              << strerror(errno) << std::endl;
  }
  return f;
}

// Closes f; false after an "ERROR: " line when it lost part of its lines.
// err: the error number of the first write that failed, 0 if none did.
// Standard output stays open for whatever comes after.
bool close_output(FILE* f, int err, const std::string& path) {
  if (fflush(f) != 0 && err == 0) err = errno != 0 ? errno : EIO;
  if (f == stdout ? ferror(f) != 0 : fclose(f) != 0)
    if (err == 0) err = errno != 0 ? errno : EIO;
  if (err == 0) return true;
  printer << std::flush;
  std::cerr << "ERROR: write(" << path << ") failed, " << strerror(err)
            << ", the file is incomplete" << std::endl;
  return false;
}

// Writes line and a line feed, flushed. Returns 0, or the error number of
// the write that failed (EIO when the system named none). Standard
// output's reader having gone ends the run, as it does for the report.
int put_line(FILE* f, const std::string& line) {
  errno = 0;
  if (fwrite(line.data(), 1, line.size(), f) == line.size() &&
      fputc('\n', f) != EOF && fflush(f) == 0)
    return 0;
  const int err = errno != 0 ? errno : EIO;
  if (f == stdout && err == EPIPE) interrupt_raise(SIGPIPE);
  return err;
}

std::string dir_of(const std::string& path) {
  const size_t cut = os_last_separator(path);
  if (cut == std::string::npos) return ".";
  return cut == 0 ? "/" : path.substr(0, cut);
}

// The canonical path an output would be written at: the file itself when
// it exists, otherwise its directory's canonical path and its name. False
// when the directory cannot be resolved (the open reports it then).
bool output_target(const std::string& path, std::string* target) {
  if (os_real_path(path.c_str(), target)) return true;
  const size_t cut = os_last_separator(path);
  const std::string dir =
      cut == std::string::npos ? "." : (cut == 0 ? "/" : path.substr(0, cut));
  const std::string base = cut == std::string::npos ? path : path.substr(cut + 1);
  std::string real_dir;
  if (!os_real_path(dir.c_str(), &real_dir)) return false;
  *target = (real_dir.back() == '/' ? real_dir : real_dir + "/") + base;
  return true;
}

// Writes a chart under a temporary name renamed to path; false after an
// "ERROR: " line.
bool write_chart(const std::string& path, const std::string& svg) {
  std::string tmp;
  const int fd = temp_output_create(path, &tmp);
  if (fd < 0) {
    printer << std::flush;
    std::cerr << "ERROR: --plot " << path << ": cannot create " << path
              << ".tmp-*, " << strerror(errno) << std::endl;
    return false;
  }
  int err = os_write_fd(fd, svg.data(), svg.size()) ? 0 : errno;
  if (os_close_fd(fd) != 0 && err == 0) err = errno;
  if (err == 0 && temp_output_commit(tmp, path)) return true;
  if (err == 0) err = errno;
  temp_output_discard(tmp);
  printer << std::flush;
  std::cerr << "ERROR: write(" << path << ") failed, " << strerror(err)
            << ", no chart written" << std::endl;
  return false;
}

bool same_or_inside(const std::string& inner, const std::string& outer) {
  if (inner == outer) return true;
  // Only a root ("/", "C:/") ends with a separator.
  const std::string prefix =
      !outer.empty() && outer.back() == '/' ? outer : outer + "/";
  return inner.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

bool utf8_valid(const std::string& s) {
  return utf8_display(s) == s;
}

std::string utf8_display(const std::string& s) {
  std::string out;
  const unsigned char* p = (const unsigned char*)s.data();
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    const unsigned c = p[i];
    size_t len = 0;
    unsigned cp = 0, min = 0;
    if (c < 0x80) {
      len = 1, cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, cp = c & 0x07, min = 0x10000;
    }
    bool ok = len > 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; k++) {
      if ((p[i + k] & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    ok = ok && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    if (ok) {
      out.append(s, i, len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD
      i++;
    }
  }
  return out;
}

std::string to_hex(const std::string& s) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

bool output_check(const std::string& option, const std::string& path,
                  const LIST_ROOTS& roots, bool inside_dirs) {
  if (path == RECORD_STDOUT && option != "-o") return true;
  auto refuse = [&](const std::string& why) {
    printer << std::flush;
    std::cerr << "ERROR: " << option << " " << path << ": " << why
              << ": pelko writes nothing to its inputs" << std::endl;
    return false;
  };
  std::string target;
  if (!output_target(path, &target)) return true;
  os_stat_t out_st;
  const bool exists = os_stat(path.c_str(), &out_st, true) == 0;
  std::string dir = target.substr(0, target.rfind('/'));
  if (dir.empty() || dir.back() == ':') dir += '/';  // "/", "C:/"
  os_stat_t dir_st;
  const bool have_dir = os_stat(dir.c_str(), &dir_st, true) == 0;
  for (const root_t* root : roots) {
    os_stat_t root_st;
    if (os_stat(root->path.c_str(), &root_st, true) != 0) continue;
    if (exists && out_st.st_dev == root_st.st_dev &&
        out_st.st_ino == root_st.st_ino)
      return refuse("is the input " + root->path);
    if (S_ISBLK(root_st.st_mode)) {
      if (have_dir && dir_st.st_dev == root_st.st_rdev)
        return refuse("lies on the device " + root->path + ", an input");
      continue;
    }
    std::string real_root;
    if (os_real_path(root->path.c_str(), &real_root) &&
        same_or_inside(target, real_root)) {
      if (inside_dirs)
        return refuse("lies among the inputs (" + root->path + ")");
      if (exists)
        return refuse("would overwrite a file among the inputs (" +
                      root->path + ")");
    }
  }
  return true;
}

bool same_output(const std::string& a, const std::string& b) {
  os_stat_t sa, sb;
  if (a != RECORD_STDOUT && b != RECORD_STDOUT && os_stat(a.c_str(), &sa, true) == 0 &&
      os_stat(b.c_str(), &sb, true) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino)
    return true;
  std::string ta, tb;
  if (!output_target(a, &ta) || !output_target(b, &tb)) return a == b;
  return ta == tb;
}

bool output_writable_check(const std::string& option, const std::string& path,
                           bool renamed) {
  if (path == RECORD_STDOUT && option != "-o") return true;
  auto refuse = [&](const std::string& why) {
    printer << std::flush;
    std::cerr << "ERROR: " << option << " " << path << ": " << why
              << std::endl;
    return false;
  };
  // An output opened in place is refused as its open would fail.
  auto refuse_open = [&](int err) {
    if (renamed) return refuse(strerror(err));
    printer << std::flush;
    std::cerr << "ERROR: open(" << path << ") failed"
              << (option == "-o" ? "" : " for " + option) << ", "
              << strerror(err) << std::endl;
    return false;
  };
  os_stat_t lst, st;
  const bool exists = os_stat(path.c_str(), &lst, false) == 0;
  if (!exists && errno != ENOENT) return refuse_open(errno);
  const bool resolves = exists && os_stat(path.c_str(), &st, true) == 0;
  if (resolves && S_ISDIR(st.st_mode))
    return renamed ? refuse("is a directory") : refuse_open(EISDIR);
  if (exists && renamed && !S_ISREG(lst.st_mode))
    return refuse(std::string("is ") + os_file_kind(lst.st_mode) +
                  ": it is written under a temporary name and renamed into "
                  "place, which would replace it with a plain file");
  if (resolves && os_file_writable(path) != 0) return refuse_open(errno);
  if (!resolves || renamed) {
    const std::string dir = dir_of(path);
    if (os_dir_writable(dir) != 0) {
      if (!renamed) return refuse_open(errno);
      return refuse("cannot write in " + dir + ", " + strerror(errno));
    }
  }
  return true;
}

int temp_output_create(const std::string& path, std::string* tmp) {
  static const char kChars[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  for (int attempt = 0; attempt < 100; attempt++) {
    unsigned char rnd[6];
    if (!os_random_bytes(rnd, sizeof(rnd))) {
      struct timespec ts;
      clock_gettime(CLOCK_REALTIME, &ts);
      for (size_t i = 0; i < sizeof(rnd); i++)
        rnd[i] = (unsigned char)((ts.tv_nsec >> (5 * i)) + getpid() + attempt);
    }
    std::string name = path + ".tmp-";
    for (unsigned char c : rnd) name += kChars[c % (sizeof(kChars) - 1)];
    // Registered before it exists: a second signal between the two would
    // otherwise leave it behind.
    if (!interrupt_add_temp_file(name)) {
      errno = EMFILE;
      return -1;
    }
    const int fd = os_create_new(name);
    if (fd >= 0) {
      *tmp = name;
      return fd;
    }
    const int err = errno;
    interrupt_remove_temp_file(name);
    errno = err;
    if (err != EEXIST) return -1;
  }
  return -1;
}

bool temp_output_commit(const std::string& tmp, const std::string& path) {
  if (os_rename(tmp, path) == 0) {
    interrupt_remove_temp_file(tmp);
    return true;
  }
  const int err = errno;
  temp_output_discard(tmp);
  errno = err;
  return false;
}

void temp_output_discard(const std::string& tmp) {
  const int err = errno;
  os_unlink(tmp);
  interrupt_remove_temp_file(tmp);
  errno = err;
}

Record::~Record() {
  if (m_json && m_json != stdout) fclose(m_json);
  if (m_csv && m_csv != stdout) fclose(m_csv);
  if (m_table_csv && m_table_csv != stdout) fclose(m_table_csv);
}

bool Record::open(const pelko_params_t& params) {
  m_dedupe_mask = params.estimate_mask;
  if (!params.json_file.empty()) {
    m_json_file = params.json_file;
    m_json = open_output("--json", m_json_file);
    if (!m_json) return false;
  }
  if (!params.csv_file.empty()) {
    m_csv_file = params.csv_file;
    m_csv = open_output("--csv", m_csv_file);
    if (!m_csv) return false;
    csv_line(
        "elapsed,progress,bytes,bandwidth,memory,memory_peak,dedupe_low,"
        "dedupe,dedupe_high,compress,zeros,final,compress_low,compress_high,"
        "zeros_low,zeros_high");
  }
  if (!params.table_csv_file.empty()) {
    m_table_csv_file = params.table_csv_file;
    m_table_csv = open_output("--table-csv", m_table_csv_file);
    if (!m_table_csv) return false;
    m_table_csv_errno = put_line(
        m_table_csv,
        "chunk_size,compressor,compress_share,dedupe,dedupe_low,"
        "dedupe_high,compress,compress_low,compress_high,zeros,"
        "reduction_ratio,reduction_ratio_low,reduction_ratio_high,"
        "physical_size,physical_size_low,physical_size_high,final");
  }
  // Written by finish; output_writable_check has found it writable.
  m_plot_file = params.plot_file;
  return true;
}

void Record::json_line(const std::string& line) {
  MutexLock lock(&m_json_mutex);
  if (m_json && m_json_errno == 0) m_json_errno = put_line(m_json, line);
}

void Record::csv_line(const std::string& line) {
  if (m_csv && m_csv_errno == 0) m_csv_errno = put_line(m_csv, line);
}

void Record::write_run(const pelko_params_t& params) {
  // What the chart's title says.
  m_chart.merge = !params.merge_files.empty();
  m_chart.inputs.clear();
  if (m_chart.merge) {
    m_chart.inputs = params.merge_files;
  } else {
    m_chart.chunk_size = params.chunk_size;
    m_chart.bucket_size = params.bucket_size;
    size_t total = 0;
    for (const root_t* root : params.roots) {
      m_chart.inputs.push_back(root->path);
      total = root->fs_size == INVALID_SIZE_T || total == INVALID_SIZE_T
                  ? INVALID_SIZE_T
                  : total + root->fs_size;
    }
    m_chart.total_size = total;
  }
  const time_t now = time(nullptr);
  struct tm t;
  char date[64] = "";
  if (localtime_r(&now, &t) != nullptr)
    strftime(date, sizeof(date), "%Y-%m-%d %H:%M", &t);
  m_chart.date = date;
  if (!m_json) return;
  json j;
  j["type"] = "run";
  j["version"] = PELKO_VERSION;
  json p;
  if (!params.merge_files.empty()) {
    // The exports fix the rest; their figures are in the rows.
    p["alpha"] = params.alpha;
    j["parameters"] = p;
    json merged = json::array();
    for (const std::string& f : params.merge_files) {
      json m;
      add_path(&m, f);
      merged.push_back(m);
    }
    j["merge"] = merged;
    json_line(dump(j));
    return;
  }
  p["chunk_size"] = (unsigned long long)params.chunk_size;
  p["bucket_size"] = (unsigned long long)params.bucket_size;
  p["bucket_size_chosen"] = !params.bucket_size_given;
  p["dedupe"] = (params.estimate_mask & ESTIMATE_DEDUPE) != 0;
  p["dedupe_zeros"] = (params.estimate_mask & ESTIMATE_DEDUPE_ZEROS) != 0;
  p["compress"] = (params.estimate_mask & ESTIMATE_COMPRESS) != 0;
  p["report_freq"] = params.report_freq * 100;
  p["threads"] = params.n_threads;
  p["memory_limit"] = (unsigned long long)params.memory_limit;
  p["scan_time_limit"] = (long long)params.scan_time_limit;
  p["alpha"] = params.alpha;
  p["seed"] = params.seed_given ? json(params.seed) : json(nullptr);
  p["stop_at"] = params.stop_at > 0 ? json(params.stop_at * 100) : json(nullptr);
  p["time_limit"] =
      params.time_limit > 0 ? json(params.time_limit) : json(nullptr);
  p["target_width"] = params.target_width > 0 ? json(params.target_width * 100)
                                              : json(nullptr);
  p["early_rows"] = params.early_rows;
  p["max_rate"] = params.max_rate > 0
                      ? json((unsigned long long)params.max_rate)
                      : json(nullptr);
  p["keep_cache"] = params.keep_cache;
  p["fingerprint"] = params.fingerprint_bits;
  // Several configurations only: a run of one has its parameters as before.
  if (several_configs(params)) {
    json sizes = json::array(), codecs = json::array();
    for (size_t size : config_chunk_sizes(params))
      sizes.push_back((unsigned long long)size);
    for (const codec_t& c : config_codecs(params))
      codecs.push_back(codec_name(c));
    p["chunk_sizes"] = sizes;
    p["compressors"] = codecs;
    p["compress_share"] = params.compress_share > 0
                              ? json(params.compress_share * 100)
                              : json(nullptr);
    p["sample_first"] = params.sample_first;
  }
  if (params.by != BY_NONE) p["by"] = breakdown_by_name(params.by);
  j["parameters"] = p;
  json inputs = json::array();
  for (const root_t* root : params.roots) {
    json in;
    add_path(&in, root->path);
    in["kind"] = DEVTYPE_TO_STR[root->dev_type];
    in["size"] = size_or_null(root->fs_size);
    in["files"] = size_or_null(root->fs_n_files);
    inputs.push_back(in);
  }
  j["inputs"] = inputs;
  json_line(dump(j));
}

void Record::add_row(const record_row_t& row) {
  if (!active()) return;
  if (!m_plot_file.empty()) m_rows.push_back(row);
  const double r = row.dedupe ? row.r : -1;
  const double r_low = row.dedupe ? row.r_low : -1;
  const double r_high = row.dedupe ? row.r_high : -1;
  // Nothing compressed yet (an empty data set): no ratio.
  const double c =
      row.compress && row.compress_ratio > 0 ? row.compress_ratio : -1;
  if (m_json) {
    json j;
    j["type"] = "row";
    j["final"] = row.final;
    j["elapsed"] = row.elapsed;
    j["progress"] = row.progress;
    j["bytes"] = (unsigned long long)row.bytes;
    j["bandwidth"] = bytes_or_null(row.bandwidth);
    j["memory"] = (unsigned long long)row.memory;
    j["memory_peak"] = (unsigned long long)row.memory_peak;
    j["dedupe"] = number_or_null(r);
    j["dedupe_low"] = number_or_null(r_low);
    j["dedupe_high"] = number_or_null(r_high);
    j["compress"] = number_or_null(c);
    j["compress_low"] = number_or_null(row.compress ? row.compress_low : -1);
    j["compress_high"] = number_or_null(row.compress ? row.compress_high : -1);
    j["zeros"] = row.zeros;
    j["zeros_low"] = number_or_null(row.zeros_low);
    j["zeros_high"] = number_or_null(row.zeros_high);
    if (!row.compressors.empty())
      j["compressors"] = compressor_array(row.compressors, row.compress_by);
    json_line(dump(j));
  }
  if (m_csv && m_csv_pending) {
    // A periodic row at the end of the plan, then the final row: the same
    // moment, in one line.
    if (!(row.final && row.bytes == m_csv_pending_bytes))
      csv_line(m_csv_pending_line);
    m_csv_pending = false;
  }
  if (m_csv) {
    char head[160];
    const std::string bandwidth =
        row.bandwidth < 0 ? std::string() : std::to_string(llround(row.bandwidth));
    snprintf(head, sizeof(head), "%.0f,%.6f,%llu,%s,%llu,%llu,", row.elapsed,
             row.progress, (unsigned long long)row.bytes, bandwidth.c_str(),
             (unsigned long long)row.memory,
             (unsigned long long)row.memory_peak);
    const std::string line =
        head + csv_number(r_low) + "," + csv_number(r) + "," +
        csv_number(r_high) + "," + csv_number(c) + "," +
        csv_number(row.zeros) + "," + (row.final ? "1" : "0") + "," +
        csv_number(row.compress ? row.compress_low : -1) + "," +
        csv_number(row.compress ? row.compress_high : -1) + "," +
        csv_number(row.zeros_low) + "," + csv_number(row.zeros_high);
    if (!row.final && row.progress >= 100) {
      m_csv_pending = true;
      m_csv_pending_bytes = row.bytes;
      m_csv_pending_line = line;
    } else {
      csv_line(line);
    }
  }
}

void Record::add_size_row(const record_size_row_t& row) {
  if (!m_json) return;
  json j;
  j["type"] = "size_row";
  j["chunk_size"] = (unsigned long long)row.chunk_size;
  j["final"] = row.final;
  j["progress"] = row.progress;
  j["dedupe"] = number_or_null(row.r);
  j["dedupe_low"] = number_or_null(row.r_low);
  j["dedupe_high"] = number_or_null(row.r_high);
  j["compressors"] = compressor_array(row.compressors, row.compress);
  j["zeros"] = row.zeros;
  j["zeros_low"] = number_or_null(row.zeros_low);
  j["zeros_high"] = number_or_null(row.zeros_high);
  json_line(dump(j));
}

void Record::write_configurations(const std::vector<config_figures_t>& table,
                                  bool to_json) {
  for (const config_figures_t& f : table) {
    const summary_input_t& in = f.in;
    const bool dedupe = (in.estimate_mask & ESTIMATE_DEDUPE) != 0;
    const bool compress = (in.estimate_mask & ESTIMATE_COMPRESS) != 0;
    const size_t n = in.n_data_chunks + in.n_zero_chunks;
    const double zeros = n != 0 ? 100.0 * (double)in.n_zero_chunks / n : 0.0;
    const double c = compress ? f.s.compress_ratio : -1;
    const double c_low = compress && in.c_low > 0 ? in.c_low : c;
    const double c_high = compress && in.c_high > 0 ? in.c_high : c;
    if (m_json && to_json) {
      json j;
      j["type"] = "configuration";
      j["chunk_size"] = (unsigned long long)f.chunk_size;
      j["compressor"] = compress ? json(f.compressor) : json(nullptr);
      j["compress_share"] = compress ? json(f.compress_share) : json(nullptr);
      j["dedupe"] = number_or_null(dedupe ? in.r : -1);
      j["dedupe_low"] = number_or_null(dedupe ? in.r_low : -1);
      j["dedupe_high"] = number_or_null(dedupe ? in.r_high : -1);
      j["compress"] = number_or_null(c);
      j["compress_low"] = number_or_null(c_low);
      j["compress_high"] = number_or_null(c_high);
      j["zeros"] = zeros;
      j["reductible_size"] = (unsigned long long)in.reductible_size;
      j["after_zeros"] = figure(f.s.after_zeros, bytes_or_null);
      j["after_dedupe"] = figure(f.s.after_dedupe, bytes_or_null);
      j["after_compress"] = figure(f.s.after_compress, bytes_or_null);
      j["reduction_ratio"] = figure(f.s.ratio);
      j["physical_size"] = figure(f.s.physical, bytes_or_null);
      j["exact"] = f.s.exact;
      json_line(dump(j));
    }
    if (m_table_csv && m_table_csv_errno == 0) {
      auto bytes = [](double v) {
        return v < 0 || !std::isfinite(v) ? std::string()
                                           : std::to_string(llround(v));
      };
      const summary_figure_t& t = f.s.ratio;
      const summary_figure_t& p = f.s.physical;
      const std::string line =
          std::to_string(f.chunk_size) + "," +
          (compress ? f.compressor : std::string()) + "," +
          (compress ? csv_number(f.compress_share) : std::string()) + "," +
          csv_number(dedupe ? in.r : -1) + "," +
          csv_number(dedupe ? in.r_low : -1) + "," +
          csv_number(dedupe ? in.r_high : -1) + "," + csv_number(c) + "," +
          csv_number(c_low) + "," + csv_number(c_high) + "," +
          csv_number(zeros) + "," + csv_number(t.value) + "," +
          csv_number(t.at_low) + "," + csv_number(t.at_high) + "," +
          bytes(p.value) + "," + bytes(p.at_low) + "," + bytes(p.at_high) +
          "," + (f.s.exact ? "1" : "0");
      m_table_csv_errno = put_line(m_table_csv, line);
    }
  }
}

void Record::write_summary(const summary_input_t& in, const summary_t& s) {
  m_stop_reason = in.stop_reason;
  m_stopped = !in.stop_reason.empty();
  m_chart.total_size = in.total_size;
  m_chart.ratio = s.ratio;
  if (m_chart.merge) m_chart.chunk_size = in.chunk_size;
  if (!m_json) return;
  json j;
  j["type"] = "summary";
  j["total_size"] = (unsigned long long)in.total_size;
  j["reductible_size"] = (unsigned long long)in.reductible_size;
  j["total_files"] = size_or_null(in.total_files);
  j["scan_stopped"] = in.scan_stopped;
  j["unread_size"] = (unsigned long long)in.unread_size;
  j["unread_files"] = (unsigned long long)in.unread_files;
  j["skipped_dirs"] = (unsigned long long)in.skipped_dirs;
  j["tail_share"] = s.tail_share;
  j["after_zeros"] = figure(s.after_zeros, bytes_or_null);
  j["after_dedupe"] = figure(s.after_dedupe, bytes_or_null);
  j["after_compress"] = figure(s.after_compress, bytes_or_null);
  j["reduction_ratio"] = figure(s.ratio);
  j["physical_size"] = figure(s.physical, bytes_or_null);
  j["space_saved"] = figure(s.space_saved);
  j["compress_ratio"] = number_or_null(s.compress_ratio);
  j["exact"] = s.exact;
  j["warnings"] = in.warnings;
  j["stop_reason"] =
      in.stop_reason.empty() ? json(nullptr) : json(in.stop_reason);
  json_line(dump(j));
}

void Record::write_breakdown(const breakdown_t& b) {
  if (m_csv) {
    if (m_csv_pending) csv_line(m_csv_pending_line);
    m_csv_pending = false;
    std::string table = breakdown_csv(b);
    csv_line("");
    size_t at = 0;
    while (at < table.size()) {
      const size_t end = table.find('\n', at);
      csv_line(table.substr(at, end - at));
      at = end + 1;
    }
  }
  if (!m_json) return;
  json j;
  j["type"] = "breakdown";
  j["by"] = breakdown_by_name(b.by);
  j["exact"] = b.exact;
  json labels = json::array();
  for (const breakdown_row_t& r : b.rows) {
    json l;
    l["label"] = r.name;
    l["logical_size"] = (unsigned long long)r.logical;
    l["share"] = number_or_null(r.share);
    l["zeros"] = number_or_null(r.zeros);
    l["zeros_low"] = number_or_null(r.zeros_low);
    l["zeros_high"] = number_or_null(r.zeros_high);
    l["compress"] = number_or_null(r.compress);
    l["compress_low"] = number_or_null(r.compress_low);
    l["compress_high"] = number_or_null(r.compress_high);
    l["dedupe"] = number_or_null(r.dedupe);
    l["dedupe_low"] = number_or_null(r.dedupe_low);
    l["dedupe_high"] = number_or_null(r.dedupe_high);
    l["physical_share"] = number_or_null(r.physical_share);
    labels.push_back(l);
  }
  j["labels"] = labels;
  json_line(dump(j));
}

void Record::write_overlap(const overlap_t& o) {
  if (!m_json) return;
  json j;
  j["type"] = "overlap";
  j["exact"] = o.exact;
  json exports = json::array();
  for (size_t i = 0; i < o.names.size(); i++) {
    json e;
    add_path(&e, o.names[i]);
    e["distinct"] = (unsigned long long)o.distinct[i];
    e["exclusive"] = number_or_null(o.exclusive_share(i));
    e["shared"] = number_or_null(o.shared_share(i));
    exports.push_back(e);
  }
  j["exports"] = exports;
  json matrix = json::array();
  for (size_t i = 0; i < o.names.size(); i++) {
    json row = json::array();
    for (size_t k = 0; k < o.names.size(); k++)
      row.push_back(number_or_null(o.overlap(i, k)));
    matrix.push_back(row);
  }
  j["overlap"] = matrix;
  json_line(dump(j));
}

void Record::write_stop(const std::string& reason) {
  m_stop_reason = reason;
  m_stopped = true;
  if (!m_json) return;
  json j;
  j["type"] = "summary";
  j["stop_reason"] = reason;
  json_line(dump(j));
}

int Record::finish() {
  int status = 0;
  if (m_csv && m_csv_pending) csv_line(m_csv_pending_line);
  m_csv_pending = false;
  if (m_json) {
    if (!close_output(m_json, m_json_errno, m_json_file)) status = 1;
    m_json = nullptr;
  }
  if (m_csv) {
    if (!close_output(m_csv, m_csv_errno, m_csv_file)) status = 1;
    m_csv = nullptr;
  }
  if (m_table_csv) {
    if (!close_output(m_table_csv, m_table_csv_errno, m_table_csv_file))
      status = 1;
    m_table_csv = nullptr;
  }
  if (!m_plot_file.empty()) {
    const std::string svg =
        chart_svg(m_rows, m_dedupe_mask, m_stopped ? m_stop_reason : "",
                  m_chart);
    if (m_plot_file == RECORD_STDOUT) {
      const int err =
          fwrite(svg.data(), 1, svg.size(), stdout) == svg.size() ? 0 : errno;
      if (!close_output(stdout, err, m_plot_file)) status = 1;
    } else if (!write_chart(m_plot_file, svg)) {
      status = 1;
    }
    m_plot_file.clear();
  }
  return status;
}
