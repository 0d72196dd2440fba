#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// Where on the path loss begins, from the recent answers of every hop.
//
// Loss on the link in front of hop k shows at hop k and at every hop after it up
// to the target; a router that declines to answer some probes shows more loss at
// its own hop only. So the location is the hop where a loss begins that every
// later hop shares, with the hop in front of it clearly lower.
namespace tarnvale::engines::aggregator {

struct Counts {
    std::uint64_t outcomes = 0;
    std::uint64_t lost = 0;
};

inline Counts operator+(Counts a, Counts b) { return {a.outcomes + b.outcomes, a.lost + b.lost}; }
// What `all` holds beyond `part`, which it must contain.
inline Counts operator-(Counts all, Counts part) { return {all.outcomes - part.outcomes, all.lost - part.lost}; }

// How one kind of answers' losses compare with another's (see compare_losses).
enum class LossComparison { fewer, alike, more };

// A hop's answers of each kind over one stretch of time.
struct AnswerCounts {
    Counts probes;  // to the probes that expired there (or reached the target)
    Counts echoes;  // to the pinger's echo requests to its router
    Counts tcp;     // to TCP probes of the target (none elsewhere)
};

// One hop's answers over a recent window, in total and report by report.
struct HopEvidence {
    std::uint8_t hop;
    AnswerCounts total;
    std::vector<AnswerCounts> intervals;  // between consecutive reports, oldest first
    // Its echo replies and TCP answers may have crossed another path than its
    // probes (a hop where the paths of a balanced route join): they only
    // confirm a loss, and its probes alone tell of the path.
    bool probes_alone = false;
    // Its echo replies lose fewer than its probes for the path's sake, not for
    // a limit of its own on Time Exceeded answers (see judge_echo_advantages):
    // it is judged by both kinds.
    bool echo_advantage_of_path = false;

    // What the hop's answers tell of the path in front of it: its probes and
    // echo replies together, for each loses what that path loses; but where
    // one kind loses clearly more than another, that excess is the hop's own
    // limit on it (many routers limit their Time Exceeded answers, some police
    // pings), and the kind that loses less stands alone. A target's TCP
    // answers stand alone where its ICMP ones lose clearly more (servers limit
    // the ICMP they send); a port that a firewall keeps silent tells nothing.
    Counts answers() const;
    // The same answers over the window and report by report, as `intervals`
    // holds them, with the choice of kinds made once for both.
    struct Answers {
        Counts total;
        std::vector<Counts> by_interval;
    };
    Answers answers_with_intervals() const;
    // How its echo replies compare with its probes over the window (more:
    // its probes alone tell of the path, as where it is judged by them alone).
    LossComparison echoes_against_probes() const;
    // What must show a loss that nothing behind this hop can confirm: its
    // answers to TCP probes where it gives them (no ICMP limit touches them),
    // its echo replies otherwise.
    Counts confirming() const;
    // Whether any of its TCP probes was answered (a target with a port that answers).
    bool tcp_answered() const;

private:
    // Which kinds of answers tell of the path, as answers() chooses them: its
    // TCP answers, or its ICMP ones as its echo replies compare with its probes.
    struct Kinds {
        bool tcp;
        LossComparison echoes;
    };
    Kinds telling_kinds() const;
    static Counts answers_of(const AnswerCounts& counts, Kinds kinds);
};

// Whether the loss of the hops at `showing` (indices into both spans) rose:
// their probes and echo replies over the recent stretch (`recent`, the end of
// `window`) lose clearly more, at `error_rate`, than over the rest of the
// window before it. A router or server that limits its ICMP answers by policy
// declines them from the start; a loss that only such a hop shows, with
// nothing behind it and no TCP answer to confirm it, is told from that policy
// by its rise alone. A steady loss never rises, however long it lasts.
bool loss_rose(std::span<const HopEvidence> window, std::span<const HopEvidence> recent,
               std::span<const std::size_t> showing, double error_rate);

// How one kind's losses compare with another's over the same stretches of
// time, at the given error rate: clearly fewer, clearly more, or neither.
// Compared stretch by stretch and summed (the Mantel-Haenszel test): the
// pinger asks a router more often while its probes come back, so totals over
// a window in which the loss changed would weigh the two kinds' losses
// differently.
struct PairedCounts {
    Counts first;
    Counts second;
};
LossComparison compare_losses(std::span<const PairedCounts> stretches, double error_rate);

// How much more surely a hop's echo replies must lose more than its probes
// than fewer (see compare_echoes_with_probes).
inline constexpr double ping_policing_strictness = 10.0;

// The echo replies' losses against the probes' in each interval.
LossComparison compare_echoes_with_probes(const std::vector<AnswerCounts>& intervals, double error_rate);

// Chance of wrongly judging one path in one evaluation, shared out over the
// comparisons it makes.
inline constexpr double location_error_rate = 0.005;

// Marks the hops whose echo replies lose fewer than their probes for the
// path's sake. The pinger waits half a second for each reply that does not
// come before it pings the next router, so where a link loses packets in
// bursts, the pings after a lost one cross it once the burst has passed, and
// at every hop behind it they lose fewer than the probes, which keep their
// pace. A router that limits its Time Exceeded answers, or whose answers
// other probers spend, loses more probes than echo replies for its own sake.
// The advantage is the path's where the hop's probes lose no more than the
// probes of the hops behind it (the target, with none behind, needs TCP
// answers), a hop in front of it whose probes tell of the path (its echo
// replies lose no fewer) loses clearly fewer probes, and the target's TCP
// answers, where it gives them, do not show the path clean (another prober
// spends the answers of several hops at once, as a bursty link thins the
// probes of every hop behind it, but leaves TCP alone).
void judge_echo_advantages(std::span<HopEvidence> path);

// Where a loss begins: the indices into a path of the hops whose answers carry
// it, and the hop in front held against them.
struct LossOnset {
    std::vector<std::size_t> showing;
    // What the hop in front that showed itself clean of the loss loses of the
    // answers it was judged by (its echo replies alone where its probes were
    // declined for its own sake): the loss of the path up to where this one
    // begins. None for the host, which loses nothing.
    std::optional<Counts> front;
};

// Where the loss beginning at path[first] shows, or nothing when no loss
// begins there. `path` is the hops that answer, in hop order, the target (or
// the last hop that answers) last. Every hop from there to the end must show
// the loss alike, or at least half of it (counted report by report against the
// rest's, so that a loss begun within the window is not thinned out by the
// time before it), but for the first, which may show clearly more: a router
// that declines answers on top of the loss in front of it (then the hops
// behind it carry the loss), unless its echo replies show clearly less than
// they; and but for the last, which may show clearly more too: a server or a
// last router that limits its ICMP on top of the loss (then the hops in front
// of it carry the loss). The hop in front must show clearly less (in front of
// the first hop is the host, which loses nothing), and the first hop that
// carries the loss half of it, or clearly more than the hop in front. A loss
// that would rest on one hop with no hop behind to confirm it (the last, or
// the one in front of a last hop that declines more) needs that hop's
// confirming answers to show it too.
std::optional<LossOnset> loss_begins_at(std::span<const HopEvidence> path, std::size_t first);

}  // namespace tarnvale::engines::aggregator
