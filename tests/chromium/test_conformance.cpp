// One conformance suite, two engines: the host's scenarios with the fake band -- the band's life,
// the events with their order, argument types and frame objects, show and fields JSON, typing and
// form submission as the server sees them, windows, cancellation, script errors and --resolve --
// run from one table on the embedded engine and on Chromium, with the same expectations.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/chromium/chromium_support.h"
#include "tests/host/host_support.h"

namespace bf::host::test {
namespace {

using ::testing::HasSubstr;

const std::string kBN2 = " 9 400c 400c 400c 400c 400c 400b ";
const std::string kNC = " 9 400c ";

std::string subst(std::string s, const std::string& base, const std::string& port) {
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"{U}", base}, {"{P}", port},
                                   {"{BN2}", kBN2}, {"{NC}", kNC}})
        for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
            s.replace(at, from.size(), to);
    return s;
}

struct Scenario {
    const char* name = "";
    std::vector<std::pair<std::string, Page>> pages = {};
    std::string script = {};               // {U}: http://127.0.0.1:PORT, {P}: PORT
    std::string extra_args = {};
    std::vector<std::string> env = {};
    int exit_code = 0;
    std::string out = {};                  // exact, when `out_has` is empty
    std::vector<std::string> out_has = {};
    std::string err = {};
    std::string log_prefix = {};           // the band log lines starting so, exactly `log`
    std::vector<std::string> log = {};
    std::vector<std::string> requested = {}, not_requested = {};  // request lines "METHOD URI"
    std::function<void(const std::vector<Request>&, const std::string& base)> check_requests = {};
};

Page html(const std::string& body) {
    Page p;
    p.body = body;
    return p;
}

Page redirect(int status, const std::string& to, const std::string& cookie = {}) {
    Page p;
    p.status = status;
    p.headers = {{"Location", to}};
    if (!cookie.empty()) p.headers.push_back({"Set-Cookie", cookie});
    return p;
}

const std::vector<Scenario>& scenarios() {
    static const std::vector<Scenario> all = {
        {.name = "TheBandIsSitedAndClosedInTheOriginalOrder",
         .script = "quit\n",
         .log_prefix = "",
         .log = {"SetSite", "input-object-site yes", "Advise 0", "GetBandInfo 0 0 127", "GetWindow", "ShowDW 1",
                 "event 253 ", "ShowDW 0", "CloseDW", "SetSite(null)", "Unadvise 0", "destroyed",
                 "unload-asked yes"}},
        {.name = "FramesThreeLevelsDeepFireTheirEventsInOrderWithTheirOwnObjects",
         .pages = {{"/", html("<iframe src='/f1'></iframe><input id=top>")},
                   {"/f1", html("<frameset><frame src='f2'></frameset>")},
                   {"/f2", html("<iframe src='/f3'></iframe>")},
                   {"/f3", html("<p>leaf</p>")}},
         .script = "open {U}/\n",
         .log_prefix = "event 25",
         .log = {"event 250 top{BN2}{U}/", "event 252 top{NC}{U}/", "event 250 frame{BN2}{U}/f1",
                 "event 252 frame{NC}{U}/f1", "event 250 frame{BN2}{U}/f2", "event 252 frame{NC}{U}/f2",
                 "event 250 frame{BN2}{U}/f3", "event 252 frame{NC}{U}/f3", "event 259 frame{NC}{U}/f3",
                 "event 259 frame{NC}{U}/f2", "event 259 frame{NC}{U}/f1", "event 259 top{NC}{U}/", "event 253 "}},
        {.name = "ACancelledNavigationFetchesNothingAndKeepsThePage",
         .pages = {{"/a", html("<input id=a>")}, {"/blocked", html("<input id=b>")}},
         .script = "open {U}/a\nopen {U}/blocked\nfields\n",
         .env = {"BF_FAKE_BAND_CANCEL=/blocked"},
         .out = "{\"url\":\"{U}/a\",\"inputs\":[{\"type\":\"text\",\"id\":\"a\",\"name\":\"\",\"value\":\"\"}],"
                "\"frames\":[]}\n",
         .log_prefix = "event 252",
         .log = {"event 252 top{NC}{U}/a"},
         .not_requested = {"GET /blocked"}},
        {.name = "NavigateFromABandClickCompletesBeforeTheCommandReturns",
         .pages = {{"/login.aspx", html("<input id=user>")}},
         .script = "click login\nshow\n",
         .env = {"BF_FAKE_BAND_LOGIN_URL={U}/login.aspx"},
         .out_has = {"\"url\":\"{U}/login.aspx\""},
         .log_prefix = "login-click",
         .log = {"login-click navigate 0"}},
        {.name = "ShowPrintsTheBandControlsAsJson",
         .script = "show\n",
         .out = "{\"window\":1,\"url\":\"\",\"status\":\"Fake band ready\",\"login\":\"Login\",\"name\":\"\","
                "\"focus\":null,\"selection\":[0,0],\"nameRect\":[509,1,509,22],"
                "\"rating\":{\"visible\":true,\"rect\":[0,1,200,29]},"
                "\"ad\":{\"visible\":false,\"rect\":[511,1,611,22]}}\n"},
        {.name = "FieldsReportTypesAsTheOriginalBrowserAndKeepFramesApart",
         .pages = {{"/", html("<input type=EMAIL id=Mail name=m value='a&quot;b'><input type=PassWord name=p>"
                              "<input><input type=search id=s><input type=hidden id=h value=1>"
                              "<iframe src='/news'></iframe>")},
                   {"/news", html("<input type=email name=newsletter_email>")}},
         .script = "open {U}/\nfields\n",
         .out = "{\"url\":\"{U}/\",\"inputs\":["
                "{\"type\":\"text\",\"id\":\"Mail\",\"name\":\"m\",\"value\":\"a\\\"b\"},"
                "{\"type\":\"password\",\"id\":\"\",\"name\":\"p\",\"value\":\"\"},"
                "{\"type\":\"text\",\"id\":\"\",\"name\":\"\",\"value\":\"\"},"
                "{\"type\":\"text\",\"id\":\"s\",\"name\":\"\",\"value\":\"\"},"
                "{\"type\":\"hidden\",\"id\":\"h\",\"name\":\"\",\"value\":\"1\"}],"
                "\"frames\":[{\"url\":\"{U}/news\",\"inputs\":[{\"type\":\"text\",\"id\":\"\","
                "\"name\":\"newsletter_email\",\"value\":\"\"}]}]}\n",
         .log_prefix = "input ",
         .log = {"input text|Mail|m|a\"b", "input password||p|", "input text|||", "input text|s||",
                 "input hidden|h||1"}},
        {.name = "ValuesWrittenThroughTheDocumentModelShowInFields",
         .pages = {{"/", html("<input id=userEmail><input name=contact_email value=' '>"
                              "<input type=password name=email>")}},
         .script = "open {U}/\nfields\n",
         .env = {"BF_FAKE_BAND_FILL=x@alias.test"},
         .out_has = {"{\"type\":\"text\",\"id\":\"userEmail\",\"name\":\"\",\"value\":\"x@alias.test\"}",
                     "\"name\":\"contact_email\",\"value\":\" \"",
                     "{\"type\":\"password\",\"id\":\"\",\"name\":\"email\",\"value\":\"\"}"}},
        {.name = "TypeFindsTheFirstInputByIdBeforeAnyByName",
         .pages = {{"/", html("<input name=x value=byname><input id=x value=byid><input name=y>")}},
         .script = "open {U}/\ntype x hello  world\ntype y \xC3\xA9\nclear x\ntype x  z\nfields\n",
         .out_has = {"{\"type\":\"text\",\"id\":\"\",\"name\":\"x\",\"value\":\"byname\"},"
                     "{\"type\":\"text\",\"id\":\"x\",\"name\":\"\",\"value\":\"z\"},"
                     "{\"type\":\"text\",\"id\":\"\",\"name\":\"y\",\"value\":\"\xC3\xA9\"}"}},
        {.name = "SubmitGetSendsTheFormDataSetInDocumentOrder",
         .pages = {{"/", html("<form action='search' method=get>"
                              "<input name=q><input type=checkbox name=c1><input type=checkbox name=c2 checked>"
                              "<input type=submit name=go value=Go><input name=off disabled value=1>"
                              "<textarea name=ta>\nline1\nline2</textarea>"
                              "<select name=sel><option>one<option selected value=2>two</select>"
                              "<input type=radio name=r value=a><input type=radio name=r value=b checked></form>")},
                   {"/search", html("<p>results</p>")}},
         .script = "open {U}/\ntype q a b&c*~\nsubmit q\nshow\n",
         .out_has = {"\"url\":\"{U}/search?q=a+b%26c*%7E&c2=on&ta=line1%0D%0Aline2&sel=2&r=b\""},
         .requested = {"GET /search?q=a+b%26c*%7E&c2=on&ta=line1%0D%0Aline2&sel=2&r=b"}},
        {.name = "SubmitPostFollowsARedirectAndSharesCookiesAcrossWindows",
         .pages = {{"/", html("<form method=POST action='/login'><input id=user name=u><input type=password name=pw>"
                              "</form><form action=/other><input id=o></form>")},
                   {"/login", redirect(303, "/home", "session=abc; Path=/")},
                   {"/home", html("<input id=home>")},
                   {"/check", html("checked")}},
         .script = "open {U}/\ntype user ann\ntype pw s3cret \xC3\xA9\nsubmit\nshow\nnewwindow {U}/check\n",
         .out_has = {"\"url\":\"{U}/home\""},
         .check_requests =
             [](const std::vector<Request>& reqs, const std::string& base) {
                 auto post = std::find_if(reqs.begin(), reqs.end(), [](const Request& q) { return q.method == "POST"; });
                 ASSERT_NE(post, reqs.end());
                 EXPECT_EQ(post->uri, "/login");
                 EXPECT_EQ(post->body, "u=ann&pw=s3cret+%C3%A9");
                 EXPECT_EQ(post->content_type, "application/x-www-form-urlencoded");
                 EXPECT_EQ(post->referer, base + "/");
                 auto home = std::find_if(reqs.begin(), reqs.end(), [](const Request& q) { return q.uri == "/home"; });
                 ASSERT_NE(home, reqs.end());
                 EXPECT_EQ(home->method, "GET");
                 EXPECT_EQ(home->cookie, "session=abc");
                 auto check = std::find_if(reqs.begin(), reqs.end(), [](const Request& q) { return q.uri == "/check"; });
                 ASSERT_NE(check, reqs.end());
                 EXPECT_EQ(check->cookie, "session=abc");
             }},
        {.name = "SubmitRefusesFieldsOutsideFormsAndPagesWithoutForms",
         .pages = {{"/", html("<input id=loose>")}},
         .script = "open {U}/\nsubmit loose\nshow\n",
         .exit_code = 1,
         .err = "error: the field 'loose' belongs to no form\n"},
        {.name = "WindowsAreNumberedAndSwitched",
         .pages = {{"/1", html("one")}, {"/2", html("two")}},
         .script = "open {U}/1\nnewwindow {U}/2\nshow\nwindow 1\nshow\nwindow 2\ncloseWINDOW\n",
         .exit_code = 1,
         .out_has = {"{\"window\":2,\"url\":\"{U}/2\"", "{\"window\":1,\"url\":\"{U}/1\""},
         .err = "error: unknown command 'closeWINDOW'\n",
         .log_prefix = "SetSite",
         .log = {"SetSite", "SetSite", "SetSite(null)", "SetSite(null)"}},
        {.name = "ScriptErrorsStopTheScript",
         .script = "type nosuch x\nshow\n",
         .exit_code = 1,
         .err = "error: no INPUT with id or name 'nosuch' in the page\n"},
        {.name = "ResolveEntriesReachTheServerUnderTheirHostName",
         .pages = {{"/", html("<input id=resolved>")}},
         .script = "open http://shop.example:{P}/\nfields\n",
         .extra_args = "--resolve shop.example:{P}:127.0.0.1",
         .out_has = {"\"url\":\"http://shop.example:{P}/\"", "\"id\":\"resolved\""},
         .check_requests =
             [](const std::vector<Request>& reqs, const std::string& base) {
                 ASSERT_FALSE(reqs.empty());
                 EXPECT_EQ("http://127.0.0.1:" + reqs.front().host.substr(reqs.front().host.find(':') + 1), base);
                 EXPECT_EQ(reqs.front().host.substr(0, reqs.front().host.find(':')), "shop.example");
             }},
        {.name = "ABadResolveEntryIsRefused",
         .script = "quit\n",
         .extra_args = "--resolve nonsense",
         .exit_code = 1,
         .err = "error: bad --resolve entry 'nonsense' (expected HOST:PORT:ADDRESS)\n"},
        {.name = "WaitforFindsAFieldOrGivesUpAfterItsTime",
         .pages = {{"/", html("<input name=here>")}},
         .script = "open {U}/\nwaitfor here 1\nwaitfor gone 0.3\n",
         .exit_code = 1,
         .err = "error: no INPUT with id or name 'gone' appeared in 0.3 s\n"},
    };
    return all;
}

class Conformance : public ::testing::TestWithParam<std::tuple<const char*, size_t>> {};

TEST_P(Conformance, Scenario) {
    const std::string engine = std::get<0>(GetParam());
    const Scenario& s = scenarios()[std::get<1>(GetParam())];
    Sandbox box;
    PageServer server;
    ASSERT_NE(server.port(), 0);
    std::string base = server.url(""), port = std::to_string(server.port());
    for (const auto& [path, page] : s.pages) server.set(path, page);
    std::vector<std::string> env;
    for (const auto& e : s.env) env.push_back(subst(e, base, port));
    std::string args = engine_flag(engine) + (s.extra_args.empty() ? "" : " " + subst(s.extra_args, base, port));
    auto r = box.browse(subst(s.script, base, port), args, env);
    ASSERT_EQ(r.exit_code, s.exit_code) << r.err << r.out;
    EXPECT_EQ(r.err, subst(s.err, base, port));
    if (s.out_has.empty() && s.exit_code == 0) {
        EXPECT_EQ(r.out, subst(s.out, base, port));
    }
    for (const auto& want : s.out_has) EXPECT_THAT(r.out, HasSubstr(subst(want, base, port)));
    if (!s.log.empty()) {
        std::vector<std::string> got, want;
        for (const auto& l : box.band_log_lines())
            if (l.rfind(s.log_prefix, 0) == 0) got.push_back(l);
        for (const auto& l : s.log) want.push_back(subst(l, base, port));
        EXPECT_EQ(got, want);
    }
    auto reqs = server.requests();
    auto has = [&](const std::string& line) {
        return std::any_of(reqs.begin(), reqs.end(), [&](const Request& q) { return q.method + " " + q.uri == line; });
    };
    for (const auto& q : s.requested) EXPECT_TRUE(has(subst(q, base, port))) << q;
    for (const auto& q : s.not_requested) EXPECT_FALSE(has(subst(q, base, port))) << q;
    if (s.check_requests) s.check_requests(reqs, base);
}

INSTANTIATE_TEST_SUITE_P(
    BothEngines, Conformance, ::testing::Combine(::testing::ValuesIn(kEngines), ::testing::Range<size_t>(0, scenarios().size())),
    [](const ::testing::TestParamInfo<Conformance::ParamType>& info) {
        return std::string(scenarios()[std::get<1>(info.param)].name) + "_" + std::get<0>(info.param);
    });

}  // namespace
}  // namespace bf::host::test
