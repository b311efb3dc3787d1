#include <gtest/gtest.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "driver/descriptor_io.h"
#include "rtde/rtde_client.h"
#include "rtde/rtde_package.h"

namespace {
using testing::ExitedWithCode;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Bytes = std::vector<uint8_t>;

const char* const input_variable = "external_force_torque";

Bytes package(unsigned size, char type, const std::string& payload) {
    Bytes b(payload.size() + 3);
    b[0] = uint8_t(size >> 8);
    b[1] = uint8_t(size);
    b[2] = uint8_t(type);
    std::copy(payload.begin(), payload.end(), b.begin() + 3);
    return b;
}

// A reply whose size field matches its payload.
Bytes reply(char type, const std::string& payload) {
    return package(unsigned(payload.size()) + 3, type, payload);
}

// The client end of a socket pair and a scripted controller at the other end.
class RtdeTest : public testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);  // as the daemon's start-up does
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    }
    void TearDown() override {
        close(fds[0]);
        if (fds[1] >= 0)
            close(fds[1]);
    }
    void controller_sends(const Bytes& bytes) {
        ASSERT_EQ(write_fully(peer(), bytes.data(), int(bytes.size())), 0);
    }
    void controller_hangs_up() { shutdown(peer(), SHUT_WR); }
    Bytes controller_receives(int n) {
        Bytes b(static_cast<size_t>(n));
        EXPECT_EQ(read_fully(peer(), b.data(), n), 0);
        return b;
    }
    bool controller_has_more() {
        uint8_t extra;
        return recv(peer(), &extra, 1, MSG_DONTWAIT) > 0;
    }
    // One set-up attempt with its standard output routed to stderr, for death tests.
    void setup_in_child() {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        uint8_t id;
        rtde_setup_inputs(client(), input_variable, &id);
    }

    int client() const { return fds[0]; }
    int peer() const { return fds[1]; }
    int fds[2] = {-1, -1};
};

Bytes double_bytes(std::initializer_list<int> b) {
    return Bytes(b.begin(), b.end());
}
}  // namespace

TEST_F(RtdeTest, SetupSendsTheRequestAndReadsAnIReply) {
    controller_sends(reply('I', std::string("\x01") + "VECTOR6D"));
    uint8_t id = 0;
    CaptureStdout();
    EXPECT_TRUE(rtde_setup_inputs(client(), input_variable, &id));
    EXPECT_EQ(GetCapturedStdout(),
              "Successful setup: Recipe id = 1\nType of \"input recipe\": VECTOR6D\n");
    EXPECT_EQ(id, 1);

    Bytes expected = {0x00, 0x18, 0x49};
    expected.insert(expected.end(), input_variable, input_variable + 21);
    EXPECT_EQ(controller_receives(24), expected);
    EXPECT_FALSE(controller_has_more()) << "no terminating zero, nothing else";
}

TEST_F(RtdeTest, RecipeIdAboveHundredTwentySevenStaysUnsigned) {
    controller_sends(reply('I', std::string("\xC8") + "VECTOR6D"));
    uint8_t id = 0;
    CaptureStdout();
    EXPECT_TRUE(rtde_setup_inputs(client(), input_variable, &id));
    EXPECT_NE(GetCapturedStdout().find("Successful setup: Recipe id = 200\n"), std::string::npos);
    controller_receives(24);

    const double values[6] = {0, 0, 0, 0, 0, 0};
    uint8_t p[rtde_data_package_size];
    rtde_encode_data(p, id, values);
    EXPECT_EQ(p[3], 0xC8);
}

TEST_F(RtdeTest, RecipeIdZeroIsAnsweredButFailed) {
    controller_sends(reply('I', std::string("\x00", 1) + "IN_USE"));
    uint8_t id = 7;
    CaptureStdout();
    EXPECT_TRUE(rtde_setup_inputs(client(), input_variable, &id));
    EXPECT_EQ(GetCapturedStdout(), "Setup failed!\nType of \"input recipe\": IN_USE\n");
    EXPECT_EQ(id, 0);
}

TEST_F(RtdeTest, OtherRepliesFailTheAttemptAndLeaveTheNextReplyIntact) {
    controller_sends(reply('M', "not now"));
    controller_sends(reply('V', "xyz"));
    controller_sends(reply('I', std::string("\x05") + "VECTOR6D"));
    uint8_t id = 9;
    CaptureStdout();
    EXPECT_FALSE(rtde_setup_inputs(client(), input_variable, &id));
    EXPECT_EQ(GetCapturedStdout(), "Message: not now\n");
    EXPECT_EQ(id, 0);

    id = 9;
    CaptureStdout();
    EXPECT_FALSE(rtde_setup_inputs(client(), input_variable, &id));
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(id, 0);

    CaptureStdout();
    EXPECT_TRUE(rtde_setup_inputs(client(), input_variable, &id));
    GetCapturedStdout();
    EXPECT_EQ(id, 5);
}

TEST_F(RtdeTest, LargestRepliesThatFitAreRead) {
    const std::string text(199, 'x');  // 199 bytes and the terminating zero fill the buffer
    controller_sends(reply('M', text));
    controller_sends(reply('I', "\x02" + std::string(198, 'T')));
    uint8_t id;
    CaptureStdout();
    EXPECT_FALSE(rtde_setup_inputs(client(), input_variable, &id));
    EXPECT_EQ(GetCapturedStdout(), "Message: " + text + "\n");
    CaptureStdout();
    EXPECT_TRUE(rtde_setup_inputs(client(), input_variable, &id));
    EXPECT_EQ(GetCapturedStdout(), "Successful setup: Recipe id = 2\nType of \"input recipe\": " +
                                       std::string(198, 'T') + "\n");
}

TEST_F(RtdeTest, UnreadableRepliesEndTheProcess) {
    close(fds[1]);
    fds[1] = -1;
    EXPECT_EXIT(setup_in_child(), ExitedWithCode(1), "Reading HEADER.size failed!\n");
}

TEST_F(RtdeTest, ReplyCutShortEndsTheProcess) {
    controller_sends({0x00, 0x0C});
    controller_hangs_up();
    EXPECT_EXIT(setup_in_child(), ExitedWithCode(1), "Reading HEADER.type failed!\n");
}

TEST_F(RtdeTest, PayloadCutShortEndsTheProcess) {
    controller_sends(package(12, 'I', "\x01VEC"));
    controller_hangs_up();
    EXPECT_EXIT(setup_in_child(), ExitedWithCode(1), "Reading PAYLOAD failed!\n");
}

TEST_F(RtdeTest, RepliesThatDoNotFitAreRefused) {
    struct Case {
        unsigned size;
        char type;
    };
    const Case cases[] = {{0, 'I'},   {1, 'M'},   {2, 'I'},    {3, 'I'},
                          {203, 'M'}, {203, 'I'}, {65535, 'M'}};
    for (const Case& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size) + " type " + c.type);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        // As much of the claimed payload as the socket takes: only the size check can stop
        // an overrun.
        Bytes b = package(c.size, c.type, std::string(c.size > 3 ? c.size - 3 : 0, '\x01'));
        for (size_t at = 0; at < b.size();) {
            ssize_t n = send(pair[1], b.data() + at, b.size() - at, MSG_DONTWAIT);
            if (n <= 0)
                break;
            at += size_t(n);
        }
        EXPECT_EXIT(
            {
                dup2(STDERR_FILENO, STDOUT_FILENO);
                uint8_t id;
                rtde_setup_inputs(pair[0], input_variable, &id);
            },
            ExitedWithCode(1), "Invalid RTDE reply: ");
        close(pair[0]);
        close(pair[1]);
    }
}

TEST(RtdePackage, DataPackageIsBigEndianDoubles) {
    const double values[6] = {1.0, 0, 0, 0, 0, -2.5};
    uint8_t p[rtde_data_package_size];
    rtde_encode_data(p, 1, values);
    Bytes expected = {0x00, 0x34, 0x55, 0x01, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0};
    expected.resize(4 + 8 + 32, 0);
    for (int b : {0xC0, 0x04, 0, 0, 0, 0, 0, 0}) expected.push_back(uint8_t(b));
    EXPECT_EQ(Bytes(p, p + sizeof p), expected);

    const double zeros[6] = {-0.0, 0.0, 0, 0, 0, 0};
    rtde_encode_data(p, 1, zeros);
    EXPECT_EQ(Bytes(p + 4, p + 12), double_bytes({0x80, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(p + 12, p + 20), Bytes(8, 0));
}

TEST(RtdeQueue, APackageGoesWhileWhatWaitsIsYoungAndShortAndTheWindowOpen) {
    const int64_t now = 5000000000;
    const int64_t young = now - 10000000;  // 10 ms is not more than 10 ms
    const struct {
        RtdeQueueView view;
        bool room;
    } rows[] = {
        {{false, 0, 0, 0, 65536}, true},     // none unacknowledged: only a package sent brings
                                             // the window's news
        {{true, 0, 0, 65536, 65536}, true},  // all on the wire, however long ago
        {{true, young, 52, 65536, 65536}, true},
        {{true, young - 1, 52, 65536, 65536}, false},
        {{true, young, 9999, 65536, 65536}, true},  // a burst paced by the congestion window
        {{true, young, 3 * 52, 65535, 65536}, true},
        {{true, young, 3 * 52 + 1, 65535, 65536}, false},  // the controller holds them back
        {{true, 0, 0, 750, 1000}, true},
        {{true, 0, 0, 749, 1000}, false},  // the controller sits on unread data
        {{true, young, 52, 0, 0}, true},   // a kernel without the window field
    };
    for (const auto& row : rows)
        EXPECT_EQ(rtde_queue_has_room(row.view, now), row.room)
            << row.view.oldest_unsent_ns << " " << row.view.unsent_bytes << " " << row.view.window;
}

// Over real loopback TCP to a controller that stops reading: packages are skipped once its
// window closes, every byte that arrives belongs to a whole package in order, and once the
// controller reads again the next package goes; once it is gone, a package fails.
TEST(RtdeQueue, AStalledControllerGetsWholePackagesOnly) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    int small = 4096;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    int server = accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);
    int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    int sent = 0, skipped = 0;
    double values[6] = {0, 1, 2, 3, 4, 5};
    RtdeFlow flow;
    for (int i = 0; i < 20000 && skipped < 100; ++i) {
        values[0] = sent;
        int r = rtde_offer_data(client, 1, values, flow);
        ASSERT_NE(r, int(rtde_failed));
        r == rtde_sent ? ++sent : ++skipped;
    }
    EXPECT_EQ(skipped, 100) << "the queue never filled";
    EXPECT_LT(sent, 20000);

    // Drained: exactly the packages sent, whole and in order; then there is room again.
    std::vector<uint8_t> got;
    const size_t expected = size_t(sent) * rtde_data_package_size;
    while (got.size() < expected) {
        pollfd p{server, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1) << got.size() << " of " << expected;
        uint8_t buf[65536];
        ssize_t n = recv(server, buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        got.insert(got.end(), buf, buf + n);
    }
    ASSERT_EQ(got.size(), expected);
    for (int i = 0; i < sent; ++i) {
        uint8_t package[rtde_data_package_size];
        values[0] = i;
        rtde_encode_data(package, 1, values);
        ASSERT_EQ(memcmp(got.data() + size_t(i) * rtde_data_package_size, package, sizeof package),
                  0)
            << "package " << i;
    }
    // Once the last of it is acknowledged (that may come late), a package goes.
    int r = rtde_skipped;
    for (int i = 0; i < 10000 && r == rtde_skipped; ++i, poll(nullptr, 0, 1))
        r = rtde_offer_data(client, 1, values, flow);
    EXPECT_EQ(r, int(rtde_sent));

    // The controller goes, that package unread: its reset comes, and the next package fails.
    close(server);
    pollfd reset{client, 0, 0};
    ASSERT_EQ(poll(&reset, 1, 10000), 1);
    ASSERT_TRUE(reset.revents & POLLERR);
    EXPECT_EQ(rtde_offer_data(client, 1, values, flow), int(rtde_failed));
    close(client);
    close(listener);
}
