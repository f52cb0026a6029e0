// `brackenfold browse` end to end with the fake band: the browser's calls into the band and the
// events it fires (order, argument types, frames), the JSON of show and fields, typing and form
// submission as seen by a loopback server, windows, clicks, snapshots and script errors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/host/host_support.h"

namespace bf::host::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<std::string> lines_starting(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
}

bool requested(const PageServer& s, const std::string& uri) {
    auto r = s.requests();
    return std::any_of(r.begin(), r.end(), [&](const Request& q) { return q.uri == uri; });
}

const char* const kBN2 = " 9 400c 400c 400c 400c 400c 400b ";
const char* const kNC = " 9 400c ";

class BrowseFakeBand : public ::testing::Test {
protected:
    Sandbox box;
    PageServer server;
};

// --- the band's life and the events -----------------------------------------------------------

TEST_F(BrowseFakeBand, SitesTheBandThenClosesItInTheOriginalOrder) {
    auto r = box.browse("quit\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(box.band_log_lines(),
                ElementsAre("SetSite", "input-object-site yes", "Advise 0", "GetBandInfo 0 0 127", "GetWindow",
                            "ShowDW 1", "event 253 ", "ShowDW 0", "CloseDW", "SetSite(null)", "Unadvise 0",
                            "destroyed", "unload-asked yes"));
}

TEST_F(BrowseFakeBand, FramesLoadThreeLevelsDeepWithTheirOwnObjectsInEventOrder) {
    server.set_html("/", "<iframe src='/f1'></iframe><input id=top>");
    server.set_html("/f1", "<frameset><frame src='f2'></frameset>");
    server.set_html("/f2", "<iframe src='/f3'></iframe>");
    server.set_html("/f3", "<iframe src='/f4'></iframe>");
    server.set_html("/f4", "too deep");
    auto r = box.browse("open " + server.url("/") + "\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string u = server.url("");
    EXPECT_THAT(lines_starting(box.band_log_lines(), "event 25"),
                ElementsAre("event 250 top" + std::string(kBN2) + u + "/", "event 252 top" + std::string(kNC) + u + "/",
                            "event 250 frame" + std::string(kBN2) + u + "/f1",
                            "event 252 frame" + std::string(kNC) + u + "/f1",
                            "event 250 frame" + std::string(kBN2) + u + "/f2",
                            "event 252 frame" + std::string(kNC) + u + "/f2",
                            "event 250 frame" + std::string(kBN2) + u + "/f3",
                            "event 252 frame" + std::string(kNC) + u + "/f3",
                            "event 259 frame" + std::string(kNC) + u + "/f3",
                            "event 259 frame" + std::string(kNC) + u + "/f2",
                            "event 259 frame" + std::string(kNC) + u + "/f1",
                            "event 259 top" + std::string(kNC) + u + "/", "event 253 "));
    EXPECT_FALSE(requested(server, "/f4"));
}

TEST_F(BrowseFakeBand, AFailedFetchShowsAnErrorDocumentWithItsEvents) {
    auto r = box.browse("open http://127.0.0.1:9/nothing\nfields\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "{\"url\":\"http://127.0.0.1:9/nothing\",\"inputs\":[],\"frames\":[]}\n");
    auto events = lines_starting(box.band_log_lines(), "event 25");
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0], "event 250 top" + std::string(kBN2) + "http://127.0.0.1:9/nothing");
    EXPECT_EQ(events[2], "event 259 top" + std::string(kNC) + "http://127.0.0.1:9/nothing");
}

TEST_F(BrowseFakeBand, ACancelledNavigationFetchesNothingAndKeepsThePage) {
    server.set_html("/a", "<input id=a>");
    server.set_html("/blocked", "<input id=b>");
    auto r = box.browse("open " + server.url("/a") + "\nopen " + server.url("/blocked") + "\nfields\n", {},
                        {"BF_FAKE_BAND_CANCEL=/blocked"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_FALSE(requested(server, "/blocked"));
    EXPECT_THAT(r.out, HasSubstr("\"url\":\"" + server.url("/a") + "\""));
    EXPECT_EQ(lines_starting(box.band_log_lines(), "event 252").size(), 1u);
}

TEST_F(BrowseFakeBand, NavigateFromABandClickCompletesBeforeTheCommandReturns) {
    server.set_html("/login.aspx", "<input id=user>");
    auto r = box.browse("click login\nshow\n", {}, {"BF_FAKE_BAND_LOGIN_URL=" + server.url("/login.aspx")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("\"url\":\"" + server.url("/login.aspx") + "\""));
    auto log = box.band_log_lines();
    auto click = std::find(log.begin(), log.end(), "login-click navigate 0");
    ASSERT_NE(click, log.end());
    // Navigate returned before the navigation began: its events come after the click's line.
    EXPECT_EQ(*(click + 1), "event 250 top" + std::string(kBN2) + server.url("/login.aspx"));
}

// --- show and fields --------------------------------------------------------------------------

TEST_F(BrowseFakeBand, ShowPrintsTheBandControlsAsJson) {
    auto r = box.browse("show\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"window\":1,\"url\":\"\",\"status\":\"Fake band ready\",\"login\":\"Login\",\"name\":\"\","
              "\"focus\":null,\"selection\":[0,0],\"nameRect\":[509,1,509,22],"
              "\"rating\":{\"visible\":true,\"rect\":[0,1,200,29]},"
              "\"ad\":{\"visible\":false,\"rect\":[511,1,611,22]}}\n");
}

TEST(BrowseWithoutToolbar, ShowSaysThereIsNoToolbarAndTheBrowserStillWorks) {
    Sandbox bare(false);
    PageServer server;
    server.set_html("/", "<input name=q>");
    auto r = bare.browse("open " + server.url("/") + "\nshow\nfields\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out_lines().at(0),
              "{\"window\":1,\"url\":\"" + server.url("/") +
                  "\",\"status\":null,\"login\":null,\"name\":null,\"focus\":null,\"selection\":null,"
                  "\"nameRect\":null,\"rating\":null,\"ad\":null}");
    EXPECT_EQ(r.out_lines().at(1), "{\"url\":\"" + server.url("/") +
                                       "\",\"inputs\":[{\"type\":\"text\",\"id\":\"\",\"name\":\"q\",\"value\":\"\"}],"
                                       "\"frames\":[]}");
}

TEST_F(BrowseFakeBand, FieldsReportTypesAsTheOriginalBrowserAndKeepFramesApart) {
    server.set_html("/", "<input type=EMAIL id=Mail name=m value='a&quot;b'><input type=PassWord name=p>"
                         "<input><input type=search id=s><input type=hidden id=h value=1>"
                         "<input type=checkbox name=c><iframe src='/news'></iframe>");
    server.set_html("/news", "<input type=email name=newsletter_email>");
    auto r = box.browse("open " + server.url("/") + "\nfields\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"url\":\"" + server.url("/") +
                  "\",\"inputs\":["
                  "{\"type\":\"text\",\"id\":\"Mail\",\"name\":\"m\",\"value\":\"a\\\"b\"},"
                  "{\"type\":\"password\",\"id\":\"\",\"name\":\"p\",\"value\":\"\"},"
                  "{\"type\":\"text\",\"id\":\"\",\"name\":\"\",\"value\":\"\"},"
                  "{\"type\":\"text\",\"id\":\"s\",\"name\":\"\",\"value\":\"\"},"
                  "{\"type\":\"hidden\",\"id\":\"h\",\"name\":\"\",\"value\":\"1\"},"
                  "{\"type\":\"checkbox\",\"id\":\"\",\"name\":\"c\",\"value\":\"\"}],"
                  "\"frames\":[{\"url\":\"" + server.url("/news") +
                  "\",\"inputs\":[{\"type\":\"text\",\"id\":\"\",\"name\":\"newsletter_email\",\"value\":\"\"}]}]}\n");
    // The band reads the same model at DocumentComplete: the top document's INPUTs only.
    EXPECT_THAT(lines_starting(box.band_log_lines(), "input "),
                ElementsAre("input text|Mail|m|a\"b", "input password||p|", "input text|||", "input text|s||",
                            "input hidden|h||1", "input checkbox||c|"));
}

TEST_F(BrowseFakeBand, ValuesWrittenThroughTheDocumentModelShowInFields) {
    server.set_html("/", "<input id=userEmail><input name=contact_email value=' '><input type=password name=email>");
    auto r = box.browse("open " + server.url("/") + "\nfields\n", {}, {"BF_FAKE_BAND_FILL=x@alias.test"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("{\"type\":\"text\",\"id\":\"userEmail\",\"name\":\"\",\"value\":\"x@alias.test\"}"));
    EXPECT_THAT(r.out, HasSubstr("\"name\":\"contact_email\",\"value\":\" \""));
    EXPECT_THAT(r.out, HasSubstr("{\"type\":\"password\",\"id\":\"\",\"name\":\"email\",\"value\":\"\"}"));
}

// --- typing and forms -------------------------------------------------------------------------

TEST_F(BrowseFakeBand, TypeFindsTheFirstInputByIdBeforeAnyByName) {
    server.set_html("/", "<input name=x value=byname><input id=x value=byid><input name=y>");
    auto r = box.browse("open " + server.url("/") + "\ntype x hello  world\ntype y é\nclear x\ntype x  z\nfields\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("{\"type\":\"text\",\"id\":\"\",\"name\":\"x\",\"value\":\"byname\"},"
                                 "{\"type\":\"text\",\"id\":\"x\",\"name\":\"\",\"value\":\"z\"},"
                                 "{\"type\":\"text\",\"id\":\"\",\"name\":\"y\",\"value\":\"é\"}"));
}

TEST_F(BrowseFakeBand, SubmitGetSendsTheFormDataSetInDocumentOrder) {
    server.set_html("/", "<form action='search' method=get>"
                         "<input name=q><input type=checkbox name=c1><input type=checkbox name=c2 checked>"
                         "<input type=submit name=go value=Go><input name=off disabled value=1>"
                         "<textarea name=ta>\nline1\nline2</textarea>"
                         "<select name=sel><option>one<option selected value=2>two</select>"
                         "<input type=radio name=r value=a><input type=radio name=r value=b checked></form>");
    server.set_html("/search", "<p>results</p>");
    auto r = box.browse("open " + server.url("/") + "\ntype q a b&c*~\nsubmit q\nshow\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_TRUE(requested(server, "/search?q=a+b%26c*%7E&c2=on&ta=line1%0D%0Aline2&sel=2&r=b"))
        << server.requests().back().uri;
    EXPECT_THAT(r.out, HasSubstr("\"url\":\"" + server.url("/search?q=a+b%26c*%7E&c2=on&ta=line1%0D%0Aline2&sel=2&r=b")));
}

TEST_F(BrowseFakeBand, SubmitPostFollowsARedirectAndKeepsCookiesForTheWholeProcess) {
    server.set_html("/", "<form method=POST action='/login'><input id=user name=u><input type=password name=pw>"
                         "</form><form action=/other><input id=o></form>");
    Page answer;
    answer.status = 303;
    answer.headers = {{"Location", "/home"}, {"Set-Cookie", "session=abc; Path=/"}};
    server.set("/login", answer);
    server.set_html("/home", "<input id=home>");
    server.set_html("/check", "checked");
    auto r = box.browse("open " + server.url("/") + "\ntype user ann\ntype pw s3cret é\nsubmit\nshow\n"
                        "newwindow " + server.url("/check") + "\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    auto reqs = server.requests();
    auto post = std::find_if(reqs.begin(), reqs.end(), [](const Request& q) { return q.method == "POST"; });
    ASSERT_NE(post, reqs.end());
    EXPECT_EQ(post->uri, "/login");
    EXPECT_EQ(post->body, "u=ann&pw=s3cret+%C3%A9");
    EXPECT_EQ(post->content_type, "application/x-www-form-urlencoded");
    EXPECT_EQ(post->referer, server.url("/"));
    auto home = std::find_if(reqs.begin(), reqs.end(), [](const Request& q) { return q.uri == "/home"; });
    ASSERT_NE(home, reqs.end());
    EXPECT_EQ(home->method, "GET");
    EXPECT_EQ(home->cookie, "session=abc");
    EXPECT_THAT(r.out, HasSubstr("\"url\":\"" + server.url("/home") + "\""));
    EXPECT_EQ(reqs.back().uri, "/check");
    EXPECT_EQ(reqs.back().cookie, "session=abc");  // the second window shares the cookies
}

TEST_F(BrowseFakeBand, SubmitRefusesFieldsOutsideFormsAndPagesWithoutForms) {
    server.set_html("/", "<input id=loose>");
    auto r = box.browse("open " + server.url("/") + "\nsubmit loose\nshow\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "error: the field 'loose' belongs to no form\n");
    r = box.browse("open " + server.url("/") + "\nsubmit\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "error: the page has no form\n");
}

// --- windows, commands and errors -------------------------------------------------------------

TEST_F(BrowseFakeBand, WindowsAreNumberedAndSwitched) {
    server.set_html("/1", "one");
    server.set_html("/2", "two");
    auto r = box.browse("open " + server.url("/1") + "\nnewwindow " + server.url("/2") +
                        "\nshow\nwindow 1\nshow\nwindow 2\ncloseWINDOW\n");
    EXPECT_EQ(r.exit_code, 1);
    auto lines = r.out_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[0], HasSubstr("{\"window\":2,\"url\":\"" + server.url("/2") + "\""));
    EXPECT_THAT(lines[1], HasSubstr("{\"window\":1,\"url\":\"" + server.url("/1") + "\""));
    EXPECT_EQ(r.err, "error: unknown command 'closeWINDOW'\n");
    // Two bands were made and both closed.
    auto log = box.band_log_lines();
    EXPECT_EQ(std::count(log.begin(), log.end(), "SetSite"), 2);
    EXPECT_EQ(std::count(log.begin(), log.end(), "destroyed"), 2);

    r = box.browse("newwindow\nclosewindow\nshow\nclosewindow\nshow\nwindow 2\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_THAT(r.out_lines(), ElementsAre(HasSubstr("{\"window\":1,")));
    EXPECT_EQ(r.err, "error: no window is open\n");
}

TEST_F(BrowseFakeBand, ScriptErrorsStopTheScriptWithExitOne) {
    struct Case {
        std::string script, error;
    } cases[] = {
        {"frobnicate\nshow\n", "error: unknown command 'frobnicate'\n"},
        {"click nowhere\n", "error: click needs one of status, login, name, rating, ad\n"},
        {"open\n", "error: open needs a URL\n"},
        {"open javascript:alert(1)\n", "error: cannot open 'javascript:alert(1)': not an http, https, file or about address\n"},
        {"type nosuch x\n", "error: no INPUT with id or name 'nosuch' in the page\n"},
        {"window x\n", "error: window needs a window number\n"},
        {"window 7\n", "error: no window 7\n"},
        {"show me\n", "error: show takes no argument\n"},
        {"snapshot\n", "error: snapshot needs a file name\n"},
    };
    for (const auto& c : cases) {
        auto r = box.browse(c.script);
        EXPECT_EQ(r.exit_code, 1) << c.script;
        EXPECT_EQ(r.err, c.error) << c.script;
        EXPECT_EQ(r.out, "") << c.script;
    }
}

TEST_F(BrowseFakeBand, CommentsAndBlankLinesAreSkippedAndQuitEndsTheScript) {
    server.set_html("/page", "<input id=a>");
    auto r = box.browse("# a tour\n\n   \nopen " + server.url("/page") + "   # the page\nshow # again\nquit\nbogus\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out_lines().size(), 1u);
    r = box.run("browse " + server.url("/page"), "fields\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("\"inputs\":[{\"type\":\"text\",\"id\":\"a\""));
}

TEST_F(BrowseFakeBand, ResolveEntriesReachTheServerUnderTheirHostName) {
    server.set_html("/", "<input id=resolved>");
    std::string port = std::to_string(server.port());
    auto r = box.browse("open http://shop.example:" + port + "/\nfields\n",
                        "--resolve shop.example:" + port + ":127.0.0.1");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("\"id\":\"resolved\""));
    EXPECT_EQ(server.requests().back().host, "shop.example:" + port);
    r = box.browse("quit\n", "--resolve nonsense");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "error: bad --resolve entry 'nonsense' (expected HOST:PORT:ADDRESS)\n");
}

TEST_F(BrowseFakeBand, SnapshotWritesThePngOfTheBandAtTheToolbarAreaSize) {
    auto png = box.dir() / "band.png";
    auto r = box.browse("snapshot " + png.string() + "\n", "--width 640");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string bytes = read_file(png);
    ASSERT_GT(bytes.size(), 24u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    auto be32 = [&](size_t at) {
        return (static_cast<unsigned char>(bytes[at]) << 24) | (static_cast<unsigned char>(bytes[at + 1]) << 16) |
               (static_cast<unsigned char>(bytes[at + 2]) << 8) | static_cast<unsigned char>(bytes[at + 3]);
    };
    EXPECT_EQ(be32(16), 640);
    EXPECT_EQ(be32(20), 30);
    r = box.browse("snapshot " + (box.dir() / "no/such/dir.png").string() + "\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_THAT(r.err, HasSubstr("error: cannot write"));
}

TEST_F(BrowseFakeBand, OversizedPagesBecomeErrorDocuments) {
    Page big;
    big.body = "<input id=never>" + std::string(9u << 20, 'x');
    server.set("/big", big);
    auto r = box.browse("open " + server.url("/big") + "\nfields\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "{\"url\":\"" + server.url("/big") + "\",\"inputs\":[],\"frames\":[]}\n");
}

}  // namespace
}  // namespace bf::host::test
