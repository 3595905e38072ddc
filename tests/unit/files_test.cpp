// Paths, files and directories against a real scratch directory.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include "support/assert_capture.h"
#include "support/descriptors.h"
#include "support/environment.h"
#include "support/scratch_directory.h"
#include "zunder/files.h"

namespace {

// A scratch directory, removed with its contents afterwards; TMPDIR points
// into it while the test runs.
class FilesTest : public ::testing::Test, protected ScratchDirectory {
 protected:
  FilesTest() : ScratchDirectory("zfiles") {}
  void SetUp() override {
    descriptorsBefore = OpenDescriptors();
    ASSERT_TRUE(IsMade());
    dir = Path();
    temporaryDirectory.emplace("TMPDIR", dir);
  }
  void TearDown() override {
    temporaryDirectory.reset();
    ASSERT_TRUE(Remove());
    EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
  }

  int descriptorsBefore = 0;
  std::string dir;
  std::optional<ScopedVariable> temporaryDirectory;
};

TEST(FilePath, PartsFollowTheLastSeparator) {
  struct Case {
    const char* path;
    const char* directory;
    const char* name;
    const char* title;
    const char* type;
  } cases[] = {
      {"/dir/sub/name.ext", "/dir/sub/", "name.ext", "name", ".ext"},
      {"/name.ext", "/", "name.ext", "name", ".ext"},
      {"/dir/name", "/dir/", "name", "name", ""},
      {"/dir/a.b.c", "/dir/", "a.b.c", "a.b", ".c"},
      {"/dir/.profile", "/dir/", ".profile", "", ".profile"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ZFilePath path(c.path);
    EXPECT_STREQ(path.Text(), c.path);
    EXPECT_STREQ(path.GetVolume().Text(), "");
    EXPECT_STREQ(path.GetPath().Text(), c.directory);
    EXPECT_STREQ(path.GetFileName().Text(), c.name);
    EXPECT_STREQ(path.GetTitle().Text(), c.title);
    EXPECT_STREQ(path.GetType().Text(), c.type);
  }
}

TEST(FilePath, ConstructionMakesNamesAbsolute) {
  char current[4096];
  ASSERT_NE(getcwd(current, sizeof current), nullptr);
  std::string base = current;
  if (base != "/") base += "/";
  EXPECT_STREQ(ZFilePath("x/../y.txt").Text(), (base + "y.txt").c_str());
  EXPECT_STREQ(ZFilePath("/a//b/./c").Text(), "/a/b/c");
  EXPECT_STREQ(ZFilePath("/a/b/../../..").Text(), "/");
  EXPECT_TRUE(ZFilePath("/Dir/File") == "/dir/file");  // compared without case
  EXPECT_STREQ(ZDirectory("/tmp//x").Text(), "/tmp/x/");
  EXPECT_STREQ(ZDirectory("/tmp/x/").Text(), "/tmp/x/");
}

TEST_F(FilesTest, TemporaryNamesAreUniqueFilesInTheTemporaryDirectory) {
  ZFilePath first(ZFilePath::TemporaryName);
  ZFilePath second(ZFilePath::TemporaryName);
  EXPECT_NE(first, second);
  EXPECT_STREQ(first.GetPath().Text(), (dir + "/").c_str());
  EXPECT_EQ(first.GetFileName().Left(2), "ZU");
  EXPECT_EQ(first.GetFileName().GetLength(), 8);
  EXPECT_EQ(access(first.Text(), F_OK), 0);  // created, so the name is taken

  std::string sub = Path("sub");
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  ZFilePath named(ZFilePath::TemporaryName, "abc", sub.c_str());
  EXPECT_STREQ(named.GetPath().Text(), (sub + "/").c_str());
  EXPECT_EQ(named.GetFileName().Left(3), "abc");

  AssertCapture capture;
  ZFilePath impossible(ZFilePath::TemporaryName, "ZU", Path("missing/dir").c_str());
  EXPECT_TRUE(impossible.IsEmpty());
  EXPECT_EQ(AssertCapture::LastMessage(), "Could not make temporary file");
}

TEST_F(FilesTest, OpenModesAndDefaultOptions) {
  Put("f", "old contents");
  {
    ZFile file(Path("f").c_str());
    ASSERT_TRUE(file.Open(ZFile::ReadWrite));  // create only: contents kept
    EXPECT_EQ(file.GetLength(), 12);
    EXPECT_TRUE(file.Close());
  }
  EXPECT_EQ(Get("f"), "old contents");
  {
    ZFile file(Path("f").c_str());
    ASSERT_TRUE(file.Open(ZFile::WriteOnly));  // create and truncate
    EXPECT_TRUE(file.Write("new", 3));
    EXPECT_EQ(file.GetLastWriteCount(), 3);
  }  // the destructor closes
  EXPECT_EQ(Get("f"), "new");

  ZFile missing(Path("none").c_str());
  EXPECT_FALSE(missing.Open(ZFile::ReadOnly));
  EXPECT_EQ(missing.GetErrorCode(), ZChannel::NotFound);
  EXPECT_FALSE(missing.IsOpen());

  ZFile exclusive(Path("f").c_str());
  EXPECT_FALSE(exclusive.Open(ZFile::WriteOnly, ZFile::Create | ZFile::Exclusive));
  EXPECT_EQ(exclusive.GetErrorCode(), ZChannel::FileExists);

  ZFile keep(Path("f").c_str());
  ASSERT_TRUE(keep.Open(ZFile::WriteOnly, 0));  // explicit none: no truncation
  EXPECT_EQ(keep.GetLength(), 3);
}

TEST_F(FilesTest, ReadWriteSeekAndEndOfFile) {
  ZFile file(Path("data").c_str());
  ASSERT_TRUE(file.Open(ZFile::ReadWrite));
  ASSERT_TRUE(file.Write("0123456789", 10));
  EXPECT_TRUE(file.IsEndOfFile());
  EXPECT_TRUE(file.SetPosition(2));
  EXPECT_FALSE(file.IsEndOfFile());
  char buffer[16] = {};
  ASSERT_TRUE(file.Read(buffer, 3));
  EXPECT_EQ(file.GetLastReadCount(), 3);
  EXPECT_EQ(std::string(buffer, 3), "234");
  EXPECT_EQ(file.GetLength(), 10);
  EXPECT_EQ(file.GetPosition(), 5);  // GetLength put the position back
  EXPECT_TRUE(file.SetPosition(-2, 2));
  ASSERT_TRUE(file.Read(buffer, sizeof buffer));
  EXPECT_EQ(file.GetLastReadCount(), 2);
  EXPECT_EQ(std::string(buffer, 2), "89");
  EXPECT_FALSE(file.Read(buffer, sizeof buffer));  // at the end nothing comes
  EXPECT_EQ(file.GetLastReadCount(), 0);
  EXPECT_FALSE(file.SetPosition(-1, 0));  // before the start
  EXPECT_TRUE(file.SetPosition(1, 1));    // one past the end is allowed
}

TEST_F(FilesTest, ClosedFilesReportMisuse) {
  AssertCapture capture;
  ZFile file(Path("x").c_str());
  char byte = 0;
  EXPECT_FALSE(file.Read(&byte, 1));
  EXPECT_EQ(AssertCapture::LastMessage(), "File not open");
  EXPECT_FALSE(file.Write(&byte, 1));
  EXPECT_EQ(AssertCapture::Count(), 2u);
  EXPECT_EQ(file.GetErrorCode(), ZChannel::NotOpen);
  AssertCapture::Clear();
  EXPECT_FALSE(file.Close());  // not misuse: an answer
  EXPECT_EQ(file.GetErrorCode(), ZChannel::NotOpen);
  EXPECT_EQ(AssertCapture::Count(), 0u);
}

TEST_F(FilesTest, RemoveOnCloseAndNamelessTemporaryFiles) {
  Put("gone", "x");
  ZFile file(Path("gone").c_str());
  ASSERT_TRUE(file.Open(ZFile::ReadOnly, ZFile::RemoveOnClose));
  EXPECT_TRUE(Exists("gone"));
  EXPECT_TRUE(file.Close());
  EXPECT_FALSE(Exists("gone"));

  ZTextFile scratch;
  ASSERT_TRUE(scratch.Open(ZFile::ReadWrite, ZFile::RemoveOnClose));
  ZString name = scratch.GetName();
  EXPECT_EQ(scratch.GetPath().GetFileName().Left(3), "ZUN");
  EXPECT_STREQ(scratch.GetPath().GetPath().Text(), (dir + "/").c_str());
  EXPECT_TRUE(scratch.WriteString("line\n"));
  EXPECT_EQ(access(name.Text(), F_OK), 0);
  EXPECT_TRUE(scratch.Close());
  EXPECT_NE(access(name.Text(), F_OK), 0);
}

TEST_F(FilesTest, RenameTakesAPlainNameAndReplacesOnlyWhenForced) {
  Put("a", "A");
  Put("b", "B");
  for (const char* bad : {"sub\\b", "x/y", "c:d", ""}) {
    SCOPED_TRACE(bad);
    errno = 0;
    EXPECT_FALSE(ZFile::Rename(Path("a").c_str(), bad));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(Get("a"), "A");
  }
  EXPECT_FALSE(ZFile::Rename(Path("a").c_str(), "b"));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(Get("b"), "B");
  EXPECT_TRUE(ZFile::Rename(Path("a").c_str(), "b", true));
  EXPECT_EQ(Get("b"), "A");
  EXPECT_FALSE(Exists("a"));
  EXPECT_TRUE(ZFile::Rename(Path("b").c_str(), "c"));
  EXPECT_EQ(Get("c"), "A");
  EXPECT_FALSE(ZFile::Rename(Path("nothing").c_str(), "d", true));
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(FilesTest, MoveCopyAndRemove) {
  Put("a", "first");
  Put("b", "second");
  EXPECT_TRUE(ZFile::Copy(Path("a").c_str(), Path("copy").c_str()));
  EXPECT_EQ(Get("copy"), "first");
  EXPECT_FALSE(ZFile::Copy(Path("b").c_str(), Path("copy").c_str()));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(Get("copy"), "first");
  EXPECT_TRUE(ZFile::Copy(Path("b").c_str(), Path("copy").c_str(), true));
  EXPECT_EQ(Get("copy"), "second");

  EXPECT_FALSE(ZFile::Move(Path("a").c_str(), Path("b").c_str()));
  EXPECT_EQ(Get("b"), "second");
  EXPECT_TRUE(ZFile::Move(Path("a").c_str(), Path("b").c_str(), true));
  EXPECT_EQ(Get("b"), "first");
  EXPECT_FALSE(Exists("a"));
  EXPECT_FALSE(ZFile::Move(Path("a").c_str(), Path("z").c_str()));
  EXPECT_EQ(errno, ENOENT);

  EXPECT_TRUE(ZFile::Remove(Path("b").c_str()));
  EXPECT_FALSE(Exists("b"));
  EXPECT_FALSE(ZFile::Remove(Path("b").c_str(), true));
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(FilesTest, InfoAndPermissions) {
  Put("f", "12345");
  ZFileInfo info;
  ASSERT_TRUE(ZFile::GetInfo(Path("f").c_str(), info));
  EXPECT_EQ(info.type, ZFileInfo::RegularFile);
  EXPECT_EQ(info.size, 5);
  EXPECT_FALSE(info.hidden);
  EXPECT_GT(info.modified.GetSeconds(), 0);
  EXPECT_GE(info.created.GetSeconds(), 0);

  ASSERT_TRUE(ZFile::SetPermissions(Path("f").c_str(), ZFileInfo::Read));
  ASSERT_TRUE(ZFile::GetInfo(Path("f").c_str(), info));
  EXPECT_EQ(info.permissions, ZFileInfo::Read);
  ASSERT_TRUE(ZFile::SetPermissions(Path("f").c_str(), ZFileInfo::Read | ZFileInfo::Write | ZFileInfo::Execute));
  ASSERT_TRUE(ZFile::GetInfo(Path("f").c_str(), info));
  EXPECT_EQ(info.permissions, ZFileInfo::Read | ZFileInfo::Write);  // execute is not applied

  ASSERT_TRUE(ZFile::GetInfo((dir + "///").c_str(), info));  // trailing separators stripped
  EXPECT_EQ(info.type, ZFileInfo::Directory);
  Put(".hidden", "");
  ASSERT_TRUE(ZFile::GetInfo(Path(".hidden").c_str(), info));
  EXPECT_TRUE(info.hidden);
  EXPECT_FALSE(ZFile::GetInfo(Path("missing").c_str(), info));
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(FilesTest, DirectoryScansSkipDotsAndFilterByType) {
  ZDirectory empty(dir.c_str());
  EXPECT_FALSE(empty.Open());  // no accepted entry
  Put("a", "");
  Put(".b", "");
  ASSERT_EQ(mkdir(Path("d").c_str(), 0700), 0);

  struct Case {
    int mask;
    std::set<std::string> names;
  } cases[] = {
      {ZDirectory::AllEntries, {"a", ".b", "d"}},
      {ZFileInfo::Directory, {"d"}},
      {ZFileInfo::RegularFile, {"a", ".b"}},
      {ZFileInfo::OtherType, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mask);
    ZDirectory scan(dir.c_str());
    std::set<std::string> seen;
    for (bool more = scan.Open(c.mask); more && seen.size() < 10; more = scan.Next()) {
      seen.insert(scan.GetEntryName().Text());
      EXPECT_EQ(scan.IsSubDir(), scan.GetEntryName() == "d");
    }
    EXPECT_EQ(seen, c.names);
  }
  ZDirectory missing(Path("missing").c_str());
  EXPECT_FALSE(missing.Open());
  EXPECT_STREQ(missing.GetVolume().Text(), "");
}

TEST_F(FilesTest, ExistsChangesTheCurrentDirectory) {
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  EXPECT_FALSE(ZDirectory::Exists(Path("missing").c_str()));
  EXPECT_TRUE(ZDirectory::Exists(dir.c_str()));
  char now[4096];
  ASSERT_NE(getcwd(now, sizeof now), nullptr);
  EXPECT_EQ(std::string(now), dir);
  ASSERT_EQ(chdir(previous), 0);
}

}  // namespace
