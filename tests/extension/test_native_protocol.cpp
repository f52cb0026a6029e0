// What the native host takes from the browser: each known message with its fields, and a clear
// refusal for everything else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/native_protocol.h"

namespace {

using bf::host::BrowserMessage;
using bf::host::BrowserMessageType;
using bf::host::NavEvent;

TEST(NativeProtocol, KnownMessagesAreTakenWithTheirFields) {
    BrowserMessage m;
    std::string error;
    ASSERT_TRUE(bf::host::parse_browser_message(
        R"({"type":"nav","event":"commit","tab":7,"frame":4294967301,"parent":0,"url":"http://a.test/x",
            "transition":"link","qualifiers":["server_redirect"]})", &m, &error)) << error;
    EXPECT_EQ(m.type, BrowserMessageType::nav);
    EXPECT_EQ(m.event, NavEvent::commit);
    EXPECT_EQ(m.tab, 7);
    EXPECT_EQ(m.frame, 4294967301);
    EXPECT_EQ(m.parent, 0);
    EXPECT_EQ(m.url, "http://a.test/x");
    EXPECT_EQ(m.transition, "link");
    EXPECT_EQ(m.qualifiers, std::vector<std::string>{"server_redirect"});

    ASSERT_TRUE(bf::host::parse_browser_message(R"({"type":"tab.open","tab":3,"url":"","loaded":true})", &m, &error));
    EXPECT_EQ(m.type, BrowserMessageType::tab_open);
    EXPECT_TRUE(m.loaded);
    ASSERT_TRUE(bf::host::parse_browser_message(R"({"type":"reply","id":12,"ok":false,"error":"gone"})", &m, &error));
    EXPECT_EQ(m.id, 12);
    EXPECT_EQ(m.answer.at("error"), "gone");
    ASSERT_TRUE(bf::host::parse_browser_message(R"({"type":"click","tab":1,"x":20,"y":9})", &m, &error));
    EXPECT_EQ(m.x, 20);
    EXPECT_EQ(m.y, 9);

    const std::vector<std::pair<std::string, BrowserMessageType>> plain = {
        {R"({"type":"hello","version":"0.1.0"})", BrowserMessageType::hello},
        {R"({"type":"tab.close","tab":0})", BrowserMessageType::tab_close},
        {R"({"type":"popup.open","tab":2})", BrowserMessageType::popup_open},
        {R"({"type":"popup.close","tab":2})", BrowserMessageType::popup_close},
        {R"({"type":"inputs","tab":2,"document":"d"})", BrowserMessageType::inputs},
        {R"({"type":"nav","event":"samedocument","tab":1,"frame":0,"parent":-1,"url":"http://a.test/#b"})",
         BrowserMessageType::nav},
    };
    for (const auto& [text, type] : plain) {
        EXPECT_TRUE(bf::host::parse_browser_message(text, &m, &error)) << text << ": " << error;
        EXPECT_EQ(m.type, type) << text;
    }
}

TEST(NativeProtocol, EverythingElseIsRefusedWithAReason) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "not JSON"},
        {"{\"type\":", "not JSON"},
        {"[1,2]", "not a JSON object"},
        {"\"hello\"", "not a JSON object"},
        {"{}", "'type' is missing"},
        {R"({"type":7})", "'type' must be a string"},
        {R"({"type":"shutdown"})", "unknown message type 'shutdown'"},
        {R"({"type":"tab.close"})", "'tab' must be an integer"},
        {R"({"type":"tab.close","tab":"3"})", "'tab' must be an integer"},
        {R"({"type":"tab.close","tab":1.5})", "'tab' must be an integer"},
        {R"({"type":"tab.close","tab":-1})", "'tab' is out of range"},
        {R"({"type":"tab.close","tab":18446744073709551615})", "'tab' is out of range"},
        {R"({"type":"tab.open","tab":1,"loaded":"yes"})", "'loaded' must be true or false"},
        {R"({"type":"nav","event":"teleport","tab":1,"frame":0,"parent":-1,"url":"x"})", "unknown navigation event"},
        {R"({"type":"nav","event":"commit","tab":1,"frame":0,"parent":3,"url":"x"})", "the top frame has no parent"},
        {R"({"type":"nav","event":"commit","tab":1,"frame":0,"parent":-1})", "'url' is missing"},
        {R"({"type":"nav","event":"commit","tab":1,"frame":0,"parent":-1,"url":"x","qualifiers":[1]})", "'qualifiers'"},
        {R"({"type":"nav","event":"commit","tab":1,"frame":0,"parent":-1,"url":")" + std::string(70000, 'u') + "\"}",
         "'url' must be a string of at most 65536 bytes"},
        {R"({"type":"reply","id":0,"ok":true})", "'id' is out of range"},
        {R"({"type":"reply","id":3})", "'ok' must be true or false"},
        {R"({"type":"click","tab":1,"x":-4,"y":0})", "'x' is out of range"},
    };
    for (const auto& [text, reason] : cases) {
        BrowserMessage m;
        std::string error;
        EXPECT_FALSE(bf::host::parse_browser_message(text, &m, &error)) << text.substr(0, 80);
        EXPECT_NE(error.find(reason), std::string::npos) << text.substr(0, 80) << " -> " << error;
    }
}

}  // namespace
