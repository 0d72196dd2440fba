#include <gtest/gtest.h>

#include <map>

#include "ipc/client_owner.hpp"

namespace {

using tarnvale::ipc::owner_processes;

// A process tree as parent links.
tarnvale::ipc::ParentLookup tree(std::map<std::uint32_t, std::uint32_t> parents) {
    return [parents = std::move(parents)](std::uint32_t pid) -> std::optional<std::uint32_t> {
        const auto found = parents.find(pid);
        return found == parents.end() ? std::nullopt : std::optional(found->second);
    };
}

TEST(ClientOwner, TheStarterAndItsAncestorsUpToTheFirstProcess) {
    // probe 500 <- sudo 400 <- python 300 <- shell 200 <- init 1
    EXPECT_EQ(owner_processes(500, tree({{500, 400}, {400, 300}, {300, 200}, {200, 1}, {1, 0}})),
              (std::vector<std::uint32_t>{400, 300, 200}));
    EXPECT_EQ(owner_processes(500, tree({{500, 1}, {1, 0}})), (std::vector<std::uint32_t>{1}))
        << "a client that is the first process itself, as in a container";
    EXPECT_TRUE(owner_processes(500, tree({})).empty()) << "the probe's own parent unknown";
    EXPECT_EQ(owner_processes(500, tree({{500, 400}, {400, 300}, {300, 400}})),
              (std::vector<std::uint32_t>{400, 300}))
        << "a table read while processes come and go may loop";
}

}  // namespace
