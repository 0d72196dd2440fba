#pragma once

#include <pcap/pcap.h>

#include <string>

namespace tarnvale::platform {

// The capture library's functions the probe uses. Linked in on Linux; on
// Windows loaded at run time from the Npcap driver's folder, so that a machine
// without the driver still starts and reports that capture is unavailable.
struct CaptureLibrary {
    decltype(&::pcap_findalldevs) findalldevs;
    decltype(&::pcap_freealldevs) freealldevs;
    decltype(&::pcap_create) create;
    decltype(&::pcap_set_promisc) set_promisc;
    decltype(&::pcap_set_snaplen) set_snaplen;
    decltype(&::pcap_set_timeout) set_timeout;
    decltype(&::pcap_set_immediate_mode) set_immediate_mode;  // null where the library lacks it
    decltype(&::pcap_activate) activate;
    decltype(&::pcap_statustostr) statustostr;
    decltype(&::pcap_setnonblock) setnonblock;
    decltype(&::pcap_geterr) geterr;
    decltype(&::pcap_close) close;
    decltype(&::pcap_datalink) datalink;
    decltype(&::pcap_compile) compile;
    decltype(&::pcap_setfilter) setfilter;
    decltype(&::pcap_freecode) freecode;
    decltype(&::pcap_next_ex) next_ex;
    decltype(&::pcap_stats) stats;
    decltype(&::pcap_set_buffer_size) set_buffer_size;  // null where the library lacks it
};

// The library, or nothing with the reason in `error`. Loaded once.
const CaptureLibrary* capture_library(std::string& error);

#ifdef _WIN32
// The driver ends a blocking read when the read timeout passes without packets.
inline constexpr bool blocking_reads_time_out = true;
#else
// A blocking read on Linux does not return when the read timeout passes without
// a packet (the kernel ring's block timer only runs once a packet came), so a
// read timeout is kept by a non-blocking handle and a wait for readiness.
inline constexpr bool blocking_reads_time_out = false;

// Waits until the non-blocking capture handle has packets to read, at most `timeout_ms`.
void wait_for_capture_data(pcap_t* handle, int timeout_ms);
#endif

}  // namespace tarnvale::platform
