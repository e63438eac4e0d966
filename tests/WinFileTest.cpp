// Recording files on Windows: others may read a recording while it runs,
// never write into it; devices and directories are never taken.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/File.h"

using namespace zplr;

namespace {

std::string TempName(const char *name)
{
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    return std::string(dir) + "zplr-winfile-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

TEST(WinFileTest, ARecordingIsSharedForReadingOnly)
{
    const std::string path = TempName("rec.wav");
    bool created = false;
    std::FILE *f = platform::OpenRecordingFile(path.c_str(), created);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(created);
    ASSERT_EQ(std::fwrite("RIFF", 1, 4, f), 4u);
    std::fflush(f);

    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    if (reader != INVALID_HANDLE_VALUE)
        CloseHandle(reader);
    if (writer != INVALID_HANDLE_VALUE)
        CloseHandle(writer);

    // Taken again: the same file, truncated, not created.
    std::fclose(f);
    f = platform::OpenRecordingFile(path.c_str(), created);
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(created);
    std::fseek(f, 0, SEEK_END);
    EXPECT_EQ(std::ftell(f), 0);
    platform::CloseAndRemoveCreated(f, path.c_str());
    EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(WinFileTest, DevicesAndDirectoriesAreRefused)
{
    bool created = true;
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    EXPECT_EQ(platform::OpenRecordingFile(dir, created), nullptr);
    EXPECT_EQ(platform::OpenRecordingFile("NUL", created), nullptr);
    EXPECT_FALSE(created);
    uint64_t length = 0;
    EXPECT_EQ(platform::OpenFileForReading(dir, length), nullptr);
    EXPECT_EQ(platform::OpenFileForReading("NUL", length), nullptr);
}

}  // namespace
