// Values drawn from a seeded generator, so that a seed replays them: the
// fault mode's scripts and the frames they send.
#pragma once

#include <cstddef>
#include <random>
#include <string>
#include <vector>

namespace kesu_tools {

using Random = std::mt19937_64;

template <class T>
T uniform(Random& rng, T low, T high) {
    return std::uniform_int_distribution<T>(low, high)(rng);
}

inline bool chance(Random& rng, unsigned percent) { return uniform<unsigned>(rng, 0, 99) < percent; }

inline std::vector<char> randomBytes(Random& rng, size_t size) {
    std::vector<char> bytes(size);
    for (char& c : bytes) c = static_cast<char>(rng());
    return bytes;
}

// Mostly short; now and then long enough to span several reads.
inline std::string randomText(Random& rng, size_t maxBytes) {
    const size_t size = chance(rng, 5) ? uniform<size_t>(rng, 0, maxBytes) : uniform<size_t>(rng, 0, 64);
    std::vector<char> bytes = randomBytes(rng, size);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace kesu_tools
