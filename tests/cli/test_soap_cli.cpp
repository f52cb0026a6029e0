// brackenfold soap: the exact bytes and exit statuses of encode, decode and fault, run as a
// separate process the way a user runs them.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

class SoapCli : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/bf-soap-cli-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string file(const std::string& name, const std::string& content) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    // Runs brackenfold with the deployment constants pinned; returns the exit status.
    int run(const std::string& args, std::string* out, const std::string& input = "") {
        std::string in = file("stdin", input);
        std::string cmd = "BRACKENFOLD_SERVICE_HOST=10.1.2.3:99 '" BF_BIN_DIR "/brackenfold' " + args + " < '" + in +
                          "' 2>'" + dir_ + "/stderr'";
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) return -1;
        out->clear();
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
        int status = pclose(p);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string stderrText() {
        std::ifstream in(dir_ + "/stderr");
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::string dir_;
};

const std::string kStart =
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\"><soap:Body>";
const std::string kNs = "http://10.1.2.3:99/BrackenfoldWS";

TEST_F(SoapCli, EncodeNewPage) {
    std::string out;
    ASSERT_EQ(run("soap encode NewPage --account 42 --domain http://example.com", &out), 0);
    EXPECT_EQ(out, kStart + "<NewPage xmlns=\"" + kNs +
                       "\"><AccountID>42</AccountID><DomainName>http://example.com</DomainName>"
                       "<Version>1</Version></NewPage></soap:Body></soap:Envelope>");
    ASSERT_EQ(run("soap encode NewPage --null-account --domain 'a&b' --version 2.5", &out), 0);
    EXPECT_EQ(out, kStart + "<NewPage xmlns=\"" + kNs +
                       "\"><AccountID xsi:nil=\"1\"/><DomainName>a&amp;b</DomainName>"
                       "<Version>2.5</Version></NewPage></soap:Body></soap:Envelope>");
}

TEST_F(SoapCli, EncodeAlias) {
    std::string out;
    ASSERT_EQ(run("soap encode GetNewAliasEmailForSite --account 'M\xC3\xBCller\xF0\x9F\x98\x80' --null-domain", &out), 0);
    EXPECT_EQ(out, kStart + "<GetNewAliasEmailForSite xmlns=\"" + kNs +
                       "\"><AccountID>M&#x00FC;ller&#x01F600;</AccountID><DomainName xsi:nil=\"1\"/>"
                       "</GetNewAliasEmailForSite></soap:Body></soap:Envelope>");
    ASSERT_EQ(run("soap encode GetNewAliasEmailForSite", &out), 0);
    EXPECT_NE(out.find("<AccountID></AccountID><DomainName></DomainName>"), std::string::npos) << out;
}

TEST_F(SoapCli, EncodeRefusesBadArguments) {
    std::string out;
    EXPECT_NE(run("soap encode GetNewAliasEmailForSite --version 2", &out), 0);
    EXPECT_EQ(out, "");
    EXPECT_NE(run("soap encode NewPage --account a --null-account", &out), 0);
    EXPECT_NE(run("soap encode CheckAliasEmail", &out), 0);
    EXPECT_NE(run("soap encode", &out), 0);
    EXPECT_NE(run("soap encode NewPage --version x", &out), 0);
}

TEST_F(SoapCli, Decode) {
    const std::string env = "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>";
    const std::string newPage = env + "<NewPageResponse><NewPageResult><Rating>7</Rating><intRet>0</intRet>"
                                      "<Alias>su</Alias><Error>false</Error></NewPageResult></NewPageResponse>"
                                      "</soap:Body></soap:Envelope>";
    std::string out;
    ASSERT_EQ(run("soap decode NewPage '" + file("np.xml", newPage) + "'", &out), 0);
    EXPECT_EQ(out,
              "{\"ClsUpdate\":{\"adID\":0,\"Height\":0,\"Width\":0,\"AdType\":null,\"AdURL\":null,\"AdBinary\":null},"
              "\"Rating\":7,\"intRet\":0,\"Alias\":\"su\",\"Error\":false}\n");
    const std::string alias = env + "<R><GetNewAliasEmailForSiteResult><strRet>x@example.com</strRet><intRet>1</intRet>"
                                    "</GetNewAliasEmailForSiteResult></R></soap:Body></soap:Envelope>";
    ASSERT_EQ(run("soap decode GetNewAliasEmailForSite", &out, alias), 0);
    EXPECT_EQ(out, "{\"strRet\":\"x@example.com\",\"intRet\":1}\n");
    const std::string ad = env + "<X><NewPageResult><ClsUpdate><adID>3</adID><Height>1</Height><Width>2</Width>"
                                 "<AdType>image/png</AdType><AdURL/><AdBinary>AAEC\r\nAwQ=</AdBinary></ClsUpdate>"
                                 "<Rating>0</Rating><intRet>0</intRet><Error>1</Error></NewPageResult></X>"
                                 "</soap:Body></soap:Envelope>";
    ASSERT_EQ(run("soap decode NewPage -", &out, ad), 0);
    EXPECT_EQ(out,
              "{\"ClsUpdate\":{\"adID\":3,\"Height\":1,\"Width\":2,\"AdType\":\"image/png\",\"AdURL\":\"\","
              "\"AdBinary\":\"AAECAwQ=\"},\"Rating\":0,\"intRet\":0,\"Alias\":null,\"Error\":true}\n");
}

TEST_F(SoapCli, DecodeFailures) {
    std::string out;
    EXPECT_EQ(run("soap decode NewPage", &out, "<html>Service Unavailable</html>"), 1);
    EXPECT_EQ(out, "{\"hresult\":\"0x80004005\"}\n");
    EXPECT_EQ(run("soap decode GetNewAliasEmailForSite", &out, ""), 1);
    EXPECT_EQ(out.compare(0, 14, "{\"hresult\":\"0x"), 0) << out;
    EXPECT_EQ(out.size(), 25u) << out;
    EXPECT_EQ(run("soap decode NewPage '" + dir_ + "/missing.xml'", &out), 1);
    EXPECT_EQ(out, "");
    EXPECT_NE(stderrText().find("missing.xml"), std::string::npos);
}

TEST_F(SoapCli, Fault) {
    const std::string f = "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
                          "<soap:Fault><faultcode>soap:Server</faultcode><faultstring>Server was unable to process "
                          "request.</faultstring><detail/></soap:Fault></soap:Body></soap:Envelope>";
    std::string out;
    ASSERT_EQ(run("soap fault", &out, f), 0);
    EXPECT_EQ(out, "{\"hresult\":\"0x00000000\",\"code\":400,\"faultCode\":\"Server\",\"faultString\":\"Server was "
                   "unable to process request.\",\"faultActor\":\"\",\"detail\":\"\"}\n");
    // A failed parse still prints what the record holds.
    const std::string twice = "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
                              "<soap:Fault><faultcode>soap:Client</faultcode><faultcode>soap:Server</faultcode>"
                              "</soap:Fault></soap:Body></soap:Envelope>";
    EXPECT_EQ(run("soap fault '" + file("f.xml", twice) + "'", &out), 1);
    EXPECT_EQ(out, "{\"hresult\":\"0x80004005\",\"code\":300,\"faultCode\":\"Client\",\"faultString\":\"\","
                   "\"faultActor\":\"\",\"detail\":\"\"}\n");
}

}  // namespace
