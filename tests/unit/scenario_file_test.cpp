#include "scenario_file.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>

namespace {

using namespace tarnvale;
using namespace tarnvale::sim;
using nlohmann::json;
using testing::HasSubstr;

const std::string fixtures = TARNVALE_SCENARIO_FIXTURES;

TEST(ScenarioFile, AFileWithEveryMemberReadsIntoTheRecord) {
    const ScenarioFile scenario = read_scenario(fixtures + "/every_member.json");

    EXPECT_EQ(scenario.name, "every member: bursty Wi-Fi, own upload queue, route change");
    EXPECT_THAT(scenario.about, HasSubstr("moves the path off its core router"));
    EXPECT_EQ(scenario.duration_s, 1500);
    EXPECT_EQ(scenario.tags, (std::vector<std::string>{"bursts", "upload"}));
    EXPECT_EQ(scenario.balanced_routes, (std::vector<std::vector<std::string>>{{"home", "bras", "alt", "web"}}));

    // Nodes in the file's order, with addresses of their own and round trips by their first place on a route.
    ASSERT_EQ(scenario.nodes.size(), 5u);
    const std::vector<std::string> names{"home", "bras", "core", "alt", "web"};
    const std::vector<std::string> owners{"home", "isp", "isp", "isp", "destination"};
    const std::vector<std::string> addresses{"10.0.0.1", "10.0.0.2", "10.0.0.3", "192.0.2.7", "10.0.0.4"};
    const std::vector<double> round_trips{3, 5, 7, 6, 9};
    for (std::size_t index = 0; index < names.size(); ++index) {
        const NodeSetting& node = scenario.nodes[index];
        EXPECT_EQ(node.name, names[index]);
        EXPECT_EQ(node.owner, owners[index]) << node.name;
        EXPECT_EQ(packets::to_text(node.address), addresses[index]) << node.name;
        EXPECT_EQ(node.rtt_ms, round_trips[index]) << node.name;
    }
    EXPECT_EQ(scenario.node("home").jitter_ms, 0.5);
    EXPECT_EQ(scenario.node("web").jitter_ms, 1.0);
    EXPECT_EQ(scenario.node("web").tcp, TcpAnswer::open);
    EXPECT_EQ(scenario.node("bras").tcp, TcpAnswer::closed);

    // Answers: an object holds from the start; a timeline's points in order.
    const auto& home = scenario.node("home").answers;
    ASSERT_EQ(home.size(), 1u);
    EXPECT_EQ(home[0].value.share, 0.5);
    EXPECT_EQ(home[0].value.echo_share, 1.0);
    EXPECT_EQ(home[0].value.limits, std::vector<LimitRule>{*limit_preset("linux")});
    const auto& bras = scenario.node("bras").answers;
    ASSERT_EQ(bras.size(), 3u);
    EXPECT_EQ(bras[0].value.limits, std::vector<LimitRule>{*limit_preset("cisco")});
    EXPECT_EQ(bras[0].value.echo_share, 1.0) << "the share's default";
    EXPECT_TRUE(bras[1].value.silent);
    EXPECT_EQ(bras[1].start.lo, 300);
    EXPECT_EQ(bras[1].start.hi, 400);
    EXPECT_TRUE(bras[2].after_previous);
    EXPECT_EQ(bras[2].start.lo, 120);
    const AnswersSetting& core = scenario.node("core").answers.at(0).value;
    ASSERT_EQ(core.limits.size(), 2u);
    EXPECT_EQ(core.limits[0], *limit_preset("juniper"));
    EXPECT_EQ(
        core.limits[1],
        (LimitRule{.per_s = 100, .burst = 100, .global = true, .applies_to = {AnswerKind::echo}, .others_per_s = 20}));
    EXPECT_EQ(core.hold_ms, std::pair(1.0, 3.0));
    EXPECT_EQ(core.slow_with_queue, "bras");

    EXPECT_EQ(scenario.route, (std::vector<std::string>{"home", "bras", "core", "web"}));
    ASSERT_EQ(scenario.route_changes.size(), 1u);
    EXPECT_EQ(scenario.route_changes[0].route, (std::vector<std::string>{"home", "bras", "alt", "web"}));

    const LinkSetting& home_link = scenario.links.at("home");
    ASSERT_EQ(home_link.loss_pct.size(), 2u);
    EXPECT_EQ(home_link.loss_pct[1].value, 20);
    EXPECT_EQ(home_link.loss_pct[1].ramp_s, 60);
    ASSERT_EQ(home_link.return_loss_pct.size(), 1u);
    EXPECT_EQ(home_link.return_loss_pct[0].value, 1);
    EXPECT_EQ(home_link.mean_burst_ms, 200);
    const LinkSetting& bras_link = scenario.links.at("bras");
    ASSERT_EQ(bras_link.queue.size(), 2u);
    EXPECT_EQ(bras_link.queue[0].value.ms, 80);
    EXPECT_EQ(bras_link.queue[0].value.swing_ms, 30);
    EXPECT_EQ(bras_link.queue_filled_by, "own_upload");

    ASSERT_EQ(scenario.upload.size(), 2u);
    EXPECT_EQ(scenario.upload[0].value.process, "backup");
    EXPECT_EQ(scenario.upload[0].value.mbps, 18);
    EXPECT_TRUE(scenario.upload[0].value.saturating);
    EXPECT_FALSE(scenario.upload[1].value.saturating);
    ASSERT_EQ(scenario.other_probers.size(), 2u);
    EXPECT_EQ(scenario.other_probers[0].per_s, 1);
    EXPECT_TRUE(scenario.other_probers[0].to.empty()) << "every hop";
    EXPECT_EQ(scenario.other_probers[0].kinds, (AnswerKinds{AnswerKind::time_exceeded, AnswerKind::echo}));
    EXPECT_EQ(scenario.other_probers[1].to, std::vector<std::string>{"core"});
    EXPECT_FALSE(scenario.other_probers[1].until.has_value()) << "to the end of the run";

    ASSERT_TRUE(scenario.expect.degradation);
    EXPECT_EQ(scenario.expect.degradation->node, "home");
    EXPECT_EQ(scenario.expect.degradation->cause, "hardware");
    ASSERT_TRUE(scenario.expect.latency);
    EXPECT_EQ(scenario.expect.latency->cause, "saturation");
    EXPECT_TRUE(scenario.expect.route_change);
    EXPECT_FALSE(scenario.expect.fault_at_s);
}

// A small valid scenario, to spoil one member at a time.
json valid_scenario() {
    return json::parse(R"({
        "name": "small", "about": "for the reader's test",
        "nodes": {"home": {"owner": "home"}, "core": {}, "web": {"owner": "destination"}},
        "route": ["home", "core", "web"],
        "links": {"core": {"loss": [{"at_s": [60, 600], "pct": 10}, {"after_s": 60, "pct": 30, "ramp_s": 30}]}},
        "expect": {"degradation": {"node": "core", "cause": "isp"}}
    })");
}

TEST(ScenarioFile, EachKindOfBadInputNamesTheFileAndTheMember) {
    struct Case {
        std::function<void(json&)> spoil;
        std::string message;
    };
    const std::vector<Case> cases{
        {[](json& file) { file["colour"] = "red"; }, "bad.json: colour: unknown member"},
        {[](json& file) { file["nodes"]["core"]["colour"] = 1; }, "bad.json: nodes.core.colour: unknown member"},
        {[](json& file) { file["links"]["core"]["loss"][0]["colour"] = 1; },
         "bad.json: links.core.loss[0].colour: unknown member"},
        {[](json& file) { file.erase("about"); }, "bad.json: about: missing"},
        {[](json& file) { file["route"][1] = "nowhere"; }, "bad.json: route[1]: no node \"nowhere\""},
        {[](json& file) { file["links"]["nowhere"] = json::object(); }, "bad.json: links.nowhere: no node"},
        {[](json& file) { file["expect"]["degradation"]["node"] = "nowhere"; },
         "bad.json: expect.degradation.node: no node"},
        {[](json& file) { file["route_changes"] = json::parse(R"([{"at_s": 10, "route": ["home", "gone", "web"]}])"); },
         "bad.json: route_changes[0].route[1]: no node \"gone\""},
        {[](json& file) { file["balanced_routes"] = json::parse(R"([["home", "core"]])"); },
         "bad.json: balanced_routes[0]: must end at the target \"web\""},
        {[](json& file) { file["links"]["core"]["loss"][1] = json::parse(R"({"at_s": 300, "pct": 30})"); },
         "bad.json: links.core.loss[1].at_s: out of order"},
        {[](json& file) {
             file["links"]["core"]["loss"][0]["at_s"] = json::array({600, 60});
         },
         "bad.json: links.core.loss[0].at_s: the range's ends are out of order"},
        {[](json& file) { file["links"]["core"]["loss"][0] = json::parse(R"({"after_s": 60, "pct": 10})"); },
         "bad.json: links.core.loss[0].after_s: the first point needs at_s"},
        {[](json& file) {
             file["route_changes"] = json::parse(
                 R"([{"at_s": 300, "route": ["home", "web"]}, {"at_s": [100, 400], "route": ["core", "web"]}])");
         },
         "bad.json: route_changes[1].at_s: out of order"},
        {[](json& file) { file["links"]["core"]["loss"][0]["pct"] = 150; },
         "bad.json: links.core.loss[0].pct: 150 is out of range 0 to 100"},
        {[](json& file) { file["links"]["core"]["loss"][0]["at_s"] = -5; },
         "bad.json: links.core.loss[0].at_s: -5 is out of range"},
        {[](json& file) { file["nodes"]["core"]["answers"] = json::parse(R"({"share": 1.5})"); },
         "bad.json: nodes.core.answers.share: 1.5 is out of range 0 to 1"},
        {[](json& file) { file["nodes"]["core"]["answers"] = json::parse(R"({"limit": "freebsd"})"); },
         "bad.json: nodes.core.answers.limit: no preset \"freebsd\""},
        {[](json& file) {
             file["nodes"]["core"]["answers"] =
                 json::parse(R"({"limit": {"per_s": 1, "burst": 6, "others_per_s": 5}})");
         },
         "bad.json: nodes.core.answers.limit.others_per_s: only a global limit"},
        {[](json& file) { file["nodes"]["core"]["answers"] = json::parse(R"([{"at_s": 0, "ramp_s": 5}])"); },
         "bad.json: nodes.core.answers[0].ramp_s: unknown member"},
        {[](json& file) { file["nodes"]["core"]["answers"] = json::parse(R"({"slow_with_queue": "nowhere"})"); },
         "bad.json: nodes.core.answers.slow_with_queue: no node"},
        {[](json& file) { file["nodes"]["core"]["addr"] = "10.0.0.300"; },
         "bad.json: nodes.core.addr: must be an IPv4"},
        {[](json& file) { file["nodes"]["core"]["addr"] = "10.0.0.0"; }, "bad.json: nodes.core.addr: taken"},
        {[](json& file) { file["nodes"]["core"]["tcp"] = "half-open"; },
         "bad.json: nodes.core.tcp: \"half-open\" is none of"},
        {[](json& file) { file["nodes"]["spare"] = json::object(); }, "bad.json: nodes.spare: on no route"},
        {[](json& file) { file["route_changes"] = json::parse(R"([{"at_s": 10, "route": ["home", "core"]}])"); },
         "bad.json: route_changes[0].route: must end at the target \"web\""},
        {[](json& file) { file["expect"]["degradation"]["cause"] = "gremlins"; },
         "bad.json: expect.degradation.cause: \"gremlins\" is none of"},
        {[](json& file) { file["expect"]["degradation"]["node"] = "home"; },
         "bad.json: expect.degradation: the link into \"home\" never loses"},
        {[](json& file) { file["expect"]["latency"] = json::parse(R"({"node": "core", "cause": "congestion"})"); },
         "bad.json: expect.latency: no queue ever stands"},
        {[](json& file) { file["expect"]["route_change"] = true; }, "bad.json: expect.route_change: the route never"},
        {[](json& file) { file["host"] = json::parse(R"({"other_probers": [{"from_s": 100, "until_s": 50}]})"); },
         "bad.json: host.other_probers[0].until_s: may come before from_s"},
        {[](json& file) { file["host"] = json::parse(R"({"upload": [{"at_s": 10, "mbps": 5}]})"); },
         "bad.json: host.upload[0].process: missing"},
    };
    for (const Case& each : cases) {
        json file = valid_scenario();
        each.spoil(file);
        try {
            parse_scenario(file.dump(), "bad.json");
            ADD_FAILURE() << "accepted; expected: " << each.message;
        } catch (const ScenarioError& error) {
            EXPECT_THAT(error.what(), HasSubstr(each.message));
        }
    }
    EXPECT_NO_THROW(parse_scenario(valid_scenario().dump(), "good.json"));
    json later = valid_scenario();
    later["nodes"]["home"]["answers"] = {{"slow_with_queue", "web"}};
    EXPECT_EQ(parse_scenario(later.dump(), "later.json").node("home").answers.at(0).value.slow_with_queue, "web")
        << "a link named further down the list of nodes";
    EXPECT_THROW(
        {
            try {
                parse_scenario("{\"name\": ", "cut.json");
            } catch (const ScenarioError& error) {
                EXPECT_THAT(error.what(), HasSubstr("cut.json: not JSON"));
                throw;
            }
        },
        ScenarioError);
}

TEST(ScenarioFile, AFolderIsReadInOrderOfPathAndNamesAreUnique) {
    const auto folder = std::filesystem::path(testing::TempDir()) / "scenario_file_test";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder / "a");
    const auto write = [&](const std::filesystem::path& path, const std::string& name) {
        json file = valid_scenario();
        file["name"] = name;
        std::ofstream(folder / path) << "// a comment first\n" << file.dump(2);
    };
    write("b.json", "second");
    write("a/c.json", "first");
    std::ofstream(folder / "notes.txt") << "not a scenario";
    const auto scenarios = read_scenarios(folder);
    ASSERT_EQ(scenarios.size(), 2u);
    EXPECT_EQ(scenarios[0].name, "first");
    EXPECT_EQ(scenarios[1].name, "second");

    write("d.json", "first");
    try {
        read_scenarios(folder);
        ADD_FAILURE() << "two scenarios of one name";
    } catch (const ScenarioError& error) {
        EXPECT_THAT(error.what(), HasSubstr("d.json: name: \"first\" is also the name in"));
    }
    std::filesystem::remove_all(folder);
}

TEST(ScenarioFile, ARunDrawsItsTimesWithinTheirRangesAndTheSameSeedDrawsTheSame) {
    const ScenarioFile scenario = parse_scenario(valid_scenario().dump(), "small.json");
    EXPECT_EQ(scenario.duration_s, 600 + 60 + 30 + 600) << "the latest time in the file, then 10 minutes";
    const auto& loss = scenario.links.at("core").loss_pct;
    std::set<double> drawn;
    for (std::uint64_t seed = 1; seed <= 200; ++seed) {
        const RunTimes times(scenario, seed);
        const auto starts = times.starts(loss);
        ASSERT_EQ(starts.size(), 2u);
        EXPECT_GE(starts[0], 60);
        EXPECT_LE(starts[0], 600);
        EXPECT_DOUBLE_EQ(starts[1], starts[0] + 60) << "after_s counts from the point before";
        EXPECT_EQ(RunTimes(scenario, seed).starts(loss), starts);
        drawn.insert(starts[0]);
    }
    EXPECT_EQ(drawn.size(), 200u) << "each seed draws its own";
    EXPECT_LT(*drawn.begin(), 120);
    EXPECT_GT(*drawn.rbegin(), 540);
}

}  // namespace
