// What the device does with one request: the faults tests ask for.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace devsim {

struct Behaviour {
    enum Kind { Ok, NoReply, BadCrc, Delay, Exception, Garbage, Split, OtherSlave, Disconnect } kind = Ok;
    int arg = 0;

    std::string text() const;
};

std::optional<Behaviour> parseBehaviour(const std::string &word);

// Parses a comma list; returns false (and names the bad word) on error.
bool parseBehaviourList(const std::string &list, std::vector<Behaviour> &out, std::string &bad);

} // namespace devsim
