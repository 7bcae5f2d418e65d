#include "behaviour.h"

#include "common.h"

#include <algorithm>

namespace devsim {

std::string Behaviour::text() const
{
    switch (kind) {
    case Ok: return "ok";
    case NoReply: return "noreply";
    case BadCrc: return "crc";
    case Delay: return "delay:" + std::to_string(arg);
    case Exception: return "exception:" + std::to_string(arg);
    case Garbage: return "garbage:" + std::to_string(arg);
    case Split: return "split:" + std::to_string(arg);
    case OtherSlave: return "slave:" + std::to_string(arg);
    case Disconnect: return "disconnect";
    }
    return "?";
}

std::optional<Behaviour> parseBehaviour(const std::string &word)
{
    const std::string w = trim(word);
    const auto colon = w.find(':');
    const std::string name = w.substr(0, colon);
    const std::string arg = colon == std::string::npos ? std::string() : w.substr(colon + 1);
    const bool hasArg = colon != std::string::npos;

    struct Entry { const char *name; Behaviour::Kind kind; bool needsArg; long lo, hi; };
    static const Entry table[] = {
        {"ok", Behaviour::Ok, false, 0, 0},
        {"noreply", Behaviour::NoReply, false, 0, 0},
        {"crc", Behaviour::BadCrc, false, 0, 0},
        {"delay", Behaviour::Delay, true, 0, 600000},
        {"exception", Behaviour::Exception, true, 0, 255},
        {"garbage", Behaviour::Garbage, true, 1, 256},
        {"split", Behaviour::Split, true, 0, 600000},
        {"slave", Behaviour::OtherSlave, true, 0, 255},
        {"disconnect", Behaviour::Disconnect, false, 0, 0},
    };
    for (const Entry &e : table) {
        if (name != e.name)
            continue;
        if (hasArg != e.needsArg)
            return std::nullopt;
        Behaviour b;
        b.kind = e.kind;
        if (e.needsArg) {
            const auto v = parseInt(arg, e.lo, e.hi);
            if (!v)
                return std::nullopt;
            b.arg = int(*v);
        }
        return b;
    }
    return std::nullopt;
}

bool parseBehaviourList(const std::string &list, std::vector<Behaviour> &out, std::string &bad)
{
    size_t pos = 0;
    while (pos <= list.size()) {
        const size_t comma = std::min(list.find(',', pos), list.size());
        const std::string word = trim(list.substr(pos, comma - pos));
        pos = comma + 1;
        if (word.empty())
            continue;
        const auto b = parseBehaviour(word);
        if (!b) {
            bad = word;
            return false;
        }
        out.push_back(*b);
    }
    return true;
}

} // namespace devsim
