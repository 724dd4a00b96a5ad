// Inputs for the micro-benchmarks: files from the machine where they exist (text, executable
// code), a synthetic raw image, and the synthetic extremes (all zero, random, period 2).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench_data {

using Bytes = std::vector<std::uint8_t>;

struct DataSet {
    std::string name;
    Bytes bytes;
};

// Every data set, each about `size` bytes ("mixed" is text, code and image together).
[[nodiscard]] const std::vector<DataSet>& data_sets(std::size_t size);

} // namespace bench_data
