// The node message sender through a real PULL socket bound where the proxy input would
// be: exact frames, sequence numbering, payload limits and sharing between threads.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <zmq.hpp>

#include "common/metrics.h"
#include "core/logger.h"
#include "delivery/sender.h"
#include "parameters/parameters.h"
#include "support/checks.h"
#include "support/node_command.h"
#include "support/redis_server.h"

namespace {

const std::string s_mac = "0011223344556677";

vyr::libs::core::logger& test_logger() {
    static vyr::libs::core::logger logger("rtls-quorvane-test", "sender");
    return logger;
}

std::string endpoint(int _port) { return "tcp://127.0.0.1:" + std::to_string(_port); }

using test::node_command;

class sender_test : public ::testing::Test {
protected:
    void SetUp() override {
        m_context = std::make_shared<zmq::context_t>(1);
        m_pull = std::make_unique<zmq::socket_t>(*m_context, zmq::socket_type::pull);
        m_pull->set(zmq::sockopt::rcvtimeo, 10000);  // a missing frame fails the test instead of hanging it
        m_pull->set(zmq::sockopt::linger, 0);
        const int port = test::free_port();
        m_pull->bind(endpoint(port));
        m_sender = std::make_unique<c_sender>(m_context, endpoint(port), test_logger());
    }

    std::string receive() {
        zmq::message_t message;
        const auto result = m_pull->recv(message, zmq::recv_flags::none);
        EXPECT_TRUE(result.has_value()) << "no frame arrived";
        return result ? message.to_string() : std::string();
    }

    std::shared_ptr<zmq::context_t> m_context;
    std::unique_ptr<zmq::socket_t> m_pull;
    std::unique_ptr<c_sender> m_sender;
};

}  // namespace

TEST_F(sender_test, frames_carry_exact_bytes) {
    m_sender->paramreq_to_node(s_mac, "2E0107");
    EXPECT_EQ(receive(), "#win 080E010005000F2E01070011223344556677");
    for (int i = 0; i < 3; ++i) {  // so that the next one carries sequence byte 5
        m_sender->hw_param_to_node(s_mac, "3C0100");
        receive();
    }
    m_sender->hw_param_to_node(s_mac, "3C0101");
    EXPECT_EQ(receive(), "#win 080E050005000E3C01010011223344556677");
    m_sender->win_message("raw text");
    EXPECT_EQ(receive(), "#win raw text");
    // Two payloads back to back in one command.
    m_sender->hw_param_to_node(s_mac, "3C0101" + std::string("2E0107"));
    EXPECT_EQ(receive(), "#win 080E060008000E3C01012E01070011223344556677");
}

TEST_F(sender_test, sequence_byte_wraps_from_ff_to_00) {
    for (unsigned i = 0; i < 257; ++i)
        m_sender->hw_param_to_node(s_mac, "3C0100");
    std::vector<unsigned> seqs;
    for (unsigned i = 0; i < 257; ++i)
        seqs.push_back(test::parse_command(receive()).seq);
    EXPECT_EQ((std::vector<unsigned>{seqs[0], seqs[253], seqs[254], seqs[255], seqs[256]}),
              (std::vector<unsigned>{0x01, 0xFE, 0xFF, 0x00, 0x01}));
}

TEST_F(sender_test, built_payloads_and_the_zone_alarm_uid_rules) {
    const std::string zeros(44, '0');
    const std::string uid30 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";
    m_sender->sleep_cmd_to_node(s_mac, 10, 3600);
    m_sender->message_to_node(s_mac, "");
    m_sender->message_to_node(s_mac, "Hi");
    m_sender->zone_alarm_to_node(s_mac, 2, 0x1234, std::string(21, 'a'));  // fewer than 22 characters: zeros
    m_sender->zone_alarm_to_node(s_mac, 3, 7, uid30);                      // more: the first 22
    m_sender->zone_alarm_to_node(s_mac, 0, 0, "");
    const std::string bodies[] = {"000E4706000A00000E10", "000E540100", "000E54024869", "000E081902" "1234" + zeros,
                                  "000E081903" "0007" + vyr::parameter::hex_bytes(uid30.substr(0, 22)),
                                  "000E081900" "0000" + zeros};
    for (const auto& body : bodies)
        EXPECT_EQ(test::parse_command(receive()).body(), body);
}

TEST_F(sender_test, oversized_values_give_well_formed_frames) {
    m_sender->message_to_node(s_mac, std::string(300, 'x'));
    const auto long_text = test::parse_command(receive());
    EXPECT_EQ(std::make_tuple(long_text.body().substr(0, 8), long_text.body().size(), long_text.mac),
              std::make_tuple("000E54FF", 8u + 255 * 2, s_mac));
    // Regression: the cut fell inside a UTF-8 character, and the device was sent no text.
    m_sender->message_to_node(s_mac, std::string(254, 'x') + "\xC3\xA9");
    EXPECT_EQ(test::parse_command(receive()).body().substr(0, 8), "000E54FE");

    // Regression: a level or zone id beyond its field was sent capped, as another alarm or zone.
    EXPECT_FALSE(m_sender->zone_alarm_to_node(s_mac, 256, 1, "") || m_sender->zone_alarm_to_node(s_mac, 1, 0x10000, ""));

    // Nor is a body that is not whole bytes; none of them takes a sequence number.
    m_sender->hw_param_to_node(s_mac, "3C010");
    m_sender->hw_param_to_node(s_mac, std::string(2 * 65535, '0'));
    m_sender->hw_param_to_node(s_mac, "3C0101");
    const auto next = test::parse_command(receive());
    EXPECT_EQ(std::make_tuple(next.seq, next.body()), std::make_tuple(3u, "000E3C0101"));  // right after the texts above
}

TEST_F(sender_test, two_threads_get_distinct_consecutive_sequence_bytes) {
    // Each round starts both threads together so that their calls overlap. A burst can
    // overrun the socket queue, and the sender then drops frames as it should, so the
    // check is: no frame is damaged, no sequence byte repeats or falls outside the
    // round's range, and the counter advanced by exactly one per command.
    constexpr unsigned per_thread = 120;
    constexpr unsigned rounds = 60;
    m_pull->set(zmq::sockopt::rcvtimeo, 5000);
    unsigned expected_seq = 1;
    std::size_t received_total = 0;
    for (unsigned round = 0; round < rounds; ++round) {
        std::atomic<int> ready{0};
        auto work = [this, &ready] {
            ++ready;
            while (ready.load() < 2) {
            }
            for (unsigned i = 0; i < per_thread; ++i)
                m_sender->hw_param_to_node(s_mac, "3C0101");
        };
        std::thread first(work), second(work);
        first.join();
        second.join();
        std::set<unsigned> wanted;
        for (unsigned i = 0; i < 2 * per_thread; ++i)
            wanted.insert((expected_seq + i) % 256);
        std::set<unsigned> seqs;
        zmq::message_t message;
        while (seqs.size() < 2 * per_thread && m_pull->recv(message, zmq::recv_flags::none)) {
            const auto command = test::parse_command(message.to_string());
            ASSERT_EQ(command.body(), "000E3C0101") << "round " << round;
            ASSERT_EQ(command.mac, s_mac);
            ASSERT_TRUE(wanted.count(command.seq)) << "round " << round << ": stray sequence " << command.seq;
            ASSERT_TRUE(seqs.insert(command.seq).second) << "round " << round << ": repeated " << command.seq;
        }
        received_total += seqs.size();
        expected_seq = (expected_seq + 2 * per_thread) % 256;
        ASSERT_EQ(m_sender->next_sequence_number(), expected_seq) << "round " << round;
    }
    EXPECT_GT(received_total, rounds * per_thread);
}

TEST(sender, gateway_absent_drops_frames_without_blocking_and_bad_endpoint_throws) {
    // Nobody listens: once the queue is full the frames are dropped, said to be and
    // counted (a dropped push as one), the calls neither block for long nor throw, and
    // closing the socket does not wait forever for the gateway.
    auto context = std::make_shared<zmq::context_t>(1);
    {
        c_sender sender(context, endpoint(test::free_port()), test_logger());
        const double dropped = vyr::metrics::value(vyr::metrics::counter::frames_dropped);
        unsigned queued = 0;
        for (unsigned i = 0; i < 3000; ++i)
            queued += sender.hw_param_to_node(s_mac, "3C0101") ? 1 : 0;
        EXPECT_TRUE(queued > 0 && queued < 3000) << queued;
        EXPECT_FALSE(sender.zone_alarm_to_node(s_mac, 0, 0, ""));
        EXPECT_EQ(vyr::metrics::value(vyr::metrics::counter::frames_dropped) - dropped, 3000.0 - queued + 1);
    }
    EXPECT_THROW(c_sender(context, "nonsense", test_logger()), zmq::error_t);
    context->close();
}
