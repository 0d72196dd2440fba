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
    decltype(&::pcap_set_immediate_mode) set_immediate_mode;
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
#ifdef _WIN32
    decltype(&::pcap_getevent) getevent;  // signalled when packets are waiting
#endif
};

// The library, or nothing with the reason in `error`. Loaded once.
const CaptureLibrary* capture_library(std::string& error);

// Waits until the non-blocking capture handle has packets to read, at most `timeout_ms`.
void wait_for_capture_data(const CaptureLibrary& library, pcap_t* handle, int timeout_ms);

}  // namespace tarnvale::platform
