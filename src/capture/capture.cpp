#include "capture/capture.hpp"

#include <algorithm>
#include <array>

#include "log/fill.hpp"
#include "log/log.hpp"
#include "platform/capture_library.hpp"
#include "platform/socket_address.hpp"

namespace tarnvale::capture {

namespace {

pcap_t* handle_of(void* handle) { return static_cast<pcap_t*>(handle); }

constexpr std::array<std::string_view, 3> exclusion_words = {"loopback", "hyper-v", "npcap loopback"};

// Device names are ASCII on every system the probe runs on (interface names,
// \Device\NPF_{GUID}). Descriptions may not be, but the words looked for are
// ASCII, and the only non-ASCII letter whose lower case is an ASCII letter is
// the Kelvin sign (U+212A, lower case "k"), so ASCII lower-casing plus that one
// finds exactly what full lower-casing would.
std::string lower_case(std::string_view name) {
    constexpr std::string_view kelvin_sign = "\xE2\x84\xAA";
    std::string lowered;
    lowered.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name.substr(i, kelvin_sign.size()) == kelvin_sign) {
            lowered += 'k';
            i += kelvin_sign.size() - 1;
        } else {
            const char c = name[i];
            lowered += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        }
    }
    return lowered;
}

bool contains_any(std::string_view text, std::span<const std::string_view> words) {
    return std::any_of(words.begin(), words.end(),
                       [text](std::string_view word) { return text.find(word) != std::string_view::npos; });
}

std::string addresses_text(const std::vector<packets::Ipv4>& addresses) {
    std::string text = "[";
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        text += (i > 0 ? ", " : "") + packets::to_text(addresses[i]);
    }
    return text + "]";
}

}  // namespace

std::variant<std::vector<CaptureDevice>, std::string> list_capture_devices() {
    std::string unavailable;
    const platform::CaptureLibrary* library = platform::capture_library(unavailable);
    if (library == nullptr) {
        return unavailable;
    }
    std::array<char, PCAP_ERRBUF_SIZE> error{};
    pcap_if_t* first = nullptr;
    if (library->findalldevs(&first, error.data()) != 0) {
        return std::string(error.data());
    }
    std::vector<CaptureDevice> devices;
    for (const pcap_if_t* device = first; device != nullptr; device = device->next) {
        CaptureDevice record{device->name, std::nullopt, {}};
        if (device->description != nullptr) {
            record.description = device->description;
        }
        for (const pcap_addr_t* entry = device->addresses; entry != nullptr; entry = entry->next) {
            // The library sizes each address for its family.
            const auto address = platform::address_of(entry->addr, sizeof(sockaddr_in6));
            if (address && address->is_v4()) {
                record.ipv4_addresses.push_back(address->v4());
            } else if (address) {
                record.ipv6_addresses.push_back(*address);
            }
        }
        devices.push_back(std::move(record));
    }
    library->freealldevs(first);
    return devices;
}

bool is_usable_address(packets::Ipv4 address) {
    return !packets::in_network(address, packets::Ipv4(0x7F000000), 8) &&
           !packets::in_network(address, packets::Ipv4(0xA9FE0000), 16) && address != packets::Ipv4();
}

bool is_global_ipv6(const packets::IpAddress& address) {
    return !address.is_v4() && (address.octets()[0] & 0xE0U) == 0x20U;
}

namespace {

// The first device that `eligible` admits and that has an address `usable` admits, IPv4 ones first.
template <typename Eligible, typename Usable>
const CaptureDevice* first_with_address(const std::vector<CaptureDevice>& devices, Eligible eligible,
                                        Usable usable) {
    for (const CaptureDevice& device : devices) {
        if (eligible(device) && std::any_of(device.ipv4_addresses.begin(), device.ipv4_addresses.end(), usable)) {
            return &device;
        }
    }
    for (const CaptureDevice& device : devices) {
        if (eligible(device) &&
            std::any_of(device.ipv6_addresses.begin(), device.ipv6_addresses.end(), is_global_ipv6)) {
            return &device;
        }
    }
    return nullptr;
}

// The device with this address, if any.
const CaptureDevice* device_holding(const std::vector<CaptureDevice>& devices, const packets::IpAddress& address) {
    const auto holds = [&address](const CaptureDevice& device) {
        if (address.is_v4()) {
            return std::find(device.ipv4_addresses.begin(), device.ipv4_addresses.end(), address.v4()) !=
                   device.ipv4_addresses.end();
        }
        return std::find(device.ipv6_addresses.begin(), device.ipv6_addresses.end(), address) !=
               device.ipv6_addresses.end();
    };
    const auto found = std::find_if(devices.begin(), devices.end(), holds);
    return found == devices.end() ? nullptr : &*found;
}

}  // namespace

std::variant<CaptureDevice, std::string> choose_capture_device(const std::vector<CaptureDevice>& devices,
                                                               std::string_view log_target,
                                                               const std::optional<packets::IpAddress>& preferred) {
    for (const CaptureDevice& device : devices) {
        log::info(log_target, "pcap device found",
                  {{"name", device.name}, {"addrs", addresses_text(device.ipv4_addresses)}});
    }
    if (const CaptureDevice* device = preferred ? device_holding(devices, *preferred) : nullptr) {
        log::info(log_target, "selected capture device", {{"device", device->name}});
        return *device;
    }
    const auto named_well = [](const CaptureDevice& device) {
        return !contains_any(lower_case(device.name), exclusion_words);
    };
    if (const CaptureDevice* device = first_with_address(devices, named_well, is_usable_address)) {
        log::info(log_target, "selected capture device", {{"device", device->name}});
        return *device;
    }
    for (const CaptureDevice& device : devices) {
        if (lower_case(device.name).find("loopback") == std::string::npos) {
            return device;
        }
    }
    return std::string("no suitable pcap device found");
}

std::optional<CaptureDevice> choose_traffic_device(const std::vector<CaptureDevice>& devices,
                                                   const std::optional<packets::IpAddress>& preferred) {
    if (const CaptureDevice* device = preferred ? device_holding(devices, *preferred) : nullptr) {
        return *device;
    }
    const auto countable = [](packets::Ipv4 address) {
        return is_usable_address(address) && !packets::in_network(address, packets::Ipv4(0xAC100000), 12);
    };
    const auto described_well = [](const CaptureDevice& device) {
        return !contains_any(lower_case(device.description.value_or("")), traffic_exclusion_words);
    };
    if (const CaptureDevice* device = first_with_address(devices, described_well, countable)) {
        return *device;
    }
    return std::nullopt;
}

Capture::Capture(Capture&& other) noexcept
    : library_(other.library_), handle_(other.handle_), wait_timeout_ms_(other.wait_timeout_ms_) {
    other.handle_ = nullptr;
}

Capture::~Capture() {
    if (handle_ != nullptr) {
        library_->close(handle_of(handle_));
    }
}

int Capture::link_type() const { return library_->datalink(handle_of(handle_)); }

std::optional<std::string> Capture::install_filter(const std::string& filter) {
    bpf_program program{};
    if (library_->compile(handle_of(handle_), &program, filter.c_str(), 1, 0) != 0) {
        return error_text();
    }
    const int installed = library_->setfilter(handle_of(handle_), &program);
    library_->freecode(&program);
    if (installed != 0) {
        return error_text();
    }
    return std::nullopt;
}

std::chrono::steady_clock::time_point steady_arrival(std::chrono::system_clock::time_point captured_at) {
    const auto now = std::chrono::steady_clock::now();
    const auto age = std::chrono::system_clock::now() - captured_at;
    if (age < std::chrono::system_clock::duration::zero() || age > std::chrono::seconds(1)) {
        return now;
    }
    return now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(age);
}

ReadStatus Capture::next(CapturedFrame& frame) {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    const int result = library_->next_ex(handle_of(handle_), &header, &data);
    if (result == 1) {
        frame.bytes = std::span<const std::uint8_t>(data, header->caplen);
        frame.wire_length = header->len;
        frame.captured_at = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::seconds(header->ts.tv_sec) + std::chrono::microseconds(header->ts.tv_usec)));
        return ReadStatus::packet;
    }
    if (result < 0) {
        return ReadStatus::error;
    }
#ifndef _WIN32
    if (wait_timeout_ms_ > 0) {
        // Non-blocking handle: nothing is buffered, so wait for the next packet
        // at most the read timeout.
        platform::wait_for_capture_data(handle_of(handle_), wait_timeout_ms_);
    }
#endif
    return ReadStatus::timeout;
}

std::optional<CaptureCounts> Capture::counts() const {
    pcap_stat statistics{};
    if (library_->stats(handle_of(handle_), &statistics) != 0) {
        return std::nullopt;
    }
    return CaptureCounts{statistics.ps_recv, statistics.ps_drop};
}

std::string Capture::error_text() const { return library_->geterr(handle_of(handle_)); }

std::variant<Capture, std::string> open_capture(const CaptureDevice& device, const CaptureSettings& settings) {
    std::string unavailable;
    const platform::CaptureLibrary* library = platform::capture_library(unavailable);
    if (library == nullptr) {
        return unavailable;
    }
    std::array<char, PCAP_ERRBUF_SIZE> error{};
    pcap_t* handle = library->create(device.name.c_str(), error.data());
    if (handle == nullptr) {
        return std::string(error.data());
    }
    Capture capture(library, handle);
    library->set_promisc(handle, settings.promiscuous ? 1 : 0);
    library->set_snaplen(handle, settings.snapshot_length);
    if (settings.read_timeout_ms) {
        library->set_timeout(handle, *settings.read_timeout_ms);
    }
    if (settings.immediate && library->set_immediate_mode != nullptr) {
        library->set_immediate_mode(handle, 1);
    }
    if (settings.buffer_bytes && library->set_buffer_size != nullptr) {
        library->set_buffer_size(handle, *settings.buffer_bytes);
    }
    const int activated = library->activate(handle);
    if (activated < 0) {
        return capture.error_text().empty() ? std::string(library->statustostr(activated)) : capture.error_text();
    }
    if (settings.read_timeout_ms && !platform::blocking_reads_time_out) {
        std::array<char, PCAP_ERRBUF_SIZE> nonblock_error{};
        if (library->setnonblock(handle, 1, nonblock_error.data()) != 0) {
            return std::string(nonblock_error.data());
        }
        capture.wait_timeout_ms_ = *settings.read_timeout_ms;
    }
    return capture;
}

}  // namespace tarnvale::capture
