// Temporary files through the platform table: the dump files are made in
// the temporary folder, owner-only, exclusively, never through a link.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>
#include <string>

#include "base/Platform.h"
#include "encoding/Unicode.h"
#include "support/TestSupport.h"

namespace {

class FileTest : public SoftHomesTest {
 protected:
  std::u16string TempPath() {
    char16_t buffer[1024];
    const DWORD n = Plat().GetTempPathW(1024, buffer);
    EXPECT_GT(n, 0u);
    return std::u16string(buffer, n);
  }
};

TEST_F(FileTest, TempPathEndsWithASeparator) {
  EXPECT_EQ(homes_.temp() + kPathSeparator, Narrow(TempPath().c_str()));
  char16_t small[2];
  EXPECT_EQ(TempPath().size() + 1, Plat().GetTempPathW(2, small));  // the size needed
}

TEST_F(FileTest, CreateWriteDeleteOwnerOnly) {
  const std::u16string path = TempPath() + u"{0F6B3E2A}.ZENQ";
  EXPECT_FALSE(Plat().PathFileExistsW(path.c_str()));
  HANDLE h = Plat().CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD written = 0;
  EXPECT_TRUE(Plat().WriteFile(h, "dump", 4, &written, nullptr));
  EXPECT_EQ(4u, written);
  EXPECT_TRUE(Plat().CloseHandle(h));
  EXPECT_TRUE(Plat().PathFileExistsW(path.c_str()));
  EXPECT_EQ("dump", ReadFile(Utf16ToUtf8(path)));
#ifndef _WIN32
  struct stat st {};
  ASSERT_EQ(0, stat(Utf16ToUtf8(path).c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
#endif
  // Exclusively: a second CREATE_NEW finds it there.
  EXPECT_EQ(INVALID_HANDLE_VALUE, Plat().CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), Plat().GetLastError());
  EXPECT_TRUE(Plat().DeleteFileW(path.c_str()));
  EXPECT_FALSE(Plat().PathFileExistsW(path.c_str()));
  EXPECT_FALSE(Plat().DeleteFileW(path.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), Plat().GetLastError());
  // CREATE_ALWAYS replaces a file that is there and says so.
  for (DWORD expected : {static_cast<DWORD>(ERROR_SUCCESS), static_cast<DWORD>(ERROR_ALREADY_EXISTS)}) {
    HANDLE again = Plat().CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, again);
    EXPECT_EQ(expected, Plat().GetLastError());
    EXPECT_TRUE(Plat().CloseHandle(again));
  }
  EXPECT_EQ("", ReadFile(Utf16ToUtf8(path)));
  EXPECT_TRUE(Plat().DeleteFileW(path.c_str()));
}

#ifndef _WIN32
TEST_F(FileTest, NeverWritesThroughALink) {
  const std::string target = homes_.root() + "/target";
  FILE* f = fopen(target.c_str(), "w");
  fputs("keep", f);
  fclose(f);
  const std::u16string link = TempPath() + u"link.ZENQ";
  ASSERT_EQ(0, symlink(target.c_str(), Utf16ToUtf8(link).c_str()));
  for (DWORD disposition : {CREATE_NEW, CREATE_ALWAYS}) {
    EXPECT_EQ(INVALID_HANDLE_VALUE, Plat().CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr,
                                                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  EXPECT_EQ("keep", ReadFile(target));
  EXPECT_FALSE(Plat().WriteFile(INVALID_HANDLE_VALUE, "x", 1, nullptr, nullptr));
}
#endif

}  // namespace
