#include "platform/capture_library.hpp"
#include "platform/windows/windows_api.hpp"

namespace tarnvale::platform {

namespace {

// Npcap installs wpcap.dll (and the Packet.dll it needs) in System32\Npcap;
// failing that, a wpcap.dll on the usual search path (WinPcap, or Wine's own).
HMODULE load_wpcap() {
    wchar_t system[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        const std::wstring npcap = std::wstring(system, length) + L"\\Npcap\\wpcap.dll";
        if (const HMODULE module = ::LoadLibraryExW(npcap.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) {
            return module;
        }
    }
    return ::LoadLibraryW(L"wpcap.dll");
}

template <typename Function>
bool find(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    return function != nullptr;
}

struct Loaded {
    CaptureLibrary library{};
    std::string error;
    bool ready = false;
};

Loaded load() {
    Loaded loaded;
    const HMODULE module = load_wpcap();
    if (module == nullptr) {
        loaded.error = "wpcap.dll not found (is Npcap installed?)";
        return loaded;
    }
    CaptureLibrary& l = loaded.library;
    loaded.ready = find(module, "pcap_findalldevs", l.findalldevs) && find(module, "pcap_freealldevs", l.freealldevs) &&
                   find(module, "pcap_create", l.create) && find(module, "pcap_set_promisc", l.set_promisc) &&
                   find(module, "pcap_set_snaplen", l.set_snaplen) && find(module, "pcap_set_timeout", l.set_timeout) &&
                   find(module, "pcap_activate", l.activate) && find(module, "pcap_statustostr", l.statustostr) &&
                   find(module, "pcap_setnonblock", l.setnonblock) && find(module, "pcap_geterr", l.geterr) &&
                   find(module, "pcap_close", l.close) && find(module, "pcap_datalink", l.datalink) &&
                   find(module, "pcap_compile", l.compile) && find(module, "pcap_setfilter", l.setfilter) &&
                   find(module, "pcap_freecode", l.freecode) && find(module, "pcap_next_ex", l.next_ex) &&
                   find(module, "pcap_stats", l.stats);
    // Older capture libraries (WinPcap, Wine's) lack immediate mode: packets then
    // come when the driver's buffer fills or the read timeout passes.
    find(module, "pcap_set_immediate_mode", l.set_immediate_mode);
    find(module, "pcap_set_buffer_size", l.set_buffer_size);
    if (!loaded.ready) {
        loaded.error = "wpcap.dll lacks a function the probe needs (too old a capture library)";
    }
    return loaded;
}

}  // namespace

const CaptureLibrary* capture_library(std::string& error) {
    static const Loaded loaded = load();
    if (!loaded.ready) {
        error = loaded.error;
        return nullptr;
    }
    return &loaded.library;
}

}  // namespace tarnvale::platform
