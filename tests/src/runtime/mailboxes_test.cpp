// The mailboxes over real inproc sockets bound at their endpoints: every message comes
// back from its mailbox as it was sent, in the frame size of its wire layout; a text too
// long for its field is refused, not cut; a frame that is not one of the mailbox's
// messages (empty, an unknown or another mailbox's code, short or long) reads as
// malformed.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <memory>
#include <tuple>
#include <variant>

#include <zmq.hpp>

#include "core/logger.h"
#include "runtime/mailboxes.h"

namespace {

using namespace vyr::mail;

auto fields(const stop&) { return std::make_tuple(); }
auto fields(const context_updated&) { return std::make_tuple(); }
auto fields(const alarms_refreshed&) { return std::make_tuple(); }
auto fields(const param_request& _m) { return std::make_tuple(_m.mac, _m.numbers); }
auto fields(const devices_changed& _m) { return std::make_tuple(_m.macs, _m.alive_only); }
auto fields(const anchor_announced& _m) { return std::make_tuple(_m.mac, _m.uid); }
auto fields(const anchor_alive& _m) { return std::make_tuple(_m.mac, _m.uid); }
auto fields(const sleep_order& _m) {
    return std::make_tuple(_m.delay, _m.sleep_time, _m.project_uid, _m.loc_uid, _m.sl_uid);
}
auto fields(const sleep_confirmed& _m) { return std::make_tuple(_m.mac); }

const std::string s_mac = "70B3D5FFFE0B0001";
const std::string s_full(vyr::cmd::uid_size, 'u');  // fills its field, no terminator

class mailboxes_test : public ::testing::Test {
protected:
    void TearDown() override {
        m_push.reset();
        m_pull.reset();
        m_context.close();
    }

    template <class Box>
    void open() {
        m_pull = std::make_unique<zmq::socket_t>(m_context, zmq::socket_type::pull);
        m_pull->set(zmq::sockopt::linger, 0);
        m_pull->set(zmq::sockopt::rcvtimeo, 2000);
        m_pull->bind(Box::endpoint);
        m_push = std::make_unique<zmq::socket_t>(m_context, zmq::socket_type::push);
        m_push->set(zmq::sockopt::linger, 0);
        m_push->connect(Box::endpoint);
    }
    std::string take() {
        zmq::message_t frame;
        EXPECT_TRUE(m_pull->recv(frame));
        return frame.to_string();
    }
    // Sends `_message` through its mailbox and reads it back; `_size` is its wire size.
    template <class Box, class Message>
    void round_trip(const Message& _message, std::size_t _size) {
        SCOPED_TRACE(::testing::Message() << Box::endpoint << " code " << int(Message::code));
        open<Box>();
        ASSERT_EQ(Box::send(*m_push, _message, m_logger), sent::yes);
        const std::string frame = take();
        EXPECT_EQ(std::make_tuple(frame.size(), std::uint8_t(frame[0])), std::make_tuple(_size, Message::code));
        const auto read = Box::read(frame);
        ASSERT_TRUE(std::holds_alternative<Message>(read));
        EXPECT_EQ(fields(std::get<Message>(read)), fields(_message));
        TearDown();
        m_context = zmq::context_t();
    }

    zmq::context_t m_context;
    std::unique_ptr<zmq::socket_t> m_pull, m_push;
    vyr::libs::core::logger m_root{"rtls-quorvane-test", "mailboxes"};
    vyr::libs::core::component_logger& m_logger = m_root;
};

TEST_F(mailboxes_test, EveryMessageRoundTripsThroughItsMailboxInItsWireSize) {
    round_trip<receiver>(stop{}, 1);
    round_trip<mech_param_req>(stop{}, 1);
    round_trip<mech_param_req>(context_updated{}, 1);
    round_trip<mech_param_req>(alarms_refreshed{}, 1);
    round_trip<mech_param_req>(param_request{s_mac, {}}, 18);
    round_trip<mech_param_req>(param_request{s_mac, {7, 0xFFFFFFFFu, 3}}, 18 + 12);
    round_trip<mech_param_req>(devices_changed{{s_mac, "70B3D5FFFE0B0002"}}, 2 + 2 * 17);
    round_trip<mech_param_req>(devices_changed{{s_mac}, true}, 2 + 17);
    round_trip<mech_sleep>(stop{}, 1);
    round_trip<mech_sleep>(anchor_announced{s_mac, s_full}, 82);
    round_trip<mech_sleep>(anchor_alive{s_mac, "anc-1"}, 82);
    round_trip<mech_sleep>(sleep_order{70000, 3600, s_full, "", "sl-1"}, 204);
    round_trip<mech_sleep>(sleep_confirmed{s_mac}, 18);
}

TEST_F(mailboxes_test, TextLongerThanItsFieldIsRefusedNotCut) {
    open<mech_sleep>();
    const std::string longer = s_full + "x";
    EXPECT_EQ(mech_sleep::send(*m_push, anchor_announced{s_mac, longer}, m_logger), sent::too_long);
    EXPECT_EQ(mech_sleep::send(*m_push, sleep_order{1, 2, "p", "", longer}, m_logger), sent::too_long);
    EXPECT_EQ(mech_sleep::send(*m_push, sleep_confirmed{s_mac + "00"}, m_logger), sent::too_long);
    // Nothing went: the next frame is the one sent after.
    EXPECT_EQ(mech_sleep::send(*m_push, stop{}, m_logger), sent::yes);
    EXPECT_EQ(take().size(), 1u);
    open<mech_param_req>();
    EXPECT_EQ(mech_param_req::send(*m_push, devices_changed{{s_mac, s_mac + "00"}}, m_logger), sent::too_long);
    EXPECT_EQ(mech_param_req::send(*m_push, devices_changed{std::vector<std::string>(513, s_mac)}, m_logger),
              sent::too_long);
}

TEST_F(mailboxes_test, SendOnceReachesTheMailboxWithoutASocketOfItsOwn) {
    open<mech_param_req>();
    mech_param_req::send_once(m_context, alarms_refreshed{});
    EXPECT_TRUE(std::holds_alternative<alarms_refreshed>(mech_param_req::read(take())));
}

TEST_F(mailboxes_test, FrameThatIsNoneOfTheMailboxsMessagesIsMalformed) {
    std::string request, order, confirm;
    ASSERT_TRUE(encode(param_request{s_mac, {}}, request));
    ASSERT_TRUE(encode(sleep_order{1, 2, "p", "l", "s"}, order));
    ASSERT_TRUE(encode(sleep_confirmed{s_mac}, confirm));
    std::string announce;
    ASSERT_TRUE(encode(anchor_announced{s_mac, "anc"}, announce));
    struct row {
        const char* what;
        std::string frame;
        bool sleep_box;  // else the parameter-request mailbox
        int code;        // of the malformed read; -1: none
    };
    const row rows[] = {
        {"empty", "", true, -1},
        {"unknown code", std::string(1, '\x2A'), true, 0x2A},
        {"stop with a tail", std::string("\x01\x00", 2), false, 1},
        {"short request", request.substr(0, 17), false, 7},
        {"short order", order.substr(0, 40), true, 7},
        {"order with a tail", order + "x", true, 7},
        {"short confirmation", confirm.substr(0, 10), true, 8},
        {"announcement cut", announce.substr(0, 30), true, 2},
        {"announcement to the wrong mailbox", announce, false, 2},
        {"changed devices, a MAC cut", std::string("\x0A\x00", 2) + s_mac.substr(0, 12), false, 10},
        {"changed devices, no flag", std::string("\x0A"), false, 10},
    };
    // The code a malformed read tells (-1: none); -2 when the frame was read as a message.
    const auto refused = [](const auto& _read) {
        const auto* bad = std::get_if<malformed>(&_read);
        return bad ? (bad->code ? int(*bad->code) : -1) : -2;
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.sleep_box ? refused(mech_sleep::read(r.frame)) : refused(mech_param_req::read(r.frame)), r.code)
            << r.what;
    // The code and size of what was refused are told, and a short request claims to be one.
    const auto bad = std::get<malformed>(mech_param_req::read(request.substr(0, 17)));
    EXPECT_EQ(std::make_tuple(int(bad.code.value_or(0)), bad.size, bad.claims<param_request>(),
                              bad.claims<context_updated>()),
              std::make_tuple(7, std::size_t{17}, true, false));
}

}  // namespace
