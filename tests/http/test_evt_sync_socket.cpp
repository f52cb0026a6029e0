#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "http/evt_sync_socket.h"
#include "http/socket_address.h"
#include "tests/http/scripted_server.h"

using namespace bf::http;
using namespace bf::http::test;
using Clock = std::chrono::steady_clock;

namespace {

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A connected pair: the socket under test owns one end, the test the other.
struct Pair {
    Pair() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        EXPECT_TRUE(socket.Attach(fds[0]));
        peer = fds[1];
    }
    ~Pair() {
        if (peer >= 0) close(peer);
    }
    CEvtSyncSocket socket;
    int peer = -1;
};

}  // namespace

TEST(EvtSyncSocket, ConnectFailuresRecordTheirCause) {
    CEvtSyncSocket socket;
    socket.SetTimeout(2000);
    EXPECT_FALSE(socket.ConnectTo(u"brackenfold-test.invalid", 80));
    // Without a network the resolver may answer "try again" instead of "no such host".
    EXPECT_TRUE(socket.LastError() == WSAHOST_NOT_FOUND || socket.LastError() == WSATRY_AGAIN) << socket.LastError();
    EXPECT_FALSE(socket.IsConnected());

    EXPECT_FALSE(socket.ConnectTo(u"127.0.0.1", ClosedPort()));
    EXPECT_EQ(socket.LastError(), static_cast<DWORD>(WSAECONNREFUSED));
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_EQ(socket.Handle(), -1) << "a failed attempt leaves no half-used descriptor behind";

    EXPECT_FALSE(socket.ConnectTo(nullptr, 80));
    EXPECT_EQ(socket.LastError(), static_cast<DWORD>(WSA_NOT_ENOUGH_MEMORY));

    // The next attempt on the same object works.
    ScriptedServer server({{HoldUntilClosed()}});
    EXPECT_TRUE(socket.ConnectTo(u"127.0.0.1", server.Port()));
    EXPECT_EQ(socket.LastError(), 0u);
}

TEST(EvtSyncSocket, ConnectGivesUpAfterTheTimeout) {
    // A listener that never accepts and has a full queue drops further SYNs: the connect hangs.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::vector<std::unique_ptr<CEvtSyncSocket>> queued;
    bool timedOut = false;
    for (int i = 0; i < 8 && !timedOut; ++i) {
        queued.push_back(std::make_unique<CEvtSyncSocket>());
        queued.back()->SetTimeout(300);
        const auto start = Clock::now();
        if (!queued.back()->ConnectTo(u"127.0.0.1", ntohs(addr.sin_port))) {
            EXPECT_EQ(queued.back()->LastError(), static_cast<DWORD>(WSAETIMEDOUT));
            EXPECT_GE(MsSince(start), 290);
            EXPECT_FALSE(queued.back()->IsConnected());
            EXPECT_EQ(queued.back()->Handle(), -1);
            timedOut = true;
        }
    }
    EXPECT_TRUE(timedOut);
    close(listener);
}

TEST(EvtSyncSocket, ConnectWhileConnectedReusesTheConnection) {
    ScriptedServer server({{HoldUntilClosed()}});
    CEvtSyncSocket socket;
    ASSERT_TRUE(socket.ConnectTo(u"127.0.0.1", server.Port()));
    const int handle = socket.Handle();
    EXPECT_TRUE(socket.ConnectTo(u"brackenfold-test.invalid", ClosedPort()));
    EXPECT_EQ(socket.Handle(), handle);
    socket.Disconnect();
    ASSERT_TRUE(server.WaitForScripts(1));
    EXPECT_EQ(server.Connections(), 1);
}

TEST(EvtSyncSocket, ReceiveTimesOutAndSeesTheClose) {
    ScriptedServer server({{Pause(400), Send("hello"), Close()}});
    CEvtSyncSocket socket;
    socket.SetTimeout(100);
    ASSERT_TRUE(socket.ConnectTo(u"127.0.0.1", server.Port()));
    BYTE buffer[64];
    DWORD length = sizeof buffer;
    const auto start = Clock::now();
    EXPECT_FALSE(socket.Receive(buffer, &length));
    EXPECT_GE(MsSince(start), 95);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(socket.LastError(), static_cast<DWORD>(WSAETIMEDOUT));
    EXPECT_TRUE(socket.IsConnected()) << "a time-out leaves the connection usable";

    socket.SetTimeout(5000);
    std::string got;
    for (;;) {
        length = sizeof buffer;
        ASSERT_TRUE(socket.Receive(buffer, &length));
        if (length == 0) break;  // the peer closed
        got.append(reinterpret_cast<char*>(buffer), length);
    }
    EXPECT_EQ(got, "hello");
    length = sizeof buffer;
    EXPECT_TRUE(socket.Receive(buffer, &length));
    EXPECT_EQ(length, 0u);
}

TEST(EvtSyncSocket, SendsEveryByteOfEveryBuffer) {
    Pair pair;
    std::vector<std::string> parts = {std::string(3 << 20, 'a'), "", std::string(1, 'b'), std::string(5 << 20, 'c')};
    for (std::size_t i = 0; i < parts[3].size(); i += 4099) parts[3][i] = static_cast<char>(i);
    std::string expected;
    std::vector<WSABUF> buffers;
    for (std::string& p : parts) {
        expected += p;
        buffers.push_back({static_cast<ULONG>(p.size()), p.data()});
    }
    std::string received;
    std::thread reader([&] {
        char chunk[65536];
        ssize_t n;
        while ((n = read(pair.peer, chunk, sizeof chunk)) > 0) received.append(chunk, static_cast<std::size_t>(n));
    });
    DWORD sent = 0;
    EXPECT_TRUE(pair.socket.Send(buffers.data(), static_cast<DWORD>(buffers.size()), &sent));
    EXPECT_EQ(sent, expected.size());
    pair.socket.Disconnect();
    reader.join();
    EXPECT_TRUE(received == expected);
}

TEST(EvtSyncSocket, SendFailsCleanlyOnAPeerThatIsGoneOrStuck) {
    {
        Pair stuck;
        stuck.socket.SetTimeout(200);
        std::string big(32 << 20, 'x');
        WSABUF buffer{static_cast<ULONG>(big.size()), big.data()};
        DWORD sent = 0;
        EXPECT_FALSE(stuck.socket.Send(&buffer, 1, &sent));
        EXPECT_EQ(stuck.socket.LastError(), static_cast<DWORD>(WSAETIMEDOUT));
        EXPECT_LT(sent, big.size());
    }
    Pair gone;
    close(gone.peer);
    gone.peer = -1;
    char byte = 'x';
    WSABUF buffer{1, &byte};
    DWORD sent = 0;
    // No SIGPIPE: the process lives on and the send reports the reset.
    EXPECT_FALSE(gone.socket.Send(&buffer, 1, &sent));
    EXPECT_EQ(gone.socket.LastError(), static_cast<DWORD>(WSAECONNRESET));
}

TEST(EvtSyncSocket, MisuseGetsClearErrors) {
    CEvtSyncSocket socket;
    BYTE buffer[4];
    DWORD length = sizeof buffer;
    EXPECT_FALSE(socket.Receive(buffer, &length));
    EXPECT_EQ(socket.LastError(), static_cast<DWORD>(WSAENOTCONN));
    char byte = 0;
    WSABUF one{1, &byte};
    DWORD sent = 5;
    EXPECT_FALSE(socket.Send(&one, 1, &sent));
    EXPECT_EQ(sent, 0u);
    EXPECT_EQ(socket.LastError(), static_cast<DWORD>(WSAENOTCONN));
    EXPECT_FALSE(socket.Send(&one, 1, nullptr));
    EXPECT_EQ(socket.LastError(), static_cast<DWORD>(WSAEFAULT));
    EXPECT_FALSE(socket.Attach(-1));
    EXPECT_EQ(socket.LastError(), static_cast<DWORD>(WSAENOTSOCK));
    sockaddr_storage address{};
    EXPECT_FALSE(socket.ConnectAddress(reinterpret_cast<sockaddr*>(&address), sizeof address));
    EXPECT_EQ(socket.LastError(), static_cast<DWORD>(WSAENOTSOCK));
    ASSERT_TRUE(socket.OpenSocket(AF_INET, SOCK_STREAM, 0));
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_FALSE(socket.OpenSocket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(socket.LastError(), static_cast<DWORD>(WSAEALREADY));
    socket.Disconnect();
    EXPECT_EQ(socket.Handle(), -1);
    socket.Disconnect();  // twice is harmless
}

TEST(EvtSyncSocket, OneReceiveAtATimeWhileASendRuns) {
    Pair pair;
    pair.socket.SetTimeout(300);
    std::atomic<bool> done{false};
    std::thread waiting([&] {
        // Keeps a receive going (time-out after time-out) until a byte comes.
        while (!done) {
            BYTE buffer[8];
            DWORD length = sizeof buffer;
            if (pair.socket.Receive(buffer, &length) && length == 1) done = true;
        }
    });
    // A second receive refuses to start while the first one waits; a send runs meanwhile.
    bool refused = false;
    for (int i = 0; i < 200 && !refused; ++i) {
        BYTE buffer[8];
        DWORD length = sizeof buffer;
        refused = !pair.socket.Receive(buffer, &length) && pair.socket.LastError() == WSAEINPROGRESS;
        if (!refused) std::this_thread::sleep_for(std::chrono::milliseconds(5));  // let the other one in
    }
    EXPECT_TRUE(refused);
    char text[] = "ping";
    WSABUF buffer{4, text};
    DWORD sent = 0;
    EXPECT_TRUE(pair.socket.Send(&buffer, 1, &sent));
    EXPECT_EQ(sent, 4u);
    char reply = 'r';
    ASSERT_EQ(write(pair.peer, &reply, 1), 1);
    waiting.join();
    char echo[4];
    EXPECT_EQ(read(pair.peer, echo, 4), 4);
}

TEST(SocketAddress, ResolvesNumbersAndRefusesMissingParts) {
    CSocketAddress address;
    EXPECT_EQ(address.Resolve(u"127.0.0.1", 8731, 0, AF_UNSPEC, SOCK_STREAM, 0), 0);
    ASSERT_NE(address.Addresses(), nullptr);
    EXPECT_EQ(address.Addresses()->ai_family, AF_INET);
    EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in*>(address.Addresses()->ai_addr)->sin_port), 8731);
    EXPECT_EQ(address.Resolve(u"::1", u"80", 0, AF_UNSPEC, SOCK_STREAM, 0, 1000), 0);
    EXPECT_EQ(address.Addresses()->ai_family, AF_INET6);
    EXPECT_EQ(address.Resolve(u"localhost", u"80", 0, AF_INET, SOCK_STREAM, 0, 5000), 0);
    EXPECT_EQ(address.Resolve(nullptr, u"80", 0, AF_UNSPEC, SOCK_STREAM, 0), WSA_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(address.Addresses(), nullptr) << "the previous list is gone";
    EXPECT_EQ(address.Resolve(u"127.0.0.1", nullptr, 0, AF_UNSPEC, SOCK_STREAM, 0), WSA_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(address.Resolve(u"127.0.0.1", u"no-such-service-name", 0, AF_UNSPEC, SOCK_STREAM, 0),
              WSATYPE_NOT_FOUND);
}

TEST(Winsock, StartupIsCountedAndChecked) {
    WSADATA data;
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), nullptr), WSAEFAULT);
    EXPECT_EQ(WSAStartup(MAKEWORD(0, 9), &data), WSAVERNOTSUPPORTED);
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 0), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(2, 0));
    EXPECT_EQ(data.wHighVersion, MAKEWORD(2, 2));
    ASSERT_EQ(WSAStartup(MAKEWORD(3, 0), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), 0);
    // Undo whatever sockets started, then one cleanup too many fails.
    EvtSyncSocketCleanup();
    int drained = 0;
    while (WSACleanup() == 0 && drained < 100) ++drained;
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    // A new socket starts up again.
    CEvtSyncSocket socket;
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
}
