// The registered component in the browser host, end to end: `brackenfold browse` scripts against
// the reference service (run in this process on a free port, with demo sites of the tests' own).
// Status texts, account pick-up and logout, the alias command and the filling rules (frames,
// type email, passwords), rating and advertisement clicks, two windows, snapshot pixels.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#if BF_HOST_TESTS_WITH_SERVICE

#include <arpa/inet.h>
#include <netinet/in.h>
#include <png.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include <winuser.h>
#include "service/service_server.h"
#include "service/service_store.h"
#include "tests/host/host_support.h"
#include "tests/host/suite_service.h"

namespace bf::host::test {
namespace {

using ::testing::HasSubstr;
using json = nlohmann::json;

constexpr const char* kPassword = "pw-for-tests";

std::string png_bytes(int w, int h, unsigned char r, unsigned char g, unsigned char b) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(w);
    image.height = static_cast<png_uint_32>(h);
    image.format = PNG_FORMAT_RGBA;
    std::vector<unsigned char> pixels(static_cast<size_t>(w) * h * 4);
    for (size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = r;
        pixels[i + 1] = g;
        pixels[i + 2] = b;
        pixels[i + 3] = 255;
    }
    png_alloc_size_t size = 0;
    png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr);
    std::string out(size, '\0');
    png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, nullptr);
    out.resize(size);
    return out;
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

// One service for the whole suite: its SOAP namespace is built from the deployment constants
// once per process, so the port cannot change between tests. Each test has its own hive and its
// own account (aliases belong to an account), and sites of its own where it needs them.
class BrowseComponent : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        suite_dir = new Sandbox(false);
        std::filesystem::create_directories(suite_dir->dir() / "sites");
        std::string error;
        store = service::ServiceStore::open((suite_dir->dir() / "service.db").string(), &error).release();
        ASSERT_TRUE(store) << error;
        server = start_suite_service(*store, (suite_dir->dir() / "sites").string(), &port, &error);
        ASSERT_TRUE(server) << error;
    }
    static void TearDownTestSuite() {
        if (server) server->stop(5);
        delete server;
        delete store;
        delete suite_dir;
        server = nullptr;
        store = nullptr;
        suite_dir = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(server && store);
        static int accounts = 0;
        user = "fern" + std::to_string(++accounts);
        service::Account account;
        ASSERT_EQ(store->createAccount(user, kPassword, &account), service::StoreResult::Ok);
        account_id = account.id;
        env = {"BRACKENFOLD_SERVICE_HOST=127.0.0.1:" + port, "BRACKENFOLD_SERVICE_DOMAIN=brackenfold.localhost:" + port};
        auto reg = box.run("register", {}, env);
        ASSERT_EQ(reg.exit_code, 0) << reg.out << reg.err;
        for (const char* h : {"www.brackenfold.localhost", "www.shop.test", "www.rated.test", "www.other.test"})
            resolve += std::string(" --resolve ") + h + ":" + port + ":127.0.0.1";
    }

    void page(const std::string& host, const std::string& path, const std::string& html) {
        auto file = suite_dir->dir() / "sites" / host / path;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << html;
    }
    std::string site(const std::string& host, const std::string& path = "/") const {
        return "http://" + host + ":" + port + path;
    }
    std::string sign_in() const {
        return "open " + site("www.brackenfold.localhost", "/login.aspx") + "\nwait\ntype username " + user +
               "\ntype password " + kPassword + "\nsubmit\nwait\n";
    }
    BrowseResult browse(const std::string& script, const std::string& extra = {}) {
        return box.browse(script, resolve.substr(1) + (extra.empty() ? "" : " " + extra), env);
    }

    static inline Sandbox* suite_dir = nullptr;
    static inline service::ServiceStore* store = nullptr;
    static inline service::ServiceServer* server = nullptr;
    static inline std::string port;
    Sandbox box{false};
    std::string user, account_id, resolve;
    std::vector<std::string> env;
};

json line_json(const BrowseResult& r, size_t i) {
    auto lines = r.out_lines();
    if (i >= lines.size()) return json();
    return json::parse(lines[i], nullptr, false);
}

// --- status texts, account and logout ---------------------------------------------------------

TEST_F(BrowseComponent, AFreshToolbarAsksToLogInAndLaysItsControlsOut) {
    auto r = browse("show\nopen about:blank\nwait\nshow\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out_lines().at(0),
              "{\"window\":1,\"url\":\"\",\"status\":\"Please Login\",\"login\":\"Login\",\"name\":\"\","
              "\"focus\":null,\"selection\":[0,0],\"nameRect\":[509,1,509,22],"
              "\"rating\":{\"visible\":true,\"rect\":[0,1,200,29]},"
              "\"ad\":{\"visible\":false,\"rect\":[511,1,611,22]}}");
    // about:blank has the site key "http://": no dot, so the lookup answers by itself.
    EXPECT_EQ(line_json(r, 1)["status"], "Service Unavailable/Invalid Site");
}

TEST_F(BrowseComponent, SigningInOnTheServiceSitePicksTheAccountUpAndLogoutDropsIt) {
    auto r = browse("open " + site("www.brackenfold.localhost", "/login.aspx") + "\nwait\nshow\n" + sign_in() +
                    "show\nopen " + site("www.shop.test") + "\nwait\nshow\nclick login\nshow\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(line_json(r, 0)["status"], "Welcome to Bracken Fold");
    EXPECT_EQ(line_json(r, 0)["login"], "Login");
    json in = line_json(r, 1);
    EXPECT_EQ(in["status"], "You are logged in");
    EXPECT_EQ(in["login"], "Logout");
    EXPECT_EQ(in["name"], user);
    EXPECT_GT(in["nameRect"][2].get<int>(), 509);  // the name label grew to its text
    EXPECT_EQ(in["ad"]["rect"][0].get<int>(), in["nameRect"][2].get<int>() + 2);
    EXPECT_EQ(line_json(r, 2)["status"], "Click for Alias Email...");
    json out = line_json(r, 3);
    EXPECT_EQ(out["status"], "Please Login");
    EXPECT_EQ(out["login"], "Login");
    EXPECT_EQ(out["name"], "");
    EXPECT_EQ(out["url"], site("www.shop.test"));  // logging out opens no page

    auto q = box.run("reg query 'HKCU\\Software\\Brackenfold'");
    EXPECT_THAT(q.out, HasSubstr("ci    REG_SZ    \n"));
    EXPECT_THAT(q.out, HasSubstr("ciUN    REG_SZ    \n"));
}

TEST_F(BrowseComponent, TheStoredAccountSurvivesARestartAndTheLoginButtonOpensTheLoginPage) {
    ASSERT_EQ(browse(sign_in()).exit_code, 0);
    auto q = box.run("reg query 'HKCU\\Software\\Brackenfold'");
    EXPECT_THAT(q.out, HasSubstr("ci    REG_SZ    " + account_id + "\n"));
    auto r = browse("show\nclick login\nshow\nclick login\nshow\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(line_json(r, 0)["status"], "You are logged in");
    EXPECT_EQ(line_json(r, 0)["name"], user);
    EXPECT_EQ(line_json(r, 1)["status"], "Please Login");
    // Logged out, the button navigates to the login page, and that navigation is complete.
    EXPECT_EQ(line_json(r, 2)["url"], site("www.brackenfold.localhost", "/login.aspx"));
}

// --- the alias command and the filling rules --------------------------------------------------

TEST_F(BrowseComponent, TheAliasFillsOnlyEmptyEmailTextFieldsOfTheTopDocument) {
    page("www.shop.test", "index.html",
         "<form><input type=email id=email><input id=login name=email><input type=password name=email>"
         "<input id=mail><input name=contact_email value=' '><input id=E-Mail-Address><input id=e_mail>"
         "<input type=hidden id=hidden_email></form><iframe src='/frame.html'></iframe>");
    page("www.shop.test", "frame.html", "<input type=text id=newsletter_email>");
    page("www.shop.test", "second.html", "<input id=userEmail><input id=emial>");
    auto r = browse(sign_in() + "open " + site("www.shop.test") + "\nwait\nshow\nclick status\nwait\nshow\nfields\n"
                    "open " + site("www.shop.test", "/second.html") + "\nwait\nfields\nclear userEmail\n"
                    "click status\nshow\nfields\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(line_json(r, 0)["status"], "Click for Alias Email...");
    json shown = line_json(r, 1);
    std::string alias = shown["status"];
    const std::string domain = "@alias.test";
    ASSERT_GT(alias.size(), domain.size()) << alias;
    EXPECT_EQ(alias.substr(alias.size() - domain.size()), domain);
    EXPECT_EQ(alias.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789"), alias.size() - domain.size()) << alias;
    EXPECT_EQ(shown["focus"], "status");
    EXPECT_EQ(shown["selection"], json::array({0, static_cast<int>(alias.size())}));

    json f = line_json(r, 2);
    std::vector<std::string> values;
    for (const auto& in : f["inputs"]) values.push_back(in["value"]);
    EXPECT_EQ(values, (std::vector<std::string>{alias, alias, "", "", " ", alias, "", ""}));
    EXPECT_EQ(f["inputs"][0]["type"], "text");  // type email reads as text
    EXPECT_EQ(f["frames"][0]["inputs"][0]["value"], "");

    // Another page of the same site is filled again without asking the service.
    json second = line_json(r, 3);
    EXPECT_EQ(second["inputs"][0]["value"], alias);
    EXPECT_EQ(second["inputs"][1]["value"], "");
    // A click on the address refills the emptied field and selects the address again.
    EXPECT_EQ(line_json(r, 4)["status"], alias);
    EXPECT_EQ(line_json(r, 4)["focus"], "status");
    EXPECT_EQ(line_json(r, 5)["inputs"][0]["value"], alias);
}

TEST_F(BrowseComponent, ClickingTheStatusBoxLoggedOutDoesNothing) {
    page("www.shop.test", "index.html", "<input id=email>");
    auto r = browse("open " + site("www.shop.test") + "\nwait\nshow\nclick status\nwait\nshow\nfields\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(line_json(r, 0)["status"], "Please Login");
    EXPECT_EQ(line_json(r, 1)["status"], "Please Login");
    EXPECT_EQ(line_json(r, 1)["focus"], nullptr);
    EXPECT_EQ(line_json(r, 2)["inputs"][0]["value"], "");
}

// --- rating and advertisement -----------------------------------------------------------------

TEST_F(BrowseComponent, RatingAndAdvertisementClicksOpenTheirLinks) {
    ASSERT_EQ(store->setRating("http://rated.test:" + port, 7), service::StoreResult::Ok);
    service::AdRecord ad;
    ad.adBinary = png_bytes(120, 40, 200, 30, 30);
    ad.width = 120;
    ad.height = 40;
    ad.adType = "image/png";
    ad.adURL = site("www.other.test", "/landing.html");
    int ad_id = 0;
    ASSERT_EQ(store->setAdvertisement("http://rated.test:" + port, ad, &ad_id), service::StoreResult::Ok);
    page("www.other.test", "landing.html", "<p>buy</p>");
    auto r = browse(sign_in() + "open " + site("www.rated.test") + "\nwait\nshow\nclick ad\nshow\nopen " +
                    site("www.rated.test") + "\nwait\nclick rating\nshow\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    json s = line_json(r, 0);
    EXPECT_EQ(s["ad"]["visible"], true);
    auto rect = s["ad"]["rect"];
    EXPECT_EQ(rect[2].get<int>() - rect[0].get<int>(), 120);
    EXPECT_EQ(rect[3].get<int>() - rect[1].get<int>(), 40);
    EXPECT_EQ(rect[0].get<int>(), s["nameRect"][2].get<int>() + 2);
    EXPECT_EQ(line_json(r, 1)["url"], site("www.other.test", "/landing.html"));
    EXPECT_EQ(line_json(r, 2)["url"],
              site("www.brackenfold.localhost", "/rating.aspx?r=7&d=rated.test:" + port));
}

// --- several windows --------------------------------------------------------------------------

TEST_F(BrowseComponent, EveryNewWindowLooksItsSiteUpAgain) {
    page("www.shop.test", "index.html", "<input id=email>");
    auto r = browse(sign_in() + "open " + site("www.shop.test") + "\nwait\nshow\nnewwindow\nshow\nopen " +
                    site("www.shop.test") + "\nwait\nshow\nwindow 1\nshow\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(line_json(r, 0)["status"], "Click for Alias Email...");
    // The second window's band starts from the stored account; its first page is looked up
    // although the first window has just looked the same site up.
    EXPECT_EQ(line_json(r, 1)["window"], 2);
    EXPECT_EQ(line_json(r, 1)["status"], "You are logged in");
    EXPECT_EQ(line_json(r, 1)["name"], user);
    EXPECT_EQ(line_json(r, 2)["status"], "Click for Alias Email...");
    EXPECT_EQ(line_json(r, 3)["window"], 1);
    EXPECT_EQ(line_json(r, 3)["status"], "Click for Alias Email...");
}

// --- snapshot pixels --------------------------------------------------------------------------

TEST_F(BrowseComponent, SnapshotShowsTheSunkenSeparatorAndTheRatingImage) {
    auto shot = (box.dir() / "band.png").string();
    auto r = browse("snapshot " + shot + "\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    Rgba png = read_png(shot);
    ASSERT_EQ(png.w, 800);
    ASSERT_EQ(png.h, 30);
    auto colour = [](int index) {
        DWORD c = GetSysColor(index);
        return std::vector<int>{static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF),
                                static_cast<int>((c >> 16) & 0xFF)};
    };
    auto pixel = [&](int x, int y) {
        const unsigned char* p = png.at(x, y);
        return std::vector<int>{p[0], p[1], p[2]};
    };
    // The separator occupies x 200..202: column 0 dark to row 27, column 1 light on all rows,
    // row 28 light under column 0.
    for (int y = 0; y <= 27; ++y) EXPECT_EQ(pixel(200, y), colour(COLOR_BTNSHADOW)) << y;
    for (int y = 0; y <= 28; ++y) EXPECT_EQ(pixel(201, y), colour(COLOR_BTNHIGHLIGHT)) << y;
    EXPECT_EQ(pixel(200, 28), colour(COLOR_BTNHIGHLIGHT));

    // The rating label shows image 204 at its natural size from its top-left corner (0, 1),
    // blended over what lies below; beyond the image the toolbar shows through.
    Rgba meter = read_png(std::string(BF_TEST_DATA_DIR) + "/../../resources/images/204_rating0.png");
    ASSERT_EQ(meter.w, 195);
    ASSERT_EQ(meter.h, 23);
    std::vector<int> below = pixel(197, 10);
    int opaque_checked = 0;
    for (int y = 0; y < meter.h; ++y)
        for (int x = 0; x < meter.w; ++x) {
            const unsigned char* m = meter.at(x, y);
            if (m[3] != 255) continue;
            ++opaque_checked;
            ASSERT_EQ(pixel(x, y + 1), (std::vector<int>{m[0], m[1], m[2]})) << x << "," << y;
        }
    EXPECT_GT(opaque_checked, 100);
    EXPECT_EQ(pixel(196, 5), below);
    EXPECT_EQ(pixel(10, 26), below);
}

// --- a service that never answers -------------------------------------------------------------

TEST(BrowseComponentSilentService, TheToolbarWaitsOnTheSiteAndWaitGivesUpAfterItsTimeOut) {
    // Accepts connections (the kernel does) and never answers them.
    int silent = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(silent, 16), 0);
    getsockname(silent, reinterpret_cast<sockaddr*>(&a), &len);
    std::string service_port = std::to_string(ntohs(a.sin_port));

    Sandbox box(false);
    PageServer pages;
    pages.set_html("/", "<input id=email>");
    std::vector<std::string> env = {"BRACKENFOLD_SERVICE_HOST=127.0.0.1:" + service_port,
                                    "BRACKENFOLD_SERVICE_DOMAIN=brackenfold.localhost:" + service_port};
    ASSERT_EQ(box.run("register", {}, env).exit_code, 0);
    ASSERT_EQ(box.run("reg add 'HKCU\\Software\\Brackenfold' --value ci --data 0123abcd --force").exit_code, 0);
    ASSERT_EQ(box.run("reg add 'HKCU\\Software\\Brackenfold' --value ciUN --data moss --force").exit_code, 0);
    std::string p = std::to_string(pages.port());
    auto r = box.browse("show\nopen http://www.shop.test:" + p + "/\nshow\nwait\nshow\n",
                        "--wait-timeout 0.5 --resolve www.shop.test:" + p + ":127.0.0.1", env);
    close(silent);
    EXPECT_EQ(r.exit_code, 1);
    auto lines = r.out_lines();
    ASSERT_EQ(lines.size(), 2u) << r.out;
    json before = json::parse(lines[0]);
    EXPECT_EQ(before["status"], "You are logged in");
    EXPECT_EQ(before["name"], "moss");
    // Logged in, with the lookup under way: the refresh at DocumentComplete changes nothing.
    EXPECT_EQ(json::parse(lines[1])["status"], "Waiting on Site Load...");
    EXPECT_EQ(r.err, "error: the component is still busy after 0.5 s\n");
}

// --- the demo --------------------------------------------------------------------------------

TEST(Demo, RunsTheTourToItsEndWithASnapshotPerStep) {
    Sandbox box(false);
    auto out = box.dir() / "shots";
    std::string repo = std::filesystem::path(BF_TEST_DATA_DIR).parent_path().parent_path().string();
    auto r = box.run("demo --out '" + out.string() + "' --repo '" + repo + "'");
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("status box: \"You are logged in\""));
    EXPECT_THAT(r.out, HasSubstr("status box: \"Click for Alias Email...\""));
    EXPECT_THAT(r.out, HasSubstr("in a frame: text field newsletter-email: empty"));
    EXPECT_THAT(r.out, HasSubstr("status box: \"Please Login\""));
    EXPECT_THAT(r.out, HasSubstr("The demo ran to its end."));
    size_t pngs = 0;
    for (const auto& e : std::filesystem::directory_iterator(out)) pngs += e.path().extension() == ".png";
    EXPECT_EQ(pngs, 8u);
    // The demo's own hive: the sandbox's stays untouched.
    EXPECT_FALSE(std::filesystem::exists(box.hive()));
}

}  // namespace
}  // namespace bf::host::test

#endif  // BF_HOST_TESTS_WITH_SERVICE
