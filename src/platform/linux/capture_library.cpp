#include <poll.h>

#include "platform/capture_library.hpp"

namespace tarnvale::platform {

const CaptureLibrary* capture_library(std::string& /*error*/) {
    static const CaptureLibrary linked{
        &pcap_findalldevs,   &pcap_freealldevs, &pcap_create,      &pcap_set_promisc, &pcap_set_snaplen,
        &pcap_set_timeout,   &pcap_set_immediate_mode, &pcap_activate, &pcap_statustostr, &pcap_setnonblock,
        &pcap_geterr,        &pcap_close,       &pcap_datalink,    &pcap_compile,     &pcap_setfilter,
        &pcap_freecode,      &pcap_next_ex,     &pcap_stats,       &pcap_set_buffer_size};
    return &linked;
}

void wait_for_capture_data(pcap_t* handle, int timeout_ms) {
    pollfd ready{pcap_get_selectable_fd(handle), POLLIN, 0};
    ::poll(&ready, 1, timeout_ms);
}

}  // namespace tarnvale::platform
