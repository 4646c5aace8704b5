// Neighbour interfaces.
//
// A lower module never includes a higher one. What it needs of a higher
// module it calls through a record of function pointers declared in its own
// header (a "...Peers" record), which the one wiring file, core/wiring.cpp,
// fills in at start-up. Each record comes with a check that names its
// required entries, so the controller refuses to start with one left empty
// and says which: a forgotten registration is found at the first start, not
// by a user whose request silently does nothing.
#pragma once

#include <string>
#include <vector>

class NeighbourCheck {
public:
    // Notes `record.entry` as missing when `fn` is empty.
    template <class F>
    void Require(const char* record, const char* entry, F* fn) {
        if (fn == nullptr) missing_.push_back(std::string(record) + "." + entry);
    }
    const std::vector<std::string>& Missing() const { return missing_; }

private:
    std::vector<std::string> missing_;
};

// NEIGHBOUR_REQUIRE(check, scanPeers, readInputs) names the entry
// "scanPeers.readInputs".
#define NEIGHBOUR_REQUIRE(check, record, entry) (check).Require(#record, #entry, (record).entry)
