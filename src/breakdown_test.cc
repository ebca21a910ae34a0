#include "breakdown.h"

#include <string>

#include "gtest/gtest.h"

namespace {

struct Roots {
  LIST_ROOTS list;
  explicit Roots(std::initializer_list<const char*> paths) {
    for (const char* p : paths)
      list.push_back(new root_t{p, DEVTYPE_DIRECTORY, 0, 0});
  }
  ~Roots() {
    for (root_t* r : list) delete r;
  }
};

TEST(BreakdownLabel, RootsDirsAndTypes) {
  // Nested inputs: the longest wins; a name that merely begins like an
  // input is not under it; a trailing "/" is kept as given.
  Roots roots({"/srv", "/srv/home", "/data/", "/dev/sdb"});
  EXPECT_EQ("/srv", breakdown_label(BY_ROOT, roots.list, "/srv/a/b"));
  EXPECT_EQ("/srv/home", breakdown_label(BY_ROOT, roots.list, "/srv/home/u/f"));
  EXPECT_EQ("/data/", breakdown_label(BY_ROOT, roots.list, "/data//x"));
  EXPECT_EQ("/srv", breakdown_label(BY_ROOT, roots.list, "/srv/homes/f"));
  EXPECT_EQ("/dev/sdb", breakdown_label(BY_ROOT, roots.list, "/dev/sdb"));

  EXPECT_EQ("/srv/a", breakdown_label(BY_DIR, roots.list, "/srv/a/b/c"));
  EXPECT_EQ("/srv (files)", breakdown_label(BY_DIR, roots.list, "/srv/f"));
  EXPECT_EQ("/data/x", breakdown_label(BY_DIR, roots.list, "/data//x/y"));
  EXPECT_EQ("/srv/home/u", breakdown_label(BY_DIR, roots.list, "/srv/home/u/f"));
  EXPECT_EQ("/dev/sdb", breakdown_label(BY_DIR, roots.list, "/dev/sdb"));
  // Control characters of a name are escaped as the report shows them.
  EXPECT_EQ("/srv/a\\x0ab", breakdown_label(BY_DIR, roots.list, "/srv/a\nb/f"));

  EXPECT_EQ("images", breakdown_type("/x/IMG_1.JPG"));
  EXPECT_EQ("archives and packages", breakdown_type("/x/a.tar.gz"));
  EXPECT_EQ("virtual disks", breakdown_type("vm.qcow2"));
  EXPECT_EQ("text and code", breakdown_type("/x/main.cc"));
  EXPECT_EQ(".bin", breakdown_type("/x/a.Bin"));
  EXPECT_EQ("(no extension)", breakdown_type("/x/.bashrc"));
  EXPECT_EQ("(no extension)", breakdown_type("/x.d/README"));
  EXPECT_EQ("(no extension)", breakdown_type("/x/a."));
  EXPECT_EQ("media", breakdown_type("/x/a.mkv"));
  EXPECT_EQ("databases", breakdown_type("/x/a.sqlite"));
}

TEST(Overlap, SharesAndMatrix) {
  overlap_t o;
  o.begin({"a", "b", "c", "d"}, true);
  for (int i = 0; i < 2; i++) o.add(1);      // a alone
  for (int i = 0; i < 3; i++) o.add(1 | 2);  // a and b
  o.add(1 | 2 | 4);                          // a, b and c
  for (int i = 0; i < 4; i++) o.add(4);      // c alone
  EXPECT_EQ(6u, o.distinct[0]);
  EXPECT_DOUBLE_EQ(2.0 / 6, o.exclusive_share(0));
  EXPECT_DOUBLE_EQ(4.0 / 6, o.shared_share(0));
  EXPECT_DOUBLE_EQ(0, o.exclusive_share(1));
  EXPECT_DOUBLE_EQ(4.0 / 5, o.exclusive_share(2));
  EXPECT_DOUBLE_EQ(-1, o.exclusive_share(3));  // holds nothing
  EXPECT_DOUBLE_EQ(1, o.overlap(0, 1));        // all of b's 4
  EXPECT_DOUBLE_EQ(o.overlap(1, 0), o.overlap(0, 1));
  EXPECT_DOUBLE_EQ(1.0 / 5, o.overlap(0, 2));
  EXPECT_DOUBLE_EQ(1.0 / 4, o.overlap(2, 1));
  EXPECT_DOUBLE_EQ(-1, o.overlap(0, 3));
  EXPECT_DOUBLE_EQ(1, o.overlap(2, 2));

  // All 64 exports hold one chunk: every pair counts it once.
  std::vector<std::string> names(OVERLAP_MAX_EXPORTS, "x");
  o.begin(names, false);
  o.add(~(uint64_t)0);
  EXPECT_DOUBLE_EQ(1, o.overlap(0, 63));
  EXPECT_DOUBLE_EQ(0, o.exclusive_share(63));
  EXPECT_NE(std::string::npos, format_overlap(o).find("sample figures"));
}

TEST(ComputeBreakdown, PartialRunScalesTheSampledChunks) {
  // Half of each label's plan read; 4 KiB chunks.
  breakdown_count_t a, b;
  a.name = "a";
  a.logical = 100 * 4096 + 10;
  a.tails = 10;
  a.chunks = 50;
  a.zero_chunks = 10;  // 20 % zeros: 80 non-zero chunks in the plan
  a.distinct = 20;     // the sample's ratio 2
  a.stored = 20 * 4096;
  a.physical = 20 * 4096;
  a.dedupe = 4;  // estimated: 80 / 4 = 20 distinct in the plan
  b.name = "b";
  b.logical = 100 * 4096;
  b.chunks = 50;
  b.distinct = 50;
  b.stored = 25 * 4096;
  b.physical = 25 * 4096;
  const breakdown_t t =
      compute_breakdown(BY_DIR, {a, b}, 4096, 0.5, 50, false, true);
  ASSERT_EQ(2u, t.rows.size());
  EXPECT_DOUBLE_EQ(0.2, t.rows[0].zeros);
  EXPECT_DOUBLE_EQ(4, t.rows[0].dedupe);
  EXPECT_DOUBLE_EQ(2, t.rows[1].compress);
  // a: 20 distinct as sampled plus its tails; b: 100 distinct, each at half.
  const double pa = 20 * 4096 + 10, pb = 50 * 4096;
  EXPECT_NEAR(pa / (pa + pb), t.rows[0].physical_share, 1e-12);
  EXPECT_NE(std::string::npos, format_breakdown(t).find("sample figures"));
}

}  // namespace
