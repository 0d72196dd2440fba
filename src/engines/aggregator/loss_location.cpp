#include "engines/aggregator/loss_location.hpp"

#include <algorithm>
#include <cmath>

#include "engines/aggregator/tail_probability.hpp"

namespace tarnvale::engines::aggregator {

namespace {

bool clearly_fewer(Counts a, Counts b, double error_rate) {
    return a.outcomes > 0 && fewer_losses_probability(a.lost, a.outcomes, b.lost, b.outcomes) < error_rate;
}

bool clearly_more(Counts a, Counts b, double error_rate) {
    return a.outcomes > 0 && more_losses_probability(a.lost, a.outcomes, b.lost, b.outcomes) < error_rate;
}

Counts pooled(const std::vector<Counts>& evidence, const std::vector<std::size_t>& hops) {
    Counts all;
    for (const std::size_t hop : hops) {
        all = all + evidence[hop];
    }
    return all;
}

// The same loss rate over no more than `outcomes`.
Counts at_most(Counts counts, std::uint64_t outcomes) {
    if (counts.outcomes <= outcomes) {
        return counts;
    }
    const double share = static_cast<double>(outcomes) / static_cast<double>(counts.outcomes);
    return {outcomes, static_cast<std::uint64_t>(std::llround(static_cast<double>(counts.lost) * share))};
}

// A hop's answers against the rest of the segment's, report interval by
// interval: a loss that began within the window shows at its full rate in the
// intervals since, where totals over the window would thin it out. The hops
// of a path report together in each cycle, so the intervals match from the
// newest back.
std::vector<PairedCounts> against_rest(const std::vector<std::vector<Counts>>& by_interval, std::size_t hop,
                                       const std::vector<std::size_t>& segment) {
    const std::vector<Counts>& own = by_interval[hop];
    std::vector<PairedCounts> stretches(own.size());
    for (std::size_t back = 0; back < own.size(); ++back) {
        PairedCounts& stretch = stretches[own.size() - 1 - back];
        stretch.first = own[own.size() - 1 - back];
        for (const std::size_t other : segment) {
            const std::vector<Counts>& theirs = by_interval[other];
            if (other != hop && back < theirs.size()) {
                stretch.second = stretch.second + theirs[theirs.size() - 1 - back];
            }
        }
    }
    return stretches;
}

// Whether a hop loses at least half of what the rest's loss, interval by
// interval, would have it lose (over the intervals the rest has answers in).
// Where a link loses in bursts, a far hop's probe and its answer cross it
// further apart than a near hop's, so seldom in the same good spell, and far
// hops lose more than near ones behind the same link: a hop that shows half of
// the loss carries it, though less than the rest.
bool shows_half_the_loss(std::span<const PairedCounts> stretches) {
    double lost = 0;
    double expected = 0;
    for (const auto& [own, rest] : stretches) {
        if (rest.outcomes > 0) {
            lost += static_cast<double>(own.lost);
            expected += static_cast<double>(own.outcomes) * static_cast<double>(rest.lost) /
                        static_cast<double>(rest.outcomes);
        }
    }
    return lost >= expected / 2;
}

// Whether a hop's probes lose clearly more than `others`: answers it declines
// of its own, unless their excess over its echo replies is the path's.
bool declines_more(const HopEvidence& hop, Counts others, double error_rate) {
    return !hop.echo_advantage_of_path && clearly_more(hop.total.probes, others, error_rate);
}

}  // namespace

LossComparison compare_losses(std::span<const PairedCounts> stretches, double error_rate) {
    double observed = 0;
    double expected = 0;
    double variance = 0;
    for (const auto& [first, second] : stretches) {
        const auto firsts = static_cast<double>(first.outcomes);
        const auto all = firsts + static_cast<double>(second.outcomes);
        const auto lost = static_cast<double>(first.lost + second.lost);
        if (all < 2 || lost == 0 || lost == all || firsts == 0 || firsts == all) {
            continue;  // tells nothing of a difference
        }
        observed += static_cast<double>(first.lost);
        expected += firsts * lost / all;
        variance += firsts * (all - firsts) * lost * (all - lost) / (all * all * (all - 1));
    }
    if (variance <= 0) {
        return LossComparison::alike;
    }
    const double bound = normal_upper_quantile(error_rate) * std::sqrt(variance) + 0.5;
    if (observed < expected - bound) {
        return LossComparison::fewer;
    }
    return observed > expected + bound ? LossComparison::more : LossComparison::alike;
}

LossComparison compare_echoes_with_probes(const std::vector<AnswerCounts>& intervals, double error_rate) {
    std::vector<PairedCounts> stretches;
    stretches.reserve(intervals.size());
    for (const AnswerCounts& interval : intervals) {
        stretches.push_back({interval.echoes, interval.probes});
    }
    const LossComparison echoes = compare_losses(stretches, error_rate);
    // Pings outnumber probes five to one, so a chance shortfall of a hop's few
    // probes shows as its pings losing more, and its probes alone, the unlucky
    // ones, would then speak for it, every so often over hours. A router that
    // polices pings declines most of them: that shows at a far stricter rate.
    if (echoes == LossComparison::more &&
        compare_losses(stretches, error_rate / ping_policing_strictness) != LossComparison::more) {
        return LossComparison::alike;
    }
    return echoes;
}

namespace {

// A stretch's ICMP answers as the comparison of the hop's echo replies with its probes chose them.
Counts icmp_answers(const AnswerCounts& counts, LossComparison echoes) {
    switch (echoes) {
        case LossComparison::fewer:
            return counts.echoes;
        case LossComparison::more:
            return counts.probes;
        case LossComparison::alike:
            break;
    }
    return counts.probes + counts.echoes;
}

}  // namespace

LossComparison HopEvidence::echoes_against_probes() const {
    if (probes_alone) {
        return LossComparison::more;
    }
    const LossComparison echoes = compare_echoes_with_probes(intervals, location_error_rate);
    return echoes == LossComparison::fewer && echo_advantage_of_path ? LossComparison::alike : echoes;
}

void judge_echo_advantages(std::span<HopEvidence> path) {
    if (path.empty()) {
        return;
    }
    std::vector<LossComparison> echoes;
    for (HopEvidence& hop : path) {
        hop.echo_advantage_of_path = false;
        echoes.push_back(hop.echoes_against_probes());
    }
    const HopEvidence& target = path.back();
    // A hop in front whose probes tell of the path (its echo replies lose no
    // fewer) and lose clearly fewer: the loss begins between the two.
    const auto clean_in_front = [&](std::size_t hop, Counts probes) {
        for (std::size_t lower = 0; lower < hop; ++lower) {
            if (echoes[lower] != LossComparison::fewer &&
                clearly_fewer(path[lower].total.probes, probes, location_error_rate)) {
                return true;
            }
        }
        return false;
    };
    Counts behind;
    for (std::size_t hop = path.size(); hop-- > 0;) {
        const Counts probes = path[hop].total.probes;
        // The target, with no hop behind it, is held to its TCP answers alone.
        const bool more_than_behind = hop + 1 == path.size() ? !target.tcp_answered()
                                                             : clearly_more(probes, behind, location_error_rate);
        const bool target_shows_clean =
            target.tcp_answered() && clearly_fewer(target.total.tcp, probes, location_error_rate);
        behind = behind + probes;
        if (echoes[hop] != LossComparison::fewer || more_than_behind || target_shows_clean) {
            continue;
        }
        path[hop].echo_advantage_of_path = clean_in_front(hop, probes);
    }
}

HopEvidence::Kinds HopEvidence::telling_kinds() const {
    const Kinds icmp{false, echoes_against_probes()};
    if (probes_alone || total.tcp.lost == total.tcp.outcomes) {
        return icmp;  // no TCP answers that tell of the path (none asked, or a silent port)
    }
    std::vector<PairedCounts> stretches;
    stretches.reserve(intervals.size());
    for (const AnswerCounts& interval : intervals) {
        stretches.push_back({answers_of(interval, icmp), interval.tcp});
    }
    // Where the two agree, ICMP alone: the TCP answers would add little and,
    // with ICMP's, would weigh one hop's evidence twice as much as its
    // neighbours', which bursts of loss would then move from hop to hop.
    return compare_losses(stretches, location_error_rate) == LossComparison::more ? Kinds{true, icmp.echoes} : icmp;
}

Counts HopEvidence::answers_of(const AnswerCounts& counts, Kinds kinds) {
    return kinds.tcp ? counts.tcp : icmp_answers(counts, kinds.echoes);
}

Counts HopEvidence::answers() const { return answers_of(total, telling_kinds()); }

HopEvidence::Answers HopEvidence::answers_with_intervals() const {
    const Kinds kinds = telling_kinds();
    Answers answers{.total = answers_of(total, kinds), .by_interval = {}};
    answers.by_interval.reserve(intervals.size());
    for (const AnswerCounts& interval : intervals) {
        answers.by_interval.push_back(answers_of(interval, kinds));
    }
    return answers;
}

bool HopEvidence::tcp_answered() const { return total.tcp.lost < total.tcp.outcomes; }

bool loss_rose(std::span<const HopEvidence> window, std::span<const HopEvidence> recent,
               std::span<const std::size_t> showing, double error_rate) {
    Counts now;
    Counts all;
    for (const std::size_t hop : showing) {
        // The kinds of answers that tell of the path over the whole window: a
        // server that declines most probes but answers every ping is judged by its pings.
        const LossComparison echoes = window[hop].echoes_against_probes();
        const Counts hop_now = icmp_answers(recent[hop].total, echoes);
        const Counts hop_all = icmp_answers(window[hop].total, echoes);
        if (hop_now.outcomes > hop_all.outcomes || hop_now.lost > hop_all.lost) {
            return false;  // not the same hop's record (it was begun afresh in between)
        }
        now = now + hop_now;
        all = all + hop_all;
    }
    return clearly_fewer(all - now, now, error_rate);
}

Counts HopEvidence::confirming() const { return tcp_answered() ? total.tcp : total.echoes; }

std::optional<LossOnset> loss_begins_at(std::span<const HopEvidence> path, std::size_t first) {
    std::vector<Counts> evidence;
    std::vector<std::vector<Counts>> by_interval;
    for (const HopEvidence& hop : path) {
        HopEvidence::Answers answers = hop.answers_with_intervals();
        evidence.push_back(answers.total);
        by_interval.push_back(std::move(answers.by_interval));
    }
    std::vector<std::size_t> showing;
    std::vector<std::size_t> behind_first;
    for (std::size_t hop = first; hop < path.size(); ++hop) {
        showing.push_back(hop);
        if (hop > first) {
            behind_first.push_back(hop);
        }
    }
    // Each hop of the segment is compared with the rest of it, so the error rate
    // is shared among them. The hop in front is held to a stricter rate than
    // that: it is the comparison that a segment begun one hop lower makes of its
    // first hop, so that a segment one hop too low fails before this one passes.
    const double per_hop = location_error_rate / static_cast<double>(showing.size());
    double in_front = location_error_rate / static_cast<double>(showing.size() + 1);
    // A first hop whose probes show more than the hops behind it declines answers
    // of its own. On top of a loss in front of it, it shows that loss too, and
    // the hops behind carry it. Where it answers pings, its echo replies tell
    // which: they must show the loss as well, or it is behind the router.
    std::vector<Counts> must_show;
    if (!behind_first.empty()) {
        const Counts behind = pooled(evidence, behind_first);
        if (declines_more(path[first], behind, per_hop)) {
            const HopEvidence& router = path[first];
            const Counts echoes = router.total.echoes;
            if (echoes.outcomes > 0 &&
                compare_echoes_with_probes(router.intervals, location_error_rate) != LossComparison::more) {
                if (clearly_fewer(echoes, behind, per_hop)) {
                    return std::nullopt;
                }
                must_show.push_back(echoes);
                // The hops behind it are judged as the segment begun at the
                // next hop would judge them, which they are: the router's pings
                // show the loss on top of what they show, so that segment must
                // not pass where this one fails.
                in_front = location_error_rate / static_cast<double>(behind_first.size() + 1);
            }
            showing = behind_first;
        }
    }
    // The last hop, with nothing behind it, may decline answers of its own on
    // top of the loss in front of it (servers and the last router before a
    // silent target limit their ICMP): its excess tells nothing of the path,
    // and the hops in front of it carry the loss.
    if (showing.size() > 1) {
        const Counts last_hop = evidence[showing.back()];
        if (clearly_more(last_hop, pooled(evidence, showing) - last_hop, per_hop)) {
            showing.pop_back();
        }
    }
    const Counts all = pooled(evidence, showing);
    if (all.lost == 0) {
        return std::nullopt;
    }
    bool first_shows_half = true;
    for (const std::size_t hop : showing) {
        const auto stretches = against_rest(by_interval, hop, showing);
        const bool shows_half = shows_half_the_loss(stretches);
        if (clearly_fewer(evidence[hop], all - evidence[hop], per_hop) && !shows_half) {
            return std::nullopt;
        }
        first_shows_half = first_shows_half && (hop != showing.front() || shows_half);
    }
    // The hop in front: the nearest lower hop, passing over routers that decline
    // more answers than the segment loses (their excess is their own, so their
    // probes tell nothing of the link; their echo replies may, when the router
    // answers them). In front of the first hop is the host itself, which loses
    // nothing. Either is held to no more outcomes than the segment's first hop
    // has: were its record the longer, a first hop as clean as it could fail to
    // show itself clean while it did, and the loss would be named a hop too far.
    const std::uint64_t first_outcomes = evidence[showing.front()].outcomes;
    LossOnset onset{.showing = showing, .front = std::nullopt};
    for (std::size_t lower = first; lower-- > 0;) {
        const Counts echoes = path[lower].total.echoes;
        if (!declines_more(path[lower], all, in_front)) {
            onset.front = evidence[lower];
            break;
        }
        if (echoes.outcomes > 0 && !clearly_more(echoes, all, in_front)) {
            onset.front = echoes;
            break;
        }
    }
    const Counts front = onset.front ? at_most(*onset.front, first_outcomes) : Counts{first_outcomes, 0};
    if (!clearly_fewer(front, all, in_front)) {
        return std::nullopt;
    }
    // Nor does a loss begin at a first hop that shows neither half of it nor
    // clearly more than the hop in front: where every link loses a little, the
    // hops' losses grow along the path, and a step further on would otherwise
    // be placed at the first hop that loses a little more than the one in front.
    if (!first_shows_half && !clearly_fewer(front, evidence[showing.front()], in_front)) {
        return std::nullopt;
    }
    // Nothing behind the last hop can confirm a loss that only it shows, nor
    // can a last hop that declines answers of its own confirm the loss of the
    // one hop in front of it (a single hop showing is one or the other): the
    // answers of that hop that ICMP limits touch least must show it too, or it
    // may be its own limit.
    if (showing.size() == 1) {
        must_show.push_back(path[showing.front()].confirming());
    }
    if (std::ranges::any_of(must_show, [&](Counts shown) { return !clearly_fewer(front, shown, in_front); })) {
        return std::nullopt;
    }
    return onset;
}

}  // namespace tarnvale::engines::aggregator
