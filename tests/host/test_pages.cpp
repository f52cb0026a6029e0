// The host's page handling below the browser: addresses as typed and resolved, the bytes of the
// three form encodings, and what the HTML parser keeps of a page (elements, inputs and the type
// rule, forms, frame sources), hostile pages included.
#include <gtest/gtest.h>

#include "host/html_page.h"
#include "host/url.h"

namespace bf::host {
namespace {

TEST(Addresses, TypedTextBecomesAnAbsoluteAddress) {
    EXPECT_EQ(url_from_typed("example.com"), "http://example.com/");
    EXPECT_EQ(url_from_typed("  http://Example.com  "), "http://example.com/");
    EXPECT_EQ(url_from_typed("localhost:8080/a?b=c"), "http://localhost:8080/a?b=c");
    EXPECT_EQ(url_from_typed("https://shop.test/x#top"), "https://shop.test/x#top");
    EXPECT_EQ(url_from_typed("file:///tmp/a.html"), "file:///tmp/a.html");
    EXPECT_EQ(url_from_typed("about:blank"), "about:blank");
    EXPECT_EQ(url_from_typed(""), std::nullopt);
    EXPECT_EQ(url_from_typed("ftp://files.test/"), std::nullopt);
    EXPECT_EQ(url_from_typed("javascript://x"), std::nullopt);
}

TEST(Addresses, LinksResolveAgainstTheirDocument) {
    EXPECT_EQ(resolve_url("http://a.test/dir/page.html", "other.html"), "http://a.test/dir/other.html");
    EXPECT_EQ(resolve_url("http://a.test/dir/page.html", "/root"), "http://a.test/root");
    EXPECT_EQ(resolve_url("http://a.test/dir/page.html", "../up?q=1"), "http://a.test/up?q=1");
    EXPECT_EQ(resolve_url("http://a.test/dir/page.html", "//b.test/x"), "http://b.test/x");
    EXPECT_EQ(resolve_url("http://a.test/p#frag", ""), "http://a.test/p");
    EXPECT_EQ(resolve_url("http://a.test/p", "  \n q.html "), "http://a.test/q.html");
    EXPECT_EQ(resolve_url("http://a.test/p", "about:blank"), "about:blank");
    EXPECT_EQ(resolve_url("http://a.test/p", "javascript:void(0)"), std::nullopt);
    EXPECT_EQ(resolve_url("http://a.test/p", "mailto:x@y"), std::nullopt);
    EXPECT_EQ(resolve_url("about:blank", "x.html"), std::nullopt);
}

TEST(Addresses, GetSubmissionReplacesQueryAndFragment) {
    EXPECT_EQ(with_query("http://a.test/s?old=1#f", "q=%7E"), "http://a.test/s?q=%7E");
    EXPECT_EQ(with_query("http://a.test/s", ""), "http://a.test/s?");
    EXPECT_EQ(with_query("about:blank", "q=1"), std::nullopt);
}

TEST(FormEncodings, UrlencodedBytesAreExact) {
    EXPECT_EQ(form_urlencode({{"q", "a b&c=d"}, {"x", "*-._~"}, {"é", "\r\nline\rend\n"}}),
              "q=a+b%26c%3Dd&x=*-._%7E&%C3%A9=%0D%0Aline%0D%0Aend%0D%0A");
    EXPECT_EQ(form_urlencode({}), "");
    EXPECT_EQ(form_urlencode({{"", ""}}), "=");
}

TEST(FormEncodings, TextPlainAndMultipartLayouts) {
    EXPECT_EQ(form_text_plain({{"a", "1 2"}, {"b", "x\ny"}}), "a=1 2\r\nb=x\r\ny\r\n");
    EXPECT_EQ(form_multipart({{"n\"ame", "v\n"}}, "BB"),
              "--BB\r\nContent-Disposition: form-data; name=\"n%22ame\"\r\n\r\nv\r\n\r\n--BB--\r\n");
}

TEST(ParsedPage, InputsKeepDocumentOrderAttributesAndForms) {
    HtmlPage p = parse_html(
        "<title>Shop &amp; more</title><form id=f1 action='/go' method=POST enctype='text/plain'>"
        "<input id=a name=na value='x &lt; y'><div><input type=checkbox checked disabled></div></form>"
        "<input name=outside><form><textarea name=t>\nhi</textarea><select name=s><option>one</select>"
        "<input id=last></form>");
    EXPECT_EQ(p.title, u"Shop & more");
    ASSERT_EQ(p.inputs.size(), 4u);
    EXPECT_EQ(p.inputs[0].id, u"a");
    EXPECT_EQ(p.inputs[0].name, u"na");
    EXPECT_EQ(p.inputs[0].value, u"x < y");
    EXPECT_EQ(p.inputs[0].form, 0);
    EXPECT_TRUE(p.inputs[1].checked);
    EXPECT_TRUE(p.inputs[1].disabled);
    EXPECT_EQ(p.inputs[2].form, -1);
    EXPECT_EQ(p.inputs[3].form, 1);
    ASSERT_EQ(p.forms.size(), 2u);
    EXPECT_EQ(p.forms[0].action, u"/go");
    EXPECT_EQ(p.forms[0].method, u"POST");
    EXPECT_EQ(p.forms[0].enctype, u"text/plain");
    ASSERT_EQ(p.others.size(), 2u);
    EXPECT_EQ(p.others[0].value, u"hi");
    EXPECT_EQ(p.others[1].value, u"one");
    // Submission order interleaves the controls as written.
    EXPECT_LT(p.others[1].order, p.input_order[3]);
    EXPECT_GT(p.others[0].order, p.input_order[2]);
}

TEST(ParsedPage, TheTypeRuleReadsUnknownKindsAsText) {
    HtmlPage p = parse_html(
        "<input type=text><input type=PASSWORD><input type=CheckBox><input type=radio><input type=submit>"
        "<input type=reset><input type=file><input type=hidden><input type=image><input type=button>"
        "<input type=email><input type=number><input type=''><input><input type=' text'>");
    const char16_t* want[] = {u"text",  u"password", u"checkbox", u"radio", u"submit",
                              u"reset", u"file",     u"hidden",   u"image", u"button",
                              u"text",  u"text",     u"text",     u"text",  u"text"};
    ASSERT_EQ(p.inputs.size(), std::size(want));
    for (size_t i = 0; i < std::size(want); ++i) EXPECT_EQ(reported_input_type(p.inputs[i]), want[i]) << i;
}

TEST(ParsedPage, ElementsAreUpperCaseTagsInDocumentOrderWithTheirInputs) {
    HtmlPage p = parse_html("<p id=x>t</p><custom-tag><input id=i></custom-tag>");
    std::vector<std::u16string> tags;
    for (const auto& e : p.elements) tags.push_back(e.tag);
    EXPECT_EQ(tags, (std::vector<std::u16string>{u"HTML", u"HEAD", u"BODY", u"P", u"CUSTOM-TAG", u"INPUT"}));
    EXPECT_EQ(p.elements[3].id, u"x");
    EXPECT_EQ(p.elements[5].input, 0);
    EXPECT_EQ(p.elements[3].input, -1);
}

TEST(ParsedPage, FramesAndBaseAreCollected) {
    HtmlPage p = parse_html("<base href='/sub/'><base href='/ignored/'><iframe src='a.html'></iframe>"
                            "<iframe></iframe><template><iframe src=hidden></iframe><input id=t></template>");
    EXPECT_EQ(p.base_href, "/sub/");
    EXPECT_EQ(p.frame_sources, (std::vector<std::string>{"a.html", ""}));
    EXPECT_TRUE(p.inputs.empty());
    HtmlPage fs = parse_html("<frameset><frame src=top.html><frameset><frame src=left.html></frameset></frameset>");
    EXPECT_EQ(fs.frame_sources, (std::vector<std::string>{"top.html", "left.html"}));
}

TEST(ParsedPage, HostilePagesParseWithoutHarm) {
    std::string deep;
    for (int i = 0; i < 20000; ++i) deep += "<div>";
    deep += "<input id=deep>";
    HtmlPage p = parse_html(deep);
    ASSERT_EQ(p.inputs.size(), 1u);
    EXPECT_EQ(p.inputs[0].id, u"deep");

    static const char kBinary[] = "<input id=\xff\xfe name=\0x value=\xc3>";
    std::string binary(kBinary, sizeof kBinary - 1);
    HtmlPage b = parse_html(binary);
    ASSERT_EQ(b.inputs.size(), 1u);
    EXPECT_EQ(b.inputs[0].id, u"\uFFFD\uFFFD");

    EXPECT_TRUE(parse_html("").inputs.empty());
    EXPECT_TRUE(parse_html("<input").inputs.empty());
}

}  // namespace
}  // namespace bf::host
