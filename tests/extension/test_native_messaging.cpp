// The native messaging framing: messages come out whole and in order however the stream is cut,
// and a length past the cap stops the reader for good.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/native_messaging.h"

namespace {

using bf::host::NativeMessageReader;

std::string framed(const std::string& body) {
    std::string out;
    EXPECT_TRUE(bf::host::frame_native_message(body, &out));
    return out;
}

std::string length_prefix(std::uint32_t n) { return std::string(reinterpret_cast<const char*>(&n), 4); }

TEST(NativeMessaging, EveryCutOfTheStreamGivesTheSameMessages) {
    const std::vector<std::vector<std::string>> cases = {
        {"{}"},
        {""},
        {"{\"type\":\"hello\"}", "", "[1,2,3]"},
        {std::string(70000, 'x'), "{\"a\":\"\\u00e9\"}"},
        {std::string(1, '\0'), std::string("\xFF\xFE", 2)},
    };
    for (const auto& messages : cases) {
        std::string stream;
        for (const auto& m : messages) stream += framed(m);
        // Two cuts anywhere (for long streams, a sample of them).
        std::size_t step = stream.size() > 200 ? 997 : 1;
        for (std::size_t a = 0; a <= stream.size(); a += step) {
            for (std::size_t b = a; b <= stream.size(); b += step) {
                NativeMessageReader reader;
                std::vector<std::string> out;
                ASSERT_TRUE(reader.feed(std::string_view(stream).substr(0, a), out));
                ASSERT_TRUE(reader.feed(std::string_view(stream).substr(a, b - a), out));
                ASSERT_TRUE(reader.feed(std::string_view(stream).substr(b), out));
                ASSERT_EQ(out, messages) << "cuts at " << a << " and " << b;
                EXPECT_FALSE(reader.mid_message());
            }
        }
        // And one byte at a time, watching for a cut message at every point.
        NativeMessageReader reader;
        std::vector<std::string> out;
        for (std::size_t i = 0; i < stream.size(); ++i) {
            ASSERT_TRUE(reader.feed(std::string_view(stream).substr(i, 1), out));
        }
        EXPECT_EQ(out, messages);
    }
}

TEST(NativeMessaging, UnfinishedMessagesAndTheCap) {
    struct Case {
        const char* what;
        std::string stream;
        std::uint32_t cap;
        bool ok;
        std::size_t messages;
        bool mid;
    };
    const std::vector<Case> cases = {
        {"half a length", length_prefix(5).substr(0, 3), 100, true, 0, true},
        {"length without body", length_prefix(5), 100, true, 0, true},
        {"body cut short", length_prefix(5) + "abc", 100, true, 0, true},
        {"exactly the cap", length_prefix(100) + std::string(100, 'y'), 100, true, 1, false},
        {"one past the cap", length_prefix(101) + std::string(101, 'y'), 100, false, 0, false},
        {"the largest length", length_prefix(0xFFFFFFFFu), bf::host::kNativeMessageCap, false, 0, false},
        {"a message, then one past the cap", framed("ok") + length_prefix(101), 100, false, 1, false},
    };
    for (const auto& c : cases) {
        NativeMessageReader reader(c.cap);
        std::vector<std::string> out;
        EXPECT_EQ(reader.feed(c.stream, out), c.ok) << c.what;
        EXPECT_EQ(out.size(), c.messages) << c.what;
        EXPECT_EQ(reader.failed(), !c.ok) << c.what;
        if (c.ok) {
            EXPECT_EQ(reader.mid_message(), c.mid) << c.what;
        } else {
            EXPECT_NE(reader.error().find("over the limit"), std::string::npos) << c.what;
            // Nothing more is taken once the stream is lost.
            EXPECT_FALSE(reader.feed(framed("later"), out)) << c.what;
            EXPECT_EQ(out.size(), c.messages) << c.what;
        }
    }
}

TEST(NativeMessaging, RepliesOverTheBrowsersLimitAreNotFramed) {
    std::string out = "untouched";
    EXPECT_TRUE(bf::host::frame_native_message(std::string(bf::host::kNativeReplyCap, 'z'), &out));
    EXPECT_EQ(out.size(), bf::host::kNativeReplyCap + 4);
    out = "untouched";
    EXPECT_FALSE(bf::host::frame_native_message(std::string(bf::host::kNativeReplyCap + 1, 'z'), &out));
    EXPECT_EQ(out, "untouched");
}

}  // namespace
