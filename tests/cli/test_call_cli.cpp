// brackenfold call against the scripted server: the printed line and the exit status of every
// outcome, the deployment endpoint, and options that are refused before anything is sent.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "tests/http/scripted_server.h"

using namespace bf::http::test;

namespace {

const std::string kEnvelope = "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>";
const std::string kEnd = "</soap:Body></soap:Envelope>";

std::string Answer(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Runs brackenfold with the service host given; returns the exit status, stdout in *out.
int RunCli(const std::string& args, std::string* out, const std::string& host = "10.1.2.3:99") {
    const std::string cmd = "BRACKENFOLD_SERVICE_HOST=" + host + " '" BF_BIN_DIR "/brackenfold' " + args + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    out->clear();
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Endpoint(const ScriptedServer& server) {
    return "--endpoint http://127.0.0.1:" + std::to_string(server.Port()) + "/svc";
}

}  // namespace

TEST(CallCli, SuccessPrintsTheResultJson) {
    ScriptedServer server({
        {Read(), Send(Answer("200 OK", kEnvelope + "<NewPageResponse><NewPageResult><Rating>7</Rating><intRet>0</intRet>"
                                                   "<Alias>su</Alias><Error>false</Error></NewPageResult>"
                                                   "</NewPageResponse>" + kEnd))},
        {Read(), Send(Answer("200 OK", kEnvelope + "<R><GetNewAliasEmailForSiteResult><strRet>x@example.com</strRet>"
                                                   "<intRet>1</intRet></GetNewAliasEmailForSiteResult></R>" + kEnd))},
    });
    std::string out;
    ASSERT_EQ(RunCli("call NewPage --account 42 --domain example.com --version 3 " + Endpoint(server), &out), 0);
    EXPECT_EQ(out,
              "{\"ClsUpdate\":{\"adID\":0,\"Height\":0,\"Width\":0,\"AdType\":null,\"AdURL\":null,\"AdBinary\":null},"
              "\"Rating\":7,\"intRet\":0,\"Alias\":\"su\",\"Error\":false}\n");
    ASSERT_EQ(RunCli("call GetNewAliasEmailForSite --null-account --null-domain " + Endpoint(server), &out), 0);
    EXPECT_EQ(out, "{\"strRet\":\"x@example.com\",\"intRet\":1}\n");

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].compare(0, 20, "POST /svc HTTP/1.1\r\n"), 0);
    EXPECT_NE(requests[0].find("\r\nSOAPAction: \"http://10.1.2.3:99/BrackenfoldWS/NewPage\"\r\n"), std::string::npos);
    EXPECT_NE(requests[0].find("<AccountID>42</AccountID><DomainName>example.com</DomainName><Version>3</Version>"),
              std::string::npos);
    EXPECT_NE(requests[1].find("<AccountID xsi:nil=\"1\"/><DomainName xsi:nil=\"1\"/>"), std::string::npos);
}

TEST(CallCli, WithoutEndpointTheDeploymentIsCalled) {
    ScriptedServer server({{Read(), Send(Answer("500 Internal Server Error",
                                                kEnvelope + "<soap:Fault><faultcode>soap:Server</faultcode><faultstring>"
                                                            "Server \"busy\"</faultstring><faultactor>a</faultactor>"
                                                            "<detail>d</detail></soap:Fault>" + kEnd))}});
    const std::string host = "127.0.0.1:" + std::to_string(server.Port());
    std::string out;
    ASSERT_EQ(RunCli("call NewPage", &out, host), 1);
    EXPECT_EQ(out, "{\"hresult\":\"0x80004005\",\"clientError\":7,\"httpStatus\":500,\"socketError\":0,\"fault\":{"
                   "\"code\":400,\"faultCode\":\"Server\",\"faultString\":\"Server \\\"busy\\\"\",\"faultActor\":\"a\","
                   "\"detail\":\"d\"}}\n");
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].compare(0, 47, "POST /brackenfoldws/brackenfold.asmx HTTP/1.1\r\n"), 0);
    EXPECT_NE(requests[0].find("\r\nHost: " + host + "\r\n"), std::string::npos);
}

TEST(CallCli, FailuresPrintOneLineAndExitOne) {
    ScriptedServer server({
        {Read(), Send(Answer("404 Not Found", ""))},
        {Read(), Send(Answer("500 Internal Server Error", "<html/>"))},
        {Read(), HoldUntilClosed()},
        {Read(), Send(Answer("200 OK", "<unclosed>"))},
    });
    std::string out;
    EXPECT_EQ(RunCli("call NewPage " + Endpoint(server), &out), 1);
    EXPECT_EQ(out, "{\"hresult\":\"0x80004005\",\"clientError\":5,\"httpStatus\":404,\"socketError\":0}\n");
    EXPECT_EQ(RunCli("call GetNewAliasEmailForSite " + Endpoint(server), &out), 1);
    EXPECT_EQ(out, "{\"hresult\":\"0x80004005\",\"clientError\":8,\"httpStatus\":500,\"socketError\":0}\n");
    EXPECT_EQ(RunCli("call NewPage --timeout 200 " + Endpoint(server), &out), 1);
    EXPECT_EQ(out, "{\"hresult\":\"0x80004005\",\"clientError\":5,\"httpStatus\":-1,\"socketError\":10060}\n");
    EXPECT_EQ(RunCli("call NewPage " + Endpoint(server), &out), 1);
    EXPECT_EQ(out.compare(0, 14, "{\"hresult\":\"0x"), 0) << out;
    EXPECT_NE(out.find("\",\"clientError\":10,\"httpStatus\":200,\"socketError\":0}\n"), std::string::npos) << out;

    EXPECT_EQ(RunCli("call NewPage --endpoint http://127.0.0.1:" + std::to_string(ClosedPort()) + "/svc", &out), 1);
    EXPECT_EQ(out, "{\"hresult\":\"0x80004005\",\"clientError\":5,\"httpStatus\":-1,\"socketError\":10061}\n");
}

TEST(CallCli, BadOptionsAreRefusedBeforeAnythingIsSent) {
    ScriptedServer server({});
    const std::string endpoint = Endpoint(server);
    std::string out;
    for (const std::string& args : std::initializer_list<std::string>{
             "call",
             "call CheckAliasEmail",
             "call GetNewAliasEmailForSite --version 2 " + endpoint,
             "call NewPage --account a --null-account " + endpoint,
             "call NewPage --domain a --null-domain " + endpoint,
             "call NewPage --version x " + endpoint,
             "call NewPage --timeout -5 " + endpoint,
             "call NewPage --timeout soon " + endpoint,
             "call NewPage --endpoint ftp://127.0.0.1/x",
             "call NewPage --endpoint not-a-url",
             "call NewPage --endpoint http:///nohost",
         }) {
        SCOPED_TRACE(args);
        const int status = RunCli(args, &out);
        EXPECT_NE(status, 0);
        EXPECT_NE(status, 1) << "1 is a failed call";
        EXPECT_EQ(out, "");
    }
    EXPECT_EQ(server.Connections(), 0);
}
