// Holds every packet of one netfilter queue for a fixed time, then lets it go on:
// the test network's link delay, in place of a queueing discipline this kernel
// lacks. Runs inside the namespace whose nftables rules feed the queue.
//
// Usage: tarnvale_link_delayer QUEUE DELAY_MS
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
#include <deque>
#include <string_view>

namespace {

using Clock = std::chrono::steady_clock;

struct HeldPacket {
    std::uint32_t id;
    Clock::time_point release;
};

struct Delayer {
    Clock::duration delay;
    std::deque<HeldPacket> held;  // release times only grow, so the front is always due first
};

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

int hold_packet(nfq_q_handle*, nfgenmsg*, nfq_data* packet, void* context) {
    auto& delayer = *static_cast<Delayer*>(context);
    const nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(packet);
    if (header != nullptr) {
        delayer.held.push_back({ntohl(header->packet_id), Clock::now() + delayer.delay});
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

}  // namespace

int main(int argc, char** argv) {
    unsigned queue = 0;
    unsigned delay_ms = 0;
    if (argc != 3 || !parse_unsigned(argv[1], queue) || queue > 65535 || !parse_unsigned(argv[2], delay_ms)) {
        std::fprintf(stderr, "usage: tarnvale_link_delayer QUEUE DELAY_MS\n");
        return 2;
    }
    std::signal(SIGTERM, request_stop);
    std::signal(SIGINT, request_stop);

    Delayer delayer{std::chrono::milliseconds(delay_ms), {}};
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
        while (!delayer.held.empty() && delayer.held.front().release <= now) {
            nfq_set_verdict(queue_handle, delayer.held.front().id, NF_ACCEPT, 0, nullptr);
            delayer.held.pop_front();
        }
        timespec wait{1, 0};
        if (!delayer.held.empty()) {
            const auto remaining =
                std::chrono::duration_cast<std::chrono::nanoseconds>(delayer.held.front().release - now);
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
