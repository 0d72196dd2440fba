#include "engines/attr/accumulator.hpp"

#include "log/log.hpp"

namespace tarnvale::engines::attr {

namespace {

constexpr auto target_log = log::target::attr;

// Headers up to the ports are all that is read. Frames come in batches: the
// kernel hands over a block of them when it fills or 100 ms after its first
// frame, one wake-up where immediate delivery had one per frame; a one-second
// report cycle needs nothing sooner. The timeout also lets the thread notice
// that its engine stopped.
// The kernel's ring is cut into blocks of 256 KiB, each handed over when full
// or 100 ms after its first frame: at a few thousand frames a second the
// library's 2 MB hold under a second of traffic, and a loaded host may keep
// the thread from reading for longer (in a sanitized build beside a compiler,
// 1 frame in 7 was dropped). 8 MB hold over three seconds.
// IPv6 frames whose TCP or UDP header follows extension headers are not
// "tcp or udp" to the filter, which reads only the fixed header's next-header
// field: every IPv6 frame but ICMPv6 comes, and the parser walks its chain.
capture::ReceiverSetup accumulator_capture_setup() {
    return {{std::nullopt,
             {false, 96, 100, false, 8 * 1024 * 1024},
             "tcp or udp or (ip6 and not icmp6)",
             false,
             target_log,
             capture::DeviceChoice::traffic},
            {"pcap open failed in attr accumulator", "BPF filter failed in attr accumulator",
             "attr: capture datalink type", "pcap error in attr accumulator",
             capture::DeviceChoiceLines{"pcap device list failed in attr", "attr: no suitable pcap device found",
                                        "attr: selected capture device"}}};
}

}  // namespace

void run_accumulator(AccumulatorShared shared, capture::ReceiverCapture capture) {
    capture::ReceiverSetup setup = accumulator_capture_setup();
    setup.request.device = std::move(capture.device);
    setup.network = std::move(capture.network);
    std::uint64_t counted = 0;
    FragmentPorts fragments;
    LocalAddressBook::Reader local(*shared.local);
    const auto counts = capture::run_capture_receiver(
        *capture.opener, setup, *capture.status, *shared.stop,
        [&shared, &counted, &fragments, &local](const capture::CapturedDatagram& datagram) {
            constexpr std::size_t link_header = 0;  // the receiver removed it
            counted += account_frame(datagram.bytes, datagram.wire_length, link_header, local.addresses(),
                                     *shared.flows, fragments)
                           ? 1
                           : 0;
        });
    if (counts) {
        log::info(target_log, "attr accumulator stopped",
                  {{"received", counts->received}, {"dropped", counts->dropped}, {"counted", counted}});
    }
}

}  // namespace tarnvale::engines::attr
