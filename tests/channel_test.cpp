#include "io/channel.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "io/fatal_error.hpp"

namespace ascent {
namespace {

namespace fs = std::filesystem;

// A fresh empty folder for one test, removed afterwards.
struct TempDir {
  fs::path path;
  TempDir() {
    path = fs::temp_directory_path() /
           ("ascent_channel_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

int open_error_code(const std::string& path) {
  Channel c;
  try {
    c.open_file(path);
  } catch (const FatalError& e) {
    return e.code;
  }
  return 0;
}

TEST(Channel, MemoryKeepsExactlyTheBytesInOrder) {
  Channel c;
  c.open_memory();
  c.put("abc");
  c.put('d');
  c.end_line();
  c.line("\xB2 x");
  c.line("");
  std::string big(200000, 'z');  // more than one buffer's worth
  c.put(big);
  c.flush();
  EXPECT_EQ(c.contents(), "abcd\r\n\xB2 x\r\n\r\n" + big);
}

TEST(Channel, FileGetsTheSameBytesAsMemory) {
  TempDir dir;
  std::string path = (dir.path / "out.txt").string();
  {
    Channel c;
    c.open_file(path);
    c.line("first");
    c.put(std::string(70000, 'y'));
    c.end_line();
    c.close();
    EXPECT_FALSE(c.is_open());
  }
  std::ifstream in(path, std::ios::binary);
  std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(got, "first\r\n" + std::string(70000, 'y') + "\r\n");
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(Channel, ReplacingFileTakesTheNameOnlyWhenClosed) {
  TempDir dir;
  const fs::path path = dir.path / "const_n.pas";
  { std::ofstream(path, std::ios::binary) << "old\r\n"; }
  {
    // Abandoned before close (a fault on the way): the old file stays, the
    // new one goes.
    Channel c;
    c.open_file_replacing(path.string());
    c.put(std::string(100000, 'n'));  // more than a buffer: bytes are on disk
    EXPECT_EQ(slurp(path), "old\r\n");
  }
  EXPECT_EQ(slurp(path), "old\r\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
  {
    Channel c;
    c.open_file_replacing(path.string());
    c.line("new");
    EXPECT_EQ(slurp(path), "old\r\n");
    c.close();
  }
  EXPECT_EQ(slurp(path), "new\r\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

TEST(Channel, Utf8RecodesTheLatin1SignsAndEndsLinesWithLf) {
  TempDir dir;
  const fs::path path = dir.path / "out.txt";
  {
    Channel c;
    c.open_file(path.string());
    c.set_utf8(true);
    c.line("m/s\xB2, 5\xB0, 1\xB1" "2");
    c.put(std::string(70000, 'y'));  // recoded across a buffer drain too
    c.put("\r\n\xB0\r\n");
    c.close();
  }
  // U+00B0, U+00B1, U+00B2 are C2 B0, C2 B1, C2 B2 in UTF-8.
  EXPECT_EQ(slurp(path), "m/s\xC2\xB2, 5\xC2\xB0, 1\xC2\xB1" "2\n" + std::string(70000, 'y') +
                             "\n\xC2\xB0\n");
}

TEST(Channel, FailedWriteStopsWithCode101) {
  {
    Channel c;
    c.open_file("/dev/full");
    c.line("a line that has no room");
    try {
      c.flush();
      ADD_FAILURE() << "flush succeeded on a full device";
    } catch (const FatalError& e) {
      EXPECT_EQ(e.code, err_write);
      EXPECT_NE(e.message.find("/dev/full"), std::string::npos) << e.message;
    }
  }
  {
    Channel c;
    c.open_file("/dev/full");
    c.line("written only at close");
    try {
      c.close();
      ADD_FAILURE() << "close succeeded on a full device";
    } catch (const FatalError& e) {
      EXPECT_EQ(e.code, err_write);
    }
  }
  Channel c;  // a buffer that fills up is handed over at once, and fails at once
  c.open_file("/dev/full");
  EXPECT_THROW(c.put(std::string(1 << 17, 'x')), FatalError);
}

TEST(Channel, OpenFailuresCarryTheirExitCodes) {
  TempDir dir;
  EXPECT_EQ(open_error_code((dir.path / "missing" / "out.txt").string()), err_path_not_found);
  EXPECT_EQ(open_error_code(dir.path.string()), err_access_denied);
  EXPECT_EQ(open_error_code((dir.path / "out.txt").string()), 0);
}

}  // namespace
}  // namespace ascent
