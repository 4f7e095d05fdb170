// File-system helpers in a fresh temporary directory (working directory and accounted totals
// restored after each test); moves across file systems in a private mount namespace.
#include "vos_fs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "alloc_balance.h"
#include "stdout_capture.h"
#include "temp_dir.h"
#include "vos_mem.h"

namespace {

using test_support::captured;
using test_support::read_file;
namespace fs = std::filesystem;

std::string cwd() { return fs::current_path().string(); }
void write_file(const std::string& path, const std::string& s) { std::ofstream(path) << s; }
// Text of an accounted block ("<null>" for none); the block is freed.
std::string taken(char* pc) {
  std::string s = pc != nullptr ? pc : "<null>";
  vos_os_free(&pc);
  return s;
}

// Expects @p call to return @p rc and to write an ERROR line of vos_fs.c containing @p msg.
#define EXPECT_RC_ERR(call, rc, msg)                                          \
  do {                                                                        \
    int i_rc_ = 0;                                                            \
    const std::string out_ = captured([&] { i_rc_ = (call); });               \
    EXPECT_EQ(i_rc_, rc) << #call;                                            \
    EXPECT_NE(out_.find(std::string(":ERROR:vos_fs.c:")), std::string::npos); \
    EXPECT_NE(out_.find(msg), std::string::npos) << out_;                     \
  } while (0)

class vos_fs : public test_support::alloc_balance_test {
 protected:
  void SetUp() override {
    alloc_balance_test::SetUp();
    ASSERT_TRUE(tmp_.ok());
    ASSERT_EQ(chdir(base_.c_str()), 0);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(start_.c_str()), 0);
    expect_alloc_balance();
  }
  std::string p(const std::string& rel) const { return base_ + "/" + rel; }
  const std::string start_ = cwd();
  test_support::temp_dir tmp_{"vos_fs_test"};
  const std::string base_ = tmp_.path();
};

}  // namespace

TEST_F(vos_fs, directory_walks_and_listing) {
  EXPECT_EQ(vos_fs_chdir(p("a\\b/c/").c_str()), 1);
  EXPECT_EQ(cwd(), p("a/b/c"));
  EXPECT_RC_ERR(vos_fs_chdir(p("x//y").c_str()), -1, "Invalid directory/file name");
  EXPECT_RC_ERR(vos_fs_chdir("rel"), -1, "Invalid directory name \"rel\"");
  EXPECT_RC_ERR(vos_fs_chdir(nullptr), -1, "Invalid directory name");
  write_file(p("plain"), "x");
  EXPECT_RC_ERR(vos_fs_chdir(p("plain/sub").c_str()), -1, "\"plain\" : Not a directory");
  EXPECT_FALSE(fs::exists(p("sub"))) << "nothing made beside the file";
  ASSERT_EQ(chdir(base_.c_str()), 0);
  const char* pc_path = "x/y/f.bin";
  const char* pc_name = nullptr;
  EXPECT_EQ(vos_fs_chreldir(pc_path, &pc_name), 1);
  EXPECT_EQ(pc_name, pc_path + 4);
  EXPECT_EQ(cwd(), p("x/y"));
  EXPECT_RC_ERR(vos_fs_chreldir("d/", &pc_name), -3, "Filename length is 0");
  EXPECT_EQ(pc_name, nullptr);
  EXPECT_RC_ERR(vos_fs_chreldir("\\abs", nullptr), -1, "Not a relative directory/file name");
  EXPECT_RC_ERR(vos_fs_chreldir((std::string(NAME_MAX + 1, 'n') + "/x").c_str(), nullptr), -1,
                "File name too long");
  EXPECT_EQ(vos_fs_chreldir("", nullptr), 1);
  ASSERT_TRUE(fs::create_directories(p("l/sub")));
  write_file(p("l/file"), "x");
  std::string dir = base_ + "\\l";
  vos_fs_dir* p_dir = vos_fs_opendir(dir.data());
  ASSERT_NE(p_dir, nullptr);
  EXPECT_EQ(dir, p("l"));
  std::set<std::string> names;
  std::uint32_t type = 99;
  while (const char* pc = vos_fs_readdir_and_type(p_dir, &type)) names.insert(pc);
  EXPECT_EQ(type, 0U);
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "sub", "file"}));
  EXPECT_EQ(vos_fs_readdir(p_dir), nullptr);
  vos_fs_closedir(&p_dir);
  EXPECT_EQ(p_dir, nullptr);
  vos_fs_closedir(&p_dir);
  std::string missing = p("nope");
  EXPECT_EQ(vos_fs_opendir(missing.data()), nullptr);
  EXPECT_EQ(vos_fs_readdir(nullptr), nullptr);
}

TEST_F(vos_fs, open_close_status_size_copy_and_move) {
  std::FILE* pf = nullptr;
  ASSERT_EQ(vos_fs_open_file(&pf, p("d").c_str(), "e/f.txt", "wb"), 1);
  EXPECT_TRUE(fcntl(fileno(pf), F_GETFD) & FD_CLOEXEC);
  std::fputs("12345", pf);
  EXPECT_EQ(vos_fs_close_file(&pf), 1);
  EXPECT_EQ(pf, nullptr);
  EXPECT_EQ(vos_fs_close_file(&pf), 1);
  EXPECT_RC_ERR(vos_fs_open_file(&pf, p("d").c_str(), "e", "wb"), -1, "Is a directory");
  EXPECT_RC_ERR(vos_fs_open_file(&pf, nullptr, "f", "rb"), -3, "Invalid parameter");
  EXPECT_EQ(vos_fs_open(p("missing").c_str(), "rb"), nullptr);
  std::uint32_t type = 9, size = 9, perm = 9, mtime = 9;
  ASSERT_EQ(chmod(p("d/e/f.txt").c_str(), 0640), 0);
  EXPECT_EQ(vos_fs_filestat(p("d/e").c_str(), "/f.txt", &type, &size, &perm, &mtime), 1);
  EXPECT_EQ(type * 10000 + size * 1000 + perm, 1U * 10000 + 5000 + 0640);
  EXPECT_GT(mtime, 1600000000U);
  EXPECT_EQ(vos_fs_filestat(base_.c_str(), "d", &type, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(type, 2U);
  EXPECT_RC_ERR(vos_fs_filestat(base_.c_str(), "nope", &type, &size, &perm, &mtime), -1,
                "No such file or directory");
  EXPECT_EQ(type + size + perm + mtime, 0U);
  EXPECT_EQ(vos_fs_filesize(p("d/e/f.txt").c_str(), &size), 1);
  EXPECT_EQ(size, 5U);
  EXPECT_RC_ERR(vos_fs_filesize(base_.c_str(), &size), -1, "is a directory");
  EXPECT_RC_ERR(vos_fs_filesize("", &size), -3, "Invalid filename");
  // Sparse files: 2^32 - 1 fits, 2^32 + 5 is refused (never read as 5).
  write_file(p("big"), "");
  ASSERT_EQ(truncate(p("big").c_str(), 0xFFFFFFFFLL), 0);
  EXPECT_EQ(vos_fs_filesize(p("big").c_str(), &size), 1);
  EXPECT_EQ(size, 0xFFFFFFFFU);
  ASSERT_EQ(truncate(p("big").c_str(), 0x100000005LL), 0);
  EXPECT_RC_ERR(vos_fs_filesize(p("big").c_str(), &size), -1, "Can't obtain file stats");
  EXPECT_EQ(size, 0U);
  EXPECT_EQ(vos_fs_unlink(p("big").c_str()), 0);
  EXPECT_EQ(vos_fs_unlink(p("big").c_str()), -1);
  std::string content(3 * 10240 + 17, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
  write_file(p("src"), content);
  EXPECT_EQ(vos_fs_copy(p("src").c_str(), p("out\\sub/dst").c_str()), 1);
  EXPECT_EQ(read_file(p("out/sub/dst")), content);
  EXPECT_EQ(cwd(), p("out/sub"));
  EXPECT_EQ(vos_fs_copy("dst", p("out/sub/rel").c_str()), 1) << "relative to the destination";
  EXPECT_RC_ERR(vos_fs_copy(p("nope").c_str(), p("new/dst").c_str()), -1, "Can't open source file");
  EXPECT_RC_ERR(vos_fs_copy(p("src").c_str(), "nodir"), -3, "Invalid destination filename");
  EXPECT_RC_ERR(vos_fs_copy(nullptr, "/x/y"), -3, "Invalid filename while copying file");
  EXPECT_RC_ERR(vos_fs_copy(p("src").c_str(), p("./src").c_str()), -1, "onto itself");
  EXPECT_RC_ERR(vos_fs_copy(p("out").c_str(), p("o2/d").c_str()), -1, "Is a directory");
  EXPECT_FALSE(fs::exists(p("o2/d")));
  EXPECT_EQ(read_file(p("src")), content);
  EXPECT_EQ(vos_fs_mv(p("src").c_str(), p("ftp/fw").c_str()), 1);
  EXPECT_FALSE(fs::exists(p("src")));
  // A path given by the user is taken as it is: 'a\b.bin' is one name, not a/b.bin.
  write_file(p("ftp/a\\b.bin"), "n");
  EXPECT_EQ(vos_fs_mv_literal(p("ftp/a\\b.bin").c_str(), p("lit").c_str()), 1);
  EXPECT_EQ(read_file(p("lit")), "n");
  EXPECT_FALSE(fs::exists(p("ftp/a\\b.bin")));
  EXPECT_RC_ERR(vos_fs_mv("", p("x").c_str()), -3, "Invalid filename while moving file");
  EXPECT_EQ(vos_fs_mv(p("missing").c_str(), p("ftp/m").c_str()), -1);
  write_file(p("ftp/a"), "A");
  EXPECT_EQ(vos_fs_cp_dir(p("ftp").c_str(), "a", (p("to") + "/").c_str()), 1);
  EXPECT_EQ(vos_fs_mv_dir((p("ftp") + "\\").c_str(), "a", p("to2").c_str()), 1);
  EXPECT_EQ(read_file(p("to/a")) + read_file(p("to2/a")), "AA");
  EXPECT_RC_ERR(vos_fs_mv_dir(base_.c_str(), "/a", "/x"), -3, "Invalid relative filename");
  EXPECT_RC_ERR(vos_fs_cp_dir(nullptr, "a", "/x"), -3, "Invalid parameter");
}

// A failed flush to a device is a failure, and a device is never removed.
TEST_F(vos_fs, copy_to_a_full_device_fails_and_keeps_the_device) {
  if (mknod(p("full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) GTEST_SKIP() << "no mknod";
  write_file(p("src"), "some data");
  int i_rc = 0;
  const std::string out =
      captured([&] { i_rc = vos_fs_copy(p("src").c_str(), p("full").c_str()); });
  if (out.find("Can't open dest file") != std::string::npos) GTEST_SKIP() << "nodev mount";
  EXPECT_EQ(i_rc, -1);
  EXPECT_NE(out.find("No space left on device"), std::string::npos) << out;
  EXPECT_EQ(fs::status(p("full")).type(), fs::file_type::character);
}

TEST_F(vos_fs, path_texts) {
  // clang-format off
  for (const auto& [pc_a, pc_b, i_trailing, pc_want] :
       {std::tuple<const char*, const char*, int, const char*>{"a\\b", "c", 0, "a/b/c"},
        {"a/", "/c", 0, "a/c"}, {"a/", "//c", 0, "a//c"}, {"a", "", 1, "a/"}, {"/", "", 0, ""},
        {nullptr, nullptr, 0, "<null>"}, {nullptr, "c\\d", 0, "c/d"}, {"a\\", "\\b\\", 1, "a/b/"},
        {"", "", 1, "/"}}) {
    EXPECT_EQ(taken(vos_fs_cat_name(pc_a, pc_b, i_trailing)), pc_want) << pc_a << "|" << pc_b;
  }
  write_file(p("log.bak"), "x");
  for (const auto& [pc_name, pc_ext, i_rc, pc_want] :
       {std::tuple<const char*, const char*, int, const char*>{"log.txt", nullptr, 1, "log"},
        {"log", "bak", 1, "log.bak"}, {"a.b.c", "d", 1, "a.b.d"}, {"logs.d/app", "bak", 1, "logs.d/app.bak"},
        {".profile", "x", -3, "<null>"}, {"", "x", -3, "<null>"}, {nullptr, "x", -3, "<null>"}}) {
    // clang-format on
    char* pc = nullptr;
    captured([&] { EXPECT_EQ(vos_fs_change_extension(pc_name, pc_ext, &pc, 0), i_rc); });
    EXPECT_EQ(taken(pc), pc_want);
  }
  for (int i = 0; i < 3; ++i) {  // a unique name differs from every file present
    char* pc = nullptr;
    ASSERT_EQ(vos_fs_change_extension("log.txt", "bak", &pc, 1), 1);
    const std::string unique = taken(pc);
    EXPECT_EQ(unique.size(), 12U) << unique;
    EXPECT_EQ(unique.rfind("log_", 0), 0U) << unique;
    EXPECT_FALSE(fs::exists(p(unique)));
    write_file(p(unique), "taken");
  }
  char* pc = nullptr;
  EXPECT_EQ(vos_fs_change_filename("x\\y/z\\a.txt", "b", &pc), 1);
  EXPECT_EQ(taken(pc), "x\\y/z\\b");
  captured([&] { EXPECT_EQ(vos_fs_change_filename("", "b", &pc), -3); });
  EXPECT_EQ(vos_fs_extract_both_dir_and_filename("/tmp/a.txt", &pc), 1);
  EXPECT_EQ(std::string(pc) + "|" + (pc + std::strlen(pc) + 1), "/tmp/|a.txt");
  vos_os_free(&pc);
  char* pc_file = nullptr;
  EXPECT_EQ(vos_fs_extract_dir_and_filename("x\\y", &pc, &pc_file), 1);
  EXPECT_EQ(taken(pc) + "|" + taken(pc_file), "x\\|y");
  for (const char* bad : {"a.txt", "/tmp/", ""}) {
    EXPECT_RC_ERR(vos_fs_extract_dir_and_filename(bad, &pc, &pc_file), -3, "Invalid filename");
    EXPECT_EQ(pc, nullptr);
  }
}

// A move across file systems copies beside the destination and renames: a planted link is
// replaced, never written through; a failed copy leaves destination and source whole.
TEST_F(vos_fs, move_across_file_systems_never_writes_through_a_link_nor_truncates) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  ASSERT_EQ(mkdir((tmp_ / "ftp").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((tmp_ / "other").c_str(), 0755), 0);
  std::ofstream(tmp_ / "victim") << "precious";
  fs::create_symlink(tmp_ / "victim", tmp_ / "ftp/linked");
  std::ofstream(tmp_ / "ftp/staged") << "earlier image";
  // The child ends through exit: the coverage build writes its counters there.
  const test_support::child_run run = test_support::run_in_child([&]() -> int {
    std::exit([&]() -> int {
      vos_os_init();
      // Another file system for the source, so that rename cannot work.
      if (unshare(CLONE_NEWNS) != 0 ||
          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount("tmpfs", (tmp_ / "other").c_str(), "tmpfs", 0, "size=1m") != 0) {
        return 90;
      }
      std::ofstream(tmp_ / "other/fw.bin") << std::string(30000, 'n');
      if (vos_fs_mv((tmp_ / "other/fw.bin").c_str(), (tmp_ / "ftp/linked").c_str()) != 1) return 1;
      if (fs::exists(tmp_ / "other/fw.bin")) return 2;
      // Writes past 20,000 bytes fail: the copy over "staged" fails part way.
      std::ofstream(tmp_ / "other/big.bin") << std::string(30000, 'b');
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit limited{20000, 20000};
      setrlimit(RLIMIT_FSIZE, &limited);
      if (vos_fs_mv((tmp_ / "other/big.bin").c_str(), (tmp_ / "ftp/staged").c_str()) != -1)
        return 3;
      return fs::exists(tmp_ / "other/big.bin") ? 0 : 4;
    }());
  });
  ASSERT_EQ(run.i_status, 0) << run.out;
  EXPECT_EQ(read_file(tmp_ / "victim"), "precious");
  EXPECT_FALSE(fs::is_symlink(tmp_ / "ftp/linked"));
  EXPECT_EQ(read_file(tmp_ / "ftp/linked"), std::string(30000, 'n'));
  EXPECT_EQ(read_file(tmp_ / "ftp/staged"), "earlier image");
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp_ / "ftp"), fs::directory_iterator()), 2)
      << "no temporary file left behind";
}
