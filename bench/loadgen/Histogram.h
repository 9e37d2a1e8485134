#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace loadgen {

// Log-linear latency histogram: every power of two is split into 128 equal sub-buckets, so a
// recorded value is known to within 1/128 (0.8 %) of itself at any magnitude, in a fixed ~60 KiB.
// Values below 128 are kept exactly. Reported percentiles are the highest value that shares the
// bucket of the ranked sample (never below the true one), clamped to the observed maximum.
class Histogram {
  public:
    static constexpr int kSubBits = 7;
    static constexpr std::uint64_t kSubCount = 1u << kSubBits;

    Histogram();

    void record(std::uint64_t value);
    void merge(const Histogram& other);
    void clear();

    std::uint64_t count() const { return total; }
    std::uint64_t min() const { return total == 0 ? 0 : minimum; }
    std::uint64_t max() const { return maximum; }
    double mean() const { return total == 0 ? 0.0 : static_cast<double>(sum) / total; }
    // `percent` in [0, 100]; 0 when nothing was recorded.
    std::uint64_t percentile(double percent) const;

    static std::size_t bucketOf(std::uint64_t value);
    static std::uint64_t lowestIn(std::size_t bucket);
    static std::uint64_t highestIn(std::size_t bucket);

  private:
    std::vector<std::uint64_t> counts;
    std::uint64_t total = 0;
    std::uint64_t minimum = 0;
    std::uint64_t maximum = 0;
    unsigned __int128 sum = 0;
};

}  // namespace loadgen
