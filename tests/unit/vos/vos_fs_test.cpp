// File-system helpers, each test in a fresh temporary directory that is removed afterwards,
// with the working directory and the accounted-memory totals restored.
#include "vos_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "alloc_balance.h"
#include "stdout_capture.h"
#include "temp_dir.h"
#include "vos_mem.h"

namespace fs = std::filesystem;

namespace {

using test_support::captured;
using test_support::read_file;

std::string cwd() {
  char ac[PATH_MAX];
  return getcwd(ac, sizeof ac) != nullptr ? std::string(ac) : std::string();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Content that differs at every offset of a 10,240-byte block, so a lost or repeated block shows.
std::string pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  }
  return s;
}

// True when one line of the output is a trace line of this level and module whose message
// matches the shell pattern (fnmatch: '*' any text, '?' one character).
bool has_trace(const std::string& out, const std::string& level, const std::string& message) {
  const std::string line =
      "[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]-[0-9][0-9][0-9][0-9][0-9][0-9]:" + level +
      ":vos_fs.c:[0-9]*:" + message;
  std::istringstream lines(out);
  for (std::string l; std::getline(lines, l);) {
    if (fnmatch(line.c_str(), l.c_str(), 0) == 0) {
      return true;
    }
  }
  return false;
}

// A literal text inside a shell pattern.
std::string literal(const std::string& s) {
  std::string escaped;
  for (const char c : s) {
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') {
      escaped += '\\';
    }
    escaped += c;
  }
  return escaped;
}

// Expects @p call to return @p rc and to trace an ERROR line matching @p msg (fnmatch).
#define EXPECT_RC_TRACE(call, rc, msg)                          \
  do {                                                          \
    int i_rc_ = 0;                                              \
    const std::string out_ = captured([&] { i_rc_ = (call); }); \
    EXPECT_EQ(i_rc_, rc);                                       \
    EXPECT_TRUE(has_trace(out_, "ERROR", msg)) << out_;         \
  } while (0)

bool matches(const std::string& pattern, const std::string& text) {
  return fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
}

class vos_fs : public test_support::alloc_balance_test {
 protected:
  void SetUp() override {
    alloc_balance_test::SetUp();
    start_dir_ = cwd();
    ASSERT_TRUE(tmp_.ok());
    ASSERT_EQ(chdir(base_.c_str()), 0);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(start_dir_.c_str()), 0);
    std::error_code ec;
    for (const std::string& dir : extra_dirs_) {
      fs::remove_all(dir, ec);
    }
    expect_alloc_balance();
  }

  std::string path(const std::string& relative) const { return base_ + "/" + relative; }

  test_support::temp_dir tmp_{"vos_fs_test"};  // removed with the fixture
  const std::string base_{tmp_.path()};
  std::vector<std::string> extra_dirs_;

 private:
  std::string start_dir_;
};

// Text of an accounted block ("<null>" for none); the block is freed.
std::string taken(char* pc) {
  std::string s = pc != nullptr ? pc : "<null>";
  vos_os_free(&pc);
  return s;
}

bool is_cloexec(std::FILE* pf) { return (fcntl(fileno(pf), F_GETFD) & FD_CLOEXEC) != 0; }

mode_t current_umask() {
  const mode_t m = umask(0);
  umask(m);
  return m;
}

}  // namespace

TEST_F(vos_fs, chdir_creates_every_missing_directory_and_stays_there) {
  ASSERT_EQ(mkdir(path("a").c_str(), 0700), 0);
  EXPECT_EQ(vos_fs_chdir(path("a/b/c").c_str()), 1);
  EXPECT_EQ(cwd(), path("a/b/c"));
  struct stat st {};
  ASSERT_EQ(stat(path("a/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0777 & ~current_umask());
  {
    SCOPED_TRACE("trailing separator, backslashes");
    EXPECT_EQ(vos_fs_chdir((base_ + "/").c_str()), 1);
    EXPECT_EQ(cwd(), base_);
    std::string back = path("x/y");
    std::replace(back.begin(), back.end(), '/', '\\');
    EXPECT_EQ(vos_fs_chdir(back.c_str()), 1);
    EXPECT_EQ(cwd(), path("x/y"));
  }
  {
    SCOPED_TRACE("root");
    EXPECT_EQ(vos_fs_chdir("/"), 1);
    EXPECT_EQ(cwd(), "/");
  }
}

TEST_F(vos_fs, chdir_rejects_bad_paths) {
  EXPECT_RC_TRACE(vos_fs_chdir(path("a//b").c_str()), -1, "Invalid directory/file name");
  EXPECT_EQ(cwd(), path("a"));  // stopped after entering the first component
  EXPECT_FALSE(fs::exists(path("a/b")));

  EXPECT_RC_TRACE(vos_fs_chdir("a/b"), -1, "Invalid directory name \"a/b\"");

  for (const char* pc : {static_cast<const char*>(nullptr), ""}) {
    EXPECT_RC_TRACE(vos_fs_chdir(pc), -1, "Invalid directory name");
  }
}

TEST_F(vos_fs, chdir_through_a_file_fails_without_creating_elsewhere) {
  write_file(path("plain"), "x");
  EXPECT_RC_TRACE(vos_fs_chdir(path("plain/sub/deeper").c_str()), -1,
                  "Can't change directory \"plain\" : Not a directory");
  // Going on from the wrong directory would have made these beside the file.
  EXPECT_FALSE(fs::exists(path("sub")));
  EXPECT_EQ(cwd(), base_);
}

TEST_F(vos_fs, chreldir_reports_uncreatable_and_unenterable_directories) {
  const std::string too_long(NAME_MAX + 1, 'n');
  EXPECT_RC_TRACE(vos_fs_chreldir((too_long + "/x").c_str(), nullptr), -1,
                  "Can't create directory \"n*\" : File name too long");

  write_file(path("plain"), "x");
  EXPECT_RC_TRACE(vos_fs_chreldir("plain", nullptr), -1,
                  "Can't change directory \"plain\" : Not a directory");
  EXPECT_EQ(cwd(), base_);
}

TEST_F(vos_fs, chreldir_with_a_file_name_enters_only_its_directories) {
  const char* pc_path = "x/y/file.bin";
  const char* pc_name = reinterpret_cast<const char*>(1);
  EXPECT_EQ(vos_fs_chreldir(pc_path, &pc_name), 1);
  EXPECT_EQ(pc_name, pc_path + 4);  // inside the caller's own string
  EXPECT_EQ(cwd(), path("x/y"));
  EXPECT_FALSE(fs::exists(path("x/y/file.bin")));
  ASSERT_EQ(chdir(base_.c_str()), 0);

  EXPECT_RC_TRACE(vos_fs_chreldir("x/y/", &pc_name), -3, "Filename length is 0");
  EXPECT_EQ(pc_name, nullptr);
  ASSERT_EQ(chdir(base_.c_str()), 0);

  pc_name = "stale";
  EXPECT_EQ(vos_fs_chreldir("", &pc_name), -3);
  EXPECT_EQ(pc_name, nullptr);
  EXPECT_EQ(vos_fs_chreldir("", nullptr), 1);
  EXPECT_EQ(cwd(), base_);
  EXPECT_EQ(vos_fs_chreldir("p\\q\\", nullptr), 1);
  EXPECT_EQ(cwd(), path("p/q"));

  EXPECT_RC_TRACE(vos_fs_chreldir("/abs", &pc_name), -1, "Not a relative directory/file name");
  EXPECT_RC_TRACE(vos_fs_chreldir("\\abs", nullptr), -1, "Not a relative directory/file name");
  EXPECT_RC_TRACE(vos_fs_chreldir(nullptr, &pc_name), -1, "Invalid directory/file name");
}

TEST_F(vos_fs, open_file_creates_directories_and_marks_close_on_exec) {
  std::FILE* pf = reinterpret_cast<std::FILE*>(1);
  ASSERT_EQ(vos_fs_open_file(&pf, path("d").c_str(), "e/f.txt", "wb"), 1);
  ASSERT_NE(pf, nullptr);
  EXPECT_TRUE(is_cloexec(pf));
  EXPECT_EQ(cwd(), path("d/e"));
  std::fputs("data", pf);
  EXPECT_EQ(vos_fs_close_file(&pf), 1);
  EXPECT_EQ(pf, nullptr);
  EXPECT_EQ(read_file(path("d/e/f.txt")), "data");

  pf = reinterpret_cast<std::FILE*>(1);
  EXPECT_RC_TRACE(vos_fs_open_file(&pf, path("d").c_str(), "e", "wb"), -1,
                  "Cant open file \"e\" : Is a directory");
  EXPECT_EQ(pf, nullptr);

  EXPECT_RC_TRACE(vos_fs_open_file(&pf, nullptr, "f", "rb"), -3,
                  "Invalid parameter dirname=\"(null)\" filename=\"f\"");
  EXPECT_RC_TRACE(vos_fs_open_file(&pf, "", nullptr, "rb"), -3,
                  "Invalid parameter dirname=\"\" filename=\"(null)\"");

  SCOPED_TRACE("failures of the walks come back unchanged");
  EXPECT_EQ(vos_fs_open_file(&pf, "relative", "f", "rb"), -1);
  EXPECT_EQ(vos_fs_open_file(&pf, path("d").c_str(), "e/", "rb"), -3);
  EXPECT_EQ(pf, nullptr);
}

TEST_F(vos_fs, open_and_close_file) {
  write_file(path("f"), "abc");
  std::FILE* pf = nullptr;
  const std::string out = captured([&] { pf = vos_fs_open(path("missing").c_str(), "rb"); });
  EXPECT_EQ(pf, nullptr);
  EXPECT_EQ(out, "");  // nothing logged
  EXPECT_EQ(vos_fs_open(nullptr, "rb"), nullptr);

  pf = vos_fs_open(path("f").c_str(), "rb");
  ASSERT_NE(pf, nullptr);
  EXPECT_TRUE(is_cloexec(pf));
  EXPECT_EQ(cwd(), base_);
  EXPECT_EQ(vos_fs_close_file(&pf), 1);
  EXPECT_EQ(pf, nullptr);
  EXPECT_EQ(vos_fs_close_file(&pf), 1);
  EXPECT_EQ(vos_fs_close_file(nullptr), 1);

  EXPECT_EQ(vos_fs_unlink(path("f").c_str()), 0);
  EXPECT_FALSE(fs::exists(path("f")));
  EXPECT_EQ(vos_fs_unlink(path("f").c_str()), -1);
}

TEST_F(vos_fs, filestat_reports_type_size_permissions_and_time) {
  write_file(path("f"), "12345");
  ASSERT_EQ(chmod(path("f").c_str(), 0640), 0);
  const utimbuf times{1000000000, 1234567890};
  ASSERT_EQ(utime(path("f").c_str(), &times), 0);
  std::uint32_t u32_type = 9, u32_size = 9, u32_perm = 9, u32_mtime = 9;
  EXPECT_EQ(vos_fs_filestat(base_.c_str(), "f", &u32_type, &u32_size, &u32_perm, &u32_mtime), 1);
  EXPECT_EQ(u32_type, 1U);
  EXPECT_EQ(u32_size, 5U);
  EXPECT_EQ(u32_perm, 0640U);
  EXPECT_EQ(u32_mtime, 1234567890U);

  ASSERT_EQ(mkdir(path("d").c_str(), 0750), 0);
  EXPECT_EQ(
      vos_fs_filestat((base_ + "/").c_str(), "/d", &u32_type, &u32_size, &u32_perm, &u32_mtime), 1);
  EXPECT_EQ(u32_type, 2U);
  EXPECT_EQ(u32_perm, 0750U);

  EXPECT_RC_TRACE(
      vos_fs_filestat(base_.c_str(), "missing", &u32_type, &u32_size, &u32_perm, &u32_mtime), -1,
      "Can't obtain file stats for file \"" + literal(path("missing")) +
          "\" : No such file or directory");
  EXPECT_EQ(u32_type + u32_size + u32_perm + u32_mtime, 0U);

  u32_type = 9;
  EXPECT_RC_TRACE(vos_fs_filestat(nullptr, "f", &u32_type, &u32_size, &u32_perm, &u32_mtime), -1,
                  "Invalid filename");
  EXPECT_EQ(u32_type, 0U);
}

TEST_F(vos_fs, filesize_of_files_directories_and_bad_names) {
  write_file(path("f"), pattern(12345));
  std::uint32_t u32_size = 9;
  EXPECT_EQ(vos_fs_filesize(path("f").c_str(), &u32_size), 1);
  EXPECT_EQ(u32_size, 12345U);

  u32_size = 9;
  EXPECT_RC_TRACE(vos_fs_filesize(base_.c_str(), &u32_size), -1,
                  literal(base_) + " is a directory");
  EXPECT_EQ(u32_size, 0U);

  EXPECT_RC_TRACE(vos_fs_filesize("", &u32_size), -3, "Invalid filename");
  EXPECT_EQ(vos_fs_filesize(nullptr, &u32_size), -3);

  EXPECT_RC_TRACE(vos_fs_filesize(path("f/x").c_str(), &u32_size), -1,
                  "Can't obtain file stats for file \"*\" : Not a directory");
}

TEST_F(vos_fs, filesize_refuses_sizes_beyond_32_bits) {
  // Sparse files: no disk space is used.
  ASSERT_EQ(truncate((write_file(path("max"), ""), path("max")).c_str(), 0xFFFFFFFFLL), 0);
  std::uint32_t u32_size = 0;
  EXPECT_EQ(vos_fs_filesize(path("max").c_str(), &u32_size), 1);
  EXPECT_EQ(u32_size, 0xFFFFFFFFU);

  write_file(path("big"), "");
  ASSERT_EQ(truncate(path("big").c_str(), 0x100000005LL), 0);
  int i_rc = 0;
  u32_size = 9;
  const std::string out = captured([&] { i_rc = vos_fs_filesize(path("big").c_str(), &u32_size); });
  EXPECT_EQ(i_rc, -1);  // not 5
  EXPECT_EQ(u32_size, 0U);
  EXPECT_TRUE(has_trace(out, "ERROR", "Can't obtain file stats for file \"*big\" : ?*")) << out;
  std::uint32_t u32_type = 0;
  EXPECT_EQ(vos_fs_filestat(base_.c_str(), "big", &u32_type, &u32_size, nullptr, nullptr), -1);
}

TEST_F(vos_fs, copy_reproduces_content_and_creates_the_destination_directory) {
  {
    SCOPED_TRACE("several blocks and a partial one");
    const std::string content = pattern(3 * 10240 + 17);
    write_file(path("src.bin"), content);
    write_file(path("out/dst.bin"), "");  // directory out does not exist: nothing written
    int i_rc = 0;
    const std::string out = captured(
        [&] { i_rc = vos_fs_copy(path("src.bin").c_str(), path("out/sub/dst.bin").c_str()); });
    EXPECT_EQ(i_rc, 1);
    EXPECT_EQ(read_file(path("out/sub/dst.bin")), content);
    EXPECT_EQ(read_file(path("src.bin")), content);
    EXPECT_EQ(cwd(), path("out/sub"));
    EXPECT_TRUE(has_trace(out, "DEBUG",
                          "Copying file \"" + literal(path("src.bin")) + "\" to \"" +
                              literal(path("out/sub/dst.bin")) + "\""))
        << out;
  }
  {
    SCOPED_TRACE("empty source; longer destination truncated");
    write_file(path("empty"), "");
    write_file(path("old"), "previous content");
    EXPECT_EQ(vos_fs_copy(path("empty").c_str(), path("old").c_str()), 1);
    EXPECT_TRUE(fs::exists(path("old")));
    EXPECT_EQ(fs::file_size(path("old")), 0U);
  }
  {
    SCOPED_TRACE("backslashes separate in both paths");
    std::string dst = path("back/slash.bin");
    std::string src = path("src.bin");
    std::replace(dst.begin(), dst.end(), '/', '\\');
    std::replace(src.begin(), src.end(), '/', '\\');
    EXPECT_EQ(vos_fs_copy(src.c_str(), dst.c_str()), 1);
    EXPECT_EQ(read_file(path("back/slash.bin")), pattern(3 * 10240 + 17));
    EXPECT_FALSE(fs::exists("/" + dst.substr(1)));  // no file named with backslashes in "/"
  }
  {
    SCOPED_TRACE("a relative source is taken from the destination directory");
    write_file(path("out/rel.txt"), "relative");
    EXPECT_EQ(vos_fs_copy("rel.txt", path("out/copy.txt").c_str()), 1);
    EXPECT_EQ(read_file(path("out/copy.txt")), "relative");
  }
}

TEST_F(vos_fs, copy_failures) {
  EXPECT_RC_TRACE(
      vos_fs_copy(path("missing").c_str(), path("new/dst").c_str()), -1,
      "Can't open source file \"" + literal(path("missing")) + "\" : No such file or directory");
  EXPECT_TRUE(fs::is_directory(path("new")));  // created before the source is opened
  EXPECT_FALSE(fs::exists(path("new/dst")));

  write_file(path("src"), "abc");
  ASSERT_EQ(mkdir(path("dir").c_str(), 0700), 0);
  EXPECT_RC_TRACE(vos_fs_copy(path("src").c_str(), path("dir/").c_str()), -1,
                  "Can't open dest file \"*\" : Is a directory");
  EXPECT_RC_TRACE(vos_fs_copy(path("src").c_str(), "nodir"), -3, "Invalid destination filename");
  EXPECT_RC_TRACE(vos_fs_copy(path("src").c_str(), "a/b"), -1, "Invalid directory name \"a/\"");

  for (const auto& [pc_src, pc_dst] : std::vector<std::pair<const char*, const char*>>{
           {nullptr, "/x/y"}, {"", "/x/y"}, {"a", nullptr}, {"a", ""}}) {
    EXPECT_RC_TRACE(vos_fs_copy(pc_src, pc_dst), -3, "Invalid filename while copying file");
  }

  // A file in the way of the destination directory.
  EXPECT_RC_TRACE(vos_fs_copy(path("dir").c_str(), path("src/x").c_str()), -1,
                  "Can't change directory \"src\" : Not a directory");
}

TEST_F(vos_fs, copy_onto_itself_keeps_the_data) {
  write_file(path("same"), "precious");
  EXPECT_RC_TRACE(vos_fs_copy(path("same").c_str(), path("./same").c_str()), -1,
                  "Can't copy file \"*\" onto itself");
  EXPECT_EQ(read_file(path("same")), "precious");
  EXPECT_EQ(vos_fs_mv(path("same").c_str(), path("same").c_str()), 1);
  EXPECT_EQ(read_file(path("same")), "precious");
}

TEST_F(vos_fs, copy_of_a_directory_fails_and_leaves_no_destination) {
  ASSERT_EQ(mkdir(path("dir").c_str(), 0700), 0);
  EXPECT_RC_TRACE(vos_fs_copy(path("dir").c_str(), path("out/dst").c_str()), -1,
                  "Can't read source file \"*\" : Is a directory");
  EXPECT_FALSE(fs::exists(path("out/dst")));
}

TEST_F(vos_fs, copy_short_write_fails_and_removes_the_partial_destination) {
  // A file-size limit makes the writes past it fail with EFBIG instead of raising SIGXFSZ.
  const std::string content = pattern(5 * 10240);
  write_file(path("src"), content);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = 3 * 10240;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  int i_rc = 0;
  const std::string out =
      captured([&] { i_rc = vos_fs_copy(path("src").c_str(), path("dst").c_str()); });
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(i_rc, -1);
  EXPECT_FALSE(fs::exists(path("dst")));
  EXPECT_EQ(read_file(path("src")), content);
  EXPECT_TRUE(has_trace(out, "ERROR", "Can't write dest file \"*dst\" : File too large")) << out;

  SCOPED_TRACE("a move whose copy fails keeps its source");
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  std::signal(SIGXFSZ, SIG_IGN);
  char ac_shm[] = "/dev/shm/vos_fs_test.XXXXXX";
  const bool b_shm = mkdtemp(ac_shm) != nullptr;
  if (b_shm) {
    extra_dirs_.push_back(ac_shm);
    i_rc = vos_fs_mv(path("src").c_str(), (std::string(ac_shm) + "/dst").c_str());
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
  if (b_shm) {
    EXPECT_EQ(i_rc, -1);
    EXPECT_EQ(read_file(path("src")), content);
    EXPECT_FALSE(fs::exists(std::string(ac_shm) + "/dst"));
  }
}

TEST_F(vos_fs, copy_to_a_full_device_fails_and_keeps_the_device) {
  // A private twin of /dev/full (char 1:7): every write fails with ENOSPC.
  if (mknod(path("full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
    GTEST_SKIP() << "cannot create a device node here";
  }
  write_file(path("src"), "some data");
  int i_rc = 0;
  const std::string out =
      captured([&] { i_rc = vos_fs_copy(path("src").c_str(), path("full").c_str()); });
  if (out.find("Can't open dest file") != std::string::npos) {
    GTEST_SKIP() << "device nodes are not usable on this file system";
  }
  EXPECT_EQ(i_rc, -1);  // the failed flush is not success
  EXPECT_TRUE(has_trace(out, "ERROR", "Can't write dest file \"*full\" : No space left on device"))
      << out;
  struct stat st {};
  EXPECT_EQ(stat(path("full").c_str(), &st), 0);  // a device is never removed
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(vos_fs, mv_renames_and_creates_the_destination_directory) {
  write_file(path("fw.bin"), "firmware");
  EXPECT_EQ(vos_fs_mv(path("fw.bin").c_str(), path("ftp/1a2b").c_str()), 1);
  EXPECT_FALSE(fs::exists(path("fw.bin")));
  EXPECT_EQ(read_file(path("ftp/1a2b")), "firmware");
  EXPECT_EQ(cwd(), path("ftp"));

  write_file(path("ftp/rel"), "r");
  EXPECT_EQ(vos_fs_mv("rel", path("ftp/renamed").c_str()), 1);
  EXPECT_EQ(read_file(path("ftp/renamed")), "r");

  EXPECT_RC_TRACE(vos_fs_mv(path("ftp/1a2b").c_str(), "name"), -3, "Invalid destination filename");
  EXPECT_RC_TRACE(vos_fs_mv("", path("x").c_str()), -3, "Invalid filename while moving file");
  EXPECT_EQ(vos_fs_mv(path("x").c_str(), nullptr), -3);
  EXPECT_EQ(vos_fs_mv(path("missing").c_str(), path("ftp/m").c_str()), -1);
  EXPECT_EQ(vos_fs_mv(path("ftp/renamed").c_str(), "relative/m"), -1);
  EXPECT_TRUE(fs::exists(path("ftp/renamed")));
}

TEST_F(vos_fs, mv_across_file_systems_copies_then_removes) {
  char ac_shm[] = "/dev/shm/vos_fs_test.XXXXXX";
  if (mkdtemp(ac_shm) == nullptr) {
    GTEST_SKIP() << "no /dev/shm";
  }
  const std::string other = ac_shm;
  extra_dirs_.push_back(other);
  struct stat st_a {
  }, st_b{};
  ASSERT_EQ(stat(base_.c_str(), &st_a), 0);
  ASSERT_EQ(stat(other.c_str(), &st_b), 0);
  if (st_a.st_dev == st_b.st_dev) {
    GTEST_SKIP() << "/dev/shm is on the same file system as /tmp";
  }
  const std::string content = pattern(2 * 10240 + 1);
  write_file(other + "/src", content);
  int i_rc = 0;
  const std::string out =
      captured([&] { i_rc = vos_fs_mv((other + "/src").c_str(), path("ftp/dst").c_str()); });
  EXPECT_EQ(i_rc, 1);
  EXPECT_EQ(read_file(path("ftp/dst")), content);
  EXPECT_FALSE(fs::exists(other + "/src"));
  EXPECT_TRUE(has_trace(out, "DEBUG", "Copying file *")) << out;  // rename was refused
}

TEST_F(vos_fs, mv_dir_and_cp_dir_act_on_one_file) {
  ASSERT_EQ(mkdir(path("from").c_str(), 0700), 0);
  write_file(path("from/a.txt"), "A");
  EXPECT_EQ(vos_fs_cp_dir(path("from").c_str(), "a.txt", (path("to") + "/").c_str()), 1);
  EXPECT_EQ(read_file(path("to/a.txt")), "A");
  EXPECT_TRUE(fs::exists(path("from/a.txt")));
  EXPECT_EQ(vos_fs_mv_dir((path("from") + "\\").c_str(), "a.txt", path("to2").c_str()), 1);
  EXPECT_EQ(read_file(path("to2/a.txt")), "A");
  EXPECT_FALSE(fs::exists(path("from/a.txt")));
  EXPECT_EQ(vos_fs_cp_dir(path("from").c_str(), "a.txt", path("to3").c_str()), -1);

  EXPECT_RC_TRACE(vos_fs_mv_dir(base_.c_str(), "/a.txt", "/x"), -3,
                  "Invalid relative filename \"/a.txt\"");
  captured([&] { EXPECT_EQ(vos_fs_cp_dir(base_.c_str(), "\\a", "/x"), -3); });
  for (const auto& args : std::vector<std::vector<const char*>>{
           {nullptr, "a", "/x"}, {"/y", "", "/x"}, {"/y", "a", nullptr}, {"", "a", "/x"}}) {
    EXPECT_RC_TRACE(vos_fs_mv_dir(args[0], args[1], args[2]), -3, "Invalid parameter");
    EXPECT_EQ(vos_fs_cp_dir(args[0], args[1], args[2]), -3);
  }
}

TEST_F(vos_fs, cat_name_joins_with_one_separator) {
  const auto cat = [](const char* a, const char* b, int flag) {
    return taken(vos_fs_cat_name(a, b, flag));
  };
  EXPECT_EQ(cat("a\\b", "c", 0), "a/b/c");
  EXPECT_EQ(cat("a/", "/c", 0), "a/c");
  EXPECT_EQ(cat("a/", "//c", 0), "a//c");  // only one character skipped
  EXPECT_EQ(cat("a", "", 1), "a/");
  EXPECT_EQ(cat("a/", "", 0), "a");
  EXPECT_EQ(cat("/", "", 0), "");
  EXPECT_EQ(cat(nullptr, nullptr, 0), "<null>");
  EXPECT_EQ(cat(nullptr, "c\\d", 0), "c/d");
  EXPECT_EQ(cat("a", nullptr, 0), "a");
  EXPECT_EQ(cat("a", "b", 1), "a/b/");
  EXPECT_EQ(cat("a", "b/", 1), "a/b/");
  EXPECT_EQ(cat("a\\", "\\b\\", 1), "a/b/");
  EXPECT_EQ(cat("", "", 1), "/");
  EXPECT_EQ(cat("a", "\\b", 0), "a/b");
}

TEST_F(vos_fs, directory_listing_names_every_entry) {
  ASSERT_EQ(mkdir(path("list").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(path("list/sub").c_str(), 0700), 0);
  write_file(path("list/file"), "x");
  std::string dir = path("list");
  std::replace(dir.begin(), dir.end(), '/', '\\');
  const std::uint32_t u32_mem = vos_os_curmem();
  vos_fs_dir* p_dir = vos_fs_opendir(dir.data());
  ASSERT_NE(p_dir, nullptr);
  EXPECT_EQ(dir, path("list"));  // rewritten in place
  // The handle holds one directory pointer of this host's size.
  EXPECT_EQ(vos_os_curmem() - u32_mem, sizeof(DIR*));

  std::map<std::string, std::uint32_t> entries;
  std::uint32_t u32_type = 99;
  while (const char* pc_name = vos_fs_readdir_and_type(p_dir, &u32_type)) {
    entries[pc_name] = u32_type;
  }
  EXPECT_EQ(u32_type, 0U);
  EXPECT_EQ(vos_fs_readdir(p_dir), nullptr);
  ASSERT_EQ(entries.size(), 4U);
  EXPECT_EQ(entries.count("."), 1U);
  EXPECT_EQ(entries.count(".."), 1U);
  ASSERT_EQ(entries.count("sub"), 1U);
  ASSERT_EQ(entries.count("file"), 1U);
  if (entries["file"] != DT_UNKNOWN) {
    EXPECT_EQ(entries["file"], static_cast<std::uint32_t>(DT_REG));
    EXPECT_EQ(entries["sub"], static_cast<std::uint32_t>(DT_DIR));
  }
  vos_fs_closedir(&p_dir);
  EXPECT_EQ(p_dir, nullptr);
  vos_fs_closedir(&p_dir);
  vos_fs_closedir(nullptr);

  SCOPED_TRACE("plain reads and failures");
  std::string again = path("list");
  p_dir = vos_fs_opendir(again.data());
  ASSERT_NE(p_dir, nullptr);
  int i_count = 0;
  while (vos_fs_readdir(p_dir) != nullptr) {
    ++i_count;
  }
  EXPECT_EQ(i_count, 4);
  vos_fs_closedir(&p_dir);
  std::string missing = path("missing");
  EXPECT_EQ(vos_fs_opendir(missing.data()), nullptr);
  std::string file = path("list/file");
  EXPECT_EQ(vos_fs_opendir(file.data()), nullptr);
  EXPECT_EQ(vos_fs_opendir(nullptr), nullptr);
  u32_type = 5;
  EXPECT_EQ(vos_fs_readdir_and_type(nullptr, &u32_type), nullptr);
  EXPECT_EQ(u32_type, 0U);
  EXPECT_EQ(vos_fs_readdir(nullptr), nullptr);
}

TEST_F(vos_fs, change_extension_and_unique_names) {
  const auto change = [](const char* pc_name, const char* pc_ext, int i_unique, int* pi_rc) {
    char* pc = reinterpret_cast<char*>(1);
    *pi_rc = vos_fs_change_extension(pc_name, pc_ext, &pc, i_unique);
    return taken(pc);
  };
  int i_rc = 0;
  EXPECT_EQ(change("log.txt", "bak", 1, &i_rc), "log.bak");
  EXPECT_EQ(i_rc, 1);
  EXPECT_EQ(change("log.txt", nullptr, 0, &i_rc), "log");
  EXPECT_EQ(change("log", "bak", 0, &i_rc), "log.bak");
  EXPECT_EQ(change("a.b.c", "d", 0, &i_rc), "a.b.d");
  // A '.' in a directory name is not an extension.
  EXPECT_EQ(change("logs.d/app", "bak", 0, &i_rc), "logs.d/app.bak");
  EXPECT_EQ(change("logs.d/app.txt", "bak", 0, &i_rc), "logs.d/app.bak");

  write_file(path("log.bak"), "x");
  EXPECT_EQ(change("log.txt", "bak", 0, &i_rc), "log.bak");  // exists, not asked to be unique
  EXPECT_EQ(i_rc, 1);
  for (int i = 0; i < 3; ++i) {
    const std::string unique = change("log.txt", "bak", 1, &i_rc);
    EXPECT_EQ(i_rc, 1);
    EXPECT_TRUE(matches("log_[0-9a-f][0-9a-f][0-9a-f][0-9a-f].bak", unique)) << unique;
    EXPECT_FALSE(fs::exists(path(unique)));
    write_file(path(unique), "taken");  // the next one must differ
  }
  write_file(path("log"), "x");
  const std::string bare = change("log.txt", nullptr, 1, &i_rc);
  EXPECT_TRUE(matches("log_[0-9a-f][0-9a-f][0-9a-f][0-9a-f]", bare)) << bare;

  for (const char* pc : {".profile", "", "dir/.hidden"}) {
    const std::string out = captured([&] { EXPECT_EQ(change(pc, "x", 0, &i_rc), "<null>"); });
    EXPECT_EQ(i_rc, -3);
    EXPECT_TRUE(has_trace(out, "ERROR", "Invalid filename")) << out;
  }
  EXPECT_EQ(change(nullptr, "x", 0, &i_rc), "<null>");
  EXPECT_EQ(i_rc, -3);
}

TEST_F(vos_fs, change_filename_keeps_the_directory_part) {
  const auto change = [](const char* pc_path, const char* pc_new, int* pi_rc) {
    char* pc = reinterpret_cast<char*>(1);
    *pi_rc = vos_fs_change_filename(pc_path, pc_new, &pc);
    return taken(pc);
  };
  int i_rc = 0;
  EXPECT_EQ(change("/tmp/a.txt", "b.bin", &i_rc), "/tmp/b.bin");
  EXPECT_EQ(i_rc, 1);
  EXPECT_EQ(change("a.txt", "b.bin", &i_rc), "b.bin");
  EXPECT_EQ(change("x\\y/z\\a.txt", "b", &i_rc), "x\\y/z\\b");
  EXPECT_EQ(change("/tmp/", "", &i_rc), "/tmp/");
  const std::string out = captured([&] { EXPECT_EQ(change("", "b", &i_rc), "<null>"); });
  EXPECT_EQ(i_rc, -3);
  EXPECT_TRUE(has_trace(out, "ERROR", "Invalid filename")) << out;
  EXPECT_EQ(change(nullptr, "b", &i_rc), "<null>");
  EXPECT_EQ(i_rc, -3);
  EXPECT_EQ(change("/a", nullptr, &i_rc), "<null>");
  EXPECT_EQ(i_rc, -3);
}

TEST_F(vos_fs, extract_both_dir_and_filename_in_one_block) {
  const auto split = [](const char* pc_path, int* pi_rc) {
    char* pc = reinterpret_cast<char*>(1);
    *pi_rc = vos_fs_extract_both_dir_and_filename(pc_path, &pc);
    std::pair<std::string, std::string> parts{"<null>", "<null>"};
    if (pc != nullptr) {
      parts = {std::string(pc), std::string(pc + std::strlen(pc) + 1)};
    }
    vos_os_free(&pc);
    return parts;
  };
  int i_rc = 0;
  EXPECT_EQ(split("a.txt", &i_rc), std::make_pair(std::string(), std::string("a.txt")));
  EXPECT_EQ(i_rc, 1);
  EXPECT_EQ(split("/tmp/a.txt", &i_rc), std::make_pair(std::string("/tmp/"), std::string("a.txt")));
  EXPECT_EQ(split("x\\y", &i_rc), std::make_pair(std::string("x\\"), std::string("y")));
  EXPECT_EQ(split("/tmp/", &i_rc), std::make_pair(std::string("/tmp/"), std::string()));
  const std::string out = captured([&] { split("", &i_rc); });
  EXPECT_EQ(i_rc, -3);
  EXPECT_TRUE(has_trace(out, "ERROR", "Invalid filename")) << out;
  split(nullptr, &i_rc);
  EXPECT_EQ(i_rc, -3);
}

TEST_F(vos_fs, extract_dir_and_filename_in_two_blocks) {
  char* pc_dir = reinterpret_cast<char*>(1);
  char* pc_file = reinterpret_cast<char*>(1);
  EXPECT_EQ(vos_fs_extract_dir_and_filename("/tmp/a.txt", &pc_dir, &pc_file), 1);
  ASSERT_NE(pc_dir, nullptr);
  ASSERT_NE(pc_file, nullptr);
  EXPECT_STREQ(pc_dir, "/tmp/");
  EXPECT_STREQ(pc_file, "a.txt");
  vos_os_free(&pc_dir);
  vos_os_free(&pc_file);

  EXPECT_EQ(vos_fs_extract_dir_and_filename("x\\y", nullptr, &pc_file), 1);
  ASSERT_NE(pc_file, nullptr);
  EXPECT_STREQ(pc_file, "y");
  vos_os_free(&pc_file);

  for (const char* pc : {"a.txt", "/tmp/", "", static_cast<const char*>(nullptr)}) {
    pc_dir = reinterpret_cast<char*>(1);
    pc_file = reinterpret_cast<char*>(1);
    EXPECT_RC_TRACE(vos_fs_extract_dir_and_filename(pc, &pc_dir, &pc_file), -3, "Invalid filename");
    EXPECT_EQ(pc_dir, nullptr);
    EXPECT_EQ(pc_file, nullptr);
  }
}
