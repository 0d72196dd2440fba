#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

// A recording of what the kernel's routing netlink sent (netlink_fixtures/,
// made by record.sh there): the dumps taken when the watch opened, then each
// notification datagram with its arrival since the recording began.
namespace tarnvale::test {

struct RecordedDatagram {
    bool snapshot = false;
    std::chrono::milliseconds at{0};
    std::vector<std::uint8_t> bytes;
};

inline std::vector<RecordedDatagram> load_netlink_fixture(const std::string& name) {
    std::ifstream file(std::string(TARNVALE_NETLINK_FIXTURES) + "/" + name + ".netlink");
    if (!file) {
        throw std::runtime_error("no netlink fixture " + name);
    }
    std::vector<RecordedDatagram> datagrams;
    std::string when;
    std::string hex;
    while (file >> when >> hex) {
        RecordedDatagram datagram;
        datagram.snapshot = when == "snapshot";
        datagram.at = std::chrono::milliseconds(datagram.snapshot ? 0 : std::stoll(when));
        for (std::size_t index = 0; index + 1 < hex.size(); index += 2) {
            datagram.bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(index, 2), nullptr, 16)));
        }
        datagrams.push_back(std::move(datagram));
    }
    return datagrams;
}

}  // namespace tarnvale::test
