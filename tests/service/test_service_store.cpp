// The store on both engines: the migrations (a store made before versions were counted, an upgrade
// from each earlier version, a store newer than the build, starters racing), the semantics both
// engines must share, votes racing on one site, and SQLite's busy time-out as a Server fault.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <set>
#include <thread>

#include "service/soap_endpoint.h"
#include "service/store_engine.h"
#include "service_test_support.h"

namespace bf::service::test {
namespace {

std::unique_ptr<ServiceStore> openStore(const std::string& location, int migrateTo = 0, std::string* error = nullptr) {
    StoreOptions options;
    options.migrateTo = migrateTo;
    std::string e;
    auto s = ServiceStore::open(location, options, &e);
    if (error) *error = e;
    EXPECT_TRUE(s || error) << e;
    if (s) s->setPasswordLimits(PasswordLimits::minimum());
    return s;
}

int versionOf(ServiceStore& s) {
    int v = -1;
    EXPECT_EQ(s.schemaVersion(&v), StoreResult::Ok);
    return v;
}

TEST(StoreMigrations, BothEnginesNumberTheSameSteps) {
    const auto& a = store::sqlite_migrations();
    const auto& b = store::postgres_migrations();
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].version, static_cast<int>(i) + 1);
        EXPECT_EQ(b[i].version, static_cast<int>(i) + 1);
        EXPECT_STREQ(a[i].description, b[i].description);
    }
}

// tests/data/service/store-before-migrations.db was written by the service before it counted
// schema versions (two accounts, three aliases, a rating, two votes, an advertisement, a signed-in
// and a signed-out session); these are its contents.
TEST(StoreMigrations, AStoreMadeBeforeVersionsOpensWithEverythingInIt) {
    TempDir dir;
    const std::string path = dir.path() + "/service.db";
    std::filesystem::copy_file(std::string(BF_TEST_DATA_DIR) + "/service/store-before-migrations.db", path);
    for (int round = 0; round < 2; ++round) {  // upgraded, then opened as it is
        auto s = openStore(path);
        ASSERT_TRUE(s);
        EXPECT_EQ(versionOf(*s), s->knownVersion());
        Account ann, ben;
        // The accounts' PBKDF2 records sign in, and the first sign-in replaces them by Argon2id.
        EXPECT_EQ(sqlite_sql(path, "SELECT iterations FROM accounts WHERE name = 'Ann'"), round ? "0" : "1000");
        ASSERT_EQ(s->verifyPassword("ann", "ann's secret", &ann), StoreResult::Ok);
        EXPECT_EQ(sqlite_sql(path, "SELECT substr(hash, 1, 10) || salt || iterations FROM accounts WHERE name = 'Ann'"),
                  "$argon2id$0");
        EXPECT_EQ(ann.id, "be5a781d3d1f7574f1c97ec1d60e5969");
        EXPECT_EQ(ann.name, "Ann");
        ASSERT_EQ(s->verifyPassword("Ben", "ben's secret", &ben), StoreResult::Ok);
        EXPECT_EQ(s->verifyPassword("Ben", "ann's secret", nullptr), StoreResult::NotFound);
        EXPECT_EQ(s->createAccount("ANN", "x", nullptr), StoreResult::Exists);
        std::vector<AliasEntry> aliases;
        ASSERT_EQ(s->aliasesOf(ann.id, &aliases), StoreResult::Ok);
        ASSERT_EQ(aliases.size(), 2u);
        EXPECT_EQ(aliases[0].site, "http://example.com");
        EXPECT_EQ(aliases[0].address, "xnkyha22rpt8qu8x@alias.brackenfold.test");
        EXPECT_EQ(aliases[1].site, "http://shop.test:8080");
        EXPECT_EQ(aliases[1].address, "zagzz6a5ypi43upc@alias.brackenfold.test");
        std::string address;
        ASSERT_EQ(s->aliasFor(ben.id, "http://example.com", true, "x.test", &address), StoreResult::Ok);
        EXPECT_EQ(address, "ff6h3kv8wkbvgyb3@alias.brackenfold.test");
        int rating = -1;
        ASSERT_EQ(s->rating("http://shop.test:8080", &rating), StoreResult::Ok);
        EXPECT_EQ(rating, 3);
        ASSERT_EQ(s->rating("http://example.com", &rating), StoreResult::Ok);
        EXPECT_EQ(rating, 8);  // votes 7 and 8
        // Ben's vote is still counted: changing Ann's moves the mean from both.
        if (round == 1) {
            ASSERT_EQ(s->vote(ann.id, "http://example.com", 2), StoreResult::Ok);
            ASSERT_EQ(s->rating("http://example.com", &rating), StoreResult::Ok);
            EXPECT_EQ(rating, 5);
        }
        AdRecord ad;
        ASSERT_EQ(s->advertisement("http://example.com", &ad), StoreResult::Ok);
        EXPECT_EQ(ad.adID, 1);
        EXPECT_EQ(ad.height, 60);
        EXPECT_EQ(ad.width, 468);
        EXPECT_EQ(ad.adType.value_or("-"), "image/png");
        EXPECT_EQ(ad.adURL.value_or("-"), "http://ads.test/1");
        EXPECT_EQ(ad.adBinary, std::string("\x89PNG\r\n\x1a\n\0\1\2", 11));
        Session session;
        ASSERT_EQ(s->findSession("e160ff7ae10d68ceb9a552eeed13caa33b8f5dc90aa05454abb786bee84afe93", &session),
                  StoreResult::Ok);
        EXPECT_EQ(session.accountId, ann.id);
        EXPECT_EQ(session.userName, "Ann");
        EXPECT_EQ(session.csrf, "63539d5a6824d829db74ee9051d01012");
        ASSERT_EQ(s->findSession("94d2ffcfbbcc699ac0a327e40da1e814a190bf1ad66f9d4fddad2d0a4407f972", &session),
                  StoreResult::Ok);
        EXPECT_EQ(session.accountId, "");
        EXPECT_EQ(session.csrf, "bfce24aa92759a6e0716f16daff43168");
        std::string problems = "-";
        EXPECT_EQ(s->verify(&problems), StoreResult::Ok);
        EXPECT_EQ(problems, "");
    }
    std::string versions;
    for (const auto& m : store::sqlite_migrations()) versions += (versions.empty() ? "" : ",") + std::to_string(m.version);
    EXPECT_EQ(sqlite_sql(path, "SELECT group_concat(version) FROM schema_migrations"), versions);
    EXPECT_EQ(sqlite_sql(path, "SELECT COUNT(*) FROM sqlite_master WHERE name = 'sessions_signed_out'"), "1");
}

class StoreOnBoth : public ::testing::TestWithParam<Engine> {
protected:
    TempDir dir;
    StoreLocation where{GetParam(), dir.path()};
};

TEST_P(StoreOnBoth, UpgradesFromEveryEarlierVersion) {
    const int known = store::sqlite_migrations().back().version;
    for (int from = 1; from < known; ++from) {
        StoreLocation fresh(GetParam(), dir.path() + "/v" + std::to_string(from));
        std::filesystem::create_directories(dir.path() + "/v" + std::to_string(from));
        Account a;
        std::string token, alias;
        {
            auto s = openStore(fresh.location(), from);
            ASSERT_TRUE(s);
            EXPECT_EQ(versionOf(*s), from);
            ASSERT_EQ(s->createAccount("Ann", "pw", &a), StoreResult::Ok);
            ASSERT_EQ(s->aliasFor(a.id, "http://example.com", true, "alias.test", &alias), StoreResult::Ok);
            ASSERT_EQ(s->createSession(a.id, &token, nullptr), StoreResult::Ok);
        }
        auto s = openStore(fresh.location());
        ASSERT_TRUE(s);
        EXPECT_EQ(versionOf(*s), known);
        EXPECT_EQ(fresh.sql("SELECT COUNT(*) FROM schema_migrations"), std::to_string(known));
        EXPECT_EQ(s->verifyPassword("ann", "pw", nullptr), StoreResult::Ok);
        std::string found;
        EXPECT_EQ(s->aliasFor(a.id, "http://example.com", false, "", &found), StoreResult::Ok);
        EXPECT_EQ(found, alias);
        Session session;
        EXPECT_EQ(s->findSession(token, &session), StoreResult::Ok);
        EXPECT_EQ(session.userName, "Ann");
        // An alias from before routes came in is known and leads nowhere until an address is confirmed.
        MailRoute route{true, "-"};
        EXPECT_EQ(s->routeAlias(alias, &route), StoreResult::Ok);
        EXPECT_FALSE(route.disabled);
        EXPECT_EQ(route.realAddress, "");
    }
}

TEST_P(StoreOnBoth, AStoreNewerThanTheBuildIsRefusedAndLeftAsItIs) {
    {
        auto s = openStore(where.location());
        ASSERT_TRUE(s);
        ASSERT_EQ(s->createAccount("Ann", "pw", nullptr), StoreResult::Ok);
    }
    ASSERT_EQ(where.sql("INSERT INTO schema_migrations(version, description, applied) VALUES(99, 'later', 0)"), "");
    std::string error;
    EXPECT_EQ(openStore(where.location(), 0, &error), nullptr);
    EXPECT_EQ(error, "the store is at schema version 99; this build knows versions up to " +
                         std::to_string(store::sqlite_migrations().back().version));
    EXPECT_EQ(where.sql("SELECT MAX(version) FROM schema_migrations"), "99");
    EXPECT_EQ(where.sql("SELECT name FROM accounts"), "Ann");
}

TEST_P(StoreOnBoth, StartersRacingApplyEachStepOnce) {
    std::vector<std::thread> threads;
    std::atomic<int> opened{0};
    std::string errors[4];
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            if (ServiceStore::open(where.location(), &errors[i])) ++opened;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(opened, 4) << errors[0] << "|" << errors[1] << "|" << errors[2] << "|" << errors[3];
    EXPECT_EQ(where.sql("SELECT COUNT(*) FROM schema_migrations"),
              std::to_string(store::sqlite_migrations().size()));
}

TEST_P(StoreOnBoth, BothEnginesAnswerAlike) {
    auto s = openStore(where.location());
    ASSERT_TRUE(s);
    Account a, b;
    // Names: case-insensitive in ASCII only, and only UTF-8 that is printable.
    struct NameCase {
        const char* name;
        StoreResult expected;
    };
    for (const NameCase& c : {NameCase{"\xc3\x84rger", StoreResult::Ok}, NameCase{"\xc3\xa4rger", StoreResult::Ok},
                              NameCase{"\xc3\x84RGER", StoreResult::Exists}, NameCase{"ann", StoreResult::Ok},
                              NameCase{"ANN", StoreResult::Exists}, NameCase{"a\xff", StoreResult::Invalid},
                              NameCase{"a\xc0\xaf", StoreResult::Invalid}, NameCase{"\xed\xa0\x80", StoreResult::Invalid},
                              NameCase{"tab\tname", StoreResult::Invalid}})
        EXPECT_EQ(s->createAccount(c.name, "pw", nullptr), c.expected) << c.name;
    ASSERT_EQ(s->verifyPassword("Ann", "pw", &a), StoreResult::Ok);
    ASSERT_EQ(s->verifyPassword("\xc3\xa4rger", "pw", &b), StoreResult::Ok);
    EXPECT_EQ(b.name, "\xc3\xa4rger");
    EXPECT_EQ(s->verifyPassword("a\xff", "pw", nullptr), StoreResult::NotFound);
    // Lookups by text no store can hold find nothing, on both.
    EXPECT_EQ(s->findAccount("\xff", nullptr), StoreResult::NotFound);
    EXPECT_EQ(s->aliasFor("\xff", "http://x.test", true, "a.test", nullptr), StoreResult::NotFound);
    EXPECT_EQ(s->aliasFor(a.id, "http://x\xff", true, "a.test", nullptr), StoreResult::Invalid);
    EXPECT_EQ(s->aliasSite(a.id, "x\xff@a.test", nullptr), StoreResult::NotFound);
    EXPECT_EQ(s->setRating("http://x\xff", 3), StoreResult::Invalid);
    AdRecord bad;
    bad.adURL = std::string("http://ads\0.test", 16);
    EXPECT_EQ(s->setAdvertisement("http://x.test", bad, nullptr), StoreResult::Invalid);

    // Aliases: in byte order of their sites; found by address in any case.
    std::string first;
    for (const char* site : {"http://b.test", "http://a.test:81", "http://a.test", "http://a-b.test"})
        ASSERT_EQ(s->aliasFor(a.id, site, true, "alias.test", site == std::string("http://b.test") ? &first : nullptr),
                  StoreResult::Ok);
    std::vector<AliasEntry> list;
    ASSERT_EQ(s->aliasesOf(a.id, &list), StoreResult::Ok);
    std::vector<std::string> sites;
    for (const auto& e : list) sites.push_back(e.site);
    EXPECT_EQ(sites, (std::vector<std::string>{"http://a-b.test", "http://a.test", "http://a.test:81", "http://b.test"}));
    std::string upper = first, site;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    ASSERT_EQ(s->aliasSite(a.id, upper, &site), StoreResult::Ok);
    EXPECT_EQ(site, "http://b.test");
    EXPECT_EQ(s->aliasSite(b.id, first, nullptr), StoreResult::NotFound);

    // NewPage's one look: rating, alias and advertisement together; unknown accounts not found.
    AdRecord ad;
    ad.adType = "image/gif";
    ad.adBinary = std::string("\0\1\2\xff", 4);
    int adID = 0;
    ASSERT_EQ(s->setAdvertisement("http://b.test", ad, &adID), StoreResult::Ok);
    ASSERT_EQ(s->setRating("http://b.test", 6), StoreResult::Ok);
    PageFacts facts;
    ASSERT_EQ(s->page(a.id, "http://b.test", &facts), StoreResult::Ok);
    EXPECT_EQ(facts.rating, 6);
    EXPECT_EQ(facts.alias.value_or("-"), first);
    EXPECT_EQ(facts.ad.adID, adID);
    EXPECT_EQ(facts.ad.adType.value_or("-"), "image/gif");
    EXPECT_FALSE(facts.ad.adURL);
    EXPECT_EQ(facts.ad.adBinary, std::string("\0\1\2\xff", 4));
    ASSERT_EQ(s->page(b.id, "http://b.test", &facts), StoreResult::Ok);
    EXPECT_FALSE(facts.alias);
    EXPECT_EQ(facts.rating, 6);
    ASSERT_EQ(s->page(b.id, "http://c.test", &facts), StoreResult::Ok);
    EXPECT_EQ(facts.rating, 0);
    EXPECT_EQ(facts.ad.adID, 0);
    EXPECT_EQ(s->page("0123456789abcdef0123456789abcdef", "http://b.test", &facts), StoreResult::NotFound);

    // Sessions: signed in and out; a deleted one is gone; votes need a known account.
    std::string token;
    Session session;
    ASSERT_EQ(s->createSession(b.id, &token, &session), StoreResult::Ok);
    EXPECT_EQ(session.userName, "\xc3\xa4rger");
    EXPECT_EQ(s->createSession("ffffffffffffffffffffffffffffffff", &token, nullptr), StoreResult::NotFound);
    ASSERT_EQ(s->createSession("", &token, &session), StoreResult::Ok);
    ASSERT_EQ(s->findSession(token, &session), StoreResult::Ok);
    EXPECT_EQ(session.accountId, "");
    ASSERT_EQ(s->deleteSession(token), StoreResult::Ok);
    EXPECT_EQ(s->findSession(token, &session), StoreResult::NotFound);
    EXPECT_EQ(s->vote("ffffffffffffffffffffffffffffffff", "http://b.test", 3), StoreResult::Failed);
    int rating = -1;
    ASSERT_EQ(s->rating("http://b.test", &rating), StoreResult::Ok);
    EXPECT_EQ(rating, 6);  // the refused vote changed nothing
    std::string problems = "-";
    EXPECT_EQ(s->verify(&problems), StoreResult::Ok);
    EXPECT_EQ(problems, "");
}

// Records from before Argon2id (PBKDF2-HMAC-SHA-256, salt and work factor beside the key) sign in
// and are replaced by an Argon2id text at the first right password; a wrong one changes nothing;
// a record of neither kind is a store failure, not a wrong password.
TEST_P(StoreOnBoth, OldPasswordRecordsSignInAndAreUpgraded) {
    auto s = openStore(where.location());
    ASSERT_TRUE(s);
    Account ann;
    ASSERT_EQ(s->createAccount("Ann", "pw", &ann), StoreResult::Ok);
    EXPECT_EQ(where.sql("SELECT substr(hash, 1, 10) || salt || iterations FROM accounts"), "$argon2id$0");
    const std::string salt = "0123456789abcdef";
    const std::string key = to_hex(pbkdf2_hmac_sha256("old secret", salt, 1000, 32));
    auto setRecord = [&](const std::string& hash, const std::string& saltHex, const std::string& iterations) {
        ASSERT_EQ(where.sql("UPDATE accounts SET hash = '" + hash + "', salt = '" + saltHex +
                            "', iterations = " + iterations),
                  "");
    };
    auto record = [&] { return where.sql("SELECT substr(hash, 1, 10) || '|' || salt || '|' || iterations FROM accounts"); };
    const std::string old = key.substr(0, 10) + "|" + to_hex(salt) + "|1000";
    setRecord(key, to_hex(salt), "1000");
    struct Step {
        const char* what;
        bool viaSignIn;
        const char* password;
        StoreResult expected;
        std::string recordAfter;
    };
    for (const Step& step : {Step{"wrong password", false, "pw", StoreResult::NotFound, old},
                             Step{"wrong password, signing in", true, "old", StoreResult::NotFound, old},
                             Step{"right password", true, "old secret", StoreResult::Ok, "$argon2id$||0"},
                             Step{"again, as Argon2id", true, "old secret", StoreResult::Ok, "$argon2id$||0"},
                             Step{"wrong after", false, "pw", StoreResult::NotFound, "$argon2id$||0"}}) {
        Account found;
        EXPECT_EQ(step.viaSignIn ? s->signIn("ANN", step.password, "127.0.0.1", &found)
                                 : s->verifyPassword("ANN", step.password, &found),
                  step.expected)
            << step.what;
        EXPECT_EQ(record(), step.recordAfter) << step.what;
        if (step.expected == StoreResult::Ok) {
            EXPECT_EQ(found.id, ann.id) << step.what;
        }
    }
    // The admin path upgrades as well.
    setRecord(key, to_hex(salt), "1000");
    EXPECT_EQ(s->verifyPassword("ann", "old secret", nullptr), StoreResult::Ok);
    EXPECT_EQ(record(), "$argon2id$||0");

    struct Damaged {
        const char* what;
        std::string hash, saltHex, iterations;
    };
    for (const Damaged& d : {Damaged{"Argon2id text cut short", "$argon2id$v=19$m=8", "", "0"},
                             Damaged{"neither kind", "plain text", "", "0"},
                             Damaged{"key not hex", std::string(64, 'z'), to_hex(salt), "1000"},
                             Damaged{"key too short", key.substr(2), to_hex(salt), "1000"},
                             Damaged{"salt not hex", key, "0g", "1000"},
                             Damaged{"no work factor", key, to_hex(salt), "0"},
                             Damaged{"negative work factor", key, to_hex(salt), "-5"}}) {
        setRecord(d.hash, d.saltHex, d.iterations);
        EXPECT_EQ(s->verifyPassword("ann", "old secret", nullptr), StoreResult::Failed) << d.what;
        EXPECT_EQ(s->signIn("ann", "old secret", "127.0.0.1", nullptr), StoreResult::Failed) << d.what;
    }
    // The success cleared the name's failure, the address keeps its own; a damaged record
    // counted no failed sign-in.
    EXPECT_EQ(where.sql("SELECT COUNT(*) FROM sign_in_failures WHERE kind = 'name'"), "0");
    EXPECT_EQ(where.sql("SELECT COUNT(*) FROM sign_in_failures WHERE kind = 'address'"), "1");
}

// Sign-in throttling on the store's clock, one sequence of attempts: 5 failures for one name
// (from any addresses) or 20 from one address (for any names) within 15 minutes refuse further
// attempts, right passwords too, until the oldest of them leaves the window; refused attempts
// count nothing; a success clears the name's failures.
TEST_P(StoreOnBoth, SignInsAreThrottledByNameAndByAddress) {
    long long now = 1000000;
    StoreOptions options;
    options.clock = [&now] { return now; };
    std::string error;
    auto s = ServiceStore::open(where.location(), options, &error);
    ASSERT_TRUE(s) << error;
    s->setPasswordLimits(PasswordLimits::minimum());
    ASSERT_EQ(s->createAccount("ann", "right", nullptr), StoreResult::Ok);
    ASSERT_EQ(s->createAccount("ben", "right", nullptr), StoreResult::Ok);
    struct Step {
        long long at;  // seconds after the start
        std::string name, password, address;
        StoreResult expected;
        long long retryAfter = 0;
    };
    using R = StoreResult;
    std::vector<Step> steps = {
        {0, "ann", "wrong", "198.51.100.1", R::NotFound},
        {10, "ANN", "wrong", "198.51.100.2", R::NotFound},  // the name in any case, from anywhere
        {20, "ann", "wrong", "198.51.100.1", R::NotFound},
        {30, "ann", "wrong", "", R::NotFound},
        {40, "ann", "wrong", "198.51.100.1", R::NotFound},
        {50, "ann", "right", "198.51.100.9", R::Throttled, 850},  // the password is not looked at
        {50, "ann", "wrong", "198.51.100.9", R::Throttled, 850},  // and nothing is counted
        {50, "ben", "right", "198.51.100.1", R::Ok},               // other names are free
        {899, "ann", "right", "198.51.100.9", R::Throttled, 1},
        {900, "ann", "right", "198.51.100.9", R::Ok},  // the failure at 0 has left the window
        // The success cleared the name: five more failures before it is refused again.
        {901, "ann", "wrong", "198.51.100.1", R::NotFound},
        {902, "ann", "wrong", "198.51.100.1", R::NotFound},
        {903, "ann", "wrong", "198.51.100.1", R::NotFound},
        {904, "ann", "wrong", "198.51.100.1", R::NotFound},
        {905, "ann", "wrong", "198.51.100.1", R::NotFound},
        {906, "ann", "right", "198.51.100.1", R::Throttled, 895},
    };
    // 20 failures from one address, for names that exist or not.
    for (int i = 0; i < 20; ++i)
        steps.push_back({2000 + i, "user" + std::to_string(i % 4), "x", "203.0.113.5", R::NotFound});
    steps.push_back({2030, "ben", "right", "203.0.113.5", R::Throttled, 870});
    steps.push_back({2030, "ben", "right", "2001:db8::5", R::Ok});
    steps.push_back({2030, "ben", "right", "", R::Ok});  // no address: only the name counts
    steps.push_back({2900, "ben", "right", "203.0.113.5", R::Ok});
    for (const Step& step : steps) {
        now = 1000000 + step.at;
        long long retryAfter = -1;
        EXPECT_EQ(s->signIn(step.name, step.password, step.address, nullptr, &retryAfter), step.expected)
            << step.at << " " << step.name << " " << step.address;
        EXPECT_EQ(retryAfter, step.retryAfter) << step.at << " " << step.name << " " << step.address;
    }
    // Only failures within the window are kept, under the digest of the name, never the name.
    now = 1000000 + 5000;
    EXPECT_EQ(s->signIn("nobody", "x", "", nullptr), StoreResult::NotFound);
    EXPECT_EQ(where.sql("SELECT COUNT(*) FROM sign_in_failures"), "1");
    EXPECT_EQ(where.sql("SELECT COUNT(*) FROM sign_in_failures WHERE subject LIKE '%nobody%'"), "0");
}

// Guesses racing for one name, released together: exactly five are checked, the rest refused.
TEST_P(StoreOnBoth, RacingSignInsPassOneCountOnce) {
    StoreOptions options;
    options.connections = 32;
    std::string error;
    auto s = ServiceStore::open(where.location(), options, &error);
    ASSERT_TRUE(s) << error;
    s->setPasswordLimits(PasswordLimits::minimum());
    ASSERT_EQ(s->createAccount("ann", "right", nullptr), StoreResult::Ok);
    constexpr int kGuesses = 16;
    std::atomic<int> waiting{0}, wrong{0}, refused{0}, other{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kGuesses; ++i)
        threads.emplace_back([&, i] {
            ++waiting;
            while (waiting < kGuesses) std::this_thread::yield();
            switch (s->signIn("ann", "guess" + std::to_string(i), "198.51.100." + std::to_string(i), nullptr)) {
                case StoreResult::NotFound: ++wrong; break;
                case StoreResult::Throttled: ++refused; break;
                default: ++other;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong, 5);
    EXPECT_EQ(refused, kGuesses - 5);
    EXPECT_EQ(other, 0);
}

// Votes on a few sites from many threads at once, released together: each site's rating is the
// rounded mean of every vote on it (a mean that missed a racing vote would be far off: 0s and 10s).
TEST_P(StoreOnBoth, RacingVotesAreAllCounted) {
    StoreOptions options;
    options.connections = 32;
    std::string error;
    auto s = ServiceStore::open(where.location(), options, &error);
    ASSERT_TRUE(s) << error;
    s->setPasswordLimits(PasswordLimits::minimum());
    constexpr int kVoters = 6, kSites = 8;
    std::vector<std::string> ids;
    for (int i = 0; i < kVoters; ++i) {
        Account a;
        ASSERT_EQ(s->createAccount("voter" + std::to_string(i), "pw", &a), StoreResult::Ok);
        ids.push_back(a.id);
    }
    std::vector<std::thread> threads;
    std::atomic<int> failed{0}, waiting{0};
    for (int site = 0; site < kSites; ++site)
        for (int i = 0; i < kVoters; ++i)
            threads.emplace_back([&, site, i] {
                ++waiting;
                while (waiting < kSites * kVoters) std::this_thread::yield();
                if (s->vote(ids[static_cast<std::size_t>(i)], "http://s" + std::to_string(site) + ".test",
                            i < 2 ? 10 : 0) != StoreResult::Ok)
                    ++failed;
            });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failed, 0);
    for (int site = 0; site < kSites; ++site) {
        int rating = -1;
        ASSERT_EQ(s->rating("http://s" + std::to_string(site) + ".test", &rating), StoreResult::Ok);
        EXPECT_EQ(rating, 3) << site;  // 20 / 6
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreOnBoth, ::testing::Values(Engine::Sqlite, Engine::Postgres), engine_name);

// Another process holds SQLite's write lock longer than the store waits: a change is a Server
// fault, reads go on (WAL), and once the lock is free the change goes through.
TEST(SqliteBusy, PastItsTimeOutAChangeIsAServerFault) {
    TempDir dir;
    const std::string path = dir.path() + "/service.db";
    StoreOptions options;
    options.busyTimeoutMs = 200;
    std::string error;
    auto s = ServiceStore::open(path, options, &error);
    ASSERT_TRUE(s) << error;
    s->setPasswordLimits(PasswordLimits::minimum());
    Account a;
    ASSERT_EQ(s->createAccount("ann", "pw", &a), StoreResult::Ok);
    const std::u16string id = bf::to_utf16(a.id);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    SoapReply r = handle_soap_request(*s, "alias.test", alias_envelope(id.c_str(), u"http://example.com/"));
    EXPECT_EQ(r.status, 500);
    EXPECT_NE(r.body.find("<faultcode>soap:Server</faultcode>"), std::string::npos) << r.body;
    r = handle_soap_request(*s, "alias.test", new_page_envelope(id.c_str(), u"http://example.com"));
    EXPECT_EQ(r.status, 200) << r.body;
    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    r = handle_soap_request(*s, "alias.test", alias_envelope(id.c_str(), u"http://example.com/"));
    EXPECT_EQ(r.status, 200) << r.body;
    long long n = 0;
    ASSERT_EQ(s->aliasCount(&n), StoreResult::Ok);
    EXPECT_EQ(n, 1);
}

}  // namespace
}  // namespace bf::service::test
