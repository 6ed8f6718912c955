#include "dir2files.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "process.h"

namespace {

// When set, every directory entry is reported without a type, as some file
// systems do.
std::atomic<bool> hide_entry_types{false};

}  // namespace

// Stands in front of the C library's readdir (the build uses 64-bit file
// offsets, so that is readdir64) to be able to clear d_type.
extern "C" struct dirent64* readdir64(DIR* dir) {
  using readdir_function = struct dirent64* (*)(DIR*);
  static const auto next = reinterpret_cast<readdir_function>(dlsym(RTLD_NEXT, "readdir64"));
  struct dirent64* entry = next(dir);
  if (entry != nullptr && hide_entry_types.load()) entry->d_type = DT_UNKNOWN;
  return entry;
}

namespace {

using paths = std::vector<std::string>;
namespace fs = std::filesystem;

void make_file(const std::string& path) {
  FILE* file = fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr) << path << ": " << strerror(errno);
  fputs("x", file);
  fclose(file);
}

void make_dir(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

// Runs the expansion as a player would, with the program name in argv[0],
// and copies the result out of the module.
paths expand(const paths& operands) {
  std::vector<std::string> words{"player"};
  words.insert(words.end(), operands.begin(), operands.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return dir2files_build(1, static_cast<int>(words.size()), argv.data());
}

class Dir2files : public testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(tmp.path().empty()); }
  void TearDown() override { hide_entry_types = false; }
  std::string at(const std::string& name) const { return tmp.file(name); }

  temp_dir tmp;
};

TEST_F(Dir2files, SortsInByteOrderKeepingDuplicates) {
  for (const char* name : {"a.wav", "b.wav", "B.wav", "a.wav2", "\xc3\xa9.wav"}) make_file(at(name));
  EXPECT_EQ(expand({at("b.wav"), at("a.wav")}), (paths{at("a.wav"), at("b.wav")}));
  // Upper case before lower case, a prefix before its extensions, bytes above
  // 0x7f after ASCII.
  EXPECT_EQ(expand({at("\xc3\xa9.wav"), at("a.wav2"), at("b.wav"), at("a.wav"), at("B.wav")}),
            (paths{at("B.wav"), at("a.wav"), at("a.wav2"), at("b.wav"), at("\xc3\xa9.wav")}));
  // The same file twice is played twice, one after the other.
  EXPECT_EQ(expand({at("b.wav"), at("a.wav"), at("b.wav")}), (paths{at("a.wav"), at("b.wav"), at("b.wav")}));
}

TEST_F(Dir2files, DirectoryContributesItsRegularFilesOneLevelDeep) {
  const std::string music = at("music");
  make_dir(music);
  make_file(music + "/y.wav");
  make_file(music + "/x.wav");
  make_file(music + "/.hidden");
  make_dir(music + "/sub");
  make_file(music + "/sub/inner.wav");
  ASSERT_EQ(mkfifo((music + "/pipe").c_str(), 0644), 0);

  const paths expected{music + "/.hidden", music + "/x.wav", music + "/y.wav"};
  EXPECT_EQ(expand({music}), expected);
  EXPECT_EQ(expand({music + "/"}), expected);
  // A directory holding only subdirectories gives the empty list.
  make_dir(at("empty"));
  make_dir(at("empty/deeper"));
  EXPECT_EQ(expand({at("empty")}), paths{});
}

TEST_F(Dir2files, SymbolicLinksAreFollowedEachFileListedOnce) {
  const std::string music = at("music");
  make_dir(music);
  make_file(music + "/x.wav");
  make_file(at("target.wav"));
  make_file(at("other.wav"));
  fs::create_symlink(at("target.wav"), music + "/link.wav");
  fs::create_symlink(at("target.wav"), music + "/same.wav");
  fs::create_symlink(music + "/x.wav", music + "/y.wav");
  make_dir(at("empty"));
  make_file(at("empty/deeper.wav"));
  fs::create_symlink(at("empty"), music + "/linkdir");
  fs::create_symlink(at("nowhere"), music + "/dangling.wav");
  fs::create_symlink(at("target.wav"), at("song.wav"));
  fs::create_symlink(music, at("alias"));

  // Links to files count as files; two links to one file, or a link beside
  // its target, list it once, the first in byte order; a link to a
  // directory is not descended into.
  EXPECT_EQ(expand({music}), (paths{music + "/link.wav", music + "/x.wav"}));
  EXPECT_EQ(expand({at("song.wav")}), paths{at("song.wav")});
  EXPECT_EQ(expand({at("alias")}), (paths{at("alias") + "/link.wav", at("alias") + "/x.wav"}));
  // A folder of links alone plays.
  const std::string links = at("links");
  make_dir(links);
  fs::create_symlink(at("target.wav"), links + "/1.wav");
  fs::create_symlink(at("other.wav"), links + "/2.wav");
  EXPECT_EQ(expand({links}), (paths{links + "/1.wav", links + "/2.wav"}));
}

TEST_F(Dir2files, LinkLoopsEndAndADirectoryIsExpandedOnce) {
  const std::string music = at("music");
  make_dir(music);
  make_file(music + "/x.wav");
  fs::create_symlink(music, music + "/self");
  fs::create_symlink(music + "/loop.wav", music + "/loop.wav");
  fs::create_symlink(at("ping"), at("pong"));
  fs::create_symlink(at("pong"), at("ping"));
  fs::create_symlink(music, at("alias"));

  testing::internal::CaptureStderr();
  const paths list = expand({music, at("alias"), music + "/self", at("ping")});
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(list, paths{music + "/x.wav"});
  EXPECT_NE(err.find(" cannot stat " + at("ping") + "\n"), std::string::npos) << err;
}

TEST_F(Dir2files, EntriesWithoutTypeAreCheckedWithStat) {
  const std::string music = at("music");
  make_dir(music);
  make_file(music + "/x.wav");
  make_dir(music + "/sub");
  make_file(at("target.wav"));
  fs::create_symlink(at("target.wav"), music + "/link.wav");
  ASSERT_EQ(mkfifo((music + "/pipe").c_str(), 0644), 0);

  hide_entry_types = true;
  // The stand-in must really be the readdir in use, or this proves nothing.
  DIR* dir = opendir(music.c_str());
  ASSERT_NE(dir, nullptr);
  const struct dirent* entry = readdir(dir);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->d_type, DT_UNKNOWN);
  closedir(dir);

  EXPECT_EQ(expand({music}), (paths{music + "/link.wav", music + "/x.wav"}));
}

TEST_F(Dir2files, NoOperandsPlaysTheCurrentDirectory) {
  make_file(at("b.flac"));
  make_file(at("a.wav"));
  make_dir(at("sub"));
  const fs::path previous = fs::current_path();
  ASSERT_EQ(chdir(tmp.path().c_str()), 0);
  char* argv[] = {const_cast<char*>("player"), const_cast<char*>("-D"), const_cast<char*>("hw:1,0"), nullptr};
  const paths list = dir2files_build(3, 3, argv);
  fs::current_path(previous);
  EXPECT_EQ(list, (paths{"./a.wav", "./b.flac"}));
}

TEST_F(Dir2files, UnusableOperandsWarnAndTheRestIsListed) {
  make_file(at("a.wav"));
  const std::string missing = at("missing.wav");

  testing::internal::CaptureStderr();
  ASSERT_EQ(mkfifo(at("pipe").c_str(), 0644), 0);
  const paths list = expand({missing, at("a.wav"), "", "/dev/null", at("pipe")});
  const std::string err = testing::internal::GetCapturedStderr();

  EXPECT_EQ(list, paths{at("a.wav")});
  const std::string report = "\nERROR dir2files ";
  const size_t first = err.find(report);
  ASSERT_NE(first, std::string::npos) << err;
  EXPECT_EQ(err.substr(0, first), std::string(strerror(ENOENT)) + "\n");
  EXPECT_NE(err.find(" cannot stat " + missing + "\n"), std::string::npos) << err;
  // The empty operand is a failed stat too; a device or a FIFO is named.
  EXPECT_NE(err.find(" cannot stat \n"), std::string::npos) << err;
  for (const std::string& other : {std::string("/dev/null"), at("pipe")}) {
    EXPECT_NE(err.find(" " + other + " is neither a regular file nor a directory, skipped.\n"), std::string::npos)
        << err;
  }
}

TEST_F(Dir2files, UnreadableDirectoryWarns) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every directory";
  const std::string locked = at("locked");
  make_dir(locked);
  make_file(locked + "/x.wav");
  make_file(at("a.wav"));
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);

  testing::internal::CaptureStderr();
  const paths list = expand({locked, at("a.wav")});
  const std::string err = testing::internal::GetCapturedStderr();
  chmod(locked.c_str(), 0755);

  EXPECT_EQ(list, paths{at("a.wav")});
  EXPECT_NE(err.find(" directory " + locked + " open failed.\n"), std::string::npos) << err;
}

TEST_F(Dir2files, LongPathsAtTheJoinAndCompareLimits) {
  // Nested directories bring the directory path near the limit; entry names
  // then land exactly on it and one past it.
  std::string dir = tmp.path();
  while (dir.size() < 1800) {
    dir += "/" + std::string(200, 'd');
    make_dir(dir);
  }
  const size_t fitting = 2046 - dir.size() - 1;
  const std::string longest = dir + "/" + std::string(fitting, 'a');
  const std::string too_long = dir + "/" + std::string(fitting + 1, 'b');
  make_file(longest);
  make_file(too_long);
  ASSERT_EQ(longest.size(), 2046u);

  for (const std::string& operand : {dir, dir + "/"}) {
    testing::internal::CaptureStderr();
    const paths list = expand({operand});
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(list, paths{longest});
    EXPECT_NE(err.find(" path " + too_long + " too long.\n"), std::string::npos);
  }
  // An operand naming a file is taken as typed, whatever its length.
  EXPECT_EQ(expand({too_long}), paths{too_long});

  // Paths are compared over their first 2048 bytes only: operands that agree
  // that far keep their command-line order.
  const std::string deep = dir + "/" + std::string(2048 - dir.size(), 'e');
  make_dir(deep);
  paths operands;
  for (int i = 39; i >= 0; --i) {
    operands.push_back(deep + "/" + std::to_string(i));
    make_file(operands.back());
  }
  operands.push_back(longest);
  paths expected{longest};
  expected.insert(expected.end(), operands.begin(), operands.end() - 1);
  EXPECT_EQ(expand(operands), expected);
}

TEST_F(Dir2files, ManyFilesAllListedInOrder) {
  // Enough names to grow the table and the pool several times over.
  paths expected;
  for (int i = 599; i >= 0; --i) {
    char name[64];
    snprintf(name, sizeof name, "track-%04d-with-a-longer-title.wav", i);
    make_file(at(name));
    expected.push_back(at(name));
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expand({tmp.path()}), expected);
}

TEST_F(Dir2files, EachBuildStartsFresh) {
  make_file(at("a.wav"));
  make_file(at("b.wav"));
  EXPECT_EQ(expand({at("b.wav"), at("a.wav")}), (paths{at("a.wav"), at("b.wav")}));
  EXPECT_EQ(expand({at("b.wav")}), paths{at("b.wav")});
  EXPECT_EQ(expand({at("missing")}).size(), 0u);
}

}  // namespace
