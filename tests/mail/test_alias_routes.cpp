// Where mail to each alias goes, on both engines: the routes the mail side reads through the
// store's directory (live, disabled, unconfirmed, changed address, unknown), the real address and
// its one-time confirmation, disabling an alias, and the forward counts written off the lookup.
#include <gtest/gtest.h>

#include "service/store_alias_directory.h"
#include "tests/service/service_test_support.h"

namespace bf::service::test {
namespace {

constexpr std::int64_t kNow = 1'800'000'000;

class AliasRoutes : public ::testing::TestWithParam<Engine> {
protected:
    void SetUp() override {
        std::string error;
        store = ServiceStore::open(where.location(), &error);
        ASSERT_TRUE(store) << error;
        store->setIterations(10);
    }
    std::string account(const std::string& name) {
        Account a;
        EXPECT_EQ(store->createAccount(name, "pw", &a), StoreResult::Ok);
        return a.id;
    }
    std::string alias(const std::string& id, const std::string& site) {
        std::string address;
        EXPECT_EQ(store->aliasFor(id, site, true, kAliasDomain, &address), StoreResult::Ok);
        return address;
    }
    // Sets the address and confirms it with its token.
    void confirmed(const std::string& id, const std::string& address) {
        std::string token;
        ASSERT_EQ(store->setRealAddress(id, address, kNow + 3600, &token), StoreResult::Ok);
        ASSERT_EQ(store->confirmRealAddress(id, token, kNow, nullptr), StoreResult::Ok);
    }
    std::string upper(std::string s) {
        for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return s;
    }

    TempDir dir;
    StoreLocation where{GetParam(), dir.path()};
    std::unique_ptr<ServiceStore> store;
};

TEST_P(AliasRoutes, EachAliasRoutesByItsAccountAndItsOwnFlag) {
    const std::string ann = account("ann"), ben = account("ben"), cat = account("cat"), dan = account("dan");
    const std::string annLive = alias(ann, "http://a.test"), annOff = alias(ann, "http://b.test");
    const std::string benAlias = alias(ben, "http://a.test"), catAlias = alias(cat, "http://a.test");
    const std::string danAlias = alias(dan, "http://a.test");
    confirmed(ann, "ann@mailbox.test");
    std::string token;
    ASSERT_EQ(store->setRealAddress(ben, "ben@mailbox.test", kNow + 3600, &token), StoreResult::Ok);
    // A confirmed address that is changed waits for its own confirmation: nothing goes anywhere.
    confirmed(dan, "dan@mailbox.test");
    ASSERT_EQ(store->setRealAddress(dan, "dan@elsewhere.test", kNow + 3600, &token), StoreResult::Ok);
    ASSERT_EQ(store->setAliasDisabled(ann, annOff, true), StoreResult::Ok);

    StoreAliasDirectory directory(*store);
    struct Case {
        std::string alias;
        AliasState state;
        const char* address;
        const char* what;
    } cases[] = {
        {annLive, AliasState::Live, "ann@mailbox.test", "confirmed account"},
        {upper(annLive), AliasState::Live, "ann@mailbox.test", "in upper case"},
        {annOff, AliasState::Disabled, "", "disabled alias of a confirmed account"},
        {benAlias, AliasState::Unconfirmed, "", "address not confirmed"},
        {catAlias, AliasState::Unconfirmed, "", "no address"},
        {danAlias, AliasState::Unconfirmed, "", "address changed, not confirmed again"},
        {"nobody@alias.brackenfold.test", AliasState::NotFound, "", "unknown"},
        {std::string("bad\xff@alias.brackenfold.test"), AliasState::NotFound, "", "not storable text"},
        {std::string("nul\0@alias.brackenfold.test", 26), AliasState::NotFound, "", "NUL"},
    };
    for (const Case& c : cases) {
        AliasRoute r = directory.route(c.alias);
        EXPECT_EQ(r.state, c.state) << c.what;
        EXPECT_EQ(r.realAddress, c.address) << c.what;
    }
    // Switched on again, it is live at once; another account cannot touch it.
    EXPECT_EQ(store->setAliasDisabled(ben, annOff, false), StoreResult::NotFound);
    EXPECT_EQ(directory.route(annOff).state, AliasState::Disabled);
    EXPECT_EQ(store->setAliasDisabled(ann, annOff, false), StoreResult::Ok);
    EXPECT_EQ(directory.route(annOff).state, AliasState::Live);
    EXPECT_EQ(store->setAliasDisabled(ann, "nobody@alias.brackenfold.test", true), StoreResult::NotFound);
}

TEST_P(AliasRoutes, AConfirmationWorksOnceOnlyForItsAccountUntilItExpires) {
    const std::string ann = account("ann"), ben = account("ben");
    std::string token, other;
    ASSERT_EQ(store->setRealAddress(ann, "ann@mailbox.test", kNow + 60, &token), StoreResult::Ok);
    ASSERT_EQ(store->setRealAddress(ben, "ben@mailbox.test", kNow + 60, &other), StoreResult::Ok);
    EXPECT_EQ(token.size(), 64u);
    EXPECT_EQ(where.sql("SELECT COUNT(*) FROM accounts WHERE confirm_hash = '" + token + "'"), "0");

    std::string upperToken = token;
    for (char& c : upperToken) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    struct Case {
        std::string account, token;
        std::int64_t at;
        const char* what;
    } refused[] = {
        {ben, token, kNow, "another account"},
        {ann, other, kNow, "another account's token"},
        {ann, token, kNow + 61, "expired"},
        {ann, "", kNow, "empty"},
        {ann, token.substr(1), kNow, "short"},
        {ann, upperToken, kNow, "other case"},
        {"", token, kNow, "no account"},
    };
    for (const Case& c : refused)
        EXPECT_EQ(store->confirmRealAddress(c.account, c.token, c.at, nullptr), StoreResult::NotFound) << c.what;
    MailAccount mail;
    ASSERT_EQ(store->mailAccount(ann, &mail), StoreResult::Ok);
    EXPECT_EQ(mail.realAddress, "ann@mailbox.test");
    EXPECT_FALSE(mail.confirmed);
    EXPECT_EQ(mail.confirmExpires, kNow + 60);

    // A new link replaces the old one.
    std::string renewed, address;
    ASSERT_EQ(store->renewConfirmation(ann, kNow + 120, &renewed, &address), StoreResult::Ok);
    EXPECT_EQ(address, "ann@mailbox.test");
    EXPECT_EQ(store->confirmRealAddress(ann, token, kNow, nullptr), StoreResult::NotFound);
    EXPECT_EQ(store->confirmRealAddress(ann, renewed, kNow + 120, &address), StoreResult::Ok);
    EXPECT_EQ(store->confirmRealAddress(ann, renewed, kNow + 120, nullptr), StoreResult::NotFound) << "used twice";
    ASSERT_EQ(store->mailAccount(ann, &mail), StoreResult::Ok);
    EXPECT_TRUE(mail.confirmed);
    EXPECT_EQ(store->renewConfirmation(ann, kNow, &renewed, &address), StoreResult::NotFound) << "nothing waits";
    ASSERT_EQ(store->mailAccount(ben, &mail), StoreResult::Ok);
    EXPECT_FALSE(mail.confirmed);
    EXPECT_EQ(store->setRealAddress("no such account", "x@y.test", kNow, &token), StoreResult::NotFound);
}

TEST_P(AliasRoutes, OnlyMailAddressesAreTakenAsRealAddresses) {
    const std::string ann = account("ann");
    const std::string refused[] = {
        "", "ann", "ann@", "@mailbox.test", "ann@mailbox", "ann@@mailbox.test", "a@b@mailbox.test",
        "ann smith@mailbox.test", "<ann@mailbox.test>", "ann@mailbox.test>", "ann,bo@mailbox.test",
        "ann@mailbox.test\r\nRCPT TO:<x@y.test>", "ann@.mailbox.test", "ann@mailbox..test", "änn@mailbox.test",
        std::string(250, 'a') + "@b.test", "ann\"@mailbox.test", "ann@[127.0.0.1]",
    };
    for (const std::string& address : refused) {
        std::string token = "-";
        EXPECT_EQ(store->setRealAddress(ann, address, kNow, &token), StoreResult::Invalid) << address;
        EXPECT_EQ(token, "-");
    }
    std::string token;
    EXPECT_EQ(store->setRealAddress(ann, "Ann.Smith+tag@Mail-box.example.test", kNow, &token), StoreResult::Ok);
}

TEST_P(AliasRoutes, ForwardsAreCountedOffTheLookup) {
    const std::string ann = account("ann");
    const std::string counted = alias(ann, "http://a.test"), other = alias(ann, "http://b.test");
    {
        StoreAliasDirectory directory(*store);
        EXPECT_TRUE(directory.recordForward(counted, kNow));
        EXPECT_TRUE(directory.recordForward(upper(counted), kNow + 5));
        EXPECT_TRUE(directory.recordForward("nobody@alias.brackenfold.test", kNow));
        directory.drain();
        EXPECT_EQ(directory.lost(), 0);
        // Queued at the end, written before the directory goes.
        EXPECT_TRUE(directory.recordForward(counted, kNow + 9));
    }
    {
        // Past its bound the queue drops counts rather than holding up the mail.
        StoreAliasDirectory small(*store, 1);
        int taken = 0;
        for (int i = 0; i < 50; ++i) taken += small.recordForward(other, kNow) ? 1 : 0;
        small.drain();
        EXPECT_EQ(small.lost(), 50 - taken);
        EXPECT_GE(taken, 1);
        ASSERT_EQ(store->setAliasDisabled(ann, other, true), StoreResult::Ok);
        std::vector<AliasEntry> list;
        ASSERT_EQ(store->aliasesOf(ann, &list), StoreResult::Ok);
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(list[1].forwarded, taken);
    }
    std::vector<AliasEntry> list;
    ASSERT_EQ(store->aliasesOf(ann, &list), StoreResult::Ok);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].address, counted);
    EXPECT_EQ(list[0].forwarded, 3);
    EXPECT_EQ(list[0].lastForwarded, kNow + 9);
    EXPECT_FALSE(list[0].disabled);
    EXPECT_GT(list[0].created, 0);
    EXPECT_TRUE(list[1].disabled);
    EXPECT_EQ(list[1].lastForwarded, kNow);
}

INSTANTIATE_TEST_SUITE_P(Stores, AliasRoutes, ::testing::Values(Engine::Sqlite, Engine::Postgres), engine_name);

}  // namespace
}  // namespace bf::service::test
