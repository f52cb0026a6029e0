#include <gtest/gtest.h>

#include <string>

#include "http/url.h"

using bf::http::Url;

namespace {

Url Parsed(std::u16string_view text) {
    Url url;
    EXPECT_TRUE(url.Parse(text)) << std::string(text.begin(), text.end());
    return url;
}

void ExpectReset(const Url& url) {
    EXPECT_EQ(url.scheme, -1);
    EXPECT_EQ(url.port, 0);
    EXPECT_TRUE(url.schemeName.empty());
    EXPECT_TRUE(url.hostName.empty());
    EXPECT_TRUE(url.userName.empty());
    EXPECT_TRUE(url.password.empty());
    EXPECT_TRUE(url.path.empty());
    EXPECT_TRUE(url.extraInfo.empty());
}

}  // namespace

TEST(Url, FreshIsHttpOnPort80) {
    Url url;
    EXPECT_EQ(url.schemeName, u"http");
    EXPECT_EQ(url.scheme, bf::http::URL_SCHEME_HTTP);
    EXPECT_EQ(url.port, 80);
    EXPECT_EQ(url.ToString(), u"http://");
}

TEST(Url, ParsesEveryPart) {
    const Url url = Parsed(u"http://user:pw@Example.com:8080/svc/a.asmx?x=1#top");
    EXPECT_EQ(url.schemeName, u"http");
    EXPECT_EQ(url.scheme, 2);
    EXPECT_EQ(url.userName, u"user");
    EXPECT_EQ(url.password, u"pw");
    EXPECT_EQ(url.hostName, u"Example.com");
    EXPECT_EQ(url.port, 8080);
    EXPECT_EQ(url.path, u"/svc/a.asmx");
    EXPECT_EQ(url.extraInfo, u"?x=1#top");
    EXPECT_EQ(url.ToString(), u"http://user:pw@Example.com:8080/svc/a.asmx?x=1#top");

    const Url bare = Parsed(u"http://host");
    EXPECT_EQ(bare.hostName, u"host");
    EXPECT_EQ(bare.path, u"");
    EXPECT_EQ(bare.port, 80);

    const Url fragmentOnly = Parsed(u"http://host#frag");
    EXPECT_EQ(fragmentOnly.hostName, u"host");
    EXPECT_EQ(fragmentOnly.extraInfo, u"#frag");

    // The last "@" ends the user information; a ":" in the password stays in it.
    const Url at = Parsed(u"http://a@b:c:d@host/");
    EXPECT_EQ(at.userName, u"a@b");
    EXPECT_EQ(at.password, u"c:d");
    EXPECT_EQ(at.hostName, u"host");

    const Url v6 = Parsed(u"http://[::1]:8731/x");
    EXPECT_EQ(v6.hostName, u"[::1]");
    EXPECT_EQ(v6.port, 8731);
    EXPECT_EQ(Parsed(u"http://host:/x").port, 80);  // an empty port is the default
}

TEST(Url, SchemeTableAndDefaultPorts) {
    struct Case {
        std::u16string_view text;
        int scheme;
        unsigned short port;
    };
    const Case cases[] = {
        {u"ftp://h/", 0, 21},        {u"GOPHER://h/", 1, 70},      {u"http://h/", 2, 80},
        {u"HttpS://h/", 3, 443},     {u"news:comp.lang.c", 5, 0},  {u"mailto:joe@example.com", 6, 0},
        {u"socks://h", 7, 1080},     {u"foo+bar.1://h/", -1, 0},   {u"foo://h:5/", -1, 5},
        {u"news://h:119/", 5, 0},
    };
    for (const Case& c : cases) {
        const Url url = Parsed(c.text);
        EXPECT_EQ(url.scheme, c.scheme) << std::string(c.text.begin(), c.text.end());
        EXPECT_EQ(url.port, c.port) << std::string(c.text.begin(), c.text.end());
    }
    EXPECT_EQ(Parsed(u"HttpS://h/").schemeName, u"HttpS");

    const Url mail = Parsed(u"mailto:joe@example.com");
    EXPECT_EQ(mail.userName, u"joe");
    EXPECT_EQ(mail.hostName, u"example.com");
    EXPECT_EQ(mail.ToString(), u"mailto:joe@example.com");

    EXPECT_FALSE(Url().Parse(u"file:///c:/dir/read me.txt"));  // blanks are never part of a URL
    const Url file2 = Parsed(u"file:///c:/dir/a.txt?x#y");
    EXPECT_EQ(file2.scheme, 4);
    EXPECT_EQ(file2.hostName, u"");
    EXPECT_EQ(file2.path, u"/c:/dir/a.txt?x#y");
    EXPECT_EQ(file2.port, 0);
    EXPECT_EQ(file2.ToString(), u"file:///c:/dir/a.txt?x#y");
}

TEST(Url, PathWithoutAuthority) {
    const Url url = Parsed(u"http:/only/path?q");
    EXPECT_EQ(url.hostName, u"");
    EXPECT_EQ(url.path, u"/only/path");
    EXPECT_EQ(url.extraInfo, u"?q");
}

TEST(Url, RefusedTextsLeaveTheUrlReset) {
    const std::u16string longHost(257, u'h');
    const std::u16string longUser(129, u'u');
    const std::u16string longPath = u"/" + std::u16string(2048, u'p');
    const std::u16string longQuery = u"?" + std::u16string(2048, u'q');
    const std::u16string longWhole = u"http://h/" + std::u16string(2080, u'p');
    const std::u16string refused[] = {
        u"",
        u"no-colon-here",
        u":nothing",
        u"1http://host/",
        u"ht tp://host/",
        u"mailto://joe@example.com",
        u"http://host:65536/",
        u"http://host:12a/",
        u"http://host:-1/",
        u"http://host:123456/",
        u"http://[::1/",
        u"http://[::1]x/",
        u"http://host/a b",
        u"http://host/a\r\nX: y",
        std::u16string(u"http://host/a\0b", 15),
        u"http://host/\x7f",
        u"http://" + longHost + u"/",
        u"http://" + longUser + u"@h/",
        u"http://u:" + longUser + u"@h/",
        u"http://h" + longPath,
        u"http://h/" + longQuery,
        longWhole,
        u"averyveryveryveryverylongschemename://h/",
    };
    for (const std::u16string& text : refused) {
        Url url = Parsed(u"http://before/x");
        EXPECT_FALSE(url.Parse(text)) << std::string(text.begin(), text.end());
        ExpectReset(url);
    }
    // Exactly at the limits is fine.
    EXPECT_TRUE(Url().Parse(u"http://" + std::u16string(256, u'h') + u"/"));
    EXPECT_TRUE(Url().Parse(u"http://h/" + std::u16string(2047, u'p')));
}

TEST(Url, TextForm) {
    Url url;
    url.hostName = u"h";
    url.path = u"x.asmx";
    EXPECT_EQ(url.ToString(), u"http://h/x.asmx");  // a "/" goes between host and a bare path
    url.path = u"\\x";
    EXPECT_EQ(url.ToString(), u"http://h\\x");
    url.path = u"/x";
    url.port = 81;
    url.userName = u"u";
    EXPECT_EQ(url.ToString(), u"http://u@h:81/x");
    url.password = u"p";
    url.extraInfo = u"?q=1";
    EXPECT_EQ(url.ToString(), u"http://u:p@h:81/x?q=1");
    url.hostName.clear();
    url.userName.clear();
    url.password.clear();
    url.port = 80;
    url.path = u"x";
    EXPECT_EQ(url.ToString(), u"http://x?q=1");  // no host, no "/"
}

TEST(Url, ResolvesLocations) {
    const Url base = Parsed(u"http://u:p@svc.example:8731/dir/a.asmx?x=1");
    struct Case {
        std::u16string_view location;
        std::u16string_view expected;
    };
    const Case cases[] = {
        {u"b.asmx", u"http://u:p@svc.example:8731/dir/b.asmx"},
        {u"sub/b.asmx?y=2", u"http://u:p@svc.example:8731/dir/sub/b.asmx?y=2"},
        {u"/root.asmx", u"http://u:p@svc.example:8731/root.asmx"},
        {u"/t?at=10:00", u"http://u:p@svc.example:8731/t?at=10:00"},
        {u"b:c/../d", u"b://c/../d"},  // a scheme: absolute, whatever it names
        {u"?y=2", u"http://u:p@svc.example:8731/dir/a.asmx?y=2"},
        {u"http://other.example/new", u"http://other.example/new"},
        {u"HTTP://other.example:81", u"HTTP://other.example:81"},
        {u"//third.example:82/p", u"http://third.example:82/p"},
    };
    for (const Case& c : cases) {
        Url out;
        ASSERT_TRUE(base.ResolveLocation(c.location, out)) << std::string(c.location.begin(), c.location.end());
        EXPECT_EQ(out.ToString(), c.expected);
    }

    Url out;
    const Url noPath = Parsed(u"http://h");
    ASSERT_TRUE(noPath.ResolveLocation(u"file.asmx", out));
    EXPECT_EQ(out.path, u"/file.asmx");
    EXPECT_FALSE(base.ResolveLocation(u"/a b", out));
    EXPECT_FALSE(base.ResolveLocation(u"/" + std::u16string(2048, u'x'), out));
    EXPECT_EQ(out.scheme, -1);
}
