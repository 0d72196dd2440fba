#include "scenario_file.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

#include "json_member.hpp"
#include "sim_random.hpp"

namespace tarnvale::sim {

namespace {

constexpr double infinite = std::numeric_limits<double>::infinity();
// What a run lasts beyond the latest time a file gives, unless it says.
constexpr double after_latest_s = 600;

using Member = JsonMember;
using Json = JsonMember::Json;

const std::initializer_list<std::string_view> answer_members = {"share", "echo_share", "silent",
                                                                "limit", "hold_ms",    "slow_with_queue"};

bool is_node_name(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_';
    });
}

// When a point of a timeline may begin at the earliest and at the latest.
struct Window {
    double earliest = 0;
    double latest = 0;
};

// Reads a file's members into the record, checking them as it goes.
class ScenarioReader {
public:
    explicit ScenarioReader(ScenarioFile& scenario) : scenario_(scenario) {}

    void read(const Member& top);

private:
    TimeRange time(const Member& member) {
        TimeRange range;
        if (member.is_number()) {
            range.lo = range.hi = member.number(0, infinite);
        } else {
            std::tie(range.lo, range.hi) = member.pair(0, infinite);
        }
        range.draw = scenario_.ranges++;
        return range;
    }
    void note_time(double seconds) { latest_ = std::max(latest_, seconds); }

    // A timeline's points: each with at_s or after_s (not the first), ramp_s
    // when `ramps`, and what `value` reads of it, whose members are `value_members`.
    template <typename Value, typename ReadValue>
    TimelineSetting<Value> timeline(const Member& member, bool ramps,
                                    std::initializer_list<std::string_view> value_members, ReadValue value);
    void read_nodes(const Member& nodes);
    void read_node(NodeSetting& setting, const Member& node);
    AnswersSetting read_answers(const Member& answers);
    std::vector<LimitRule> read_limits(const Member& limit);
    LimitRule read_limit(const Member& limit);
    AnswerKinds read_kinds(const Member& kinds);
    std::vector<std::string> read_route(const Member& route);
    void read_links(const Member& links);
    void read_host(const Member& host);
    void read_expect(const Member& expect);
    std::optional<ExpectedDiagnosis> read_diagnosis(const Member& diagnosis);
    bool has_node(const std::string& name) const;
    const NodeSetting& known_node(const Member& name);
    void check_routes(const Member& top);
    void check_fault_times(const Member& expect);
    void give_defaults(const Member& top);

    ScenarioFile& scenario_;
    double latest_ = 0;
    std::set<std::string> on_a_route_;
};

template <typename Value, typename ReadValue>
TimelineSetting<Value> ScenarioReader::timeline(const Member& member, bool ramps,
                                                std::initializer_list<std::string_view> value_members,
                                                ReadValue value) {
    std::vector<std::string_view> known(value_members);
    known.insert(known.end(), {"at_s", "after_s"});
    if (ramps) {
        known.push_back("ramp_s");
    }
    TimelineSetting<Value> points;
    Window previous;
    for (const Member& element : member.elements()) {
        if (!element.is_object()) {
            element.fail("must be an object");
        }
        for (const auto& [name, unused] : element.members()) {
            if (std::find(known.begin(), known.end(), name) == known.end()) {
                unused.fail("unknown member");
            }
        }
        TimelinePoint<Value> point;
        const auto at = element.optional("at_s");
        const auto after = element.optional("after_s");
        if (at.has_value() == after.has_value()) {
            element.fail("needs one of at_s and after_s");
        }
        if (after && points.empty()) {
            after->fail("the first point needs at_s");
        }
        point.after_previous = after.has_value();
        point.start = time(at ? *at : *after);
        const Window window = point.after_previous
                                  ? Window{previous.earliest + point.start.lo, previous.latest + point.start.hi}
                                  : Window{point.start.lo, point.start.hi};
        // A point after_s the previous one is always after it.
        if (at && !points.empty() && window.earliest < previous.latest) {
            at->fail("out of order: may begin at " + number_text(window.earliest) +
                     " s, before the previous point, which may begin at " + number_text(previous.latest) + " s");
        }
        if (const auto ramp = element.optional("ramp_s")) {
            point.ramp_s = ramp->number(0, infinite);
        }
        point.value = value(element);
        note_time(window.latest + point.ramp_s);
        previous = window;
        points.push_back(std::move(point));
    }
    return points;
}

void ScenarioReader::read(const Member& top) {
    top.expect_members({"name", "about", "duration_s", "nodes", "route", "balanced_routes", "route_changes", "links",
                        "host", "expect", "tags"});
    scenario_.name = top.required("name").text();
    if (scenario_.name.empty()) {
        top.required("name").fail("must not be empty");
    }
    scenario_.about = top.required("about").text();
    read_nodes(top.required("nodes"));
    scenario_.route = read_route(top.required("route"));
    if (const auto balanced = top.optional("balanced_routes")) {
        for (const Member& route : balanced->elements()) {
            scenario_.balanced_routes.push_back(read_route(route));
            if (scenario_.balanced_routes.back().back() != scenario_.route.back()) {
                route.fail("must end at the target \"" + scenario_.route.back() + "\"");
            }
        }
    }
    if (const auto changes = top.optional("route_changes")) {
        Window previous;
        for (const Member& change : changes->elements()) {
            change.expect_members({"at_s", "route"});
            ScheduledRoute setting{time(change.required("at_s")), read_route(change.required("route"))};
            if (!scenario_.route_changes.empty() && setting.at.lo < previous.latest) {
                change.required("at_s").fail("out of order: may come before the previous change");
            }
            if (setting.route.back() != scenario_.route.back()) {
                change.required("route").fail("must end at the target \"" + scenario_.route.back() + "\"");
            }
            previous = {setting.at.lo, setting.at.hi};
            note_time(setting.at.hi);
            scenario_.route_changes.push_back(std::move(setting));
        }
    }
    check_routes(top);
    if (const auto links = top.optional("links")) {
        read_links(*links);
    }
    if (const auto host = top.optional("host")) {
        read_host(*host);
    }
    read_expect(top.required("expect"));
    if (const auto tags = top.optional("tags")) {
        for (const Member& tag : tags->elements()) {
            scenario_.tags.push_back(tag.text());
        }
    }
    give_defaults(top);
}

void ScenarioReader::read_nodes(const Member& nodes) {
    // Every name first: a node's answers may name a link further down the list.
    const auto members = nodes.members();
    for (const auto& [name, node] : members) {
        if (!is_node_name(name)) {
            node.fail("a node's name has only letters, digits, - and _");
        }
        NodeSetting setting;
        setting.name = name;
        scenario_.nodes.push_back(std::move(setting));
    }
    if (scenario_.nodes.empty()) {
        nodes.fail("names no node");
    }
    for (std::size_t index = 0; index < members.size(); ++index) {
        read_node(scenario_.nodes[index], members[index].second);
    }
}

void ScenarioReader::read_node(NodeSetting& setting, const Member& node) {
    node.expect_members({"owner", "addr", "rtt_ms", "jitter_ms", "answers", "tcp"});
    setting.owner =
        node.has("owner") ? node.required("owner").one_of({"home", "isp", "transit", "destination"}) : "isp";
    if (const auto addr = node.optional("addr")) {
        const auto parsed = packets::parse_ipv4(addr->text());
        if (!parsed) {
            addr->fail("must be an IPv4 address in dotted form");
        }
        setting.address = packets::IpAddress(*parsed);
    }
    if (const auto rtt = node.optional("rtt_ms")) {
        setting.rtt_ms = rtt->positive(60000);
    }
    if (const auto jitter = node.optional("jitter_ms")) {
        setting.jitter_ms = jitter->number(0, 60000);
    }
    if (const auto answers = node.optional("answers")) {
        if (answers->is_object()) {
            answers->expect_members(answer_members);
            TimelinePoint<AnswersSetting> from_start;
            from_start.start.draw = scenario_.ranges++;
            from_start.value = read_answers(*answers);
            setting.answers.push_back(std::move(from_start));
        } else {
            setting.answers = timeline<AnswersSetting>(*answers, false, answer_members,
                                                       [this](const Member& point) { return read_answers(point); });
        }
    }
    if (const auto tcp = node.optional("tcp")) {
        const std::string answer = tcp->one_of({"open", "closed", "silent"});
        setting.tcp = answer == "open" ? TcpAnswer::open : answer == "closed" ? TcpAnswer::closed : TcpAnswer::silent;
    }
}

AnswersSetting ScenarioReader::read_answers(const Member& answers) {
    AnswersSetting setting;
    if (const auto share = answers.optional("share")) {
        setting.share = share->number(0, 1);
    }
    setting.echo_share = answers.has("echo_share") ? answers.required("echo_share").number(0, 1) : setting.share;
    if (const auto silent = answers.optional("silent")) {
        setting.silent = silent->flag();
    }
    if (const auto limit = answers.optional("limit")) {
        setting.limits = read_limits(*limit);
    }
    if (const auto hold = answers.optional("hold_ms")) {
        if (hold->is_number()) {
            const double ms = hold->number(0, 60000);
            setting.hold_ms = std::pair(ms, ms);
        } else {
            setting.hold_ms = hold->pair(0, 60000);
        }
    }
    if (const auto slow = answers.optional("slow_with_queue")) {
        setting.slow_with_queue = known_node(*slow).name;
    }
    return setting;
}

std::vector<LimitRule> ScenarioReader::read_limits(const Member& limit) {
    if (!limit.is_array()) {
        return {read_limit(limit)};
    }
    std::vector<LimitRule> rules;
    for (const Member& each : limit.elements()) {
        rules.push_back(read_limit(each));
    }
    return rules;
}

LimitRule ScenarioReader::read_limit(const Member& limit) {
    if (limit.is_string()) {
        const auto preset = limit_preset(limit.text());
        if (!preset) {
            limit.fail("no preset \"" + limit.text() + "\" (linux, cisco, juniper, per_interface_100_per_10s)");
        }
        return *preset;
    }
    limit.expect_members({"per_s", "burst", "scope", "applies_to", "others_per_s"});
    LimitRule rule;
    rule.per_s = limit.required("per_s").positive(1e6);
    rule.burst = limit.required("burst").number(1, 1e6);
    if (const auto scope = limit.optional("scope")) {
        rule.global = scope->one_of({"per_destination", "global"}) == "global";
    }
    if (const auto applies = limit.optional("applies_to")) {
        rule.applies_to = read_kinds(*applies);
    }
    if (const auto others = limit.optional("others_per_s")) {
        // Each of the others' answers is drawn on its own: beyond this a run would take minutes.
        rule.others_per_s = others->number(0, 1e4);
        if (rule.others_per_s > 0 && !rule.global) {
            others->fail("only a global limit is spent by others");
        }
    }
    return rule;
}

AnswerKinds ScenarioReader::read_kinds(const Member& kinds) {
    AnswerKinds read;
    for (const Member& kind : kinds.elements()) {
        const std::string name = kind.one_of({"time_exceeded", "unreachable", "echo"});
        read.add(name == "time_exceeded" ? AnswerKind::time_exceeded
                 : name == "unreachable" ? AnswerKind::unreachable
                                         : AnswerKind::echo);
    }
    if (read.empty()) {
        kinds.fail("names no kind of answer");
    }
    return read;
}

bool ScenarioReader::has_node(const std::string& name) const {
    return std::any_of(scenario_.nodes.begin(), scenario_.nodes.end(),
                       [&](const NodeSetting& node) { return node.name == name; });
}

const NodeSetting& ScenarioReader::known_node(const Member& name) {
    const std::string text = name.text();
    if (!has_node(text)) {
        name.fail("no node \"" + text + "\"");
    }
    return scenario_.node(text);
}

std::vector<std::string> ScenarioReader::read_route(const Member& route) {
    std::vector<std::string> names;
    for (const Member& name : route.elements()) {
        const std::string& known = known_node(name).name;
        if (std::find(names.begin(), names.end(), known) != names.end()) {
            name.fail("\"" + known + "\" comes twice on the route");
        }
        names.push_back(known);
        on_a_route_.insert(known);
    }
    if (names.empty()) {
        route.fail("names no node");
    }
    if (names.size() > 30) {
        route.fail("longer than the probe's 30 hops");
    }
    return names;
}

void ScenarioReader::check_routes(const Member& top) {
    for (const NodeSetting& node : scenario_.nodes) {
        if (!on_a_route_.contains(node.name)) {
            top.required("nodes").required(node.name).fail("on no route");
        }
    }
}

void ScenarioReader::read_links(const Member& links) {
    for (const auto& [name, link] : links.members()) {
        if (!has_node(name)) {
            link.fail("no node \"" + name + "\"");
        }
        link.expect_members({"loss", "return_loss", "bursts", "queue", "queue_filled_by"});
        LinkSetting setting;
        const auto pct = [](const Member& point) { return point.required("pct").number(0, 100); };
        if (const auto loss = link.optional("loss")) {
            setting.loss_pct = timeline<double>(*loss, true, {"pct"}, pct);
        }
        if (const auto loss = link.optional("return_loss")) {
            setting.return_loss_pct = timeline<double>(*loss, true, {"pct"}, pct);
        }
        if (const auto bursts = link.optional("bursts")) {
            bursts->expect_members({"mean_burst_ms"});
            // Shorter bursts than a millisecond are single packets: loss without bursts.
            setting.mean_burst_ms = bursts->required("mean_burst_ms").number(1, 1e7);
        }
        if (const auto queue = link.optional("queue")) {
            setting.queue = timeline<QueueLevel>(*queue, true, {"ms", "swing_ms"}, [](const Member& point) {
                QueueLevel level{point.required("ms").number(0, 60000), 0};
                if (const auto swing = point.optional("swing_ms")) {
                    level.swing_ms = swing->number(0, level.ms);
                }
                return level;
            });
        }
        if (const auto filled = link.optional("queue_filled_by")) {
            setting.queue_filled_by = filled->one_of({"own_upload", "cross_traffic"});
        }
        scenario_.links.emplace(name, std::move(setting));
    }
}

void ScenarioReader::read_host(const Member& host) {
    host.expect_members({"upload", "other_probers"});
    if (const auto upload = host.optional("upload")) {
        scenario_.upload =
            timeline<UploadSetting>(*upload, false, {"process", "mbps", "saturating"}, [](const Member& point) {
                UploadSetting setting{point.required("process").text(), 0, false};
                if (const auto mbps = point.optional("mbps")) {
                    setting.mbps = mbps->number(0, 1e6);
                }
                if (const auto saturating = point.optional("saturating")) {
                    setting.saturating = saturating->flag();
                }
                return setting;
            });
    }
    if (const auto probers = host.optional("other_probers")) {
        for (const Member& prober : probers->elements()) {
            prober.expect_members({"from_s", "until_s", "per_s", "to", "kinds"});
            OtherProberSetting setting;
            if (const auto from = prober.optional("from_s")) {
                setting.from = time(*from);
                note_time(setting.from.hi);
            }
            if (const auto until = prober.optional("until_s")) {
                setting.until = time(*until);
                if (setting.until->lo <= setting.from.hi) {
                    until->fail("may come before from_s");
                }
                note_time(setting.until->hi);
            }
            if (const auto per_s = prober.optional("per_s")) {
                setting.per_s = per_s->positive(1000);
            }
            if (const auto to = prober.optional("to")) {
                if (to->is_string()) {
                    to->one_of({"every_hop"});
                } else {
                    for (const Member& name : to->elements()) {
                        setting.to.push_back(known_node(name).name);
                    }
                    if (setting.to.empty()) {
                        to->fail("names no node");
                    }
                }
            }
            if (const auto kinds = prober.optional("kinds")) {
                setting.kinds = read_kinds(*kinds);
            }
            scenario_.other_probers.push_back(std::move(setting));
        }
    }
}

std::optional<ExpectedDiagnosis> ScenarioReader::read_diagnosis(const Member& diagnosis) {
    if (diagnosis.is_null()) {
        return std::nullopt;
    }
    diagnosis.expect_members({"node", "cause"});
    return ExpectedDiagnosis{
        known_node(diagnosis.required("node")).name,
        diagnosis.required("cause").one_of({"hardware", "isp", "saturation", "congestion", "unknown"})};
}

void ScenarioReader::read_expect(const Member& expect) {
    expect.expect_members({"degradation", "latency", "route_change", "fault_at_s"});
    if (const auto degradation = expect.optional("degradation")) {
        scenario_.expect.degradation = read_diagnosis(*degradation);
    }
    if (const auto latency = expect.optional("latency")) {
        scenario_.expect.latency = read_diagnosis(*latency);
    }
    if (const auto route_change = expect.optional("route_change")) {
        scenario_.expect.route_change = route_change->flag();
        if (scenario_.expect.route_change && scenario_.route_changes.empty()) {
            route_change->fail("the route never changes");
        }
    }
    if (const auto fault = expect.optional("fault_at_s")) {
        scenario_.expect.fault_at_s = fault->number(0, infinite);
    }
    check_fault_times(expect);
}

// Without fault_at_s, the fault's time comes from the faulty link, which must have one.
void ScenarioReader::check_fault_times(const Member& expect) {
    if (scenario_.expect.fault_at_s) {
        return;
    }
    const auto link_of = [&](const ExpectedDiagnosis& diagnosis) {
        const auto found = scenario_.links.find(diagnosis.node);
        return found == scenario_.links.end() ? LinkSetting{} : found->second;
    };
    const auto highest = [](const auto& points, auto level) {
        double most = 0;
        for (const auto& point : points) {
            most = std::max(most, level(point.value));
        }
        return most;
    };
    const auto same = [](double value) { return value; };
    if (const auto& degradation = scenario_.expect.degradation) {
        const LinkSetting link = link_of(*degradation);
        if (highest(link.loss_pct, same) <= 0 && highest(link.return_loss_pct, same) <= 0) {
            expect.required("degradation")
                .fail("the link into \"" + degradation->node + "\" never loses: give expect.fault_at_s");
        }
    }
    if (const auto& latency = scenario_.expect.latency) {
        if (highest(link_of(*latency).queue, [](const QueueLevel& level) { return level.ms; }) <= 0) {
            expect.required("latency").fail("no queue ever stands on the link into \"" + latency->node +
                                            "\": give expect.fault_at_s");
        }
    }
}

void ScenarioReader::give_defaults(const Member& top) {
    if (const auto duration = top.optional("duration_s")) {
        scenario_.duration_s = duration->number(1, 7 * 86400);
    } else {
        scenario_.duration_s = latest_ + after_latest_s;
    }
    // Addresses: 10.0.0.N in the order of the nodes, past any a file gives.
    std::set<packets::IpAddress> taken{numbered_address(0)};
    for (const NodeSetting& node : scenario_.nodes) {
        if (node.address != packets::IpAddress{} && !taken.insert(node.address).second) {
            top.required("nodes").required(node.name).required("addr").fail("taken by another node or the host");
        }
    }
    std::uint32_t next = 1;
    for (NodeSetting& node : scenario_.nodes) {
        if (node.address == packets::IpAddress{}) {
            while (taken.contains(packets::IpAddress(packets::Ipv4(0x0A000000u + next)))) {
                ++next;
            }
            node.address = packets::IpAddress(packets::Ipv4(0x0A000000u + next++));
        }
    }
    // Round trips: 1 ms and 2 more per hop, at the node's place on the first route it is on.
    std::vector<const std::vector<std::string>*> routes{&scenario_.route};
    for (const auto& balanced : scenario_.balanced_routes) {
        routes.push_back(&balanced);
    }
    for (const ScheduledRoute& change : scenario_.route_changes) {
        routes.push_back(&change.route);
    }
    for (NodeSetting& node : scenario_.nodes) {
        if (node.rtt_ms > 0) {
            continue;
        }
        for (const auto* route : routes) {
            const auto place = std::find(route->begin(), route->end(), node.name);
            if (place != route->end()) {
                node.rtt_ms = 1.0 + 2.0 * static_cast<double>(place - route->begin() + 1);
                break;
            }
        }
    }
}

}  // namespace

const NodeSetting& ScenarioFile::node(std::string_view wanted) const {
    const auto found =
        std::find_if(nodes.begin(), nodes.end(), [&](const NodeSetting& each) { return each.name == wanted; });
    if (found == nodes.end()) {
        throw ScenarioError(file + ": no node \"" + std::string(wanted) + "\"");
    }
    return *found;
}

std::optional<LimitRule> limit_preset(std::string_view name) {
    const AnswerKinds errors{AnswerKind::time_exceeded, AnswerKind::unreachable};
    if (name == "linux") {
        return LimitRule{.per_s = 1.0, .burst = 6.0, .global = false, .applies_to = errors};
    }
    if (name == "cisco") {
        return LimitRule{.per_s = 2.0, .burst = 1.0, .global = true, .applies_to = errors};
    }
    if (name == "juniper") {
        return LimitRule{.per_s = 500.0, .burst = 500.0, .global = true, .applies_to = {AnswerKind::time_exceeded}};
    }
    if (name == "per_interface_100_per_10s") {
        return LimitRule{.per_s = 10.0, .burst = 100.0, .global = true, .applies_to = errors};
    }
    return std::nullopt;
}

ScenarioFile parse_scenario(std::string_view text, const std::string& file) {
    Json top;
    try {
        top = Json::parse(text, nullptr, true, true);
    } catch (const Json::parse_error& error) {
        throw ScenarioError(file + ": not JSON: " + error.what());
    }
    ScenarioFile scenario;
    scenario.file = file;
    ScenarioReader(scenario).read(Member(top, "", scenario.file));
    return scenario;
}

ScenarioFile read_scenario(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ScenarioError(path.string() + ": cannot be read");
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parse_scenario(text.str(), path.string());
}

std::vector<ScenarioFile> read_scenarios(const std::filesystem::path& folder) {
    std::error_code error;
    std::vector<std::filesystem::path> paths;
    for (auto entry = std::filesystem::recursive_directory_iterator(folder, error);
         !error && entry != std::filesystem::recursive_directory_iterator(); entry.increment(error)) {
        if (entry->is_regular_file() && entry->path().extension() == ".json") {
            paths.push_back(entry->path());
        }
    }
    if (error) {
        throw ScenarioError(folder.string() + ": " + error.message());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<ScenarioFile> scenarios;
    std::map<std::string, std::string> files_by_name;
    for (const auto& path : paths) {
        scenarios.push_back(read_scenario(path));
        const auto [named, fresh] = files_by_name.emplace(scenarios.back().name, path.string());
        if (!fresh) {
            throw ScenarioError(path.string() + ": name: \"" + named->first + "\" is also the name in " +
                                named->second);
        }
    }
    return scenarios;
}

RunTimes::RunTimes(const ScenarioFile& scenario, std::uint64_t seed) {
    Random random(mix_seed(seed));
    draws_.reserve(scenario.ranges);
    for (std::size_t index = 0; index < scenario.ranges; ++index) {
        draws_.push_back(unit_draw(random));
    }
}

double RunTimes::at(const TimeRange& time) const { return time.lo + (time.hi - time.lo) * draws_.at(time.draw); }

}  // namespace tarnvale::sim
