// What only a real engine has, with the fake band: forms rendered by script after load, pages whose
// scripts keep their own state from input events, history-push views, cross-site frames in other
// processes, redirect chains and lazy frames in the event order, a load that never ends, the
// snapshot of band and page, and a Chromium that dies or hangs in the middle of a session.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <thread>

#include "tests/chromium/chromium_support.h"
#include "tests/host/host_support.h"

namespace bf::host::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

const std::string kBN2 = " 9 400c 400c 400c 400c 400c 400b ";
const std::string kNC = " 9 400c ";

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

class RealEngine : public ::testing::Test {
protected:
    BrowseResult browse(const std::string& script, const std::string& extra = {},
                        std::vector<std::string> env = {}) {
        return box.browse(script, "--engine chromium" + (extra.empty() ? "" : " " + extra), env);
    }
    std::vector<std::string> events() { return lines_starting(box.band_log_lines(), "event 25"); }
    Sandbox box;
    PageServer server;
};

TEST_F(RealEngine, ChromiumStartsAndAnswers) {
    auto r = browse("show\n");
    ASSERT_EQ(r.exit_code, 0) << "Chromium cannot be started here (`make deps` installs it): " << r.err;
}

TEST_F(RealEngine, AFormRenderedByScriptAfterLoadGetsOneMoreDocumentComplete) {
    server.set_html("/", "<p>loading</p><script>setTimeout(() => {"
                         "document.body.insertAdjacentHTML('beforeend', '<form><input id=late_email></form>');"
                         "setTimeout(() => document.body.insertAdjacentHTML('beforeend', '<p>no input here</p>'), 400);"
                         "}, 300)</script>");
    auto r = browse("open " + server.url("/") + "\nfields\nwaitfor late_email 10\nwait\nfields\nopen about:blank\n",
                    {}, {"BF_FAKE_BAND_FILL=late@alias.test"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    auto lines = r.out_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[0], HasSubstr("\"inputs\":[]"));
    EXPECT_THAT(lines[1], HasSubstr("\"id\":\"late_email\",\"name\":\"\",\"value\":\"late@alias.test\""));
    std::string u = server.url("/");
    EXPECT_THAT(lines_starting(events(), "event 259"),
                ElementsAre("event 259 top" + kNC + u, "event 259 top" + kNC + u, "event 259 top" + kNC + "about:blank"));
}

TEST_F(RealEngine, ValuesAreTypedSoThatAPageKeepingItsOwnStateSubmitsThem) {
    // As front-end frameworks do: the field's own value setter is replaced to track what the page
    // itself wrote, and the page's state follows input events only for values it did not write.
    server.set_html("/", R"(<form id=f><input id=email_address><input id=who></form><script>
      const state = {email: '', who: ''};
      for (const el of document.querySelectorAll('input')) {
        let tracked = '';
        const native = Object.getOwnPropertyDescriptor(HTMLInputElement.prototype, 'value');
        Object.defineProperty(el, 'value', {configurable: true, get() { return native.get.call(this); },
                              set(v) { tracked = v; native.set.call(this, v); }});
        el.addEventListener('input', () => { if (el.value !== tracked) { tracked = el.value; state[el.id === 'who' ? 'who' : 'email'] = el.value; } });
      }
      document.getElementById('f').addEventListener('submit', (e) => {
        e.preventDefault();
        fetch('/api', {method: 'POST', body: JSON.stringify(state)}).then(() => { location.href = '/done'; });
      });</script>)");
    server.set_html("/api", "{}");
    server.set_html("/done", "<p>thanks</p>");
    auto r = browse("open " + server.url("/") + "\ntype who Ann Fern\nsubmit who\nshow\n", {},
                    {"BF_FAKE_BAND_FILL=kept@alias.test"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("\"url\":\"" + server.url("/done") + "\""));
    auto reqs = server.requests();
    auto api = std::find_if(reqs.begin(), reqs.end(), [](const Request& q) { return q.uri == "/api"; });
    ASSERT_NE(api, reqs.end());
    EXPECT_EQ(api->body, "{\"email\":\"kept@alias.test\",\"who\":\"Ann Fern\"}");
}

TEST_F(RealEngine, ThePagesScriptsCanNeitherSeeNorReplaceTheEnginesOwn) {
    server.set_html("/", R"(<input id=email value=real><input id=seen><script>
      window.__bf = {inputs: () => [], setValue: () => true};
      Object.defineProperty(HTMLInputElement.prototype, 'value', {get() { return 'forged'; }, set(v) {}});
      document.getElementById('seen').setAttribute('value', typeof __bfInputs + ' ' + typeof __bf.find);
    </script>)");
    auto r = browse("open " + server.url("/") + "\nclear email\ntype email mine\nfields\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "{\"url\":\"" + server.url("/") + "\",\"inputs\":["
                     "{\"type\":\"text\",\"id\":\"email\",\"name\":\"\",\"value\":\"mine\"},"
                     "{\"type\":\"text\",\"id\":\"seen\",\"name\":\"\",\"value\":\"undefined undefined\"}],"
                     "\"frames\":[]}\n");
}

TEST_F(RealEngine, AHistoryPushViewIsANavigationOfItsOwnAndItsNewFieldIsFilled) {
    server.set_html("/", "<input id=search><script>setTimeout(() => {"
                         "document.body.insertAdjacentHTML('beforeend', '<input id=signup_email>');"
                         "history.pushState({}, '', '/signup');}, 300)</script>");
    auto r = browse("open " + server.url("/") + "\nwaitfor signup_email 10\nwait\nshow\nfields\n", {},
                    {"BF_FAKE_BAND_FILL=view@alias.test"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out_lines().at(0), HasSubstr("\"url\":\"" + server.url("/signup") + "\""));
    EXPECT_THAT(r.out_lines().at(1), HasSubstr("\"id\":\"signup_email\",\"name\":\"\",\"value\":\"view@alias.test\""));
    std::string u = server.url("/"), v = server.url("/signup");
    EXPECT_THAT(events(), ElementsAre("event 250 top" + kBN2 + u, "event 252 top" + kNC + u, "event 259 top" + kNC + u,
                                      "event 252 top" + kNC + v, "event 259 top" + kNC + v, "event 253 "));
}

TEST_F(RealEngine, ACrossSiteFrameInAnotherProcessTakesPartAndKeepsItsField) {
    std::string p = std::to_string(server.port());
    std::string top = "http://www.shop.test:" + p, frame = "http://www.other.test:" + p;
    server.set_html("/", "<input id=email><iframe src='" + frame + "/frame.html'></iframe>");
    server.set_html("/frame.html", "<input id=newsletter_email>");
    auto r = browse("open " + top + "/\nfields\n",
                    "--resolve www.shop.test:" + p + ":127.0.0.1 --resolve www.other.test:" + p + ":127.0.0.1",
                    {"BF_FAKE_BAND_FILL=top@alias.test"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "{\"url\":\"" + top + "/\",\"inputs\":[{\"type\":\"text\",\"id\":\"email\",\"name\":\"\","
                     "\"value\":\"top@alias.test\"}],\"frames\":[{\"url\":\"" + frame +
                         "/frame.html\",\"inputs\":[{\"type\":\"text\",\"id\":\"newsletter_email\",\"name\":\"\","
                         "\"value\":\"\"}]}]}\n");
    EXPECT_THAT(events(), ElementsAre("event 250 top" + kBN2 + top + "/", "event 252 top" + kNC + top + "/",
                                      "event 250 frame" + kBN2 + frame + "/frame.html",
                                      "event 252 frame" + kNC + frame + "/frame.html",
                                      "event 259 frame" + kNC + frame + "/frame.html",
                                      "event 259 top" + kNC + top + "/", "event 253 "));
}

TEST_F(RealEngine, ARedirectChainIsOneNavigationAndLazyFramesWaitTheirTurn) {
    server.set("/r1", Page{302, "text/html", "", {{"Location", "/r2"}}});
    server.set("/r2", Page{301, "text/html", "", {{"Location", "/final"}}});
    server.set_html("/final", "<div style='height:20000px'></div><iframe loading=lazy src='/lazy'></iframe>");
    server.set_html("/lazy", "<input id=lazy>");
    auto r = browse("open " + server.url("/r1") + "\nshow\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("\"url\":\"" + server.url("/final") + "\""));
    EXPECT_THAT(events(), ElementsAre("event 250 top" + kBN2 + server.url("/r1"),
                                      "event 252 top" + kNC + server.url("/final"),
                                      "event 259 top" + kNC + server.url("/final"), "event 253 "));
    EXPECT_FALSE(requested(server, "/lazy"));
}

TEST_F(RealEngine, APageWhoseLoadNeverEndsTimesOut) {
    StalledServer stalled;
    auto r = browse("open http://127.0.0.1:" + std::to_string(stalled.port()) + "/\nshow\n", "--load-timeout 2");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "error: the page did not finish loading in 2 s\n");
    EXPECT_EQ(r.out, "");
}

struct Rgba {
    std::vector<unsigned char> px;
    int w = 0, h = 0;
    const unsigned char* at(int x, int y) const { return &px[(static_cast<size_t>(y) * w + x) * 4]; }
};

Rgba read_png(const std::string& path) {
    Rgba out;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return out;
    image.format = PNG_FORMAT_RGBA;
    out.w = static_cast<int>(image.width);
    out.h = static_cast<int>(image.height);
    out.px.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.px.data(), 0, nullptr)) out = Rgba{};
    return out;
}

TEST_F(RealEngine, TheSnapshotShowsTheBandAboveThePage) {
    server.set_html("/", "<body style='margin:0;background:rgb(200,30,40)'><input id=a></body>");
    auto shot = (box.dir() / "window.png").string();
    auto r = browse("open " + server.url("/") + "\nsnapshot " + shot + "\n", "--width 640");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    Rgba png = read_png(shot);
    ASSERT_EQ(png.w, 640);
    ASSERT_EQ(png.h, 30 + 600);
    const unsigned char* page = png.at(600, 500);
    EXPECT_EQ((std::vector<int>{page[0], page[1], page[2]}), (std::vector<int>{200, 30, 40}));
    const unsigned char* band = png.at(300, 15);  // the fake band's status box
    EXPECT_NE((std::vector<int>{band[0], band[1], band[2]}), (std::vector<int>{200, 30, 40}));
}

// --- a browser that goes away ---------------------------------------------------------------

struct Lost {
    const char* name;
    int signal;
    std::string error;
};

void PrintTo(const Lost& l, std::ostream* os) { *os << l.name; }

class LostBrowser : public ::testing::TestWithParam<Lost> {};

TEST_P(LostBrowser, TheSessionSaysSoExitsAndLeavesNoProcess) {
    Sandbox box;
    PageServer server;
    server.set_html("/", "<input id=a>");
    std::string marker = new_marker();
    auto run = std::async(std::launch::async, [&] {
        return box.browse("open " + server.url("/") + "\nwaitfor never 60\nshow\n", "--engine chromium", {marker});
    });
    std::vector<pid_t> browsers;
    for (int i = 0; i < 400 && browsers.empty(); ++i) {
        // The page is open once the server has been asked for it.
        if (requested(server, "/")) browsers = marked_browsers(marker);
        std::this_thread::sleep_for(25ms);
    }
    ASSERT_EQ(browsers.size(), 1u) << "no Chromium of this run was found";
    pid_t group = browsers[0];
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(kill(group, GetParam().signal), 0);
    auto r = run.get();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "error: " + GetParam().error + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(processes_in_group(group), ElementsAre());
    EXPECT_THAT(marked_processes(marker), ElementsAre());
}

INSTANTIATE_TEST_SUITE_P(Chromium, LostBrowser,
                         ::testing::Values(Lost{"Killed", SIGKILL, "the browser exited (killed by signal 9 (Killed))"},
                                           Lost{"Hung", SIGSTOP, "the browser did not answer in 5 s"}),
                         [](const ::testing::TestParamInfo<Lost>& info) { return info.param.name; });

TEST(ChromiumQuit, QuitClosesChromiumAndNothingOfItStays) {
    Sandbox box;
    std::string marker = new_marker();
    auto r = box.browse("newwindow about:blank\nclosewindow\nquit\n", "--engine chromium", {marker});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(marked_processes(marker), ElementsAre());
    auto missing = box.browse("quit\n", "--engine chromium --chromium /nonexistent/chromium");
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_THAT(missing.err, HasSubstr("error: cannot start Chromium: '/nonexistent/chromium' is not an executable"));
}

}  // namespace
}  // namespace bf::host::test
