// Holds every packet of one netfilter queue for a fixed time, or a time drawn
// at random from a range, then lets it go on: the test network's link delay, in
// place of a queueing discipline this kernel lacks. Runs inside the namespace
// whose rules feed the queue.
//
// Usage: tarnvale_link_delayer QUEUE DELAY_MS | QUEUE LOWEST_MS-HIGHEST_MS
// Prints "ready" once the queue is bound; ends when its standard input closes
// (its owner ended) or on SIGTERM/SIGINT.

// glibc's socket headers first: the kernel's netfilter header then leaves out
// the definitions they already made.
#include <arpa/inet.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <libnfnetlink/libnfnetlink.h>
#include <linux/netfilter.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <queue>
#include <random>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct HeldPacket {
    Clock::time_point release;
    std::uint32_t id;

    bool operator>(const HeldPacket& other) const { return release > other.release; }
};

struct Delayer {
    std::uniform_int_distribution<unsigned> delay_ms;
    std::minstd_rand random{std::random_device{}()};
    // Soonest release first: with random delays a later packet may be due earlier.
    std::priority_queue<HeldPacket, std::vector<HeldPacket>, std::greater<>> held;
};

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

int hold_packet(nfq_q_handle*, nfgenmsg*, nfq_data* packet, void* context) {
    auto& delayer = *static_cast<Delayer*>(context);
    const nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(packet);
    if (header != nullptr) {
        const auto delay = std::chrono::milliseconds(delayer.delay_ms(delayer.random));
        delayer.held.push({Clock::now() + delay, ntohl(header->packet_id)});
    }
    return 0;
}

bool parse_unsigned(std::string_view text, unsigned& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size();
}

int fail(const char* what) {
    std::fprintf(stderr, "link delayer: %s: %s\n", what, std::strerror(errno));
    return 1;
}

// "20" or "20-50".
bool parse_delay(std::string_view text, unsigned& lowest, unsigned& highest) {
    const auto dash = text.find('-');
    if (dash == std::string_view::npos) {
        return parse_unsigned(text, lowest) && parse_unsigned(text, highest);
    }
    return parse_unsigned(text.substr(0, dash), lowest) && parse_unsigned(text.substr(dash + 1), highest) &&
           lowest <= highest;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned queue = 0;
    unsigned lowest_ms = 0;
    unsigned highest_ms = 0;
    if (argc != 3 || !parse_unsigned(argv[1], queue) || queue > 65535 || !parse_delay(argv[2], lowest_ms, highest_ms)) {
        std::fprintf(stderr, "usage: tarnvale_link_delayer QUEUE DELAY_MS | QUEUE LOWEST_MS-HIGHEST_MS\n");
        return 2;
    }
    std::signal(SIGTERM, request_stop);
    std::signal(SIGINT, request_stop);

    Delayer delayer;
    delayer.delay_ms = std::uniform_int_distribution<unsigned>(lowest_ms, highest_ms);
    nfq_handle* handle = nfq_open();
    if (handle == nullptr) {
        return fail("opening the netfilter queue interface");
    }
    nfq_q_handle* queue_handle = nfq_create_queue(handle, static_cast<std::uint16_t>(queue), hold_packet, &delayer);
    if (queue_handle == nullptr) {
        return fail("binding the queue");
    }
    // Only the verdict is needed, not the packet's bytes.
    if (nfq_set_mode(queue_handle, NFQNL_COPY_META, 0) < 0) {
        return fail("setting the copy mode");
    }
    // Room for bursts: a message the kernel cannot deliver leaves its packet held for good.
    nfnl_rcvbufsiz(nfq_nfnlh(handle), 4U << 20);
    std::printf("ready\n");
    std::fflush(stdout);

    const int queue_fd = nfq_fd(handle);
    char buffer[4096] __attribute__((aligned));
    while (stop_requested == 0) {
        const auto now = Clock::now();
        while (!delayer.held.empty() && delayer.held.top().release <= now) {
            nfq_set_verdict(queue_handle, delayer.held.top().id, NF_ACCEPT, 0, nullptr);
            delayer.held.pop();
        }
        timespec wait{1, 0};
        if (!delayer.held.empty()) {
            const auto remaining =
                std::chrono::duration_cast<std::chrono::nanoseconds>(delayer.held.top().release - now);
            wait = {static_cast<time_t>(remaining.count() / 1'000'000'000),
                    static_cast<long>(remaining.count() % 1'000'000'000)};
        }
        pollfd watched[2] = {{queue_fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (ppoll(watched, 2, &wait, nullptr) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail("waiting for packets");
        }
        if ((watched[1].revents & (POLLIN | POLLHUP)) != 0) {
            char discard[64];
            if (read(STDIN_FILENO, discard, sizeof discard) <= 0) {
                break;
            }
        }
        if ((watched[0].revents & POLLIN) != 0) {
            const ssize_t received = recv(queue_fd, buffer, sizeof buffer, 0);
            if (received < 0) {
                return fail("reading the queue");
            }
            nfq_handle_packet(handle, buffer, static_cast<int>(received));
        }
    }
    nfq_destroy_queue(queue_handle);
    nfq_close(handle);
    return 0;
}
