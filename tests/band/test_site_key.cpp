// Site keys and the service's own site: how the toolbar tells sites apart and recognises the
// service, the two decisions that keep one site's alias away from another.
#include <gtest/gtest.h>

#include "band/service_site.h"
#include <stringapiset.h>
#include "toolbar/band_tool_bar_ctrl.h"

namespace {

using Brackenfold::CBandToolBarCtrl;

TEST(SiteKey, NormalisesHostsToTheirLastLabels) {
    struct Case {
        const char16_t* url;
        const char16_t* key;
    } cases[] = {
        {u"http://www.example.com/index.html", u"http://example.com"},
        {u"http://mail.example.com/inbox/", u"http://example.com"},
        {u"https://Secure.Example.COM/a?b=c", u"http://example.com"},
        {u"http://news.example.co.uk/", u"http://example.co.uk"},
        {u"http://a.b.example.com.au/", u"http://example.com.au"},
        {u"http://www.q.test/", u"http://q.test"},
        {u"http://localhost/", u"http://localhost"},
        {u"http://www.example.com:81/", u"http://example.com:81"},
        {u"http://user@www.example.com/", u"http://example.com"},
        {u"http://www.example.com", u"http://"},
        {u"about:blank", u"http://"},
        {u"file:///C:/page.html", u"http://"},
        {u"", u"http://"},
        {u"//", u"http://"},
        {u"http://x.y/", u"http://x.y"},
        {u"http://.../", u"http://.."},
        {u"http://ÄÖ.Example.ORG/", u"http://example.org"},
    };
    for (const Case& c : cases) EXPECT_EQ(CBandToolBarCtrl::GetSiteKey(c.url), c.key) << bf::to_utf8(c.url);
}

TEST(SiteKey, OnlyAsciiLettersAreLowered) {
    EXPECT_EQ(CBandToolBarCtrl::GetSiteKey(u"http://www.ÉCOLE.FR/"), u"http://École.fr");
}

TEST(SiteKey, NoSlashBeforeTheHostStartsAtIndexOne) {
    // "find // gives -1" makes the host start at index 1.
    EXPECT_EQ(CBandToolBarCtrl::GetSiteKey(u"xwww.example.com/"), u"http://example.com");
}

TEST(ServiceSite, PrefixMustBeFollowedByAnEndOfHost) {
    const std::u16string prefix = Brackenfold::ServiceSitePrefix();
    ASSERT_EQ(prefix.rfind(u"http://www.", 0), 0u);
    EXPECT_TRUE(Brackenfold::IsServiceSiteUrl(prefix));
    EXPECT_TRUE(Brackenfold::IsServiceSiteUrl(prefix + u"/"));
    EXPECT_TRUE(Brackenfold::IsServiceSiteUrl(prefix + u"/account.aspx?x=1"));
    EXPECT_TRUE(Brackenfold::IsServiceSiteUrl(prefix + u"?q"));
    EXPECT_TRUE(Brackenfold::IsServiceSiteUrl(prefix + u"#top"));
    EXPECT_TRUE(Brackenfold::IsServiceSiteUrl(prefix + u":8080/"));
    // Foreign pages that carry the prefix elsewhere, or a longer host.
    EXPECT_FALSE(Brackenfold::IsServiceSiteUrl(u"http://evil.example/?next=" + prefix + u"/"));
    EXPECT_FALSE(Brackenfold::IsServiceSiteUrl(prefix + u".evil.example/"));
    EXPECT_FALSE(Brackenfold::IsServiceSiteUrl(prefix + u"x/"));
    EXPECT_FALSE(Brackenfold::IsServiceSiteUrl(prefix + u"@evil.example/"));
    // Other schemes and hosts of the service are not its web site.
    EXPECT_FALSE(Brackenfold::IsServiceSiteUrl(u"https" + prefix.substr(4)));
    EXPECT_FALSE(Brackenfold::IsServiceSiteUrl(Brackenfold::ServiceSiteKey() + u"/"));
    EXPECT_FALSE(Brackenfold::IsServiceSiteUrl(prefix.substr(0, prefix.size() - 1)));
    EXPECT_FALSE(Brackenfold::IsServiceSiteUrl(u""));
    EXPECT_EQ(Brackenfold::LoginPageUrl(), prefix + u"/login.aspx");
}

}  // namespace
