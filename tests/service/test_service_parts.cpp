// The service's parts by themselves: the hash functions against their published test vectors,
// new Argon2id and old PBKDF2 password records, the site key rule, escaping and form decoding,
// content types, the client's address behind trusted proxies, and the store's accounts.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <set>

#include "service/client_address.h"
#include "service/password_hash.h"
#include "service/site_key.h"
#include "service/static_files.h"
#include "service/web_site.h"
#include "service_test_support.h"

namespace bf::service::test {
namespace {

std::string hex(const Sha256Digest& d) { return to_hex(std::string_view(reinterpret_cast<const char*>(d.data()), d.size())); }

TEST(PasswordHash, Sha256Vectors) {
    EXPECT_EQ(hex(sha256("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex(sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the length no longer fits the first block's padding.
    EXPECT_EQ(hex(sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hex(sha256(std::string(1000000, 'a'))),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(PasswordHash, HmacSha256Vectors) {
    EXPECT_EQ(hex(hmac_sha256(std::string(20, '\x0b'), "Hi There")),
              "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    EXPECT_EQ(hex(hmac_sha256("Jefe", "what do ya want for nothing?")),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    // A key longer than a block is hashed first.
    EXPECT_EQ(hex(hmac_sha256(std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First")),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
}

TEST(PasswordHash, Pbkdf2Vectors) {
    EXPECT_EQ(to_hex(pbkdf2_hmac_sha256("password", "salt", 1, 32)),
              "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b");
    EXPECT_EQ(to_hex(pbkdf2_hmac_sha256("password", "salt", 2, 32)),
              "ae4d0c95af6b46d32d0adff928f06dd02a303f8ef3c251dfd6e2d85a95474c43");
    EXPECT_EQ(to_hex(pbkdf2_hmac_sha256("password", "salt", 4096, 32)),
              "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
    // Two blocks, the second one cut short.
    EXPECT_EQ(to_hex(pbkdf2_hmac_sha256("passwd", "salt", 1, 64)),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
              "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
    EXPECT_EQ(pbkdf2_hmac_sha256("p", "s", 1, 33).size(), 33u);
}

TEST(PasswordHash, RandomnessAndComparison) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) seen.insert(random_hex(16));
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_EQ(seen.begin()->size(), 32u);
    EXPECT_TRUE(constant_time_equal("abc", "abc"));
    EXPECT_FALSE(constant_time_equal("abc", "abd"));
    EXPECT_FALSE(constant_time_equal("abc", "ab"));
    EXPECT_FALSE(constant_time_equal("", "a"));
}

// Stored sessions keep working: the digest of a session id as the service's own SHA-256 wrote it.
TEST(PasswordHash, SessionIdDigestIsUnchanged) {
    EXPECT_EQ(hex(sha256("6d2b1c0a9f8e7d6c5b4a39281706f5e4d3c2b1a0918273645546372819aabbcc")),
              "73aa5ea8c67ac484b3d0885229b4ce43980ebfaeb3e05655fe8326d1ecd52470");
}

TEST(PasswordHash, NewHashesAreArgon2id) {
    const PasswordLimits low = PasswordLimits::minimum();
    std::optional<std::string> a = hash_password("correct horse", low), b = hash_password("correct horse", low);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->rfind("$argon2id$v=19$m=8,t=1,p=1$", 0), 0u) << *a;
    EXPECT_NE(*a, *b);  // salted
    const StoredPassword stored{*a, "", 0};
    struct Case {
        const char* password;
        PasswordLimits limits;
        bool ok, needsUpgrade;
    };
    for (const Case& c : {Case{"correct horse", low, true, false}, Case{"correct horsE", low, false, false},
                          Case{"", low, false, false}, Case{"correct horse", PasswordLimits::interactive(), true, true}}) {
        PasswordCheck r = verify_password(stored, c.password, c.limits);
        EXPECT_EQ(r.ok, c.ok) << c.password;
        EXPECT_EQ(r.needsUpgrade, c.needsUpgrade) << c.password;
        EXPECT_FALSE(r.unreadable);
    }
    // The default is libsodium's interactive work, and such a hash needs no upgrade at the default.
    std::optional<std::string> strong = hash_password("pw");
    ASSERT_TRUE(strong);
    EXPECT_EQ(strong->rfind("$argon2id$v=19$m=65536,t=2,p=1$", 0), 0u) << *strong;
    PasswordCheck r = verify_password({*strong, "", 0}, "pw");
    EXPECT_TRUE(r.ok && !r.needsUpgrade);
    EXPECT_FALSE(hash_password("pw", {0, low.memLimit}));
    EXPECT_FALSE(hash_password("pw", {1, 1024}));
}

TEST(PasswordHash, OldPbkdf2RecordsVerifyAndAskForAnUpgrade) {
    // A record as the service wrote it before: the key and salt as hex, the iterations beside.
    const StoredPassword old{"63029f34cae71cb733eb39646121c236d84c994566464a6566dc4274066057c3",
                             "0102030405060708090a0b0c0d0e0f10", 1000};
    PasswordCheck r = verify_password(old, "correct horse");
    EXPECT_TRUE(r.ok && r.needsUpgrade && !r.unreadable);
    StoredPassword upper = old;
    for (char& c : upper.hash) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(verify_password(upper, "correct horse").ok);
    r = verify_password(old, "correct horse ");
    EXPECT_TRUE(!r.ok && !r.needsUpgrade && !r.unreadable);
    // A damaged record is not a wrong password, and never throws or runs away.
    const std::string& key = old.hash;
    for (const StoredPassword& bad : {StoredPassword{key, "zz", 1000}, StoredPassword{key, "010", 1000},
                                      StoredPassword{key.substr(1), old.saltHex, 1000},
                                      StoredPassword{key + "00", old.saltHex, 1000},
                                      StoredPassword{key, old.saltHex, 100000001},
                                      StoredPassword{"", "", 0}, StoredPassword{"$argon2id$garbage", "", 0},
                                      StoredPassword{"$argon2i$v=19$m=8,t=1,p=1$c2FsdHNhbHQ$aGFzaA", "", 0},
                                      StoredPassword{std::string("$argon2id$v=19\0", 15), "", 0},
                                      StoredPassword{"$argon2id$" + std::string(200, 'a'), "", 0}}) {
        r = verify_password(bad, "correct horse");
        EXPECT_TRUE(r.unreadable && !r.ok && !r.needsUpgrade) << bad.hash << " " << bad.saltHex;
    }
}

TEST(SiteKey, TheToolbarsRule) {
    const std::pair<const char*, const char*> cases[] = {
        {"http://www.example.com/index.html", "http://example.com"},
        {"http://mail.example.com/inbox/", "http://example.com"},
        {"https://Secure.Example.COM/a?b=c", "http://example.com"},
        {"http://news.example.co.uk/", "http://example.co.uk"},
        {"http://www.q.test/", "http://q.test"},
        {"http://localhost/", "http://localhost"},
        {"http://www.example.com:81/", "http://example.com:81"},
        {"http://www.example.com", "http://"},
        {"about:blank", "http://"},
        {"file:///C:/page.html", "http://"},
        {"", "http://"},
        {"//", "http://"},
        {"x", "http://"},
        {"http://.a/", "http://.a"},
    };
    for (const auto& [url, key] : cases) EXPECT_EQ(site_key_rule(url), key) << url;
}

TEST(SiteKey, UsableKeys) {
    EXPECT_EQ(site_key_of("http://www.example.com").value_or("-"), "http://example.com");
    EXPECT_EQ(site_key_of("http://example.com").value_or("-"), "http://example.com");
    EXPECT_EQ(site_key_of("http://a.b.example.com:8080/x").value_or("-"), "http://example.com:8080");
    for (const char* bad : {"", "about:blank", "http://", "http:///x", "http://ex ample.com/", "http://a\"b.com/",
                            "http://<x>.com/", "http://example.com:/", "http://example.com:80a/",
                            "http://user:pw@localhost/", "http://:80/"})
        EXPECT_FALSE(site_key_of(bad).has_value()) << bad;
    // A key handed back names the same site: the rule is applied to URLs only.
    EXPECT_EQ(site_key_of("http://www.bbc.co.uk/news").value_or("-"), "http://bbc.co.uk");
    EXPECT_EQ(site_key_named("http://bbc.co.uk").value_or("-"), "http://bbc.co.uk");
    EXPECT_EQ(site_key_named("HTTP://Example.COM:8080").value_or("-"), "http://example.com:8080");
    EXPECT_EQ(site_key_named("http://www.bbc.co.uk/news").value_or("-"), "http://bbc.co.uk");
    EXPECT_FALSE(site_key_named("http://a\"b.com").has_value());
    EXPECT_FALSE(site_key_named("http://").has_value());
    EXPECT_EQ(host_without_port("WWW.Example.com:8731"), "www.example.com");
    EXPECT_EQ(host_without_port("[::1]:80"), "[::1]");
}

// Only a trusted proxy's X-Forwarded-For is believed, and of it only the last hop (the one the
// proxy appended); anything there that is not an address leaves the proxy's own.
TEST(ClientAddress, TrustedProxiesLastHop) {
    const std::vector<std::string> trusted = {"127.0.0.1", "::1"};
    struct Case {
        const char* peer;
        const char* forwardedFor;
        const char* client;
    };
    for (const Case& c : {Case{"127.0.0.2", "203.0.113.7", "127.0.0.2"},  // not a listed proxy
                          Case{"127.0.0.1", "", "127.0.0.1"},
                          Case{"127.0.0.1", "203.0.113.7", "203.0.113.7"},
                          Case{"127.0.0.1", "198.51.100.1, 203.0.113.7", "203.0.113.7"},
                          Case{"127.0.0.1", "203.0.113.7,198.51.100.1", "198.51.100.1"},
                          Case{"127.0.0.1", " 203.0.113.7 \t", "203.0.113.7"},
                          Case{"::1", "2001:DB8:0:0::7", "2001:db8::7"},
                          Case{"::1", "[2001:db8::7]", "2001:db8::7"},
                          Case{"::1", "::ffff:203.0.113.7", "203.0.113.7"},
                          Case{"127.0.0.1", "203.0.113.7, unknown", "127.0.0.1"},
                          Case{"127.0.0.1", "203.0.113.7:4711", "127.0.0.1"},
                          Case{"127.0.0.1", "fe80::1%eth0", "127.0.0.1"},
                          Case{"127.0.0.1", "203.0.113.7,", "127.0.0.1"},
                          Case{"127.0.0.1", "example.com", "127.0.0.1"}})
        EXPECT_EQ(client_address(c.peer, c.forwardedFor, trusted), c.client) << c.peer << " " << c.forwardedFor;
    EXPECT_EQ(canonical_ip("::FFFF:127.0.0.1").value_or("-"), "127.0.0.1");
    for (const char* bad : {"", "[]", "1.2.3", "01.2.3.4", "1.2.3.4 ", "localhost", "[1.2.3.4]x"})
        EXPECT_FALSE(canonical_ip(bad)) << bad;
}

TEST(WebText, EscapingAndForms) {
    EXPECT_EQ(html_escape("<a href=\"x\">Tom's & Jerry's</a>"),
              "&lt;a href=&quot;x&quot;&gt;Tom&#39;s &amp; Jerry&#39;s&lt;/a&gt;");
    auto f = parse_form("a=1&b=x+y%21&a=2&c&=v&d=%zz%4&e=%E2%82%AC");
    EXPECT_EQ(f["a"], "1");  // the first wins
    EXPECT_EQ(f["b"], "x y!");
    EXPECT_EQ(f.count("c"), 1u);
    EXPECT_EQ(f["c"], "");
    EXPECT_EQ(f[""], "v");
    EXPECT_EQ(f["d"], "%zz%4");
    EXPECT_EQ(f["e"], "\xE2\x82\xAC");
    EXPECT_TRUE(parse_form("").empty());
    EXPECT_STREQ(content_type_for("/a/b.HTML"), "text/html; charset=utf-8");
    EXPECT_STREQ(content_type_for("/a.b/c"), "application/octet-stream");
    EXPECT_STREQ(content_type_for("/x.jpeg"), "image/jpeg");
}

TEST(Store, AccountsPersistAndPasswordsAreSaltedAndSlow) {
    TempDir dir;
    std::string path = dir.path() + "/s.db", error;
    Account a, b;
    {
        auto store = ServiceStore::open(path, &error);
        ASSERT_TRUE(store) << error;
        store->setPasswordLimits(PasswordLimits::minimum());
        EXPECT_EQ(store->createAccount("", "pw", nullptr), StoreResult::Invalid);
        EXPECT_EQ(store->createAccount(" ann", "pw", nullptr), StoreResult::Invalid);
        EXPECT_EQ(store->createAccount(std::string(65, 'a'), "pw", nullptr), StoreResult::Invalid);
        EXPECT_EQ(store->createAccount("ann", "", nullptr), StoreResult::Invalid);
        EXPECT_EQ(store->createAccount("bad\nname", "pw", nullptr), StoreResult::Invalid);
        ASSERT_EQ(store->createAccount("Ann", "same", &a), StoreResult::Ok);
        EXPECT_EQ(store->createAccount("aNN", "x", nullptr), StoreResult::Exists);
        ASSERT_EQ(store->createAccount("Ben", "same", &b), StoreResult::Ok);
        EXPECT_NE(a.id, b.id);
        EXPECT_EQ(store->verifyPassword("ann", "same", nullptr), StoreResult::Ok);
        EXPECT_EQ(store->verifyPassword("Ann", "Same", nullptr), StoreResult::NotFound);
        EXPECT_EQ(store->verifyPassword("nobody", "same", nullptr), StoreResult::NotFound);
        std::string alias;
        ASSERT_EQ(store->aliasFor(a.id, "http://example.com", true, "alias.test", &alias), StoreResult::Ok);
        EXPECT_EQ(store->aliasFor(a.id, "http://example.org", false, "alias.test", nullptr), StoreResult::NotFound);
        EXPECT_EQ(store->aliasFor("missing", "http://example.com", true, "alias.test", nullptr), StoreResult::NotFound);
    }
    {
        // The same password gives two different Argon2id texts (each with its own salt); neither
        // holds the password, and the columns of the old records stay empty.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        sqlite3_stmt* q = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT salt, hash, iterations FROM accounts ORDER BY name", -1, &q, nullptr),
                  SQLITE_OK);
        std::vector<std::string> hashes;
        while (sqlite3_step(q) == SQLITE_ROW) {
            EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(q, 0)), "");
            hashes.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(q, 1)));
            EXPECT_EQ(sqlite3_column_int(q, 2), 0);
        }
        sqlite3_finalize(q);
        sqlite3_close(db);
        ASSERT_EQ(hashes.size(), 2u);
        EXPECT_NE(hashes[0], hashes[1]);
        for (const std::string& h : hashes) {
            EXPECT_EQ(h.rfind("$argon2id$", 0), 0u) << h;
            EXPECT_EQ(h.find("same"), std::string::npos);
        }
    }
    auto store = ServiceStore::open(path, &error);
    ASSERT_TRUE(store);
    Account found;
    ASSERT_EQ(store->verifyPassword("ANN", "same", &found), StoreResult::Ok);
    EXPECT_EQ(found.id, a.id);
    EXPECT_EQ(found.name, "Ann");
    std::vector<AliasEntry> aliases;
    ASSERT_EQ(store->aliasesOf(a.id, &aliases), StoreResult::Ok);
    ASSERT_EQ(aliases.size(), 1u);
    EXPECT_EQ(aliases[0].site, "http://example.com");
    // Each advertisement gets an id of its own, replacing the site's earlier one.
    int first = 0, second = 0;
    ASSERT_EQ(store->setAdvertisement("http://example.com", AdRecord{}, &first), StoreResult::Ok);
    ASSERT_EQ(store->setAdvertisement("http://example.com", AdRecord{}, &second), StoreResult::Ok);
    EXPECT_GT(second, first);
    AdRecord ad;
    ASSERT_EQ(store->advertisement("http://example.com", &ad), StoreResult::Ok);
    EXPECT_EQ(ad.adID, second);
    EXPECT_EQ(store->setRating("http://example.com", 11), StoreResult::Invalid);
    EXPECT_EQ(ServiceStore::open(dir.path() + "/no/such/dir/s.db", &error), nullptr);
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace bf::service::test
