// The fault mode's list of faults as a developer writes it.
#include "server/Faults.h"

#include <gtest/gtest.h>

namespace {

using kesu_tools::Fault;

TEST(FaultsTest, ParsesNamesInOrderAndRefusesWhatIsNotOne) {
    std::vector<Fault> every;
    for (size_t i = 0; i < static_cast<size_t>(Fault::Count); ++i) every.push_back(static_cast<Fault>(i));
    struct Row {
        std::string list;
        std::vector<Fault> faults;
        char const* unknown;  // the name refused, or null
    };
    const Row kRows[] = {
        {"reset", {Fault::Reset}, nullptr},
        {"recreate-socket,accept-then-close", {Fault::RecreateSocket, Fault::AcceptThenClose}, nullptr},
        {"all", every, nullptr},
        {kesu_tools::faultNames(), every, nullptr},  // each name stands for its own fault
        {"stall,", {}, ""},
    };
    for (Row const& row : kRows) {
        SCOPED_TRACE(row.list);
        std::vector<Fault> faults;
        std::string error;
        const bool parsed = kesu_tools::parseFaults(row.list, faults, error);
        EXPECT_EQ(parsed, row.unknown == nullptr);
        if (parsed) {
            EXPECT_EQ(faults, row.faults);
        } else {
            EXPECT_EQ(error,
                      "unknown fault '" + std::string(row.unknown) + "' (known: all," + kesu_tools::faultNames() + ")");
        }
    }
}

}  // namespace
