#include "Histogram.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace loadgen {

namespace {
// Sub-bucket blocks: one exact block for 0..127, then one per power of two from 2^7 to 2^63.
constexpr std::size_t kBucketCount = Histogram::kSubCount * (64 - Histogram::kSubBits + 1);
}  // namespace

Histogram::Histogram() : counts(kBucketCount, 0) {}

std::size_t Histogram::bucketOf(std::uint64_t value) {
    if (value < kSubCount) {
        return static_cast<std::size_t>(value);
    }
    const int msb = 63 - __builtin_clzll(value);
    const int shift = msb - kSubBits;
    const std::uint64_t sub = (value >> shift) - kSubCount;
    return static_cast<std::size_t>(kSubCount + static_cast<std::uint64_t>(shift) * kSubCount +
                                    sub);
}

std::uint64_t Histogram::lowestIn(std::size_t bucket) {
    if (bucket < kSubCount) {
        return bucket;
    }
    const std::uint64_t shift = (bucket - kSubCount) / kSubCount;
    const std::uint64_t sub = (bucket - kSubCount) % kSubCount;
    return (kSubCount + sub) << shift;
}

std::uint64_t Histogram::highestIn(std::size_t bucket) {
    if (bucket < kSubCount) {
        return bucket;
    }
    if (bucket + 1 >= kBucketCount) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return lowestIn(bucket + 1) - 1;
}

void Histogram::record(std::uint64_t value) {
    ++counts[bucketOf(value)];
    if (total == 0 || value < minimum) {
        minimum = value;
    }
    maximum = std::max(maximum, value);
    ++total;
    sum += value;
}

void Histogram::merge(const Histogram& other) {
    if (other.total == 0) {
        return;
    }
    for (std::size_t i = 0; i < counts.size(); ++i) {
        counts[i] += other.counts[i];
    }
    minimum = total == 0 ? other.minimum : std::min(minimum, other.minimum);
    maximum = std::max(maximum, other.maximum);
    total += other.total;
    sum += other.sum;
}

void Histogram::clear() {
    std::fill(counts.begin(), counts.end(), 0);
    total = minimum = maximum = 0;
    sum = 0;
}

std::uint64_t Histogram::percentile(double percent) const {
    if (total == 0) {
        return 0;
    }
    percent = std::min(100.0, std::max(0.0, percent));
    // Rank of the sample that the percentile names, 1-based: the smallest value with at least
    // `percent` of the samples at or below it.
    // The small allowance keeps 99.9 % of 1000 at rank 999 despite binary rounding.
    const double exact = percent / 100.0 * static_cast<double>(total);
    std::uint64_t rank = static_cast<std::uint64_t>(std::ceil(exact - 1e-7));
    rank = std::max<std::uint64_t>(rank, 1);
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        seen += counts[i];
        if (seen >= rank) {
            return std::min(std::max(highestIn(i), minimum), maximum);
        }
    }
    return maximum;
}

}  // namespace loadgen
