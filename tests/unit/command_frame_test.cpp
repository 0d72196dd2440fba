#include <gtest/gtest.h>

#include "ipc/command_frame.hpp"

namespace {

using namespace tarnvale::ipc;

CommandFrame decoded(std::string_view line) {
    auto result = decode_line(line);
    if (auto* frame = std::get_if<CommandFrame>(&result)) {
        return *frame;
    }
    ADD_FAILURE() << "no frame for " << line;
    return {};
}

std::string failure(std::string_view line) {
    auto result = decode_line(line);
    if (auto* error = std::get_if<DecodeError>(&result)) {
        return error->message;
    }
    ADD_FAILURE() << "decoded although invalid: " << line;
    return {};
}

TEST(FrameDecoding, ObjectFormWithEveryMember) {
    const auto frame = decoded(
        R"({"cmd":"configure_engine","version":"1.0","pid":4294967295,"engine":"hop","target":"192.0.2.1",)"
        R"("max_hops":255,"interface":"eth0","probe_count":3,"poll_interval_ms":18446744073709551615,)"
        R"("interval_ms":5000,"filter":"icmp"})");
    EXPECT_EQ(frame.cmd, "configure_engine");
    EXPECT_EQ(frame.version, "1.0");
    EXPECT_EQ(frame.pid, 4294967295u);
    EXPECT_EQ(frame.engine, "hop");
    EXPECT_EQ(frame.target, "192.0.2.1");
    EXPECT_EQ(frame.max_hops, 255);
    EXPECT_EQ(frame.interface, "eth0");
    EXPECT_EQ(frame.probe_count, 3u);
    EXPECT_EQ(frame.poll_interval_ms, 18446744073709551615ull);
    EXPECT_EQ(frame.interval_ms, 5000u);
    EXPECT_EQ(frame.filter, "icmp");
}

TEST(FrameDecoding, WhiteSpaceBlankLinesAndAbsentMembers) {
    EXPECT_EQ(decoded("{\"cmd\":\"shutdown\"}\r\n").cmd, "shutdown");
    EXPECT_TRUE(std::holds_alternative<NoCommand>(decode_line("   \n")));
    EXPECT_TRUE(std::holds_alternative<NoCommand>(decode_line("")));
    EXPECT_TRUE(std::holds_alternative<NoCommand>(decode_line("\r\n\xE3\x80\x80")));
    EXPECT_EQ(decoded(R"({"cmd":"__timeout__"})").cmd, "__timeout__") << "sent by a client, it is a command";
    EXPECT_EQ(decoded("\xC2\xA0{\"cmd\":\"x\"}\xE3\x80\x80").cmd, "x");  // Unicode white space
    const auto frame = decoded(R"({"pid":5})");
    EXPECT_EQ(frame.cmd, "");
    EXPECT_EQ(frame.pid, 5u);
    EXPECT_FALSE(decoded(R"({"cmd":"x","probe_count":null,"engine":null})").probe_count.has_value());
    EXPECT_EQ(decoded(R"({"c\u006dd":"x"})").cmd, "x");
}

TEST(FrameDecoding, UnknownMembersAreSkippedWhateverTheyHold) {
    const auto frame = decoded(R"({"cmd":"hello","pid":1234,"extra":[1,2,{"x":3,"cmd":5}],"more":{"pid":"no"}})");
    EXPECT_EQ(frame.cmd, "hello");
    EXPECT_EQ(frame.pid, 1234u);
    EXPECT_EQ(decoded(R"({"x":1,"x":2,"cmd":"a"})").cmd, "a");
}

TEST(FrameDecoding, IntegerRangesAndTypes) {
    EXPECT_EQ(failure(R"({"cmd":"configure_engine","engine":"hop","target":"192.0.2.1","max_hops":300})"),
              "invalid value: integer `300`, expected u8");
    EXPECT_EQ(failure(R"({"cmd":"configure_engine","probe_count":10.0})"),
              "invalid type: floating point `10.0`, expected u32");
    EXPECT_EQ(failure(R"({"pid":4294967296})"), "invalid value: integer `4294967296`, expected u32");
    EXPECT_EQ(failure(R"({"pid":-1})"), "invalid value: integer `-1`, expected u32");
    EXPECT_EQ(failure(R"({"pid":1e3})"), "invalid type: floating point `1e3`, expected u32");
    EXPECT_EQ(failure(R"({"pid":"12"})"), "invalid type: string \"12\", expected u32");
    EXPECT_EQ(failure(R"({"pid":true})"), "invalid type: boolean `true`, expected u32");
    EXPECT_EQ(failure(R"({"interval_ms":18446744073709551616})").substr(0, 28), "invalid type: floating point");
    EXPECT_EQ(failure(R"({"engine":5})"), "invalid type: integer `5`, expected a string");
    EXPECT_EQ(failure(R"({"engine":{"a":1}})"), "invalid type: map, expected a string");
    EXPECT_EQ(failure(R"({"max_hops":[1]})"), "invalid type: sequence, expected u8");
    EXPECT_EQ(failure(R"({"cmd":null})"), "invalid type: null, expected a string");
}

TEST(FrameDecoding, DuplicatesTrailingCharactersAndNonObjects) {
    EXPECT_EQ(failure(R"({"cmd":"hello","cmd":"hello"})"), "duplicate field `cmd`");
    EXPECT_EQ(failure(R"({"pid":null,"pid":3})"), "duplicate field `pid`");
    EXPECT_NE(failure(R"({"cmd":"a"} x)").find("end of input"), std::string::npos);
    EXPECT_NE(failure(R"({"cmd":"a"}{"cmd":"b"})").find("end of input"), std::string::npos);
    EXPECT_NE(failure("not json").find("syntax error"), std::string::npos);
    EXPECT_EQ(failure("42"), "invalid type: integer `42`, expected struct CommandFrame");
    EXPECT_EQ(failure(R"("hello")"), "invalid type: string \"hello\", expected struct CommandFrame");
    EXPECT_EQ(failure("{\"cmd\":\"a\xFF\"}"), "stream did not contain valid UTF-8");
    EXPECT_EQ(failure("\xC0\xAF"), "stream did not contain valid UTF-8");  // overlong
}

TEST(FrameDecoding, ArrayFormTakesExactlyElevenValuesInOrder) {
    const auto frame = decoded(R"(["configure_engine",null,null,"attr","192.0.2.1",null,null,null,1000,null,null])");
    CommandFrame expected;
    expected.cmd = "configure_engine";
    expected.engine = "attr";
    expected.target = "192.0.2.1";
    expected.poll_interval_ms = 1000;
    EXPECT_EQ(frame, expected);
    EXPECT_EQ(failure(R"(["configure_engine",null,null,"attr","192.0.2.1",null,null,null,1000,null])"),
              "invalid length 10, expected struct CommandFrame with 11 elements");
    EXPECT_EQ(failure("[]"), "invalid length 1, expected struct CommandFrame with 11 elements");
    EXPECT_EQ(failure(R"(["a",null,null,null,null,null,null,null,null,null,null,[1,2]])"),
              "invalid length 12, expected struct CommandFrame with 11 elements");
    EXPECT_EQ(failure(R"([null,null,null,null,null,null,null,null,null,null,null])"),
              "invalid type: null, expected a string");
    EXPECT_EQ(failure(R"(["x",null,"7",null,null,null,null,null,null,null,null])"),
              "invalid type: string \"7\", expected u32");
}

}  // namespace
