// WebSocket conformance on the client side: a server writes hand-made frames from the table
// below, and each case states what the client must do: deliver the messages (and answer pings),
// fail the connection with the close code RFC 6455 gives (1002 protocol error, 1007 invalid
// data, 1009 too big; 1003 for a binary message the client does not take), or answer a close.
// Every case ends with the client connecting again.
#include <boost/json/serialize.hpp>
#include <ostream>

#include "client_fixture.h"

using namespace quarvo_test;
using namespace std::chrono_literals;

namespace {

enum Op : uint8_t { cont = 0x0, text = 0x1, binary = 0x2, close = 0x8, ping = 0x9, pong = 0xA };

struct FrameSpec {
    uint8_t opcode;
    std::string payload = {};
    bool fin = true;
    uint8_t rsv = 0;       // bits 1..3 as 0b100 (RSV1), 0b010, 0b001
    int length_bytes = 0;  // 0: minimal; 2 or 8: that length field whatever the size
    std::optional<uint64_t> declared = std::nullopt;  // a length field that is not the payload's
    bool masked = false;
};

std::string frame(const FrameSpec& f) {
    std::string out;
    out += char((f.fin ? 0x80 : 0) | (f.rsv << 4) | f.opcode);
    const uint64_t size = f.declared.value_or(f.payload.size());
    const uint8_t mask_bit = f.masked ? 0x80 : 0;
    const int bytes = f.length_bytes ? f.length_bytes : size < 126 ? 0 : size < 65536 ? 2 : 8;
    if (bytes == 0) {
        out += char(mask_bit | size);
    } else {
        out += char(mask_bit | (bytes == 2 ? 126 : 127));
        for (int i = bytes - 1; i >= 0; --i) out += char((size >> (8 * i)) & 0xFF);
    }
    std::string payload = f.payload;
    if (f.masked) {
        const char key[4] = {0x12, 0x34, 0x56, 0x78};
        out.append(key, 4);
        for (size_t i = 0; i < payload.size(); ++i) payload[i] ^= key[i % 4];
    }
    return out + payload;
}

std::string frame(uint8_t opcode, std::string payload, bool fin = true) {
    return frame(FrameSpec{.opcode = opcode, .payload = std::move(payload), .fin = fin});
}

// A console message the client turns into one host call with `content`.
std::string msg(std::string_view content) {
    return R"({"type": "log_to_console", "content": ")" + std::string(content) + R"("})";
}

std::string close_payload(uint16_t code, std::string_view reason = {}) {
    std::string p{char(code >> 8), char(code & 0xFF)};
    return p + std::string(reason);
}

enum class Expect { deliver, fail, answer_close };

struct Case {
    const char* name;
    std::string bytes;
    Expect expect;
    // deliver: the console texts in order; the pongs the server must see.
    std::vector<std::string> delivered = {};
    std::vector<std::string> pongs = {};
    // fail / answer_close: the code of the client's close frame.
    uint16_t code = 0;
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
    return os << c.name;
}

std::vector<Case> cases() {
    std::vector<Case> t;
    auto deliver = [&](const char* name, std::string bytes, std::vector<std::string> texts,
                       std::vector<std::string> pongs = {}) {
        t.push_back({name, std::move(bytes), Expect::deliver, std::move(texts), std::move(pongs)});
    };
    auto fail = [&](const char* name, std::string bytes, uint16_t code) {
        t.push_back({name, std::move(bytes), Expect::fail, {}, {}, code});
    };
    auto answer = [&](const char* name, std::string bytes, uint16_t code) {
        t.push_back({name, std::move(bytes), Expect::answer_close, {}, {}, code});
    };
    const std::string big(70000, 'b');
    const std::string mid(300, 'm');

    // Framing
    deliver("Framing_SmallText", frame(text, msg("hello")), {"hello"});
    deliver("Framing_Length16", frame(text, msg(mid)), {mid});
    deliver("Framing_Length64", frame(text, msg(big)), {big});
    deliver("Framing_TwoMessagesInOneWrite", frame(text, msg("a")) + frame(text, msg("b")),
            {"a", "b"});
    deliver("Framing_EmptyTextIsNotAMessageButKeepsTheConnection", frame(text, ""), {});
    fail("Framing_BinaryMessage", frame(binary, "\x01\x02"), 1003);
    fail("Framing_MaskedServerFrame",
         frame(FrameSpec{.opcode = text, .payload = msg("x"), .masked = true}), 1002);
    fail("Framing_NonMinimalLength16",
         frame(FrameSpec{.opcode = text, .payload = msg("x"), .length_bytes = 2}), 1002);
    fail("Framing_NonMinimalLength64",
         frame(FrameSpec{.opcode = text, .payload = msg(mid), .length_bytes = 8}), 1002);
    // The size check comes first: such a length is over the limit before it is malformed.
    fail("Framing_Length64HighBitSet",
         frame(FrameSpec{.opcode = text, .length_bytes = 8, .declared = uint64_t(1) << 63}), 1009);

    // Reserved bits (no extension was negotiated)
    fail("Reserved_Rsv1OnText", frame(FrameSpec{.opcode = text, .payload = msg("x"), .rsv = 0b100}),
         1002);
    fail("Reserved_Rsv2OnText", frame(FrameSpec{.opcode = text, .payload = msg("x"), .rsv = 0b010}),
         1002);
    fail("Reserved_Rsv3OnText", frame(FrameSpec{.opcode = text, .payload = msg("x"), .rsv = 0b001}),
         1002);
    fail("Reserved_AllOnPing", frame(FrameSpec{.opcode = ping, .payload = "p", .rsv = 0b111}),
         1002);
    fail("Reserved_Rsv1OnClose",
         frame(FrameSpec{.opcode = close, .payload = close_payload(1000), .rsv = 0b100}), 1002);
    fail("Reserved_Rsv2AfterAGoodMessage",
         frame(text, msg("first")) +
             frame(FrameSpec{.opcode = text, .payload = msg("x"), .rsv = 0b010}),
         1002);

    // Opcodes
    for (uint8_t op : {3, 4, 5, 6, 7, 0xB, 0xC, 0xD, 0xE, 0xF}) {
        static std::vector<std::string> names;  // gtest keeps the name pointers
        names.push_back("Opcode_Reserved" + std::to_string(op));
        fail(names.back().c_str(), frame(op, "x"), 1002);
    }

    // Ping and pong
    deliver("Ping_EmptyGetsPong", frame(ping, ""), {}, {""});
    deliver("Ping_PayloadEchoed", frame(ping, "hello?"), {}, {"hello?"});
    deliver("Ping_125BytesEchoed", frame(ping, std::string(125, 'p')), {}, {std::string(125, 'p')});
    deliver("Ping_BinaryPayloadEchoed", frame(ping, std::string("\x00\xff\xfe", 3)), {},
            {std::string("\x00\xff\xfe", 3)});
    fail("Ping_126BytesTooLongForControl", frame(ping, std::string(126, 'p')), 1002);
    fail("Ping_Fragmented", frame(ping, "p", false), 1002);
    deliver("Pong_UnsolicitedIgnored", frame(pong, "nobody asked"), {});
    deliver("Pong_UnsolicitedEmptyIgnored", frame(pong, ""), {});
    deliver("Ping_InsideAFragmentedMessage",
            frame(text, R"({"type": "log_to_console", )", false) + frame(ping, "mid") +
                frame(cont, R"("content": "joined"})"),
            {"joined"}, {"mid"});
    deliver("Ping_ThreeInARow", frame(ping, "1") + frame(ping, "2") + frame(ping, "3"), {},
            {"1", "2", "3"});

    // Fragmentation
    deliver(
        "Fragment_TwoParts",
        frame(text, R"({"type": "log_to_console", )", false) + frame(cont, R"("content": "two"})"),
        {"two"});
    {
        const std::string m = msg("five parts");
        std::string bytes;
        for (size_t i = 0; i < 5; ++i) {
            const size_t n = m.size() / 5;
            bytes += frame(i == 0 ? text : cont, m.substr(i * n, i == 4 ? std::string::npos : n),
                           i == 4);
        }
        deliver("Fragment_FiveParts", bytes, {"five parts"});
    }
    deliver("Fragment_EmptyFragments",
            frame(text, "", false) + frame(cont, msg("around empties"), false) + frame(cont, ""),
            {"around empties"});
    fail("Fragment_ContinuationWithoutStart", frame(cont, msg("x"), false), 1002);
    fail("Fragment_FinalContinuationWithoutStart", frame(cont, msg("x")), 1002);
    fail("Fragment_NewTextBeforeTheEnd", frame(text, "{", false) + frame(text, msg("x")), 1002);
    fail("Fragment_BinaryBeforeTheEnd", frame(text, "{", false) + frame(binary, "x"), 1002);
    fail("Fragment_BinaryInParts", frame(binary, "a", false) + frame(cont, "b"), 1003);
    answer("Fragment_CloseInTheMiddle", frame(text, "{", false) + frame(close, close_payload(1000)),
           1000);

    // UTF-8
    deliver("Utf8_MultiByteText", frame(text, msg("caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80")),
            {"caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80"});
    deliver("Utf8_CodePointSplitAcrossFragments",
            frame(text, "{\"type\": \"log_to_console\", \"content\": \"\xe2\x82", false) +
                frame(cont, "\xac\"}"),
            {"\xe2\x82\xac"});
    fail("Utf8_InvalidByte", frame(text, msg("\xff")), 1007);
    fail("Utf8_Overlong", frame(text, msg("\xc0\xaf")), 1007);
    fail("Utf8_Surrogate", frame(text, msg("\xed\xa0\x80")), 1007);
    fail("Utf8_AboveU10FFFF", frame(text, msg("\xf4\x90\x80\x80")), 1007);
    fail("Utf8_TruncatedAtTheEnd", frame(text, "{\"c\": \"\xe2\x82"), 1007);
    fail("Utf8_InvalidInTheSecondFragment",
         frame(text, R"({"type": "log_to_console", )", false) +
             frame(cont, "\"content\": \"\xff\"}"),
         1007);
    fail("Utf8_InvalidInAnUnfinishedFirstFragment", frame(text, "{\"\xc0\xaf", false), 1007);

    // Close handling
    answer("Close_Normal", frame(close, close_payload(1000)), 1000);
    answer("Close_GoingAway", frame(close, close_payload(1001, "restart")), 1001);
    // A close without a code is answered with 1000.
    answer("Close_WithoutCode", frame(close, ""), 1000);
    answer("Close_ApplicationCode3000", frame(close, close_payload(3000)), 3000);
    answer("Close_PrivateCode4999", frame(close, close_payload(4999)), 4999);
    answer("Close_Reason123Bytes", frame(close, close_payload(1000, std::string(123, 'r'))), 1000);
    answer("Close_Utf8Reason", frame(close, close_payload(1000, "tsch\xc3\xbcss")), 1000);
    answer("Close_DataAfterCloseIgnored",
           frame(close, close_payload(1000)) + frame(text, msg("too late")), 1000);
    fail("Close_OneBytePayload", frame(close, "\x03"), 1002);
    // RFC 6455 defines codes up to 4999; a higher code is taken as an application's own.
    answer("Close_CodeAbove4999", frame(close, close_payload(5000)), 5000);
    for (uint16_t code : {0, 999, 1004, 1005, 1006, 1015, 1016, 2999}) {
        static std::vector<std::string> names;
        names.push_back("Close_InvalidCode" + std::to_string(code));
        fail(names.back().c_str(), frame(close, close_payload(code)), 1002);
    }
    // The reason is part of the close frame: a malformed frame, failed as a protocol error.
    fail("Close_InvalidUtf8Reason", frame(close, close_payload(1000, "\xff\xfe")), 1002);
    fail("Close_Fragmented", frame(close, close_payload(1000), false), 1002);

    // Limits: the client takes messages up to max_message_bytes, 64 MiB by default; the check
    // is made at each frame's header.
    fail("Limit_DeclaredAbove64MiB",
         frame(FrameSpec{.opcode = text, .length_bytes = 8, .declared = (64u << 20) + 1}), 1009);
    fail("Limit_FragmentsAbove64MiB",
         frame(text, std::string(9u << 20, ' '), false) +
             frame(FrameSpec{.opcode = cont, .length_bytes = 8, .declared = 56u << 20}),
         1009);
    deliver("Limit_OneMiBMessage", frame(text, msg(std::string(1u << 20, 'L'))),
            {std::string(1u << 20, 'L')});
    return t;
}

const std::vector<Case>& table() {
    static const std::vector<Case> t = cases();
    return t;
}

class Conformance : public ClientTest, public ::testing::WithParamInterface<Case> {};

std::vector<std::string> console_texts(const RecordingHost& host) {
    std::vector<std::string> out;
    for (const Call& c : host.log.named("log_to_console")) out.emplace_back(c.args[0].as_string());
    return out;
}

TEST_P(Conformance, Case) {
    const Case& c = GetParam();
    // Pings every 2 s: none of the client's own frames crosses a case's hand-made ones.
    SetUpClient(false, 0.1);
    connect();
    host.log.clear();
    server->send_raw(c.bytes);

    switch (c.expect) {
        case Expect::deliver: {
            // A last message marks the end: everything before it was handled or dropped by then.
            server->send_raw(frame(text, msg("end")));
            ASSERT_TRUE(wait_until([&] {
                const auto texts = console_texts(host);
                return !texts.empty() && texts.back() == "end";
            })) << host.log.dump();
            auto texts = console_texts(host);
            texts.pop_back();
            EXPECT_EQ(texts, c.delivered);
            if (!c.pongs.empty()) {
                ASSERT_TRUE(server->wait_for_pongs(c.pongs.size()));
                auto pongs = server->pong_payloads();
                // RFC 6455 5.5.3 lets a client answer only the latest of several pings.
                EXPECT_EQ(pongs.back(), c.pongs.back());
                EXPECT_LE(pongs.size(), c.pongs.size());
            }
            EXPECT_TRUE(server->close_codes().empty());
            EXPECT_EQ(server->connections(), 1u);
            EXPECT_TRUE(client->is_connected());
            break;
        }
        case Expect::fail:
        case Expect::answer_close:
            ASSERT_TRUE(server->wait_for_close_codes(1)) << logs.dump();
            EXPECT_EQ(server->close_codes().front(), c.code);
            EXPECT_TRUE(console_texts(host).empty() ||
                        console_texts(host) == std::vector<std::string>{"first"})
                << host.log.dump();
            // Recovery: the client connects again after its back-off.
            ASSERT_TRUE(server->wait_for_connections(2)) << logs.dump();
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(Rfc6455, Conformance, ::testing::ValuesIn(table()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
