// Threads, message texts and the alarm, as the platform layer gives them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "platform/Message.h"
#include "platform/Thread.h"
#include "transport/PipeThreads.h"

using namespace zplr;

namespace {

TEST(PlatformTest, ThreadsRunWithTheStackTheyAskFor)
{
    static std::atomic<int> ran;
    ran = 0;
    platform::Thread t;
    ASSERT_TRUE(t.Start([](void *) { ++ran; }, nullptr, platform::ThreadPriority::Highest, 10000));
    EXPECT_GE(t.StackBytes(), 10000u);
    EXPECT_FALSE(t.Start([](void *) {}, nullptr, platform::ThreadPriority::Normal, 0));  // one thread per object
    t.Join();
    EXPECT_EQ(ran.load(), 1);
    EXPECT_FALSE(t.Started());
}

TEST(PlatformTest, AlarmTextKeepsItsCodePage936Bytes)
{
    char text[256];
    transport::FormatAlarm(0, text);
    const char expected[] =
        "          ZL(1)\xC1\xAC\xBD\xD3\xB2\xBB\xD5\xFD\xB3\xA3!\n"
        "\xBB\xF2\xC7\xEB\xCF\xC8\xCD\xCB\xB3\xF6\xD3\xA6\xD3\xC3\xB3\xCC\xD0\xF2\xBA\xF3"
        "\xA3\xAC\xD4\xD9\xB0\xCE\xB3\xF6USB\xBD\xD3\xCD\xB7\xA1\xA3\n"
        "        \xBB\xF2USB\xC1\xB4\xBD\xD3\xCD\xB7\xBD\xD3\xB4\xA5\xB2\xBB\xC1\xBC\xA1\xA3";
    EXPECT_STREQ(text, expected);
    transport::FormatAlarm(3, text);
    EXPECT_EQ(std::string(text).substr(10, 5), "ZL(4)");

    EXPECT_EQ(platform::Cp936ToUtf8(expected),
              "          ZL(1)连接不正常!\n或请先退出应用程序后，再拔出USB接头。\n"
              "        或USB链接头接触不良。");
    EXPECT_EQ(platform::Cp936ToUtf8("Receive Error!"), "Receive Error!");
    EXPECT_EQ(platform::Cp936ToUtf8("\xB0\xA1|\xB0"), "\xEF\xBF\xBD|\xEF\xBF\xBD");  // unknown, cut short
}

TEST(PlatformTest, MessagesGoToTheApplicationsHandler)
{
    static std::string got;
    static unsigned style;
    ZlSetMessageHandler([](const char *text, unsigned s) {
        got = text;
        style = s;
    });
    platform::ShowMessage("\xC1\xAC\xBD\xD3", platform::MessageOkTopmost);
    EXPECT_EQ(got, "\xC1\xAC\xBD\xD3");
    EXPECT_EQ(style, 0x40000u);
    ZlSetMessageHandler(nullptr);

#ifndef _WIN32
    // Without a handler: a line on stderr, in UTF-8 (Windows shows a box).
    testing::internal::CaptureStderr();
    platform::ShowMessage("\xC1\xAC\xBD\xD3 ok", platform::MessageOk);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("连接 ok"), std::string::npos);
#endif
}

}  // namespace
